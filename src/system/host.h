// The one interface between the engine and an operating system.
//
// Everything the engine asks of Windows -- files, folders, the registry,
// processes, windows and message boxes, locale and version facts -- goes
// through Host. Win32Host (win32/) calls the real API; SandboxHost
// (sandbox/) emulates one Windows machine inside a folder so that the engine
// runs natively on Linux for tests and previews. Code above src/system never
// includes <windows.h> or POSIX headers.
//
// Host is made of role interfaces, one per kind of thing the platform does
// (HostFiles, HostRegistry, HostProfiles, HostMachine, HostProcesses,
// HostWindows, HostThreads, HostProtectedFiles, HostSystemChanges,
// HostShellLinks, HostRegistration); the
// hosts implement them all. Paths crossing the seam are
// Windows paths ("C:\dir\file"), 8-bit ANSI. Methods mirror the Win32 calls
// they stand for, including their failure results; they never throw.
#pragma once

#include <cstdint>
#include <functional>
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
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorSharingViolation = 32,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorCallNotImplemented = 120,
  kErrorBadPathname = 161,
  kErrorAlreadyExists = 183,
  kErrorBadExeFormat = 193,
  kErrorFilenameExcedRange = 206,
  kErrorMoreData = 234,
  kErrorNoMoreItems = 259,
  kErrorKeyDeleted = 1018,
  kErrorNoAssociation = 1155,
  kErrorPrivilegeNotHeld = 1314,
};

// Predefined registry keys (the HKEY values of the platform).
using RegKey = uintptr_t;
enum : RegKey {
  kHKeyClassesRoot = 0x80000000u,
  kHKeyCurrentUser = 0x80000001u,
  kHKeyLocalMachine = 0x80000002u,
  kHKeyUsers = 0x80000003u,
};

// Registry value types.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
};

// MoveFileEx flags.
enum : uint32_t {
  kMoveFileReplaceExisting = 0x1,
  kMoveFileCopyAllowed = 0x2,
  kMoveFileDelayUntilReboot = 0x4,
};

// ExitWindowsEx flags.
enum : uint32_t { kEwxLogoff = 0, kEwxShutdown = 1, kEwxReboot = 2, kEwxForce = 4, kEwxPowerOff = 8 };

// Process and thread creation and waiting.
enum : uint32_t {
  kIdlePriorityClass = 0x40,
  kWaitObject0 = 0,
  kWaitInput = 1,  // WAIT_OBJECT_0 + 1 of a wait on one object and the message queue
  kWaitTimeout = 258,
  kWaitFailed = 0xFFFFFFFFu,
  kStillActive = 259,  // the exit code of a thread that still runs
  kSuspendFailed = 0xFFFFFFFFu,  // SuspendThread / ResumeThread failed
};
enum : int { kSwHide = 0, kSwShowNormal = 1, kSwShowMinimized = 2, kSwShowMaximized = 3 };

