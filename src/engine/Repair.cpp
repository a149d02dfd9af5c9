#include "engine/EngineStages.h"

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Common.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqFileUtils.h"
#include "system/kqUtils.h"

// Repair: the choices the first installation recorded in its silent
// settings, found through its uninstall key.
namespace vx {

bool EngineStages::SetUpRepair() {
  std::string appId = GetVariable("AppID", "App");
  if (session_.Commands().Count() >= 2 && session_.Commands().Param(2) != appId) {
    session_.GetPrompts().ShowError("Cannot repair application!");
    return false;
  }
  session_.State().logFile = ExpandString(&session_.Database(), vx::GetVariable(&session_.Database(), "LogFile"));
  const std::string key = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + appId;
  std::string file = RegReadText(Format("HKLM%s", key.c_str()), "SilentSettings", "");
  if (file.empty()) file = RegReadText(Format("HKCU%s", key.c_str()), "SilentSettings", "");
  if (file.empty() || !FileExists(file)) {
    session_.GetPrompts().ShowError("Cannot repair application!");
    return false;
  }
  session_.SilentSettings().Clear();
  session_.SilentSettings().LoadFromFile(file, "silentsettings");
  ApplySilentSettings(session_.Database(), &session_.SilentSettings(), session_.Commands());
  SetVariable("SilentMode", "2");
  return true;
}

}  // namespace vx
