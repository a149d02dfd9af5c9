// vxtool package, db, hash, password-hash, decrypt: look into setup files,
// ".vxp" packages and their databases the way the engine reads them.
//
//   vxtool package info FILE [--password P]
//   vxtool package list FILE [--password P]
//   vxtool package extract FILE [--password P] [--out DIR]
//   vxtool package verify FILE [--password P]
//   vxtool db decrypt FILE
//   vxtool hash TEXT
//   vxtool password-hash PASSWORD
//   vxtool decrypt --key-text TEXT [--units N,N,...] FILE
//
// The package commands run the engine's own unpacker over the extraction
// library that vxtool carries (as the engine does), on a throw-away machine
// whose drive Z: reaches the user's files.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <set>

#include "commands.h"
#include "database/Variables.h"
#include "database/VXClasses.h"
#include "database/kqXMLParser.h"
#include "package/DCPcrypt.h"
#include "package/FileDigest.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "package/SecureWipe.h"
#include "package/VXUnpacker.h"
#include "system/ByteReader.h"
#include "system/PeImage.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "unpack/CabinetIndex.h"
#include "unpack/unpack.h"
#include "unpack/PlatformFile.h"

namespace vxtool {
namespace {

using namespace vx;
namespace fs = std::filesystem;

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// Prints "vxtool: <message>" to standard error and returns 1 (the work failed).
int Fail(const std::string& message) {
  std::fprintf(stderr, "vxtool: %s\n", message.c_str());
  return 1;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// --- Command lines ---------------------------------------------------------------------------

struct PackageOptions {
  std::string file;
  std::string out = ".";
  std::optional<std::string> password;
};

// Parses the words after the sub-command; false after a usage message.
bool ParsePackageOptions(const Args& args, bool allowOut, const char* usage, PackageOptions& o, int& status) {
  std::vector<std::string> positional;
  status = WalkOptions(args, 1, usage, positional, [&](const std::string& a, const auto& value) {
    const std::string* v = nullptr;
    if (a == "--password" && (v = value())) o.password = *v;
    else if (a == "--out" && allowOut && (v = value())) o.out = *v;
    else return kOptionUnknown;
    return kOptionTaken;
  });
  if (status != kOptionTaken) return false;
  if (positional.size() != 1 || o.out.empty()) {
    status = Usage(usage);
    return false;
  }
  o.file = positional[0];
  return true;
}

// --- The package file as the engine checks it ------------------------------------------------

// A package file's trailer, read with the engine's own code.
struct Layout : PackageLayout {
  std::string native;  // absolute native path
  bool Scrambled() const { return trailer.Flags & kPackageScrambled; }
};

// Reads the trailer of a package file; false with `error` when the file
// cannot be read or holds no trailer.
bool ReadLayout(const std::string& path, Layout& l, std::string& error) {
  std::error_code ec;
  l.native = fs::absolute(path, ec).lexically_normal().string();
  uint64_t size = ec ? 0 : fs::file_size(l.native, ec);
  std::ifstream in(l.native, std::ios::binary);
  if (ec || !fs::is_regular_file(l.native, ec) || !in) {
    error = "cannot read " + Quote(path);
    return false;
  }
  ByteReader read = StreamReader(in);
  if (!ReadPackageLayout(read, size, l)) {
    error = Quote(path) + " is not a package: no trailer (\"" + std::string(kPackageEndMarker) +
            "\") in its last " + std::to_string(kPackageMarkerWindow) + " bytes";
    return false;
  }
  return true;
}

// Reads the trailer and refuses what the engine refuses.
bool ReadValidLayout(const std::string& path, Layout& l, std::string& error) {
  if (!ReadLayout(path, l, error)) return false;
  if (!l.sizeMatches) {
    error = Quote(path) + " is damaged: the trailer gives " + std::to_string(l.trailer.TotalSize) +
            " bytes up to its end, the file has " + std::to_string(l.size - l.trailing);
    return false;
  }
  return true;
}

std::string FlagNames(uint32_t flags) {
  std::string names;
  auto add = [&](uint32_t bit, const char* name) {
    if (!(flags & bit)) return;
    names += names.empty() ? "" : ", ";
    names += name;
    flags &= ~bit;
  };
  add(kPackageScrambled, "scrambled");
  add(kPackageNoProgress, "noprogress");
  add(kPackageQuiet, "quiet");
  if (flags) names += (names.empty() ? "unknown " : ", unknown ") + Format("0x%X", flags);
  return names.empty() ? "none" : names;
}

// --- A throw-away machine with the extraction library ----------------------------------------

class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    scope_.reset();
    host_.reset();
    if (!root_.empty()) {
      std::error_code ec;
      fs::remove_all(root_, ec);
    }
  }

