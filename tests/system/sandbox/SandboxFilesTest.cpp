// The sandbox host's files: share modes between handles, files in use,
// long paths and attributes.
#include <gtest/gtest.h>

#include <algorithm>

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

TEST(SandboxFileTest, ShareModesBetweenHandles) {
  Machine m;
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\f.txt", "data"));
  {
    auto writer = h.OpenFile("C:\\f.txt", FileAccess::ReadWrite, FileCreate::OpenExisting, kShareRead);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(h.OpenFile("C:\\F.TXT", FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite));
    EXPECT_FALSE(h.OpenFile("C:\\f.txt", FileAccess::Read, FileCreate::OpenExisting, kShareRead));
    EXPECT_EQ(h.LastError(), kErrorSharingViolation);
    EXPECT_FALSE(h.OpenFile("C:\\f.txt", FileAccess::Write, FileCreate::OpenExisting, kShareRead | kShareWrite));
    EXPECT_FALSE(h.RemoveFile("C:\\f.txt"));
    EXPECT_FALSE(h.RenameFile("C:\\f.txt", "C:\\g.txt"));
  }
  {
    auto reader = h.OpenFile("C:\\f.txt", FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareDelete);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(h.RenameFile("C:\\f.txt", "C:\\g.txt"));
  }
  EXPECT_TRUE(h.RemoveFile("C:\\g.txt"));
}

// Listing patterns match as FindFirstFile does: a name without an
// extension matches as if it ended with a dot.
TEST(SandboxFileTest, ListingPatternsTreatNamesWithoutExtensionAsDotted) {
  Machine m;
  Host& h = m.Host();
  ASSERT_TRUE(ForceFolders("C:\\l\\logs"));
  ASSERT_TRUE(WriteWholeFile("C:\\l\\readme", "x"));
  ASSERT_TRUE(WriteWholeFile("C:\\l\\a.txt", "x"));
  auto names = [&](const std::string& pattern) {
    std::vector<FindEntry> entries;
    uint32_t error = 0;
    h.ListFolder("C:\\l", pattern, entries, error);
    std::vector<std::string> out;
    for (const FindEntry& e : entries)
      if (e.name != "." && e.name != "..") out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names("*.*"), (std::vector<std::string>{"a.txt", "logs", "readme"}));
  EXPECT_EQ(names("*."), (std::vector<std::string>{"logs", "readme"}));
  EXPECT_EQ(names("read*.*"), (std::vector<std::string>{"readme"}));
  EXPECT_EQ(names("*.txt"), (std::vector<std::string>{"a.txt"}));
}

TEST(SandboxFileTest, InUseFilesLongPathsAndAttributes) {
  Machine m("xp", "\r\n[InUse]\r\nfile1=C:\\WINDOWS\\system32\\busy.dll\r\n");
  Host& h = m.Host();
  ASSERT_TRUE(WriteWholeFile("C:\\WINDOWS\\system32\\busy.dll", "old"));
  EXPECT_FALSE(h.RemoveFile("C:\\windows\\SYSTEM32\\busy.dll"));
  EXPECT_FALSE(WriteWholeFile("C:\\WINDOWS\\system32\\busy.dll", "new"));
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile("C:\\WINDOWS\\system32\\busy.dll", bytes));
  EXPECT_EQ(bytes, "old");

  std::string tooLong = "C:\\" + std::string(300, 'a');
  EXPECT_EQ(h.GetAttributes(tooLong), kInvalidAttributes);
  EXPECT_FALSE(h.OpenFile(tooLong, FileAccess::Write, FileCreate::CreateAlways, 0));
  EXPECT_FALSE(ForceFolders(tooLong + "\\b"));

  ASSERT_TRUE(WriteWholeFile("C:\\ro.txt", "x"));
  ASSERT_TRUE(h.SetAttributes("C:\\ro.txt", kAttrReadOnly | kAttrArchive));
  EXPECT_FALSE(h.RemoveFile("C:\\ro.txt"));
  EXPECT_TRUE(DeleteFileForced("C:\\ro.txt"));
  ASSERT_TRUE(WriteWholeFile("C:\\n.txt", "x"));
  ASSERT_TRUE(h.SetAttributes("C:\\n.txt", kAttrNormal));
  uint32_t a = h.GetAttributes("C:\\n.txt");
  if (a != kAttrArchive) {
    EXPECT_EQ(a, uint32_t(kAttrNormal));  // where the file system keeps attributes
  }
}

