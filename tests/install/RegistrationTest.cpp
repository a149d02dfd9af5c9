// Server, type-library and font registration and the programs of a
// project, on a test machine: natively a sandbox machine told what its
// servers write, under Wine the real system with a COM server DLL and a
// program built for the tests and a TrueType font of the build machine.
// The file phase's part (files recorded and written) is played by the test;
// every failure must leave the machine as it was after the rollback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "database/Variables.h"
#include "install/Actions.h"
#include "install/Install.h"
#include "install/UninstallLog.h"
#include "support/InstallFakes.h"
#include "support/FakeExpressions.h"
#include "support/MachineSnapshot.h"
#include "support/PeBuilder.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

using namespace vx;

namespace {

using Strings = std::vector<std::string>;

constexpr char kClsidKey[] = "HKLM\\SOFTWARE\\Classes\\CLSID\\{6A1B7C3E-2F4D-4E8A-9B1C-0D2E3F405163}";
constexpr char kTypeLibKey[] = "HKLM\\SOFTWARE\\Classes\\TypeLib\\{6A1B7C3E-2F4D-4E8A-9B1C-0D2E3F405161}";
constexpr uint32_t kProbeMessage = 0x8001;  // WM_APP + 1

#ifdef _WIN32
using vxtest::HostPath;
#endif

std::string Join(const Strings& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

using vxtest::Read;

// A TrueType font: the build machine's on Windows (the real font table
// takes only real fonts), the header of one on the sandbox machine.
std::string FontBytes(const std::string& tag) {
#ifdef VX_TEST_FONT
  std::string font = vxtest::ReadNative(VX_TEST_FONT);
  if (!font.empty()) return font + tag;  // bytes after the tables are ignored
#endif
  return std::string("\0\1\0\0\0\x0c\0\x80\0\3\0\x40", 12) + std::string(200, 'f') + tag;
}

struct Events : InstallEvents {
  explicit Events(RunState& s) : state(s) {}
  RunState& state;
  Strings servers, programs;
  std::string skipProgram;
  int fonts = 0;
  bool SkipPhase(ItemKind) override { return false; }
  void PhaseDone(ItemKind) override {}
  void AbortInstall() override { state.abort = true; }
  void ServerDone(const std::string& path) override { servers.push_back(path); }
  void FontDone() override { ++fonts; }
  bool SkipProgram(const ProgramItemEvent& p) override {
    return !skipProgram.empty() && p.arguments.find(skipProgram) != std::string::npos;
  }
  void ProgramDone(const ProgramItemEvent& p) override {
    programs.push_back(Format("%d %d %s", p.moment, p.showCode, p.message.c_str()));
  }
};

using vxtest::RecordingPrompts;

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    // The machine's servers, type libraries and the test program.
    std::string ini = vxtest::ReadNative(machine.Root() + "/machine.ini");
    ini +=
        "\n[Servers]\nfailing.dll=fail\nlocal.exe=C:\\scratch\\local.reg\n"
        "[TypeLibraries]\nlib.tlb=C:\\scratch\\lib.reg\n"
        "[Programs]\nexitwith.exe=if [ \"$1\" = wait ]; then : > \"$3\"; n=0; while [ ! -e \"$2\" ] && [ $n -lt 3000 ]; do sleep 0.02; n=$((n+1)); done; "
        "rm -f \"$3\"; exit 0; fi; if [ -n \"$2\" ]; then echo \"$3\" >> \"$2\"; fi; exit \"$1\"\n";
    ASSERT_TRUE(WriteNativeFile(machine.Root() + "/machine.ini", ini));
    host = std::make_unique<SandboxHost>(machine.Root());
    scope = std::make_unique<ScopedHost>(*host);
    program = Path("bin\\exitwith.exe");
    ASSERT_TRUE(CurrentHost().MakeFolder(Path("bin")));
    ASSERT_TRUE(WriteWholeFile(program, "#!"));
#else
    program = HostPath(VX_TEST_EXITWITH);
#endif
    db.Expressions = &expressions;
    db.TempBackupPath = Path("backup\\");
    db.TempFontsPath = Path("fontstmp\\");
    for (const char* f : {"backup", "fontstmp", "app"}) ASSERT_TRUE(CurrentHost().MakeFolder(Path(f)));
    fontsFolder = CurrentHost().ShellFolderPath(kCsidlFonts);
    ASSERT_FALSE(fontsFolder.empty());
    SetVariable(&db, "Fonts", fontsFolder);
    fontsFolder = IncludeTrailingBackslash(fontsFolder);
    fontsKey = CurrentHost().Version().platform == kPlatformNT
                   ? "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\"
                   : "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts\\";
    component = db.Components->AddNew();
    component->SetID("C");
    installer.Log().SetPath(Path("install.log"));
    installer.Log().Enable();
  }
  void TearDown() override { IniFlush(); }

