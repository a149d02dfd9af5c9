// One run of the engine: what its steps share. The program entry makes one
// session and hands it down; the layers below reach the run only through
// the small interfaces the session supplies to them (the installer's
// events, the plug-in services, the package services, the evaluator's and
// the database's hooks), wired here and nowhere else.
#pragma once

#include <memory>
#include <string>

#include "engine/CommandLine.h"
#include "engine/Common.h"
#include "engine/MainWnd.h"
#include "expr/Evaluator.h"
#include "expr/Functions.h"
#include "install/Installer.h"
#include "package/Package.h"
#include "install/RunState.h"
#include "plugins/PlugImpl.h"
#include "plugins/VXPlugins.h"

namespace vx {

class TvxMainDatabase;
class TvxSilentSettings;

// The answers an unattended run gives its message boxes (/suppressmsgboxes,
// /answers:).
struct UnattendedAnswers {
  bool takeDefault = false;
  std::vector<MsgBoxRule> rules;
};

class RunSession : public InstallEvents,
                   public TvxInstallerServices,
                   public PluginServices,
                   public PackageServices,
                   public MainWindowEvents,
                   public ActiveWindowSource,
                   public TvxSelectionObserver {
 public:
  explicit RunSession(CommandLine commandLine, UnattendedAnswers answers = {});
  ~RunSession() override;
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  const CommandLine& Commands() const { return commandLine_; }
  RunState& State() { return state_; }
  TvxMainDatabase& Database() { return *db_; }
  TvxSilentSettings& SilentSettings() { return *silent_; }
  TvxEvaluator& Evaluator() override { return evaluator_; }
  // Where the layers below show the boxes they are specified to show.
  RunPrompts& GetPrompts() { return prompts_; }
  TPluginList& Plugins() { return plugins_; }
  // The languages offered in this run (BuildLanguageList).
  std::vector<TLanguage>& Languages() { return languages_; }

  // Variables of the main database.
  std::string GetVariable(const std::string& name, const std::string& defaultValue = "");
  void SetVariable(const std::string& name, const std::string& value);
  bool GetBoolVariable(const std::string& name, bool defaultValue);
  // The numbered message of the current language file ("" when missing).
  std::string LanguageMessage(int number);

  // Delivers a plug-in event (see TPluginList::SendEvent).
  intptr_t SendEvent(int32_t event, intptr_t param1, intptr_t param2, bool toAll);
  // The status text the user interface shows while the engine works on its
  // own (the rollback), and its end.
  void ShowStatus(const std::string& text) override;
  void HideStatus() override;
  // Makes a language current: LangID, Charset, the application name, and
  // EV_LANGUAGECHANGED to every plug-in.
  void SetLanguage(const std::string& code) override;

  // CM_ABORTINSTALL and AbortInstall: the run stops at its next check.
  void AbortInstall() override;

  // InstallEvents (ShowStatus, HideStatus and AbortInstall as above)
  bool SkipPhase(ItemKind kind) override;
  void PhaseDone(ItemKind kind) override;
  bool SkipFile(const FileItemEvent& file) override;
  void FileDecided(const FileItemEvent& file, bool skipped) override;
  void FileDone(const FileItemEvent& file) override;
  bool SkipShortcut(const ShortcutItemEvent& shortcut) override;
  void ShortcutDone(const ShortcutItemEvent& shortcut) override;
  bool SkipRegistryItem(const RegistryItemEvent& item) override;
  void RegistryItemDone(const RegistryItemEvent& item) override;
  bool SkipIniItem(const IniItemEvent& item) override;
  void IniItemDone(const IniItemEvent& item) override;
  bool SkipServer(const std::string& path) override;
  void ServerDone(const std::string& path) override;
  bool SkipFont() override;
  void FontDone() override;
  bool SkipProgram(const ProgramItemEvent& program) override;
  void ProgramDone(const ProgramItemEvent& program) override;
  int VersionConflict(const std::string& destination) override;
  void FileProgress(int filePercent, int totalPercent) override;
  bool LocatePackage(const std::string& name, std::string& folder) override;
  std::string Message(int number) override { return LanguageMessage(number); }
  std::string LanguageFile() override;

  // The run's installer, which the plug-ins' and functions' requests about
  // the installation reach (none until the entry sets it).
  void SetInstaller(Installer* installer) { installer_ = installer; }
  void SuspendInstall() override;
  void ResumeInstall() override;
  void LogNewFile(const std::string& file) override;
  void AddLogRecord(const std::string& section, const std::string& record) override;

  // TvxInstallerServices (the rest as above); also the ActiveWindowSource
  // of the run's boxes.
  WindowHandle ActiveWindow() override;
  void SetLanguage(TvxMainDatabase& database, const std::string& code) override;
  bool CheckPassword(const std::string& password) override;

  // PluginServices (the rest as above)
  TvxMainDatabase* MainDatabase() override { return db_.get(); }
  std::vector<std::pair<std::string, std::string>> LanguageNames() override;
  std::string LanguageCode() override;
  bool SetPassword(const std::string& password) override;
  bool PasswordValid() override;

  // PackageServices
  std::string TempFolder() override { return state_.tempFolder; }
  intptr_t AskForPackage(const std::string& name, char* folder) override;
  int32_t SilentMode() override;
  void ShowSplash(const std::string& picture) override;
  void CloseSplash() override;
  bool SplashVisible() override;
  void ShowPreparationWindow(const std::string& folder, const std::string& name) override;
  bool PreparationWindowVisible() override;
  void SetPreparationTitle(const std::string& name) override;
  void SetPreparationProgress(int percent) override;
  void DestroyPreparationWindow() override;

  // TvxSelectionObserver: the plug-ins are told.
  void FeatureChanged(TvxFeature& feature) override;
  void InstallTypeChanged(TvxInstallType& type) override;

  // MainWindowEvents
  intptr_t CrossThreadCall(uintptr_t block) override;
  intptr_t QueryEndSession() override;

  // The engine's main window (0 when it is gone): owner of the boxes and
  // windows, and where calls from another thread go.
  void SetMainWindow(WindowHandle window);

 private:
  void InstallHooks();

  CommandLine commandLine_;
  RunState state_;
  std::unique_ptr<TvxMainDatabase> db_;
  std::unique_ptr<TvxSilentSettings> silent_;
  RunPrompts prompts_;
  TvxEvaluator evaluator_;
  TPluginList plugins_;
  std::vector<TLanguage> languages_;
  Installer* installer_ = nullptr;
};

}  // namespace vx
