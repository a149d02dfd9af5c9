// Where the scriptable test plug-in was built, and its bytes, for tests that
// copy it into a package's plug-in folder.
#pragma once

#include <string>

#include "support/TestMachine.h"

namespace vxtest {

// The built library as a path of the process's own file system (under Wine
// the Linux path is reached through drive Z:).
inline std::string BuiltPlugin() {
#ifdef _WIN32
  std::string p = std::string("Z:") + VX_TEST_PLUGIN;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
#else
  return VX_TEST_PLUGIN;
#endif
}

inline std::string TestPluginBytes() { return ReadNative(BuiltPlugin()); }

}  // namespace vxtest
