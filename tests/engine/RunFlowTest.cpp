// The main body and main routine driven through their stages: exit codes,
// temporary folders, the closing block and the order of events.
#include <gtest/gtest.h>

#include <map>

#include "engine/Main.h"
#include "engine/RunStages.h"
#include "install/Installer.h"
#include "plugins/MsgStore.h"
#include "vxplugin.h"
#include "support/TestMachine.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using vx::CommandLine;

// Stages and an installer that succeed unless told otherwise and record
// what the run flow asked of them.
struct Script {
  std::map<std::string, std::string> vars;
  std::vector<std::string> calls;
  std::string failAt;           // stage that returns false
  std::string throwAt;          // stage that throws EEngineError
  std::string abortAt;          // stage that throws the silent abort
  std::string suspendAt;        // stage that sets the suspended flag
  bool recordedActions = false;
  int wizardAnswer = 0;
  std::vector<std::string> foldersSeen;  // existing folders seen in PrepareSession
};

class FakeStages : public vx::RunStages {
 public:
  FakeStages(Script& script, vx::RunSession& session) : s_(script), state_(session.State()), session_(session) {}

  bool Stage(const std::string& name) {
    s_.calls.push_back(name);
    if (name == s_.throwAt) throw vx::EEngineError("Stage " + name + " broke.");
    if (name == s_.abortAt) throw vx::ESilentAbort();
    if (name == s_.suspendAt) state_.suspended = true;
    return name != s_.failAt;
  }
  std::string GetVariable(const std::string& name, const std::string& def) override {
    auto it = s_.vars.find(name);
    return it == s_.vars.end() ? def : it->second;
  }
  void SetVariable(const std::string& name, const std::string& value) override { s_.vars[name] = value; }
  std::string LanguageMessage(int n) override { return n == 21 ? "%s is already being set up." : ""; }

  bool PrepareSession() override {
    vx::TvxMainDatabase& db = session_.Database();
    for (const std::string* f : {&state_.tempFolder, &db.TempFontsPath, &db.TempGACPath, &db.TempBackupPath})
      if (vx::FolderExists(*f)) s_.foldersSeen.push_back(*f);
    return Stage("PrepareSession");
  }
  bool OpenSetupFile() override { return Stage("OpenSetupFile"); }
  bool SetUpRepair() override { return Stage("SetUpRepair"); }
  bool ChooseLanguage() override { return Stage("ChooseLanguage"); }
  bool LoadPlugins() override { return Stage("LoadPlugins"); }
  void LoadFurtherPlugins() override { Stage("LoadFurtherPlugins"); }
  bool Preselect() override { return Stage("Preselect"); }
  bool SystemCheck() override { return Stage("SystemCheck"); }
  bool ChooseComponentsAndPackages() override { return Stage("ChooseComponentsAndPackages"); }
  void LogState() override {}
  intptr_t SendEvent(int32_t event, intptr_t param, bool toAll) override {
    s_.calls.push_back(vx::Format("%s(%d)", vx::TMsgStore().NameOf(event).c_str(), int(param)));
    if (event == EV_SHOWDIALOGS && param == 0) return s_.wizardAnswer;
    return 0;
  }
  void ShowStatus(const std::string&) override {}
  void HideStatus() override {}
  void UnloadPlugins() override { s_.calls.push_back("UnloadPlugins"); }
  void MarkExecutableForDeletion(bool atReboot) override {
    s_.calls.push_back(atReboot ? "DeleteAtReboot" : "DeleteNow");
  }
  void RestartWindows() override { s_.calls.push_back("RestartWindows"); }

 private:
  Script& s_;
  vx::RunState& state_;
  vx::RunSession& session_;
};

