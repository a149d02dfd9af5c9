// Program entry of the engine: makes the platform's host current (the real
// Windows API, or the sandbox machine natively), reads the unattended
// switches, runs the engine and ends the process with its exit code.
#include <cstdlib>

#include "engine/Main.h"
#include "system/PlatformHost.h"
#include "system/RunLog.h"
#include "system/kqUtils.h"

#ifdef _WIN32
// An exception that escapes everything ends the process at once. The
// runtime's own handler would print a demangled type name to a console a
// GUI program does not have, and would add its demangler to the engine,
// which has to stay small enough to sit in front of the setup file's cabinet.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

int main(int argc, char** argv) {
  std::unique_ptr<vx::Host> host = vx::CreatePlatformHost();
  vx::SetCurrentHost(host.get());
  vx::CommandLine commandLine(vx::ProgramParameters(argc, argv));
  vx::UnattendedAnswers answers;
  std::string error;
  if (!vx::ConfigureUnattended(commandLine, answers, error)) {
    vx::RunPrompts prompts;
    prompts.SetUnattendedAnswers(answers.takeDefault, answers.rules);
    prompts.ShowError(error);
    return -1;
  }
  int code = vx::RunEngine(commandLine, std::move(answers));
  vx::CloseRunLog();
  return code;
}
