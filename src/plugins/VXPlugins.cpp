#include "plugins/VXPlugins.h"

#include <atomic>
#include <cstring>

#include "database/VXClasses.h"
#include "plugins/PlugImpl.h"
#include "plugins/PluginCalls.h"
#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

// A name that is neither on a drive ("C:...") nor rooted ("\dir",
// "\\server\share").
bool IsRelativeName(const std::string& name) {
  if (name.size() >= 2 && name[1] == ':') return false;
  return name.empty() || !IsPathDelimiter(name[0]);
}

void CopyText(char* dest, size_t size, const std::string& text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(dest, text.data(), n);
  dest[n] = 0;
}

}  // namespace

namespace {
TPluginList* g_active = nullptr;
std::atomic<uintptr_t> g_lastInstance{0};
}  // namespace

TPluginList* TPluginList::Active() { return g_active; }

TPluginList::TPluginList(PluginServices* services, Prompts* prompts)
    : mainThread_(CurrentHost().CurrentThreadId()), services_(services), prompts_(prompts), previous_(g_active) {
  g_active = this;
}

TPluginList::~TPluginList() {
  // The run unloads its plug-ins with their events (UnloadAll); what a
  // failed run left loaded is only freed.
  for (auto& p : plugins_) CurrentHost().UnloadModule(p->Module);
  if (g_active == this) g_active = previous_;
}

void TPluginList::Call(const TkqFunction& func, const TkqParams* params, intptr_t extra, std::string& result) {
  CallPluginFunction(func, params, extra, result, [this](void* owner, void* block) -> intptr_t {
    // A function of a plug-in that is unloaded (or declined) finds nobody,
    // even when another plug-in has its PluginID now.
    TPlugin* plugin = FindInstance(reinterpret_cast<uintptr_t>(owner));
    if (!plugin) return 0;
    return SendToPlugin(*plugin, EV_CALCFUNCTION, reinterpret_cast<vx_param>(block), 0);
  });
}

// --- Loading --------------------------------------------------------------------

bool TPluginList::LoadPlugins(TvxPackage& package) {
  if (!package.Plugins) return true;
  TvxPlugins& entries = *package.Plugins;
  Host& host = CurrentHost();
  for (int i = 0; i < entries.Count(); ++i) {
    const TvxPlugin& entry = entries[i];
    bool accepted = false;
    if (!entry.DebugDll.empty()) {
      accepted = TryFile(package, entry.DebugDll) == TryResult::Accepted;
    } else {
      std::string folder = Format("%s\\%d\\", (package.TempPath + "plugins").c_str(), i);
      std::vector<FindEntry> files;
      uint32_t error = 0;
      host.ListFolder(folder, "*.dll", files, error);
      for (const FindEntry& f : files) {
        if (f.attributes & (kAttrDirectory | kAttrVolume)) continue;
        if (TryFile(package, folder + f.name) == TryResult::Accepted) {
          accepted = true;
          break;
        }
      }
    }
    if (!accepted) {
      if (prompts_) prompts_->ErrorBox("Error", Format("Cannot load \"%s\" plug-in.", entries[i].ID.c_str()));
      return false;
    }
  }
  return true;
}

TPluginList::TryResult TPluginList::TryFile(TvxPackage& package, const std::string& file) {
  Host& host = CurrentHost();
  ModuleHandle module = host.LoadModule(file);
  if (!module) {
    RunLog("plugin", Format("%s cannot be loaded (error %u)", LogQuote(file).c_str(), unsigned(host.LastError())));
    return TryResult::NotAccepted;
  }
  auto getInfo = reinterpret_cast<VXGetPluginInfoProc>(host.ModuleProc(module, "GetPluginInfo"));
  auto refuse = [&] {
    host.UnloadModule(module);
    return TryResult::NotAccepted;
  };
  if (!getInfo) return refuse();

  VXPluginInfo info;
  std::memset(&info, 0, sizeof info);
  info.recordVersion = VX_RECORD_VERSION;
  getInfo(&info);
  // The ID is read as a zero-terminated text within its field, whatever
  // the plug-in left there; a plug-in without a handler could never be
  // called and is refused like one that asks for a newer engine.
  info.pluginId[sizeof info.pluginId - 1] = 0;
  if (info.minEngineVersion > VX_ENGINE_VERSION || info.refuse != 0 || info.handler == nullptr) return refuse();
  TvxPlugins& entries = *package.Plugins;
  TvxPlugin* entry = nullptr;
  for (int i = 0; i < entries.Count() && !entry; ++i)
    if (SameText(entries[i].ID, info.pluginId)) entry = &entries[i];
  if (!entry) return refuse();

  RunLog("plugin", "loaded " + LogQuote(file) + " as " + LogQuote(entry->ID));
  if (!IsAvailable(entry)) {
    host.UnloadModule(module);
    RunLog("plugin", LogQuote(entry->ID) + " not used: its condition is false");
    return TryResult::Accepted;
  }

  auto plugin = std::make_unique<TPlugin>();
  plugin->GetPluginInfo = getInfo;
  plugin->FileName = file;
  plugin->Module = module;
  plugin->Info = info;
  plugin->Config = entry->Config.get();
  plugin->CustomConfig = entry->CustomConfig.get();
  plugin->PluginID = int32_t(plugins_.size()) + 1;
  plugin->Instance = ++g_lastInstance;
  plugin->Database = &package;
  if (!entry->ConfigFile.empty()) {
    // The entry keeps the full path: a database that is loaded again (a
    // resumed run) must not get the folder a second time.
    if (IsRelativeName(entry->ConfigFile)) entry->ConfigFile = ExtractFilePath(file) + entry->ConfigFile;
    plugin->ConfigFile = entry->ConfigFile;
  }
  TPlugin& p = *plugin;
  plugins_.push_back(std::move(plugin));

  VXStartupInfo startup;
  std::memset(&startup, 0, sizeof startup);
  startup.recordVersion = VX_RECORD_VERSION;
  startup.engineVersion = VX_ENGINE_VERSION;
  startup.pluginId = p.PluginID;
  CopyText(startup.configFile, sizeof startup.configFile, p.ConfigFile);
  startup.getMessageID = &GetMessageID;
  startup.sendCommand = &SendCommand;
  startup.sendCommandByName = &SendCommandByName;
  SendToPlugin(p, EV_SETSTARTUPINFO, reinterpret_cast<vx_param>(&startup), 0);

  if (SendToPlugin(p, EV_LOAD, 0, 0) != 0) {
    RunLog("plugin", LogQuote(entry->ID) + " declined to load");
    Unload(plugins_.size() - 1);
    return TryResult::Accepted;
  }
  std::string language = services_ ? services_->LanguageCode() : std::string("ENU");
  SendToPlugin(p, EV_LANGUAGECHANGED, reinterpret_cast<vx_param>(language.c_str()), 0);
  return TryResult::Accepted;
}

