#include "support/TestMachine.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

#ifdef _WIN32
#include <windows.h>

#include "system/win32/Win32Host.h"
#else
#include <unistd.h>

#include "system/sandbox/SandboxHost.h"
#endif

namespace vxtest {

namespace fs = std::filesystem;

#ifdef _WIN32
// The real system, except that a restart is only counted: a test run must
// never end the session it runs in (under Wine a restart ends every
// process of the prefix, the test program with them).
class TestWin32Host : public vx::Win32Host {
 public:
  explicit TestWin32Host(int& restarts) : restarts_(restarts) {}
  bool EnableShutdownPrivilege() override { return true; }
  bool RestartSystem(uint32_t) override {
    ++restarts_;
    return true;
  }

 private:
  int& restarts_;
};
#endif

static std::string FreshNativeDir(const char* tag) {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path();
#ifdef _WIN32
  unsigned long pid = ::GetCurrentProcessId();
#else
  unsigned long pid = (unsigned long)::getpid();
#endif
  fs::path p = base / vx::Format("vxtest-%s-%lu-%d", tag, pid, counter++);
  fs::remove_all(p);
  fs::create_directories(p);
  return p.string();
}

std::string ReadNative(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TempDir::TempDir() : path_(FreshNativeDir("tmp")) {}
TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

TestMachine::TestMachine(const std::string& kind) {
#ifdef _WIN32
  host_ = std::make_unique<TestWin32Host>(restarts_);
  scope_ = std::make_unique<vx::ScopedHost>(*host_);
  scratch_ = vx::IncludeTrailingBackslash(FreshNativeDir("scratch"));
  savedTmp_ = host_->GetEnv("TMP").value_or("");
  savedTemp_ = host_->GetEnv("TEMP").value_or("");
  std::string temp = scratch_ + "temp";
  host_->MakeFolder(temp);
  ::SetEnvironmentVariableA("TMP", temp.c_str());
  ::SetEnvironmentVariableA("TEMP", temp.c_str());
#else
  root_ = FreshNativeDir("machine");
  vx::MachineKind k = vx::MachineKind::XP;
  vx::SandboxHost::ParseMachineKind(kind, k);
  vx::SandboxHost::InitMachine(root_, k);
  host_ = std::make_unique<vx::SandboxHost>(root_);
  scope_ = std::make_unique<vx::ScopedHost>(*host_);
  scratch_ = "C:\\scratch\\";
  host_->MakeFolder("C:\\scratch");
#endif
}

TestMachine::~TestMachine() {
  std::error_code ec;
#ifdef _WIN32
  ::SetEnvironmentVariableA("TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
  ::SetEnvironmentVariableA("TEMP", savedTemp_.empty() ? nullptr : savedTemp_.c_str());
#endif
  vx::DeleteFolderTree(scratch_, true);
  scope_.reset();
  host_.reset();
  if (!root_.empty()) fs::remove_all(root_, ec);
}

bool TestMachine::IsSandbox() const {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

}  // namespace vxtest
