// SandboxHost, continued: the registry hives, changes at restart, short
// names, disk space, profile functions, shell folders, processes, windows,
// and the restart of the emulated machine.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "system/RunLog.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

extern char** environ;

namespace vx {

namespace {

struct RootInfo {
  RegKey key;
  const char* name;
  const char* file;
};
const RootInfo kRoots[] = {{kHKeyClassesRoot, "HKEY_CLASSES_ROOT", "HKCR.reg"},
                           {kHKeyCurrentUser, "HKEY_CURRENT_USER", "HKCU.reg"},
                           {kHKeyLocalMachine, "HKEY_LOCAL_MACHINE", "HKLM.reg"},
                           {kHKeyUsers, "HKEY_USERS", "HKU.reg"}};

const RootInfo* FindRoot(RegKey key) {
  for (const RootInfo& r : kRoots)
    if (r.key == key) return &r;
  return nullptr;
}

int64_t FileStamp(const std::string& file, int64_t& size) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    size = -1;
    return -1;
  }
  size = int64_t(st.st_size);
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  for (const std::string& p : SplitString(path, '\\'))
    if (!p.empty()) parts.push_back(p);
  return parts;
}

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";
const char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const uint64_t kEpochDelta = 11644473600ull;  // seconds from 1601 to 1970

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

// A name that is its own short name: 8.3 without characters that short
// names cannot hold.
bool Is83(const std::string& n) {
  if (n == "." || n == "..") return true;
  size_t dot = n.rfind('.');
  std::string base = dot == std::string::npos ? n : n.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : n.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  for (char c : base + ext)
    if (c == '.' || std::strchr(" +,;=[]", c) || (unsigned char)c < 32) return false;
  return true;
}

void ShortParts(const std::string& n, std::string& base, std::string& ext) {
  size_t dot = n.rfind('.');
  if (dot == 0) dot = std::string::npos;
  auto clean = [](const std::string& s, size_t limit) {
    std::string r;
    for (char c : s) {
      if (c == ' ' || c == '.') continue;
      r += std::strchr("+,;=[]", c) ? '_' : UpCaseAscii(c);
      if (r.size() == limit) break;
    }
    return r;
  };
  base = clean(dot == std::string::npos ? n : n.substr(0, dot), 6);
  ext = dot == std::string::npos ? "" : clean(n.substr(dot + 1), 3);
  if (base.empty()) base = "_";
}

