// The digest vxbuild records for every packed file (attribute "crc32c" of
// its file record), continued over the blocks of a file as they are written.
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

}  // namespace vx
