// Loading plug-ins from a package's folders and delivering events to them,
// with real libraries: natively shared objects copied into a sandbox
// machine under ".dll" names, on Windows real DLLs.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "database/VXClasses.h"
#include "plugins/VXPlugins.h"
#include "TestPlugin.h"
#include "support/FakeExpressions.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace {

using vxtest::ReadNative;


std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& l : vx::SplitString(text, '\n'))
    if (!l.empty()) out.push_back(l);
  return out;
}

class PluginHost : public ::testing::Test {
 protected:
  void SetUp() override {
    prompts.SetUnattendedAnswers(true, {});
    package.TempPath = machine.Scratch() + "pkg\\";
    log = dir.Path() + "/events.log";
    library = vxtest::TestPluginBytes();
    ASSERT_FALSE(library.empty()) << vxtest::BuiltPlugin();
  }
  void TearDown() override {
    list.UnloadAll();
  }

  vx::TvxPlugin& Entry(const std::string& id) {
    vx::TvxPlugin* e = package.Plugins->AddNew();
    e->ID = id;
    return *e;
  }
  // Puts a copy of the test plug-in into plugins\<folder>\<name> with its script.
  void Install(int folder, const std::string& name, const std::string& script) {
    std::string dir = vx::Format("%splugins\\%d\\", package.TempPath.c_str(), folder);
    ASSERT_TRUE(vx::ForceFolders(dir));
    ASSERT_TRUE(vx::WriteWholeFile(dir + name, library));
    ASSERT_TRUE(vx::WriteWholeFile(dir + vx::ChangeFileExt(name, ".script"), "log=" + log + "\n" + script));
  }
  std::vector<std::string> Events() { return Lines(ReadNative(log)); }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  vx::TvxMainDatabase project;  // owns the package, as in a run
  vx::TvxPackage& package = *project.Packages->AddNew();
  vx::RunPrompts prompts;
  vx::TPluginList list{nullptr, &prompts};
  std::string log;
  std::string library;
};

TEST_F(PluginHost, PackageWithoutEntriesLoadsNothing) {
  EXPECT_TRUE(list.LoadPlugins(package));
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.SendEvent(EV_START, 0, 0, true), 0);
}

TEST_F(PluginHost, LoadsTheAcceptedFileAndGivesItItsRecords) {
  Entry("Quill.Wizard").ConfigFile = "wizard.ini";
  Install(0, "a.dll", "id=Unknown.Plugin\n");
  Install(0, "b.dll", "id=quill.wizard\n");
  ASSERT_TRUE(list.LoadPlugins(package));
  ASSERT_EQ(list.Count(), 1u);
  vx::TPlugin& p = list[0];
  EXPECT_EQ(p.PluginID, 1);
  EXPECT_EQ(vx::ExtractFileName(p.FileName), "b.dll") << "the file with the unknown ID is skipped";
  std::string folder = package.TempPath + "plugins\\0\\";
  EXPECT_EQ(p.ConfigFile, folder + "wizard.ini");
  EXPECT_EQ((*package.Plugins)[0].ConfigFile, folder + "wizard.ini") << "entry updated in place";
  EXPECT_EQ(p.Database, &package);
  auto ev = Events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0], "quill.wizard EV_SETSTARTUPINFO version=0x10000 engine=0x30500 id=1 config=\"" + folder +
                       "wizard.ini\"");
  EXPECT_EQ(ev[1], "quill.wizard EV_LOAD 0 0");
  EXPECT_EQ(ev[2], "quill.wizard EV_LANGUAGECHANGED \"ENU\" 0");
}

TEST_F(PluginHost, TheConfigFileGetsThePluginFolderOnce) {
  Entry("Quill.Wizard").ConfigFile = "wizard.ini";
  Entry("Other.Page").ConfigFile = "C:\\Setup\\page.ini";
  Install(0, "w.dll", "id=Quill.Wizard\n");
  Install(1, "o.dll", "id=Other.Page\n");
  const std::string expected = package.TempPath + "plugins\\0\\wizard.ini";
  // Loading the same database again, as a resumed run does, keeps the path.
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(list.LoadPlugins(package));
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(list[0].ConfigFile, expected) << round;
    EXPECT_EQ((*package.Plugins)[0].ConfigFile, expected) << round;
    EXPECT_EQ(list[1].ConfigFile, "C:\\Setup\\page.ini") << "a full path is taken as it is";
    list.UnloadAll();
  }
}

