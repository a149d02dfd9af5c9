// Places in a package file where damage matters, for the tests that flip
// bytes and expect the damage to be refused: the cabinet's header counts,
// the data folder's table entry, the file records of data entries (size,
// offset, name), the data blocks of both folders (checksum field, first,
// middle and last payload bytes) and the trailer. Fields that readers do
// not use (reserved header fields, dates, attributes) are left out: damage
// there changes nothing that is installed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vxtest {

inline uint32_t Le(const std::string& b, uint64_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | uint8_t(b[size_t(at) + i]);
  return v;
}

// (description, offset) of four-byte spans of an unscrambled package file.
inline std::vector<std::pair<std::string, uint64_t>> DamagePoints(const std::string& b) {
  std::vector<std::pair<std::string, uint64_t>> points;
  uint64_t marker = b.rfind("VXPEND");
  uint64_t trailer = marker - 20;
  uint64_t cab = Le(b, trailer, 4);  // StubSize: the cabinet follows the stub
  points.push_back({"trailer TotalSize", trailer + 4});
  points.push_back({"cabinet file count", cab + 26});
  uint32_t folders = Le(b, cab + 26, 2), files = Le(b, cab + 28, 2);
  uint64_t fileTable = cab + Le(b, cab + 16, 4);
  for (uint32_t f = 0; f < folders; ++f) {
    uint64_t entry = cab + 36 + 8 * f;
    std::string part = f == 0 ? "preparation" : "data";
    if (f > 0) points.push_back({"folder table " + part, entry});
    uint64_t block = cab + Le(b, entry, 4);
    uint32_t blocks = Le(b, entry + 4, 2);
    for (uint32_t k = 0; k < blocks; ++k) {
      uint32_t payload = Le(b, block + 4, 2);
      bool last = k + 1 == blocks;
      if (k == 0 || last) {
        std::string which = part + (k == 0 ? " first" : " last") + " block";
        if (f > 0) points.push_back({which + " checksum", block});
        points.push_back({which + " payload start", block + 8});
        if (f > 0) points.push_back({which + " payload middle", block + 8 + payload / 2});
        points.push_back({which + " payload end", block + 8 + payload - 4});
      }
      block += 8 + payload;
    }
  }
  uint64_t at = fileTable;
  for (uint32_t i = 0; i < files; ++i) {
    std::string name = b.c_str() + at + 16;
    if (name.compare(0, 5, "data\\") == 0) {
      points.push_back({"record size of " + name, at});
      points.push_back({"record offset of " + name, at + 4});
      points.push_back({"record name of " + name, at + 16 + 5});
    }
    at += 16 + name.size() + 1;
  }
  return points;
}

// `bytes` with the four bytes at `at` inverted.
inline std::string Flipped(std::string bytes, uint64_t at) {
  for (int i = 0; i < 4; ++i) bytes[size_t(at) + i] = char(~uint8_t(bytes[size_t(at) + i]));
  return bytes;
}

}  // namespace vxtest
