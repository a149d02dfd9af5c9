// A run of the engine up to the wizard and through a (pretend) installation
// with real plug-ins: the events they receive, in order, and their answers
// steering the run. The setup file is replaced by a project loaded from
// text; everything else is the engine's own run flow.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/EngineStages.h"
#include "engine/Main.h"
#include "install/Install.h"
#include "plugins/VXPlugins.h"
#include "TestPlugin.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using vxtest::ReadNative;


// The engine's own stages with the setup file opened from a project text,
// and an installation that only records that it ran (with the programs
// before the wizard as this build has them).
class ProjectStages : public vx::EngineStages {
 public:
  ProjectStages(vx::RunSession& session, std::string project, std::string packageFolder)
      : vx::EngineStages(session), project_(std::move(project)), folder_(std::move(packageFolder)) {}
  bool OpenSetupFile() override {
    Session().Database().LoadFromText(project_, "vx2project");
    vx::TvxPackage& main = (*Session().Database().Packages)[0];
    main.TempPath = folder_;
    main.Main = main.Needed = true;
    return true;
  }

 private:
  std::string project_, folder_;
};

class RecordingInstaller : public vx::RunInstaller {
 public:
  explicit RecordingInstaller(vx::RunSession& session)
      : vx::RunInstaller(session.Database(), session.State(), session, session.GetPrompts()) {}
  bool installed = false;
  bool failInstall = false;
  bool rolledBack = false;
  bool Install() override {
    installed = true;
    return !failInstall;
  }
  bool HasRecordedActions() override { return failInstall; }
  void Rollback() override { rolledBack = true; }
};

struct ProjectEngine {
  // Every box takes its default button unless the test scripts an answer.
  ProjectEngine(vx::CommandLine c, std::string project, std::string packageFolder,
                std::vector<vx::MsgBoxRule> answers = {})
      : session(std::move(c), {true, std::move(answers)}), stages(session, std::move(project), std::move(packageFolder)), installer(session),
        engine(session, stages, installer) {}
  int Run() { return engine.Run(); }
  vx::TvxMainDatabase& Database() { return session.Database(); }

  vx::RunSession session;
  ProjectStages stages;
  RecordingInstaller installer;
  vx::Engine engine;
};

class RunWithPlugins : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    static const unsigned char kLib[] = "library";
    vx::RegisterEmbeddedResource("UNPACK", kLib, sizeof kLib - 1);
#endif
    log = dir.Path() + "/events.log";
    folder = machine.Scratch() + "main\\";
    library = vxtest::TestPluginBytes();
  }

  void Plugin(int index, const std::string& script) {
    std::string dir = vx::Format("%splugins\\%d\\", folder.c_str(), index);
    ASSERT_TRUE(vx::ForceFolders(dir));
    // A library stays mapped once loaded (the loader may keep it after it
    // is freed): it is written once, only its script changes.
    if (!vx::FileExists(dir + "wizard.dll")) {
      ASSERT_TRUE(vx::WriteWholeFile(dir + "wizard.dll", library));
    }
    ASSERT_TRUE(vx::WriteWholeFile(dir + "wizard.script", "log=" + log + "\n" + script));
  }
  // The engine runs as if started from "setup.exe" in the scratch folder.
  vx::CommandLine SetupFile() { return vx::CommandLine({"/exename:" + machine.Scratch() + "setup.exe"}); }
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    for (const std::string& l : vx::SplitString(ReadNative(log), '\n'))
      if (!l.empty() && l.find("EV_SETSTARTUPINFO") == std::string::npos) out.push_back(l);
    return out;
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string log, folder, library;
};

const char kProject[] =
    "<vx2project>"
    "<variables><variable name=\"AppID\" value=\"Quill\"/><variable name=\"AppName\" value=\"Quill Writer\"/>"
    "</variables>"
    "<packages><package id=\"setup\"><plugins><plugin id=\"Wizard\"/></plugins></package></packages>"
    "<features><feature id=\"Core\"><components><component id=\"Main\"/></components></feature></features>"
    "<components><component id=\"Main\"/><component id=\"Never\" condition=\"1 = 0\"/></components>"
    "</vx2project>";

