// The digest vxbuild records for every packed file (attribute "crc32c" of
// its file record) and the check of an extracted file against it.
//
// CRC-32C (Castagnoli polynomial, reflected, initial and final value
// 0xFFFFFFFF) catches every burst of up to 32 damaged bits and any other
// damage but one time in four billion; it needs no library and costs little
// beside the decompression. The record holds it as eight upper-case
// hexadecimal digits; a record without it (a package of an older building
// tool) is not checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx {

// Continues the CRC-32C `crc` (0 to start) over `size` bytes.
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);
// Eight upper-case hexadecimal digits.
std::string DigestText(uint32_t crc);

// The digest of a whole file read through the current host; false when it
// cannot be read to its end.
bool FileDigest(const std::string& path, uint32_t& crc);
// Whether the file at `path` has the digest `recorded` (DigestText form,
// letter case ignored). False when it differs or cannot be read.
bool FileMatchesDigest(const std::string& path, const std::string& recorded);

}  // namespace vx
