// Where code below the engine shows a message box. Only the places the
// engine specifies show a box (an evaluation error, the installer function
// AskUser, a plug-in that cannot be loaded, a step this build does not
// have); they get the run's prompts handed to them and never open a window
// on their own, so code on another thread or in a tool shows nothing by
// accident. The run session hands out RunPrompts (the engine's message
// boxes of kqUtils, with the run's unattended answers, captions and owner
// windows); a tool or a test may give its own.
#pragma once

#include <cstdint>
#include <string>

#include "system/host.h"

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

// The engine's message boxes (kqUtils: MsgBox, ErrorBox, ShowError).
class RunPrompts : public Prompts {
 public:
  int MsgBox(WindowHandle owner, const std::string& caption, const std::string& text, uint32_t flags) override;
  void ErrorBox(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& text) override;
};

}  // namespace vx
