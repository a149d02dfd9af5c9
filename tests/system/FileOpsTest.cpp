// File operations on the current test host.
#include <gtest/gtest.h>

#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

using namespace vx;

namespace {

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char((v >> 8) & 0xFF);
}

// A minimal PE32 image with one .rsrc section holding a version resource.
std::string MakePe(uint32_t ms, uint32_t ls) {
  std::string f(0x200 + 0x200, '\0');
  f[0] = 'M';
  f[1] = 'Z';
  Put32(f, 0x3C, 0x40);
  f.replace(0x40, 4, std::string("PE\0\0", 4));
  Put16(f, 0x44, 0x14C);  // machine
  Put16(f, 0x46, 1);      // one section
  Put16(f, 0x54, 224);    // optional header size
  size_t opt = 0x58;
  Put16(f, opt, 0x10B);
  Put32(f, opt + 92, 16);
  Put32(f, opt + 96 + 16, 0x1000);  // resource directory
  Put32(f, opt + 96 + 20, 0x100);
  size_t sec = opt + 224;
  f.replace(sec, 5, ".rsrc");
  Put32(f, sec + 8, 0x200);
  Put32(f, sec + 12, 0x1000);
  Put32(f, sec + 16, 0x200);
  Put32(f, sec + 20, 0x200);
  size_t r = 0x200;
  Put16(f, r + 14, 1);
  Put32(f, r + 16, 16);
  Put32(f, r + 20, 0x80000000u | 24);
  Put16(f, r + 24 + 14, 1);
  Put32(f, r + 24 + 16, 1);
  Put32(f, r + 24 + 20, 0x80000000u | 48);
  Put16(f, r + 48 + 14, 1);
  Put32(f, r + 48 + 16, 0x409);
  Put32(f, r + 48 + 20, 72);
  Put32(f, r + 72, 0x1000 + 88);
  Put32(f, r + 72 + 4, 92);
  size_t v = r + 88;
  Put16(f, v, 92);
  Put16(f, v + 2, 52);
  const char* key = "VS_VERSION_INFO";
  for (size_t i = 0; key[i]; ++i) f[v + 6 + 2 * i] = key[i];
  Put32(f, v + 40, 0xFEEF04BDu);
  Put32(f, v + 44, 0x10000);
  Put32(f, v + 48, ms);
  Put32(f, v + 52, ls);
  return f;
}

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
