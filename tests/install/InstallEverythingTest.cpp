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
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/Main.h"
#include "engine/MainWnd.h"
#include "install/Install.h"
#include "support/EngineRun.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/ResumeProgramName.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
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
                             "[Programs]\r\napp.exe=[ -n \"$3\" ] && echo \"$3\" >> \"$2\"; while [ -e \"$2.$3.hold\" ]; do sleep 0.02; done; case \"$1\" in [0-9]*) exit $1;; esac\r\n"
                             "prepare.exe=echo \"$3\" >> \"$2\"; while [ -e \"$2.$3.hold\" ]; do sleep 0.02; done\r\n"));
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
    std::remove(programLog.c_str());
    return Run(params, failAt);
  }

  // The run a resume entry starts, in this process: the arguments of its
  // command line (three quoted parts, the first the program) and a run log.
  int Resume(const std::string& command, int failAt = 0) {
    Strings parts = vx::SplitString(command, '"'), params;
    for (size_t i = 3; i < parts.size(); i += 2) params.push_back(parts[i]);
    params.push_back("/log:" + dir.Path() + "/run.log");
    return Run(params, failAt);
  }

  int Run(const Strings& params, int failAt) {
    SetEnv(dir.Path() + "/none.script");
    return vxtest::RunEngineInProcess(params, failAt, dir.Path() + "/run.log", runLog);
  }

  static constexpr char kExistingIni[] = "; kept as written\r\n[Old]\r\nA=1\r\n\r\n[Other]\r\nx = y\r\n";

  // The emulated system: Windows 98 for the suites whose name says so, XP
  // otherwise.
  static std::string KindOfTheRunningTest() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test && std::string(test->test_suite_name()).find("Windows98") != std::string::npos ? "98" : "xp";
  }

  vxtest::TestMachine machine{KindOfTheRunningTest()};
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

// Installed, then removed by the uninstaller the setup file carries (the
// native one vxbuild packs), started as "Add or remove programs" starts it.
TEST_F(InstallEverything, UninstallAfterInstallGivesTheMachineBack) {
  auto m = FreshMachine();
  vx::SandboxHost& h = m->Host();
  ASSERT_EQ(Install(), 0) << runLog;
  std::string command = vx::RegReadText(kUninstallKey, "UninstallString", "");
  ASSERT_EQ(command, std::string("\"") + kProduct + "\\Uninstall.exe\" \"" + kProduct + "\\install.log\"");
  std::string log = dir.Path() + "/uninstall.log";
  vx::HandleValue process = h.StartProcess(command + " /s /log:" + log, "", vx::kSwShowNormal, 0);
  ASSERT_TRUE(process);
  h.WaitForProcess(process, 0xFFFFFFFFu);
  uint32_t code = 99;
  h.ProcessExitCode(process, code);
  h.CloseHandle(process);
  EXPECT_EQ(code, 0u) << ReadNative(log);
  // What stays different, by design: the older product's value the
  // installation removed (a removal is never recorded), and the INI file
  // the product added entries to, which keeps the form the INI layer gave
  // it (no comment, no blanks around "=") without those entries.
  EXPECT_EQ(vxtest::Diff(before, Snapshot(h)),
            "~ file " + std::string(kRoot) + "\\existing.ini: content 49 -> 30 bytes, first difference at byte 0\n" +
                kRemoval)
      << ReadNative(log);
  EXPECT_EQ(Read(std::string(kRoot) + "\\existing.ini"), "[Old]\r\nA=1\r\n\r\n[Other]\r\nx=y\r\n\r\n");
  // Once more: the product is gone, with its uninstaller.
  EXPECT_FALSE(vx::RegKeyExists(kUninstallKey));
  EXPECT_EQ(h.StartProcess(command, "", vx::kSwShowNormal, 0), 0u);
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
  // The first machine-wide change is the count of the uninstaller the
  // setup file carries (SharedDLLs is a key of HKLM): the files were in
  // place, then undone.
  EXPECT_NE(runLog.find("Cannot update the count of installations of the shared file \\\"C:\\\\scratch\\\\root\\\\Product\\\\Uninstall.exe"),
            std::string::npos)
      << runLog;
  EXPECT_EQ(ReadNative(programLog), "before\n");
  EXPECT_EQ(vxtest::Diff(mine, Snapshot(m->Host())), "") << runLog;
}

