// The installation of a run: the install driver with its phases, the record
// of every change and its rollback, the uninstall log and registration, and
// the suspension for a restart.
#pragma once

#include <memory>
#include <string>

#include "install/ActionContext.h"
#include "install/Installer.h"
#include "install/InstallRun.h"

namespace vx {

class FileInstaller;
class TInstallActions;
class TvxMainDatabase;
class UninstallLog;
enum class TvxInstallState : uint8_t;

// The installer of this build. Phases that are not built yet (server
// registration, registry, INI files, fonts, shortcuts, environment
// variables, programs) fail with "<what> is not available in this build."
// when the project has items for them, and pass otherwise.
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
  bool NotAvailable(const std::string& what);

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