std::vector<std::string> NativeList(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

// The Windows rules for splitting a command line into arguments: blanks
// separate, double quotes group (and are removed).
std::vector<std::string> SplitProgramArguments(const std::string& line) {
  std::vector<std::string> args;
  std::string cur;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

}  // namespace

std::string SandboxHost::RootName(RegKey root) {
  const RootInfo* r = FindRoot(root);
  return r ? r->name : "";
}

bool SandboxHost::IsNT() const { return !SameText(Fact("Machine", "Platform"), "9X"); }

// --- In-use files and open handles -----------------------------------------------

bool SandboxHost::InUse(const std::string& native) {
  if (rebooting_) return false;
  auto s = facts_.find("INUSE");
  if (s == facts_.end()) return false;
  for (const auto& [key, path] : s->second) {
    Resolved r = Resolve(path);
    if (r.ok && r.native == native) return true;
  }
  return false;
}

bool SandboxHost::OpenByOthersWithoutDelete(const std::string& native) {
  std::lock_guard<std::mutex> lock(files_->lock);
  auto it = files_->open.find(native);
  if (it == files_->open.end()) return false;
  for (const OpenRecord& r : it->second)
    if (!(r.share & kShareDelete)) return true;
  return false;
}

// --- Short names ------------------------------------------------------------------

std::string SandboxHost::ShortName(const std::string& nativeDir, const std::string& name) {
  if (Is83(name)) return name;
  std::string base, ext;
  ShortParts(name, base, ext);
  std::vector<std::string> same;
  for (const std::string& n : NativeList(nativeDir)) {
    if (Is83(n)) continue;
    std::string b, e;
    ShortParts(n, b, e);
    if (b == base && e == ext) same.push_back(n);
  }
  std::sort(same.begin(), same.end(), [](const std::string& a, const std::string& b) {
    int c = CompareText(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  size_t index = std::find(same.begin(), same.end(), name) - same.begin();
  return base + "~" + std::to_string(index + 1) + (ext.empty() ? "" : "." + ext);
}

std::string SandboxHost::ResolveShortComponent(const std::string& nativeDir, const std::string& part) {
  for (const std::string& n : NativeList(nativeDir))
    if (!Is83(n) && SameText(ShortName(nativeDir, n), part)) return n;
  return "";
}

std::string SandboxHost::ShortPathName(const std::string& path) {
  Resolved r = Resolve(path);
  if (!r.ok || !NativeExists(r.native)) {
    Fail(kErrorFileNotFound);
    return "";
  }
  const std::string& base = drives_[r.drive].base;
  std::string rest = r.native.substr(base.size());
  std::string out = std::string(1, r.drive) + ":";
  std::string dir = base;
  for (const std::string& part : SplitString(rest, '/')) {
    if (part.empty()) continue;
    out += "\\" + ShortName(dir.empty() ? "/" : dir, part);
    dir += "/" + part;
  }
  if (out.size() == 2) out += "\\";
  if (!path.empty() && IsPathDelimiter(path.back()) && out.back() != '\\') out += "\\";
  return out;
}

// --- Moves, times and disk space ------------------------------------------------------

bool SandboxHost::MoveFileWithFlags(const std::string& from, const std::string& to, uint32_t flags) {
  if (!IsNT()) return Fail(kErrorCallNotImplemented);  // MoveFileEx is an NT call
  if (flags & kMoveFileDelayUntilReboot) {
    Resolved a = Resolve(from);
    if (!a.ok || (!to.empty() && !Resolve(to).ok)) return Fail(kErrorPathNotFound);
    RegKey key = 0;
    if (CreateRegKey(kHKeyLocalMachine, kSessionManager, key) != kErrorSuccess) return Fail(kErrorAccessDenied);
    uint32_t type = 0;
    std::string data;
    if (QueryRegValue(key, kPendingValue, type, data) != kErrorSuccess || type != kRegMultiSz) data.clear();
    if (!data.empty() && data.back() == '\0') data.pop_back();  // the list's own terminator
    data += "\\??\\" + FullPath(from) + '\0';
    if (!to.empty()) data += std::string((flags & kMoveFileReplaceExisting) ? "!" : "") + "\\??\\" + FullPath(to);
    data += '\0';
    data += '\0';
    uint32_t r = SetRegValue(key, kPendingValue, kRegMultiSz, data);
    CloseRegKey(key);
    return r == kErrorSuccess || Fail(r);
  }
  if (to.empty()) return Fail(kErrorInvalidParameter);
  Resolved a = Resolve(from), b = Resolve(to);
  if (!a.ok || !NativeExists(a.native)) return Fail(kErrorFileNotFound);
  if (!b.ok) return Fail(kErrorPathNotFound);
  if (!Writable(a) || !Writable(b)) return Fail(kErrorAccessDenied);
  if (NativeExists(b.native) && a.native != b.native) {
    if (!(flags & kMoveFileReplaceExisting)) return Fail(kErrorAlreadyExists);
    struct stat st;
    if (::stat(b.native.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR) || InUse(b.native))
      return Fail(kErrorAccessDenied);
    if (OpenByOthersWithoutDelete(b.native)) return Fail(kErrorSharingViolation);
  }
  if (OpenByOthersWithoutDelete(a.native)) return Fail(kErrorSharingViolation);
  // rename() replaces the destination in one step.
  return ::rename(a.native.c_str(), b.native.c_str()) == 0 || Fail(ErrnoToWin32(errno));
}

bool SandboxHost::GetFileWriteTime(const std::string& path, uint64_t& time) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::stat(r.native.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
  time = (uint64_t(st.st_mtim.tv_sec) + kEpochDelta) * 10000000ull + uint64_t(st.st_mtim.tv_nsec) / 100;
  return true;
}

bool SandboxHost::SetFileWriteTime(const std::string& path, uint64_t time) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::stat(r.native.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
  if (!Writable(r) || !(st.st_mode & S_IWUSR) || InUse(r.native)) return Fail(kErrorAccessDenied);
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  int64_t secs = int64_t(time / 10000000ull) - int64_t(kEpochDelta);
  ts[1].tv_sec = time_t(secs);
  ts[1].tv_nsec = long(time % 10000000ull) * 100;
  return ::utimensat(AT_FDCWD, r.native.c_str(), ts, 0) == 0 || Fail(ErrnoToWin32(errno));
}

uint64_t SandboxHost::ToLocalFileTime(uint64_t utc) {
  time_t secs = time_t(int64_t(utc / 10000000ull) - int64_t(kEpochDelta));
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  return uint64_t(int64_t(utc) + int64_t(tm.tm_gmtoff) * 10000000ll);
}

bool SandboxHost::DiskFreeBytes(const std::string& folder, uint64_t& available) {
  VersionFacts v = Version();
  // The first releases of Windows 95 have no GetDiskFreeSpaceEx.
  if (v.platform == kPlatformWin9x && v.major == 4 && v.minor == 0 && (v.build & 0xFFFF) <= 1110)
    return Fail(kErrorCallNotImplemented);
  Resolved r = Resolve(folder);
  if (!r.ok || !NativeIsDir(r.native)) return Fail(kErrorPathNotFound);
  std::string over = Fact("FreeSpace", std::string(1, r.drive));
  if (!over.empty()) {
    available = uint64_t(std::strtoull(over.c_str(), nullptr, 10)) * 1024;
    return true;
  }
  struct statvfs sv;
  if (::statvfs(r.native.c_str(), &sv) != 0) return Fail(ErrnoToWin32(errno));
  available = uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
  return true;
}

bool SandboxHost::DiskFreeClusters(const std::string& root, uint32_t& sectorsPerCluster, uint32_t& bytesPerSector,
                                   uint32_t& freeClusters) {
  Resolved r = Resolve(root);
  if (!r.ok || !NativeIsDir(r.native)) return Fail(kErrorPathNotFound);
  uint64_t bytes = 0;
  std::string over = Fact("FreeSpace", std::string(1, r.drive));
  if (!over.empty()) {
    bytes = uint64_t(std::strtoull(over.c_str(), nullptr, 10)) * 1024;
  } else {
    struct statvfs sv;
    if (::statvfs(r.native.c_str(), &sv) != 0) return Fail(ErrnoToWin32(errno));
    bytes = uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
  }
  // The 9x family reports at most 2 GB through this call.
  if (!IsNT() && bytes > 0x7FFF8000ull) bytes = 0x7FFF8000ull;
  sectorsPerCluster = 64;
  bytesPerSector = 512;
  uint64_t clusters = bytes / 32768;
  freeClusters = clusters > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(clusters);
  return true;
}

// --- Registry -----------------------------------------------------------------------

SandboxHost::Hive* SandboxHost::GetHive(RegKey root) {
  const RootInfo* info = FindRoot(root);
  if (!info) return nullptr;
  Hive& h = hives_[root];
  if (h.file.empty()) h.file = root_ + "/" + info->file;
  int64_t size = 0;
  int64_t stamp = FileStamp(h.file, size);
  // Another process (vxtool, a second engine) may have changed the file.
  if (!h.loaded || stamp != h.stamp || size != h.size) {
    h.top = RegNode();
    std::string text;
    if (NativeReadFile(h.file, text)) ParseRegedit4(text, info->name, h.top);
    h.loaded = true;
    h.stamp = stamp;
    h.size = size;
  }
  return &h;
}

bool SandboxHost::SaveHive(RegKey root) {
  auto it = hives_.find(root);
  if (it == hives_.end()) return false;
  Hive* h = &it->second;
  if (!NativeWriteFileAtomic(h->file, WriteRegedit4(h->top, FindRoot(root)->name, true))) {
    h->loaded = false;  // memory no longer matches the file: read it again
    return false;
  }
  h->stamp = FileStamp(h->file, h->size);
  return true;
}

uint32_t SandboxHost::ResolveKey(RegKey key, const std::string& subKey, RegKey& root,
                                 std::vector<std::string>& path) {
  path.clear();
  if (FindRoot(key)) {
    root = key;
  } else {
    auto it = regKeys_.find(key);
    if (it == regKeys_.end()) return kErrorInvalidHandle;
    root = it->second.root;
    path = it->second.path;
  }
  for (const std::string& p : SplitKeyPath(subKey)) path.push_back(p);
  return kErrorSuccess;
}

RegNode* SandboxHost::FindNode(RegKey root, const std::vector<std::string>& path) {
  Hive* h = GetHive(root);
  if (!h) return nullptr;
  RegNode* node = &h->top;
  for (const std::string& p : path) {
    node = node->FindKey(p);
    if (!node) return nullptr;
  }
  return node;
}

bool SandboxHost::MayWriteRoot(RegKey root) {
  if (rebooting_ || root == kHKeyCurrentUser) return true;
  // A user without administrator rights cannot change the machine's keys on NT.
  return !(IsNT() && Fact("Machine", "Administrator") == "0");
}

uint32_t SandboxHost::OpenRegKey(RegKey parent, const std::string& subKey, bool write, RegKey& key) {
  key = 0;
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(parent, subKey, root, path)) return r;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorFileNotFound;
  if (write && !MayWriteRoot(root)) return kErrorAccessDenied;
  // Keep the names as stored, so that the handle's path is canonical.
  RegNode* walk = &GetHive(root)->top;
  for (std::string& p : path) {
    walk = walk->FindKey(p);
    p = walk->name;
  }
  key = nextRegKey_ += 4;
  regKeys_[key] = OpenKey{root, path, write};
  return kErrorSuccess;
}

uint32_t SandboxHost::CreateRegKey(RegKey parent, const std::string& subKey, RegKey& key) {
  key = 0;
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(parent, subKey, root, path)) return r;
  Hive* h = GetHive(root);
  RegNode* node = &h->top;
  bool created = false;
  for (std::string& p : path) {
    if (!StorableRegName(p)) return kErrorInvalidParameter;
    RegNode* next = node->FindKey(p);
    if (!next) {
      if (!MayWriteRoot(root)) return kErrorAccessDenied;
      next = node->AddKey(p);
      created = true;
    }
    p = next->name;
    node = next;
  }
  if (created && !SaveHive(root)) return kErrorAccessDenied;
  key = nextRegKey_ += 4;
  regKeys_[key] = OpenKey{root, path, MayWriteRoot(root)};
  return kErrorSuccess;
}

void SandboxHost::CloseRegKey(RegKey key) { regKeys_.erase(key); }

uint32_t SandboxHost::QueryRegValue(RegKey key, const std::string& name, uint32_t& type, std::string& data) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  RegValueEntry* v = node->FindValue(name);
  if (!v) return kErrorFileNotFound;
  type = v->type;
  data = v->data;
  return kErrorSuccess;
}

uint32_t SandboxHost::SetRegValue(RegKey key, const std::string& name, uint32_t type, const std::string& data) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  auto it = regKeys_.find(key);
  if ((it != regKeys_.end() && !it->second.write) || !MayWriteRoot(root)) return kErrorAccessDenied;
  if (!StorableRegName(name)) return kErrorInvalidParameter;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  node->SetValue(name, type, data);
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t SandboxHost::DeleteRegValue(RegKey key, const std::string& name) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  auto it = regKeys_.find(key);
  if ((it != regKeys_.end() && !it->second.write) || !MayWriteRoot(root)) return kErrorAccessDenied;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  if (!node->RemoveValue(name)) return kErrorFileNotFound;
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t SandboxHost::DeleteRegKey(RegKey key, const std::string& subKey) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, subKey, root, path)) return r;
  if (path.empty() || !MayWriteRoot(root)) return kErrorAccessDenied;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorFileNotFound;
  if (IsNT() && !node->keys.empty()) return kErrorAccessDenied;  // NT deletes leaf keys only
  std::string last = path.back();
  path.pop_back();
  FindNode(root, path)->RemoveKey(last);
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

