#include "engine/EngineStages.h"

#include <algorithm>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Main.h"
#include "system/kqNTSecurity.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "vxplugin.h"

// Whether the product may be installed here: the supported systems, the
// lowest system version, administrator rights, the launch conditions and
// the plug-ins' own check.
namespace vx {

namespace {

// "1.2.3": major, minor, build; a missing or non-numeric part counts as the
// running system's own value.
bool VersionAtLeast(const TOSInfo& os, const std::string& required) {
  uint32_t have[3] = {os.Major, os.Minor, os.Build};
  uint32_t need[3] = {os.Major, os.Minor, os.Build};
  std::vector<std::string> parts = SplitString(required, '.');
  for (size_t i = 0; i < 3 && i < parts.size(); ++i) {
    int32_t v = 0;
    if (ParseDecimal32(Trim(parts[i]), v) && v >= 0) need[i] = uint32_t(v);
  }
  for (int i = 0; i < 3; ++i)
    if (have[i] != need[i]) return have[i] > need[i];
  return true;
}

bool OSSupported(const TOSInfo& os, const std::string& list) {
  std::vector<std::string> words;
  for (const std::string& w : SplitString(UpperCase(list), ',')) words.push_back(Trim(w));
  auto has = [&](const char* w) { return std::find(words.begin(), words.end(), w) != words.end(); };
  if (os.IsNT())
    return has("NT") || (os.Major == 4 && has("NT4")) || (os.Kind == osWin2000 && has("2K")) ||
           (os.Kind == osWinXP && has("XP"));
  return has("9X") || (os.Kind == osWin95 && has("95")) || (os.Kind == osWin98 && has("98")) ||
         (os.Kind == osWinMe && has("ME"));
}

}  // namespace

bool EngineStages::SystemCheck() {
  const TOSInfo os = GetOSInfo();
  std::string supported = GetVariable("SupportedOS", "");
  if (!supported.empty() && !OSSupported(os, supported)) {
    session_.GetPrompts().ShowWarning(LanguageMessage(13));
    return false;
  }
  std::string minimum = GetVariable("MinOSVersion", "");
  if (!minimum.empty() && !VersionAtLeast(os, minimum)) {
    session_.GetPrompts().ShowWarning(FormatMessage1(LanguageMessage(14), minimum));
    return false;
  }
  if (session_.GetBoolVariable("AdminRights", false) && !IsAdministrator()) {
    session_.GetPrompts().ShowWarning(LanguageMessage(10));
    return false;
  }
  for (int i = 0; i < session_.Database().LaunchConditions->Count(); ++i) {
    TvxLaunchCondition& lc = (*session_.Database().LaunchConditions)[i];
    if (IsAvailable(&lc)) continue;
    std::string text = ExpandString(&session_.Database(), lc.Msg);
    if (!text.empty()) session_.GetPrompts().ShowWarning(text);
    return false;
  }
  return SendEvent(EV_CHECKLAUNCHCONDITIONS, 0, false) == 0;
}

}  // namespace vx
