// Where code below the engine shows a message box. Only the places the
// engine specifies show a box (an evaluation error, the installer function
// AskUser, a plug-in that cannot be loaded, a step this build does not
// have); they get the run's prompts handed to them and never open a window
// on their own, so code on another thread or in a tool shows nothing by
// accident. The run session hands out its RunPrompts (with the run's
// unattended answers, captions and owner windows); a tool or a test may
// give its own.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "system/host.h"
#include "system/kqUtils.h"

namespace vx {

class Prompts {
 public:
  virtual ~Prompts() = default;
  // A box with these MB_* flags, owned by `owner`; returns the button.
  virtual int MsgBox(WindowHandle owner, const std::string& caption, const std::string& text, uint32_t flags) = 0;
  // An error box captioned `caption`, owned by the window the user
  // interface names.
  virtual void ErrorBox(const std::string& caption, const std::string& text) = 0;
  // An error box captioned with the application's name.
  virtual void ShowError(const std::string& text) = 0;
};

// Who names the window that owns an ErrorBox (the user interface's active
// window); 0 for none.
class ActiveWindowSource {
 public:
  virtual ~ActiveWindowSource() = default;
  virtual WindowHandle ActiveWindow() = 0;
};

// The engine's message boxes for one run: the platform's box with the
// run's style, captions and owner windows, every box recorded in the run
// log and answered without a person where the run says so.
class RunPrompts : public Prompts {
 public:
  // Answers boxes without showing them: every box takes its default button
  // (when `takeDefault`), or the button of the first rule whose pattern
  // matches its text.
  void SetUnattendedAnswers(bool takeDefault, std::vector<MsgBoxRule> rules);
  // Extra style combined into every box (the engine sets MB_SETFOREGROUND).
  void SetStyle(uint32_t style) { style_ = style; }
  // The caption of ShowError and ShowWarning ("Error" / "Warning" while
  // it is empty).
  void SetApplicationName(const std::string& name) { appName_ = name; }
  const std::string& ApplicationName() const { return appName_; }
  // The engine's main window: its last active pop-up owns ShowError and
  // ShowWarning.
  void SetMainWindow(WindowHandle window) { mainWindow_ = window; }
  WindowHandle MainWindow() const { return mainWindow_; }
  // Asked for the owner of ErrorBox.
  void SetActiveWindowSource(ActiveWindowSource* source) { activeWindow_ = source; }

  // The platform message box with Flags | MB_TASKMODAL | the extra style;
  // returns the button.
  int MsgBox(WindowHandle owner, const std::string& caption, const std::string& text, uint32_t flags) override;
  void ErrorBox(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ShowWarning(const std::string& text);

 private:
  std::string CaptionOr(const char* fallback) const { return appName_.empty() ? fallback : appName_; }

  uint32_t style_ = 0;
  std::string appName_;
  WindowHandle mainWindow_ = 0;
  ActiveWindowSource* activeWindow_ = nullptr;
  bool takeDefault_ = false;
  std::vector<MsgBoxRule> rules_;
};

}  // namespace vx