// The node of an open key, for the enumerations; `error` says why there is none.
RegNode* SandboxHost::KeyNode(RegKey key, uint32_t& error) {
  RegKey root = 0;
  std::vector<std::string> path;
  if ((error = ResolveKey(key, "", root, path)) != kErrorSuccess) return nullptr;
  RegNode* node = FindNode(root, path);
  if (!node) error = kErrorKeyDeleted;
  return node;
}

uint32_t SandboxHost::EnumRegKey(RegKey key, uint32_t index, std::string& name) {
  uint32_t error = kErrorSuccess;
  RegNode* node = KeyNode(key, error);
  if (!node) return error;
  if (index >= node->keys.size()) return kErrorNoMoreItems;
  name = node->keys[index]->name;
  return kErrorSuccess;
}

uint32_t SandboxHost::EnumRegValue(RegKey key, uint32_t index, std::string& name) {
  uint32_t error = kErrorSuccess;
  RegNode* node = KeyNode(key, error);
  if (!node) return error;
  if (index >= node->values.size()) return kErrorNoMoreItems;
  name = node->values[index].name;
  return kErrorSuccess;
}

bool SandboxHost::ExportRegistry(const std::string& keyPath, std::string& text) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(keyPath, root, sub);
  std::vector<std::string> path = SplitKeyPath(sub);
  RegNode* node = FindNode(root, path);
  if (!node) return false;
  std::string full = RootName(root);
  RegNode* walk = &GetHive(root)->top;
  for (const std::string& p : path) {
    walk = walk->FindKey(p);
    full += "\\" + walk->name;
  }
  text = WriteRegedit4(*node, full, true);
  return true;
}

