// The file phase of an installation: every file item of the chosen
// components is written to its destination (out of the packages through
// the extraction library, or copied from the source media when it is
// external) or removed, with the version rules, backups of what it
// replaces, files in use replaced at the next restart, and shared-file
// counts.
//
// The copy runs on the worker thread of the install driver; the removal
// step runs before it on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "database/VXClasses.h"
#include "install/InstallRun.h"
#include "install/ItemLookup.h"
#include "package/VXUnpacker.h"

namespace vx {

class TInstallFile;

// What BeforeExtractFile answers: write the file, skip it, or stop.
enum : int { kExtractSkip = 0, kExtractWrite = 1, kExtractError = 255 };

class FileInstaller {
 public:
  explicit FileInstaller(InstallRun& run);
  ~FileInstaller();

  // The whole copy: every package through the extraction library, then the
  // external files. Reports its own errors; false when the copy failed or
  // was aborted.
  bool CopyFiles();

  // The steps of the copy as the extraction library drives them, in this
  // order: BeginCopy once (the answer to version conflicts and the progress
  // totals start afresh), BeginPackage before the entries of each package,
  // then for every entry BeforeExtractFile, ExtractProgress for each block
  // written and AfterExtractFile.
  void BeginCopy();
  void BeginPackage(TvxPackage& package);
  // A block of `bytes` was written: progress is sent; -1 asks the library
  // to stop (the run was aborted), else 1.
  int ExtractProgress(uint32_t bytes);

  // For ForEachComponent before the copy: the component's items with the
  // action "remove". Always true.
  bool RemoveFiles(TvxPackage* package, TvxComponent& component);
  // For ForEachComponent during the copy: the component's external files.
  bool CopyExternalFiles(TvxPackage* package, TvxComponent& component);

  // The decision about one file before it is written (the extraction
  // library's copy notification, also used for external files). `name` is
  // the packed name, or in the external pass the source path. On
  // kExtractWrite `destination` is where the bytes go.
  int BeforeExtractFile(const std::string& name, uint32_t size, uint32_t attributes, std::string& destination,
                        double date);
  // After the file was written and closed: kExtractWrite to go on,
  // kExtractError to stop.
  int AfterExtractFile(const std::string& name, uint32_t size, uint32_t attributes, const std::string& destination,
                       double date);

  // Counts one more installation of a shared file under SharedDLLs (once
  // per file and run, also when the run writes no uninstall log).
  bool IncrementSharedCount(const std::string& path);
  // Copies one of the engine's helper programs into place, with a backup
  // of what it replaces; a missing source is no error.
  bool CopySystemFile(const std::string& source, const std::string& destination, bool log);

  // Whether the file whose shared count is incremented next existed before
  // the installation (a count of 0 then stands for one installation).
  void SetTargetExisted(bool existed) { targetExisted_ = existed; }

  // The last file the copy wrote or missed (for the failure message).
  const std::string& LastPath() const { return lastPath_; }

 private:
  struct Progress {
    uint64_t total = 0, done = 0;
    uint64_t fileSize = 0, fileDone = 0;
  };

  std::string Destination(const TvxFile& item, const std::string& name);
  bool DestinationAllowed(const TvxFile& item, const std::string& destination);
  bool Skip(const FileItemEvent& event, uint32_t size, bool haveItem);
  int Fail(const std::string& text);
  void AddProgress(uint64_t bytes);
  void SendProgress();
  bool CopyPattern(const std::string& pattern);
  bool CopyExternalFile(const std::string& source);
  std::string SourceVersion(const std::string& name) const;

  InstallRun& run_;
  // The lookup of each component's items, for one copy.
  std::unique_ptr<ComponentItemIndexes> indexes_;

  // State of the file between the two notifications.
  TvxPackage* package_ = nullptr;
  TvxComponent* component_ = nullptr;  // external pass: the component whose items are copied
  const TvxFileInfo* fileInfo_ = nullptr;
  std::unordered_map<std::string, const TvxFileInfo*> infoIndex_;  // of package_, by upper-case name
  // Whether package_'s records carry digests, and the records whose entry
  // the enumeration has met: a record never met, or a data entry without a
  // record, means the package is damaged.
  bool packageDigests_ = false;
  // The extraction running (the digest of what it wrote).
  const TvxUnpacker* unpacker_ = nullptr;
  std::unordered_set<const TvxFileInfo*> recordsMet_;
  const TvxFile* item_ = nullptr;
  TvxFlags flags_;
  bool externalPass_ = false;
  bool assemblyPending_ = false;
  bool targetExisted_ = false;
  bool missingSource_ = false;
  std::string lastPath_;
  // The folder the last written file went to: the copy only adds, so a
  // folder made sure of stays there for the files that follow it.
  std::string readyFolder_;
  int overwriteAnswer_ = 1;
  Progress progress_;
  // Upper-cased paths whose shared count this run has incremented.
  std::unordered_set<std::string> counted_;
};

}  // namespace vx
