// Package files: the trailer, CheckPackage on good and damaged files,
// preparation through the extraction library into a fresh machine, and
// (natively) packages written by vxbuild, read back by the engine's side and
// by cabextract.
#include <gtest/gtest.h>

#include <functional>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "database/Variables.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "package/VXUnpacker.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

using namespace vx;

namespace {

std::string Local(const std::string& unixPath) {
#ifdef _WIN32
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
#else
  return unixPath;
#endif
}

void Put16(std::string& b, uint32_t v) {
  b += char(v & 0xFF);
  b += char((v >> 8) & 0xFF);
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A cabinet with one uncompressed folder holding `files` in order.
std::string StoredCabinet(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string data;
  for (auto& f : files) data += f.second;
  std::string blocks;
  uint32_t count = 0;
  for (size_t at = 0; at < data.size(); at += 32768, ++count) {
    std::string chunk = data.substr(at, 32768);
    Put32(blocks, 0);
    Put16(blocks, uint32_t(chunk.size()));
    Put16(blocks, uint32_t(chunk.size()));
    blocks += chunk;
  }
  size_t tables = 36 + 8;
  for (auto& f : files) tables += 16 + f.first.size() + 1;
  std::string c = "MSCF";
  Put32(c, 0);
  Put32(c, uint32_t(tables + blocks.size()));
  Put32(c, 0);
  Put32(c, 44);
  Put32(c, 0);
  c += char(3);
  c += char(1);
  Put16(c, 1);
  Put16(c, uint32_t(files.size()));
  Put16(c, 0);
  Put16(c, 0);
  Put16(c, 0);
  Put32(c, uint32_t(tables));
  Put16(c, count);
  Put16(c, 0);  // stored
  uint32_t offset = 0;
  for (auto& f : files) {
    Put32(c, uint32_t(f.second.size()));
    Put32(c, offset);
    Put16(c, 0);
    Put16(c, 0x5A21);  // 1 Jan 2025
    Put16(c, 0x6000);  // 12:00
    Put16(c, 0x20);
    c += f.first;
    c += '\0';
    offset += uint32_t(f.second.size());
  }
  return c + blocks;
}

std::string PackageFile(const std::string& stub, const std::string& cabinet, uint32_t presetup, uint32_t flags = 0,
                        const std::string& trailing = "") {
  PackageTrailer t;
  t.StubSize = uint32_t(stub.size());
  t.TotalSize = uint32_t(stub.size() + cabinet.size() + kPackageTrailerSize);
  t.PresetupSize = presetup;
  t.Flags = flags;
  return stub + cabinet + EncodeTrailer(t) + trailing;
}

// The run as the package layer sees it: a temporary folder, windows that
// record what they were asked, and answers the test gives.
struct TestServices : PackageServices {
  std::string temp;
  std::vector<std::string> windowLog;
  bool splash = false, window = false;
  std::function<intptr_t(const std::string&, char*)> askForPackage;
  int aborted = 0;
  std::vector<std::string> titles;

  std::string TempFolder() override { return temp; }
  intptr_t AskForPackage(const std::string& name, char* folder) override {
    return askForPackage ? askForPackage(name, folder) : 0;
  }
  void AbortInstall() override { ++aborted; }
  void ShowSplash(const std::string& p) override {
    windowLog.push_back("splash " + ExtractFileName(p));
    splash = true;
  }
  void CloseSplash() override { splash = false; }
  bool SplashVisible() override { return splash; }
  void ShowPreparationWindow(const std::string&, const std::string& n) override {
    windowLog.push_back("window " + n);
    window = true;
  }
  bool PreparationWindowVisible() override { return window; }
  void SetPreparationProgress(int p) override { windowLog.push_back("progress " + std::to_string(p)); }
  void SetPreparationTitle(const std::string& name) override { titles.push_back(name); }
  void DestroyPreparationWindow() override { window = false; }
};

// A fresh machine with the extraction library in its temporary folder.
struct PackagingTest : ::testing::Test {
  vxtest::TestMachine machine;
  std::string temp;
  TestServices services;
  std::vector<std::string>& windowLog = services.windowLog;

  void SetUp() override {
    temp = machine.Scratch() + "tmp\\";
    ASSERT_TRUE(ForceFolders(ExcludeTrailing(temp)));
    std::string lib = vxtest::ReadNative(Local(VX_UNPACK_LIBRARY));
    ASSERT_FALSE(lib.empty());
    ASSERT_TRUE(WriteWholeFile(temp + "unpack.dll", lib));
    SetUnpackFolder(temp);
    services.temp = temp;
  }
  bool Check(TvxPackage& package) { return CheckPackage(services, package).ok(); }
  bool Prepare(TvxPackages& packages) { return PreparePackages(services, packages).ok(); }
  static std::string ExcludeTrailing(const std::string& s) { return s.substr(0, s.size() - 1); }

  TvxPackage& AddPackage(TvxMainDatabase& db, const std::string& path, bool main) {
    auto p = std::make_unique<TvxPackage>(db.Packages.get());
    p->FullFileName = path;
    p->Main = main;
    p->Needed = true;
    return static_cast<TvxPackage&>(*db.Packages->Add(std::move(p)));
  }
  std::string Read(const std::string& path) {
    std::string b;
    return ReadWholeFile(path, b) ? b : std::string("<missing>");
  }
};

}  // namespace

TEST(Trailer, LocatesTheMarkerNearestTheEndAndCountsTrailingBytes) {
  PackageTrailer t{111, 2222, 33, 44, 5};
  std::string enc = EncodeTrailer(t);
  ASSERT_EQ(enc.size(), kPackageTrailerSize);
  EXPECT_EQ(enc.substr(20), "VXPEND");

  PackageTrailer r;
  uint64_t trailing = 99;
  ASSERT_TRUE(LocateTrailer("xx" + enc, r, trailing));
  EXPECT_EQ(trailing, 0u);
  EXPECT_EQ(r.StubSize, 111u);
  EXPECT_EQ(r.TotalSize, 2222u);
  EXPECT_EQ(r.Flags, 5u);

  // A second trailer nearer the end wins; bytes after it are trailing.
  PackageTrailer t2{1, 2, 3, 4, 0};
  ASSERT_TRUE(LocateTrailer(enc + "pad" + EncodeTrailer(t2) + "SIGNATURE", r, trailing));
  EXPECT_EQ(r.TotalSize, 2u);
  EXPECT_EQ(trailing, 9u);

  // A marker with no room for the fields, or none at all.
  EXPECT_FALSE(LocateTrailer("abcVXPEND", r, trailing));
  EXPECT_FALSE(LocateTrailer("VXPEN", r, trailing));
  EXPECT_FALSE(LocateTrailer(std::string(100, 'x'), r, trailing));
}

TEST(DosDates, ConvertBothWaysAndRefuseDatesOutsideTheirRange) {
  // 7 December 2026, 13:45:58, and the first and last days DOS dates hold.
  for (uint32_t dos : {uint32_t((46u << 25) | (12u << 21) | (7u << 16) | (13u << 11) | (45u << 5) | 29u),
                       uint32_t((0u << 25) | (1u << 21) | (1u << 16)), uint32_t((127u << 25) | (12u << 21) | (31u << 16)),
                       uint32_t((20u << 25) | (2u << 21) | (29u << 16) | (23u << 11) | (59u << 5) | 29u)})
    EXPECT_EQ(DateTimeToDosDateTime(DosDateTimeToDateTime(dos)), dos) << std::hex << dos;
  EXPECT_EQ(DateTimeToDosDateTime(0), 0u);
  EXPECT_EQ(DateTimeToDosDateTime(DosDateTimeToDateTime(1u << 21 | 1u << 16) - 1), 0u);  // 31 December 1979
  EXPECT_EQ(DateTimeToDosDateTime(80000), 0u);                                        // in 2119
}

TEST(EntryNames, RefusesNamesThatLeaveTheFolder) {
  for (const char* bad : {"..\\x", "a\\..\\..\\x", "C:\\x", "\\x", "/x", "a\\. .\\x", "a:stream", "", "a\\...\\b"})
    EXPECT_FALSE(IsSafeEntryName(bad)) << bad;
  for (const char* good : {"db.pdb", "lng\\1033.lng", "plugins\\0\\ui.dll", "a\\.hidden", "x..y"})
    EXPECT_TRUE(IsSafeEntryName(good)) << good;
  EXPECT_TRUE(IsDataEntry("DATA\\c\\f"));
  EXPECT_FALSE(IsDataEntry("database.bin"));
}

TEST_F(PackagingTest, CheckPackageAcceptsGoodFilesAndRefusesDamagedOnes) {
  std::string stub(3000, 'S');
  std::string cab = StoredCabinet({{"db.pdb", ""}});
  std::string good = PackageFile(stub, cab, 0);
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
  } cases[] = {
      {"good.exe", good, true},
      {"signed.exe", good + std::string(5000, 'Z'), true},
      {"truncated.exe", good.substr(0, good.size() - 30), false},
      {"short.exe", good.substr(10), false},
      {"grown.exe", "X" + good, false},
      {"forgedstub.exe", [&] {
         std::string b = good;
         b[b.size() - 26 + 3] = char(0x7F);  // StubSize beyond the file
         return b;
       }(), false},
      {"tiny.exe", "VXPEND", false},
      {"empty.exe", "", false},
  };
  for (auto& c : cases) {
    ASSERT_TRUE(WriteWholeFile(machine.Scratch() + c.name, c.bytes));
    TvxMainDatabase db;
    TvxPackage& p = AddPackage(db, machine.Scratch() + c.name, true);
    EXPECT_EQ(Check(p), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(Read(temp + "Resume.exe"), stub) << c.name;
      EXPECT_EQ(p.TempPath, temp + ExtractFileName(c.name).substr(0, ExtractFileName(c.name).size() - 4) + "\\");
    }
  }
  // Every bit flip in the trailer's size field is caught.
  for (int bit = 0; bit < 32; ++bit) {
    std::string b = good;
    b[b.size() - 22 + bit / 8] ^= char(1 << (bit % 8));
    ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "flip.vxp", b));
    TvxMainDatabase db;
    EXPECT_FALSE(Check(AddPackage(db, machine.Scratch() + "flip.vxp", false))) << bit;
  }
}

