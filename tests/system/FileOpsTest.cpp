// File operations on the current test host.
#include <gtest/gtest.h>

#include <cstring>

#include "support/PeBuilder.h"
#include "support/TestMachine.h"
#include "system/ResumeProgramName.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

using namespace vx;

namespace {

using vxtest::MakePe;

class FileOpsTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return machine_.Scratch() + name; }
  vxtest::TestMachine machine_;
};

TEST_F(FileOpsTest, CopyOfEmptyFileKeepsDateAndAttributes) {
  std::string src = Path("empty.dat"), dst = Path("copy.dat");
  ASSERT_TRUE(WriteWholeFile(src, ""));
  uint64_t old = 125911584000000000ull;  // 2000-01-01 00:00 UTC
  ASSERT_TRUE(CurrentHost().SetFileWriteTime(src, old));
  ASSERT_TRUE(CurrentHost().SetAttributes(src, kAttrReadOnly));
  ASSERT_TRUE(CopyFileChunked(src, dst));
  EXPECT_EQ(FileSize(dst), 0);
  uint64_t t = 0;
  ASSERT_TRUE(CurrentHost().GetFileWriteTime(dst, t));
  EXPECT_EQ(t, old);
  EXPECT_TRUE(CurrentHost().GetAttributes(dst) & kAttrReadOnly);
  CurrentHost().SetAttributes(src, kAttrNormal);
  CurrentHost().SetAttributes(dst, kAttrNormal);
}

TEST_F(FileOpsTest, ChunkedCopyTransformsReportsAndAppends) {
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
  std::string src = Path("big.bin"), dst = Path("big.out");
  ASSERT_TRUE(WriteWholeFile(src, data));
  std::vector<uint32_t> chunks;
  int64_t lastDone = 0;
  auto progress = [&](const std::string&, const std::string&, uint32_t chunk, int64_t total, int64_t done) {
    EXPECT_EQ(total, 300000);
    chunks.push_back(chunk);
    lastDone = done;
    return true;
  };
  auto xorer = [](char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) b[i] ^= 0x5A;
  };
  ASSERT_TRUE(CopyFileChunked(src, dst, progress, false, xorer));
  EXPECT_EQ(chunks, (std::vector<uint32_t>{131072, 131072, 37856}));
  EXPECT_EQ(lastDone, 300000);
  std::string out;
  ASSERT_TRUE(ReadWholeFile(dst, out));
  ASSERT_EQ(out.size(), data.size());
  for (size_t i = 0; i < data.size(); i += 997) ASSERT_EQ(char(out[i] ^ 0x5A), data[i]);

  ASSERT_TRUE(WriteWholeFile(Path("tail"), "xyz"));
  ASSERT_TRUE(WriteWholeFile(Path("head"), "abc"));
  ASSERT_TRUE(CopyFileChunked(Path("tail"), Path("head"), {}, true));
  ASSERT_TRUE(ReadWholeFile(Path("head"), out));
  EXPECT_EQ(out, "abcxyz");

  // A progress callback that says stop fails the copy and leaves the part.
  auto stop = [](const std::string&, const std::string&, uint32_t, int64_t, int64_t) { return false; };
  EXPECT_FALSE(CopyFileChunked(src, Path("part"), stop));
  EXPECT_EQ(FileSize(Path("part")), 131072);
  EXPECT_FALSE(CopyFileChunked(Path("missing"), Path("x")));
  EXPECT_FALSE(FileExists(Path("x")));
}

TEST_F(FileOpsTest, UniqueNames) {
  std::string n = UniqueName(machine_.Scratch(), "vx", ".tmp", true);
  EXPECT_EQ(n.size(), 8u + 4u);
  EXPECT_TRUE(StartsWithText(n, "vx"));
  ASSERT_TRUE(WriteWholeFile(Path(n), ""));
  EXPECT_NE(UniqueName(machine_.Scratch(), "vx", ".tmp", true), n);
  std::string longName = UniqueName(machine_.Scratch(), "backup", ".bak");
  EXPECT_EQ(longName.size(), 6u + 8u + 4u);
  SystemTime t;
  t.year = 2004;
  t.month = 3;
  t.day = 1;
  t.hour = 1;
  // 2004: year digit 4, leap year: day 61; days = 4*365 + 1 + 61 = 1522 = 0x5F2
  // and 01:00 is 360000 centiseconds = 0AVI0.
  EXPECT_EQ(UniqueNameCode(t), "1FI0AVI0");
}

