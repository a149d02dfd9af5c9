// The machine snapshot and its comparison: what each kind of change looks
// like in Diff's text, that it is listed once and in tree order whatever
// the case of the names, and what the ignore prefixes leave out. Natively
// the whole sandbox machine is watched, so a change listed twice or one
// that leaks outside the test's folder and key shows too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <set>

#include <sys/stat.h>

#include "system/sandbox/SandboxHost.h"
#endif

using namespace vx;
using vxtest::MachineSnapshot;
using vxtest::SnapshotOptions;

namespace {

const std::string kKey = "HKCU\\Software\\VxSnapshotTest";

std::string Hex(const std::string& bytes) {
  std::string r;
  for (unsigned char c : bytes) r += Format("%02x", c);
  return r;
}

TEST(Sha256, KnownDigests) {
  auto digest = [](const std::string& text, size_t piece) {
    vxtest::Sha256 sha;
    for (size_t i = 0; i < text.size(); i += piece) sha.Add(text.data() + i, std::min(piece, text.size() - i));
    return Hex(sha.Finish());
  };
  EXPECT_EQ(digest("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits in the last block.
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 5),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digest(std::string(1000000, 'a'), 997),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class Snapshot : public ::testing::Test {
 protected:
  // On Windows the key outlives the test's machine.
  ~Snapshot() override { RegRemoveKey(kKey, true); }

  // Natively the whole machine; on Windows the scratch folder and the key.
  MachineSnapshot Take(const std::vector<std::string>& ignore = {}) {
#ifdef _WIN32
    SnapshotOptions options = SnapshotOptions::TestRoots(machine_.Scratch(), "VxSnapshotTest");
#else
    SnapshotOptions options;
#endif
    options.ignore = ignore;
    return MachineSnapshot::Take(machine_.Host(), options);
  }
  std::string S(const std::string& relative = "") const { return machine_.Scratch() + relative; }
  void Write(const std::string& relative, const std::string& bytes) {
    ASSERT_TRUE(WriteWholeFile(S(relative), bytes)) << relative;
  }
  void Folder(const std::string& relative) { ASSERT_TRUE(machine_.Host().MakeFolder(S(relative))) << relative; }

  vxtest::TestMachine machine_;
};

TEST_F(Snapshot, AnUnchangedMachineGivesNothing) {
  MachineSnapshot a = Take();
  EXPECT_TRUE(a.problems.empty()) << a.problems[0];
#ifndef _WIN32
  // The whole machine: the drives, every hive and the machine's facts.
  EXPECT_GT(a.files.size(), 20u);
  EXPECT_GT(a.keys.size(), 10u);
  EXPECT_EQ(a.machine.count("[MACHINE] BUILD"), 1u);
#endif
  EXPECT_EQ(vxtest::Diff(a, Take()), "");
}

TEST_F(Snapshot, FilesAndFoldersEachChangeOnce) {
  Folder("old");
  Folder("sub");
  Write("a.txt", "abcd");
  Write("grow.txt", "ab");
  Write("same.txt", "same");
  Write("sub\\b.txt", "xyz");
  MachineSnapshot before = Take();
  Write("a.txt", "abXd");
  Write("grow.txt", "abc");
  Write("same.txt", "same");  // written again, unchanged
  ASSERT_TRUE(machine_.Host().RemoveFile(S("sub\\b.txt")));
  ASSERT_TRUE(machine_.Host().RemoveFolder(S("old")));
  Folder("new");
  Write("new\\c.txt", "12345");
  EXPECT_EQ(vxtest::Diff(before, Take()),
            "~ file " + S("a.txt") + ": content 4 -> 4 bytes, first difference at byte 2\n" +
            "~ file " + S("grow.txt") + ": content 2 -> 3 bytes, first difference at byte 2\n" +
            "+ folder " + S("new") + "\n" +
            "+ file " + S("new\\c.txt") + " (5 bytes)\n" +
            "- folder " + S("old") + "\n" +
            "- file " + S("sub\\b.txt") + " (3 bytes)\n");
}

TEST_F(Snapshot, AttributesOfFilesAndFolders) {
  Write("a.txt", "a");
  Folder("d");
  ASSERT_TRUE(machine_.Host().SetAttributes(S("a.txt"), kAttrArchive));
  MachineSnapshot before = Take();
  ASSERT_TRUE(machine_.Host().SetAttributes(S("a.txt"), kAttrReadOnly | kAttrArchive));
  ASSERT_TRUE(machine_.Host().SetAttributes(S("d"), kAttrHidden));
  std::string diff = vxtest::Diff(before, Take());
  machine_.Host().SetAttributes(S("a.txt"), kAttrArchive);  // so that the scratch folder can go
  EXPECT_EQ(diff, "~ file " + S("a.txt") + ": attributes 0x20 (archive) -> 0x21 (read-only, archive)\n" +
                      "~ folder " + S("d") + ": attributes 0x10 (directory) -> 0x12 (hidden, directory)\n");
}

TEST_F(Snapshot, RegistryKeysAndValues) {
  ASSERT_TRUE(RegWriteString(kKey, "", "first"));
  ASSERT_TRUE(RegWriteString(kKey, "Changed", "a"));
  ASSERT_TRUE(RegWriteExpandString(kKey, "Path", "%SystemRoot%"));
  ASSERT_TRUE(RegWriteDword(kKey, "Gone", 1));
  ASSERT_TRUE(RegWriteDword(kKey, "Word", 1));
  ASSERT_TRUE(RegWriteBinary(kKey, "Blob", std::string(200, '\0')));
  ASSERT_TRUE(RegWriteString(kKey + "\\Old", "v", "1"));
  MachineSnapshot before = Take();
  ASSERT_TRUE(RegWriteString(kKey, "", "second"));
  ASSERT_TRUE(RegWriteString(kKey, "Changed", "b"));
  // The same bytes under another type: what undoing a change of type must
  // restore too.
  ASSERT_TRUE(RegWriteString(kKey, "Path", "%SystemRoot%"));
  ASSERT_TRUE(RegWriteBinary(kKey, "Word", std::string("\1\0\0\0", 4)));
  ASSERT_TRUE(RegWriteBinary(kKey, "Blob", std::string(150, '\0') + '\1' + std::string(49, '\0')));
  ASSERT_TRUE(RegRemoveValue(kKey, "Gone"));
  ASSERT_TRUE(RegWriteDword(kKey, "Added", 16));
  ASSERT_TRUE(RegRemoveKey(kKey + "\\Old", true));
  ASSERT_TRUE(RegWriteString(kKey + "\\New", "", "n"));
  std::string diff = vxtest::Diff(before, Take()), k = kKey;
  // Long data is shown cut; the first differing byte tells them apart.
  size_t blob = diff.find("~ value " + k + "\\'Blob' REG_BINARY hex:00,");
  ASSERT_NE(blob, std::string::npos) << diff;
  size_t blobEnd = diff.find('\n', blob) + 1;
  const std::string cut = "... (200 bytes) (first difference at byte 150)\n";
  EXPECT_EQ(diff.substr(blobEnd - cut.size(), cut.size()), cut) << diff;
  diff.erase(blob, blobEnd - blob);
  EXPECT_EQ(diff, "~ value " + k + "\\@ REG_SZ \"first\" -> \"second\"\n" +
                      "+ value " + k + "\\'Added' REG_DWORD 0x00000010\n" +
                      "~ value " + k + "\\'Changed' REG_SZ \"a\" -> \"b\"\n" +
                      "- value " + k + "\\'Gone' REG_DWORD 0x00000001\n" +
                      "~ value " + k + "\\'Path' REG_EXPAND_SZ \"%SystemRoot%\" -> REG_SZ \"%SystemRoot%\"\n" +
                      "~ value " + k + "\\'Word' REG_DWORD 0x00000001 -> REG_BINARY hex:01,00,00,00\n" +
                      "+ key " + k + "\\New\n" +
                      "+ value " + k + "\\New\\@ REG_SZ \"n\"\n" +
                      "- key " + k + "\\Old\n" +
                      "- value " + k + "\\Old\\'v' REG_SZ \"1\"\n");
}

TEST_F(Snapshot, IgnorePrefixes) {
  Folder("skip");
  Folder("skip2");
  ASSERT_TRUE(RegWriteString(kKey, "Base", "0"));
  const std::vector<std::string> contentOnly = {S("skip\\"), "hkey_current_user\\software\\vxsnapshottest\\skip",
                                                kKey + "\\Volatile"};
  const std::vector<std::string> withFolder = {S("skip")};
  MachineSnapshot before1 = Take(contentOnly), before2 = Take(withFolder);
  Write("skip\\a.txt", "1");
  Write("skip2\\b.txt", "2");
  ASSERT_TRUE(machine_.Host().SetAttributes(S("skip"), kAttrHidden));
  ASSERT_TRUE(RegWriteString(kKey + "\\Skip", "v", "1"));
  ASSERT_TRUE(RegWriteString(kKey, "Volatile", "x"));
  ASSERT_TRUE(RegWriteString(kKey, "Kept", "y"));
  std::string diff1 = vxtest::Diff(before1, Take(contentOnly)), diff2 = vxtest::Diff(before2, Take(withFolder));
  // With a trailing backslash the folder itself is still compared.
  EXPECT_EQ(diff1, "~ folder " + S("skip") + ": attributes 0x10 (directory) -> 0x12 (hidden, directory)\n" +
                       "+ file " + S("skip2\\b.txt") + " (1 bytes)\n" +
                       "+ value " + kKey + "\\'Kept' REG_SZ \"y\"\n");
  // Without, a plain text prefix: skip2 goes too; the key and the value
  // left out by name are compared here.
  EXPECT_EQ(diff2, "+ value " + kKey + "\\'Kept' REG_SZ \"y\"\n" +
                       "+ value " + kKey + "\\'Volatile' REG_SZ \"x\"\n" +
                       "+ key " + kKey + "\\Skip\n" +
                       "+ value " + kKey + "\\Skip\\'v' REG_SZ \"1\"\n");
}

TEST_F(Snapshot, TreeOrderIgnoresCase) {
  MachineSnapshot before = Take();
  for (const char* name : {"b.txt", "C.txt", "A.txt", "a b.txt"}) Write(name, "1");
  Folder("a");
  Write("a\\B.txt", "1");
  // A folder comes right before what it holds, whatever byte follows it.
  EXPECT_EQ(vxtest::Diff(before, Take()), "+ folder " + S("a") + "\n" +
                                              "+ file " + S("a\\B.txt") + " (1 bytes)\n" +
                                              "+ file " + S("a b.txt") + " (1 bytes)\n" +
                                              "+ file " + S("A.txt") + " (1 bytes)\n" +
                                              "+ file " + S("b.txt") + " (1 bytes)\n" +
                                              "+ file " + S("C.txt") + " (1 bytes)\n");
}

TEST_F(Snapshot, LargeFilesAreComparedByDigest) {
  const size_t kept = size_t(MachineSnapshot::kKeptBytes);
  std::string big(kept + 1, 'x'), edge(kept, 'y');
  Write("big.bin", big);
  Write("edge.bin", edge);
  Write("same.bin", big);
  MachineSnapshot before = Take();
  big[1000] = 'z';
  edge.back() = 'z';
  Write("big.bin", big);
  Write("edge.bin", edge);
  Write("same.bin", big.substr(0, 1000) + 'x' + big.substr(1001));
  std::string n = std::to_string(kept);
  std::string n1 = std::to_string(kept + 1);
  EXPECT_EQ(vxtest::Diff(before, Take()),
            "~ file " + S("big.bin") + ": content " + n1 + " -> " + n1 + " bytes\n" +
            "~ file " + S("edge.bin") + ": content " + n + " -> " + n + " bytes, first difference at byte " +
            std::to_string(kept - 1) + "\n");
}

#ifndef _WIN32
TEST_F(Snapshot, MachineState) {
  auto& host = static_cast<SandboxHost&>(machine_.Host());
  const std::string fonts = "C:\\WINDOWS\\Fonts\\";
  for (const char* font : {"a.ttf", "b.ttf"})
    ASSERT_TRUE(WriteWholeFile(fonts + font, std::string("\0\1\0\0", 4) + std::string(60, '\0')));
  MachineSnapshot before = Take(), beforeIgnoring = Take({"Restart "});
  ASSERT_TRUE(host.RestartSystem(2));
  ASSERT_TRUE(host.AddFontFile(fonts + "a.ttf"));
  ASSERT_TRUE(host.AddFontFile(fonts + "b.ttf"));
  ASSERT_TRUE(host.AddFontFile(fonts + "B.TTF"));
  std::string ini = vxtest::ReadNative(machine_.Root() + "/machine.ini");
  ASSERT_NE(ini.find("Build=2600"), std::string::npos);
  std::ofstream(machine_.Root() + "/machine.ini", std::ios::binary)
      << ini.replace(ini.find("Build=2600"), 10, "Build=2195");
  std::string fontLines = "+ machine font loaded " + fonts + "a.ttf (once)\n" + "+ machine font loaded " + fonts +
                          "b.ttf (2 times)\n";
  std::string buildLine = "~ machine [Machine] Build \"2600\" -> \"2195\"\n";
  EXPECT_EQ(vxtest::Diff(before, Take()), fontLines + "+ machine restart requested (flags 2)\n" + buildLine);
  EXPECT_EQ(vxtest::Diff(beforeIgnoring, Take({"Restart "})), fontLines + buildLine);
}

TEST_F(Snapshot, MachineFolder) {
  namespace fs = std::filesystem;
  auto names = [](const std::string& dir) {
    std::set<std::string> n;
    for (const auto& e : fs::recursive_directory_iterator(dir)) n.insert(e.path().string());
    return n;
  };
  auto before = names(machine_.Root());
  MachineSnapshot snap;
  std::string error;
  ASSERT_TRUE(MachineSnapshot::TakeMachineFolder(machine_.Root(), {}, snap, error)) << error;
  EXPECT_EQ(vxtest::Diff(Take(), snap), "");
  EXPECT_EQ(names(machine_.Root()), before);

  vxtest::TempDir empty;
  EXPECT_FALSE(MachineSnapshot::TakeMachineFolder(empty.Path(), {}, snap, error));
  EXPECT_NE(error.find("no machine.ini"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_empty(empty.Path()));  // not laid out as a fresh machine
  EXPECT_FALSE(MachineSnapshot::TakeMachineFolder(empty.Path() + "/none", {}, snap, error));
  EXPECT_NE(error.find("no machine folder"), std::string::npos) << error;
  // A hive that exists but cannot be read must not pass for an empty one.
  fs::copy_file(machine_.Root() + "/machine.ini", empty.Path() + "/machine.ini");
  fs::create_directory(empty.Path() + "/HKLM.reg");
  EXPECT_FALSE(MachineSnapshot::TakeMachineFolder(empty.Path(), {}, snap, error));
  EXPECT_NE(error.find("cannot read " + empty.Path() + "/HKLM.reg"), std::string::npos) << error;
  // A pipe in a drive is not read (the read would wait for a writer).
  ASSERT_EQ(::mkfifo((machine_.Root() + "/drive_c/pipe").c_str(), 0600), 0);
  ASSERT_TRUE(MachineSnapshot::TakeMachineFolder(machine_.Root(), {}, snap, error)) << error;
  EXPECT_EQ(snap.problems, std::vector<std::string>{"cannot read file C:\\pipe (not a regular file)"});
}
#endif

}  // namespace
