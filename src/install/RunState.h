// The state of one run that the run flow, the installation, resume and
// rollback share: where the run's files are, what kind of run it is, and
// the flags its steps set for one another.
#pragma once

#include <atomic>
#include <string>

#include "system/host.h"

namespace vx {

struct RunState {
  std::string engineFile;    // the setup file the user started
  std::string tempFolder;    // private folder, one trailing backslash
  bool resuming = false;     // cleared once the resume point has been passed
  bool startedToResume = false;
  bool repair = false;
  // Set by the user interface (CM_ABORTINSTALL, AbortInstall), possibly
  // while another thread works; every loop of the run checks it.
  std::atomic<bool> abort{false};
  bool suspended = false;
  bool windowsShuttingDown = false;
  bool noRollback = false;
  bool rebootAtExit = false;
  bool rebootOnFinish = false;
  bool startSent = false;    // "EV_START" went out, so "EV_FINISH" is due
  std::string logFile;       // the uninstall log chosen for a repair
  HandleValue singleInstance = 0;
  bool protectedFileQuery = false;  // the system's protected-file query is loaded
  WindowHandle mainWindow = 0;
  std::string savedCurrentFolder;
  int exitCode = 0;
};

}  // namespace vx
