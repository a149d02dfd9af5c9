// The headers of a Windows executable image (PE/COFF), read from its bytes.
//
// Used where the engine must know what a file is before it trusts it: the
// version resource of a file to install, and whether a plug-in DLL is one
// the running engine can load at all (its machine type, that it is a DLL,
// and that the file holds every section its headers promise), so that a
// 32-bit DLL offered to the 64-bit engine, a truncated copy or a file that
// is no image is refused before the loader sees it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/ByteReader.h"

namespace vx {

enum : uint16_t {
  kPeMachineI386 = 0x014C,
  kPeMachineAmd64 = 0x8664,
  kPeFileDll = 0x2000,  // IMAGE_FILE_DLL
};
// Index of the security directory (the Authenticode certificate table; its
// "address" is a file offset).
inline constexpr size_t kPeSecurityDirectory = 4;

// The machine type of the images this program can load (its own).
uint16_t OwnPeMachine();
// "x86 (32-bit)", "x64 (64-bit)", or the number in hexadecimal.
std::string PeMachineName(uint16_t machine);

struct PeSection {
  uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0;
};

struct PeImage {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  bool pe32Plus = false;  // the 64-bit optional header
  std::vector<std::pair<uint32_t, uint32_t>> directories;  // (RVA, size) by index
  std::vector<PeSection> sections;

  // The file offset of an RVA inside a section; false outside every section.
  bool RvaToOffset(uint32_t rva, uint64_t& offset) const;
  // Whether every section's stored bytes lie within a file of `fileSize`.
  bool SectionsWithin(uint64_t fileSize) const;
};

// Reads the DOS header, the PE signature, the file header, the optional
// header (32- or 64-bit form) and the section table. False when any of them
// is missing, cut short or inconsistent.
bool ReadPeImage(const ByteReader& read, PeImage& image);

// Why a file cannot be loaded as a DLL by this program: "" when it can, else
// a short reason ("not a Windows image", "a DLL for x86 (32-bit)",
// "truncated" ...). `fileSize` is the file's length in bytes.
std::string LoadableDllProblem(const ByteReader& read, uint64_t fileSize);

// What kind of engine program the bytes are: "Windows <machine>" for a PE
// image, "native Linux <machine>, for the sandbox machine" for an ELF
// program, "" for anything else. Shared by the tools that build setup files
// and those that inspect them.
std::string EngineProgramKind(const ByteReader& read);

}  // namespace vx