// --- Profile functions ------------------------------------------------------------------
// The platform's own INI reading: names and values trimmed, a value's
// surrounding quotes removed, names compared without regard to case.

namespace {

struct ProfileLine {
  std::string text;
  bool header = false;
  std::string name;  // section name or key
  std::string value;
};

std::vector<ProfileLine> ParseProfile(const std::string& content) {
  std::vector<ProfileLine> lines;
  for (std::string raw : SplitString(content, '\n')) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    ProfileLine l;
    l.text = raw;
    std::string t = Trim(raw);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      l.header = true;
      l.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else if (size_t eq = t.find('='); eq != std::string::npos && t[0] != ';') {
      l.name = Trim(t.substr(0, eq));
      l.value = Trim(t.substr(eq + 1));
      if (l.value.size() >= 2 && (l.value[0] == '"' || l.value[0] == '\'') && l.value.back() == l.value[0])
        l.value = l.value.substr(1, l.value.size() - 2);
    }
    lines.push_back(l);
  }
  if (!lines.empty() && lines.back().text.empty()) lines.pop_back();
  return lines;
}

}  // namespace

std::string SandboxHost::ProfileRead(const std::string& file, const std::optional<std::string>& section,
                                     const std::optional<std::string>& key, const std::string& def,
                                     uint32_t size) {
  if (size == 0) return "";
  std::string path = ExtractFilePath(file).empty() ? WindowsFolder() + "\\" + file : file;
  std::string content;
  Resolved r = Resolve(path);
  if (r.ok) NativeReadFile(r.native, content);
  std::vector<ProfileLine> lines = ParseProfile(content);
  auto limitList = [&](const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
      if (out.size() + n.size() + 2 > size) break;
      out += n + '\0';
    }
    return out;
  };
  std::vector<std::string> names;
  if (!section) {
    for (const ProfileLine& l : lines)
      if (l.header) names.push_back(l.name);
    return limitList(names);
  }
  bool inSection = false;
  for (const ProfileLine& l : lines) {
    if (l.header) {
      inSection = SameText(l.name, *section);
      continue;
    }
    if (!inSection || l.name.empty()) continue;
    if (!key) {
      names.push_back(l.name);
    } else if (SameText(l.name, *key)) {
      return l.value.substr(0, size - 1);
    }
  }
  if (!key) return limitList(names);
  return TrimRight(def).substr(0, size - 1);
}

