// One run of the engine: what its steps share. The program entry makes one
// session and hands it down; the layers below reach the run only through
// the small interfaces the session supplies to them (the installer's
// events, the plug-in services, the package services, the evaluator's and
// the database's hooks), wired here and nowhere else.
#pragma once

#include <memory>
#include <string>

#include "engine/CommandLine.h"
#include "install/Installer.h"
#include "install/RunState.h"

namespace vx {

class TvxMainDatabase;
class TvxSilentSettings;

class RunSession : public InstallEvents {
 public:
  explicit RunSession(CommandLine commandLine);
  ~RunSession() override;
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  const CommandLine& Commands() const { return commandLine_; }
  RunState& State() { return state_; }
  TvxMainDatabase& Database() { return *db_; }
  TvxSilentSettings& SilentSettings() { return *silent_; }

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
  void ShowStatus(const std::string& text);
  void HideStatus();
  // CM_ABORTINSTALL and AbortInstall: the run stops at its next check.
  void Abort();

  // InstallEvents
  bool SkipPhase(ItemKind kind) override;
  void PhaseDone(ItemKind kind) override;

 private:
  void InstallHooks();
  void RemoveHooks();

  CommandLine commandLine_;
  RunState state_;
  std::unique_ptr<TvxMainDatabase> db_;
  std::unique_ptr<TvxSilentSettings> silent_;
};

}  // namespace vx