class FakeInstaller : public vx::Installer {
 public:
  explicit FakeInstaller(FakeStages& stages) : stages_(stages) {}
  bool RunProgramsBeforeWizard() override { return stages_.Stage("RunProgramsBeforeWizard"); }
  bool Install() override { return stages_.Stage("InstallMain"); }
  bool HasRecordedActions() override { return script->recordedActions; }
  void Rollback() override { script->calls.push_back("Rollback"); }
  bool SaveResumeState() override { return stages_.Stage("SaveResumeState"); }
  bool LoadResumeState() override { return stages_.Stage("LoadResumeState"); }
  bool PrepareResume() override { return stages_.Stage("PrepareResume"); }
  Script* script = nullptr;

 private:
  FakeStages& stages_;
};

// One run of the flow over the fakes: the session, the script, the run.
// Its boxes take their default button unless the test scripts an answer.
struct FakeEngine : Script {
  explicit FakeEngine(CommandLine commandLine, std::vector<vx::MsgBoxRule> answers = {})
      : session(std::move(commandLine), {true, std::move(answers)}), stages(*this, session), installer(stages),
        engine(session, stages, installer) {
    installer.script = this;
  }
  int Run() { return engine.Run(); }
  vx::RunState& State() { return session.State(); }

  vx::RunSession session;
  FakeStages stages;
  FakeInstaller installer;
  vx::Engine engine;
};

class RunFlow : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    static const unsigned char kLib[] = "VX-TEST-UNPACK-LIBRARY";
    vx::RegisterEmbeddedResource("UNPACK", kLib, sizeof kLib - 1);
#endif
  }

  // The temporary folders the engine made: nothing may be left behind.
  std::vector<vx::FindEntry> TempEntries() {
    std::vector<vx::FindEntry> e;
    uint32_t err;
    machine.Host().ListFolder(vx::GetTempFolder(), "*", e, err);
    std::vector<vx::FindEntry> ours;
    for (auto& x : e)
      if (x.name != "." && x.name != ".." && before.count(x.name) == 0) ours.push_back(x);
    return ours;
  }
  void RememberTemp() {
    std::vector<vx::FindEntry> e;
    uint32_t err;
    machine.Host().ListFolder(vx::GetTempFolder(), "*", e, err);
    for (auto& x : e) before.insert({x.name, 1});
  }

  vxtest::TestMachine machine;
  std::map<std::string, int> before;
};

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(RunFlow, SuccessfulRunExitsWithZeroAndRunsEveryStageInOrder) {
  RememberTemp();
  FakeEngine e{CommandLine()};
  EXPECT_EQ(e.Run(), 0);
  std::vector<std::string> expected = {
      "PrepareSession", "OpenSetupFile", "ChooseLanguage", "LoadPlugins", "Preselect", "SystemCheck",
      "EV_START(0)", "RunProgramsBeforeWizard", "EV_SHOWDIALOGS(0)", "ChooseComponentsAndPackages",
      "LoadFurtherPlugins", "EV_BEFOREINSTALL(0)", "InstallMain", "EV_AFTERINSTALL(0)", "EV_SHOWDIALOGS(1)", "PrepareResume",
      "EV_FINISH(1)", "UnloadPlugins"};
  EXPECT_EQ(e.calls, expected);
  EXPECT_TRUE(TempEntries().empty()) << "temporary folder left behind";
  // The folder and its three working folders existed while the run went on.
  ASSERT_EQ(e.foldersSeen.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_TRUE(vx::StartsWithText(e.foldersSeen[i], e.foldersSeen[0]));
    EXPECT_EQ(e.foldersSeen[i].size(), e.foldersSeen[0].size() + 9) << e.foldersSeen[i];
  }
  EXPECT_EQ(e.State().tempFolder.size(), vx::GetTempFolder().size() + 9);
}

