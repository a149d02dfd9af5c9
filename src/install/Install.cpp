#include "install/Install.h"

#include <algorithm>
#include <cstdlib>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "install/Actions.h"
#include "install/FileCopy.h"
#include "install/UninstallLog.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

constexpr char kUninstallKey[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kRunOnceKey[] = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\";
constexpr char kRunKey[] = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
constexpr uint32_t kBroadcastTimeoutMs = 1000;

// The variables a repair run must not take over from the installation it
// repeats: they describe the product or the setup file, not the user's
// choices.
const char* const kNotRepeated[] = {
    "PackAlgorithmVersion", "DisableRepair", "DisableRollback", "AppID",       "AppName",     "CompanyName",
    "AppHomeURL",           "AppVersion",    "AppIcon",         "AppSupportContact", "AppSupportURL",
    "AppSupportPhone",      "AppReadme",     "AppUpdateURL",    "AppComments", "Languages",   "AutoSelectLanguage",
    "Uninstall",            "LogFile",       "SupportedOS",     "MinOSVersion", "AdminRights", "Reboot",
    "RemoveOldReferences",  "PswCheckHash",  "InstallPlatform", "SilentMode",  "Charset"};

void Step(const std::string& text) { RunLog("install", text); }

bool BoolVariable(TvxMainDatabase& db, const std::string& name, bool defaultValue) {
  return GetVariableBool(&db, name, defaultValue);
}

std::string RemoveChar(std::string text, char c) {
  text.erase(std::remove(text.begin(), text.end(), c), text.end());
  return text;
}

std::string Expanded(TvxMainDatabase& db, const std::string& name, const std::string& defaultValue = "") {
  return ExpandString(&db, GetVariable(&db, name, defaultValue));
}

}  // namespace

// --- Shared pieces of the phases ---------------------------------------------------------

// The texts of the numbered messages come with the language file; a
// project without one (or a file that lacks a number) still gets a message
// that says what went wrong instead of an empty box.
std::string InstallRun::Message(int number, const std::string& argument) {
  std::string text = events.Message(number);
  if (text.empty()) {
    switch (number) {
      case 11: text = "Cannot write the file \"%s\" or create its folder."; break;
      case 16: text = "Removing what an earlier installation left behind..."; break;
      case 18: text = "Undoing the changes of the installation..."; break;
      case 19: text = "The setup file \"%s\" cannot be found. Make it available again and choose Retry."; break;
      case 20: text = "Cannot update the count of installations of the shared file \"%s\"."; break;
    }
  }
  return FormatMessage1(text, argument);
}

bool ForEachComponent(InstallRun& run, const ComponentStep& step, bool mainPackageOnly) {
  TvxPackages& packages = *run.db.Packages;
  TvxComponents* components = run.db.Components.get();
  if (mainPackageOnly) components = packages.Count() > 0 ? packages[0].Components.get() : nullptr;
  if (!components) return true;
  for (int i = 0; i < components->Count(); ++i) {
    TvxComponent& component = (*components)[i];
    if (!step(packages.FindPackage(component.Package), component)) return false;
    if (run.state.suspended) return true;
  }
  return true;
}

// --- The installer ---------------------------------------------------------------------

RunInstaller::RunInstaller(TvxMainDatabase& database, RunState& state, InstallEvents& events, Prompts& prompts)
    : db_(database),
      state_(state),
      events_(events),
      prompts_(prompts),
      actions_(std::make_unique<TInstallActions>(static_cast<ActionContext*>(this))),
      log_(std::make_unique<UninstallLog>(&database)),
      run_{database, state, events, prompts, *actions_, *log_, {}},
      files_(std::make_unique<FileInstaller>(run_)) {}

RunInstaller::~RunInstaller() = default;

bool RunInstaller::HasRecordedActions() { return actions_->Count() > 0; }

void RunInstaller::Rollback() {
  Step(Format("rollback of %d change(s)", actions_->Count()));
  actions_->Rollback();
}

// --- ActionContext ---------------------------------------------------------------------

std::string RunInstaller::BackupFolder() { return IncludeTrailingBackslash(db_.TempBackupPath); }

void RunInstaller::ShowError(const std::string& text) { prompts_.ShowError(text); }

