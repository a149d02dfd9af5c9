// Whole installations run by the engine's own run flow in this process: a
// setup file built by vxbuild (two packages, a password, a shared file,
// versioned files, a wildcard item, external files and a folder entry, the
// scriptable test plug-in) installed silently on a fresh sandbox machine
// natively and on the real system under Wine. What the installation leaves
// behind is checked exactly; after any failure the machine must be as it
// was before, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "database/VXClasses.h"
#include "engine/Main.h"
#include "install/Install.h"
#include "support/EngineRun.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/PeBuilder.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using vxtest::ReadNative;

const char kUninstallKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VXInstallTest";
const char kSharedKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const char kPassword[] = "open sesame";

using vxtest::HostPath;

// `text` with "%1$s", "%2$s" ... replaced by the arguments.
std::string Substitute(std::string text, const std::vector<std::string>& arguments) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string mark = "%" + std::to_string(i + 1) + "$s";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + arguments[i].size()))
      text.replace(at, mark.size(), arguments[i]);
  }
  return text;
}

std::string ReadHostFile(const std::string& path) {
  std::string s;
  vx::ReadWholeFile(path, s);
  return s;
}

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  ::SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
  if (value.empty()) ::unsetenv(name);
  else ::setenv(name, value.c_str(), 1);
#endif
}

class InstallRun : public ::testing::Test {
 protected:
  void SetUp() override {
    setup = HostPath(VX_TEST_SETUP);
    root = machine.Scratch() + "root";
    ASSERT_TRUE(vx::ForceFolders(root));
    Forget();
  }
  void TearDown() override {
    Forget();
    SetEnv("VX_TEST_PLUGIN_SCRIPT", "");
  }

  // The product's traces in the machine-wide keys of a real system.
  void Forget() {
    vx::RegRemoveKey(kUninstallKey, true);
    vx::RegRemoveValue(kSharedKey, root + "\\Shared\\common.txt");
  }

  std::string Product() const { return root + "\\Product\\"; }

  // One silent run of the setup file; `extra` switches are added. The test
  // plug-in follows `script` when it is given. The run log is kept.
  int Install(std::vector<std::string> extra = {}, const std::string& script = "", int failAt = 0,
              const std::string& setupFile = "") {
    std::vector<std::string> params = {"/exename:" + (setupFile.empty() ? setup : setupFile),
                                       "/var:TestRoot=" + root, "/suppressmsgboxes",
                                       "/log:" + dir.Path() + "/run.log"};
    bool password = true;
    for (const std::string& e : extra) password = password && !vx::StartsWithText(e, "/password:");
    if (password) params.push_back(std::string("/password:") + kPassword);
    params.insert(params.end(), extra.begin(), extra.end());
    if (!script.empty()) {
      std::string path = dir.Path() + "/plugin.script";
      FILE* f = std::fopen(path.c_str(), "wb");
      std::fputs(("log=" + dir.Path() + "/events.log\n" + script).c_str(), f);
      std::fclose(f);
      SetEnv("VX_TEST_PLUGIN_SCRIPT", path);
    } else {
      SetEnv("VX_TEST_PLUGIN_SCRIPT", dir.Path() + "/none.script");
    }
    std::remove((dir.Path() + "/events.log").c_str());
    return vxtest::RunEngineInProcess(params, failAt, dir.Path() + "/run.log", runLog);
  }

  int EventCount(const std::string& event) {
    int n = 0;
    for (const std::string& line : vx::SplitString(ReadNative(dir.Path() + "/events.log"), '\n'))
      if (line.find(" " + event) != std::string::npos) ++n;
    return n;
  }

  vxtest::SnapshotOptions Watched() {
#ifdef _WIN32
    vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXInstallTest");
#else
    vxtest::SnapshotOptions o;
#endif
    o.ignore.push_back(vxtest::TempFolderPrefix(machine.Host()));
    return o;
  }
  vxtest::MachineSnapshot Snapshot() { return vxtest::MachineSnapshot::Take(vx::CurrentHost(), Watched()); }

