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
  // EV_SETSTARTUPINFO, EV_LOAD and EV_LANGUAGECHANGED; true when msgId was
  // one of them, with the handler's `answer`. A silent run has nothing for
  // a wizard to do: it declines to load, so that the engine does not carry
  // every event of the copy over to its main thread for nothing.
  bool HandleStartup(int32_t msgId, vx_param param1, vx_param& answer);
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
