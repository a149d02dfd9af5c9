// The file phase on a test machine: where each file goes, which files the
// version rules keep, backups and files in use, shared-file counts, external
// files (decrypted on the way), removal items, the engine's own helper
// programs and the progress the user interface is told. The extraction
// library's side is played by the test: it asks BeforeExtractFile, writes
// the bytes where it is told and reports AfterExtractFile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/Variables.h"
#include "install/Actions.h"
#include "install/FileCopy.h"
#include "install/Install.h"
#include "install/UninstallLog.h"
#include "package/DCPcrypt.h"
#include "package/PackageCrypt.h"
#include "support/InstallFakes.h"
#include "support/FakeExpressions.h"
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

constexpr double kNewDate = 60000.0;  // a source date later than any file of the machine
constexpr char kShared[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\";

struct FakeEvents : InstallEvents {
  explicit FakeEvents(RunState& s) : state(s) {}
  RunState& state;
  std::function<bool(const FileItemEvent&)> skip;
  std::vector<int> answers;  // to the version-conflict questions, in order
  Strings conflicts, decided, done, removals;
  std::vector<std::pair<int, int>> progress;
  int aborts = 0;

  bool SkipPhase(ItemKind) override { return false; }
  void PhaseDone(ItemKind) override {}
  bool SkipFile(const FileItemEvent& e) override { return skip && skip(e); }
  void FileDecided(const FileItemEvent& e, bool skipped) override {
    decided.push_back((skipped ? "skip " : "write ") + e.path);
  }
  void FileDone(const FileItemEvent& e) override { (e.removal ? removals : done).push_back(e.path); }
  int VersionConflict(const std::string& d) override {
    conflicts.push_back(d);
    return conflicts.size() <= answers.size() ? answers[conflicts.size() - 1] : 1;
  }
  void FileProgress(int file, int total) override { progress.push_back({file, total}); }
  void AbortInstall() override {
    state.abort = true;
    ++aborts;
  }
  std::string Message(int n) override { return n == 11 ? "Cannot write %s." : n == 20 ? "Cannot count %s." : ""; }
};

// Boxes take their default answer; error texts are kept.
using vxtest::RecordingPrompts;

using vxtest::Read;

// External files marked "encrypt" are enciphered chunk by chunk, as the copy
// reads them.
std::string Encrypt(std::string data, const std::string& password) {
  Key256 key = HashText(password);
  CipherState cipher;
  StartCipher(cipher, key.data(), 256);
  for (size_t at = 0; at < data.size(); at += 128 * 1024)
    EncryptStream(cipher, &data[at], &data[at], std::min<size_t>(128 * 1024, data.size() - at));
  WipeCipher(cipher);
  return data;
}

class FileCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Expressions = &expressions;
    SetVariable(&db, "AppDir", Path("app"));
    db.TempBackupPath = Path("backup\\");
    db.TempFontsPath = Path("fonts\\");
    db.TempGACPath = Path("gac\\");
    for (const char* f : {"backup", "fonts", "gac", "media"}) ASSERT_TRUE(CurrentHost().MakeFolder(Path(f)));
    component = db.Components->AddNew();
    component->SetID("C");
    component->Package = "main";
    installer.Log().SetPath(Path("install.log"));
    installer.Log().Enable();
    run.isProtected = [this](const std::string& p) { return SameText(p, protectedFile); };
  }
  void TearDown() override {
    IniFlush();
    for (const std::string& p : sharedPaths) RegRemoveValue(kShared, p);
  }

  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  TvxFile& Item(const std::string& src, const std::string& dst, TvxFlags flags = {}) {
    TvxFile& f = *component->Files->AddNew();
    f.Src = src;
    f.Dst = dst;
    f.Flags = flags;
    return f;
  }
  TvxPackage& Package() {
    if (db.Packages->Count() == 0) {
      TvxPackage& p = *db.Packages->AddNew();
      p.ID = "main";
      p.TempPath = Path("pkg\\");
      files.BeginPackage(p);
    }
    return (*db.Packages)[0];
  }
  void Info(const std::string& name, int size, const std::string& version) {
    TvxFileInfo& i = *Package().FileInfos->AddNew();
    i.Name = name;
    i.Size = size;
    i.Version = version;
    files.BeginPackage(Package());  // the records are indexed when a package begins
  }
  // One cabinet entry as the extraction library handles it.
  int Extract(const std::string& entry, const std::string& bytes, double date = kNewDate) {
    target.clear();
    std::string to;
    int answer = files.BeforeExtractFile(entry, uint32_t(bytes.size()), 0, to, date);
    if (answer != kExtractWrite) return answer;
    target = to;
    if (!WriteWholeFile(to, bytes)) return -1;
    if (!bytes.empty()) files.ExtractProgress(uint32_t(bytes.size()));
    return files.AfterExtractFile(entry, uint32_t(bytes.size()), 0, to, date);
  }
  TInstallActions& Actions() { return installer.Actions(); }
  TInstallFile* FileAction(const std::string& path) { return Actions().FindFile(path); }
  Strings Folders() {
    Strings out;
    for (int i = 0; i < Actions().Count(); ++i)
      if (auto* f = dynamic_cast<TInstallFolder*>(&Actions()[i])) out.push_back(f->Folder);
    return out;
  }
  uint32_t SharedCount(const std::string& path) {
    sharedPaths.push_back(path);
    return RegReadDword(kShared, path, 0xFFFFFFFFu);
  }

  vxtest::TestMachine machine;
  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
  RunState state;
  FakeEvents events{state};
  RecordingPrompts prompts;
  RunInstaller installer{db, state, events, prompts};
  InstallRun run{db, state, events, prompts, installer.Actions(), installer.Log(), {}};
  FileInstaller files{run};
  TvxComponent* component = nullptr;
  std::string target, protectedFile;
  Strings sharedPaths;
};

