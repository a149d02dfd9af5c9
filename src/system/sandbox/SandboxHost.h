// SandboxHost: one Windows machine emulated inside a folder (the machine
// root), so that the engine runs natively for tests and previews.
//
//   <root>/machine.ini   facts: OS version, folders, environment, drives...
//   <root>/drive_c/      drive C: (other drive_<letter> folders likewise)
//   <root>/HKLM.reg ...  registry hives as REGEDIT4 text (HKLM, HKCU, HKU,
//                        HKCR), each rewritten atomically after a change
//
// machine.ini sections: [Machine] (Platform NT or 9X, Major, Minor, Build,
// ServicePack, Administrator, UserLocale, SystemLocale, hexadecimal locale
// ids), [Folders] (Windows, System, Current), [ShellFolders] (by shell name:
// Programs, CommonPrograms, Fonts...), [Environment], [Drives], [FreeSpace]
// (drive letter = KiB free when the machine is opened: a real limit, see
// below), [InUse] (any key = a Windows path of a file held
// open by "another program": it cannot be deleted or overwritten),
// [Protected] (any key = a Windows path of a file the system protects:
// the protected-file query answers yes for it, compared case-insensitively;
// the query exists on Windows 2000, XP and Me machines, not on 95, 98 or
// NT 4), [Windows] (any key = title of a top-level window), [Mutexes] (names
// taken by other programs), [WorkArea] (Left, Top, Right, Bottom),
// [Screen] (Width, Height; 1024 x 768 when missing), [Machine]
// LayeredWindows (0/1, else Windows 2000 and later have them),
// [Programs] (program file name, full Windows path or ".ext" = a shell
// command run for it; its arguments are $1, $2...).
//
// What the machine's programs change while it runs is kept beside
// machine.ini: <root>/fonts.loaded is the font table (one line per
// AddFontResource of a file, its Windows path; a file added twice is listed
// twice), <root>/restart.pending a restart the engine asked for.
//
// Worker threads are real threads. Suspending one takes effect where it can
// wait safely (its next file open, read or write on the machine, its next
// message to the main window, WorkerCheckpoint) rather than anywhere, so a
// suspended worker never stops while holding a lock the main thread needs;
// a worker that suspends itself stops at once.
//
// A drive with a [FreeSpace] value is full once this host object has made
// its files grow by that many KiB: a write or SetEnd that would extend a
// file beyond the room left fails with ERROR_DISK_FULL and changes nothing,
// and the free space reported is the room left. Truncating or deleting a
// file gives its bytes back, never beyond the value itself. Only the
// machine's own open files count; what a library writes through native
// paths (PlatformPath), INI files and moves between drives do not.
//
// Windows paths are resolved case-insensitively against what exists, as
// Windows does. Drive Z: maps the real file system's root, as under Wine,
// so that a setup file started from anywhere can be read; it is read-only
// unless the machine is opened with `hostWritable` (tools that work on the
// user's files), so a sandboxed run never changes files outside its root.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "system/EmbeddedResource.h"
#include "system/host.h"
#include "system/sandbox/FolderListings.h"
#include "system/sandbox/RegistryHive.h"

namespace vx {

struct WorkerGate;  // one worker thread's state (SandboxNative.h)
struct DriveSpace;  // the room left on a drive of fixed free space (SandboxNative.h)

enum class MachineKind { XP, W2000, NT4, W98, W95, Me };

struct SandboxOptions {
  bool hostWritable = false;       // drive Z: may be written
  std::string executable;          // native path of "the running program"; "" = this process
};

class SandboxHost : public Host {
 public:
  // Opens the machine at `root`, creating a fresh one (Windows XP) when the
  // folder holds no machine yet.
  explicit SandboxHost(const std::string& root, SandboxOptions options = {});
  ~SandboxHost() override;

  // The machine root chosen by VX_MACHINE, else "$HOME/.vxmachine".
  static std::string DefaultRoot();
  // Lays out a fresh machine of the given kind in `root` (which must not
  // hold one yet). False when the folder cannot be written.
  static bool InitMachine(const std::string& root, MachineKind kind);
  static bool ParseMachineKind(const std::string& text, MachineKind& kind);

  const std::string& Root() const { return root_; }
  // The native path a Windows path maps to ("" when it maps nowhere).
  std::string NativePath(const std::string& windowsPath);
  // The Windows path of a native path (through the drive that holds it).
  std::string WindowsPath(const std::string& nativePath);
  // A fact from machine.ini ("" when missing).
  std::string Fact(const std::string& section, const std::string& key) const;

