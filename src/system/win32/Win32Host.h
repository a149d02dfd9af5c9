// Win32Host: the Host seam over the real Windows API. This is the product;
// it is tested under Wine.
#pragma once

#include "system/host.h"

namespace vx {

class Win32Host : public Host {
 public:
  Win32Host();
  ~Win32Host() override;

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
  HandleValue LoadEngineIcon(bool small) override;

  // Engine windows (Win32Windows.cpp).
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

  // The installation's roles (Win32Installation.cpp): its worker thread,
  // the protected-file query, the font table and the broadcasts.
  HandleValue StartWorker(std::function<uint32_t()> work) override;
  bool WorkerExitCode(HandleValue thread, uint32_t& code) override;
  uint32_t WaitForWorkerOrMessage(HandleValue thread, uint32_t milliseconds) override;
  uint32_t SuspendWorker(HandleValue thread) override;
  uint32_t ResumeWorker(HandleValue thread) override;
  void WorkerCheckpoint() override {}  // SuspendThread stops a thread anywhere
  void CloseWorker(HandleValue thread) override;

  bool LoadProtectedFileQuery() override;
  bool IsProtectedFile(const std::string& path) override;
  void FreeProtectedFileQuery() override;

  bool AddFontFile(const std::string& path) override;
  bool RemoveFontFile(const std::string& path) override;
  bool BroadcastFontChange(uint32_t timeoutMs) override;
  bool BroadcastSettingChange(const std::string& area, uint32_t timeoutMs) override;

  // Shell links (Win32ShellLinks.cpp).
  bool InitializeCom() override;
  void UninitializeCom() override;
  bool SaveShellLink(const std::string& path, const ShellLinkData& link) override;
  bool LoadShellLink(const std::string& path, ShellLinkData& link) override;
  void NotifyShellItemChanged(const std::string& path) override;

  // Registration of servers and type libraries (Win32Registration.cpp).
  ServerEntryCall CallServerEntry(const std::string& path, const std::string& probe, const std::string& entry,
                                  int32_t& hresult) override;
  uint32_t WinExecCommand(const std::string& commandLine, int showCmd) override;
  HandleValue LoadTypeLibrary(const std::string& path, int32_t& hresult) override;
  std::string TypeLibraryHelpFile(HandleValue library) override;
  int32_t RegisterTypeLibrary(HandleValue library, const std::string& path, const std::string& helpFolder) override;
  int32_t UnregisterTypeLibrary(HandleValue library) override;
  void ReleaseTypeLibrary(HandleValue library) override;

 private:
  ModuleHandle sfc_ = 0;              // "sfc.dll" while the query is loaded
  void* sfcIsFileProtected_ = nullptr;  // its SfcIsFileProtected
};

}  // namespace vx
