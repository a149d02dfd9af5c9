// The plug-in host: loads the user-interface plug-ins a package brings,
// delivers events to them on the main thread, and unloads them at the end.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "expr/Evaluator.h"
#include "plugins/MsgStore.h"
#include "system/Prompts.h"
#include "system/host.h"
#include "vxplugin.h"

namespace vx {

class TvxPackage;
class TvxPluginSimpleConfig;
class TXMLTag;

// One loaded plug-in; owned by the plug-in list.
struct TPlugin {
  VXGetPluginInfoProc GetPluginInfo = nullptr;
  std::string FileName;  // full path of the DLL
  ModuleHandle Module = 0;
  VXPluginInfo Info{};
  std::string ConfigFile;  // full path, or ""
  TvxPluginSimpleConfig* Config = nullptr;
  TXMLTag* CustomConfig = nullptr;
  int32_t PluginID = 0;
  TvxPackage* Database = nullptr;  // the package that listed the plug-in
  // This loaded instance, unique for the whole process: a PluginID is given
  // again after a plug-in declined, an instance number never. Functions a
  // plug-in registers belong to its instance.
  uintptr_t Instance = 0;
};

// Message number of a cross-thread broadcast sent to the main window.
constexpr uint32_t kCrossThreadMessage = 0x5911;

class PluginServices;

// The plug-ins of one run. The entry points a plug-in calls are plain C
// functions that carry no context but the plug-in's number: they reach the
// list of the run through TPluginList::Active(), the one list a process has
// at a time (the latest made that still lives). It is also where calls of
// the functions plug-ins registered go (TvxPluginFunctionCalls).
class TPluginList : public TvxPluginFunctionCalls {
 public:
  // Records the calling thread as the main thread and becomes the active
  // list. Without services the commands that need the run answer nothing;
  // without prompts a plug-in that cannot be loaded shows no box.
  explicit TPluginList(PluginServices* services = nullptr, Prompts* prompts = nullptr);
  ~TPluginList() override;
  TPluginList(const TPluginList&) = delete;
  TPluginList& operator=(const TPluginList&) = delete;

  static TPluginList* Active();
  PluginServices* Services() const { return services_; }
  // The engine's main window: calls from another thread go through it.
  void SetMainWindow(WindowHandle window) { mainWindow_ = window; }

  // Loads the plug-ins the package lists. False (after the "Cannot load"
  // box) when no file of some entry's folder was accepted.
  bool LoadPlugins(TvxPackage& package);
  void UnloadAll();

  vx_param SendToPlugin(TPlugin& plugin, int32_t msgId, vx_param param1, vx_param param2);
  vx_param Broadcast(int32_t senderId, int32_t msgId, bool toAll, vx_param param1, vx_param param2);
  vx_param SendEvent(int32_t msgId, vx_param param1, vx_param param2, bool toAll);
  vx_param SendEventByName(const std::string& name, vx_param param1, vx_param param2, bool toAll);
  TPlugin* FindPlugin(int32_t pluginId);
  // The loaded plug-in of that instance number, or nullptr once it is gone.
  TPlugin* FindInstance(uintptr_t instance);
  // The owner under which a function that `plugin` registers is kept.
  static void* FunctionOwner(const TPlugin& plugin) { return reinterpret_cast<void*>(plugin.Instance); }

  size_t Count() const { return plugins_.size(); }
  TPlugin& operator[](size_t i) { return *plugins_[i]; }
  TMsgStore& Store() { return store_; }

  // Runs a cross-thread call block on the main thread (the main window's
  // handler of kCrossThreadMessage calls this) and frees it.
  vx_param HandleCrossThreadCall(uintptr_t block);

  // A failure inside a command that a plug-in called (an evaluation error
  // that ends the run, a damaged file) cannot travel through the plug-in's
  // own frames: the command answers its failure result and leaves the
  // failure here. It is raised again in the engine's frames as soon as the
  // plug-in handler that made the call returns (see SendToPlugin).
  void DeferFailure(std::exception_ptr failure);
  // Raises a deferred failure, if there is one, and forgets it.
  void RaiseDeferredFailure();

  // TvxPluginFunctionCalls: a call of a function a plug-in registered goes
  // to that plug-in as EV_CALCFUNCTION; after the plug-in was unloaded it
  // finds nobody and gives an empty result.
  void Call(const TkqFunction& func, const TkqParams* params, intptr_t extra, std::string& result) override;

 private:
  enum class TryResult { NotAccepted, Accepted };
  TryResult TryFile(TvxPackage& package, const std::string& file);
  void Unload(size_t index);

  std::vector<std::unique_ptr<TPlugin>> plugins_;
  TMsgStore store_;
  uint32_t mainThread_;
  PluginServices* services_;
  Prompts* prompts_;
  WindowHandle mainWindow_ = 0;
  TPluginList* previous_;  // the list that was active before this one
  std::exception_ptr deferred_;
  int crossThreadCalls_ = 0;  // handlers running for another thread's call
};

}  // namespace vx
