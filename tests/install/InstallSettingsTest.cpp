// The settings steps on a test machine: registry values of every type,
// removals, INI values with their whole-file backups, persistent
// environment variables on both Windows families, what the user interface
// and the uninstall log are told, and rollback after a failure at any
// change giving the machine back byte for byte (removals excepted: they
// are never recorded and stay).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "database/Variables.h"
#include "database/kqIniFile.h"
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
#include "system/kqUtils.h"
#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

using namespace vx;

namespace {

using Strings = std::vector<std::string>;

constexpr char kKeyName[] = "VXSettingsTest";
constexpr char kKey[] = "HKCU\\Software\\VXSettingsTest";
constexpr char kMachineKey[] = "HKLM\\Software\\VXSettingsTest";
constexpr char kUserEnv[] = "HKCU\\Environment";
constexpr char kSystemEnv[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

struct RecordingEvents : InstallEvents {
  explicit RecordingEvents(RunState& s) : state(s) {}
  RunState& state;
  Strings seen;  // "before ..." / "after ..." of every registry and INI item
  std::string skipKey;  // a registry item whose value name is this is skipped

  bool SkipPhase(ItemKind) override { return false; }
  void PhaseDone(ItemKind) override {}
  static std::string Text(const RegistryItemEvent& e) {
    return Format("reg %s|%s|%s|%d|%d", e.key.c_str(), e.name.c_str(), e.value.c_str(), e.type, e.removal ? 1 : 0);
  }
  static std::string Text(const IniItemEvent& e) {
    return Format("ini %s|%s|%s|%s|%d", e.file.c_str(), e.section.c_str(), e.key.c_str(), e.value.c_str(),
                  e.removal ? 1 : 0);
  }
  bool SkipRegistryItem(const RegistryItemEvent& e) override {
    seen.push_back("before " + Text(e));
    return !skipKey.empty() && e.name == skipKey;
  }
  void RegistryItemDone(const RegistryItemEvent& e) override { seen.push_back("after " + Text(e)); }
  bool SkipIniItem(const IniItemEvent& e) override {
    seen.push_back("before " + Text(e));
    return false;
  }
  void IniItemDone(const IniItemEvent& e) override { seen.push_back("after " + Text(e)); }
  void AbortInstall() override { state.abort = true; }
};

using vxtest::RecordingPrompts;

using vxtest::Read;

std::string Raw(const std::string& key, const std::string& name) {
  uint32_t type = 0;
  std::string data;
  if (!RegReadRaw(key, name, type, data)) return "<missing>";
  return vxtest::RegTypeName(type) + ":" + BytesToHex(data);
}

class SettingsTest : public ::testing::Test {
 protected:
  explicit SettingsTest(const std::string& kind = "xp") : machine(kind) {}

  void SetUp() override {
    RegisterIniFileClass();
    savedIni = IniDefaults();
    IniDefaults().unquoteValues = false;  // as during an installation
    db.Expressions = &expressions;
    SetVariable(&db, "Dir", machine.Scratch() + "app");
    db.TempBackupPath = Path("backup\\");
    ASSERT_TRUE(CurrentHost().MakeFolder(Path("backup")));
    component = db.Components->AddNew();
    component->SetID("C");
    NewRun();
  }
  void TearDown() override {
    IniFlush();
    IniDefaults() = savedIni;
    RegRemoveKey(kKey, true);
    RegRemoveKey(kMachineKey, true);
    for (const std::string& name : envNames) {
      SetEnvVar(name, "", false);
      SetEnvVar(name, "", true);
    }
  }

  // A fresh installer (its own action list and change counter) on the same
  // project and machine; `failAt` fails the run at that change.
  void NewRun(int failAt = 0) {
    run.reset();
    installer = std::make_unique<RunInstaller>(db, state, events, prompts);
    installer->Log().SetPath(Path("install.log"));
    installer->Log().Enable();
    installer->FailAtAction(failAt);
    run = std::make_unique<InstallRun>(
        InstallRun{db, state, events, prompts, installer->Actions(), installer->Log(), {}});
  }

  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  TInstallActions& Actions() { return installer->Actions(); }

  TvxReg& Reg(const std::string& key, const std::string& name, const std::string& value,
              TvxRegType type = TvxRegType::str, TvxFlags flags = {}) {
    TvxReg& r = *component->Registry->AddNew();
    r.Key = key;
    r.Param = name;
    r.Value = value;
    r.ParamType = type;
    r.Flags = flags;
    return r;
  }
  TvxIni& Ini(const std::string& file, const std::string& section, const std::string& key,
              const std::string& value, TvxFlags flags = {}) {
    TvxIni& i = *component->IniFiles->AddNew();
    i.IniFile = file;
    i.Section = section;
    i.Param = key;
    i.Value = value;
    i.Flags = flags;
    return i;
  }
  TvxVariable& Env(const std::string& name, const std::string& value, TvxFlags flags = {}) {
    TvxVariable& v = *db.Variables->AddNew();
    v.Name = name;
    v.Value = value;
    v.VarType = TvxVarType::vtEnvVar;
    v.Flags = flags;
    envNames.push_back(name);
    return v;
  }

  bool Registry() { return InstallRegistryValues(*run, *component); }
  bool IniValues() { return InstallIniValues(*run, *component); }
  bool Environment() { return InstallEnvironmentVariables(*run); }

  vxtest::SnapshotOptions Watched() {
#ifdef _WIN32
    vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), kKeyName);
    o.keys.push_back(kMachineKey);
    o.keys.push_back(kUserEnv);
    o.keys.push_back(kSystemEnv);
#else
    vxtest::SnapshotOptions o;
#endif
    o.ignore.push_back(vxtest::TempFolderPrefix(CurrentHost()));
    return o;
  }
  vxtest::MachineSnapshot Snapshot() { return vxtest::MachineSnapshot::Take(CurrentHost(), Watched()); }

