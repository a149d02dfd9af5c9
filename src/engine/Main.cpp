#include "engine/Main.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "database/kqIniFile.h"
#include "engine/Common.h"
#include "engine/EngineStages.h"
#include "engine/MainWnd.h"
#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "expr/Functions.h"
#include "install/Install.h"
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
#include "vxplugin.h"

namespace vx {

namespace {

void Step(const std::string& text) { RunLog("step", text); }

}  // namespace

// --- Main body ------------------------------------------------------------------

int Engine::Run() {
  bool result = false;
  try {
    try {
      bool resumeFailed = false;
      if (auto folder = session_.Commands().ResumeFolder()) {
        state_.resuming = state_.startedToResume = true;
        state_.tempFolder = *folder;
        Step("resume from " + LogQuote(*folder));
        if (!installer_.LoadResumeState()) {
          session_.GetPrompts().ShowError("Cannot resume installation.");
          resumeFailed = true;
        }
      }
      if (!resumeFailed) {
        if (auto exe = session_.Commands().ExeName()) state_.engineFile = *exe;
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
    session_.GetPrompts().ShowError(e.what());
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
  // The working folders of the installation live in the project database,
  // so that a run resumed after a restart finds them again.
  TvxMainDatabase& db = session_.Database();
  for (std::string* sub : {&db.TempFontsPath, &db.TempGACPath, &db.TempBackupPath}) {
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
  if (state_.startedToResume) stages_.MarkExecutableForDeletion(result && state_.rebootAtExit);
  if (result && state_.rebootAtExit) stages_.RestartWindows();
  if (!result && state_.exitCode == 0) state_.exitCode = -1;
  // The INI settings the run chose at its start end with it.
  IniFlushLogged();
  SetIniFileFactory(nullptr);
  IniDefaults() = IniOptions();
}

// --- Main routine -----------------------------------------------------------------

bool Engine::WriteExtractionLibrary(const std::string& path) {
  std::string bytes;
  if (!CurrentHost().LoadDataResource("UNPACK", bytes)) {
    session_.GetPrompts().ShowError("Can't extract UNPACK.DLL");
    return false;
  }
  // A library written only in part would fail later, when a package is
  // opened, with a message that hides the cause.
  if (!WriteWholeFile(path, bytes)) {
    CurrentHost().RemoveFile(path);
    session_.GetPrompts().ShowError("Can't extract UNPACK.DLL");
    return false;
  }
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
  session_.Evaluator().ConditionsEnabled = true;
  if (state_.engineFile.empty()) state_.engineFile = host.ExecutablePath();
  session_.GetPrompts().SetStyle(kMbSetForeground);

  Step("2 main window");
  state_.mainWindow = CreateMainWindow(session_, session_.GetPrompts());
  if (!state_.mainWindow) {
    session_.GetPrompts().ShowError("Can't create main window!");
    return false;
  }
  session_.SetMainWindow(state_.mainWindow);

  Step("3 extraction library");
  SetUnpackFolder(state_.tempFolder);
  if (!state_.resuming && !WriteExtractionLibrary(state_.tempFolder + "unpack.dll")) return false;

  Step("4 current folder");
  state_.savedCurrentFolder = host.CurrentFolder();
  host.SetCurrentFolder(ExtractFileDir(state_.engineFile));

  try {
    // Every stop below leaves with the current result; the closing block
    // runs in any case.
    [&] {
      Step("5 protected files");
      {
        TOSInfo os = GetOSInfo();
        if (os.Major > 4 || os.Kind == osWinMe) state_.protectedFileQuery = host.LoadProtectedFileQuery();
      }
      Step("6 session");
      state_.repair = session_.Commands().HasSwitch("repair");
      if (!stages_.PrepareSession()) return;

      if (!state_.resuming) {
        Step("7 setup file");
        if (!stages_.OpenSetupFile()) return;
      }

      stages_.SetVariable("Reboot", "0");
      state_.noRollback = GetBoolVariable("DisableRollback", false);

      Step("9 single instance");
      bool existed = false;
      std::string mutexName = stages_.GetVariable("AppID", "App") + " setup";
      state_.singleInstance = host.CreateNamedMutex(mutexName, existed);
      if (existed) {
        host.CloseHandle(state_.singleInstance);
        state_.singleInstance = 0;
      }

      if (state_.repair) {
        Step("10 repair");
        if (!stages_.SetUpRepair()) return;
      }

      Step("11 language");
      if (!stages_.ChooseLanguage()) return;

      if (!state_.singleInstance) {
        session_.GetPrompts().ShowWarning(
            FormatMessage1(stages_.LanguageMessage(21), stages_.GetVariable("AppName", "")));
        return;
      }

      Step("13 plug-ins");
      if (!stages_.LoadPlugins() || state_.abort) return;

      Step("14 preselection");
      if (!stages_.Preselect()) return;

      if (!state_.resuming) {
        Step("16 system check");
        if (!stages_.SystemCheck() || state_.abort) return;
      }

      Step("17 start");
      stages_.SendEvent(EV_START, 0, true);
      state_.startSent = true;
      if (state_.abort) return;

      Step("18 programs before the wizard");
      bool phase = installer_.RunProgramsBeforeWizard();
      if (state_.suspended) {
        result = phase;
        return;
      }
      if (!phase || state_.abort) return;

      if (!state_.resuming) {
        Step("20 wizard");
        if (stages_.SendEvent(EV_SHOWDIALOGS, 0, false) != 0 || state_.abort) return;

        Step("21 components and packages");
        if (!stages_.ChooseComponentsAndPackages()) return;
      }

      Step("27 plug-ins of further packages");
      stages_.LoadFurtherPlugins();
      if (state_.abort) return;

      if (!state_.resuming) {
        Step("28 before install");
        stages_.LogState();
        if (stages_.SendEvent(EV_BEFOREINSTALL, 0, false) != 0 || state_.abort) return;
      }

      Step("29 install");
      result = installer_.Install();

      if (!state_.suspended && result) {
        stages_.SendEvent(EV_AFTERINSTALL, 0, true);
        result = !state_.abort;
        if (result) result = stages_.SendEvent(EV_SHOWDIALOGS, 1, false) == 0 && !state_.abort;
      }

      if (result && !state_.windowsShuttingDown) {
        if (state_.rebootOnFinish && !state_.resuming) stages_.SetVariable("Reboot", "1");
        if (GetBoolVariable("Reboot", false)) {
          stages_.SendEvent(EV_QUERYREBOOT, 0, false);
          result = !state_.abort;
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
    if (result) result = installer_.PrepareResume();
    if (!result) {
      stages_.SetVariable("Reboot", "0");
      state_.suspended = false;
      if (!state_.noRollback && installer_.HasRecordedActions()) {
        // The user interface shows what the engine is doing while it undoes
        // the changes, and hides it again however the rollback ends.
        stages_.ShowStatus(stages_.LanguageMessage(18));
        IniFlushLogged();
        try {
          installer_.Rollback();
        } catch (...) {
          stages_.HideStatus();
          throw;
        }
        stages_.HideStatus();
      }
    }
    if (!state_.suspended && state_.startSent) stages_.SendEvent(EV_FINISH, result ? 1 : 0, true);
    state_.rebootAtExit = GetBoolVariable("Reboot", false);
  } catch (...) {
    // The release of resources below must happen whatever failed above.
    stages_.UnloadPlugins();
    throw;
  }
  stages_.UnloadPlugins();
  session_.Languages().clear();
  Host& host = CurrentHost();
  if (!state_.savedCurrentFolder.empty()) host.SetCurrentFolder(state_.savedCurrentFolder);
  if (state_.singleInstance) host.CloseHandle(state_.singleInstance);
  state_.singleInstance = 0;
  if (state_.protectedFileQuery) host.FreeProtectedFileQuery();
  state_.protectedFileQuery = false;
  IniFlushLogged();
  DestroyMainWindow(state_.mainWindow);
  session_.SetMainWindow(0);
  state_.mainWindow = 0;
}

bool Engine::GetBoolVariable(const std::string& name, bool defaultValue) {
  std::string v = Trim(stages_.GetVariable(name, defaultValue ? "1" : "0"));
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end) return defaultValue;
  return n != 0;
}

int RunEngine(const CommandLine& commandLine, UnattendedAnswers answers,
              const std::function<void(RunInstaller&)>& prepare) {
  // COM on this thread for the whole run, freed after everything else (the
  // shortcut step's shell links need it; the copy's worker has its own).
  struct ComForThisThread {
    bool on = CurrentHost().InitializeCom();
    ~ComForThisThread() {
      if (on) CurrentHost().UninitializeCom();
    }
  } com;
  RunSession session(commandLine, std::move(answers));
  EngineStages stages(session);
  RunInstaller installer(session.Database(), session.State(), session, session.GetPrompts());
  RunState& state = session.State();
  installer.SetProtectedFileQuery(
      [&state](const std::string& path) { return state.protectedFileQuery && CurrentHost().IsProtectedFile(path); });
  session.SetInstaller(&installer);
  if (prepare) prepare(installer);
  int code = Engine(session, stages, installer).Run();
  session.SetInstaller(nullptr);
  return code;
}


// --- Unattended operation ---------------------------------------------------------------

bool ConfigureUnattended(const CommandLine& commandLine, UnattendedAnswers& answers, std::string& error) {
  // Default answers first, so that the box of an error below does not wait
  // for a click.
  answers.takeDefault = commandLine.HasSwitch("suppressmsgboxes");
  answers.rules.clear();
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
  answers.rules = std::move(rules);
  RunLog("start", "command line:" + [&] {
    std::string s;
    // A password given for an unattended run stays out of the log.
    for (const std::string& p : commandLine.Params())
      s += " " + (StartsWithText(p, "/password:") ? std::string("\"/password:(hidden)\"") : LogQuote(p));
    return s;
  }());
  return true;
}

}  // namespace vx
