// What vxbuild writes and how vxtool checks it: output that replaces the
// previous setup only when complete, identical bytes from identical inputs,
// digests that vxtool verifies, signatures, and names longer than Windows'
// paths allow extracted on Linux.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CabWriter.h"
#include "package/Package.h"
#include "support/PackageDamage.h"
#include "support/PeBuilder.h"
#include "support/TestMachine.h"

namespace {

namespace fs = std::filesystem;
using vxtest::ReadNative;

std::string Q(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs a shell command with standard output and error in files (so never on
// a terminal).
Result Sh(const std::string& dir, const std::string& command) {
  int status = std::system(("cd " + Q(dir) + " && (" + command + ") > .out 2> .err").c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadNative(dir + "/.out");
  r.err = ReadNative(dir + "/.err");
  fs::remove(dir + "/.out");
  fs::remove(dir + "/.err");
  return r;
}

// A stand-in for the native engine: an ELF header (x86-64) and padding.
std::string ElfStub() {
  std::string elf(4096, '\0');
  elf.replace(0, 4, "\x7F" "ELF");
  elf[4] = 2;
  elf[5] = 1;
  elf[18] = 62;
  return elf;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void SetTime(const std::string& path, time_t t) {
  struct utimbuf times = {t, t};
  ::utime(path.c_str(), &times);
}

class VxbuildOutput : public ::testing::Test {
 protected:
  std::string D(const std::string& rel = "") const { return dir.Path() + (rel.empty() ? "" : "/" + rel); }

  // A project in `folder` with a setup file and a further package, every
  // source dated `when`.
  void MakeProject(const std::string& folder, time_t when) {
    std::string big;
    for (int i = 0; i < 40000; ++i) big += std::to_string(i * 31337 % 99991) + ";";
    Write(folder + "/src/bin/big.txt", big);
    Write(folder + "/src/bin/small.txt", "small");
    Write(folder + "/src/docs/a.txt", "doc a");
    Write(folder + "/src/docs/b.txt", "doc b");
    Write(folder + "/stub.bin", ElfStub());
    Write(folder + "/project.xml", R"(<vx2project>
  <variables><var name="AppID" value="Out"/></variables>
  <packages><package id="extra"/></packages>
  <components>
    <component id="core"><files><file src="bin\*.txt" dst="x"/></files></component>
    <component id="docs" package="extra"><files><file src="docs\*.txt" dst="y"/></files></component>
  </components>
  <build source="src" output="out" stub="stub.bin"/>
</vx2project>)");
    for (auto& e : fs::recursive_directory_iterator(folder)) SetTime(e.path().string(), when);
  }
  Result Build(const std::string& folder, const std::string& extra = "") {
    return Sh(folder, Q(VX_VXBUILD) + " --any-stub project.xml " + extra);
  }

  vxtest::TempDir dir;
};

TEST_F(VxbuildOutput, SameInputsGiveTheSameBytesAndOutputIsReplacedOnlyWhenComplete) {
  const time_t past = 1600000000;  // September 2020
  MakeProject(D("a"), past);
  Result r = Build(D("a"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress line when nothing is a terminal
  std::string setup = ReadNative(D("a/out/setup.exe")), extra = ReadNative(D("a/out/extra.vxp"));
  struct stat st {};
  ASSERT_EQ(::stat(D("a/out/setup.exe").c_str(), &st), 0);
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755 & ~mask);
  ASSERT_EQ(::stat(D("a/out/extra.vxp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);

  // A copy of the tree (times kept) built two seconds later elsewhere.
  ASSERT_EQ(Sh(D(), "sleep 2 && cp -a a b").code, 0);
  ASSERT_EQ(Build(D("b")).code, 0);
  EXPECT_TRUE(ReadNative(D("b/out/setup.exe")) == setup);
  EXPECT_TRUE(ReadNative(D("b/out/extra.vxp")) == extra);

  // With SOURCE_DATE_EPOCH, sources touched at different moments after it
  // give the same bytes too.
  MakeProject(D("c"), std::time(nullptr));
  ASSERT_EQ(Build(D("c"), "").code, 0);
  ASSERT_EQ(Sh(D("c"), "SOURCE_DATE_EPOCH=1500000000 " + Q(VX_VXBUILD) + " --any-stub project.xml --out e1").code, 0);
  ASSERT_EQ(Sh(D(), "sleep 2 && cp -r c d").code, 0);  // new times
  ASSERT_EQ(Sh(D("d"), "SOURCE_DATE_EPOCH=1500000000 " + Q(VX_VXBUILD) + " --any-stub project.xml --out e1").code, 0);
  EXPECT_TRUE(ReadNative(D("c/e1/setup.exe")) == ReadNative(D("d/e1/setup.exe")));
  EXPECT_TRUE(ReadNative(D("c/out/setup.exe")) != ReadNative(D("c/e1/setup.exe")));

  // A build that fails while writing (a folder beyond the cabinet's 2 GB)
  // leaves the previous files as they were and nothing beside them.
  fs::resize_file(D("a/src/docs/a.txt"), 0x7FFF8000ull);
  r = Build(D("a"));
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "more than 2 GB")) << r.err;
  EXPECT_TRUE(ReadNative(D("a/out/setup.exe")) == setup);
  EXPECT_TRUE(ReadNative(D("a/out/extra.vxp")) == extra);
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(D("a/out"))) left.push_back(e.path().filename().string());
  EXPECT_EQ(left.size(), 2u) << testing::PrintToString(left);
  fs::remove(D("a/src/docs/a.txt"));
}

// Four inverted bytes anywhere that matters: verify and extract refuse the
// package and say it is damaged, never that it might need a password when
// it has none; extract writes nothing.
TEST_F(VxbuildOutput, VxtoolRefusesEveryDamagedPackage) {
  MakeProject(D("p"), 1600000000);
  ASSERT_EQ(Build(D("p"), "--out plain").code, 0);
  ASSERT_EQ(Build(D("p"), "--out locked --password Secret").code, 0);
  for (const std::string kind : {"plain", "locked"}) {
    std::vector<std::string> pass = kind == "plain" ? std::vector<std::string>{} : std::vector<std::string>{"Secret"};
    std::string passArg = pass.empty() ? "" : " --password Secret";
    for (const char* file : {"setup.exe", "extra.vxp"}) {
      std::string path = D("p/" + kind + "/" + file);
      const std::string good = ReadNative(path);
      Result ok = Sh(D(), Q(VX_VXTOOL) + " package verify " + Q(path) + passArg);
      ASSERT_EQ(ok.code, 0) << ok.err;
      EXPECT_TRUE(Has(ok.out, "intact")) << ok.out;
      for (const auto& [part, at] : vxtest::DamagePoints(good)) {
        std::string what = kind + " " + file + " " + part;
        Write(D("bad.bin"), vxtest::Flipped(good, at));
        Result v = Sh(D(), Q(VX_VXTOOL) + " package verify " + Q(D("bad.bin")) + passArg);
        EXPECT_EQ(v.code, 1) << what << "\n" << v.out;
        EXPECT_TRUE(Has(v.err, "damaged") || (kind == "locked" && Has(v.err, "wrong password or damaged")))
            << what << "\n" << v.err;
        if (kind == "plain" && std::string(file) == "setup.exe") EXPECT_FALSE(Has(v.err, "password")) << what << v.err;
        Result x = Sh(D(), Q(VX_VXTOOL) + " package extract " + Q(D("bad.bin")) + " --out " + Q(D("x")) + passArg);
        EXPECT_EQ(x.code, 1) << what;
        EXPECT_FALSE(fs::exists(D("x"))) << what << "\n" << x.out;
      }
    }
  }
}

TEST_F(VxbuildOutput, SignedSetupFilesOpenAndSayTheyAreSigned) {
  if (Sh(D(), "command -v osslsigncode && command -v openssl").code != 0)
    GTEST_SKIP() << "osslsigncode or openssl is missing (scripts/install-deps.sh installs them)";
  MakeProject(D("s"), 1600000000);
  vxtest::PeShape exe;
  exe.characteristics = 0x0102;
  Write(D("s/stub.bin"), vxtest::MakePe(1, 0, exe));
  ASSERT_EQ(Sh(D("s"), "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=VXTest -days 2 -keyout key.pem -out "
                       "cert.pem").code,
            0);
  Result r = Build(D("s"), "--sign-key key.pem");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "--sign-cert")) << r.err;
  r = Build(D("s"), "--sign-cert cert.pem --sign-key key.pem");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "signed")) << r.out;
  Result info = Sh(D(), Q(VX_VXTOOL) + " package info " + Q(D("s/out/setup.exe")));
  EXPECT_EQ(info.code, 0) << info.out << info.err;
  EXPECT_TRUE(Has(info.out, "signature: Authenticode, ")) << info.out;
  EXPECT_TRUE(Has(info.out, "(matches the file)")) << info.out;
  EXPECT_EQ(Sh(D(), Q(VX_VXTOOL) + " package verify " + Q(D("s/out/setup.exe"))).code, 0);
  EXPECT_TRUE(Has(Sh(D(), Q(VX_VXTOOL) + " package info " + Q(D("s/out/extra.vxp"))).out, "signature: none\n"));
  // A stub that is no Windows image cannot be signed.
  Write(D("s/stub.bin"), ElfStub());
  r = Build(D("s"), "--sign-cert cert.pem --sign-key key.pem --out other");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "Windows stub")) << r.err;
  EXPECT_FALSE(fs::exists(D("s/other/setup.exe")));
}

