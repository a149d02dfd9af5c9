// SandboxHost: one Windows machine emulated inside a folder. This file
// opens a machine, reads its facts, resolves its Windows paths against the
// folder, and makes the platform's host; each role of the host lives in a
// file of its own (SandboxFiles, SandboxRegistry, SandboxProfiles,
// SandboxMachineFacts, SandboxProcesses, SandboxWindows), the fresh machine
// in FreshMachine.cpp.
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
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    default: return 31;  // ERROR_GEN_FAILURE
  }
}

namespace {

bool InvalidNameChar(char c) {
  return (unsigned char)c < 32 || std::strchr("<>:\"|?*", c) != nullptr;
}

}  // namespace

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
  // The programs the machine starts run in folders of their own and find
  // the machine through its path: a relative one would lose it.
  if (!root_.empty() && root_[0] != '/') {
    if (char* full = ::realpath(root_.c_str(), nullptr)) {
      root_ = full;
      std::free(full);
    }
  }
  LoadFacts();
}

SandboxHost::~SandboxHost() {
  StopWorkers();
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
  // [FreeSpace]: the room each listed drive has for what this machine
  // writes from now on.
  auto space = facts_.find("FREESPACE");
  if (space != facts_.end()) {
    for (auto& [letter, kib] : space->second) {
      if (letter.size() != 1 || !std::isalpha((unsigned char)letter[0]) || kib.empty()) continue;
      space_[letter[0]] = std::make_shared<DriveSpace>(uint64_t(std::strtoull(kib.c_str(), nullptr, 10)) * 1024);
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
  r.ok = true;
  r.drive = norm[0];
  const std::string& base = d->second.base;
  std::vector<std::string> parts;
  for (std::string& part : SplitString(norm.substr(3), '\\'))
    if (!part.empty()) parts.push_back(std::move(part));
  if (parts.empty()) {
    r.native = base.empty() ? "/" : base;
    return r;
  }
  // Most paths are written as the files are named: one look at the whole
  // path spares the walk through its folders.
  std::string asWritten = base;
  for (const std::string& part : parts) asWritten += "/" + part;
  // In a folder being filled (its listing is kept) the listing answers
  // with one look at the folder, also for names that are not there yet.
  if (parts.size() > 1) {
    std::string parent = asWritten.substr(0, asWritten.size() - parts.back().size() - 1);
    struct stat dirStat;
    if (listings_.Has(parent) && ::stat(parent.c_str(), &dirStat) == 0 && S_ISDIR(dirStat.st_mode)) {
      std::string found = listings_.Find(parent, dirStat, parts.back());
      if (!found.empty() || parts.back().find('~') == std::string::npos) {
        r.native = parent + "/" + (found.empty() ? parts.back() : found);
        r.absent = found.empty();
        return r;
      }
    }
  }
  if (::lstat(asWritten.c_str(), &r.st) == 0) {
    r.native = asWritten;
    r.stated = !S_ISLNK(r.st.st_mode);
    return r;
  }
  // A name about to be created is not there: when its folder is there as
  // written, only the last name is looked for without regard to case.
  std::string native = base;
  size_t from = 0;
  struct stat dirStat;
  bool haveDir = false;
  if (parts.size() > 1) {
    std::string parent = asWritten.substr(0, asWritten.size() - parts.back().size() - 1);
    if (::stat(parent.c_str(), &dirStat) == 0 && S_ISDIR(dirStat.st_mode)) {
      native = parent;
      from = parts.size() - 1;
      haveDir = true;
    }
  }
  for (size_t i = from; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    std::string dir = native.empty() ? "/" : native;
    std::string match = part;
    bool exact = i == from && haveDir ? false : NativeExists(dir + "/" + part);
    if (!exact && (haveDir || (::stat(dir.c_str(), &dirStat) == 0 && S_ISDIR(dirStat.st_mode)))) {
      std::string found = listings_.Find(dir, dirStat, part);
      if (!found.empty()) {
        match = found;
      } else if (part.find('~') != std::string::npos) {
        // A short (8.3) component never exists as written.
        std::string longName = ResolveShortComponent(dir, part);
        if (!longName.empty()) match = longName;
      }
      r.absent = i + 1 == parts.size() && match == part && found.empty();
    }
    haveDir = false;
    native += "/" + match;
  }
  r.native = native;
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

// --- The platform's host --------------------------------------------------------------

std::unique_ptr<Host> CreatePlatformHost() { return std::make_unique<SandboxHost>(SandboxHost::DefaultRoot()); }

std::vector<std::string> ProgramParameters(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

}  // namespace vx