  // Every failure the machine must survive unchanged: exit -1, and the
  // snapshot after equal to the one before.
  void ExpectFailureChangesNothing(const std::function<int()>& run, const std::string& what) {
    vxtest::MachineSnapshot before = Snapshot();
    int code = run();
    EXPECT_EQ(code, -1) << what << "\n" << runLog;
    EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << what << "\n" << runLog;
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string setup, root, runLog;
};

// A file of the test project's sources.
std::string ProjectFile(const std::string& relative) {
  std::string path = HostPath(std::string(VX_TEST_PROJECT) + "/" + relative);
  return ReadHostFile(path);
}

TEST_F(InstallRun, SilentInstallPutsEveryFileInPlaceAndRegistersTheProduct) {
  ASSERT_EQ(Install(), 0) << runLog;
  std::string p = Product();
  EXPECT_EQ(ReadHostFile(p + "app.txt"), ProjectFile("src/bin/app.txt"));
  EXPECT_EQ(ReadHostFile(p + "alpha.dll"), ProjectFile("src/lib/alpha.dll"));
  EXPECT_EQ(ReadHostFile(p + "docs\\a.txt"), ProjectFile("src/docs/a.txt"));
  EXPECT_EQ(ReadHostFile(p + "docs\\more\\c.txt"), ProjectFile("src/docs/more/c.txt"));
  EXPECT_EQ(ReadHostFile(p + "extra\\e.txt"), ProjectFile("src/extra/e.txt"));
  EXPECT_EQ(ReadHostFile(p + "ext\\notes.txt"), ProjectFile("ext/notes.txt"));
  EXPECT_EQ(ReadHostFile(root + "\\Shared\\common.txt"), ProjectFile("src/shared/common.txt"));
  // The folder entry of an external pattern that matched nothing.
  EXPECT_TRUE(vx::FolderExists(p + "logs"));
  EXPECT_FALSE(vx::FileExists(p + "logs\\readme.md"));
  EXPECT_EQ(vx::RegReadDword(kSharedKey, root + "\\Shared\\common.txt", 0), 1u);

  // Placeholders replaced by hand: the 32-bit Windows C runtime's printf
  // knows no positional arguments.
  std::string expected = Substitute(
      "[Strings]\r\nAppID=VXInstallTest\r\nAdminRights=\r\n\r\n"
      "[SharedFiles]\r\n%1$s\\Shared\\common.txt=\r\n%1$s\\Product\\Uninstall.exe=\r\n\r\n"
      "[CreateKeys]\r\n%2$s=\r\n\r\n"
      "[CreateDirs]\r\n%1$s\\Product=\r\n%1$s\\Shared=\r\n%1$s\\Product\\docs=\r\n%1$s\\Product\\docs\\more=\r\n"
      "%1$s\\Product\\extra=\r\n%1$s\\Product\\ext=\r\n%1$s\\Product\\logs=\r\n\r\n"
      "[CopyFiles]\r\n%1$s\\Product\\app.txt=\r\n%1$s\\Product\\alpha.dll=\r\n%1$s\\Product\\beta.dll=\r\n"
      "%1$s\\Shared\\common.txt=\r\n%1$s\\Product\\docs\\a.txt=\r\n%1$s\\Product\\docs\\b.txt=\r\n"
      "%1$s\\Product\\docs\\more\\c.txt=\r\n%1$s\\Product\\extra\\e.txt=\r\n%1$s\\Product\\ext\\notes.txt=\r\n\r\n",
      {root, kUninstallKey});
  EXPECT_EQ(ReadHostFile(p + "install.log"), expected);

  auto value = [](const char* name) { return vx::RegReadText(kUninstallKey, name, "(missing)"); };
  EXPECT_EQ(value("DisplayName"), "Install Test");
  EXPECT_EQ(value("UninstallString"), "\"" + p + "Uninstall.exe\" \"" + p + "install.log\"");
  EXPECT_EQ(value("InstallLocation"), root + "\\Product");
  EXPECT_EQ(value("InstallSourceFile"), setup);
  EXPECT_EQ(value("DisplayVersion"), "1.0");
  EXPECT_EQ(value("Publisher"), "Test Company");
  EXPECT_EQ(value("SilentSettings"), p + "install.sss");
  EXPECT_EQ(value("HelpLink"), "(missing)");  // empty values are not written
  EXPECT_EQ(vx::RegGetValueType(kUninstallKey, "DisplayName"), 1u);

  // The silent settings repeat the user's choices, not the product's facts.
  vx::TvxSilentSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(p + "install.sss", "silentsettings"));
  EXPECT_NE(settings.Variables->FindVariable("TestRoot"), nullptr);
  EXPECT_NE(settings.Variables->FindVariable("InstallPath"), nullptr);
  for (const char* gone : {"AppID", "AppName", "Uninstall", "PswCheckHash", "LogFile", "Reboot", "CompanyName"})
    EXPECT_EQ(settings.Variables->FindVariable(gone), nullptr) << gone;
  EXPECT_NE(runLog.find("step: exit code 0"), std::string::npos);
}

