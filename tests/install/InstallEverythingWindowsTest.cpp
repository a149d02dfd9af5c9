// The whole-installation project on the real system: the same project as
// on the sandbox machine, with a real COM server, a real TrueType font and
// a real program in place of the machine's descriptions, built by vxbuild
// and run silently by the engine's own run flow in this process. What the
// installation leaves is checked item by item and then taken away again
// (the system is shared by every suite of the run); a failure at any of its
// changes and a failing program must each give the system back as it was.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/Main.h"
#include "install/Install.h"
#include "support/EngineRun.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

namespace {

using vxtest::Read;
using vxtest::ReadNative;

const char kUserKey[] = "HKCU\\Software\\VXEverythingTest";
const char kMachineKey[] = "HKLM\\SOFTWARE\\VXEverythingTest";
const char kLegacyKey[] = "HKCU\\Software\\VXEverythingTest\\Legacy";
const char kClsidKey[] = "HKLM\\SOFTWARE\\Classes\\CLSID\\{6A1B7C3E-2F4D-4E8A-9B1C-0D2E3F405163}";
const char kTypeLibKey[] = "HKLM\\SOFTWARE\\Classes\\TypeLib\\{6A1B7C3E-2F4D-4E8A-9B1C-0D2E3F405161}";
const char kFontsKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
const char kUserEnv[] = "HKCU\\Environment";
const char kSystemEnv[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kUninstallKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VXEverythingTest";
const char kFontName[] = "DejaVu Sans (TrueType)";
const char kExistingIni[] = "; kept as written\r\n[Old]\r\nA=1\r\n\r\n[Other]\r\nx = y\r\n";
// What a failed run may leave different, by design: a removal is never
// recorded, so rollback does not bring the removed value back.
const char kRemoval[] = "- value HKCU\\Software\\VXEverythingTest\\Legacy\\'Old' REG_SZ \"old\"\n";

std::string StagedFile(const std::string& relative) {
  return Read(vxtest::HostPath(std::string(VX_TEST_STAGE) + "/" + relative));
}

// The ShowCommand field of a shell link file's header.
int ShowCommandInFile(const std::string& path) {
  std::string file = Read(path);
  if (file.size() < 0x4C) return -1;
  return int(uint8_t(file[0x3C])) | int(uint8_t(file[0x3D])) << 8;
}

class InstallEverythingWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    vx::Host& h = machine.Host();
    root = machine.Scratch() + "root";
    product = root + "\\Product\\";
    fonts = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlFonts));
    menu = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlPrograms)) + "Everything Test\\";
    programLog = dir.Path() + "/programs.txt";
    CleanUp();
    // What the system holds before: the tool the first program is, an INI
    // file the product adds to, an older product's value that the
    // installation removes.
    ASSERT_TRUE(vx::ForceFolders(root + "\\tools"));
    ASSERT_TRUE(vx::CopyFileChunked(vxtest::HostPath(VX_TEST_EXITWITH), root + "\\tools\\prepare.exe"));
    ASSERT_TRUE(vx::WriteWholeFile(root + "\\existing.ini", kExistingIni));
    ASSERT_TRUE(vx::RegWriteString(kLegacyKey, "Old", "old"));
    ASSERT_TRUE(vx::RegWriteString(kLegacyKey, "Kept", "kept"));
    uint32_t type = 0;
    ASSERT_TRUE(vx::RegReadRaw(kSystemEnv, "Path", type, systemPath));
    systemPathType = type;
    before = Snapshot();
  }
  void TearDown() override {
    CleanUp();
    ::SetEnvironmentVariableA("VX_TEST_PLUGIN_SCRIPT", nullptr);
  }

  // Takes away what a successful run leaves outside the scratch folder.
  void CleanUp() {
    vx::Host& h = machine.Host();
    vx::RegRemoveKey(kUserKey, true);
    vx::RegRemoveKey(kMachineKey, true);
    vx::RegRemoveKey(kClsidKey, true);
    vx::RegRemoveKey(kTypeLibKey, true);
    vx::RegRemoveKey(kUninstallKey, true);
    // The uninstaller is counted as a shared file.
    vx::RegRemoveValue("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", product + "Uninstall.exe");
    vx::RegRemoveValue(kFontsKey, kFontName);
    vx::RegRemoveValue(kUserEnv, "VXALL_USER");
    vx::RegRemoveValue(kSystemEnv, "VXALL_SYSTEM");
    if (!systemPath.empty()) {
      std::string text = systemPath.substr(0, systemPath.find('\0'));
      if (systemPathType == vx::kRegExpandSz) vx::RegWriteExpandString(kSystemEnv, "Path", text);
      else vx::RegWriteString(kSystemEnv, "Path", text);
    }
    if (vx::FileExists(fonts + "VxAll.ttf")) {
      while (h.RemoveFontFile(fonts + "VxAll.ttf")) {
      }
      vx::DeleteFileForced(fonts + "VxAll.ttf");
    }
    vx::DeleteFolderTree(menu, true);
  }

  vxtest::MachineSnapshot Snapshot() {
    vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXEverythingTest");
    o.folders.push_back(vx::ExcludeTrailingBackslash(menu));
    o.folders.push_back(fonts + "VxAll.ttf");
    for (const char* key : {kMachineKey, kClsidKey, kTypeLibKey, kUserEnv, kSystemEnv}) o.keys.push_back(key);
    o.keys.push_back(std::string(kFontsKey));
    o.ignore.push_back(vxtest::TempFolderPrefix(machine.Host()));
    return vxtest::MachineSnapshot::Take(vx::CurrentHost(), o);
  }

  // One silent run of the setup file.
  int Install(std::vector<std::string> extra = {}, int failAt = 0) {
    std::vector<std::string> params = {"/exename:" + vxtest::HostPath(VX_TEST_SETUP), "/var:TestRoot=" + root,
                                       "/var:ProgramLog=" + programLog, "/suppressmsgboxes",
                                       "/log:" + dir.Path() + "/run.log"};
    params.insert(params.end(), extra.begin(), extra.end());
    ::SetEnvironmentVariableA("VX_TEST_PLUGIN_SCRIPT", (dir.Path() + "/none.script").c_str());
    std::remove(programLog.c_str());
    return vxtest::RunEngineInProcess(params, failAt, dir.Path() + "/run.log", runLog);
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string root, product, fonts, menu, programLog, runLog, systemPath;
  uint32_t systemPathType = 0;
  vxtest::MachineSnapshot before;
};

