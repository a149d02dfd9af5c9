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

// Kinds of items, as the user interface is told about phases and items
// (the high word of the events' first parameter).
enum class ItemKind : int { Files = 0, Registry = 1, Ini = 2, Shortcuts = 3, Servers = 4, Fonts = 5, Programs = 6 };

// A file the installation is about to write or remove, as the user
// interface sees it.
struct FileItemEvent {
  std::string path;          // the destination, or the file being removed
  uint32_t size = 0;
  uint32_t dosDateTime = 0;  // DOS date in the high word, time in the low word
  uint32_t attributes = 0;
  bool removal = false;
};

// A registry value about to be written or removed, as the user interface
// sees it (the item's strings expanded).
struct RegistryItemEvent {
  std::string key, name, value;
  int type = 0;  // 1 int, 2 bin, 3 mstr, 0 str
  bool removal = false;
};

// An INI value about to be written or removed.
struct IniItemEvent {
  std::string file, section, key, value;
  bool removal = false;
};

// A shortcut the installation is about to write or remove, as the user
// interface sees it (its texts expanded).
struct ShortcutItemEvent {
  std::string name;  // the link's path without ".lnk"
  std::string commandLine, arguments, workingFolder;
  int showCode = 0;  // 1 minimised, 2 maximised, 0 otherwise
  std::string iconFile;
  int32_t iconIndex = 0;
  int32_t hotkey = 0;
  std::string description;
  bool removal = false;
};

// A program the installation starts, or records for the uninstaller to
// start, as the user interface sees it (its texts expanded).
struct ProgramItemEvent {
  std::string commandLine, arguments, workingFolder, message;
  int showCode = 0;  // 1 minimised, 2 maximised, 3 hidden, 0 otherwise
  // 0 before installation, 1 after it, 2 before uninstallation, 3 after
  // it, 4 before the dialogs
  int moment = 0;
};

// What the installation tells the user interface while it works, what the
// user interface may answer (the plug-in events of phases and items), and
// the little it needs of the session besides. Supplied by the run session;
// the file events may come from the copy's worker thread.
class InstallEvents {
 public:
  virtual ~InstallEvents() = default;
  // Before a phase of items: true when the user interface wants it skipped.
  virtual bool SkipPhase(ItemKind kind) = 0;
  // After a phase that was not skipped.
  virtual void PhaseDone(ItemKind kind) = 0;

  // Before a file is written or removed: true when it is to be skipped.
  virtual bool SkipFile(const FileItemEvent& file) { return false; }
  // The copy's decision about a file (skipped or written).
  virtual void FileDecided(const FileItemEvent& file, bool skipped) {}
  // After a file was handled.
  virtual void FileDone(const FileItemEvent& file) {}
  // Before a registry or INI value is written or removed: true when it is
  // to be skipped; and after it was handled.
  virtual bool SkipRegistryItem(const RegistryItemEvent& item) { return false; }
  virtual void RegistryItemDone(const RegistryItemEvent& item) {}
  virtual bool SkipIniItem(const IniItemEvent& item) { return false; }
  virtual void IniItemDone(const IniItemEvent& item) {}
  // Before a shortcut is written or removed: true when it is to be skipped.
  virtual bool SkipShortcut(const ShortcutItemEvent& shortcut) { return false; }
  // After a shortcut was handled.
  virtual void ShortcutDone(const ShortcutItemEvent& shortcut) {}
  // Before a server is registered (`path`), a font installed or a program
  // started or recorded: true when it is to be skipped; and after it was
  // handled.
  virtual bool SkipServer(const std::string& path) { return false; }
  virtual void ServerDone(const std::string& path) {}
  virtual bool SkipFont() { return false; }
  virtual void FontDone() {}
  virtual bool SkipProgram(const ProgramItemEvent& program) { return false; }
  virtual void ProgramDone(const ProgramItemEvent& program) {}
  // An existing file is newer than the one to be installed: the user's
  // answer (1 keep, 2 overwrite, 3 keep all, 4 overwrite all).
  virtual int VersionConflict(const std::string& destination) { return 1; }
  // Progress of the copy: of the current file and of the whole copy.
  virtual void FileProgress(int filePercent, int totalPercent) {}
  // A package file was not found in `folder`: true when `folder` now names
  // another folder to try; false gives up.
  virtual bool LocatePackage(const std::string& name, std::string& folder) { return false; }
  // Sets the run's abort flag and tells the user interface.
  virtual void AbortInstall() = 0;
  // The status text the user interface shows while the engine works on its
  // own, and its end.
  virtual void ShowStatus(const std::string& text) {}
  virtual void HideStatus() {}
  // The numbered message of the current language file ("" when missing),
  // and the path of that file ("" when there is none).
  virtual std::string Message(int number) { return ""; }
  virtual std::string LanguageFile() { return ""; }
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
  // Windows asks whether the logon may end. Only while a program the setup
  // started runs: the run is suspended behind that program, its wait ends,
  // and the answer is true. Otherwise (and while a resumed run catches up)
  // the answer is false.
  virtual bool AllowEndOfSession() { return false; }

  // A record for the uninstall log (CM_ADDLOGRECORD): both texts expanded,
  // the record split at its first "=".
  virtual void AddLogRecord(const std::string& section, const std::string& record) {}
  // A file the run put in place itself (RenameFile with Log): the
  // uninstaller removes it.
  virtual void LogNewFile(const std::string& file) {}
  // SuspendInstall / ResumeInstall: holds and releases the copy's worker
  // thread while it runs.
  virtual void SuspendWorker() {}
  virtual void ResumeWorker() {}
};

}  // namespace vx
