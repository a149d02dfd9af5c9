// A host for tests: natively a fresh sandbox machine per test, on Windows
// the real host with a fresh scratch folder. Either way `Scratch()` is an
// empty Windows folder the test may fill, and the host is current while the
// object lives. On Windows TMP and TEMP point into the scratch folder
// meanwhile, so that tests running side by side never see each other's
// temporary files.
#pragma once

#include <memory>
#include <string>

#include "system/host.h"

namespace vxtest {

class TestMachine {
 public:
  // `kind` chooses the emulated system natively ("xp", "98", ...); on
  // Windows the real system is used and `kind` is ignored.
  explicit TestMachine(const std::string& kind = "xp");
  ~TestMachine();

  vx::Host& Host() { return *host_; }
  const std::string& Scratch() const { return scratch_; }  // with trailing "\"
  bool IsSandbox() const;
  // Native path of the sandbox machine root ("" on Windows).
  const std::string& Root() const { return root_; }
  // Windows: restarts asked of the host (counted, never done).
  int Restarts() const { return restarts_; }

 private:
  std::unique_ptr<vx::Host> host_;
  std::unique_ptr<vx::ScopedHost> scope_;
  std::string root_;
  std::string scratch_;
  int restarts_ = 0;
  std::string savedTmp_, savedTemp_;  // Windows: the process's own TMP/TEMP
};

// The whole content of a file of the process's own file system ("" when
// it cannot be read).
std::string ReadNative(const std::string& path);

// A fresh empty folder of the process's own file system (for run logs and
// answer files), removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }  // native, no trailing separator

 private:
  std::string path_;
};

}  // namespace vxtest