  // Runs `step` failing at each of its changes in turn, rolls back and
  // expects the machine as before; the run that fails nowhere ends the loop.
  void ExpectEveryFailureRolledBack(const std::function<bool()>& step, const std::string& what) {
    vxtest::MachineSnapshot before = Snapshot();
    for (int n = 1; n < 100; ++n) {
      NewRun(n);
      bool ok = step();
      bool failed = !ok || Actions().Failed();
      int changes = Actions().Count();
      installer->Rollback();
      IniFlush();
      EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << what << ", failing at change " << n;
      if (!failed) {
        EXPECT_GT(n, 1) << what;
        EXPECT_EQ(changes, n - 1) << what;
        break;
      }
    }
    NewRun();
  }

#ifndef _WIN32
  // Opens the sandbox machine again with lines added to machine.ini.
  void ReopenWith(const std::string& lines) {
    std::FILE* f = std::fopen((machine.Root() + "/machine.ini").c_str(), "ab");
    std::fputs(("\r\n" + lines + "\r\n").c_str(), f);
    std::fclose(f);
    scope.reset();
    reopened = std::make_unique<SandboxHost>(machine.Root());
    scope = std::make_unique<ScopedHost>(*reopened);
  }
  SandboxHost& Sandbox() { return reopened ? *reopened : static_cast<SandboxHost&>(machine.Host()); }
  std::unique_ptr<SandboxHost> reopened;
  std::unique_ptr<ScopedHost> scope;
#endif

  vxtest::TestMachine machine;
  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
  RunState state;
  RecordingEvents events{state};
  RecordingPrompts prompts;
  std::unique_ptr<RunInstaller> installer;
  std::unique_ptr<InstallRun> run;
  TvxComponent* component = nullptr;
  Strings envNames;
  IniOptions savedIni;
};

class Settings98Test : public SettingsTest {
 protected:
  Settings98Test() : SettingsTest("98") {}
};

std::string Key(const std::string& sub) { return std::string(kKey) + "\\" + sub; }

