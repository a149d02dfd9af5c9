#include "engine/Main.h"

#include <cstdio>
#include <cstdlib>

#include "database/kqIniFile.h"
#include "plugins/VXPlugins.h"
#include "system/Errors.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {
const char kMainWindowClass[] = "VornMainWindow";

void Step(const std::string& text) { RunLog("step", text); }
}  // namespace

Engine::Engine(CommandLine commandLine) : commandLine_(std::move(commandLine)) {}
Engine::~Engine() = default;

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
  if (state_.engineFile.empty()) state_.engineFile = host.ExecutablePath();
  SetMsgBoxStyle(kMbSetForeground);

  Step("2 main window");
  state_.mainWindow = host.CreateMainWindow(kMainWindowClass);
  if (!state_.mainWindow) {
    ShowError("Can't create main window!");
    return false;
  }
  SetMainWindow(state_.mainWindow);
  // Broadcasts from the worker thread reach the plug-ins through the main
  // window, on this thread.
  host.SetMainWindowHandler([](uint32_t message, uintptr_t wParam, uintptr_t, intptr_t& result) {
    if (message != kCrossThreadMessage) return false;
    result = Plugins().HandleCrossThreadCall(wParam);
    return true;
  });

  Step("3 extraction library");
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
        std::string text = LanguageMessage(21);
        size_t pos = text.find("%s");
        if (pos != std::string::npos) text.replace(pos, 2, GetVariable("AppName", ""));
        ShowWarning(text);
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
      if (!state_.noRollback && HasRecordedActions()) Rollback();
    }
    if (!state_.suspended && state_.startSent) SendEvent(EV_FINISH, result ? 1 : 0, true);
    state_.rebootAtExit = GetBoolVariable("Reboot", false);
  } catch (...) {
    // The release of resources below must happen whatever failed above.
    UnloadPlugins();
    throw;
  }
  UnloadPlugins();
  Host& host = CurrentHost();
  if (!state_.savedCurrentFolder.empty()) host.SetCurrentFolder(state_.savedCurrentFolder);
  if (state_.singleInstance) host.CloseHandle(state_.singleInstance);
  state_.singleInstance = 0;
  IniFlush();
  host.SetMainWindowHandler(nullptr);
  host.DestroyWindow(state_.mainWindow);
  SetMainWindow(0);
  state_.mainWindow = 0;
}

// --- Variables and stages ------------------------------------------------------------
// The defaults stand for a build in which the owning subsystem is absent.

std::string Engine::GetVariable(const std::string& name, const std::string& defaultValue) { return defaultValue; }
void Engine::SetVariable(const std::string& name, const std::string& value) {}

bool Engine::GetBoolVariable(const std::string& name, bool defaultValue) {
  std::string v = Trim(GetVariable(name, defaultValue ? "1" : "0"));
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end) return defaultValue;
  return n != 0;
}

std::string Engine::LanguageMessage(int number) { return ""; }

bool Engine::NotAvailable(const std::string& what) {
  ShowError(what + " is not available in this build.");
  return false;
}

bool Engine::LoadResumeState() { return false; }
bool Engine::PrepareSession() { return NotAvailable("Loading the project"); }
bool Engine::OpenSetupFile() { return NotAvailable("Opening the setup file"); }
bool Engine::SetUpRepair() { return NotAvailable("Repair"); }
bool Engine::ChooseLanguage() { return NotAvailable("Choosing the language"); }
bool Engine::LoadPlugins() { return NotAvailable("Loading plug-ins"); }
void Engine::LoadFurtherPlugins() {}
bool Engine::Preselect() { return NotAvailable("Feature selection"); }
bool Engine::SystemCheck() { return NotAvailable("The system check"); }
int Engine::SendEvent(int event, intptr_t param, bool toAll) {
  return int(Plugins().SendEvent(event, param, 0, toAll));
}
bool Engine::RunProgramsBeforeWizard() { return NotAvailable("Running programs"); }
bool Engine::ChooseComponentsAndPackages() { return NotAvailable("Choosing components"); }
bool Engine::InstallMain() { return NotAvailable("Installation"); }
bool Engine::PrepareResume() { return !state_.suspended || NotAvailable("Resuming after a restart"); }
bool Engine::HasRecordedActions() { return false; }
void Engine::Rollback() {}
void Engine::UnloadPlugins() { Plugins().UnloadAll(); }
void Engine::MarkExecutableForDeletion(bool atReboot) {
  // The resume program removes itself: at the restart that follows, or by
  // a batch that waits until the process has ended.
  if (atReboot) DeleteFileAtReboot(CurrentHost().ExecutablePath());
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
