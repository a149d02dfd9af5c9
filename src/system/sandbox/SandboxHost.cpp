#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "system/PlatformHost.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

thread_local uint32_t t_lastError = 0;

bool NativeIsDir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool NativeExists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

bool NativeMakeDirs(const std::string& p) {
  if (p.empty() || NativeIsDir(p)) return true;
  size_t slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0 && !NativeMakeDirs(p.substr(0, slash))) return false;
  return ::mkdir(p.c_str(), 0755) == 0 || NativeIsDir(p);
}

bool NativeWriteFile(const std::string& p, const std::string& data) {
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

bool NativeWriteFileAtomic(const std::string& p, const std::string& data) {
  std::string tmp = p + Format(".tmp%ld", (long)::getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(::fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), p.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool NativeReadFile(const std::string& p, std::string& data) {
  std::FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  data.clear();
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  std::fclose(f);
  return true;
}

uint32_t ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EEXIST: return kErrorAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ENOTEMPTY: return kErrorAccessDenied;
    default: return 31;  // ERROR_GEN_FAILURE
  }
}

namespace {

std::map<std::string, std::string>& EmbeddedResources() {
  static std::map<std::string, std::string> resources;
  return resources;
}

bool InvalidNameChar(char c) {
  return (unsigned char)c < 32 || std::strchr("<>:\"|?*", c) != nullptr;
}

// The Windows attributes a file system cannot express in its mode bits
// (hidden, system, archive...) are kept in an extended attribute where the
// file system allows; read-only is always the owner's write bit.
const char kAttrXattr[] = "user.vx.attributes";

uint32_t NativeAttributes(const std::string& native, const struct stat& st) {
  uint32_t a;
  char buf[16] = {0};
  ssize_t n = ::getxattr(native.c_str(), kAttrXattr, buf, sizeof buf - 1);
  if (n > 0) {
    a = uint32_t(std::strtoul(buf, nullptr, 10)) & ~uint32_t(kAttrReadOnly | kAttrDirectory | kAttrNormal);
  } else {
    a = S_ISDIR(st.st_mode) ? 0u : uint32_t(kAttrArchive);  // a new file carries the archive bit
  }
  if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  return a ? a : kAttrNormal;
}

struct FileTableAccess;

class SandboxFile : public HostFile {
 public:
  SandboxFile(int fd, std::function<void()> onClose) : fd_(fd), onClose_(std::move(onClose)) {}
  ~SandboxFile() override {
    ::close(fd_);
    if (onClose_) onClose_();
  }
  bool Read(void* buffer, size_t size, size_t& done) override {
    done = 0;
    while (done < size) {
      ssize_t n = ::read(fd_, (char*)buffer + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      done += size_t(n);
    }
    return true;
  }
  bool Write(const void* buffer, size_t size, size_t& done) override {
    done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, (const char*)buffer + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += size_t(n);
    }
    return true;
  }
  bool Seek(int64_t offset, int origin) override {
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, off_t(offset), whence) >= 0;
  }
  int64_t Position() override { return ::lseek(fd_, 0, SEEK_CUR); }
  int64_t Size() override {
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : -1;
  }
  bool SetEnd() override { return ::ftruncate(fd_, ::lseek(fd_, 0, SEEK_CUR)) == 0; }

 private:
  int fd_;
  std::function<void()> onClose_;
};

}  // namespace

void RegisterEmbeddedResource(const std::string& name, const unsigned char* data, size_t size) {
  EmbeddedResources()[UpperCase(name)] = std::string((const char*)data, size);
}

void UnregisterEmbeddedResource(const std::string& name) { EmbeddedResources().erase(UpperCase(name)); }

// --- Machine creation ---------------------------------------------------------

std::string SandboxHost::DefaultRoot() {
  if (const char* m = std::getenv("VX_MACHINE"); m && *m) return m;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.vxmachine";
}

// --- Opening ------------------------------------------------------------------

SandboxHost::SandboxHost(const std::string& root, SandboxOptions options) : options_(std::move(options)) {
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (!NativeExists(root_ + "/machine.ini")) InitMachine(root_, MachineKind::XP);
  LoadFacts();
}