void TPluginList::Unload(size_t index) {
  CurrentHost().UnloadModule(plugins_[index]->Module);
  plugins_.erase(plugins_.begin() + long(index));
}

void TPluginList::UnloadAll() {
  while (!plugins_.empty()) {
    SendToPlugin(*plugins_.back(), EV_UNLOAD, 0, 0);
    Unload(plugins_.size() - 1);
  }
}

// --- Delivery -------------------------------------------------------------------

vx_param TPluginList::SendToPlugin(TPlugin& plugin, int32_t msgId, vx_param param1, vx_param param2) {
  std::string name = store_.NameOf(msgId);
  if (name.empty()) return 0;
  RunLog("event", Format("%s to plug-in %d", name.c_str(), int(plugin.PluginID)));
  vx_param result = plugin.Info.handler(msgId, name.c_str(), param1, param2);
  // A call made for another thread returns through the window system, which
  // no exception may cross: its failure waits for the next delivery.
  if (crossThreadCalls_ == 0) RaiseDeferredFailure();
  return result;
}

void TPluginList::DeferFailure(std::exception_ptr failure) {
  if (!deferred_) deferred_ = std::move(failure);
}

void TPluginList::RaiseDeferredFailure() {
  if (!deferred_) return;
  std::exception_ptr failure = std::move(deferred_);
  deferred_ = nullptr;
  std::rethrow_exception(failure);
}

vx_param TPluginList::Broadcast(int32_t senderId, int32_t msgId, bool toAll, vx_param param1, vx_param param2) {
  Host& host = CurrentHost();
  // Without plug-ins nobody answers: no need to wake the main thread. The
  // list changes only on the main thread, never while a worker runs.
  if (plugins_.empty()) return 0;
  if (host.CurrentThreadId() != mainThread_) {
    // Handlers run only on the main thread: hand the call over to it
    // through the main window and wait for the answer.
    WindowHandle window = mainWindow_;
    if (!window) return 0;
    auto* block = new VXCrossThreadCall;
    std::memset(block, 0, sizeof *block);
    block->senderId = senderId;
    block->msgId = msgId;
    block->param1 = param1;
    block->param2 = param2;
    block->toAll = toAll ? 1 : 0;
    return vx_param(host.SendWindowMessage(window, kCrossThreadMessage, reinterpret_cast<uintptr_t>(block), 0));
  }
  vx_param result = 0;
  // Handlers may load or unload nothing, but they may send further events;
  // walk by index so that the list may grow meanwhile.
  for (size_t i = 0; i < plugins_.size(); ++i) {
    TPlugin& p = *plugins_[i];
    if (p.PluginID == senderId) continue;
    result = SendToPlugin(p, msgId, param1, param2);
    if (!toAll && result != 0) return result;
  }
  return result;
}

vx_param TPluginList::HandleCrossThreadCall(uintptr_t block) {
  std::unique_ptr<VXCrossThreadCall> call(reinterpret_cast<VXCrossThreadCall*>(block));
  ++crossThreadCalls_;
  vx_param result = Broadcast(call->senderId, call->msgId, (call->toAll & 0xFF) != 0, call->param1, call->param2);
  --crossThreadCalls_;
  return result;
}

vx_param TPluginList::SendEvent(int32_t msgId, vx_param param1, vx_param param2, bool toAll) {
  return Broadcast(0, msgId, toAll, param1, param2);
}

vx_param TPluginList::SendEventByName(const std::string& name, vx_param param1, vx_param param2, bool toAll) {
  return SendEvent(store_.Register(name), param1, param2, toAll);
}

TPlugin* TPluginList::FindInstance(uintptr_t instance) {
  for (auto& p : plugins_)
    if (p->Instance == instance) return p.get();
  return nullptr;
}

TPlugin* TPluginList::FindPlugin(int32_t pluginId) {
  for (auto& p : plugins_)
    if (p->PluginID == pluginId) return p.get();
  return nullptr;
}

}  // namespace vx
