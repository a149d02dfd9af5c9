// The commands plug-ins send to the engine: the buffer and allocation
// protocols, variables, features, install types, languages, functions and
// messages between plug-ins.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "expr/Evaluator.h"
#include "expr/Functions.h"
#include "plugins/PlugImpl.h"
#include "plugins/VXPlugins.h"
#include "TestPlugin.h"
#include "support/TestMachine.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace {

using vxtest::ReadNative;

const char kProject[] =
    "<vx2project>"
    "<features>"
    "<feature id=\"Core\" name=\"Core files\" description=\"For %AppName%\" required=\"1\">"
    "<features><feature id=\"Help\" name=\"Help\"/><feature id=\"Hidden\" condition=\"0\"/></features>"
    "</feature>"
    "<feature id=\"Extras\" name=\"Extras\"/>"
    "</features>"
    "<installtypes>"
    "<installtype id=\"Typical\" name=\"Typical\"><features><feature id=\"Core\"/></features></installtype>"
    "<installtype id=\"Custom\" name=\"Custom\" custom=\"1\"/>"
    "</installtypes>"
    "</vx2project>";


// What the commands need of a run: a project, an evaluator over it, two
// languages; language changes and passwords as the test wants them.
struct TestServices : vx::PluginServices {
  TestServices() {
    vx::RegisterInstallerFunctions(evaluator);
    evaluator.SetMainDatabase(&db);
    evaluator.SetPrompts(&prompts);
    evaluator.ConditionsEnabled = true;
    db.Expressions = &evaluator;
  }
  vx::TvxMainDatabase* MainDatabase() override { return &db; }
  vx::TvxEvaluator& Evaluator() override { return evaluator; }
  std::vector<std::pair<std::string, std::string>> LanguageNames() override {
    return {{"ENU", "English"}, {"DEU", "Deutsch"}};
  }
  std::string LanguageCode() override { return "ENU"; }
  void SetLanguage(const std::string& code) override {
    if (setLanguage) setLanguage(code);
  }
  void AbortInstall() override {}
  bool SetPassword(const std::string& password) override { return setPassword && setPassword(password); }
  bool PasswordValid() override { return true; }

  vx::TvxMainDatabase db;
  vx::RunPrompts prompts;
  vx::TvxEvaluator evaluator;
  std::function<void(const std::string&)> setLanguage;
  std::function<bool(const std::string&)> setPassword;
};

class PlugImpl : public ::testing::Test {
 protected:
  void SetUp() override {
    services.prompts.SetUnattendedAnswers(true, {});
    services.evaluator.SetPluginCalls(&plugins);
    db.LoadFromText(kProject, "vx2project");
    ASSERT_NE(db.Features->Count(), 0);
    vx::SetVariable(&db, "AppName", "Quill");
    log = dir.Path() + "/events.log";
  }
  void TearDown() override {
    plugins.UnloadAll();
  }

  // Loads copies of the test plug-in, one per script, into a package.
  void LoadPlugins(const std::vector<std::pair<std::string, std::string>>& scripts) {
    const std::string library = vxtest::TestPluginBytes();
    package.TempPath = machine.Scratch() + "pkg\\";
    for (size_t i = 0; i < scripts.size(); ++i) {
      package.Plugins->AddNew()->ID = scripts[i].first;
      std::string folder = vx::Format("%splugins\\%d\\", package.TempPath.c_str(), int(i));
      ASSERT_TRUE(vx::ForceFolders(folder));
      ASSERT_TRUE(vx::WriteWholeFile(folder + "p.dll", library));
      ASSERT_TRUE(vx::WriteWholeFile(folder + "p.script",
                                     "id=" + scripts[i].first + "\nlog=" + log + "\n" + scripts[i].second));
    }
    ASSERT_TRUE(plugins.LoadPlugins(package));
  }

