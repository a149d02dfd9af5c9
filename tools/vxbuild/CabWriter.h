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
#include <functional>
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
  // The CRC-32C the content must have (computed before the package's
  // database was written): a source that reads otherwise while it is packed
  // has changed, and the cabinet is refused.
  std::optional<uint32_t> crc;
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
  // Called after each batch of blocks: entries read completely so far and
  // uncompressed bytes read so far (over all folders).
  std::function<void(uint64_t files, uint64_t bytes)> progress;
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

// The DOS date and time of a file's last modification (local time). When
// SOURCE_DATE_EPOCH is set, times later than it are replaced by it and all
// times are taken in UTC, so that a build does not depend on when the
// sources were copied nor on the builder's time zone.
void FileDosTime(const std::string& path, uint16_t& date, uint16_t& time);
// The date and time of entries vxbuild makes itself (the databases, the
// splash picture): SOURCE_DATE_EPOCH when set, else the project file's
// last modification (SetGeneratedTimeSource).
void GeneratedDosTime(uint16_t& date, uint16_t& time);
void SetGeneratedTimeSource(const std::string& projectFile);

}  // namespace vxbuild
