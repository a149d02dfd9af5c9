// OS facts, environment variables, folders and programs on the current test host.
#include <gtest/gtest.h>

#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

using namespace vx;

namespace {

VersionFacts Facts(uint32_t platform, uint32_t major, uint32_t minor, uint32_t build, const char* sp = "") {
  VersionFacts f;
  f.platform = platform;
  f.major = major;
  f.minor = minor;
  f.build = build;
  f.servicePack = sp;
  return f;
}

TEST(OSInfoTest, KindRulesVersionTextAndDescription) {
  TOSInfo xp = ComputeOSInfo(Facts(kPlatformNT, 5, 1, 2600, "Service Pack 2"));
  EXPECT_EQ(xp.Kind, osWinXP);
  EXPECT_EQ(xp.VersionText, "5.01");
  EXPECT_EQ(xp.Description, "Windows XP 5.01.2600 Service Pack 2");
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformNT, 5, 0, 2195)).Description, "Windows 2000 5.0.2195");
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformNT, 4, 0, 1381)).Kind, osWinNT);
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformNT, 6, 0, 6000)).Kind, osWin2000);
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformNT, 6, 1, 7600)).Kind, osWinXP);

  TOSInfo w98 = ComputeOSInfo(Facts(kPlatformWin9x, 4, 10, 0x040A08AE));
  EXPECT_EQ(w98.Kind, osWin98);
  EXPECT_EQ(w98.Build, 2222u);
  EXPECT_EQ(w98.VersionText, "4.10");
  EXPECT_EQ(w98.Description, "Windows 98 4.10.2222");
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformWin9x, 4, 90, 3000)).Kind, osWinMe);
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformWin9x, 4, 0, 950)).Description, "Windows 95 4.0.0950");
  EXPECT_EQ(ComputeOSInfo(Facts(kPlatformWin32s, 1, 30, 0)).Kind, osWin32s);
}

TEST(AutoexecTest, SetLinesAreReplacedOrRemoved) {
  const std::string old = "@echo off\r\nset PATH=c:\\dos\r\nSET TEMP=c:\\tmp\r\n";
  bool found = false;
  EXPECT_EQ(RewriteAutoexec(old, "PATH", "c:\\bin", found), "@echo off\r\nSET PATH=c:\\bin\r\nSET TEMP=c:\\tmp\r\n");
  EXPECT_TRUE(found);
  EXPECT_EQ(RewriteAutoexec(old, "path", "", found), "@echo off\r\nSET TEMP=c:\\tmp\r\n");
  EXPECT_EQ(RewriteAutoexec(old, "NEW", "1", found), old + "SET NEW=1\r\n");
  EXPECT_FALSE(found);
  // Blanks before "=" belong to the name; "SETX" is no SET line.
  EXPECT_EQ(RewriteAutoexec("SET PATH =x\nSETPATH=y\n", "PATH", "z", found),
            "SET PATH =x\r\nSETPATH=y\r\nSET PATH=z\r\n");
}

TEST(EnvTest, PersistentVariablesKeepTheirType) {
  vxtest::TestMachine machine;
  if (CurrentHost().Version().platform != kPlatformNT) GTEST_SKIP();
  const std::string key = "HKCU\\Environment";
  std::string name = RegUniqueValueName(key, "VXTEST");
  ASSERT_TRUE(SetEnvVar(name, "plain", false));
  EXPECT_EQ(RegGetValueType(key, name), kRegSz);
  EXPECT_EQ(GetEnvVar(name, false), "plain");

  ASSERT_TRUE(RegWriteExpandString(key, name, "%windir%\\a"));
  ASSERT_TRUE(SetEnvVar(name, "%windir%\\b", false));
  EXPECT_EQ(RegGetValueType(key, name), kRegExpandSz);
  EXPECT_EQ(GetEnvVar(name, false), GetEnv("windir") + "\\b");

  ASSERT_TRUE(SetEnvVar(name, "", false));
  EXPECT_FALSE(RegValueExists(key, name));
  EXPECT_EQ(GetEnvVar(name, false), "");
}

TEST(EnvTest, ProcessEnvironment) {
  vxtest::TestMachine machine;
  std::vector<std::string> list = {"stale"};
  GetEnvironmentList(list);
  ASSERT_FALSE(list.empty());
  bool sawWindir = false;
  for (const std::string& e : list) {
    EXPECT_NE(e, "stale");
    if (StartsWithText(e, "windir=")) sawWindir = e.substr(7) == GetEnv("windir");
  }
  EXPECT_TRUE(sawWindir);
  EXPECT_EQ(GetEnv("VX_SURELY_NOT_SET_ANYWHERE"), "");
}

TEST(FoldersTest, TempSystemAndSpecialFolders) {
  vxtest::TestMachine machine;
  std::string temp = GetTempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_NE(GetWindowsFolder().back(), '\\');
  EXPECT_TRUE(FolderExists(GetSystemFolder()));
  for (int i = 0; i <= 13; ++i) EXPECT_FALSE(GetSpecialFolder(i).empty()) << i;
  EXPECT_EQ(GetSpecialFolder(14), "");
  EXPECT_EQ(GetSpecialFolder(-1), "");
}

TEST(ProgramTest, RunAndWaitGivesExitCodes) {
  vxtest::TestMachine machine;
  std::string cmd = GetSystemFolder() + "\\cmd.exe";
  ASSERT_TRUE(FileExists(cmd));
  EXPECT_EQ(RunAndWait(0, cmd, "/c exit 3", kSwHide, ""), 3);
  EXPECT_EQ(RunAndWait(0, "\"" + cmd + "\"", "/c exit 0", kSwHide, machine.Scratch()), 0);
  EXPECT_EQ(RunAndWait(0, machine.Scratch() + "missing.exe", "", kSwHide, ""), -1);
  if (machine.IsSandbox()) {
    // No program is associated with .txt on a fresh machine.
    ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "readme.txt", "x"));
    EXPECT_EQ(RunAndWait(0, machine.Scratch() + "readme.txt", "", kSwShowNormal, ""), -1);
  }
}

TEST(WindowTest, SearchWithoutMatch) {
  vxtest::TestMachine machine;
  EXPECT_EQ(FindWindowByTitle("*no window is titled like this 8d1f*"), 0u);
  PumpMessages();  // returns with an empty queue
}

TEST(SecurityTest, AdministratorCheckAnswers) {
  vxtest::TestMachine machine;
  EXPECT_NO_THROW(IsAdministrator());
  if (machine.IsSandbox()) {
    EXPECT_TRUE(IsAdministrator());
  }
}

}  // namespace
