// Shell folders, the window search, the message pump, and running a
// program and waiting for it, written once above the Host seam.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "system/host.h"

namespace vx {

// The folder of a special-folder index (0 desktop, 1 fonts, 2 network
// neighbourhood, 3 documents, 4 programs, 5 recent, 6 send-to, 7 start
// menu, 8 startup, 9 templates, 10-13 the common start menu, programs,
// startup and desktop, which fall back to the user's when the system has
// no common folders). "" for an unknown index or folder.
std::string GetSpecialFolder(int index);

// The first top-level window whose title matches `pattern` without regard
// to case ("*" any run, "?" one character); 0 when none does. Windows
// without a title never match.
WindowHandle FindWindowByTitle(const std::string& pattern);

// Dispatches every pending message of the thread; WM_QUIT ends the pump (it
// is removed, not dispatched). Sleeps 1 ms when the queue was empty.
void PumpMessages();

// The engine's cancel flag: set by the installation when the user cancels;
// long waits end when it is set.
std::atomic<bool>& CancelFlag();

// Runs `file` and waits for it: programs (.exe .com .bat .pif) that exist
// are started directly, everything else (and a shortcut, which only the
// shell can start) through the shell. While it waits, the thread's window
// messages are dispatched every 100 ms; the wait ends early when the
// cancel flag is set or `stopWaiting` answers true (the program runs on).
// Returns the exit code, -1 when nothing could be started (also a document
// handed to a program that was running already), 0 when the wait ended
// early or the code cannot be read.
int RunAndWait(WindowHandle owner, const std::string& file, const std::string& params, int showCmd,
               const std::string& folder, const std::function<bool()>& stopWaiting = {});

}  // namespace vx
