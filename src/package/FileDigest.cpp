#include "package/FileDigest.h"

#include <cstdio>

namespace vx {

namespace {

// Eight tables of 256 entries, made on first use: the data is taken eight
// bytes a step.
struct Tables {
  uint32_t t[8][256];
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

const Tables& CrcTables() {
  static const Tables* tables = new Tables;  // made once, also across threads
  return *tables;
}

#if defined(__x86_64__) || defined(__i386__)
#if defined(__x86_64__)
typedef uint64_t Word;
#define VX_CRC32C_WORD __builtin_ia32_crc32di
#else
typedef uint32_t Word;
#define VX_CRC32C_WORD __builtin_ia32_crc32si
#endif

// One register's width of data a step.
__attribute__((target("sse4.2"))) inline Word CrcWord(Word crc, const uint8_t* p) {
  Word v;
  __builtin_memcpy(&v, p, sizeof v);
  return VX_CRC32C_WORD(crc, v);
}

// The instruction takes a few cycles to give its result but can start one
// every cycle: three stripes of this many bytes are taken side by side and
// their digests joined.
constexpr size_t kStripe = 1024;

// The register after kStripe zero bytes, as four byte tables: the step is
// linear, so shifting the digest of one stripe past the next one and adding
// that one's digest (taken from zero) gives the digest of both.
struct StripeShift {
  uint32_t t[4][256];
  uint32_t operator()(uint32_t x) const {
    return t[0][x & 0xFF] ^ t[1][(x >> 8) & 0xFF] ^ t[2][(x >> 16) & 0xFF] ^ t[3][x >> 24];
  }
};

__attribute__((target("sse4.2"))) uint32_t AfterZeros(uint32_t crc) {
  static const uint8_t zeros[sizeof(Word)] = {};
  Word c = crc;
  for (size_t i = 0; i < kStripe; i += sizeof(Word)) c = CrcWord(c, zeros);
  return uint32_t(c);
}

const StripeShift& Shift() {
  static const StripeShift* shift = [] {  // made once, also across threads
    auto* s = new StripeShift;
    uint32_t bit[32];
    for (int i = 0; i < 32; ++i) bit[i] = AfterZeros(uint32_t(1) << i);
    for (int k = 0; k < 4; ++k)
      for (uint32_t b = 0; b < 256; ++b) {
        uint32_t v = 0;
        for (int i = 0; i < 8; ++i)
          if (b >> i & 1) v ^= bit[8 * k + i];
        s->t[k][b] = v;
      }
    return s;
  }();
  return *shift;
}

// The processor's own CRC-32C instruction (SSE 4.2), a register's width a
// step: many times the speed of the tables, which matters because every
// installed file goes through it as it is written.
__attribute__((target("sse4.2"))) uint32_t Crc32cByInstruction(uint32_t crc, const uint8_t* p, size_t size) {
  if (size >= 3 * kStripe) {
    const StripeShift& shift = Shift();
    for (; size >= 3 * kStripe; size -= 3 * kStripe, p += 3 * kStripe) {
      Word a = crc, b = 0, c = 0;
      for (size_t i = 0; i < kStripe; i += sizeof(Word)) {
        a = CrcWord(a, p + i);
        b = CrcWord(b, p + kStripe + i);
        c = CrcWord(c, p + 2 * kStripe + i);
      }
      crc = shift(shift(uint32_t(a)) ^ uint32_t(b)) ^ uint32_t(c);
    }
  }
  Word c = crc;
  for (; size >= sizeof(Word); size -= sizeof(Word), p += sizeof(Word)) c = CrcWord(c, p);
  crc = uint32_t(c);
  for (; size > 0; --size) crc = __builtin_ia32_crc32qi(crc, *p++);
  return crc;
}

bool HasCrcInstruction() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return has;
}
#endif

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
#if defined(__x86_64__) || defined(__i386__)
  if (HasCrcInstruction()) return ~Crc32cByInstruction(~crc, static_cast<const uint8_t*>(data), size);
#endif
  const uint32_t(&t)[8][256] = CrcTables().t;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    uint32_t lo = crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
          t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; size > 0; --size) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

std::string DigestText(uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", unsigned(crc));
  return text;
}

}  // namespace vx