  uint32_t GetAttributes(const std::string& path) override;
  bool SetAttributes(const std::string& path, uint32_t attributes) override;
  bool MakeFolder(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ListFolder(const std::string& folder, const std::string& pattern, std::vector<FindEntry>& entries,
                  uint32_t& error) override;
  std::unique_ptr<HostFile> OpenFile(const std::string& path, FileAccess access, FileCreate create,
                                     uint32_t share) override;
  std::string CurrentFolder() override;
  bool SetCurrentFolder(const std::string& path) override;
  std::string FullPath(const std::string& path) override;
  bool MoveFileWithFlags(const std::string& from, const std::string& to, uint32_t flags) override;
  bool GetFileWriteTime(const std::string& path, uint64_t& time) override;
  bool SetFileWriteTime(const std::string& path, uint64_t time) override;
  uint64_t ToLocalFileTime(uint64_t utc) override;
  std::string ShortPathName(const std::string& path) override;
  bool DiskFreeBytes(const std::string& folder, uint64_t& available) override;
  bool DiskFreeClusters(const std::string& root, uint32_t& sectorsPerCluster, uint32_t& bytesPerSector,
                        uint32_t& freeClusters) override;

  uint32_t OpenRegKey(RegKey parent, const std::string& subKey, bool write, RegKey& key) override;
  uint32_t CreateRegKey(RegKey parent, const std::string& subKey, RegKey& key) override;
  void CloseRegKey(RegKey key) override;
  uint32_t QueryRegValue(RegKey key, const std::string& name, uint32_t& type, std::string& data) override;
  uint32_t SetRegValue(RegKey key, const std::string& name, uint32_t type, const std::string& data) override;
  uint32_t DeleteRegValue(RegKey key, const std::string& name) override;
  uint32_t DeleteRegKey(RegKey key, const std::string& subKey) override;
  uint32_t EnumRegKey(RegKey key, uint32_t index, std::string& name) override;
  uint32_t EnumRegValue(RegKey key, uint32_t index, std::string& name) override;

  std::string ProfileRead(const std::string& file, const std::optional<std::string>& section,
                          const std::optional<std::string>& key, const std::string& def, uint32_t size) override;
  bool ProfileWrite(const std::string& file, const std::string& section, const std::optional<std::string>& key,
                    const std::optional<std::string>& value) override;

  std::string ExecutablePath() override;
  std::optional<std::string> GetEnv(const std::string& name) override;
  std::string PlatformTempPath() override;
  std::string WindowsFolder() override;
  std::string SystemFolder() override;
  SystemTime LocalTime() override;
  uint32_t TickCount() override;
  void SleepMs(uint32_t ms) override;
  VersionFacts Version() override;
  uint32_t LastError() override;
  std::vector<std::string> EnvironmentStrings() override;
  bool ExpandEnvStrings(const std::string& text, std::string& expanded) override;
  uint16_t UserLangId() override;
  uint16_t SystemLangId() override;
  std::string ShellFolderPath(int csidl) override;
  AdminCheck CheckAdminGroup() override;
  bool EnableShutdownPrivilege() override;
  bool RestartSystem(uint32_t flags) override;
  uint32_t SetProcessErrorMode(uint32_t mode) override;
  int CompareLocaleText(const std::string& a, const std::string& b) override;
  std::vector<uint32_t> InstalledLocales() override;
  std::string LocaleText(uint32_t lcid, uint32_t type) override;
  bool CodePageCharset(uint32_t codePage, uint32_t& charset) override;
  bool ComObjectAvailable(const std::string& clsid, const std::string& iid) override;

  HandleValue StartProcess(const std::string& commandLine, const std::string& folder, int showCmd,
                           uint32_t creationFlags) override;
  HandleValue ShellOpen(WindowHandle owner, const std::string& file, const std::string& params,
                        const std::string& folder, int showCmd) override;
  uint32_t WaitForProcess(HandleValue process, uint32_t milliseconds) override;
  bool ProcessExitCode(HandleValue process, uint32_t& code) override;

  bool LoadDataResource(const std::string& name, std::string& bytes) override;

  HandleValue CreateNamedMutex(const std::string& name, bool& existed) override;
  bool NamedMutexExists(const std::string& name) override;
  void CloseHandle(HandleValue handle) override;

  WindowHandle CreateMainWindow(const std::string& className) override;
  void DestroyWindow(WindowHandle window) override;
  WindowHandle LastActivePopup(WindowHandle window) override;
  int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                 uint32_t flags) override;
  std::vector<WindowHandle> TopLevelWindows() override;
  std::string WindowTitle(WindowHandle window) override;
  int DispatchOneMessage() override;
  bool WorkArea(Rect& area) override;
  void SetMainWindowHandler(WindowMessageHandler handler) override;
  intptr_t SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, uintptr_t lParam) override;
  uint32_t CurrentThreadId() override;
  ModuleHandle LoadModule(const std::string& path) override;
  void* ModuleProc(ModuleHandle module, const std::string& name) override;
  void UnloadModule(ModuleHandle module) override;
  std::string PlatformPath(const std::string& path) override { return NativePath(path); }
  std::string HostPath(const std::string& platformPath) override { return WindowsPath(platformPath); }
  void PlatformFileWritten(const std::string& platformPath) override { NoteEntry(platformPath, true); }
  HandleValue LoadEngineIcon(bool small) override;

