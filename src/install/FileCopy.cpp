#include "install/FileCopy.h"

#include <algorithm>

#include "database/Variables.h"
#include "install/Actions.h"
#include "install/UninstallLog.h"
#include "package/DCPcrypt.h"
#include "package/FileDigest.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "package/VXUnpacker.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

constexpr char kSharedDllsKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\";
constexpr char kGacPrefix[] = "%GAC%\\";
constexpr char kMsgDamagedFile[] = "The file \"%s\" in the package \"%s\" is damaged; it cannot be installed.";
constexpr char kMsgDamagedPackage[] = "The package \"%s\" is damaged: %s";

// An absolute Windows path: "X:\..." or "\\server\share\...".
bool IsAbsolute(const std::string& path) {
  return (path.size() >= 3 && path[1] == ':' && path[2] == '\\') || path.rfind("\\\\", 0) == 0;
}

// A bare drive root ("C:", "C:\").
bool IsDriveRoot(const std::string& path) {
  std::string p = ExcludeTrailingBackslash(path);
  return p.size() == 2 && p[1] == ':';
}

// A destination in the global assembly cache: the file is written to a
// temporary folder and handed to the assembly cache tool from there.
bool IsGacDestination(const std::string& path) { return StartsWithText(path, kGacPrefix); }

// Whether a packed name can name a file of its own below its destination
// folder: a safe name (nothing that leads out of the folder) whose every
// part is a name Windows can create (no wildcard or other character it
// forbids, no device name such as "CON" or "NUL.TXT") and that ends in a
// file name, not in a folder.
bool IsFileEntryName(const std::string& name) {
  if (!IsSafeEntryName(name) || name.back() == '\\' || name.back() == '/') return false;
  if (name.find_first_of("<>\"|?*") != std::string::npos) return false;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (size_t start = 0; start < name.size();) {
    size_t end = std::min(name.find_first_of("\\/", start), name.size());
    std::string part = name.substr(start, end - start);
    start = end + 1;
    std::string base = UpperCase(Trim(part.substr(0, part.find('.'))));
    for (const char* device : kDevices)
      if (base == device) return false;
    if (base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
        base[3] <= '9')
      return false;
  }
  return true;
}

int Percent(uint64_t done, uint64_t size) {
  if (size == 0) return 100;  // an empty file (or copy) is complete at once
  return int(std::min<uint64_t>(100, done * 100 / size));
}

}  // namespace

FileInstaller::FileInstaller(InstallRun& run) : run_(run) {}
FileInstaller::~FileInstaller() = default;

// --- Progress ------------------------------------------------------------------------

void FileInstaller::AddProgress(uint64_t bytes) {
  progress_.done += bytes;
  progress_.fileDone += bytes;
}

void FileInstaller::SendProgress() {
  run_.events.FileProgress(Percent(progress_.fileDone, progress_.fileSize), Percent(progress_.done, progress_.total));
}

// --- Items and destinations -------------------------------------------------------------

std::string FileInstaller::Destination(const TvxFile& item, const std::string& name) {
  TXMLObject* db = OwningDatabase(&item);
  std::string source = name;
  if (!externalPass_) {
    PackedName packed;
    if (ParsePackedName(name, packed)) source = packed.relative;
  }
  return ItemDestination(ExpandString(db, item.Src), ExpandString(db, item.Dst), source).path;
}

// A destination the copy may write: an absolute path, from an item whose
// destination names more than a bare drive, or a file name in the global
// assembly cache. Anything else (a variable that expanded to nothing, say)
// is refused with a message before a byte is written.
bool FileInstaller::DestinationAllowed(const TvxFile& item, const std::string& destination) {
  std::string dst = ExpandString(OwningDatabase(&item), item.Dst);
  // Only the name of an assembly's destination is used (below).
  bool gac = IsGacDestination(destination) && !ExtractFileName(destination).empty();
  bool ok = gac || (!Trim(dst).empty() && !IsDriveRoot(dst) && IsAbsolute(destination));
  if (!ok) {
    RunLog("file", "refused destination " + LogQuote(destination) + " of " + LogQuote(item.Src));
    Fail(Format("The destination \"%s\" of the file \"%s\" is not a valid path.", destination.c_str(),
                item.Src.c_str()));
  }
  return ok;
}

