// The sandbox machine's facts: a fresh machine of every kind, the 9x
// family, rights and free space, and the restart that applies the changes
// waiting for it.
#include <gtest/gtest.h>

#include <algorithm>

#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "SandboxFixture.h"

using namespace vx;
using vxtest::Machine;
using vxtest::Slurp;
using vxtest::Append;
namespace fs = std::filesystem;

namespace {

TEST(SandboxRebootTest, NTMachineAppliesPendingRenamesThenRunOnce) {
  Machine m("xp");
  ASSERT_TRUE(ForceFolders("C:\\app"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\new.dll", "new"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\cur.dll", "old"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\old.txt", "x"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\later.txt", "x"));
  ASSERT_TRUE(MoveFileAtReboot("C:\\app\\new.dll", "C:\\app\\cur.dll"));
  ASSERT_TRUE(DeleteFileAtReboot("C:\\app\\old.txt"));
  // A pending delete of a file that is gone by the restart is simply done.
  ASSERT_TRUE(WriteWholeFile("C:\\app\\gone.txt", "x"));
  ASSERT_TRUE(DeleteFileAtReboot("C:\\app\\gone.txt"));
  ASSERT_TRUE(m.Host().RemoveFile("C:\\app\\gone.txt"));
  ASSERT_TRUE(RegWriteString("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "cleanup",
                             "cmd.exe /c del C:\\app\\later.txt"));
  ASSERT_TRUE(RestartWindows(false));
  EXPECT_TRUE(m.Host().RestartRequested());
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile("C:\\app\\cur.dll", bytes));
  EXPECT_EQ(bytes, "old");  // nothing happens before the restart

