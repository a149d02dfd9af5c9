// A fresh sandbox machine for the tests of one role of the sandbox host,
// current while it lives, and small helpers over native files.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/TestMachine.h"
#include "system/sandbox/SandboxHost.h"

namespace vxtest {

using vx::MachineKind;
using vx::SandboxHost;
using vx::ScopedHost;

inline std::string Slurp(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void Append(const std::string& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out << text;
}

// A fresh machine of `kind` with extra machine.ini lines, current while it lives.
class Machine {
 public:
  explicit Machine(const char* kind = "xp", const std::string& extraFacts = "") {
    MachineKind k;
    SandboxHost::ParseMachineKind(kind, k);
    SandboxHost::InitMachine(dir_.Path(), k);
    Append(dir_.Path() + "/machine.ini", extraFacts);
    host_ = std::make_unique<SandboxHost>(dir_.Path());
    scope_ = std::make_unique<ScopedHost>(*host_);
  }
  SandboxHost& Host() { return *host_; }
  std::string Root() { return dir_.Path(); }
  // Opens the same machine again, as a second process would.
  void Reopen() {
    scope_.reset();
    host_ = std::make_unique<SandboxHost>(dir_.Path());
    scope_ = std::make_unique<ScopedHost>(*host_);
  }

 private:
  vxtest::TempDir dir_;
  std::unique_ptr<SandboxHost> host_;
  std::unique_ptr<ScopedHost> scope_;
};

}  // namespace vxtest
