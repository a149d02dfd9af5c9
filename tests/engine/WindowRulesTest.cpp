// The placement, opacity and timing rules of the engine's windows, which
// both hosts share.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "system/kqUtils.h"

namespace {

std::string Trailer(int32_t seconds, int32_t opacity) {
  std::string t;
  for (int32_t v : {seconds, opacity})
    for (int i = 0; i < 4; ++i) t += char(uint32_t(v) >> (8 * i) & 0xFF);
  return t;
}

TEST(SplashRules, TrailerIsTheLastEightBytes) {
  vx::SplashSettings s = vx::ReadSplashTrailer("BM....pixels" + Trailer(3, 40));
  EXPECT_EQ(s.displayMs, 3000u);
  EXPECT_EQ(s.opacity, 40);
  // Too short for a trailer: shown at once, opaque.
  s = vx::ReadSplashTrailer("1234567");
  EXPECT_EQ(s.displayMs, 0u);
  EXPECT_EQ(s.opacity, 100);
  // A negative time does not wait; a long one is honoured whole, and one
  // beyond the tick counter's range does not wrap to a short wait.
  EXPECT_EQ(vx::ReadSplashTrailer(Trailer(-5, 100)).displayMs, 0u);
  EXPECT_EQ(vx::ReadSplashTrailer(Trailer(61, 100)).displayMs, 61000u);
  EXPECT_EQ(vx::ReadSplashTrailer(Trailer(3600, 100)).displayMs, 3600000u);
  EXPECT_EQ(vx::ReadSplashTrailer(Trailer(4294968, 100)).displayMs, UINT32_MAX);  // x 1000 wraps 32 bits
}

TEST(SplashRules, AlphaIsOpacityTimes255Rounded) {
  EXPECT_EQ(vx::SplashAlpha(40), 102);
  EXPECT_EQ(vx::SplashAlpha(0), 0);
  EXPECT_EQ(vx::SplashAlpha(1), 3);     // 2.55
  EXPECT_EQ(vx::SplashAlpha(30), 77);   // 76.5, half up
  EXPECT_EQ(vx::SplashAlpha(99), 252);  // 252.45
  EXPECT_EQ(vx::SplashAlpha(-20), 0);
  EXPECT_EQ(vx::SplashAlpha(400), 255);
}

TEST(SplashRules, LayeringNeedsLowOpacityTheCallAndA2000OrXPKind) {
  EXPECT_TRUE(vx::SplashUsesLayering(40, true, vx::osWinXP));
  EXPECT_TRUE(vx::SplashUsesLayering(99, true, vx::osWin2000));
  EXPECT_FALSE(vx::SplashUsesLayering(100, true, vx::osWinXP));  // opaque even where layering exists
  EXPECT_FALSE(vx::SplashUsesLayering(250, true, vx::osWinXP));
  EXPECT_FALSE(vx::SplashUsesLayering(40, false, vx::osWinXP));
  EXPECT_FALSE(vx::SplashUsesLayering(40, true, vx::osWinNT));
  EXPECT_FALSE(vx::SplashUsesLayering(40, true, vx::osWinMe));
}

TEST(Placement, CentredHalvesRoundTowardZero) {
  vx::Rect work{100, 50, 1125, 788};  // 1025 x 738, offset
  vx::Point p = vx::SplashPosition(work, 300, 201);
  EXPECT_EQ(p.x, 100 + 362);  // 725 / 2
  EXPECT_EQ(p.y, 50 + 268);   // 537 / 2
  // A picture larger than the work area: -25 / 2 is -12, not -13.
  p = vx::SplashPosition({0, 0, 1000, 700}, 1025, 700);
  EXPECT_EQ(p.x, -12);
  EXPECT_EQ(p.y, 0);
}

TEST(Placement, PreparationWindowCentredOrBottomRightAndOnScreen) {
  vx::Rect work{0, 0, 1024, 738};
  vx::Point p = vx::PreparationPosition(work, 1024, 768, 337, 239, false);
  EXPECT_EQ(p.x, 343);
  EXPECT_EQ(p.y, 249);
  p = vx::PreparationPosition(work, 1024, 768, 337, 239, true);
  EXPECT_EQ(p.x, 1024 - 20 - 337);
  EXPECT_EQ(p.y, 738 - 20 - 239);
  // Taskbar at the top: the work area starts lower.
  p = vx::PreparationPosition({0, 30, 1024, 768}, 1024, 768, 300, 100, true);
  EXPECT_EQ(p.y, 768 - 20 - 100);
  // Larger than the screen: its top-left corner stays visible.
  p = vx::PreparationPosition(work, 1024, 768, 1100, 800, true);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
  p = vx::PreparationPosition({-300, 0, 500, 738}, 1024, 768, 400, 100, false);
  EXPECT_EQ(p.x, 0);  // centred at -100 it would leave the screen
}

TEST(Placement, DialogCaptionNamesThePackage) {
  EXPECT_EQ(vx::PreparationCaption("Main"), "Preparing \"Main\" package...");
}

}  // namespace
