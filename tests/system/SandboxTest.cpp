// The sandbox machine itself: hives, share modes, in-use files, changes at
// restart, 9x behaviour and machine facts. Native only.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"

using namespace vx;
namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Append(const std::string& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out << text;
}

// A fresh machine of `kind` with extra machine.ini lines, current while it lives.
class Machine {
 public:
  explicit Machine(const char* kind = "xp", const std::string& extraFacts = "") {
    MachineKind k;
    SandboxHost::ParseMachineKind(kind, k);
    SandboxHost::InitMachine(dir_.Path(), k);
    Append(dir_.Path() + "/machine.ini", extraFacts);
    host_ = std::make_unique<SandboxHost>(dir_.Path());
    scope_ = std::make_unique<ScopedHost>(*host_);
  }
  SandboxHost& Host() { return *host_; }
  std::string Root() { return dir_.Path(); }
  // Opens the same machine again, as a second process would.
  void Reopen() {
    scope_.reset();
    host_ = std::make_unique<SandboxHost>(dir_.Path());
    scope_ = std::make_unique<ScopedHost>(*host_);
  }

 private:
  vxtest::TempDir dir_;
  std::unique_ptr<SandboxHost> host_;
  std::unique_ptr<ScopedHost> scope_;
};

TEST(SandboxHiveTest, EveryValueTypeSurvivesSaveAndLoad) {
  Machine m;
  const std::string key = "HKLM\\Software\\Types";
  RegKey k = 0;
  ASSERT_EQ(m.Host().CreateRegKey(kHKeyLocalMachine, "Software\\Types", k), kErrorSuccess);
  std::vector<RegValueEntry> values = {
      {"plain", kRegSz, std::string("text \"quoted\" \\ back") + '\0'},
      {"", kRegSz, std::string("default\0", 8)},
      {"inner zero", kRegSz, std::string("a\0b\0", 4)},
      {"no zero", kRegSz, "abc"},
      {"lines", kRegSz, std::string("a\r\nb\0", 5)},
      {"empty", kRegSz, ""},
      {"expand", kRegExpandSz, std::string("%windir%\0", 9)},
      {"binary", kRegBinary, std::string(200, '\xAB')},
      {"dword", kRegDword, std::string("\x01\x02\x03\x04", 4)},
      {"short dword", kRegDword, std::string("\x01\x02", 2)},
      {"big endian", kRegDwordBigEndian, std::string("\0\0\0\x05", 4)},
      {"multi", kRegMultiSz, std::string("x\0y\0\0", 5)},
      {"none", kRegNone, ""},
      {"qword", 11, std::string("\x01\0\0\0\0\0\0\x80", 8)},
      {"Name \"with\" quotes\\", kRegSz, std::string("v\0", 2)},
  };
  for (const auto& v : values) ASSERT_EQ(m.Host().SetRegValue(k, v.name, v.type, v.data), kErrorSuccess) << v.name;
  ASSERT_EQ(m.Host().CreateRegKey(kHKeyLocalMachine, "Software\\Types\\Empty Sub", k), kErrorSuccess);

  std::string text = Slurp(m.Root() + "/HKLM.reg");
  EXPECT_EQ(text.substr(0, 10), "REGEDIT4\r\n");
  EXPECT_NE(text.find("\"plain\"=\"text \\\"quoted\\\" \\\\ back\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"dword\"=dword:04030201\r\n"), std::string::npos);
  EXPECT_NE(text.find("\\\r\n  ab,"), std::string::npos);  // long data continues on the next line
  for (const auto& e : fs::directory_iterator(m.Root()))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();

  m.Reopen();
  for (const auto& v : values) {
    uint32_t type = 99;
    std::string data;
    ASSERT_TRUE(RegReadRaw(key, v.name, type, data)) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    EXPECT_EQ(data, v.data) << v.name;
  }
  EXPECT_TRUE(RegKeyExists(key + "\\empty sub"));
  EXPECT_EQ(RegReadText(key, "plain", ""), "text \"quoted\" \\ back");
}

TEST(SandboxHiveTest, DamagedFilesLoadWhatIsReadable) {
  vxtest::TempDir dir;
  SandboxHost::InitMachine(dir.Path(), MachineKind::XP);
  std::ofstream(dir.Path() + "/HKCU.reg", std::ios::binary)
      << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Good]\r\n\"a\"=\"1\"\r\n\"b\"=dword:zz\r\n\"c\"=hex:0g,01\r\n"
         "\"d\"=hex(2):41,00\r\n\"unterminated=\"x\r\ngarbage line\r\n[HKEY_LOCAL_MACHINE\\Wrong]\r\n\"x\"=\"1\"\r\n"
         "[HKEY_CURRENT_USER\\Broken\r\n\"e\"=\"lost\"\r\n[-HKEY_CURRENT_USER\\Good]\r\n"
         "[HKEY_CURRENT_USER\\Good]\r\n\"f\"=hex:01,\\\r\n  02\r\n\"g\"=hex:";
  SandboxHost host(dir.Path());
  ScopedHost scope(host);
  EXPECT_EQ(RegReadText("HKCU\\Good", "a", "?"), "1");
  EXPECT_FALSE(RegValueExists("HKCU\\Good", "b"));
  EXPECT_FALSE(RegValueExists("HKCU\\Good", "c"));
  EXPECT_EQ(RegGetValueType("HKCU\\Good", "d"), kRegExpandSz);
  EXPECT_EQ(RegReadText("HKCU\\Good", "f", "?"), "0102");
  EXPECT_EQ(RegGetValueSize("HKCU\\Good", "g"), 0u);
  EXPECT_TRUE(RegValueExists("HKCU\\Good", "g"));
  EXPECT_FALSE(RegKeyExists("HKCU\\Wrong"));
  EXPECT_FALSE(RegKeyExists("HKCU\\Broken"));
  // The machine keeps working and saves a clean file.
  EXPECT_TRUE(RegWriteString("HKCU\\Good", "new", "v"));
  EXPECT_EQ(Slurp(dir.Path() + "/HKCU.reg").find("garbage"), std::string::npos);
}

