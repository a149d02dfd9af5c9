// Small helpers of the sandbox machine over the native (POSIX) file system.
// Internal to src/system/sandbox.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

extern thread_local uint32_t t_lastError;  // the sandbox's GetLastError

bool NativeIsDir(const std::string& p);
bool NativeExists(const std::string& p);
bool NativeMakeDirs(const std::string& p);
bool NativeWriteFile(const std::string& p, const std::string& data);
// Writes a temporary file beside `p` and renames it over `p`, so that a
// reader sees either the old or the new content, never a part.
bool NativeWriteFileAtomic(const std::string& p, const std::string& data);
bool NativeReadFile(const std::string& p, std::string& data);
uint32_t ErrnoToWin32(int e);

}  // namespace vx
