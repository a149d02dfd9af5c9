// The installer's functions: registration order, the edge cases of each
// group, and their effects through the installer services.
#include <cstring>

#include "support/ProjectFixture.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"

namespace {

using vxtest::ProjectTest;

class FunctionsTest : public ProjectTest {
 protected:
  // The message of the error an expression raises ("" when it raises none).
  std::string ErrorOf(const std::string& expr) {
    try {
      Calc(expr);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(FunctionsTest, TheFunctionsTakeTheirIdsInOrder) {
  vx::TvxEvaluator ev;
  vx::RegisterInstallerFunctions(ev);
  ASSERT_EQ(ev.Functions.Count(), 38);
  const char* expected[] = {"Iif", "FilePath", "FileName", "NormalPath", "FileVersion", "FileDate", "FileExists",
                            "FolderExists", "CompareVersion", "CompareDate", "CompareText", "RegKeyExists",
                            "RegParamExists", "RegParam", "AskUser", "SubStr", "FindSubStr", "Length", "FileSize",
                            "Round", "RenameFile", "ActiveInstallType", "FeatureEnabled", "DotNetInstalled",
                            "Return", "AbortInstall", "SuspendInstall", "ResumeInstall", "SetVariable",
                            "GetVariable", "SetLanguage", "SetInstallType", "SetPassword", "HasAdminRights",
                            "ParseText", "ShortFileName", "WindowExists", "MutexExists"};
  for (int i = 0; i < 38; ++i) {
    EXPECT_EQ(ev.Functions[i].Name, expected[i]);
    EXPECT_EQ(ev.Functions[i].ID, i);
  }
  static int plugin;
  EXPECT_EQ(ev.AddPluginFunction("MyFunc", 1, &plugin), 38);
  EXPECT_EQ(ev.AddPluginFunction("iif", 3, &plugin), -1);
  for (const char* noArgs : {"ActiveInstallType", "DotNetInstalled", "AbortInstall", "SuspendInstall",
                             "ResumeInstall", "HasAdminRights"})
    EXPECT_EQ(ev.Functions.Find(noArgs)->ParamCount, 0) << noArgs;
}

TEST_F(FunctionsTest, TextAndPathFunctions) {
  EXPECT_EQ(Calc("Iif(1, \"yes\", \"no\")"), "yes");
  EXPECT_EQ(Calc("Iif(\"true\", \"yes\", \"no\")"), "no");
  EXPECT_EQ(Calc("FilePath(\"C:\\Dir\\a.txt\")"), "C:\\Dir");
  EXPECT_EQ(Calc("FilePath(\"C:\\a.txt\")"), "C:");
  EXPECT_EQ(Calc("FilePath(\"C:a.txt\")"), "C:");
  EXPECT_EQ(Calc("FilePath(\"a.txt\")"), "");
  EXPECT_EQ(Calc("FileName(\"C:\\Dir\\a.txt\")"), "a.txt");
  EXPECT_EQ(Calc("FileName(\"C:a.txt\")"), "a.txt");
  EXPECT_EQ(Calc("NormalPath(\"C:\\Program Files\")"), "C:\\Program Files\\");
  EXPECT_EQ(Calc("NormalPath('\"C:\\My \"\"Dir\"\"\" tail')"), "C:\\My \"Dir\"\\");
  EXPECT_EQ(Calc("NormalPath('\"C:\\open')"), "C:\\open\\");
  EXPECT_EQ(Calc("NormalPath(\"\")"), "");
  EXPECT_EQ(Calc("NormalPath(\"C:\\\")"), "C:\\");

  EXPECT_EQ(Calc("SubStr(\"abcdef\", 2, 3)"), "bcd");
  EXPECT_EQ(Calc("SubStr(\"abc\", x, 2)"), "ab");
  EXPECT_EQ(Calc("SubStr(\"abc\", 5, 2)"), "");
  EXPECT_EQ(Calc("SubStr(\"abc\", -4, 2)"), "ab");
  EXPECT_EQ(Calc("SubStr(\"abc\", 2, x)"), "");
  EXPECT_EQ(Calc("SubStr(\"abc\", 2, 100)"), "bc");
  EXPECT_EQ(Calc("FindSubStr(\"Hello hello\", \"HELLO\", 2)"), "7");
  EXPECT_EQ(Calc("FindSubStr(\"Hello hello\", \"HELLO\", x)"), "1");
  EXPECT_EQ(Calc("FindSubStr(\"abc\", \"\", 1)"), "0");
  EXPECT_EQ(Calc("FindSubStr(\"\", \"a\", 1)"), "0");
  EXPECT_EQ(Calc("FindSubStr(\"abc\", \"bc\", 3)"), "0");  // does not fit after the start
  EXPECT_EQ(Calc("FindSubStr(\"abc\", \"c\", -5)"), "3");
  EXPECT_EQ(Calc("FindSubStr(\"abc\", \"c\", 99999999999)"), "3");  // no number: from the start
  EXPECT_EQ(Calc("FindSubStr(\"\xC0\xE1\", \"\xE0\", 1)"), "1");    // folded with the Cyrillic pairs
  EXPECT_EQ(Calc("Length(\"abc\")"), "3");
  EXPECT_EQ(Calc("Length(\"\")"), "0");
  EXPECT_EQ(Calc("Return(5)"), "5");
  EXPECT_EQ(Calc("CompareText(\"abc\", \"ABC\") & CompareText(\"a\", \"b\") & CompareText(\"b\", \"A\")"), "0-11");
}

TEST_F(FunctionsTest, NumbersVersionsAndDates) {
  EXPECT_EQ(Calc("Round(2.5)"), "2");
  EXPECT_EQ(Calc("Round(3.5)"), "4");
  EXPECT_EQ(Calc("Round(-2.5)"), "-2");
  EXPECT_EQ(Calc("Round(x)"), "0");
  EXPECT_EQ(Calc("Round(2147483647.4)"), "2147483647");
  EXPECT_EQ(ErrorOf("Round(2147483648)"), "Invalid floating point operation");
  EXPECT_EQ(ErrorOf("Round(1e300)"), "Invalid floating point operation");

  EXPECT_EQ(Calc("CompareVersion(\"1.2\", \"1.2.0.0\")"), "0");
  EXPECT_EQ(Calc("CompareVersion(\"1.10\", \"1.9\")"), "1");
  EXPECT_EQ(Calc("CompareVersion(\"1..2\", \"1.2\")"), "0");
  EXPECT_EQ(Calc("CompareVersion(\"abc\", \"0\")"), "0");
  EXPECT_EQ(Calc("CompareVersion(\"2\", \"1.99.99.99\")"), "1");
  EXPECT_EQ(Calc("CompareVersion(\"1.2.3.4\", \"1.2.3.5\")"), "-1");
  EXPECT_EQ(Calc("CompareVersion(\"1.2.3.4.9\", \"1.2.3.4\")"), "0");  // a fifth word is ignored
  // Keys are signed 32-bit: a major version from 32768 on compares below 1.
  EXPECT_EQ(Calc("CompareVersion(\"32768\", \"1\")"), "-1");

  EXPECT_EQ(Calc("CompareDate(\"12/31/2020\", \"01/01/2021\")"), "-1");
  EXPECT_EQ(Calc("CompareDate(\"1/1/2021 10:00\", \"01/01/2021 09:59:59\")"), "1");
  EXPECT_EQ(Calc("CompareDate(\"01/01/2021 00:00:00\", \"1/1/2021\")"), "0");
  EXPECT_EQ(Calc("CompareDate(\"1/1/2021 12:00 AM\", \"1/1/2021\")"), "0");
  EXPECT_EQ(Calc("CompareDate(\"1/1/2021 1:00 PM\", \"1/1/2021 13:00\")"), "0");
  EXPECT_EQ(ErrorOf("CompareDate(\"02/30/2021\", \"1/1/2021\")"), "'02/30/2021' is not a valid date and time");
  EXPECT_EQ(ErrorOf("CompareDate(\"1/1/2021\", \"soon\")"), "'soon' is not a valid date and time");
  EXPECT_EQ(ErrorOf("CompareDate(\"1/1/2021 25:00\", \"1/1/2021\")"),
            "'1/1/2021 25:00' is not a valid date and time");
  // Two-digit years fall into the hundred years from fifty before the
  // current year to forty-nine after it; both edges of that window.
  const int year = Host().LocalTime().year;
  auto twoDigits = [](int y) { return vx::Format("%02d", y % 100); };
  EXPECT_EQ(Calc("CompareDate('6/15/" + twoDigits(year - 50) + "', '6/15/" + std::to_string(year - 50) + "')"), "0");
  EXPECT_EQ(Calc("CompareDate('6/15/" + twoDigits(year + 49) + "', '6/15/" + std::to_string(year + 49) + "')"), "0");
  EXPECT_EQ(Calc("CompareDate('6/15/" + twoDigits(year - 51) + "', '6/15/" + std::to_string(year) + "')"), "1");
  if (year <= 2049) {
    EXPECT_EQ(Calc("CompareDate(\"12/31/99\", \"01/01/2000\")"), "-1");
  }

  double d = 0;
  ASSERT_TRUE(vx::TryStrToDateTime("02/29/2000 23:59:58", d));
  EXPECT_EQ(vx::FormatDateTimeText(d), "02/29/2000 23:59:58");
  EXPECT_EQ(vx::FormatDateTimeText(0), "12/30/1899 00:00:00");
}

TEST_F(FunctionsTest, FileFunctions) {
  std::string dir = Scratch() + "Files";
  ASSERT_TRUE(vx::ForceFolders(dir));
  ASSERT_TRUE(vx::WriteWholeFile(dir + "\\data.bin", std::string(1234, 'x')));
  vx::SetVariable(&db, "Dir", dir);
  EXPECT_EQ(Calc("FileExists(\"%Dir%\\data.bin\") & FileExists(%Dir%) & FileExists(\"%Dir%\\none\")"), "100");
  EXPECT_EQ(Calc("FolderExists(%Dir%) & FolderExists(\"%Dir%\\data.bin\")"), "10");
  EXPECT_EQ(Calc("FileSize(\"%Dir%\\data.bin\")"), "1234");
  EXPECT_EQ(Calc("FileSize(\"%Dir%\\*.bin\")"), "1234");
  EXPECT_EQ(Calc("FileSize(\"%Dir%\\*.none\")"), "-1");
  EXPECT_EQ(Calc("FileSize(\"%Dir%\\missing.bin\")"), "-1");
  EXPECT_EQ(Calc("FileVersion(\"%Dir%\\data.bin\")"), "0");
  EXPECT_EQ(Calc("FileVersion(\"%Dir%\\missing.bin\")"), "0");
  EXPECT_EQ(Calc("FileDate(\"%Dir%\\missing.bin\")"), "12/30/1899 00:00:00");
  std::string date = Calc("FileDate(\"%Dir%\\data.bin\")");
  ASSERT_EQ(date.size(), 19u);
  EXPECT_EQ(date.substr(6, 4), std::to_string(Host().LocalTime().year));
  EXPECT_EQ(Calc("ShortFileName(\"%Dir%\\missing.bin\")"), dir + "\\missing.bin");
  EXPECT_FALSE(Calc("ShortFileName(\"%Dir%\\data.bin\")").empty());

  std::vector<std::string> logged;
  services.logNewFile = [&](const std::string& f) { logged.push_back(f); };
  EXPECT_EQ(Calc("RenameFile(\"%Dir%\\data.bin\", \"%Dir%\\moved.bin\", 0)"), "1");
  EXPECT_TRUE(vx::FileExists(dir + "\\moved.bin"));
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(Calc("RenameFile(\"%Dir%\\moved.bin\", \"%Dir%\\again.bin\", 1)"), "1");
  EXPECT_EQ(logged, std::vector<std::string>{dir + "\\again.bin"});
  EXPECT_EQ(Calc("RenameFile(\"%Dir%\\gone.bin\", \"%Dir%\\x.bin\", 0)"), "1");  // a failure is ignored
}

TEST_F(FunctionsTest, RegistryFunctions) {
  const std::string& key = TestKey();
  ASSERT_TRUE(vx::RegWriteBinary(key, "Bin", std::string("\x01\xAB", 2)));
  ASSERT_TRUE(vx::RegWriteDword(key, "Big", 0xFFFFFFFFu));
  ASSERT_TRUE(vx::RegWriteMultiString(key, "Multi", {"one", "two"}));
  ASSERT_TRUE(vx::RegWriteString(key, "Str", "text"));
  ASSERT_TRUE(vx::RegWriteExpandString(key, "Exp", "<%VX_TEST_UNSET_VARIABLE%>"));
  vx::SetVariable(&db, "Key", key);
  EXPECT_EQ(Calc("RegKeyExists(%Key%) & RegKeyExists(\"%Key%\\none\")"), "10");
  EXPECT_EQ(Calc("RegParamExists(%Key%, Bin) & RegParamExists(%Key%, none) & RegParamExists(\"%Key%\\x\", Bin)"),
            "100");
  EXPECT_EQ(Calc("RegParam(%Key%, Bin, d)"), "01AB");
  EXPECT_EQ(Calc("RegParam(%Key%, Big, d)"), "4294967295");
  EXPECT_EQ(Calc("RegParam(%Key%, Multi, d)"), "one\r\ntwo");
  EXPECT_EQ(Calc("RegParam(%Key%, Str, d)"), "text");
  EXPECT_EQ(Calc("RegParam(%Key%, Exp, d)"), "<%VX_TEST_UNSET_VARIABLE%>");
  EXPECT_EQ(Calc("RegParam(%Key%, none, dflt)"), "dflt");
  EXPECT_EQ(Calc("RegParam(\"%Key%\\none\", Str, dflt)"), "dflt");
}

TEST_F(FunctionsTest, AskUserAsksOncePerText) {
  int boxes = 0;
  services.activeWindow = [&] {
    ++boxes;
    return vx::WindowHandle(0);
  };
  prompts.SetUnattendedAnswers(false, {{"Continue?", vx::kIdNo}, {"Sure?", vx::kIdYes}, {"Note", vx::kIdOk}});
  EXPECT_EQ(Calc("AskUser(\"Setup\", \"Continue?\", 1, 1)"), "0");
  EXPECT_EQ(Calc("AskUser(\"Other caption\", \"Continue?\", 2, 2)"), "0");
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(Calc("AskUser(\"Setup\", \"Sure?\", x, 1)"), "1");
  EXPECT_EQ(Calc("AskUser(\"Setup\", \"Note\", 9, 9)"), "1");
  EXPECT_EQ(boxes, 3);
}

TEST_F(FunctionsTest, VariablesInstallTypesFeaturesAndPassword) {
  db.LoadFromText(
      "<vx2project><features><feature id=\"Core\"/><feature id=\"Docs\" condition=\"%WithDocs% = 1\"/>"
      "</features><installtypes><installtype id=\"Full\"><features><feature id=\"Core\"/><feature id=\"Docs\"/>"
      "</features></installtype><installtype id=\"Min\"><features><feature id=\"Core\"/></features>"
      "</installtype></installtypes></vx2project>",
      "vx2project");
  EXPECT_EQ(Calc("ActiveInstallType"), "");
  EXPECT_EQ(Calc("SetInstallType(Min) & ActiveInstallType"), "Min");
  EXPECT_EQ(Calc("SetInstallType(Nothing) & ActiveInstallType"), "Min");
  EXPECT_EQ(Calc("FeatureEnabled(core) & FeatureEnabled(Docs) & FeatureEnabled(Unknown)"), "100");
  vx::SetVariable(&db, "WithDocs", "1");
  EXPECT_EQ(Calc("SetInstallType(Full) & FeatureEnabled(Docs)"), "1");
  vx::SetVariable(&db, "WithDocs", "0");
  EXPECT_EQ(Calc("FeatureEnabled(Docs)"), "0");

  EXPECT_EQ(Calc("SetVariable(Greeting, \"Hello %WithDocs%\")"), "");
  EXPECT_EQ(db.Variables->FindVariable("Greeting")->Value, "Hello 0");
  EXPECT_EQ(Calc("GetVariable(Greeting) & GetVariable(Nobody)"), "Hello 0");
  vx::SetVariable(&db, "Raw", "%Unknown%|x");
  EXPECT_EQ(evaluator.CalcExpression(&db, "ParseText(GetVariable(Raw), 1)", false), "|x");
  EXPECT_EQ(evaluator.CalcExpression(&db, "ParseText('%Unknown%', 0)", false), "%Unknown%");
  std::string r;
  EXPECT_THROW(evaluator.Calc(nullptr, "GetVariable(x)", false, 0, r), vx::EEngineError);

  EXPECT_EQ(Calc("SetPassword(secret)"), "");  // no password check yet: nothing accepted
  EXPECT_EQ(db.Password, "");
  services.checkPassword = [](const std::string& p) { return p == "secret"; };
  Calc("SetPassword(wrong)");
  EXPECT_EQ(db.Password, "");
  Calc("SetPassword(secret)");
  EXPECT_EQ(db.Password, "secret");

  EXPECT_EQ(Calc("SetLanguage(DEU) & GetVariable(LangID)"), "DEU");
  std::string seen;
  services.setLanguage = [&](vx::TvxMainDatabase& d, const std::string& code) { seen = code; };
  Calc("SetLanguage(FRA)");
  EXPECT_EQ(seen, "FRA");
}

TEST_F(FunctionsTest, InstallControlGoesThroughTheHooks) {
  EXPECT_EQ(Calc("AbortInstall & SuspendInstall & ResumeInstall"), "");  // nothing to act on yet
  std::string calls;
  services.abortInstall = [&] { calls += "A"; };
  services.suspendInstall = [&] { calls += "S"; };
  services.resumeInstall = [&] { calls += "R"; };
  EXPECT_EQ(Calc("SuspendInstall & SuspendInstall & ResumeInstall & AbortInstall"), "");
  EXPECT_EQ(calls, "SSRA");
  EXPECT_NE(ErrorOf("HasAdminRights()").find("Expression expected."), std::string::npos);
  EXPECT_EQ(Calc("HasAdminRights"), "1");
}

TEST_F(FunctionsTest, WindowsMutexesAndDotNet) {
  EXPECT_EQ(Calc("WindowExists(\"No window has this title 8d1f*\")"), "0");
  EXPECT_EQ(Calc("MutexExists(\"VXTest mutex that nobody holds\")"), "0");
  bool existed = false;
  vx::HandleValue h = Host().CreateNamedMutex("VXTest mutex of the test", existed);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Calc("MutexExists(\"VXTest mutex of the test\")"), "1");
  Host().CloseHandle(h);
  EXPECT_EQ(Calc("MutexExists(\"VXTest mutex of the test\")"), "0");
  std::string dotNet = Calc("DotNetInstalled");
  EXPECT_TRUE(dotNet == "0" || dotNet == "1");
#ifndef _WIN32
  EXPECT_EQ(dotNet, "0");
  ReopenWith(
      "[ComObjects]\r\n{E5CB7A31-7512-11D2-89CE-0080C792E5D8}=1\r\n[Windows]\r\nw1=Untitled - Notepad\r\n"
      "[Mutexes]\r\nHeld Elsewhere=1\r\n[Machine]\r\nAdministrator=0\r\n");
  EXPECT_EQ(Calc("DotNetInstalled"), "1");
  EXPECT_EQ(Calc("WindowExists(\"*notepad\")"), "1");
  EXPECT_EQ(Calc("MutexExists(\"Held Elsewhere\")"), "1");
  EXPECT_EQ(Calc("HasAdminRights"), "0");
#endif
}

}  // namespace
