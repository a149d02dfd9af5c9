// HAVAL-256/5, written from the published definition: 1024-bit blocks, eight
// 32-bit chaining words, five passes of 32 steps, each pass with its own
// Boolean function, input permutation, word order and constants (the hex
// digits of the fraction of pi).
#include "package/Haval.h"

#include <cstring>

#include "package/SecureWipe.h"

namespace vx {
namespace {

constexpr uint32_t kInitial[8] = {0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344,
                                  0xA4093822, 0x299F31D0, 0x082EFA98, 0xEC4E6C89};

// Message word used at each step of passes 2 to 5 (pass 1 takes them in order).
constexpr uint8_t kOrder[4][32] = {
    {5, 14, 26, 18, 11, 28, 7, 16, 0, 23, 20, 22, 1, 10, 4, 8,
     30, 3, 21, 9, 17, 24, 29, 6, 19, 12, 15, 13, 2, 25, 31, 27},
    {19, 9, 4, 20, 28, 17, 8, 22, 29, 14, 25, 12, 24, 30, 16, 26,
     31, 15, 7, 3, 1, 0, 18, 27, 13, 6, 21, 10, 23, 11, 5, 2},
    {24, 4, 0, 14, 2, 7, 28, 23, 26, 6, 30, 20, 18, 25, 19, 3,
     22, 11, 31, 21, 8, 27, 12, 9, 1, 29, 5, 15, 17, 10, 16, 13},
    {27, 3, 21, 26, 17, 11, 20, 29, 19, 0, 12, 7, 13, 8, 31, 10,
     5, 9, 14, 30, 18, 6, 28, 24, 2, 23, 16, 22, 4, 1, 25, 15},
};

// Step constants of passes 2 to 5.
constexpr uint32_t kConstants[4][32] = {
    {0x452821E6, 0x38D01377, 0xBE5466CF, 0x34E90C6C, 0xC0AC29B7, 0xC97C50DD, 0x3F84D5B5, 0xB5470917,
     0x9216D5D9, 0x8979FB1B, 0xD1310BA6, 0x98DFB5AC, 0x2FFD72DB, 0xD01ADFB7, 0xB8E1AFED, 0x6A267E96,
     0xBA7C9045, 0xF12C7F99, 0x24A19947, 0xB3916CF7, 0x0801F2E2, 0x858EFC16, 0x636920D8, 0x71574E69,
     0xA458FEA3, 0xF4933D7E, 0x0D95748F, 0x728EB658, 0x718BCD58, 0x82154AEE, 0x7B54A41D, 0xC25A59B5},
    {0x9C30D539, 0x2AF26013, 0xC5D1B023, 0x286085F0, 0xCA417918, 0xB8DB38EF, 0x8E79DCB0, 0x603A180E,
     0x6C9E0E8B, 0xB01E8A3E, 0xD71577C1, 0xBD314B27, 0x78AF2FDA, 0x55605C60, 0xE65525F3, 0xAA55AB94,
     0x57489862, 0x63E81440, 0x55CA396A, 0x2AAB10B6, 0xB4CC5C34, 0x1141E8CE, 0xA15486AF, 0x7C72E993,
     0xB3EE1411, 0x636FBC2A, 0x2BA9C55D, 0x741831F6, 0xCE5C3E16, 0x9B87931E, 0xAFD6BA33, 0x6C24CF5C},
    {0x7A325381, 0x28958677, 0x3B8F4898, 0x6B4BB9AF, 0xC4BFE81B, 0x66282193, 0x61D809CC, 0xFB21A991,
     0x487CAC60, 0x5DEC8032, 0xEF845D5D, 0xE98575B1, 0xDC262302, 0xEB651B88, 0x23893E81, 0xD396ACC5,
     0x0F6D6FF3, 0x83F44239, 0x2E0B4482, 0xA4842004, 0x69C8F04A, 0x9E1F9B5E, 0x21C66842, 0xF6E96C9A,
     0x670C9C61, 0xABD388F0, 0x6A51A0D2, 0xD8542F68, 0x960FA728, 0xAB5133A3, 0x6EEF0B6C, 0x137A3BE4},
    {0xBA3BF050, 0x7EFB2A98, 0xA1F1651D, 0x39AF0176, 0x66CA593E, 0x82430E88, 0x8CEE8619, 0x456F9FB4,
     0x7D84A5C3, 0x3B8B5EBE, 0xE06F75D8, 0x85C12073, 0x401A449F, 0x56C16AA6, 0x4ED3AA62, 0x363F7706,
     0x1BFEDF72, 0x429B023D, 0x37D0D724, 0xD00A1248, 0xDB0FEAD3, 0x49F1C09B, 0x075372C9, 0x80991B7B,
     0x25D479D8, 0xF6E8DEF7, 0xE3FE501A, 0xB6794C3B, 0x976CE0BD, 0x04C006BA, 0xC1A94FB6, 0x409F60C4},
};

inline uint32_t RotR(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// The five Boolean functions, arguments in the order x6 ... x0.
inline uint32_t F1(uint32_t x6, uint32_t x5, uint32_t x4, uint32_t x3, uint32_t x2, uint32_t x1, uint32_t x0) {
  return (x1 & (x0 ^ x4)) ^ (x2 & x5) ^ (x3 & x6) ^ x0;
}
inline uint32_t F2(uint32_t x6, uint32_t x5, uint32_t x4, uint32_t x3, uint32_t x2, uint32_t x1, uint32_t x0) {
  return (x2 & ((x1 & ~x3) ^ (x4 & x5) ^ x6 ^ x0)) ^ (x4 & (x1 ^ x5)) ^ (x3 & x5) ^ x0;
}
inline uint32_t F3(uint32_t x6, uint32_t x5, uint32_t x4, uint32_t x3, uint32_t x2, uint32_t x1, uint32_t x0) {
  return (x3 & ((x1 & x2) ^ x6 ^ x0)) ^ (x1 & x4) ^ (x2 & x5) ^ x0;
}
inline uint32_t F4(uint32_t x6, uint32_t x5, uint32_t x4, uint32_t x3, uint32_t x2, uint32_t x1, uint32_t x0) {
  return (x4 & ((x5 & ~x2) ^ (x3 & ~x6) ^ x1 ^ x6 ^ x0)) ^ (x3 & ((x1 & x2) ^ x5 ^ x6)) ^ (x2 & x6) ^ x0;
}
inline uint32_t F5(uint32_t x6, uint32_t x5, uint32_t x4, uint32_t x3, uint32_t x2, uint32_t x1, uint32_t x0) {
  return (x0 & ((x1 & x2 & x3) ^ ~x5)) ^ (x1 & x4) ^ (x2 & x5) ^ (x3 & x6);
}

// Each pass applies its function to a permutation of x6 ... x0 (the
// permutations of the five-pass variant); x[i] holds x_i.
inline uint32_t Phi(int pass, const uint32_t* x) {
  switch (pass) {
    case 0: return F1(x[3], x[4], x[1], x[0], x[5], x[2], x[6]);
    case 1: return F2(x[6], x[2], x[1], x[0], x[3], x[4], x[5]);
    case 2: return F3(x[2], x[6], x[0], x[4], x[3], x[1], x[5]);
    case 3: return F4(x[1], x[5], x[3], x[2], x[0], x[4], x[6]);
    default: return F5(x[2], x[5], x[0], x[6], x[4], x[3], x[1]);
  }
}

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

Haval256::~Haval256() {
  SecureWipe(state_, sizeof state_);
  SecureWipe(buffer_, sizeof buffer_);
}

void Haval256::Reset() {
  std::memcpy(state_, kInitial, sizeof state_);
  bitCount_ = 0;
  buffered_ = 0;
}

void Haval256::Compress(const uint8_t block[128]) {
  uint32_t w[32];
  for (int i = 0; i < 32; ++i) w[i] = Le32(block + 4 * i);
  uint32_t t[8];
  std::memcpy(t, state_, sizeof t);
  for (int pass = 0; pass < 5; ++pass) {
    for (int j = 0; j < 32; ++j) {
      // Step j works on the registers rotated by j: x_i is t[(i - j) mod 8]
      // and x7, the one replaced, is t[(7 - j) mod 8].
      uint32_t x[7];
      for (int i = 0; i < 7; ++i) x[i] = t[(i - j) & 7];
      uint32_t& x7 = t[(7 - j) & 7];
      uint32_t word = pass == 0 ? w[j] : w[kOrder[pass - 1][j]] + kConstants[pass - 1][j];
      x7 = RotR(Phi(pass, x), 7) + RotR(x7, 11) + word;
    }
  }
  for (int i = 0; i < 8; ++i) state_[i] += t[i];
  SecureWipe(w, sizeof w);
  SecureWipe(t, sizeof t);
}

void Haval256::Update(const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  bitCount_ += uint64_t(length) * 8;
  if (buffered_) {
    size_t take = 128 - buffered_ < length ? 128 - buffered_ : length;
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    length -= take;
    if (buffered_ < 128) return;
    Compress(buffer_);
    buffered_ = 0;
  }
  for (; length >= 128; p += 128, length -= 128) Compress(p);
  std::memcpy(buffer_, p, length);
  buffered_ = length;
}

void Haval256::Final(uint8_t digest[kDigestSize]) {
  // The message is padded with one 1 bit (0x01 in HAVAL's bit order) and
  // zeros up to 944 bits modulo 1024, then the 16-bit field of version 1,
  // 5 passes and output length 256, then the 64-bit message length in bits.
  uint8_t tail[10];
  tail[0] = uint8_t(((256 & 0x3) << 6) | (5 << 3) | 1);
  tail[1] = uint8_t((256 >> 2) & 0xFF);
  uint64_t bits = bitCount_;
  for (int i = 0; i < 8; ++i) tail[2 + i] = uint8_t(bits >> (8 * i));
  static const uint8_t kPadding[128] = {0x01};
  size_t used = buffered_;
  size_t pad = used < 118 ? 118 - used : 246 - used;
  Update(kPadding, pad);
  Update(tail, sizeof tail);
  for (int i = 0; i < 8; ++i)
    for (int b = 0; b < 4; ++b) digest[4 * i + b] = uint8_t(state_[i] >> (8 * b));
}

void Haval256Digest(const void* data, size_t length, uint8_t digest[Haval256::kDigestSize]) {
  Haval256 h;
  h.Update(data, length);
  h.Final(digest);
}

}  // namespace vx