// Shell folder identifiers (CSIDL values of the platform).
enum : int {
  kCsidlDesktop = 0x00,
  kCsidlPrograms = 0x02,
  kCsidlPersonal = 0x05,
  kCsidlFavorites = 0x06,
  kCsidlStartup = 0x07,
  kCsidlRecent = 0x08,
  kCsidlSendTo = 0x09,
  kCsidlStartMenu = 0x0B,
  kCsidlDesktopDirectory = 0x10,
  kCsidlNetHood = 0x13,
  kCsidlFonts = 0x14,
  kCsidlTemplates = 0x15,
  kCsidlCommonStartMenu = 0x16,
  kCsidlCommonPrograms = 0x17,
  kCsidlCommonStartup = 0x18,
  kCsidlCommonDesktopDirectory = 0x19,
  kCsidlAppData = 0x1A,
  kCsidlLocalAppData = 0x1C,
  kCsidlCommonAppData = 0x23,
  kCsidlWindows = 0x24,
  kCsidlSystem = 0x25,
  kCsidlProgramFiles = 0x26,
  kCsidlProgramFilesCommon = 0x2B,
  kCsidlCommonDocuments = 0x2E,
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

// SetErrorMode flags.
enum : uint32_t { kSemFailCriticalErrors = 0x0001 };

// Operating-system platform identifiers (OSVERSIONINFO.dwPlatformId).
enum : uint32_t { kPlatformWin32s = 0, kPlatformWin9x = 1, kPlatformNT = 2 };

using WindowHandle = uintptr_t;  // HWND; 0 is "no window"
using HandleValue = uintptr_t;   // kernel object handle; 0 is "none"
using ModuleHandle = uintptr_t;  // HMODULE of a loaded DLL; 0 is "none"

// Handles a message sent to the engine's main window. Returns false for a
// message it leaves to default processing; otherwise `result` is the
// message result.
using WindowMessageHandler =
    std::function<bool(uint32_t message, uintptr_t wParam, uintptr_t lParam, intptr_t& result)>;

struct SystemTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

struct FindEntry {
  std::string name;  // without folder
  uint32_t attributes = 0;
  uint64_t size = 0;
};

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// What the process token says about the local Administrators group.
enum class AdminCheck {
  Member,         // the token holds S-1-5-32-544
  NotMember,      // it does not, or the token cannot be read
  NoSecurityApi,  // the security functions of advapi32 are missing
  SidFailed,      // the group's SID could not be built
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

// Files and folders of the machine, and the paths a library that opens
// files itself must be handed.
class HostFiles {
 public:
  virtual ~HostFiles() = default;

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
  // MoveFileEx (kMoveFile* flags). With kMoveFileDelayUntilReboot the move
  // (or, when `to` is empty, the deletion) is recorded for the next start of
  // Windows; systems of the 9x family refuse it (kErrorCallNotImplemented).
  virtual bool MoveFileWithFlags(const std::string& from, const std::string& to, uint32_t flags) = 0;
  // Last-write time as a FILETIME value (100 ns units since 1601, UTC).
  virtual bool GetFileWriteTime(const std::string& path, uint64_t& time) = 0;
  virtual bool SetFileWriteTime(const std::string& path, uint64_t time) = 0;
  // FileTimeToLocalFileTime.
  virtual uint64_t ToLocalFileTime(uint64_t utc) = 0;
  // GetShortPathName: the 8.3 form of an existing path; "" when it fails.
  virtual std::string ShortPathName(const std::string& path) = 0;
  // GetDiskFreeSpaceEx: bytes available to the caller. False when the call
  // fails or the system has no such call (kErrorCallNotImplemented).
  virtual bool DiskFreeBytes(const std::string& folder, uint64_t& available) = 0;
  // GetDiskFreeSpace of a drive's root folder ("C:\").
  virtual bool DiskFreeClusters(const std::string& root, uint32_t& sectorsPerCluster, uint32_t& bytesPerSector,
                                uint32_t& freeClusters) = 0;

  // --- Paths seen by the platform itself -------------------------------------
  // A library the engine loads (the extraction library) opens files with
  // the platform's own calls, outside this seam. PlatformPath gives the
  // path such a library must be handed for a path of this host (on Windows
  // the path itself; on the sandbox the native path inside the machine, ""
  // when it maps nowhere); HostPath is the reverse.
  virtual std::string PlatformPath(const std::string& path) { return path; }
  virtual std::string HostPath(const std::string& platformPath) { return platformPath; }
  // Such a library has created or rewritten the file `platformPath`: a
  // host that keeps knowledge of its folders brings it up to date.
  virtual void PlatformFileWritten(const std::string& platformPath) {}
};

// The registry. Results are Win32 error codes (kErrorSuccess when it
// worked). Keys are handles of the predefined roots (kHKey*) or of opened
// keys; a key opened here is closed with CloseRegKey.
class HostRegistry {
 public:
  virtual ~HostRegistry() = default;

