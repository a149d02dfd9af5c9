#include "engine/Presetup.h"

#include "engine/Splash.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

struct PresetupState {
  WindowHandle window = 0;
  HandleValue picture = 0;
  int width = 0, height = 0;
  WindowHandle bar = 0;
};
PresetupState g_presetup;

}  // namespace

std::string PreparationCaption(const std::string& packageName) {
  return "Preparing \"" + packageName + "\" package...";
}

Point PreparationPosition(const Rect& workArea, int screenWidth, int screenHeight, int width, int height,
                          bool splashShown) {
  Point at = splashShown ? Point{workArea.right - 20 - width, workArea.bottom - 20 - height}
                         : CentreIn(workArea, width, height);
  return KeepOnScreen(at, width, height, screenWidth, screenHeight);
}

void ShowPreparationWindow(const std::string& packageName, const std::string& packageFolder, WindowHandle owner) {
  Host& host = CurrentHost();
  PresetupState& s = g_presetup;
  if (!s.window) {
    if (!s.picture) s.picture = host.LoadPictureFile(packageFolder + "presetup.bmp", s.width, s.height);
    if (s.picture) {
      s.window = host.CreatePictureWindow(kMainWindowClass, kPresetupTitle, owner,
                                          {0, 0, s.width, s.height}, s.picture, true);
      if (s.window) {
        s.bar = host.CreateProgressBar(s.window, kPresetupProgressBounds, kPresetupBarColour, kPresetupBackColour);
        std::string regionPath = packageFolder + "presetup.rgn", region;
        if (FileExists(regionPath) && ReadWholeFile(regionPath, region)) host.SetWindowRegionData(s.window, region);
      }
    }
    if (!s.window) {
      // No picture, or no window for it: the engine's own dialog.
      s.window = host.CreateResourceDialog(kPresetupDialog, owner);
      if (!s.window) return;
      host.SetWindowTitle(s.window, PreparationCaption(packageName));
      s.bar = host.DialogItem(s.window, kPresetupDialogProgressId);
    }
    host.SetProgressRange(s.bar, 0, 100, 1);
  }
  host.SetProgressPosition(s.bar, 0);
  Rect bounds, work;
  if (host.WindowBounds(s.window, bounds) && host.WorkArea(work)) {
    int screenWidth = 0, screenHeight = 0;
    host.ScreenSize(screenWidth, screenHeight);
    Point at = PreparationPosition(work, screenWidth, screenHeight, bounds.right - bounds.left,
                                   bounds.bottom - bounds.top, SplashShown());
    host.MoveWindowTo(s.window, at.x, at.y);
  }
  host.ShowAndUpdateWindow(s.window);
}

void SetPreparationProgress(int percent) {
  if (g_presetup.bar) CurrentHost().SetProgressPosition(g_presetup.bar, percent);
}

void SetPreparationTitle(const std::string& packageName) {
  if (g_presetup.window) CurrentHost().SetWindowTitle(g_presetup.window, PreparationCaption(packageName));
}

void DestroyPreparationWindow() {
  Host& host = CurrentHost();
  if (g_presetup.window) host.DestroyWindow(g_presetup.window);
  if (g_presetup.picture) host.DeletePicture(g_presetup.picture);
  g_presetup = {};
}

bool PreparationWindowVisible() { return g_presetup.window && CurrentHost().WindowVisible(g_presetup.window); }
WindowHandle PreparationWindow() { return g_presetup.window; }
WindowHandle PreparationProgressBar() { return g_presetup.bar; }

}  // namespace vx
