// The installation of a run: the install driver with its phases, the record
// of every change and its rollback, the uninstall log and registration, and
// the suspension for a restart.
#pragma once

#include <memory>
#include <string>

#include "database/VXClasses.h"
#include "install/ActionContext.h"
#include "install/Installer.h"
#include "install/InstallRun.h"

namespace vx {

class FileInstaller;
class TInstallActions;
class TvxMainDatabase;
class UninstallLog;
enum class TvxInstallState : uint8_t;

// The settings steps of the install driver (InstallSettings.cpp): the
// registry values and the INI values of one component, and the persistent
// environment variables of the project and its packages. Each records
// every change before it is made, shows its own error box and returns
// false to stop the installation.
bool InstallRegistryValues(InstallRun& run, TvxComponent& component);
bool InstallIniValues(InstallRun& run, TvxComponent& component);
bool InstallEnvironmentVariables(InstallRun& run);

// The shortcut step of the install driver (InstallShortcuts.cpp): the
// shortcuts of one component written or removed, each link file backed up
// before it is replaced and its folder recorded when it is created. A
// shortcut that cannot be written costs an error box and nothing more, so
// the step always returns true.
bool InstallShortcuts(InstallRun& run, TvxComponent& component);

// Registration and programs (InstallRegistration.cpp).
//
// A COM server or type library file registered with the system, and that
// registration removed: the server's DllRegisterServer (DllUnregisterServer)
// or, for a program, its "/REGSERVER" ("/UNREGSERVER") switch, then the type
// library the file holds. True when either worked.
bool RegisterServer(const std::string& path);
bool UnregisterServer(const std::string& path);
// The server registration phase: every recorded file marked for it, in
// order; the first that cannot be registered stops the installation.
bool RegisterServers(InstallRun& run);
// The font phase: every font written aside by the file phase installed.
bool InstallFonts(InstallRun& run);
// Installs the font `fontName` from `tmpFile` as `destination` (a numbered
// name when another font holds that name): the file recorded and copied,
// added to the font table and registered under the Fonts key.
bool InstallFont(InstallRun& run, const std::string& fontName, const std::string& tmpFile,
                 const std::string& destination, TvxFlags flags);
// The programs of one component for `moment` (a TvxWhenStart): started at
// the installation's moments, recorded in the uninstall log for the
// uninstaller's. False when a program checked for its exit code failed or
// the installation was aborted meanwhile.
bool RunPrograms(InstallRun& run, TvxComponent& component, int moment);
// RunPrograms for every component (before the dialogs: the components of
// the setup file's own package).
bool RunProgramPhase(InstallRun& run, int moment);

// The installer of this build: the install driver with every phase.
class RunInstaller : public Installer, private ActionContext {
 public:
  RunInstaller(TvxMainDatabase& database, RunState& state, InstallEvents& events, Prompts& prompts);
  ~RunInstaller() override;

  bool RunProgramsBeforeWizard() override;
  bool Install() override;
  bool HasRecordedActions() override;
  void Rollback() override;
  bool SaveResumeState() override;
  bool LoadResumeState() override;
  bool PrepareResume() override;
  bool AllowEndOfSession() override;
  void AddLogRecord(const std::string& section, const std::string& record) override;
  void LogNewFile(const std::string& file) override;
  void SuspendWorker() override;
  void ResumeWorker() override;

  // Whether a path is protected by the system (never written or removed).
  void SetProtectedFileQuery(std::function<bool(const std::string&)> query) { run_.isProtected = std::move(query); }
  // Makes the installation fail when the `n`-th action is recorded (1 is
  // the first; 0 never): how tests prove that rollback after any change
  // gives the machine back.
  void FailAtAction(int n) { failAtAction_ = n; }

  TInstallActions& Actions() { return *actions_; }
  UninstallLog& Log() override { return *log_; }

 private:
  // ActionContext
  std::string BackupFolder() override;
  void ShowError(const std::string& text) override;
  void RequestReboot() override;
  bool RegisterServer(const std::string& file) override;
  bool UnregisterServer(const std::string& file) override;
  void AddFontToTable(const std::string& file) override;
  void RemoveFontFromTable(const std::string& file) override;
  bool ActionAdded(TInstallAction& action) override;

  bool InstallMain();
  bool FilePhase(const std::string& installFolder, bool uninstall);
  bool CopyOnWorker();
  bool LaterPhases(bool resumingAtServers);
  bool ProgramPhase(int moment);
  bool Gate(ItemKind kind, bool (RunInstaller::*phase)());
  bool SetUpLog(const std::string& installFolder, bool uninstall);
  bool RegisterUninstall(const std::string& installFolder);
  bool StoreSilentSettings(const std::string& uninstallKey);
  void RemoveOldReferences();
  bool WaitForSetupFile();
  void SuspendForReboot(TvxInstallState state, const std::string& data);

  bool ServersPhase();
  bool RegistryPhase();
  bool IniPhase();
  bool FontsPhase();
  bool ShortcutsPhase();
  bool EnvironmentPhase();

  TvxMainDatabase& db_;
  RunState& state_;
  InstallEvents& events_;
  Prompts& prompts_;
  std::unique_ptr<TInstallActions> actions_;
  std::unique_ptr<UninstallLog> log_;
  InstallRun run_;
  std::unique_ptr<FileInstaller> files_;
  HandleValue worker_ = 0;  // the copy's thread while it runs
  int failAtAction_ = 0;
  int actionsAdded_ = 0;
};

}  // namespace vx
