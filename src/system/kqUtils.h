// Message boxes, the application name and the system folders the engine
// uses, written once above the Host seam.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/host.h"

namespace vx {

// --- Message boxes ----------------------------------------------------------

// Extra style combined into every box (the engine sets MB_SETFOREGROUND).
void SetMsgBoxStyle(uint32_t style);
uint32_t MsgBoxStyle();

// The platform message box with Flags | MB_TASKMODAL | the extra style;
// returns the button. Recorded in the run log; answered without a person
// when unattended answers are configured.
int MsgBox(WindowHandle owner, const std::string& caption, const std::string& text, uint32_t flags);

// Error and warning boxes owned by the last active pop-up of the engine's
// main window, captioned with the application name ("Error" / "Warning"
// while it is empty).
void ShowError(const std::string& text);
void ShowWarning(const std::string& text);
// An error box with an explicit caption, owned by the window the user
// interface names (no owner when nothing answers).
void ErrorBox(const std::string& caption, const std::string& text);

// The process-wide application name used as caption.
const std::string& ApplicationName();
void SetApplicationName(const std::string& name);

// The engine's main window, owner of ShowError / ShowWarning.
void SetMainWindow(WindowHandle window);
WindowHandle MainWindow();
// Asked for the owner of ErrorBox (the plug-ins' active window).
void SetActiveWindowProvider(std::function<WindowHandle()> provider);

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

// Answers boxes without showing them: every box takes its default button
// (when `takeDefault`), or the button of the first rule whose pattern
// matches its text.
void SetUnattendedAnswers(bool takeDefault, std::vector<MsgBoxRule> rules);
// Parses an answer script: one rule a line, "PATTERN=BUTTON" or "BUTTON"
// (any text); blank lines and lines starting with ";" are ignored.
// False with `error` set when a line cannot be understood.
bool ParseAnswerScript(const std::string& script, std::vector<MsgBoxRule>& rules, std::string& error);

// --- Folders ------------------------------------------------------------------

// The system temporary folder with one trailing backslash. When the
// platform falls back to the current folder (no TMP/TEMP configured), the
// Windows folder's "Temp\" is used on the 9x family and "C:\Temp\" on NT.
std::string GetTempFolder();
std::string GetWindowsFolder();
std::string GetSystemFolder();

}  // namespace vx
