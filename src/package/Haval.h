// HAVAL message digest (Zheng, Pieprzyk, Seberry, 1992) in the one variant
// the package format uses: 5 passes, 256-bit result, no folding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

class Haval256 {
 public:
  static constexpr size_t kDigestSize = 32;

  Haval256() { Reset(); }
  ~Haval256();
  void Reset();
  void Update(const void* data, size_t length);
  // Pads, finishes and writes the eight chaining words, each little-endian.
  // The object must be Reset before it is used again.
  void Final(uint8_t digest[kDigestSize]);

 private:
  void Compress(const uint8_t block[128]);

  uint32_t state_[8];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[128];
  size_t buffered_ = 0;
};

// The digest of one piece of memory.
void Haval256Digest(const void* data, size_t length, uint8_t digest[Haval256::kDigestSize]);

}  // namespace vx