bool SandboxHost::ProfileWrite(const std::string& file, const std::string& section,
                               const std::optional<std::string>& key, const std::optional<std::string>& value) {
  std::string path = ExtractFilePath(file).empty() ? WindowsFolder() + "\\" + file : file;
  Resolved r = Resolve(path);
  if (!r.ok || !Writable(r)) return Fail(kErrorAccessDenied);
  if (InUse(r.native)) return Fail(kErrorSharingViolation);
  std::string content;
  NativeReadFile(r.native, content);
  std::vector<ProfileLine> lines = ParseProfile(content);
  int sectionAt = -1, end = int(lines.size()), keyAt = -1;
  for (int i = 0; i < int(lines.size()); ++i) {
    if (lines[size_t(i)].header) {
      if (sectionAt >= 0) {
        end = i;
        break;
      }
      if (SameText(lines[size_t(i)].name, section)) sectionAt = i;
    } else if (sectionAt >= 0 && key && keyAt < 0 && SameText(lines[size_t(i)].name, *key)) {
      keyAt = i;
    }
  }
  auto at = [&](int i) { return lines.begin() + i; };
  if (!key) {
    if (sectionAt >= 0) lines.erase(at(sectionAt), at(end));
  } else if (!value) {
    if (keyAt >= 0) lines.erase(at(keyAt));
  } else {
    ProfileLine l;
    l.text = *key + "=" + *value;
    if (keyAt >= 0) {
      lines[size_t(keyAt)] = l;
    } else if (sectionAt >= 0) {
      int insert = end;
      while (insert > sectionAt + 1 && Trim(lines[size_t(insert - 1)].text).empty()) --insert;
      lines.insert(at(insert), l);
    } else {
      ProfileLine h;
      h.text = "[" + section + "]";
      lines.push_back(h);
      lines.push_back(l);
    }
  }
  std::string out;
  for (const ProfileLine& l : lines) out += l.text + "\r\n";
  if (!NativeMakeDirs(r.native.substr(0, r.native.rfind('/')))) return Fail(kErrorPathNotFound);
  return NativeWriteFileAtomic(r.native, out) || Fail(kErrorAccessDenied);
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

// --- Processes -----------------------------------------------------------------------------
// A program of the machine runs as the host's program for its mapped path:
// a [Programs] entry of machine.ini (a shell command), else the native file
// itself when it is executable. "command.com /c" and "cmd /c" with ren and
// del are carried out by the machine itself.

HandleValue SandboxHost::FinishedProcess(uint32_t code) {
  std::lock_guard<std::mutex> lock(mutexLock_);
  HandleValue h = nextHandle_++;
  Process p;
  p.done = true;
  p.exitCode = code;
  processes_[h] = p;
  return h;
}

bool SandboxHost::RunBuiltin(const std::vector<std::string>& args, uint32_t& code) {
  std::string prog = LowerCase(ExtractFileName(args[0]));
  if (prog != "command.com" && prog != "command" && prog != "cmd.exe" && prog != "cmd") return false;
  if (args.size() < 3 || !SameText(args[1], "/c")) return false;
  std::string verb = LowerCase(args[2]);
  if (verb == "exit") {
    code = args.size() > 3 ? uint32_t(std::strtoul(args[3].c_str(), nullptr, 10)) : 0;
    return true;
  }
  if ((verb == "ren" || verb == "rename") && args.size() == 5) {
    std::string target = ExtractFilePath(args[3]) + args[4];
    code = RenameFile(args[3], target) ? 0 : 1;
    return true;
  }
  if ((verb == "del" || verb == "erase") && args.size() == 4) {
    code = RemoveFile(args[3]) ? 0 : 1;
    return true;
  }
  return false;
}

std::string SandboxHost::ProgramCommand(const std::string& key) {
  auto s = facts_.find("PROGRAMS");
  if (s == facts_.end()) return "";
  auto it = s->second.find(UpperCase(key));
  return it == s->second.end() ? "" : it->second;
}

namespace {

// Runs `argv` (argv[0] the program) in `cwd` with the machine named in the
// environment. Returns the pid or -1.
int Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& machineRoot) {
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "VX_MACHINE=", 11) != 0) envStore.emplace_back(*e);
  envStore.push_back("VX_MACHINE=" + machineRoot);
  std::vector<char*> envp, args;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore = argv;
  for (auto& s : argStore) args.push_back(s.data());
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid < 0 ? -1 : int(pid);
}

}  // namespace

