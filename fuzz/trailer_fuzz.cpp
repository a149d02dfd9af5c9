// libFuzzer target for the package trailer: LocateTrailer on arbitrary
// bytes, and CheckPackage on arbitrary package files in a sandbox machine.
//
// Input: one control byte, then the file. The control byte's low six bits
// add that many times 2 KiB of filler (so that files longer than the marker
// window are cheap to reach): in front of the file, or behind it when bit 6
// is set. Bit 7 makes the package the setup file (which writes
// "Resume.exe").
//
// Checks:
//   - LocateTrailer finds the last marker of the bytes it is given and
//     refuses when there is none or when fewer than 20 bytes precede it;
//     what it returns encodes back to the 26 bytes in front of the marker's
//     end, and `trailing` counts the bytes after the marker;
//   - CheckPackage accepts exactly the files whose trailer, found within the
//     last 65,536 bytes, gives TotalSize + trailing = the file's size and
//     (setup file) a stub that ends in front of the trailer;
//   - an accepted package has the trailer's fields and TempPath, and its
//     "Resume.exe" is the first StubSize bytes of the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "database/VXClasses.h"
#include "package/Package.h"
#include "system/kqFileUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "trailer_fuzz: %s\n", what.c_str());
  std::abort();
}

const std::string kTemp = "C:\\fuzztemp\\";
const std::string kPackagePath = "C:\\media\\setup.exe";

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  std::string root = (std::filesystem::temp_directory_path() / "vx-trailer-fuzz").string();
  std::filesystem::remove_all(root);
  vx::SandboxHost::InitMachine(root, vx::MachineKind::XP);
  static vx::SandboxHost host(root);
  vx::SetCurrentHost(&host);
  vx::SetUnattendedAnswers(true, {});
  if (!vx::ForceFolders("C:\\fuzztemp") || !vx::ForceFolders("C:\\media")) Fault("cannot make the folders");
  vx::PackageServices().TempFolder = kTemp;
}

struct Expected {
  bool found = false;
  size_t marker = 0;
};

// Where the trailer of `bytes` ends, read independently: the last marker,
// if 20 bytes of fields fit in front of it.
Expected LastMarker(const std::string& bytes) {
  Expected e;
  size_t pos = bytes.rfind(vx::kPackageEndMarker);
  if (pos == std::string::npos || pos < vx::kPackageTrailerSize - vx::kPackageMarkerSize) return e;
  e.found = true;
  e.marker = pos;
  return e;
}

void CheckLocate(const std::string& bytes) {
  vx::PackageTrailer t;
  uint64_t trailing = 0;
  bool found = vx::LocateTrailer(bytes, t, trailing);
  Expected e = LastMarker(bytes);
  if (found != e.found) Fault(found ? "a trailer where none can be" : "the trailer was not found");
  if (!found) return;
  if (trailing != bytes.size() - e.marker - vx::kPackageMarkerSize) Fault("wrong trailing length");
  size_t start = e.marker + vx::kPackageMarkerSize - vx::kPackageTrailerSize;
  if (vx::EncodeTrailer(t) != bytes.substr(start, vx::kPackageTrailerSize))
    Fault("the fields do not encode back to the trailer");
}

void CheckPackageFile(const std::string& file, bool main) {
  if (!vx::WriteWholeFile(kPackagePath, file)) Fault("cannot write the package file");
  vx::CurrentHost().RemoveFile(kTemp + vx::kResumeFileName);

  // What the file must give to be accepted.
  size_t n = std::min(file.size(), vx::kPackageMarkerWindow);
  std::string tail = file.substr(file.size() - n);
  Expected e = LastMarker(tail);
  vx::PackageTrailer t;
  uint64_t trailing = 0;
  bool consistent = false;
  if (e.found) {
    vx::LocateTrailer(tail, t, trailing);
    consistent = uint64_t(t.TotalSize) + trailing == file.size() &&
                 (!main || uint64_t(t.StubSize) + vx::kPackageTrailerSize <= t.TotalSize);
  }

  vx::TvxMainDatabase db;
  auto owned = std::make_unique<vx::TvxPackage>(db.Packages.get());
  owned->FullFileName = kPackagePath;
  owned->Main = main;
  auto& p = static_cast<vx::TvxPackage&>(*db.Packages->Add(std::move(owned)));
  bool accepted = vx::CheckPackage(p);
  if (accepted != consistent)
    Fault(accepted ? "a package with inconsistent sizes was accepted" : "a consistent package was refused");
  if (!accepted) return;
  if (uint32_t(p.PresetupSize) != t.PresetupSize || uint32_t(p.DataSize) != t.DataSize ||
      uint32_t(p.Flags) != t.Flags)
    Fault("the package's fields are not the trailer's");
  if (p.FullFileName != kPackagePath || p.FileName != "setup" || p.TempPath != kTemp + "setup\\")
    Fault("wrong names for an accepted package");
  if (main) {
    std::string resume;
    if (!vx::ReadWholeFile(kTemp + vx::kResumeFileName, resume) || resume != file.substr(0, t.StubSize))
      Fault("Resume.exe is not the stub");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckLocate(rest);
  const bool main = data[0] & 0x80;
  const std::string filler(size_t(data[0] & 0x3F) * 2048, 'S');
  const std::string file = data[0] & 0x40 ? rest + filler : filler + rest;
  CheckPackageFile(file, main);
  return 0;
}