  // The engine's windows (SandboxWindows.cpp). Nothing is drawn: the
  // machine keeps each window's title, place, size, region, opacity and
  // progress, and records what a person would see in the run log
  // (category "window").
  bool RegisterEngineWindowClass(const std::string& className) override;
  void ScreenSize(int& width, int& height) override;
  HandleValue LoadPictureFile(const std::string& path, int& width, int& height) override;
  void DeletePicture(HandleValue picture) override;
  WindowHandle CreatePictureWindow(const std::string& className, const std::string& title, WindowHandle owner,
                                   const Rect& bounds, HandleValue picture, bool noErase) override;
  WindowHandle CreateProgressBar(WindowHandle parent, const Rect& bounds, uint32_t barColour,
                                 uint32_t backColour) override;
  WindowHandle CreateResourceDialog(const std::string& name, WindowHandle owner) override;
  WindowHandle DialogItem(WindowHandle dialog, int id) override;
  void SetProgressRange(WindowHandle bar, int low, int high, int step) override;
  void SetProgressPosition(WindowHandle bar, int position) override;
  bool SetWindowTitle(WindowHandle window, const std::string& title) override;
  bool WindowBounds(WindowHandle window, Rect& bounds) override;
  bool MoveWindowTo(WindowHandle window, int left, int top) override;
  void ShowAndUpdateWindow(WindowHandle window) override;
  bool WindowVisible(WindowHandle window) override;
  bool SetWindowRegionData(WindowHandle window, const std::string& regionData) override;
  bool LayeredWindowsAvailable() override;
  bool SetWindowAlpha(WindowHandle window, uint8_t alpha) override;
  // The progress bar's position (tests).
  int ProgressPosition(WindowHandle bar);

  // The installation's roles (SandboxThreads.cpp, SandboxProtectedFiles.cpp,
  // SandboxSystemChanges.cpp).
  HandleValue StartWorker(std::function<uint32_t()> work) override;
  bool WorkerExitCode(HandleValue thread, uint32_t& code) override;
  uint32_t WaitForWorkerOrMessage(HandleValue thread, uint32_t milliseconds) override;
  uint32_t SuspendWorker(HandleValue thread) override;
  uint32_t ResumeWorker(HandleValue thread) override;
  void WorkerCheckpoint() override;
  void CloseWorker(HandleValue thread) override;

  bool LoadProtectedFileQuery() override;
  bool IsProtectedFile(const std::string& path) override;
  void FreeProtectedFileQuery() override;

  bool AddFontFile(const std::string& path) override;
  bool RemoveFontFile(const std::string& path) override;
  bool BroadcastFontChange(uint32_t timeoutMs) override;
  bool BroadcastSettingChange(const std::string& area, uint32_t timeoutMs) override;
  // The font table: the Windows path of every file added and not yet
  // removed, once per addition, in the order they were added.
  std::vector<std::string> LoadedFonts();
  // The broadcasts of this host so far, in order: "WM_FONTCHANGE",
  // "WM_SETTINGCHANGE Environment" (the message and its text).
  std::vector<std::string> Broadcasts();

  // Shell links (SandboxShellLinks.cpp): real ".lnk" files in the shell
  // link binary format, written and read through the machine's files.
  // COM counts per thread as on Windows; the machine's worker threads have
  // it, as StartWorker promises.
  bool InitializeCom() override;
  void UninitializeCom() override;
  bool SaveShellLink(const std::string& path, const ShellLinkData& link) override;
  bool LoadShellLink(const std::string& path, ShellLinkData& link) override;
  void NotifyShellItemChanged(const std::string& path) override;
  // The items the shell was told about so far, in order (Windows paths as given).
  std::vector<std::string> ShellNotifications();