SandboxHost::~SandboxHost() {
  for (auto& [h, m] : mutexes_)
    if (m.second >= 0) ::close(m.second);
}

void SandboxHost::LoadFacts() {
  std::string text;
  NativeReadFile(root_ + "/machine.ini", text);
  std::string section;
  for (std::string line : SplitString(text, '\n')) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      section = UpperCase(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    facts_[section][UpperCase(Trim(line.substr(0, eq)))] = Trim(line.substr(eq + 1));
    if (section == "ENVIRONMENT") environment_.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
  // Every drive_<letter> folder is a writable drive; [Drives] adds mappings
  // of native folders (Z=/ by default, read-only unless hostWritable).
  if (DIR* d = ::opendir(root_.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n.size() == 7 && StartsWithText(n, "drive_") && std::isalpha((unsigned char)n[6]) &&
          NativeIsDir(root_ + "/" + n))
        drives_[UpCaseAscii(n[6])] = Drive{root_ + "/" + n, true};
    }
    ::closedir(d);
  }
  auto it = facts_.find("DRIVES");
  if (it != facts_.end()) {
    for (auto& [letter, target] : it->second) {
      if (letter.size() != 1 || !std::isalpha((unsigned char)letter[0])) continue;
      std::string base = target;
      while (!base.empty() && base.back() == '/') base.pop_back();
      drives_[letter[0]] = Drive{base, options_.hostWritable};
    }
  }
  currentFolder_ = Fact("Folders", "Current");
  if (currentFolder_.empty()) currentFolder_ = "C:\\";
}

std::string SandboxHost::Fact(const std::string& section, const std::string& key) const {
  auto s = facts_.find(UpperCase(section));
  if (s == facts_.end()) return "";
  auto k = s->second.find(UpperCase(key));
  return k == s->second.end() ? "" : k->second;
}

bool SandboxHost::Fail(uint32_t error) {
  t_lastError = error;
  return false;
}

// --- Paths ----------------------------------------------------------------------

// Makes a Windows path absolute and canonical: "X:\a\b" with "." and ".."
// resolved (".." at the root stays there), trailing dots and blanks of names
// dropped as Windows does. `ok` is false for names Windows refuses.
std::string SandboxHost::Normalize(const std::string& input, bool& ok) {
  ok = false;
  std::string p = input;
  for (char& c : p)
    if (c == '/') c = '\\';
  std::string cur = currentFolder_;
  std::string drive;
  std::string rest;
  if (p.size() >= 2 && std::isalpha((unsigned char)p[0]) && p[1] == ':') {
    drive = std::string(1, UpCaseAscii(p[0])) + ":";
    rest = p.substr(2);
    if (rest.empty() || rest[0] != '\\') {
      // "C:name" is relative to the current folder when it is on that drive.
      if (SameText(cur.substr(0, 2), drive)) rest = cur.substr(2) + "\\" + rest;
      else rest = "\\" + rest;
    }
  } else if (!p.empty() && p[0] == '\\') {
    if (p.size() > 1 && p[1] == '\\') return "";  // UNC paths are not emulated
    drive = cur.substr(0, 2);
    rest = p;
  } else {
    drive = cur.substr(0, 2);
    rest = cur.substr(2) + "\\" + p;
  }
  std::vector<std::string> parts;
  for (std::string part : SplitString(rest, '\\')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    if (part.empty()) continue;
    for (char c : part)
      if (InvalidNameChar(c)) return "";
    parts.push_back(part);
  }
  std::string out = drive + "\\";
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "\\" : "") + parts[i];
  ok = true;
  return out;
}

