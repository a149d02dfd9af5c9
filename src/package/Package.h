// Package: the layout of a package file and the engine's work with it.
//
// A package file is whatever comes first (for the setup file the engine
// executable), then a cabinet, possibly scrambled, then a 26-byte trailer
// ending in "VXPEND", then optionally bytes added after building (a
// signature). The cabinet holds the preparation part first and the data
// part ("data\..." entries) after it.
//
// CheckPackage validates a package file and fills the package's run-time
// fields, PreparePackages extracts the preparation part of every package
// into its folder below the temporary folder, LoadPackageDatabase merges
// the package's own database into it.
//
// The engine's windows and the plug-in host live above this layer; the
// operations reach them through the PackageServices they are handed. They
// show no message themselves: a failure comes back as a Status (identifiers
// below) that the caller reports (PackageErrorText gives the engine's texts).
#pragma once

#include <cstdint>
#include <string>

#include "database/VXClasses.h"
#include "system/ByteReader.h"
#include "system/Status.h"

namespace vx {

// --- Layout ----------------------------------------------------------------------------------------

inline constexpr char kPackageEndMarker[] = "VXPEND";
inline constexpr size_t kPackageMarkerSize = 6;
inline constexpr size_t kPackageTrailerSize = 26;
// The marker must lie within this many bytes from the end of the file.
inline constexpr size_t kPackageMarkerWindow = 65536;
// The cabinet starts within this many bytes from the start of the file.
inline constexpr size_t kPackageCabinetWindow = 524272;

// Flags of the trailer.
enum : uint32_t {
  kPackageScrambled = 1,   // every cabinet byte XORed with kScrambleMask
  kPackageNoProgress = 2,  // no progress window while preparing
  kPackageQuiet = 4,       // no splash, no progress window, no closing pause
};

struct PackageTrailer {
  uint32_t StubSize = 0;      // bytes of the engine in front (setup file only)
  uint32_t TotalSize = 0;     // file length up to and including the marker
  uint32_t PresetupSize = 0;  // bytes the preparation part unpacks to
  uint32_t DataSize = 0;      // bytes the data part unpacks to
  uint32_t Flags = 0;
};

// The 26 bytes of a trailer.
std::string EncodeTrailer(const PackageTrailer& trailer);
// Searches `tail` (the last bytes of a file, at most kPackageMarkerWindow)
// backwards for the marker; the hit nearest the end wins. On success
// `trailer` holds the fields (TotalSize as stored) and `trailing` the
// number of bytes after the marker. False when there is no marker, or no
// complete trailer in front of it.
bool LocateTrailer(const std::string& tail, PackageTrailer& trailer, uint64_t& trailing);

// Whether an entry name of a cabinet may be extracted below a folder: no
// drive or stream (":"), no leading "\" or "/", no component that Windows
// reads as "." or "..", and not empty.
bool IsSafeEntryName(const std::string& name);
// Whether the entry belongs to the data part ("data\" without regard to case).
bool IsDataEntry(const std::string& name);

// What a package file's end says about it, read the way the engine reads it.
struct PackageLayout {
  uint64_t size = 0;         // the file's length
  PackageTrailer trailer;    // TotalSize as stored
  uint64_t trailing = 0;     // bytes after the marker (a signature)
  bool sizeMatches = false;  // TotalSize + trailing is the file's length
  bool stubFits = false;     // StubSize leaves room for the trailer
  // The certificate table of an Authenticode signature at the end of the
  // file (the security directory of the image in front): its offset and
  // length, 0 when there is none.
  uint64_t signatureOffset = 0, signatureSize = 0;
  uint64_t TrailerOffset() const { return size - trailing - kPackageTrailerSize; }
};
// Reads the last bytes of a file of `size` bytes through `read` and locates
// its trailer. A signed setup file carries its certificate table after the
// trailer, as long as the signer likes: the trailer is looked for in front
// of the table that the image's security directory names, and the table
// counts as trailing bytes. False when they cannot be read or hold no
// trailer.
bool ReadPackageLayout(const ByteReader& read, uint64_t size, PackageLayout& layout);

// --- Services of the layers above --------------------------------------------------------------

// What preparing packages needs of the run: its temporary folder, its
// windows (splash and preparation) and the user interface's answers. Each
// default stands for a run without that part: no window, no folder offered.
class PackageServices {
 public:
  virtual ~PackageServices() = default;
  // The engine's temporary folder, with trailing backslash.
  virtual std::string TempFolder() = 0;
  // Sends "EV_GETPACKAGE" (first answer) with `name` and the 260-byte
  // buffer `folder`; a non-zero answer means the buffer names a new folder.
  virtual intptr_t AskForPackage(const std::string& name, char* folder) { return 0; }
  // What the installer function AbortInstall does: abort flag and
  // "EV_ABORTINSTALL".
  virtual void AbortInstall() {}
  // The integer variable "SilentMode" of the run.
  virtual int32_t SilentMode() { return 0; }