// --- Registry ---------------------------------------------------------------------------

TEST_F(SettingsTest, RegistryValuesOfEveryTypeAreWrittenRecordedAndRolledBack) {
  // An expandable value that exists already keeps its type and references.
  ASSERT_TRUE(RegWriteExpandString(Key("old"), "path", "%SystemRoot%\\x"));
  ASSERT_TRUE(RegWriteString(Key("old"), "kept", "mine"));
  vxtest::MachineSnapshot before = Snapshot();

  Reg(Key("t"), "s", "text");
  Reg(Key("t"), "i", "42", TvxRegType::int_);
  Reg(Key("t"), "neg", "-1", TvxRegType::int_);
  Reg(Key("t"), "big", "4294967295", TvxRegType::int_);
  Reg(Key("t"), "nan", "12abc", TvxRegType::int_);                 // not a number: 0
  Reg(Key("t"), "b", "01 ab F", TvxRegType::bin);                  // odd last digit ignored
  Reg(Key("t"), "m", "one\r\ntwo", TvxRegType::mstr);
  Reg(Key("t\\"), "", "default");                                  // trailing backslash, default value
  Reg(Key("q\\\"x\\y\"\\"), "v", "%Dir%");                         // quotes are part of the names
  Reg(Key("old"), "path", "new");
  Reg(Key("old"), "kept", "theirs", TvxRegType::str, TvxFlags{TvxFlag::dont_overwrite});
  Reg(Key("skipped"), "skip", "x");
  Reg(Key("quiet"), "v", "1", TvxRegType::str, TvxFlags{TvxFlag::dont_log});
  events.skipKey = "skip";
  ASSERT_TRUE(Registry());
  EXPECT_TRUE(prompts.errors.empty());

  EXPECT_EQ(Raw(Key("t"), "s"), "REG_SZ:" + BytesToHex(std::string("text\0", 5)));
  EXPECT_EQ(Raw(Key("t"), "i"), "REG_DWORD:2A000000");
  EXPECT_EQ(Raw(Key("t"), "neg"), "REG_DWORD:FFFFFFFF");
  EXPECT_EQ(Raw(Key("t"), "big"), "REG_DWORD:FFFFFFFF");
  EXPECT_EQ(Raw(Key("t"), "nan"), "REG_DWORD:00000000");
  EXPECT_EQ(Raw(Key("t"), "b"), "REG_BINARY:01AB");
  EXPECT_EQ(Raw(Key("t"), "m"), "REG_MULTI_SZ:" + BytesToHex(std::string("one\0two\0\0", 9)));
  EXPECT_EQ(RegReadText(Key("t"), "", "?"), "default");
  EXPECT_EQ(RegReadText(Key("q\\\"x\\y\""), "v", "?"), machine.Scratch() + "app");
  EXPECT_EQ(RegReadText(Key("old"), "kept", "?"), "mine");
  EXPECT_FALSE(RegKeyExists(Key("skipped")));
#ifndef _WIN32
  std::string exported;
  ASSERT_TRUE(Sandbox().ExportRegistry(Key("t"), exported));
  EXPECT_NE(exported.find("\"b\"=hex:01,ab"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"i\"=dword:0000002a"), std::string::npos) << exported;
  EXPECT_NE(exported.find("@=\"default\""), std::string::npos) << exported;
#endif

  // The old value is kept exactly: type 2 with its reference unexpanded.
  TInstallReg* old = nullptr;
  for (int i = 0; i < Actions().Count(); ++i)
    if (auto* r = dynamic_cast<TInstallReg*>(&Actions()[i]); r && r->Param == "path") old = r;
  ASSERT_NE(old, nullptr);
  EXPECT_TRUE(old->Existed);
  EXPECT_EQ(old->OldType, 2);
  EXPECT_EQ(old->OldValue, "%SystemRoot%\\x");

  // The user interface saw each item before and after (the skipped one and
  // the kept one only before); type codes 1 int, 2 bin, 3 mstr.
  EXPECT_EQ(events.seen[0], "before reg " + Key("t") + "|s|text|0|0");
  EXPECT_EQ(events.seen[1], "after reg " + Key("t") + "|s|text|0|0");
  EXPECT_EQ(events.seen[2], "before reg " + Key("t") + "|i|42|1|0");
  EXPECT_EQ(events.seen[10], "before reg " + Key("t") + "|b|01 ab F|2|0");
  EXPECT_EQ(events.seen[12], "before reg " + Key("t") + "|m|one\r\ntwo|3|0");
  EXPECT_EQ(events.seen.size(), 13u * 2 - 2);

  // The uninstall log lists the values and the keys created, except those
  // of `dont_log` items.
  Actions().WriteLog();
  IniFlush();
  std::string log = Read(Path("install.log"));
  EXPECT_NE(log.find(Key("t") + "\\'i'="), std::string::npos) << log;
  EXPECT_NE(log.find(Key("q\\x\\y") + "\\'v'="), std::string::npos) << log;  // quotes removed
  EXPECT_NE(log.find("[CreateKeys]\r\n" + std::string(kKey) + "\\t="), std::string::npos) << log;
  EXPECT_EQ(log.find("quiet"), std::string::npos) << log;
  DeleteFileForced(Path("install.log"));

  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
  EXPECT_EQ(RegGetValueType(Key("old"), "path"), 2u);
}

