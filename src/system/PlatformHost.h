// What the program entry needs of the platform it was built for: the host
// (the real Windows API in the Windows build; natively the sandbox machine
// named by VX_MACHINE, else ~/.vxmachine) and the program's parameters as
// that platform hands them over. The entry makes the host current for the
// whole process; nothing else picks a host.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "system/host.h"

namespace vx {

std::unique_ptr<Host> CreatePlatformHost();

// The parameters after the program name: on Windows the process's command
// line split by Windows rules (SplitCommandLine), natively argv as given.
std::vector<std::string> ProgramParameters(int argc, char** argv);

}  // namespace vx