SandboxHost::Resolved SandboxHost::Resolve(const std::string& path) {
  Resolved r;
  bool ok;
  std::string norm = Normalize(path, ok);
  if (!ok) return r;
  if (norm.size() >= 260) {  // MAX_PATH of the ANSI functions
    t_lastError = kErrorFilenameExcedRange;
    return r;
  }
  auto d = drives_.find(norm[0]);
  if (d == drives_.end()) return r;
  std::string native = d->second.base;
  for (const std::string& part : SplitString(norm.substr(3), '\\')) {
    if (part.empty()) continue;
    std::string dir = native.empty() ? "/" : native;
    std::string match = part;
    if (!NativeExists(dir + "/" + part)) {
      if (DIR* dd = ::opendir(dir.c_str())) {
        bool found = false;
        while (dirent* e = ::readdir(dd)) {
          if (SameText(e->d_name, part)) {
            match = e->d_name;
            found = true;
            break;
          }
        }
        ::closedir(dd);
        if (!found && part.find('~') != std::string::npos) {
          std::string longName = ResolveShortComponent(dir, part);
          if (!longName.empty()) match = longName;
        }
      }
    }
    native += "/" + match;
  }
  if (native.empty()) native = "/";
  r.ok = true;
  r.native = native;
  r.drive = norm[0];
  return r;
}

bool SandboxHost::Writable(const Resolved& r) {
  auto d = drives_.find(r.drive);
  return d != drives_.end() && d->second.writable;
}

std::string SandboxHost::NativePath(const std::string& windowsPath) {
  Resolved r = Resolve(windowsPath);
  return r.ok ? r.native : "";
}

std::string SandboxHost::WindowsPath(const std::string& nativePath) {
  std::string p = nativePath;
  if (p.empty() || p[0] != '/') {
    char buf[4096];
    if (::getcwd(buf, sizeof buf)) p = std::string(buf) + "/" + p;
  }
  char best = 0;
  size_t bestLen = 0;
  for (auto& [letter, drive] : drives_) {
    const std::string& b = drive.base;
    bool inside = b.empty() || (p.compare(0, b.size(), b) == 0 && (p.size() == b.size() || p[b.size()] == '/'));
    if (inside && (best == 0 || b.size() > bestLen)) {
      best = letter;
      bestLen = b.size();
    }
  }
  if (!best) return "";
  std::string rest = p.substr(bestLen);
  for (char& c : rest)
    if (c == '/') c = '\\';
  if (rest.empty() || rest[0] != '\\') rest = "\\" + rest;
  bool ok;
  std::string out = Normalize(std::string(1, best) + ":" + rest, ok);
  return ok ? out : "";
}

// --- Files and folders ------------------------------------------------------------

uint32_t SandboxHost::GetAttributes(const std::string& path) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::stat(r.native.c_str(), &st) != 0) {
    t_lastError = kErrorFileNotFound;
    return kInvalidAttributes;
  }
  return NativeAttributes(r.native, st);
}

bool SandboxHost::SetAttributes(const std::string& path, uint32_t attributes) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::stat(r.native.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  if (::chmod(r.native.c_str(), mode) != 0) return Fail(ErrnoToWin32(errno));
  std::string kept = Format("%u", attributes & ~uint32_t(kAttrReadOnly | kAttrDirectory | kAttrNormal));
  ::setxattr(r.native.c_str(), kAttrXattr, kept.data(), kept.size(), 0);  // best effort
  return true;
}

