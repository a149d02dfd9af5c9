// SandboxHost, protected files: the machine's Windows File Protection. The
// query exists where Windows has "sfc.dll" with SfcIsFileProtected (Windows
// 2000 and later, and Windows Me); the files it protects are those listed
// under [Protected] in machine.ini.
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

constexpr uint32_t kErrorModNotFound = 126;  // what LoadLibrary reports for a missing DLL

}  // namespace

bool SandboxHost::LoadProtectedFileQuery() {
  VersionFacts v = Version();
  bool present = v.platform == kPlatformNT ? v.major >= 5 : v.major > 4 || (v.major == 4 && v.minor >= 90);
  if (!present) return Fail(kErrorModNotFound);
  protectedQuery_ = true;
  return true;
}

bool SandboxHost::IsProtectedFile(const std::string& path) {
  if (!protectedQuery_) return false;
  bool ok;
  std::string wanted = Normalize(path, ok);
  if (!ok) return false;
  auto s = facts_.find("PROTECTED");
  if (s == facts_.end()) return false;
  for (const auto& [key, listed] : s->second) {
    std::string entry = Normalize(listed, ok);
    if (ok && SameText(entry, wanted)) return true;
  }
  return false;
}

void SandboxHost::FreeProtectedFileQuery() { protectedQuery_ = false; }

}  // namespace vx
