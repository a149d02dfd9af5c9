// The answers of unattended runs, the operating-system facts, environment
// variables and the folders the engine uses, written once above the Host
// seam. (The message boxes themselves are the run's prompts, Prompts.h.)
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/host.h"

namespace vx {

// --- Unattended answers -----------------------------------------------------

// The button a box with these flags has as default (MB_DEFBUTTONn of its
// button set; the first button when n is beyond the set).
int DefaultButton(uint32_t flags);
// "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "TryAgain",
// "Continue" (any case) to the button code, and back.
std::optional<int> ButtonFromName(const std::string& name);
std::string ButtonName(int button);

struct MsgBoxRule {
  std::string pattern;  // matched against the box text, "*" and "?"
  int button = 0;
};

// Parses an answer script: one rule a line, "PATTERN=BUTTON" or "BUTTON"
// (any text); blank lines and lines starting with ";" are ignored.
// False with `error` set when a line cannot be understood.
bool ParseAnswerScript(const std::string& script, std::vector<MsgBoxRule>& rules, std::string& error);

// --- Operating system -------------------------------------------------------------

enum TOSKind { osWin32s = 0, osWin95 = 1, osWin98 = 2, osWinNT = 3, osWin2000 = 4, osWinMe = 5, osWinXP = 6 };

struct TOSInfo {
  int Kind = osWinXP;
  uint32_t Major = 0, Minor = 0;
  std::string VersionText;  // "4.0", "4.10", "5.01"
  uint32_t Build = 0;       // the 9x family: the low 16 bits only
  std::string ServicePack;
  std::string Description;  // "Windows XP 5.01.2600 Service Pack 2"
  bool IsNT() const { return Kind == osWinNT || Kind == osWin2000 || Kind == osWinXP; }
};

// The record for the platform's version facts (the kind rules applied in
// their order, the last that matches winning).
TOSInfo ComputeOSInfo(const VersionFacts& facts);
// The record of the current host.
TOSInfo GetOSInfo();
// "32s", "95", "98", "NT", "2000", "Me", "XP".
const char* OSKindName(int kind);

// --- Environment ---------------------------------------------------------------------

// The process environment variable; "" when it is not set.
std::string GetEnv(const std::string& name);
// The persistent value of an environment variable: on NT from the
// registry (the system's or the user's key), expanded; on 9x the process
// environment.
std::string GetEnvVar(const std::string& name, bool system);
// The persistent value as stored: on NT the registry text with its
// %NAME% references kept (what SetEnvVar must write back to give the
// value its old bytes); on 9x the process environment, as GetEnvVar.
std::string GetStoredEnvVar(const std::string& name, bool system);
// Changes (or, with an empty value, removes) a persistent environment
// variable: on NT in the registry, keeping REG_EXPAND_SZ when the value
// has that type; on 9x by rewriting c:\autoexec.bat. Raises EInOutError on
// 9x when the new autoexec.bat cannot be written.
bool SetEnvVar(const std::string& name, const std::string& value, bool system);
// The autoexec.bat text with the SET lines of `name` replaced by
// "SET name=value" (removed when `value` is empty), or one appended when
// there was none. `found` tells whether a line of the variable existed.
std::string RewriteAutoexec(const std::string& oldText, const std::string& name, const std::string& value,
                            bool& found);
// Replaces `list` with the "name=value" entries of the process environment.
void GetEnvironmentList(std::vector<std::string>& list);

// --- Folders ------------------------------------------------------------------

// The system temporary folder with one trailing backslash. When the
// platform falls back to the current folder (no TMP/TEMP configured), the
// Windows folder's "Temp\" is used on the 9x family and "C:\Temp\" on NT.
std::string GetTempFolder();
std::string GetWindowsFolder();
std::string GetSystemFolder();

// Probing a removable drive without a medium must show no system dialog:
// while one of these lives, critical errors fail silently (SetErrorMode).
class ErrorModeScope {
 public:
  ErrorModeScope() : previous_(CurrentHost().SetProcessErrorMode(kSemFailCriticalErrors)) {}
  ~ErrorModeScope() { CurrentHost().SetProcessErrorMode(previous_); }
  ErrorModeScope(const ErrorModeScope&) = delete;
  ErrorModeScope& operator=(const ErrorModeScope&) = delete;

 private:
  uint32_t previous_;
};

}  // namespace vx
