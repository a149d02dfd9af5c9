// The extraction library's own file access. It runs inside the engine's
// process but outside the engine's Host seam (it is a separate library with
// a C contract), so it talks to the platform directly: Win32 on Windows,
// POSIX natively. Paths are the platform's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vxunpack {

// A file read at absolute offsets; in scrambled mode every byte is XORed
// with the mask as it is read. Small reads are served from a window.
class RawFile {
 public:
  static std::unique_ptr<RawFile> Open(const std::string& path, bool scrambled);
  ~RawFile();
  uint64_t Size() const { return size_; }
  // Reads exactly `size` bytes at `offset`; false when the file is shorter
  // or the read fails.
  bool ReadAt(uint64_t offset, void* buffer, size_t size);

 private:
  RawFile() = default;
  bool ReadRaw(uint64_t offset, void* buffer, size_t size);

  intptr_t handle_ = -1;
  uint64_t size_ = 0;
  bool scrambled_ = false;
  static constexpr size_t kWindow = 4096;
  uint8_t window_[kWindow];
  uint64_t windowStart_ = 0;
  size_t windowLength_ = 0;
};

// A target file: created or truncated, written from the start.
class OutputFile {
 public:
  static std::unique_ptr<OutputFile> Create(const std::string& path);
  ~OutputFile();
  bool Write(const void* data, size_t size);
  // Sets creation and last-write time from a DOS date and time taken as
  // local time (the file stays open on Windows for that), then closes the
  // file and gives it the read-only, hidden, system and archive bits of
  // `attributes`.
  void Finish(uint16_t dosDate, uint16_t dosTime, uint32_t attributes);

 private:
  OutputFile() = default;
  void CloseHandle();

  intptr_t handle_ = -1;
  std::string path_;
};

bool FileExists(const std::string& path);
char PathSeparator();
bool IsSeparator(char c);

}  // namespace vxunpack
