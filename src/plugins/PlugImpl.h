// The services the engine offers plug-ins: the three entries of the
// start-up record and the commands (CM_*) behind them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vxplugin.h"

namespace vx {

class TvxMainDatabase;

// What the commands need from the layers above the plug-in host; set at
// start-up by the engine (and by tests). A missing hook makes its command
// a no-op answering 0 (or "nothing").
struct PluginServiceHooks {
  std::function<TvxMainDatabase*()> mainDatabase;
  // The language list, "code=description" entries in order.
  std::function<std::vector<std::pair<std::string, std::string>>()> languages;
  std::function<void(const std::string& code)> setLanguage;
  std::function<void()> abortInstall, suspendInstall, resumeInstall;
  std::function<void(const std::string& section, const std::string& record)> addLogRecord;
  // True when the password passes the check and has become the project's.
  std::function<bool(const std::string& password)> setPassword;
  // True when the project's current password passes the check.
  std::function<bool()> passwordValid;
};

PluginServiceHooks& PluginServices();

// Entry points handed to every plug-in (callee cleans the stack on Windows).
int32_t VXAPI GetMessageID(int32_t pluginId, const char* name);
vx_param VXAPI SendCommand(int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2, int32_t broadcast);
vx_param VXAPI SendCommandByName(int32_t pluginId, const char* name, vx_param param1, vx_param param2,
                                 int32_t broadcast);

// Puts the entries into the plug-in list's start-up records and the
// forwarding of plug-in functions into the evaluator.
void InstallPluginServices();

// A zero-terminated copy of `text` in a block of the engine's allocator.
char* AllocPluginText(const std::string& text);

}  // namespace vx
