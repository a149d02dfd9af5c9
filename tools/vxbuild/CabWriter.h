// Writes a Microsoft cabinet with MSZIP-compressed folders.
//
// Every folder's data is one stream cut into blocks of 32,768 bytes; each
// block is compressed on its own (raw deflate after the "CK" signature), so
// blocks can be compressed side by side on several cores. Blocks of a
// folder marked `encrypt` are encrypted after compression with the
// package's chained cipher (one unit per block, one running state for the
// whole cabinet, exactly as the engine's filter decrypts them) and carry no
// checksum: the checksum of a data block is computed by readers over the
// bytes they see, which are the decrypted ones inside the engine and the
// encrypted ones elsewhere, so no single value fits both. Blocks that are
// not encrypted carry their checksum.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace vxbuild {

struct CabEntry {
  std::string name;        // stored path, backslashes
  std::string source;      // native path of the content ("" with `content`)
  std::string content;     // the bytes, when there is no source file
  bool fromMemory = false;
  uint64_t size = 0;
  uint16_t date = 0, time = 0;  // DOS date and time (local time)
  uint16_t attributes = 0x20;   // archive
};

struct CabFolder {
  std::vector<CabEntry> entries;
  bool encrypt = false;
};

struct CabOptions {
  int level = 6;        // zlib level
  bool scramble = false;
  uint8_t mask = 0;     // XOR mask of a scrambled cabinet
  std::optional<std::array<uint8_t, 32>> key;  // for folders with `encrypt`
  unsigned threads = 0; // 0: one per core
};

struct CabResult {
  uint64_t size = 0;               // bytes of the cabinet
  std::vector<uint64_t> unpacked;  // uncompressed bytes per folder
};

// Writes the cabinet at the current end of `out`. False with `error` set
// when a source cannot be read or the cabinet would exceed the format's
// limits.
bool WriteCabinet(std::ofstream& out, std::vector<CabFolder>& folders, const CabOptions& options, CabResult& result,
                  std::string& error);

// The DOS date and time of a file's last modification (local time).
void FileDosTime(const std::string& path, uint16_t& date, uint16_t& time);

}  // namespace vxbuild
