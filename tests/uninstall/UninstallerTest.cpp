// The uninstaller over the test machine: a product laid out by hand with
// the log an installation would write is removed and the machine is as it
// was; damaged and hand-edited logs remove nothing they do not name and
// nothing of the system; shared files follow their counts; a file in use
// goes at the next restart. Natively also the sandbox machine's running of
// the programs and batch files an installation puts on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "uninstall/Uninstaller.h"

#ifndef _WIN32
#include <filesystem>
#include <fstream>

#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using vxtest::Read;

const char kTestKey[] = "VXUninstallTest";
const char kProductKey[] = "HKCU\\Software\\VXUninstallTest\\Product";
const char kUninstallKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VXUninstallTest";
const char kSharedDlls[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

class NoProgress : public vx::UninstallProgress {};

// Runs the uninstaller silently over `log`.
int Uninstall(const std::string& log, std::vector<std::string>* skipped = nullptr, bool* restart = nullptr) {
  vxtest::RecordingPrompts prompts;
  NoProgress progress;
  vx::UninstallOptions options;
  options.logPath = log;
  options.silent = true;
  vx::Uninstaller u(options, prompts, progress);
  int code = u.Run();
  if (skipped) *skipped = u.Skipped();
  if (restart) *restart = u.RestartNeeded();
  EXPECT_FALSE(u.SelfDeleteStarted());  // the test program is no uninstaller of the log
  return code;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

TEST(UninstallLogReader, ReadsAnyTextAndParsesEachRecordFormat) {
  vx::UninstallLogData log = vx::ParseUninstallLog(
      "junk before\r\n[Strings]\r\nAppID = Demo\r\n; comment\n[CopyFiles]\rC:\\a=\nC:\\b = x\n[copyfiles]\nC:\\A=2\n"
      "[Empty\nnoequals\n\0\xff=\x01\n");
  ASSERT_EQ(log.sections.size(), 3u);
  EXPECT_EQ(log.Value("strings", "appid"), "Demo");
  const vx::LogSection* files = log.Find("CopyFiles");
  ASSERT_TRUE(files);
  ASSERT_EQ(files->entries.size(), 2u);  // the later "C:\A" replaces the value of "C:\a"
  EXPECT_EQ(files->entries[0].value, "2");
  EXPECT_TRUE(log.HasUninstallSections());
  EXPECT_FALSE(vx::ParseUninstallLog("[Other]\nx=y\n").HasUninstallSections());

  std::string key, name;
  EXPECT_TRUE(vx::ParseRegRecord("HKLM\\Software\\A\\'X'", key, name));
  EXPECT_EQ(key + "|" + name, "HKLM\\Software\\A|X");
  EXPECT_TRUE(vx::ParseRegRecord("HKCU\\K\\''", key, name));
  EXPECT_EQ(name, "");
  for (const char* bad : {"", "'X'", "HKLM\\A\\'X", "HKLM\\A\\X'"}) EXPECT_FALSE(vx::ParseRegRecord(bad, key, name)) << bad;

  std::string file, section, entry;
  EXPECT_TRUE(vx::ParseIniRecord("'C:\\a.ini','Main','Key'", file, section, entry));
  EXPECT_EQ(file + "|" + section + "|" + entry, "C:\\a.ini|Main|Key");
  EXPECT_FALSE(vx::ParseIniRecord("'C:\\a.ini','Main'", file, section, entry));

  vx::ProgramRecord p;
  ASSERT_TRUE(vx::ParseProgramRecord("'C:\\app.exe','/x ''q''','C:\\',3,'Bye',0,1", p));
  EXPECT_EQ(p.command, "C:\\app.exe");
  EXPECT_EQ(p.arguments, "/x ''q''");
  EXPECT_EQ(p.window, 3);
  EXPECT_EQ(vx::ShowCommandOf(p.window), vx::kSwShowMinimized);
  EXPECT_FALSE(p.wait);
  EXPECT_TRUE(p.checkExitCode);
  for (const char* bad : {"", "'a','b','c',1,'m',1", "'a','b','c',9,'m',1,0", "'','b','c',1,'m',1,0", "'a','b','c',x,'m',1,0"})
    EXPECT_FALSE(vx::ParseProgramRecord(bad, p)) << bad;

  bool system = false;
  std::string added;
  EXPECT_TRUE(vx::ParseEnvVarRecord("1,C:\\a;C:\\b", system, added));
  EXPECT_TRUE(system);
  EXPECT_EQ(added, "C:\\a;C:\\b");
  EXPECT_FALSE(vx::ParseEnvVarRecord("2,x", system, added));

  std::string assembly, reference;
  EXPECT_TRUE(vx::ParseAssemblyRecord("Lib,Version=1.0 OPAQUE \"App\" \"App Name\"", assembly, reference));
  EXPECT_EQ(assembly, "Lib,Version=1.0");
  EXPECT_EQ(reference, "OPAQUE \"App\" \"App Name\"");
}

TEST(UninstallSafety, PathsAndKeysOfTheSystemAreNeverTheProducts) {
  vxtest::TestMachine machine;
  vx::Host& h = machine.Host();
  for (const char* bad : {"", "C:", "C:\\", "x\\y", "C:\\a\\..\\b", "C:\\a\\.\\b", "C:\\a\\\\b", "C:\\a*", "\\\\srv",
                          "C:\\a\\b:c", "C:/a", "\\\\srv\\..\\x", "\\\\..\\share\\x"})
    EXPECT_FALSE(vx::IsPlainAbsolutePath(bad)) << bad;
  EXPECT_TRUE(vx::IsPlainAbsolutePath("C:\\Program Files\\App\\a.txt"));
  EXPECT_TRUE(vx::IsPlainAbsolutePath("\\\\server\\share\\a"));

  EXPECT_TRUE(vx::IsSystemFolder("C:\\"));
  EXPECT_TRUE(vx::IsSystemFolder(h.WindowsFolder()));
  EXPECT_TRUE(vx::IsSystemFolder(h.SystemFolder() + "\\"));
  EXPECT_TRUE(vx::IsSystemFolder(h.ShellFolderPath(vx::kCsidlPrograms)));
  EXPECT_TRUE(vx::IsSystemFolder(h.ShellFolderPath(vx::kCsidlFonts)));
  EXPECT_FALSE(vx::IsSystemFolder(machine.Scratch() + "Product"));

  for (const char* key : {"HKLM", "HKLM\\SOFTWARE", "HKCU\\Software", "HKLM\\SOFTWARE\\Microsoft",
                          "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\",
                          "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "HKCU\\Environment",
                          "HKCR\\CLSID", "Software\\A\\B", "HKLM\\SOFTWARE\\\\A"})
    EXPECT_FALSE(vx::IsRemovableKeyPath(key)) << key;
  EXPECT_TRUE(vx::IsRemovableKeyPath("HKLM\\SOFTWARE\\Company"));
  EXPECT_TRUE(vx::IsRemovableKeyPath("HKCR\\.vxdemo"));
}

class UninstallerTest : public ::testing::Test {
 protected:
  UninstallerTest() : p(machine.Scratch() + "Product\\"), log(p + "install.log") {}

  vxtest::MachineSnapshot Snapshot() {
    return vxtest::MachineSnapshot::Take(machine.Host(), vxtest::SnapshotOptions::TestRoots(machine.Scratch(), kTestKey));
  }

  // What an installation of a small product leaves, made by hand, and its log.
  void InstallProduct() {
    vx::Host& h = machine.Host();
    ASSERT_TRUE(vx::ForceFolders(p + "sub"));
    ASSERT_TRUE(vx::WriteWholeFile(p + "app.exe", "app"));
    ASSERT_TRUE(vx::WriteWholeFile(p + "sub\\data.txt", "data"));
    ASSERT_TRUE(vx::WriteWholeFile(p + "Uninstall.exe", "uninstaller"));
    ASSERT_TRUE(h.SetAttributes(p + "sub\\data.txt", vx::kAttrReadOnly));
    ASSERT_TRUE(vx::WriteWholeFile(p + "App.lnk", "link"));
    ASSERT_TRUE(vx::WriteWholeFile(p + "App.pif", "pif"));
    ASSERT_TRUE(vx::RegWriteString(kProductKey, "Name", "product"));
    ASSERT_TRUE(vx::RegWriteDword(kProductKey, "", 1));
    ASSERT_TRUE(vx::RegWriteString(kUninstallKey, "DisplayName", "Uninstall Test"));
    ASSERT_TRUE(vx::RegWriteString(kUninstallKey, "UninstallString", "\"" + p + "Uninstall.exe\" \"" + log + "\""));
    ASSERT_TRUE(vx::RegWriteDword(kSharedDlls, p + "Uninstall.exe", 1));
    ASSERT_TRUE(h.ProfileWrite(ini, "Old", std::string("B"), std::string("2")));
    ASSERT_TRUE(h.ProfileWrite(ini, "New", std::string("C"), std::string("3")));
    ASSERT_TRUE(vx::WriteWholeFile(
        log, "[Strings]\r\nAppID=VXUninstallTest\r\nAdminRights=0\r\n"
             "[Texts]\r\nDone=Gone||for good\r\n"
             "[CopyFiles]\r\n" + p + "app.exe=\r\n" + p + "sub\\data.txt=\r\n" + p + "App.lnk=\r\n"
             "[SharedFiles]\r\n" + p + "Uninstall.exe=\r\n"
             "[Shortcuts]\r\n" + p + "App.lnk=\r\n"
             "[AddReg]\r\n" + kProductKey + "\\'Name'=\r\n" + kProductKey + "\\''=\r\n"
             "[AddIni]\r\n'" + ini + "','Old','B'=\r\n'" + ini + "','New','C'=\r\n"
             "[CreateDirs]\r\n" + vx::ExcludeTrailingBackslash(p) + "=\r\n" + p + "sub=\r\n"
             "[CreateKeys]\r\nHKCU\\Software\\VXUninstallTest=\r\n" + kProductKey + "=\r\n" + kUninstallKey + "=\r\n"
             "[Whatever]\r\n" + ini + "=\r\n"));
  }

  vxtest::TestMachine machine;
  std::string p, log, ini = machine.Scratch() + "existing.ini";
};

TEST_F(UninstallerTest, RemovesWhatTheLogNamesAndASecondRunChangesNothing) {
  ASSERT_TRUE(vx::WriteWholeFile(ini, "[Old]\r\nA=1\r\n"));
  vxtest::MachineSnapshot before = Snapshot();
  InstallProduct();
  ASSERT_NE(vxtest::Diff(before, Snapshot()), "");

  std::vector<std::string> skipped;
  EXPECT_EQ(Uninstall(log, &skipped), vx::kUninstallDone) << Joined(skipped);
  // The INI file the product added to is compared by its entries.
  EXPECT_EQ(vx::IniReadString(ini, "Old", "A", "?"), "1");
  EXPECT_EQ(vx::IniReadString(ini, "Old", "B", "none"), "none");
  vx::IniFlush();
  EXPECT_EQ(machine.Host().ProfileRead(ini, std::nullopt, std::nullopt, "", 4096), std::string("Old\0", 4));
  auto without = [&](vxtest::MachineSnapshot s) {
    for (auto it = s.files.begin(); it != s.files.end();)
      it = vx::SameText(it->second.path, ini) ? s.files.erase(it) : std::next(it);
    return s;
  };
  vxtest::MachineSnapshot after = Snapshot();
  EXPECT_EQ(vxtest::Diff(without(before), without(after)), "");

  // Again: the log is gone, nothing changes.
  EXPECT_EQ(Uninstall(log), vx::kUninstallNotDone);
  EXPECT_EQ(vxtest::Diff(after, Snapshot()), "");
}

TEST_F(UninstallerTest, AHandEditedLogRemovesNothingItDoesNotNameOrThatBelongsToTheSystem) {
  vx::Host& h = machine.Host();
  std::string s = machine.Scratch();
  ASSERT_TRUE(vx::ForceFolders(s + "keep"));
  ASSERT_TRUE(vx::WriteWholeFile(s + "keep\\file.txt", "mine"));
  ASSERT_TRUE(vx::WriteWholeFile(s + "victim.txt", "not the product's"));
  ASSERT_TRUE(vx::RegWriteString("HKCU\\Software\\VXUninstallTest\\Other", "V", "kept"));
  ASSERT_TRUE(vx::ForceFolders(s + "empty"));
  std::string bad = s + "bad.log";
  std::string runOnce = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  ASSERT_TRUE(vx::WriteWholeFile(
      bad, "[Strings]\r\nAppID=..\\..\\Run\r\n"
           "[CopyFiles]\r\n" + s + "keep\\..\\victim.txt=\r\nvictim.txt=\r\n" + s + "keep=\r\nC:\\=\r\n"
           "[Shortcuts]\r\n" + s + "victim.txt=\r\n"
           "[AddReg]\r\ngarbage=\r\nHKCU\\Software\\VXUninstallTest\\Other\\'W'=\r\n"
           "[AddIni]\r\n'x.ini','a','b'=\r\n"
           "[CreateDirs]\r\nC:\\=\r\n" + h.WindowsFolder() + "=\r\n" + s + "keep=\r\nrelative\\dir=\r\n" + s + "empty=\r\n"
           "[CreateKeys]\r\nHKLM\\SOFTWARE=\r\nHKCU\\Software=\r\n" + runOnce + "=\r\nHKCU\\Software\\VXUninstallTest\\Other=\r\n"
           "[PreRunApp]\r\n0='C:\\nothing\\here.exe','','',1,'',1,0\r\n1=broken\r\n"
           "[EnvVars]\r\nA=B=1,x\r\n"
           "[Unknown]\r\n" + s + "keep\\file.txt=\r\n"));
  vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(s, kTestKey);
  o.keys.push_back("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  vxtest::MachineSnapshot before = vxtest::MachineSnapshot::Take(h, o);
  size_t badSize = Read(bad).size();

  std::vector<std::string> skipped;
  EXPECT_EQ(Uninstall(bad, &skipped), vx::kUninstallPartly);
  std::string text = Joined(skipped);
  // Only the empty folder it names and the log itself are gone.
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(h, o)),
            "- file " + s + "bad.log (" + std::to_string(badSize) + " bytes)\n- folder " + s + "empty\n")
      << text;
  EXPECT_TRUE(vx::RegKeyExists("HKLM\\SOFTWARE") && vx::RegKeyExists(runOnce));
  EXPECT_TRUE(vx::FolderExists(h.WindowsFolder()));
  for (const std::string& expected : std::vector<std::string>{s + "keep\\..\\victim.txt: not a full path", "victim.txt: not a full path", s + "keep: a folder, not a file",
        s + "victim.txt: not a shortcut", "[AddReg] garbage: malformed", "[AddIni] 'x.ini','a','b': malformed",
        h.WindowsFolder() + ": a folder of the system", s + "keep: not empty", "HKLM\\SOFTWARE: a key of the system",
        runOnce + ": a key of the system", "HKCU\\Software\\VXUninstallTest\\Other: not empty",
        "C:\\nothing\\here.exe: cannot be started", "[PreRunApp] 1: malformed", "[EnvVars] A: malformed"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

  // A log that is missing, or no uninstall log at all, changes nothing.
  EXPECT_EQ(Uninstall(s + "missing.log"), vx::kUninstallNotDone);
  ASSERT_TRUE(vx::WriteWholeFile(s + "other.ini", "[Other]\r\n" + s + "victim.txt=\r\n"));
  EXPECT_EQ(Uninstall(s + "other.ini"), vx::kUninstallNotDone);
  EXPECT_TRUE(vx::FileExists(s + "victim.txt") && vx::FileExists(s + "other.ini"));
}

TEST_F(UninstallerTest, ASharedFileGoesWithTheLastProductAndAFileInUseAtTheNextRestart) {
  vx::Host& h = machine.Host();
  std::string s = machine.Scratch();
  std::string dll = s + "common\\shared.dll";
  ASSERT_TRUE(vx::ForceFolders(s + "common"));
  ASSERT_TRUE(vx::WriteWholeFile(dll, "shared"));
  ASSERT_TRUE(vx::RegWriteDword(kSharedDlls, dll, 2));
  for (const char* product : {"a", "b"})
    ASSERT_TRUE(vx::WriteWholeFile(s + product + ".log", "[Strings]\r\nAppID=VXShared\r\n[CopyFiles]\r\n" + dll +
                                                             "=\r\n[SharedFiles]\r\n" + dll + "=\r\n"));
  EXPECT_EQ(Uninstall(s + "a.log"), vx::kUninstallDone);
  EXPECT_TRUE(vx::FileExists(dll));
  EXPECT_EQ(vx::RegReadDword(kSharedDlls, dll, 0), 1u);
  EXPECT_EQ(Uninstall(s + "b.log"), vx::kUninstallDone);
  EXPECT_FALSE(vx::FileExists(dll));
  EXPECT_FALSE(vx::RegValueExists(kSharedDlls, dll));

  // A file held open without delete sharing: gone at the next restart.
  std::string busy = s + "busy.dll";
  ASSERT_TRUE(vx::WriteWholeFile(busy, "busy"));
  ASSERT_TRUE(vx::WriteWholeFile(s + "c.log", "[Strings]\r\nAppID=VXBusy\r\n[CopyFiles]\r\n" + busy + "=\r\n"));
  bool restart = false;
  {
    auto open = h.OpenFile(busy, vx::FileAccess::Read, vx::FileCreate::OpenExisting, vx::kShareRead);
    ASSERT_TRUE(open);
    EXPECT_EQ(Uninstall(s + "c.log", nullptr, &restart), vx::kUninstallDone);
  }
  EXPECT_TRUE(restart);
  EXPECT_TRUE(vx::FileExists(busy));
#ifndef _WIN32
  std::vector<std::string> report;
  EXPECT_TRUE(static_cast<vx::SandboxHost&>(h).Reboot(report));
  EXPECT_FALSE(vx::FileExists(busy)) << Joined(report);
#else
  EXPECT_EQ(machine.Restarts(), 0);  // a silent run never restarts
#endif
}

#ifndef _WIN32
namespace fs = std::filesystem;

// The sandbox machine runs what an installation puts on it as Windows
// would: programs by their content, bare names through the system folder
// and PATH, and the batch files the engine writes.
TEST(SandboxPrograms, ProgramsWithoutTheExecuteBitBareNamesAndBatchFilesRun) {
  vxtest::TestMachine machine;
  auto& h = static_cast<vx::SandboxHost&>(machine.Host());
  std::string trueBytes = vxtest::ReadNative("/bin/true");
  ASSERT_FALSE(trueBytes.empty());
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\tool.exe", trueBytes));
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\script.exe", "#!/bin/sh\nexit 7\n"));
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\data.exe", "MZ not native"));
  ASSERT_TRUE(vx::WriteWholeFile(h.SystemFolder() + "\\vxtrue.exe", trueBytes));
  auto run = [&](const std::string& command) -> int {
    vx::HandleValue p = h.StartProcess(command, "C:\\scratch", vx::kSwHide, 0);
    if (!p) return -1;
    h.WaitForProcess(p, 0xFFFFFFFFu);
    uint32_t code = 0;
    h.ProcessExitCode(p, code);
    h.CloseHandle(p);
    return int(code);
  };
  EXPECT_EQ(run("\"C:\\scratch\\tool.exe\" x"), 0);
  EXPECT_EQ(run("C:\\scratch\\script.exe"), 7);
  EXPECT_EQ(run("C:\\scratch\\data.exe"), -1);
  EXPECT_EQ(h.LastError(), vx::kErrorBadExeFormat);
  EXPECT_EQ(run("vxtrue"), 0);  // found in the system folder
  EXPECT_EQ(run("vxtrue.exe /q"), 0);

  // The self-delete batch of a program in a folder of its own, as the
  // engine writes it: the program, its folder and the batch are gone.
  ASSERT_TRUE(vx::ForceFolders("C:\\scratch\\app\\bin"));
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\app\\bin\\Uninstall.exe", trueBytes));
  {
    vx::SandboxOptions options;
    options.executable = h.NativePath("C:\\scratch\\app\\bin\\Uninstall.exe");
    vx::SandboxHost self(machine.Root(), options);
    vx::ScopedHost scope(self);
    ASSERT_TRUE(vx::StartSelfDeleteBatch(true, {"C:\\scratch\\app"}));
  }
  EXPECT_FALSE(vx::PathExists("C:\\scratch\\app"));
  std::vector<vx::FindEntry> entries;
  uint32_t error = 0;
  h.ListFolder("C:\\scratch\\", "*.bat", entries, error);
  h.ListFolder(vx::GetTempFolder(), "*.bat", entries, error);
  EXPECT_TRUE(entries.empty());

  // "cmd /c" with a batch, "if not exist", labels out of order; a line the
  // machine cannot carry out refuses the batch.
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\b.bat",
                                 "@echo off\r\nrem x\r\ngoto second\r\n:first\r\nexit 3\r\n:second\r\n"
                                 "if not exist \"C:\\scratch\\nothing\" goto first\r\nexit 4\r\n"));
  EXPECT_EQ(run("cmd.exe /c C:\\scratch\\b.bat"), 3);
  EXPECT_EQ(run("\"C:\\scratch\\b.bat\""), 3);
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\c.bat", "format c:\r\n"));
  EXPECT_EQ(run("C:\\scratch\\c.bat"), -1);
  ASSERT_TRUE(vx::WriteWholeFile("C:\\scratch\\d.bat", "goto nowhere\r\n"));
  EXPECT_EQ(run("C:\\scratch\\d.bat"), -1);
}
#endif

}  // namespace
