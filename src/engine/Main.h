// The engine's main body and main routine: the fixed order in which one run
// opens its setup file, prepares the session, shows the wizard, installs and
// cleans up, and the exit code that results.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/CommandLine.h"
#include "system/host.h"
#include "vxplugin.h"

namespace vx {

class TvxMainDatabase;
class TvxSilentSettings;

// Run state of one engine process.
struct RunState {
  std::string engineFile;    // the setup file the user started
  std::string tempFolder;    // private folder, one trailing backslash
  std::string tempFontsPath, tempGACPath, tempBackupPath;
  bool resuming = false;     // cleared once the resume point has been passed
  bool startedToResume = false;
  bool repair = false;
  bool abortFlag = false;
  bool suspended = false;
  bool windowsShuttingDown = false;
  bool noRollback = false;
  bool rebootAtExit = false;
  bool rebootOnFinish = false;
  bool startSent = false;    // "EV_START" went out, so "EV_FINISH" is due
  std::string logFile;       // the uninstall log chosen for a repair
  HandleValue singleInstance = 0;
  WindowHandle mainWindow = 0;
  std::string savedCurrentFolder;
  int exitCode = 0;
};

// One run of the engine. The stages that other subsystems own are virtual:
// each shows its own message and returns false when it fails. A stage whose
// subsystem is not part of this build says so and fails.
class Engine {
 public:
  explicit Engine(CommandLine commandLine);
  virtual ~Engine();

  // The main body: temporary folders, main routine, clean-up. Returns the
  // process exit code (0 on success or suspension, -1 otherwise).
  int Run();

  RunState& State() { return state_; }
  const CommandLine& Commands() const { return commandLine_; }
  TvxMainDatabase& Database() { return *db_; }
  TvxSilentSettings& SilentSettings() { return *silent_; }

 protected:
  bool MainRoutine();

  // Variables of the project (AppID, Reboot, ...).
  virtual std::string GetVariable(const std::string& name, const std::string& defaultValue);
  virtual void SetVariable(const std::string& name, const std::string& value);
  bool GetBoolVariable(const std::string& name, bool defaultValue);
  // The numbered message of the current language file ("" when missing).
  virtual std::string LanguageMessage(int number);

  // Stages, in the order the main routine calls them.
  virtual bool LoadResumeState();
  virtual bool PrepareSession();              // silent settings, switches, session values
  virtual bool OpenSetupFile();               // check, prepare and load the setup file
  virtual bool SetUpRepair();
  virtual bool ChooseLanguage();
  virtual bool LoadPlugins();                 // of the setup file itself
  virtual void LoadFurtherPlugins();          // of the packages chosen later
  virtual bool Preselect();                   // install type or features
  virtual bool SystemCheck();                 // OS, version, rights, launch conditions
  virtual int SendEvent(int event, intptr_t param, bool toAll);
  virtual bool RunProgramsBeforeWizard();
  virtual bool ChooseComponentsAndPackages(); // marks components, prepares further packages
  virtual bool PrepareFurtherPackages();      // checks, prepares and merges the packages chosen
  virtual bool InstallMain();
  virtual bool PrepareResume();
  virtual bool HasRecordedActions();
  virtual void Rollback();
  virtual void UnloadPlugins();
  virtual void MarkExecutableForDeletion(bool atReboot);
  virtual void RestartWindows();

  // Shows "<what> is not available in this build." and fails.
  bool NotAvailable(const std::string& what);

 private:
  void CreateTemporaryFolders();
  bool WriteExtractionLibrary(const std::string& path);
  void ClosingBlock(bool& result);
  void Finish(bool result);

  void InstallHooks();
  void RemoveHooks();
  // Records in the run log what the installation is about to work with:
  // every package with its prepared files, the size of the merged
  // project, and every variable with its value.
  void LogState();

  CommandLine commandLine_;
  RunState state_;
  std::unique_ptr<TvxMainDatabase> db_;
  std::unique_ptr<TvxSilentSettings> silent_;
};

// Replaces the first "%s" of a message by `argument`. Messages come from
// language files, so they are never used as printf formats.
std::string FormatMessage1(const std::string& message, const std::string& argument);

// Reads the unattended switches ("/log:<file>", "/suppressmsgboxes",
// "/answers:<file>") and sets up the run log and the automatic answers.
// False with `error` set when a file cannot be used.
bool ConfigureUnattended(const CommandLine& commandLine, std::string& error);

}  // namespace vx