// --- Suspension for a restart and the resumed run ------------------------------------

const char kRunOnceKey[] = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char kOldReadme[] = "the readme of an older version";

// The RunOnce entries of the current machine: name and command line.
std::map<std::string, std::string> RunOnceEntries(vx::Host& h) {
  std::map<std::string, std::string> entries;
  vx::RegKey key = 0;
  if (h.OpenRegKey(vx::kHKeyCurrentUser, std::string(kRunOnceKey).substr(5), false, key) != 0) return entries;
  std::string name;
  for (uint32_t i = 0; h.EnumRegValue(key, i, name) == 0; ++i) entries[name] = vx::RegReadText(kRunOnceKey, name, "");
  h.CloseRegKey(key);
  return entries;
}

// Replaces the machine description's in-use files by none (the programs
// that held them ended with the restart).
void ForgetFilesInUse(const std::string& root) {
  std::string ini = ReadNative(root + "/machine.ini");
  size_t at = ini.find("[InUse]");
  ASSERT_NE(at, std::string::npos);
  std::ofstream(root + "/machine.ini", std::ios::binary | std::ios::trunc) << ini.substr(0, at);
}

class ResumeAfterRestart : public InstallEverything {
 protected:
  // The logon after the restart: the one resume entry is taken from
  // RunOnce (Windows removes it before it starts the command) and the
  // machine restarts. Returns the entry's command, "" when there is not
  // exactly one.
  std::string TakeResumeEntryAndRestart(vx::SandboxHost& h) {
    auto entries = RunOnceEntries(h);
    EXPECT_EQ(entries.size(), 1u);
    if (entries.size() != 1) return "";
    std::string command = entries.begin()->second;
    vx::RegRemoveValue(kRunOnceKey, entries.begin()->first);
    Strings report;
    EXPECT_TRUE(h.Reboot(report)) << report.size();
    return command;
  }

  void SetUp() override {
    InstallEverything::SetUp();
    // The product's readme of an older version is in place on every
    // machine of these tests.
    ASSERT_TRUE(vx::ForceFolders(kProduct));
    ASSERT_TRUE(vx::WriteWholeFile(std::string(kProduct) + "\\readme.txt", kOldReadme));
    vx::IniFlush();
    before = SnapshotOf(templateRoot);
  }

