// What the installation suites share: prompts that record what they were
// asked to show, native paths as the host names them, and reading a
// machine file through the host.
#pragma once

#include <string>
#include <vector>

#include "system/Prompts.h"
#include "system/kqFileUtils.h"

namespace vxtest {

// Boxes take their default answer; error texts are kept ("caption: text"
// for error boxes, the text alone for ShowError).
struct RecordingPrompts : vx::Prompts {
  std::vector<std::string> errors;
  int MsgBox(vx::WindowHandle, const std::string&, const std::string&, uint32_t) override { return 1; }
  void ErrorBox(const std::string& caption, const std::string& text) override {
    errors.push_back(caption + ": " + text);
  }
  void ShowError(const std::string& text) override { errors.push_back(text); }
};

// A native path as the engine's host names it: through drive Z: on both
// hosts (Wine maps Z: to the root as the sandbox machine does).
inline std::string HostPath(const std::string& native) {
  std::string p = "Z:" + native;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

// A file of the machine through the host; "<missing>" when it cannot be read.
inline std::string Read(const std::string& path) {
  std::string s;
  return vx::ReadWholeFile(path, s) ? s : "<missing>";
}

}  // namespace vxtest