TEST_F(PluginHost, RefusedFilesEndInTheCannotLoadBox) {
  Entry("Quill.Wizard");
  Install(0, "new.dll", "id=Quill.Wizard\nminversion=0x30501\n");
  Install(0, "refusing.dll", "id=Quill.Wizard\nrefuse=1\n");
  Install(0, "deaf.dll", "id=Quill.Wizard\nnohandler=1\n");
  ASSERT_TRUE(vx::WriteWholeFile(package.TempPath + "plugins\\0\\broken.dll", "MZ not a library"));
  prompts.SetUnattendedAnswers(false, {{"Cannot load \"Quill.Wizard\" plug-in.", vx::kIdOk}});
  EXPECT_FALSE(list.LoadPlugins(package));
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(Events().empty()) << "refused plug-ins get no event";

  vx::TvxPackage empty;
  empty.TempPath = machine.Scratch() + "nothing\\";
  empty.Plugins->AddNew()->ID = "Missing.Folder";
  prompts.SetUnattendedAnswers(false, {{"Cannot load \"Missing.Folder\" plug-in.", vx::kIdOk}});
  EXPECT_FALSE(list.LoadPlugins(empty));
}

TEST_F(PluginHost, LibrariesTheEngineCannotRunAreRefusedWithoutRunningThem) {
  std::string foreign = vxtest::ForeignPluginBytes();
  if (foreign.empty()) GTEST_SKIP() << "no compiler for the other kind of Windows DLL";
  std::string runLog = dir.Path() + "/run.log";
  ASSERT_TRUE(vx::OpenRunLog(runLog));
  Entry("Example.Page");
  std::string folder = package.TempPath + "plugins\\0\\";
  ASSERT_TRUE(vx::ForceFolders(folder));
  ASSERT_TRUE(vx::WriteWholeFile(folder + "foreign.dll", foreign));
  ASSERT_TRUE(vx::WriteWholeFile(folder + "cut.dll", library.substr(0, 2048)));
  ASSERT_TRUE(vx::WriteWholeFile(folder + "text.dll", "MZ but not a library at all"));
  prompts.SetUnattendedAnswers(false, {{"Cannot load \"Example.Page\" plug-in.", vx::kIdOk}});
  EXPECT_FALSE(list.LoadPlugins(package));
  EXPECT_EQ(list.Count(), 0u);
  std::string logged = ReadNative(runLog);
  for (const char* name : {"foreign.dll", "cut.dll", "text.dll"})
    EXPECT_NE(logged.find(std::string(name) + "\" cannot be loaded (error 193)"), std::string::npos) << name;
  EXPECT_NE(logged.find("text=\"Cannot load \\\"Example.Page\\\" plug-in.\""), std::string::npos) << logged;

  // A loadable library beside them is still found.
  Install(0, "good.dll", "id=Example.Page\n");
  EXPECT_TRUE(list.LoadPlugins(package));
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(vx::ExtractFileName(list[0].FileName), "good.dll");
  vx::CloseRunLog();
}

TEST_F(PluginHost, FalseConditionLeavesThePluginOutWithoutError) {
  vxtest::FakeExpressions expressions;
  project.Expressions = &expressions;
  Entry("Quill.Wizard").Condition = "0";
  Install(0, "w.dll", "id=Quill.Wizard\n");
  EXPECT_TRUE(list.LoadPlugins(package));
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(Events().empty());
  project.Expressions = nullptr;
}

TEST_F(PluginHost, DecliningPluginIsUnloadedAndItsNumberReused) {
  Entry("Decliner");
  Entry("Stayer");
  Install(0, "d.dll", "id=Decliner\nanswer EV_LOAD=1\n");
  Install(1, "s.dll", "id=Stayer\n");
  ASSERT_TRUE(list.LoadPlugins(package));
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0].PluginID, 1) << "the number of the declined plug-in is given again";
  list.SendEvent(EV_START, 0, 0, true);
  for (const std::string& e : Events())
    EXPECT_TRUE(e.rfind("Stayer", 0) == 0 || e.find("EV_START") == std::string::npos) << e;
}