TEST_F(PackagingTest, MissingPackageAsksThePluginsAndAbortsWithoutAnswer) {
  std::string cab = StoredCabinet({{"db.pdb", ""}});
  ASSERT_TRUE(ForceFolders(machine.Scratch() + "media"));
  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "media\\extra.vxp", PackageFile("", cab, 0)));
  int asked = 0;
  services.askForPackage = [&](const std::string& name, char* folder) -> intptr_t {
    if (++asked > 1) return 0;
    EXPECT_EQ(name, "extra.vxp");
    std::string f = machine.Scratch() + "media";
    std::snprintf(folder, 260, "%s", f.c_str());
    return 1;
  };
  TvxMainDatabase db;
  TvxPackage& p = AddPackage(db, machine.Scratch() + "extra.vxp", false);
  ASSERT_TRUE(Check(p));
  EXPECT_EQ(p.FullFileName, machine.Scratch() + "media\\extra.vxp");
  EXPECT_EQ(asked, 1);

  TvxPackage& q = AddPackage(db, machine.Scratch() + "gone.vxp", false);
  Status refused = CheckPackage(services, q);
  EXPECT_EQ(refused.id, kPackageNotFound);
  EXPECT_EQ(refused.Arg(0), "gone.vxp");
  EXPECT_EQ(services.aborted, 1);
}