// What plug-ins and installer functions ask of a running installation
// reaches it: a record of their own in the uninstall log, the copy paused
// and resumed (by the main thread, while the copy waits for it), a renamed file logged for the uninstaller.
TEST_F(InstallRun, PluginCommandsReachTheRunningInstallation) {
  std::string script =
      "command EV_PROCESSITEM#2=CM_ADDLOGRECORD Custom Made=by-plugin\n"
      "command EV_PROCESSITEM#3=CM_SUSPENDINSTALL 0 0 ; CM_RESUMEINSTALL 0 0\n"
      "command EV_AFTERINSTALL=CM_CALCEXPRESSION "
      "RenameFile(\"%InstallPath%\\app.txt\",\"%InstallPath%\\renamed.txt\",\"1\") 0\n";
  ASSERT_EQ(Install({}, script), 0) << runLog;
  std::string events = ReadNative(dir.Path() + "/events.log");
  EXPECT_NE(events.find("-> CM_SUSPENDINSTALL = 0"), std::string::npos) << events;
  EXPECT_NE(events.find("-> CM_RESUMEINSTALL = 0"), std::string::npos) << events;
  std::string p = Product();
  std::string log = ReadHostFile(p + "install.log");
  EXPECT_NE(log.find("[Custom]\r\nMade=by-plugin\r\n"), std::string::npos) << log;
  EXPECT_TRUE(vx::FileExists(p + "renamed.txt"));
  EXPECT_NE(log.find(p + "renamed.txt=\r\n"), std::string::npos) << log;
}

TEST_F(InstallRun, RollbackAfterAFailureAtAnyChangeLeavesTheMachineAsItWas) {
  // An earlier version is in place, so that rollback has backups to bring
  // back: files (one read-only), a shared count, an uninstall log, a key.
  std::string p = Product();
  ASSERT_TRUE(vx::ForceFolders(p + "docs"));
  ASSERT_TRUE(vx::WriteWholeFile(p + "app.txt", "old application\r\n"));
  ASSERT_TRUE(vx::WriteWholeFile(p + "docs\\a.txt", "old document"));
  ASSERT_TRUE(vx::WriteWholeFile(p + "install.log", "[CopyFiles]\r\nold=\r\n"));
  ASSERT_TRUE(machine.Host().SetAttributes(p + "docs\\a.txt", vx::kAttrReadOnly | vx::kAttrArchive));
  ASSERT_TRUE(vx::ForceFolders(root + "\\Shared"));
  ASSERT_TRUE(vx::WriteWholeFile(root + "\\Shared\\common.txt", "shared, older"));
  ASSERT_TRUE(vx::RegWriteDword(kSharedKey, root + "\\Shared\\common.txt", 2));
  ASSERT_TRUE(vx::RegWriteExpandString(kUninstallKey, "DisplayName", "%AppName% 0.9"));
  ASSERT_TRUE(vx::RegWriteHex(kUninstallKey, "Blob", "00 01 02"));

  int n = 1;
  for (; n < 200; ++n) {
    vxtest::MachineSnapshot before = Snapshot();
    int code = Install({}, "", n);
    if (code == 0) break;
    EXPECT_EQ(code, -1) << "failure at change " << n;
    ASSERT_NE(runLog.find(vx::Format("failure injected at change %d", n)), std::string::npos) << runLog;
    EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << "failure at change " << n << "\n" << runLog;
  }
  // Every change of the installation was tried: the logs, the folders, the
  // files and the silent settings.
  EXPECT_GT(n, 20);
  EXPECT_EQ(vx::RegReadDword(kSharedKey, root + "\\Shared\\common.txt", 0), 3u);
}

