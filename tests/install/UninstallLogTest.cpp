// The uninstall log: its record formats, sections and running numbers, the
// texts for the uninstaller, records of plug-ins, and that nothing is
// written while logging is off.
#include <gtest/gtest.h>

#include <string>

#include "database/Variables.h"
#include "database/kqIniFile.h"
#include "install/UninstallLog.h"
#include "support/FakeExpressions.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"

using namespace vx;

namespace {

TEST(UninstallLogFormatTest, SectionsAndRecords) {
  const char* const names[] = {"CopyFiles",  "AddReg",   "AddIni",      "Shortcuts", "CreateDirs",
                               "CreateKeys", "RegServers", "RegFonts", "SharedFiles", "PreRunApp",
                               "RunApp",     "SharedAssemblies", "EnvVars"};
  for (int i = 0; i < kLogKindCount; ++i) EXPECT_STREQ(LogSectionName(LogKind(i)), names[i]);
  EXPECT_STREQ(LogSectionName(LogKind(kLogKindCount)), "");

  EXPECT_EQ(RegRecordKey("HKLM\\Software\\A", "X"), "HKLM\\Software\\A\\'X'");
  EXPECT_EQ(RegRecordKey("HKLM\\Software\\\"A\\B\"\\", ""), "HKLM\\Software\\A\\B\\''");
  EXPECT_EQ(IniRecordKey("C:\\a.ini", "S", "k"), "'C:\\a.ini','S','k'");
  EXPECT_EQ(EnvVarRecord(true, true, "C:\\bin"), "1,C:\\bin");
  EXPECT_EQ(EnvVarRecord(false, false, "C:\\bin"), "0,");

  EXPECT_EQ(ProgramRecord("C:\\a.exe", "/x", "C:\\", TvxShowCmd::scMin, "Wait", {}),
            "'C:\\a.exe','/x','C:\\',3,'Wait',1,0");
  EXPECT_EQ(ProgramRecord("b.exe", "", "", TvxShowCmd::scHide, "", {TvxFlag::dont_wait, TvxFlag::check_exitcode}),
            "'b.exe','','',0,'',0,1");
  EXPECT_EQ(LogWindowCode(TvxShowCmd::scNormal), 1);
  EXPECT_EQ(LogWindowCode(TvxShowCmd::scMax), 2);

  EXPECT_EQ(AssemblyRecord("C:\\App\\My.Lib.dll", "Version=1.0", " OPAQUE \"id\" \"App\""),
            "My.Lib,Version=1.0 OPAQUE \"id\" \"App\"");
  EXPECT_EQ(AssemblyRecord("Lib.dll", "", " R"), "Lib R");
  TvxMainDatabase db;
  SetVariable(&db, "AppID", "{ID}");
  SetVariable(&db, "AppName", "The App");
  EXPECT_EQ(AssemblyReference(&db), " OPAQUE \"{ID}\" \"The App\"");
}

class UninstallLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterIniFileClass();
    SetUseIniCache(true);
    db.Expressions = &expressions;
    log.SetPath(Path("install.log"));
  }
  void TearDown() override { IniFlush(); }

  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  // The log as it reaches the disk.
  std::string Written() {
    IniFlush();
    std::string s;
    return ReadWholeFile(Path("install.log"), s) ? s : "<missing>";
  }

  vxtest::TestMachine machine;
  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
  UninstallLog log{&db};
};

TEST_F(UninstallLogTest, NothingIsWrittenWhileLoggingIsOffOrWithoutPath) {
  ASSERT_TRUE(WriteWholeFile(Path("lang.ini"), "[Uninstall.Texts]\r\na=b\r\n"));
  EXPECT_FALSE(log.LogWrite(LogKind::CopyFiles, "C:\\a"));
  EXPECT_FALSE(log.AddLogRecord("S", "k=v"));
  EXPECT_FALSE(log.WriteProgram(true, "p"));
  EXPECT_FALSE(log.WriteAssembly("a"));
  EXPECT_FALSE(log.WriteUninstallStrings(Path("lang.ini"), &db));
  EXPECT_EQ(Written(), "<missing>");

  ASSERT_TRUE(WriteWholeFile(Path("install.log"), "[CopyFiles]\r\nC:\\a=\r\n"));
  EXPECT_FALSE(log.LogKeyExists(LogKind::CopyFiles, "C:\\a"));  // off: not even read
  log.Enable();
  EXPECT_TRUE(log.LogKeyExists(LogKind::CopyFiles, "C:\\a"));
  log.SetPath("");
  EXPECT_FALSE(log.LogWrite(LogKind::CopyFiles, "C:\\b"));
  EXPECT_FALSE(log.AddLogRecord("S", "k=v"));
  EXPECT_FALSE(log.LogKeyExists(LogKind::CopyFiles, "C:\\a"));
}