bool SandboxHost::MakeFolder(const std::string& path) {
  Resolved r = Resolve(path);
  if (!r.ok) return Fail(kErrorPathNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  if (NativeExists(r.native)) return Fail(kErrorAlreadyExists);
  return ::mkdir(r.native.c_str(), 0755) == 0 || Fail(errno == ENOENT ? kErrorPathNotFound : ErrnoToWin32(errno));
}

bool SandboxHost::RemoveFolder(const std::string& path) {
  Resolved r = Resolve(path);
  if (!r.ok || !NativeIsDir(r.native)) return Fail(kErrorFileNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  return ::rmdir(r.native.c_str()) == 0 || Fail(ErrnoToWin32(errno));
}

bool SandboxHost::RemoveFile(const std::string& path) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::lstat(r.native.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (!Writable(r) || !(st.st_mode & S_IWUSR)) return Fail(kErrorAccessDenied);  // read-only file
  if (InUse(r.native)) return Fail(kErrorAccessDenied);  // a running program's file
  if (OpenByOthersWithoutDelete(r.native)) return Fail(kErrorSharingViolation);
  return ::unlink(r.native.c_str()) == 0 || Fail(ErrnoToWin32(errno));
}

bool SandboxHost::RenameFile(const std::string& from, const std::string& to) {
  Resolved a = Resolve(from), b = Resolve(to);
  if (!a.ok || !NativeExists(a.native)) return Fail(kErrorFileNotFound);
  if (!b.ok) return Fail(kErrorPathNotFound);
  if (!Writable(a) || !Writable(b)) return Fail(kErrorAccessDenied);
  // MoveFile never replaces; a rename that only changes case is allowed.
  if (NativeExists(b.native) && a.native != b.native) return Fail(kErrorAlreadyExists);
  if (OpenByOthersWithoutDelete(a.native)) return Fail(kErrorSharingViolation);
  return ::rename(a.native.c_str(), b.native.c_str()) == 0 || Fail(ErrnoToWin32(errno));
}

bool SandboxHost::ListFolder(const std::string& folder, const std::string& pattern,
                             std::vector<FindEntry>& entries, uint32_t& error) {
  entries.clear();
  Resolved r = Resolve(folder);
  DIR* d = r.ok ? ::opendir(r.native.c_str()) : nullptr;
  if (!d) {
    error = kErrorPathNotFound;
    return Fail(error);
  }
  bool isRoot = Normalize(folder, r.ok).size() == 3;
  std::vector<FindEntry> found;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (isRoot && (n == "." || n == "..")) continue;  // drive roots have neither
    if (!MatchesPattern(n, pattern)) continue;
    struct stat st;
    if (::stat((r.native + "/" + n).c_str(), &st) != 0) continue;
    FindEntry fe;
    fe.name = n;
    fe.attributes = NativeAttributes(r.native + "/" + n, st);
    fe.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
    found.push_back(fe);
  }
  ::closedir(d);
  entries = std::move(found);
  error = entries.empty() ? kErrorFileNotFound : kErrorNoMoreFiles;
  t_lastError = error;
  return !entries.empty();
}

std::unique_ptr<HostFile> SandboxHost::OpenFile(const std::string& path, FileAccess access, FileCreate create,
                                                uint32_t share) {
  Resolved r = Resolve(path);
  if (!r.ok) {
    Fail(kErrorPathNotFound);
    return nullptr;
  }
  bool writing = access != FileAccess::Read || create == FileCreate::CreateAlways || create == FileCreate::CreateNew;
  if (writing && !Writable(r)) {
    Fail(kErrorAccessDenied);
    return nullptr;
  }
  if (NativeIsDir(r.native)) {
    Fail(kErrorAccessDenied);
    return nullptr;
  }
  int flags = access == FileAccess::Read ? O_RDONLY : access == FileAccess::Write ? O_WRONLY : O_RDWR;
  switch (create) {
    case FileCreate::OpenExisting: break;
    case FileCreate::OpenAlways: flags |= O_CREAT; break;
    case FileCreate::CreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileCreate::CreateNew: flags |= O_CREAT | O_EXCL; break;
  }
  bool reads = access != FileAccess::Write, writes = access != FileAccess::Read;
  if (writing && NativeExists(r.native) && InUse(r.native)) {
    Fail(kErrorSharingViolation);
    return nullptr;
  }
  // Share modes between the handles of this machine, as Windows checks them.
  std::shared_ptr<FileTable> table = files_;
  std::unique_lock<std::mutex> lock(table->lock);
  for (const OpenRecord& other : table->open[r.native]) {
    bool otherReads = other.access != FileAccess::Write;
    bool otherWrites = other.access != FileAccess::Read;
    if ((reads && !(other.share & kShareRead)) || (writes && !(other.share & kShareWrite)) ||
        (create == FileCreate::CreateAlways && !(other.share & kShareWrite)) ||
        (otherReads && !(share & kShareRead)) || (otherWrites && !(share & kShareWrite))) {
      Fail(kErrorSharingViolation);
      return nullptr;
    }
  }
  int fd = ::open(r.native.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    Fail(errno == ENOENT && create != FileCreate::OpenExisting ? kErrorPathNotFound : ErrnoToWin32(errno));
    return nullptr;
  }
  uint64_t id = table->nextId++;
  table->open[r.native].push_back(OpenRecord{id, access, share});
  std::string native = r.native;
  t_lastError = 0;
  return std::make_unique<SandboxFile>(fd, [table, native, id] {
    std::lock_guard<std::mutex> guard(table->lock);
    auto& list = table->open[native];
    for (auto it = list.begin(); it != list.end(); ++it)
      if (it->id == id) {
        list.erase(it);
        break;
      }
    if (list.empty()) table->open.erase(native);
  });
}

std::string SandboxHost::CurrentFolder() { return currentFolder_; }

bool SandboxHost::SetCurrentFolder(const std::string& path) {
  bool ok;
  std::string norm = Normalize(path, ok);
  if (!ok) return Fail(kErrorPathNotFound);
  Resolved r = Resolve(norm);
  if (!r.ok || !NativeIsDir(r.native)) return Fail(kErrorPathNotFound);
  currentFolder_ = norm;
  return true;
}

std::string SandboxHost::FullPath(const std::string& path) {
  bool ok;
  std::string norm = Normalize(path, ok);
  if (ok && !path.empty() && IsPathDelimiter(path.back()) && norm.size() > 3) norm += '\\';
  return ok ? norm : path;
}

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

// --- Mutexes ----------------------------------------------------------------------
// A named mutex is a lock file under <root>/mutex/ held with flock, so that
// two engine processes on the same machine see each other; machine.ini may
// list names under [Mutexes] that "another program" holds.

HandleValue SandboxHost::CreateNamedMutex(const std::string& name, bool& existed) {
  std::lock_guard<std::mutex> lock(mutexLock_);
  existed = !Fact("Mutexes", name).empty();
  for (auto& [h, m] : mutexes_)
    if (SameText(m.first, name)) existed = true;
  std::string file;
  for (char c : UpperCase(name)) file += std::isalnum((unsigned char)c) ? c : '_';
  NativeMakeDirs(root_ + "/mutex");
  int fd = ::open((root_ + "/mutex/" + file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) existed = true;
  if (fd >= 0) ::flock(fd, LOCK_SH | LOCK_NB);
  HandleValue h = nextHandle_++;
  mutexes_[h] = {name, fd};
  t_lastError = existed ? uint32_t(kErrorAlreadyExists) : 0u;
  return h;
}

void SandboxHost::CloseHandle(HandleValue handle) {
  std::lock_guard<std::mutex> lock(mutexLock_);
  if (auto p = processes_.find(handle); p != processes_.end()) {
    // The process runs on; reap it now if it has already ended.
    if (!p->second.done && p->second.pid > 0) ::waitpid(p->second.pid, nullptr, WNOHANG);
    processes_.erase(p);
    return;
  }
  auto it = mutexes_.find(handle);
  if (it == mutexes_.end()) return;
  if (it->second.second >= 0) ::close(it->second.second);
  mutexes_.erase(it);
}

// --- Windows and message boxes ------------------------------------------------------

WindowHandle SandboxHost::CreateMainWindow(const std::string& className) {
  std::lock_guard<std::mutex> lock(windowLock_);
  windowThread_ = std::this_thread::get_id();
  return 1;
}
WindowHandle SandboxHost::LastActivePopup(WindowHandle window) { return window; }

int SandboxHost::ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                            uint32_t flags) {
  // Nobody can click here: show the box on standard error and take its
  // default button.
  int answer = DefaultButton(flags);
  std::fprintf(stderr, "[%s] %s -> %s\n", caption.c_str(), text.c_str(), ButtonName(answer).c_str());
  return answer;
}

}  // namespace vx

