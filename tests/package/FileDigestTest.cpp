// The CRC-32C that vxbuild records for every packed file and the engine
// checks after extraction: the standard check value, and agreement with a
// bit-by-bit reference for every length and alignment (the fast paths take
// eight, four and single bytes a step).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "package/FileDigest.h"

namespace {

uint32_t BitByBit(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return ~crc;
}

TEST(FileDigest, Crc32cMatchesTheStandardAndABitwiseReference) {
  EXPECT_EQ(vx::Crc32c(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(vx::DigestText(0xE3069283u), "E3069283");
  std::mt19937 random(7);
  std::string data(300, '\0');
  for (char& c : data) c = char(random());
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t offset = 0; offset < 9; ++offset)
    for (size_t n = 0; n + offset <= 100; ++n)
      ASSERT_EQ(vx::Crc32c(0, bytes + offset, n), BitByBit(bytes + offset, n)) << offset << " " << n;
  // A digest taken in pieces equals the one of the whole.
  uint32_t crc = vx::Crc32c(0, bytes, 37);
  crc = vx::Crc32c(crc, bytes + 37, 263);
  EXPECT_EQ(crc, BitByBit(bytes, 300));
}

// Long runs take a faster path that works on several stripes side by side;
// every length around its stripe boundaries, from any alignment and split
// anywhere, must give the same digest.
TEST(FileDigest, LongRunsGiveTheSameDigestAsTheReference) {
  std::mt19937 random(11);
  std::string data(40000, '\0');
  for (char& c : data) c = char(random());
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t n : {3071, 3072, 3073, 6143, 6144, 6151, 32768, 39990})
    for (size_t offset : {0, 1, 7})
      ASSERT_EQ(vx::Crc32c(0, bytes + offset, n), BitByBit(bytes + offset, n)) << offset << " " << n;
  uint32_t whole = BitByBit(bytes, data.size());
  for (int round = 0; round < 20; ++round) {
    uint32_t crc = 0;
    for (size_t at = 0; at < data.size();) {
      size_t piece = std::min<size_t>(data.size() - at, random() % 9000);
      crc = vx::Crc32c(crc, bytes + at, piece);
      at += piece;
    }
    ASSERT_EQ(crc, whole) << round;
  }
}

}  // namespace
