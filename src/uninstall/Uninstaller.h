// The uninstaller: takes back what an installation's uninstall log names,
// in an order that never leaves a half-removed product looking installed
// (docs/uninstaller.md). Runs over the current Host on Windows and on the
// sandbox machine alike.
#pragma once

#include <string>
#include <vector>

#include "system/Prompts.h"
#include "uninstall/UninstallLogReader.h"

namespace vx {

struct UninstallOptions {
  std::string logPath;   // the uninstall log (Windows path)
  bool silent = false;   // "/s": no questions, no closing box
};

// Exit codes of the uninstaller.
enum : int {
  kUninstallDone = 0,       // everything named was removed
  kUninstallPartly = 1,     // removed, but items were skipped or left
  kUninstallNotDone = 2,    // nothing was changed
};

// Where the uninstaller shows its progress: a window on Windows, lines on
// standard output natively, nothing in tests.
class UninstallProgress {
 public:
  virtual ~UninstallProgress() = default;
  virtual void Begin(const std::string& caption) {}
  virtual void Step(int percent, const std::string& text) {}
  virtual void End() {}
};

class Uninstaller {
 public:
  Uninstaller(UninstallOptions options, Prompts& prompts, UninstallProgress& progress);

  // The whole uninstallation; returns the exit code.
  int Run();

  // What was not removed, one line each ("HKLM\SOFTWARE: not empty").
  const std::vector<std::string>& Skipped() const { return skipped_; }
  // Files in use are deleted at the next restart.
  bool RestartNeeded() const { return restartNeeded_; }
  // Whether the run handed the uninstaller itself to the self-delete batch.
  bool SelfDeleteStarted() const { return selfDelete_; }

  // The built-in text of a key of the log's "Texts" (tests).
  static const char* DefaultText(const std::string& key);

 private:
  std::string Text(const std::string& key) const;
  int Box(const std::string& text, uint32_t flags);
  void Skip(const std::string& what);
  void Progress(int percent, const std::string& text);
  std::vector<LogEntry> Records(const char* section) const;

  bool RunPrograms(const char* section, bool stopOnFailure);
  void RemoveShortcuts();
  void UnregisterServers();
  void RemoveFonts();
  void RemoveAssemblies();
  void ReleaseSharedFiles();
  void DeleteFiles();
  void DeleteRegistryValues();
  void DeleteIniEntries();
  void UndoEnvironment();
  void DeleteKeys();
  void RemoveFolders();
  void RemoveRegistration();
  void RemoveUninstaller();

  // Deletes one file the log names: false when it is not removed now (a
  // file in use goes at the next restart and counts as removed).
  bool DeleteNamedFile(const std::string& path, const char* section);
  bool IsOwnFile(const std::string& path) const;
  bool IsUninstallKey(const std::string& key) const;

  UninstallOptions options_;
  Prompts& prompts_;
  UninstallProgress& progress_;
  UninstallLogData log_;
  std::string appId_, productName_, uninstallKey_;
  std::string logFolder_, program_;
  std::vector<std::string> sharedFiles_;  // upper case: CopyFiles leaves them to their count
  std::vector<std::string> deferredFolders_;  // created folders that hold the log or the uninstaller
  std::vector<std::string> skipped_;
  bool restartNeeded_ = false;
  bool selfDelete_ = false;
};

// --- Safety rules for what a log names ------------------------------------------------

// An absolute path ("C:\x" or "\\server\share\x") with no "." or ".."
// part, no empty part and no wildcard or other character Windows refuses.
bool IsPlainAbsolutePath(const std::string& path);
// A folder that belongs to the system, never to a product: a drive root,
// the Windows and system folders, the shell's folders, Program Files,
// Common Files, the temporary folder -- or one that holds any of them.
bool IsSystemFolder(const std::string& folder);
// A registry key an uninstallation may delete: a full path at least two
// levels below its root that is none of the system's own keys.
bool IsRemovableKeyPath(const std::string& key);

}  // namespace vx