TEST_F(SettingsTest, RegistryRemovalsStayAndFailuresRollBackCompletely) {
  ASSERT_TRUE(RegWriteString(Key("a"), "gone", "x"));
  ASSERT_TRUE(RegWriteString(Key("a"), "stays", "x"));
  ASSERT_TRUE(RegWriteString(Key("tree\\sub\\deeper"), "v", "x"));
  vxtest::MachineSnapshot before = Snapshot();

  Reg(Key("a"), "gone", "").Action = TvxInstallAction::remove;
  Reg(Key("tree"), "", "").Action = TvxInstallAction::remove;
  Reg(Key("a"), "nothing", "").Action = TvxInstallAction::remove;  // no such value: nothing happens
  Reg(Key("n\\e\\w"), "v", "1", TvxRegType::int_);
  Reg(Key("n"), "bad", "zz", TvxRegType::bin);  // not hexadecimal: the step stops here
  Reg(Key("never"), "v", "x");
  EXPECT_FALSE(Registry());
  EXPECT_EQ(prompts.errors, (Strings{"Error: Error changing registry data."}));
  EXPECT_FALSE(RegValueExists(Key("a"), "gone"));
  EXPECT_FALSE(RegKeyExists(Key("tree")));
  EXPECT_FALSE(RegKeyExists(Key("never")));
  EXPECT_EQ(events.seen[3], "after reg " + Key("tree") + "|||0|1");

  // Rollback takes back every addition; the removals are not undone.
  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()),
            "- value " + Key("a") + "\\'gone' REG_SZ \"x\"\n- key " + Key("tree") + "\n- key " + Key("tree\\sub") +
                "\n- key " + Key("tree\\sub\\deeper") + "\n- value " + Key("tree\\sub\\deeper") +
                "\\'v' REG_SZ \"x\"\n");

  // A failure at any change of the additions gives the machine back.
  component->Registry->Clear();
  Reg(Key("n\\e\\w"), "v", "1", TvxRegType::int_);
  Reg(Key("n\\e"), "w", "a\r\nb", TvxRegType::mstr, TvxFlags{TvxFlag::dont_log});
  Reg(Key("a"), "stays", "replaced");
  ExpectEveryFailureRolledBack([&] { return Registry(); }, "registry");
}

