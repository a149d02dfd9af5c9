// The extraction library's own file access. It runs inside the engine's
// process but outside the engine's Host seam (it is a separate library with
// a C contract), so it talks to the platform directly: Win32 on Windows,
// POSIX natively. Paths are the platform's own.
//
// Both kinds of file are made by their Open/Create function and released by
// Close; neither has constructors, so that the library needs no C++ runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vxunpack {

// A file read at absolute offsets; in scrambled mode every byte is XORed
// with the mask as it is read. Small reads are served from a window.
class RawFile {
 public:
  static RawFile* Open(const char* path, bool scrambled);  // null on failure
  static void Close(RawFile* file);                        // null is fine
  uint64_t Size() const { return size_; }
  // Reads exactly `size` bytes at `offset`; false when the file is shorter
  // or the read fails.
  bool ReadAt(uint64_t offset, void* buffer, size_t size);
  // The same without the window: for small reads far apart (the headers of
  // data blocks), where filling the window would copy bytes never used.
  bool ReadDirectAt(uint64_t offset, void* buffer, size_t size);

 private:
  bool ReadRaw(uint64_t offset, void* buffer, size_t size);

  static constexpr size_t kWindow = 4096;
  intptr_t handle_;
  uint64_t size_;
  // Where the handle's file pointer stands (Windows), UINT64_MAX when not
  // known: reads in order need no seek.
  uint64_t position_;
  bool scrambled_;
  uint64_t windowStart_;
  size_t windowLength_;
  uint8_t window_[kWindow];
};

// A target file: created or truncated, written from the start.
class OutputFile {
 public:
  static OutputFile* Create(const char* path);  // null on failure
  static void Close(OutputFile* file);          // closes if still open; null is fine
  bool Write(const void* data, size_t size);
  // Sets creation and last-write time from a DOS date and time taken as
  // local time (the file stays open on Windows for that), then closes the
  // file and gives it the read-only, hidden, system and archive bits of
  // `attributes`.
  void Finish(uint16_t dosDate, uint16_t dosTime, uint32_t attributes);

 private:
  void CloseHandle();

  intptr_t handle_;
  char* path_;
  bool created_;  // the file did not exist before Create
};

// A counting semaphore. Made by Create (null on failure), ended by Destroy.
class Semaphore {
 public:
  static Semaphore* Create(unsigned initial);
  static void Destroy(Semaphore* semaphore);  // null is fine
  void Post();
  void Wait();

 private:
  void* handle_;
};

// A second thread that runs one job at a time: Post starts the job, Wait
// returns once it has finished. Made by Start (null when the platform cannot
// start a thread: the caller then does the work itself) and ended by Stop,
// which must not be called while a posted job still runs.
class HelperThread {
 public:
  typedef void (*Job)(void* argument);
  static HelperThread* Start(Job job, void* argument);
  static void Stop(HelperThread* helper);  // null is fine
  void Post() { work_->Post(); }
  void Wait() { done_->Wait(); }

 private:
  void Loop();
#ifdef _WIN32
  static unsigned long __stdcall Main(void* self);
#else
  static void* Main(void* self);
#endif

  Job job_;
  void* argument_;
  bool quit_;
  intptr_t thread_;
  Semaphore* work_;  // posted by Post (and Stop)
  Semaphore* done_;  // posted when the job has run
};

bool FileExists(const char* path);
char PathSeparator();
bool IsSeparator(char c);

}  // namespace vxunpack