  static bool WriteNativeFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
  }
  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  // A path as the test program sees it.
  std::string ProgramPath(const std::string& path) {
#ifndef _WIN32
    return host->NativePath(path);
#else
    return path;
#endif
  }
  // What a program wrote ("<missing>" when it wrote nothing): read the
  // way the program wrote it, behind the machine's back on the sandbox.
  std::string ProgramOutput(const std::string& path) {
#ifndef _WIN32
    std::string native = ProgramPath(path);
    return std::filesystem::exists(native) ? vxtest::ReadNative(native) : "<missing>";
#else
    return Read(path);
#endif
  }
  vxtest::SnapshotOptions Watched() {
    vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXRegistrationTest");
    o.folders.push_back(fontsFolder);
    o.keys.push_back(fontsKey);
    o.keys.push_back("HKLM\\SOFTWARE\\Classes");
    o.ignore = {Path("backup\\"), Path("fontstmp\\"), Path("install.log"), vxtest::TempFolderPrefix(CurrentHost())};
#ifndef _WIN32
    o = {};  // the whole sandbox machine
    o.ignore = {Path("backup\\"), Path("fontstmp\\"), Path("install.log")};
#endif
    return o;
  }
  // What the file phase does for a file it writes.
  void Install(const std::string& path, const std::string& bytes, TvxFlags flags) {
    TInstallFile* f = installer.Actions().AddFile(path, flags, true);
    ASSERT_TRUE(WriteWholeFile(f->PendingReplace ? f->TmpFileName : path, bytes));
  }
  // ... and for a font, which it writes aside.
  void ExtractFont(const std::string& fileName, const std::string& fontName, const std::string& bytes,
                   TvxFlags flags = TvxFlags{TvxFlag::reg_font}) {
    std::string tmp = Path("fontstmp\\") + fileName;
    ASSERT_TRUE(WriteWholeFile(tmp, bytes));
    installer.Actions().AddFontFile(fontsFolder + fileName, tmp, flags, fontName);
  }
  TvxRunApp& App(const std::string& args, TvxWhenStart when, TvxFlags flags = {},
                 TvxShowCmd show = TvxShowCmd::scNormal) {
    TvxRunApp& a = *component->RunApps->AddNew();
    a.CmdLine = program;
    a.Arg = args;
    a.WhenStart = when;
    a.Flags = flags;
    a.ShowCmd = show;
    a.Msg = "m" + std::to_string(component->RunApps->Count());
    return a;
  }
  std::string Logged(const std::string& text) {  // arguments that append `text` to the order file
    return Format("0 \"%s\" %s", ProgramPath(Path("order.txt")).c_str(), text.c_str());
  }

  vxtest::TestMachine machine;
#ifndef _WIN32
  std::unique_ptr<SandboxHost> host;
  std::unique_ptr<ScopedHost> scope;
#endif
  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
  RunState state;
  Events events{state};
  RecordingPrompts prompts;
  RunInstaller installer{db, state, events, prompts};
  InstallRun run{db, state, events, prompts, installer.Actions(), installer.Log(), {}};
  TvxComponent* component = nullptr;
  std::string program, fontsFolder, fontsKey;
};