#ifndef _WIN32
TEST_F(SettingsTest, MachineKeysRefusedToAUserWithoutRightsStopTheStep) {
  ReopenWith("[Machine]\r\nAdministrator=0");
  vxtest::MachineSnapshot before = Snapshot();
  Reg(Key("mine"), "v", "x");
  Reg(std::string(kMachineKey) + "\\Sub", "v", "x");
  Reg(Key("later"), "v", "x");
  EXPECT_FALSE(Registry());
  EXPECT_EQ(prompts.errors, (Strings{"Error: Error changing registry data."}));
  EXPECT_FALSE(RegKeyExists(Key("later")));
  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");

  // The system store of environment variables is refused the same way.
  prompts.errors.clear();
  Env("VXTEST_USER", "u");
  Env("VXTEST_SYS", "s", TvxFlags{TvxFlag::sys_envvar});
  NewRun();
  EXPECT_FALSE(Environment());
  EXPECT_EQ(prompts.errors, (Strings{"Error: Error changing environment variable \"VXTEST_SYS\"."}));
  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
  EXPECT_TRUE(Sandbox().Broadcasts().empty());
}
#endif

// --- INI files ----------------------------------------------------------------------------

TEST_F(SettingsTest, IniChangesBackUpEachFileOnceAndRollBackByteForByte) {
  const std::string existing = "; settings\r\n[Main]\r\nA = 1\r\nB=\"q\"\r\n\r\n[Other]\r\nx=y\r\n";
  ASSERT_TRUE(WriteWholeFile(Path("app.ini"), existing));
  ASSERT_TRUE(WriteWholeFile(Path("install.log"), "[Strings]\r\nAppID=T\r\n"));
  ASSERT_TRUE(CurrentHost().SetAttributes(Path("app.ini"), kAttrHidden | kAttrArchive));
  vxtest::MachineSnapshot before = Snapshot();
  // The log file itself is recorded by the driver before any step runs.
  Actions().AddFile(Path("install.log"), TvxFlags{TvxFlag::dont_log}, false);

  Ini("%Dir%\\..\\app.ini", "Main", "A", "2");
  Ini(Path("APP.INI"), "Main", "C", "new");
  Ini(Path("app.ini"), "Main", "B", "no", TvxFlags{TvxFlag::dont_overwrite});
  Ini(Path("app.ini"), "Other", "x", "").Action = TvxInstallAction::remove;
  Ini(Path("fresh.ini"), "S", "k", "v");
  Ini(Path("install.log"), "Custom", "k", "v");
  Ini(Path("new\\deeper\\x.ini"), "S", "k", "v", TvxFlags{TvxFlag::dont_log});
  ASSERT_TRUE(IniValues());
  EXPECT_EQ(Read(Path("new\\deeper\\x.ini")), "[S]\r\nk=v\r\n\r\n");
  EXPECT_TRUE(prompts.errors.empty());

  EXPECT_EQ(Read(Path("app.ini")), "[Main]\r\nA=2\r\nB=\"q\"\r\nC=new\r\n\r\n");
  EXPECT_EQ(Read(Path("fresh.ini")), "[S]\r\nk=v\r\n\r\n");
  // One backup for the two changes of app.ini (however its path is written).
  int files = 0;
  for (int i = 0; i < Actions().Count(); ++i) files += dynamic_cast<TInstallFile*>(&Actions()[i]) ? 1 : 0;
  EXPECT_EQ(files, 4);  // the log, app.ini, fresh.ini, x.ini
  auto* ini = dynamic_cast<TInstallIni*>(&Actions()[Actions().Count() - 5]);
  ASSERT_NE(ini, nullptr);
  EXPECT_FALSE(ini->Log);
  EXPECT_TRUE(ini->Flags.Contains(TvxFlag::dont_log));

  // The log: the new INI file goes at uninstall, the existing one keeps
  // everything but its new values; the log never lists itself.
  Actions().WriteLog();
  IniFlush();
  std::string log = Read(Path("install.log"));
  EXPECT_NE(log.find("[AddIni]\r\n'" + Path("app.ini") + "','Main','A'=\r\n'" + Path("APP.INI") + "','Main','C'=\r\n'" +
                     Path("fresh.ini") + "','S','k'=\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[CopyFiles]\r\n" + Path("fresh.ini") + "=\r\n\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("install.log"), std::string::npos) << log;
  EXPECT_EQ(log.find(Path("new")), std::string::npos) << log;  // `dont_log`: neither the file nor its folders
  EXPECT_NE(log.find("[Custom]\r\nk=v"), std::string::npos) << log;

  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
  EXPECT_EQ(Read(Path("app.ini")), existing);
  EXPECT_FALSE(FileExists(Path("fresh.ini")));

  // The events carry the strings as expanded; the removal is marked.
  EXPECT_EQ(events.seen[0], "before ini " + machine.Scratch() + "app\\..\\app.ini|Main|A|2|0");
  EXPECT_EQ(events.seen[5], "before ini " + Path("app.ini") + "|Other|x||1");
}

TEST_F(SettingsTest, IniFilesThatCannotTakeValuesStopTheStepAndChangeNothing) {
  ASSERT_TRUE(WriteWholeFile(Path("ro.ini"), "[S]\r\nk=1\r\n"));
  ASSERT_TRUE(CurrentHost().SetAttributes(Path("ro.ini"), kAttrReadOnly));
  ASSERT_TRUE(WriteWholeFile(Path("data.bin"), std::string("[S]\r\nk=1\r\n\0\x01\x02 binary", 17)));
  ASSERT_TRUE(CurrentHost().MakeFolder(Path("folder.ini")));
  vxtest::MachineSnapshot before = Snapshot();

  for (const char* name : {"ro.ini", "data.bin", "folder.ini"}) {
    component->IniFiles->Clear();
    prompts.errors.clear();
    Ini(Path("ok.ini"), "S", "k", "v");
    Ini(Path(name), "S", "k", "2");
    Ini(Path("never.ini"), "S", "k", "v");
    NewRun();
    EXPECT_FALSE(IniValues()) << name;
    EXPECT_EQ(prompts.errors, (Strings{"Error: Error changing ini-file \"" + Path(name) + "\"."})) << name;
    EXPECT_FALSE(FileExists(Path("never.ini"))) << name;
    installer->Rollback();
    EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << name;
  }

  // A failure at any change gives every file back.
  component->IniFiles->Clear();
  ASSERT_TRUE(WriteWholeFile(Path("a.ini"), "[S]\r\nold=1\r\n"));
  Ini(Path("a.ini"), "S", "k", "1");
  Ini(Path("a.ini"), "T", "k", "2");
  Ini(Path("b.ini"), "S", "k", "3");
  ExpectEveryFailureRolledBack([&] { return IniValues(); }, "ini");
}

// --- Environment variables -----------------------------------------------------------------

TEST_F(SettingsTest, PathListsGainOnlyNewEntriesAndRollbackKeepsTheStoredText) {
  const std::string path = "VXTEST_PATH";
  ASSERT_TRUE(RegWriteExpandString(kUserEnv, path, "c:\\a;%SystemRoot%\\x"));
  envNames.push_back(path);

  Env(path, " C:\\A ; C:\\B;;c:\\b ", TvxFlags{TvxFlag::add_path});
  Env("VXTEST_SYS", "machine wide", TvxFlags{TvxFlag::sys_envvar});
  Env("VXTEST_USER", "mine", TvxFlags{TvxFlag::dont_log});
  Env("VXTEST_KEEP", "kept", TvxFlags{TvxFlag::dont_overwrite});
  Env("VXTEST_NOTHING", ";;", TvxFlags{TvxFlag::add_path});  // no entries: nothing to do
  TvxVariable& plain = *db.Variables->AddNew();  // not an environment variable
  plain.Name = "VXTEST_PLAIN";
  plain.Value = "x";
  ASSERT_TRUE(SetEnvVar("VXTEST_KEEP", "was here", false));
  vxtest::MachineSnapshot before = Snapshot();

  ASSERT_TRUE(Environment());
  EXPECT_TRUE(prompts.errors.empty());
  // Only C:\B is new; the stored text keeps its type and reference.
  EXPECT_EQ(Raw(kUserEnv, path), "REG_EXPAND_SZ:" + BytesToHex(std::string("c:\\a;%SystemRoot%\\x;C:\\B\0", 25)));
  EXPECT_EQ(RegReadText(kSystemEnv, "VXTEST_SYS", "?"), "machine wide");
  EXPECT_FALSE(RegValueExists(kUserEnv, "VXTEST_SYS"));
  EXPECT_EQ(GetEnvVar("VXTEST_USER", false), "mine");
  EXPECT_EQ(GetEnvVar("VXTEST_KEEP", false), "was here");
  EXPECT_FALSE(RegValueExists(kUserEnv, "VXTEST_NOTHING"));
  EXPECT_FALSE(RegValueExists(kUserEnv, "VXTEST_PLAIN"));
#ifndef _WIN32
  EXPECT_EQ(Sandbox().Broadcasts(), (Strings{"WM_SETTINGCHANGE Environment"}));
#endif
  EXPECT_EQ(GetVariable(&db, "Reboot"), "");

  // The record holds both entries as given; the log names the added ones.
  auto* added = dynamic_cast<TInstallEnvVar*>(&Actions()[0]);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->Value, "C:\\A;C:\\B");
  EXPECT_EQ(added->OldValue, "c:\\a;%SystemRoot%\\x");
  EXPECT_TRUE(added->AddPath);
  Actions().WriteLog();
  IniFlush();
  // (c:\a was there before: the uninstaller must leave it.)
  EXPECT_EQ(Read(Path("install.log")), "[EnvVars]\r\n" + path + "=0,C:\\B\r\nVXTEST_SYS=1,\r\n\r\n");
  DeleteFileForced(Path("install.log"));

  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");

  // A value longer than the system keeps stops the step; a failure at any
  // change rolls back to the same machine.
  Env("VXTEST_LONG", std::string(40000, 'x'));
  NewRun();
  EXPECT_FALSE(Environment());
  EXPECT_EQ(prompts.errors, (Strings{"Error: Error changing environment variable \"VXTEST_LONG\"."}));
  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
  db.Variables->Delete(db.Variables->Count() - 1);
  ExpectEveryFailureRolledBack([&] { return Environment(); }, "environment");
}

TEST_F(Settings98Test, On9xAutoexecBatCarriesTheVariablesAndARestartIsNeeded) {
  if (CurrentHost().Version().platform == kPlatformNT) GTEST_SKIP() << "needs a Windows 9x machine";
  ASSERT_TRUE(CurrentHost().MakeFolder("C:\\Program Files\\Long Name"));
  const std::string autoexec = Read("C:\\autoexec.bat");
  vxtest::MachineSnapshot before = Snapshot();

  Env("PATH", "C:\\Program Files\\Long Name;c:\\windows", TvxFlags{TvxFlag::add_path});
  Env("VXTEST", "value");
  ASSERT_TRUE(Environment());
  // Short forms on 9x; an entry already in PATH is not added again.
  std::string shortName = CurrentHost().ShortPathName("C:\\Program Files\\Long Name");
  EXPECT_EQ(Read("C:\\autoexec.bat"),
            "SET PATH=" + GetEnv("PATH") + ";" + shortName + "\r\nSET VXTEST=value\r\n");
  auto* added = dynamic_cast<TInstallEnvVar*>(&Actions()[1]);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->Value, shortName + ";" + CurrentHost().ShortPathName("c:\\windows"));
  EXPECT_TRUE(GetVariableBool(&db, "Reboot", false));
#ifndef _WIN32
  EXPECT_TRUE(Sandbox().Broadcasts().empty());
#endif

  installer->Rollback();
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "");
  EXPECT_EQ(Read("C:\\autoexec.bat"), autoexec);
  SetVariable(&db, "Reboot", "");
  ExpectEveryFailureRolledBack([&] { return Environment(); }, "environment on 9x");
}

}  // namespace
