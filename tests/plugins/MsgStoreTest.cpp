#include <gtest/gtest.h>

#include "plugins/MsgStore.h"
#include "vxplugin.h"

namespace {

TEST(MsgStore, FixedMessagesHaveTheirNumbersBothWays) {
  vx::TMsgStore s;
  EXPECT_EQ(s.Count(), 50u);
  EXPECT_EQ(s.NumberOf("ev_load"), 2);
  EXPECT_EQ(s.NameOf(2), "EV_LOAD");
  EXPECT_EQ(s.NumberOf("EV_ABORTINSTALL"), 23);
  EXPECT_EQ(s.NumberOf("CM_ABORTINSTALL"), 256);
  EXPECT_EQ(s.NameOf(282), "CM_CALCACTIONS");
  EXPECT_EQ(s.NameOf(24), "");
  EXPECT_EQ(s.NameOf(255), "");
  EXPECT_EQ(s.NameOf(283), "");
  EXPECT_EQ(s.NumberOf("EV_NOTHING"), 0);
  // The SDK header and the store agree on every fixed number.
  EXPECT_EQ(s.NumberOf("EV_CALCFUNCTION"), EV_CALCFUNCTION);
  EXPECT_EQ(s.NumberOf("CM_GETINSTALLICON"), CM_GETINSTALLICON);
  EXPECT_EQ(s.NumberOf("EV_QUERYREBOOT"), EV_QUERYREBOOT);
}

TEST(MsgStore, RegisterGivesNewNumbersFrom4096AndReusesKnownOnes) {
  vx::TMsgStore s;
  EXPECT_EQ(s.Register("MY_PAGE_DONE"), 4096);
  EXPECT_EQ(s.Register("CM_GETACTIVEWINDOW"), 4097);
  EXPECT_EQ(s.Register("my_page_done"), 4096);
  EXPECT_EQ(s.Register("EV_START"), 4) << "fixed names keep their numbers";
  EXPECT_EQ(s.Register(""), 4098) << "even an empty name gets a number";
  EXPECT_EQ(s.NameOf(4098), "");
  EXPECT_EQ(s.LastNumber(), 4098);
}

TEST(MsgStore, DuplicatesAnswerWithTheFirstEntry) {
  vx::TMsgStore s;
  s.AddMessage(9000, "EV_LOAD");
  s.AddMessage(4, "SECOND_START");
  EXPECT_EQ(s.NumberOf("EV_LOAD"), 2);
  EXPECT_EQ(s.NameOf(4), "EV_START");
}

}  // namespace
