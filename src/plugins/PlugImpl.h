// The services the engine offers plug-ins: the three entries of the
// start-up record and the commands (CM_*) behind them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vxplugin.h"

namespace vx {

class TvxMainDatabase;

class TvxEvaluator;

// What the commands need from the run above the plug-in host; the run
// session implements it and hands it to its plug-in list.
class PluginServices {
 public:
  virtual ~PluginServices() = default;
  virtual TvxMainDatabase* MainDatabase() = 0;
  // The run's evaluator (CM_CALCEXPRESSION, CM_REGISTERFUNCTION ...).
  virtual TvxEvaluator& Evaluator() = 0;
  // The language list, "code=description" entries in order, and the
  // current language code (sent to each plug-in at load).
  virtual std::vector<std::pair<std::string, std::string>> LanguageNames() = 0;
  virtual std::string LanguageCode() = 0;
  virtual void SetLanguage(const std::string& code) = 0;
  virtual void AbortInstall() = 0;
  virtual void SuspendInstall() {}
  virtual void ResumeInstall() {}
  virtual void AddLogRecord(const std::string& section, const std::string& record) {}
  // True when the password passes the check and has become the project's.
  virtual bool SetPassword(const std::string& password) = 0;
  // True when the project's current password passes the check.
  virtual bool PasswordValid() = 0;
};

// Entry points handed to every plug-in (callee cleans the stack on Windows).
int32_t VXAPI GetMessageID(int32_t pluginId, const char* name);
vx_param VXAPI SendCommand(int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2, int32_t broadcast);
vx_param VXAPI SendCommandByName(int32_t pluginId, const char* name, vx_param param1, vx_param param2,
                                 int32_t broadcast);

// A zero-terminated copy of `text` in a block of the engine's allocator.
char* AllocPluginText(const std::string& text);

}  // namespace vx