  // Runs a buffer-protocol command: the size call, then the copy call.
  std::string Buffered(int32_t plugin, int32_t cmd, vx_param p1, bool bufferInFirst = false) {
    vx_param size = bufferInFirst ? vx::SendCommand(plugin, cmd, 0, p1, 0) : vx::SendCommand(plugin, cmd, p1, 0, 0);
    if (size <= 0) return "<none>";
    std::vector<char> buf(size_t(size), '\x7f');
    vx_param r = bufferInFirst ? vx::SendCommand(plugin, cmd, reinterpret_cast<vx_param>(buf.data()), p1, 0)
                               : vx::SendCommand(plugin, cmd, p1, reinterpret_cast<vx_param>(buf.data()), 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(buf.back(), 0) << "the reported size fits exactly";
    return std::string(buf.data());
  }
  static vx_param P(const char* s) { return reinterpret_cast<vx_param>(s); }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  TestServices services;
  vx::TvxMainDatabase& db = services.db;
  vx::TPluginList plugins{&services};
  vx::TvxPackage package;
  std::string log;
};

TEST_F(PlugImpl, BufferProtocolForTextsAndVariables) {
  EXPECT_EQ(vx::SendCommand(99, CM_PARSETEXT, P("ab"), 0, 0), 3);
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(vx::SendCommand(99, CM_PARSETEXT, P("ab"), reinterpret_cast<vx_param>(buf), 0), 0);
  EXPECT_EQ(std::string(buf, 4), std::string("ab\0x", 4));
  EXPECT_EQ(Buffered(99, CM_PARSETEXT, P("Setup of %AppName%")), "Setup of Quill");

  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(vx::SendCommand(99, CM_GETVARIABLE, P("NoSuchVariable"), 0, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_GETVARIABLE, P("NoSuchVariable"), reinterpret_cast<vx_param>(buf), 0), 0);
  EXPECT_EQ(buf[0], 'x') << "nothing written for an unknown variable";
  EXPECT_EQ(vx::SendCommand(99, CM_SETVARIABLE, P("Target"), P("C:\\Quill"), 0), 0);
  EXPECT_EQ(Buffered(99, CM_GETVARIABLE, P("Target")), "C:\\Quill");
  EXPECT_EQ(vx::GetVariable(&db, "Target"), "C:\\Quill") << "an unknown plug-in works on the main database";
}

TEST_F(PlugImpl, FeatureRecordsWalkTheAvailableTreeDepthFirst) {
  std::vector<std::string> walk;
  std::string id;
  for (int guard = 0; guard < 10; ++guard) {
    vx_param size = vx::SendCommand(99, CM_GETFEATURE, P(id.c_str()), 0, 0);
    if (!size) break;
    std::vector<char> buf(static_cast<size_t>(size));
    ASSERT_EQ(vx::SendCommand(99, CM_GETFEATURE, P(id.c_str()), reinterpret_cast<vx_param>(buf.data()), 0), 0);
    const VXFeatureRecord* r = reinterpret_cast<const VXFeatureRecord*>(buf.data());
    // Every address points inside the caller's buffer.
    for (const char* t : {r->id, r->name, r->description})
      ASSERT_TRUE(t >= buf.data() && t < buf.data() + buf.size());
    walk.push_back(std::string(r->id) + "|" + r->name + "|" + r->description + "|" + std::to_string(r->required) +
                   "|" + (r->parentId ? r->parentId : "-"));
    if (!r->nextId) break;
    id = r->nextId;
  }
  std::vector<std::string> expected = {"Core|Core files|For Quill|-1|-", "Help|Help||0|Core", "Extras|Extras||0|-"};
  EXPECT_EQ(walk, expected) << "the unavailable feature is never found";
  EXPECT_EQ(vx::SendCommand(99, CM_GETFEATURE, P("hidden"), 0, 0), 0);
}

TEST_F(PlugImpl, FeatureStatesAndInstallTypes) {
  EXPECT_EQ(vx::SendCommand(99, CM_SETFEATURESTATE, P("Nothing"), 1, 0), -1);
  EXPECT_EQ(vx::SendCommand(99, CM_GETFEATURESTATE, P("Nothing"), 0, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_SETFEATURESTATE, P("extras"), 1, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_GETFEATURESTATE, P("Extras"), 0, 0), 1);
  EXPECT_EQ(vx::SendCommand(99, CM_SETFEATURESTATE, P("Extras"), 0, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_GETFEATURESTATE, P("Extras"), 0, 0), 0);

  EXPECT_EQ(vx::SendCommand(99, CM_SETINSTALLTYPE, P("Missing"), 0, 0), -1);
  EXPECT_EQ(vx::SendCommand(99, CM_SETINSTALLTYPE, P("Typical"), 0, 0), 0);
  EXPECT_NE(vx::SendCommand(99, CM_GETFEATURESTATE, P("Core"), 0, 0), 0);
  vx_param size = vx::SendCommand(99, CM_GETINSTALLTYPE, P(""), 0, 0);
  ASSERT_GT(size, 0);
  std::vector<char> buf(static_cast<size_t>(size));
  vx::SendCommand(99, CM_GETINSTALLTYPE, P(""), reinterpret_cast<vx_param>(buf.data()), 0);
  const VXInstallTypeRecord* t = reinterpret_cast<const VXInstallTypeRecord*>(buf.data());
  EXPECT_STREQ(t->id, "Typical");
  EXPECT_EQ(t->custom, 0);
  ASSERT_NE(t->nextId, nullptr);
  EXPECT_STREQ(t->nextId, "Custom");
  EXPECT_EQ(size_t(size), 4 * sizeof(void*) + 4 + 8 + 8 + 1 + 7) << "header plus the texts written";
}

TEST_F(PlugImpl, LanguageRecordsChainTheList) {
  vx_param size = vx::SendCommand(99, CM_GETLANGUAGE, P(""), 0, 0);
  ASSERT_EQ(size_t(size), 3 * sizeof(void*) + 4 + 8 + 4);
  std::vector<char> buf(static_cast<size_t>(size));
  vx::SendCommand(99, CM_GETLANGUAGE, P(""), reinterpret_cast<vx_param>(buf.data()), 0);
  const VXLanguageRecord* r = reinterpret_cast<const VXLanguageRecord*>(buf.data());
  EXPECT_STREQ(r->id, "ENU");
  EXPECT_STREQ(r->description, "English");
  EXPECT_STREQ(r->nextId, "DEU");
  size = vx::SendCommand(99, CM_GETLANGUAGE, P("deu"), 0, 0);
  ASSERT_EQ(size_t(size), 3 * sizeof(void*) + 4 + 8) << "no next language";
  EXPECT_EQ(vx::SendCommand(99, CM_GETLANGUAGE, P("FRA"), 0, 0), 0);
}

TEST_F(PlugImpl, AllocationAndExpressions) {
  char* block = reinterpret_cast<char*>(vx::SendCommand(99, CM_ALLOCMEM, 10, 0, 0));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], 0);
  EXPECT_EQ(vx::SendCommand(99, CM_FREEMEM, reinterpret_cast<vx_param>(block), 0, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_ALLOCMEM, -5, 0, 0), 0) << "a negative size is refused";
  EXPECT_EQ(vx::SendCommand(99, CM_ALLOCMEM, vx_param(0x7FFFFFFF), 0, 0), 0) << "an absurd size is refused";
  static char notOurs[] = "static";
  EXPECT_EQ(vx::SendCommand(99, CM_FREEMEM, reinterpret_cast<vx_param>(notOurs), 0, 0), 0);
  EXPECT_EQ(vx::SendCommand(99, CM_FREEMEM, reinterpret_cast<vx_param>(block), 0, 0), 0) << "a second free is ignored";

  char* value = reinterpret_cast<char*>(vx::SendCommand(99, CM_CALCEXPRESSION, P("1 + 2"), 0, 0));
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "3");
  vx::SendCommand(99, CM_FREEMEM, reinterpret_cast<vx_param>(value), 0, 0);
  EXPECT_EQ(vx::SendCommand(99, CM_CALCBOOLEXPRESSION, P("2 > 1"), 0, 0), 1);
  EXPECT_EQ(vx::SendCommand(99, CM_CALCBOOLEXPRESSION, P("2 < 1"), 0, 0), 0);
  EXPECT_NE(vx::SendCommand(99, CM_GETINSTALLICON, 1, 0, 0), 0);
}