namespace vx {

// --- Messages to the main window ---------------------------------------------------
// The sandbox has no window system. A message to the main window from its
// own thread runs the handler at once; from another thread it is queued and
// the sender waits until the owning thread takes it in DispatchOneMessage,
// which is what SendMessage does across threads on Windows.

void SandboxHost::SetMainWindowHandler(WindowMessageHandler handler) {
  std::lock_guard<std::mutex> lock(windowLock_);
  windowHandler_ = std::move(handler);
}

intptr_t SandboxHost::HandleWindowMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  WindowMessageHandler handler;
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    handler = windowHandler_;
  }
  intptr_t result = 0;
  if (handler && handler(message, wParam, lParam, result)) return result;
  return 0;
}

intptr_t SandboxHost::SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  if (window != 1) return 0;
  std::unique_lock<std::mutex> lock(windowLock_);
  if (std::this_thread::get_id() == windowThread_) {
    lock.unlock();
    return HandleWindowMessage(message, wParam, lParam);
  }
  PendingCall call{message, wParam, lParam};
  windowQueue_.push_back(&call);
  windowDone_.wait(lock, [&] { return call.done; });
  return call.result;
}

int SandboxHost::DispatchOneMessage() {
  PendingCall* call = nullptr;
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    if (std::this_thread::get_id() != windowThread_ || windowQueue_.empty()) return 0;
    call = windowQueue_.front();
    windowQueue_.pop_front();
  }
  intptr_t result = HandleWindowMessage(call->message, call->wParam, call->lParam);
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    call->result = result;
    call->done = true;
  }
  windowDone_.notify_all();
  return 1;
}

