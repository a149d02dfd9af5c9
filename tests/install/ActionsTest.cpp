// The install action list on a test machine: what each action's undo gives
// back, the records each writes into the uninstall log, the backup of
// replaced files, created folders and keys, restart hand-over and the saved
// list.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "database/kqIniFile.h"
#include "install/Actions.h"
#include "install/UninstallLog.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

using namespace vx;

namespace {

// Records what the actions ask of the run.
class FakeContext : public ActionContext {
 public:
  std::string backup;
  std::vector<std::string> calls;
  UninstallLog log;
  int refuseAt = -1;  // the number of the appended action that is refused
  int added = 0;

  std::string BackupFolder() override { return backup; }
  void ShowError(const std::string& text) override { calls.push_back("error " + text); }
  void RequestReboot() override { calls.push_back("reboot"); }
  bool RegisterServer(const std::string& f) override { return Call("register " + f); }
  bool UnregisterServer(const std::string& f) override { return Call("unregister " + f); }
  void AddFontToTable(const std::string& f) override { Call("addfont " + f); }
  void RemoveFontFromTable(const std::string& f) override { Call("removefont " + f); }
  UninstallLog& Log() override { return log; }
  bool ActionAdded(TInstallAction&) override { return added++ != refuseAt; }

 private:
  bool Call(const std::string& text) {
    calls.push_back(text);
    return true;
  }
};

using Strings = std::vector<std::string>;

// A value with exactly this type and these bytes.
bool WriteRaw(const std::string& path, const std::string& name, uint32_t type, const std::string& data) {
  RegKey root = 0, key = 0;
  std::string sub;
  SplitRegPath(path, root, sub);
  Host& h = CurrentHost();
  if (h.CreateRegKey(root, sub, key) != kErrorSuccess) return false;
  bool ok = h.SetRegValue(key, name, type, data) == kErrorSuccess;
  h.CloseRegKey(key);
  return ok;
}

class ActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterIniFileClass();
    SetUseIniCache(true);
    context.backup = Path("backup\\");
    ASSERT_TRUE(CurrentHost().MakeFolder(Path("backup")));
    SeedRegRandom(uint32_t(CurrentHost().TickCount()));
    key = "HKCU\\Software\\VxTest\\" + RegUniqueValueName("HKCU\\Software\\VxTest", "act");
  }
  void TearDown() override {
    IniFlush();
    RegRemoveKey(key, true);
  }

  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  static std::string Read(const std::string& path) {
    std::string s;
    return ReadWholeFile(path, s) ? s : "<missing>";
  }
  static Strings Entries(const std::string& folder) {
    std::vector<FindEntry> found;
    uint32_t error = 0;
    CurrentHost().ListFolder(folder, "*", found, error);
    Strings names;
    for (const FindEntry& e : found)
      if (e.name != "." && e.name != "..") names.push_back(e.name);
    return names;
  }
  // The folders and keys a list holds, in order.
  static Strings Recorded(const TInstallActions& from) {
    Strings out;
    for (int i = 0; i < from.Count(); ++i) {
      if (auto* f = dynamic_cast<TInstallFolder*>(&from[i])) out.push_back(f->Folder);
      if (auto* k = dynamic_cast<TInstallRegKey*>(&from[i])) out.push_back(k->Key);
    }
    return out;
  }

  vxtest::TestMachine machine;
  FakeContext context;
  TInstallActions list{&context};
  std::string key;
};