TEST_F(UninstallLogTest, RecordsGoToTheirSectionsWithRunningNumbers) {
  log.Enable();
  EXPECT_TRUE(log.LogWrite(LogKind::CopyFiles, "C:\\App\\a.exe"));
  EXPECT_TRUE(log.LogWrite(LogKind::RegFonts, "F", "C:\\old.ttf"));
  EXPECT_TRUE(log.LogWrite(LogKind::RegFonts, "F", "C:\\f.ttf"));  // the last value stays
  EXPECT_TRUE(log.LogWrite(LogKind::SharedFiles, "C:\\s.dll"));
  EXPECT_TRUE(log.LogKeyExists(LogKind::CopyFiles, "C:\\App\\a.exe"));
  EXPECT_TRUE(log.LogKeyExists(LogKind::SharedFiles, "C:\\s.dll"));  // an empty value is a record
  EXPECT_FALSE(log.LogKeyExists(LogKind::RegServers, "C:\\App\\a.exe"));
  // One count for the programs before and after, one for the assemblies.
  EXPECT_TRUE(log.WriteProgram(false, "p0"));
  EXPECT_TRUE(log.WriteProgram(true, "p1"));
  EXPECT_TRUE(log.WriteAssembly("a0"));
  EXPECT_TRUE(log.WriteProgram(false, "p2"));
  EXPECT_TRUE(log.WriteAssembly("a1"));
  EXPECT_EQ(Written(),
            "[CopyFiles]\r\nC:\\App\\a.exe=\r\n\r\n"
            "[RegFonts]\r\nF=C:\\f.ttf\r\n\r\n"
            "[SharedFiles]\r\nC:\\s.dll=\r\n\r\n"
            "[PreRunApp]\r\n0=p0\r\n2=p2\r\n\r\n"
            "[RunApp]\r\n1=p1\r\n\r\n"
            "[SharedAssemblies]\r\n0=a0\r\n1=a1\r\n\r\n");
}

TEST_F(UninstallLogTest, AddedRecordsAreExpandedAndSplitAtTheFirstEquals) {
  log.Enable();
  SetVariable(&db, "Section", "Custom");
  SetVariable(&db, "N", "7");
  EXPECT_TRUE(log.AddLogRecord("%Section%", "key%N%=a=%N%"));
  EXPECT_TRUE(log.AddLogRecord("Custom", "lonely"));
  EXPECT_EQ(Written(), "[Custom]\r\nkey7=a=7\r\nlonely=\r\n\r\n");
}

TEST_F(UninstallLogTest, UninstallerTextsComeFromTheLanguageFile) {
  ASSERT_TRUE(WriteWholeFile(Path("lang.ini"),
                             "[Strings]\r\n1=Setup\r\n"
                             "[Uninstall.Messages]\r\nTitle=Remove %AppName%\r\nGone=%NoSuchVariable%x\r\n"
                             "Two=%Two%\r\n"
                             "[Uninstall.]\r\nnameless=1\r\n"
                             "[Other]\r\na=b\r\n"
                             "[Uninstall.Buttons]\r\nOK=&OK\r\n"));
  SetVariable(&db, "AppID", "{ID}");
  SetVariable(&db, "AdminRights", "1");
  SetVariable(&db, "AppName", "The App");
  SetVariable(&db, "Two", "a\r\nb\nc");
  log.Enable();
  EXPECT_TRUE(log.WriteUninstallStrings(Path("lang.ini"), &db));
  EXPECT_EQ(Written(),
            "[Strings]\r\nAppID={ID}\r\nAdminRights=1\r\n\r\n"
            "[Messages]\r\nTitle=Remove The App\r\nGone=x\r\nTwo=a||bc\r\n\r\n"
            "[Buttons]\r\nOK=&OK\r\n\r\n");
}

}  // namespace