  // Registration of servers and type libraries (SandboxRegistration.cpp):
  // what registering a server or a type library writes into the registry is
  // described to the machine ([Servers] and [TypeLibraries] of machine.ini,
  // or a REGEDIT4 file "<server>.reg" beside a server); registering applies
  // the description, unregistering removes what it names.
  ServerEntryCall CallServerEntry(const std::string& path, const std::string& probe, const std::string& entry,
                                  int32_t& hresult) override;
  uint32_t WinExecCommand(const std::string& commandLine, int showCmd) override;
  HandleValue LoadTypeLibrary(const std::string& path, int32_t& hresult) override;
  std::string TypeLibraryHelpFile(HandleValue library) override;
  int32_t RegisterTypeLibrary(HandleValue library, const std::string& path, const std::string& helpFolder) override;
  int32_t UnregisterTypeLibrary(HandleValue library) override;
  void ReleaseTypeLibrary(HandleValue library) override;

  // --- The machine beyond the platform calls -------------------------------
  // Starts the machine again: applies the changes recorded for the restart
  // in their order (PendingFileRenameOperations on an NT machine, the
  // [Rename] section of wininit.ini on a 9x machine), then runs and removes
  // the RunOnce entries of HKLM and HKCU. `report` gets one line per step.
  bool Reboot(std::vector<std::string>& report);
  // Whether the engine asked for a restart (RestartSystem) since the last Reboot.
  bool RestartRequested();
  // The REGEDIT4 text of a key and everything below it ("HKLM\Software",
  // a bare root name for a whole hive). False when the key does not exist.
  bool ExportRegistry(const std::string& keyPath, std::string& text);
  // The REGEDIT4 name of a predefined key ("HKEY_LOCAL_MACHINE"), "" for others.
  static std::string RootName(RegKey root);

 private:
  struct Drive {
    std::string base;  // native folder, no trailing slash ("" for "/")
    bool writable = true;
  };
  struct Resolved {
    bool ok = false;
    std::string native;
    char drive = 0;
    // The state of `native` when the resolution found it there (and it is
    // not a symbolic link): callers need not look again.
    bool stated = false;
    struct stat st {};
    // The resolution found the last name absent from its folder.
    bool absent = false;
  };

  void LoadFacts();
  std::string Normalize(const std::string& path, bool& ok);
  Resolved Resolve(const std::string& path);
  bool Writable(const Resolved& r);
  bool Fail(uint32_t error);

  // Registry.
  struct Hive {
    std::string file;
    RegNode top;
    bool loaded = false;
    int64_t stamp = -1, size = -1;  // of the file as last read or written
  };
  struct OpenKey {
    RegKey root = 0;
    std::vector<std::string> path;
    bool write = false;
  };
  Hive* GetHive(RegKey root);
  bool SaveHive(RegKey root);
  uint32_t ResolveKey(RegKey key, const std::string& subKey, RegKey& root, std::vector<std::string>& path);
  RegNode* FindNode(RegKey root, const std::vector<std::string>& path);
  RegNode* KeyNode(RegKey key, uint32_t& error);
  bool MayWriteRoot(RegKey root);
  bool IsNT() const;

  // Files.
  struct OpenRecord {
    uint64_t id;
    FileAccess access;
    uint32_t share;
  };
  struct FileTable {
    std::mutex lock;
    std::map<std::string, std::vector<OpenRecord>> open;  // native path -> handles
    uint64_t nextId = 1;
  };
  bool InUse(const std::string& native);
  // The room left on a drive of fixed free space; null for other drives.
  std::shared_ptr<DriveSpace> SpaceOf(char drive) const;
  bool OpenByOthersWithoutDelete(const std::string& native);
  std::string ShortName(const std::string& nativeDir, const std::string& name);
  std::string ResolveShortComponent(const std::string& nativeDir, const std::string& part);
  // stat() of a resolved path (what the resolution saw when it has it).
  static bool StatOf(const Resolved& r, struct stat& st);
  // rename() of two native paths, the listings kept current.
  bool Rename(const std::string& from, const std::string& to);
  // The machine itself created (`added`) or removed the entry `native`.
  void NoteEntry(const std::string& native, bool added);

  // Processes.
  struct Process {
    int pid = -1;  // -1: finished at start (a built-in command)
    bool done = false;
    uint32_t exitCode = 0;
  };
  HandleValue TrackProcess(const Process& process);
  // A process that ended at its start with `code` (a built-in command).
  HandleValue FinishedProcess(uint32_t code);
  // Starts the native program `argv` in `nativeFolder` and tracks it.
  HandleValue SpawnProcess(const std::vector<std::string>& argv, const std::string& nativeFolder);
  bool RunBuiltin(const std::vector<std::string>& args, uint32_t& code);
  // A batch file carried out by the machine (SandboxProcesses.cpp).
  HandleValue RunBatch(const std::string& batch, const std::string& folder);
  bool TranslateBatch(const std::string& text, const std::string& folder, std::string& script, std::string& error);
  // Gives a native program the machine holds its execute bit.
  bool MakeRunnable(const std::string& native);
  std::string ProgramCommand(const std::string& windowsPath);

