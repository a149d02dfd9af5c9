#include "system/PeImage.h"

#include "system/kqStrUtils.h"

namespace vx {

namespace {

uint32_t U16(const std::string& s, size_t o) { return uint32_t((unsigned char)s[o]) | uint32_t((unsigned char)s[o + 1]) << 8; }
uint32_t U32(const std::string& s, size_t o) { return U16(s, o) | U16(s, o + 2) << 16; }

constexpr uint32_t kMaxSections = 96;  // the Windows loader's own limit

}  // namespace

uint16_t OwnPeMachine() { return sizeof(void*) == 8 ? kPeMachineAmd64 : kPeMachineI386; }

std::string PeMachineName(uint16_t machine) {
  switch (machine) {
    case kPeMachineI386: return "x86 (32-bit)";
    case kPeMachineAmd64: return "x64 (64-bit)";
    default: return Format("machine 0x%04X", unsigned(machine));
  }
}

bool PeImage::RvaToOffset(uint32_t rva, uint64_t& offset) const {
  for (const PeSection& s : sections) {
    uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
      offset = uint64_t(s.rawOffset) + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

bool PeImage::SectionsWithin(uint64_t fileSize) const {
  for (const PeSection& s : sections)
    if (s.rawSize && uint64_t(s.rawOffset) + s.rawSize > fileSize) return false;
  return true;
}

bool ReadPeImage(const ByteReader& read, PeImage& image) {
  auto at = [&](uint64_t off, size_t n, std::string& out) { return read(off, n, out) && out.size() == n; };
  std::string b;
  if (!at(0, 64, b) || b[0] != 'M' || b[1] != 'Z') return false;
  uint32_t pe = U32(b, 0x3C);
  std::string hdr;
  if (!at(pe, 24, hdr) || hdr.compare(0, 4, std::string("PE\0\0", 4)) != 0) return false;
  image.machine = uint16_t(U16(hdr, 4));
  uint32_t sections = U16(hdr, 6), optSize = U16(hdr, 20);
  image.characteristics = uint16_t(U16(hdr, 22));
  std::string opt;
  if (optSize < 2 || sections > kMaxSections || !at(pe + 24, optSize, opt)) return false;
  uint32_t magic = U16(opt, 0);
  size_t countAt = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
  if (!countAt || optSize < countAt + 4) return false;
  image.pe32Plus = magic == 0x20B;
  uint32_t count = U32(opt, countAt);
  image.directories.clear();
  for (uint32_t i = 0; i < count && countAt + 4 + (i + 1) * 8 <= optSize; ++i)
    image.directories.emplace_back(U32(opt, countAt + 4 + i * 8), U32(opt, countAt + 8 + i * 8));
  std::string table;
  if (!at(uint64_t(pe) + 24 + optSize, size_t(sections) * 40, table)) return false;
  image.sections.clear();
  for (uint32_t i = 0; i < sections; ++i) {
    PeSection s;
    s.virtualSize = U32(table, i * 40 + 8);
    s.virtualAddress = U32(table, i * 40 + 12);
    s.rawSize = U32(table, i * 40 + 16);
    s.rawOffset = U32(table, i * 40 + 20);
    image.sections.push_back(s);
  }
  return true;
}

std::string LoadableDllProblem(const ByteReader& read, uint64_t fileSize) {
  PeImage image;
  if (!ReadPeImage(read, image)) return "not a Windows image";
  if (!(image.characteristics & kPeFileDll)) return "not a DLL";
  if (image.machine != OwnPeMachine()) return "a DLL for " + PeMachineName(image.machine);
  if (image.pe32Plus != (image.machine == kPeMachineAmd64)) return "not a Windows image";
  if (!image.SectionsWithin(fileSize)) return "truncated";
  return "";
}

std::string EngineProgramKind(const ByteReader& read) {
  PeImage image;
  if (ReadPeImage(read, image)) return "Windows " + PeMachineName(image.machine);
  std::string elf;
  if (read(0, 20, elf) && elf.size() == 20 && elf.compare(0, 4, "\x7F" "ELF") == 0) {
    unsigned machine = unsigned((unsigned char)elf[18]) | unsigned((unsigned char)elf[19]) << 8;
    const char* name = machine == 62 ? "x86-64" : machine == 3 ? "x86" : machine == 183 ? "AArch64" : "other";
    return Format("native Linux %s, for the sandbox machine", name);
  }
  return "";
}

}  // namespace vx