HandleValue SandboxHost::StartProcess(const std::string& commandLine, const std::string& folder, int showCmd,
                                      uint32_t creationFlags) {
  std::vector<std::string> args = SplitProgramArguments(commandLine);
  if (args.empty()) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  RunLog("process", "start " + LogQuote(commandLine));
  uint32_t code = 0;
  if (RunBuiltin(args, code)) return FinishedProcess(code);
  // Find the program as CreateProcess does: a bare name in the current,
  // Windows and system folders, ".exe" added when it has no extension.
  std::string prog = args[0];
  std::vector<std::string> candidates;
  std::string name = ExtractFileExt(prog).empty() ? prog + ".exe" : prog;
  if (ExtractFilePath(prog).empty()) {
    for (const std::string& dir : {folder.empty() ? currentFolder_ : folder, WindowsFolder(), SystemFolder()})
      candidates.push_back(IncludeTrailingBackslash(dir) + name);
  } else {
    candidates.push_back(FullPath(prog));
    if (name != prog) candidates.push_back(FullPath(name));
  }
  std::string winPath;
  for (const std::string& c : candidates) {
    Resolved r = Resolve(c);
    struct stat st;
    if (r.ok && ::stat(r.native.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      winPath = c;
      break;
    }
  }
  std::string command = ProgramCommand(winPath.empty() ? ExtractFileName(name) : winPath);
  if (command.empty()) command = ProgramCommand(ExtractFileName(name));
  if (winPath.empty() && command.empty()) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  std::string cwd = NativePath(folder.empty() ? currentFolder_ : folder);
  if (cwd.empty() || !NativeIsDir(cwd)) {
    Fail(kErrorPathNotFound);
    return 0;
  }
  std::vector<std::string> argv;
  if (!command.empty()) {
    argv = {"/bin/sh", "-c", command, "sh"};
  } else {
    std::string native = NativePath(winPath);
    if (::access(native.c_str(), X_OK) != 0) {
      Fail(kErrorBadExeFormat);
      return 0;
    }
    argv = {native};
  }
  argv.insert(argv.end(), args.begin() + 1, args.end());
  int pid = Spawn(argv, cwd, root_);
  if (pid < 0) {
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutexLock_);
  HandleValue h = nextHandle_++;
  Process p;
  p.pid = pid;
  processes_[h] = p;
  return h;
}

HandleValue SandboxHost::ShellOpen(WindowHandle owner, const std::string& file, const std::string& params,
                                   const std::string& folder, int showCmd) {
  std::string path = RemoveQuotes(file);
  Resolved r = Resolve(path);
  if (!r.ok || !NativeExists(r.native)) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  std::string ext = LowerCase(ExtractFileExt(path));
  if (ext == ".exe" || ext == ".com" || ext == ".bat" || ext == ".pif")
    return StartProcess("\"" + path + "\" " + params, folder, showCmd, 0);
  std::string command = ProgramCommand(ext);
  if (command.empty()) {
    Fail(kErrorNoAssociation);
    return 0;
  }
  std::vector<std::string> argv = {"/bin/sh", "-c", command, "sh", r.native};
  for (const std::string& a : SplitCommandLine(params)) argv.push_back(a);
  std::string cwd = NativePath(folder.empty() ? currentFolder_ : folder);
  int pid = Spawn(argv, cwd, root_);
  if (pid < 0) return 0;
  std::lock_guard<std::mutex> lock(mutexLock_);
  HandleValue h = nextHandle_++;
  Process p;
  p.pid = pid;
  processes_[h] = p;
  return h;
}

uint32_t SandboxHost::WaitForProcess(HandleValue process, uint32_t milliseconds) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutexLock_);
      auto it = processes_.find(process);
      if (it == processes_.end()) return kWaitFailed;
      Process& p = it->second;
      if (p.done) return kWaitObject0;
      int status = 0;
      pid_t r = ::waitpid(p.pid, &status, WNOHANG);
      if (r == p.pid) {
        p.done = true;
        p.exitCode = WIFEXITED(status) ? uint32_t(WEXITSTATUS(status)) : 0xC000013Au;
        return kWaitObject0;
      }
      if (r < 0) return kWaitFailed;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (milliseconds != 0xFFFFFFFFu && elapsed.count() >= milliseconds) return kWaitTimeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SandboxHost::ProcessExitCode(HandleValue process, uint32_t& code) {
  WaitForProcess(process, 0);
  std::lock_guard<std::mutex> lock(mutexLock_);
  auto it = processes_.find(process);
  if (it == processes_.end()) return Fail(kErrorInvalidHandle);
  code = it->second.done ? it->second.exitCode : 259;  // STILL_ACTIVE
  return true;
}

