// libFuzzer target for the uninstaller's log reader: any bytes must read as
// sections of entries, and every entry must parse by its section's record
// format or be refused -- never a crash or a hang. Checked as well: no name
// or value holds a line break, a refused path is never taken for a plain
// absolute one, and a key the safety rules accept names a root.
//
// Input: the bytes of a log file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "system/kqStrUtils.h"
#include "uninstall/UninstallLogReader.h"
#include "uninstall/Uninstaller.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool OneLine(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  vx::UninstallLogData log = vx::ParseUninstallLog(bytes);
  for (const vx::LogSection& s : log.sections) {
    Check(OneLine(s.name));
    for (const vx::LogEntry& e : s.entries) {
      Check(OneLine(e.key) && OneLine(e.value));
      std::string a, b, c;
      bool system = false;
      vx::ProgramRecord program;
      if (vx::ParseRegRecord(e.key, a, b)) Check(!a.empty() && e.key.size() == a.size() + b.size() + 3);
      vx::ParseIniRecord(e.key, a, b, c);
      if (vx::ParseProgramRecord(e.value, program)) Check(program.window >= 0 && program.window <= 3);
      vx::ParseEnvVarRecord(e.value, system, a);
      vx::ParseAssemblyRecord(e.value, a, b);
      for (const std::string& entry : vx::SplitPathList(e.value)) Check(!entry.empty());
      if (vx::IsPlainAbsolutePath(e.key))
        Check(e.key.find("..") == std::string::npos || e.key.find("\\..\\") == std::string::npos);
      if (vx::IsRemovableKeyPath(e.key)) Check(e.key.find('\\') != std::string::npos);
    }
  }
  return 0;
}
