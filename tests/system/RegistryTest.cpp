// Registry access by path strings, run against the current test host.
#include <gtest/gtest.h>

#include "support/TestMachine.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

using namespace vx;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SeedRegRandom(uint32_t(CurrentHost().TickCount()));
    key_ = "HKCU\\Software\\VxTest\\" + RegUniqueValueName("HKCU\\Software\\VxTest", "run");
  }
  void TearDown() override { RegRemoveKey(key_, true); }

  vxtest::TestMachine machine_;
  std::string key_;
};

TEST(RegPathTest, RootNamesAndDefaults) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath("Software\\Test", root, sub);
  EXPECT_EQ(root, kHKeyCurrentUser);
  EXPECT_EQ(sub, "Software\\Test");
  SplitRegPath("HKLM\\Software\\Test\\", root, sub);
  EXPECT_EQ(root, kHKeyLocalMachine);
  EXPECT_EQ(sub, "Software\\Test");
  SplitRegPath("hkey_classes_root\\.txt", root, sub);
  EXPECT_EQ(root, kHKeyClassesRoot);
  EXPECT_EQ(sub, ".txt");
  SplitRegPath("HKU", root, sub);
  EXPECT_EQ(root, kHKeyUsers);
  EXPECT_EQ(sub, "");
  SplitRegPath("HKLMX\\a", root, sub);  // not a root name: a sub key of HKCU
  EXPECT_EQ(root, kHKeyCurrentUser);
  EXPECT_EQ(sub, "HKLMX\\a");
}

TEST_F(RegistryTest, TextForms) {
  ASSERT_TRUE(RegWriteBinary(key_, "bin", std::string("\x01\xAB", 2)));
  EXPECT_EQ(RegReadText(key_, "bin", "?"), "01AB");
  ASSERT_TRUE(RegWriteDword(key_, "neg", uint32_t(-5)));
  EXPECT_EQ(RegReadText(key_, "neg", "?"), "-5");
  EXPECT_EQ(RegReadDword(key_, "neg", 0), uint32_t(-5));
  ASSERT_TRUE(RegWriteString(key_, "", "default value"));
  EXPECT_EQ(RegReadText(key_, "", "?"), "default value");
  EXPECT_EQ(RegGetValueSize(key_, ""), 14u);  // the terminating zero counts

  ASSERT_TRUE(RegWriteExpandString(key_, "exp", "%windir%\\x"));
  EXPECT_EQ(RegGetValueType(key_, "exp"), kRegExpandSz);
  std::string windir = CurrentHost().GetEnv("windir").value_or("");
  ASSERT_FALSE(windir.empty());
  EXPECT_EQ(RegReadText(key_, "exp", "?"), windir + "\\x");
}

TEST_F(RegistryTest, MultiStringLayoutAndRoundTrip) {
  ASSERT_TRUE(RegWriteMultiString(key_, "multi", {"one", "two"}));
  uint32_t type = 0;
  std::string data;
  ASSERT_TRUE(RegReadRaw(key_, "multi", type, data));
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(data, std::string("one\0two\0\0", 9));
  EXPECT_EQ(RegReadText(key_, "multi", "?"), "one\r\ntwo");

  // Line feeds vanish, a carriage return splits a line.
  ASSERT_TRUE(RegWriteValue(key_, "typed", kRegMultiSz, "a\r\nb\rc\n"));
  EXPECT_EQ(RegReadText(key_, "typed", "?"), "a\r\nb\r\nc");
  ASSERT_TRUE(RegWriteMultiString(key_, "empty", {}));
  EXPECT_EQ(RegGetValueSize(key_, "empty"), 1u);
  EXPECT_EQ(RegReadText(key_, "empty", "?"), "");
}

TEST_F(RegistryTest, WriteByTypeCode) {
  EXPECT_TRUE(RegWriteValue(key_, "s", 2, "plain"));
  EXPECT_EQ(RegGetValueType(key_, "s"), kRegSz);
  EXPECT_TRUE(RegWriteValue(key_, "d", 4, "-1"));
  EXPECT_EQ(RegReadDword(key_, "d", 0), 0xFFFFFFFFu);
  EXPECT_TRUE(RegWriteValue(key_, "b", 3, "01 ab FF"));
  EXPECT_EQ(RegReadText(key_, "b", "?"), "01ABFF");
  EXPECT_FALSE(RegWriteValue(key_, "x", 11, "1"));
  // Texts are read as a project's values are: no number gives 0, an odd
  // last hex digit is ignored; only non-hex text fails.
  EXPECT_TRUE(RegWriteValue(key_, "d2", 4, "12a"));
  EXPECT_EQ(RegReadDword(key_, "d2", 7), 0u);
  EXPECT_TRUE(RegWriteValue(key_, "d3", 4, " 0x1F "));
  EXPECT_EQ(RegReadDword(key_, "d3", 7), 31u);
  EXPECT_TRUE(RegWriteValue(key_, "b3", 3, "ab c"));
  EXPECT_EQ(RegReadText(key_, "b3", "?"), "AB");
  EXPECT_FALSE(RegWriteValue(key_, "b2", 3, "0g"));
  EXPECT_FALSE(RegValueExists(key_, "b2"));

  // The strict reading refuses both and writes nothing.
  EXPECT_TRUE(RegWriteValueStrict(key_, "sd", 4, "-1"));
  EXPECT_FALSE(RegWriteValueStrict(key_, "sd2", 4, "12a"));
  EXPECT_FALSE(RegWriteValueStrict(key_, "sb", 3, "abc"));
  EXPECT_FALSE(RegWriteValueStrict(key_, "sb2", 3, "0g"));
  for (const char* name : {"sd2", "sb", "sb2"}) EXPECT_FALSE(RegValueExists(key_, name)) << name;
}