TEST_F(PackagingTest, TheSameFolderIsSearchedAgainUntilThePluginsGiveUp) {
  // Removable media: the user puts the next disk into the same drive and
  // confirms; the folder named again now holds the file.
  std::string cab = StoredCabinet({{"db.pdb", ""}});
  const std::string drive = machine.Scratch() + "disk";
  ASSERT_TRUE(ForceFolders(drive));
  int asked = 0;
  services.askForPackage = [&](const std::string& name, char* folder) -> intptr_t {
    EXPECT_EQ(std::string(folder), drive + "\\");
    if (++asked == 2) {
      EXPECT_TRUE(WriteWholeFile(drive + "\\" + name, PackageFile("", cab, 0)));
    }
    return 1;  // the same folder, unchanged
  };
  TvxMainDatabase db;
  TvxPackage& p = AddPackage(db, drive + "\\disk2.vxp", false);
  ASSERT_TRUE(Check(p));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(p.FullFileName, drive + "\\disk2.vxp");
  EXPECT_EQ(services.aborted, 0);

  // The plug-ins end the search by answering 0.
  asked = 0;
  services.askForPackage = [&](const std::string&, char*) -> intptr_t { return ++asked < 3 ? 1 : 0; };
  Status refused = CheckPackage(services, AddPackage(db, drive + "\\disk3.vxp", false));
  EXPECT_EQ(refused.id, kPackageNotFound);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(services.aborted, 1);
}

