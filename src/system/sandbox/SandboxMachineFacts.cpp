// SandboxHost, machine facts: the program, the environment, the folders,
// time, version, locales (machine.ini: [Machine] InstalledLocales, hexadecimal
// locale ids separated by commas, every locale of the table when missing),
// COM classes ([ComObjects]: {CLSID}=1 for each class the machine can
// create in process), rights, the embedded resources and the restart of the
// emulated machine.
#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "system/LocaleTable.h"
#include "system/RunLog.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

std::map<std::string, std::string>& EmbeddedResources() {
  static std::map<std::string, std::string> resources;
  return resources;
}

struct ShellName {
  int csidl;
  const char* name;
};
const ShellName kShellNames[] = {
    {kCsidlDesktop, "Desktop"},
    {kCsidlPrograms, "Programs"},
    {kCsidlPersonal, "Personal"},
    {kCsidlFavorites, "Favorites"},
    {kCsidlStartup, "Startup"},
    {kCsidlRecent, "Recent"},
    {kCsidlSendTo, "SendTo"},
    {kCsidlStartMenu, "StartMenu"},
    {kCsidlDesktopDirectory, "DesktopDirectory"},
    {kCsidlNetHood, "NetHood"},
    {kCsidlFonts, "Fonts"},
    {kCsidlTemplates, "Templates"},
    {kCsidlCommonStartMenu, "CommonStartMenu"},
    {kCsidlCommonPrograms, "CommonPrograms"},
    {kCsidlCommonStartup, "CommonStartup"},
    {kCsidlCommonDesktopDirectory, "CommonDesktopDirectory"},
    {kCsidlAppData, "AppData"},
    {kCsidlLocalAppData, "LocalAppData"},
    {kCsidlCommonAppData, "CommonAppData"},
    {kCsidlWindows, "Windows"},
    {kCsidlSystem, "System"},
    {kCsidlProgramFiles, "ProgramFiles"},
    {kCsidlProgramFilesCommon, "ProgramFilesCommon"},
    {kCsidlCommonDocuments, "CommonDocuments"},
};

const char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

}  // namespace

void RegisterEmbeddedResource(const std::string& name, const unsigned char* data, size_t size) {
  EmbeddedResources()[UpperCase(name)] = std::string((const char*)data, size);
}

void UnregisterEmbeddedResource(const std::string& name) { EmbeddedResources().erase(UpperCase(name)); }

// --- Process and machine facts ------------------------------------------------------

std::string SandboxHost::ExecutablePath() {
  std::string native = options_.executable;
  if (native.empty()) {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) native.assign(buf, size_t(n));
  }
  return WindowsPath(native);
}

