#include "engine/Splash.h"

#include <algorithm>
#include <cstdint>

#include "system/kqFileUtils.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

struct SplashState {
  WindowHandle window = 0;
  HandleValue picture = 0;
  int width = 0, height = 0;
  uint32_t displayMs = 0;
  uint32_t shownAt = 0;
};
SplashState g_splash;

int32_t Le32(const std::string& b, size_t at) {
  return int32_t(uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
                 uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24);
}

}  // namespace

SplashSettings ReadSplashTrailer(const std::string& fileBytes) {
  SplashSettings s;
  if (fileBytes.size() < 8) return s;
  size_t at = fileBytes.size() - 8;
  int64_t seconds = Le32(fileBytes, at);
  s.displayMs = uint32_t(std::clamp<int64_t>(seconds * 1000, 0, int64_t(UINT32_MAX)));
  s.opacity = Le32(fileBytes, at + 4);
  return s;
}

uint8_t SplashAlpha(int opacity) {
  int64_t alpha = (int64_t(opacity) * 255 + 50) / 100;  // exact x 2.55, halves up
  if (opacity < 0) alpha = 0;
  return uint8_t(std::clamp<int64_t>(alpha, 0, 255));
}

bool SplashUsesLayering(int opacity, bool layeredAvailable, int osKind) {
  return opacity < 100 && layeredAvailable && (osKind == osWin2000 || osKind == osWinXP);
}

Point SplashPosition(const Rect& workArea, int width, int height) { return CentreIn(workArea, width, height); }

void ShowSplash(const std::string& path, WindowHandle owner) {
  if (g_splash.window || !FileExists(path)) return;
  Host& host = CurrentHost();
  // Only the trailer is needed: the last eight bytes.
  std::string tail(8, '\0');
  {
    auto file = host.OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
    size_t got = 0;
    if (!file || file->Size() < 8 || !file->Seek(-8, 2) || !file->Read(tail.data(), 8, got) || got != 8) return;
  }
  SplashSettings settings = ReadSplashTrailer(tail);
  int width = 0, height = 0;
  HandleValue picture = host.LoadPictureFile(path, width, height);
  if (!picture) return;
  Rect work;
  host.WorkArea(work);
  Point at = SplashPosition(work, width, height);
  WindowHandle window = host.CreatePictureWindow(kMainWindowClass, kSplashTitle, owner,
                                                 {at.x, at.y, at.x + width, at.y + height}, picture, false);
  if (!window) {
    host.DeletePicture(picture);
    return;
  }
  std::string region;
  std::string regionPath = ChangeFileExt(path, ".rgn");
  if (FileExists(regionPath) && ReadWholeFile(regionPath, region)) host.SetWindowRegionData(window, region);
  if (SplashUsesLayering(settings.opacity, host.LayeredWindowsAvailable(), ComputeOSInfo(host.Version()).Kind))
    host.SetWindowAlpha(window, SplashAlpha(settings.opacity));
  host.ShowAndUpdateWindow(window);
  g_splash = {window, picture, width, height, settings.displayMs, host.TickCount()};
}

void CloseSplash() {
  Host& host = CurrentHost();
  if (g_splash.window) {
    for (;;) {
      uint32_t now = host.TickCount();
      // A counter that wrapped since the splash appeared ends the wait.
      if (now < g_splash.shownAt || now - g_splash.shownAt >= g_splash.displayMs) break;
      PumpMessages();
    }
    host.DestroyWindow(g_splash.window);
  }
  host.DeletePicture(g_splash.picture);
  g_splash = {};
}

bool SplashShown() { return g_splash.window != 0; }
WindowHandle SplashWindow() { return g_splash.window; }

}  // namespace vx