void RunInstaller::RequestReboot() { SetVariable(&db_, "Reboot", "1"); }

bool RunInstaller::RegisterServer(const std::string& file) { return vx::RegisterServer(file); }
bool RunInstaller::UnregisterServer(const std::string& file) { return vx::UnregisterServer(file); }

void RunInstaller::AddFontToTable(const std::string& file) {
  CurrentHost().AddFontFile(file);
  CurrentHost().BroadcastFontChange(kBroadcastTimeoutMs);
}

void RunInstaller::RemoveFontFromTable(const std::string& file) {
  CurrentHost().RemoveFontFile(file);
  CurrentHost().BroadcastFontChange(kBroadcastTimeoutMs);
}

bool RunInstaller::ActionAdded(TInstallAction& action) {
  (void)action;
  ++actionsAdded_;
  if (failAtAction_ <= 0 || actionsAdded_ != failAtAction_) return true;
  Step(Format("failure injected at change %d", actionsAdded_));
  return false;
}

// --- Services to plug-ins and functions ----------------------------------------------

void RunInstaller::AddLogRecord(const std::string& section, const std::string& record) {
  log_->AddLogRecord(section, record);
}

void RunInstaller::LogNewFile(const std::string& file) { log_->LogWrite(LogKind::CopyFiles, file); }

void RunInstaller::SuspendWorker() {
  if (worker_) CurrentHost().SuspendWorker(worker_);
}

void RunInstaller::ResumeWorker() {
  if (worker_) CurrentHost().ResumeWorker(worker_);
}

// --- Resume state ------------------------------------------------------------------------

bool RunInstaller::SaveResumeState() {
  return db_.SaveToFile(state_.tempFolder + "MainDB", "vx2project") &&
         actions_->Save(state_.tempFolder + "InstallActions");
}

namespace {

// Whether a saved document ends with the end tag of its root. The reader
// takes a text that ends early as the part that was read, which is right
// for project files but would let a resumed run go on with half its state
// (variables missing, paths unexpanded): the engine's own saved state is
// always written whole, so a cut one is damaged.
bool SavedWhole(const std::string& path, const std::string& root) {
  std::string text;
  if (!ReadWholeFile(path, text)) return false;
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return false;
  std::string_view whole = std::string_view(text).substr(0, end + 1);
  std::string tail = "</" + root + ">";
  if (whole.size() >= tail.size() && SameText(whole.substr(whole.size() - tail.size()), tail)) return true;
  // An empty root is written as one element, "<root/>".
  size_t start = whole.find('<');
  return start != std::string_view::npos && whole.size() >= 2 && whole.substr(whole.size() - 2) == "/>" &&
         whole.find('<', start + 1) == std::string_view::npos && StartsWithText(whole.substr(start + 1), root);
}

}  // namespace

bool RunInstaller::LoadResumeState() {
  if (!SavedWhole(state_.tempFolder + "MainDB", "vx2project")) return false;
  if (!db_.LoadFromFile(state_.tempFolder + "MainDB", "vx2project")) return false;
  return SavedWhole(state_.tempFolder + "InstallActions", "installactions") &&
         actions_->Load(state_.tempFolder + "InstallActions");
}

void RunInstaller::SuspendForReboot(TvxInstallState state, const std::string& data) {
  db_.InstallState = state;
  db_.InstallStateData = data;
  bool saved = SaveResumeState();
  Step(std::string("suspended for a restart") + (saved ? "" : " (the state could not be saved)"));
  state_.suspended = true;
}

bool RunInstaller::AllowEndOfSession() {
  if (state_.resuming || db_.InstallState == TvxInstallState::isUnknown) {
    Step("the end of the session refused");
    return false;
  }
  SuspendForReboot(db_.InstallState, db_.InstallStateData);
  // The wait for the running program ends at its next look at the flag.
  state_.windowsShuttingDown = true;
  Step("the session ends");
  return true;
}

