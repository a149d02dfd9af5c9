// The installer's function set: the 38 built-in functions that conditions
// and actions call (Iif, FilePath, ..., MutexExists), registered in their
// fixed order so that they take the IDs 0 to 37, and the forwarding of
// functions that plug-ins register to their plug-in.
//
// The functions work over the Host and the project database. Effects that
// belong to subsystems above this one (the install worker, the install
// log, the user-interface plug-ins, the language of the session, the
// password check of the package) are reached through TvxFunctionHooks;
// a hook that is not set means there is nothing to act on yet, and the
// function then has no effect.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "database/VXClasses.h"
#include "expr/Evaluator.h"
#include "system/host.h"

namespace vx {

struct TvxFunctionHooks {
  // AbortInstall: sets the engine's abort flag and tells the plug-ins
  // (EV_ABORTINSTALL).
  std::function<void()> AbortInstall;
  // SuspendInstall / ResumeInstall: SuspendThread / ResumeThread of the
  // installation worker thread, once the install driver has created it.
  std::function<void()> SuspendInstall;
  std::function<void()> ResumeInstall;
  // RenameFile with Log set: records `file` as a key with an empty value in
  // the "CopyFiles" section of the uninstall log (while logging is enabled).
  std::function<void(const std::string& file)> LogNewFile;
  // AskUser: the window the user-interface plug-in reports as active
  // (CM_GETACTIVEWINDOW); 0 for none.
  std::function<WindowHandle()> ActiveWindow;
  // SetLanguage: makes a language current for the session (LangID,
  // Charset, application name, EV_LANGUAGECHANGED). Without it only the
  // variable "LangID" of the main database changes.
  std::function<void(TvxMainDatabase& database, const std::string& code)> SetLanguage;
  // SetPassword: whether a password passes the package's password check.
  // Without it no password is accepted.
  std::function<bool(const std::string& password)> CheckPassword;
};

// The hooks of the engine's function set.
TvxFunctionHooks& FunctionHooks();

// The names of the built-in functions, in registration order (index = ID).
inline constexpr int kInstallerFunctionCount = 38;
extern const char* const kInstallerFunctionNames[kInstallerFunctionCount];

// Registers the 38 functions into an evaluator whose function table is
// still empty, so that they take the IDs 0 to 37. Each evaluator keeps its
// own AskUser answers.
void RegisterInstallerFunctions(TvxEvaluator& evaluator);

// Start-up wiring of the expression layer: registers the functions into
// MainEvaluator() (once), points its text expansion at the variables
// (ExpandString) and its main database at `mainDatabase`, and points the
// database's EvaluateExpression / EvaluateCondition hooks at
// CalcExpression / CalcBoolExpression (the hook's context is the Extra
// value). Turning ConditionsEnabled on is left to the caller.
void InstallEvaluatorHooks(std::function<TvxMainDatabase*()> mainDatabase);

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
