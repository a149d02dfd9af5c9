// What every wizard front end keeps of the engine between events: the
// entries of the start-up record, the configuration file, the current
// language, and the wizard core made from them when first needed (by then
// the engine has made its initial selection).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "EngineLink.h"
#include "Wizard.h"
#include "vxplugin.h"

namespace vxwiz {

class PluginSession {
 public:
  // EV_SETSTARTUPINFO and EV_LANGUAGECHANGED; true when msgId was one of
  // them (the handler answers 0 then).
  bool HandleStartup(int32_t msgId, vx_param param1);
  bool Connected() const { return send_ != nullptr; }
  bool Started() const { return wizard_ != nullptr; }
  Wizard& Get();
  EngineLink* Link() { return link_.get(); }
  void Reset();

  // The events of the installation a wizard shows: files, progress, the
  // questions, the end, the status texts.
  static bool InstallEvent(int32_t msgId, const char* msgName);

 private:
  int32_t pluginId_ = 0;
  VXSendCommandProc send_ = nullptr;
  VXSendCommandByNameProc sendByName_ = nullptr;
  std::string configFile_;
  std::string language_ = "ENU";
  std::unique_ptr<EngineLink> link_;
  std::unique_ptr<Wizard> wizard_;
};

}  // namespace vxwiz
