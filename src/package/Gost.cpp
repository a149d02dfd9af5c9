// GOST 28147-89 with table-driven rounds: the eight 4-bit S-boxes and the
// 11-bit rotation are folded into four 256-entry tables built at compile time,
// so a round is one addition, four look-ups and three XORs.
#include "package/Gost.h"

namespace vx {
namespace {

// id-GostR3411-94-TestParamSet: row i substitutes bits 4i..4i+3.
constexpr uint8_t kSbox[8][16] = {
    {4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
    {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
    {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
    {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
    {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
    {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
    {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
    {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12},
};

struct Tables {
  uint32_t t[4][256];
};

constexpr Tables BuildTables() {
  Tables tables{};
  for (int i = 0; i < 4; ++i)
    for (int b = 0; b < 256; ++b) {
      uint32_t v = uint32_t(kSbox[2 * i][b & 15] | kSbox[2 * i + 1][b >> 4] << 4) << (8 * i);
      tables.t[i][b] = (v << 11) | (v >> 21);
    }
  return tables;
}

constexpr Tables kTables = BuildTables();

inline uint32_t F(uint32_t x) {
  return kTables.t[0][x & 0xFF] ^ kTables.t[1][(x >> 8) & 0xFF] ^ kTables.t[2][(x >> 16) & 0xFF] ^
         kTables.t[3][x >> 24];
}

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Two rounds with subkeys a then b.
#define VX_GOST_2ROUNDS(a, b) \
  n2 ^= F(n1 + k[a]);         \
  n1 ^= F(n2 + k[b]);

}  // namespace

void GostSetKey(GostKey& key, const uint8_t bytes[32]) {
  for (int i = 0; i < 8; ++i) key.k[i] = Le32(bytes + 4 * i);
}

void GostEncryptBlock(const GostKey& key, const uint8_t in[8], uint8_t out[8]) {
  const uint32_t* k = key.k;
  uint32_t n1 = Le32(in), n2 = Le32(in + 4);
  for (int r = 0; r < 3; ++r) {
    VX_GOST_2ROUNDS(0, 1) VX_GOST_2ROUNDS(2, 3) VX_GOST_2ROUNDS(4, 5) VX_GOST_2ROUNDS(6, 7)
  }
  VX_GOST_2ROUNDS(7, 6) VX_GOST_2ROUNDS(5, 4) VX_GOST_2ROUNDS(3, 2) VX_GOST_2ROUNDS(1, 0)
  PutLe32(out, n2);
  PutLe32(out + 4, n1);
}

void GostDecryptBlock(const GostKey& key, const uint8_t in[8], uint8_t out[8]) {
  const uint32_t* k = key.k;
  uint32_t n1 = Le32(in), n2 = Le32(in + 4);
  VX_GOST_2ROUNDS(0, 1) VX_GOST_2ROUNDS(2, 3) VX_GOST_2ROUNDS(4, 5) VX_GOST_2ROUNDS(6, 7)
  for (int r = 0; r < 3; ++r) {
    VX_GOST_2ROUNDS(7, 6) VX_GOST_2ROUNDS(5, 4) VX_GOST_2ROUNDS(3, 2) VX_GOST_2ROUNDS(1, 0)
  }
  PutLe32(out, n2);
  PutLe32(out + 4, n1);
}

// Two rounds of four interleaved blocks with subkeys a then b.
#define VX_GOST_2ROUNDS_4(a, b) \
  x2 ^= F(x1 + k[a]);           \
  y2 ^= F(y1 + k[a]);           \
  z2 ^= F(z1 + k[a]);           \
  w2 ^= F(w1 + k[a]);           \
  x1 ^= F(x2 + k[b]);           \
  y1 ^= F(y2 + k[b]);           \
  z1 ^= F(z2 + k[b]);           \
  w1 ^= F(w2 + k[b]);

void GostDecrypt4Blocks(const GostKey& key, const uint8_t in[32], uint8_t out[32]) {
  const uint32_t* k = key.k;
  uint32_t x1 = Le32(in), x2 = Le32(in + 4), y1 = Le32(in + 8), y2 = Le32(in + 12);
  uint32_t z1 = Le32(in + 16), z2 = Le32(in + 20), w1 = Le32(in + 24), w2 = Le32(in + 28);
  VX_GOST_2ROUNDS_4(0, 1) VX_GOST_2ROUNDS_4(2, 3) VX_GOST_2ROUNDS_4(4, 5) VX_GOST_2ROUNDS_4(6, 7)
  for (int r = 0; r < 3; ++r) {
    VX_GOST_2ROUNDS_4(7, 6) VX_GOST_2ROUNDS_4(5, 4) VX_GOST_2ROUNDS_4(3, 2) VX_GOST_2ROUNDS_4(1, 0)
  }
  PutLe32(out, x2);
  PutLe32(out + 4, x1);
  PutLe32(out + 8, y2);
  PutLe32(out + 12, y1);
  PutLe32(out + 16, z2);
  PutLe32(out + 20, z1);
  PutLe32(out + 24, w2);
  PutLe32(out + 28, w1);
}

}  // namespace vx
