// vxtool machine: operate a sandbox machine (the emulated Windows machine
// the native engine installs into).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "support/MachineSnapshot.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace vxtool {
namespace {

using namespace vx;

const struct {
  uint32_t type;
  const char* name;
} kTypeNames[] = {{kRegNone, "REG_NONE"},       {kRegSz, "REG_SZ"},
                  {kRegExpandSz, "REG_EXPAND_SZ"}, {kRegBinary, "REG_BINARY"},
                  {kRegDword, "REG_DWORD"},     {kRegDwordBigEndian, "REG_DWORD_BIG_ENDIAN"},
                  {kRegLink, "REG_LINK"},       {kRegMultiSz, "REG_MULTI_SZ"}};

std::string TypeName(uint32_t type) {
  for (const auto& t : kTypeNames)
    if (t.type == type) return t.name;
  return Format("REG_%u", type);
}

bool ParseType(const std::string& text, uint32_t& type) {
  for (const auto& t : kTypeNames)
    if (SameText(text, t.name)) {
      type = t.type;
      return true;
    }
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end) return false;
  type = uint32_t(v);
  return true;
}

// The text form of a value; types without one are shown as hex bytes.
std::string ValueText(uint32_t type, const std::string& data) {
  std::string text;
  if (RegDataToText(type, data, text)) {
    if (type == kRegMultiSz) {
      std::string shown;
      for (const std::string& l : TextToLines(text)) shown += (shown.empty() ? "" : "\\0") + l;
      return shown;
    }
    return text;
  }
  return "hex:" + BytesToHex(data);
}

void PrintValue(const std::string& name, uint32_t type, const std::string& data) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type).c_str(),
              ValueText(type, data).c_str());
}

int RegQuery(SandboxHost& host, const Args& a) {
  if (a.size() < 1 || a.size() > 2) return Usage("machine reg query KEY [NAME]");
  if (a.size() == 2) {
    uint32_t type = 0;
    std::string data;
    if (!RegReadRaw(a[0], a[1], type, data)) {
      std::fprintf(stderr, "vxtool: no value \"%s\" in %s\n", a[1].c_str(), a[0].c_str());
      return 1;
    }
    PrintValue(a[1], type, data);
    return 0;
  }
  RegKey root = 0, key = 0;
  std::string sub;
  SplitRegPath(a[0], root, sub);
  if (host.OpenRegKey(root, sub, false, key) != kErrorSuccess) {
    std::fprintf(stderr, "vxtool: no key %s\n", a[0].c_str());
    return 1;
  }
  std::printf("%s\n", a[0].c_str());
  std::string name;
  for (uint32_t i = 0; host.EnumRegValue(key, i, name) == kErrorSuccess; ++i) {
    uint32_t type = 0;
    std::string data;
    if (host.QueryRegValue(key, name, type, data) == kErrorSuccess) PrintValue(name, type, data);
  }
  for (uint32_t i = 0; host.EnumRegKey(key, i, name) == kErrorSuccess; ++i)
    std::printf("%s\\%s\n", ExcludeTrailingBackslash(a[0]).c_str(), name.c_str());
  host.CloseRegKey(key);
  return 0;
}

int RegSet(const Args& a) {
  if (a.size() < 4) return Usage("machine reg set KEY NAME TYPE DATA...");
  uint32_t type = 0;
  if (!ParseType(a[2], type)) return Usage("unknown value type \"" + a[2] + "\"");
  bool ok;
  if (type == kRegExpandSz) {
    ok = RegWriteExpandString(a[0], a[1], a[3]);
  } else if (type == kRegMultiSz) {
    ok = RegWriteMultiString(a[0], a[1], Args(a.begin() + 3, a.end()));
  } else if (type == kRegSz || type == kRegBinary || type == kRegDword) {
    ok = RegWriteValueStrict(a[0], a[1], type, a[3]);
  } else {
    std::string bytes;
    ok = HexToBytes(a[3], bytes);
    if (ok) {
      RegKey root = 0, key = 0;
      std::string sub;
      SplitRegPath(a[0], root, sub);
      ok = CurrentHost().CreateRegKey(root, sub, key) == kErrorSuccess &&
           CurrentHost().SetRegValue(key, a[1], type, bytes) == kErrorSuccess;
      CurrentHost().CloseRegKey(key);
    }
  }
  if (!ok) {
    std::fprintf(stderr, "vxtool: cannot set \"%s\" in %s\n", a[1].c_str(), a[0].c_str());
    return 1;
  }
  return 0;
}