  // The machine after an installation, in a form that two installations at
  // different moments give alike: the shortcuts by what they say (their
  // files hold the times of their targets), everything else as it is.
  struct Outcome {
    vxtest::MachineSnapshot machine;
    std::string links;
  };
  static Outcome OutcomeOf(vx::SandboxHost& h) {
    std::string menu = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlPrograms)) + "Everything Test\\";
    vxtest::SnapshotOptions o;
    // A file in use before the restart is not the installation's doing.
    // Windows 9x keeps the last wininit.ini it carried out as wininit.bak.
    o.ignore = {vxtest::TempFolderPrefix(h), menu, "[InUse]", h.WindowsFolder() + "\\wininit.bak"};
    Outcome outcome{vxtest::MachineSnapshot::Take(h, o), ""};
    std::string& text = outcome.links;
    EXPECT_TRUE(h.InitializeCom());
    for (const char* name : {"Everything.lnk", "Read me.lnk"}) {
      vx::ShellLinkData link;
      EXPECT_TRUE(h.LoadShellLink(menu + name, link)) << name;
      text += vx::Format("link %s: %s|%s|%s|%s|%s,%d|%d|%d\n", name, link.target.c_str(), link.arguments.c_str(),
                         link.workingFolder.c_str(), link.description.c_str(), link.iconFile.c_str(),
                         link.iconIndex, link.hotkey, link.showCmd);
    }
    h.UninitializeCom();
    return outcome;
  }
  static void ExpectSame(const Outcome& expected, const Outcome& actual, const std::string& runLog) {
    EXPECT_EQ(vxtest::Diff(expected.machine, actual.machine), "") << runLog;
    EXPECT_EQ(actual.links, expected.links);
  }

  // What one uninterrupted run leaves on a machine with the old readme.
  Outcome PlainOutcome() {
    auto m = MachineWithOldReadme();
    EXPECT_EQ(Install(), 0) << runLog;
    return OutcomeOf(m->Host());
  }

  // Runs `run` while the program that logs `program` waits; once it runs,
  // Windows asks the engine's window whether the logon may end (the answer
  // goes to `answer`), and the program ends with the session.
  int EndTheSessionDuring(vx::SandboxHost& h, const std::string& program, const std::function<int()>& run,
                          intptr_t& answer) {
    std::string hold = programLog + "." + program + ".hold";
    std::ofstream(hold) << "";
    std::thread windows([&] {
      for (int i = 0; i < 3000 && ReadNative(programLog).find(program) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (vx::WindowHandle w : h.TopLevelWindows())
        if (h.WindowTitle(w).empty()) answer = h.SendWindowMessage(w, vx::kWmQueryEndSession, 0, 0);
      std::remove(hold.c_str());
    });
    int code = run();
    windows.join();
    return code;
  }

  // A fresh copy of the prepared machine whose readme is older than the
  // one the setup file brings (a copy of a folder has new file times).
  std::unique_ptr<MachineCopy> MachineWithOldReadme(const std::string& machineIniLines = "") {
    auto m = FreshMachine(machineIniLines);
    fs::last_write_time(vx::Format("%s-run%d/drive_c/scratch/root/Product/readme.txt", templateRoot.c_str(), runs),
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 20));
    return m;
  }

  // Installs while another program holds the old readme open, then
  // restarts the machine. Leaves the machine's folder behind as it is then
  // and returns the resume entry (removed from RunOnce, as Windows removes
  // it before it runs it).
  std::string SuspendAndRestart(std::string& rootAfterRestart) {
    std::string command;
    auto m = MachineWithOldReadme(std::string("[InUse]\r\nreadme=") + kProduct + "\\readme.txt");
    vx::SandboxHost& h = m->Host();
    EXPECT_EQ(Install(), 0) << runLog;
    EXPECT_NE(runLog.find("suspended for a restart"), std::string::npos) << runLog;
    // The files are in place, the phases after them wait.
    EXPECT_EQ(Read(std::string(kProduct) + "\\app.exe"), ProjectFile("src/bin/app.exe"));
    EXPECT_EQ(Read(std::string(kProduct) + "\\readme.txt"), kOldReadme);
    EXPECT_FALSE(vx::RegValueExists(kUserKey, "Name"));
    EXPECT_EQ(ReadNative(programLog), "before\n");
    EXPECT_TRUE(h.RestartRequested());  // the file in use asks for it

    // One entry "vx<number>": the resume program in the system temporary
    // folder, the kept temporary folder without its trailing backslash,
    // the setup file.
    auto entries = RunOnceEntries(h);
    EXPECT_EQ(entries.size(), 1u);
    if (entries.empty()) return "";
    const auto& [name, value] = *entries.begin();
    EXPECT_TRUE(name.size() > 2 && name.compare(0, 2, "vx") == 0 &&
                name.find_first_not_of("0123456789", 2) == std::string::npos)
        << name;
    command = value;
    Strings parts = vx::SplitString(command, '"');
    EXPECT_EQ(parts.size(), 7u) << command;
    if (parts.size() != 7) return "";
    std::string program = parts[1], folder = parts[3].substr(8);
    EXPECT_EQ(parts[0] + "|" + parts[2] + "|" + parts[4] + "|" + parts[6], "| | |") << command;
    EXPECT_TRUE(vx::StartsWithText(parts[3], "/resume:") && vx::StartsWithText(parts[5], "/exename:")) << command;
    EXPECT_EQ(parts[5].substr(9), setup);
    EXPECT_TRUE(vx::SameText(vx::ExtractFilePath(program), vx::GetTempFolder()))
        << program;
    std::string programName = vx::ExtractFileName(program);
    EXPECT_TRUE(VxIsResumeProgramName(programName.data(), programName.size())) << program;
    EXPECT_NE(folder.back(), '\\');
    for (const char* file : {"MainDB", "InstallActions", "Resume.exe"})
      EXPECT_TRUE(vx::FileExists(folder + "\\" + file)) << file;
    EXPECT_EQ(Read(program), Read(folder + "\\Resume.exe"));

    // The restart: the waiting file takes the old one's place; the entry
    // is taken out and run by the test in this process.
    EXPECT_TRUE(vx::RegRemoveValue(kRunOnceKey, name));
    Strings report;
    EXPECT_TRUE(h.Reboot(report)) << report.size();
    EXPECT_EQ(Read(std::string(kProduct) + "\\readme.txt"), ProjectFile("src/docs/readme.txt"));
    vx::IniFlush();
    rootAfterRestart = templateRoot + "-restarted";
    fs::remove_all(rootAfterRestart);
    fs::copy(vx::Format("%s-run%d", templateRoot.c_str(), runs), rootAfterRestart, fs::copy_options::recursive);
    ForgetFilesInUse(rootAfterRestart);
    return command;
  }

  // The restart as the machine does it: the waiting file is put in place,
  // then the RunOnce entry starts the resume program (the engine alone, as a
  // process of its own), which finishes the installation and removes itself.
  void RestartRunsTheResumeEntry() {
    Outcome plain = PlainOutcome();
    auto m = MachineWithOldReadme(std::string("[InUse]\r\nreadme=") + kProduct + "\\readme.txt");
    vx::SandboxHost& h = m->Host();
    ASSERT_EQ(Install(), 0) << runLog;
    auto entries = RunOnceEntries(h);
    ASSERT_EQ(entries.size(), 1u);
    Strings parts = vx::SplitString(entries.begin()->second, '"');
    ASSERT_EQ(parts.size(), 7u);
    std::string program = parts[1], folder = parts[3].substr(8);
    Strings report;
    EXPECT_TRUE(h.Reboot(report)) << report.size();
    std::string shown;
    for (const std::string& line : report) shown += line + "\n";
    EXPECT_NE(shown.find("exit code 0"), std::string::npos) << shown;
    EXPECT_EQ(ReadNative(programLog), "before\nafter\n");
    EXPECT_FALSE(vx::FolderExists(folder)) << shown;
    // The resume program deletes itself once it has ended.
    for (int i = 0; i < 200 && vx::FileExists(program); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(vx::FileExists(program)) << shown;
    EXPECT_TRUE(RunOnceEntries(h).empty());
    ExpectSame(plain, OutcomeOf(h), shown);
  }
};

