// One shell link (.lnk file): its fields, and the save that writes them
// through the shell's link object and tells the shell about the change.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

class TkqShellLink {
 public:
  // How the link starts its program.
  enum : uint8_t { kShowNormal = 0, kShowMinimized = 1, kShowMaximized = 2 };

  std::string LinkFile;       // path of the .lnk file to write
  std::string Target;         // program or document the link starts
  std::string Arguments;      // command-line arguments
  std::string WorkingFolder;  // start folder
  std::string Description;    // comment text of the link
  std::string IconFile;       // file holding the icon
  uint8_t ShowCode = kShowNormal;
  uint16_t Hotkey = 0;        // virtual key in the low byte, modifier flags in the high byte
  int32_t IconIndex = 0;      // index of the icon in the icon file

  // Writes the link to `linkFile` (which becomes LinkFile). Double quotes
  // are taken out of the link file, target, working folder, description
  // and icon file (the arguments keep theirs); the show code becomes
  // SW_SHOWMINNOACTIVE, SW_SHOWMAXIMIZED or SW_SHOWNORMAL. On success the
  // shell is told that the link, and the icon file when it exists,
  // changed. False when the link could not be written.
  bool Save(const std::string& linkFile);
};

}  // namespace vx