TEST_F(InstallEverythingWindows, SilentInstallPutsEveryKindOfItemInPlace) {
  vx::Host& h = machine.Host();
  ASSERT_EQ(Install(), 0) << runLog;
  const std::string& p = product;
  const std::string bare = vx::ExcludeTrailingBackslash(p);

  EXPECT_EQ(Read(p + "app.exe"), StagedFile("bin/app.exe"));
  EXPECT_EQ(Read(p + "server.dll"), StagedFile("bin/server.dll"));
  EXPECT_EQ(Read(p + "readme.txt"), StagedFile("docs/readme.txt"));

  // Registry values of every type; the older product's value is removed,
  // its other value stays.
  uint32_t type = 0;
  std::string raw;
  EXPECT_EQ(vx::RegReadText(kUserKey, "Name", "?"), "Everything Test");
  ASSERT_TRUE(vx::RegReadRaw(kUserKey, "Count", type, raw));
  EXPECT_EQ(type, vx::kRegDword);
  EXPECT_EQ(raw, std::string("*\0\0\0", 4));
  ASSERT_TRUE(vx::RegReadRaw(std::string(kUserKey) + "\\Data", "Blob", type, raw));
  EXPECT_EQ(type, vx::kRegBinary);
  EXPECT_EQ(raw, std::string("\x00\x01\xfe\xff", 4));
  ASSERT_TRUE(vx::RegReadRaw(std::string(kUserKey) + "\\Data", "Lines", type, raw));
  EXPECT_EQ(type, vx::kRegMultiSz);
  EXPECT_EQ(raw, std::string("one\0" "2.1\0\0", 9));
  EXPECT_FALSE(vx::RegValueExists(kLegacyKey, "Old"));
  EXPECT_EQ(vx::RegReadText(kLegacyKey, "Kept", "?"), "kept");
  EXPECT_EQ(vx::RegReadText(kMachineKey, "Path", "?"), bare);

  // INI entries in a new file and in an existing one.
  EXPECT_EQ(Read(p + "settings.ini"), "[Main]\r\nFolder=" + bare + "\r\nVersion=2.1\r\n\r\n");
  EXPECT_EQ(Read(root + "\\existing.ini"),
            "[Old]\r\nA=1\r\nB=2\r\n\r\n[Other]\r\nx=y\r\n\r\n[New]\r\nC=three\r\n\r\n");

  // Environment: the system PATH extended as stored, a user and a system
  // variable.
  ASSERT_TRUE(vx::RegReadRaw(kSystemEnv, "Path", type, raw));
  std::string stored = systemPath.substr(0, systemPath.find('\0'));
  EXPECT_EQ(raw.substr(0, raw.find('\0')), stored + ";" + p + "bin;" + bare);
  EXPECT_EQ(vx::RegReadText(kSystemEnv, "VXALL_SYSTEM", "?"), "system 2.1");
  EXPECT_EQ(vx::RegReadText(kUserEnv, "VXALL_USER", "?"), p + "user");

  // Shortcuts through the shell's link object.
  ASSERT_TRUE(h.InitializeCom());
  vx::ShellLinkData link;
  ASSERT_TRUE(h.LoadShellLink(menu + "Everything.lnk", link));
  EXPECT_TRUE(vx::SameText(link.target, p + "app.exe")) << link.target;
  EXPECT_EQ(link.arguments, "/run \"quoted\"");
  EXPECT_TRUE(vx::SameText(link.workingFolder, bare)) << link.workingFolder;
  EXPECT_EQ(link.description, "Starts everything");
  EXPECT_EQ(link.iconIndex, 1);
  EXPECT_EQ(link.hotkey, 0x645);
  // The show command as the file holds it (the link object of Wine reads
  // it back as "normal" whatever the file says).
  EXPECT_EQ(ShowCommandInFile(menu + "Everything.lnk"), 3);
  ASSERT_TRUE(h.LoadShellLink(menu + "Read me.lnk", link));
  EXPECT_TRUE(vx::SameText(link.target, p + "readme.txt")) << link.target;
  EXPECT_EQ(ShowCommandInFile(menu + "Read me.lnk"), vx::kSwShowMinNoActive);
  h.UninitializeCom();

  // The server registered itself; its type library was registered too.
  EXPECT_TRUE(vx::SameText(vx::RegReadText(std::string(kClsidKey) + "\\InprocServer32", "", "?"), p + "server.dll"));
  EXPECT_TRUE(vx::RegKeyExists(std::string(kTypeLibKey) + "\\1.2"));

  // The font: its file and its value under its full name.
  EXPECT_EQ(Read(fonts + "VxAll.ttf"), StagedFile("fonts/VxAll.ttf"));
  EXPECT_EQ(vx::RegReadText(kFontsKey, kFontName, "?"), "VxAll.ttf");

  // The programs ran before and after the installation, the failing one
  // not at all.
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");

  // The uninstall log names every kind.
  std::string log = Read(p + "install.log");
  for (const char* section : {"[CopyFiles]", "[RegServers]", "[RegFonts]", "[AddReg]", "[AddIni]", "[Shortcuts]",
                              "[EnvVars]", "[PreRunApp]", "[CreateDirs]", "[CreateKeys]"})
    EXPECT_NE(log.find(section), std::string::npos) << section << "\n" << log;
  EXPECT_NE(log.find(std::string(kFontName) + "=" + fonts + "VxAll.ttf"), std::string::npos) << log;
  EXPECT_EQ(vx::RegReadText(kUninstallKey, "DisplayName", "?"), "Everything Test");
}