bool RunInstaller::PrepareResume() {
  actions_->ScheduleRebootOps();
  if (!state_.suspended) return true;
  std::string temp = GetTempFolder();
  // "vx" takes the place of the first two of the eight characters: only a
  // program of that form removes itself after the resumed run.
  std::string program = temp + UniqueName(temp, "vx", ".exe", true);
  if (!CopyFileChunked(state_.tempFolder + kResumeFileName, program)) {
    prompts_.ErrorBox("Error", "Cannot prepare for resuming.");
    return false;
  }
  std::string name;
  do name = "vx" + std::to_string(uint32_t(std::rand()) & 0x7FFFFFFF);
  while (RegValueExists(kRunKey, name));
  std::string command = Format("\"%s\" \"/resume:%s\" \"/exename:%s\"", program.c_str(),
                               ExcludeTrailingBackslash(state_.tempFolder).c_str(), state_.engineFile.c_str());
  RegWriteString(kRunOnceKey, name, command);
  Step("resume entry " + LogQuote(command));
  return true;
}

// --- The phases after the files ------------------------------------------------------------

bool RunInstaller::ProgramPhase(int moment) { return RunProgramPhase(run_, moment) && !actions_->Failed(); }

bool RunInstaller::RunProgramsBeforeWizard() {
  if (state_.resuming && db_.InstallState != TvxInstallState::isRunAppBeforeDialogs) return true;
  db_.InstallState = TvxInstallState::isUnknown;
  state_.resuming = false;
  bool phase = true;
  if (!events_.SkipPhase(ItemKind::Programs)) {
    phase = ProgramPhase(int(TvxWhenStart::before_dialogs));
    if (state_.suspended) return phase;
    events_.PhaseDone(ItemKind::Programs);
  }
  db_.InstallStateData.clear();
  return phase;
}

bool RunInstaller::ServersPhase() { return RegisterServers(run_) && !actions_->Failed(); }

bool RunInstaller::FontsPhase() { return InstallFonts(run_) && !actions_->Failed(); }

bool RunInstaller::RegistryPhase() {
  return ForEachComponent(run_, [this](TvxPackage*, TvxComponent& c) { return InstallRegistryValues(run_, c); });
}

bool RunInstaller::IniPhase() {
  return ForEachComponent(run_, [this](TvxPackage*, TvxComponent& c) { return InstallIniValues(run_, c); });
}

bool RunInstaller::ShortcutsPhase() {
  return ForEachComponent(run_, [this](TvxPackage*, TvxComponent& c) { return InstallShortcuts(run_, c); });
}

// Environment variables have no gate and no events.
bool RunInstaller::EnvironmentPhase() { return InstallEnvironmentVariables(run_) && !actions_->Failed(); }

// A phase behind its gate: skipped as a whole when the user interface
// answers the opening event, closed with its own event otherwise.
bool RunInstaller::Gate(ItemKind kind, bool (RunInstaller::*phase)()) {
  if (events_.SkipPhase(kind)) return true;
  bool result = (this->*phase)() && !actions_->Failed();
  events_.PhaseDone(kind);
  return result;
}

// --- The driver --------------------------------------------------------------------------

bool RunInstaller::Install() {
  bool result = false;
  try {
    result = InstallMain();
  } catch (...) {
    IniFlushLogged();
    throw;
  }
  IniFlushLogged();
  return result;
}

bool RunInstaller::SetUpLog(const std::string& installFolder, bool uninstall) {
  if (Expanded(db_, "LogFile").empty()) SetVariable(&db_, "LogFile", installFolder + "install.log");
  std::string logPath = Expanded(db_, "LogFile");
  log_->SetPath(logPath);
  if (!state_.resuming) {
    // An existing log is kept as a backup, a new one goes with a rollback.
    actions_->ForceFolders(ExtractFilePath(logPath), true);
    actions_->AddFile(logPath, TvxFlags{TvxFlag::dont_log}, false);
    if (actions_->Failed()) return false;
  }
  if (uninstall) log_->Enable(true);
  if (uninstall && log_->Enabled() && !state_.resuming) {
    log_->WriteUninstallStrings(events_.LanguageFile(), &db_);
  }
  return true;
}

bool RunInstaller::WaitForSetupFile() {
  while (!FileExists(state_.engineFile)) {
    int answer = prompts_.MsgBox(state_.mainWindow, GetVariable(&db_, "AppName"),
                                 run_.Message(19, state_.engineFile),
                                 kMbRetryCancel | kMbIconWarning | kMbTaskModal);
    if (answer != kIdRetry) return false;
  }
  return true;
}

