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
// The processor's own CRC-32C instruction (SSE 4.2), eight bytes a step
// where the registers hold them: many times the speed of the tables, which
// matters because every installed file is read back through it.
__attribute__((target("sse4.2"))) uint32_t Crc32cByInstruction(uint32_t crc, const uint8_t* p, size_t size) {
#if defined(__x86_64__)
  uint64_t c = crc;
  for (; size >= 8; size -= 8, p += 8) {
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    c = __builtin_ia32_crc32di(c, v);
  }
  crc = uint32_t(c);
#endif
  for (; size >= 4; size -= 4, p += 4) {
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    crc = __builtin_ia32_crc32si(crc, v);
  }
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
