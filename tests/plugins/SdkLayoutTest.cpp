// The plug-in records as the engine reads and writes them. On Windows i686
// the header checks the exact layouts at compile time; here the records are
// filled through their fields and read back at the byte offsets the engine
// uses, on whatever target the test runs.
#include <gtest/gtest.h>

#include <cstring>

#include "vxplugin.h"

namespace {

constexpr size_t kAddr = sizeof(void*);

TEST(SdkLayout, InformationRecordOffsets) {
  VXPluginInfo info;
  std::memset(&info, 0, sizeof info);
  std::strcpy(info.pluginId, "Quill.Wizard");
  info.refuse = 1;
  info.minEngineVersion = 0x30500;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&info);
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 12), "Quill.Wizard");
  EXPECT_EQ(b[534], 1);
  EXPECT_EQ(offsetof(VXPluginInfo, handler), 5158u);
  EXPECT_EQ(sizeof(VXPluginInfo), 5158u + kAddr);
}

TEST(SdkLayout, StartupRecordOffsets) {
  EXPECT_EQ(offsetof(VXStartupInfo, configFile), 12u);
  EXPECT_EQ(offsetof(VXStartupInfo, getMessageID), 273u);
  EXPECT_EQ(offsetof(VXStartupInfo, sendCommand), 273u + kAddr);
  EXPECT_EQ(offsetof(VXStartupInfo, sendCommandByName), 273u + 2 * kAddr);
  EXPECT_EQ(sizeof(VXStartupInfo), 273u + 3 * kAddr);
}

TEST(SdkLayout, OutputRecordsAreAddressesThenTexts) {
  EXPECT_EQ(sizeof(VXLanguageRecord), 3 * kAddr);
  EXPECT_EQ(offsetof(VXFeatureRecord, required), 3 * kAddr);
  EXPECT_EQ(offsetof(VXFeatureRecord, parentId), 3 * kAddr + 4);
  EXPECT_EQ(sizeof(VXFeatureRecord), 5 * kAddr + 4);
  EXPECT_EQ(sizeof(VXInstallTypeRecord), 4 * kAddr + 4);
  EXPECT_EQ(offsetof(VXCallBlock, argumentCount), 4 + 2 * kAddr);
}

}  // namespace
