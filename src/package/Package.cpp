#include "package/Package.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "database/Variables.h"
#include "database/kqXMLParser.h"
#include "package/PackageCrypt.h"
#include "package/VXUnpacker.h"
#include "system/Errors.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

uint32_t Le32(const char* p) {
  const auto* u = reinterpret_cast<const uint8_t*>(p);
  return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

std::string FormatName(const char* text, const std::string& name) { return Format(text, name.c_str()); }

// The name without its extension (the last dot and what follows).
std::string WithoutExtension(const std::string& name) {
  std::string ext = ExtractFileExt(name);
  return name.substr(0, name.size() - ext.size());
}

int32_t SilentModeValue(TXMLObject* anyObject) {
  TPackageServices& s = PackageServices();
  if (s.SilentMode) return s.SilentMode();
  TvxMainDatabase* db = MainDatabase(anyObject);
  return db ? GetVariableInt(db, "SilentMode", 0) : 0;
}

// Copies the first `count` bytes of `source` to `target` in chunks; false
// when either file fails or the source is shorter.
bool CopyPrefix(HostFile& source, const std::string& target, uint64_t count) {
  auto out = CurrentHost().OpenFile(target, FileAccess::Write, FileCreate::CreateAlways, kShareNone);
  if (!out || !source.Seek(0, 0)) return false;
  std::vector<char> buffer(64 * 1024);
  while (count > 0) {
    size_t want = size_t(std::min<uint64_t>(count, buffer.size())), got = 0, written = 0;
    if (!source.Read(buffer.data(), want, got) || got != want) return false;
    if (!out->Write(buffer.data(), got, written) || written != got) return false;
    count -= got;
  }
  return true;
}

// The fields the trailer and the run flow set; a package's own database
// must not change them.
struct RunTimeFields {
  std::string TempPath, FullFileName, FileName;
  bool Main, Needed, Prepared;
  int32_t PresetupSize, DataSize, Flags;

  explicit RunTimeFields(const TvxPackage& p)
      : TempPath(p.TempPath), FullFileName(p.FullFileName), FileName(p.FileName), Main(p.Main), Needed(p.Needed),
        Prepared(p.Prepared), PresetupSize(p.PresetupSize), DataSize(p.DataSize), Flags(p.Flags) {}
  void Restore(TvxPackage& p) const {
    p.TempPath = TempPath;
    p.FullFileName = FullFileName;
    if (!FileName.empty()) p.FileName = FileName;
    p.Main = Main;
    p.Needed = Needed;
    p.Prepared = Prepared;
    p.PresetupSize = PresetupSize;
    p.DataSize = DataSize;
    p.Flags = Flags;
  }
};

// Decrypts a database file and parses it. An empty file gives an empty
// tag (nothing to merge); text without any element is a damaged database.
void ReadDatabase(const std::string& path, TXMLTag& tag) {
  std::string text = DecryptDatabaseFile(path);
  if (text.empty()) return;
  tag.Parse(text);
  if (tag.Kind != TXMLTagKind::Element || tag.Name.empty()) throw EEngineError(FormatName(kMsgDamagedDatabase, path));
}

}  // namespace

// --- Layout --------------------------------------------------------------------------------------

std::string EncodeTrailer(const PackageTrailer& t) {
  std::string out;
  out.reserve(kPackageTrailerSize);
  Put32(out, t.StubSize);
  Put32(out, t.TotalSize);
  Put32(out, t.PresetupSize);
  Put32(out, t.DataSize);
  Put32(out, t.Flags);
  out.append(kPackageEndMarker, kPackageMarkerSize);
  return out;
}

bool LocateTrailer(const std::string& tail, PackageTrailer& trailer, uint64_t& trailing) {
  if (tail.size() < kPackageMarkerSize) return false;
  for (size_t pos = tail.size() - kPackageMarkerSize + 1; pos-- > 0;) {
    if (std::memcmp(tail.data() + pos, kPackageEndMarker, kPackageMarkerSize) != 0) continue;
    // A marker without room for the fields in front of it cannot be ours.
    if (pos + kPackageMarkerSize < kPackageTrailerSize) return false;
    const char* t = tail.data() + pos + kPackageMarkerSize - kPackageTrailerSize;
    trailer.StubSize = Le32(t);
    trailer.TotalSize = Le32(t + 4);
    trailer.PresetupSize = Le32(t + 8);
    trailer.DataSize = Le32(t + 12);
    trailer.Flags = Le32(t + 16);
    trailing = tail.size() - pos - kPackageMarkerSize;
    return true;
  }
  return false;
}

bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name.find(':') != std::string::npos) return false;
  if (name[0] == '\\' || name[0] == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    // Windows drops trailing dots and blanks, so "..", ". ." and "... "
    // all name the parent or the folder itself.
    if (!part.empty() && part.find_first_not_of(". ") == std::string::npos) return false;
    for (char c : part)
      if (uint8_t(c) < 32) return false;
    start = end + 1;
  }
  return true;
}

bool IsDataEntry(const std::string& name) { return StartsWithText(name, "data\\"); }

TPackageServices& PackageServices() {
  static TPackageServices services;
  return services;
}

// --- FindPackageFile / CheckPackage --------------------------------------------------------------

bool FindPackageFile(const std::string& name, std::string& folder) {
  folder = IncludeTrailingBackslash(folder);
  for (;;) {
    if (FileExists(folder + name)) return true;
    TPackageServices& s = PackageServices();
    intptr_t answer = 0;
    char buffer[260] = {};
    if (s.AskForPackage) {
      std::strncpy(buffer, folder.c_str(), sizeof buffer - 1);
      answer = s.AskForPackage(name, buffer);
    }
    if (answer == 0) {
      if (s.AbortInstall) s.AbortInstall();
      return false;
    }
    buffer[sizeof buffer - 1] = 0;
    std::string next = IncludeTrailingBackslash(std::string(buffer));
    // A plug-in that keeps answering with the same folder would make this
    // loop forever; the file is not there, so it counts as no answer.
    if (SameText(next, folder)) {
      if (s.AbortInstall) s.AbortInstall();
      return false;
    }
    folder = next;
  }
}

