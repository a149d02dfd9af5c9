// One installation holding every kind of item the install driver knows --
// files, registry values of each type and a removal, INI entries in a new
// and in an existing file, a PATH addition and user and system variables,
// shortcuts in a new program-menu folder, a COM server, a font, programs
// before and after the installation -- built by vxbuild and run silently
// by the engine's own run flow on a sandbox machine. What it leaves behind
// is checked item by item; a failure at any of its changes, a program
// whose exit code is checked and a registry write the user may not make
// must each give the machine back byte for byte.
//
// The sandbox machine is told what the server writes when it registers
// ([Servers] of machine.ini) and what the programs do ([Programs]). On
// Windows the same project, with a real server, font and program, is
// installed by InstallEverythingWindowsTest.cpp.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/Main.h"
#include "install/Install.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using vxtest::ReadNative;

const char kRoot[] = "C:\\scratch\\root";
const char kProduct[] = "C:\\scratch\\root\\Product";
const char kUserKey[] = "HKCU\\Software\\VXEverythingTest";
const char kMachineKey[] = "HKLM\\SOFTWARE\\VXEverythingTest";
const char kLegacyKey[] = "HKCU\\Software\\VXEverythingTest\\Legacy";
const char kClsidKey[] = "HKCU\\Software\\Classes\\CLSID\\{5F0E2D41-7A3B-4C9E-8D12-6B7A8C9D0E1F}";
const char kFontsKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
const char kUserEnv[] = "HKCU\\Environment";
const char kSystemEnv[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
// The system PATH of a fresh machine, as stored.
const std::string kSystemPath = "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem";
const char kUninstallKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VXEverythingTest";

using vxtest::HostPath;

using vxtest::Read;

std::string ProjectFile(const std::string& relative) { return ReadNative(std::string(VX_TEST_PROJECT) + "/" + relative); }

bool AppendNative(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// Registry data shown exactly: printable bytes as they are, others as \xHH.
std::string Shown(const std::string& data) {
  std::string s;
  for (unsigned char c : data) s += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, char(c)) : vx::Format("\\x%02x", c);
  return s;
}

// The keys below `prefix` of a snapshot with their values, one line each.
std::string Export(const vxtest::MachineSnapshot& snapshot, const std::string& prefix) {
  std::string text;
  for (const auto& [id, key] : snapshot.keys) {
    if (!vx::StartsWithText(key.path, prefix)) continue;
    text += "[" + key.path + "]\n";
    for (const auto& [upper, value] : key.values)
      text += "'" + value.name + "' " + vxtest::RegTypeName(value.type) + " \"" + Shown(value.data) + "\"\n";
  }
  return text;
}

// A sandbox machine of its own: a copy of the prepared machine, current
// while the object lives.
class MachineCopy {
 public:
  MachineCopy(const std::string& from, const std::string& to, const std::string& machineIniLines = "") : root_(to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
    if (!machineIniLines.empty()) AppendNative(to + "/machine.ini", "\r\n" + machineIniLines + "\r\n");
    host_ = std::make_unique<vx::SandboxHost>(to);
    scope_ = std::make_unique<vx::ScopedHost>(*host_);
  }
  ~MachineCopy() {
    vx::IniFlush();
    scope_.reset();
    host_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  vx::SandboxHost& Host() { return *host_; }

 private:
  std::string root_;
  std::unique_ptr<vx::SandboxHost> host_;
  std::unique_ptr<vx::ScopedHost> scope_;
};

class InstallEverything : public ::testing::Test {
 protected:
  void SetUp() override {
    setup = HostPath(VX_TEST_SETUP);
    programLog = dir.Path() + "/programs.txt";
    // What the machine holds before: a tool the first program is, an INI
    // file the product adds to, an older product's value that the
    // installation removes, the description of the server and the
    // parents of the keys it writes, which are the system's.
    ASSERT_TRUE(vx::ForceFolders(std::string(kRoot) + "\\tools"));
    ASSERT_TRUE(vx::WriteWholeFile(std::string(kRoot) + "\\tools\\prepare.exe", "#!"));
    ASSERT_TRUE(vx::WriteWholeFile(std::string(kRoot) + "\\existing.ini", kExistingIni));
    ASSERT_TRUE(vx::RegWriteString(kLegacyKey, "Old", "old"));
    ASSERT_TRUE(vx::RegWriteString(kLegacyKey, "Kept", "kept"));
    ASSERT_TRUE(vx::RegWriteString("HKCU\\Software\\Classes\\CLSID", "", "system"));
    std::string clsid = std::string("HKEY_CURRENT_USER") + (kClsidKey + 4);
    ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\server.reg",
                                   "REGEDIT4\r\n\r\n[" + clsid + "]\r\n@=\"VX everything server\"\r\n\r\n[" + clsid +
                                       "\\InprocServer32]\r\n@=\"C:\\\\scratch\\\\root\\\\Product\\\\server.dll\"\r\n\"ThreadingModel\"=\"Both\"\r\n"));
    vx::IniFlush();
    ASSERT_TRUE(AppendNative(machine.Root() + "/machine.ini",
                             "\r\n[Servers]\r\nserver.dll=C:\\scratch\\server.reg\r\n"
                             "[Programs]\r\napp.exe=[ -n \"$3\" ] && echo \"$3\" >> \"$2\"; case \"$1\" in [0-9]*) exit $1;; esac\r\n"
                             "prepare.exe=echo \"$3\" >> \"$2\"\r\n"));
    templateRoot = machine.Root();
    before = SnapshotOf(templateRoot);
  }
  void TearDown() override { SetEnv(""); }

  static void SetEnv(const std::string& script) {
    if (script.empty()) ::unsetenv("VX_TEST_PLUGIN_SCRIPT");
    else ::setenv("VX_TEST_PLUGIN_SCRIPT", script.c_str(), 1);
  }

  // The whole machine in the folder `root`, less the engine's own
  // temporary folders.
  vxtest::MachineSnapshot SnapshotOf(const std::string& root) {
    MachineCopy copy(root, root + "-snap");
    return Snapshot(copy.Host());
  }
  static vxtest::MachineSnapshot Snapshot(vx::Host& host) {
    vxtest::SnapshotOptions o;
    o.ignore.push_back(vxtest::TempFolderPrefix(host));
    return vxtest::MachineSnapshot::Take(host, o);
  }

  // A fresh copy of the prepared machine for one run.
  std::unique_ptr<MachineCopy> FreshMachine(const std::string& machineIniLines = "") {
    return std::make_unique<MachineCopy>(templateRoot, vx::Format("%s-run%d", templateRoot.c_str(), ++runs),
                                         machineIniLines);
  }

  // One silent run of the setup file on the current machine.
  int Install(std::vector<std::string> extra = {}, int failAt = 0) {
    std::vector<std::string> params = {"/exename:" + setup, std::string("/var:TestRoot=") + kRoot,
                                       "/var:ProgramLog=" + programLog, "/suppressmsgboxes",
                                       "/log:" + dir.Path() + "/run.log"};
    params.insert(params.end(), extra.begin(), extra.end());
    SetEnv(dir.Path() + "/none.script");
    std::remove(programLog.c_str());
    vx::CommandLine commandLine(params);
    vx::UnattendedAnswers answers;
    std::string error;
    EXPECT_TRUE(vx::ConfigureUnattended(commandLine, answers, error)) << error;
    int code = vx::RunEngine(commandLine, answers, [failAt](vx::RunInstaller& installer) {
      installer.FailAtAction(failAt);
    });
    vx::CloseRunLog();
    vx::IniFlush();
    runLog = ReadNative(dir.Path() + "/run.log");
    return code;
  }

  static constexpr char kExistingIni[] = "; kept as written\r\n[Old]\r\nA=1\r\n\r\n[Other]\r\nx = y\r\n";

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string setup, programLog, templateRoot, runLog;
  vxtest::MachineSnapshot before;
  int runs = 0;
};

