// The shortcut step on a test machine (a sandbox machine natively, the
// shell's own link object under Wine): links written into new program
// groups and recorded for rollback and the uninstall log, existing links
// kept, replaced or removed, the user interface's events, names that are
// no valid path, links that cannot be written, and links in use.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "database/Variables.h"
#include "install/Actions.h"
#include "install/Install.h"
#include "install/UninstallLog.h"
#include "support/InstallFakes.h"
#include "support/FakeExpressions.h"
#include "support/MachineSnapshot.h"
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

struct ShortcutEvents : InstallEvents {
  explicit ShortcutEvents(RunState& s) : state(s) {}
  RunState& state;
  std::function<bool(const ShortcutItemEvent&)> skip;
  std::vector<ShortcutItemEvent> before, after;

  bool SkipPhase(ItemKind) override { return false; }
  void PhaseDone(ItemKind) override {}
  bool SkipShortcut(const ShortcutItemEvent& e) override {
    before.push_back(e);
    return skip && skip(e);
  }
  void ShortcutDone(const ShortcutItemEvent& e) override { after.push_back(e); }
  void AbortInstall() override { state.abort = true; }
};

using vxtest::RecordingPrompts;

using vxtest::Read;

class Shortcuts : public ::testing::Test {
 protected:
  void SetUp() override {
    com = CurrentHost().InitializeCom();
    db.Expressions = &expressions;
    SetVariable(&db, "Programs", Path("Start Menu\\Programs"));
    SetVariable(&db, "AppDir", Path("App"));
    db.TempBackupPath = Path("backup\\");
    for (const char* f : {"backup", "Start Menu\\Programs", "App"}) ASSERT_TRUE(ForceFolders(Path(f)));
    ASSERT_TRUE(WriteWholeFile(Path("App\\app.exe"), "MZ app"));
    component = db.Components->AddNew();
    component->SetID("C");
    installer.Log().SetPath(Path("install.log"));
    installer.Log().Enable();
  }
  void TearDown() override {
    IniFlush();
    if (com) CurrentHost().UninitializeCom();
  }

  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  std::string Programs(const std::string& name) const { return Path("Start Menu\\Programs\\" + name); }
  TvxShortcut& Shortcut(const std::string& name, TvxFlags flags = {}) {
    TvxShortcut& s = *component->Shortcuts->AddNew();
    s.Name = name;
    s.CmdLine = "%AppDir%\\app.exe";
    s.Flags = flags;
    return s;
  }
  bool Step() { return InstallShortcuts(run, *component); }
  TInstallActions& Actions() { return installer.Actions(); }
  // The actions as "<class> <path> log|nolog".
  Strings Recorded() {
    Strings out;
    for (int i = 0; i < Actions().Count(); ++i) {
      TInstallAction& a = Actions()[i];
      std::string log = a.Log ? " log" : " nolog";
      if (auto* f = dynamic_cast<TInstallFile*>(&a)) out.push_back("file " + f->FileName + log);
      else if (auto* d = dynamic_cast<TInstallFolder*>(&a)) out.push_back("folder " + d->Folder + log);
      else if (auto* s = dynamic_cast<TInstallShortcut*>(&a)) out.push_back("shortcut " + s->LinkFile + log);
      else out.push_back("other");
    }
    return out;
  }
  ShellLinkData Load(const std::string& link) {
    ShellLinkData data;
    EXPECT_TRUE(CurrentHost().LoadShellLink(link, data)) << link;
    return data;
  }
  int ShowCommandInFile(const std::string& link) {
    std::string bytes = Read(link);
    return bytes.size() < 0x4C ? -1 : uint8_t(bytes[0x3C]) | uint8_t(bytes[0x3D]) << 8;
  }
  vxtest::MachineSnapshot Snapshot() {
    return vxtest::MachineSnapshot::Take(CurrentHost(),
                                         vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXShortcutsTest"));
  }

  vxtest::TestMachine machine;
  bool com = false;
  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
  RunState state;
  ShortcutEvents events{state};
  RecordingPrompts prompts;
  RunInstaller installer{db, state, events, prompts};
  InstallRun run{db, state, events, prompts, installer.Actions(), installer.Log(), {}};
  TvxComponent* component = nullptr;
};

TEST_F(Shortcuts, ANewProgramGroupIsCreatedAndRecordedAndRollbackTakesItAllBack) {
  ASSERT_TRUE(com);
  vxtest::MachineSnapshot before = Snapshot();
  TvxShortcut& run1 = Shortcut("%Programs%\\My App\\Run");
  run1.CmdLine = "\"%AppDir%\\app.exe\"";
  run1.Arg = "-w \"x y\"";
  run1.WorkDir = "\"%AppDir%\"";
  run1.IconFile = "%AppDir%\\app.exe";
  run1.Icon = 1;
  run1.Hotkey = 0x70641;  // only the low 16 bits are a hotkey
  run1.ShowCmd = TvxShowCmd::scHide;
  run1.Description = "Runs \"it\"";
  // Unlogged: its folder is made but not recorded, the link not logged.
  TvxShortcut& quiet = Shortcut("%Programs%\\Quiet\\Q", TvxFlags{TvxFlag::dont_log});
  quiet.ShowCmd = TvxShowCmd::scMax;

  ASSERT_TRUE(Step());
  EXPECT_TRUE(prompts.errors.empty()) << prompts.errors[0];
  std::string link = Programs("My App\\Run.lnk"), quietLink = Programs("Quiet\\Q.lnk");
  ShellLinkData data = Load(link);
  EXPECT_TRUE(SameText(data.target, Path("App\\app.exe"))) << data.target;
  EXPECT_EQ(data.arguments, "-w \"x y\"");
  EXPECT_TRUE(SameText(ExcludeTrailingBackslash(data.workingFolder), Path("App"))) << data.workingFolder;
  EXPECT_EQ(data.description, "Runs it");
  EXPECT_TRUE(SameText(data.iconFile, Path("App\\app.exe"))) << data.iconFile;
  EXPECT_EQ(data.iconIndex, 1);
  EXPECT_EQ(data.hotkey, 0x0641);
  // A hidden window is no choice for a link. (The show command is read
  // from the header: Wine's link object reads every link back as normal.)
  EXPECT_EQ(ShowCommandInFile(link), kSwShowNormal);
  EXPECT_EQ(ShowCommandInFile(quietLink), kSwShowMaximized);

  EXPECT_EQ(Recorded(), (Strings{"folder " + Programs("My App") + " log", "file " + link + " nolog",
                                 "shortcut " + link + " log", "file " + quietLink + " nolog",
                                 "shortcut " + quietLink + " nolog"}));
  // The user interface saw both items, expanded, before and after.
  ASSERT_EQ(events.before.size(), 2u);
  ASSERT_EQ(events.after.size(), 2u);
  const ShortcutItemEvent& e = events.before[0];
  EXPECT_EQ(e.name, Programs("My App\\Run"));
  EXPECT_EQ(e.commandLine, "\"" + Path("App\\app.exe") + "\"");
  EXPECT_EQ(e.arguments, "-w \"x y\"");
  EXPECT_EQ(e.showCode, 0);
  EXPECT_EQ(e.hotkey, 0x70641);
  EXPECT_EQ(e.iconIndex, 1);
  EXPECT_FALSE(e.removal);
  EXPECT_EQ(events.before[1].showCode, 2);

  // The uninstall log gets the folder and the link, never the link as a copied file.
  Actions().WriteLog();
  IniFlush();
  Strings sections, dirs, links;
  IniReadSections(Path("install.log"), sections);
  IniReadSectionKeys(Path("install.log"), "CreateDirs", dirs);
  IniReadSectionKeys(Path("install.log"), "Shortcuts", links);
  EXPECT_EQ(sections, (Strings{"CreateDirs", "Shortcuts"}));
  EXPECT_EQ(dirs, Strings{Programs("My App")});
  EXPECT_EQ(links, Strings{link});
  DeleteFileForced(Path("install.log"));

  Actions().Rollback();
  EXPECT_FALSE(PathExists(link));
  EXPECT_FALSE(PathExists(Programs("My App")));
  EXPECT_FALSE(PathExists(quietLink));
  EXPECT_TRUE(FolderExists(Programs("Quiet")));  // never recorded, so never removed
  CurrentHost().RemoveFolder(Programs("Quiet"));
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
}

TEST_F(Shortcuts, ExistingLinksAreKeptOrReplacedAndRemovedAndRollbackRestoresThemByteForByte) {
  ASSERT_TRUE(com);
  ASSERT_TRUE(WriteWholeFile(Programs("Keep.lnk"), "old keep"));
  ASSERT_TRUE(WriteWholeFile(Programs("Replace.lnk"), "old replace\x01\xFF"));
  ASSERT_TRUE(WriteWholeFile(Programs("Old.lnk"), "old link"));
  vxtest::MachineSnapshot before = Snapshot();
  Shortcut("%Programs%\\Keep", TvxFlags{TvxFlag::dont_overwrite});
  Shortcut("%Programs%\\New", TvxFlags{TvxFlag::dont_overwrite});  // not there yet: written
  Shortcut("%Programs%\\Replace");
  Shortcut("%Programs%\\Old").Action = TvxInstallAction::remove;
  Shortcut("%Programs%\\Gone").Action = TvxInstallAction::remove;  // not there: only the events
  Shortcut("%Programs%\\Skipped");
  events.skip = [](const ShortcutItemEvent& e) { return ExtractFileName(e.name) == "Skipped"; };

  ASSERT_TRUE(Step());
  EXPECT_TRUE(prompts.errors.empty()) << prompts.errors[0];
  EXPECT_EQ(Read(Programs("Keep.lnk")), "old keep");
  EXPECT_TRUE(SameText(Load(Programs("New.lnk")).target, Path("App\\app.exe")));
  EXPECT_TRUE(SameText(Load(Programs("Replace.lnk")).target, Path("App\\app.exe")));
  EXPECT_FALSE(PathExists(Programs("Old.lnk")));
  EXPECT_FALSE(PathExists(Programs("Gone.lnk")));
  EXPECT_FALSE(PathExists(Programs("Skipped.lnk")));
  TInstallFile* replaced = Actions().FindFile(Programs("Replace.lnk"));
  ASSERT_TRUE(replaced);
  EXPECT_TRUE(replaced->Existed);
  EXPECT_FALSE(replaced->Log);

  // A kept link has no events; a skipped one only the first.
  Strings before1, after1;
  for (auto& e : events.before) before1.push_back(ExtractFileName(e.name) + (e.removal ? " remove" : ""));
  for (auto& e : events.after) after1.push_back(ExtractFileName(e.name) + (e.removal ? " remove" : ""));
  EXPECT_EQ(before1, (Strings{"New", "Replace", "Old remove", "Gone remove", "Skipped"}));
  EXPECT_EQ(after1, (Strings{"New", "Replace", "Old remove", "Gone remove"}));

  Actions().Rollback();
  EXPECT_EQ(Read(Programs("Replace.lnk")), "old replace\x01\xFF");
  EXPECT_EQ(Read(Programs("Old.lnk")), "old link");
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
}

TEST_F(Shortcuts, NamesThatAreNoValidPathAreRefusedWithAMessageAndNothingIsWritten) {
  ASSERT_TRUE(com);
  SetVariable(&db, "Empty", "");
  vxtest::MachineSnapshot before = Snapshot();
  const Strings names = {"",
                         "%Empty%",
                         "..\\..\\x",
                         "%Empty%\\x",
                         "x",
                         "C:",
                         "C:\\",
                         "C:x",
                         "%Programs%\\",
                         "%Programs%\\...",
                         "%Programs%\\a|b",
                         "%Programs%\\a?b",
                         "%Programs%\\a<b",
                         "%Programs%\\nul",
                         "%Programs%\\com1\\x",
                         "%Programs%\\..\\..\\x",
                         "%Programs%\\.\\x",
                         "%Programs%\\" + std::string(300, 'n')};
  for (const std::string& name : names) Shortcut(name);
  Shortcut("%Programs%/Good");  // a forward slash is a backslash to Windows
  Shortcut("%Programs%\\\\Twice");  // and so are two backslashes

  ASSERT_TRUE(Step());
  ASSERT_EQ(prompts.errors.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(StartsWithText(prompts.errors[i], "Error: The shortcut \"")) << prompts.errors[i];
    EXPECT_NE(prompts.errors[i].find("\" is not a valid path."), std::string::npos) << prompts.errors[i];
  }
  // Only the good one is written and recorded; each bad one still ends its events.
  EXPECT_EQ(Recorded(), (Strings{"file " + Programs("Good.lnk") + " nolog", "shortcut " + Programs("Good.lnk") + " log",
                                 "file " + Programs("Twice.lnk") + " nolog",
                                 "shortcut " + Programs("Twice.lnk") + " log"}));
  EXPECT_EQ(events.after.size(), names.size() + 2);
  for (const char* nowhere : {"C:\\x.lnk", "C:\\.lnk", "C:.lnk", "x.lnk", ".lnk"}) EXPECT_FALSE(FileExists(nowhere));
  Actions().Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
}

TEST_F(Shortcuts, ALinkThatCannotBeWrittenCostsAMessageAndKeepsTheOldLink) {
  ASSERT_TRUE(com);
  ASSERT_TRUE(ForceFolders(Programs("Folder.lnk")));  // a folder where the link would go
  Shortcut("%Programs%\\Folder");
  Shortcut("%Programs%\\After");

  ASSERT_TRUE(Step());
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_EQ(prompts.errors[0], "Error: Error creating shortcut \"" + Programs("Folder.lnk") + "\".");
  EXPECT_TRUE(FolderExists(Programs("Folder.lnk")));
  EXPECT_TRUE(FileExists(Programs("After.lnk")));  // the step goes on
  for (const std::string& r : Recorded()) EXPECT_NE(r, "shortcut " + Programs("Folder.lnk") + " log");
  EXPECT_EQ(events.after.size(), 2u);

#ifndef _WIN32
  // A link that exists and cannot be replaced (a target longer than a
  // path may be) is put back at once: the installation goes on with it.
  ASSERT_TRUE(WriteWholeFile(Programs("Kept.lnk"), "old kept"));
  component->Shortcuts->Clear();
  Shortcut("%Programs%\\Kept").CmdLine = "C:\\" + std::string(300, 'x');
  prompts.errors.clear();
  ASSERT_TRUE(Step());
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_EQ(Read(Programs("Kept.lnk")), "old kept");
  TInstallFile* kept = Actions().FindFile(Programs("Kept.lnk"));
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->DontRollback);
#endif
}

