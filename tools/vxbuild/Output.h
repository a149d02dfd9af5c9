// How vxbuild writes its results: each file goes to a temporary file beside
// its target and replaces the target only once every file of the build is
// complete, so that a failed build leaves the previous setup untouched and
// no partial file behind. Also the progress line on a terminal, the digests
// of the packed files, and signing the setup file with osslsigncode.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vxbuild {

// The files of one build, written to temporary files and renamed over their
// targets together by Commit. Whatever is not committed is removed when the
// object ends.
class OutputSet {
 public:
  OutputSet() = default;
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  ~OutputSet();

  // Opens a temporary file beside `target`; `executable` gives it the mode
  // 0755 (less the umask), else 0644. False with `error` set.
  bool Open(const std::filesystem::path& target, bool executable, std::ofstream*& stream, std::string& error);
  // Closes the stream of `target` and checks that everything was written.
  bool Close(const std::filesystem::path& target, std::string& error);
  // The temporary file that stands for `target` until Commit.
  std::filesystem::path Temporary(const std::filesystem::path& target) const;
  // Renames every temporary file over its target.
  bool Commit(std::string& error);

 private:
  struct File {
    std::filesystem::path target, temporary;
    std::ofstream stream;
    bool executable = false;
  };
  std::vector<std::unique_ptr<File>> files_;
  File* Find(const std::filesystem::path& target) const;
};

// "vxbuild: NAME: 12 files, 3.4 MB, 25.1 MB/s" on standard error, updated in
// place a few times a second, only when standard output and standard error
// are both terminals: logs and pipes get nothing.
class Progress {
 public:
  Progress();
  void Start(const std::string& name);
  void Update(uint64_t files, uint64_t bytes);
  void Finish();
  bool Enabled() const { return enabled_; }

 private:
  void Show(uint64_t files, uint64_t bytes);
  bool enabled_ = false, shown_ = false;
  std::string name_;
  std::chrono::steady_clock::time_point start_, last_;
};

// The CRC-32C of a native file; false when it cannot be read.
bool NativeFileDigest(const std::filesystem::path& path, uint32_t& crc);

// Whether a file starts with a Windows image (the stub osslsigncode signs).
bool IsWindowsImage(const std::filesystem::path& path);

// Signs `file` in place with osslsigncode (Authenticode, SHA-256): the
// certificate (PEM or DER) `cert`, its private key `key`, the key's
// password `password` when not empty, a time-stamp server `timestamp` when
// not empty. False with `error` (osslsigncode's own output) on failure.
bool SignFile(const std::filesystem::path& file, const std::string& cert, const std::string& key,
              const std::string& password, const std::string& timestamp, std::string& error);

}  // namespace vxbuild
