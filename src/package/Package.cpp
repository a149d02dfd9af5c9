#include "package/Package.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "database/Variables.h"
#include "database/kqXMLParser.h"
#include "package/PackageCrypt.h"
#include "package/VXUnpacker.h"
#include "system/Errors.h"
#include "system/PeImage.h"
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

bool ReadPackageLayout(const ByteReader& read, uint64_t size, PackageLayout& layout) {
  layout = PackageLayout();
  layout.size = size;
  // The security directory of an image holds a file offset, not an address;
  // only a table that ends the file is one appended after building.
  uint64_t end = size;
  PeImage image;
  if (ReadPeImage(read, image) && image.directories.size() > kPeSecurityDirectory) {
    auto [offset, length] = image.directories[kPeSecurityDirectory];
    if (offset > 0 && length > 0 && uint64_t(offset) + length == size) {
      end = offset;
      layout.signatureOffset = offset;
      layout.signatureSize = length;
    }
  }
  size_t n = size_t(std::min<uint64_t>(end, kPackageMarkerWindow));
  std::string tail;
  if (!read(end - n, n, tail) || tail.size() != n || !LocateTrailer(tail, layout.trailer, layout.trailing))
    return false;
  layout.trailing += size - end;
  layout.sizeMatches = uint64_t(layout.trailer.TotalSize) + layout.trailing == size;
  layout.stubFits = uint64_t(layout.trailer.StubSize) + kPackageTrailerSize <= layout.trailer.TotalSize;
  return true;
}

void PackageErrorText(const Status& status, std::string& caption, std::string& text) {
  if (status.id == kPackageNotFound) {
    caption = kMsgFileNotFoundCaption;
    text = FormatName(kMsgFileNotFound, status.Arg(0));
  } else if (status.id == kPackageInvalid) {
    caption = kMsgInvalidPackageCaption;
    text = FormatName(kMsgInvalidPackage, status.Arg(0));
  } else if (status.id == kPackageNoResume) {
    caption = kMsgErrorCaption;
    text = kMsgCannotResume;
  } else if (status.id == kPackageNoDiskSpace) {
    caption = kMsgErrorCaption;
    text = kMsgNoDiskSpace;
  } else {
    caption = kMsgErrorCaption;
    text = status.Arg(1).empty() ? status.id : status.Arg(1);
  }
}

// --- FindPackageFile / CheckPackage --------------------------------------------------------------

bool FindPackageFile(PackageServices& services, const std::string& name, std::string& folder) {
  folder = IncludeTrailingBackslash(folder);
  for (;;) {
    if (FileExists(folder + name)) return true;
    char buffer[260] = {};
    std::strncpy(buffer, folder.c_str(), sizeof buffer - 1);
    // The answer may name the same folder: removable media, where the user
    // has put the next disk into the same drive. Only an answer of 0 ends
    // the search.
    intptr_t answer = services.AskForPackage(name, buffer);
    if (answer == 0) {
      services.AbortInstall();
      return false;
    }
    buffer[sizeof buffer - 1] = 0;
    folder = IncludeTrailingBackslash(std::string(buffer));
  }
}