TEST_F(PackagingTest, PreparationExtractsUpToTheDataPartAndShowsWindowsInOrder) {
  std::string cab = StoredCabinet({{"splash.bmp", "BMsplash"},
                                   {"lng\\1033.lng", "[Strings]\r\n1=Hi\r\n"},
                                   {"db.pdb", ""},
                                   {"data\\c\\file.txt", "installed later"}});
  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "setup.exe", PackageFile("STUB", cab, 8 + 17)));
  TvxMainDatabase db;
  TvxPackage& p = AddPackage(db, machine.Scratch() + "setup.exe", true);
  ASSERT_TRUE(Check(p));
  ASSERT_TRUE(Prepare(*db.Packages));
  EXPECT_TRUE(p.Prepared);
  EXPECT_EQ(Read(p.TempPath + "splash.bmp"), "BMsplash");
  EXPECT_EQ(Read(p.TempPath + "lng\\1033.lng"), "[Strings]\r\n1=Hi\r\n");
  EXPECT_FALSE(PathExists(p.TempPath + "data"));
  ASSERT_GE(windowLog.size(), 3u);
  EXPECT_EQ(windowLog[0], "progress 32");  // the splash picture's block comes first
  EXPECT_EQ(windowLog[1], "splash splash.bmp");
  EXPECT_EQ(windowLog[2], "window setup");  // with the first ordinary file
  EXPECT_EQ(windowLog.back(), "progress 100");
  // The window is given the package's name; it makes its title of it.
  EXPECT_EQ(services.titles, std::vector<std::string>{"setup"});

  // A second run skips the prepared package; the empty database loads.
  windowLog.clear();
  ASSERT_TRUE(Prepare(*db.Packages));
  EXPECT_TRUE(windowLog.empty());
  ASSERT_TRUE(LoadPackageDatabase(p));
  EXPECT_EQ(GetVariable(&p, "Presetup"), p.TempPath + "presetup");
}

TEST_F(PackagingTest, QuietPackagesShowNothingAndUnsafeNamesWriteNothing) {
  std::string quiet = StoredCabinet({{"splash.bmp", "BM"}, {"a.txt", "a"}});
  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "q.vxp", PackageFile("", quiet, 3, kPackageQuiet)));
  TvxMainDatabase db;
  ASSERT_TRUE(Check(AddPackage(db, machine.Scratch() + "q.vxp", false)));
  ASSERT_TRUE(Prepare(*db.Packages));
  for (auto& line : windowLog) EXPECT_EQ(line.rfind("progress", 0), 0u) << line;

  std::string evil = StoredCabinet({{"ok.txt", "ok"}, {"..\\..\\escaped.txt", "bad"}});
  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "evil.vxp", PackageFile("", evil, 5)));
  TvxMainDatabase db2;
  TvxPackage& e = AddPackage(db2, machine.Scratch() + "evil.vxp", false);
  ASSERT_TRUE(Check(e));
  EXPECT_FALSE(Prepare(*db2.Packages));
  EXPECT_FALSE(e.Prepared);
  EXPECT_FALSE(PathExists(machine.Scratch() + "escaped.txt"));
  EXPECT_FALSE(PathExists(temp + "escaped.txt"));
}

TEST_F(PackagingTest, DamagedDatabaseRaisesInsteadOfLoadingNothing) {
  std::string cab = StoredCabinet({{"db.pdb", "this is not a database at all"}});
  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "d.vxp", PackageFile("", cab, 29)));
  TvxMainDatabase db;
  TvxPackage& p = AddPackage(db, machine.Scratch() + "d.vxp", false);
  ASSERT_TRUE(Check(p));
  ASSERT_TRUE(Prepare(*db.Packages));
  EXPECT_ANY_THROW(LoadPackageDatabase(p));
}

