#include "unpack/PlatformFile.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "format/FormatKeys.h"
#include "unpack/Containers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <errno.h>
#include <unistd.h>
#endif

namespace vxunpack {

namespace {
constexpr uint32_t kKeptAttributes = 0x01 | 0x02 | 0x04 | 0x20;  // read-only, hidden, system, archive
}

// --- RawFile -----------------------------------------------------------------------

RawFile* RawFile::Open(const char* path, bool scrambled) {
  RawFile* f = static_cast<RawFile*>(malloc(sizeof(RawFile)));
  if (!f) return nullptr;
  f->handle_ = -1;
  f->size_ = 0;
  f->scrambled_ = scrambled;
  f->windowStart_ = 0;
  f->windowLength_ = 0;
  f->position_ = 0;
#ifdef _WIN32
  HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Close(f), nullptr;
  f->handle_ = intptr_t(h);
  DWORD high = 0;
  DWORD low = ::GetFileSize(h, &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return Close(f), nullptr;
  f->size_ = uint64_t(high) << 32 | low;
#else
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Close(f), nullptr;
  f->handle_ = fd;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Close(f), nullptr;
  f->size_ = uint64_t(st.st_size);
#endif
  return f;
}

void RawFile::Close(RawFile* f) {
  if (!f) return;
  if (f->handle_ != -1) {
#ifdef _WIN32
    ::CloseHandle(HANDLE(f->handle_));
#else
    ::close(int(f->handle_));
#endif
  }
  free(f);
}

bool RawFile::ReadRaw(uint64_t offset, void* buffer, size_t size) {
  if (offset > size_ || size > size_ - offset) return false;
  uint8_t* out = static_cast<uint8_t*>(buffer);
#ifdef _WIN32
  // The file pointer, not an OVERLAPPED offset: on a handle opened for
  // synchronous reads an OVERLAPPED read costs some systems (Wine) a round
  // trip to report its completion, for every read.
  if (offset != position_) {
    LONG high = LONG(offset >> 32);
    position_ = UINT64_MAX;
    if (::SetFilePointer(HANDLE(handle_), LONG(uint32_t(offset)), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR)
      return false;
    position_ = offset;
  }
  while (size > 0) {
    DWORD want = size > 0x40000000 ? 0x40000000 : DWORD(size), got = 0;
    if (!::ReadFile(HANDLE(handle_), out, want, &got, nullptr) || got == 0) {
      position_ = UINT64_MAX;
      return false;
    }
    out += got;
    position_ += got;
    size -= got;
  }
#else
  while (size > 0) {
    ssize_t got = ::pread(int(handle_), out, size, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += uint64_t(got);
    size -= size_t(got);
  }
#endif
  return true;
}

bool RawFile::ReadDirectAt(uint64_t offset, void* buffer, size_t size) {
  if (offset > size_ || size > size_ - offset) return false;
  if (!ReadRaw(offset, buffer, size)) return false;
  if (scrambled_) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < size; ++i) p[i] ^= vx::kScrambleMask;
  }
  return true;
}

bool RawFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (offset > size_ || size > size_ - offset) return false;
  if (size >= kWindow) return ReadDirectAt(offset, buffer, size);
  if (offset < windowStart_ || offset + size > windowStart_ + windowLength_) {
    windowStart_ = offset;
    windowLength_ = size_t(size_ - offset < kWindow ? size_ - offset : kWindow);
    if (!ReadRaw(windowStart_, window_, windowLength_)) {
      windowLength_ = 0;
      return false;
    }
    if (scrambled_)
      for (size_t i = 0; i < windowLength_; ++i) window_[i] ^= vx::kScrambleMask;
  }
  memcpy(buffer, window_ + (offset - windowStart_), size);
  return true;
}

// --- OutputFile ----------------------------------------------------------------------

OutputFile* OutputFile::Create(const char* path) {
  if (!path || !*path) return nullptr;
  OutputFile* f = static_cast<OutputFile*>(malloc(sizeof(OutputFile)));
  if (!f) return nullptr;
  f->handle_ = -1;
  f->created_ = false;
  f->path_ = Duplicate(path);
  if (!f->path_) return Close(f), nullptr;
#ifdef _WIN32
  // Opened or created, then cut to nothing: unlike CREATE_ALWAYS this also
  // replaces a hidden or system file.
  HANDLE h = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return Close(f), nullptr;
  f->created_ = ::GetLastError() != ERROR_ALREADY_EXISTS;
  f->handle_ = intptr_t(h);
  // A file just created is empty already.
  if (!f->created_ && !::SetEndOfFile(h)) return Close(f), nullptr;
#else
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Close(f), nullptr;
  f->handle_ = fd;
#endif
  return f;
}

void OutputFile::Close(OutputFile* f) {
  if (!f) return;
  f->CloseHandle();
  free(f->path_);
  free(f);
}

void OutputFile::CloseHandle() {
  if (handle_ == -1) return;
#ifdef _WIN32
  ::CloseHandle(HANDLE(handle_));
#else
  ::close(int(handle_));
#endif
  handle_ = -1;
}

bool OutputFile::Write(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
#ifdef _WIN32
    DWORD done = 0;
    if (!::WriteFile(HANDLE(handle_), p, DWORD(size), &done, nullptr) || done == 0) return false;
#else
    ssize_t done = ::write(int(handle_), p, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
#endif
    p += done;
    size -= size_t(done);
  }
  return true;
}

void OutputFile::Finish(uint16_t dosDate, uint16_t dosTime, uint32_t attributes) {
  attributes &= kKeptAttributes;
#ifdef _WIN32
  FILETIME local, utc;
  if (::DosDateTimeToFileTime(dosDate, dosTime, &local) && ::LocalFileTimeToFileTime(&local, &utc))
    ::SetFileTime(HANDLE(handle_), &utc, nullptr, &utc);
  CloseHandle();
  // A new file has the archive attribute already: setting it again would
  // open the file by its path once more.
  if (!(created_ && attributes == FILE_ATTRIBUTE_ARCHIVE))
    ::SetFileAttributesA(path_, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
#else
  // Through the open handle: no path is looked up again.
  int fd = int(handle_);
  int day = dosDate & 0x1F, month = (dosDate >> 5) & 0x0F;
  if (day >= 1 && month >= 1 && month <= 12) {
    struct tm t {};
    t.tm_year = (dosDate >> 9) + 80;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = dosTime >> 11;
    t.tm_min = (dosTime >> 5) & 0x3F;
    t.tm_sec = (dosTime & 0x1F) * 2;
    t.tm_isdst = -1;
    // The files of a package mostly share a few times, and mktime looks at
    // the time zone's file on every call: the last answer is kept. (The
    // library extracts on one thread at a time.)
    static uint32_t lastStamp = 0;
    static time_t lastWhen = time_t(-1);
    uint32_t stamp = uint32_t(dosDate) << 16 | dosTime;
    time_t when = stamp == lastStamp && lastWhen != time_t(-1) ? lastWhen : ::mktime(&t);
    lastStamp = stamp;
    lastWhen = when;
    if (when != time_t(-1)) {
      struct timespec times[2] = {{when, 0}, {when, 0}};
      ::futimens(fd, times);
    }
  }
  // The sandbox machine keeps read-only in the owner's write bit and the
  // other Windows attributes in an extended attribute; the library writes
  // them the same way so that the machine reports what Windows would. A
  // file without the extended attribute reads as "archive" only, so that
  // common case writes nothing.
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & 0x01) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    if (wanted != mode) ::fchmod(fd, wanted);
  }
  char kept[16], had[16];
  FormatNumber(kept, int32_t(attributes & ~0x01u));
  ssize_t n = ::fgetxattr(fd, "user.vx.attributes", had, sizeof had - 1);
  if (n >= 0) had[n] = 0;
  if (strcmp(n >= 0 ? had : "32", kept) != 0) ::fsetxattr(fd, "user.vx.attributes", kept, strlen(kept), 0);
  CloseHandle();
#endif
}