Status CheckPackage(PackageServices& services, TvxPackage& package) {
  std::string folder = ExtractFilePath(package.FullFileName);
  std::string name = ExtractFileName(package.FullFileName);
  if (!FindPackageFile(services, name, folder)) return Status::Fail(kPackageNotFound, {name});
  package.FullFileName = folder + name;
  package.FileName = WithoutExtension(name);

  PackageLayout layout;
  auto file = CurrentHost().OpenFile(package.FullFileName, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  int64_t size = file ? file->Size() : -1;
  if (size < 0 || !ReadPackageLayout(FileByteReader(*file), uint64_t(size), layout) || !layout.sizeMatches) {
    RunLog("package", "invalid " + LogQuote(package.FullFileName));
    return Status::Fail(kPackageInvalid, {package.FullFileName});
  }
  const PackageTrailer& trailer = layout.trailer;
  package.PresetupSize = int32_t(trailer.PresetupSize);
  package.DataSize = int32_t(trailer.DataSize);
  package.Flags = int32_t(trailer.Flags);

  const std::string temp = services.TempFolder();
  // The stub must lie in front of the trailer; a forged size beyond it
  // cannot be the engine.
  if (package.Main && !(layout.stubFits && CopyPrefix(*file, temp + kResumeFileName, trailer.StubSize)))
    return Status::Fail(kPackageNoResume);
  package.TempPath = temp + package.FileName + "\\";
  RunLog("package", "checked " + LogQuote(package.FullFileName));
  return Status::Ok();
}

// --- PreparePackages -----------------------------------------------------------------------------

namespace {

struct Preparation {
  uint64_t total = 0, done = 0;
  std::string folder, name;
  bool quiet = false, noProgress = false;
  std::string failure;
};

int OnPrepareCopy(PackageServices& w, Preparation& p, const std::string& entry, std::string& target) {
  bool windowVisible = w.PreparationWindowVisible();
  std::string base = LowerCase(WithoutExtension(ExtractFileName(entry)));
  if (!p.quiet && !p.noProgress && p.total > 0 && !windowVisible && base != "splash" && base != "presetup") {
    w.ShowPreparationWindow(p.folder, p.name);
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

Status PreparePackages(PackageServices& w, TvxPackages& packages) {
  Preparation p;
  for (int i = 0; i < packages.Count(); ++i) {
    auto& pkg = static_cast<TvxPackage&>(packages.Get(i));
    if (!pkg.Prepared) p.total += uint32_t(pkg.PresetupSize);
  }
  uint64_t neededKB = (p.total + 512) / 1024;
  if (uint64_t(DiskFreeKB(w.TempFolder())) < neededKB) return Status::Fail(kPackageNoDiskSpace);

  Status result;
  for (int i = 0; i < packages.Count() && result.ok(); ++i) {
    auto& pkg = static_cast<TvxPackage&>(packages.Get(i));
    p.quiet = w.SilentMode() != 0 || (uint32_t(pkg.Flags) & kPackageQuiet);
    p.noProgress = uint32_t(pkg.Flags) & kPackageNoProgress;
    if (pkg.Prepared) continue;
    p.folder = IncludeTrailingBackslash(pkg.TempPath);
    p.name = pkg.FileName;
    if (!ForceFolders(ExcludeTrailingBackslash(p.folder))) {
      RunLog("package", "cannot create " + LogQuote(p.folder));
      result = Status::Fail(kPackagePreparation, {pkg.FullFileName, "The folder \"" + p.folder + "\" cannot be created."});
      break;
    }
    w.SetPreparationTitle(p.name);
    p.failure.clear();
    TvxUnpacker unpacker(pkg.FullFileName, uint32_t(pkg.Flags) & kPackageScrambled);
    bool ok = unpacker.Enumerate(
        [&](const std::string& entry, uint32_t, uint32_t, double, std::string& target) {
          return OnPrepareCopy(w, p, entry, target);
        },
        [&](const std::string& entry, uint32_t, uint32_t, double, const std::string& target) {
          if (!p.quiet && !w.SplashVisible() && SameText(entry, "splash.bmp")) w.ShowSplash(target);
          return 1;
        },
        [&](const std::string&, const std::string&, uint32_t, uint32_t blockLength, uint32_t) {
          p.done += blockLength;
          if (p.total > 0) w.SetPreparationProgress(int(std::lround(double(p.done) / double(p.total) * 100.0)));
          return 1;
        });
    if (!ok || !p.failure.empty()) {
      std::string reason = p.failure.empty() ? unpacker.LastError() : p.failure;
      RunLog("package", "preparation of " + LogQuote(pkg.FullFileName) + " failed: " + reason);
      result = Status::Fail(kPackagePreparation, {pkg.FullFileName, reason});
      break;
    }
    pkg.Prepared = true;
    RunLog("package", "prepared " + LogQuote(pkg.FullFileName));
  }
  if (result.ok() && !p.quiet) CurrentHost().SleepMs(100);
  w.DestroyPreparationWindow();
  w.CloseSplash();
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
