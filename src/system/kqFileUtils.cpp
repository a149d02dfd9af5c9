#include "system/kqFileUtils.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "system/PeImage.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

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

bool DeleteFileWaiting(const std::string& path, uint32_t waitMs) {
  Host& h = CurrentHost();
  uint32_t start = h.TickCount();
  while (!DeleteFileForced(path)) {
    if (h.LastError() != kErrorSharingViolation || h.TickCount() - start >= waitMs) return false;
    h.SleepMs(50);
  }
  return true;
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

constexpr uint32_t kCentisecondsPerDay = 8640000;

// The day number and the centisecond of the day a unique name is made of.
void MomentOf(const SystemTime& t, uint32_t& days, uint32_t& time) {
  static const int kDaysBefore[2][12] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
                                         {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335}};
  bool leap = (t.year % 4 == 0) && (t.year % 100 != 0 || t.year % 400 == 0);
  int month = (t.month >= 1 && t.month <= 12) ? t.month : 1;
  uint32_t dayNumber = uint32_t(kDaysBefore[leap][month - 1] + t.day);
  uint32_t yearDigit = t.year % 10;
  days = yearDigit * 365 + yearDigit / 4 + dayNumber;
  time = uint32_t(t.hour) * 360000 + uint32_t(t.minute) * 6000 + uint32_t(t.second) * 100 +
         uint32_t(t.milliseconds) / 10;
}

std::string UniqueNameCode(const SystemTime& t, uint32_t later) {
  uint32_t days, time;
  MomentOf(t, days, time);
  std::string code;
  AppendBase32(code, days, 3);
  AppendBase32(code, (time + later) % kCentisecondsPerDay, 5);
  return code;
}

std::string UniqueName(const std::string& folder, const std::string& prefix, const std::string& extension,
                       bool shortForm) {
  // The day and centisecond of the last name handed out. A name that is
  // taken is followed by the codes of the centiseconds after it rather than
  // by waiting for the clock to reach them, and the next call starts after
  // the last name: files backed up one after another into one folder would
  // otherwise wait up to a centisecond each, or try every name before.
  static std::atomic<uint64_t> last{0};
  Host& h = CurrentHost();
  std::string dir = IncludeTrailingBackslash(folder);
  std::string pre = shortForm ? prefix.substr(0, 4) : prefix;
  SystemTime now = h.LocalTime();
  uint32_t days, time;
  MomentOf(now, days, time);
  uint64_t before = last.load();
  uint32_t start = uint32_t(before >> 32) == days && uint32_t(before) >= time ? uint32_t(before) - time + 1 : 0;
  for (uint32_t later = start;; ++later) {
    std::string code = UniqueNameCode(now, later);
    if (shortForm) code.erase(0, pre.size());
    std::string name = pre + code + extension;
    if (!PathExists(dir + name)) {
      last.store(uint64_t(days) << 32 | (time + later) % kCentisecondsPerDay);
      return name;
    }
    if (later % 1000 == 999) h.SleepMs(1);  // a folder crowded with such names
  }
}

