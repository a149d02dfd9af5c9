#include "engine/MainWnd.h"

#include "plugins/VXPlugins.h"
#include "system/kqUtils.h"

namespace vx {

bool MainWindowProc(MainWindowEvents& events, uint32_t message, uintptr_t wParam, uintptr_t lParam,
                    intptr_t& result) {
  switch (message) {
    case kCrossThreadMessage:
      // Sent synchronously by another thread: the sender waits for this
      // result. The block is freed by the handler.
      result = events.CrossThreadCall(wParam);
      return true;
    case kWmQueryEndSession:
      result = events.QueryEndSession();
      return true;
    default:
      return false;
  }
}

WindowHandle CreateMainWindow(MainWindowEvents& events, Prompts& prompts) {
  Host& host = CurrentHost();
  if (!host.RegisterEngineWindowClass(kMainWindowClass)) {
    prompts.ShowError("Cannot register main window class!");
    return 0;
  }
  WindowHandle window = host.CreateMainWindow(kMainWindowClass);
  if (window)
    host.SetMainWindowHandler([&events](uint32_t message, uintptr_t wParam, uintptr_t lParam, intptr_t& result) {
      return MainWindowProc(events, message, wParam, lParam, result);
    });
  return window;
}

void DestroyMainWindow(WindowHandle window) {
  Host& host = CurrentHost();
  host.SetMainWindowHandler(nullptr);
  host.DestroyWindow(window);
}

Point CentreIn(const Rect& area, int width, int height) {
  return {area.left + ((area.right - area.left) - width) / 2, area.top + ((area.bottom - area.top) - height) / 2};
}

Point KeepOnScreen(Point at, int width, int height, int screenWidth, int screenHeight) {
  if (at.x + width > screenWidth) at.x = screenWidth - width;
  if (at.x < 0) at.x = 0;
  if (at.y + height > screenHeight) at.y = screenHeight - height;
  if (at.y < 0) at.y = 0;
  return at;
}

}  // namespace vx