int RegDelete(const Args& a) {
  if (a.size() < 1 || a.size() > 2) return Usage("machine reg delete KEY [NAME]");
  bool ok = a.size() == 2 ? RegRemoveValue(a[0], a[1]) : RegRemoveKey(a[0], true);
  if (!ok) {
    std::fprintf(stderr, "vxtool: nothing deleted\n");
    return 1;
  }
  return 0;
}

int RegExport(SandboxHost& host, const Args& a) {
  if (a.size() > 1) return Usage("machine reg export [KEY]");
  std::vector<std::string> roots = a.empty() ? std::vector<std::string>{"HKLM", "HKCU", "HKU", "HKCR"} : a;
  bool any = false;
  for (size_t i = 0; i < roots.size(); ++i) {
    std::string text;
    if (!host.ExportRegistry(roots[i], text)) continue;
    if (any) text = text.substr(text.find("\r\n\r\n") + 4);  // one header for all
    std::fwrite(text.data(), 1, text.size(), stdout);
    any = true;
  }
  if (!any) {
    std::fprintf(stderr, "vxtool: no key %s\n", a.empty() ? "" : a[0].c_str());
    return 1;
  }
  return 0;
}

int List(SandboxHost& host, const Args& a) {
  std::string path = a.empty() ? "C:\\" : a[0];
  std::string folder = path, pattern = "*";
  if (!FolderExists(path)) {
    folder = ExtractFilePath(path);
    pattern = ExtractFileName(path);
  }
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  if (!host.ListFolder(IncludeTrailingBackslash(folder), pattern, entries, error)) {
    std::fprintf(stderr, "vxtool: nothing found at %s\n", path.c_str());
    return 1;
  }
  for (const FindEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    std::string attrs;
    attrs += e.attributes & kAttrDirectory ? 'd' : '-';
    attrs += e.attributes & kAttrReadOnly ? 'r' : '-';
    attrs += e.attributes & kAttrHidden ? 'h' : '-';
    attrs += e.attributes & kAttrSystem ? 's' : '-';
    attrs += e.attributes & kAttrArchive ? 'a' : '-';
    std::printf("%s %12llu  %s\n", attrs.c_str(), (unsigned long long)e.size, e.name.c_str());
  }
  return 0;
}

// Compares the machines in two folders without opening them for the
// engine: 0 when they hold the same files, registry and state, 1 when they
// differ (the differences on standard output), 2 when one cannot be taken
// whole -- no machine there, or a file or key that cannot be read.
int Diff(const Args& a) {
  const char* usage = "machine diff DIR1 DIR2 [--ignore PREFIX]...";
  std::vector<std::string> dirs;
  vxtest::SnapshotOptions options;
  int status = WalkOptions(a, 0, usage, dirs, [&](const std::string& name, const auto& value) {
    if (name != "--ignore") return kOptionUnknown;
    const std::string* prefix = value();
    if (!prefix || prefix->empty()) return Usage(std::string("--ignore needs a prefix (") + usage + ")");
    options.ignore.push_back(*prefix);
    return kOptionTaken;
  });
  if (status != kOptionTaken) return status;
  if (dirs.size() != 2) return Usage(usage);
  vxtest::MachineSnapshot snapshots[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!vxtest::MachineSnapshot::TakeMachineFolder(dirs[i], options, snapshots[i], error)) {
      std::fprintf(stderr, "vxtool: %s\n", error.c_str());
      return 2;
    }
    // A difference hidden behind what could not be read is no answer.
    for (const std::string& problem : snapshots[i].problems)
      std::fprintf(stderr, "vxtool: %s: %s\n", dirs[i].c_str(), problem.c_str());
    if (!snapshots[i].problems.empty()) return 2;
  }
  std::string text = vxtest::Diff(snapshots[0], snapshots[1]);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return text.empty() ? 0 : 1;
}