std::string CreateTempFileIn(const std::string& folder, const std::string& prefix) {
  Host& h = CurrentHost();
  std::string dir = IncludeTrailingBackslash(folder);
  std::string pre = prefix.substr(0, 3);
  uint32_t start = h.TickCount() & 0xFFFF;
  for (uint32_t i = 0; i < 0xFFFF; ++i) {
    uint32_t number = (start + i) % 0xFFFF + 1;  // 1 ... 0xFFFF; 0 is not a number of such a name
    std::string path = dir + pre + Format("%04X", unsigned(number)) + ".tmp";
    if (h.OpenFile(path, FileAccess::Write, FileCreate::CreateNew, kShareRead)) return path;
    // Only a name that is taken is worth another try; a folder that is
    // missing or cannot be written fails every name alike.
    if (!PathExists(path)) return "";
  }
  return "";
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

// ==== Copying, changes at restart, versions and facts ==================================

namespace vx {

bool CopyFileChunked(const std::string& source, const std::string& destination, const CopyProgress& progress,
                     bool append, const CopyTransform& transform) {
  Host& h = CurrentHost();
  if (!FileExists(source)) return false;
  auto in = h.OpenFile(source, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  if (!in) return false;
  int64_t total = in->Size();
  if (total < 0) return false;
  auto out = h.OpenFile(destination, FileAccess::Write, append ? FileCreate::OpenAlways : FileCreate::CreateAlways,
                        kShareRead);
  if (!out) return false;
  if (append && !out->Seek(0, 2)) return false;
  std::vector<char> buffer(131072);
  int64_t done = 0;
  while (done < total) {
    size_t want = size_t(std::min<int64_t>(int64_t(buffer.size()), total - done));
    size_t got = 0;
    if (!in->Read(buffer.data(), want, got)) return false;
    if (got == 0) return false;  // the source became shorter: no progress is possible
    if (transform) transform(buffer.data(), got);
    size_t put = 0;
    if (!out->Write(buffer.data(), got, put) || put != got) return false;
    done += int64_t(got);
    if (progress && !progress(source, destination, uint32_t(got), total, done)) return false;
  }
  out.reset();
  in.reset();
  uint64_t time = 0;
  if (h.GetFileWriteTime(source, time)) h.SetFileWriteTime(destination, time);
  uint32_t attributes = h.GetAttributes(source);
  if (attributes != kInvalidAttributes) h.SetAttributes(destination, attributes);
  return true;
}

// --- Changes at restart ----------------------------------------------------------------------

std::string RewriteWininit(const std::string& oldText, const std::vector<std::string>& entries) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < oldText.size(); ++i) {
    char c = oldText[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(Trim(cur));
      cur.clear();
      if (c == '\r' && i + 1 < oldText.size() && oldText[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(Trim(cur));

  std::string out;
  auto emit = [&](const std::string& l) { out += l + "\r\n"; };
  auto emitEntries = [&] {
    for (const std::string& e : entries) emit(e);
  };
  bool inRename = false, inserted = false;
  for (const std::string& line : lines) {
    bool header = !line.empty() && line[0] == '[';
    if (inRename && !inserted && (line.empty() || header)) {
      // At the empty line that ends the section, or before the next section
      // when no empty line separates them (entries are never lost).
      emitEntries();
      inserted = true;
      inRename = false;
    }
    if (header) inRename = !inserted && SameText(line, "[Rename]");
    emit(line);
  }
  if (!inserted) {
    if (!inRename) emit("[Rename]");
    emitEntries();
  }
  return out;
}

namespace {

bool IsNTFamily() { return CurrentHost().Version().platform == kPlatformNT; }

bool MoveFileAtReboot9x(const std::string& source, const std::string& destination) {
  Host& h = CurrentHost();
  std::vector<std::string> entries;
  std::string shortSource = GetShortPath(source);
  if (!destination.empty()) {
    // The short name of the destination exists only while the file does.
    bool created = false;
    if (!PathExists(destination)) {
      auto f = h.OpenFile(destination, FileAccess::Write, FileCreate::CreateNew, kShareRead);
      created = f != nullptr;
    }
    std::string shortDest = GetShortPath(destination);
    if (created) h.RemoveFile(destination);
    entries.push_back("NUL=" + shortDest);
    entries.push_back(shortDest + "=" + shortSource);
    if (shortDest != destination)
      RegWriteString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "Rename " + shortDest,
                     Format("command.com /c ren %s \"%s\"", shortDest.c_str(),
                            ExtractFileName(destination).c_str()));
  } else {
    entries.push_back("NUL=" + shortSource);
  }
  std::string wininit = IncludeTrailingBackslash(h.WindowsFolder()) + "wininit.ini";
  std::string backup = ChangeFileExt(wininit, ".bak");
  h.RemoveFile(backup);
  std::string old;
  if (FileExists(wininit)) {
    if (!h.RenameFile(wininit, backup)) return false;
    ReadWholeFile(backup, old);
  }
  bool ok = WriteWholeFile(wininit, RewriteWininit(old, entries));
  if (ok) h.RemoveFile(backup);
  return ok;
}

}  // namespace

bool MoveFileAtReboot(const std::string& source, const std::string& destination) {
  Host& h = CurrentHost();
  std::string src = h.FullPath(source);
  std::string dst = destination.empty() ? "" : h.FullPath(destination);
  if (!PathExists(src)) return false;
  if (!IsNTFamily()) return MoveFileAtReboot9x(src, dst);
  if (dst.empty()) return h.MoveFileWithFlags(src, "", kMoveFileDelayUntilReboot);
  h.MoveFileWithFlags(dst, "", kMoveFileDelayUntilReboot);
  return h.MoveFileWithFlags(src, dst, kMoveFileDelayUntilReboot);
}

bool DeleteFileAtReboot(const std::string& path) { return MoveFileAtReboot(path, ""); }

bool StartSelfDeleteBatch(bool removeFolder) { return StartSelfDeleteBatch(removeFolder, {}); }

bool StartSelfDeleteBatch(bool removeFolder, const std::vector<std::string>& moreFolders) {
  Host& h = CurrentHost();
  std::string program = h.ExecutablePath();
  std::string folder = ExcludeTrailingBackslash(ExtractFilePath(program));
  std::string parent = ExtractFilePath(folder);
  // Folders above the program's own may hold the folder the batch would be
  // written to: the batch then lives in the temporary folder.
  if (!moreFolders.empty()) parent = GetTempFolder();
  std::string batch = parent + UniqueName(parent, "", ".bat", true);
  std::string text = ":try\r\n";
  text += "del \"" + program + "\"\r\n";
  text += "if exist \"" + program + "\" goto try\r\n";
  if (removeFolder) text += "rd \"" + folder + "\"\r\n";
  for (const std::string& more : moreFolders) text += "rd \"" + ExcludeTrailingBackslash(more) + "\"\r\n";
  text += "del \"" + batch + "\"\r\n";
  if (!WriteWholeFile(batch, text)) return false;
  HandleValue process = h.StartProcess("\"" + batch + "\"", parent, kSwHide, kIdlePriorityClass);
  if (!process) return false;
  h.CloseHandle(process);
  return true;
}

// --- Version resource --------------------------------------------------------------------------

ByteReader FileByteReader(HostFile& file) {
  int64_t size = file.Size();
  return [&file, size](uint64_t off, size_t n, std::string& out) {
    out.clear();
    if (n > (1u << 20) || int64_t(off) < 0 || int64_t(off + n) > size || !file.Seek(int64_t(off), 0)) return false;
    out.resize(n);
    size_t done = 0;
    if (!file.Read(out.data(), n, done)) return false;
    out.resize(done);
    return true;
  };
}

bool ReadVersionResource(const ByteReader& read, uint32_t& ms, uint32_t& ls) {
  auto u16 = [](const std::string& s, size_t o) { return uint32_t((unsigned char)s[o]) | uint32_t((unsigned char)s[o + 1]) << 8; };
  auto u32 = [&](const std::string& s, size_t o) { return u16(s, o) | u16(s, o + 2) << 16; };
  auto at = [&](uint64_t off, size_t n, std::string& out) { return read(off, n, out) && out.size() == n; };

  PeImage image;
  if (!ReadPeImage(read, image)) return false;
  const size_t kResourceDirectory = 2;
  if (image.directories.size() <= kResourceDirectory) return false;
  uint32_t resRva = image.directories[kResourceDirectory].first;
  if (!resRva) return false;
  uint64_t base = 0;
  if (!image.RvaToOffset(resRva, base)) return false;
  // Three directory levels: type RT_VERSION (16), the first name, the first language.
  auto entry = [&](uint64_t dirOffset, int wantedId, uint32_t& target) {
    std::string d;
    if (!at(dirOffset, 16, d)) return false;
    uint32_t count = u16(d, 12) + u16(d, 14);
    for (uint32_t i = 0; i < count && i < 4096; ++i) {
      std::string e;
      if (!at(dirOffset + 16 + i * 8, 8, e)) return false;
      uint32_t name = u32(e, 0);
      if (wantedId < 0 || (!(name & 0x80000000u) && name == uint32_t(wantedId))) {
        target = u32(e, 4);
        return true;
      }
    }
    return false;
  };
  uint32_t t1 = 0, t2 = 0, t3 = 0;
  if (!entry(base, 16, t1) || !(t1 & 0x80000000u)) return false;
  if (!entry(base + (t1 & 0x7FFFFFFFu), -1, t2) || !(t2 & 0x80000000u)) return false;
  if (!entry(base + (t2 & 0x7FFFFFFFu), -1, t3) || (t3 & 0x80000000u)) return false;
  std::string dataEntry;
  if (!at(base + t3, 8, dataEntry)) return false;
  uint32_t dataRva = u32(dataEntry, 0), dataSize = u32(dataEntry, 4);
  uint64_t dataOff = 0;
  if (dataSize < 92 || !image.RvaToOffset(dataRva, dataOff)) return false;
  std::string info;
  if (!at(dataOff, dataSize < 4096 ? dataSize : 4096, info)) return false;
  // VS_VERSIONINFO: length, value length, type, the key "VS_VERSION_INFO"
  // in UTF-16, padding to 4 bytes, then VS_FIXEDFILEINFO.
  size_t p = 6;
  while (p + 1 < info.size() && (info[p] || info[p + 1])) p += 2;
  p = (p + 2 + 3) & ~size_t(3);
  if (p + 16 > info.size() || u32(info, p) != 0xFEEF04BDu) return false;
  ms = u32(info, p + 8);
  ls = u32(info, p + 12);
  return true;
}

bool GetFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls, std::string& text) {
  auto f = CurrentHost().OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite);
  if (!f || !ReadVersionResource(FileByteReader(*f), ms, ls)) return false;
  text = Format("%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
  return true;
}

void SplitVersionText(const std::string& text, uint32_t& ms, uint32_t& ls) {
  uint32_t part[4] = {0, 0, 0, 0};
  std::vector<std::string> parts = SplitString(text, '.');
  for (size_t i = 0; i < 4 && i < parts.size(); ++i) {
    std::string p = Trim(parts[i]);
    uint32_t v = 0;
    bool ok = !p.empty() && p.size() <= 10;
    for (char c : p) {
      if (c < '0' || c > '9') ok = false;
      else v = v * 10 + uint32_t(c - '0');
    }
    part[i] = ok ? v : 0;
  }
  ms = part[0] * 65536u + part[1];
  ls = part[2] * 65536u + part[3];
}

namespace {

// -1: destination older, 0: same, 1: newer; `byVersion` tells which rule applied.
int CompareDest(const std::string& sourceVersion, const std::string& destination, double sourceDate) {
  if (!sourceVersion.empty()) {
    uint32_t sms, sls, dms, dls;
    std::string text;
    SplitVersionText(sourceVersion, sms, sls);
    if (GetFileVersion(destination, dms, dls, text)) {
      if (sms != dms) return sms < dms ? 1 : -1;
      if (sls != dls) return sls < dls ? 1 : -1;
      return 0;
    }
  }
  // Compared in whole seconds: date values computed in x87 registers and
  // stored ones differ in their last bits, which must not decide.
  int64_t dest = std::llround(FileDate(destination) * 86400.0), source = std::llround(sourceDate * 86400.0);
  if (dest > source) return 1;
  return dest == source ? 0 : -1;
}

}  // namespace

bool IsDestNewer(const std::string& sourceVersion, const std::string& destination, double sourceDate) {
  return FileExists(destination) && CompareDest(sourceVersion, destination, sourceDate) > 0;
}

bool IsSameVersion(const std::string& sourceVersion, const std::string& destination, double sourceDate) {
  return FileExists(destination) && CompareDest(sourceVersion, destination, sourceDate) == 0;
}

// --- Dates and facts --------------------------------------------------------------------------------

namespace {
const int64_t kDaysFrom1601To1899 = 109205;  // 1601-01-01 .. 1899-12-30
}

double FileTimeToDateTime(uint64_t localFileTime) {
  int64_t secs = int64_t(localFileTime / 10000000ull);
  secs -= secs % 2;  // DOS dates keep even seconds
  int64_t days = secs / 86400, rest = secs % 86400;
  return double(days - kDaysFrom1601To1899) + double(rest) / 86400.0;
}

uint64_t DateTimeToFileTime(double value) {
  double secs = (value + double(kDaysFrom1601To1899)) * 86400.0;
  if (secs < 0) return 0;
  return uint64_t(secs + 0.5) * 10000000ull;
}

double FileDate(const std::string& path) {
  Host& h = CurrentHost();
  uint64_t t = 0;
  if (!FileExists(path) || !h.GetFileWriteTime(path, t)) return 0;
  return FileTimeToDateTime(h.ToLocalFileTime(t));
}

int64_t FileSize(const std::string& path) {
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  std::string name = ExtractFileName(path);
  if (name.empty() || name.find_first_of("*?") != std::string::npos) return -1;
  if (!CurrentHost().ListFolder(ExtractFilePath(path), name, entries, error)) return -1;
  for (const FindEntry& e : entries)
    if (!(e.attributes & kAttrDirectory) && SameText(e.name, name)) return int64_t(e.size);
  return -1;
}

std::string GetShortPath(const std::string& path) {
  std::string s = CurrentHost().ShortPathName(path);
  return s.empty() ? path : s;
}

uint32_t DiskFreeKB(const std::string& folder) {
  Host& h = CurrentHost();
  if (!FolderExists(folder)) return 0;
  VersionFacts v = h.Version();
  std::string target = folder;
  if (v.platform == kPlatformWin9x) {
    std::string full = h.FullPath(folder);
    if (full.size() >= 2 && full[1] == ':') target = full.substr(0, 2) + "\\";
  }
  bool oldWin95 = v.platform == kPlatformWin9x && v.major == 4 && v.minor == 0 && (v.build & 0xFFFF) <= 1110;
  uint64_t available = 0;
  if (!oldWin95 && h.DiskFreeBytes(target, available)) return uint32_t(available >> 10);
  uint32_t spc = 0, bps = 0, freeClusters = 0;
  std::string full = h.FullPath(target);
  std::string root = full.size() >= 2 && full[1] == ':' ? full.substr(0, 2) + "\\" : target;
  if (!h.DiskFreeClusters(root, spc, bps, freeClusters)) return 0;
  return uint32_t(uint64_t(bps) * spc * freeClusters / 1024);
}

bool RestartWindows(bool forced) {
  Host& h = CurrentHost();
  uint32_t flags = kEwxReboot | (forced ? uint32_t(kEwxForce) : 0u);
  if (IsNTFamily() && (flags & (kEwxShutdown | kEwxReboot | kEwxPowerOff)) && !h.EnableShutdownPrivilege())
    return false;
  return h.RestartSystem(flags);
}

}  // namespace vx