  // RegOpenKeyEx with KEY_READ, or KEY_WRITE when `write`.
  virtual uint32_t OpenRegKey(RegKey parent, const std::string& subKey, bool write, RegKey& key) = 0;
  // RegCreateKey: opens the key, creating it and every missing parent.
  virtual uint32_t CreateRegKey(RegKey parent, const std::string& subKey, RegKey& key) = 0;
  virtual void CloseRegKey(RegKey key) = 0;
  // RegQueryValueEx: the type and the complete data of a value ("" = default value).
  virtual uint32_t QueryRegValue(RegKey key, const std::string& name, uint32_t& type, std::string& data) = 0;
  // RegSetValueEx with the data exactly as given.
  virtual uint32_t SetRegValue(RegKey key, const std::string& name, uint32_t type, const std::string& data) = 0;
  virtual uint32_t DeleteRegValue(RegKey key, const std::string& name) = 0;
  // RegDeleteKey. Windows NT refuses a key that still has sub keys; the 9x
  // family deletes the whole tree.
  virtual uint32_t DeleteRegKey(RegKey key, const std::string& subKey) = 0;
  // RegEnumKeyEx / RegEnumValue: the name at `index`, kErrorNoMoreItems past the end.
  virtual uint32_t EnumRegKey(RegKey key, uint32_t index, std::string& name) = 0;
  virtual uint32_t EnumRegValue(RegKey key, uint32_t index, std::string& name) = 0;
};

// The platform's own INI access (the profile functions).
class HostProfiles {
 public:
  virtual ~HostProfiles() = default;

  // GetPrivateProfileString into a buffer of `size` bytes. Without a section
  // the result lists the section names, without a key the key names of the
  // section, each ended by a zero byte.
  virtual std::string ProfileRead(const std::string& file, const std::optional<std::string>& section,
                                  const std::optional<std::string>& key, const std::string& def,
                                  uint32_t size) = 0;
  // WritePrivateProfileString: without a value the key is deleted, without
  // a key the whole section.
  virtual bool ProfileWrite(const std::string& file, const std::string& section,
                            const std::optional<std::string>& key, const std::optional<std::string>& value) = 0;
};

// Facts of the machine and the running process: environment, folders,
// time, version, locales, rights, restart, COM, the program's resources.
class HostMachine {
 public:
  virtual ~HostMachine() = default;

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
  // GetEnvironmentStrings: "name=value" entries in the platform's order.
  virtual std::vector<std::string> EnvironmentStrings() = 0;
  // ExpandEnvironmentStrings: %NAME% of set variables replaced, the others kept.
  virtual bool ExpandEnvStrings(const std::string& text, std::string& expanded) = 0;
  virtual uint16_t UserLangId() = 0;    // GetUserDefaultLangID
  virtual uint16_t SystemLangId() = 0;  // GetSystemDefaultLangID
  // SHGetSpecialFolderLocation + SHGetPathFromIDList; "" when the shell
  // knows no such folder.
  virtual std::string ShellFolderPath(int csidl) = 0;
  // Membership of the process token in the local Administrators group
  // (Windows NT; the 9x family has no tokens and is not asked).
  virtual AdminCheck CheckAdminGroup() = 0;
  // Enables SeShutdownPrivilege in the process token; false when the
  // adjustment fails.
  virtual bool EnableShutdownPrivilege() = 0;
  // ExitWindowsEx (kEwx* flags).
  virtual bool RestartSystem(uint32_t flags) = 0;
  // SetErrorMode (kSemFailCriticalErrors ...): returns the previous mode.
  virtual uint32_t SetProcessErrorMode(uint32_t mode) = 0;
  // CompareString(LOCALE_USER_DEFAULT, NORM_IGNORECASE): -1, 0 or 1.
  virtual int CompareLocaleText(const std::string& a, const std::string& b) = 0;

  // --- Locales (see system/LocaleTable.h for the value types) ----------------
  // EnumSystemLocales(LCID_INSTALLED): the installed locale ids in the
  // platform's order.
  virtual std::vector<uint32_t> InstalledLocales() = 0;
  // GetLocaleInfo of one value as ANSI text (at most 255 characters; on
  // the NT family read in its wide form and converted); "" when unavailable.
  virtual std::string LocaleText(uint32_t lcid, uint32_t type) = 0;
  // TranslateCharsetInfo(TCI_SRCCODEPAGE); false when the code page has no
  // character set.
  virtual bool CodePageCharset(uint32_t codePage, uint32_t& charset) = 0;

  // --- COM -------------------------------------------------------------------
  // Whether an in-process instance of the class `clsid` can be created with
  // the interface `iid` (both "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"); the
  // instance is released at once.
  virtual bool ComObjectAvailable(const std::string& clsid, const std::string& iid) = 0;

