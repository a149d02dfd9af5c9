// Shell links on the current host (a sandbox machine natively, the shell's
// own link object under Wine): a link written by TkqShellLink reads back
// with every field, quotes are taken out of everything but the arguments,
// the show codes map to the SW_ values, nothing is written without COM.
// Natively the file is also read by an independent reader of the format
// (lnkinfo), and damaged link files are refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/TestMachine.h"
#include "system/host.h"
#include "system/kqFileUtils.h"
#include "system/kqShellLink.h"
#include "system/kqStrUtils.h"
#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

namespace {

using namespace vx;

class ShellLinks : public ::testing::Test {
 protected:
  void SetUp() override { com = h.InitializeCom(); }
  void TearDown() override {
    if (com) h.UninitializeCom();
  }
  std::string Path(const std::string& name) const { return machine.Scratch() + name; }
  ShellLinkData Load(const std::string& link) {
    ShellLinkData data;
    EXPECT_TRUE(h.LoadShellLink(link, data)) << link;
    return data;
  }
  // The show command as the file holds it (at 0x3C of the header): the
  // shell link object of Wine reads every link back as SW_SHOWNORMAL.
  int ShowCommandInFile(const std::string& link) {
    std::string bytes;
    if (!ReadWholeFile(link, bytes) || bytes.size() < 0x4C) return -1;
    return uint8_t(bytes[0x3C]) | uint8_t(bytes[0x3D]) << 8;
  }
#ifndef _WIN32
  SandboxHost& Sandbox() { return static_cast<SandboxHost&>(h); }
#endif

