#include "install/Installer.h"

#include "database/VXClasses.h"

namespace vx {

bool UnavailableInstaller::NotAvailable(const std::string& what) {
  prompts_.ShowError(what + " is not available in this build.");
  return false;
}

bool UnavailableInstaller::RunProgramsBeforeWizard() {
  if (state_.resuming && db_.InstallState != TvxInstallState::isRunAppBeforeDialogs) return true;
  db_.InstallState = TvxInstallState::isUnknown;
  state_.resuming = false;
  bool phase = true;
  if (!events_.SkipPhase(ItemKind::Programs)) {
    bool any = false;
    for (int i = 0; i < db_.Components->Count(); ++i) {
      TvxRunApps& apps = *(*db_.Components)[i].RunApps;
      for (int j = 0; j < apps.Count(); ++j) any = any || apps[j].WhenStart == TvxWhenStart::before_dialogs;
    }
    if (any) phase = NotAvailable("Running programs before the wizard");
    if (state_.suspended) return phase;
    events_.PhaseDone(ItemKind::Programs);
  }
  db_.InstallStateData.clear();
  return phase;
}

bool UnavailableInstaller::Install() { return NotAvailable("Installation"); }

bool UnavailableInstaller::SaveResumeState() { return NotAvailable("Resuming after a restart"); }

bool UnavailableInstaller::PrepareResume() { return !state_.suspended || NotAvailable("Resuming after a restart"); }

}  // namespace vx