TEST_F(InstallEverything, SilentInstallPutsEveryKindOfItemInPlace) {
  auto m = FreshMachine();
  vx::SandboxHost& h = m->Host();
  ASSERT_EQ(Install(), 0) << runLog;
  vxtest::MachineSnapshot after = Snapshot(h);
  const std::string p = std::string(kProduct) + "\\";
  const std::string fonts = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlFonts));
  const std::string menu = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlPrograms)) + "Everything Test\\";

  // Files.
  EXPECT_EQ(Read(p + "app.exe"), ProjectFile("src/bin/app.exe"));
  EXPECT_EQ(Read(p + "server.dll"), ProjectFile("src/bin/server.dll"));
  EXPECT_EQ(Read(p + "readme.txt"), ProjectFile("src/docs/readme.txt"));

  // Registry values of every type; the older product's value is removed,
  // its other value stays.
  EXPECT_EQ(Export(after, kUserKey),
            "[HKCU\\Software\\VXEverythingTest]\n"
            "'Count' REG_DWORD \"*\\x00\\x00\\x00\"\n"
            "'Name' REG_SZ \"Everything Test\\x00\"\n"
            "[HKCU\\Software\\VXEverythingTest\\Data]\n"
            "'Blob' REG_BINARY \"\\x00\\x01\\xfe\\xff\"\n"
            "'Lines' REG_MULTI_SZ \"one\\x002.1\\x00\\x00\"\n"
            "[HKCU\\Software\\VXEverythingTest\\Legacy]\n"
            "'Kept' REG_SZ \"kept\\x00\"\n");
  EXPECT_EQ(Export(after, kMachineKey),
            "[HKLM\\SOFTWARE\\VXEverythingTest]\n'Path' REG_SZ \"C:\\x5cscratch\\x5croot\\x5cProduct\\x00\"\n");

  // INI entries: a new file, and an existing one rewritten with them (a
  // rewritten file holds sections and name=value lines only).
  EXPECT_EQ(Read(p + "settings.ini"), "[Main]\r\nFolder=" + std::string(kProduct) + "\r\nVersion=2.1\r\n\r\n");
  EXPECT_EQ(Read(std::string(kRoot) + "\\existing.ini"),
            "[Old]\r\nA=1\r\nB=2\r\n\r\n[Other]\r\nx=y\r\n\r\n[New]\r\nC=three\r\n\r\n");

  // Environment: the system PATH extended, a user and a system variable;
  // the windows are told.
  // The entries are added to the PATH as stored: its references stay.
  uint32_t type = 0;
  std::string raw;
  ASSERT_TRUE(vx::RegReadRaw(kSystemEnv, "Path", type, raw));
  EXPECT_EQ(type, vx::kRegExpandSz);
  EXPECT_EQ(raw, kSystemPath + (";" + p + "bin;" + kProduct) + std::string(1, '\0'));
  EXPECT_EQ(vx::RegReadText(kSystemEnv, "VXALL_SYSTEM", "?"), "system 2.1");
  EXPECT_EQ(vx::RegReadText(kUserEnv, "VXALL_USER", "?"), p + "user");
  EXPECT_EQ(vx::RegReadText(kUserEnv, "VXALL_SYSTEM", "(none)"), "(none)");
  EXPECT_EQ(h.Broadcasts(), (Strings{"WM_FONTCHANGE", "WM_SETTINGCHANGE Environment"}));

  // Shortcuts in a new folder of the program menu.
  ASSERT_TRUE(h.InitializeCom());
  vx::ShellLinkData link;
  ASSERT_TRUE(h.LoadShellLink(menu + "Everything.lnk", link));
  EXPECT_EQ(link.target, p + "app.exe");  // stored without its quotes
  EXPECT_EQ(link.arguments, "/run \"quoted\"");
  EXPECT_EQ(link.workingFolder, kProduct);
  EXPECT_EQ(link.description, "Starts everything");
  EXPECT_EQ(link.iconFile, p + "app.exe");
  EXPECT_EQ(link.iconIndex, 1);
  EXPECT_EQ(link.hotkey, 0x645);
  EXPECT_EQ(link.showCmd, 3);
  ASSERT_TRUE(h.LoadShellLink(menu + "Read me.lnk", link));
  EXPECT_EQ(link.target, p + "readme.txt");
  EXPECT_EQ(link.arguments, "");
  EXPECT_EQ(link.showCmd, vx::kSwShowMinNoActive);
  h.UninitializeCom();

  // The server registered as the machine describes it.
  EXPECT_EQ(Export(after, kClsidKey),
            std::string("[") + kClsidKey + "]\n'' REG_SZ \"VX everything server\\x00\"\n[" + kClsidKey +
                "\\InprocServer32]\n'' REG_SZ \"C:\\x5cscratch\\x5croot\\x5cProduct\\x5cserver.dll\\x00\"\n"
                "'ThreadingModel' REG_SZ \"Both\\x00\"\n");

  // The font: its file, its value under its full name, loaded.
  EXPECT_EQ(Read(fonts + "VxAll.ttf"), ProjectFile("src/fonts/VxAll.ttf"));
  EXPECT_EQ(vx::RegReadText(kFontsKey, "VX Everything (TrueType)", "?"), "VxAll.ttf");
  EXPECT_EQ(h.LoadedFonts(), Strings{fonts + "VxAll.ttf"});

  // The programs ran before and after the installation, the failing one
  // not at all (its condition is off).
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");

  // The uninstall log has a section for each kind.
  std::string log = Read(p + "install.log");
  auto section = [&](const std::string& name) {
    size_t at = log.find("[" + name + "]\r\n");
    if (at == std::string::npos) return std::string("<none>");
    size_t end = log.find("\r\n\r\n", at);
    return log.substr(at, end == std::string::npos ? std::string::npos : end + 2 - at);
  };
  // A file that was there before (the existing INI file) is not the
  // product's to delete at uninstall; the font carries its own records.
  EXPECT_EQ(section("CopyFiles"), "[CopyFiles]\r\n" + p + "app.exe=\r\n" + p + "server.dll=\r\n" + p +
                                      "readme.txt=\r\n" + p + "settings.ini=\r\n" + fonts + "VxAll.ttf=\r\n");
  EXPECT_EQ(section("RegServers"), "[RegServers]\r\n" + p + "server.dll=\r\n");
  EXPECT_EQ(section("RegFonts"), "[RegFonts]\r\nVX Everything (TrueType)=" + fonts + "VxAll.ttf\r\n");
  EXPECT_EQ(section("AddReg"), "[AddReg]\r\n"
                               "HKCU\\Software\\VXEverythingTest\\'Name'=\r\n"
                               "HKCU\\Software\\VXEverythingTest\\'Count'=\r\n"
                               "HKCU\\Software\\VXEverythingTest\\Data\\'Blob'=\r\n"
                               "HKCU\\Software\\VXEverythingTest\\Data\\'Lines'=\r\n"
                               "HKLM\\SOFTWARE\\VXEverythingTest\\'Path'=\r\n");
  EXPECT_EQ(section("AddIni"), "[AddIni]\r\n"
                               "'" + p + "settings.ini','Main','Folder'=\r\n"
                               "'" + p + "settings.ini','Main','Version'=\r\n"
                               "'" + std::string(kRoot) + "\\existing.ini','Old','B'=\r\n"
                               "'" + std::string(kRoot) + "\\existing.ini','New','C'=\r\n");
  EXPECT_EQ(section("Shortcuts"), "[Shortcuts]\r\n" + menu + "Everything.lnk=\r\n" + menu + "Read me.lnk=\r\n");
  EXPECT_EQ(section("EnvVars"), "[EnvVars]\r\nPATH=1," + p + "bin;" + kProduct + "\r\nVXALL_USER=0,\r\nVXALL_SYSTEM=1,\r\n");
  EXPECT_EQ(section("PreRunApp"), "[PreRunApp]\r\n0='" + p + "app.exe','/cleanup','',0,'',1,0\r\n");
  EXPECT_EQ(section("RunApp"), "<none>");
  EXPECT_EQ(section("CreateDirs"), "[CreateDirs]\r\n" + std::string(kProduct) + "=\r\n" +
                                       vx::ExcludeTrailingBackslash(menu) + "=\r\n");
  // The older product's key was there: only the keys made are recorded.
  EXPECT_EQ(section("CreateKeys"), std::string("[CreateKeys]\r\n") + kUninstallKey + "=\r\n"
                                       "HKCU\\Software\\VXEverythingTest\\Data=\r\nHKLM\\SOFTWARE\\VXEverythingTest=\r\n");
  EXPECT_EQ(vx::RegReadText(kUninstallKey, "DisplayName", "?"), "Everything Test");
}

