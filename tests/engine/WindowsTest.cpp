// The engine's windows on the current host: natively a sandbox machine
// that records its window decisions in the run log, on Windows (Wine)
// real windows whose titles, places and sizes are read back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "engine/MainWnd.h"
#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "plugins/VXPlugins.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using vxtest::ReadNative;

// A 24-bit bitmap of w x h pixels (a colour gradient), optionally followed
// by the splash trailer.
std::string Bitmap(int w, int h, bool trailer = false, int32_t seconds = 0, int32_t opacity = 100) {
  auto le = [](std::string& s, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) s += char(v >> (8 * i) & 0xFF);
  };
  uint32_t row = (uint32_t(w) * 3 + 3) / 4 * 4, data = row * uint32_t(h);
  std::string b = "BM";
  le(b, 54 + data, 4);
  le(b, 0, 4);
  le(b, 54, 4);
  le(b, 40, 4);
  le(b, uint32_t(w), 4);
  le(b, uint32_t(h), 4);
  le(b, 1, 2);
  le(b, 24, 2);
  le(b, 0, 4);
  le(b, data, 4);
  le(b, 2835, 4);
  le(b, 2835, 4);
  le(b, 0, 4);
  le(b, 0, 4);
  for (int y = 0; y < h; ++y) {
    std::string r;
    for (int x = 0; x < w; ++x) {
      r += char(x * 255 / w);        // blue
      r += char(y * 255 / h);        // green
      r += char(((x + y) & 16) ? 200 : 40);  // red stripes
    }
    r.resize(row, '\0');
    b += r;
  }
  if (trailer) {
    le(b, uint32_t(seconds), 4);
    le(b, uint32_t(opacity), 4);
  }
  return b;
}

// RGNDATA with the given rectangles.
std::string Region(std::initializer_list<vx::Rect> rects) {
  auto le = [](std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += char(v >> (8 * i) & 0xFF);
  };
  std::string r;
  le(r, 32);
  le(r, 1);
  le(r, uint32_t(rects.size()));
  le(r, uint32_t(rects.size() * 16));
  vx::Rect all{10000, 10000, 0, 0};
  for (const auto& x : rects) {
    all.left = std::min(all.left, x.left), all.top = std::min(all.top, x.top);
    all.right = std::max(all.right, x.right), all.bottom = std::max(all.bottom, x.bottom);
  }
  for (int v : {all.left, all.top, all.right, all.bottom}) le(r, uint32_t(v));
  for (const auto& x : rects)
    for (int v : {x.left, x.top, x.right, x.bottom}) le(r, uint32_t(v));
  return r;
}

// What the main window's messages mean in these tests: broadcasts of this
// plug-in list, and an end-of-session answer the test sets.
struct WindowEvents : vx::MainWindowEvents {
  explicit WindowEvents(vx::TPluginList& list) : plugins(list) {}
  intptr_t CrossThreadCall(uintptr_t block) override { return intptr_t(plugins.HandleCrossThreadCall(block)); }
  intptr_t QueryEndSession() override { return endSession; }
  vx::TPluginList& plugins;
  intptr_t endSession = 0;
};

class EngineWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    prompts.SetUnattendedAnswers(true, {});
    log = dir.Path() + "/run.log";
    ASSERT_TRUE(vx::OpenRunLog(log));
    main = vx::CreateMainWindow(events, prompts);
    ASSERT_NE(main, 0u);
    plugins.SetMainWindow(main);
    vx::CurrentHost().WorkArea(work);
    vx::CurrentHost().ScreenSize(screenW, screenH);
  }
  void TearDown() override {
    vx::DestroyPreparationWindow();
    vx::CloseSplash();
    vx::DestroyMainWindow(main);
    vx::CloseRunLog();
  }
  std::string Log() {
    vx::CloseRunLog();
    std::string text = ReadNative(log);
    vx::OpenRunLog(log + ".more");
    return text;
  }
  void Write(const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(vx::WriteWholeFile(machine.Scratch() + name, bytes));
  }
  vx::Rect Bounds(vx::WindowHandle w) {
    vx::Rect r;
    EXPECT_TRUE(vx::CurrentHost().WindowBounds(w, r));
    return r;
  }
  // Shows the windows for a moment when VX_SHOW_WINDOWS_MS is set, so that
  // a person (or a screenshot) can look at them.
  void Linger() {
    const char* ms = std::getenv("VX_SHOW_WINDOWS_MS");
    if (!ms) return;
    vx::Host& h = vx::CurrentHost();
    uint32_t start = h.TickCount();
    while (h.TickCount() - start < uint32_t(std::atoi(ms))) vx::PumpMessages();
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string log;
  vx::RunPrompts prompts;
  vx::TPluginList plugins;
  WindowEvents events{plugins};
  vx::WindowHandle main = 0;
  vx::Rect work;
  int screenW = 0, screenH = 0;
};