  // --- Resources of the running executable -----------------------------------
  // Loads the RCDATA resource `name`; false when it is missing.
  virtual bool LoadDataResource(const std::string& name, std::string& bytes) = 0;
};

// Processes, named mutexes and libraries (plug-in DLLs).
class HostProcesses {
 public:
  virtual ~HostProcesses() = default;

  // CreateProcess of a command line (the program first, quoted when it has
  // blanks) in `folder` ("" = the current folder); the thread handle is
  // closed at once. Returns the process handle, 0 on failure.
  virtual HandleValue StartProcess(const std::string& commandLine, const std::string& folder, int showCmd,
                                   uint32_t creationFlags) = 0;
  // ShellExecuteEx ("open", asking for the process handle). 0 when it fails
  // or when the shell gives no process.
  virtual HandleValue ShellOpen(WindowHandle owner, const std::string& file, const std::string& params,
                                const std::string& folder, int showCmd) = 0;
  // WaitForSingleObject on a process: kWaitObject0, kWaitTimeout or kWaitFailed.
  virtual uint32_t WaitForProcess(HandleValue process, uint32_t milliseconds) = 0;
  virtual bool ProcessExitCode(HandleValue process, uint32_t& code) = 0;

  // --- Named mutexes ---------------------------------------------------------
  // CreateMutex (not owned, default security). `existed` tells whether the
  // name was already taken. 0 on failure.
  virtual HandleValue CreateNamedMutex(const std::string& name, bool& existed) = 0;
  // OpenMutex with READ_CONTROL access, the handle closed at once: whether
  // a mutex of that name exists.
  virtual bool NamedMutexExists(const std::string& name) = 0;
  virtual void CloseHandle(HandleValue handle) = 0;

  // --- Libraries (plug-in DLLs) ----------------------------------------------
  // LoadLibrary / GetProcAddress / FreeLibrary. On the sandbox a "DLL" is a
  // native shared object kept in the machine.
  virtual ModuleHandle LoadModule(const std::string& path) = 0;
  virtual void* ModuleProc(ModuleHandle module, const std::string& name) = 0;
  virtual void UnloadModule(ModuleHandle module) = 0;
};

// Windows and message boxes: the main window and its messages, the
// engine's own windows, the platform's message box.
class HostWindows {
 public:
  virtual ~HostWindows() = default;

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
  // EnumWindows: the top-level windows, in the platform's order.
  virtual std::vector<WindowHandle> TopLevelWindows() = 0;
  // WM_GETTEXTLENGTH + WM_GETTEXT.
  virtual std::string WindowTitle(WindowHandle window) = 0;
  // PeekMessage (PM_REMOVE), then translate and dispatch: 1 when a message
  // was dispatched, 0 when the queue was empty, -1 when WM_QUIT was removed.
  virtual int DispatchOneMessage() = 0;
  // SystemParametersInfo(SPI_GETWORKAREA).
  virtual bool WorkArea(Rect& area) = 0;
  // The engine's icon "MAINICON" at 16 x 16 (small) or 32 x 32 pixels.
  virtual HandleValue LoadEngineIcon(bool small) = 0;

  // --- Messages to the main window -------------------------------------------
  // The handler the main window runs for its messages (cross-thread calls
  // of the plug-in host, the end-of-session query).
  virtual void SetMainWindowHandler(WindowMessageHandler handler) = 0;
  // SendMessage: from the window's own thread the handler runs at once;
  // from another thread the call waits until that thread has handled it
  // while dispatching its messages.
  virtual intptr_t SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                                     uintptr_t lParam) = 0;
  virtual uint32_t CurrentThreadId() = 0;