TEST_F(InstallRun, NewerFilesInPlaceAskTheUserAndFollowTheAnswer) {
  const std::string newer = vxtest::MakePe(3u << 16, 0);
  struct Case {
    int answer;
    int questions;  // how often the plug-in is asked for the two files
    bool replaced;
  };
  for (Case c : {Case{1, 2, false}, Case{2, 2, true}, Case{3, 1, false}, Case{4, 1, true}}) {
    SCOPED_TRACE(c.answer);
    root = machine.Scratch() + vx::Format("answer%d", c.answer);
    std::string p = Product();
    ASSERT_TRUE(vx::ForceFolders(p));
    ASSERT_TRUE(vx::WriteWholeFile(p + "alpha.dll", newer));
    ASSERT_TRUE(vx::WriteWholeFile(p + "beta.dll", newer));
    ASSERT_EQ(Install({}, vx::Format("answer EV_VERSIONCONFLICT=%d\n", c.answer)), 0) << runLog;
    EXPECT_EQ(EventCount("EV_VERSIONCONFLICT"), c.questions);
    std::string expected = c.replaced ? ProjectFile("src/lib/alpha.dll") : newer;
    EXPECT_EQ(ReadHostFile(p + "alpha.dll"), expected);
    EXPECT_EQ(ReadHostFile(p + "beta.dll"), expected);
    // Files without a conflict are installed either way.
    EXPECT_EQ(ReadHostFile(p + "app.txt"), ProjectFile("src/bin/app.txt"));
    Forget();
  }
}

