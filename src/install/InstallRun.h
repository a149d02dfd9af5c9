// What the phases of one installation share: the project, the run's state,
// the user interface's events, the boxes, the record of changes and the
// uninstall log. The install driver makes one and hands it to every phase.
#pragma once

#include <functional>
#include <string>

#include "install/Installer.h"
#include "install/RunState.h"
#include "system/Prompts.h"

namespace vx {

class TInstallActions;
class TvxComponent;
class TvxMainDatabase;
class TvxPackage;
class UninstallLog;

struct InstallRun {
  TvxMainDatabase& db;
  RunState& state;
  InstallEvents& events;
  Prompts& prompts;
  TInstallActions& actions;
  UninstallLog& log;
  // Whether a file is one the system protects (never written or removed);
  // empty when the system has no such protection.
  std::function<bool(const std::string& path)> isProtected;

  bool Protected(const std::string& path) const { return isProtected && isProtected(path); }
  bool Aborted() const { return state.abort; }
  // An error box of the installation, captioned "Error".
  void Error(const std::string& text) { prompts.ErrorBox("Error", text); }
  // A numbered message of the language file with its "%s" filled in.
  std::string Message(int number, const std::string& argument);
};

// One step of a phase, run for one component with the package that carries
// it (null when the component names no known package). False stops the
// phase.
using ComponentStep = std::function<bool(TvxPackage* package, TvxComponent& component)>;

// Runs `step` for every component of the project in order; false at the
// first step that fails. A run suspended for a restart stops early with
// true. `mainPackageOnly` walks the components of the setup file's own
// package instead.
bool ForEachComponent(InstallRun& run, const ComponentStep& step, bool mainPackageOnly = false);

}  // namespace vx
