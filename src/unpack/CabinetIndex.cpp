#include "unpack/CabinetIndex.h"

#include <stdlib.h>
#include <string.h>

namespace vxunpack {
namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The signature is assembled at run time so that the library's own image
// never holds the byte sequence it searches for: a setup file carries this
// library inside the engine in front of its cabinet. The empty asm hides the
// masked value from the optimiser, which would otherwise fold it back.
uint32_t CabinetSignature() {
  uint32_t masked = 0x4643534Du ^ 0x5A5A5A5Au;
  __asm__("" : "+r"(masked));
  return masked ^ 0x5A5A5A5Au;
}

// Skips a zero-terminated string of at most 256 bytes at `pos`.
bool SkipString(RawFile& file, uint64_t& pos) {
  for (int i = 0; i < 256; ++i) {
    uint8_t c;
    if (!file.ReadAt(pos++, &c, 1)) return false;
    if (c == 0) return true;
  }
  return false;
}

int ByPayload(const void* a, const void* b) {
  uint64_t x = static_cast<const CabinetIndex::Block*>(a)->payload;
  uint64_t y = static_cast<const CabinetIndex::Block*>(b)->payload;
  return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

bool FindCabinet(RawFile& file, uint64_t& base) {
  uint32_t signature = CabinetSignature();
  size_t length = size_t(file.Size() < kSearchLimit ? file.Size() : kSearchLimit);
  uint8_t* prefix = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (!prefix) return false;
  bool found = false;
  if (file.ReadAt(0, prefix, length)) {
    for (size_t i = 0; i + 8 <= length; ++i) {
      if (prefix[i] != uint8_t(signature)) continue;
      if (Le32(&prefix[i]) == signature && Le32(&prefix[i + 4]) == 0) {
        base = i;
        found = true;
        break;
      }
    }
  }
  free(prefix);
  return found;
}

bool ReadCabinetIndex(RawFile& file, uint64_t base, CabinetIndex& index, const char*& error) {
  index.Free();
  index.base = base;
  index.length = file.Size() - base;
  auto fail = [&](const char* what) {
    error = what;
    return false;
  };
  uint8_t h[36];
  if (!file.ReadAt(base, h, sizeof h)) return fail("the cabinet header is truncated");
  uint16_t folders = Le16(h + 26), files = Le16(h + 28), flags = Le16(h + 30);
  uint64_t pos = base + 36;
  unsigned folderReserve = 0, dataReserve = 0;
  if (flags & 0x0004) {
    uint8_t r[4];
    if (!file.ReadAt(pos, r, 4)) return fail("the cabinet header is truncated");
    pos += 4 + Le16(r);
    folderReserve = r[2];
    dataReserve = r[3];
  }
  if (flags & 0x0001)  // previous cabinet: name and disk
    if (!SkipString(file, pos) || !SkipString(file, pos)) return fail("the previous cabinet's name is damaged");
  if (flags & 0x0002)  // next cabinet: name and disk
    if (!SkipString(file, pos) || !SkipString(file, pos)) return fail("the next cabinet's name is damaged");
  if (folders == 0 || files == 0) return fail("the cabinet has no folders or no files");

  // Blocks that do not overlap take at least 8 bytes each: more of them
  // than that cannot fit, whatever the folder table claims.
  uint64_t maxBlocks = index.length / 8 + 1;
  for (unsigned f = 0; f < folders; ++f) {
    uint8_t r[8];
    if (!file.ReadAt(pos, r, 8)) return fail("the folder table is truncated");
    pos += 8 + folderReserve;
    uint64_t block = base + Le32(r);
    if (!index.folderData.Push(block - base)) return fail(kOutOfMemory);
    for (unsigned n = Le16(r + 4); n > 0; --n) {
      uint8_t d[8];
      if (!file.ReadDirectAt(block, d, 8)) return fail("a data block lies outside the file");
      uint64_t payload = block + 8 + dataReserve;
      uint32_t size = Le16(d + 4);
      if (payload + size > file.Size()) return fail("a data block lies outside the file");
      if (index.blocks.count >= maxBlocks) return fail("data blocks overlap");
      if (!index.blocks.Push({payload - base, size})) return fail(kOutOfMemory);
      block = payload + size;
    }
  }
  // File entries follow the folder table directly, as the cabinet reader
  // reads them.
  for (unsigned f = 0; f < files; ++f) {
    uint8_t r[16];
    if (!file.ReadAt(pos, r, 16)) return fail("the file table is truncated");
    pos += 16;
    if (!SkipString(file, pos)) return fail("a file name is damaged");
    CabinetIndex::File entry;
    entry.folder = Le16(r + 8);
    entry.date = Le16(r + 10);
    entry.time = Le16(r + 12);
    entry.attributes = Le16(r + 14);
    if (!index.files.Push(entry)) return fail(kOutOfMemory);
  }

  if (index.blocks.count > 1) qsort(index.blocks.items, index.blocks.count, sizeof(CabinetIndex::Block), ByPayload);
  for (size_t i = 1; i < index.blocks.count; ++i)
    if (index.blocks[i].payload < index.blocks[i - 1].payload + index.blocks[i - 1].size + 8 + dataReserve)
      return fail("data blocks overlap");
  return true;
}

}  // namespace vxunpack