  // `stage`, when given, becomes the machine's drive X: (Stage()), so that
  // the names the package holds are not cut short by the length of the
  // output folder's own path: Linux allows what Windows' MAX_PATH does not.
  bool Start(std::string& error, const std::string& stage = "", const std::string& longStage = "") {
    std::string pattern = (fs::temp_directory_path() / "vxtool-package-XXXXXX").string();
    if (!::mkdtemp(pattern.data()) || !SandboxHost::InitMachine(pattern, MachineKind::XP)) {
      error = "cannot create a temporary machine";
      return false;
    }
    root_ = pattern;
    if (!stage.empty()) {
      std::string ini;
      const std::string drives = "[Drives]\r\nZ=/\r\n";
      size_t at = 0;
      if (!ReadNativeFile(root_ + "/machine.ini", ini) || (at = ini.find(drives)) == std::string::npos) {
        error = "cannot prepare the temporary machine";
        return false;
      }
      ini.insert(at + drives.size(), "X=" + stage + "\r\n" + (longStage.empty() ? "" : "Y=" + longStage + "\r\n"));
      std::ofstream(root_ + "/machine.ini", std::ios::binary | std::ios::trunc) << ini;
    }
    SandboxOptions options;
    options.hostWritable = true;  // extract writes to the user's folder
    host_ = std::make_unique<SandboxHost>(root_, options);
    scope_ = std::make_unique<ScopedHost>(*host_);
    // The library goes into the machine, exactly as the engine writes it
    // into its temporary folder.
    std::string library;
    if (!host_->LoadDataResource("UNPACK", library) || !ForceFolders(ExcludeTrailingBackslash(Scratch())) ||
        !WriteWholeFile(Scratch() + kUnpackLibraryName, library)) {
      error = "cannot provide the extraction library";
      return false;
    }
    SetUnpackFolder(Scratch());
    return true;
  }

  SandboxHost& Host() { return *host_; }
  // The staging folder given to Start, as the machine sees it.
  static std::string Stage() { return "X:\\"; }
  // The folder for entries whose path below Stage() is too long for the
  // extraction library's path buffer (they are moved into place after).
  static std::string LongStage() { return "Y:\\"; }
  // A Windows folder of the machine for vxtool's own files, with backslash.
  static std::string Scratch() { return "C:\\vxtool\\"; }
  // The Windows path of a native path; "" when it does not map back to it.
  std::string WindowsPath(const std::string& native) {
    std::string w = host_->WindowsPath(native);
    if (w.empty() || host_->NativePath(w) != native) return "";
    return w;
  }