TEST(SandboxFileTest, ShareModesBetweenHandles) {
  Machine m;
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\f.txt", "data"));
  {
    auto writer = h.OpenFile("C:\\f.txt", FileAccess::ReadWrite, FileCreate::OpenExisting, kShareRead);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(h.OpenFile("C:\\F.TXT", FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite));
    EXPECT_FALSE(h.OpenFile("C:\\f.txt", FileAccess::Read, FileCreate::OpenExisting, kShareRead));
    EXPECT_EQ(h.LastError(), kErrorSharingViolation);
    EXPECT_FALSE(h.OpenFile("C:\\f.txt", FileAccess::Write, FileCreate::OpenExisting, kShareRead | kShareWrite));
    EXPECT_FALSE(h.RemoveFile("C:\\f.txt"));
    EXPECT_FALSE(h.RenameFile("C:\\f.txt", "C:\\g.txt"));
  }
  {
    auto reader = h.OpenFile("C:\\f.txt", FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareDelete);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(h.RenameFile("C:\\f.txt", "C:\\g.txt"));
  }
  EXPECT_TRUE(h.RemoveFile("C:\\g.txt"));
}

TEST(SandboxFileTest, InUseFilesLongPathsAndAttributes) {
  Machine m("xp", "\r\n[InUse]\r\nfile1=C:\\WINDOWS\\system32\\busy.dll\r\n");
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\system32\\busy.dll", "old"));
  EXPECT_FALSE(h.RemoveFile("C:\\windows\\SYSTEM32\\busy.dll"));
  EXPECT_FALSE(WriteWholeFile("C:\\WINDOWS\\system32\\busy.dll", "new"));
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile("C:\\WINDOWS\\system32\\busy.dll", bytes));
  EXPECT_EQ(bytes, "old");

  std::string tooLong = "C:\\" + std::string(300, 'a');
  EXPECT_EQ(h.GetAttributes(tooLong), kInvalidAttributes);
  EXPECT_FALSE(h.OpenFile(tooLong, FileAccess::Write, FileCreate::CreateAlways, 0));
  EXPECT_FALSE(ForceFolders(tooLong + "\\b"));

  ASSERT_TRUE(WriteWholeFile("C:\\ro.txt", "x"));
  ASSERT_TRUE(h.SetAttributes("C:\\ro.txt", kAttrReadOnly | kAttrArchive));
  EXPECT_FALSE(h.RemoveFile("C:\\ro.txt"));
  EXPECT_TRUE(DeleteFileForced("C:\\ro.txt"));
  ASSERT_TRUE(WriteWholeFile("C:\\n.txt", "x"));
  ASSERT_TRUE(h.SetAttributes("C:\\n.txt", kAttrNormal));
  uint32_t a = h.GetAttributes("C:\\n.txt");
  if (a != kAttrArchive) EXPECT_EQ(a, uint32_t(kAttrNormal));  // where the file system keeps attributes
}

TEST(SandboxRebootTest, NTMachineAppliesPendingRenamesThenRunOnce) {
  Machine m("xp");
  ASSERT_TRUE(ForceFolders("C:\\app"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\new.dll", "new"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\cur.dll", "old"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\old.txt", "x"));
  ASSERT_TRUE(WriteWholeFile("C:\\app\\later.txt", "x"));
  ASSERT_TRUE(MoveFileAtReboot("C:\\app\\new.dll", "C:\\app\\cur.dll"));
  ASSERT_TRUE(DeleteFileAtReboot("C:\\app\\old.txt"));
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
  EXPECT_EQ(report.size(), 4u);
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
  m.Host().Reboot(report);
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

TEST(SandboxProfileTest, ProfileFunctions) {
  Machine m;
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\p.ini", "[S]\r\n  key = \"quoted value\" \r\nother=1\r\n[T]\r\nx=y\r\n"));
  EXPECT_EQ(h.ProfileRead("p.ini", "s", "KEY", "d", 1024), "quoted value");
  EXPECT_EQ(h.ProfileRead("p.ini", "s", "missing", "d  ", 1024), "d");
  EXPECT_EQ(h.ProfileRead("p.ini", std::nullopt, std::nullopt, "", 1024), std::string("S\0T\0", 4));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "S", "new", "v"));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "T", std::nullopt, std::nullopt));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "S", "other", std::nullopt));
  std::string text;
  ASSERT_TRUE(ReadWholeFile("C:\\WINDOWS\\p.ini", text));
  EXPECT_EQ(text, "[S]\r\n  key = \"quoted value\" \r\nnew=v\r\n");
}

}  // namespace
#endif