// --- Windows ----------------------------------------------------------------------------------
// The machine's other programs show the windows listed under [Windows].

std::vector<WindowHandle> SandboxHost::TopLevelWindows() {
  std::vector<WindowHandle> list;
  auto s = facts_.find("WINDOWS");
  if (s != facts_.end())
    for (size_t i = 0; i < s->second.size(); ++i) list.push_back(WindowHandle(0x10000 + i));
  for (WindowHandle engine : EngineTopLevelWindows()) list.push_back(engine);
  return list;
}

std::string SandboxHost::WindowTitle(WindowHandle window) {
  bool engine = false;
  std::string title = EngineWindowTitle(window, engine);
  if (engine) return title;
  auto s = facts_.find("WINDOWS");
  if (s == facts_.end() || window < 0x10000) return "";
  size_t index = window - 0x10000;
  if (index >= s->second.size()) return "";
  auto it = s->second.begin();
  std::advance(it, index);
  return it->second;
}


bool SandboxHost::WorkArea(Rect& area) {
  auto num = [&](const char* key, int def) {
    std::string v = Fact("WorkArea", key);
    return v.empty() ? def : int(std::strtol(v.c_str(), nullptr, 10));
  };
  area.left = num("Left", 0);
  area.top = num("Top", 0);
  area.right = num("Right", 1024);
  area.bottom = num("Bottom", 738);
  return true;
}

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
            uint32_t attrs = GetAttributes(from);
            done = attrs != kInvalidAttributes && (attrs & kAttrDirectory) ? RemoveFolder(from) : RemoveFile(from);
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
          done = RemoveFile(l.value);
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
  ::unlink((root_ + "/restart.pending").c_str());
  rebooting_ = false;
  return ok;
}

}  // namespace vx
