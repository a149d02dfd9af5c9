// SandboxHost, files and folders: attributes, listings, open files with
// their share modes, files held in use by "another program", short names,
// moves (also at the next restart), file times and free disk space (on a
// drive of fixed free space, a limit its files cannot grow beyond).
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
#include <map>
#include <thread>

#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

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

// An open file of the machine. On a drive of fixed free space (`space`
// not null) the bytes that extend the file must fit in the room left.
class SandboxFile : public HostFile {
 public:
  SandboxFile(int fd, std::shared_ptr<DriveSpace> space, std::function<void()> onClose)
      : fd_(fd), space_(std::move(space)), onClose_(std::move(onClose)) {}
  ~SandboxFile() override {
    ::close(fd_);
    if (onClose_) onClose_();
  }
  bool Read(void* buffer, size_t size, size_t& done) override {
    HoldIfSuspendedWorker();
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
    HoldIfSuspendedWorker();
    done = 0;
    // A write that does not fit fails whole, as on a full disk: the file
    // keeps what it held.
    int64_t before = space_ ? Size() : 0;
    uint64_t growth = space_ ? Growth(Position() + int64_t(size), before) : 0;
    if (growth && !space_->Take(growth)) {
      t_lastError = kErrorDiskFull;
      return false;
    }
    bool ok = true;
    while (done < size) {
      ssize_t n = ::write(fd_, (const char*)buffer + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        t_lastError = ErrnoToWin32(errno);
        ok = false;
        break;
      }
      done += size_t(n);
    }
    if (!ok && growth) space_->GiveBack(growth - std::min(growth, Growth(Size(), before)));
    return ok;
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
  bool SetEnd() override {
    int64_t at = Position(), before = space_ ? Size() : 0;
    uint64_t growth = space_ ? Growth(at, before) : 0;
    if (growth && !space_->Take(growth)) {
      t_lastError = kErrorDiskFull;
      return false;
    }
    if (::ftruncate(fd_, off_t(at)) != 0) {
      t_lastError = ErrnoToWin32(errno);
      if (growth) space_->GiveBack(growth);
      return false;
    }
    if (space_ && at < before) space_->GiveBack(uint64_t(before - at));
    return true;
  }

 private:
  static uint64_t Growth(int64_t end, int64_t size) { return end > size ? uint64_t(end - size) : 0; }

  int fd_;
  std::shared_ptr<DriveSpace> space_;
  std::function<void()> onClose_;
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

const uint64_t kEpochDelta = 11644473600ull;  // seconds from 1601 to 1970

// The short names of the long names among `names` (the whole content of
// one folder): names that share the short base and extension are numbered
// in their sorted order.
std::map<std::string, std::string> ShortNamesOf(const std::vector<std::string>& names) {
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> groups;
  for (const std::string& n : names) {
    if (Is83(n)) continue;
    std::string base, ext;
    ShortParts(n, base, ext);
    groups[{base, ext}].push_back(n);
  }
  std::map<std::string, std::string> result;
  for (auto& [key, same] : groups) {
    std::sort(same.begin(), same.end(), [](const std::string& a, const std::string& b) {
      int c = CompareText(a, b);
      return c != 0 ? c < 0 : a < b;
    });
    for (size_t i = 0; i < same.size(); ++i)
      result[same[i]] = key.first + "~" + std::to_string(i + 1) + (key.second.empty() ? "" : "." + key.second);
  }
  return result;
}

}  // namespace

// --- Files and folders ------------------------------------------------------------

uint32_t SandboxHost::GetAttributes(const std::string& path) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || !StatOf(r, st)) {
    t_lastError = kErrorFileNotFound;
    return kInvalidAttributes;
  }
  return NativeAttributes(r.native, st);
}