uint32_t SandboxHost::CurrentThreadId() {
  return uint32_t(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0x7FFFFFFF) | 1;
}

// --- Libraries --------------------------------------------------------------------
// A plug-in "DLL" in the sandbox is a native shared object stored in the
// machine under its Windows name.

namespace {

// Whether a native file is a shared object this process can map: an ELF
// image of its own class and machine whose loadable segments all lie within
// the file. The dynamic loader maps segments without comparing them with
// the file's length, and touching a page beyond the end of a truncated copy
// would kill the process.
bool LoadableSharedObject(const std::string& native) {
  std::string image;
  if (!NativeReadFile(native, image) || image.size() < sizeof(ElfW(Ehdr))) return false;
  ElfW(Ehdr) eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
    return false;
#if defined(__x86_64__)
  if (eh.e_machine != EM_X86_64) return false;
#elif defined(__i386__)
  if (eh.e_machine != EM_386) return false;
#elif defined(__aarch64__)
  if (eh.e_machine != EM_AARCH64) return false;
#endif
  if (eh.e_type != ET_DYN || eh.e_phentsize != sizeof(ElfW(Phdr)) || eh.e_phnum == 0) return false;
  if (uint64_t(eh.e_phoff) + uint64_t(eh.e_phnum) * sizeof(ElfW(Phdr)) > image.size()) return false;
  for (size_t i = 0; i < eh.e_phnum; ++i) {
    ElfW(Phdr) ph;
    std::memcpy(&ph, image.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
    if (ph.p_type == PT_LOAD && uint64_t(ph.p_offset) + ph.p_filesz > image.size()) return false;
  }
  return true;
}

}  // namespace

ModuleHandle SandboxHost::LoadModule(const std::string& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty() || ::stat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  if (!LoadableSharedObject(native)) {
    Fail(kErrorBadExeFormat);
    return 0;
  }
  void* module = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    Fail(kErrorBadExeFormat);
    return 0;
  }
  return reinterpret_cast<ModuleHandle>(module);
}

void* SandboxHost::ModuleProc(ModuleHandle module, const std::string& name) {
  return module ? ::dlsym(reinterpret_cast<void*>(module), name.c_str()) : nullptr;
}

void SandboxHost::UnloadModule(ModuleHandle module) {
  if (module) ::dlclose(reinterpret_cast<void*>(module));
}

// The sandbox has no icons; a distinct handle per size stands for them.
HandleValue SandboxHost::LoadEngineIcon(bool small) { return small ? 0x1610 : 0x3220; }

}  // namespace vx

// --- The platform's host --------------------------------------------------------------

namespace vx {

std::unique_ptr<Host> CreatePlatformHost() { return std::make_unique<SandboxHost>(SandboxHost::DefaultRoot()); }

std::vector<std::string> ProgramParameters(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

}  // namespace vx
