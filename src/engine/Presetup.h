// The preparation window: shown while the preparation part of a package is
// extracted, with a progress bar. It is the package's picture "presetup.bmp"
// (shaped by "presetup.rgn" when present) with a progress bar drawn over
// it, or, without a picture, the engine's dialog "DLG_PRESETUP".
#pragma once

#include <string>

#include "engine/MainWnd.h"

namespace vx {

inline constexpr char kPresetupTitle[] = "VXPresetupWindow";
inline constexpr char kPresetupDialog[] = "DLG_PRESETUP";
inline constexpr int kPresetupDialogProgressId = 101;
// The progress bar over the picture, in pixels of the picture.
inline constexpr Rect kPresetupProgressBounds = {82, 185, 82 + 173, 185 + 16};
inline constexpr uint32_t kPresetupBarColour = 118 | 200 << 8 | 255u << 16;   // COLORREF 0x00BBGGRR
inline constexpr uint32_t kPresetupBackColour = 235 | 255 << 8 | 255u << 16;

// The caption of the dialog: "Preparing "<name>" package...".
std::string PreparationCaption(const std::string& packageName);
// Where the preparation window goes: with a splash window in the
// bottom-right corner of the work area, 20 pixels from its right and bottom
// edges, else centred in it; either way kept on the screen.
Point PreparationPosition(const Rect& workArea, int screenWidth, int screenHeight, int width, int height,
                          bool splashShown);

// Shows the preparation window for the package `packageName` whose files
// are extracted into `packageFolder` (with a trailing backslash), creating
// it when it does not exist yet, with its progress at 0.
void ShowPreparationWindow(const std::string& packageName, const std::string& packageFolder, WindowHandle owner);
void SetPreparationProgress(int percent);
// Sets the caption to "Preparing "<name>" package..." when the window exists.
void SetPreparationTitle(const std::string& packageName);
// Destroys the window (if any) and frees the picture (if any).
void DestroyPreparationWindow();
bool PreparationWindowVisible();
WindowHandle PreparationWindow();
WindowHandle PreparationProgressBar();

}  // namespace vx