  vxtest::TestMachine machine;
  Host& h = machine.Host();
  bool com = false;
};

TEST_F(ShellLinks, ASavedLinkReadsBackWithEveryFieldAndQuotesOnlyInTheArguments) {
  ASSERT_TRUE(com);
  ASSERT_TRUE(WriteWholeFile(Path("app.exe"), "MZ program"));
  ASSERT_TRUE(WriteWholeFile(Path("app.ico"), "icon"));
  TkqShellLink link;
  link.Target = "\"" + Path("app.exe") + "\"";
  link.Arguments = "/open \"my file.txt\"";
  link.WorkingFolder = "\"" + machine.Scratch() + "\"";
  link.Description = "Starts \"the\" app";
  link.IconFile = "\"" + Path("app.ico") + "\"";
  link.IconIndex = 2;
  link.Hotkey = 0x0641;  // Ctrl+Alt+A
  link.ShowCode = TkqShellLink::kShowMinimized;
  ASSERT_TRUE(link.Save("\"" + Path("Run App") + "\".lnk"));
  EXPECT_EQ(link.LinkFile, Path("Run App.lnk"));
  ASSERT_TRUE(FileExists(Path("Run App.lnk")));

  ShellLinkData back = Load(Path("Run App.lnk"));
  EXPECT_TRUE(SameText(back.target, Path("app.exe"))) << back.target;
  EXPECT_EQ(back.arguments, "/open \"my file.txt\"");
  EXPECT_EQ(back.workingFolder, machine.Scratch());
  EXPECT_EQ(back.description, "Starts the app");
  EXPECT_TRUE(SameText(back.iconFile, Path("app.ico"))) << back.iconFile;
  EXPECT_EQ(back.iconIndex, 2);
  EXPECT_EQ(back.hotkey, 0x0641);
  EXPECT_EQ(ShowCommandInFile(Path("Run App.lnk")), kSwShowMinNoActive);
#ifndef _WIN32
  EXPECT_EQ(back.showCmd, kSwShowMinNoActive);
#endif

  // Maximised gives SW_SHOWMAXIMIZED; normal and anything else SW_SHOWNORMAL.
  const std::pair<uint8_t, int> shows[] = {{TkqShellLink::kShowMaximized, kSwShowMaximized},
                                           {TkqShellLink::kShowNormal, kSwShowNormal},
                                           {3, kSwShowNormal}};
  for (auto [code, expected] : shows) {
    link.ShowCode = code;
    ASSERT_TRUE(link.Save(Path("show.lnk")));
    EXPECT_EQ(ShowCommandInFile(Path("show.lnk")), expected) << int(code);
  }

#ifndef _WIN32
  // The shell hears of the link and of an icon file that exists, once per save.
  std::vector<std::string> told = Sandbox().ShellNotifications();
  ASSERT_GE(told.size(), 2u);
  EXPECT_EQ(told[0], Path("Run App.lnk"));
  EXPECT_EQ(told[1], Path("app.ico"));
  link.IconFile = Path("missing.ico");
  ASSERT_TRUE(link.Save(Path("noicon.lnk")));
  EXPECT_EQ(Sandbox().ShellNotifications().back(), Path("noicon.lnk"));
#endif
}

TEST_F(ShellLinks, NothingIsWrittenWithoutComOrIntoAFolderThatIsNotThere) {
  ShellLinkData data;
  data.target = Path("app.exe");
  bool saved = true;
  std::thread([&] { saved = h.SaveShellLink(Path("nocom.lnk"), data); }).join();
  EXPECT_FALSE(saved);
  EXPECT_FALSE(FileExists(Path("nocom.lnk")));

  TkqShellLink link;
  link.Target = Path("app.exe");
  EXPECT_FALSE(link.Save(Path("no such folder\\x.lnk")));
  EXPECT_FALSE(PathExists(Path("no such folder")));
  EXPECT_FALSE(h.LoadShellLink(Path("missing.lnk"), data));
}

#ifndef _WIN32

// lnkinfo's report of a link file of the machine; "" when lnkinfo is absent.
std::string LnkInfo(const std::string& nativePath) {
  std::string out;
  FILE* p = ::popen(("lnkinfo '" + nativePath + "' 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

bool HaveLnkInfo() { return std::system("command -v lnkinfo >/dev/null 2>&1") == 0; }

TEST_F(ShellLinks, AnIndependentReaderOfTheFormatSeesWhatWasAskedFor) {
  if (!HaveLnkInfo()) GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
  struct Case {
    std::string target, where;
    uint8_t show;
    uint32_t showCmd;
  } cases[] = {
      {"C:\\Program Files\\App\\app.exe", "Local path\t\t\t: ", TkqShellLink::kShowMinimized, 7},
      {"\\\\server\\share\\tools\\tool.exe", "Network path\t\t\t: ", TkqShellLink::kShowMaximized, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    TkqShellLink link;
    link.Target = c.target;
    link.Arguments = "-x \"a b\"";
    link.WorkingFolder = "C:\\Program Files\\App";
    link.Description = "The App";
    link.IconFile = "C:\\Program Files\\App\\app.ico";
    link.IconIndex = 3;
    link.Hotkey = 0x0246;  // Ctrl+F
    link.ShowCode = c.show;
    ASSERT_TRUE(link.Save(Path("app.lnk")));
    std::string info = LnkInfo(Sandbox().NativePath(Path("app.lnk")));
    for (std::string expected : {c.where + c.target, std::string("Description\t\t\t: The App"),
                                 std::string("Working directory\t\t: C:\\Program Files\\App"),
                                 std::string("Command line arguments\t\t: -x \"a b\""),
                                 std::string("Icon location\t\t\t: C:\\Program Files\\App\\app.ico"),
                                 std::string("Icon index\t\t\t: 3")})
      EXPECT_NE(info.find(expected), std::string::npos) << expected << "\n" << info;
    // This lnkinfo prints the target's size field as the show command and
    // the hotkey: those two are read at their places in the header.
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(Path("app.lnk"), bytes));
    ASSERT_GE(bytes.size(), 0x4Cu);
    EXPECT_EQ(uint8_t(bytes[0x3C]), c.showCmd);
    EXPECT_EQ(bytes.substr(0x3D, 3), std::string(3, '\0'));
    EXPECT_EQ(bytes.substr(0x40, 2), "\x46\x02");
  }
}

TEST_F(ShellLinks, DamagedLinkFilesAreRefusedAndLinksWrittenByWindowsAreRead) {
  TkqShellLink link;
  link.Target = "C:\\App\\app.exe";
  link.Arguments = "-a";
  link.Description = "d";
  link.IconFile = "C:\\App\\app.ico";
  ASSERT_TRUE(link.Save(Path("good.lnk")));
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(Path("good.lnk"), bytes));
  ShellLinkData data;
  // Every cut before the last string ends is a damaged file.
  for (size_t n = 0; n + 4 < bytes.size(); ++n) {
    ASSERT_TRUE(WriteWholeFile(Path("cut.lnk"), bytes.substr(0, n)));
    EXPECT_FALSE(h.LoadShellLink(Path("cut.lnk"), data)) << n;
  }
  std::string other = bytes;
  other[4] ^= 1;  // another class
  ASSERT_TRUE(WriteWholeFile(Path("other.lnk"), other));
  EXPECT_FALSE(h.LoadShellLink(Path("other.lnk"), data));
  std::string wild = bytes;
  wild[0x4C] = '\xFF';  // a LinkInfo size beyond the file
  wild[0x4D] = '\xFF';
  ASSERT_TRUE(WriteWholeFile(Path("wild.lnk"), wild));
  EXPECT_FALSE(h.LoadShellLink(Path("wild.lnk"), data));

  // The shell writes an item list and Unicode strings: the item list is
  // skipped, the strings read.
  auto le16 = [](uint32_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
  auto wide = [&](const std::string& s) {
    std::string out = le16(uint32_t(s.size()));
    for (char c : s) out += std::string{c, '\0'};
    return out;
  };
  std::string header = bytes.substr(0, 0x4C);
  uint32_t flags = 0x1 | 0x2 | 0x4 | 0x20 | 0x80;  // item list, LinkInfo, name, arguments, Unicode
  for (int i = 0; i < 4; ++i) header[0x14 + i] = char((flags >> (8 * i)) & 0xFF);
  size_t linkInfoSize = size_t(uint8_t(bytes[0x4C])) | size_t(uint8_t(bytes[0x4D])) << 8;
  std::string windows = header + le16(4) + std::string("\x02\x00\x00\x00", 4) + bytes.substr(0x4C, linkInfoSize) +
                        wide("From Windows") + wide("/w") + std::string(4, '\0');
  ASSERT_TRUE(WriteWholeFile(Path("windows.lnk"), windows));
  ASSERT_TRUE(h.LoadShellLink(Path("windows.lnk"), data));
  EXPECT_EQ(data.target, "C:\\App\\app.exe");
  EXPECT_EQ(data.description, "From Windows");
  EXPECT_EQ(data.arguments, "/w");
  EXPECT_EQ(data.iconFile, "");
}

#endif

}  // namespace