// --- Threads ----------------------------------------------------------------------

#ifdef _WIN32
Semaphore* Semaphore::Create(unsigned initial) {
  Semaphore* s = static_cast<Semaphore*>(calloc(1, sizeof(Semaphore)));
  if (!s) return nullptr;
  s->handle_ = ::CreateSemaphoreA(nullptr, LONG(initial), 0x7FFFFFFF, nullptr);
  if (!s->handle_) {
    free(s);
    return nullptr;
  }
  return s;
}

void Semaphore::Destroy(Semaphore* s) {
  if (!s) return;
  ::CloseHandle(HANDLE(s->handle_));
  free(s);
}

void Semaphore::Post() { ::ReleaseSemaphore(HANDLE(handle_), 1, nullptr); }

void Semaphore::Wait() { ::WaitForSingleObject(HANDLE(handle_), INFINITE); }

unsigned long __stdcall HelperThread::Main(void* self) {
  static_cast<HelperThread*>(self)->Loop();
  return 0;
}
#else
Semaphore* Semaphore::Create(unsigned initial) {
  Semaphore* s = static_cast<Semaphore*>(calloc(1, sizeof(Semaphore)));
  sem_t* sem = static_cast<sem_t*>(malloc(sizeof(sem_t)));
  if (!s || !sem || ::sem_init(sem, 0, initial) != 0) {
    free(sem);
    free(s);
    return nullptr;
  }
  s->handle_ = sem;
  return s;
}