// Every name the engine can give its resume program is recognised as one,
// at any time of any day; the names of setup files and of the engine copy
// a launcher runs are not.
TEST(ResumeProgramNameTest, TheEnginesResumeNamesAndNoOthers) {
  auto resumeName = [](const SystemTime& t) { return "vx" + UniqueNameCode(t).substr(2) + ".exe"; };
  SystemTime t;
  for (uint16_t year : {2009, 2024, 2030})
    for (uint16_t month : {1, 7, 12})
      for (uint16_t hour : {0, 9, 23}) {
        t.year = year;
        t.month = month;
        t.day = 28;
        t.hour = hour;
        t.minute = t.second = 59;
        t.milliseconds = 999;
        std::string name = resumeName(t);
        EXPECT_TRUE(VxIsResumeProgramName(name.data(), name.size())) << name;
        std::string upper = UpperCase(name);
        EXPECT_TRUE(VxIsResumeProgramName(upper.data(), upper.size())) << upper;
      }
  for (const char* other : {"VXEngine.exe", "setup.exe", "vxI0AVI0.bat", "vxI0AVI01.exe", "vxI9AVI0.exe",
                            "vxI0AWI0.exe", "abI0AVI0.exe", ""})
    EXPECT_FALSE(VxIsResumeProgramName(other, std::strlen(other))) << other;
}

TEST_F(FileOpsTest, VersionsDecideBeforeDates) {
  std::string dst = Path("lib.dll");
  ASSERT_TRUE(WriteWholeFile(dst, MakePe(0x00010002, 0x00030004)));
  uint32_t ms = 0, ls = 0;
  std::string text;
  ASSERT_TRUE(GetFileVersion(dst, ms, ls, text));
  EXPECT_EQ(text, "1.2.3.4");
  double future = FileDate(dst) + 10;
  EXPECT_TRUE(IsDestNewer("1.0.0.0", dst, future));
  EXPECT_TRUE(IsDestNewer("1.2.3.3", dst, future));
  EXPECT_FALSE(IsDestNewer("1.2.3.4", dst, 0));
  EXPECT_TRUE(IsSameVersion("1.2.3.4", dst, future));
  EXPECT_FALSE(IsDestNewer("2.x", dst, 0));  // 2.0.0.0 is newer than the destination

  // Without a version resource the dates decide.
  std::string plain = Path("plain.txt");
  ASSERT_TRUE(WriteWholeFile(plain, "text"));
  EXPECT_FALSE(GetFileVersion(plain, ms, ls, text));
  double date = FileDate(plain);
  EXPECT_GT(date, 36526.0);
  EXPECT_TRUE(IsDestNewer("1.0", plain, date - 1));
  EXPECT_FALSE(IsDestNewer("", plain, date));
  EXPECT_TRUE(IsSameVersion("", plain, date));
  EXPECT_FALSE(IsDestNewer("", Path("missing"), 0));
  EXPECT_FALSE(IsSameVersion("", Path("missing"), 0));
  EXPECT_EQ(FileDate(Path("missing")), 0);
  EXPECT_EQ(FileSize(Path("missing")), -1);
  EXPECT_EQ(FileSize(plain), 4);

  // Damaged images give no version.
  std::string pe = MakePe(1, 2);
  for (size_t cut : {size_t(0x50), size_t(0x210), size_t(0x260), size_t(0x290)}) {
    ASSERT_TRUE(WriteWholeFile(Path("cut.dll"), pe.substr(0, cut)));
    EXPECT_FALSE(GetFileVersion(Path("cut.dll"), ms, ls, text)) << cut;
  }
}