// A drive of fixed free space fills up: what would grow its files beyond
// the room left fails as on a full disk and leaves the file as it was;
// truncating and deleting give room back, never beyond the fixed amount.
TEST(SandboxFileTest, DriveOfFixedFreeSpaceFillsUp) {
  Machine m("xp", "\r\n[FreeSpace]\r\nC=4\r\n");
  auto freeBytes = [&] {
    uint64_t bytes = 0;
    EXPECT_TRUE(m.Host().DiskFreeBytes("C:\\WINDOWS", bytes));
    return bytes;
  };
  EXPECT_EQ(freeBytes(), 4096u);
  {
    Host& h = m.Host();
    auto f = h.OpenFile("C:\\big.bin", FileAccess::ReadWrite, FileCreate::CreateAlways, 0);
    ASSERT_TRUE(f);
    std::string a(3000, 'a'), b(1000, 'b');
    size_t done = 0;
    ASSERT_TRUE(f->Write(a.data(), a.size(), done));
    EXPECT_EQ(freeBytes(), 1096u);
    // Overwriting takes no room.
    ASSERT_TRUE(f->Seek(0, 0));
    ASSERT_TRUE(f->Write(b.data(), b.size(), done));
    EXPECT_EQ(freeBytes(), 1096u);
    // A write reaching past the room fails whole, even where it overwrites.
    ASSERT_TRUE(f->Seek(2500, 0));
    EXPECT_FALSE(f->Write(a.data(), 1597, done));
    EXPECT_EQ(h.LastError(), kErrorDiskFull);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(f->Size(), 3000);
    // What fits goes in, to the last byte.
    ASSERT_TRUE(f->Write(a.data(), 1596, done));
    EXPECT_EQ(freeBytes(), 0u);
    EXPECT_EQ(DiskFreeKB("C:\\"), 0u);
    EXPECT_FALSE(f->Write("x", 1, done));
    EXPECT_EQ(h.LastError(), kErrorDiskFull);
    EXPECT_TRUE(f->Write("x", 0, done));
    // Extending by SetEnd is growth too; cutting gives room back.
    ASSERT_TRUE(f->Seek(5000, 0));
    EXPECT_FALSE(f->SetEnd());
    EXPECT_EQ(h.LastError(), kErrorDiskFull);
    EXPECT_EQ(f->Size(), 4096);
    ASSERT_TRUE(f->Seek(1000, 0));
    EXPECT_TRUE(f->SetEnd());
    EXPECT_EQ(freeBytes(), 3096u);
  }
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile("C:\\big.bin", bytes));
  EXPECT_EQ(bytes, std::string(1000, 'b'));
  // Recreating and deleting give room back; deleting a file the machine
  // held before it was opened never makes more room than the fixed amount.
  ASSERT_TRUE(WriteWholeFile("C:\\big.bin", "xy"));
  EXPECT_EQ(freeBytes(), 4094u);
  ASSERT_TRUE(m.Host().RemoveFile("C:\\big.bin"));
  EXPECT_EQ(freeBytes(), 4096u);
  ASSERT_TRUE(WriteWholeFile("C:\\kept.txt", std::string(2048, 'k')));
  EXPECT_EQ(DiskFreeKB("C:\\"), 2u);
  m.Reopen();  // counted per opening of the machine
  EXPECT_EQ(freeBytes(), 4096u);
  ASSERT_TRUE(m.Host().RemoveFile("C:\\kept.txt"));
  EXPECT_EQ(freeBytes(), 4096u);
  // A whole-file write that does not fit fails; drives without a value are not limited.
  EXPECT_FALSE(WriteWholeFile("C:\\huge.bin", std::string(5000, 'h')));
  ASSERT_TRUE(fs::create_directory(m.Root() + "/drive_d"));
  m.Reopen();
  EXPECT_TRUE(WriteWholeFile("D:\\huge.bin", std::string(5000, 'h')));
  EXPECT_EQ(freeBytes(), 4096u);
}

}  // namespace
