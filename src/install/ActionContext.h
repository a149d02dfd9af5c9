// What the recorded actions need of the run to make and to undo changes.
//
// The action list (Actions.h) records every change of an installation; the
// actions themselves only know their data. Whatever else a change or its
// undo needs (where backups go, how an error is shown, server registration,
// the font table, the uninstall log) comes through this interface, which
// the installation implements for a real run and tests implement as they
// need.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

class TInstallAction;
class UninstallLog;

class ActionContext {
 public:
  virtual ~ActionContext() = default;

  // The folder that keeps backups of replaced and removed files, with one
  // trailing backslash.
  virtual std::string BackupFolder() = 0;
  // An error box of the installation (rollback goes on after it).
  virtual void ShowError(const std::string& text) = 0;
  // A file could only be replaced at the next restart: the run must end
  // with one (the Boolean variable "Reboot").
  virtual void RequestReboot() = 0;
  // Registration of a COM server file and its removal.
  virtual bool RegisterServer(const std::string& file) = 0;
  virtual bool UnregisterServer(const std::string& file) = 0;
  // The session's font table; each change is broadcast (WM_FONTCHANGE).
  virtual void AddFontToTable(const std::string& file) = 0;
  virtual void RemoveFontFromTable(const std::string& file) = 0;
  // The uninstall log of the run.
  virtual UninstallLog& Log() = 0;
  // How long undoing still waits, in all, for files that another program
  // holds open for a moment: a file held for longer does not hold up every
  // one after it.
  uint32_t heldFileWaitMs = 10000;

  // Called after every action appended to the list; false makes the
  // installation fail there (tests inject failures at the N-th change).
  virtual bool ActionAdded(TInstallAction& action) {
    (void)action;
    return true;
  }
};

}  // namespace vx
