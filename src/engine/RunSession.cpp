#include "engine/RunSession.h"

#include <cstdlib>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Common.h"
#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "expr/Functions.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "plugins/PlugImpl.h"
#include "plugins/VXPlugins.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "vxplugin.h"

namespace vx {

RunSession::RunSession(CommandLine commandLine)
    : commandLine_(std::move(commandLine)),
      db_(std::make_unique<TvxMainDatabase>()),
      silent_(std::make_unique<TvxSilentSettings>()) {
  InstallHooks();
}

RunSession::~RunSession() { RemoveHooks(); }

// Points the layers below at this run: expressions and conditions at the
// evaluator, database changes and language changes at the plug-ins, the
// plug-in services at this database and run state.
void RunSession::InstallHooks() {
  InstallEvaluatorHooks([this] { return db_.get(); });
  InstallSessionHooks();
  InstallPluginServices();
  db_->OnFeatureChange = [](TvxFeature& f) {
    Plugins().SendEvent(EV_FEATURESTATECHANGED, reinterpret_cast<vx_param>(f.ID.c_str()), f.State(), true);
  };
  db_->OnInstallTypeChange = [](TvxInstallType& t) {
    Plugins().SendEvent(EV_INSTALLTYPECHANGED, reinterpret_cast<vx_param>(t.ID.c_str()), 0, true);
  };
  Plugins().SetLanguageSource([this] { return vx::GetVariable(db_.get(), "LangID", "ENU"); });
  PluginServiceHooks& services = PluginServices();
  services.mainDatabase = [this] { return db_.get(); };
  services.languages = [] {
    std::vector<std::pair<std::string, std::string>> list;
    for (const TLanguage& l : LanguageList()) list.emplace_back(l.Code, l.Name);
    return list;
  };
  services.setLanguage = [this](const std::string& code) { vx::SetLanguage(*db_, code); };
  services.abortInstall = [this] { Abort(); };
  // The window that owns the engine's boxes is the one the user interface names.
  auto activeWindow = [] {
    return WindowHandle(Plugins().SendEventByName("CM_GETACTIVEWINDOW", 0, 0, false));
  };
  SetActiveWindowProvider(activeWindow);
  auto passwordMatches = [this](const std::string& password) {
    return CheckPassword(password, vx::GetVariable(db_.get(), "PswCheckHash"));
  };
  TvxFunctionHooks& functions = FunctionHooks();
  functions.AbortInstall = services.abortInstall;
  functions.ActiveWindow = activeWindow;
  functions.CheckPassword = passwordMatches;
  services.setPassword = [this, passwordMatches](const std::string& password) {
    if (!passwordMatches(password)) return false;
    db_->Password = password;
    return true;
  };
  services.passwordValid = [this, passwordMatches] {
    std::string check = vx::GetVariable(db_.get(), "PswCheckHash");
    return !HasPassword(check) || passwordMatches(db_->Password);
  };
  TPackageServices& packages = PackageServices();
  packages.AskForPackage = [](const std::string& name, char* folder) -> intptr_t {
    return Plugins().SendEventByName("EV_GETPACKAGE", reinterpret_cast<vx_param>(name.c_str()),
                                     reinterpret_cast<vx_param>(folder), false);
  };
  packages.AbortInstall = services.abortInstall;
  packages.SilentMode = [this] { return GetVariableInt(db_.get(), "SilentMode", 0); };
  TPreparationWindows& windows = packages.Windows;
  windows.ShowSplash = [](const std::string& picture) { ShowSplash(picture); };
  windows.CloseSplash = [] { CloseSplash(); };
  windows.SplashVisible = [] { return SplashShown(); };
  windows.ShowPreparationWindow = [](const std::string& folder, const std::string& name) {
    ShowPreparationWindow(name, folder);
  };
  windows.PreparationWindowVisible = [] { return PreparationWindowVisible(); };
  windows.SetPreparationTitle = [](const std::string& name) { SetPreparationTitle(name); };
  windows.SetPreparationProgress = [](int percent) { SetPreparationProgress(percent); };
  windows.DestroyPreparationWindow = [] { DestroyPreparationWindow(); };
}

void RunSession::RemoveHooks() {
  PluginServices() = PluginServiceHooks();
  FunctionHooks() = TvxFunctionHooks();
  SetActiveWindowProvider(nullptr);
  PackageServices() = TPackageServices();
  Plugins().SetLanguageSource(nullptr);
}

// --- Variables, messages and events ----------------------------------------------------

std::string RunSession::GetVariable(const std::string& name, const std::string& defaultValue) {
  return vx::GetVariable(db_.get(), name, defaultValue);
}

void RunSession::SetVariable(const std::string& name, const std::string& value) {
  vx::SetVariable(db_.get(), name, value);
}

bool RunSession::GetBoolVariable(const std::string& name, bool defaultValue) {
  std::string v = Trim(GetVariable(name, defaultValue ? "1" : "0"));
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end) return defaultValue;
  return n != 0;
}

std::string RunSession::LanguageMessage(int number) { return vx::LanguageMessage(*db_, number); }

intptr_t RunSession::SendEvent(int32_t event, intptr_t param1, intptr_t param2, bool toAll) {
  return Plugins().SendEvent(event, param1, param2, toAll);
}

void RunSession::ShowStatus(const std::string& text) {
  Plugins().SendEventByName("CM_SHOWSTATUSTEXT", reinterpret_cast<vx_param>(text.c_str()), 750, false);
}

void RunSession::HideStatus() { Plugins().SendEventByName("CM_HIDESTATUSTEXT", 0, 0, false); }

void RunSession::Abort() {
  state_.abort = true;
  Plugins().SendEvent(EV_ABORTINSTALL, 0, 0, true);
}

// MAKELONG(0, kind): the kind of items in the high word.
bool RunSession::SkipPhase(ItemKind kind) {
  return SendEvent(EV_BEFOREPROCESSITEMS, intptr_t(kind) << 16, 0, false) != 0;
}

void RunSession::PhaseDone(ItemKind kind) { SendEvent(EV_AFTERPROCESSITEMS, intptr_t(kind) << 16, 0, true); }

}  // namespace vx