TEST_F(FileCopyTest, FilesGoToTheirDestinationsAndWildcardsKeepTheirSubfolders) {
  Item("readme.txt", "%AppDir%\\docs\\readme.txt");
  Item("bin\\*.*", "%AppDir%\\lib\\*.*");
  Item("empty.txt", "%AppDir%\\cache\\.");

  EXPECT_EQ(Extract("data\\C\\README.TXT", "read me"), kExtractWrite);
  EXPECT_EQ(target, Path("app\\docs\\readme.txt"));
  EXPECT_EQ(Extract("data\\C\\bin\\plugins\\x.dll", "x"), kExtractWrite);
  EXPECT_EQ(target, Path("app\\lib\\plugins\\x.dll"));
  EXPECT_EQ(Read(Path("app\\lib\\plugins\\x.dll")), "x");
  // A folder entry makes its folder and nothing else, without events.
  EXPECT_EQ(Extract("data\\C\\empty.txt", "ignored"), kExtractSkip);
  EXPECT_TRUE(FolderExists(Path("app\\cache")));
  EXPECT_FALSE(FileExists(Path("app\\cache\\empty.txt")));
  // An entry without item (and one of the preparation part) is skipped.
  EXPECT_EQ(Extract("data\\C\\other.txt", "o"), kExtractSkip);
  EXPECT_EQ(Extract("presetup.bmp", "p"), kExtractSkip);

  EXPECT_EQ(events.decided,
            (Strings{"write " + Path("app\\docs\\readme.txt"), "write " + Path("app\\lib\\plugins\\x.dll")}));
  EXPECT_EQ(events.done, (Strings{Path("app\\docs\\readme.txt"), Path("app\\lib\\plugins\\x.dll")}));
  // Created folders are recorded outer first; files that were new have no backup.
  EXPECT_EQ(Folders(),
            (Strings{Path("app"), Path("app\\docs"), Path("app\\lib"), Path("app\\lib\\plugins"), Path("app\\cache")}));
  ASSERT_TRUE(FileAction(Path("app\\docs\\readme.txt")));
  EXPECT_FALSE(FileAction(Path("app\\docs\\readme.txt"))->Existed);
  EXPECT_TRUE(prompts.errors.empty());
}