// Nothing the engine throws while it serves a command unwinds into the
// plug-in (which may not even be C++): the command answers its failure
// result and the failure ends the run from the engine's own frames once
// the plug-in has returned.
TEST_F(PlugImpl, FailuresInsideCommandsNeverUnwindIntoThePlugin) {
  services.setPassword = [](const std::string&) -> bool { throw std::runtime_error("key store damaged"); };
  services.setLanguage = [](const std::string&) { throw std::runtime_error("language file damaged"); };
  struct Case {
    const char* what;
    int32_t command;
    vx_param p1;
    vx_param failure;
  };
  const Case cases[] = {
      {"evaluation error", CM_CALCEXPRESSION, P("1 +"), 0},
      {"evaluation error in a condition", CM_CALCBOOLEXPRESSION, P("2 >"), 0},
      {"expression inside a text", CM_PARSETEXT, P("#1 +#"), 0},
      {"broken actions", CM_CALCACTIONS, P("<actions><action expression="), 0},
      {"failing password check", CM_SETPASSWORD, P("secret"), 1},
      {"failing language change", CM_SETLANGUAGE, P("DEU"), 0},
  };
  for (const Case& c : cases) {
    vx_param r = -99;
    EXPECT_NO_THROW(r = vx::SendCommand(99, c.command, c.p1, 0, 0)) << c.what;
    EXPECT_EQ(r, c.failure) << c.what;
    EXPECT_ANY_THROW(plugins.RaiseDeferredFailure()) << c.what << ": the failure is kept for the engine";
    EXPECT_NO_THROW(plugins.RaiseDeferredFailure()) << c.what << ": and raised once";
  }
  vx_param r = -99;
  EXPECT_NO_THROW(r = vx::SendCommandByName(99, "CM_SETPASSWORD", P("secret"), 0, 0));
  EXPECT_EQ(r, 1);
  EXPECT_ANY_THROW(plugins.RaiseDeferredFailure());

  // Through a loaded plug-in: its call returns with the failure answer (it
  // logs it), and the delivery of its event raises the engine's abort.
  LoadPlugins({{"Quill.Wizard", "command EV_START=CM_CALCEXPRESSION 1+ 0\n"}});
  EXPECT_THROW(plugins.SendEvent(EV_START, 0, 0, true), vx::ESilentAbort);
  EXPECT_NE(ReadNative(log).find("Quill.Wizard -> CM_CALCEXPRESSION = 0"), std::string::npos) << ReadNative(log);
  EXPECT_EQ(plugins.SendEvent(EV_FINISH, 1, 0, true), 0) << "later events are delivered normally";
}

