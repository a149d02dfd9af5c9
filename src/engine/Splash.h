// The splash picture shown while a package is prepared: a bitmap file
// ("splash.bmp") with eight bytes appended (display time in seconds, then
// opacity in percent, both 32-bit little-endian), an optional region file
// of the same name with the extension ".rgn", centred in the work area.
#pragma once

#include <cstdint>
#include <string>

#include "engine/MainWnd.h"

namespace vx {

inline constexpr char kSplashTitle[] = "VXSplashWindow";

// What the eight trailing bytes of a splash picture ask for.
struct SplashSettings {
  uint32_t displayMs = 0;  // how long the splash stays at least
  int opacity = 100;       // percent; 100 or more is opaque
};

// Reads the trailer from the file's bytes (its last eight). Fewer than eight
// bytes gives the defaults. The display time is the seconds times 1000: a
// negative one counts as 0, and one beyond the range of the 32-bit tick
// counter as its largest value (the wait ends when the counter wraps).
SplashSettings ReadSplashTrailer(const std::string& fileBytes);
// The alpha value of a layered splash window: opacity x 2.55, rounded
// (halves up), within 0..255.
uint8_t SplashAlpha(int opacity);
// Whether the splash window becomes a layered window: opacity below 100,
// SetLayeredWindowAttributes present, and an operating-system kind of 4
// (2000) or 6 (XP and later).
bool SplashUsesLayering(int opacity, bool layeredAvailable, int osKind);
// Where the splash window goes: centred in the work area.
Point SplashPosition(const Rect& workArea, int width, int height);

// Shows the splash picture of `path` (nothing when it is missing or cannot
// be loaded, or while a splash is shown already).
void ShowSplash(const std::string& path, WindowHandle owner);
// Waits, processing window messages, until the display time has passed
// since the splash appeared, then destroys it and frees the picture.
void CloseSplash();
// Whether a splash window exists (shown and not yet closed).
bool SplashShown();
WindowHandle SplashWindow();

}  // namespace vx
