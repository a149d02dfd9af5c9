// SandboxHost: the error mode, text comparison, locales, COM classes and
// the mutex probe of the emulated machine.
//
// machine.ini: [Machine] InstalledLocales (hexadecimal locale ids separated
// by commas; every locale of the table when missing) and [ComObjects]
// ({CLSID}=1 for each COM class the machine can create in process).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "system/LocaleTable.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace vx {

uint32_t SandboxHost::SetProcessErrorMode(uint32_t mode) { return errorMode_.exchange(mode); }

int SandboxHost::CompareLocaleText(const std::string& a, const std::string& b) {
  // Without the platform's sort tables: letters without regard to case,
  // everything else by its byte value.
  int r = CompareText(a, b);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

std::vector<uint32_t> SandboxHost::InstalledLocales() {
  std::vector<uint32_t> list;
  std::string installed = Fact("Machine", "InstalledLocales");
  if (!installed.empty()) {
    for (const std::string& part : SplitString(installed, ',')) {
      std::string id = Trim(part);
      if (!id.empty()) list.push_back(uint32_t(std::strtoul(id.c_str(), nullptr, 16)));
    }
    return list;
  }
  size_t count = 0;
  const LocaleFacts* table = LocaleTable(count);
  for (size_t i = 0; i < count; ++i) list.push_back(table[i].lcid);
  return list;
}

std::string SandboxHost::LocaleText(uint32_t lcid, uint32_t type) {
  const LocaleFacts* facts = FindLocaleFacts(lcid);
  if (!facts) return "";
  switch (type) {
    case kLocaleSAbbrevLangName:
      return facts->abbreviation;
    case kLocaleSLanguage:
      return facts->name;
    case kLocaleIDefaultAnsiCodePage:
      return std::to_string(facts->ansiCodePage);
    default:
      return "";
  }
}

bool SandboxHost::CodePageCharset(uint32_t codePage, uint32_t& charset) { return CodePageToCharset(codePage, charset); }

bool SandboxHost::ComObjectAvailable(const std::string& clsid, const std::string& iid) {
  std::string v = Fact("ComObjects", clsid);
  return !v.empty() && v != "0";
}

bool SandboxHost::NamedMutexExists(const std::string& name) {
  if (!Fact("Mutexes", name).empty()) return true;
  {
    std::lock_guard<std::mutex> lock(mutexLock_);
    for (auto& [h, m] : mutexes_)
      if (SameText(m.first, name)) return true;
  }
  // A mutex of another engine process on this machine: its lock file is
  // held (shared) for as long as that process keeps the mutex.
  std::string file;
  for (char c : UpperCase(name)) file += std::isalnum((unsigned char)c) ? c : '_';
  int fd = ::open((root_ + "/mutex/" + file).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace vx