bool SandboxHost::SetAttributes(const std::string& path, uint32_t attributes) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || !StatOf(r, st)) return Fail(kErrorFileNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  mode_t old = st.st_mode & 07777;
  mode_t mode = (attributes & kAttrReadOnly) ? (old & ~mode_t(0222)) : (old | S_IWUSR);
  if (mode != old && ::chmod(r.native.c_str(), mode) != 0) return Fail(ErrnoToWin32(errno));
  // Written only when it changes what the file reports (an installation
  // sets the attributes of every file it writes, mostly to what it has).
  uint32_t wanted = attributes & ~uint32_t(kAttrReadOnly | kAttrDirectory | kAttrNormal);
  uint32_t now = NativeAttributes(r.native, st) & ~uint32_t(kAttrReadOnly | kAttrDirectory | kAttrNormal);
  if (wanted != now) {
    std::string kept = Format("%u", wanted);
    ::setxattr(r.native.c_str(), kAttrXattr, kept.data(), kept.size(), 0);  // best effort
  }
  return true;
}

bool SandboxHost::MakeFolder(const std::string& path) {
  Resolved r = Resolve(path);
  if (!r.ok) return Fail(kErrorPathNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  if (NativeExists(r.native)) return Fail(kErrorAlreadyExists);
  if (::mkdir(r.native.c_str(), 0755) != 0) return Fail(errno == ENOENT ? kErrorPathNotFound : ErrnoToWin32(errno));
  NoteEntry(r.native, true);
  return true;
}

bool SandboxHost::RemoveFolder(const std::string& path) {
  Resolved r = Resolve(path);
  if (!r.ok || !NativeIsDir(r.native)) return Fail(kErrorFileNotFound);
  if (!Writable(r)) return Fail(kErrorAccessDenied);
  if (::rmdir(r.native.c_str()) != 0) return Fail(ErrnoToWin32(errno));
  NoteEntry(r.native, false);
  return true;
}

bool SandboxHost::RemoveFile(const std::string& path) {
  Resolved r = Resolve(path);
  struct stat st;
  if (!r.ok || ::lstat(r.native.c_str(), &st) != 0) return Fail(kErrorFileNotFound);
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (!Writable(r) || !(st.st_mode & S_IWUSR)) return Fail(kErrorAccessDenied);  // read-only file
  if (InUse(r.native)) return Fail(kErrorAccessDenied);  // a running program's file
  if (OpenByOthersWithoutDelete(r.native)) return Fail(kErrorSharingViolation);
  if (::unlink(r.native.c_str()) != 0) return Fail(ErrnoToWin32(errno));
  NoteEntry(r.native, false);
  if (auto space = SpaceOf(r.drive)) space->GiveBack(uint64_t(st.st_size));
  return true;
}

bool SandboxHost::RenameFile(const std::string& from, const std::string& to) {
  Resolved a = Resolve(from), b = Resolve(to);
  if (!a.ok || !NativeExists(a.native)) return Fail(kErrorFileNotFound);
  if (!b.ok) return Fail(kErrorPathNotFound);
  if (!Writable(a) || !Writable(b)) return Fail(kErrorAccessDenied);
  // MoveFile never replaces; a rename that only changes case is allowed.
  if (NativeExists(b.native) && a.native != b.native) return Fail(kErrorAlreadyExists);
  if (OpenByOthersWithoutDelete(a.native)) return Fail(kErrorSharingViolation);
  return Rename(a.native, b.native);
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
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (isRoot && (n == "." || n == "..")) continue;  // drive roots have neither
    names.push_back(std::move(n));
  }
  ::closedir(d);
  // The order Windows gives on its file systems: "." and "..", then the
  // names sorted by their upper-case form.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    bool da = a == "." || a == "..", db = b == "." || b == "..";
    if (da != db) return da;
    int c = CompareText(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  // As on Windows, a name without an extension also matches as if it ended
  // with a dot ("*.*" lists everything, "*." the names without one), and a
  // long name matches through its short name too ("*.htm" finds
  // "page.html", whose short name is "PAGE~1.HTM").
  auto matches = [&pattern](const std::string& n) {
    return MatchesPattern(n, pattern) || (n.find('.') == std::string::npos && MatchesPattern(n + ".", pattern));
  };
  std::map<std::string, std::string> shortNames;  // long name -> short, computed once when needed
  bool shortNamesKnown = false;
  std::vector<FindEntry> found;
  for (const std::string& n : names) {
    if (!matches(n)) {
      if (Is83(n)) continue;
      if (!shortNamesKnown) {
        shortNames = ShortNamesOf(names);
        shortNamesKnown = true;
      }
      auto it = shortNames.find(n);
      if (it == shortNames.end() || !matches(it->second)) continue;
    }
    struct stat st;
    if (::stat((r.native + "/" + n).c_str(), &st) != 0) continue;
    FindEntry fe;
    fe.name = n;
    fe.attributes = NativeAttributes(r.native + "/" + n, st);
    fe.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
    found.push_back(fe);
  }
  entries = std::move(found);
  error = entries.empty() ? kErrorFileNotFound : kErrorNoMoreFiles;
  t_lastError = error;
  return !entries.empty();
}

std::unique_ptr<HostFile> SandboxHost::OpenFile(const std::string& path, FileAccess access, FileCreate create,
                                                uint32_t share) {
  HoldIfSuspendedWorker();
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
  struct stat cur;
  bool existed = StatOf(r, cur);
  if (existed && S_ISDIR(cur.st_mode)) {
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
  if (writing && existed && InUse(r.native)) {
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
  std::shared_ptr<DriveSpace> space = SpaceOf(r.drive);
  struct stat old;
  bool truncates = space && (flags & O_TRUNC) && ::stat(r.native.c_str(), &old) == 0;
  int fd = ::open(r.native.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    Fail(errno == ENOENT && create != FileCreate::OpenExisting ? kErrorPathNotFound : ErrnoToWin32(errno));
    return nullptr;
  }
  if (!existed && create != FileCreate::OpenExisting) NoteEntry(r.native, true);
  if (truncates) space->GiveBack(uint64_t(old.st_size));
  uint64_t id = table->nextId++;
  table->open[r.native].push_back(OpenRecord{id, access, share});
  std::string native = r.native;
  t_lastError = 0;
  return std::make_unique<SandboxFile>(fd, std::move(space), [table, native, id] {
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

std::shared_ptr<DriveSpace> SandboxHost::SpaceOf(char drive) const {
  auto it = space_.find(drive);
  return it == space_.end() ? nullptr : it->second;
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
  auto all = ShortNamesOf(NativeList(nativeDir));
  auto it = all.find(name);
  if (it != all.end()) return it->second;
  std::string base, ext;
  ShortParts(name, base, ext);
  return base + "~1" + (ext.empty() ? "" : "." + ext);
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
  return Rename(a.native, b.native);
}

bool SandboxHost::Rename(const std::string& from, const std::string& to) {
  struct stat st;
  bool folder = ::lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (::rename(from.c_str(), to.c_str()) != 0) return Fail(ErrnoToWin32(errno));
  if (folder) {
    // Every listing below the folder now belongs to another path.
    listings_.Clear();
  } else {
    NoteEntry(from, false);
    NoteEntry(to, true);
  }
  return true;
}

bool SandboxHost::StatOf(const Resolved& r, struct stat& st) {
  if (r.stated) {
    st = r.st;
    return true;
  }
  if (r.absent) return false;
  return ::stat(r.native.c_str(), &st) == 0;
}

void SandboxHost::NoteEntry(const std::string& native, bool added) {
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = slash == 0 ? "/" : native.substr(0, slash), name = native.substr(slash + 1);
  if (added) listings_.Added(dir, name);
  else listings_.Removed(dir, name);
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
  if (auto space = SpaceOf(r.drive)) {
    available = space->Free();
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
  if (auto space = SpaceOf(r.drive)) {
    bytes = space->Free();
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

}  // namespace vx
