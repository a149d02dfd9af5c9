// The one interface between the engine and an operating system.
//
// Everything the engine asks of Windows -- files, folders, the registry,
// processes, windows and message boxes, locale and version facts -- goes
// through Host. Win32Host (win32/) calls the real API; SandboxHost
// (sandbox/) emulates one Windows machine inside a folder so that the engine
// runs natively on Linux for tests and previews. Code above src/system never
// includes <windows.h> or POSIX headers.
//
// Paths crossing the seam are Windows paths ("C:\dir\file"), 8-bit ANSI.
// Methods mirror the Win32 calls they stand for, including their failure
// results; they never throw.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx {

// Win32 file attribute bits (the values are those of the platform).
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolume = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kInvalidAttributes = 0xFFFFFFFFu,
};

// Win32 error codes the engine looks at.
enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorNoMoreFiles = 18,
  kErrorSharingViolation = 32,
  kErrorAlreadyExists = 183,
};

// Message box flags and answers (values of the platform).
enum : uint32_t {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbAbortRetryIgnore = 0x2,
  kMbYesNoCancel = 0x3,
  kMbYesNo = 0x4,
  kMbRetryCancel = 0x5,
  kMbCancelTryContinue = 0x6,
  kMbTypeMask = 0xF,
  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
  kMbDefButtonMask = 0xF00,
  kMbTaskModal = 0x2000,
  kMbSetForeground = 0x10000,
};
enum : int {
  kIdOk = 1,
  kIdCancel = 2,
  kIdAbort = 3,
  kIdRetry = 4,
  kIdIgnore = 5,
  kIdYes = 6,
  kIdNo = 7,
  kIdTryAgain = 10,
  kIdContinue = 11,
};

// Operating-system platform identifiers (OSVERSIONINFO.dwPlatformId).
enum : uint32_t { kPlatformWin32s = 0, kPlatformWin9x = 1, kPlatformNT = 2 };

using WindowHandle = uintptr_t;  // HWND; 0 is "no window"
using HandleValue = uintptr_t;   // kernel object handle; 0 is "none"

struct SystemTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

struct FindEntry {
  std::string name;  // without folder
  uint32_t attributes = 0;
  uint64_t size = 0;
};

struct VersionFacts {
  uint32_t platform = kPlatformNT;
  uint32_t major = 5, minor = 1;
  uint32_t build = 2600;  // as the platform reports it (9x: packed)
  std::string servicePack;
};

// An open file. Closing happens when the object is destroyed.
class HostFile {
 public:
  virtual ~HostFile() = default;
  // Reads up to `size` bytes; `done` gets the count. False on an I/O error.
  virtual bool Read(void* buffer, size_t size, size_t& done) = 0;
  virtual bool Write(const void* buffer, size_t size, size_t& done) = 0;
  virtual bool Seek(int64_t offset, int origin) = 0;  // 0 begin, 1 current, 2 end
  virtual int64_t Position() = 0;
  virtual int64_t Size() = 0;
  virtual bool SetEnd() = 0;  // truncate or extend at the current position
};

enum class FileAccess { Read, Write, ReadWrite };
enum class FileCreate {
  OpenExisting,  // fails when missing
  OpenAlways,    // opens or creates
  CreateAlways,  // creates or truncates
  CreateNew,     // fails when it exists
};
enum FileShare : uint32_t { kShareNone = 0, kShareRead = 1, kShareWrite = 2, kShareDelete = 4 };

class Host {
 public:
  virtual ~Host() = default;

  // --- Files and folders -------------------------------------------------
  // Attributes, or kInvalidAttributes when the path does not exist.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
  virtual bool MakeFolder(const std::string& path) = 0;  // one level
  virtual bool RemoveFolder(const std::string& path) = 0;  // must be empty
  virtual bool RemoveFile(const std::string& path) = 0;
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Lists the entries of `folder` matching `pattern` ("*", "*.dll"), the
  // way FindFirstFile/FindNextFile do, "." and ".." included where the
  // platform reports them. `error` gets the code that ended the listing
  // (kErrorNoMoreFiles after a complete listing).
  virtual bool ListFolder(const std::string& folder, const std::string& pattern,
                          std::vector<FindEntry>& entries, uint32_t& error) = 0;
  virtual std::unique_ptr<HostFile> OpenFile(const std::string& path, FileAccess access,
                                             FileCreate create, uint32_t share) = 0;
  virtual std::string CurrentFolder() = 0;
  virtual bool SetCurrentFolder(const std::string& path) = 0;
  // GetFullPathName: a relative path made absolute against the current folder.
  virtual std::string FullPath(const std::string& path) = 0;

  // --- Process and machine facts ----------------------------------------
  virtual std::string ExecutablePath() = 0;  // the running program's file
  virtual std::optional<std::string> GetEnv(const std::string& name) = 0;
  virtual std::string PlatformTempPath() = 0;  // GetTempPath, as returned
  virtual std::string WindowsFolder() = 0;     // no trailing backslash
  virtual std::string SystemFolder() = 0;      // no trailing backslash
  virtual SystemTime LocalTime() = 0;
  virtual uint32_t TickCount() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  virtual VersionFacts Version() = 0;
  virtual uint32_t LastError() = 0;

  // --- Resources of the running executable ------------------------------
  // Loads the RCDATA resource `name`; false when it is missing.
  virtual bool LoadDataResource(const std::string& name, std::string& bytes) = 0;

  // --- Named mutexes ------------------------------------------------------
  // CreateMutex (not owned, default security). `existed` tells whether the
  // name was already taken. 0 on failure.
  virtual HandleValue CreateNamedMutex(const std::string& name, bool& existed) = 0;
  virtual void CloseHandle(HandleValue handle) = 0;

  // --- Windows and message boxes ----------------------------------------
  // The engine's invisible main window, with the icon "MAINICON" and the
  // class name given. 0 on failure.
  virtual WindowHandle CreateMainWindow(const std::string& className) = 0;
  virtual void DestroyWindow(WindowHandle window) = 0;
  virtual WindowHandle LastActivePopup(WindowHandle window) = 0;
  // Shows the platform's message box (centred in the work area) and returns
  // the button pressed. A host that cannot ask a person returns the default
  // button.
  virtual int ShowMessageBox(WindowHandle owner, const std::string& text,
                         const std::string& caption, uint32_t flags) = 0;
};

// The host the engine runs on. Set once at start-up by the program entry
// (or by a test); everything else reaches the platform through it.
Host& CurrentHost();
void SetCurrentHost(Host* host);

// Puts `host` in place for one scope and restores the previous one.
class ScopedHost {
 public:
  explicit ScopedHost(Host& host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  Host* previous_;
};

}  // namespace vx