#ifndef _WIN32
TEST_F(RegistrationTest, ServersTheMachineDescribesRegisterAndRollbackTakesThemBack) {
  std::string dll = Path("app\\server.dll"), exe = Path("app\\local.exe"), tlb = Path("app\\lib.tlb");
  std::string clsid = std::string(kClsidKey) + "\\InprocServer32";
  // Each description names the keys its server owns; their parents are
  // the system's.
  ASSERT_TRUE(WriteWholeFile(dll + ".reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE" + std::string(kClsidKey).substr(4) +
                                               "]\r\n@=\"VX test\"\r\n\r\n[HKEY_LOCAL_MACHINE" + clsid.substr(4) +
                                               "]\r\n@=\"server.dll\"\r\n\"ThreadingModel\"=\"Apartment\"\r\n"));
  ASSERT_TRUE(WriteWholeFile(Path("local.reg"), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\VXRegistrationTest\\Local]\n"
                                                "\"Server\"=\"local\"\n"));
  ASSERT_TRUE(WriteWholeFile(Path("lib.reg"), "REGEDIT4\n[HKEY_LOCAL_MACHINE" + std::string(kTypeLibKey).substr(4) +
                                              "]\n[HKEY_LOCAL_MACHINE" + std::string(kTypeLibKey).substr(4) +
                                              "\\1.2]\n@=\"VX test type library\"\n"));
  for (const char* key : {"HKLM\\SOFTWARE\\Classes\\CLSID", "HKLM\\SOFTWARE\\Classes\\TypeLib",
                          "HKCU\\Software\\VXRegistrationTest"})
    ASSERT_TRUE(RegWriteString(key, "", "system"));
  auto snapshotWithDescriptions = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());
  vxtest::PeShape program;
  program.characteristics = 0x0102;  // not a DLL
  Install(dll, vxtest::MakePe(1, 0), TvxFlags{TvxFlag::reg_server});
  Install(exe, vxtest::MakePe(1, 0, program), TvxFlags{TvxFlag::reg_server});  // " /REGSERVER"
  Install(tlb, "MSFT type library", TvxFlags{TvxFlag::reg_server});            // the type library alone
  Install(Path("app\\readme.txt"), "text", {});

  ASSERT_TRUE(RegisterServers(run)) << Join(prompts.errors);
  EXPECT_EQ(events.servers, (Strings{dll, exe, tlb}));
  EXPECT_EQ(RegReadText(clsid, "ThreadingModel", ""), "Apartment");
  EXPECT_EQ(RegReadText("HKCU\\Software\\VXRegistrationTest\\Local", "Server", ""), "local");
  EXPECT_TRUE(RegKeyExists(std::string(kTypeLibKey) + "\\1.2"));

  // A server whose DllRegisterServer fails, then one that is no image.
  Install(Path("app\\failing.dll"), vxtest::MakePe(1, 0), TvxFlags{TvxFlag::reg_server});
  EXPECT_FALSE(RegisterServers(run));
  EXPECT_EQ(prompts.errors, Strings{"Error: Cannot register \"" + Path("app\\failing.dll") + "\"."});
  EXPECT_FALSE(RegisterServer(Path("app\\readme.txt")));
  EXPECT_FALSE(RegisterServer(Path("app\\missing.dll")));

  installer.Rollback();
  EXPECT_FALSE(RegKeyExists(kClsidKey));
  EXPECT_FALSE(RegKeyExists("HKCU\\Software\\VXRegistrationTest\\Local"));
  EXPECT_FALSE(RegKeyExists(kTypeLibKey));
  EXPECT_EQ(vxtest::Diff(snapshotWithDescriptions, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");
}
#endif

TEST_F(RegistrationTest, NonImageServerFailsWithItsMessageAndRollbackRemovesEverything) {
  auto before = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());
  std::string good = Path("app\\first.txt"), bad = Path("app\\notaserver.dll");
  Install(good, "first", {});
  Install(bad, "MZ but not an image", TvxFlags{TvxFlag::reg_server});
  EXPECT_FALSE(RegisterServers(run));
  EXPECT_EQ(prompts.errors, Strings{"Error: Cannot register \"" + bad + "\"."});
  EXPECT_TRUE(events.servers.empty());
  installer.Rollback();
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");
}

#ifdef VX_TEST_SERVER_DLL
TEST_F(RegistrationTest, ComServerDllAndItsTypeLibraryRegisterAndUnregister) {
  std::string dll = Path("app\\VxTestServer.dll");
  auto before = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());
  TInstallFile* f = installer.Actions().AddFile(dll, TvxFlags{TvxFlag::reg_server}, true);
  ASSERT_TRUE(CopyFileChunked(HostPath(VX_TEST_SERVER_DLL), f->FileName));
  ASSERT_TRUE(RegisterServers(run)) << Join(prompts.errors);
  EXPECT_TRUE(SameText(RegReadText(std::string(kClsidKey) + "\\InprocServer32", "", ""), dll));
  EXPECT_TRUE(RegKeyExists(std::string(kTypeLibKey) + "\\1.2"));
  EXPECT_TRUE(UnregisterServer(dll));
  EXPECT_FALSE(RegKeyExists(kClsidKey));
  EXPECT_FALSE(RegKeyExists(std::string(kTypeLibKey) + "\\1.2"));
  EXPECT_TRUE(RegisterServer(dll));
  installer.Rollback();  // unregisters and deletes the server
  EXPECT_FALSE(RegKeyExists(kClsidKey));
  EXPECT_FALSE(RegKeyExists(std::string(kTypeLibKey) + "\\1.2"));
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");
}
#endif

