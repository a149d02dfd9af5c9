// The engine program run as its own process, as a user or a deployment
// tool starts it: natively on a fresh sandbox machine, on Windows (Wine) on
// the real system with a private temporary folder.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

#ifdef _WIN32
#include <windows.h>
#else
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
// Runs the engine with TMP/TEMP pointing at `temp`. A box that waited for a
// click would keep it running: give it a minute, then kill it.
Outcome RunEngine(const std::string& args, const std::string& temp) {
  std::string exe = std::string("Z:") + VX_ENGINE_PATH;
  for (char& c : exe)
    if (c == '/') c = '\\';
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
Outcome RunEngine(const std::string& args, const std::string& machineRoot) {
  std::string cmd = "VX_MACHINE=" + Quote(machineRoot) + " " + Quote(VX_ENGINE_PATH) + " " + args + " 2>/dev/null";
  int status = std::system(cmd.c_str());
  Outcome o;
  o.finished = WIFEXITED(status);
  o.exitCode = o.finished ? int(int8_t(WEXITSTATUS(status))) : 0;
  return o;
}
#endif

class EngineProcess : public ::testing::Test {
 protected:
  Outcome Run(const std::string& args) {
#ifdef _WIN32
    std::string temp = machine.Scratch() + "engine-temp";
    vx::ForceFolders(temp);
    return RunEngine(args, temp);
#else
    return RunEngine(args, machine.Root());
#endif
  }
  // What the engine left in the temporary folder it used.
  size_t LeftInTemp() {
#ifdef _WIN32
    std::string temp = machine.Scratch() + "engine-temp";
#else
    std::string temp = vx::GetTempFolder();
#endif
    std::vector<vx::FindEntry> e;
    uint32_t err;
    machine.Host().ListFolder(temp, "*", e, err);
    size_t n = 0;
    for (auto& x : e) n += (x.name != "." && x.name != "..");
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

}  // namespace