// Installed, then removed by the uninstaller the setup file carries,
// started as "Add or remove programs" starts it: the system is as before.
TEST_F(InstallEverythingWindows, UninstallAfterInstallGivesTheSystemBack) {
  ASSERT_EQ(Install(), 0) << runLog;
  std::string command = vx::RegReadText(kUninstallKey, "UninstallString", "");
  ASSERT_EQ(command, "\"" + product + "Uninstall.exe\" \"" + product + "install.log\"");
  std::string log = dir.Path() + "\\uninstall.log";
  vx::Host& h = machine.Host();
  vx::HandleValue process = h.StartProcess(command + " /s \"/log:" + log + "\"", "", vx::kSwShowNormal, 0);
  ASSERT_TRUE(process);
  h.WaitForProcess(process, 120000);
  uint32_t code = 99;
  h.ProcessExitCode(process, code);
  h.CloseHandle(process);
  EXPECT_EQ(code, 0u) << ReadNative(log);
  // The uninstaller and its folder go once it has ended.
  for (int i = 0; i < 300 && vx::FolderExists(product); ++i) ::Sleep(100);
  EXPECT_FALSE(vx::FolderExists(product)) << ReadNative(log);
  // What stays different, by design: the older product's value the
  // installation removed (a removal is never recorded), and the INI file
  // the product added entries to, rewritten without them (the layout of
  // the rewrite is the system's).
  std::string ini = root + "\\existing.ini";
  std::string diff = vxtest::Diff(before, Snapshot());
  std::string changed = "~ file " + ini + ": content 49 -> ";
  EXPECT_EQ(diff.substr(0, changed.size()), changed) << diff << ReadNative(log);
  EXPECT_EQ(diff.substr(diff.find('\n') + 1), kRemoval) << diff << ReadNative(log);
  std::string text = Read(ini);
  for (const char* gone : {"B=", "[New]", "C="}) EXPECT_EQ(text.find(gone), std::string::npos) << text;
  for (const char* kept : {"[Old]\r\nA=1\r\n", "[Other]\r\nx=y\r\n"}) EXPECT_NE(text.find(kept), std::string::npos) << text;
  EXPECT_FALSE(vx::FileExists(fonts + "VxAll.ttf"));
}