TEST_F(RegistrationTest, FontsAreRegisteredRenamedOrUpdatedAndRolledBack) {
  // Another font's file holds the name VxArial.ttf; VX Old is registered.
  ASSERT_TRUE(WriteWholeFile(fontsFolder + "VxArial.ttf", FontBytes("other")));
  ASSERT_TRUE(WriteWholeFile(fontsFolder + "VxOld.ttf", FontBytes("old")));
  ASSERT_TRUE(CurrentHost().SetFileWriteTime(fontsFolder + "VxOld.ttf", DateTimeToFileTime(36526.0)));
  ASSERT_TRUE(RegWriteString(fontsKey, "VX Old (TrueType)", "VxOld.ttf"));
  ASSERT_TRUE(CurrentHost().AddFontFile(fontsFolder + "VxOld.ttf"));  // registered fonts are loaded
  auto before = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());

  ExtractFont("VxNew.ttf", "VX New", FontBytes("new"));
  ExtractFont("VxArial.ttf", "VX Arial", FontBytes("arial"));
  ExtractFont("VxOld.ttf", "VX Old", FontBytes("updated"));
  ExtractFont("VxKept.ttf", "", FontBytes("no name"));  // no font name: not installed
  ASSERT_TRUE(InstallFonts(run)) << Join(prompts.errors);
  EXPECT_EQ(events.fonts, 3);

  EXPECT_EQ(RegReadText(fontsKey, "VX New (TrueType)", ""), "VxNew.ttf");
  EXPECT_EQ(Read(fontsFolder + "VxNew.ttf"), FontBytes("new"));
  EXPECT_EQ(RegReadText(fontsKey, "VX Arial (TrueType)", ""), "VxArial2.ttf");
  EXPECT_EQ(Read(fontsFolder + "VxArial2.ttf"), FontBytes("arial"));
  EXPECT_EQ(Read(fontsFolder + "VxArial.ttf"), FontBytes("other"));
  EXPECT_EQ(RegReadText(fontsKey, "VX Old (TrueType)", ""), "VxOld.ttf");
  EXPECT_EQ(Read(fontsFolder + "VxOld.ttf"), FontBytes("updated"));
  EXPECT_FALSE(FileExists(fontsFolder + "VxKept.ttf"));
#ifndef _WIN32
  Strings loaded = host->LoadedFonts();
  EXPECT_EQ(loaded, (Strings{fontsFolder + "VxNew.ttf", fontsFolder + "VxArial2.ttf", fontsFolder + "VxOld.ttf"}));
#endif

  // The uninstall log names the installed files under their registered names.
  installer.Actions().WriteLog();
  IniFlush();
  EXPECT_EQ(IniReadString(Path("install.log"), "RegFonts", "VX Arial (TrueType)", "?"), fontsFolder + "VxArial2.ttf");
  EXPECT_EQ(IniReadString(Path("install.log"), "RegFonts", "VX Arial", "?"), "?");

  installer.Rollback();
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");
  CurrentHost().RemoveFontFile(fontsFolder + "VxOld.ttf");
  RegRemoveValue(fontsKey, "VX Old (TrueType)");
  DeleteFileForced(fontsFolder + "VxOld.ttf");
  DeleteFileForced(fontsFolder + "VxArial.ttf");
}

TEST_F(RegistrationTest, AFileThatIsNoFontFailsAndLeavesNothing) {
  auto before = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());
  ExtractFont("VxGood.ttf", "VX Good", FontBytes("good"));
  ExtractFont("VxBad.ttf", "VX Bad", "this is not a font at all");
  EXPECT_FALSE(InstallFonts(run));
  EXPECT_EQ(prompts.errors, Strings{"Error: Cannot register font \"VX Bad\"."});
  installer.Rollback();
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");
}

