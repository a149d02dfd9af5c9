#include "engine/Main.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "database/kqIniFile.h"
#include "engine/Common.h"
#include "engine/MainWnd.h"
#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "expr/Functions.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "package/VXUnpacker.h"
#include "plugins/PlugImpl.h"
#include "plugins/VXPlugins.h"
#include "system/kqNTSecurity.h"
#include "system/Errors.h"
#include "system/ResumeProgramName.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

void Step(const std::string& text) { RunLog("step", text); }
}  // namespace

Engine::Engine(CommandLine commandLine)
    : commandLine_(std::move(commandLine)),
      db_(std::make_unique<TvxMainDatabase>()),
      silent_(std::make_unique<TvxSilentSettings>()) {
  InstallHooks();
}

Engine::~Engine() { RemoveHooks(); }

// Points the layers below at this run: expressions and conditions at the
// evaluator, database changes and language changes at the plug-ins, the
// plug-in services at this database and run state.
void Engine::InstallHooks() {
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
  services.abortInstall = [this] {
    state_.abortFlag = true;
    Plugins().SendEvent(EV_ABORTINSTALL, 0, 0, true);
  };
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

void Engine::RemoveHooks() {
  PluginServices() = PluginServiceHooks();
  FunctionHooks() = TvxFunctionHooks();
  SetActiveWindowProvider(nullptr);
  PackageServices() = TPackageServices();
  Plugins().SetLanguageSource(nullptr);
}

// --- Main body ------------------------------------------------------------------

int Engine::Run() {
  bool result = false;
  try {
    try {
      bool resumeFailed = false;
      if (auto folder = commandLine_.ResumeFolder()) {
        state_.resuming = state_.startedToResume = true;
        state_.tempFolder = *folder;
        Step("resume from " + LogQuote(*folder));
        if (!LoadResumeState()) {
          ShowError("Cannot resume installation.");
          resumeFailed = true;
        }
      }
      if (!resumeFailed) {
        if (auto exe = commandLine_.ExeName()) state_.engineFile = *exe;
        if (!state_.resuming) CreateTemporaryFolders();
        result = MainRoutine();
      }
    } catch (...) {
      Finish(false);
      throw;
    }
    Finish(result);
  } catch (const ESilentAbort&) {
    Step("silent abort");
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
  if (!result && state_.exitCode == 0) state_.exitCode = -1;
  Step(Format("exit code %d", state_.exitCode));
  return state_.exitCode;
}

void Engine::CreateTemporaryFolders() {
  std::string root = GetTempFolder();
  state_.tempFolder = root + UniqueName(root) + "\\";
  if (!ForceFolders(state_.tempFolder))
    throw EEngineError(Format("Cannot create the temporary folder \"%s\".", state_.tempFolder.c_str()));
  Step("temporary folder " + LogQuote(state_.tempFolder));
  for (std::string* sub : {&state_.tempFontsPath, &state_.tempGACPath, &state_.tempBackupPath}) {
    *sub = state_.tempFolder + UniqueName(state_.tempFolder) + "\\";
    if (!CurrentHost().MakeFolder(ExcludeTrailingBackslash(*sub)))
      throw EEngineError(Format("Cannot create the temporary folder \"%s\".", sub->c_str()));
  }
}

// The clean-up that ends every run (also after an exception).
void Engine::Finish(bool result) {
  if (!state_.suspended && !state_.tempFolder.empty()) {
    // A folder named by a resume switch is removed only when it is one of
    // ours: a mistyped switch must never wipe an unrelated folder.
    bool ours = !state_.startedToResume || FileExists(state_.tempFolder + "MainDB") ||
                FileExists(state_.tempFolder + "Resume.exe");
    std::string bare = ExcludeTrailingBackslash(state_.tempFolder);
    bool driveRoot = bare.size() <= 2;
    if (ours && !driveRoot) {
      DeleteFolderTree(state_.tempFolder, true);
      Step("temporary folder removed");
    }
  }
  if (state_.startedToResume) MarkExecutableForDeletion(result && state_.rebootAtExit);
  if (result && state_.rebootAtExit) RestartWindows();
  if (!result && state_.exitCode == 0) state_.exitCode = -1;
}

// --- Main routine -----------------------------------------------------------------

bool Engine::WriteExtractionLibrary(const std::string& path) {
  std::string bytes;
  if (!CurrentHost().LoadDataResource("UNPACK", bytes)) {
    ShowError("Can't extract UNPACK.DLL");
    return false;
  }
  // Written without a check: a library that could not be written shows up
  // as a package that cannot be prepared.
  WriteWholeFile(path, bytes);
  Step("extraction library written to " + LogQuote(path));
  return true;
}

bool Engine::MainRoutine() {
  Host& host = CurrentHost();
  bool result = false;

  Step("1 initialise");
  // INI files go through the cache of parsed files, and values keep their
  // surrounding quotes for the whole run.
  RegisterIniFileClass();
  IniDefaults().unquoteValues = false;
  ConditionsEnabled = true;
  if (state_.engineFile.empty()) state_.engineFile = host.ExecutablePath();
  SetMsgBoxStyle(kMbSetForeground);

  Step("2 main window");
  state_.mainWindow = CreateMainWindow();
  if (!state_.mainWindow) {
    ShowError("Can't create main window!");
    return false;
  }
  SetMainWindow(state_.mainWindow);

  Step("3 extraction library");
  SetUnpackFolder(state_.tempFolder);
  PackageServices().TempFolder = state_.tempFolder;
  if (!state_.resuming && !WriteExtractionLibrary(state_.tempFolder + "unpack.dll")) return false;

  Step("4 current folder");
  state_.savedCurrentFolder = host.CurrentFolder();
  host.SetCurrentFolder(ExtractFileDir(state_.engineFile));

  try {
    // Every stop below leaves with the current result; the closing block
    // runs in any case.
    [&] {
      Step("6 session");
      state_.repair = commandLine_.HasSwitch("repair");
      if (!PrepareSession()) return;

      if (!state_.resuming) {
        Step("7 setup file");
        if (!OpenSetupFile()) return;
      }

      SetVariable("Reboot", "0");
      state_.noRollback = GetBoolVariable("DisableRollback", false);

      Step("9 single instance");
      bool existed = false;
      std::string mutexName = GetVariable("AppID", "App") + " setup";
      state_.singleInstance = host.CreateNamedMutex(mutexName, existed);
      if (existed) {
        host.CloseHandle(state_.singleInstance);
        state_.singleInstance = 0;
      }

      if (state_.repair) {
        Step("10 repair");
        if (!SetUpRepair()) return;
      }

      Step("11 language");
      if (!ChooseLanguage()) return;

      if (!state_.singleInstance) {
        ShowWarning(FormatMessage1(LanguageMessage(21), GetVariable("AppName", "")));
        return;
      }

      Step("13 plug-ins");
      if (!LoadPlugins() || state_.abortFlag) return;

      Step("14 preselection");
      if (!Preselect()) return;

      if (!state_.resuming) {
        Step("16 system check");
        if (!SystemCheck() || state_.abortFlag) return;
      }

      Step("17 start");
      SendEvent(EV_START, 0, true);
      state_.startSent = true;
      if (state_.abortFlag) return;

      Step("18 programs before the wizard");
      bool phase = RunProgramsBeforeWizard();
      if (state_.suspended) {
        result = phase;
        return;
      }
      if (!phase || state_.abortFlag) return;

      if (!state_.resuming) {
        Step("20 wizard");
        if (SendEvent(EV_SHOWDIALOGS, 0, false) != 0 || state_.abortFlag) return;

        Step("21 components and packages");
        if (!ChooseComponentsAndPackages()) return;
      }

      Step("27 plug-ins of further packages");
      LoadFurtherPlugins();
      if (state_.abortFlag) return;

      if (!state_.resuming) {
        Step("28 before install");
        LogState();
        if (SendEvent(EV_BEFOREINSTALL, 0, false) != 0 || state_.abortFlag) return;
      }

      Step("29 install");
      result = InstallMain();

      if (!state_.suspended && result) {
        SendEvent(EV_AFTERINSTALL, 0, true);
        result = !state_.abortFlag;
        if (result) result = SendEvent(EV_SHOWDIALOGS, 1, false) == 0 && !state_.abortFlag;
      }

      if (result && !state_.windowsShuttingDown) {
        if (state_.rebootOnFinish && !state_.resuming) SetVariable("Reboot", "1");
        if (GetBoolVariable("Reboot", false)) {
          SendEvent(EV_QUERYREBOOT, 0, false);
          result = !state_.abortFlag;
        }
      }
    }();
  } catch (...) {
    ClosingBlock(result);
    throw;
  }
  ClosingBlock(result);
  return result;
}

void Engine::ClosingBlock(bool& result) {
  Step(Format("closing (result %d)", result ? 1 : 0));
  try {
    if (result) result = PrepareResume();
    if (!result) {
      SetVariable("Reboot", "0");
      state_.suspended = false;
      if (!state_.noRollback && HasRecordedActions()) {
        // The user interface shows what the engine is doing while it undoes
        // the changes, and hides it again however the rollback ends.
        std::string status = LanguageMessage(18);
        Plugins().SendEventByName("CM_SHOWSTATUSTEXT", reinterpret_cast<vx_param>(status.c_str()), 750, false);
        IniFlush();
        try {
          Rollback();
        } catch (...) {
          Plugins().SendEventByName("CM_HIDESTATUSTEXT", 0, 0, false);
          throw;
        }
        Plugins().SendEventByName("CM_HIDESTATUSTEXT", 0, 0, false);
      }
    }
    if (!state_.suspended && state_.startSent) SendEvent(EV_FINISH, result ? 1 : 0, true);
    state_.rebootAtExit = GetBoolVariable("Reboot", false);
  } catch (...) {
    // The release of resources below must happen whatever failed above.
    UnloadPlugins();
    throw;
  }
  UnloadPlugins();
  LanguageList().clear();
  Host& host = CurrentHost();
  if (!state_.savedCurrentFolder.empty()) host.SetCurrentFolder(state_.savedCurrentFolder);
  if (state_.singleInstance) host.CloseHandle(state_.singleInstance);
  state_.singleInstance = 0;
  IniFlush();
  DestroyMainWindow(state_.mainWindow);
  SetMainWindow(0);
  state_.mainWindow = 0;
}

// --- Variables and stages ------------------------------------------------------------
// The defaults stand for a build in which the owning subsystem is absent.

std::string Engine::GetVariable(const std::string& name, const std::string& defaultValue) {
  return vx::GetVariable(db_.get(), name, defaultValue);
}

void Engine::SetVariable(const std::string& name, const std::string& value) { vx::SetVariable(db_.get(), name, value); }

bool Engine::GetBoolVariable(const std::string& name, bool defaultValue) {
  std::string v = Trim(GetVariable(name, defaultValue ? "1" : "0"));
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end) return defaultValue;
  return n != 0;
}

std::string Engine::LanguageMessage(int number) { return vx::LanguageMessage(*db_, number); }

std::string FormatMessage1(const std::string& message, const std::string& argument) {
  std::string text = message;
  size_t pos = text.find("%s");
  if (pos != std::string::npos) text.replace(pos, 2, argument);
  return text;
}

bool Engine::NotAvailable(const std::string& what) {
  ShowError(what + " is not available in this build.");
  return false;
}

bool Engine::LoadResumeState() { return false; }

bool Engine::PrepareSession() {
  std::string settings = ChangeFileExt(state_.engineFile, ".sss");
  if (FileExists(settings)) silent_->LoadFromFile(settings, "silentsettings");
  if (!state_.resuming) ApplySilentSettings(*db_, silent_.get(), commandLine_);
  DefineSessionValues(*db_, commandLine_, state_.engineFile);
  return true;
}

namespace {

// The files below `folder` with their sizes, relative names in walk order.
void LogFolderFiles(Host& host, const std::string& folder, const std::string& relative) {
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  host.ListFolder(folder + relative, "*", entries, error);
  std::sort(entries.begin(), entries.end(),
            [](const FindEntry& a, const FindEntry& b) { return CompareText(a.name, b.name) < 0; });
  for (const FindEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    if (e.attributes & kAttrDirectory)
      LogFolderFiles(host, folder, relative + e.name + "\\");
    else
      RunLog("prepared", LogQuote(relative + e.name) + " " + std::to_string(e.size));
  }
}

}  // namespace

void Engine::LogState() {
  if (!RunLogActive()) return;
  Host& host = CurrentHost();
  for (int i = 0; i < db_->Packages->Count(); ++i) {
    auto& p = static_cast<TvxPackage&>(db_->Packages->Get(i));
    RunLog("package", Format("%s main=%d needed=%d prepared=%d folder=%s", LogQuote(p.FileName).c_str(), int(p.Main),
                             int(p.Needed), int(p.Prepared), LogQuote(p.TempPath).c_str()));
    if (p.Prepared && !p.TempPath.empty()) LogFolderFiles(host, p.TempPath, "");
  }
  RunLog("database", Format("%d component(s), %d feature(s), %d variable(s)", db_->Components->Count(),
                            db_->Features->Count(), db_->Variables->Count()));
  for (int i = 0; i < db_->Variables->Count(); ++i) {
    auto& v = static_cast<TvxVariable&>(db_->Variables->Get(i));
    // Whatever is named like a password stays out of the log.
    bool secret = LowerCase(v.Name).find("password") != std::string::npos;
    if (secret) {
      RunLog("variable", v.Name + "=(hidden)");
      continue;
    }
    // The value as stored and, where it differs, as the run uses it.
    std::string value = vx::GetVariable(db_.get(), v.Name);
    RunLog("variable", v.Name + "=" + LogQuote(v.Value) + (value == v.Value ? "" : " -> " + LogQuote(value)));
  }
}

bool Engine::OpenSetupFile() {
  TvxPackage* main = db_->Packages->AddNew();
  main->FullFileName = state_.engineFile;
  main->Needed = true;
  main->Main = true;
  if (!CheckPackage(*main)) return false;
  if (!PreparePackages(*db_->Packages)) {
    ShowError(
        "Cannot prepare main package.\rProbably incorrect TMP/TEMP variables or there is no execute permission for "
        "temporary folder.");
    return false;
  }
  if (!LoadPackageDatabase(*main)) return false;
  db_->Variables->Clear();
  LoadMainProjectDatabase(*db_, *main);
  // The silent settings, switches and session values override what the
  // project brought.
  ApplySilentSettings(*db_, silent_.get(), commandLine_);
  DefineSessionValues(*db_, commandLine_, state_.engineFile);
  state_.rebootOnFinish = GetBoolVariable("Reboot", false);
  Step(Format("setup file opened: %d package(s), %d component(s)", db_->Packages->Count(),
              db_->Components->Count()));
  return true;
}

bool Engine::SetUpRepair() {
  std::string appId = GetVariable("AppID", "App");
  if (commandLine_.Count() >= 2 && commandLine_.Param(2) != appId) {
    ShowError("Cannot repair application!");
    return false;
  }
  state_.logFile = ExpandString(db_.get(), vx::GetVariable(db_.get(), "LogFile"));
  const std::string key = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + appId;
  std::string file = RegReadText(Format("HKLM%s", key.c_str()), "SilentSettings", "");
  if (file.empty()) file = RegReadText(Format("HKCU%s", key.c_str()), "SilentSettings", "");
  if (file.empty() || !FileExists(file)) {
    ShowError("Cannot repair application!");
    return false;
  }
  silent_->Clear();
  silent_->LoadFromFile(file, "silentsettings");
  ApplySilentSettings(*db_, silent_.get(), commandLine_);
  SetVariable("SilentMode", "2");
  return true;
}

bool Engine::ChooseLanguage() {
  BuildLanguageList(*db_);
  vx::ChooseLanguage(*db_);
  return true;
}

bool Engine::LoadPlugins() {
  if (db_->Packages->Count() == 0) return true;
  return Plugins().LoadPlugins((*db_->Packages)[0]);
}

void Engine::LoadFurtherPlugins() {
  for (int i = 1; i < db_->Packages->Count(); ++i) Plugins().LoadPlugins((*db_->Packages)[i]);
}

bool Engine::Preselect() {
  TvxInstallTypes& types = *db_->InstallTypes;
  if (!state_.repair && !state_.resuming) {
    if (types.Count() > 0) {
      std::string id = silent_->ActiveInstallType;
      for (int i = 0; i < types.Count() && id.empty(); ++i)
        if (types[i].Default && IsAvailable(&types[i])) id = types[i].ID;
      if (id.empty()) id = types[0].ID;
      db_->SelectInstallType(id);
    } else {
      for (int i = 0; i < db_->Features->Count(); ++i)
        if (IsAvailable(&(*db_->Features)[i])) SetSelected((*db_->Features)[i], true);
    }
  } else {
    // The choices were made before: only the active install type is set.
    std::string id = state_.repair ? silent_->ActiveInstallType : db_->ActiveInstallType;
    TvxInstallType* active = nullptr;
    for (int i = 0; i < types.Count() && !active; ++i)
      if (types[i].ID == id) active = &types[i];
    types.SetActive(active);
  }
  if (!state_.resuming) {
    for (int i = 0; i < silent_->Features->Count(); ++i) {
      TvxFeature* f = db_->Features->FindFeature((*silent_->Features)[i].ID);
      if (f && IsAvailable(f)) SetSelected(*f, true);
    }
  }
  return true;
}

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

bool Engine::SystemCheck() {
  const TOSInfo os = GetOSInfo();
  std::string supported = GetVariable("SupportedOS", "");
  if (!supported.empty() && !OSSupported(os, supported)) {
    ShowWarning(LanguageMessage(13));
    return false;
  }
  std::string minimum = GetVariable("MinOSVersion", "");
  if (!minimum.empty() && !VersionAtLeast(os, minimum)) {
    ShowWarning(FormatMessage1(LanguageMessage(14), minimum));
    return false;
  }
  if (GetBoolVariable("AdminRights", false) && !IsAdministrator()) {
    ShowWarning(LanguageMessage(10));
    return false;
  }
  for (int i = 0; i < db_->LaunchConditions->Count(); ++i) {
    TvxLaunchCondition& lc = (*db_->LaunchConditions)[i];
    if (IsAvailable(&lc)) continue;
    std::string text = ExpandString(db_.get(), lc.Msg);
    if (!text.empty()) ShowWarning(text);
    return false;
  }
  return SendEvent(EV_CHECKLAUNCHCONDITIONS, 0, false) == 0;
}

int Engine::SendEvent(int event, intptr_t param, bool toAll) {
  return int(Plugins().SendEvent(event, param, 0, toAll));
}
bool Engine::RunProgramsBeforeWizard() {
  if (state_.resuming && db_->InstallState != TvxInstallState::isRunAppBeforeDialogs) return true;
  db_->InstallState = TvxInstallState::isUnknown;
  state_.resuming = false;
  bool phase = true;
  const intptr_t kind = intptr_t(6) << 16;  // MAKELONG(0, 6): programs
  if (SendEvent(EV_BEFOREPROCESSITEMS, kind, false) == 0) {
    bool any = false;
    for (int i = 0; i < db_->Components->Count(); ++i) {
      TvxRunApps& apps = *(*db_->Components)[i].RunApps;
      for (int j = 0; j < apps.Count(); ++j) any = any || apps[j].WhenStart == TvxWhenStart::before_dialogs;
    }
    if (any) phase = NotAvailable("Running programs before the wizard");
    if (state_.suspended) return phase;
    SendEvent(EV_AFTERPROCESSITEMS, kind, true);
  }
  db_->InstallStateData.clear();
  return phase;
}

bool Engine::ChooseComponentsAndPackages() {
  TvxComponents& components = *db_->Components;
  if (db_->Features->Count() == 0) {
    for (int i = 0; i < components.Count(); ++i) components[i].Marked = IsAvailable(&components[i]);
  } else {
    bool ok = true;
    ForEachFeature(*db_->Features, [&](TvxFeature& f) {
      if (!ok || !f.Selected || !f.Components) return;
      for (int j = 0; j < f.Components->Count() && ok; ++j) {
        const std::string& id = (*f.Components)[j].ID();
        auto* c = static_cast<TvxComponent*>(components.FindByID(id));
        if (!c) {
          ErrorBox("Error", Format("Component ID=\"%s\" not found.", id.c_str()));
          ok = false;
        } else if (IsAvailable(c)) {
          c->Marked = true;
        }
      }
    });
    if (!ok) return false;
  }
  std::string baseName = ChangeFileExt(ExtractFileName(state_.engineFile), "");
  for (int i = components.Count() - 1; i >= 0; --i) {
    if (!components[i].Marked) components.Delete(i);
    else if (components[i].Package.empty()) components[i].Package = baseName;
  }
  for (int i = 0; i < components.Count(); ++i) {
    auto* package = static_cast<TvxPackage*>(db_->Packages->FindByID(components[i].Package));
    if (!package) {
      ErrorBox("Error", Format("Can't find package \"%s\" in main database.", components[i].Package.c_str()));
      return false;
    }
    package->Needed = true;
  }
  for (int i = db_->Packages->Count() - 1; i >= 1; --i)
    if (!(*db_->Packages)[i].Needed) db_->Packages->Delete(i);
  return db_->Packages->Count() <= 1 || PrepareFurtherPackages();
}

bool Engine::PrepareFurtherPackages() {
  TvxPackages& packages = *db_->Packages;
  for (int i = 1; i < packages.Count(); ++i) {
    // Package files lie beside the setup file, the current folder.
    packages[i].FullFileName = CurrentHost().FullPath(ChangeFileExt(packages[i].FileName, ".vxp"));
    if (!CheckPackage(packages[i])) return false;
  }
  if (!PreparePackages(packages)) {
    ErrorBox("Error", "Cannot prepare packages.");
    return false;
  }
  for (int i = 1; i < packages.Count(); ++i)
    if (!LoadPackageDatabase(packages[i])) return false;
  // Each chosen component takes its items from its package's database.
  TvxComponents& components = *db_->Components;
  for (int i = 0; i < components.Count(); ++i) {
    auto* package = static_cast<TvxPackage*>(packages.FindByID(components[i].Package));
    if (!package || !package->Components) continue;
    auto* entry = static_cast<TvxComponent*>(package->Components->FindByID(components[i].ID()));
    if (!entry) continue;
    entry->Package = components[i].Package;
    components[i].Assign(*entry);
  }
  return true;
}

bool Engine::InstallMain() { return NotAvailable("Installation"); }
bool Engine::PrepareResume() { return !state_.suspended || NotAvailable("Resuming after a restart"); }
bool Engine::HasRecordedActions() { return false; }
void Engine::Rollback() {}
void Engine::UnloadPlugins() { Plugins().UnloadAll(); }
void Engine::MarkExecutableForDeletion(bool atReboot) {
  // The resume program removes itself: at the restart that follows, or by
  // a batch that waits until the process has ended. Only a program named
  // as the engine names the resume program is removed: a setup file someone
  // started with the switch stays, and an engine started by the launcher in
  // front of a setup file is the launcher's temporary copy, which the
  // launcher removes (together with itself when it is the resume program).
  std::string program = CurrentHost().ExecutablePath();
  std::string name = ExtractFileName(program);
  if (!VxIsResumeProgramName(name.data(), name.size())) return;
  if (atReboot) DeleteFileAtReboot(program);
  else StartSelfDeleteBatch(false);
}
void Engine::RestartWindows() { vx::RestartWindows(false); }

// --- Unattended operation ---------------------------------------------------------------

bool ConfigureUnattended(const CommandLine& commandLine, std::string& error) {
  // Default answers first, so that an error below does not wait for a click.
  bool takeDefault = commandLine.HasSwitch("suppressmsgboxes");
  SetUnattendedAnswers(takeDefault, {});
  if (auto log = commandLine.FindSwitch("log:*")) {
    std::string path = RemoveQuotes(log->substr(5));
    if (!OpenRunLog(path)) {
      error = "Cannot create the run log \"" + path + "\".";
      return false;
    }
  }
  std::vector<MsgBoxRule> rules;
  if (auto answers = commandLine.FindSwitch("answers:*")) {
    std::string path = RemoveQuotes(answers->substr(9));
    std::string script;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
      error = "Cannot read the answer file \"" + path + "\".";
      return false;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) script.append(buf, n);
    std::fclose(f);
    std::string why;
    if (!ParseAnswerScript(script, rules, why)) {
      error = "Answer file \"" + path + "\": " + why;
      return false;
    }
  }
  SetUnattendedAnswers(takeDefault, std::move(rules));
  RunLog("start", "command line:" + [&] {
    std::string s;
    for (const std::string& p : commandLine.Params()) s += " " + LogQuote(p);
    return s;
  }());
  return true;
}

}  // namespace vx
