// VXUnpacker: the engine's side of the extraction library.
//
// A TvxUnpacker loads the library ("unpack.dll" in the temporary folder;
// natively a shared object kept under the same name) afresh, opens one
// package file with it and enumerates the cabinet, translating the
// library's numbered notifications into four callbacks and decrypting the
// compressed data blocks with the password key on their way in.
//
// The library opens and writes files with the platform's own calls. Paths
// handed to it go through Host::PlatformPath, paths coming back through
// Host::HostPath, so the callbacks always see the host's Windows paths.
//
// The callbacks and the running cipher are module-wide: one enumeration at
// a time per process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "system/host.h"

namespace vx {

// The folder (with trailing backslash) where the run flow has written the
// extraction library; set once the temporary folder exists.
void SetUnpackFolder(const std::string& folder);
const std::string& UnpackFolder();
// The file name of the library inside that folder.
inline constexpr char kUnpackLibraryName[] = "unpack.dll";

// Code 1: answer 1 to write the entry to `target` (a host path), 0 to skip
// it, -1 to stop.
using TUnpackCopyEvent = std::function<int(const std::string& entry, uint32_t size, uint32_t attributes,
                                           double dateTime, std::string& target)>;
// Code 2: -1 stops, anything else continues.
using TUnpackCloseEvent = std::function<int(const std::string& entry, uint32_t size, uint32_t attributes,
                                            double dateTime, const std::string& target)>;
// Code 3, before each block is written: -1 stops (the block is not written).
using TUnpackProgressEvent = std::function<int(const std::string& entry, const std::string& target,
                                               uint32_t fileSize, uint32_t blockLength, uint32_t written)>;
// Code 4: the next cabinet of a set was not found in `folder`; true when
// `folder` now names where it is.
using TUnpackNextCabinetEvent = std::function<bool(const std::string& cabinet, std::string& folder)>;

// The engine's date-time value (days since 30 December 1899) of a DOS date
// (high 16 bits) and time (low 16 bits); 0 for an impossible date.
double DosDateTimeToDateTime(uint32_t dosDateTime);
// The DOS date and time of an engine date-time value (seconds rounded down
// to even ones); 0 for a date outside 1980-2107.
uint32_t DateTimeToDosDateTime(double dateTime);

class TvxUnpacker {
 public:
  // Loads the library from UnpackFolder() and opens `fileName` (a host
  // path) with it. When the library or one of its entry points is missing
  // the object stays unusable and Enumerate fails.
  TvxUnpacker(const std::string& fileName, bool scrambled);
  ~TvxUnpacker();
  TvxUnpacker(const TvxUnpacker&) = delete;
  TvxUnpacker& operator=(const TvxUnpacker&) = delete;

  bool Loaded() const { return module_ != 0; }

  // Forgets any key; a non-empty password becomes the key HashText(password).
  void UsePassword(const std::string& password);
  bool HasKey() const { return key_.has_value(); }

  // Extracts the cabinet. `onCopy` is required, the others may be empty.
  // True when the library reports success and no callback failed (an
  // exception in a callback, or a target path the library cannot take,
  // counts as failure). An answer -1 ends the enumeration with success.
  bool Enumerate(const TUnpackCopyEvent& onCopy, const TUnpackCloseEvent& onClose = {},
                 const TUnpackProgressEvent& onProgress = {}, const TUnpackNextCabinetEvent& onNextCabinet = {});

  // Why the last Enumerate (or loading) failed; "" after a success.
  const std::string& LastError() const { return error_; }

  // The CRC-32C (FileDigest.h) and the count of the bytes handed to the
  // current entry's target so far, from its code 1 on: valid in `onClose`.
  // Computed from the blocks as they are written, so that checking what was
  // written needs no second read of the file.
  uint32_t WrittenDigest() const { return writtenCrc_; }
  uint64_t WrittenBytes() const { return writtenBytes_; }

 private:
  ModuleHandle module_ = 0;
  void* open_ = nullptr;
  void* enumerate_ = nullptr;
  void* close_ = nullptr;
  void* lastErrorText_ = nullptr;
  std::optional<std::array<uint8_t, 32>> key_;
  std::string error_;
  uint32_t writtenCrc_ = 0;
  uint64_t writtenBytes_ = 0;
};

}  // namespace vx