TEST_F(RegistrationTest, ProgramsRunAtTheirMomentsAndUninstallTimeOnesAreLogged) {
  App(Logged("after-1"), TvxWhenStart::after_install, {}, TvxShowCmd::scHide);
  App(Format("3 \"%s\" before", ProgramPath(Path("order.txt")).c_str()), TvxWhenStart::before_install);
  App(Logged("after-2"), TvxWhenStart::after_install, TvxFlags{TvxFlag::check_exitcode});
  App(Logged("skipped"), TvxWhenStart::after_install);
  App("7", TvxWhenStart::after_install, TvxFlags{TvxFlag::dont_wait, TvxFlag::check_exitcode});
  App("/x", TvxWhenStart::before_uninstall, {}, TvxShowCmd::scMin).WorkDir = "%Fonts%";
  App("/y", TvxWhenStart::after_uninstall, TvxFlags{TvxFlag::dont_wait, TvxFlag::check_exitcode},
      TvxShowCmd::scMax);
  events.skipProgram = "skipped";

  EXPECT_TRUE(RunProgramPhase(run, int(TvxWhenStart::before_install)));  // exit code 3 is not checked
  EXPECT_TRUE(RunProgramPhase(run, int(TvxWhenStart::after_install)));
  EXPECT_TRUE(RunProgramPhase(run, int(TvxWhenStart::before_uninstall)));
  EXPECT_TRUE(RunProgramPhase(run, int(TvxWhenStart::after_uninstall)));
  EXPECT_TRUE(prompts.errors.empty()) << Join(prompts.errors);
  EXPECT_EQ(ProgramOutput(Path("order.txt")), "before\nafter-1\nafter-2\n");
  EXPECT_EQ(events.programs, (Strings{"0 0 m2", "1 3 m1", "1 0 m3", "1 0 m5", "2 1 m6", "3 2 m7"}));
  EXPECT_EQ(db.InstallState, TvxInstallState::isUnknown);
  EXPECT_EQ(db.InstallStateData, "");

  IniFlush();
  std::string fonts = ExcludeTrailingBackslash(fontsFolder);
  EXPECT_EQ(IniReadString(Path("install.log"), "PreRunApp", "0", ""),
            Format("'%s','/x','%s',3,'m6',1,0", program.c_str(), fonts.c_str()));
  EXPECT_EQ(IniReadString(Path("install.log"), "RunApp", "1", ""), Format("'%s','/y','',2,'m7',0,1", program.c_str()));
}

TEST_F(RegistrationTest, ACheckedExitCodeOrAMissingProgramStopsTheInstallation) {
  auto before = vxtest::MachineSnapshot::Take(CurrentHost(), Watched());
  Install(Path("app\\installed.txt"), "x", {});
  App("5", TvxWhenStart::after_install, TvxFlags{TvxFlag::check_exitcode});
  EXPECT_FALSE(RunProgramPhase(run, int(TvxWhenStart::after_install)));
  EXPECT_EQ(prompts.errors, Strings{Format("Error: \"%s\" ended with the exit code 5.", program.c_str())});
  EXPECT_EQ(db.InstallState, TvxInstallState::isUnknown);
  EXPECT_EQ(db.InstallStateData, "");
  installer.Rollback();
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(CurrentHost(), Watched())), "");

  // A program that does not exist counts as -1: a failure only when checked.
  component->RunApps->Clear();
  prompts.errors.clear();
  App("", TvxWhenStart::before_install).CmdLine = Path("app\\missing.exe");
  EXPECT_TRUE(RunProgramPhase(run, int(TvxWhenStart::before_install)));
  App("", TvxWhenStart::after_install, TvxFlags{TvxFlag::check_exitcode}).CmdLine = Path("app\\missing.exe");
  EXPECT_FALSE(RunProgramPhase(run, int(TvxWhenStart::after_install)));
  EXPECT_EQ(prompts.errors, Strings{"Error: Cannot run \"" + Path("app\\missing.exe") + "\"."});
}

