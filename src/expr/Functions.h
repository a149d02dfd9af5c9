// The installer's function set: the 38 built-in functions that conditions
// and actions call (Iif, FilePath, ..., MutexExists), registered in their
// fixed order so that they take the IDs 0 to 37, and the forwarding of
// functions that plug-ins register to their plug-in.
//
// The functions work over the Host and the project database. Effects that
// belong to subsystems above this one (the install worker, the install
// log, the user-interface plug-ins, the language of the session, the
// password check of the package) are reached through the evaluator's
// TvxInstallerServices.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "database/VXClasses.h"
#include "expr/Evaluator.h"
#include "system/host.h"

namespace vx {

// What the installer's functions act on above this layer. The run session
// implements it and hands it to its evaluator; each default means there
// is nothing to act on (yet) and the function has no effect.
class TvxInstallerServices {
 public:
  virtual ~TvxInstallerServices() = default;
  // AbortInstall: sets the run's abort flag and tells the plug-ins
  // (EV_ABORTINSTALL).
  virtual void AbortInstall() {}
  // SuspendInstall / ResumeInstall: SuspendThread / ResumeThread of the
  // installation worker thread, once the install driver has created it.
  virtual void SuspendInstall() {}
  virtual void ResumeInstall() {}
  // RenameFile with Log set: records `file` as a key with an empty value in
  // the "CopyFiles" section of the uninstall log (while logging is enabled).
  virtual void LogNewFile(const std::string& file) {}
  // AskUser: the window the user-interface plug-in reports as active
  // (CM_GETACTIVEWINDOW); 0 for none.
  virtual WindowHandle ActiveWindow() { return 0; }
  // SetLanguage: makes a language current for the session (LangID,
  // Charset, application name, EV_LANGUAGECHANGED). The default only sets
  // the variable "LangID" of the main database.
  virtual void SetLanguage(TvxMainDatabase& database, const std::string& code);
  // SetPassword: whether a password passes the package's password check.
  // By default no password is accepted.
  virtual bool CheckPassword(const std::string& password) { return false; }
};

// The names of the built-in functions, in registration order (index = ID).
inline constexpr int kInstallerFunctionCount = 38;
extern const char* const kInstallerFunctionNames[kInstallerFunctionCount];

// Registers the 38 functions into an evaluator whose function table is
// still empty, so that they take the IDs 0 to 37. Each evaluator keeps its
// own AskUser answers.
void RegisterInstallerFunctions(TvxEvaluator& evaluator);

// --- Pieces of the functions, shared with tests and other units ----------------------

// CompareVersion: 1, 0 or -1.
int CompareVersionText(const std::string& v1, const std::string& v2);
// Reads a date and time in the engine's fixed format ("mm/dd/yyyy" with
// an optional "hh:mm[:ss]" and AM/PM; either part alone) as days since
// 30 December 1899. False when the text is no valid date and time.
bool TryStrToDateTime(const std::string& text, double& value);
// "mm/dd/yyyy hh:mm:ss" of a date-time value.
std::string FormatDateTimeText(double value);
// A signed 32-bit decimal number (optional blanks before it, optional
// sign); `def` for any other text.
int32_t StrToIntDef(const std::string& text, int32_t def);

}  // namespace vx