std::optional<std::string> SandboxHost::GetEnv(const std::string& name) {
  auto s = facts_.find("ENVIRONMENT");
  if (s == facts_.end()) return std::nullopt;
  auto k = s->second.find(UpperCase(name));
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

std::string SandboxHost::PlatformTempPath() {
  // GetTempPath: TMP, then TEMP, then USERPROFILE, then the Windows folder.
  for (const char* name : {"TMP", "TEMP", "USERPROFILE"}) {
    auto v = GetEnv(name);
    if (v && !v->empty()) return IncludeTrailingBackslash(*v);
  }
  return IncludeTrailingBackslash(WindowsFolder());
}

std::string SandboxHost::WindowsFolder() {
  std::string w = Fact("Folders", "Windows");
  return w.empty() ? "C:\\WINDOWS" : ExcludeTrailingBackslash(w);
}

std::string SandboxHost::SystemFolder() {
  std::string s = Fact("Folders", "System");
  return s.empty() ? WindowsFolder() + "\\system32" : ExcludeTrailingBackslash(s);
}

SystemTime SandboxHost::LocalTime() {
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  SystemTime t;
  t.year = uint16_t(tm.tm_year + 1900);
  t.month = uint16_t(tm.tm_mon + 1);
  t.dayOfWeek = uint16_t(tm.tm_wday);
  t.day = uint16_t(tm.tm_mday);
  t.hour = uint16_t(tm.tm_hour);
  t.minute = uint16_t(tm.tm_min);
  t.second = uint16_t(tm.tm_sec);
  t.milliseconds = uint16_t(ms);
  return t;
}

uint32_t SandboxHost::TickCount() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

void SandboxHost::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

VersionFacts SandboxHost::Version() {
  VersionFacts v;
  v.platform = SameText(Fact("Machine", "Platform"), "9X") ? kPlatformWin9x : kPlatformNT;
  auto num = [&](const char* key, uint32_t def) {
    std::string s = Fact("Machine", key);
    return s.empty() ? def : uint32_t(std::strtoul(s.c_str(), nullptr, 0));
  };
  v.major = num("Major", 5);
  v.minor = num("Minor", 1);
  v.build = num("Build", 2600);
  v.servicePack = Fact("Machine", "ServicePack");
  return v;
}

uint32_t SandboxHost::LastError() { return t_lastError; }

bool SandboxHost::LoadDataResource(const std::string& name, std::string& bytes) {
  auto it = EmbeddedResources().find(UpperCase(name));
  if (it == EmbeddedResources().end()) return false;
  bytes = it->second;
  return true;
}

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

// --- Facts --------------------------------------------------------------------------------

std::vector<std::string> SandboxHost::EnvironmentStrings() {
  std::vector<std::pair<std::string, std::string>> env = environment_;
  std::stable_sort(env.begin(), env.end(), [](const auto& a, const auto& b) { return CompareText(a.first, b.first) < 0; });
  std::vector<std::string> list;
  for (const auto& [name, value] : env) list.push_back(name + "=" + value);
  return list;
}

bool SandboxHost::ExpandEnvStrings(const std::string& text, std::string& expanded) {
  expanded.clear();
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find('%', i);
    if (open == std::string::npos) break;
    size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    expanded += text.substr(i, open - i);
    std::string name = text.substr(open + 1, close - open - 1);
    auto v = name.empty() ? std::nullopt : GetEnv(name);
    if (v) {
      expanded += *v;
      i = close + 1;
    } else {
      expanded += text.substr(open, close - open);  // kept; the closing % may open the next name
      i = close;
    }
  }
  expanded += text.substr(std::min(i, text.size()));
  return true;
}

uint16_t SandboxHost::UserLangId() {
  std::string s = Fact("Machine", "UserLocale");
  return s.empty() ? 0x0409 : uint16_t(std::strtoul(s.c_str(), nullptr, 16));
}

uint16_t SandboxHost::SystemLangId() {
  std::string s = Fact("Machine", "SystemLocale");
  return s.empty() ? 0x0409 : uint16_t(std::strtoul(s.c_str(), nullptr, 16));
}

std::string SandboxHost::ShellFolderPath(int csidl) {
  for (const ShellName& n : kShellNames)
    if (n.csidl == csidl) {
      std::string v = Fact("ShellFolders", n.name);
      if (v.empty() && csidl == kCsidlWindows) v = WindowsFolder();
      if (v.empty() && csidl == kCsidlSystem) v = SystemFolder();
      return v;
    }
  return "";
}

AdminCheck SandboxHost::CheckAdminGroup() {
  return Fact("Machine", "Administrator") == "0" ? AdminCheck::NotMember : AdminCheck::Member;
}

bool SandboxHost::EnableShutdownPrivilege() { return true; }

bool SandboxHost::RestartSystem(uint32_t flags) {
  // The machine restarts when `vxtool machine reboot` (or Reboot) runs.
  RunLog("restart", Format("flags=0x%X", flags));
  return NativeWriteFile(root_ + "/restart.pending", Format("%u\n", flags)) || Fail(kErrorAccessDenied);
}

bool SandboxHost::RestartRequested() { return NativeExists(root_ + "/restart.pending"); }

// --- Restart --------------------------------------------------------------------------------------