 private:
  std::string root_;
  std::unique_ptr<SandboxHost> host_;
  std::unique_ptr<ScopedHost> scope_;
};

// --- Enumeration through the engine's unpacker -----------------------------------------------

struct Entry {
  std::string name;
  uint32_t size = 0, attributes = 0;
  double date = 0;
};

// Answers for one entry: 1 with `target` (a Windows path) to write it, 0 to
// skip it; -1 stops, and a non-empty `failure` makes the run fail.
using Chooser = std::function<int(const Entry& entry, std::string& target, std::string& failure)>;

struct EnumerateResult {
  bool ok = false;
  std::string error;
};

EnumerateResult EnumeratePackage(const std::string& hostFile, bool scrambled, const std::optional<std::string>& key,
                                 const Chooser& choose, const TUnpackProgressEvent& onProgress = {}) {
  EnumerateResult r;
  std::string failure;
  TvxUnpacker unpacker(hostFile, scrambled);
  if (key) unpacker.UsePassword(*key);
  bool ok = unpacker.Enumerate(
      [&](const std::string& name, uint32_t size, uint32_t attributes, double date, std::string& target) {
        return choose(Entry{name, size, attributes, date}, target, failure);
      },
      {}, onProgress);
  r.ok = ok && failure.empty();
  r.error = !failure.empty() ? failure : unpacker.LastError();
  if (!r.ok && r.error.empty()) r.error = "the package cannot be extracted";
  return r;
}

// The project database of a setup file (its "main.pdb" entry), read the
// way the engine reads it. Empty when the package has no such entry.
struct MainDatabaseFacts {
  bool present = false;
  bool readable = false;
  std::string checkHash;  // "PswCheckHash"
  std::string error;
};

MainDatabaseFacts ReadMainDatabase(const std::string& folder) {
  MainDatabaseFacts facts;
  if (!FileExists(folder + "main.pdb")) return facts;
  facts.present = true;
  TvxPackage package;
  package.TempPath = folder;
  TvxMainDatabase db;
  try {
    LoadMainProjectDatabase(db, package);
    facts.readable = true;
    facts.checkHash = GetVariable(&db, "PswCheckHash");
  } catch (const std::exception& e) {
    facts.error = e.what();
  }
  return facts;
}

// Reads the data part up to its first decompressed block, with or without
// a key: without the right key an encrypted data part does not decompress.
EnumerateResult TryDataPart(const Layout& l, const std::string& hostFile, const std::optional<std::string>& key) {
  return EnumeratePackage(
      hostFile, l.Scrambled(), key,
      [](const Entry& e, std::string& target, std::string&) {
        if (!IsDataEntry(e.name)) return 0;
        target = Session::Scratch() + "trial.bin";
        return 1;
      },
      [](const std::string&, const std::string&, uint32_t, uint32_t, uint32_t) { return -1; });
}

// --- package info ------------------------------------------------------------------------------

// What kind of engine the first `stubSize` bytes of a setup file are: the
// Windows engine of one bitness (PE image), the native one (ELF), or none
// (a ".vxp" package carries no engine).
std::string EngineKind(const std::string& native, uint32_t stubSize) {
  if (stubSize == 0) return "none";
  std::ifstream f(native, std::ios::binary);
  std::string kind = EngineProgramKind(StreamReader(f, stubSize));
  return kind.empty() ? "unknown (neither a Windows nor a Linux program)" : kind;
}

int Info(const Args& args) {
  const char* usage = "usage: vxtool package info FILE [--password P]";
  PackageOptions o;
  int status = 2;
  if (!ParsePackageOptions(args, false, usage, o, status)) return status;
  Layout l;
  std::string error;
  if (!ReadLayout(o.file, l, error)) return Fail(error);
  const PackageTrailer& t = l.trailer;
  int result = 0;

  std::printf("file: %s\n", l.native.c_str());
  std::printf("size: %llu\n", (unsigned long long)l.size);
  std::printf("trailer: at %llu, %llu bytes after it\n", (unsigned long long)l.TrailerOffset(),
              (unsigned long long)l.trailing);
  std::printf("stub size: %u\n", t.StubSize);
  if (l.stubFits) std::printf("engine: %s\n", EngineKind(l.native, t.StubSize).c_str());
  std::printf("total size: %u (%s)\n", t.TotalSize,
              l.sizeMatches ? "matches the file" : "does not match the file: damaged");
  std::printf("preparation size: %u\n", t.PresetupSize);
  std::printf("data size: %u\n", t.DataSize);
  std::printf("flags: 0x%X (%s)\n", t.Flags, FlagNames(t.Flags).c_str());
  if (l.signatureSize)
    std::printf("signature: Authenticode, %llu bytes at %llu\n", (unsigned long long)l.signatureSize,
                (unsigned long long)l.signatureOffset);
  else
    std::printf("signature: none\n");
  if (!l.sizeMatches) result = 1;
  if (!l.stubFits) {
    std::printf("stub: does not fit in front of the trailer: damaged\n");
    result = 1;
  }

  // Where the extraction library finds the cabinet, reading as it reads.
  uint64_t base = 0;
  vxunpack::RawFile* raw = vxunpack::RawFile::Open(l.native.c_str(), l.Scrambled());
  bool found = raw && vxunpack::FindCabinet(*raw, base);
  vxunpack::RawFile::Close(raw);
  if (found)
    std::printf("cabinet: at %llu\n", (unsigned long long)base);
  else
    std::printf("cabinet: none in the first %llu bytes\n", (unsigned long long)vxunpack::kSearchLimit);
  std::printf("scrambled: %s\n", l.Scrambled() ? "yes" : "no");
  std::fflush(stdout);
  if (!found) return Fail("the extraction library finds no cabinet in " + Quote(o.file));

  Session session;
  if (!session.Start(error)) return Fail(error);
  std::string hostFile = session.WindowsPath(l.native);
  if (hostFile.empty()) return Fail("the path " + Quote(l.native) + " cannot be reached as a Windows path");

  // Count the entries; take "main.pdb" along for the password check hash.
  size_t preparation = 0, data = 0;
  EnumerateResult listing = EnumeratePackage(hostFile, l.Scrambled(), std::nullopt,
                                             [&](const Entry& e, std::string& target, std::string&) {
                                               ++(IsDataEntry(e.name) ? data : preparation);
                                               if (!SameText(e.name, "main.pdb")) return 0;
                                               target = Session::Scratch() + "main.pdb";
                                               return 1;
                                             });
  std::printf("entries: %zu (%zu preparation, %zu data)\n", preparation + data, preparation, data);
  if (!listing.ok) {
    std::fflush(stdout);
    return Fail("the cabinet cannot be read: " + listing.error);
  }

  std::string password, check;
  MainDatabaseFacts main = ReadMainDatabase(Session::Scratch());
  if (main.present && !main.readable) {
    password = "unknown (main.pdb is damaged: " + main.error + ")";
    result = 1;
  } else if (main.present) {
    bool has = HasPassword(main.checkHash);
    password = has ? "yes (PswCheckHash in main.pdb)" : "no (no PswCheckHash in main.pdb)";
    if (o.password) check = !has ? "not needed" : CheckPassword(*o.password, main.checkHash) ? "right" : "wrong";
  } else if (data == 0) {
    password = "no (no data part to encrypt)";
    if (o.password) check = "not needed";
  } else if (TryDataPart(l, hostFile, std::nullopt).ok) {
    password = "no (the data part reads without a key)";
    if (o.password) check = "not needed";
  } else {
    password = "yes (the data part does not read without a key)";
    if (o.password) check = TryDataPart(l, hostFile, *o.password).ok ? "right" : "wrong";
  }
  std::printf("password: %s\n", password.c_str());
  if (!check.empty()) std::printf("password check: %s\n", check.c_str());
  return result;
}

// --- package list --------------------------------------------------------------------------------

// "YYYY-MM-DD hh:mm:ss" of an engine date-time value; dashes for none.
std::string FormatDateTime(double value) {
  if (!(value > 0) || value > 2958466) return "---------- --:--:--";
  using namespace std::chrono;
  long long wholeDays = (long long)std::floor(value);
  long long seconds = std::llround((value - double(wholeDays)) * 86400.0);
  if (seconds >= 86400) ++wholeDays, seconds -= 86400;
  year_month_day date{sys_days{year{1899} / December / 30} + days{wholeDays}};
  return Format("%04d-%02u-%02u %02lld:%02lld:%02lld", int(date.year()), unsigned(date.month()), unsigned(date.day()),
                seconds / 3600, seconds / 60 % 60, seconds % 60);
}

std::string AttributeLetters(uint32_t a) {
  std::string s;
  s += a & 0x01 ? 'r' : '-';
  s += a & 0x02 ? 'h' : '-';
  s += a & 0x04 ? 's' : '-';
  s += a & 0x20 ? 'a' : '-';
  return s;
}

// What "list" and "extract" start with: the options, the package checked as
// the engine checks it, a throw-away machine, and the package's path as that
// machine sees it.
struct PackageRun {
  PackageOptions o;
  Layout l;
  Session session;
  std::string hostFile;
};

// Sets up `run`; -1 when it is ready, else the exit status to end with.
int StartPackageRun(const Args& args, bool allowOut, const char* usage, PackageRun& run) {
  int status = 2;
  if (!ParsePackageOptions(args, allowOut, usage, run.o, status)) return status;
  std::string error;
  if (!ReadValidLayout(run.o.file, run.l, error)) return Fail(error);
  if (!run.session.Start(error)) return Fail(error);
  run.hostFile = run.session.WindowsPath(run.l.native);
  if (run.hostFile.empty()) return Fail("the path " + Quote(run.l.native) + " cannot be reached as a Windows path");
  return -1;
}

int List(const Args& args) {
  PackageRun run;
  if (int status = StartPackageRun(args, false, "usage: vxtool package list FILE [--password P]", run); status >= 0)
    return status;
  const Layout& l = run.l;
  const std::string& hostFile = run.hostFile;
  // Every entry is skipped, so nothing is decompressed: a password would
  // change nothing here.
  EnumerateResult r = EnumeratePackage(hostFile, l.Scrambled(), std::nullopt,
                                       [](const Entry& e, std::string&, std::string&) {
                                         std::printf("%s %s %10u  %s\n", FormatDateTime(e.date).c_str(),
                                                     AttributeLetters(e.attributes).c_str(), e.size, e.name.c_str());
                                         return 0;
                                       });
  std::fflush(stdout);
  if (!r.ok) return Fail("the cabinet cannot be read: " + r.error);
  return 0;
}

// --- package extract -----------------------------------------------------------------------------

// Whether `path` lies strictly below `folder` (both absolute and normal).
bool IsBelow(const fs::path& path, const fs::path& folder) {
  fs::path rel = path.lexically_relative(folder);
  return !rel.empty() && *rel.begin() != ".." && *rel.begin() != ".";
}

// Moves every file below `stage` to the same place below `out`. Every
// destination is checked before anything moves, so that a conflict moves
// nothing: no folder on the way may be a file, no destination a folder,
// and no link on the way may lead outside `out`.
bool MoveIntoPlace(const fs::path& stage, const fs::path& out, std::vector<std::string>& moved, std::string& error) {
  std::error_code ec;
  std::vector<std::pair<fs::path, fs::path>> plan;
  for (fs::recursive_directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    fs::path rel = it->path().lexically_relative(stage);
    fs::path dest = out / rel;
    for (fs::path p = dest.parent_path(); p != out && IsBelow(p, out); p = p.parent_path()) {
      if (fs::exists(p, ec) && !fs::is_directory(p, ec)) {
        error = Quote(p.string()) + " is in the way of " + Quote(rel.string());
        return false;
      }
    }
    if (fs::is_directory(fs::symlink_status(dest, ec))) {
      error = "the folder " + Quote(dest.string()) + " is in the way of " + Quote(rel.string());
      return false;
    }
    fs::path real = fs::weakly_canonical(dest.parent_path(), ec);
    if (ec || (real != out && !IsBelow(real, out))) {
      error = Quote(rel.string()) + " would be written outside " + Quote(out.string()) + " through a link";
      return false;
    }
    plan.emplace_back(it->path(), dest);
  }
  if (ec) {
    error = "cannot read " + Quote(stage.string()) + ": " + ec.message();
    return false;
  }
  for (auto& [from, to] : plan) {
    fs::create_directories(to.parent_path(), ec);
    if (!ec) fs::rename(from, to, ec);
    if (ec) {
      error = "cannot write " + Quote(to.string()) + ": " + ec.message();
      return false;
    }
    moved.push_back(to.lexically_relative(out).string());
  }
  return true;
}

// The output folder, created when missing; whatever this run created is
// removed again when the extraction fails.
class OutputFolder {
 public:
  bool Open(const std::string& dir, std::string& error) {
    std::error_code ec;
    fs::path p = fs::absolute(dir, ec).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    for (fs::path q = p; !q.empty() && !fs::exists(q, ec); q = q.parent_path()) {
      created_.push_back(q);
      if (q == q.parent_path()) break;
    }
    fs::create_directories(p, ec);
    if (ec || !fs::is_directory(p, ec)) {
      error = "cannot create the folder " + Quote(dir);
      return false;
    }
    path_ = fs::canonical(p, ec);
    std::string pattern = (path_ / ".vxtool-extract-XXXXXX").string();
    if (ec || !::mkdtemp(pattern.data())) {
      error = "cannot write in the folder " + Quote(dir);
      return false;
    }
    stage_ = pattern;
    return true;
  }
  const fs::path& Path() const { return path_; }
  const fs::path& Stage() const { return stage_; }
  void Finish(bool success) {
    std::error_code ec;
    if (!stage_.empty()) fs::remove_all(stage_, ec);
    stage_.clear();
    if (!success)
      for (const fs::path& p : created_) fs::remove(p, ec);  // only while empty
    created_.clear();
  }
  ~OutputFolder() { Finish(false); }