TEST_F(ActionsTest, FilesAreBackedUpAndRestoredOrDeletedInReverseOrder) {
  std::string old = Path("old.txt"), fresh = Path("new.txt"), kept = Path("kept.txt");
  ASSERT_TRUE(WriteWholeFile(old, "old"));
  ASSERT_TRUE(WriteWholeFile(kept, "kept"));

  TInstallFile* a = list.AddFile(old, {}, true);
  EXPECT_TRUE(a->Existed);
  EXPECT_TRUE(StartsWithText(a->BackupFileName, context.backup));
  EXPECT_EQ(Read(a->BackupFileName), "old");
  EXPECT_FALSE(FileExists(old));  // removeOld
  ASSERT_TRUE(WriteWholeFile(old, "first"));

  TInstallFile* b = list.AddFile(fresh, {TvxFlag::dont_log}, true);
  EXPECT_FALSE(b->Existed);
  EXPECT_TRUE(b->BackupFileName.empty());
  EXPECT_FALSE(b->Log);
  ASSERT_TRUE(WriteWholeFile(fresh, "fresh"));

  TInstallFile* c = list.AddFile(kept, {}, false);
  EXPECT_EQ(Read(kept), "kept");  // without removeOld the file stays
  ASSERT_TRUE(WriteWholeFile(kept, "changed"));

  // The same file again: its second backup holds the first new content,
  // and the lookup finds the first action.
  TInstallFile* again = list.AddFile(old, {}, true);
  EXPECT_NE(again->BackupFileName, a->BackupFileName);
  EXPECT_EQ(Read(again->BackupFileName), "first");
  ASSERT_TRUE(WriteWholeFile(old, "second"));
  EXPECT_EQ(list.FindFile(UpperCase(old)), a);
  EXPECT_EQ(list.FindFile(LowerCase(kept)), c);
  EXPECT_EQ(list.FindFile(Path("other.txt")), nullptr);
  EXPECT_EQ(Entries(Path("backup")).size(), 3u);

  list.Rollback();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(Read(old), "old");  // the first backup wins
  EXPECT_FALSE(FileExists(fresh));
  EXPECT_EQ(Read(kept), "kept");
  EXPECT_TRUE(Entries(Path("backup")).empty());
  EXPECT_TRUE(context.calls.empty());
}