TEST_F(RunFlow, FailingStagesGiveMinusOneAndStillCleanUp) {
  RememberTemp();
  for (const char* stage : {"PrepareSession", "OpenSetupFile", "ChooseLanguage", "LoadPlugins", "SystemCheck",
                            "ChooseComponentsAndPackages", "InstallMain", "PrepareResume"}) {
    FakeEngine e{CommandLine()};
    e.failAt = stage;
    EXPECT_EQ(e.Run(), -1) << stage;
    EXPECT_TRUE(Contains(e.calls, "UnloadPlugins")) << stage;
    EXPECT_TRUE(TempEntries().empty()) << stage;
    // "EV_FINISH" (with result 0) is due exactly when "EV_START" went out.
    EXPECT_EQ(Contains(e.calls, "EV_FINISH(0)"), Contains(e.calls, "EV_START(0)")) << stage;
  }
}

TEST_F(RunFlow, ExceptionsAreShownAndEndTheRunWithMinusOne) {
  RememberTemp();
  FakeEngine e{CommandLine()};
  e.throwAt = "InstallMain";
  e.recordedActions = true;
  EXPECT_EQ(e.Run(), -1);
  EXPECT_TRUE(Contains(e.calls, "Rollback"));
  EXPECT_TRUE(Contains(e.calls, "EV_FINISH(0)"));
  EXPECT_TRUE(TempEntries().empty());

  FakeEngine quiet{CommandLine()};
  quiet.abortAt = "SystemCheck";
  EXPECT_EQ(quiet.Run(), -1);
  EXPECT_FALSE(Contains(quiet.calls, "EV_FINISH(0)")) << "no EV_FINISH before EV_START";
  EXPECT_TRUE(TempEntries().empty());
}

TEST_F(RunFlow, RollbackRunsOnFailureUnlessDisabled) {
  FakeEngine e{CommandLine()};
  e.failAt = "InstallMain";
  e.recordedActions = true;
  EXPECT_EQ(e.Run(), -1);
  EXPECT_TRUE(Contains(e.calls, "Rollback"));

  FakeEngine off{CommandLine()};
  off.failAt = "InstallMain";
  off.recordedActions = true;
  off.vars["DisableRollback"] = "1";
  EXPECT_EQ(off.Run(), -1);
  EXPECT_FALSE(Contains(off.calls, "Rollback"));

  FakeEngine nothing{CommandLine()};
  nothing.failAt = "InstallMain";
  EXPECT_EQ(nothing.Run(), -1);
  EXPECT_FALSE(Contains(nothing.calls, "Rollback")) << "nothing recorded, nothing to roll back";
}

TEST_F(RunFlow, WizardCancelStopsBeforeInstalling) {
  FakeEngine e{CommandLine()};
  e.wizardAnswer = 1;
  EXPECT_EQ(e.Run(), -1);
  EXPECT_FALSE(Contains(e.calls, "ChooseComponentsAndPackages"));
  EXPECT_TRUE(Contains(e.calls, "EV_FINISH(0)"));
}

TEST_F(RunFlow, SuspendedRunKeepsItsFolderAndCountsAsSuccess) {
  RememberTemp();
  FakeEngine e{CommandLine()};
  e.suspendAt = "InstallMain";
  EXPECT_EQ(e.Run(), 0);
  EXPECT_FALSE(Contains(e.calls, "EV_FINISH(1)")) << "no EV_FINISH while suspended";
  EXPECT_FALSE(Contains(e.calls, "EV_AFTERINSTALL(0)"));
  auto left = TempEntries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(vx::FolderExists(e.State().tempFolder));
  vx::DeleteFolderTree(e.State().tempFolder, true);
}

TEST_F(RunFlow, RebootIsQueriedAndDoneOnlyOnSuccess) {
  FakeEngine e{CommandLine()};
  e.State().rebootOnFinish = true;
  EXPECT_EQ(e.Run(), 0);
  EXPECT_TRUE(Contains(e.calls, "EV_QUERYREBOOT(0)"));
  EXPECT_TRUE(Contains(e.calls, "RestartWindows"));

  FakeEngine failed{CommandLine()};
  failed.State().rebootOnFinish = true;
  failed.failAt = "PrepareResume";
  EXPECT_EQ(failed.Run(), -1);
  EXPECT_FALSE(Contains(failed.calls, "RestartWindows"));
  EXPECT_EQ(failed.vars["Reboot"], "0");
}