  // --- Engine windows (splash and preparation) -------------------------------
  // The engine's own windows share one class: the main window's procedure
  // (the handler above), the icon "MAINICON", CS_VREDRAW | CS_HREDRAW |
  // CS_DBLCLKS. RegisterClassEx first, RegisterClass when that fails; true
  // when the class is registered afterwards (also when it already was).
  // CreateMainWindow registers it itself when needed.
  virtual bool RegisterEngineWindowClass(const std::string& className) = 0;
  // GetSystemMetrics(SM_CXSCREEN, SM_CYSCREEN).
  virtual void ScreenSize(int& width, int& height) = 0;
  // A bitmap file loaded as a picture (LoadImage with LR_LOADFROMFILE; bytes
  // after the bitmap data are ignored). 0 when it cannot be loaded; freed
  // with DeletePicture.
  virtual HandleValue LoadPictureFile(const std::string& path, int& width, int& height) = 0;
  virtual void DeletePicture(HandleValue picture) = 0;
  // A hidden popup window of the engine's class titled `title`, owned by
  // `owner`, whose procedure is replaced right after creation by one that
  // paints `picture` at (0, 0) on WM_PAINT, answers 1 to WM_ERASEBKGND when
  // `noErase`, and leaves everything else to default processing. The
  // picture must outlive the window. 0 on failure.
  virtual WindowHandle CreatePictureWindow(const std::string& className, const std::string& title,
                                           WindowHandle owner, const Rect& bounds, HandleValue picture,
                                           bool noErase) = 0;
  // A progress bar child ("MSCTLS_PROGRESS32", WS_CHILD | WS_VISIBLE) with
  // its bar and background colours (COLORREF 0x00BBGGRR). 0 on failure.
  virtual WindowHandle CreateProgressBar(WindowHandle parent, const Rect& bounds, uint32_t barColour,
                                         uint32_t backColour) = 0;
  // A modeless dialog from the executable's resources, owned by `owner`,
  // without a dialog procedure of its own. 0 when it cannot be created.
  virtual WindowHandle CreateResourceDialog(const std::string& name, WindowHandle owner) = 0;
  // GetDlgItem.
  virtual WindowHandle DialogItem(WindowHandle dialog, int id) = 0;
  // PBM_SETRANGE32 and PBM_SETSTEP; PBM_SETPOS.
  virtual void SetProgressRange(WindowHandle bar, int low, int high, int step) = 0;
  virtual void SetProgressPosition(WindowHandle bar, int position) = 0;
  // SetWindowText.
  virtual bool SetWindowTitle(WindowHandle window, const std::string& title) = 0;
  // GetWindowRect (screen coordinates).
  virtual bool WindowBounds(WindowHandle window, Rect& bounds) = 0;
  // SetWindowPos to (left, top) without resizing, activating or changing
  // the Z order.
  virtual bool MoveWindowTo(WindowHandle window, int left, int top) = 0;
  // ShowWindow(SW_SHOW) followed by UpdateWindow (painted at once).
  virtual void ShowAndUpdateWindow(WindowHandle window) = 0;
  // IsWindowVisible.
  virtual bool WindowVisible(WindowHandle window) = 0;
  // ExtCreateRegion of region data (RGNDATA as GetRegionData gives it),
  // made the window's region and redrawn. False when no region results.
  virtual bool SetWindowRegionData(WindowHandle window, const std::string& regionData) = 0;
  // Whether user32.dll exports SetLayeredWindowAttributes.
  virtual bool LayeredWindowsAvailable() = 0;
  // Adds WS_EX_LAYERED and sets the window's alpha (LWA_ALPHA).
  virtual bool SetWindowAlpha(WindowHandle window, uint8_t alpha) = 0;
};

// The installation's worker thread: the file copy runs on it while the main
// thread does nothing but dispatch window messages (DispatchOneMessage),
// which is where the worker's SendWindowMessage calls are handled.
class HostThreads {
 public:
  virtual ~HostThreads() = default;

