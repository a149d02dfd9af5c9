// The engine's command line: its parameters and the switches found in them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/kqStrUtils.h"  // SplitCommandLine

namespace vx {

class CommandLine {
 public:
  CommandLine() = default;
  // `params` are the parameters after the program name.
  explicit CommandLine(std::vector<std::string> params) : params_(std::move(params)) {}

  const std::vector<std::string>& Params() const { return params_; }
  size_t Count() const { return params_.size(); }
  // Parameter `n` counted from 1 ("" when missing).
  std::string Param(size_t n) const { return n >= 1 && n <= params_.size() ? params_[n - 1] : std::string(); }

  // A switch is a parameter that starts with "-" or "/" and has at least one
  // more character. Returns the first switch whose text after that
  // character matches `pattern` ("*", "?", case-insensitive).
  std::optional<std::string> FindSwitch(const std::string& pattern) const;
  bool HasSwitch(const std::string& pattern) const { return FindSwitch(pattern).has_value(); }

  // The folder of "/resume:<folder>": quotes removed, one backslash ensured.
  std::optional<std::string> ResumeFolder() const;
  // The file of "/exename:<file>", quotes removed.
  std::optional<std::string> ExeName() const;
  // Every switch matching "?var:*" (the pattern covers the switch character),
  // in order, as (name, value) with the name before the first "=".
  std::vector<std::pair<std::string, std::string>> VarSwitches() const;

 private:
  std::vector<std::string> params_;
};

}  // namespace vx
