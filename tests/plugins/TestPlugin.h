// Where the scriptable test plug-in was built, and its bytes, for tests that
// copy it into a package's plug-in folder.
#pragma once

#include <string>

#include "support/TestMachine.h"

namespace vxtest {

// The built library as a path of the process's own file system (under Wine
// the Linux path is reached through drive Z:).

// A path of the build tree as the process sees it (under Wine through Z:).
inline std::string BuildTreePath(std::string p) {
#ifdef _WIN32
  p = "Z:" + p;
  for (char& c : p)
    if (c == '/') c = '\\';
#endif
  return p;
}

inline std::string BuiltPlugin() { return BuildTreePath(VX_TEST_PLUGIN); }

inline std::string TestPluginBytes() { return ReadNative(BuiltPlugin()); }

// The example plug-in built for a Windows machine whose DLLs this program
// cannot load (the other bitness; natively any Windows DLL); "" when the
// tree has no compiler for it.
inline std::string ForeignPluginBytes() {
#ifdef VX_FOREIGN_PLUGIN
  return ReadNative(BuildTreePath(VX_FOREIGN_PLUGIN));
#else
  return "";
#endif
}

}  // namespace vxtest