  std::vector<std::string> report;
  EXPECT_TRUE(m.Host().Reboot(report));
  ASSERT_TRUE(ReadWholeFile("C:\\app\\cur.dll", bytes));
  EXPECT_EQ(bytes, "new");
  EXPECT_FALSE(FileExists("C:\\app\\new.dll"));
  EXPECT_FALSE(FileExists("C:\\app\\old.txt"));
  EXPECT_FALSE(FileExists("C:\\app\\later.txt"));
  EXPECT_FALSE(RegValueExists("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                              "PendingFileRenameOperations"));
  EXPECT_FALSE(RegValueExists("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "cleanup"));
  EXPECT_FALSE(m.Host().RestartRequested());
  EXPECT_EQ(report.size(), 5u);
  EXPECT_NE(std::find(report.begin(), report.end(), "delete C:\\app\\gone.txt: done"), report.end());
}

TEST(SandboxRebootTest, Win9xMachineUsesWininitAndRestoresLongNames) {
  Machine m("98");
  ASSERT_TRUE(ForceFolders("C:\\Program Files\\My App"));
  ASSERT_TRUE(WriteWholeFile("C:\\Program Files\\My App\\Library Name.dll", "old"));
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\TEMP\\new.dll", "new"));
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\wininit.ini", "[Rename]\r\nNUL=C:\\OLD.TXT\r\n\r\n[Other]\r\nk=v\r\n"));
  ASSERT_TRUE(MoveFileAtReboot("C:\\WINDOWS\\TEMP\\new.dll", "C:\\Program Files\\My App\\Library Name.dll"));
  std::string wininit;
  ASSERT_TRUE(ReadWholeFile("C:\\WINDOWS\\wininit.ini", wininit));
  EXPECT_EQ(wininit,
            "[Rename]\r\nNUL=C:\\OLD.TXT\r\nNUL=C:\\PROGRA~1\\MYAPP~1\\LIBRAR~1.DLL\r\n"
            "C:\\PROGRA~1\\MYAPP~1\\LIBRAR~1.DLL=C:\\WINDOWS\\TEMP\\new.dll\r\n\r\n[Other]\r\nk=v\r\n");
  EXPECT_FALSE(FileExists("C:\\WINDOWS\\wininit.bak"));
  const std::string runOnce = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  EXPECT_EQ(RegReadText(runOnce, "Rename C:\\PROGRA~1\\MYAPP~1\\LIBRAR~1.DLL", ""),
            "command.com /c ren C:\\PROGRA~1\\MYAPP~1\\LIBRAR~1.DLL \"Library Name.dll\"");

  // A file that does not exist yet gets its short name all the same.
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\TEMP\\b.dll", "b"));
  ASSERT_TRUE(MoveFileAtReboot("C:\\WINDOWS\\TEMP\\b.dll", "C:\\Program Files\\My App\\Brand New.dll"));
  EXPECT_FALSE(FileExists("C:\\Program Files\\My App\\Brand New.dll"));

  std::vector<std::string> report;
  EXPECT_TRUE(m.Host().Reboot(report)) << "C:\\OLD.TXT is gone: its delete is done";
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile("C:\\Program Files\\My App\\Library Name.dll", bytes));
  EXPECT_EQ(bytes, "new");
  ASSERT_TRUE(ReadWholeFile("C:\\Program Files\\My App\\Brand New.dll", bytes));
  EXPECT_EQ(bytes, "b");
  EXPECT_FALSE(FileExists("C:\\WINDOWS\\wininit.ini"));
  EXPECT_FALSE(RegKeyExists(runOnce) && RegValueExists(runOnce, "Rename C:\\PROGRA~1\\MYAPP~1\\LIBRAR~1.DLL"));
}

// What a new installation of each system leaves in the registry agrees
// with the machine's own facts: its version, its folders, its environment.

// What a new installation of each system leaves in the registry agrees
// with the machine's own facts: its version, its folders, its environment.
TEST(FreshMachineTest, RegistryAgreesWithTheMachinesFacts) {
  for (const char* kind : {"xp", "2000", "nt4", "98", "95", "me"}) {
    SCOPED_TRACE(kind);
    Machine m(kind);
    Host& h = m.Host();
    const std::string cv = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    EXPECT_EQ(RegReadText(cv + "\\Setup", "BootDir", ""), "C:\\");
    EXPECT_EQ(RegReadText(cv, "ProgramFilesDir", ""), h.ShellFolderPath(kCsidlProgramFiles));
    EXPECT_EQ(RegReadText(cv, "CommonFilesDir", ""), h.ShellFolderPath(kCsidlProgramFilesCommon));
    EXPECT_TRUE(FolderExists(RegReadText(cv, "ProgramFilesDir", "")));
    for (const char* key : {"SharedDLLs", "Uninstall", "Run", "RunOnce", "App Paths"})
      EXPECT_TRUE(RegKeyExists(cv + "\\" + key)) << key;
    for (const char* key : {"Run", "RunOnce"})
      EXPECT_TRUE(RegKeyExists("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\" + std::string(key))) << key;

    // Explorer's folder keys name the folders the shell reports.
    const std::string shell = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::pair<const char*, int> userFolders[] = {
        {"Desktop", kCsidlDesktopDirectory}, {"Programs", kCsidlPrograms}, {"Personal", kCsidlPersonal},
        {"Start Menu", kCsidlStartMenu},     {"Startup", kCsidlStartup},   {"AppData", kCsidlAppData},
        {"Fonts", kCsidlFonts},              {"SendTo", kCsidlSendTo},     {"Templates", kCsidlTemplates}};
    for (const auto& [name, csidl] : userFolders) {
      EXPECT_EQ(RegReadText(shell, name, ""), h.ShellFolderPath(csidl)) << name;
      EXPECT_TRUE(FolderExists(h.ShellFolderPath(csidl))) << name;
    }

    VersionFacts v = h.Version();
    if (v.platform == kPlatformNT) {
      const std::string nt = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
      EXPECT_EQ(RegReadText(nt, "CurrentVersion", ""), Format("%u.%u", v.major, v.minor));
      EXPECT_EQ(RegReadText(nt, "CurrentBuildNumber", ""), std::to_string(v.build));
      EXPECT_EQ(RegReadText(nt, "CSDVersion", ""), v.servicePack);
      EXPECT_TRUE(SameText(RegReadText(nt, "SystemRoot", ""), h.WindowsFolder()));
      EXPECT_TRUE(RegKeyExists(nt + "\\Fonts"));
      const std::string common = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
      EXPECT_EQ(RegReadText(common, "Common Programs", ""), h.ShellFolderPath(kCsidlCommonPrograms));
      EXPECT_EQ(RegReadText(common, "Common Desktop", ""), h.ShellFolderPath(kCsidlCommonDesktopDirectory));
      // "User Shell Folders" keep references that expand to the same paths.
      std::string expanded;
      ASSERT_TRUE(h.ExpandEnvStrings(
          RegReadText("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                      "Personal", ""),
          expanded));
      EXPECT_EQ(expanded, h.ShellFolderPath(kCsidlPersonal));
      // The environment a program gets is the one the registry keeps.
      EXPECT_EQ(GetEnvVar("TEMP", false), *h.GetEnv("TEMP"));
      EXPECT_TRUE(SameText(GetEnvVar("Path", true), *h.GetEnv("Path")));
      EXPECT_TRUE(SameText(GetEnvVar("ComSpec", true), *h.GetEnv("ComSpec")));
      EXPECT_TRUE(FileExists(*h.GetEnv("ComSpec")));
    } else {
      EXPECT_TRUE(RegKeyExists(cv + "\\Fonts"));
      // "4.00.950" names the version the system reports (4, 0, build 950).
      std::vector<std::string> number = SplitString(RegReadText(cv, "VersionNumber", ""), '.');
      ASSERT_EQ(number.size(), 3u);
      EXPECT_EQ(std::stoul(number[0]), v.major);
      EXPECT_EQ(std::stoul(number[1]), v.minor);
      EXPECT_EQ(std::stoul(number[2]), v.build & 0xFFFF);
      EXPECT_TRUE(FileExists("C:\\autoexec.bat"));
      EXPECT_TRUE(FileExists(*h.GetEnv("COMSPEC")));
    }
    EXPECT_TRUE(FileExists(h.WindowsFolder() + "\\win.ini"));
    EXPECT_TRUE(FolderExists(*h.GetEnv("TEMP")));
  }
}

TEST(SandboxWin9xTest, AutoexecAndCommonFolders) {
  Machine m("98");
  std::string text;
  // A fresh machine has one, setting the PATH its programs see.
  ASSERT_TRUE(ReadWholeFile("C:\\autoexec.bat", text));
  EXPECT_EQ(text, "SET PATH=C:\\WINDOWS;C:\\WINDOWS\\COMMAND\r\n");
  EXPECT_EQ(GetEnvVar("PATH", false), "C:\\WINDOWS;C:\\WINDOWS\\COMMAND");
  ASSERT_TRUE(m.Host().RemoveFile("C:\\autoexec.bat"));
  EXPECT_FALSE(SetEnvVar("PATH", "c:\\bin", false));  // no autoexec.bat: nothing can be added
  ASSERT_TRUE(WriteWholeFile("C:\\autoexec.bat", "set PATH=c:\\dos\r\nSET TEMP=c:\\tmp\r\n"));
  ASSERT_TRUE(SetEnvVar("PATH", "c:\\bin", false));
  ASSERT_TRUE(ReadWholeFile("C:\\AUTOEXEC.BAT", text));
  EXPECT_EQ(text, "SET PATH=c:\\bin\r\nSET TEMP=c:\\tmp\r\n");
  ASSERT_TRUE(SetEnvVar("PATH", "", false));
  ASSERT_TRUE(ReadWholeFile("C:\\autoexec.bat", text));
  EXPECT_EQ(text, "SET TEMP=c:\\tmp\r\n");
  std::vector<FindEntry> entries;
  uint32_t error;
  m.Host().ListFolder("C:\\", "*.bat", entries, error);
  EXPECT_EQ(entries.size(), 1u);  // no new file is left behind

  EXPECT_EQ(GetSpecialFolder(11), GetSpecialFolder(4));
  EXPECT_EQ(GetSpecialFolder(13), GetSpecialFolder(0));
  EXPECT_TRUE(IsAdministrator());
  EXPECT_EQ(GetOSInfo().Description, "Windows 98 4.10.2222");
  EXPECT_FALSE(m.Host().MoveFileWithFlags("C:\\autoexec.bat", "C:\\x.bat", 0));
  EXPECT_EQ(m.Host().LastError(), kErrorCallNotImplemented);
}

TEST(SandboxFactsTest, NonAdministratorTempFallbackWindowsAndFreeSpace) {
  Machine m("xp",
            "\r\n[Machine]\r\nAdministrator=0\r\n[Environment]\r\nTMP=C:\\\r\n[Windows]\r\nw1=Untitled - Notepad\r\n"
            "w2=Setup\r\n[FreeSpace]\r\nC=123456\r\n");
  EXPECT_FALSE(IsAdministrator());
  EXPECT_FALSE(RegWriteString("HKLM\\Software\\X", "a", "b"));
  EXPECT_TRUE(RegWriteString("HKCU\\Software\\X", "a", "b"));
  EXPECT_EQ(GetTempFolder(), "C:\\Temp\\");
  WindowHandle w = FindWindowByTitle("*notepad*");
  ASSERT_NE(w, 0u);
  EXPECT_EQ(m.Host().WindowTitle(w), "Untitled - Notepad");
  EXPECT_EQ(FindWindowByTitle("**pad"), w);
  EXPECT_NE(FindWindowByTitle("S?TUP"), 0u);
  EXPECT_EQ(FindWindowByTitle("Set"), 0u);
  EXPECT_EQ(DiskFreeKB("C:\\WINDOWS"), 123456u);
}

}  // namespace