// Runs the uninstaller of a product as "Add or remove programs" does: the
// "UninstallString" of its uninstall key (HKLM, then HKCU), with further
// switches appended; waits for it and ends with its exit code.
int Uninstall(SandboxHost& host, const Args& a) {
  if (a.empty()) return Usage("machine uninstall APPID [SWITCH]...");
  std::string command;
  for (const char* root : {"HKLM", "HKCU"}) {
    std::string key = std::string(root) + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + a[0];
    command = RegReadText(key, "UninstallString", "");
    if (!command.empty()) break;
  }
  if (command.empty() || a[0].find('\\') != std::string::npos) {
    std::fprintf(stderr, "vxtool: %s is not installed on this machine (no uninstall entry)\n", a[0].c_str());
    return 1;
  }
  for (size_t i = 1; i < a.size(); ++i) command += " " + (a[i].find(' ') != std::string::npos ? "\"" + a[i] + "\"" : a[i]);
  std::printf("uninstall: %s\n", command.c_str());
  std::fflush(stdout);
  HandleValue process = host.StartProcess(command, "", kSwShowNormal, 0);
  if (!process) {
    std::fprintf(stderr, "vxtool: cannot start the uninstaller (error %u)\n", host.LastError());
    return 1;
  }
  host.WaitForProcess(process, 0xFFFFFFFFu);
  uint32_t code = 0;
  host.ProcessExitCode(process, code);
  host.CloseHandle(process);
  std::printf("uninstall: exit code %u\n", code);
  return int(code);
}

int Run(const Args& args) {
  Args a = args;
  std::string root;
  if (a.size() >= 2 && (a[0] == "--machine" || a[0] == "-m")) {
    root = a[1];
    a.erase(a.begin(), a.begin() + 2);
  }
  if (a.empty()) return Usage("machine init|reg|reboot|ls|diff|uninstall ... (see docs/vxtool.md)");
  std::string cmd = a[0];
  a.erase(a.begin());
  if (cmd == "diff") return Diff(a);  // opens no machine of its own
  if (cmd == "init") {
    if (a.empty()) return Usage("machine init DIR [--os xp|2000|nt4|98|95|me]");
    MachineKind kind = MachineKind::XP;
    if (a.size() == 3 && a[1] == "--os") {
      if (!SandboxHost::ParseMachineKind(a[2], kind)) return Usage("unknown system \"" + a[2] + "\"");
    } else if (a.size() != 1) {
      return Usage("machine init DIR [--os xp|2000|nt4|98|95|me]");
    }
    std::FILE* probe = std::fopen((a[0] + "/machine.ini").c_str(), "rb");
    if (probe) {
      std::fclose(probe);
      std::fprintf(stderr, "vxtool: %s already holds a machine\n", a[0].c_str());
      return 1;
    }
    if (!SandboxHost::InitMachine(a[0], kind)) {
      std::fprintf(stderr, "vxtool: cannot create a machine in %s\n", a[0].c_str());
      return 1;
    }
    return 0;
  }
  if (root.empty()) root = SandboxHost::DefaultRoot();
  SandboxHost host(root);
  ScopedHost scope(host);
  if (cmd == "reg") {
    if (a.empty()) return Usage("machine reg query|set|delete|export ...");
    std::string sub = a[0];
    a.erase(a.begin());
    if (sub == "query") return RegQuery(host, a);
    if (sub == "set") return RegSet(a);
    if (sub == "delete") return RegDelete(a);
    if (sub == "export") return RegExport(host, a);
    return Usage("unknown reg command \"" + sub + "\"");
  }
  if (cmd == "reboot") {
    std::vector<std::string> report;
    bool ok = host.Reboot(report);
    for (const std::string& line : report) std::printf("%s\n", line.c_str());
    return ok ? 0 : 1;
  }
  if (cmd == "ls") return List(host, a);
  if (cmd == "uninstall") return Uninstall(host, a);
  return Usage("unknown machine command \"" + cmd + "\"");
}

Register reg({"machine", "operate a sandbox machine (init, reg, reboot, ls, diff, uninstall)", Run});

}  // namespace
}  // namespace vxtool