 private:
  fs::path path_, stage_;
  std::vector<fs::path> created_;  // deepest first
};

// The data part's files against the digests vxbuild recorded in the
// package's database (the attribute "crc32c" of each file record): every
// extracted data entry must have its record and its digest, and every
// record with a digest must have been met. `names` are the data entries
// written below `stage` (a Windows folder with backslash). Returns the
// first damaged entry ("" when all hold) and counts the files checked; a
// "db.pdb" that does not read gives `unreadable` (nothing is checked).
std::string FirstDamagedEntry(const std::string& stage, const std::string& stageNative,
                              const std::vector<std::string>& names, size_t& checked, std::string& unreadable) {
  checked = 0;
  TvxPackage package;
  package.TempPath = stage;
  if (FileExists(stage + "db.pdb")) {
    try {
      LoadPackageDatabase(package);
    } catch (const std::exception& e) {
      unreadable = e.what();
      return "";
    }
  }
  std::map<std::string, TvxFileInfo*> records;
  bool digests = false;
  for (int i = 0; package.FileInfos && i < package.FileInfos->Count(); ++i) {
    auto* f = dynamic_cast<TvxFileInfo*>(&package.FileInfos->Get(i));
    if (!f) continue;
    records.emplace(UpperCase(f->Name), f);
    digests = digests || !f->Crc32c.empty();
  }
  std::set<const TvxFileInfo*> met;
  for (const std::string& name : names) {
    auto found = records.find(UpperCase(name.substr(5)));
    if (found == records.end()) {
      if (digests) return name;  // a damaged name
      continue;
    }
    met.insert(found->second);
    if (found->second->Crc32c.empty()) continue;
    // Read natively: the name may be longer than a Windows path.
    std::string rel = name;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    std::ifstream in(stageNative + rel, std::ios::binary);
    std::vector<char> buffer(1 << 16);
    uint32_t crc = 0;
    while (in) {
      in.read(buffer.data(), std::streamsize(buffer.size()));
      crc = Crc32c(crc, buffer.data(), size_t(in.gcount()));
    }
    if (!in.eof() || !SameText(DigestText(crc), found->second->Crc32c)) return name;
    ++checked;
  }
  for (auto& [key, record] : records)
    if (!record->Crc32c.empty() && !met.count(record)) return "data\\" + record->Name;  // lost from the cabinet
  return "";
}

// `package extract` and `package verify`: the whole package is extracted to
// a staging folder and checked; extract then moves it into place, verify
// throws it away.
int ExtractOrVerify(const Args& args, bool verifyOnly) {
  const char* usage = verifyOnly ? "usage: vxtool package verify FILE [--password P]"
                                 : "usage: vxtool package extract FILE [--password P] [--out DIR]";
  PackageRun run;
  int status = 2;
  if (!ParsePackageOptions(args, !verifyOnly, usage, run.o, status)) return status;
  const PackageOptions& o = run.o;
  const Layout& l = run.l;
  Session& session = run.session;
  std::string error;
  if (!ReadValidLayout(o.file, run.l, error)) return Fail(error);
  std::string outDir = o.out;
  struct Scratch {
    std::string path;
    ~Scratch() {
      std::error_code ec;
      if (!path.empty()) fs::remove_all(path, ec);
    }
  } scratch;
  if (verifyOnly) {
    std::string pattern = (fs::temp_directory_path() / "vxtool-verify-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return Fail("cannot create a temporary folder");
    outDir = scratch.path = pattern;
  }
  OutputFolder out;
  if (!out.Open(outDir, error)) return Fail(error);
  Scratch longStage;
  {
    std::string pattern = (fs::temp_directory_path() / "vxtool-long-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return Fail("cannot create a temporary folder");
    longStage.path = pattern;
  }
  if (!session.Start(error, out.Stage().string(), longStage.path)) return Fail(error);
  run.hostFile = session.WindowsPath(l.native);
  if (run.hostFile.empty()) return Fail("the path " + Quote(l.native) + " cannot be reached as a Windows path");
  const std::string& hostFile = run.hostFile;
  const std::string stage = Session::Stage();
  std::string stageNative = out.Stage().string() + "/";

  // Everything goes to the staging folder first, checked by the engine's
  // rule for entry names and again by where the name lands.
  size_t dataEntries = 0;
  std::vector<std::string> dataWritten;
  bool refused = false;  // an entry was refused: no password can change that
  // Entries written under a short name, with the native path they belong at.
  std::vector<std::pair<std::string, std::string>> longNames;
  auto target = [&](const Entry& e, std::string& path, std::string& failure) {
    if (!IsSafeEntryName(e.name)) {
      failure = "the package holds the unsafe entry name " + Quote(e.name) + "; nothing was extracted";
      refused = true;
      return -1;
    }
    path = stage + e.name;
    std::string native = session.Host().NativePath(path);
    if (native.empty() || native.size() >= VX_UNPACK_PATH_SIZE) {
      // Too long for a Windows path or for the library's buffer, not for
      // Linux: written under a short name, moved to its own name after.
      // The name is safe (above), so its place lies below the stage.
      std::string rel = e.name;
      std::replace(rel.begin(), rel.end(), '\\', '/');
      path = Session::LongStage() + std::to_string(longNames.size());
      std::string shortNative = session.Host().NativePath(path);
      if (shortNative.empty() || shortNative.size() >= VX_UNPACK_PATH_SIZE) {
        failure = "the entry " + Quote(e.name) + " cannot be written; nothing was extracted";
        refused = true;
        return -1;
      }
      longNames.emplace_back(shortNative, stageNative + rel);
      return 1;
    }
    if (native.compare(0, stageNative.size(), stageNative) != 0 || !ForceFolders(ExtractFileDir(path))) {
      failure = "the entry " + Quote(e.name) + " cannot be written below the output folder; nothing was extracted";
      refused = true;
      return -1;
    }
    return 1;
  };

  auto placeLongNames = [&](std::string& failure) {
    for (auto& [from, to] : longNames) {
      std::error_code ec;
      fs::create_directories(fs::path(to).parent_path(), ec);
      fs::rename(from, to, ec);
      if (ec) {  // another file system: copy
        ec.clear();
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
        fs::remove(from);
      }
      if (ec) {
        failure = "cannot write " + Quote(to) + ": " + ec.message() + "; nothing was extracted";
        return false;
      }
    }
    longNames.clear();
    return true;
  };

  // The preparation part is never encrypted: it is read without a key,
  // as the engine's preparation reads it.
  EnumerateResult r = EnumeratePackage(hostFile, l.Scrambled(), std::nullopt,
                                       [&](const Entry& e, std::string& path, std::string& failure) {
                                         if (IsDataEntry(e.name)) {
                                           ++dataEntries;
                                           return 0;
                                         }
                                         return target(e, path, failure);
                                       });
  if (!r.ok) return Fail(refused ? r.error : "the package is damaged: " + r.error + "; nothing was extracted");
  if (!placeLongNames(error)) return Fail(error);

  // A setup file says in its project database whether there is a password.
  std::optional<std::string> key = o.password;
  MainDatabaseFacts main = ReadMainDatabase(stage);
  if (main.present && !main.readable)
    std::fprintf(stderr, "vxtool: main.pdb cannot be read (%s); the password is not checked\n", main.error.c_str());
  if (main.readable && HasPassword(main.checkHash)) {
    if (!o.password) return Fail("the package has a password: give it with --password; nothing was extracted");
    if (!CheckPassword(*o.password, main.checkHash)) return Fail("the password is wrong; nothing was extracted");
  } else if (main.readable && key) {
    std::fprintf(stderr, "vxtool: the package has no password; --password is not used\n");
    key.reset();
  }

  if (dataEntries > 0) {
    auto data = [&](const Entry& e, std::string& path, std::string& failure) {
      if (!IsDataEntry(e.name)) return 0;
      int answer = target(e, path, failure);
      if (answer == 1) dataWritten.push_back(e.name);
      return answer;
    };
    r = EnumeratePackage(hostFile, l.Scrambled(), key, data);
    // A ".vxp" says nothing about its password: one that reads without
    // the key has none.
    if (!r.ok && !refused && key && !main.present) {
      std::vector<std::string> keyed;
      keyed.swap(dataWritten);
      EnumerateResult plain = EnumeratePackage(hostFile, l.Scrambled(), std::nullopt, data);
      if (plain.ok) {
        std::fprintf(stderr, "vxtool: the package has no password; --password is not used\n");
        r = plain;
        key.reset();
      } else {
        dataWritten.swap(keyed);
      }
    }
    if (!r.ok) {
      if (refused) return Fail(r.error);
      // With the project database read, the password (or its absence) is
      // known to be right: only damage is left.
      if (main.readable) return Fail("the data part is damaged: " + r.error + "; nothing was extracted");
      if (key)
        return Fail("the data part cannot be read with this password (wrong password or damaged package): " + r.error +
                    "; nothing was extracted");
      return Fail("the data part cannot be read (the package is damaged, or it needs a password: give it with "
                  "--password): " + r.error + "; nothing was extracted");
    }
  }

  if (!placeLongNames(error)) return Fail(error);

  // What the cabinet's checksums cannot see (encrypted blocks carry none,
  // and its file table has none) the recorded digests do.
  size_t checked = 0;
  std::string unreadable;
  std::string damaged = FirstDamagedEntry(stage, stageNative, dataWritten, checked, unreadable);
  if (!unreadable.empty()) {
    // A package's own database always reads in a package vxbuild wrote.
    if (verifyOnly) return Fail("db.pdb is damaged (" + unreadable + ")");
    std::fprintf(stderr, "vxtool: db.pdb cannot be read (%s); the files are not checked against digests\n",
                 unreadable.c_str());
  }
  if (!damaged.empty()) {
    std::string why = key && !main.readable ? " (or the package was packed with another password)" : "";
    return Fail("the file " + Quote(damaged) + " is damaged" + why + "; nothing was extracted");
  }

  if (verifyOnly) {
    std::printf("%s: intact (%zu data files, %zu with a recorded digest checked)\n", o.file.c_str(),
                dataWritten.size(), checked);
    return 0;
  }
  std::vector<std::string> moved;
  if (!MoveIntoPlace(out.Stage(), out.Path(), moved, error)) return Fail(error + "; nothing was extracted");
  out.Finish(true);
  std::sort(moved.begin(), moved.end());
  for (const std::string& m : moved) std::printf("%s\n", m.c_str());
  return 0;
}

int Extract(const Args& args) { return ExtractOrVerify(args, false); }

int Package(const Args& args) {
  if (!args.empty() && args[0] == "info") return Info(args);
  if (!args.empty() && args[0] == "list") return List(args);
  if (!args.empty() && args[0] == "extract") return Extract(args);
  if (!args.empty() && args[0] == "verify") return ExtractOrVerify(args, true);
  return Usage("usage: vxtool package info|list|extract|verify FILE [--password P] [--out DIR]");
}

// --- db, hash, password-hash, decrypt ------------------------------------------------------------

int Db(const Args& args) {
  if (args.size() != 2 || args[0] != "decrypt") return Usage("usage: vxtool db decrypt FILE");
  std::string bytes;
  if (!ReadNativeFile(args[1], bytes) || fs::is_directory(args[1])) return Fail("cannot read " + Quote(args[1]));
  std::string text = DecryptDatabase(bytes);
  if (text.empty()) return 0;  // an empty database holds nothing
  TXMLTag tag;
  try {
    tag.Parse(text);
  } catch (const std::exception& e) {
    return Fail(Quote(args[1]) + " does not decrypt to XML (not a package database, or damaged): " + e.what());
  }
  if (tag.Kind != TXMLTagKind::Element || tag.Name.empty())
    return Fail(Quote(args[1]) + " does not decrypt to XML (not a package database, or damaged)");
  Print(text);
  return 0;
}

int Hash(const Args& args) {
  if (args.size() != 1) return Usage("usage: vxtool hash TEXT");
  std::printf("%s\n", HashHex(args[0]).c_str());
  return 0;
}

int PasswordHash(const Args& args) {
  if (args.size() != 1) return Usage("usage: vxtool password-hash PASSWORD");
  std::printf("%s\n", PasswordCheckHash(args[0]).c_str());
  return 0;
}

// "N,N,..." as unit lengths; false when one is not a positive number.
bool ParseUnits(const std::string& text, std::vector<uint64_t>& units) {
  for (const std::string& part : SplitString(text, ',')) {
    if (part.empty() || part.size() > 12 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    uint64_t n = std::stoull(part);
    if (n == 0) return false;
    units.push_back(n);
  }
  return !units.empty();
}

int Decrypt(const Args& args) {
  const char* usage = "usage: vxtool decrypt --key-text TEXT [--units N,N,...] FILE";
  std::optional<std::string> keyText;
  std::vector<uint64_t> units;
  std::vector<std::string> positional;
  int status = WalkOptions(args, 0, usage, positional, [&](const std::string& a, const auto& value) {
    const std::string* v = nullptr;
    if (a == "--key-text" && (v = value())) {
      keyText = *v;
    } else if (a == "--units" && (v = value())) {
      units.clear();
      if (!ParseUnits(*v, units)) return Usage("--units needs positive lengths separated by commas");
    } else {
      return kOptionUnknown;
    }
    return kOptionTaken;
  });
  if (status != kOptionTaken) return status;
  if (!keyText || positional.size() != 1) return Usage(usage);
  std::string bytes;
  if (!ReadNativeFile(positional[0], bytes) || fs::is_directory(positional[0]))
    return Fail("cannot read " + Quote(positional[0]));
  uint64_t sum = 0;
  for (uint64_t u : units) sum += u;
  if (sum > bytes.size())
    return Fail("the units add up to " + std::to_string(sum) + " bytes, the file has " + std::to_string(bytes.size()));
  if (sum < bytes.size()) units.push_back(bytes.size() - sum);  // the rest is one more unit

  Key256 key = HashText(*keyText);
  CipherState state;
  StartCipher(state, key.data(), 256);
  SecureWipe(key.data(), key.size());
  size_t at = 0;
  for (uint64_t u : units) {
    DecryptStream(state, bytes.data() + at, bytes.data() + at, size_t(u));
    at += size_t(u);
  }
  WipeCipher(state);
  Print(bytes);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

Register packageCommand({"package", "look into setup files and packages (info, list, extract, verify)", Package});
Register dbCommand({"db", "print a package database as XML (decrypt)", Db});
Register hashCommand({"hash", "the package format's hash of a text", Hash});
Register passwordHashCommand({"password-hash", "the PswCheckHash value of a password", PasswordHash});
Register decryptCommand({"decrypt", "decrypt data with a key derived from a text", Decrypt});

}  // namespace
}  // namespace vxtool
