// vxtool ini: read and change INI files the way the engine does.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "commands.h"
#include "database/kqIniFile.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace vxtool {
namespace {

using namespace vx;

const char kUsage[] =
    "ini [--machine DIR] [--keep-comments] [--keep-lines] [--no-trim] [--unquote] "
    "get|set|delete|erase|sections|keys|dump FILE ...";

int Execute(const std::string& file, const Args& a, bool readOnly, const IniOptions& o) {
  TkqIniFile ini(file, readOnly, o.stripComments, o.skipLinesWithoutEquals, o.trimAroundEquals, o.unquoteValues);
  const std::string& cmd = a[0];
  std::vector<std::string> list;
  if (cmd == "get" && (a.size() == 4 || a.size() == 5)) {
    const std::string missing = "\x01";
    std::string v = ini.ReadString(a[2], a[3], a.size() == 5 ? a[4] : missing);
    if (v == missing) return 1;
    std::printf("%s\n", v.c_str());
    return 0;
  }
  if (cmd == "set" && a.size() == 5) {
    ini.WriteString(a[2], a[3], a[4]);
    return 0;
  }
  if (cmd == "delete" && a.size() == 4) {
    ini.DeleteKey(a[2], a[3]);
    return 0;
  }
  if (cmd == "erase" && a.size() == 3) {
    ini.EraseSection(a[2]);
    return 0;
  }
  if (cmd == "sections" && a.size() == 2) {
    ini.ReadSections(list);
  } else if (cmd == "keys" && a.size() == 3) {
    ini.ReadSection(a[2], list);
  } else if (cmd == "dump" && a.size() == 2) {
    ini.GetStrings(list);
  } else {
    return Usage(kUsage);
  }
  for (const std::string& l : list) std::printf("%s\n", l.c_str());
  return 0;
}

int Run(const Args& args) {
  IniOptions o;
  o.unquoteValues = false;  // as the engine reads INI files during a run
  std::string machine;
  Args a;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& s = args[i];
    if (s == "--keep-comments") o.stripComments = false;
    else if (s == "--keep-lines") o.skipLinesWithoutEquals = false;
    else if (s == "--no-trim") o.trimAroundEquals = false;
    else if (s == "--unquote") o.unquoteValues = true;
    else if (s == "--machine" && i + 1 < args.size()) machine = args[++i];
    else a.push_back(s);
  }
  if (a.size() < 2) return Usage(kUsage);
  bool readOnly = a[0] == "get" || a[0] == "sections" || a[0] == "keys" || a[0] == "dump";

  // Without a machine the file is the user's own: it is reached through
  // drive Z: of a throw-away machine that may write there.
  std::string tempRoot;
  if (machine.empty()) {
    char pattern[] = "/tmp/vxtool-ini-XXXXXX";
    if (!::mkdtemp(pattern)) return Usage("cannot create a temporary folder");
    tempRoot = pattern;
    SandboxHost::InitMachine(tempRoot, MachineKind::XP);
  }
  int result = 1;
  {
    SandboxOptions options;
    options.hostWritable = machine.empty();
    SandboxHost host(machine.empty() ? tempRoot : machine, options);
    ScopedHost scope(host);
    std::string file = a[1];
    if (machine.empty()) {
      std::error_code ec;
      std::filesystem::path p = std::filesystem::absolute(file, ec);
      file = host.WindowsPath(p.string());
    }
    try {
      result = Execute(file, a, readOnly, o);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vxtool: %s\n", e.what());
      result = 1;
    }
  }
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return result;
}

Register reg({"ini", "read and change INI files as the engine does", Run});

}  // namespace
}  // namespace vxtool