TEST_F(EngineWindows, SplashIsCentredWithItsSizeAndTitle) {
  Write("splash.bmp", Bitmap(301, 201, true, 0, 100));
  vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
  vx::WindowHandle w = vx::SplashWindow();
  ASSERT_NE(w, 0u);
  vx::Host& h = vx::CurrentHost();
  EXPECT_EQ(h.WindowTitle(w), "VXSplashWindow");
  EXPECT_TRUE(h.WindowVisible(w));
  vx::Rect r = Bounds(w);
  vx::Point at = vx::CentreIn(work, 301, 201);
  EXPECT_EQ(r.left, at.x);
  EXPECT_EQ(r.top, at.y);
  EXPECT_EQ(r.right - r.left, 301);
  EXPECT_EQ(r.bottom - r.top, 201);
  Linger();
  vx::CloseSplash();
  EXPECT_FALSE(vx::SplashShown());
  if (machine.IsSandbox()) {
    EXPECT_NE(Log().find(vx::Format("window: show \"VXSplashWindow\" at (%d,%d) size 301x201 opaque", at.x, at.y)),
              std::string::npos);
  }
}

TEST_F(EngineWindows, SplashStaysForItsDisplayTimeAndWithoutOneClosesAtOnce) {
  vx::Host& h = vx::CurrentHost();
  // Destroying a window costs time of its own (seconds under Wine without
  // a window manager): the wait is measured against a splash without one.
  auto closing = [&](int seconds) {
    Write("splash.bmp", Bitmap(64, 48, true, seconds, 100));
    vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
    EXPECT_TRUE(vx::SplashShown());
    uint32_t shown = h.TickCount();
    vx::CloseSplash();
    EXPECT_FALSE(vx::SplashShown());
    return h.TickCount() - shown;
  };
  uint32_t none = closing(0), one = closing(1);
  EXPECT_GE(one, 990u);
  EXPECT_GE(one, none + 700);
  EXPECT_LT(one, none + 2000);
}

TEST_F(EngineWindows, OpacityMakesALayeredSplashWithRegion) {
  Write("splash.bmp", Bitmap(200, 100, true, 0, 40));
  Write("splash.rgn", Region({{0, 0, 200, 50}, {50, 50, 150, 100}}));
  vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
  ASSERT_TRUE(vx::SplashShown());
  EXPECT_TRUE(vx::CurrentHost().WindowVisible(vx::SplashWindow()));
  Linger();
  vx::CloseSplash();
  if (machine.IsSandbox()) {
    EXPECT_NE(Log().find("size 200x100 alpha 102 region of 2 rectangles"), std::string::npos);
  }
}

TEST_F(EngineWindows, MissingOrBrokenPicturesAndRegionsNeverFail) {
  vx::Host& h = vx::CurrentHost();
  vx::ShowSplash(machine.Scratch() + "none.bmp", main);
  EXPECT_FALSE(vx::SplashShown());
  std::string bmp = Bitmap(40, 40, true, 0, 100);
  // Pixel data cut off: Windows may show what there is, the sandbox refuses.
  Write("cut.bmp", bmp.substr(0, 100) + bmp.substr(bmp.size() - 8));
  vx::ShowSplash(machine.Scratch() + "cut.bmp", main);
  if (machine.IsSandbox()) {
    EXPECT_FALSE(vx::SplashShown());
  }
  vx::CloseSplash();
  Write("tiny.bmp", "BM");
  vx::ShowSplash(machine.Scratch() + "tiny.bmp", main);
  EXPECT_FALSE(vx::SplashShown());
  // A region whose count promises more rectangles than the file holds.
  std::string region = Region({{0, 0, 10, 10}});
  region[8] = char(200);
  Write("splash.bmp", bmp);
  Write("splash.rgn", region);
  vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
  ASSERT_TRUE(vx::SplashShown());
  EXPECT_TRUE(h.WindowVisible(vx::SplashWindow()));
  vx::CloseSplash();
  if (machine.IsSandbox()) {
    std::string text = Log();
    EXPECT_NE(text.find("size 40x40 opaque"), std::string::npos);
    EXPECT_EQ(text.find("region of"), std::string::npos);
  }
}

#ifndef _WIN32
TEST_F(EngineWindows, NoLayeringBefore2000) {
  vxtest::TestMachine old("98");
  Write("splash.bmp", Bitmap(20, 20, true, 0, 40));
  vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
  vx::CloseSplash();
  EXPECT_NE(Log().find("size 20x20 opaque"), std::string::npos);
}
#endif

