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
// The engine's windows and the plug-in host live above this layer; the run
// flow reaches them through PackageServices(), which it fills at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "database/VXClasses.h"

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

// --- Services of the layers above --------------------------------------------------------------

// The engine's windows (splash and preparation). Every member may be left
// empty; the preparation then simply has no window.
struct TPreparationWindows {
  std::function<void(const std::string& picture)> ShowSplash;
  std::function<void()> CloseSplash;
  std::function<bool()> SplashVisible;
  // `folder` is the current package folder (with trailing backslash),
  // `name` the package's FileName: the window takes its picture from the
  // folder and its title from the name.
  std::function<void(const std::string& folder, const std::string& name)> ShowPreparationWindow;
  std::function<bool()> PreparationWindowVisible;
  // "Preparing "%s" package..." with the name, when the window exists.
  std::function<void(const std::string& title)> SetPreparationTitle;
  std::function<void(int percent)> SetPreparationProgress;
  std::function<void()> DestroyPreparationWindow;
};

struct TPackageServices {
  // The engine's temporary folder, with trailing backslash.
  std::string TempFolder;
  // Sends "EV_GETPACKAGE" (first answer) with `name` and the 260-byte
  // buffer `folder`; a non-zero answer means the buffer names a new folder.
  std::function<intptr_t(const std::string& name, char* folder)> AskForPackage;
  // What the installer function AbortInstall does: abort flag and
  // "EV_ABORTINSTALL".
  std::function<void()> AbortInstall;
  // The integer variable "SilentMode"; read from the main database when empty.
  std::function<int32_t()> SilentMode;
  TPreparationWindows Windows;
};
TPackageServices& PackageServices();

// --- Operations ------------------------------------------------------------------------------------

// Looks for `name` in `folder` (which gets one trailing backslash), asking
// the plug-ins for another folder while it is missing. False (after
// AbortInstall) when no plug-in supplies one.
bool FindPackageFile(const std::string& name, std::string& folder);

// Locates and validates the package file, fills FullFileName, FileName,
// the trailer fields and TempPath; for the main package writes
// "Resume.exe". Shows its own messages.
bool CheckPackage(TvxPackage& package);

// Extracts the preparation part of every package not yet Prepared.
bool PreparePackages(TvxPackages& packages);

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
inline constexpr char kMsgPreparingTitle[] = "Preparing \"%s\" package...";
inline constexpr char kMsgDamagedDatabase[] = "The database \"%s\" is damaged.";
inline constexpr char kResumeFileName[] = "Resume.exe";

}  // namespace vx