TEST_F(ResumeAfterRestart, AFileInUseSuspendsTheRunAndTheResumedRunFinishesItAsOneRunWould) {
  // What one uninterrupted run leaves.
  Outcome plain = PlainOutcome();
  std::string restarted;
  std::string command = SuspendAndRestart(restarted);
  ASSERT_FALSE(command.empty());
  MachineCopy m(restarted, restarted + "-resume");
  ASSERT_EQ(Resume(command), 0) << runLog;
  EXPECT_NE(runLog.find("resume from"), std::string::npos) << runLog;
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");  // the first program did not run again
  // The kept temporary folder is gone, no restart is asked for, no new
  // entry is written; the machine is the one a single run gives.
  std::string folder = vx::SplitString(command, '"')[3].substr(8);
  EXPECT_FALSE(vx::FolderExists(folder));
  EXPECT_FALSE(m.Host().RestartRequested());
  EXPECT_TRUE(RunOnceEntries(m.Host()).empty());
  ExpectSame(plain, OutcomeOf(m.Host()), runLog);
  // The same entry started once more: its folder is gone, nothing changes.
  EXPECT_EQ(Resume(command), -1);
  EXPECT_NE(runLog.find("Cannot resume installation."), std::string::npos) << runLog;
  ExpectSame(plain, OutcomeOf(m.Host()), runLog);
}


// A resumed run that is itself interrupted by the end of the session
// suspends again with a new entry; the run after the second restart
// finishes the installation.
TEST_F(ResumeAfterRestart, AResumedRunCanSuspendAgain) {
  Outcome plain = PlainOutcome();
  std::string restarted;
  std::string first = SuspendAndRestart(restarted);
  ASSERT_FALSE(first.empty());
  MachineCopy m(restarted, restarted + "-again");
  vx::SandboxHost& h = m.Host();
  intptr_t answer = -1;
  int code = EndTheSessionDuring(h, "after", [&] { return Resume(first); }, answer);
  ASSERT_EQ(answer, 1);
  ASSERT_EQ(code, 0) << runLog;
  std::string second = TakeResumeEntryAndRestart(h);
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);  // a new resume program
  EXPECT_EQ(vx::SplitString(second, '"')[3], vx::SplitString(first, '"')[3]);  // the same kept folder
  ASSERT_EQ(Resume(second), 0) << runLog;
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");
  EXPECT_TRUE(RunOnceEntries(h).empty());
  ExpectSame(plain, OutcomeOf(h), runLog);
}