TEST_F(InstallRun, FileInUseIsReplacedAtTheNextRestart) {
  const std::string pending = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  uint32_t type = 0;
  std::string before;
  vx::RegReadRaw(pending, "PendingFileRenameOperations", type, before);
  // An older version of a library is loaded by a running program.
  std::string p = Product();
  const std::string older = vxtest::MakePe(1u << 16, 0);
  ASSERT_TRUE(vx::ForceFolders(p));
  ASSERT_TRUE(vx::WriteWholeFile(p + "alpha.dll", older));
#ifdef _WIN32
  // Another program holds the file open without sharing its deletion.
  HANDLE held = ::CreateFileA((p + "alpha.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  int code = Install();
  ::CloseHandle(held);
#else
  {
    std::string ini = ReadNative(machine.Root() + "/machine.ini");
    FILE* f = std::fopen((machine.Root() + "/machine.ini").c_str(), "wb");
    std::fputs((ini + "\r\n[InUse]\r\nalpha=" + p + "alpha.dll\r\n").c_str(), f);
    std::fclose(f);
  }
  vx::SandboxHost held(machine.Root());
  vx::ScopedHost scope(held);
  int code = Install();
#endif
  // The files are in place but for the one in use; the remaining phases
  // wait for the restart.
  EXPECT_EQ(code, 0) << runLog;
  EXPECT_NE(runLog.find("suspended for a restart"), std::string::npos) << runLog;
#ifdef _WIN32
  EXPECT_EQ(machine.Restarts(), 1);
#endif
  EXPECT_EQ(ReadHostFile(p + "alpha.dll"), older);
  EXPECT_EQ(ReadHostFile(p + "beta.dll"), ProjectFile("src/lib/beta.dll"));
  std::string after;
  ASSERT_TRUE(vx::RegReadRaw(pending, "PendingFileRenameOperations", type, after));
  EXPECT_EQ(type, 7u);
  // The new file waits beside the old one under a "vx" name.
  std::string entries = after.substr(std::min(before.size(), after.size()));
  std::vector<std::string> names;
  for (const std::string& s : vx::SplitString(entries, '\0'))
    if (!s.empty()) names.push_back(s);
  size_t tmp = 0;
  while (tmp < names.size() && !vx::StartsWithText(vx::ExtractFileName(names[tmp]), "vx")) ++tmp;
  ASSERT_LT(tmp + 1, names.size()) << "no rename of a \"vx\" file";
  EXPECT_NE(names[tmp + 1].find(p + "alpha.dll"), std::string::npos) << names[tmp + 1];
  EXPECT_EQ(vx::ExtractFilePath(names[tmp]).substr(4), p);
  EXPECT_EQ(ReadHostFile(names[tmp].substr(4)), ProjectFile("src/lib/alpha.dll"));
#ifdef _WIN32
  if (before.empty()) vx::RegRemoveValue(pending, "PendingFileRenameOperations");
  else vx::RegWriteMultiString(pending, "PendingFileRenameOperations", {});
  vx::RegRemoveKey("HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", false);
#endif
}

// A browser saves a second download as "Setup (1).exe": the setup file
// still finds its own package (and its further package beside it).
TEST_F(InstallRun, ARenamedSetupFileInstalls) {
  // The download folder: the setup file under its new name, its further
  // package and its external files.
  std::string downloads = machine.Scratch() + "downloads\\";
  std::filesystem::path built = std::filesystem::path(VX_TEST_SETUP).parent_path();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(built)) {
    if (!entry.is_regular_file()) continue;
    std::string relative = std::filesystem::relative(entry.path(), built).generic_string();
    for (char& c : relative) c = c == '/' ? '\\' : c;
    if (relative == "setup.exe") relative = "Setup (1).exe";
    ASSERT_TRUE(vx::ForceFolders(vx::ExtractFilePath(downloads + relative)));
    ASSERT_TRUE(vx::CopyFileChunked(HostPath(entry.path().string()), downloads + relative)) << relative;
  }
  ASSERT_EQ(Install({}, "", 0, downloads + "Setup (1).exe"), 0) << runLog;
  EXPECT_EQ(ReadHostFile(Product() + "app.txt"), ProjectFile("src/bin/app.txt"));
  EXPECT_EQ(ReadHostFile(Product() + "extra\\e.txt"), ProjectFile("src/extra/e.txt"));
}

#ifdef VX_TEST_SIGNED_SETUP
// A setup file its vendor signed (the signature follows the packages).
TEST_F(InstallRun, ASignedSetupFileInstalls) {
  ASSERT_EQ(Install({}, "", 0, HostPath(VX_TEST_SIGNED_SETUP)), 0) << runLog;
  EXPECT_EQ(ReadHostFile(Product() + "app.txt"), ProjectFile("src/bin/app.txt"));
  EXPECT_EQ(ReadHostFile(Product() + "extra\\e.txt"), ProjectFile("src/extra/e.txt"));
}
#endif

TEST_F(InstallRun, BadInputEndsWithAMessageAndChangesNothing) {
  ExpectFailureChangesNothing([&] { return Install({"/password:wrong"}); }, "wrong password");
  EXPECT_NE(runLog.find("Incorrect password has been specified!"), std::string::npos);

  // A plug-in aborts in the middle of the copy.
  ExpectFailureChangesNothing([&] { return Install({}, "command EV_PROCESSITEM#4=CM_ABORTINSTALL 0 0\n"); },
                              "abort by a plug-in");

  // An install folder that expands to nothing: no file may land in the
  // root of a drive or relative to the current folder.
  ExpectFailureChangesNothing([&] { return Install({"/var:InstallPath="}); }, "empty install folder");

  // The setup file without its further package: the plug-in gives no folder.
  std::string lonely = machine.Scratch() + "lonely\\";
  ASSERT_TRUE(vx::ForceFolders(lonely));
  ASSERT_TRUE(vx::CopyFileChunked(setup, lonely + "setup.exe"));
  ExpectFailureChangesNothing([&] { return Install({}, "", 0, lonely + "setup.exe"); }, "missing package");

  // A further package whose data is damaged.
  std::string damaged = machine.Scratch() + "damaged\\";
  ASSERT_TRUE(vx::ForceFolders(damaged));
  ASSERT_TRUE(vx::CopyFileChunked(setup, damaged + "setup.exe"));
  std::string vxp = ReadHostFile(vx::ExtractFilePath(setup) + "extra.vxp");
  ASSERT_GT(vxp.size(), 200u);
  for (size_t i = vxp.size() / 2; i < vxp.size() / 2 + 64; ++i) vxp[i] = char(vxp[i] ^ 0x5A);
  ASSERT_TRUE(vx::WriteWholeFile(damaged + "extra.vxp", vxp));
  ExpectFailureChangesNothing([&] { return Install({}, "", 0, damaged + "setup.exe"); }, "damaged package");

#ifndef _WIN32
  // A destination on a drive the machine cannot write to.
  ExpectFailureChangesNothing([&] { return Install({"/var:InstallPath=Z:\\tmp\\vx-readonly-test"}); },
                              "read-only drive");
  EXPECT_NE(runLog.find("text=\"Cannot write the file \\\"app.txt\\\" or create its folder.\""), std::string::npos)
      << runLog;

  // A second drive with no room left: the external file cannot be written.
  {
    std::filesystem::create_directories(machine.Root() + "/drive_d");
    std::string ini = ReadNative(machine.Root() + "/machine.ini");
    FILE* f = std::fopen((machine.Root() + "/machine.ini").c_str(), "wb");
    std::fputs((ini + "\r\n[FreeSpace]\r\nD=0\r\n").c_str(), f);
    std::fclose(f);
    vx::SandboxHost full(machine.Root());
    vx::ScopedHost scope(full);
    ExpectFailureChangesNothing([&] { return Install({"/var:TestRoot=D:\\full"}); }, "full drive");
    EXPECT_NE(runLog.find("Cannot write the file"), std::string::npos) << runLog;
  }
#endif
}

}  // namespace