TEST(DateTest, FileTimesAndDateValues) {
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(125911584000000000ull), 36526.0);  // 2000-01-01
  // Odd seconds fall to the even second before, as in DOS dates.
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(125911584000000000ull + 10000000ull * 3),
                   FileTimeToDateTime(125911584000000000ull + 10000000ull * 2));
  EXPECT_EQ(DateTimeToFileTime(36526.0), 125911584000000000ull);
}

TEST(WininitTest, EntriesGoIntoTheRenameSection) {
  std::vector<std::string> e = {"NUL=C:\\A.DLL", "C:\\A.DLL=C:\\TMP\\X.DLL"};
  EXPECT_EQ(RewriteWininit("  [Rename]  \r\nold=1\r\n\r\n[Other]\r\nk=v\r\n", e),
            "[Rename]\r\nold=1\r\nNUL=C:\\A.DLL\r\nC:\\A.DLL=C:\\TMP\\X.DLL\r\n\r\n[Other]\r\nk=v\r\n");
  EXPECT_EQ(RewriteWininit("[rename]\r\nold=1\r\n[Other]\r\n", e),
            "[rename]\r\nold=1\r\nNUL=C:\\A.DLL\r\nC:\\A.DLL=C:\\TMP\\X.DLL\r\n[Other]\r\n");
  EXPECT_EQ(RewriteWininit("[Other]\r\nk=v\r\n", e),
            "[Other]\r\nk=v\r\n[Rename]\r\nNUL=C:\\A.DLL\r\nC:\\A.DLL=C:\\TMP\\X.DLL\r\n");
  EXPECT_EQ(RewriteWininit("", {"NUL=C:\\B"}), "[Rename]\r\nNUL=C:\\B\r\n");
  EXPECT_EQ(RewriteWininit("[Rename]\r\nx=y", {"NUL=C:\\B"}), "[Rename]\r\nx=y\r\nNUL=C:\\B\r\n");
}

TEST_F(FileOpsTest, MoveAtRebootOnNTRecordsPendingRenames) {
  if (CurrentHost().Version().platform != kPlatformNT) GTEST_SKIP();
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  std::string before = RegReadText(key, "PendingFileRenameOperations", "");
  std::string src = Path("new.dll"), dst = Path("old.dll"), gone = Path("gone.txt");
  ASSERT_TRUE(WriteWholeFile(src, "new"));
  ASSERT_TRUE(WriteWholeFile(dst, "old"));
  ASSERT_TRUE(WriteWholeFile(gone, "x"));
  EXPECT_FALSE(MoveFileAtReboot(Path("nothing"), dst));
  ASSERT_TRUE(MoveFileAtReboot(src, dst));
  ASSERT_TRUE(DeleteFileAtReboot(gone));
  std::string pending = RegReadText(key, "PendingFileRenameOperations", "");
  std::string added = pending.substr(before.empty() ? 0 : before.size() + 2);
  std::string full = CurrentHost().FullPath(machine_.Scratch());
  EXPECT_EQ(UpperCase(added), UpperCase("\\??\\" + full + "old.dll\r\n\r\n\\??\\" + full + "new.dll\r\n\\??\\" + full +
                                        "old.dll\r\n\\??\\" + full + "gone.txt\r\n"));
  // Leave the machine as it was.
  if (before.empty()) RegRemoveValue(key, "PendingFileRenameOperations");
  else RegWriteMultiString(key, "PendingFileRenameOperations", TextToLines(before));
}

TEST_F(FileOpsTest, ShortPathsAndFreeSpace) {
  std::string longName = Path("A Long File Name.text");
  ASSERT_TRUE(WriteWholeFile(longName, "x"));
  std::string shortPath = GetShortPath(longName);
  EXPECT_NE(shortPath, longName);
  EXPECT_LE(ExtractFileName(shortPath).size(), 12u);
  EXPECT_TRUE(FileExists(shortPath));
  EXPECT_EQ(GetShortPath(Path("missing file name.txt")), Path("missing file name.txt"));
  EXPECT_GT(DiskFreeKB(machine_.Scratch()), 0u);
  EXPECT_EQ(DiskFreeKB(Path("no such folder")), 0u);
}

}  // namespace
