// The installation as the run flow drives it, and what it needs of the run.
//
// The run flow (src/engine) strings the steps of a run together; everything
// that changes the machine sits behind Installer: the programs started
// before the wizard, the install driver with its phases, the rollback, and
// the suspension for a restart with its saved state. Each method shows its
// own message where the error happens and returns false; the flow only
// passes the result on.
#pragma once

#include <cstdint>
#include <string>

#include "install/RunState.h"
#include "system/Prompts.h"

namespace vx {

class TvxMainDatabase;

// Kinds of items, as the user interface is told about phases.
enum class ItemKind : int { Programs = 6 };

// What the installation tells the user interface while it works and what
// the user interface may answer (the plug-in events of phases and items).
// Supplied by the run session.
class InstallEvents {
 public:
  virtual ~InstallEvents() = default;
  // Before a phase of items: true when the user interface wants it skipped.
  virtual bool SkipPhase(ItemKind kind) = 0;
  // After a phase that was not skipped.
  virtual void PhaseDone(ItemKind kind) = 0;
};

class Installer {
 public:
  virtual ~Installer() = default;

  // The programs of the chosen components that run before the wizard
  // (after a restart one of them caused: from the last one started).
  virtual bool RunProgramsBeforeWizard() = 0;
  // The install driver: every phase, from the programs before the
  // installation to the uninstall registration. True also when the run was
  // suspended for a restart.
  virtual bool Install() = 0;
  // Whether the run changed anything a rollback would undo.
  virtual bool HasRecordedActions() = 0;
  // Undoes every recorded change, the last first.
  virtual void Rollback() = 0;
  // The saved state of a run suspended for a restart, in the temporary
  // folder; loading it is the first thing a resumed run does.
  virtual bool SaveResumeState() = 0;
  virtual bool LoadResumeState() = 0;
  // At the end of a successful run: hands changes that wait for the restart
  // over to the system and, when the run was suspended, arranges for the
  // engine to be started again after it.
  virtual bool PrepareResume() = 0;
};

// The installer of a build that has no installation yet: every step that
// would change the machine says "<what> is not available in this build."
// and fails; there is never anything to roll back.
class UnavailableInstaller : public Installer {
 public:
  UnavailableInstaller(TvxMainDatabase& database, RunState& state, InstallEvents& events, Prompts& prompts)
      : db_(database), state_(state), events_(events), prompts_(prompts) {}

  bool RunProgramsBeforeWizard() override;
  bool Install() override;
  bool HasRecordedActions() override { return false; }
  void Rollback() override {}
  bool SaveResumeState() override;
  bool LoadResumeState() override { return false; }
  bool PrepareResume() override;

 private:
  TvxMainDatabase& db_;
  RunState& state_;
  InstallEvents& events_;
  Prompts& prompts_;

  // Shows "<what> is not available in this build." and returns false.
  bool NotAvailable(const std::string& what);
};

}  // namespace vx