// Names that a Windows path could not hold below a long output folder are
// extracted where Linux holds them.
TEST_F(VxbuildOutput, LongNamesAreExtractedBelowADeepFolder) {
  std::string longName = "data\\" + std::string(120, 'd') + "\\" + std::string(110, 'f') + ".txt";
  std::ofstream out(D("long.vxp"), std::ios::binary);
  std::vector<vxbuild::CabFolder> folders(2);
  folders[0].entries.push_back({"db.pdb", "", "", true, 0, 0x5A21, 0x6000, 0x20});
  folders[1].entries.push_back({longName, "", "long content", true, 12, 0x5A21, 0x6000, 0x20});
  vxbuild::CabResult result;
  std::string error;
  ASSERT_TRUE(vxbuild::WriteCabinet(out, folders, {}, result, error)) << error;
  vx::PackageTrailer t;
  t.TotalSize = uint32_t(uint64_t(out.tellp()) + vx::kPackageTrailerSize);
  out << vx::EncodeTrailer(t);
  out.close();
  std::string deep = D(std::string(60, 'o') + "/" + std::string(60, 'u') + "/" + std::string(60, 't'));
  Result x = Sh(D(), Q(VX_VXTOOL) + " package extract " + Q(D("long.vxp")) + " --out " + Q(deep));
  ASSERT_EQ(x.code, 0) << x.err;
  EXPECT_EQ(ReadNative(deep + "/data/" + std::string(120, 'd') + "/" + std::string(110, 'f') + ".txt"), "long content");
}

}  // namespace