TEST_F(RunWithPlugins, EventsOfAWholeRunArriveInTheOrderOfTheRunFlow) {
  Plugin(0, "id=Wizard\n");
  ProjectEngine engine(SetupFile(), kProject, folder);
  EXPECT_EQ(engine.Run(), 0);
  EXPECT_TRUE(engine.installer.installed);
  std::vector<std::string> expected = {
      "Wizard EV_LOAD 0 0",
      "Wizard EV_LANGUAGECHANGED \"ENU\" 0",
      "Wizard EV_FEATURESTATECHANGED \"Core\" 1",  // every available top-level feature is preselected
      "Wizard EV_CHECKLAUNCHCONDITIONS 0 0",
      "Wizard EV_START 0 0",
      "Wizard EV_BEFOREPROCESSITEMS 393216 0",  // MAKELONG(0, 6): programs before the wizard
      "Wizard EV_AFTERPROCESSITEMS 393216 0",
      "Wizard EV_SHOWDIALOGS 0 0",
      "Wizard EV_BEFOREINSTALL 0 0",
      "Wizard EV_AFTERINSTALL 0 0",
      "Wizard EV_SHOWDIALOGS 1 0",
      "Wizard EV_FINISH 1 0",
      "Wizard EV_UNLOAD 0 0"};
  EXPECT_EQ(Events(), expected);
  // The unavailable component was dropped before packages were chosen.
  ASSERT_EQ(engine.Database().Components->Count(), 1);
  EXPECT_EQ((*engine.Database().Components)[0].Package, "setup") << "the setup file's own base name";
}

TEST_F(RunWithPlugins, WizardCancelEndsTheRunWithoutInstalling) {
  Plugin(0, "id=Wizard\nanswer EV_SHOWDIALOGS=1\n");
  ProjectEngine engine(SetupFile(), kProject, folder);
  EXPECT_EQ(engine.Run(), -1);
  EXPECT_FALSE(engine.installer.installed);
  auto ev = Events();
  ASSERT_GE(ev.size(), 2u);
  EXPECT_EQ(ev[ev.size() - 2], "Wizard EV_FINISH 0 0");
}

TEST_F(RunWithPlugins, LaunchConditionAnswerAndPluginAbortStopTheRun) {
  Plugin(0, "id=Wizard\nanswer EV_CHECKLAUNCHCONDITIONS=1\n");
  ProjectEngine refused(SetupFile(), kProject, folder);
  EXPECT_EQ(refused.Run(), -1);
  for (const std::string& e : Events()) EXPECT_EQ(e.find("EV_START"), std::string::npos) << e;
  std::remove(log.c_str());

  Plugin(0, "id=Wizard\ncommand EV_START=CM_ABORTINSTALL\n");
  ProjectEngine aborted(SetupFile(), kProject, folder);
  EXPECT_EQ(aborted.Run(), -1);
  EXPECT_FALSE(aborted.installer.installed);
  std::string all = ReadNative(log);
  EXPECT_NE(all.find("Wizard EV_ABORTINSTALL"), std::string::npos) << all;
  EXPECT_NE(all.find("Wizard EV_FINISH 0 0"), std::string::npos) << all;
}

TEST_F(RunWithPlugins, RollbackIsShownAsAStatusText) {
  Plugin(0, "id=Wizard\n");
  ProjectEngine engine(SetupFile(), kProject, folder);
  engine.installer.failInstall = true;
  EXPECT_EQ(engine.Run(), -1);
  EXPECT_TRUE(engine.installer.rolledBack);
  auto ev = Events();
  auto at = [&](const std::string& prefix) {
    for (size_t i = 0; i < ev.size(); ++i)
      if (ev[i].rfind(prefix, 0) == 0) return int(i);
    return -1;
  };
  int show = at("Wizard CM_SHOWSTATUSTEXT"), hide = at("Wizard CM_HIDESTATUSTEXT"), finish = at("Wizard EV_FINISH 0");
  ASSERT_GE(show, 0);
  EXPECT_NE(ev[size_t(show)].find(" 750"), std::string::npos) << ev[size_t(show)];
  EXPECT_GT(hide, show);
  EXPECT_GT(finish, hide) << "EV_FINISH comes after the rollback";
}

TEST_F(RunWithPlugins, MissingPluginFolderEndsTheRunWithItsMessage) {
  ProjectEngine engine(SetupFile(), kProject, folder, {{"Cannot load \"Wizard\" plug-in.", vx::kIdOk}});
  EXPECT_EQ(engine.Run(), -1);
  EXPECT_FALSE(engine.installer.installed);
}

}  // namespace