bool SandboxHost::Reboot(std::vector<std::string>& report) {
  rebooting_ = true;
  bool ok = true;
  auto strip = [](std::string s) {
    if (StartsWithText(s, "\\??\\")) s = s.substr(4);
    return s;
  };
  if (IsNT()) {
    RegKey key = 0;
    if (OpenRegKey(kHKeyLocalMachine, kSessionManager, true, key) == kErrorSuccess) {
      uint32_t type = 0;
      std::string data;
      if (QueryRegValue(key, kPendingValue, type, data) == kErrorSuccess) {
        if (!data.empty() && data.back() == '\0') data.pop_back();
        std::vector<std::string> items;
        size_t start = 0;
        while (start < data.size()) {
          size_t z = data.find('\0', start);
          if (z == std::string::npos) z = data.size();
          items.push_back(data.substr(start, z - start));
          start = z + 1;
        }
        for (size_t i = 0; i + 1 <= items.size(); i += 2) {
          std::string from = strip(items[i]);
          std::string to = i + 1 < items.size() ? items[i + 1] : "";
          bool done;
          if (to.empty()) {
            // A file that is gone already needs no deleting.
            uint32_t attrs = GetAttributes(from);
            done = attrs == kInvalidAttributes || ((attrs & kAttrDirectory) ? RemoveFolder(from) : RemoveFile(from));
            report.push_back(Format("delete %s: %s", from.c_str(), done ? "done" : "failed"));
          } else {
            bool replace = to[0] == '!';
            to = strip(replace ? to.substr(1) : to);
            done = MoveFileWithFlags(from, to, replace ? uint32_t(kMoveFileReplaceExisting) : 0u);
            report.push_back(Format("move %s -> %s: %s", from.c_str(), to.c_str(), done ? "done" : "failed"));
          }
          ok = ok && done;
        }
        DeleteRegValue(key, kPendingValue);
      }
      CloseRegKey(key);
    }
  } else {
    std::string wininit = WindowsFolder() + "\\wininit.ini";
    Resolved r = Resolve(wininit);
    std::string content;
    if (r.ok && NativeReadFile(r.native, content)) {
      bool inRename = false;
      for (const ProfileLine& l : ParseProfile(content)) {
        if (l.header) {
          inRename = SameText(l.name, "Rename");
          continue;
        }
        if (!inRename || l.name.empty()) continue;
        bool done;
        if (SameText(l.name, "NUL")) {
          done = GetAttributes(l.value) == kInvalidAttributes || RemoveFile(l.value);
          report.push_back(Format("delete %s: %s", l.value.c_str(), done ? "done" : "failed"));
        } else {
          if (GetAttributes(l.name) != kInvalidAttributes) RemoveFile(l.name);
          done = RenameFile(l.value, l.name);
          report.push_back(Format("move %s -> %s: %s", l.value.c_str(), l.name.c_str(), done ? "done" : "failed"));
        }
        ok = ok && done;
      }
      std::string bak = WindowsFolder() + "\\wininit.bak";
      RemoveFile(bak);
      RenameFile(wininit, bak);
    }
  }
  // The restart is done; what the programs run at the logon ask for is a
  // restart of its own.
  ::unlink((root_ + "/restart.pending").c_str());
  // RunOnce: each entry is removed, then run (a name starting with "!" is
  // removed only after its program ended).
  for (RegKey root : {kHKeyLocalMachine, kHKeyCurrentUser}) {
    RegKey key = 0;
    if (OpenRegKey(root, kRunOnce, true, key) != kErrorSuccess) continue;
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; EnumRegValue(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
    for (const std::string& n : names) {
      uint32_t type = 0;
      std::string data;
      if (QueryRegValue(key, n, type, data) != kErrorSuccess) continue;
      std::string command = data.substr(0, data.find('\0'));
      bool late = !n.empty() && n[0] == '!';
      if (!late) DeleteRegValue(key, n);
      HandleValue h = StartProcess(command, "", kSwShowNormal, 0);
      uint32_t code = 0;
      if (h) {
        WaitForProcess(h, 0xFFFFFFFFu);
        ProcessExitCode(h, code);
        CloseHandle(h);
        report.push_back(Format("run %s: exit code %u", command.c_str(), code));
      } else {
        report.push_back(Format("run %s: cannot start (error %u)", command.c_str(), LastError()));
        ok = false;
      }
      if (late) DeleteRegValue(key, n);
    }
    CloseRegKey(key);
  }
  rebooting_ = false;
  return ok;
}

}  // namespace vx
