// The sandbox host's profile functions.
#include <gtest/gtest.h>

#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "SandboxFixture.h"

using namespace vx;
using vxtest::Machine;
using vxtest::Slurp;
using vxtest::Append;
namespace fs = std::filesystem;

namespace {

TEST(SandboxProfileTest, ProfileFunctions) {
  Machine m;
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\p.ini", "[S]\r\n  key = \"quoted value\" \r\nother=1\r\n[T]\r\nx=y\r\n"));
  EXPECT_EQ(h.ProfileRead("p.ini", "s", "KEY", "d", 1024), "quoted value");
  EXPECT_EQ(h.ProfileRead("p.ini", "s", "missing", "d  ", 1024), "d");
  EXPECT_EQ(h.ProfileRead("p.ini", std::nullopt, std::nullopt, "", 1024), std::string("S\0T\0", 4));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "S", "new", "v"));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "T", std::nullopt, std::nullopt));
  EXPECT_TRUE(h.ProfileWrite("p.ini", "S", "other", std::nullopt));
  std::string text;
  ASSERT_TRUE(ReadWholeFile("C:\\WINDOWS\\p.ini", text));
  EXPECT_EQ(text, "[S]\r\n  key = \"quoted value\" \r\nnew=v\r\n");
}

}  // namespace