bool CheckPackage(TvxPackage& package) {
  std::string folder = ExtractFilePath(package.FullFileName);
  std::string name = ExtractFileName(package.FullFileName);
  if (!FindPackageFile(name, folder)) {
    ErrorBox(kMsgFileNotFoundCaption, FormatName(kMsgFileNotFound, name));
    return false;
  }
  package.FullFileName = folder + name;
  package.FileName = WithoutExtension(name);

  PackageTrailer trailer;
  bool valid = false;
  auto file = CurrentHost().OpenFile(package.FullFileName, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  int64_t size = file ? file->Size() : -1;
  if (size >= 0) {
    size_t n = size_t(std::min<int64_t>(size, int64_t(kPackageMarkerWindow)));
    std::string tail(n, '\0');
    size_t got = 0;
    uint64_t trailing = 0;
    if (file->Seek(size - int64_t(n), 0) && file->Read(tail.data(), n, got) && got == n &&
        LocateTrailer(tail, trailer, trailing)) {
      valid = uint64_t(trailer.TotalSize) + trailing == uint64_t(size);
    }
  }
  if (!valid) {
    RunLog("package", "invalid " + LogQuote(package.FullFileName));
    ErrorBox(kMsgInvalidPackageCaption, FormatName(kMsgInvalidPackage, package.FullFileName));
    return false;
  }
  package.PresetupSize = int32_t(trailer.PresetupSize);
  package.DataSize = int32_t(trailer.DataSize);
  package.Flags = int32_t(trailer.Flags);

  const std::string& temp = PackageServices().TempFolder;
  if (package.Main) {
    // The stub must lie in front of the trailer; a forged size beyond it
    // cannot be the engine.
    bool ok = uint64_t(trailer.StubSize) + kPackageTrailerSize <= trailer.TotalSize &&
              CopyPrefix(*file, temp + kResumeFileName, trailer.StubSize);
    if (!ok) {
      ErrorBox(kMsgErrorCaption, kMsgCannotResume);
      return false;
    }
  }
  package.TempPath = temp + package.FileName + "\\";
  RunLog("package", "checked " + LogQuote(package.FullFileName));
  return true;
}

// --- PreparePackages -----------------------------------------------------------------------------

namespace {

struct Preparation {
  uint64_t total = 0, done = 0;
  std::string folder, name;
  bool quiet = false, noProgress = false;
  bool windowShown = false, splashShown = false;
  std::string failure;
};

int OnPrepareCopy(Preparation& p, const std::string& entry, std::string& target) {
  TPreparationWindows& w = PackageServices().Windows;
  bool windowVisible = w.PreparationWindowVisible ? w.PreparationWindowVisible() : p.windowShown;
  std::string base = LowerCase(WithoutExtension(ExtractFileName(entry)));
  if (!p.quiet && !p.noProgress && p.total > 0 && !windowVisible && base != "splash" && base != "presetup") {
    if (w.ShowPreparationWindow) w.ShowPreparationWindow(p.folder, p.name);
    p.windowShown = true;
  }
  if (IsDataEntry(entry)) return -1;
  if (!IsSafeEntryName(entry)) {
    p.failure = "The package holds the unsafe entry name \"" + entry + "\".";
    return -1;
  }
  target = p.folder + entry;
  if (!ForceFolders(ExtractFileDir(target))) {
    p.failure = "The folder \"" + ExtractFileDir(target) + "\" cannot be created.";
    return -1;
  }
  return 1;
}

}  // namespace

bool PreparePackages(TvxPackages& packages) {
  TPackageServices& s = PackageServices();
  TPreparationWindows& w = s.Windows;
  Preparation p;
  for (int i = 0; i < packages.Count(); ++i) {
    auto& pkg = static_cast<TvxPackage&>(packages.Get(i));
    if (!pkg.Prepared) p.total += uint32_t(pkg.PresetupSize);
  }
  uint64_t neededKB = (p.total + 512) / 1024;
  if (uint64_t(DiskFreeKB(s.TempFolder)) < neededKB) {
    ErrorBox(kMsgErrorCaption, kMsgNoDiskSpace);
    return false;
  }

  bool result = true;
  for (int i = 0; i < packages.Count() && result; ++i) {
    auto& pkg = static_cast<TvxPackage&>(packages.Get(i));
    p.quiet = SilentModeValue(&packages) != 0 || (uint32_t(pkg.Flags) & kPackageQuiet);
    p.noProgress = uint32_t(pkg.Flags) & kPackageNoProgress;
    if (pkg.Prepared) continue;
    p.folder = IncludeTrailingBackslash(pkg.TempPath);
    p.name = pkg.FileName;
    if (!ForceFolders(ExcludeTrailingBackslash(p.folder))) {
      RunLog("package", "cannot create " + LogQuote(p.folder));
      result = false;
      break;
    }
    if (w.SetPreparationTitle) w.SetPreparationTitle(FormatName(kMsgPreparingTitle, p.name));
    p.failure.clear();
    TvxUnpacker unpacker(pkg.FullFileName, uint32_t(pkg.Flags) & kPackageScrambled);
    bool ok = unpacker.Enumerate(
        [&](const std::string& entry, uint32_t, uint32_t, double, std::string& target) {
          return OnPrepareCopy(p, entry, target);
        },
        [&](const std::string& entry, uint32_t, uint32_t, double, const std::string& target) {
          bool splashVisible = w.SplashVisible ? w.SplashVisible() : p.splashShown;
          if (!p.quiet && !splashVisible && SameText(entry, "splash.bmp")) {
            if (w.ShowSplash) w.ShowSplash(target);
            p.splashShown = true;
          }
          return 1;
        },
        [&](const std::string&, const std::string&, uint32_t, uint32_t blockLength, uint32_t) {
          p.done += blockLength;
          if (p.total > 0 && w.SetPreparationProgress)
            w.SetPreparationProgress(int(std::lround(double(p.done) / double(p.total) * 100.0)));
          return 1;
        });
    if (!ok || !p.failure.empty()) {
      RunLog("package", "preparation of " + LogQuote(pkg.FullFileName) + " failed: " +
                            (p.failure.empty() ? unpacker.LastError() : p.failure));
      result = false;
      break;
    }
    pkg.Prepared = true;
    RunLog("package", "prepared " + LogQuote(pkg.FullFileName));
  }
  if (result && !p.quiet) CurrentHost().SleepMs(100);
  if (w.DestroyPreparationWindow) w.DestroyPreparationWindow();
  if (w.CloseSplash) w.CloseSplash();
  return result;
}

// --- Databases -----------------------------------------------------------------------------------

bool LoadPackageDatabase(TvxPackage& package) {
  TXMLTag tag;
  ReadDatabase(package.TempPath + "db.pdb", tag);
  if (!tag.Name.empty()) {
    RunTimeFields keep(package);
    package.AssignMerge(tag);
    keep.Restore(package);
  }
  SetVariable(&package, "Presetup", package.TempPath + "presetup");
  return true;
}

void LoadMainProjectDatabase(TvxMainDatabase& database, const TvxPackage& mainPackage) {
  TXMLTag tag;
  ReadDatabase(mainPackage.TempPath + "main.pdb", tag);
  if (!tag.Name.empty()) database.AssignMerge(tag);
}

}  // namespace vx
