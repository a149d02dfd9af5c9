// The engine's main body and main routine: the fixed order in which one run
// opens its setup file, prepares the session, shows the wizard, installs and
// cleans up, and the exit code that results. The order lives here and only
// here; the work of each step is done by the stages (RunStages) and the
// installer (Installer) the flow is given.
#pragma once

#include <functional>
#include <string>

#include "engine/CommandLine.h"
#include "engine/RunSession.h"
#include "engine/RunStages.h"
#include "install/Installer.h"

namespace vx {

class RunInstaller;

class Engine {
 public:
  Engine(RunSession& session, RunStages& stages, Installer& installer)
      : session_(session), stages_(stages), installer_(installer), state_(session.State()) {}

  // The main body: temporary folders, main routine, clean-up. Returns the
  // process exit code (0 on success or suspension, -1 otherwise).
  int Run();

  RunState& State() { return state_; }

 private:
  bool MainRoutine();
  void CreateTemporaryFolders();
  bool WriteExtractionLibrary(const std::string& path);
  void ClosingBlock(bool& result);
  void Finish(bool result);
  bool GetBoolVariable(const std::string& name, bool defaultValue);

  RunSession& session_;
  RunStages& stages_;
  Installer& installer_;
  RunState& state_;
};

// One whole run with the engine's own stages and the installer of this
// build: what the program entry does. Returns the exit code. `prepare`, when
// given, sees the installer before the run starts (tests set their failure
// hook there).
int RunEngine(const CommandLine& commandLine, UnattendedAnswers answers = {},
              const std::function<void(RunInstaller&)>& prepare = {});

// Reads the unattended switches ("/log:<file>", "/suppressmsgboxes",
// "/answers:<file>"): opens the run log and gives the automatic answers.
// False with `error` set when a file cannot be used (`answers` then holds
// what the switches said so far, for the box that reports it).
bool ConfigureUnattended(const CommandLine& commandLine, UnattendedAnswers& answers, std::string& error);

}  // namespace vx
