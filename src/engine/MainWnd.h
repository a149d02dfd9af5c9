// The engine's invisible main window: it owns the message boxes, carries
// plug-in broadcasts from the worker thread to the main thread, and answers
// the query whether the logon may end. Also the placement rules the
// engine's visible windows share.
#pragma once

#include <cstdint>

#include "system/Prompts.h"
#include "system/host.h"

namespace vx {

// The class of all three engine windows.
inline constexpr char kMainWindowClass[] = "VornMainWindow";
// WM_QUERYENDSESSION.
inline constexpr uint32_t kWmQueryEndSession = 0x0011;

// What the main window's messages mean to the run (the run session).
class MainWindowEvents {
 public:
  virtual ~MainWindowEvents() = default;
  // A plug-in broadcast another thread sent (message 0x5911, the call
  // block in wParam): runs it on this thread, frees the block and returns
  // the result the sender waits for.
  virtual intptr_t CrossThreadCall(uintptr_t block) = 0;
  // Windows asks whether the logon may end: 1 lets it end, 0 refuses.
  virtual intptr_t QueryEndSession() { return 0; }
};

// Registers the window class (showing "Cannot register main window class!"
// when that fails), creates the hidden main window and makes MainWindowProc
// over `events` its handler. Returns 0 when there is no window; the caller
// reports that.
WindowHandle CreateMainWindow(MainWindowEvents& events, Prompts& prompts);
// Removes the handler and destroys the window.
void DestroyMainWindow(WindowHandle window);

// The main window's handling of its messages: the cross-thread plug-in
// call (0x5911) and the end-of-session query. False for everything else
// (default processing).
bool MainWindowProc(MainWindowEvents& events, uint32_t message, uintptr_t wParam, uintptr_t lParam,
                    intptr_t& result);

// --- Placement --------------------------------------------------------------

struct Point {
  int x = 0, y = 0;
};

// The top-left corner that centres a window of this size in `area`,
// halves rounded toward zero.
Point CentreIn(const Rect& area, int width, int height);
// Moves a window at `at` of this size onto a screen of `screenWidth` x
// `screenHeight`: pulled left (up) until its right (bottom) edge fits, and
// to 0 when its left (top) edge is negative.
Point KeepOnScreen(Point at, int width, int height, int screenWidth, int screenHeight);

}  // namespace vx