bool RunInstaller::InstallMain() {
  state_.abort = false;
  actionsAdded_ = 0;
  bool result = true;

  std::string hash = GetVariable(&db_, "PswCheckHash");
  if (HasPassword(hash) && !CheckPassword(db_.Password, hash)) {
    prompts_.ErrorBox("Error", "Incorrect password has been specified!");
    return false;
  }

  std::string installFolder = Expanded(db_, "InstallPath", "%Windows%");
  installFolder = IncludeTrailingBackslash(RemoveChar(installFolder, '"'));
  bool uninstall = BoolVariable(db_, "Uninstall", false);
  Step("install folder " + LogQuote(installFolder));
  if (!SetUpLog(installFolder, uninstall)) return false;

  // Programs before the installation.
  if (!state_.resuming || db_.InstallState == TvxInstallState::isRunAppBeforeInstall) {
    db_.InstallState = TvxInstallState::isUnknown;
    state_.resuming = false;
    if (!events_.SkipPhase(ItemKind::Programs)) {
      result = ProgramPhase(int(TvxWhenStart::before_install));
      if (state_.suspended) return result;
      events_.PhaseDone(ItemKind::Programs);
    }
    db_.InstallStateData.clear();
  }

  bool resumingAtServers = state_.resuming;
  if (result && !state_.resuming) {
    if (BoolVariable(db_, "RemoveOldReferences", false) && FileExists(log_->Path())) {
      events_.ShowStatus(run_.Message(16, ""));
      RemoveOldReferences();
      events_.HideStatus();
    }
    // Without the setup file nothing can be copied; the user may bring it
    // back (a removed disc) or give up, which fails the installation.
    if (!WaitForSetupFile()) return false;
    result = FilePhase(installFolder, uninstall) && !actions_->Failed();
    if (!result) return false;
    if (GetVariableBool(&db_, "Reboot", false)) {
      SuspendForReboot(TvxInstallState::isRegServers, "");
      return true;
    }
  }
  if (!result) return false;
  return LaterPhases(resumingAtServers);
}

bool RunInstaller::FilePhase(const std::string& installFolder, bool uninstall) {
  if (events_.SkipPhase(ItemKind::Files)) return true;
  Step("files");
  bool result = ForEachComponent(run_, [this](TvxPackage* package, TvxComponent& component) {
    return files_->RemoveFiles(package, component);
  });
  if (result) result = CopyOnWorker();
  if (result && uninstall && log_->Enabled()) {
    std::string mainTemp = (*db_.Packages)[0].TempPath;
    std::string uninstaller = installFolder + "Uninstall.exe";
    bool existed = FileExists(uninstaller);
    // A helper that cannot be put in place fails the installation: a
    // product that cannot be uninstalled is not installed.
    if (!files_->CopySystemFile(mainTemp + "Uninstall.exe", uninstaller, false)) return false;
    if (FileExists(uninstaller)) {
      files_->SetTargetExisted(existed);
      if (!files_->IncrementSharedCount(uninstaller)) {
        run_.Error(run_.Message(20, uninstaller));
        return false;
      }
    }
    if (!files_->CopySystemFile(mainTemp + "gacutil.exe", installFolder + "gacutil.exe", true)) return false;
  }
  events_.PhaseDone(ItemKind::Files);
  return result;
}

// The copy runs on a worker thread while this thread keeps dispatching
// window messages, so that the user interface stays alive and the worker's
// events reach the plug-ins here. The worker is always waited for.
bool RunInstaller::CopyOnWorker() {
  Host& host = CurrentHost();
  HandleValue worker = host.StartWorker([this]() -> uint32_t {
    uint32_t code = 0;
    try {
      code = files_->CopyFiles() ? 1 : 0;
    } catch (...) {
      ReleaseThreadVariableIndexes();
      throw;
    }
    ReleaseThreadVariableIndexes();
    return code;
  });
  if (!worker) {
    // Without a thread the copy runs here.
    return files_->CopyFiles();
  }
  worker_ = worker;
  uint32_t code = kStillActive;
  while (host.WorkerExitCode(worker, code) && code == kStillActive) {
    if (host.WaitForWorkerOrMessage(worker, 100) == kWaitInput)
      while (host.DispatchOneMessage() > 0) {
      }
  }
  worker_ = 0;
  host.CloseWorker(worker);
  Step(Format("copy ended with %u", code));
  return code != 0 && code != kStillActive;
}