TEST_F(FileCopyTest, DamagedNamesAndBadDestinationsAreRefusedBeforeAnythingIsWritten) {
  SetVariable(&db, "Empty", "");
  Item("*.*", "%AppDir%\\*.*");
  struct Case {
    std::string entry, dst;
  } cases[] = {
      {"data\\C\\..\\..\\evil.txt", ""},  // leaves the destination folder
      {"data\\C\\sub\\..\\..\\..\\evil.txt", ""},
      {"data\\C\\C:\\evil.txt", ""},  // an absolute name inside the package
      {"data\\C\\", ""},              // no file name: Src "*.*" would become the name
      {"data\\C\\sub\\", ""},
      {"data\\C\\a*.txt", ""},  // names Windows cannot create
      {"data\\C\\a|b.txt", ""},
      {"data\\C\\sub\\nul.txt", ""},  // a device, not a file
      {"data\\C\\com1\\a.txt", ""},
      {"data\\C\\a.txt", "%Nowhere%\\a.txt"},  // unknown variable: a relative path
      {"data\\C\\a.txt", "%Empty%"},           // expands to nothing
      {"data\\C\\a.txt", "%Empty%\\a.txt"},
      {"data\\C\\a.txt", "C:"},  // a bare drive
      {"data\\C\\a.txt", "C:\\"},
      {"data\\C\\a.txt", "C:a.txt"},  // relative to the drive's current folder
      {"data\\C\\a.txt", "app\\a.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry + " -> " + c.dst);
    if (!c.dst.empty()) (*component->Files)[0].Dst = c.dst;
    prompts.errors.clear();
    state.abort = false;
    std::string to = "unchanged";
    EXPECT_EQ(files.BeforeExtractFile(c.entry, 1, 0, to, kNewDate), kExtractError);
    EXPECT_EQ(to, "unchanged");
    ASSERT_EQ(prompts.errors.size(), 1u);
    EXPECT_NE(prompts.errors[0].find("not a valid"), std::string::npos) << prompts.errors[0];
    EXPECT_TRUE(state.abort);
  }
  EXPECT_EQ(Actions().Count(), 0);
  EXPECT_FALSE(FileExists("C:\\evil.txt"));
  EXPECT_TRUE(events.decided.empty());
}

TEST_F(FileCopyTest, AssembliesAreWrittenToTheTemporaryCacheFolder) {
  Item("asm.dll", "%GAC%\\asm.dll");
  Package();
  std::string to;
  ASSERT_EQ(files.BeforeExtractFile("data\\C\\asm.dll", 3, 0, to, kNewDate), kExtractWrite)
      << (prompts.errors.empty() ? "" : prompts.errors[0]);
  EXPECT_TRUE(StartsWithText(to, db.TempGACPath));
  EXPECT_EQ(ExtractFileName(to), "asm.dll");
  EXPECT_TRUE(FolderExists(ExtractFilePath(to)));
  EXPECT_TRUE(Folders().empty());  // the temporary folder is not the product's
  ASSERT_TRUE(WriteWholeFile(to, "asm"));
  // Without the assembly cache tool the registration fails with its message.
  EXPECT_EQ(files.AfterExtractFile("data\\C\\asm.dll", 3, 0, to, kNewDate), kExtractError);
  EXPECT_EQ(prompts.errors, (Strings{"Error: Cannot register assembly asm.dll"}));
  EXPECT_TRUE(state.abort);
}

TEST_F(FileCopyTest, VersionRulesAndTheStoredAnswerToConflicts) {
  const std::string v2 = vxtest::MakePe(0x20000, 0), v1 = vxtest::MakePe(0x10000, 0);
  for (const char* n : {"a", "b", "c", "d", "e", "f", "g"}) {
    Item(std::string(n) + ".dll", "%AppDir%\\" + std::string(n) + ".dll");
    Info(std::string("C\\") + n + ".dll", int(v1.size()), "1.0.0.0");
    ASSERT_TRUE(ForceFolders(Path("app")) && WriteWholeFile(Path("app\\") + n + ".dll", v2));
  }
  // Keep, an answer out of range (the stored "keep" stays), overwrite once
  // (asked again next time), overwrite all (never asked again).
  events.answers = {1, 0, 2, 4};
  for (const char* n : {"a", "b", "c", "d", "e"}) Extract(std::string("data\\C\\") + n + ".dll", v1);
  EXPECT_EQ(events.conflicts,
            (Strings{Path("app\\a.dll"), Path("app\\b.dll"), Path("app\\c.dll"), Path("app\\d.dll")}));
  EXPECT_EQ(Read(Path("app\\a.dll")), v2);
  EXPECT_EQ(Read(Path("app\\b.dll")), v2);
  EXPECT_EQ(Read(Path("app\\c.dll")), v1);
  EXPECT_EQ(Read(Path("app\\d.dll")), v1);
  EXPECT_EQ(Read(Path("app\\e.dll")), v1);

  // A new copy asks afresh; "keep all" keeps the rest without asking.
  files.BeginCopy();
  events.conflicts.clear();
  events.answers = {3, 2};
  EXPECT_EQ(Extract("data\\C\\f.dll", v1), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\g.dll", v1), kExtractSkip);
  EXPECT_EQ(events.conflicts, (Strings{Path("app\\f.dll")}));
  EXPECT_EQ(Read(Path("app\\g.dll")), v2);
}

TEST_F(FileCopyTest, OlderSameProtectedAndFlaggedFilesFollowTheirRules) {
  const std::string v1 = vxtest::MakePe(0x10000, 0), v2 = vxtest::MakePe(0x20000, 0);
  const std::string v2big = v2 + "padding";
  ASSERT_TRUE(ForceFolders(Path("app")));
  auto existing = [&](const char* name, const std::string& bytes, const std::string& version, TvxFlags flags) {
    Item(name, std::string("%AppDir%\\") + name, flags);
    Info(std::string("C\\") + name, 0, version);
    WriteWholeFile(Path("app\\") + name, bytes);
  };
  existing("older.dll", v1, "2.0.0.0", {});
  existing("same.dll", v2, "2.0.0.0", {});
  existing("samesize.dll", v2, "2.0.0.0", {});
  existing("newer.dll", v2, "1.0.0.0", {TvxFlag::dont_ask});
  existing("forced.dll", v2, "1.0.0.0", {TvxFlag::no_version});
  existing("kept.txt", "old", "", {TvxFlag::dont_overwrite});
  existing("system.dll", v1, "2.0.0.0", {});
  protectedFile = Path("app\\system.dll");

  EXPECT_EQ(Extract("data\\C\\older.dll", v2), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\same.dll", v2big), kExtractWrite);  // same version, other size
  EXPECT_EQ(Extract("data\\C\\samesize.dll", v2), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\newer.dll", v1), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\forced.dll", v1), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\kept.txt", "new"), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\system.dll", v2), kExtractSkip);
  EXPECT_TRUE(events.conflicts.empty());
  EXPECT_EQ(Read(Path("app\\same.dll")), v2big);
  EXPECT_EQ(Read(Path("app\\forced.dll")), v1);
  EXPECT_EQ(Read(Path("app\\kept.txt")), "old");
  EXPECT_EQ(Read(Path("app\\system.dll")), v1);

  // A repair writes a file of the same version and size again.
  state.repair = true;
  EXPECT_EQ(Extract("data\\C\\samesize.dll", v2), kExtractWrite);
}

TEST_F(FileCopyTest, ASkippedServerStaysRegisteredWhenItIsThere) {
  TvxFlags server{TvxFlag::reg_server};
  Item("there.dll", "%AppDir%\\there.dll", server);
  Item("new.dll", "%AppDir%\\new.dll", server);
  ASSERT_TRUE(ForceFolders(Path("app")) && WriteWholeFile(Path("app\\there.dll"), "old"));
  events.skip = [](const FileItemEvent&) { return true; };
  EXPECT_EQ(Extract("data\\C\\there.dll", "new"), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\new.dll", "new"), kExtractSkip);
  ASSERT_EQ(Actions().Count(), 1);
  TInstallFile* kept = FileAction(Path("app\\there.dll"));
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->DontRollback);
  EXPECT_FALSE(kept->Log);
  EXPECT_EQ(Read(Path("app\\there.dll")), "old");
}

TEST_F(FileCopyTest, ReplacedFilesAreBackedUpAndFilesInUseWaitForTheRestart) {
  Item("a.txt", "%AppDir%\\a.txt");
  Item("busy.dll", "%AppDir%\\busy.dll");
  ASSERT_TRUE(ForceFolders(Path("app")));
  ASSERT_TRUE(WriteWholeFile(Path("app\\a.txt"), "old a"));
  CurrentHost().SetAttributes(Path("app\\a.txt"), kAttrReadOnly);
  ASSERT_TRUE(WriteWholeFile(Path("app\\busy.dll"), "old busy"));

  EXPECT_EQ(Extract("data\\C\\a.txt", "new a"), kExtractWrite);
  EXPECT_EQ(Read(Path("app\\a.txt")), "new a");
  TInstallFile* a = FileAction(Path("app\\a.txt"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->Existed);
  EXPECT_EQ(Read(a->BackupFileName), "old a");
  EXPECT_EQ(GetVariable(&db, "Reboot"), "");

  std::string tmp;
  {
    auto held = CurrentHost().OpenFile(Path("app\\busy.dll"), FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    ASSERT_TRUE(held);
    EXPECT_EQ(Extract("data\\C\\busy.dll", "new busy"), kExtractWrite);
    tmp = target;
  }
  TInstallFile* busy = FileAction(Path("app\\busy.dll"));
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->PendingReplace);
  EXPECT_EQ(tmp, busy->TmpFileName);
  EXPECT_TRUE(SameText(ExtractFilePath(tmp), Path("app\\")));
  EXPECT_TRUE(StartsWithText(ExtractFileName(tmp), "vx"));
  EXPECT_EQ(Read(tmp), "new busy");
  EXPECT_EQ(Read(Path("app\\busy.dll")), "old busy");
  EXPECT_EQ(GetVariable(&db, "Reboot"), "1");
#ifndef _WIN32
  ASSERT_TRUE(Actions().ScheduleRebootOps());
  std::vector<std::string> report;
  ASSERT_TRUE(static_cast<SandboxHost&>(machine.Host()).Reboot(report));
  EXPECT_EQ(Read(Path("app\\busy.dll")), "new busy");
#endif
}

#ifndef _WIN32
TEST_F(FileCopyTest, AFileInUseWithoutRoomForItsReplacementIsAnError) {
  // A file of a read-only drive cannot be deleted, and its folder takes no
  // temporary file either.
  vxtest::TempDir dir;
  {
    std::FILE* f = std::fopen((dir.Path() + "/held.txt").c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("old", f);
    std::fclose(f);
  }
  std::string held = static_cast<SandboxHost&>(machine.Host()).WindowsPath(dir.Path() + "/held.txt");
  ASSERT_TRUE(FileExists(held)) << held;
  Item("held.txt", held);
  std::string to = "unchanged";
  EXPECT_EQ(files.BeforeExtractFile("data\\C\\held.txt", 3, 0, to, kNewDate), kExtractError);
  EXPECT_EQ(prompts.errors, (Strings{"Error: Cannot write " + held + "."}));
  EXPECT_EQ(vxtest::ReadNative(dir.Path() + "/held.txt"), "old");
}
#endif

TEST_F(FileCopyTest, SharedFilesAreCountedOncePerRun) {
  TvxFlags shared{TvxFlag::shared};
  ASSERT_TRUE(ForceFolders(Path("app")));
  const std::string v2 = vxtest::MakePe(0x20000, 0), v1 = vxtest::MakePe(0x10000, 0);
  Item("new.dll", "%AppDir%\\new.dll", shared);
  Item("zero.dll", "%AppDir%\\zero.dll", shared);
  Item("newer.dll", "%AppDir%\\newer.dll", shared);
  Item("skipped.dll", "%AppDir%\\skipped.dll", shared);
  Item("again.dll", "%AppDir%\\new.dll", shared);
  Info("C\\newer.dll", 0, "1.0.0.0");
  WriteWholeFile(Path("app\\zero.dll"), "z");
  RegWriteDword(kShared, Path("app\\zero.dll"), 0);
  WriteWholeFile(Path("app\\newer.dll"), v2);
  WriteWholeFile(Path("app\\skipped.dll"), "s");
  RegWriteDword(kShared, Path("app\\skipped.dll"), 0);
  events.skip = [this](const FileItemEvent& e) { return SameText(e.path, Path("app\\skipped.dll")); };

  EXPECT_EQ(Extract("data\\C\\new.dll", "n"), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\zero.dll", "z2"), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\newer.dll", v1), kExtractSkip);  // kept, still counted
  EXPECT_EQ(Extract("data\\C\\skipped.dll", "s2"), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\again.dll", "n"), kExtractWrite);  // the same file: counted once
  EXPECT_EQ(SharedCount(Path("app\\new.dll")), 1u);
  EXPECT_EQ(SharedCount(Path("app\\zero.dll")), 2u);
  EXPECT_EQ(SharedCount(Path("app\\newer.dll")), 2u);
  EXPECT_EQ(SharedCount(Path("app\\skipped.dll")), 2u);

  // A run without uninstall log counts a file once as well.
  installer.Log().Enable(false);
  Item("twice1.dll", "%AppDir%\\twice.dll", shared);
  Item("twice2.dll", "%AppDir%\\twice.dll", shared);
  files.BeginCopy();
  EXPECT_EQ(Extract("data\\C\\twice1.dll", "t"), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\twice2.dll", "t"), kExtractWrite);
  EXPECT_EQ(SharedCount(Path("app\\twice.dll")), 1u);
  EXPECT_TRUE(prompts.errors.empty());
}

TEST_F(FileCopyTest, ExternalFilesAreCopiedFromTheMediaAndDecrypted) {
  SetVariable(&db, "Media", Path("media"));
  db.Password = "secret";
  TvxFlags external{TvxFlag::external};
  TvxFlags encrypted{TvxFlag::external, TvxFlag::encrypt};
  Item("%Media%\\single.txt", "%AppDir%\\one.txt", external);
  Item("%Media%\\tree\\*.*", "%AppDir%\\tree\\*.*", external);
  Item("%Media%\\secret.bin", "%AppDir%\\secret.bin", encrypted);
  Item("%Media%\\lib.dll", "%AppDir%\\lib.dll", external);  // older than the one installed
  Item("readme.txt", "%AppDir%\\readme.txt");  // packed: not part of this pass
  ASSERT_TRUE(WriteWholeFile(Path("media\\single.txt"), "single"));
  ASSERT_TRUE(WriteWholeFile(Path("media\\lib.dll"), vxtest::MakePe(0x10000, 0)));
  ASSERT_TRUE(ForceFolders(Path("app")) && WriteWholeFile(Path("app\\lib.dll"), vxtest::MakePe(0x20000, 0)));
  ASSERT_TRUE(ForceFolders(Path("media\\tree\\sub.d\\deep.d")) && ForceFolders(Path("media\\tree\\empty.d")));
  ASSERT_TRUE(WriteWholeFile(Path("media\\tree\\top.txt"), "top"));
  ASSERT_TRUE(WriteWholeFile(Path("media\\tree\\sub.d\\deep.d\\leaf.txt"), "leaf"));
  // (Folder names with a dot: the sandbox's folder search takes "*.*" for
  // names with an extension only.)
  // Several chunks, the last with a tail shorter than a cipher block.
  std::string plain(300003, '\0');
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = char(i * 7 + i / 251);
  ASSERT_TRUE(WriteWholeFile(Path("media\\secret.bin"), Encrypt(plain, "secret")));

  EXPECT_TRUE(files.CopyFiles());
  EXPECT_EQ(Read(Path("app\\one.txt")), "single");
  EXPECT_EQ(Read(Path("app\\tree\\top.txt")), "top");
  EXPECT_EQ(Read(Path("app\\tree\\sub.d\\deep.d\\leaf.txt")), "leaf");
  EXPECT_TRUE(FolderExists(Path("app\\tree\\empty.d")));
  EXPECT_TRUE(Read(Path("app\\secret.bin")) == plain);
  EXPECT_FALSE(FileExists(Path("app\\readme.txt")));
  EXPECT_EQ(events.conflicts, (Strings{Path("app\\lib.dll")}));
  EXPECT_EQ(Read(Path("app\\lib.dll")), vxtest::MakePe(0x20000, 0));
  EXPECT_TRUE(prompts.errors.empty());
  // The chunked file's own percentage ends at 100.
  ASSERT_FALSE(events.progress.empty());
  EXPECT_EQ(events.progress.back().first, 100);
}

TEST_F(FileCopyTest, AMissingExternalSourceStopsTheCopyWithItsName) {
  SetVariable(&db, "Media", Path("media"));
  Item("%Media%\\gone.txt", "%AppDir%\\gone.txt", {TvxFlag::external});
  Item("%Media%\\there.txt", "%AppDir%\\there.txt", {TvxFlag::external});
  ASSERT_TRUE(WriteWholeFile(Path("media\\there.txt"), "there"));
  EXPECT_FALSE(files.CopyFiles());
  EXPECT_EQ(prompts.errors, (Strings{"Error: Cannot write " + Path("media\\gone.txt") + "."}));
  EXPECT_FALSE(state.abort);  // cleared so that the message above is the one shown
  EXPECT_FALSE(FileExists(Path("app\\there.txt")));
}

TEST_F(FileCopyTest, ProgressCountsSkippedAndEmptyFilesAndAnAbortStopsAtTheNextFile) {
  Item("a.txt", "%AppDir%\\a.txt");
  Item("empty.txt", "%AppDir%\\empty.txt", {TvxFlag::dont_overwrite});
  ASSERT_TRUE(ForceFolders(Path("app")) && WriteWholeFile(Path("app\\empty.txt"), ""));
  Package().DataSize = 40;
  files.BeginCopy();
  EXPECT_EQ(Extract("data\\C\\a.txt", std::string(10, 'a')), kExtractWrite);
  EXPECT_EQ(Extract("data\\C\\empty.txt", ""), kExtractSkip);
  EXPECT_EQ(Extract("data\\C\\unknown.txt", std::string(30, 'u')), kExtractSkip);
  EXPECT_EQ(events.progress, (std::vector<std::pair<int, int>>{{100, 25}, {100, 25}, {100, 100}}));

  // After an abort the next entry stops the library, even one that would
  // only be skipped, without a message or a question.
  state.abort = true;
  EXPECT_EQ(Extract("data\\C\\empty.txt", ""), kExtractError);
  EXPECT_EQ(events.progress.size(), 3u);
  EXPECT_EQ(events.decided.size(), 2u);
  EXPECT_TRUE(prompts.errors.empty());
}

TEST_F(FileCopyTest, RemovalItemsDeleteMatchingFilesWithBackups) {
  TvxFile& gone = Item("", "%AppDir%\\old\\*.log");
  gone.Action = TvxInstallAction::remove;
#ifndef _WIN32
  // Everything on a drive is never removed.
  Item("", "C:\\*.*").Action = TvxInstallAction::remove;
  ASSERT_TRUE(WriteWholeFile("C:\\root.txt", "root"));
#endif
  ASSERT_TRUE(ForceFolders(Path("app\\old\\dir.log")));
  for (const char* n : {"a.log", "b.log", "busy.log", "sys.log", "keep.txt"})
    ASSERT_TRUE(WriteWholeFile(Path("app\\old\\") + n, n));
  protectedFile = Path("app\\old\\sys.log");
  events.skip = [this](const FileItemEvent& e) { return e.removal && SameText(e.path, Path("app\\old\\b.log")); };
  {
    auto held =
        CurrentHost().OpenFile(Path("app\\old\\busy.log"), FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    EXPECT_TRUE(files.RemoveFiles(nullptr, *component));
  }
  EXPECT_FALSE(FileExists(Path("app\\old\\a.log")));
  EXPECT_EQ(Read(FileAction(Path("app\\old\\a.log"))->BackupFileName), "a.log");
  for (const char* n : {"b.log", "sys.log", "keep.txt", "busy.log"})
    EXPECT_TRUE(FileExists(Path("app\\old\\") + n)) << n;
  EXPECT_TRUE(FolderExists(Path("app\\old\\dir.log")));
  // A file in use goes at the restart, and nothing takes its place.
  TInstallFile* busy = FileAction(Path("app\\old\\busy.log"));
  ASSERT_TRUE(busy);
  EXPECT_TRUE(busy->PendingReplace);
  EXPECT_EQ(busy->TmpFileName, "");
  std::vector<FindEntry> temps;
  uint32_t error = 0;
  CurrentHost().ListFolder(Path("app\\old"), "vx*", temps, error);
  EXPECT_TRUE(temps.empty());
  EXPECT_EQ(GetVariable(&db, "Reboot"), "1");
  Strings removed = events.removals;
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (Strings{Path("app\\old\\a.log"), Path("app\\old\\busy.log")}));
#ifndef _WIN32
  ASSERT_TRUE(Actions().ScheduleRebootOps());
  std::vector<std::string> report;
  ASSERT_TRUE(static_cast<SandboxHost&>(machine.Host()).Reboot(report));
  EXPECT_FALSE(FileExists(Path("app\\old\\busy.log")));
  EXPECT_TRUE(FileExists("C:\\root.txt"));
#endif
}

TEST_F(FileCopyTest, SystemFilesAreCopiedWithABackupAndAMissingSourceIsNoError) {
  EXPECT_TRUE(files.CopySystemFile(Path("media\\none.exe"), Path("app\\none.exe"), true));
  EXPECT_EQ(Actions().Count(), 0);

  ASSERT_TRUE(WriteWholeFile(Path("media\\tool.exe"), "new tool"));
  EXPECT_TRUE(files.CopySystemFile(Path("media\\tool.exe"), Path("app\\bin\\tool.exe"), false));
  EXPECT_EQ(Read(Path("app\\bin\\tool.exe")), "new tool");
  EXPECT_EQ(Folders(), (Strings{Path("app"), Path("app\\bin")}));
  ASSERT_TRUE(FileAction(Path("app\\bin\\tool.exe")));
  EXPECT_FALSE(FileAction(Path("app\\bin\\tool.exe"))->Log);

  ASSERT_TRUE(WriteWholeFile(Path("media\\tool.exe"), "newer tool"));
  EXPECT_TRUE(files.CopySystemFile(Path("media\\tool.exe"), Path("app\\bin\\tool.exe"), true));
  TInstallFile* second = dynamic_cast<TInstallFile*>(&Actions()[Actions().Count() - 1]);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->Log);
  EXPECT_EQ(Read(second->BackupFileName), "new tool");
  EXPECT_EQ(Read(Path("app\\bin\\tool.exe")), "newer tool");
  EXPECT_TRUE(prompts.errors.empty());
}

}  // namespace