// Runs a program of the system and waits for it (at most `ms`); its exit
// code, or -1.
int RunAndWaitFor(const std::string& commandLine, DWORD ms) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string line = commandLine;
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  DWORD code = DWORD(-1);
  if (::WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return int(code);
}

// A file in use suspends the installation; a real restart of the system
// (wineboot -r carries out the waiting renames) and the RunOnce command
// started exactly as the registry holds it (Windows starts it at the
// logon) finish it, and the resume program removes itself.
TEST_F(InstallEverythingWindows, AFileInUseIsReplacedAtTheRestartAndTheResumeEntryFinishesTheInstallation) {
  const char runOnce[] = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  // An older readme is in place and open in another program.
  ASSERT_TRUE(vx::ForceFolders(product));
  ASSERT_TRUE(vx::WriteWholeFile(product + "readme.txt", "the readme of an older version"));
  HANDLE held = ::CreateFileA((product + "readme.txt").c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FILETIME old{};
  SYSTEMTIME st{};
  st.wYear = 2001;
  st.wMonth = 1;
  st.wDay = 1;
  ::SystemTimeToFileTime(&st, &old);
  ::SetFileTime(held, &old, &old, &old);
  int code = Install();
  ::CloseHandle(held);
  ASSERT_EQ(code, 0) << runLog;
  ASSERT_NE(runLog.find("suspended for a restart"), std::string::npos) << runLog;
  EXPECT_EQ(machine.Restarts(), 1);
  EXPECT_FALSE(vx::RegValueExists(kUserKey, "Name"));  // the phases after the files wait

  // The one resume entry.
  std::vector<std::string> names;
  vx::RegKey key = 0;
  vx::Host& h = machine.Host();
  ASSERT_EQ(h.OpenRegKey(vx::kHKeyCurrentUser, std::string(runOnce).substr(5), false, key), 0u);
  std::string name;
  for (uint32_t i = 0; h.EnumRegValue(key, i, name) == 0; ++i)
    if (name.compare(0, 2, "vx") == 0) names.push_back(name);
  h.CloseRegKey(key);
  ASSERT_EQ(names.size(), 1u);
  std::string command = vx::RegReadText(runOnce, names[0], "");
  std::vector<std::string> parts = vx::SplitString(command, '"');
  ASSERT_EQ(parts.size(), 7u) << command;
  std::string program = parts[1], folder = parts[3].substr(8);

  // The restart, then the logon's RunOnce command (Windows removes the
  // value before it starts the command).
  ASSERT_EQ(RunAndWaitFor("wineboot.exe -r", 120000), 0);
  EXPECT_EQ(Read(product + "readme.txt"), StagedFile("docs/readme.txt"));
  vx::RegRemoveValue(runOnce, names[0]);
  EXPECT_EQ(RunAndWaitFor(command, 300000), 0) << command;

  // Finished: every later phase ran, nothing of the resume is left.
  for (int i = 0; i < 100 && (vx::FileExists(program) || vx::FolderExists(folder)); ++i) ::Sleep(100);
  EXPECT_FALSE(vx::FileExists(program)) << program;
  EXPECT_FALSE(vx::FolderExists(folder)) << folder;
  EXPECT_EQ(vx::RegReadText(kUserKey, "Name", "?"), "Everything Test");
  EXPECT_EQ(vx::RegReadText(kUninstallKey, "DisplayName", "?"), "Everything Test");
  EXPECT_TRUE(vx::FileExists(menu + "Everything.lnk"));
  EXPECT_TRUE(vx::SameText(vx::RegReadText(std::string(kClsidKey) + "\\InprocServer32", "", "?"), product + "server.dll"));
  EXPECT_EQ(ReadNative(programLog), "before\nafter\n");
  EXPECT_FALSE(vx::RegValueExists(runOnce, names[0]));
}

// Repair with the first run's choices: a deleted file and one of the same
// version and size whose bytes changed are put back; a repair for another
// product changes nothing.
TEST_F(InstallEverythingWindows, RepairPutsDamagedFilesBack) {
  ASSERT_EQ(Install(), 0) << runLog;
  std::string readme = Read(product + "readme.txt");
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(::GetFileAttributesExA((product + "readme.txt").c_str(), GetFileExInfoStandard, &data));
  // Under Wine a process of an earlier test's restart may still hold the
  // new file for a moment; a lasting failure says why.
  bool written = false;
  for (int i = 0; i < 50 && !(written = vx::WriteWholeFile(product + "readme.txt", std::string(readme.size(), 'x'))); ++i)
    ::Sleep(100);
  ASSERT_TRUE(written) << "error " << ::GetLastError();
  HANDLE file = ::CreateFileA((product + "readme.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ::SetFileTime(file, nullptr, nullptr, &data.ftLastWriteTime);
  ::CloseHandle(file);
  ASSERT_TRUE(vx::DeleteFileForced(product + "app.exe"));
  auto repair = [&](const std::string& appId) {
    std::vector<std::string> params = {"/repair", appId, "/exename:" + vxtest::HostPath(VX_TEST_SETUP),
                                       "/suppressmsgboxes", "/log:" + dir.Path() + "/run.log"};
    return vxtest::RunEngineInProcess(params, 0, dir.Path() + "/run.log", runLog);
  };
  EXPECT_EQ(repair("SomethingElse"), -1);
  EXPECT_NE(runLog.find("Cannot repair application!"), std::string::npos) << runLog;
  EXPECT_FALSE(vx::FileExists(product + "app.exe"));
  ASSERT_EQ(repair("VXEverythingTest"), 0) << runLog;
  EXPECT_EQ(Read(product + "readme.txt"), readme);
  EXPECT_EQ(Read(product + "app.exe"), StagedFile("bin/app.exe"));
  EXPECT_NE(runLog.find("variable: SilentMode=\"2\""), std::string::npos) << runLog;
}

TEST_F(InstallEverythingWindows, RollbackAfterAFailureAtAnyChangeGivesTheSystemBack) {
  int n = 1, firstRemoved = 0;
  for (; n < 300; ++n) {
    SCOPED_TRACE(vx::Format("failure at change %d", n));
    int code = Install({}, n);
    if (code == 0) break;
    EXPECT_EQ(code, -1) << runLog;
    ASSERT_NE(runLog.find(vx::Format("failure injected at change %d", n)), std::string::npos) << runLog;
    std::string diff = vxtest::Diff(before, Snapshot());
    if (!firstRemoved && diff == kRemoval) firstRemoved = n;
    EXPECT_EQ(diff, firstRemoved ? kRemoval : "") << runLog;
    // The next run starts from the same system.
    vx::RegWriteString(kLegacyKey, "Old", "old");
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(n - 1, 30);
  EXPECT_GT(firstRemoved, 1);
}

TEST_F(InstallEverythingWindows, AFailingProgramWhoseExitCodeIsCheckedRollsEverythingBack) {
  EXPECT_EQ(Install({"/var:FailProgram=1"}), -1) << runLog;
  EXPECT_NE(runLog.find("ended with the exit code 3."), std::string::npos) << runLog;
  EXPECT_EQ(ReadNative(programLog), "before\nafter\nfailing\n");
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), kRemoval) << runLog;
}

}  // namespace

#endif  // _WIN32