void Semaphore::Destroy(Semaphore* s) {
  if (!s) return;
  ::sem_destroy(static_cast<sem_t*>(s->handle_));
  free(s->handle_);
  free(s);
}

void Semaphore::Post() { ::sem_post(static_cast<sem_t*>(handle_)); }

void Semaphore::Wait() {
  while (::sem_wait(static_cast<sem_t*>(handle_)) != 0 && errno == EINTR) {
  }
}

void* HelperThread::Main(void* self) {
  static_cast<HelperThread*>(self)->Loop();
  return nullptr;
}
#endif

HelperThread* HelperThread::Start(Job job, void* argument) {
  HelperThread* h = static_cast<HelperThread*>(calloc(1, sizeof(HelperThread)));
  if (!h) return nullptr;
  h->job_ = job;
  h->argument_ = argument;
  h->work_ = Semaphore::Create(0);
  h->done_ = Semaphore::Create(0);
  bool started = false;
  if (h->work_ && h->done_) {
#ifdef _WIN32
    DWORD id;
    h->thread_ = intptr_t(::CreateThread(nullptr, 0, &HelperThread::Main, h, 0, &id));
    started = h->thread_ != 0;
#else
    pthread_t thread;
    started = ::pthread_create(&thread, nullptr, &HelperThread::Main, h) == 0;
    if (started) h->thread_ = intptr_t(thread);
#endif
  }
  if (!started) {
    Semaphore::Destroy(h->work_);
    Semaphore::Destroy(h->done_);
    free(h);
    return nullptr;
  }
  return h;
}

void HelperThread::Stop(HelperThread* h) {
  if (!h) return;
  h->quit_ = true;
  h->work_->Post();
#ifdef _WIN32
  ::WaitForSingleObject(HANDLE(h->thread_), INFINITE);
  ::CloseHandle(HANDLE(h->thread_));
#else
  ::pthread_join(pthread_t(h->thread_), nullptr);
#endif
  Semaphore::Destroy(h->work_);
  Semaphore::Destroy(h->done_);
  free(h);
}

void HelperThread::Loop() {
  for (;;) {
    work_->Wait();
    if (quit_) return;
    job_(argument_);
    done_->Post();
  }
}

// --- Paths -----------------------------------------------------------------------------

bool FileExists(const char* path) {
#ifdef _WIN32
  DWORD a = ::GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
#else
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

#ifdef _WIN32
char PathSeparator() { return '\\'; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
#else
char PathSeparator() { return '/'; }
bool IsSeparator(char c) { return c == '/'; }
#endif

}  // namespace vxunpack
