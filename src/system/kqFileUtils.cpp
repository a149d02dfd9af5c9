#include "system/kqFileUtils.h"

#include "system/kqStrUtils.h"

namespace vx {

bool FileExists(const std::string& path) {
  uint32_t a = CurrentHost().GetAttributes(path);
  return a != kInvalidAttributes && !(a & kAttrDirectory);
}

bool FolderExists(const std::string& path) {
  uint32_t a = CurrentHost().GetAttributes(path);
  return a != kInvalidAttributes && (a & kAttrDirectory);
}

bool PathExists(const std::string& path) { return CurrentHost().GetAttributes(path) != kInvalidAttributes; }

static bool IsDriveOnly(const std::string& path) { return path.size() == 2 && path[1] == ':'; }

bool ForceFolders(const std::string& path) {
  std::string dir = ExcludeTrailingBackslash(path);
  if (dir.empty()) return false;
  if (IsDriveOnly(dir) || FolderExists(dir)) return FolderExists(IncludeTrailingBackslash(dir));
  std::string parent = ExtractFileDir(dir);
  // A path that does not get shorter (a UNC server name, "\\") has no parent
  // that could be created.
  if (!parent.empty() && parent != dir && !ForceFolders(parent)) return false;
  return CurrentHost().MakeFolder(dir) || FolderExists(dir);
}

bool DeleteFileForced(const std::string& path) {
  Host& h = CurrentHost();
  h.SetAttributes(path, kAttrNormal);
  return h.RemoveFile(path);
}

bool DeleteFolderTree(const std::string& folder, bool removeItself) {
  Host& h = CurrentHost();
  std::string dir = IncludeTrailingBackslash(folder);
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  h.ListFolder(dir, "*", entries, error);
  bool ok = true;
  for (const FindEntry& e : entries) {
    if (!e.name.empty() && e.name[0] == '.') continue;
    if (e.attributes & kAttrVolume) continue;
    std::string path = dir + e.name;
    if (e.attributes & kAttrDirectory) {
      ok = DeleteFolderTree(path, true) && ok;
    } else {
      if (e.attributes & kAttrReadOnly) h.SetAttributes(path, e.attributes & ~uint32_t(kAttrReadOnly));
      ok = DeleteFileForced(path) && ok;
    }
  }
  if (removeItself && ok && error == kErrorNoMoreFiles) {
    std::string bare = ExcludeTrailingBackslash(folder);
    if (!IsDriveOnly(bare)) ok = h.RemoveFolder(bare);
  }
  return ok;
}

static void AppendBase32(std::string& out, uint32_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
  std::string s(size_t(digits), '0');
  for (int i = digits - 1; i >= 0 && value; --i, value >>= 5) s[size_t(i)] = kDigits[value & 31];
  out += s;
}

std::string UniqueNameCode(const SystemTime& t) {
  static const int kDaysBefore[2][12] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                         {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
  bool leap = (t.year % 4 == 0) && (t.year % 100 != 0 || t.year % 400 == 0);
  int month = (t.month >= 1 && t.month <= 12) ? t.month : 1;
  uint32_t dayNumber = uint32_t(kDaysBefore[leap][month - 1] + t.day);
  uint32_t yearDigit = t.year % 10;
  uint32_t days = yearDigit * 365 + yearDigit / 4 + dayNumber;
  uint32_t time = uint32_t(t.hour) * 360000 + uint32_t(t.minute) * 6000 + uint32_t(t.second) * 100 +
                  uint32_t(t.milliseconds) / 10;
  std::string code;
  AppendBase32(code, days, 3);
  AppendBase32(code, time, 5);
  return code;
}

std::string UniqueName(const std::string& folder, const std::string& prefix, const std::string& extension,
                       bool shortForm) {
  Host& h = CurrentHost();
  std::string dir = IncludeTrailingBackslash(folder);
  std::string pre = shortForm ? prefix.substr(0, 4) : prefix;
  for (;;) {
    std::string code = UniqueNameCode(h.LocalTime());
    if (shortForm) code.erase(0, pre.size());
    std::string name = pre + code + extension;
    if (!PathExists(dir + name)) return name;
    // The clock moves on by the next centisecond; do not spin hard meanwhile.
    h.SleepMs(1);
  }
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  auto f = CurrentHost().OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  if (!f) return false;
  int64_t size = f->Size();
  if (size < 0) return false;
  bytes.resize(size_t(size));
  size_t done = 0;
  if (!f->Read(bytes.data(), bytes.size(), done)) return false;
  bytes.resize(done);
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  auto f = CurrentHost().OpenFile(path, FileAccess::Write, FileCreate::CreateAlways, kShareRead);
  if (!f) return false;
  size_t done = 0;
  return f->Write(bytes.data(), bytes.size(), done) && done == bytes.size();
}

}  // namespace vx