TEST_F(RegistryTest, DataOfUnexpectedTypeOrSizeGivesDefaults) {
  RegKey k = 0;
  RegKey root = 0;
  std::string sub;
  SplitRegPath(key_, root, sub);
  ASSERT_EQ(CurrentHost().CreateRegKey(root, sub, k), kErrorSuccess);
  CurrentHost().SetRegValue(k, "short", kRegDword, std::string("\x01\x02", 2));
  CurrentHost().SetRegValue(k, "noterm", kRegSz, "abc");
  CurrentHost().SetRegValue(k, "none", kRegNone, "zz");
  CurrentHost().SetRegValue(k, "onezero", kRegMultiSz, std::string("a\0", 2));
  CurrentHost().CloseRegKey(k);
  EXPECT_EQ(RegReadText(key_, "short", "def"), "def");
  EXPECT_EQ(RegReadDword(key_, "short", 7), 7u);
  EXPECT_EQ(RegReadText(key_, "noterm", "def"), "abc");
  EXPECT_EQ(RegReadText(key_, "none", "def"), "def");
  EXPECT_EQ(RegReadText(key_, "onezero", "def"), "a");
  char small[2];
  uint32_t size = sizeof small;
  EXPECT_FALSE(RegReadRaw(key_, "noterm", small, size));

  EXPECT_FALSE(RegKeyExists(key_ + "\\missing"));
  EXPECT_EQ(RegGetValueType(key_, "missing"), 0u);
  EXPECT_EQ(RegGetValueSize(key_, "missing"), 0u);
  EXPECT_EQ(RegReadText(key_ + "\\missing", "x", "def"), "def");
}

TEST_F(RegistryTest, KeysAreCreatedWithParentsAndDeletedRecursively) {
  ASSERT_TRUE(RegWriteString(key_ + "\\a\\b\\c", "v", "1"));
  ASSERT_TRUE(RegWriteString(key_ + "\\a\\d", "v", "2"));
  EXPECT_TRUE(RegKeyExists(key_ + "\\A\\B"));
  EXPECT_TRUE(RegKeyExists(key_ + "\\a\\b\\"));
  std::vector<std::string> names;
  ASSERT_TRUE(RegListSubKeys(key_ + "\\a", names));
  EXPECT_EQ(names, (std::vector<std::string>{"b", "d"}));

  // Windows NT refuses to delete a key with sub keys.
  if (CurrentHost().Version().platform == kPlatformNT) {
    EXPECT_FALSE(RegRemoveKey(key_ + "\\a", false));
    EXPECT_TRUE(RegKeyExists(key_ + "\\a\\b\\c"));
  }
  EXPECT_TRUE(RegRemoveKey(key_ + "\\a", true));
  EXPECT_FALSE(RegKeyExists(key_ + "\\a"));
  EXPECT_TRUE(RegKeyExists(key_));
  EXPECT_FALSE(RegRemoveKey("HKCU", true));  // roots stay

  ASSERT_TRUE(RegWriteString(key_, "gone", "x"));
  EXPECT_TRUE(RegRemoveValue(key_, "GONE"));
  EXPECT_FALSE(RegValueExists(key_, "gone"));
  EXPECT_FALSE(RegRemoveValue(key_, "gone"));
}

TEST_F(RegistryTest, UniqueValueNames) {
  std::string a = RegUniqueValueName(key_, "tmp");
  ASSERT_TRUE(StartsWithText(a, "tmp"));
  EXPECT_GT(a.size(), 3u);
  EXPECT_EQ(a.find_first_not_of("0123456789", 3), std::string::npos);
  ASSERT_TRUE(RegWriteString(key_, a, "x"));
  EXPECT_NE(RegUniqueValueName(key_, "tmp"), a);
}

}  // namespace

#ifdef _WIN32
#include <windows.h>

namespace {

// Whether a key of HKLM exists in one of the two views of 64-bit Windows.
bool KeyInView(const std::string& subKey, REGSAM view) {
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

// An engine writes the registry view of its own bitness: the 64-bit engine
// the native one (where 64-bit applications look), the 32-bit engine on
// 64-bit Windows the redirected one.
TEST(RegistryViewTest, TheEngineWritesTheViewOfItsOwnBitness) {
  vxtest::TestMachine machine;
  BOOL wow64 = FALSE;
  ::IsWow64Process(::GetCurrentProcess(), &wow64);
  bool is64 = sizeof(void*) == 8;
  if (!is64 && !wow64) GTEST_SKIP() << "32-bit Windows has one registry view";
  const std::string sub = "SOFTWARE\\VxViewTest";
  ASSERT_TRUE(RegWriteString("HKLM\\" + sub, "Bits", is64 ? "64" : "32"));
  EXPECT_EQ(KeyInView(sub, KEY_WOW64_64KEY), is64);
  EXPECT_EQ(KeyInView(sub, KEY_WOW64_32KEY), !is64);
  EXPECT_EQ(RegReadText("HKLM\\" + sub, "Bits", ""), is64 ? "64" : "32");
  EXPECT_TRUE(RegRemoveKey("HKLM\\" + sub, true));
  EXPECT_FALSE(KeyInView(sub, KEY_WOW64_64KEY));
  EXPECT_FALSE(KeyInView(sub, KEY_WOW64_32KEY));
}

}  // namespace
#endif