// What a failed run may leave different, by design: a removal is never
// recorded, so rollback does not bring the removed value back.
const char kRemoval[] = "- value HKCU\\Software\\VXEverythingTest\\Legacy\\'Old' REG_SZ \"old\"\n";

TEST_F(InstallEverything, RollbackAfterAFailureAtAnyChangeGivesTheMachineBack) {
  auto start = std::chrono::steady_clock::now();
  int n = 1, firstRemoved = 0;
  for (; n < 300; ++n) {
    SCOPED_TRACE(vx::Format("failure at change %d", n));
    auto m = FreshMachine();
    int code = Install({}, n);
    if (code == 0) break;
    EXPECT_EQ(code, -1) << runLog;
    ASSERT_NE(runLog.find(vx::Format("failure injected at change %d", n)), std::string::npos) << runLog;
    std::string diff = vxtest::Diff(before, Snapshot(m->Host()));
    // Once the run has passed the removal, every later failure leaves it.
    if (!firstRemoved && diff == kRemoval) firstRemoved = n;
    EXPECT_EQ(diff, firstRemoved ? kRemoval : "") << runLog;
  }
  int changes = n - 1;
  // Files, folders, keys, values, INI files and entries, shortcuts, the
  // server, the font, variables, the uninstall log and silent settings.
  EXPECT_GE(changes, 30);
  EXPECT_GT(firstRemoved, 1);
  EXPECT_LT(firstRemoved, changes);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("%d recorded changes, each failed once and rolled back in %lld ms\n", changes,
              (long long)took.count());
}