#ifdef VX_VXBUILD
// vxbuild output: two packages, a password, pictures; prepared on a fresh
// machine, databases merged, data decrypted with the password only.
// Writes a file below a native folder, creating the folders on the way.
void WriteBelow(const std::string& root, const std::string& rel, const std::string& bytes) {
  std::string path = root + "/" + rel;
  std::string folder = path.substr(0, path.rfind('/'));
  std::system(("mkdir -p '" + folder + "'").c_str());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A bitmap file of `size` bytes as far as its header tells.
std::string TinyBitmap(uint32_t size = 30) {
  std::string b = "BM";
  for (int i = 0; i < 4; ++i) b += char(size >> (8 * i));
  b.resize(size, '\0');
  return b;
}

TEST_F(PackagingTest, VxbuildPackagesPrepareLoadAndDecrypt) {
  vxtest::TempDir dir;
  std::string d = dir.Path();
  auto write = [&](const std::string& rel, const std::string& bytes) { WriteBelow(d, rel, bytes); };
  std::string big;
  for (int i = 0; i < 100000; ++i) big += std::to_string(i * 7919 % 1000) + ",";
  write("src/bin/app.dat", big);
  write("src/docs/a.txt", "doc a");
  write("src/lng/1033.lng", "[Strings]\r\n1=Hello\r\n");
  write("src/splash.bmp", TinyBitmap());
  write("stub.bin", std::string(2048, 'E'));
  write("project.xml", R"(<vx2project>
  <variables><var name="AppID" value="Demo"/></variables>
  <packages><package id="extra"/></packages>
  <components>
    <component id="core"><files><file src="bin\app.dat" dst="x"/></files></component>
    <component id="docs" package="extra"><files><file src="docs\*.txt" dst="y"/></files></component>
  </components>
  <build source="src" output="out" stub="stub.bin" password="Secret">
    <language file="lng\1033.lng"/><splash file="splash.bmp" time="3" opacity="40"/><flags scrambled="1"/>
  </build>
</vx2project>)");
  ASSERT_EQ(std::system((std::string(VX_VXBUILD) + " --any-stub " + d + "/project.xml > /dev/null").c_str()), 0);
  // The preparation part is a standard cabinet for other readers too.
  EXPECT_EQ(std::system(("cabextract -q -t " + d + "/out/extra.vxp -F db.pdb > /dev/null 2>&1").c_str()), 0);

  for (const char* f : {"setup.exe", "extra.vxp"})
    ASSERT_TRUE(WriteWholeFile(machine.Scratch() + f, vxtest::ReadNative(d + "/out/" + f)));
  TvxMainDatabase db;
  TvxPackage& main = AddPackage(db, machine.Scratch() + "setup.exe", true);
  ASSERT_TRUE(Check(main));
  EXPECT_EQ(main.Flags, int32_t(kPackageScrambled));
  ASSERT_TRUE(Prepare(*db.Packages));
  ASSERT_TRUE(LoadPackageDatabase(main));
  LoadMainProjectDatabase(db, main);
  EXPECT_EQ(GetVariable(&db, "AppID"), "Demo");
  std::string hash = GetVariable(&db, "PswCheckHash");
  EXPECT_TRUE(CheckPassword("Secret", hash));
  EXPECT_FALSE(CheckPassword("secret", hash));
  EXPECT_EQ(Read(main.TempPath + "lng\\1033.lng"), "[Strings]\r\n1=Hello\r\n");
  // The splash picture carries the display time and opacity of the project.
  EXPECT_EQ(Read(main.TempPath + "splash.bmp"), TinyBitmap() + std::string("\3\0\0\0\x28\0\0\0", 8));
  ASSERT_NE(main.FileInfos->FindFileInfo("core\\bin\\app.dat"), nullptr);
  EXPECT_EQ(main.FileInfos->FindFileInfo("core\\bin\\app.dat")->Size, int32_t(big.size()));

  // The further package comes from the project database, as the run flow
  // finds it.
  ASSERT_EQ(db.Packages->Count(), 2);
  TvxPackage* found = db.Packages->FindPackage("extra");
  ASSERT_NE(found, nullptr);
  TvxPackage& extra = *found;
  extra.FullFileName = machine.Scratch() + extra.FileName + ".vxp";
  ASSERT_TRUE(Check(extra));
  ASSERT_TRUE(Prepare(*db.Packages));
  ASSERT_TRUE(LoadPackageDatabase(extra));
  EXPECT_EQ(extra.Components->Count(), 1);

  auto extract = [&](const std::string& password, std::string& out) {
    TvxUnpacker u(main.FullFileName, true);
    u.UsePassword(password);
    return u.Enumerate([&](const std::string& entry, uint32_t, uint32_t, double, std::string& target) {
      if (!IsDataEntry(entry)) return 0;
      target = machine.Scratch() + "out.dat";
      return 1;
    }) && ReadWholeFile(machine.Scratch() + "out.dat", out);
  };
  std::string got;
  ASSERT_TRUE(extract("Secret", got));
  EXPECT_EQ(got, big);
  EXPECT_FALSE(extract("secret", got));
}

// A bare bitmap gets the trailer of an opaque picture shown for 0 seconds; a
// file that is not a bitmap stops the build.
TEST_F(PackagingTest, VxbuildCompletesOrRefusesSplashPictures) {
  vxtest::TempDir dir;
  std::string d = dir.Path();
  WriteBelow(d, "stub.bin", std::string(2048, 'E'));
  WriteBelow(d, "project.xml", R"(<vx2project>
  <build source="src" output="out" stub="stub.bin"><splash file="splash.bmp"/></build>
</vx2project>)");
  auto build = [&] { return std::system((std::string(VX_VXBUILD) + " --any-stub " + d + "/project.xml > /dev/null 2>&1").c_str()); };
  WriteBelow(d, "src/splash.bmp", TinyBitmap());
  ASSERT_EQ(build(), 0);
  std::string packed;
  if (FILE* p = popen(("cabextract -q -p -F splash.bmp " + d + "/out/setup.exe").c_str(), "r")) {
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) packed.append(buf, n);
    pclose(p);
  }
  EXPECT_EQ(packed, TinyBitmap() + std::string("\0\0\0\0\x64\0\0\0", 8));

  for (const std::string& bad : {std::string("BMsplash"), std::string("GIF89a and more bytes"), TinyBitmap(40).substr(0, 30)}) {
    WriteBelow(d, "src/splash.bmp", bad);
    EXPECT_NE(build(), 0) << bad.size();
  }
}

