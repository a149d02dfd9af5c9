// Folder creation and deletion, unique names and the temporary folder, run
// against whichever host the build has (sandbox natively, Win32 on Windows).
#include <gtest/gtest.h>

#include <set>

#include "support/TestMachine.h"
#include "system/ResumeProgramName.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace {

vx::SystemTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
  vx::SystemTime t;
  t.year = uint16_t(y), t.month = uint16_t(mo), t.day = uint16_t(d);
  t.hour = uint16_t(h), t.minute = uint16_t(mi), t.second = uint16_t(s), t.milliseconds = uint16_t(ms);
  return t;
}

TEST(UniqueNameCode, EncodesDayAndCentisecondInBase32) {
  // 2026-12-06: year digit 6 -> 6*365 + 1 + day 340 = 2531 = 2-F-3 (base 32).
  // 18:56:34.57 -> 6819457 centiseconds = 6-G-3-K-1.
  EXPECT_EQ(vx::UniqueNameCode(At(2026, 12, 6, 18, 56, 34, 579)), "2F36G3K1");
  // Leap years count 29 February: 2024-03-01 is day 61; 4*365 + 1 + 61 = 1522.
  EXPECT_EQ(vx::UniqueNameCode(At(2024, 3, 1, 0, 0, 0, 0)), "1FI00000");
  EXPECT_EQ(vx::UniqueNameCode(At(2023, 3, 1, 0, 0, 0, 0)), "14300000");
  // The last centisecond of a day still fits five digits: 8639999 = 87LFV.
  EXPECT_EQ(vx::UniqueNameCode(At(2020, 1, 1, 23, 59, 59, 999)).substr(3), "87LFV");
  EXPECT_EQ(vx::UniqueNameCode(At(2020, 1, 1, 0, 0, 0, 0)), "00100000");
  // Codes of later centiseconds (for names already taken) stay within the
  // day, where resume program names are recognised.
  EXPECT_EQ(vx::UniqueNameCode(At(2026, 12, 6, 18, 56, 34, 579), 2), "2F36G3K3");
  EXPECT_EQ(vx::UniqueNameCode(At(2020, 1, 1, 23, 59, 59, 999), 1), "00100000");
}

class HostBasics : public ::testing::Test {
 protected:
  vxtest::TestMachine machine;
  std::string Scratch() { return machine.Scratch(); }
};

TEST_F(HostBasics, UniqueNamesHaveTheirFormsAndAvoidExistingEntries) {
  std::string plain = vx::UniqueName(Scratch());
  EXPECT_EQ(plain.size(), 8u);
  std::string shortVx = vx::UniqueName(Scratch(), "vx", ".exe", true);
  EXPECT_EQ(shortVx.size(), 12u);
  EXPECT_EQ(shortVx.substr(0, 2), "vx");
  EXPECT_EQ(shortVx.substr(8), ".exe");
  std::string longPrefix = vx::UniqueName(Scratch(), "backup", ".bak", true);
  EXPECT_EQ(longPrefix.substr(0, 4), "back") << "short form keeps four prefix characters";
  EXPECT_EQ(longPrefix.size(), 12u);
  EXPECT_EQ(vx::UniqueName(Scratch(), "pre", ".tmp").size(), 3u + 8u + 4u);

  // Names taken as files or folders are never handed out again.
  std::set<std::string> seen;
  for (int i = 0; i < 5; ++i) {
    std::string n = vx::UniqueName(Scratch());
    EXPECT_TRUE(seen.insert(vx::UpperCase(n)).second) << n;
    if (i % 2) ASSERT_TRUE(vx::WriteWholeFile(Scratch() + n, "x"));
    else ASSERT_TRUE(machine.Host().MakeFolder(Scratch() + n));
  }
  // Many names taken one after another (backups into one folder) are all
  // different and keep the resume program's form.
  for (int i = 0; i < 300; ++i) {
    std::string n = vx::UniqueName(Scratch(), "vx", ".exe", true);
    EXPECT_TRUE(seen.insert(vx::UpperCase(n)).second) << n;
    EXPECT_TRUE(VxIsResumeProgramName(n.c_str(), n.size())) << n;
    ASSERT_TRUE(vx::WriteWholeFile(Scratch() + n, ""));
  }
}

TEST_F(HostBasics, ForceFoldersCreatesEveryMissingParent) {
  std::string deep = Scratch() + "a\\b c\\d";
  EXPECT_TRUE(vx::ForceFolders(deep + "\\"));
  EXPECT_TRUE(vx::FolderExists(deep));
  EXPECT_TRUE(vx::ForceFolders(deep)) << "existing folder is fine";
  ASSERT_TRUE(vx::WriteWholeFile(Scratch() + "file", "x"));
  EXPECT_FALSE(vx::ForceFolders(Scratch() + "file\\sub")) << "a file is in the way";
  EXPECT_FALSE(vx::FolderExists(Scratch() + "file\\sub"));
}