TEST_F(InstallEverything, AFailingProgramWhoseExitCodeIsCheckedRollsEverythingBack) {
  auto m = FreshMachine();
  EXPECT_EQ(Install({"/var:FailProgram=1"}), -1) << runLog;
  EXPECT_NE(runLog.find("ended with the exit code 3."), std::string::npos) << runLog;
  // It ran last: every other kind of item was in place and is undone.
  EXPECT_EQ(ReadNative(programLog), "before\nafter\nfailing\n");
  EXPECT_EQ(vxtest::Diff(before, Snapshot(m->Host())), kRemoval) << runLog;
}

TEST_F(InstallEverything, AMachineKeyRefusedToAUserWithoutRightsEndsWithAMessageAndRollsBack) {
  auto m = FreshMachine("[Machine]\r\nAdministrator=0");
  vxtest::MachineSnapshot mine = Snapshot(m->Host());
  EXPECT_EQ(Install(), -1) << runLog;
  EXPECT_NE(runLog.find("Error changing registry data."), std::string::npos) << runLog;
  // The server and the user's values before it were in place, then undone.
  EXPECT_NE(runLog.find("Product\\\\server.dll\": done"), std::string::npos) << runLog;
  EXPECT_NE(runLog.find("install: server removal"), std::string::npos) << runLog;
  EXPECT_EQ(ReadNative(programLog), "before\n");
  EXPECT_EQ(vxtest::Diff(mine, Snapshot(m->Host())), kRemoval) << runLog;
}

}  // namespace

#endif  // !_WIN32
