// How the sandbox machine maps Windows paths into its root, and that nothing
// written through it lands outside.
#include <gtest/gtest.h>

#include <fstream>

#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

class SandboxPaths : public ::testing::Test {
 protected:
  vxtest::TestMachine machine{"xp"};
  vx::SandboxHost& Sandbox() { return static_cast<vx::SandboxHost&>(machine.Host()); }
};

TEST_F(SandboxPaths, WindowsPathsResolveCaseInsensitively) {
  ASSERT_TRUE(vx::ForceFolders("C:\\Program Files\\Quill"));
  ASSERT_TRUE(vx::WriteWholeFile("c:\\PROGRAM FILES\\quill\\Readme.TXT", "hi"));
  EXPECT_TRUE(vx::FileExists("C:/program files/QUILL/readme.txt"));
  EXPECT_EQ(Sandbox().NativePath("c:\\program files\\quill\\README.txt"),
            machine.Root() + "/drive_c/Program Files/Quill/Readme.TXT");
  EXPECT_EQ(Sandbox().WindowsPath(machine.Root() + "/drive_c/Program Files/Quill/Readme.TXT"),
            "C:\\Program Files\\Quill\\Readme.TXT");
}

TEST_F(SandboxPaths, DotsAndRelativePathsStayOnTheirDrive) {
  vx::Host& h = machine.Host();
  ASSERT_TRUE(h.SetCurrentFolder("C:\\WINDOWS"));
  EXPECT_EQ(h.FullPath("system32\\..\\..\\..\\..\\x.txt"), "C:\\x.txt");
  EXPECT_EQ(h.FullPath("\\Temp"), "C:\\Temp");
  EXPECT_EQ(h.FullPath("C:notes.txt"), "C:\\WINDOWS\\notes.txt");
  EXPECT_EQ(h.FullPath("a. \\b..."), "C:\\WINDOWS\\a\\b") << "trailing dots and blanks are dropped";
  ASSERT_TRUE(vx::WriteWholeFile("C:\\..\\..\\..\\escape.txt", "x"));
  EXPECT_TRUE(vx::FileExists("C:\\escape.txt"));
  EXPECT_EQ(Sandbox().NativePath("C:\\..\\escape.txt"), machine.Root() + "/drive_c/escape.txt");
}

TEST_F(SandboxPaths, InvalidNamesAndUnknownDrivesFail) {
  EXPECT_FALSE(vx::WriteWholeFile("C:\\bad|name.txt", "x"));
  EXPECT_FALSE(vx::WriteWholeFile("C:\\what?.txt", "x"));
  EXPECT_FALSE(vx::WriteWholeFile("Q:\\nowhere.txt", "x"));
  EXPECT_FALSE(vx::WriteWholeFile("\\\\server\\share\\x", "x"));
  EXPECT_FALSE(vx::ForceFolders("Q:\\a\\b"));
}

TEST_F(SandboxPaths, HostFileSystemIsReadableButNotWritable) {
  vxtest::TempDir outside;
  std::string native = outside.Path() + "/setup.txt";
  std::ofstream(native) << "from outside";
  std::string win = Sandbox().WindowsPath(native);
  ASSERT_EQ(win.substr(0, 3), "Z:\\");
  std::string bytes;
  EXPECT_TRUE(vx::ReadWholeFile(win, bytes));
  EXPECT_EQ(bytes, "from outside");
  EXPECT_FALSE(vx::WriteWholeFile(win, "changed"));
  EXPECT_FALSE(machine.Host().RemoveFile(win));
  EXPECT_FALSE(vx::ForceFolders(Sandbox().WindowsPath(outside.Path()) + "\\new"));
  EXPECT_TRUE(vx::ReadWholeFile(win, bytes));
  EXPECT_EQ(bytes, "from outside");
}

TEST_F(SandboxPaths, MachineFactsComeFromMachineIni) {
  vxtest::TestMachine nine("98");
  vx::VersionFacts v = nine.Host().Version();
  EXPECT_EQ(v.platform, vx::kPlatformWin9x);
  EXPECT_EQ(v.major, 4u);
  EXPECT_EQ(v.minor, 10u);
  EXPECT_EQ(v.build & 0xFFFF, 2222u);
  EXPECT_EQ(nine.Host().PlatformTempPath(), "C:\\WINDOWS\\TEMP\\");
  EXPECT_EQ(machine.Host().WindowsFolder(), "C:\\WINDOWS");
}

}  // namespace

namespace {

// Machines made one after the other may reuse one address: the OS facts
// must follow the host in place, not the first one seen there.
TEST(SandboxFacts, OSRecordFollowsTheCurrentMachine) {
  for (const char* kind : {"98", "xp", "98", "xp"}) {
    vxtest::TestMachine m(kind);
    EXPECT_EQ(vx::GetOSInfo().IsNT(), std::string(kind) == "xp") << kind;
  }
}

}  // namespace