// A new file that something else still reads for a moment (the shell a
// link just written) is deleted once it lets go. Files held for longer are
// reported and stay, and together they wait no longer than the run allows.
TEST_F(ActionsTest, RollbackWaitsForAFileHeldForAMoment) {
  std::string link = Path("Read me.lnk");
  list.AddFile(link, {}, true);
  ASSERT_TRUE(WriteWholeFile(link, "link"));
  auto reader = CurrentHost().OpenFile(link, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  ASSERT_TRUE(reader);
  std::thread shell([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reader.reset();
  });
  list.Rollback();
  shell.join();
  EXPECT_FALSE(FileExists(link));
  EXPECT_TRUE(context.calls.empty());

  std::string a = Path("a.log"), b = Path("b.log");
  list.AddFile(a, {}, true);
  list.AddFile(b, {}, true);
  ASSERT_TRUE(WriteWholeFile(a, "a"));
  ASSERT_TRUE(WriteWholeFile(b, "b"));
  auto holdA = CurrentHost().OpenFile(a, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  auto holdB = CurrentHost().OpenFile(b, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  ASSERT_TRUE(holdA && holdB);
  context.heldFileWaitMs = 200;
  list.Rollback();
  EXPECT_EQ(context.heldFileWaitMs, 0u);
  EXPECT_EQ(context.calls, (Strings{"error Cannot delete " + b, "error Cannot delete " + a}));
  EXPECT_TRUE(FileExists(a) && FileExists(b));
  EXPECT_FALSE(DeleteFileWaiting(a, 0));
  EXPECT_EQ(CurrentHost().LastError(), uint32_t(kErrorSharingViolation));
  holdA.reset();
  EXPECT_TRUE(DeleteFileWaiting(a, 0));
}

TEST_F(ActionsTest, ServersAndFontsFollowTheirFiles) {
  std::string dll = Path("bin\\srv.dll"), font = Path("new.ttf"), oldFont = Path("old.ttf");
  ASSERT_TRUE(ForceFolders(Path("bin")));
  ASSERT_TRUE(WriteWholeFile(dll, "server"));
  ASSERT_TRUE(WriteWholeFile(oldFont, "font"));

  list.AddFile(dll, {TvxFlag::reg_server}, true);
  list.AddFile(oldFont, {TvxFlag::reg_font}, true);
  TInstallFile* added = list.AddFile(font, {TvxFlag::reg_font}, true);
  added->FontName = "Vx Test Font";
  EXPECT_EQ(context.calls, (Strings{"unregister " + dll, "removefont " + oldFont}));
  // The extraction-time action of a font is never undone.
  list.AddFontFile(oldFont, Path("tmpfont.ttf"), {TvxFlag::reg_font}, "Old Font");
  EXPECT_TRUE(list[3].DontRollback);

  ASSERT_TRUE(WriteWholeFile(dll, "new server"));
  ASSERT_TRUE(WriteWholeFile(oldFont, "new font"));
  ASSERT_TRUE(WriteWholeFile(font, "added font"));
  std::string fonts = CurrentHost().Version().platform == kPlatformNT
                          ? "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\"
                          : "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts\\";
  if (machine.IsSandbox()) {
    ASSERT_TRUE(RegWriteString(fonts, "Vx Test Font (TrueType)", font));
    ASSERT_TRUE(RegWriteString(fonts, "Other Font", "other.ttf"));
  }
  ASSERT_TRUE(DeleteFolderTree(Path("bin"), true));  // the folder goes too: undo makes it again

  context.calls.clear();
  list.Rollback();
  EXPECT_EQ(context.calls, (Strings{"removefont " + font, "removefont " + oldFont, "addfont " + oldFont,
                                    "unregister " + dll,
                                    "register " + dll}));
  EXPECT_FALSE(FileExists(font));
  EXPECT_EQ(Read(oldFont), "font");
  EXPECT_EQ(Read(dll), "server");
  if (machine.IsSandbox()) {
    EXPECT_FALSE(RegValueExists(fonts, "Vx Test Font (TrueType)"));
    EXPECT_TRUE(RegValueExists(fonts, "Other Font"));
  }
}

TEST_F(ActionsTest, FilesInUseAreReplacedAtTheRestart) {
  std::string busy = Path("busy.dll");
  ASSERT_TRUE(WriteWholeFile(busy, "old"));
  {
    // Another program holds the file open without sharing its deletion.
    auto held = CurrentHost().OpenFile(busy, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    ASSERT_TRUE(held);
    TInstallFile* f = list.AddFile(busy, {TvxFlag::reg_server}, true);
    EXPECT_TRUE(f->PendingReplace);
    EXPECT_EQ(context.calls, (Strings{"unregister " + busy, "reboot"}));
    EXPECT_TRUE(SameText(ExtractFilePath(f->TmpFileName), machine.Scratch()));
    EXPECT_TRUE(StartsWithText(ExtractFileName(f->TmpFileName), "vx"));
    EXPECT_EQ(Read(f->TmpFileName), "");
    EXPECT_EQ(Read(busy), "old");

    // Undone, the new content goes and the old file is back in service.
    std::string tmp = f->TmpFileName, backup = f->BackupFileName;
    context.calls.clear();
    list.Rollback();
    EXPECT_FALSE(FileExists(tmp));
    EXPECT_FALSE(FileExists(backup));
    EXPECT_EQ(Read(busy), "old");
    EXPECT_EQ(context.calls, (Strings{"register " + busy}));
  }
#ifndef _WIN32
  // After success the temporary file replaces the old one at the restart;
  // without a temporary file the file is deleted then.
  std::string gone = Path("gone.dll");
  ASSERT_TRUE(WriteWholeFile(gone, "x"));
  TInstallFile* replaced;
  {
    auto held = CurrentHost().OpenFile(busy, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    replaced = list.AddFile(busy, {}, true);
    ASSERT_TRUE(replaced->PendingReplace);
  }
  ASSERT_TRUE(WriteWholeFile(replaced->TmpFileName, "new"));
  auto* deleted = list.AddAction<TInstallFile>();
  deleted->FileName = gone;
  deleted->PendingReplace = true;
  list.AddFile(Path("plain.txt"), {}, true);  // nothing pending: left alone
  EXPECT_TRUE(list.ScheduleRebootOps());
  std::vector<std::string> report;
  ASSERT_TRUE(static_cast<SandboxHost&>(machine.Host()).Reboot(report));
  EXPECT_EQ(Read(busy), "new");
  EXPECT_FALSE(FileExists(replaced->TmpFileName));
  EXPECT_FALSE(FileExists(gone));
#endif
}

// A value of each kind comes back with its own type and bytes, also from a
// list saved and loaded again.
TEST_F(ActionsTest, RegistryValuesComeBackExactly) {
  struct Value {
    std::string name;
    uint32_t type;
    std::string data;
  };
  using namespace std::string_literals;
  std::vector<Value> values = {
      {"", kRegSz, "default\0"s},
      {"sz", kRegSz, "plain text\0"s},
      {"blank", kRegSz, " leading blank\0"s},
      {"hexlike", kRegSz, "hex:0102\0"s},
      {"unterminated", kRegSz, "abc"s},
      {"expand", kRegExpandSz, "%SystemRoot%\\x\0"s},
      {"multi", kRegMultiSz, "a\0b c\0\0"s},
      {"multiempty", kRegMultiSz, "a\0\0b\0\0"s},
      {"binary", kRegBinary, "\x00\x01\xFF"s},
      {"negative", kRegDword, "\xFB\xFF\xFF\xFF"s},
      {"lowest", kRegDword, "\x00\x00\x00\x80"s},
      {"bigendian", kRegDwordBigEndian, "\x00\x00\x01\x02"s},
  };
  for (Value& v : values) {
    ASSERT_TRUE(WriteRaw(key, v.name, v.type, v.data)) << v.name;
    // What the machine holds (Windows may add a terminating zero).
    ASSERT_TRUE(RegReadRaw(key, v.name, v.type, v.data));
    CaptureRegValue(key, v.name, *list.AddAction<TInstallReg>());
    ASSERT_TRUE(RegWriteString(key, v.name, "changed"));
  }
  TInstallReg* absent = list.AddAction<TInstallReg>();
  CaptureRegValue(key, "absent", *absent);
  EXPECT_FALSE(absent->Existed);
  ASSERT_TRUE(RegWriteDword(key, "absent", 1));

  ASSERT_TRUE(list.Save(Path("actions.xml")));
  TInstallActions loaded(&context);
  ASSERT_TRUE(loaded.Load(Path("actions.xml")));
  ASSERT_EQ(loaded.Count(), list.Count());
  loaded.Rollback();
  for (const Value& v : values) {
    uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(RegReadRaw(key, v.name, type, data)) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    EXPECT_EQ(BytesToHex(data), BytesToHex(v.data)) << v.name;
  }
  EXPECT_FALSE(RegValueExists(key, "absent"));
}

TEST_F(ActionsTest, FoldersAreRecordedOuterFirstAndRemovedWhenEmpty) {
  EXPECT_FALSE(list.ForceFolders("", true));
  EXPECT_TRUE(list.ForceFolders("C:\\", true));
  EXPECT_TRUE(list.ForceFolders("C:", true));
  EXPECT_TRUE(list.ForceFolders(machine.Scratch(), true));  // exists already
  EXPECT_TRUE(list.ForceFolders(Path("a\\b\\c\\"), true));
  EXPECT_TRUE(list.ForceFolders(Path("a\\b\\c"), true));
  EXPECT_TRUE(list.ForceFolders(Path("a\\d"), false));
  EXPECT_TRUE(list.ForceFolders(Path("e"), true));
  EXPECT_EQ(Recorded(list), (Strings{Path("a"), Path("a\\b"), Path("a\\b\\c"), Path("e")}));
  ASSERT_TRUE(WriteWholeFile(Path("a\\b\\file.txt"), "x"));

  list.Rollback();
  EXPECT_FALSE(FolderExists(Path("e")));
  EXPECT_FALSE(FolderExists(Path("a\\b\\c")));
  EXPECT_TRUE(FileExists(Path("a\\b\\file.txt")));  // not empty: stays, and so do its parents
  EXPECT_TRUE(FolderExists(Path("a\\d")));

  // A refused record stops the creation there.
  context.refuseAt = context.added;
  EXPECT_FALSE(list.ForceFolders(Path("x\\y\\z"), true));
  EXPECT_TRUE(list.Failed());
  EXPECT_EQ(Recorded(list), (Strings{Path("x")}));
  EXPECT_FALSE(FolderExists(Path("x\\y")));
}

TEST_F(ActionsTest, KeysAreRecordedWhenCreatedAndDeletedWithoutTheirSubkeys) {
  ASSERT_TRUE(list.ForceKeys(key, false));
  EXPECT_TRUE(list.ForceKeys(key + "\\a\\b\\", true));
  EXPECT_TRUE(list.ForceKeys(key + "\\a\\b", true));
  EXPECT_TRUE(list.ForceKeys(key + "\\c\\d", true));
  EXPECT_TRUE(RegKeyExists(key + "\\c\\d"));
  EXPECT_EQ(Recorded(list), (Strings{key + "\\a", key + "\\a\\b", key + "\\c", key + "\\c\\d"}));
  // The registry parts keys at every backslash, quoted or not: each key
  // created is recorded, so that rollback leaves none behind.
  TInstallActions quoted(&context);
  EXPECT_TRUE(quoted.ForceKeys(key + "\\q\\\"x\\y\"", true));
  EXPECT_EQ(Recorded(quoted), (Strings{key + "\\q", key + "\\q\\\"x", key + "\\q\\\"x\\y\""}));
  quoted.Rollback();
  EXPECT_FALSE(RegKeyExists(key + "\\q"));

  ASSERT_TRUE(RegWriteString(key + "\\a\\b\\extra", "v", "x"));  // not recorded
  list.Rollback();
  EXPECT_FALSE(RegKeyExists(key + "\\c"));
  if (CurrentHost().Version().platform == kPlatformNT) {
    EXPECT_TRUE(RegKeyExists(key + "\\a\\b\\extra"));
  }
}

TEST_F(ActionsTest, EnvironmentVariablesGetTheirOldValues) {
  std::string fresh = "VXTEST_" + RegUniqueValueName(key, "NEW"), old = "VXTEST_" + RegUniqueValueName(key, "OLD");
  ASSERT_TRUE(SetEnvVar(old, "before", false));
  for (const std::string& name : {fresh, old}) {
    auto* a = list.AddAction<TInstallEnvVar>();
    a->Name = name;
    a->OldValue = GetEnvVar(name, false);
    ASSERT_TRUE(SetEnvVar(name, "after", false));
  }
  list.Rollback();
  EXPECT_EQ(GetEnvVar(fresh, false), "");
  EXPECT_EQ(GetEnvVar(old, false), "before");
  if (CurrentHost().Version().platform == kPlatformNT) {
    EXPECT_FALSE(RegValueExists("HKCU\\Environment", fresh));
  }
  SetEnvVar(old, "", false);
}

TEST_F(ActionsTest, EveryActionWritesItsRecords) {
  context.log.SetPath(Path("install.log"));
  auto file = [&](const std::string& name, TvxFlags flags, const std::string& font) {
    auto* f = list.AddAction<TInstallFile>();
    f->FileName = name;
    f->Flags = flags;
    f->FontName = font;
    return f;
  };
  file("C:\\App\\a.exe", {}, "");
  file("C:\\App\\b.ttf", {TvxFlag::reg_font, TvxFlag::reg_server}, "B Font");
  file("C:\\App\\c.ttf", {TvxFlag::reg_font}, "");
  file("C:\\App\\quiet.txt", {}, "")->Log = false;
  auto* reg = list.AddAction<TInstallReg>();
  reg->Key = "HKLM\\Software\\\"Q\"\\A";
  reg->Param = "X";
  reg->DontRollback = true;  // still logged
  auto* ini = list.AddAction<TInstallIni>();
  ini->IniFile = "C:\\App\\app.ini";
  ini->Section = "S";
  ini->Param = "k";
  list.AddAction<TInstallShortcut>()->LinkFile = "C:\\Menu\\App.lnk";
  list.AddAction<TInstallFolder>()->Folder = "C:\\App\\";
  list.AddAction<TInstallRegKey>()->Key = "HKLM\\Software\\A";
  auto* path = list.AddAction<TInstallEnvVar>();
  path->Name = "PATH";
  path->Value = "C:\\App\\bin";
  path->AddPath = path->SysVar = true;
  auto* plain = list.AddAction<TInstallEnvVar>();
  plain->Name = "APPHOME";
  plain->Value = "C:\\App";

  list.WriteLog();  // logging is off
  IniFlush();
  EXPECT_FALSE(FileExists(Path("install.log")));

  context.log.Enable();
  list.WriteLog();
  IniFlush();
  EXPECT_EQ(Read(Path("install.log")),
            "[CopyFiles]\r\nC:\\App\\a.exe=\r\nC:\\App\\b.ttf=\r\nC:\\App\\c.ttf=\r\n\r\n"
            "[RegFonts]\r\nB Font=C:\\App\\b.ttf\r\n\r\n"
            "[RegServers]\r\nC:\\App\\b.ttf=\r\n\r\n"
            "[AddReg]\r\nHKLM\\Software\\Q\\A\\'X'=\r\n\r\n"
            "[AddIni]\r\n'C:\\App\\app.ini','S','k'=\r\n\r\n"
            "[Shortcuts]\r\nC:\\Menu\\App.lnk=\r\n\r\n"
            "[CreateDirs]\r\nC:\\App=\r\n\r\n"
            "[CreateKeys]\r\nHKLM\\Software\\A=\r\n\r\n"
            "[EnvVars]\r\nPATH=1,C:\\App\\bin\r\nAPPHOME=0,\r\n\r\n");
}

TEST_F(ActionsTest, SavedListsLoadWithEveryClass) {
  auto* f = list.AddFile(Path("f.txt"), {TvxFlag::reg_server, TvxFlag::dont_log}, true);
  f->TmpFileName = "C:\\t.tmp";
  f->BackupFileName = "C:\\b.bak";
  f->FontName = "Font";
  f->PendingReplace = true;  // known to this run only
  f->Existed = f->DontRollback = true;
  auto* r = list.AddAction<TInstallReg>();
  r->Key = "HKLM\\Software\\A";
  r->Param = "P";
  r->OldType = kRegMultiSz;
  r->OldValue = "a\r\nb";
  auto* i = list.AddAction<TInstallIni>();
  i->IniFile = "C:\\a.ini";
  i->Section = "S";
  i->Param = "k";
  i->OldValue = "v";
  list.AddAction<TInstallShortcut>()->LinkFile = "C:\\a.lnk";
  list.AddAction<TInstallFolder>()->Folder = "C:\\App";
  list.AddAction<TInstallRegKey>()->Key = "HKCU\\Software\\\"A\\B\"";
  auto* e = list.AddAction<TInstallEnvVar>();
  e->Name = "PATH";
  e->Value = "C:\\bin";
  e->OldValue = "C:\\old";
  e->AddPath = e->SysVar = true;
  ASSERT_TRUE(list.Save(Path("actions.xml")));
  std::string saved = Read(Path("actions.xml"));
  EXPECT_NE(saved.find("<installactions"), std::string::npos);

  // Loaded, the list replaces what was there and saves to the same text.
  TInstallActions loaded(&context);
  loaded.AddAction<TInstallFolder>()->Folder = "C:\\Replaced";
  ASSERT_TRUE(loaded.Load(Path("actions.xml")));
  ASSERT_EQ(loaded.Count(), 7);
  for (int n = 0; n < 7; ++n) {
    EXPECT_EQ(&loaded[n].ClassType(), &list[n].ClassType());
    EXPECT_EQ(&loaded[n].Context(), &context);
  }
  ASSERT_TRUE(loaded.Save(Path("again.xml")));
  EXPECT_EQ(Read(Path("again.xml")), saved);
  auto& lf = static_cast<TInstallFile&>(loaded[0]);
  EXPECT_TRUE(lf.Flags == f->Flags && !lf.Log && lf.Existed && lf.DontRollback && !lf.PendingReplace);
  EXPECT_EQ(static_cast<TInstallReg&>(loaded[1]).OldValue, "a\r\nb");

  // Names are compared as XML names are; unknown elements are passed over.
  ASSERT_TRUE(WriteWholeFile(Path("odd.xml"), "<InstallActions><bogus/><FOLDER Folder=\"C:\\X\"/></InstallActions>"));
  ASSERT_TRUE(loaded.Load(Path("odd.xml")));
  EXPECT_EQ(Recorded(loaded), (Strings{"C:\\X"}));
}

// A list that cannot be loaded stays as it was.
TEST_F(ActionsTest, DamagedOrMissingFilesLeaveTheListAlone) {
  list.AddAction<TInstallFolder>()->Folder = "C:\\Kept";
  ASSERT_TRUE(list.Save(Path("good.xml")));
  std::string good = Read(Path("good.xml"));
  ASSERT_TRUE(WriteWholeFile(Path("cut.xml"), good.substr(0, good.size() / 2)));
  ASSERT_TRUE(WriteWholeFile(Path("open.xml"), good.substr(0, good.rfind("</"))));
  ASSERT_TRUE(WriteWholeFile(Path("other.xml"), "<vx2project><folder folder=\"C:\\X\"/></vx2project>"));
  ASSERT_TRUE(WriteWholeFile(Path("empty.xml"), ""));
  ASSERT_TRUE(WriteWholeFile(Path("junk.xml"), std::string("\x00\xFF<<>>\x01", 7)));
  for (const char* name : {"missing.xml", "cut.xml", "open.xml", "other.xml", "empty.xml", "junk.xml"}) {
    bool loaded = true;
    try {
      loaded = list.Load(Path(name));
    } catch (const std::exception&) {
      loaded = false;  // a parse error is reported by raising
    }
    EXPECT_FALSE(loaded) << name;
    ASSERT_EQ(list.Count(), 1) << name;
    EXPECT_EQ(static_cast<TInstallFolder&>(list[0]).Folder, "C:\\Kept");
  }
  EXPECT_FALSE(list.Save(Path("no such folder\\a.xml")));
  // An empty list is a complete document too.
  TInstallActions empty(&context);
  ASSERT_TRUE(empty.Save(Path("empty list.xml")));
  ASSERT_TRUE(list.Load(Path("empty list.xml")));
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
