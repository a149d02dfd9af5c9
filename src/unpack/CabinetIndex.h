// What the extraction library reads of a cabinet by itself, before the
// cabinet reader sees it: where the cabinet starts inside the package file,
// where every data-block payload lies (the filter must see each of them
// once, in file order), the raw folder index, date and time of every file
// entry, and the name of the next cabinet of a set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

struct CabinetIndex {
  struct Block {
    uint64_t payload = 0;  // offset from the cabinet's start
    uint32_t size = 0;
  };
  struct File {
    uint16_t folder = 0;  // raw folder index (or one of the kContinued values)
    uint16_t date = 0, time = 0, attributes = 0;
  };
  uint64_t base = 0;    // offset of the cabinet inside its file
  uint64_t length = 0;  // bytes from `base` to the end of the file
  std::vector<Block> blocks;  // sorted by offset, never overlapping
  std::vector<uint64_t> folderData;  // per folder of the table: offset of its first block
  std::vector<File> files;    // in the order of the file entries
};

// Reads the header, folder and file tables and walks the data blocks of
// every folder. False with a reason when anything lies outside the file or
// blocks overlap.
bool ReadCabinetIndex(RawFile& file, uint64_t base, CabinetIndex& index, std::string& error);

}  // namespace vxunpack
