#include "PluginSession.h"

#include <cstring>

namespace vxwiz {

bool PluginSession::HandleStartup(int32_t msgId, vx_param param1, vx_param& answer) {
  answer = 0;
  if (msgId == EV_LOAD) {
    answer = Connected() && EngineLink(pluginId_, send_, sendByName_).Silent() ? 1 : 0;
    return true;
  }
  if (msgId == EV_SETSTARTUPINFO) {
    if (const auto* info = reinterpret_cast<const VXStartupInfo*>(param1)) {
      pluginId_ = info->pluginId;
      send_ = info->sendCommand;
      sendByName_ = info->sendCommandByName;
      configFile_.assign(info->configFile, strnlen(info->configFile, sizeof info->configFile));
    }
    return true;
  }
  if (msgId == EV_LANGUAGECHANGED) {
    language_ = param1 ? reinterpret_cast<const char*>(param1) : "ENU";
    if (wizard_) wizard_->LoadTexts(language_);
    return true;
  }
  return false;
}

Wizard& PluginSession::Get() {
  if (!wizard_) {
    link_ = std::make_unique<EngineLink>(pluginId_, send_, sendByName_);
    wizard_ = std::make_unique<Wizard>(*link_);
    wizard_->Load(configFile_, language_);
  }
  return *wizard_;
}

void PluginSession::Reset() {
  wizard_.reset();
  link_.reset();
}

bool PluginSession::InstallEvent(int32_t msgId, const char* msgName) {
  if (msgId == EV_BEFOREPROCESSITEM || msgId == EV_FILEINSTALLPROGRESS || msgId == EV_VERSIONCONFLICT ||
      msgId == EV_GETPACKAGE || msgId == EV_QUERYREBOOT || msgId == EV_FINISH)
    return true;
  return msgName && std::strcmp(msgName, "CM_SHOWSTATUSTEXT") == 0;
}

}  // namespace vxwiz