  // The main window's messages: the handler, the thread that owns the
  // window, and calls from other threads waiting for that thread.
  struct PendingCall {
    uint32_t message;
    uintptr_t wParam, lParam;
    intptr_t result = 0;
    bool done = false;
  };
  std::mutex windowLock_;
  std::condition_variable windowDone_;
  std::deque<PendingCall*> windowQueue_;
  WindowMessageHandler windowHandler_;
  std::thread::id windowThread_;
  bool mainWindow_ = false;  // the main window (handle 1) exists
  intptr_t HandleWindowMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam);
  // Wakes WaitForWorkerOrMessage (under windowLock_): a call was queued
  // for the window's thread or a worker ended.
  std::condition_variable windowWake_;
  // The machine is closing: calls from other threads are answered with 0.
  bool windowClosing_ = false;

  // Worker threads: the open handles, and every thread not yet joined.
  std::shared_ptr<WorkerGate> FindWorker(HandleValue thread);
  // Closes a worker's handle; false when `handle` names no worker.
  bool ReleaseWorker(HandleValue handle);
  // Lets every worker run to its end and joins it (the host is closing).
  void StopWorkers();
  std::mutex workerLock_;
  std::map<HandleValue, std::shared_ptr<WorkerGate>> workers_;
  std::vector<std::pair<std::shared_ptr<WorkerGate>, std::thread>> workerThreads_;

  // The protected-file query (loaded or not) and the machine's changes.
  std::atomic<bool> protectedQuery_{false};
  std::string FontTableFile() const { return root_ + "/fonts.loaded"; }
  std::mutex changesLock_;
  std::vector<std::string> broadcasts_;
  std::vector<std::string> shellNotifications_;
  // Whether the calling thread may use COM (initialised, or a worker).
  bool ComReady();

  // Registration: a server's or type library's description (a REGEDIT4
  // text, "fail" or "none"; "" when the machine has none), applied or
  // removed; the type libraries loaded (handle -> description).
  std::string RegistrationDescription(const std::string& section, const std::string& windowsPath);
  bool ApplyRegistration(const std::string& description, bool add);
  std::mutex typeLibLock_;
  std::map<HandleValue, std::pair<std::string, std::string>> typeLibs_;  // -> (path, description)

  // The engine's windows and pictures.
  struct EngineWindow {
    std::string className, title, label;  // label: names the window in the run log
    WindowHandle owner = 0, parent = 0;
    Rect bounds;
    bool visible = false;
    int alpha = -1;         // -1: not layered
    int regionRects = -1;   // -1: rectangular
    int low = 0, high = 100, step = 10, position = 0;  // progress bars
    int id = 0;             // dialog item id
  };
  std::string WindowLabel(const EngineWindow& w) const;
  std::vector<WindowHandle> EngineTopLevelWindows();
  std::string EngineWindowTitle(WindowHandle window, bool& found);
  std::mutex engineWindowLock_;
  std::map<WindowHandle, EngineWindow> engineWindows_;
  std::map<HandleValue, std::pair<int, int>> pictures_;  // handle -> width, height
  uintptr_t nextEngineHandle_ = 0x20000;

  std::string root_;
  SandboxOptions options_;
  std::map<RegKey, Hive> hives_;
  std::map<RegKey, OpenKey> regKeys_;
  RegKey nextRegKey_ = 0x1000;
  std::shared_ptr<FileTable> files_ = std::make_shared<FileTable>();
  FolderListings listings_;  // case-insensitive name lookups
  std::map<HandleValue, Process> processes_;
  std::vector<std::pair<std::string, std::string>> environment_;  // as written, case kept
  bool rebooting_ = false;
  std::map<std::string, std::map<std::string, std::string>> facts_;  // upper-cased keys
  std::map<char, Drive> drives_;
  std::map<char, std::shared_ptr<DriveSpace>> space_;  // drives of fixed free space; set when opened
  std::string currentFolder_;
  std::mutex mutexLock_;
  std::map<HandleValue, std::pair<std::string, int>> mutexes_;  // handle -> (name, lock fd)
  HandleValue nextHandle_ = 0x100;
  std::atomic<uint32_t> errorMode_{0};
};

}  // namespace vx