TEST_F(ResumeAfterRestart, TheMachineRunsTheResumeEntryAndTheResumeProgramRemovesItself) {
  RestartRunsTheResumeEntry();
}

// The same on Windows 98: the waiting file goes through wininit.ini, the
// resume program removes itself through a batch file of command.com.
class ResumeAfterRestartOnWindows98 : public ResumeAfterRestart {};

TEST_F(ResumeAfterRestartOnWindows98, TheMachineRunsTheResumeEntryAndTheResumeProgramRemovesItself) {
  RestartRunsTheResumeEntry();
}

// Repair: a later run with "/repair <AppID>" takes the choices of the
// first installation from its silent settings (no wizard) and puts damaged
// files back: a missing one, and one of the same version and size whose
// bytes changed.
TEST_F(InstallEverything, RepairPutsDamagedFilesBackWithTheFirstRunsChoices) {
  auto m = FreshMachine();
  vx::SandboxHost& h = m->Host();
  ASSERT_EQ(Install(), 0) << runLog;
  const std::string p = std::string(kProduct) + "\\";
  std::string readme = Read(p + "readme.txt");
  std::string native = vx::Format("%s-run%d/drive_c/scratch/root/Product/readme.txt", templateRoot.c_str(), runs);
  auto time = fs::last_write_time(native);
  ASSERT_TRUE(vx::WriteWholeFile(p + "readme.txt", std::string(readme.size(), 'x')));
  fs::last_write_time(native, time);
  ASSERT_TRUE(vx::DeleteFileForced(p + "app.exe"));

  // A repair for another product, and one whose settings file is gone,
  // change nothing.
  vxtest::MachineSnapshot damaged = Snapshot(h);
  EXPECT_EQ(Run({"/repair", "SomethingElse", "/exename:" + setup, "/suppressmsgboxes", "/log:" + dir.Path() + "/run.log"}, 0), -1);
  EXPECT_NE(runLog.find("Cannot repair application!"), std::string::npos) << runLog;
  std::string settings = vx::RegReadText(kUninstallKey, "SilentSettings", "");
  ASSERT_FALSE(settings.empty());
  std::string kept = Read(settings);
  ASSERT_TRUE(vx::DeleteFileForced(settings));
  EXPECT_EQ(Run({"/repair", "VXEverythingTest", "/exename:" + setup, "/suppressmsgboxes", "/log:" + dir.Path() + "/run.log"}, 0), -1);
  EXPECT_NE(runLog.find("Cannot repair application!"), std::string::npos) << runLog;
  ASSERT_TRUE(vx::WriteWholeFile(settings, kept));
  EXPECT_EQ(vxtest::Diff(damaged, Snapshot(h)), "");

  // The repair: silent, with the recorded variables (TestRoot, ProgramLog).
  std::remove(programLog.c_str());
  ASSERT_EQ(Run({"/repair", "VXEverythingTest", "/exename:" + setup, "/suppressmsgboxes", "/log:" + dir.Path() + "/run.log"}, 0), 0) << runLog;
  EXPECT_EQ(Read(p + "readme.txt"), readme);
  EXPECT_EQ(Read(p + "app.exe"), ProjectFile("src/bin/app.exe"));
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");
  // Silent mode 2: a user-interface plug-in shows no page.
  EXPECT_NE(runLog.find("variable: SilentMode=\"2\""), std::string::npos) << runLog;
}

// A program before the wizard during which the logon ends: the resumed
// run goes on behind it, then shows the wizard and installs.
TEST_F(ResumeAfterRestart, TheEndOfTheSessionBeforeTheWizardResumesWithTheWizard) {
  auto m = FreshMachine();
  vx::SandboxHost& h = m->Host();
  intptr_t answer = -1;
  int code = EndTheSessionDuring(h, "dialogs", [&] { return Install({"/var:ProgramBeforeDialogs=1"}); }, answer);
  ASSERT_EQ(answer, 1);
  ASSERT_EQ(code, 0) << runLog;
  // Suspended before the wizard: no wizard yet, nothing installed.
  EXPECT_EQ(runLog.find("event: EV_SHOWDIALOGS"), std::string::npos) << runLog;
  EXPECT_FALSE(vx::FileExists(std::string(kProduct) + "\\app.exe"));
  std::string command = TakeResumeEntryAndRestart(h);
  ASSERT_FALSE(command.empty());
  ASSERT_EQ(Resume(command), 0) << runLog;
  EXPECT_NE(runLog.find("event: EV_SHOWDIALOGS to plug-in"), std::string::npos) << runLog;
  EXPECT_EQ(ReadNative(programLog), "dialogs\nbefore\nafter\n");  // the first program did not run again
  EXPECT_EQ(vx::RegReadText(kUserKey, "Name", "?"), "Everything Test");
  EXPECT_TRUE(RunOnceEntries(h).empty());
}

