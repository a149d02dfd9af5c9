// What the extraction library reads of a cabinet by itself, before the
// cabinet reader sees it: where the cabinet starts inside the package file,
// where every data-block payload lies (the filter must see each of them
// once, in file order), the raw folder index, date and time of every file
// entry, and the name of the next cabinet of a set.
#pragma once

#include <stdint.h>

#include "unpack/Containers.h"
#include "unpack/PlatformFile.h"

namespace vxunpack {

// A cabinet starts within this many bytes of its file.
constexpr uint64_t kSearchLimit = 524272;

// Finds the first place in the first kSearchLimit bytes where "MSCF" and
// four zero bytes lie (after unscrambling).
bool FindCabinet(RawFile& file, uint64_t& base);

enum : uint16_t {
  kContinuedFromPrevious = 0xFFFD,
  kContinuedToNext = 0xFFFE,
  kContinuedBoth = 0xFFFF,
};

// Zero-initialised it is empty; Free() releases it.
struct CabinetIndex {
  struct Block {
    uint64_t payload;  // offset from the cabinet's start
    uint32_t size;
  };
  struct File {
    uint16_t folder;  // raw folder index (or one of the kContinued values)
    uint16_t date, time, attributes;
  };
  uint64_t base;    // offset of the cabinet inside its file
  uint64_t length;  // bytes from `base` to the end of the file
  List<Block> blocks;         // sorted by offset, never overlapping
  List<uint64_t> folderData;  // per folder of the table: offset of its first block
  List<File> files;           // in the order of the file entries

  void Free() {
    blocks.Free();
    folderData.Free();
    files.Free();
  }
};

// Reads the header, folder and file tables and walks the data blocks of
// every folder. False with a reason when anything lies outside the file or
// blocks overlap (or, with kOutOfMemory, when the tables do not fit).
bool ReadCabinetIndex(RawFile& file, uint64_t base, CabinetIndex& index, const char*& error);

}  // namespace vxunpack