TEST_F(PluginHost, DeliveryRules) {
  Entry("P1");
  Entry("P2");
  Entry("P3");
  Install(0, "p1.dll", "id=P1\n");
  Install(1, "p2.dll", "id=P2\nanswer EV_SHOWDIALOGS=5\nanswer EV_START=4\n");
  Install(2, "p3.dll", "id=P3\nanswer EV_SHOWDIALOGS=7\nanswer EV_START=9\n");
  ASSERT_TRUE(list.LoadPlugins(package));
  ASSERT_EQ(list.Count(), 3u);
  std::remove(log.c_str());

  EXPECT_EQ(list.SendEvent(EV_SHOWDIALOGS, 0, 0, false), 5);  // first non-zero ends it
  EXPECT_EQ(list.SendEvent(EV_START, 0, 0, true), 9);         // all: the last answer
  EXPECT_EQ(list.Broadcast(2, EV_START, true, 0, 0), 9);
  EXPECT_EQ(list.Broadcast(3, EV_START, true, 0, 0), 4) << "sender skipped, last answer is P2's";
  EXPECT_EQ(list.SendEvent(4000, 0, 0, true), 0) << "a number without a name is never delivered";
  int32_t mine = list.Store().Register("MY_MESSAGE");
  list.Broadcast(1, mine, true, 11, 12);
  std::vector<std::string> expected = {
      "P1 EV_SHOWDIALOGS 0 0", "P2 EV_SHOWDIALOGS 0 0",                            // P3 never called
      "P1 EV_START 0 0",       "P2 EV_START 0 0",       "P3 EV_START 0 0",         // all
      "P1 EV_START 0 0",       "P3 EV_START 0 0",                                  // sender P2 skipped
      "P1 EV_START 0 0",       "P2 EV_START 0 0",                                  // sender P3 skipped
      "P2 MY_MESSAGE 11 12",   "P3 MY_MESSAGE 11 12"};
  EXPECT_EQ(Events(), expected);

  list.UnloadAll();
  auto ev = Events();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(ev.end() - 3, ev.end()),
            (std::vector<std::string>{"P3 EV_UNLOAD 0 0", "P2 EV_UNLOAD 0 0", "P1 EV_UNLOAD 0 0"}));
}

TEST_F(PluginHost, EventsFromAWorkerThreadRunOnTheMainThread) {
  Entry("Quill.Wizard");
  Install(0, "w.dll", "id=Quill.Wizard\nanswer EV_FILEINSTALLPROGRESS=42\n");
  ASSERT_TRUE(list.LoadPlugins(package));
  vx::Host& host = machine.Host();
  vx::WindowHandle window = host.CreateMainWindow("VornMainWindow");
  ASSERT_NE(window, 0u);
  list.SetMainWindow(window);
  host.SetMainWindowHandler([&](uint32_t msg, uintptr_t wp, uintptr_t, intptr_t& result) {
    if (msg != vx::kCrossThreadMessage) return false;
    result = list.HandleCrossThreadCall(wp);
    return true;
  });
  std::atomic<bool> done{false};
  vx_param answer = 0;
  std::thread worker([&] {
    answer = list.SendEvent(EV_FILEINSTALLPROGRESS, 50, 25, true);
    done = true;
  });
  // The main thread keeps dispatching, as it does while files are copied.
  uint32_t start = host.TickCount();
  while (!done && host.TickCount() - start < 10000) {
    if (host.DispatchOneMessage() == 0) host.SleepMs(1);
  }
  worker.join();
  EXPECT_EQ(answer, 42);
  auto ev = Events();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back(), "Quill.Wizard EV_FILEINSTALLPROGRESS 50 25");
  host.SetMainWindowHandler(nullptr);
  list.SetMainWindow(0);
  host.DestroyWindow(window);
}

}  // namespace
