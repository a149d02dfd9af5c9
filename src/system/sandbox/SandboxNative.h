// Small helpers of the sandbox machine over the native (POSIX) file system.
// Internal to src/system/sandbox.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

// One line of an INI file as the profile functions read it.
struct ProfileLine {
  std::string text;
  bool header = false;
  std::string name;  // section name or key
  std::string value;
};
// The lines of an INI file: names and values trimmed, a value's
// surrounding quotes removed.
std::vector<ProfileLine> ParseProfile(const std::string& content);

// The state of one worker thread of the machine, shared by the thread and
// the handles that name it. A suspended worker is held at its next safe
// point (HoldIfSuspendedWorker) until its suspend count is back to zero.
struct WorkerGate {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t suspendCount = 0;
  bool released = false;  // the machine is closing: the worker is never held again
  bool done = false;
  uint32_t exitCode = 259;  // STILL_ACTIVE until the work has returned
};

// Holds the calling thread while it is a suspended worker of a machine;
// returns at once on any other thread. Called where a worker can wait
// without holding anything another thread needs: at the start of the
// machine's file opens, reads and writes, of messages to the main window,
// and at WorkerCheckpoint.
void HoldIfSuspendedWorker();

// The room left on a drive whose free space the machine fixes
// ([FreeSpace]): what the drive's files may still grow by. Shared by the
// machine and its open files, which may be used on any thread.
struct DriveSpace {
  explicit DriveSpace(uint64_t bytes) : limit(bytes), free(bytes) {}
  // Takes `bytes` of the room; false, and nothing taken, when they do not fit.
  bool Take(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock);
    if (bytes > free) return false;
    free -= bytes;
    return true;
  }
  // Bytes that files gave up; the room never grows beyond the fixed amount.
  void GiveBack(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock);
    free = bytes > limit - free ? limit : free + bytes;
  }
  uint64_t Free() {
    std::lock_guard<std::mutex> guard(lock);
    return free;
  }

 private:
  std::mutex lock;
  const uint64_t limit;
  uint64_t free;
};

// Where Windows NT keeps the renames and deletions waiting for the restart.
inline constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr char kPendingValue[] = "PendingFileRenameOperations";

}  // namespace vx