bool RunInstaller::LaterPhases(bool resumingAtServers) {
  bool result = true;
  if (!state_.resuming || db_.InstallState == TvxInstallState::isRegServers) {
    db_.InstallState = TvxInstallState::isUnknown;
    state_.resuming = false;
    result = Gate(ItemKind::Servers, &RunInstaller::ServersPhase);
  }
  (void)resumingAtServers;
  if (!state_.resuming) {
    if (result) result = Gate(ItemKind::Registry, &RunInstaller::RegistryPhase);
    if (result) result = Gate(ItemKind::Ini, &RunInstaller::IniPhase);
    if (result) result = Gate(ItemKind::Fonts, &RunInstaller::FontsPhase);
    if (result) result = Gate(ItemKind::Shortcuts, &RunInstaller::ShortcutsPhase);
    if (result) result = EnvironmentPhase();
  }
  if (result && (!state_.resuming || db_.InstallState == TvxInstallState::isRunAppAfterInstall)) {
    db_.InstallState = TvxInstallState::isUnknown;
    state_.resuming = false;
    if (!events_.SkipPhase(ItemKind::Programs)) {
      result = ProgramPhase(int(TvxWhenStart::after_install));
      if (state_.suspended) return result;
      events_.PhaseDone(ItemKind::Programs);
    }
    db_.InstallStateData.clear();
  }
  if (result && BoolVariable(db_, "Uninstall", false) && log_->Enabled()) {
    if (!events_.SkipPhase(ItemKind::Programs)) {
      result = ProgramPhase(int(TvxWhenStart::before_uninstall));
      events_.PhaseDone(ItemKind::Programs);
    }
    if (result && !events_.SkipPhase(ItemKind::Programs)) {
      result = ProgramPhase(int(TvxWhenStart::after_uninstall));
      events_.PhaseDone(ItemKind::Programs);
    }
    if (result) {
      std::string installFolder = IncludeTrailingBackslash(
          RemoveChar(Expanded(db_, "InstallPath", "%Windows%"), '"'));
      result = RegisterUninstall(installFolder);
      if (result) actions_->WriteLog();
    }
  }
  return result && !actions_->Failed();
}

// --- Uninstall registration ----------------------------------------------------------------

