// The steps of a run before the installation, as the run flow calls them.
// The flow (Engine, Main.h) owns their order and what their results mean;
// EngineStages does the work. Each stage shows its own message when it
// fails and returns false.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

class RunStages {
 public:
  virtual ~RunStages() = default;

  // Project variables (AppID, AppName, Reboot, DisableRollback) and the
  // numbered messages of the current language.
  virtual std::string GetVariable(const std::string& name, const std::string& defaultValue) = 0;
  virtual void SetVariable(const std::string& name, const std::string& value) = 0;
  virtual std::string LanguageMessage(int number) = 0;

  virtual bool PrepareSession() = 0;              // silent settings, switches, session values
  virtual bool OpenSetupFile() = 0;               // check, prepare and load the setup file
  virtual bool SetUpRepair() = 0;
  virtual bool ChooseLanguage() = 0;
  virtual bool LoadPlugins() = 0;                 // of the setup file itself
  virtual bool Preselect() = 0;                   // install type or features
  virtual bool SystemCheck() = 0;                 // OS, version, rights, launch conditions
  virtual bool ChooseComponentsAndPackages() = 0; // marks components, prepares further packages
  virtual void LoadFurtherPlugins() = 0;          // of the packages chosen later
  // Records in the run log what the installation is about to work with.
  virtual void LogState() = 0;

  virtual intptr_t SendEvent(int32_t event, intptr_t param, bool toAll) = 0;
  virtual void ShowStatus(const std::string& text) = 0;
  virtual void HideStatus() = 0;
  virtual void UnloadPlugins() = 0;

  // The end of a resumed run: the resume program removes itself, at the
  // restart that follows or once the process has ended.
  virtual void MarkExecutableForDeletion(bool atReboot) = 0;
  virtual void RestartWindows() = 0;
};

}  // namespace vx