TEST_F(RegistrationTest, ARunningProgramIsTheResumePointAndAnAbortEndsTheWait) {
  // A run resumed behind program 0 of component D: the earlier component
  // is passed over, program 0 is not started again.
  App(Logged("C"), TvxWhenStart::after_install);
  component = db.Components->AddNew();
  component->SetID("D");
  App(Logged("D0"), TvxWhenStart::after_install);
  std::string stop = Path("stop"), started = Path("started");
  App(Format("wait \"%s\" \"%s\"", ProgramPath(stop).c_str(), ProgramPath(started).c_str()),
      TvxWhenStart::after_install);

  // While the waiting program runs, the main thread (which pumps messages
  // in the wait) tells what the resume point is; then the user aborts.
  Host& h = CurrentHost();
  WindowHandle window = h.CreateMainWindow("VXRegistrationTest");
  ASSERT_NE(window, 0u);
  std::string seen;
  h.SetMainWindowHandler([&](uint32_t message, uintptr_t, uintptr_t, intptr_t& result) {
    if (message != kProbeMessage) return false;
    seen = Format("%d %s", int(db.InstallState), db.InstallStateData.c_str());
    result = 1;
    return true;
  });
  std::thread user([&] {
    for (int i = 0; i < 3000 && ProgramOutput(started) == "<missing>"; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h.SendWindowMessage(window, kProbeMessage, 0, 0);
    state.abort = true;
  });
  db.InstallStateData = "D,0";
  auto start = std::chrono::steady_clock::now();
  bool result = RunProgramPhase(run, int(TvxWhenStart::after_install));
  user.join();
  auto waited = std::chrono::steady_clock::now() - start;
  WriteWholeFile(stop, "");  // the program may end now
  // It removes its STARTED file as it ends: the machine must outlive it.
  for (int i = 0; i < 1000 && ProgramOutput(started) != "<missing>"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  h.SetMainWindowHandler({});
  h.DestroyWindow(window);

  EXPECT_FALSE(result);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(waited).count(), 20);
  EXPECT_EQ(seen, Format("%d D,1", int(TvxInstallState::isRunAppAfterInstall)));
  EXPECT_EQ(ProgramOutput(Path("order.txt")), "<missing>");  // neither C nor D0 ran
  EXPECT_EQ(db.InstallState, TvxInstallState::isUnknown);
  EXPECT_EQ(db.InstallStateData, "");
  EXPECT_TRUE(prompts.errors.empty()) << Join(prompts.errors);
}

TEST_F(RegistrationTest, TheSessionMayEndOnlyWhileAProgramRunsAndTheRunThenSuspendsBehindIt) {
  // No program runs: the logon may not end.
  EXPECT_FALSE(installer.AllowEndOfSession());
  EXPECT_FALSE(state.suspended);

  App(Logged("C0"), TvxWhenStart::after_install);
  std::string stop = Path("stop"), started = Path("started");
  App(Format("wait \"%s\" \"%s\"", ProgramPath(stop).c_str(), ProgramPath(started).c_str()),
      TvxWhenStart::after_install);
  App(Logged("C2"), TvxWhenStart::after_install);

  // While the waiting program runs, Windows asks the main window (on the
  // thread that waits) whether the logon may end.
  Host& h = CurrentHost();
  WindowHandle window = h.CreateMainWindow("VXRegistrationTest");
  ASSERT_NE(window, 0u);
  intptr_t answer = -1;
  h.SetMainWindowHandler([&](uint32_t message, uintptr_t, uintptr_t, intptr_t& result) {
    if (message != kProbeMessage) return false;
    answer = result = installer.AllowEndOfSession() ? 1 : 0;
    return true;
  });
  std::thread windows([&] {
    for (int i = 0; i < 3000 && ProgramOutput(started) == "<missing>"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    h.SendWindowMessage(window, kProbeMessage, 0, 0);
  });
  auto start = std::chrono::steady_clock::now();
  bool result = RunProgramPhase(run, int(TvxWhenStart::after_install));
  windows.join();
  auto waited = std::chrono::steady_clock::now() - start;
  WriteWholeFile(stop, "");
  for (int i = 0; i < 1000 && ProgramOutput(started) != "<missing>"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  h.SetMainWindowHandler({});
  h.DestroyWindow(window);

  // The wait ended at once, the phase ended with success and suspended;
  // the resumed run goes on behind the program that ran.
  EXPECT_EQ(answer, 1);
  EXPECT_TRUE(result);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(waited).count(), 20);
  EXPECT_TRUE(state.suspended);
  EXPECT_TRUE(state.windowsShuttingDown);
  EXPECT_EQ(db.InstallState, TvxInstallState::isRunAppAfterInstall);
  EXPECT_EQ(db.InstallStateData, "C,1");
  EXPECT_EQ(ProgramOutput(Path("order.txt")), "C0\n");  // C2 did not start
  EXPECT_TRUE(prompts.errors.empty()) << Join(prompts.errors);
}

}  // namespace