TEST_F(Shortcuts, ALinkInUseIsReplacedAtTheRestart) {
  ASSERT_TRUE(com);
  ASSERT_TRUE(WriteWholeFile(Programs("Busy.lnk"), "old busy"));
  Shortcut("%Programs%\\Busy");
  {
    auto held = CurrentHost().OpenFile(Programs("Busy.lnk"), FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    ASSERT_TRUE(held);
    ASSERT_TRUE(Step());
  }
  EXPECT_TRUE(prompts.errors.empty()) << prompts.errors[0];
  TInstallFile* busy = Actions().FindFile(Programs("Busy.lnk"));
  ASSERT_TRUE(busy);
  ASSERT_TRUE(busy->PendingReplace);
  EXPECT_EQ(Read(Programs("Busy.lnk")), "old busy");
  EXPECT_TRUE(SameText(Load(busy->TmpFileName).target, Path("App\\app.exe")));
  EXPECT_EQ(GetVariable(&db, "Reboot"), "1");
#ifndef _WIN32
  ASSERT_TRUE(Actions().ScheduleRebootOps());
  std::vector<std::string> report;
  ASSERT_TRUE(static_cast<SandboxHost&>(machine.Host()).Reboot(report));
  EXPECT_TRUE(SameText(Load(Programs("Busy.lnk")).target, Path("App\\app.exe")));
#endif
}

}  // namespace
