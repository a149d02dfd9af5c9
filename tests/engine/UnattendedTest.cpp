// Message boxes without a person: default buttons, answer scripts and the
// run log record of every box.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "engine/Main.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqUtils.h"

namespace {

using vxtest::ReadNative;

TEST(Unattended, DefaultButtonFollowsTheButtonSetAndDefaultIndex) {
  EXPECT_EQ(vx::DefaultButton(vx::kMbOk), vx::kIdOk);
  EXPECT_EQ(vx::DefaultButton(vx::kMbYesNo), vx::kIdYes);
  EXPECT_EQ(vx::DefaultButton(vx::kMbYesNo | 0x100), vx::kIdNo);
  EXPECT_EQ(vx::DefaultButton(vx::kMbYesNoCancel | 0x200), vx::kIdCancel);
  EXPECT_EQ(vx::DefaultButton(vx::kMbAbortRetryIgnore | 0x100), vx::kIdRetry);
  EXPECT_EQ(vx::DefaultButton(vx::kMbOkCancel | 0x300), vx::kIdOk) << "index beyond the set";
  EXPECT_EQ(vx::DefaultButton(vx::kMbRetryCancel | vx::kMbIconError | vx::kMbTaskModal), vx::kIdRetry);
}

TEST(Unattended, AnswerScriptsParseAndReportBadLines) {
  std::vector<vx::MsgBoxRule> rules;
  std::string error;
  ASSERT_TRUE(vx::ParseAnswerScript("; comment\r\n\r\n*overwrite*=no\r\nCancel\n*a=b*=Retry\n", rules, error));
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0].pattern, "*overwrite*");
  EXPECT_EQ(rules[0].button, vx::kIdNo);
  EXPECT_EQ(rules[1].pattern, "*");
  EXPECT_EQ(rules[1].button, vx::kIdCancel);
  EXPECT_EQ(rules[2].pattern, "*a=b*") << "the button follows the last '='";
  std::vector<vx::MsgBoxRule> bad;
  EXPECT_FALSE(vx::ParseAnswerScript("ok\n*x*=maybe\n", bad, error));
  EXPECT_EQ(error, "line 2: unknown button \"maybe\"");
}

TEST(Unattended, BoxesAreAnsweredByRulesThenDefaultsAndLogged) {
  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string log = dir.Path() + "/run.log";
  ASSERT_TRUE(vx::OpenRunLog(log));
  vx::RunPrompts prompts;
  prompts.SetUnattendedAnswers(true, {{"*replace*", vx::kIdNo}});
  EXPECT_EQ(prompts.MsgBox(0, "Setup", "Do you want to replace\r\nthe file?", vx::kMbYesNo), vx::kIdNo);
  EXPECT_EQ(prompts.MsgBox(0, "Setup", "Continue?", vx::kMbYesNo | 0x100), vx::kIdNo);
  prompts.ShowError("Bad \"thing\"");
  prompts.SetApplicationName("Quill Writer");
  prompts.ShowWarning("Careful");
  vx::CloseRunLog();
  std::string text = ReadNative(log);
  EXPECT_NE(text.find("msgbox: caption=\"Setup\" text=\"Do you want to replace\\r\\nthe file?\" flags=0x00002004 "
                      "answer=No (scripted)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("text=\"Continue?\" flags=0x00002104 answer=No (default)"), std::string::npos) << text;
  EXPECT_NE(text.find("caption=\"Error\" text=\"Bad \\\"thing\\\"\" flags=0x00002010"), std::string::npos) << text;
  EXPECT_NE(text.find("caption=\"Quill Writer\" text=\"Careful\" flags=0x00002030"), std::string::npos) << text;
}

TEST(Unattended, SwitchesConfigureLogAndAnswers) {
  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string answers = dir.Path() + "/answers.txt";
  std::ofstream(answers) << "*disk*=Retry\n";
  std::string log = dir.Path() + "/run.log";
  std::string error;
  vx::UnattendedAnswers given;
  ASSERT_TRUE(vx::ConfigureUnattended(vx::CommandLine({"/LOG:" + log, "-answers:\"" + answers + "\""}), given, error))
      << error;
  EXPECT_FALSE(given.takeDefault);
  vx::RunPrompts prompts;
  prompts.SetUnattendedAnswers(given.takeDefault, given.rules);
  EXPECT_EQ(prompts.MsgBox(0, "Setup", "Insert the next disk", vx::kMbRetryCancel | 0x100), vx::kIdRetry);
  vx::CloseRunLog();
  EXPECT_NE(ReadNative(log).find("answer=Retry (scripted)"), std::string::npos);

  EXPECT_FALSE(vx::ConfigureUnattended(vx::CommandLine({"/suppressmsgboxes", "/answers:" + dir.Path() + "/none"}),
                                       given, error));
  EXPECT_NE(error.find("Cannot read the answer file"), std::string::npos);
  EXPECT_TRUE(given.takeDefault) << "the box that reports it is answered as the switches say";
}

}  // namespace
