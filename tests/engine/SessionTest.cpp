// Session values and languages: the values defined on a 9x and an NT
// machine, silent settings and "/var:" switches, the language list, the
// choice of a language and its character set, the language file.
#include "support/ProjectFixture.h"
#include "engine/Common.h"
#include "engine/RunSession.h"
#include "system/LocaleTable.h"
#include "system/kqFileUtils.h"

namespace {

using vx::CommandLine;
using vxtest::ProjectTest;

class SessionTest : public ProjectTest {
 protected:
  explicit SessionTest(const std::string& kind = "xp") : ProjectTest(kind) {}

  void SetUp() override {
    ProjectTest::SetUp();
    vx::TvxPackage* main = db.Packages->AddNew();
    main->Main = true;
    main->TempPath = Scratch();
    ASSERT_TRUE(vx::ForceFolders(Scratch() + "lng"));
  }
  void LanguageFile(const std::string& code, const std::string& content) {
    ASSERT_TRUE(vx::WriteWholeFile(Scratch() + "lng\\" + code + ".lng", content));
  }
  std::string Listed() {
    std::string s;
    for (const vx::TLanguage& l : languages) s += l.Code + "=" + l.Name + ";";
    return s;
  }
  // What the run does at its language step.
  void Choose() {
    std::string code = vx::ChooseLanguage(db, languages);
    if (!code.empty()) vx::SetLanguage(db, code);
  }
  std::vector<vx::TLanguage> languages;
};

class Session98Test : public SessionTest {
 protected:
  Session98Test() : SessionTest("98") {}
};

TEST(ParamStrTest, ParametersWithBlanksAreQuoted) {
  EXPECT_EQ(vx::JoinParams({"a", "b c", "d"}), "a \"b c\" d");
  EXPECT_EQ(vx::JoinParams({}), "");
  EXPECT_EQ(vx::JoinParams({"/s", ""}), "/s ");
}

TEST_F(SessionTest, SessionValuesOnAnNTMachine) {
  CommandLine cmd({"/S", "C:\\My Files\\x.txt"});
  vx::DefineSessionValues(db, cmd, " C:\\Setup Dir\\setup.exe ");
  EXPECT_EQ(vx::GetVariable(&db, "SourcePath"), "C:\\Setup Dir");
  EXPECT_EQ(vx::GetVariable(&db, "ParamStr"), "/S \"C:\\My Files\\x.txt\"");
  EXPECT_EQ(vx::GetVariable(&db, "SilentMode"), "1");
  EXPECT_FALSE(db.Variables->FindVariable("SilentMode")->Transient);
  for (const char* name : {"SystemLangID", "UserLangID", "SourcePath", "OSPlatform", "OSVersion", "QuickLaunch",
                           "ParamStr", "ProgramFiles", "Windows"})
    EXPECT_TRUE(db.Variables->FindVariable(name)->Transient) << name;
  EXPECT_EQ(db.Variables->FindVariable("QuickLaunch")->Value,
            "%ApplicationData%\\Microsoft\\Internet Explorer\\Quick Launch");
  EXPECT_EQ(vx::GetVariable(&db, "OSPlatform"), vx::ComputeOSInfo(Host().Version()).IsNT() ? "NT" : "9X");
  if (Machine().IsSandbox()) {
    EXPECT_EQ(vx::GetVariable(&db, "OSVersion"), "XP");
    EXPECT_EQ(vx::GetVariable(&db, "SystemLangID"), "ENU");
    EXPECT_EQ(vx::GetVariable(&db, "UserLangID"), "ENU");
  }
  EXPECT_FALSE(vx::GetVariable(&db, "UserLangID").empty());

  // A value given before wins over the switch; the engine's own values win
  // over the project's.
  vx::SetVariable(&db, "SilentMode", "0");
  vx::SetVariable(&db, "OSPlatform", "Amiga");
  vx::DefineSessionValues(db, cmd, "C:\\setup.exe");
  EXPECT_EQ(vx::GetVariable(&db, "SilentMode"), "0");
  EXPECT_NE(vx::GetVariable(&db, "OSPlatform"), "Amiga");
  vx::SetVariable(&db, "SilentMode", "yes");
  vx::DefineSessionValues(db, CommandLine(), "C:\\setup.exe");
  EXPECT_EQ(vx::GetVariable(&db, "SilentMode"), "0");
}

TEST_F(Session98Test, SessionValuesOnA9xMachine) {
  if (!Machine().IsSandbox()) GTEST_SKIP() << "the machine kind is chosen on the sandbox only";
  vx::DefineSessionValues(db, CommandLine({"/s"}), "C:\\setup.exe");
  EXPECT_EQ(vx::GetVariable(&db, "OSPlatform"), "9X");
  EXPECT_EQ(vx::GetVariable(&db, "OSVersion"), "98");
  EXPECT_EQ(vx::GetVariable(&db, "SilentMode"), "1");
  EXPECT_EQ(vx::GetVariable(&db, "SourcePath"), "C:");
  EXPECT_EQ(Eval("HasAdminRights"), "1");  // no security on the 9x family
  // The common folders fall back to the user's.
  EXPECT_FALSE(vx::GetVariable(&db, "CommonProgramsMenu").empty());
  EXPECT_EQ(vx::GetVariable(&db, "CommonProgramsMenu"), vx::GetVariable(&db, "ProgramsMenu"));
}

TEST_F(SessionTest, SilentSettingsAndVarSwitches) {
  vx::TvxSilentSettings settings;
  settings.Expressions = &evaluator;  // as the run session attaches it
  settings.LoadFromText(
      "<silentsettings><variables><var name=\"A\" value=\"from settings\"/>"
      "<var name=\"B\" value=\"skipped\" condition=\"0\"/><var name=\"C\" value=\"c\"/></variables>"
      "</silentsettings>",
      "silentsettings");
  Var("A", "project");
  Var("B", "project");
  CommandLine cmd({"/var:C=switch", "-VAR:Empty", "/var:D=x=y", "/var:=nameless", "var:E=not a switch",
                   "/var:C=later"});
  vx::ApplySilentSettings(db, &settings, cmd);
  EXPECT_EQ(vx::GetVariable(&db, "A"), "from settings");
  EXPECT_EQ(vx::GetVariable(&db, "B"), "project");
  EXPECT_EQ(vx::GetVariable(&db, "C"), "later");
  ASSERT_NE(db.Variables->FindVariable("Empty"), nullptr);
  EXPECT_EQ(vx::GetVariable(&db, "Empty", "unset"), "");
  EXPECT_EQ(vx::GetVariable(&db, "D"), "x=y");
  EXPECT_EQ(db.Variables->FindVariable("E"), nullptr);

  // A switch that sets SilentMode makes the run silent without "/s".
  vx::ApplySilentSettings(db, nullptr, CommandLine({"/var:SilentMode=1"}));
  vx::DefineSessionValues(db, CommandLine({"/var:SilentMode=1"}), "C:\\setup.exe");
  EXPECT_EQ(vx::GetVariable(&db, "SilentMode"), "1");
}

TEST_F(SessionTest, LanguageListNamesAndFallbacks) {
  Var("Languages", " enu, deu ,,");
  vx::BuildLanguageList(db, languages);
  EXPECT_EQ(Listed(), "ENU=English (United States);DEU=German (Germany);");

  LanguageFile("DEU", "[Strings]\r\nLanguageName=Deutsch\r\n");
  vx::SetVariable(&db, "DontUseWindowsLanguageNames", "1");
  vx::BuildLanguageList(db, languages);
  EXPECT_EQ(Listed(), "ENU=ENU;DEU=Deutsch;");

  // A code that names no locale takes its name from its file.
  vx::SetVariable(&db, "DontUseWindowsLanguageNames", "0");
  vx::SetVariable(&db, "Languages", "XYZ");
  LanguageFile("XYZ", "[Strings]\r\nLanguageName=Xylophonic\r\n");
  vx::BuildLanguageList(db, languages);
  EXPECT_EQ(Listed(), "XYZ=Xylophonic;");

  vx::SetVariable(&db, "Languages", " , ");
  vx::BuildLanguageList(db, languages);
  EXPECT_EQ(Listed(), "ENU=English (USA);");
}

TEST_F(SessionTest, ChoosingALanguage) {
  Var("Languages", "DEU,FRA,ENU");
  Var("AppName", "Demo %LangID%");
  vx::BuildLanguageList(db, languages);
  vx::SetVariable(&db, "UserLangID", "FRA");
  Choose();
  EXPECT_EQ(vx::GetVariable(&db, "LangID"), "FRA");
  EXPECT_EQ(vx::GetVariable(&db, "Charset"), "0");

  // A language set before is kept, and nothing else changes.
  vx::SetVariable(&db, "Charset", "untouched");
  Choose();
  EXPECT_EQ(vx::GetVariable(&db, "Charset"), "untouched");

  vx::SetVariable(&db, "LangID", "");
  vx::SetVariable(&db, "UserLangID", "RUS");
  Choose();
  EXPECT_EQ(vx::GetVariable(&db, "LangID"), "ENU");  // the user's is not offered: English

  vx::SetVariable(&db, "LangID", "");
  vx::SetVariable(&db, "Languages", "DEU,RUS");
  vx::BuildLanguageList(db, languages);
  vx::SetVariable(&db, "UserLangID", "FRA");
  Choose();
  EXPECT_EQ(vx::GetVariable(&db, "LangID"), "DEU");  // neither: the first

  vx::SetVariable(&db, "LangID", "");
  vx::SetVariable(&db, "UserLangID", "RUS");
  vx::SetVariable(&db, "AutoSelectLanguage", "0");
  Choose();
  EXPECT_EQ(vx::GetVariable(&db, "LangID"), "DEU");

  vx::SetLanguage(db, "rus");
  EXPECT_EQ(vx::GetVariable(&db, "Charset"), "204");
  EXPECT_EQ(vx::LanguageCharset("JPN"), 128u);
  EXPECT_EQ(vx::LanguageCharset("XYZ"), 1u);  // no such locale: DEFAULT_CHARSET
}

TEST_F(SessionTest, MessagesComeFromTheCurrentLanguageFile) {
  Var("AppName", "Demo");
  LanguageFile("ENU", "[Strings]\r\n21=%AppName% is already being set up.\r\n14=Needs \"%s\"\r\n");
  EXPECT_EQ(vx::LanguageFilePath(db), Scratch() + "lng\\ENU.lng");
  EXPECT_EQ(vx::LanguageMessage(db, 21), "Demo is already being set up.");
  EXPECT_EQ(vx::LanguageMessage(db, 14), "Needs \"%s\"");
  EXPECT_EQ(vx::LanguageMessage(db, 99), "");
  vx::SetVariable(&db, "LangID", "DEU");
  EXPECT_EQ(vx::LanguageFilePath(db), Scratch() + "lng\\DEU.lng");
  EXPECT_EQ(vx::LanguageMessage(db, 21), "");

  // The installer function goes through the session's services.
  services.setLanguage = [](vx::TvxMainDatabase& d, const std::string& code) { vx::SetLanguage(d, code); };
  EXPECT_EQ(Eval("SetLanguage(ENU) & GetVariable(Charset)"), "0");
}

// A run's language names its boxes, whether the run sets it or the
// installer function does.
TEST(RunSessionLanguage, TheLanguageNamesTheRunsBoxes) {
  vxtest::TestMachine machine;
  vx::RunSession session(CommandLine{});
  vx::SetVariable(&session.Database(), "AppName", "Demo %LangID%");
  session.SetLanguage("FRA");
  EXPECT_EQ(vx::GetVariable(&session.Database(), "LangID"), "FRA");
  EXPECT_EQ(session.GetPrompts().ApplicationName(), "Demo FRA");
  EXPECT_EQ(session.Evaluator().CalcExpression(nullptr, "SetLanguage(ENU) & GetVariable(LangID)"), "ENU");
  EXPECT_EQ(session.GetPrompts().ApplicationName(), "Demo ENU");
}

#ifdef _WIN32
// The table the sandbox uses says what Windows says.
TEST(LocaleTableTest, MatchesThePlatform) {
  vxtest::TestMachine machine;
  size_t count = 0;
  const vx::LocaleFacts* table = vx::LocaleTable(count);
  ASSERT_GT(count, 100u);
  int compared = 0;
  for (uint32_t lcid : machine.Host().InstalledLocales()) {
    const vx::LocaleFacts* facts = vx::FindLocaleFacts(lcid);
    if (!facts) continue;
    ++compared;
    EXPECT_EQ(machine.Host().LocaleText(lcid, vx::kLocaleSAbbrevLangName), facts->abbreviation) << lcid;
    EXPECT_EQ(machine.Host().LocaleText(lcid, vx::kLocaleIDefaultAnsiCodePage), std::to_string(facts->ansiCodePage))
        << lcid;
    uint32_t a = 99, b = 99;
    EXPECT_EQ(machine.Host().CodePageCharset(facts->ansiCodePage, a), vx::CodePageToCharset(facts->ansiCodePage, b));
    EXPECT_EQ(a, b);
  }
  EXPECT_GT(compared, 50);
  (void)table;
}
#endif

}  // namespace
