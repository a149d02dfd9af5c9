// The engine program run as its own process, as a user or a deployment
// tool starts it: natively on a fresh sandbox machine, on Windows (Wine) on
// the real system with a private temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#endif

namespace {

using vxtest::ReadNative;

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

struct Outcome {
  int exitCode = 0;
  bool finished = false;
};

#ifdef _WIN32
// The engine program of the build tree, as a Windows path.
std::string EnginePath() {
  std::string exe = std::string("Z:") + VX_ENGINE_PATH;
  for (char& c : exe)
    if (c == '/') c = '\\';
  return exe;
}

// Runs `exe` with TMP/TEMP pointing at `temp`. A box that waited for a
// click would keep it running: give it a minute, then kill it.
Outcome RunProgram(const std::string& exe, const std::string& args, const std::string& temp) {
  // The child inherits TMP/TEMP; this process keeps its own.
  char oldTmp[MAX_PATH] = "", oldTemp[MAX_PATH] = "";
  ::GetEnvironmentVariableA("TMP", oldTmp, MAX_PATH);
  ::GetEnvironmentVariableA("TEMP", oldTemp, MAX_PATH);
  ::SetEnvironmentVariableA("TMP", temp.c_str());
  ::SetEnvironmentVariableA("TEMP", temp.c_str());
  std::string cmd = Quote(exe) + " " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Outcome o;
  BOOL started = ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  ::SetEnvironmentVariableA("TMP", oldTmp);
  ::SetEnvironmentVariableA("TEMP", oldTemp);
  if (!started) return o;
  if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    o.exitCode = int(code);
    o.finished = true;
  } else {
    ::TerminateProcess(pi.hProcess, 99);
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return o;
}
#else
std::string EnginePath() { return VX_ENGINE_PATH; }

// Runs `exe` on the sandbox machine at `machineRoot`; host programs (the
// launcher in front of a setup file) get the machine's "host-temp" folder
// as their temporary folder.
Outcome RunProgram(const std::string& exe, const std::string& args, const std::string& machineRoot) {
  std::string hostTemp = machineRoot + "/host-temp";
  mkdir(hostTemp.c_str(), 0755);
  std::string cmd = "VX_MACHINE=" + Quote(machineRoot) + " TMPDIR=" + Quote(hostTemp) + " " + Quote(exe) + " " +
                    args + " 2>/dev/null";
  int status = std::system(cmd.c_str());
  Outcome o;
  o.finished = WIFEXITED(status);
  o.exitCode = o.finished ? int(int8_t(WEXITSTATUS(status))) : 0;
  return o;
}
#endif

class EngineProcess : public ::testing::Test {
 protected:
  Outcome Run(const std::string& args, const std::string& exe = EnginePath()) {
#ifdef _WIN32
    std::string temp = machine.Scratch() + "engine-temp";
    vx::ForceFolders(temp);
    return RunProgram(exe, args, temp);
#else
    return RunProgram(exe, args, machine.Root());
#endif
  }
  // What the engine (and a launcher in front of it) left in the temporary
  // folders they used.
  size_t LeftInTemp() {
#ifdef _WIN32
    std::string temp = machine.Scratch() + "engine-temp";
#else
    std::string temp = vx::GetTempFolder();
    std::error_code ec;
    size_t host = 0;
    for (auto it = std::filesystem::directory_iterator(machine.Root() + "/host-temp", ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
      ++host;
#endif
    std::vector<vx::FindEntry> e;
    uint32_t err;
    machine.Host().ListFolder(temp, "*", e, err);
    size_t n = 0;
    for (auto& x : e) n += (x.name != "." && x.name != "..");
#ifndef _WIN32
    n += host;
#endif
    return n;
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
};

#ifdef _WIN32
std::string LogArg(const std::string& native) { return "/log:" + Quote(native); }
#else
std::string LogArg(const std::string& native) { return Quote("/log:" + native); }
#endif

// The engine carries its extraction library: it writes it, then finds no
// package behind its own image and ends the run cleanly.
TEST_F(EngineProcess, BareEngineWritesItsLibraryAndRefusesToRunWithoutAPackage) {
  std::string log = dir.Path() + "/run.log";
  Outcome o = Run(LogArg(log) + " /suppressmsgboxes /s");
  ASSERT_TRUE(o.finished) << "the engine did not end on its own";
  EXPECT_EQ(o.exitCode, -1);
  std::string text = ReadNative(log);
  EXPECT_EQ(text.find("Can't extract UNPACK.DLL"), std::string::npos) << text;
  EXPECT_NE(text.find("step: extraction library written to "), std::string::npos) << text;
  EXPECT_NE(text.find("unpack.dll"), std::string::npos) << text;
  EXPECT_NE(text.find("msgbox: caption=\"Invalid package\" text=\"Invalid package size!"), std::string::npos) << text;
  EXPECT_NE(text.find("answer=OK (default)"), std::string::npos) << text;
  EXPECT_NE(text.find("step: temporary folder removed"), std::string::npos) << text;
  EXPECT_NE(text.find("step: exit code -1"), std::string::npos) << text;
  EXPECT_EQ(LeftInTemp(), 0u);
}

TEST_F(EngineProcess, AnswerScriptAnswersTheBoxes) {
  std::string log = dir.Path() + "/run.log";
  std::string answers = dir.Path() + "/answers.txt";
  std::ofstream(answers) << "*Invalid package size*=OK\n";
#ifdef _WIN32
  std::string arg = "/answers:" + Quote(answers);
#else
  std::string arg = Quote("/answers:" + answers);
#endif
  Outcome o = Run(LogArg(log) + " " + arg);
  ASSERT_TRUE(o.finished);
  EXPECT_EQ(o.exitCode, -1);
  EXPECT_NE(ReadNative(log).find("answer=OK (scripted)"), std::string::npos);
}

TEST_F(EngineProcess, UnusableAnswerFileIsReportedWithoutWaiting) {
  Outcome o = Run("/suppressmsgboxes /answers:" + Quote(dir.Path() + "/missing.txt"));
  ASSERT_TRUE(o.finished);
  EXPECT_EQ(o.exitCode, -1);
  EXPECT_EQ(LeftInTemp(), 0u);
}

#ifdef VX_SETUP_PATH
// The demo project built by vxbuild in front of the size-optimised engine
// stub: a setup file and the further package "extra.vxp", a password, a
// splash bitmap and a preparation picture. The engine opens it up to the
// installation, which this build does not have yet.
class SetupFile : public EngineProcess {
 protected:
  void SetUp() override {
    std::string from = VX_SETUP_PATH;
    std::string folder = from.substr(0, from.find_last_of('/') + 1);
    setupBytes = ReadNative(from);
    extraBytes = ReadNative(folder + "extra.vxp");
    ASSERT_GT(setupBytes.size(), 26u);
    ASSERT_GT(extraBytes.size(), 26u);
  }
  // Writes the two package files (possibly altered) and runs the setup file.
  Outcome RunSetup(const std::string& setup, const std::string& extra, const std::string& args) {
    WriteNative(Setup(), setup);
    WriteNative(dir.Path() + Sep() + "extra.vxp", extra);
#ifndef _WIN32
    chmod(Setup().c_str(), 0755);
#endif
    return Run(args, Setup());
  }
  std::string Setup() const { return dir.Path() + Sep() + "setup.exe"; }
  static std::string Sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
  }
  static void WriteNative(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
  }

  std::string setupBytes, extraBytes;
};

// The path of the setup file as the engine reports it: natively the sandbox
// machine reaches the Linux file system through drive Z:.
std::string EngineFileAsSeen(const std::string& native) {
#ifdef _WIN32
  return native;
#else
  std::string path = "Z:" + native;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
#endif
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

TEST_F(SetupFile, OpensBothPackagesUpToTheInstallation) {
  std::string log = dir.Path() + Sep() + "run.log";
  Outcome o = RunSetup(setupBytes, extraBytes, LogArg(log) + " /suppressmsgboxes");
  ASSERT_TRUE(o.finished) << "the setup did not end on its own";
  std::string text = ReadNative(log);
  EXPECT_EQ(o.exitCode, -1) << text;  // installation is not in this build

  // Both packages checked and prepared, the second one after the wizard.
  auto prepared = LinesStartingWith(text, "package: prepared ");
  ASSERT_EQ(prepared.size(), 2u) << text;
  EXPECT_NE(prepared[0].find("setup.exe"), std::string::npos);
  EXPECT_NE(prepared[1].find("extra.vxp"), std::string::npos);
#ifndef _WIN32
  // The sandbox records the windows it would show (on Windows they are real
  // windows, checked by the window tests).
  // The setup file: its splash first, then the preparation dialog (it has
  // no picture of its own) beside it; "extra" shows its own picture.
  size_t splash = text.find("window: create \"VXSplashWindow\"");
  size_t dialog = text.find("window: title of \"DLG_PRESETUP\" \"Preparing \\\"setup\\\" package...\"");
  EXPECT_NE(splash, std::string::npos) << text;
  EXPECT_NE(dialog, std::string::npos) << text;
  EXPECT_LT(splash, dialog) << text;
  EXPECT_NE(text.find("window: create \"VXPresetupWindow\"", dialog), std::string::npos) << text;
#endif

  // What the preparation wrote: the databases, the pictures and the
  // uninstaller vxbuild packs by default, no data.
  std::vector<std::string> files;
  for (const std::string& line : LinesStartingWith(text, "prepared: ")) {
    std::string name = line.substr(10, line.rfind(' ') - 10);
    // The pictures keep their sizes; the databases are whatever vxbuild wrote.
    files.push_back(name.find(".bmp") != std::string::npos ? line.substr(10) : name);
  }
  EXPECT_EQ(files, (std::vector<std::string>{"\"db.pdb\"", "\"main.pdb\"", "\"splash.bmp\" 29886",
                                             "\"Uninstall.exe\"", "\"db.pdb\"", "\"presetup.bmp\" 79278"}))
      << text;
  auto packages = LinesStartingWith(text, "package: \"");
  ASSERT_EQ(packages.size(), 2u) << text;
  EXPECT_NE(packages[0].find("\"setup\" main=1 needed=1 prepared=1"), std::string::npos) << packages[0];
  EXPECT_NE(packages[1].find("\"extra\" main=0 needed=1 prepared=1"), std::string::npos) << packages[1];

  // The merged project: both components, the project's variables, the
  // password check value, and the session values of this run.
  EXPECT_NE(text.find("database: 2 component(s), 0 feature(s)"), std::string::npos) << text;
  EXPECT_NE(text.find("variable: AppID=\"VXDemo\""), std::string::npos) << text;
  EXPECT_NE(text.find("variable: AppName=\"Demo Application\""), std::string::npos) << text;
  EXPECT_NE(text.find("variable: PswCheckHash=\"" + vx::PasswordCheckHash("secret") + "\""), std::string::npos)
      << text;
  std::string sourcePath = vx::ExcludeTrailingBackslash(vx::ExtractFilePath(EngineFileAsSeen(Setup())));
  EXPECT_NE(text.find("variable: SourcePath=" + vx::LogQuote(sourcePath)), std::string::npos) << text;
  EXPECT_NE(text.find("variable: SilentMode=\"0\""), std::string::npos) << text;
  EXPECT_NE(text.find("step: 29 install"), std::string::npos) << text;
  EXPECT_NE(text.find("step: temporary folder removed"), std::string::npos) << text;
  EXPECT_EQ(LeftInTemp(), 0u);
}

// Damaged and forged package files stop the run with a message before the
// installation; nothing stays in the temporary folder.
TEST_F(SetupFile, DamagedOrForgedPackagesStopWithAMessage) {
  auto flip = [](std::string bytes, size_t at) {
    bytes[at] = char(bytes[at] ^ 0x5A);
    return bytes;
  };
  auto trailerField = [](std::string bytes, size_t fromEnd, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - fromEnd + i] = char(value >> (8 * i));
    return bytes;
  };
  struct Case {
    const char* name;
    std::string setup, extra;
    const char* message;
  };
  const size_t cabinetMiddle = extraBytes.size() / 2;
  std::vector<Case> cases = {
      {"truncated setup file", setupBytes.substr(0, setupBytes.size() - 700), extraBytes, "Invalid package"},
      {"truncated further package", setupBytes, extraBytes.substr(0, extraBytes.size() - 100), "Invalid package"},
      {"bit flipped in the further package's cabinet", setupBytes, flip(extraBytes, cabinetMiddle),
       "msgbox: caption="},
      {"forged stub size", trailerField(setupBytes, 26, 0x7FFFFFF0u), extraBytes, "msgbox: caption="},
      {"further package missing", setupBytes, "", "msgbox: caption="},
  };
  for (const Case& c : cases) {
    std::string log = dir.Path() + Sep() + "bad.log";
    Outcome o = RunSetup(c.setup, c.extra, LogArg(log) + " /suppressmsgboxes");
    std::string text = ReadNative(log);
    ASSERT_TRUE(o.finished) << c.name;
    EXPECT_EQ(o.exitCode, -1) << c.name << "\n" << text;
    EXPECT_NE(text.find(c.message), std::string::npos) << c.name << "\n" << text;
    EXPECT_EQ(text.find("step: 28 before install"), std::string::npos) << c.name << "\n" << text;
    EXPECT_NE(text.find("step: temporary folder removed"), std::string::npos) << c.name << "\n" << text;
    EXPECT_EQ(LeftInTemp(), 0u) << c.name;
  }
}

// A damaged engine image inside the launcher stops before any engine runs.
TEST_F(SetupFile, DamagedLauncherStopsBeforeTheEngine) {
  std::string setup = setupBytes;
  setup[setup.size() / 3] = char(setup[setup.size() / 3] ^ 0x5A);  // inside the compressed engine
  std::string log = dir.Path() + Sep() + "launcher.log";
  Outcome o = RunSetup(setup, extraBytes, LogArg(log) + " /suppressmsgboxes");
  ASSERT_TRUE(o.finished);
  EXPECT_EQ(o.exitCode, -1);
  EXPECT_EQ(ReadNative(log), "");  // the engine never started
  EXPECT_EQ(LeftInTemp(), 0u);
}

// The resume entry starts a copy of the launcher ("Resume.exe", the setup
// file's first StubSize bytes) that the engine put into the temporary
// folder as "vx<6 characters>.exe". After the resumed run that copy removes
// itself, so nothing of the setup stays behind; a setup file started with
// the same switch, or the copy started without it, stays.
TEST_F(SetupFile, ResumeProgramRemovesItselfAfterTheResumedRun) {
  vx::PackageTrailer trailer;
  uint64_t trailing = 0;
  ASSERT_TRUE(vx::LocateTrailer(setupBytes.substr(setupBytes.size() - 4096), trailer, trailing));
  std::string launcher = setupBytes.substr(0, trailer.StubSize);
  std::string resumeFolder = EngineFileAsSeen(dir.Path() + Sep() + "no-such-folder");
  struct Case {
    const char* name;
    bool resumeSwitch;
    bool removed;
  };
  for (const Case& c : {Case{"vxI0AVI0.exe", true, true}, Case{"VXEngine.exe", true, false}, Case{"setup.exe", true, false},
                        Case{"VX9Z8Y7W.EXE", false, false}}) {
    std::string program = dir.Path() + Sep() + c.name;
    WriteNative(program, launcher);
#ifndef _WIN32
    chmod(program.c_str(), 0755);
#endif
    std::string log = dir.Path() + Sep() + "resume.log";
    std::string args = LogArg(log) + " /suppressmsgboxes";
    if (c.resumeSwitch) args += " " + Quote("/resume:" + resumeFolder) + " " + Quote("/exename:" + EngineFileAsSeen(Setup()));
    Outcome o = Run(args, program);
    ASSERT_TRUE(o.finished) << c.name;
    EXPECT_EQ(o.exitCode, -1) << c.name;  // nothing to resume, no package
    std::string text = ReadNative(log);
    if (c.resumeSwitch) {
      EXPECT_NE(text.find("Cannot resume installation."), std::string::npos) << text;
    }
    // On Windows a batch removes the program once it has ended.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
      gone = !std::filesystem::exists(program) && !std::filesystem::exists(vx::ChangeFileExt(program, ".bat"));
      if (!gone && c.removed) vx::CurrentHost().SleepMs(100);
    }
    EXPECT_EQ(gone, c.removed) << c.name;
    EXPECT_EQ(LeftInTemp(), 0u) << c.name;
    std::filesystem::remove(program);
  }
}

// An /exename: on the command line (the resume entry writes one) wins over
// the one the launcher adds: the packages are looked for beside that file.
// The demo installed silently from its setup file, then removed by the
// uninstaller its uninstall key names, started as "Add or remove programs"
// starts it: the machine is as it was before, uninstaller and folders
// included.
TEST_F(SetupFile, TheDemoInstallsAndItsUninstallerLeavesTheMachineAsItWas) {
  vx::Host& h = machine.Host();
  std::string programs = vx::IncludeTrailingBackslash(h.ShellFolderPath(vx::kCsidlProgramFiles));
  const std::string key = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VXDemo";
#ifdef _WIN32
  vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXDemo");
  o.folders.push_back(programs + "Demo Application");
  o.folders.push_back(programs + "Common Files\\Demo Company");
#else
  vxtest::SnapshotOptions o;
#endif
  o.ignore.push_back(vxtest::TempFolderPrefix(h));
  o.ignore.push_back(machine.Scratch());
  vxtest::MachineSnapshot before = vxtest::MachineSnapshot::Take(h, o);

  // The external files come from the folder of the setup file.
  std::filesystem::copy(VX_DEMO_EXTRAS, dir.Path() + Sep() + "extras", std::filesystem::copy_options::recursive);
  std::string log = dir.Path() + Sep() + "install.log";
  Outcome o1 = RunSetup(setupBytes, extraBytes, LogArg(log) + " /s /suppressmsgboxes /password:secret");
  ASSERT_TRUE(o1.finished);
  ASSERT_EQ(o1.exitCode, 0) << ReadNative(log);
  std::string command = vx::RegReadText(key, "UninstallString", "");
  ASSERT_EQ(command, "\"" + programs + "Demo Application\\Uninstall.exe\" \"" + programs +
                         "Demo Application\\install.log\"");

  std::string uninstallLog = dir.Path() + Sep() + "uninstall.log";
  vx::HandleValue process = h.StartProcess(command + " /s " + Quote("/log:" + uninstallLog), "", vx::kSwShowNormal, 0);
  ASSERT_TRUE(process);
  h.WaitForProcess(process, 120000);
  uint32_t code = 99;
  h.ProcessExitCode(process, code);
  h.CloseHandle(process);
  EXPECT_EQ(code, 0u) << ReadNative(uninstallLog);
  for (int i = 0; i < 100 && vx::FolderExists(programs + "Demo Application"); ++i) h.SleepMs(100);
  EXPECT_EQ(vxtest::Diff(before, vxtest::MachineSnapshot::Take(h, o)), "") << ReadNative(uninstallLog);
}

TEST_F(SetupFile, ExeNameOnTheCommandLineWins) {
  std::string elsewhere = dir.Path() + Sep() + "elsewhere";
#ifdef _WIN32
  ::CreateDirectoryA(elsewhere.c_str(), nullptr);
#else
  mkdir(elsewhere.c_str(), 0755);
#endif
  WriteNative(elsewhere + Sep() + "setup.exe", setupBytes);
  WriteNative(elsewhere + Sep() + "extra.vxp", extraBytes);
  std::string log = dir.Path() + Sep() + "exename.log";
  std::string other = EngineFileAsSeen(elsewhere + Sep() + "setup.exe");
  // The copy beside the started file lacks its further package: only the
  // named one can get through.
  Outcome o = RunSetup(setupBytes, "", LogArg(log) + " /suppressmsgboxes " + Quote("/exename:" + other));
  ASSERT_TRUE(o.finished);
  std::string text = ReadNative(log);
  EXPECT_NE(text.find("variable: SourcePath=" + vx::LogQuote(vx::ExtractFileDir(other))), std::string::npos) << text;
  EXPECT_NE(text.find("step: 29 install"), std::string::npos) << text;
  EXPECT_EQ(LeftInTemp(), 0u);
}
#endif

}  // namespace
