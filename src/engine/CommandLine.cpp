#include "engine/CommandLine.h"

#include "system/kqStrUtils.h"

namespace vx {

static bool IsSwitch(const std::string& p) { return p.size() >= 2 && (p[0] == '-' || p[0] == '/'); }

std::optional<std::string> CommandLine::FindSwitch(const std::string& pattern) const {
  for (const std::string& p : params_)
    if (IsSwitch(p) && MatchesPattern(p.substr(1), pattern)) return p;
  return std::nullopt;
}

std::optional<std::string> CommandLine::ResumeFolder() const {
  auto p = FindSwitch("resume:*");
  if (!p) return std::nullopt;
  return IncludeTrailingBackslash(RemoveQuotes(p->substr(8)));
}

std::optional<std::string> CommandLine::ExeName() const {
  auto p = FindSwitch("exename:*");
  if (!p) return std::nullopt;
  return RemoveQuotes(p->substr(9));
}

std::vector<std::pair<std::string, std::string>> CommandLine::VarSwitches() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& p : params_) {
    if (!IsSwitch(p) || !MatchesPattern(p, "?var:*")) continue;
    std::string text = p.substr(5);
    size_t eq = text.find('=');
    if (eq == std::string::npos) out.emplace_back(text, "");
    else out.emplace_back(text.substr(0, eq), text.substr(eq + 1));
  }
  return out;
}

}  // namespace vx