TEST_F(PlugImpl, FunctionsRegisteredByPluginsAreForwardedToThem) {
  LoadPlugins({{"Calc", "command EV_START=CM_REGISTERFUNCTION Twice 1\nresult EV_CALCFUNCTION=twice!\n"},
               {"Other", "command EV_START#1=CM_REGISTERFUNCTION FileExists 1\n"}});
  plugins.SendEvent(EV_START, 0, 0, true);
  EXPECT_EQ(vx::SendCommand(1, CM_REGISTERFUNCTION, P("Twice"), 1, 0), 0) << "the name exists already";
  EXPECT_EQ(vx::SendCommand(99, CM_REGISTERFUNCTION, P("Orphan"), 1, 0), 0) << "unknown plug-in";
  EXPECT_EQ(services.evaluator.CalcExpression(&db, "Twice(\"ab\")"), "twice!");
  std::string events = ReadNative(log);
  EXPECT_NE(events.find("Calc -> CM_REGISTERFUNCTION = 38"), std::string::npos) << events;
  EXPECT_NE(events.find("Other -> CM_REGISTERFUNCTION = 0"), std::string::npos) << "built-in name";
  EXPECT_NE(events.find("Calc EV_CALCFUNCTION 38 Twice(ab)"), std::string::npos) << events;
  plugins.UnloadAll();
  EXPECT_EQ(services.evaluator.CalcExpression(&db, "Twice(\"ab\")"), "") << "an unloaded plug-in's function gives nothing";
}

