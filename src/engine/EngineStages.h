// The engine's own stages over a run session. The class is one; its
// methods live in the files named for what they do: the setup file and
// the packages (SetupFile.cpp), the selection (Selection.cpp), the system
// check (SystemCheck.cpp), repair (Repair.cpp), and the rest here
// (EngineStages.cpp).
#pragma once

#include "engine/RunSession.h"
#include "engine/RunStages.h"

namespace vx {

class EngineStages : public RunStages {
 public:
  explicit EngineStages(RunSession& session) : session_(session) {}

  std::string GetVariable(const std::string& name, const std::string& defaultValue) override;
  void SetVariable(const std::string& name, const std::string& value) override;
  std::string LanguageMessage(int number) override;

  bool PrepareSession() override;
  bool OpenSetupFile() override;
  bool SetUpRepair() override;
  bool ChooseLanguage() override;
  bool LoadPlugins() override;
  bool Preselect() override;
  bool SystemCheck() override;
  bool ChooseComponentsAndPackages() override;
  void LoadFurtherPlugins() override;
  void LogState() override;

  intptr_t SendEvent(int32_t event, intptr_t param, bool toAll) override;
  void ShowStatus(const std::string& text) override;
  void HideStatus() override;
  void UnloadPlugins() override;
  void MarkExecutableForDeletion(bool atReboot) override;
  void RestartWindows() override;

 protected:
  RunSession& Session() { return session_; }

 private:
  bool PrepareFurtherPackages();
  void MergePackageComponents();

  RunSession& session_;
};

}  // namespace vx