TEST_F(RunFlow, SecondEngineOfTheSameProductStopsAfterChoosingItsLanguage) {
  bool existed = false;
  vx::HandleValue first = machine.Host().CreateNamedMutex("Quill setup", existed);
  ASSERT_FALSE(existed);
  FakeEngine e{CommandLine()};
  e.vars["AppID"] = "Quill";
  e.vars["AppName"] = "Quill Writer";
  EXPECT_EQ(e.Run(), -1);
  EXPECT_TRUE(Contains(e.calls, "ChooseLanguage"));
  EXPECT_FALSE(Contains(e.calls, "LoadPlugins"));
  machine.Host().CloseHandle(first);

  FakeEngine other{CommandLine()};
  other.vars["AppID"] = "Other";
  EXPECT_EQ(other.Run(), 0);
}

TEST_F(RunFlow, ResumeAdoptsTheNamedFolderAndSkipsTheWizard) {
  std::string folder = machine.Scratch() + "resume";
  ASSERT_TRUE(vx::ForceFolders(folder));
  ASSERT_TRUE(vx::WriteWholeFile(folder + "\\MainDB", "<vx2project/>"));
  FakeEngine e(CommandLine({"-RESUME:\"" + folder + "\"", "/exename:C:\\setup.exe"}));
  EXPECT_EQ(e.Run(), 0);
  EXPECT_EQ(e.State().tempFolder, folder + "\\");
  EXPECT_EQ(e.State().engineFile, "C:\\setup.exe");
  EXPECT_FALSE(Contains(e.calls, "OpenSetupFile"));
  EXPECT_FALSE(Contains(e.calls, "SystemCheck"));
  EXPECT_FALSE(Contains(e.calls, "EV_SHOWDIALOGS(0)")) << "wizard skipped while resuming";
  EXPECT_TRUE(Contains(e.calls, "DeleteNow"));
  EXPECT_FALSE(vx::FolderExists(folder)) << "finished resume removes its folder";
}

TEST_F(RunFlow, FailedResumeRemovesOnlyAFolderOfItsOwn) {
  std::string foreign = machine.Scratch() + "documents";
  ASSERT_TRUE(vx::ForceFolders(foreign));
  ASSERT_TRUE(vx::WriteWholeFile(foreign + "\\letter.txt", "keep me"));
  FakeEngine e(CommandLine({"/resume:" + foreign}));
  e.failAt = "LoadResumeState";
  EXPECT_EQ(e.Run(), -1);
  EXPECT_TRUE(vx::FileExists(foreign + "\\letter.txt")) << "a mistyped resume switch must not wipe a folder";

  std::string ours = machine.Scratch() + "ours";
  ASSERT_TRUE(vx::ForceFolders(ours));
  ASSERT_TRUE(vx::WriteWholeFile(ours + "\\MainDB", "broken"));
  FakeEngine r(CommandLine({"/resume:" + ours}));
  r.failAt = "LoadResumeState";
  EXPECT_EQ(r.Run(), -1);
  EXPECT_FALSE(vx::FolderExists(ours));
}

TEST_F(RunFlow, ARunWithoutASetupFileFailsCleanly) {
  RememberTemp();
  EXPECT_EQ(vx::RunEngine(CommandLine(), {true, {}}), -1);
  EXPECT_TRUE(TempEntries().empty());
}

#ifndef _WIN32
TEST_F(RunFlow, MissingExtractionLibraryStopsAtTheThirdStep) {
  RememberTemp();
  vx::UnregisterEmbeddedResource("UNPACK");
  FakeEngine e{CommandLine(), {{"Can't extract UNPACK.DLL", vx::kIdOk}}};
  EXPECT_EQ(e.Run(), -1);
  EXPECT_TRUE(e.calls.empty()) << "no stage after the extraction library";
  EXPECT_TRUE(TempEntries().empty());
}
#endif

}  // namespace