TEST_F(HostBasics, DeleteFolderTreeRemovesEverythingButDotEntries) {
  std::string root = Scratch() + "tree";
  ASSERT_TRUE(vx::ForceFolders(root + "\\sub\\deeper"));
  ASSERT_TRUE(vx::WriteWholeFile(root + "\\one.txt", "1"));
  ASSERT_TRUE(vx::WriteWholeFile(root + "\\sub\\two.txt", "2"));
  ASSERT_TRUE(vx::WriteWholeFile(root + "\\sub\\deeper\\ro.txt", "3"));
  ASSERT_TRUE(machine.Host().SetAttributes(root + "\\sub\\deeper\\ro.txt", vx::kAttrReadOnly));

  EXPECT_TRUE(vx::DeleteFolderTree(root, false));
  EXPECT_TRUE(vx::FolderExists(root)) << "kept when not asked to remove itself";
  EXPECT_FALSE(vx::PathExists(root + "\\sub"));
  EXPECT_FALSE(vx::PathExists(root + "\\one.txt"));

  ASSERT_TRUE(vx::WriteWholeFile(root + "\\.keep", "dot entries are skipped"));
  EXPECT_FALSE(vx::DeleteFolderTree(root + "\\", true)) << "the folder could not be removed";
  EXPECT_TRUE(vx::FileExists(root + "\\.keep"));
  EXPECT_TRUE(vx::FolderExists(root)) << "a folder that is not empty stays";
  ASSERT_TRUE(machine.Host().RemoveFile(root + "\\.keep"));
  EXPECT_TRUE(vx::DeleteFolderTree(root, true));
  EXPECT_FALSE(vx::PathExists(root));
  EXPECT_TRUE(vx::DeleteFolderTree(root, true)) << "nothing to delete is no failure";
  EXPECT_FALSE(vx::PathExists(root));
}

TEST_F(HostBasics, TempFolderFallsBackWhenThePlatformUsesTheCurrentFolder) {
  vx::Host& h = machine.Host();
  std::string temp = vx::GetTempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_EQ(temp, vx::IncludeTrailingBackslash(h.PlatformTempPath()));

  std::string saved = h.CurrentFolder();
  ASSERT_TRUE(h.SetCurrentFolder(vx::ExcludeTrailingBackslash(h.PlatformTempPath())));
  std::string fallback = vx::GetTempFolder();
  h.SetCurrentFolder(saved);
  if (h.Version().platform == vx::kPlatformNT)
    EXPECT_EQ(fallback, "C:\\Temp\\");
  else
    EXPECT_EQ(fallback, vx::IncludeTrailingBackslash(h.WindowsFolder()) + "Temp\\");
}

TEST_F(HostBasics, AListingWithoutFolderIsOfTheCurrentFolder) {
  vx::Host& h = machine.Host();
  const std::string name = vx::UniqueName(Scratch(), "ls", ".tst");
  ASSERT_TRUE(vx::WriteWholeFile(Scratch() + name, "x"));
  std::string saved = h.CurrentFolder();
  ASSERT_TRUE(h.SetCurrentFolder(vx::ExcludeTrailingBackslash(Scratch())));
  std::vector<vx::FindEntry> entries;
  uint32_t error = 0;
  bool listed = h.ListFolder("", "ls*.tst", entries, error);
  h.SetCurrentFolder(saved);
  ASSERT_TRUE(listed) << "error " << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(vx::SameText(entries[0].name, name)) << entries[0].name;
}

// Patterns and order as Windows lists a folder: "*.*" takes names without
// a dot, a long name matches through its short name, and the names come
// sorted without regard to case (so that "every *.dll in folder order" is
// the same on every host).
TEST_F(HostBasics, ListingsMatchAndOrderAsWindowsDoes) {
  vx::Host& h = machine.Host();
  std::string dir = Scratch() + "list\\";
  ASSERT_TRUE(vx::ForceFolders(dir));
  for (const char* n : {"b.dll", "README", "A.dll", "c_x.dll", "cb.dll", "page.html", "Index.HTML", "zeta.txt"})
    ASSERT_TRUE(vx::WriteWholeFile(dir + n, n));
  auto list = [&](const std::string& pattern) {
    std::vector<vx::FindEntry> entries;
    uint32_t error = 0;
    h.ListFolder(dir, pattern, entries, error);
    std::string names;
    for (const vx::FindEntry& e : entries)
      if (e.name != "." && e.name != "..") names += e.name + " ";
    return names;
  };
  std::string all = list("*.*");
  EXPECT_NE(all.find("README "), std::string::npos) << all;
  // The rest is what Windows' own file systems do (Wine lists everything
  // for "*." and keeps no short names of its own making).
  if (!machine.IsSandbox()) return;
  EXPECT_EQ(list("*."), "README ");
  // Upper-case order: "CB" before "C_X" ("B" is 0x42, "_" 0x5F).
  EXPECT_EQ(all, "A.dll b.dll cb.dll c_x.dll Index.HTML page.html README zeta.txt ");
  EXPECT_EQ(list("*.dll"), "A.dll b.dll cb.dll c_x.dll ");
  // The short names are INDEX~1.HTM and PAGE~1.HTM.
  EXPECT_EQ(list("*.htm"), "Index.HTML page.html ");
  EXPECT_EQ(list("page~1.*"), "page.html ");
}

TEST_F(HostBasics, WholeFilesRoundTripAndMissingOnesFail) {
  std::string bytes("a\0b\r\n\xff", 6);
  ASSERT_TRUE(vx::WriteWholeFile(Scratch() + "bin", bytes));
  std::string back;
  ASSERT_TRUE(vx::ReadWholeFile(Scratch() + "bin", back));
  EXPECT_EQ(back, bytes);
  EXPECT_FALSE(vx::ReadWholeFile(Scratch() + "nothing", back));
  EXPECT_FALSE(vx::WriteWholeFile(Scratch() + "no\\such\\folder\\f", bytes));
}

}  // namespace
