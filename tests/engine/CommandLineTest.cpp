#include <gtest/gtest.h>

#include "engine/CommandLine.h"

using vx::CommandLine;

TEST(CommandLine, SplitsLikeTheRuntime) {
  auto p = vx::SplitCommandLine("  \"C:\\Program Files\\setup.exe\"  /s  /resume:\"C:\\a b\\x\" a\"b c\"d ");
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], "C:\\Program Files\\setup.exe");
  EXPECT_EQ(p[1], "/s");
  EXPECT_EQ(p[2], "/resume:C:\\a b\\x");
  EXPECT_EQ(p[3], "ab cd");
  EXPECT_TRUE(vx::SplitCommandLine("   ").empty());
}

TEST(CommandLine, ResumeFolderIsTheSameWhateverTheSpelling) {
  const char* spellings[] = {"/resume:C:\\Temp\\2F36ABCD", "-RESUME:C:\\Temp\\2F36ABCD",
                             "/Resume:\"C:\\Temp\\2F36ABCD\"", "-resume:\"C:\\Temp\\2F36ABCD\\\"",
                             "/resume:C:\\Temp\\2F36ABCD\\"};
  for (const char* s : spellings) {
    CommandLine c({s});
    ASSERT_TRUE(c.ResumeFolder().has_value()) << s;
    EXPECT_EQ(*c.ResumeFolder(), "C:\\Temp\\2F36ABCD\\") << s;
  }
}

TEST(CommandLine, FirstMatchingResumeAndExeNameWin) {
  CommandLine c({"plain", "/exename:\"D:\\setup.exe\"", "/resume:C:\\one", "/resume:C:\\two", "/EXENAME:E:\\x.exe"});
  EXPECT_EQ(*c.ResumeFolder(), "C:\\one\\");
  EXPECT_EQ(*c.ExeName(), "D:\\setup.exe");
  EXPECT_FALSE(CommandLine({"resume:C:\\x"}).ResumeFolder().has_value()) << "no switch character";
  EXPECT_FALSE(CommandLine({"/resumeC:\\x"}).ResumeFolder().has_value());
}

TEST(CommandLine, SwitchesNeedACharacterAfterTheMarkAndMatchWholly) {
  CommandLine c({"/", "-", "s", "/sx", "/repairs", "foo"});
  EXPECT_FALSE(c.HasSwitch("s"));
  EXPECT_FALSE(c.HasSwitch("repair"));
  EXPECT_TRUE(CommandLine({"-S"}).HasSwitch("s"));
  EXPECT_TRUE(CommandLine({"/REPAIR", "MyApp"}).HasSwitch("repair"));
  EXPECT_EQ(CommandLine({"/repair", "MyApp"}).Param(2), "MyApp");
  EXPECT_EQ(CommandLine({"/repair"}).Param(2), "");
}

TEST(CommandLine, VarSwitchesTakeTheTextFromTheSixthCharacter) {
  CommandLine c({"/var:Name=Value=2", "-VAR:Empty", "/var:=nothing", "xvar:No=1", "/var:Spaced=a b", "/variable:x"});
  auto v = c.VarSwitches();
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0], std::make_pair(std::string("Name"), std::string("Value=2")));
  EXPECT_EQ(v[1], std::make_pair(std::string("Empty"), std::string("")));
  EXPECT_EQ(v[2], std::make_pair(std::string(""), std::string("nothing")));
  EXPECT_EQ(v[3], std::make_pair(std::string("Spaced"), std::string("a b")));
}