  virtual void ShowSplash(const std::string& picture) {}
  virtual void CloseSplash() {}
  virtual bool SplashVisible() { return false; }
  // `folder` is the current package folder (with trailing backslash),
  // `name` the package's FileName: the window takes its picture from the
  // folder and its title from the name.
  virtual void ShowPreparationWindow(const std::string& folder, const std::string& name) {}
  virtual bool PreparationWindowVisible() { return false; }
  // The package `name` (its FileName) whose preparation starts; the window,
  // when it exists, shows "Preparing "<name>" package..." as its title.
  virtual void SetPreparationTitle(const std::string& name) {}
  virtual void SetPreparationProgress(int percent) {}
  virtual void DestroyPreparationWindow() {}
};

// Identifiers of the package layer's failures, with the arguments they carry.
inline constexpr char kPackageNotFound[] = "package.not-found";      // file name
inline constexpr char kPackageInvalid[] = "package.invalid";         // full path
inline constexpr char kPackageNoResume[] = "package.no-resume-copy"; // -
inline constexpr char kPackageNoDiskSpace[] = "package.no-disk-space";
inline constexpr char kPackagePreparation[] = "package.preparation";  // full path, reason

// The caption and text the engine shows for a failure of this layer.
void PackageErrorText(const Status& status, std::string& caption, std::string& text);

// --- Operations ------------------------------------------------------------------------------------

// Looks for `name` in `folder` (which gets one trailing backslash), asking
// the plug-ins for another folder while it is missing. False (after
// AbortInstall) when no plug-in supplies one.
bool FindPackageFile(PackageServices& services, const std::string& name, std::string& folder);

// Locates and validates the package file, fills FullFileName, FileName,
// the trailer fields and TempPath; for the main package writes
// "Resume.exe" into the temporary folder.
Status CheckPackage(PackageServices& services, TvxPackage& package);

// Extracts the preparation part of every package not yet Prepared, with
// the splash and preparation windows.
Status PreparePackages(PackageServices& services, TvxPackages& packages);

// Merges TempPath + "db.pdb" into the package and sets its variable
// "Presetup". A database that decrypts to no XML raises TXMLParserError
// (or EEngineError when it holds no element at all).
bool LoadPackageDatabase(TvxPackage& package);

// Merges TempPath + "main.pdb" of the main package into the main database
// (whose Variables the caller has emptied). Raises like LoadPackageDatabase.
void LoadMainProjectDatabase(TvxMainDatabase& database, const TvxPackage& mainPackage);

// The fixed texts of this unit.
inline constexpr char kMsgFileNotFoundCaption[] = "File not found";
inline constexpr char kMsgFileNotFound[] =
    "File \"%s\" was not found on your computer. Setup is unable to proceed.\r"
    "If this problem persists contact the software vendor.";
inline constexpr char kMsgInvalidPackageCaption[] = "Invalid package";
inline constexpr char kMsgInvalidPackage[] =
    "Invalid package size!\r\rPackage \"%s\" has been corrupted, installation impossible.";
inline constexpr char kMsgErrorCaption[] = "Error";
inline constexpr char kMsgCannotResume[] = "Cannot prepare for resuming.";
inline constexpr char kMsgNoDiskSpace[] = "Insufficient free disk space.";
inline constexpr char kMsgDamagedDatabase[] = "The database \"%s\" is damaged.";
inline constexpr char kResumeFileName[] = "Resume.exe";

}  // namespace vx