TEST_F(PlugImpl, AFunctionBelongsToThePluginThatRegisteredItNotToItsNumber) {
  // The first plug-in registers a function and then declines; the second
  // gets its PluginID but never receives calls of that function.
  LoadPlugins({{"Decliner", "command EV_LOAD=CM_REGISTERFUNCTION Mine 1\nanswer EV_LOAD=1\n"},
               {"Stayer", "result EV_CALCFUNCTION=stolen\n"}});
  ASSERT_EQ(plugins.Count(), 1u);
  EXPECT_EQ(plugins[0].PluginID, 1);
  EXPECT_EQ(services.evaluator.CalcExpression(&db, "Mine(\"x\")"), "");
  std::string events = ReadNative(log);
  EXPECT_NE(events.find("Decliner -> CM_REGISTERFUNCTION = 38"), std::string::npos) << events;
  EXPECT_EQ(events.find("EV_CALCFUNCTION"), std::string::npos) << events;
}

TEST_F(PlugImpl, ConfigurationComesFromTheFileOrTheSimpleConfig) {
  LoadPlugins({{"Ini", ""}, {"Simple", ""}});
  // The first plug-in reads its INI file; the second its entry's simple
  // configuration and custom XML.
  vx::TPlugin& ini = plugins[0];
  ini.ConfigFile = machine.Scratch() + "wizard.ini";
  ASSERT_TRUE(vx::WriteWholeFile(ini.ConfigFile, "[Page]\r\nTitle=Welcome\r\nWidth=400\r\n[Colors]\r\nBack=white\r\n"));
  vx::TvxPluginSimpleConfig config;
  config.LoadFromText("<config><paramgroup name=\"Page\"><param name=\"Title\" value=\"Hello\"/>"
                      "<param name=\"Width\" value=\"300\"/></paramgroup></config>", "");
  vx::TXMLTag custom;
  custom.Parse("<customconfig><pages count=\"2\"/></customconfig>");
  plugins[1].Config = &config;
  plugins[1].CustomConfig = &custom;

  const char* query[3] = {"Page", "Title", "none"};
  EXPECT_EQ(Buffered(1, CM_GETPCPARAM, P(reinterpret_cast<const char*>(query))), "Welcome");
  EXPECT_EQ(Buffered(2, CM_GETPCPARAM, P(reinterpret_cast<const char*>(query))), "Hello");
  const char* missing[3] = {"Page", "Height", "250"};
  EXPECT_EQ(Buffered(1, CM_GETPCPARAM, P(reinterpret_cast<const char*>(missing))), "250");
  EXPECT_EQ(Buffered(2, CM_GETPCPARAM, P(reinterpret_cast<const char*>(missing))), "250");
  EXPECT_EQ(Buffered(1, CM_GETPCGROUPNAMES, 0, true), "Page\r\nColors");
  EXPECT_EQ(Buffered(2, CM_GETPCGROUPNAMES, 0, true), "Page");
  EXPECT_EQ(Buffered(1, CM_GETPCPARAMNAMES, P("Page")), "Title\r\nWidth") << "the keys of the file's section";
  EXPECT_EQ(Buffered(2, CM_GETPCPARAMNAMES, P("Page")), "Title\r\nWidth");
  EXPECT_NE(Buffered(2, CM_GETPCCUSTOMCONFIG, 0, true).find("<pages count=\"2\"/>"), std::string::npos);
  EXPECT_EQ(vx::SendCommand(99, CM_GETPCPARAM, P(reinterpret_cast<const char*>(query)), 0, 0), 0)
      << "an unknown plug-in has no configuration";
}

TEST_F(PlugImpl, MessagesByNameTravelToTheOtherPlugins) {
  LoadPlugins({{"Sender", "command EV_START=MY_PAGE_DONE 7 8\n"}, {"Receiver", ""}, {"Third", ""}});
  plugins.SendEvent(EV_START, 0, 0, false);
  std::string events = ReadNative(log);
  EXPECT_NE(events.find("Receiver MY_PAGE_DONE 7 8"), std::string::npos) << events;
  EXPECT_NE(events.find("Third MY_PAGE_DONE 7 8"), std::string::npos) << events;
  EXPECT_EQ(events.find("Sender MY_PAGE_DONE"), std::string::npos) << "never back to the sender";
  int32_t number = vx::GetMessageID(1, "MY_PAGE_DONE");
  EXPECT_GE(number, 4096);
  EXPECT_EQ(number, plugins.Store().NumberOf("my_page_done"));
  EXPECT_EQ(vx::SendCommand(99, number, 0, 0, 1), 0) << "an unknown plug-in cannot send messages";
}

}  // namespace