bool RunInstaller::RegisterUninstall(const std::string& installFolder) {
  std::string appId = GetVariable(&db_, "AppID", "App");
  std::string key = Format("HKLM%s%s", kUninstallKey, appId.c_str());
  // The key and every value are recorded before they are written, so that
  // a failure after this point (the silent settings, a later step of the
  // run) takes the registration back with everything else. The uninstaller
  // finds the key through its CreateKeys record instead.
  auto recordValue = [&](const std::string& name) {
    auto change = std::make_unique<TInstallReg>(actions_.get());
    CaptureRegValue(key, name, *change);
    change->Log = false;
    actions_->AddAction(std::move(change));
    return !actions_->Failed();
  };
  auto forceKey = [&] {
    int first = actions_->Count();
    bool ok = actions_->ForceKeys(key, true);
    for (int i = first; i < actions_->Count(); ++i) (*actions_)[i].Log = false;
    return ok && !actions_->Failed();
  };
  if (!forceKey()) {
    if (actions_->Failed()) return false;
    key = Format("HKCU%s%s", kUninstallKey, appId.c_str());
    if (!forceKey()) return false;
  }
  if (!recordValue("DisplayName")) return false;
  if (!RegWriteString(key, "DisplayName", "")) {
    // No rights under HKLM: the registration goes to the user's hive.
    key = Format("HKCU%s%s", kUninstallKey, appId.c_str());
    if (!forceKey() || !recordValue("DisplayName")) return false;
    RegWriteString(key, "DisplayName", "");
  }
  log_->LogWrite(LogKind::CreateKeys, key);
  Step("uninstall key " + LogQuote(key));

  bool recorded = true;
  auto value = [&](const char* name, const char* variable, const std::string& defaultText) {
    std::string text = variable ? Expanded(db_, variable) : "";
    if (text.empty()) text = defaultText.empty() ? "" : ExpandString(&db_, defaultText);
    if (text.empty() || !recorded) return;
    if (SameText(name, "DisplayName") || (recorded = recordValue(name))) RegWriteString(key, name, text);
  };
  value("DisplayName", "UninstallDisplayName", "%AppName%");
  value("UninstallString", nullptr,
        Format("\"%sUninstall.exe\" \"%s\"", installFolder.c_str(), log_->Path().c_str()));
  value("InstallLocation", "InstallPath", "");
  value("InstallSource", "SourcePath", "");
  value("InstallSourceFile", nullptr, state_.engineFile);
  value("InstallDate", "Date", "");
  value("DisplayIcon", "AppIcon", "");
  value("Publisher", "CompanyName", "");
  value("URLInfoAbout", "AppHomeURL", "");
  value("DisplayVersion", "AppVersion", "");
  value("Contact", "AppSupportContact", "");
  value("HelpLink", "AppSupportURL", "");
  value("HelpTelephone", "AppSupportPhone", "");
  value("Readme", "AppReadme", "");
  value("URLUpdateInfo", "AppUpdateURL", "");
  value("Comments", "AppComments", "");
  if (!recorded) return false;
  if (!BoolVariable(db_, "DisableRepair", false) && !StoreSilentSettings(key)) return false;
  return true;
}

bool RunInstaller::StoreSilentSettings(const std::string& uninstallKey) {
  TvxSilentSettings settings;
  settings.Expressions = db_.Expressions;
  settings.Variables->Assign(*db_.Variables);
  TvxVariables& variables = *settings.Variables;
  for (int i = variables.Count() - 1; i >= 0; --i) {
    auto& v = static_cast<TvxVariable&>(variables.Get(i));
    bool drop = !IsAvailable(&v);
    for (const char* name : kNotRepeated) drop = drop || SameText(v.Name, name);
    if (drop) variables.Delete(i);
  }
  settings.ActiveInstallType = db_.ActiveInstallType;
  ForEachFeature(*db_.Features, [&](TvxFeature& feature) {
    if (!feature.Selected) return;
    auto& entry = static_cast<TvxFeature&>(*settings.Features->Add(std::make_unique<TvxFeature>()));
    entry.ID = feature.ID;
  });
  std::string path = ChangeFileExt(log_->Path(), ".sss");
  actions_->AddFile(path, TvxFlags{TvxFlag::dont_log}, true);
  if (actions_->Failed() || !settings.SaveToFile(path, "silentsettings")) return false;
  auto change = std::make_unique<TInstallReg>(actions_.get());
  CaptureRegValue(uninstallKey, "SilentSettings", *change);
  change->Log = false;
  actions_->AddAction(std::move(change));
  return !actions_->Failed() && RegWriteString(uninstallKey, "SilentSettings", path);
}

// --- Old references --------------------------------------------------------------------

void RunInstaller::RemoveOldReferences() {
  const std::string& logPath = log_->Path();
  auto sortedKeys = [&](const char* section) {
    std::vector<std::string> keys;
    IniReadSectionKeys(logPath, section, keys);
    std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    return keys;
  };
  for (const std::string& link : sortedKeys("Shortcuts")) {
    actions_->AddFile(link, TvxFlags{TvxFlag::dont_log}, true);
    actions_->AddFile(ChangeFileExt(link, ".pif"), TvxFlags{TvxFlag::dont_log}, true);
  }
  std::vector<std::string> folders = sortedKeys("CreateDirs");
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) CurrentHost().RemoveFolder(*it);
  std::vector<std::string> keys = sortedKeys("CreateKeys");
  const std::string prefix = kUninstallKey;
  for (auto it = keys.rbegin(); it != keys.rend(); ++it)
    if (it->size() > 4 && SameText(it->substr(4, prefix.size()), prefix)) RegRemoveKey(*it, true);
}

}  // namespace vx