  // CreateThread with the default stack size and no flags. The thread
  // initialises COM for itself (CoInitialize), runs `work`, uninitialises
  // COM and ends with `work`'s result as its exit code. An exception that
  // escapes `work` ends the thread with exit code 0 (a failed copy, noted
  // in the run log) instead of the whole process. Returns the thread's
  // handle (0 on failure), released with CloseWorker.
  virtual HandleValue StartWorker(std::function<uint32_t()> work) = 0;
  // GetExitCodeThread: kStillActive while the thread runs.
  virtual bool WorkerExitCode(HandleValue thread, uint32_t& code) = 0;
  // MsgWaitForMultipleObjects on the thread and the calling thread's
  // message queue (QS_ALLINPUT): kWaitObject0 once the thread has ended,
  // kWaitInput when messages wait for DispatchOneMessage (also a call
  // another thread sends to a window of this one), kWaitTimeout, or
  // kWaitFailed. Lets the main thread sleep between messages instead of
  // polling.
  virtual uint32_t WaitForWorkerOrMessage(HandleValue thread, uint32_t milliseconds) = 0;
  // SuspendThread / ResumeThread: the previous suspend count, or
  // kSuspendFailed. Counts nest: two suspensions need two resumptions. A
  // worker that suspends itself stops at once, until another thread
  // resumes it.
  virtual uint32_t SuspendWorker(HandleValue thread) = 0;
  virtual uint32_t ResumeWorker(HandleValue thread) = 0;
  // A safe point in the worker's work (between files, between the blocks
  // of a file). Windows stops a suspended thread wherever it is; a host
  // that stops its workers only where they can safely wait holds a
  // suspended worker here until it is resumed. No effect on other threads.
  virtual void WorkerCheckpoint() = 0;
  // CloseHandle of the thread's handle; the thread itself runs on.
  virtual void CloseWorker(HandleValue thread) = 0;
};

// The system's protection of its own files (Windows File Protection):
// files it protects are never written or removed by an installation.
class HostProtectedFiles {
 public:
  virtual ~HostProtectedFiles() = default;

  // LoadLibrary("sfc.dll") and GetProcAddress("SfcIsFileProtected"). True
  // when the query is available afterwards (also when it already was);
  // false on systems without it.
  virtual bool LoadProtectedFileQuery() = 0;
  // SfcIsFileProtected(NULL, the path in its wide form). False when the
  // query is not loaded.
  virtual bool IsProtectedFile(const std::string& path) = 0;
  // FreeLibrary of "sfc.dll": no query afterwards.
  virtual void FreeProtectedFileQuery() = 0;
};

// Changes of the system that other programs are told about: the font table
// and the broadcasts announcing changed fonts and settings.
class HostSystemChanges {
 public:
  virtual ~HostSystemChanges() = default;

  // AddFontResource: the fonts of a font file join the system's font table
  // (until they are removed or Windows restarts). False when the file
  // holds no font that can be added.
  virtual bool AddFontFile(const std::string& path) = 0;
  // RemoveFontResource: one addition of the file is taken back; a file
  // added twice stays in the table until it has been removed twice. False
  // when the file is not in the table.
  virtual bool RemoveFontFile(const std::string& path) = 0;
  // WM_FONTCHANGE to every top-level window: SendMessageTimeout to
  // HWND_BROADCAST with SMTO_ABORTIFHUNG and `timeoutMs` per window, so
  // that a hung window cannot stop the installation.
  virtual bool BroadcastFontChange(uint32_t timeoutMs) = 0;
  // WM_SETTINGCHANGE with the text `area` ("Environment") as lParam, sent
  // the same way.
  virtual bool BroadcastSettingChange(const std::string& area, uint32_t timeoutMs) = 0;
};

// What one shell link holds, as IShellLink sets and gets it.
struct ShellLinkData {
  std::string target;         // SetPath
  std::string arguments;      // SetArguments
  std::string workingFolder;  // SetWorkingDirectory
  std::string description;    // SetDescription
  std::string iconFile;       // SetIconLocation: the file ...
  int32_t iconIndex = 0;      // ... and the index of the icon in it
  uint16_t hotkey = 0;        // SetHotkey: virtual key low byte, HOTKEYF_* modifiers high byte
  int showCmd = kSwShowNormal;  // SetShowCmd: an SW_* value
};

// SW_SHOWMINNOACTIVE: the show command of a link that starts minimised.
enum : int { kSwShowMinNoActive = 7 };

// Shell links (.lnk files) and the shell's notifications about changed items.
class HostShellLinks {
 public:
  virtual ~HostShellLinks() = default;