// A resume entry whose saved state is damaged: a clear message, exit -1,
// and only the engine's own folder goes.
TEST_F(ResumeAfterRestart, ADamagedSavedStateEndsWithAMessage) {
  std::string restarted;
  std::string command = SuspendAndRestart(restarted);
  ASSERT_FALSE(command.empty());
  std::string folder = vx::SplitString(command, '"')[3].substr(8);
  for (const char* file : {"MainDB", "InstallActions"}) {
    SCOPED_TRACE(file);
    MachineCopy m(restarted, restarted + "-damaged-" + file);
    std::string saved = Read(folder + "\\" + file);
    ASSERT_GT(saved.size(), 100u);
    ASSERT_TRUE(vx::WriteWholeFile(folder + "\\" + file, saved.substr(0, saved.size() / 2)));
    vxtest::MachineSnapshot damaged = Snapshot(m.Host());
    EXPECT_EQ(Resume(command), -1) << runLog;
    EXPECT_NE(runLog.find("Cannot resume installation."), std::string::npos) << runLog;
    EXPECT_FALSE(vx::FolderExists(folder));
    EXPECT_FALSE(vx::RegValueExists(kUserKey, "Name"));  // nothing of the later phases
    std::string diff = vxtest::Diff(damaged, Snapshot(m.Host()));
    EXPECT_EQ(diff.find("+ "), std::string::npos) << diff;  // nothing new on the machine
  }
}

TEST_F(ResumeAfterRestart, AResumedRunThatFailsRollsBackBothRunsWithTheRestoredLog) {
  std::string restarted;
  std::string command = SuspendAndRestart(restarted);
  ASSERT_FALSE(command.empty());
  int n = 1, firstRemoved = 0;
  for (; n < 100; ++n) {
    SCOPED_TRACE(vx::Format("failure at change %d of the resumed run", n));
    MachineCopy m(restarted, vx::Format("%s-fail%d", restarted.c_str(), n));
    std::remove(programLog.c_str());
    int code = Resume(command, n);
    if (code == 0) break;
    EXPECT_EQ(code, -1) << runLog;
    ASSERT_NE(runLog.find(vx::Format("failure injected at change %d", n)), std::string::npos) << runLog;
    // The files of the first run go too; the old readme is back.
    EXPECT_EQ(Read(std::string(kProduct) + "\\readme.txt"), kOldReadme);
    std::string diff = vxtest::Diff(before, Snapshot(m.Host()));
    if (!firstRemoved && diff == kRemoval) firstRemoved = n;
    EXPECT_EQ(diff, firstRemoved ? kRemoval : "") << runLog;
  }
  EXPECT_GE(n - 1, 15);
}

TEST_F(ResumeAfterRestart, TheEndOfTheSessionDuringAProgramSuspendsAndTheResumedRunGoesOnBehindIt) {
  Outcome plain = PlainOutcome();
  // The program after the installation waits while a hold file exists;
  // while it runs, Windows asks the engine's window whether the logon may
  // end.
  auto m = MachineWithOldReadme();
  vx::SandboxHost& h = m->Host();
  intptr_t answer = -1;
  int code = EndTheSessionDuring(h, "after", [&] { return Install(); }, answer);
  ASSERT_EQ(answer, 1);
  ASSERT_EQ(code, 0) << runLog;
  EXPECT_NE(runLog.find("the session ends"), std::string::npos) << runLog;
  EXPECT_FALSE(h.RestartRequested());  // Windows is restarting already
  std::string command = TakeResumeEntryAndRestart(h);
  ASSERT_FALSE(command.empty());
  ASSERT_EQ(Resume(command), 0) << runLog;
  // The program that ran when the session ended is not started again.
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");
  ExpectSame(plain, OutcomeOf(h), runLog);
}

}  // namespace

#endif  // !_WIN32
