// Minimal PE images for tests: one ".rsrc" section holding a version
// resource, of either bitness.
#pragma once

#include <cstdint>
#include <string>

namespace vxtest {

inline void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}
inline void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char((v >> 8) & 0xFF);
}

struct PeShape {
  uint16_t machine = 0x14C;         // x86; 0x8664 for x64
  bool pe32Plus = false;            // the 64-bit optional header
  uint16_t characteristics = 0x2102;  // executable, 32-bit machine, DLL
};

// The image with the file version ms.ls in its version resource.
inline std::string MakePe(uint32_t ms, uint32_t ls, PeShape shape = {}) {
  std::string f(0x200 + 0x200, '\0');
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  f.replace(0x40, 4, std::string("PE\0\0", 4));
  const uint32_t optSize = shape.pe32Plus ? 240 : 224, countAt = shape.pe32Plus ? 108 : 92;
  Put16(f, 0x44, shape.machine);
  Put16(f, 0x46, 1);  // one section
  Put16(f, 0x54, optSize);
  Put16(f, 0x56, shape.characteristics);
  size_t opt = 0x58;
  Put16(f, opt, shape.pe32Plus ? 0x20B : 0x10B);
  Put32(f, opt + countAt, 16);
  Put32(f, opt + countAt + 4 + 16, 0x1000);  // resource directory
  Put32(f, opt + countAt + 4 + 20, 0x100);
  size_t sec = opt + optSize;
  f.replace(sec, 5, ".rsrc");
  Put32(f, sec + 8, 0x200);
  Put32(f, sec + 12, 0x1000);
  Put32(f, sec + 16, 0x200);
  Put32(f, sec + 20, 0x200);
  size_t r = 0x200;
  Put16(f, r + 14, 1);
  Put32(f, r + 16, 16);
  Put32(f, r + 20, 0x80000000u | 24);
  Put16(f, r + 24 + 14, 1);
  Put32(f, r + 24 + 16, 1);
  Put32(f, r + 24 + 20, 0x80000000u | 48);
  Put16(f, r + 48 + 14, 1);
  Put32(f, r + 48 + 16, 0x409);
  Put32(f, r + 48 + 20, 72);
  Put32(f, r + 72, 0x1000 + 88);
  Put32(f, r + 72 + 4, 92);
  size_t v = r + 88;
  Put16(f, v, 92);
  Put16(f, v + 2, 52);
  const char* key = "VS_VERSION_INFO";
  for (size_t i = 0; key[i]; ++i) f[v + 6 + 2 * i] = key[i];
  Put32(f, v + 40, 0xFEEF04BDu);
  Put32(f, v + 44, 0x10000);
  Put32(f, v + 48, ms);
  Put32(f, v + 52, ls);
  return f;
}

}  // namespace vxtest