  // CoInitialize for the calling thread: true when COM is initialised for
  // it afterwards (also when it already was); every true must be balanced
  // by UninitializeCom on the same thread. The shell link object needs COM.
  virtual bool InitializeCom() = 0;
  // CoUninitialize.
  virtual void UninitializeCom() = 0;
  // A shell link object (CLSID_ShellLink, IShellLinkA) filled in with
  // SetPath, SetArguments, SetWorkingDirectory, SetShowCmd, SetHotkey,
  // SetDescription and SetIconLocation in this order, then written to
  // `path` through IPersistFile::Save (the wide path, not remembered). False
  // when COM is not initialised for the thread or any of these calls fails.
  virtual bool SaveShellLink(const std::string& path, const ShellLinkData& link) = 0;
  // The facts of the link file `path` (IPersistFile::Load, then the
  // IShellLinkA getters; the target as stored, not resolved). False when
  // COM is not initialised, the file cannot be read or is no shell link.
  virtual bool LoadShellLink(const std::string& path, ShellLinkData& link) = 0;
  // SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHA | SHCNF_FLUSH): the shell
  // is told that the item `path` changed, and the call returns once it has
  // been told.
  virtual void NotifyShellItemChanged(const std::string& path) = 0;
};

// What calling an entry point of a server module gave (CallServerEntry).
enum class ServerEntryCall {
  NotLoaded,     // LoadLibrary failed (LastError tells why)
  NoExport,      // the module does not export the probed name
  EntryMissing,  // it exports the probed name but not the entry to call
  Called,        // the entry was called; its HRESULT is given
};

// HRESULT values the registration looks at.
enum : int32_t {
  kSOk = 0,
  kEFail = int32_t(0x80004005u),
  kTypeECantLoadLibrary = int32_t(0x80029C4Au),
  kTypeERegistryAccess = int32_t(0x8002801Cu),
  kTypeELibNotRegistered = int32_t(0x8002801Du),
};

// Registration of COM servers and type libraries with the system.
class HostRegistration {
 public:
  virtual ~HostRegistration() = default;

  // LoadLibrary(path); GetProcAddress(`probe`); when the module exports it,
  // GetProcAddress(`entry`) and a call of that entry (STDAPI, no
  // arguments: DllRegisterServer, DllUnregisterServer) with COM initialised
  // for the call; FreeLibrary. `hresult` gets the entry's result when it
  // was called.
  virtual ServerEntryCall CallServerEntry(const std::string& path, const std::string& probe,
                                          const std::string& entry, int32_t& hresult) = 0;
  // WinExec: starts the command line without waiting. Greater than 31 when
  // the program was started, else an error code (2 file not found, 11 bad
  // format...).
  virtual uint32_t WinExecCommand(const std::string& commandLine, int showCmd) = 0;

  // --- Type libraries --------------------------------------------------------
  // LoadTypeLibEx(path, REGKIND_NONE): loads the type library the file
  // holds (a .tlb file, or the TYPELIB resource of a module) without
  // registering it. The library, released with ReleaseTypeLibrary, or 0;
  // `hresult` gets the result.
  virtual HandleValue LoadTypeLibrary(const std::string& path, int32_t& hresult) = 0;
  // ITypeLib::GetDocumentation(-1): the library's help file ("" when none).
  virtual std::string TypeLibraryHelpFile(HandleValue library) = 0;
  // RegisterTypeLib(library, path, helpFolder or NULL when empty).
  virtual int32_t RegisterTypeLibrary(HandleValue library, const std::string& path,
                                      const std::string& helpFolder) = 0;
  // UnRegisterTypeLib (looked up in OLEAUT32.DLL at run time) with the
  // GUID, version, locale and system kind of the library's attributes.
  virtual int32_t UnregisterTypeLibrary(HandleValue library) = 0;
  virtual void ReleaseTypeLibrary(HandleValue library) = 0;
};

// The one interface between the engine and an operating system: every role
// above, implemented together by Win32Host and SandboxHost.
class Host : public HostFiles,
             public HostRegistry,
             public HostProfiles,
             public HostMachine,
             public HostProcesses,
             public HostWindows,
             public HostThreads,
             public HostProtectedFiles,
             public HostSystemChanges,
             public HostShellLinks,
             public HostRegistration {
 public:
  ~Host() override = default;
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