// Noise that zlib at level 6 cannot squeeze into one MSZIP block (its
// deflate output for this 32 KiB block is 32,780 bytes, two more than a
// block may hold with its signature) is stored instead of failing the build.
TEST_F(PackagingTest, VxbuildStoresBlocksThatDoNotCompress) {
  vxtest::TempDir dir;
  std::string d = dir.Path();
  std::string noise(32768 + 5000, '\0');
  uint32_t x = 758;  // xorshift32: the seed gives such a block with zlib 1.2.x
  for (char& c : noise) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = char(x & 0xFF);
  }
  WriteBelow(d, "src/noise.bin", noise);
  WriteBelow(d, "stub.bin", std::string(2048, 'E'));
  WriteBelow(d, "project.xml", R"(<vx2project>
  <components><component id="core"><files><file src="noise.bin" dst="x"/></files></component></components>
  <build source="src" output="out" stub="stub.bin"/>
</vx2project>)");
  ASSERT_EQ(std::system((std::string(VX_VXBUILD) + " --any-stub " + d + "/project.xml > /dev/null").c_str()), 0);
  EXPECT_EQ(std::system(("cabextract -q -t " + d + "/out/setup.exe > /dev/null 2>&1").c_str()), 0);

  ASSERT_TRUE(WriteWholeFile(machine.Scratch() + "setup.exe", vxtest::ReadNative(d + "/out/setup.exe")));
  TvxMainDatabase db;
  TvxPackage& main = AddPackage(db, machine.Scratch() + "setup.exe", true);
  ASSERT_TRUE(Check(main));
  ASSERT_TRUE(Prepare(*db.Packages));
  std::string got;
  TvxUnpacker u(main.FullFileName, false);
  ASSERT_TRUE(u.Enumerate([&](const std::string& entry, uint32_t, uint32_t, double, std::string& target) {
    if (!IsDataEntry(entry)) return 0;
    target = machine.Scratch() + "noise.bin";
    return 1;
  })) << u.LastError();
  ASSERT_TRUE(ReadWholeFile(machine.Scratch() + "noise.bin", got));
  EXPECT_TRUE(got == noise);
}
#endif