TEST_F(EngineWindows, WithoutPictureTheDialogNamesThePackageAndIsCentred) {
  vx::Host& h = vx::CurrentHost();
  vx::ShowPreparationWindow("Main", machine.Scratch(), main);
  vx::WindowHandle w = vx::PreparationWindow();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(h.WindowTitle(w), "Preparing \"Main\" package...");
  EXPECT_TRUE(vx::PreparationWindowVisible());
  vx::Rect r = Bounds(w);
  int width = r.right - r.left, height = r.bottom - r.top;
  EXPECT_GT(width, 200);  // 200 dialog units
  EXPECT_GT(height, 70);
  vx::Point at = vx::KeepOnScreen(vx::CentreIn(work, width, height), width, height, screenW, screenH);
  EXPECT_EQ(r.left, at.x);
  EXPECT_EQ(r.top, at.y);
  // The progress bar is the dialog's control 101, inside the dialog.
  vx::WindowHandle bar = vx::PreparationProgressBar();
  ASSERT_NE(bar, 0u);
  EXPECT_EQ(bar, h.DialogItem(w, 101));
  vx::Rect b = Bounds(bar);
  EXPECT_GT(b.left, r.left);
  EXPECT_LT(b.right, r.right);
  EXPECT_GT(b.bottom - b.top, 0);
  vx::SetPreparationProgress(37);
  // PBM_GETPOS answers on Windows; the sandbox keeps the position.
#ifdef _WIN32
  EXPECT_EQ(h.SendWindowMessage(bar, 0x0408, 0, 0), 37);
#else
  EXPECT_EQ(static_cast<vx::SandboxHost&>(h).ProgressPosition(bar), 37);
#endif
  vx::SetPreparationTitle("Extras");
  EXPECT_EQ(h.WindowTitle(w), "Preparing \"Extras\" package...");
  Linger();
  vx::DestroyPreparationWindow();
  EXPECT_EQ(vx::PreparationWindow(), 0u);
  EXPECT_FALSE(vx::PreparationWindowVisible());
}

TEST_F(EngineWindows, PictureWindowSitsBottomRightBesideASplash) {
  vx::Host& h = vx::CurrentHost();
  Write("splash.bmp", Bitmap(320, 240, true, 0, 100));
  Write("presetup.bmp", Bitmap(337, 239));
  Write("presetup.rgn", Region({{0, 0, 337, 239}}));
  vx::ShowSplash(machine.Scratch() + "splash.bmp", main);
  ASSERT_TRUE(vx::SplashShown());
  vx::ShowPreparationWindow("Main", machine.Scratch(), main);
  vx::WindowHandle w = vx::PreparationWindow();
  ASSERT_NE(w, 0u);
  EXPECT_EQ(h.WindowTitle(w), "VXPresetupWindow");
  vx::Rect r = Bounds(w);
  EXPECT_EQ(r.right - r.left, 337);
  EXPECT_EQ(r.bottom - r.top, 239);
  EXPECT_EQ(r.right, work.right - 20);
  EXPECT_EQ(r.bottom, work.bottom - 20);
  vx::Rect b = Bounds(vx::PreparationProgressBar());
  EXPECT_EQ(b.left, r.left + 82);
  EXPECT_EQ(b.top, r.top + 185);
  EXPECT_EQ(b.right - b.left, 173);
  EXPECT_EQ(b.bottom - b.top, 16);
  vx::SetPreparationProgress(60);
  Linger();
  // Shown again for the next package: stays, progress back to 0.
  vx::ShowPreparationWindow("Extras", machine.Scratch(), main);
  EXPECT_EQ(vx::PreparationWindow(), w);
#ifdef _WIN32
  EXPECT_EQ(h.SendWindowMessage(vx::PreparationProgressBar(), 0x0408, 0, 0), 0);
#endif
  vx::DestroyPreparationWindow();
  vx::CloseSplash();
  if (machine.IsSandbox()) {
    std::string text = Log();
    EXPECT_NE(text.find("window: progress bar in \"VXPresetupWindow\" at (82,185) size 173x16 colours FFC876 on FFFFEB"),
              std::string::npos);
    EXPECT_NE(text.find(vx::Format("window: show \"VXPresetupWindow\" at (%d,%d) size 337x239 opaque region of 1",
                                   work.right - 20 - 337, work.bottom - 20 - 239)),
              std::string::npos);
    EXPECT_NE(text.find("window: progress \"VXPresetupWindow\" 60"), std::string::npos);
  }
}

TEST_F(EngineWindows, MainWindowAnswersTheEndOfSessionQueryAsTheRunSays) {
  vx::Host& h = vx::CurrentHost();
  // Refused unless the resume logic says otherwise (Windows would allow).
  EXPECT_EQ(h.SendWindowMessage(main, vx::kWmQueryEndSession, 0, 0), 0);
  events.endSession = 1;
  EXPECT_EQ(h.SendWindowMessage(main, vx::kWmQueryEndSession, 0, 0), 1);
  intptr_t result = 0;
  EXPECT_FALSE(vx::MainWindowProc(events, 0x0400, 0, 0, result));
}

TEST_F(EngineWindows, BroadcastFromAnotherThreadRunsOnTheMainThread) {
  vx::Host& h = vx::CurrentHost();
  std::atomic<bool> done{false};
  std::atomic<intptr_t> answer{-1};
  std::thread worker([&] {
    answer = intptr_t(plugins.Broadcast(0, 1, true, 0, 0));
    done = true;
  });
  uint32_t start = h.TickCount();
  while (!done && h.TickCount() - start < 5000) vx::PumpMessages();
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(answer, 0);  // no plug-ins loaded
}

}  // namespace
