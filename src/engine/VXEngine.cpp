// Program entry of the engine: picks the host (the real Windows API, or the
// sandbox machine natively), reads the unattended switches, runs the engine
// and ends the process with its exit code.
#include "engine/Main.h"
#include "system/RunLog.h"
#include "system/kqUtils.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>

#include "system/win32/Win32Host.h"

// An exception that escapes everything ends the process at once. The
// runtime's own handler would print a demangled type name to a console a
// GUI program does not have, and would add its demangler to the engine,
// which has to stay small enough to sit in front of the setup file's cabinet.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  vx::Win32Host host;
  vx::SetCurrentHost(&host);
  std::vector<std::string> params = vx::SplitCommandLine(::GetCommandLineA());
  if (!params.empty()) params.erase(params.begin());
#else
#include "system/sandbox/SandboxHost.h"

int main(int argc, char** argv) {
  vx::SandboxHost host(vx::SandboxHost::DefaultRoot());
  vx::SetCurrentHost(&host);
  std::vector<std::string> params(argv + 1, argv + argc);
#endif
  vx::CommandLine commandLine(std::move(params));
  std::string error;
  if (!vx::ConfigureUnattended(commandLine, error)) {
    vx::ShowError(error);
    return -1;
  }
  int code;
  {
    vx::Engine engine(commandLine);
    code = engine.Run();
  }
  vx::CloseRunLog();
  return code;
}