std::string FileInstaller::SourceVersion(const std::string& name) const {
  if (externalPass_) {
    uint32_t ms = 0, ls = 0;
    std::string text;
    if (!GetFileVersion(name, ms, ls, text)) return "";
    return Format("%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
  }
  return fileInfo_ ? fileInfo_->Version : "";
}

// --- The two notifications --------------------------------------------------------------

int FileInstaller::Fail(const std::string& text) {
  run_.Error(text);
  run_.events.AbortInstall();
  return kExtractError;
}

bool FileInstaller::Skip(const FileItemEvent& event, uint32_t size, bool haveItem) {
  if (flags_.Contains(TvxFlag::shared) && !IncrementSharedCount(event.path)) {
    Fail(run_.Message(20, event.path));
    return false;
  }
  if (flags_.Contains(TvxFlag::reg_server) && targetExisted_) {
    // The file already there is still registered; rollback leaves it be. (A
    // new file that a plug-in skipped is not there to register.)
    TInstallFile* kept = run_.actions.AddAction<TInstallFile>();
    kept->FileName = event.path;
    kept->Flags = flags_;
    kept->Log = false;
    kept->DontRollback = true;
    if (run_.actions.Failed()) {
      Fail(run_.Message(11, event.path));
      return false;
    }
  }
  if (haveItem) run_.events.FileDone(event);
  progress_.fileSize = size;
  progress_.fileDone = 0;
  AddProgress(size);
  SendProgress();
  return true;
}

int FileInstaller::BeforeExtractFile(const std::string& name, uint32_t size, uint32_t attributes,
                                     std::string& destination, double date) {
  // Between two files the worker may be held (SuspendInstall).
  CurrentHost().WorkerCheckpoint();
  // An abort stops the copy at the next file, also where no block is
  // written any more (a run of skipped files).
  if (run_.Aborted()) return kExtractError;
  targetExisted_ = false;
  assemblyPending_ = false;
  flags_ = TvxFlags();
  FileItemEvent event;
  event.size = size;
  event.attributes = attributes;
  event.dosDateTime = DateTimeToDosDateTime(date);
  if (!externalPass_) {
    // A packed name that would lead out of its destination folder is
    // damaged or hostile: nothing of it is written.
    if (IsDataEntry(name) && !IsFileEntryName(name)) {
      lastPath_ = name;
      return Fail(Format("The package entry \"%s\" is not a valid file name.", name.c_str()));
    }
    if (!indexes_) indexes_ = std::make_unique<ComponentItemIndexes>(*run_.db.Components);
    item_ = indexes_->FindItem(name, false);
    fileInfo_ = nullptr;
    if (package_ && name.size() > 5) {
      auto found = infoIndex_.find(UpperCase(std::string_view(name).substr(5)));
      if (found != infoIndex_.end()) fileInfo_ = found->second;
    }
    if (package_ && packageDigests_ && IsDataEntry(name)) {
      // A data entry that no record names has a damaged name (or the
      // package's database is not its own).
      if (!fileInfo_) {
        lastPath_ = name;
        return Fail(Format(kMsgDamagedFile, name.c_str(), package_->FullFileName.c_str()));
      }
      recordsMet_.insert(fileInfo_);
    }
  }
  if (!item_ || !IsAvailable(item_)) return Skip(event, size, false) ? kExtractSkip : kExtractError;

  flags_ = item_->Flags;
  event.path = Destination(*item_, name);
  if (!DestinationAllowed(*item_, event.path)) return kExtractError;
  lastPath_ = event.path;
  bool folderEntry = ExtractFileName(event.path) == ".";
  bool skip = false;
  if (!folderEntry) {
    skip = run_.events.SkipFile(event);
    // A plug-in may have changed variables the destination uses.
    event.path = Destination(*item_, name);
    if (!DestinationAllowed(*item_, event.path)) return kExtractError;
    lastPath_ = event.path;
    // Known also when a plug-in skipped the file: the shared count of a
    // file that was there before counts that earlier installation.
    if (FileExists(event.path)) {
      targetExisted_ = true;
      if (flags_.Contains(TvxFlag::dont_overwrite) && !flags_.Contains(TvxFlag::reg_font)) skip = true;
    }
    if (!skip && run_.Protected(event.path)) skip = true;
    // Versions are compared with a file that is there; an absent one is
    // neither newer nor the same.
    if (!skip && targetExisted_ && !flags_.Contains(TvxFlag::no_version) && !flags_.Contains(TvxFlag::reg_font)) {
      std::string version = SourceVersion(name);
      if (IsDestNewer(version, event.path, date)) {
        if (flags_.Contains(TvxFlag::dont_ask)) {
          skip = true;
        } else {
          if (overwriteAnswer_ != 3 && overwriteAnswer_ != 4) {
            int answer = run_.events.VersionConflict(event.path);
            if (answer >= 1 && answer <= 4) overwriteAnswer_ = answer;
          }
          skip = overwriteAnswer_ != 2 && overwriteAnswer_ != 4;
        }
      } else if (IsSameVersion(version, event.path, date)) {
        if (FileSize(event.path) == int64_t(size) && !run_.state.repair) skip = true;
      }
    }
    run_.events.FileDecided(event, skip);
    if (skip) return Skip(event, size, true) ? kExtractSkip : kExtractError;
  }

  // Write branch.
  std::string path = event.path;
  std::string fileName = ExtractFileName(path);
  if (IsGacDestination(path)) {
    const std::string& gac = run_.db.TempGACPath;
    path = gac + UniqueName(gac) + "\\" + fileName;
    assemblyPending_ = true;
  }
  std::string folder = ExtractFilePath(path);
  if (folder.empty() || !SameText(folder, readyFolder_)) {
    readyFolder_.clear();
    bool folderReady = run_.actions.ForceFolders(folder, !flags_.Contains(TvxFlag::dont_log) && !assemblyPending_);
    if (run_.actions.Failed() || !folderReady) return Fail(run_.Message(11, fileName));
    if (!assemblyPending_) readyFolder_ = folder;
  }
  if (folderEntry) return kExtractSkip;

  progress_.fileSize = size;
  progress_.fileDone = 0;
  if (flags_.Contains(TvxFlag::reg_font)) {
    // The font is written aside and installed later with the others.
    destination = IncludeTrailingBackslash(run_.db.TempFontsPath) + fileName;
    run_.actions.AddFontFile(path, destination, flags_, fileInfo_ ? fileInfo_->FontName : "");
  } else {
    TInstallFile* file = run_.actions.AddFile(path, flags_, true);
    destination = file->PendingReplace ? file->TmpFileName : path;
  }
  // A file in use whose folder takes no temporary file cannot be replaced
  // at all (not even at the restart).
  if (run_.actions.Failed() || destination.empty()) return Fail(run_.Message(11, path));
  lastPath_ = path;
  return kExtractWrite;
}

int FileInstaller::AfterExtractFile(const std::string& name, uint32_t size, uint32_t attributes,
                                    const std::string& destination, double date) {
  // The bytes written must be the ones packed: nothing else counts as
  // installed (the file's action is recorded, so rollback removes it).
  if (!externalPass_ && fileInfo_ && !fileInfo_->Crc32c.empty() &&
      (!unpacker_ || unpacker_->WrittenBytes() != size ||
       !SameText(DigestText(unpacker_->WrittenDigest()), fileInfo_->Crc32c))) {
    RunLog("file", "damaged " + LogQuote(name) + " written to " + LogQuote(destination));
    return Fail(Format(kMsgDamagedFile, lastPath_.c_str(), package_ ? package_->FullFileName.c_str() : ""));
  }
  if (assemblyPending_) {
    std::string tool = run_.db.Packages->Count() > 0 ? (*run_.db.Packages)[0].TempPath + "gacutil.exe" : "";
    std::string reference = AssemblyReference(&run_.db);
    std::string arguments = Format("/ir \"%s\"%s", destination.c_str(), reference.c_str());
    if (RunAndWait(0, tool, arguments, kSwHide, "") != 0)
      return Fail("Cannot register assembly " + ExtractFileName(destination));
    if (!flags_.Contains(TvxFlag::dont_log))
      run_.log.WriteAssembly(
          AssemblyRecord(ExtractFileName(destination), fileInfo_ ? fileInfo_->AssemblyData : "", reference));
  }
  if (flags_.Contains(TvxFlag::shared) && !IncrementSharedCount(lastPath_)) return Fail(run_.Message(20, lastPath_));
  FileItemEvent event;
  event.path = lastPath_;
  event.size = size;
  event.attributes = attributes;
  event.dosDateTime = DateTimeToDosDateTime(date);
  run_.events.FileDone(event);
  return kExtractWrite;
}

// --- Shared files and the engine's helper programs --------------------------------------

bool FileInstaller::IncrementSharedCount(const std::string& path) {
  // The log's record says the file was counted (by this run, or by the run
  // this one resumes); without a log the run remembers it itself, so that a
  // file two items install is not counted twice.
  std::string key = UpperCase(path);
  if (counted_.count(key) || run_.log.LogKeyExists(LogKind::SharedFiles, path)) return true;
  uint32_t count = RegReadDword(kSharedDllsKey, path, 0);
  if (targetExisted_ && count == 0) count = 1;
  // The count is a change like any other: rollback gives back the value, or
  // its absence, that was there. The uninstaller keeps counts through the
  // SharedFiles records, so these actions write no records of their own.
  int first = run_.actions.Count();
  bool keyReady = run_.actions.ForceKeys(kSharedDllsKey, true);
  for (int i = first; i < run_.actions.Count(); ++i) run_.actions[i].Log = false;
  if (!keyReady || run_.actions.Failed()) return false;
  auto change = std::make_unique<TInstallReg>(&run_.actions);
  CaptureRegValue(kSharedDllsKey, path, *change);
  change->Log = false;
  run_.actions.AddAction(std::move(change));
  if (run_.actions.Failed()) return false;
  bool written = RegWriteDword(kSharedDllsKey, path, count + 1);
  run_.log.LogWrite(LogKind::SharedFiles, path);
  if (written) counted_.insert(key);
  return written;
}

bool FileInstaller::CopySystemFile(const std::string& source, const std::string& destination, bool log) {
  if (!FileExists(source)) return true;
  TInstallFile* file = run_.actions.AddFile(destination, TvxFlags(), true);
  file->Log = log;
  std::string target = file->PendingReplace ? file->TmpFileName : destination;
  run_.actions.ForceFolders(ExtractFilePath(destination), true);
  if (run_.actions.Failed() || !CopyFileChunked(source, target)) {
    run_.Error(Format("Cannot copy system file \"%s\".", destination.c_str()));
    return false;
  }
  return true;
}

// --- The copy ------------------------------------------------------------------------

void FileInstaller::BeginCopy() {
  overwriteAnswer_ = 1;
  missingSource_ = false;
  progress_ = Progress();
  readyFolder_.clear();
  indexes_ = std::make_unique<ComponentItemIndexes>(*run_.db.Components);
  TvxPackages& packages = *run_.db.Packages;
  for (int i = 0; i < packages.Count(); ++i)
    progress_.total += uint64_t(std::max(0, packages[i].PresetupSize)) + uint64_t(std::max(0, packages[i].DataSize));
}

void FileInstaller::BeginPackage(TvxPackage& package) {
  package_ = &package;
  externalPass_ = false;
  // The package's file records by name, so that finding a file's record
  // does not cost a scan of all of them; the first record of a name wins,
  // as in a scan.
  infoIndex_.clear();
  packageDigests_ = false;
  recordsMet_.clear();
  if (package.FileInfos) {
    TvxFileInfos& infos = *package.FileInfos;
    infoIndex_.reserve(size_t(infos.Count()));
    for (int i = 0; i < infos.Count(); ++i) {
      if (auto* f = dynamic_cast<TvxFileInfo*>(&infos.Get(i))) {
        infoIndex_.emplace(UpperCase(f->Name), f);
        packageDigests_ = packageDigests_ || !f->Crc32c.empty();
      }
    }
  }
}

int FileInstaller::ExtractProgress(uint32_t bytes) {
  CurrentHost().WorkerCheckpoint();
  AddProgress(bytes);
  SendProgress();
  return run_.Aborted() ? -1 : 1;
}

bool FileInstaller::CopyFiles() {
  BeginCopy();
  TvxPackages& packages = *run_.db.Packages;
  bool result = true;
  bool password = HasPassword(GetVariable(&run_.db, "PswCheckHash"));
  bool reported = false;  // a damaged package was reported with its own message
  for (int i = 0; i < packages.Count() && result; ++i) {
    BeginPackage(packages[i]);
    TvxUnpacker unpacker(package_->FullFileName, (package_->Flags & 1) != 0);
    if (password) unpacker.UsePassword(run_.db.Password);
    unpacker_ = &unpacker;
    result = unpacker.Enumerate(
        [this](const std::string& entry, uint32_t size, uint32_t attributes, double date, std::string& target) {
          int answer = BeforeExtractFile(entry, size, attributes, target, date);
          return answer == kExtractError ? -1 : answer;
        },
        [this](const std::string& entry, uint32_t size, uint32_t attributes, double date, const std::string& target) {
          return AfterExtractFile(entry, size, attributes, target, date) == kExtractError ? -1 : 1;
        },
        [this](const std::string&, const std::string&, uint32_t, uint32_t blockLength, uint32_t) {
          return ExtractProgress(blockLength);
        },
        [this](const std::string& cabinet, std::string& folder) {
          while (!FileExists(IncludeTrailingBackslash(folder) + cabinet)) {
            if (!run_.events.LocatePackage(cabinet, folder)) {
              run_.events.AbortInstall();
              return false;
            }
          }
          folder = IncludeTrailingBackslash(folder);
          return true;
        });
    unpacker_ = nullptr;
    // An answer that stops the enumeration ends it as a success: a stop
    // because of an error or an abort is known by the abort flag.
    if (!result) {
      RunLog("file", "extraction of " + LogQuote(package_->FullFileName) + " failed: " + unpacker.LastError());
      // The cabinet itself cannot be read: its checksums or its compressed
      // data do not hold.
      if (!run_.Aborted()) {
        run_.Error(Format(kMsgDamagedPackage, package_->FullFileName.c_str(),
                          (unpacker.LastError().empty() ? std::string("its files cannot be read") : unpacker.LastError()).c_str()));
        reported = true;
      }
    } else if (!run_.Aborted() && packageDigests_) {
      // Every recorded file must have been met: a cabinet whose file table
      // lost entries still reads without an error.
      TvxFileInfos& infos = *package_->FileInfos;
      for (int k = 0; k < infos.Count() && result; ++k) {
        auto* f = dynamic_cast<TvxFileInfo*>(&infos.Get(k));
        if (f && !f->Crc32c.empty() && !recordsMet_.count(f)) {
          lastPath_ = "data\\" + f->Name;
          Fail(Format(kMsgDamagedFile, lastPath_.c_str(), package_->FullFileName.c_str()));
          result = false;
        }
      }
    }
    result = result && !run_.Aborted();
  }

  if (result && !run_.Aborted()) {
    externalPass_ = true;
    result = ForEachComponent(run_, [this](TvxPackage* package, TvxComponent& component) {
      return CopyExternalFiles(package, component);
    });
  }
  // A missing source is reported with its own message below.
  if (missingSource_) run_.state.abort = false;
  if (!result && !run_.Aborted() && !reported) run_.Error(run_.Message(11, lastPath_));
  if (run_.Aborted()) {
    run_.events.AbortInstall();
    return false;
  }
  return result;
}

// --- Removal --------------------------------------------------------------------------

bool FileInstaller::RemoveFiles(TvxPackage* package, TvxComponent& component) {
  (void)package;
  TvxFiles& files = *component.Files;
  for (int i = 0; i < files.Count() && !run_.Aborted(); ++i) {
    TvxFile& item = files[i];
    if (item.Action != TvxInstallAction::remove || !IsAvailable(&item)) continue;
    std::string pattern = ExpandString(OwningDatabase(&item), item.Dst);
    // Removing everything on a drive, or a relative path, is never meant.
    std::string mask = ExtractFileName(pattern);
    if (!IsAbsolute(pattern) || (IsDriveRoot(ExtractFilePath(pattern)) && (mask == "*" || mask == "*.*"))) continue;
    std::vector<FindEntry> entries;
    uint32_t error = 0;
    CurrentHost().ListFolder(ExtractFilePath(pattern), ExtractFileName(pattern), entries, error);
    for (const FindEntry& e : entries) {
      if (e.attributes & (kAttrDirectory | kAttrVolume)) continue;
      std::string path = ExtractFilePath(pattern) + e.name;
      if (run_.Protected(path)) continue;
      FileItemEvent event;
      event.path = path;
      event.size = uint32_t(e.size);
      event.attributes = e.attributes;
      event.dosDateTime = DateTimeToDosDateTime(FileDate(path));
      event.removal = true;
      if (run_.events.SkipFile(event)) continue;
      TInstallFile* removed = run_.actions.AddFile(path, item.Flags, true);
      if (removed->PendingReplace && !removed->TmpFileName.empty()) {
        // A file in use that is to go is deleted at the restart: the
        // temporary file that would take new content would replace it
        // with an empty file instead.
        DeleteFileForced(removed->TmpFileName);
        removed->TmpFileName.clear();
      }
      run_.events.FileDone(event);
    }
  }
  return true;
}

// --- External files ---------------------------------------------------------------------

bool FileInstaller::CopyExternalFiles(TvxPackage* package, TvxComponent& component) {
  package_ = package;
  TvxFiles& files = *component.Files;
  for (int i = 0; i < files.Count(); ++i) {
    if (run_.Aborted()) return false;
    TvxFile& item = files[i];
    if (!item.Flags.Contains(TvxFlag::external) || item.Action == TvxInstallAction::remove || !IsAvailable(&item))
      continue;
    item_ = &item;
    fileInfo_ = nullptr;
    std::string pattern = ExpandString(OwningDatabase(&item), item.Src);
    bool ok = HasWildcard(pattern) ? CopyPattern(pattern) : CopyExternalFile(pattern);
    if (!ok) return false;
  }
  return true;
}

bool FileInstaller::CopyPattern(const std::string& pattern) {
  Host& host = CurrentHost();
  std::string folder = ExtractFilePath(pattern), mask = ExtractFileName(pattern);
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  host.ListFolder(folder, mask, entries, error);
  bool any = false;
  for (const FindEntry& e : entries) {
    if (e.attributes & (kAttrDirectory | kAttrVolume)) continue;
    any = true;
    if (!CopyExternalFile(folder + e.name)) return false;
  }
  if (!any) {
    // Nothing matched: the folder itself is still created.
    std::string destination;
    if (BeforeExtractFile(folder + ".", 0, 0, destination, 0) == kExtractError) return false;
  }
  std::vector<FindEntry> subfolders;
  host.ListFolder(folder, mask, subfolders, error);
  for (const FindEntry& e : subfolders) {
    if (!(e.attributes & kAttrDirectory) || e.name == "." || e.name == "..") continue;
    if (run_.Aborted()) return false;
    if (!CopyPattern(folder + e.name + "\\" + mask)) return false;
  }
  return true;
}

bool FileInstaller::CopyExternalFile(const std::string& source) {
  if (!FileExists(source)) {
    lastPath_ = source;
    missingSource_ = true;
    run_.events.AbortInstall();
    return false;
  }
  int64_t size = FileSize(source);
  uint32_t attributes = CurrentHost().GetAttributes(source);
  double date = FileDate(source);
  std::string destination;
  int answer = BeforeExtractFile(source, uint32_t(std::max<int64_t>(0, size)), attributes, destination, date);
  if (answer == kExtractError) return false;
  if (answer != kExtractWrite) return true;

  CipherState cipher;
  CopyTransform transform;
  if (item_->Flags.Contains(TvxFlag::encrypt)) {
    Key256 key = HashText(run_.db.Password);
    StartCipher(cipher, key.data(), 256, nullptr);
    transform = [&cipher](char* buffer, size_t count) { DecryptStream(cipher, buffer, buffer, count); };
  }
  bool copied = CopyFileChunked(
      source, destination,
      [this](const std::string&, const std::string&, uint32_t chunk, int64_t, int64_t) {
        CurrentHost().WorkerCheckpoint();
        AddProgress(chunk);
        SendProgress();
        return !run_.Aborted();
      },
      false, transform);
  WipeCipher(cipher);
  if (copied) return AfterExtractFile(source, uint32_t(std::max<int64_t>(0, size)), attributes, destination, date) !=
                     kExtractError;
  if (!run_.Aborted()) {
    lastPath_ = source;
    missingSource_ = true;
    run_.events.AbortInstall();
  }
  return false;
}

}  // namespace vx
