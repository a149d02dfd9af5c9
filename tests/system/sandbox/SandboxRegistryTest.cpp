// The sandbox host's registry: hive files that keep every value type and
// survive damage.
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

TEST(SandboxHiveTest, EveryValueTypeSurvivesSaveAndLoad) {
  Machine m;
  const std::string key = "HKLM\\Software\\Types";
  RegKey k = 0;
  ASSERT_EQ(m.Host().CreateRegKey(kHKeyLocalMachine, "Software\\Types", k), kErrorSuccess);
  std::vector<RegValueEntry> values = {
      {"plain", kRegSz, std::string("text \"quoted\" \\ back") + '\0'},
      {"", kRegSz, std::string("default\0", 8)},
      {"inner zero", kRegSz, std::string("a\0b\0", 4)},
      {"no zero", kRegSz, "abc"},
      {"lines", kRegSz, std::string("a\r\nb\0", 5)},
      {"empty", kRegSz, ""},
      {"expand", kRegExpandSz, std::string("%windir%\0", 9)},
      {"binary", kRegBinary, std::string(200, '\xAB')},
      {"dword", kRegDword, std::string("\x01\x02\x03\x04", 4)},
      {"short dword", kRegDword, std::string("\x01\x02", 2)},
      {"big endian", kRegDwordBigEndian, std::string("\0\0\0\x05", 4)},
      {"multi", kRegMultiSz, std::string("x\0y\0\0", 5)},
      {"none", kRegNone, ""},
      {"qword", 11, std::string("\x01\0\0\0\0\0\0\x80", 8)},
      {"Name \"with\" quotes\\", kRegSz, std::string("v\0", 2)},
  };
  for (const auto& v : values) ASSERT_EQ(m.Host().SetRegValue(k, v.name, v.type, v.data), kErrorSuccess) << v.name;
  ASSERT_EQ(m.Host().CreateRegKey(kHKeyLocalMachine, "Software\\Types\\Empty Sub", k), kErrorSuccess);

  std::string text = Slurp(m.Root() + "/HKLM.reg");
  EXPECT_EQ(text.substr(0, 10), "REGEDIT4\r\n");
  EXPECT_NE(text.find("\"plain\"=\"text \\\"quoted\\\" \\\\ back\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"dword\"=dword:04030201\r\n"), std::string::npos);
  EXPECT_NE(text.find("\\\r\n  ab,"), std::string::npos);  // long data continues on the next line
  for (const auto& e : fs::directory_iterator(m.Root()))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();

  m.Reopen();
  for (const auto& v : values) {
    uint32_t type = 99;
    std::string data;
    ASSERT_TRUE(RegReadRaw(key, v.name, type, data)) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    EXPECT_EQ(data, v.data) << v.name;
  }
  EXPECT_TRUE(RegKeyExists(key + "\\empty sub"));
  EXPECT_EQ(RegReadText(key, "plain", ""), "text \"quoted\" \\ back");
}

TEST(SandboxHiveTest, DamagedFilesLoadWhatIsReadable) {
  vxtest::TempDir dir;
  SandboxHost::InitMachine(dir.Path(), MachineKind::XP);
  std::ofstream(dir.Path() + "/HKCU.reg", std::ios::binary)
      << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Good]\r\n\"a\"=\"1\"\r\n\"b\"=dword:zz\r\n\"c\"=hex:0g,01\r\n"
         "\"d\"=hex(2):41,00\r\n\"unterminated=\"x\r\ngarbage line\r\n[HKEY_LOCAL_MACHINE\\Wrong]\r\n\"x\"=\"1\"\r\n"
         "[HKEY_CURRENT_USER\\Broken\r\n\"e\"=\"lost\"\r\n[-HKEY_CURRENT_USER\\Good]\r\n"
         "[HKEY_CURRENT_USER\\Good]\r\n\"f\"=hex:01,\\\r\n  02\r\n\"g\"=hex:";
  SandboxHost host(dir.Path());
  ScopedHost scope(host);
  EXPECT_EQ(RegReadText("HKCU\\Good", "a", "?"), "1");
  EXPECT_FALSE(RegValueExists("HKCU\\Good", "b"));
  EXPECT_FALSE(RegValueExists("HKCU\\Good", "c"));
  EXPECT_EQ(RegGetValueType("HKCU\\Good", "d"), kRegExpandSz);
  EXPECT_EQ(RegReadText("HKCU\\Good", "f", "?"), "0102");
  EXPECT_EQ(RegGetValueSize("HKCU\\Good", "g"), 0u);
  EXPECT_TRUE(RegValueExists("HKCU\\Good", "g"));
  EXPECT_FALSE(RegKeyExists("HKCU\\Wrong"));
  EXPECT_FALSE(RegKeyExists("HKCU\\Broken"));
  // The machine keeps working and saves a clean file.
  EXPECT_TRUE(RegWriteString("HKCU\\Good", "new", "v"));
  EXPECT_EQ(Slurp(dir.Path() + "/HKCU.reg").find("garbage"), std::string::npos);
}

}  // namespace
