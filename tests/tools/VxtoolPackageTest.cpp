// vxtool's package, database and hash commands, run as the program a setup
// author runs: against a setup file and a ".vxp" written by vxbuild with a
// password, and against hand-made packages (the building tool's cabinet
// writer with names vxbuild would never write). Also `machine diff` on
// machine folders vxtool lays out.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CabWriter.h"
#include "database/Variables.h"
#include "database/VXClasses.h"
#include "database/kqXMLParser.h"
#include "package/DCPcrypt.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "support/PeBuilder.h"
#include "support/TestMachine.h"

using namespace vx;
namespace fs = std::filesystem;

namespace {

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

void WriteNative(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every file below `dir`, as relative generic paths.
std::set<std::string> FilesBelow(const std::string& dir) {
  std::set<std::string> files;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return files;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (!fs::is_directory(e.symlink_status())) files.insert(e.path().lexically_relative(dir).generic_string());
  return files;
}

// Runs vxtool in the folder `dir`.
Outcome RunVxtool(const std::string& dir, const std::vector<std::string>& args) {
  std::string cmd = "cd " + ShellQuote(dir) + " && " + ShellQuote(VX_VXTOOL);
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  cmd += " > " + ShellQuote(dir + "/.out") + " 2> " + ShellQuote(dir + "/.err");
  int status = std::system(cmd.c_str());
  Outcome r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = vxtest::ReadNative(dir + "/.out");
  r.err = vxtest::ReadNative(dir + "/.err");
  fs::remove(dir + "/.out");
  fs::remove(dir + "/.err");
  return r;
}

class VxtoolPackage : public ::testing::Test {
 protected:
  static inline vxtest::TempDir* dir_ = nullptr;
  static inline std::string big_;

  static std::string D() { return dir_->Path(); }
  static std::string SetupFile() { return D() + "/out/setup.exe"; }
  static std::string Extra() { return D() + "/out/extra.vxp"; }

  // A setup file with the data part in the setup and one further package,
  // both with the password "Secret"; the setup file is scrambled.
  static void SetUpTestSuite() {
    dir_ = new vxtest::TempDir;
    big_.clear();
    for (int i = 0; i < 60000; ++i) big_ += std::to_string(i * 7919 % 1000) + ",";
    WriteNative(D() + "/src/bin/app.dat", big_);
    WriteNative(D() + "/src/docs/a.txt", "doc a");
    WriteNative(D() + "/src/lng/1033.lng", "[Strings]\r\n1=Hello\r\n");
    // A bitmap header that gives the file's own size (14 bytes).
    WriteNative(D() + "/src/splash.bmp", std::string("BM\x0e\0\0\0\0\0\0\0\0\0\0\0", 14));
    WriteNative(D() + "/stub.bin", std::string(2048, 'E'));
    WriteNative(D() + "/project.xml", R"(<vx2project>
  <variables><var name="AppID" value="Demo"/></variables>
  <packages><package id="extra"/></packages>
  <components>
    <component id="core"><files><file src="bin\app.dat" dst="x"/></files></component>
    <component id="docs" package="extra"><files><file src="docs\*.txt" dst="y"/></files></component>
  </components>
  <build source="src" output="out" stub="stub.bin" password="Secret">
    <language file="lng\1033.lng"/><splash file="splash.bmp"/><flags scrambled="1"/>
  </build>
</vx2project>)");
    ASSERT_EQ(std::system((std::string(VX_VXBUILD) + " --any-stub " + D() + "/project.xml > /dev/null").c_str()), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  vxtest::TempDir work_;
  std::string W(const std::string& rel = "") const { return work_.Path() + (rel.empty() ? "" : "/" + rel); }

  // Runs vxtool in the work folder.
  Outcome Vxtool(const std::vector<std::string>& args) const { return RunVxtool(W(), args); }

  // A package written with the building tool's cabinet writer: `prep`
  // entries in the preparation folder, `data` entries unencrypted in the
  // data folder; every entry dated 1 January 2025 12:00, read-only + archive.
  using Files = std::vector<std::pair<std::string, std::string>>;
  std::string HandMade(const std::string& name, const Files& prep, const Files& data = {}) const {
    std::ofstream out(W(name), std::ios::binary);
    std::vector<vxbuild::CabFolder> folders(data.empty() ? 1 : 2);
    for (size_t f = 0; f < folders.size(); ++f)
      for (auto& [entry, bytes] : f ? data : prep)
        folders[f].entries.push_back({entry, "", bytes, true, bytes.size(), 0x5A21, 0x6000, 0x21});
    vxbuild::CabResult result;
    std::string error;
    EXPECT_TRUE(vxbuild::WriteCabinet(out, folders, {}, result, error)) << error;
    PackageTrailer t;
    t.TotalSize = uint32_t(uint64_t(out.tellp()) + kPackageTrailerSize);
    t.PresetupSize = uint32_t(result.unpacked[0]);
    out << EncodeTrailer(t);
    return W(name);
  }
};

TEST_F(VxtoolPackage, InfoNamesTheEngineTheSetupFileStarts) {
  std::string elf(2048, '\0');
  elf.replace(0, 4, "\x7F" "ELF");
  elf[4] = 2;    // 64-bit
  elf[18] = 62;  // x86-64
  vxtest::PeShape x64;
  x64.machine = 0x8664;
  x64.pe32Plus = true;
  const std::pair<std::string, std::string> cases[] = {
      {vxtest::MakePe(1, 2), "engine: Windows x86 (32-bit)\n"},
      {vxtest::MakePe(1, 2, x64), "engine: Windows x64 (64-bit)\n"},
      {elf, "engine: native Linux x86-64, for the sandbox machine\n"},
      {std::string(2048, 'E'), "engine: unknown (neither a Windows nor a Linux program)\n"}};
  for (const auto& [stub, line] : cases) {
    WriteNative(W("stub.bin"), stub);
    std::string build = std::string(VX_VXBUILD) + " --any-stub " + ShellQuote(D() + "/project.xml") + " --stub " +
                        ShellQuote(W("stub.bin")) + " --out " + ShellQuote(W("out")) + " > /dev/null";
    ASSERT_EQ(std::system(build.c_str()), 0) << line;
    Outcome r = Vxtool({"package", "info", W("out/setup.exe")});
    EXPECT_TRUE(Contains(r.out, line)) << r.out;
  }
  EXPECT_TRUE(Contains(Vxtool({"package", "info", Extra()}).out, "engine: none\n"));
}

TEST_F(VxtoolPackage, InfoReportsTrailerCabinetEntriesAndPassword) {
  Outcome r = Vxtool({"package", "info", SetupFile(), "--password", "Secret"});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* line : {"stub size: 2048\n", "total size: ", "(matches the file)", "flags: 0x1 (scrambled)\n",
                           "cabinet: at 2048\n", "scrambled: yes\n", "entries: 5 (4 preparation, 1 data)\n",
                           "password: yes (PswCheckHash in main.pdb)\n", "password check: right\n"})
    EXPECT_TRUE(Contains(r.out, line)) << line << "\n" << r.out;
  r = Vxtool({"package", "info", SetupFile(), "--password", "secret"});
  EXPECT_TRUE(Contains(r.out, "password check: wrong\n")) << r.out;

  // A ".vxp" carries no check hash: its data part tells.
  r = Vxtool({"package", "info", Extra()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "cabinet: at 0\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "scrambled: no\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "password: yes (the data part does not read without a key)\n")) << r.out;
  EXPECT_TRUE(Contains(Vxtool({"package", "info", Extra(), "--password", "Secret"}).out, "password check: right\n"));
  EXPECT_TRUE(Contains(Vxtool({"package", "info", Extra(), "--password", "Wrong"}).out, "password check: wrong\n"));

  std::string plain = HandMade("plain.vxp", {{"db.pdb", ""}}, {{"data\\c\\f.txt", "content"}});
  r = Vxtool({"package", "info", plain, "--password", "x"});
  EXPECT_TRUE(Contains(r.out, "password: no (the data part reads without a key)\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "password check: not needed\n")) << r.out;
}

TEST_F(VxtoolPackage, FilesThatAreNoPackagesAreRefused) {
  // A byte in front shifts the file against its trailer: reported, refused.
  WriteNative(W("grown.vxp"), "X" + vxtest::ReadNative(Extra()));
  Outcome r = Vxtool({"package", "info", W("grown.vxp")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.out, "does not match the file")) << r.out;
  r = Vxtool({"package", "list", W("grown.vxp")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "is damaged")) << r.err;

  WriteNative(W("text.txt"), "just some text");
  for (const char* cmd : {"info", "list", "extract"}) {
    r = Vxtool({"package", cmd, W("text.txt")});
    EXPECT_EQ(r.code, 1) << cmd;
    EXPECT_TRUE(Contains(r.err, "is not a package")) << cmd << ": " << r.err;
  }
  EXPECT_EQ(Vxtool({"package", "extract", W("missing.vxp")}).code, 1);
  EXPECT_EQ(FilesBelow(W()), (std::set<std::string>{"grown.vxp", "text.txt"}));
}

TEST_F(VxtoolPackage, ListShowsEveryEntryWithSizeDateAndAttributes) {
  Outcome r = Vxtool({"package", "list", SetupFile()});
  ASSERT_EQ(r.code, 0) << r.err;
  std::set<std::string> names;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) names.insert(line.substr(line.rfind("  ") + 2));
  EXPECT_EQ(names, (std::set<std::string>{"db.pdb", "main.pdb", "splash.bmp", "lng\\1033.lng",
                                          "data\\core\\bin\\app.dat"}));
  EXPECT_TRUE(Contains(r.out, " " + std::to_string(big_.size()) + "  data\\core\\bin\\app.dat\n")) << r.out;

  std::string hand = HandMade("hand.vxp", {{"a.txt", "abc"}});
  r = Vxtool({"package", "list", hand});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "2025-01-01 12:00:00 r--a          3  a.txt\n");
}

TEST_F(VxtoolPackage, ExtractWritesEveryEntryAndDecryptsTheDataPart) {
  WriteNative(W("x/keep.txt"), "mine");
  Outcome r = Vxtool({"package", "extract", SetupFile(), "--password", "Secret", "--out", "x"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(FilesBelow(W("x")), (std::set<std::string>{"keep.txt", "db.pdb", "main.pdb", "splash.bmp", "lng/1033.lng",
                                                       "data/core/bin/app.dat"}));
  EXPECT_EQ(vxtest::ReadNative(W("x/data/core/bin/app.dat")), big_);
  EXPECT_EQ(vxtest::ReadNative(W("x/lng/1033.lng")), "[Strings]\r\n1=Hello\r\n");
  EXPECT_EQ(vxtest::ReadNative(W("x/keep.txt")), "mine");
  EXPECT_TRUE(Contains(r.out, "data/core/bin/app.dat\n")) << r.out;
  for (auto& e : fs::directory_iterator(W("x")))  // no staging folder left behind
    EXPECT_NE(e.path().filename().string().rfind(".vxtool", 0), 0u) << e.path();

  // A further package, into a folder that does not exist yet.
  r = Vxtool({"package", "extract", Extra(), "--password", "Secret", "--out", W("y/sub/")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(FilesBelow(W("y")), (std::set<std::string>{"sub/db.pdb", "sub/data/docs/docs/a.txt"}));
  EXPECT_EQ(vxtest::ReadNative(W("y/sub/data/docs/docs/a.txt")), "doc a");

  // Without a password the data part needs no key; one given is not used.
  std::string plain = HandMade("plain.vxp", {{"db.pdb", "d"}}, {{"data\\c\\f.txt", "content"}});
  r = Vxtool({"package", "extract", plain, "--password", "unneeded", "--out", "p"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(vxtest::ReadNative(W("p/data/c/f.txt")), "content");
  EXPECT_TRUE(Contains(r.err, "no password")) << r.err;
}

TEST_F(VxtoolPackage, WrongOrMissingPasswordWritesNothing) {
  struct {
    std::string file;
    std::vector<std::string> password;
    const char* message;
  } cases[] = {
      {SetupFile(), {"--password", "secret"}, "the password is wrong"},
      {SetupFile(), {}, "give it with --password"},
      {Extra(), {"--password", "secret"}, "cannot be read with this password"},
      {Extra(), {}, "or it needs a password"},
  };
  for (auto& c : cases) {
    std::vector<std::string> args = {"package", "extract", c.file, "--out", "new/out"};
    args.insert(args.end(), c.password.begin(), c.password.end());
    Outcome r = Vxtool(args);
    EXPECT_EQ(r.code, 1) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    EXPECT_TRUE(Contains(r.err, "nothing was extracted")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(W("new"))) << c.message;  // the folder made for it is gone again

    // An existing folder keeps exactly what it had.
    WriteNative(W("old/db.pdb"), "old");
    args[4] = "old";
    EXPECT_EQ(Vxtool(args).code, 1);
    EXPECT_EQ(FilesBelow(W("old")), std::set<std::string>{"db.pdb"});
    EXPECT_EQ(vxtest::ReadNative(W("old/db.pdb")), "old");
  }
}

TEST_F(VxtoolPackage, NothingIsWrittenOutsideTheOutputFolder) {
  fs::create_directories(W("outside"));
  fs::create_directories(W("out"));
  fs::create_symlink(W("outside"), W("out/link"));
  WriteNative(W("out/file"), "a file");
  struct {
    const char* entry;
    const char* message;
  } cases[] = {
      {"..\\escaped.txt", "unsafe entry name"},
      {"C:\\escaped.txt", "unsafe entry name"},
      {"a\\. .\\escaped.txt", "unsafe entry name"},
      {"link\\escaped.txt", "outside"},
      {"file\\escaped.txt", "in the way"},
  };
  for (auto& c : cases) {
    // The bad entry comes last: the good ones before it are taken back.
    std::string pkg = HandMade("evil.vxp", {{"ok.txt", "ok"}, {c.entry, "bad"}});
    Outcome r = Vxtool({"package", "extract", pkg, "--out", "out"});
    EXPECT_EQ(r.code, 1) << c.entry;
    EXPECT_TRUE(Contains(r.err, c.message)) << c.entry << ": " << r.err;
    EXPECT_EQ(FilesBelow(W("out")), (std::set<std::string>{"file", "link"})) << c.entry;
    EXPECT_TRUE(FilesBelow(W("outside")).empty()) << c.entry;
    EXPECT_FALSE(fs::exists(W("escaped.txt"))) << c.entry;
    EXPECT_FALSE(fs::exists("/escaped.txt")) << c.entry;
  }
}

TEST_F(VxtoolPackage, DbDecryptGivesTheXmlTheEngineLoads) {
  ASSERT_EQ(Vxtool({"package", "extract", SetupFile(), "--password", "Secret", "--out", "x"}).code, 0);
  Outcome r = Vxtool({"db", "decrypt", "x/main.pdb"});
  ASSERT_EQ(r.code, 0) << r.err;
  TXMLTag tag;
  ASSERT_NO_THROW(tag.Parse(r.out)) << r.out;
  TvxMainDatabase db;
  db.Assign(tag);
  EXPECT_EQ(GetVariable(&db, "AppID"), "Demo");
  EXPECT_EQ(GetVariable(&db, "PswCheckHash"), PasswordCheckHash("Secret"));

  // The general decryption with the database key text gives the same.
  std::string bytes = vxtest::ReadNative(W("x/main.pdb"));
  Outcome raw = Vxtool({"decrypt", "--key-text", DatabaseKeyText(bytes.size()), "x/main.pdb"});
  ASSERT_EQ(raw.code, 0) << raw.err;
  EXPECT_EQ(raw.out, r.out);

  r = Vxtool({"db", "decrypt", "x/splash.bmp"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "does not decrypt to XML")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Vxtool({"db", "decrypt", "x/none.pdb"}).code, 1);
}

TEST_F(VxtoolPackage, DecryptRestartsTheCipherPerUnit) {
  std::string plain = "Thirty bytes of plain text ok!";
  ASSERT_EQ(plain.size(), 30u);
  std::string enc = plain;
  Key256 key = HashText("unit key");
  CipherState state;
  ASSERT_TRUE(StartCipher(state, key.data(), 256));
  size_t at = 0;
  for (size_t unit : {5u, 8u, 17u}) {
    EncryptStream(state, enc.data() + at, enc.data() + at, unit);
    at += unit;
  }
  WriteNative(W("enc.bin"), enc);
  EXPECT_EQ(Vxtool({"decrypt", "--key-text", "unit key", "--units", "5,8,17", "enc.bin"}).out, plain);
  // The bytes after the last unit given are one more unit.
  EXPECT_EQ(Vxtool({"decrypt", "--key-text", "unit key", "--units", "5,8", "enc.bin"}).out, plain);
  Outcome whole = Vxtool({"decrypt", "--key-text", "unit key", "enc.bin"});
  EXPECT_EQ(whole.code, 0);
  EXPECT_EQ(whole.out.size(), 30u);
  EXPECT_NE(whole.out, plain);

  Outcome r = Vxtool({"decrypt", "--key-text", "unit key", "--units", "20,20", "enc.bin"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "the file has 30")) << r.err;
}

TEST_F(VxtoolPackage, HashesAgreeWithTheEngineAndBadUsageGivesTwo) {
  for (const char* text : {"", "abc", "Secret", "ünï cödé"}) {
    EXPECT_EQ(Vxtool({"hash", text}).out, HashHex(text) + "\n") << text;
    EXPECT_EQ(Vxtool({"password-hash", text}).out, PasswordCheckHash(text) + "\n") << text;
  }
  WriteNative(W("f"), "x");
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"hash"},
           {"package", "info"},
           {"package", "unpack", "f"},
           {"package", "list", "f", "--out", "d"},
           {"package", "extract", "f", "--password"},
           {"db", "decrypt"},
           {"decrypt", "f"},
           {"decrypt", "--key-text", "k", "--units", "0", "f"},
           {"decrypt", "--key-text", "k", "--units", "4,,4", "f"},
       }) {
    Outcome r = Vxtool(args);
    EXPECT_EQ(r.code, 2) << args[0] << " " << args.size();
    EXPECT_TRUE(Contains(r.err, "vxtool: ")) << r.err;
  }
}

// `machine diff` on two machine folders: a copy of a fresh machine is the
// same machine, a change is one line and exit code 1, a folder without a
// machine is an error that creates nothing.
TEST(VxtoolMachine, DiffComparesTwoMachineFolders) {
  vxtest::TempDir dir;
  auto vxtool = [&](const std::vector<std::string>& args) { return RunVxtool(dir.Path(), args); };
  ASSERT_EQ(vxtool({"machine", "init", "m1"}).code, 0);
  ASSERT_EQ(vxtool({"machine", "-m", "m1", "reg", "set", "HKCU\\Software\\T", "Path", "REG_EXPAND_SZ", "%TEMP%"}).code,
            0);
  WriteNative(dir.Path() + "/m1/drive_c/a.txt", "abcd");
  fs::copy(dir.Path() + "/m1", dir.Path() + "/m2", fs::copy_options::recursive);
  Outcome same = vxtool({"machine", "diff", "m1", "m2"});
  EXPECT_EQ(same.code, 0) << same.err;
  EXPECT_EQ(same.out + same.err, "");

  WriteNative(dir.Path() + "/m2/drive_c/a.txt", "abXd");
  ASSERT_EQ(vxtool({"machine", "-m", "m2", "reg", "set", "HKCU\\Software\\T", "Path", "REG_SZ", "%TEMP%"}).code, 0);
  Outcome changed = vxtool({"machine", "diff", "m1", "m2"});
  EXPECT_EQ(changed.code, 1) << changed.err;
  EXPECT_EQ(changed.out,
            "~ file C:\\a.txt: content 4 -> 4 bytes, first difference at byte 2\n"
            "~ value HKCU\\Software\\T\\'Path' REG_EXPAND_SZ \"%TEMP%\" -> REG_SZ \"%TEMP%\"\n");
  Outcome ignoring = vxtool({"machine", "diff", "m1", "--ignore", "c:\\A.TXT", "m2"});
  EXPECT_EQ(ignoring.code, 1);
  EXPECT_EQ(ignoring.out, changed.out.substr(changed.out.find('\n') + 1));

  fs::create_directory(dir.Path() + "/empty");
  for (const char* other : {"none", "empty"}) {
    Outcome r = vxtool({"machine", "diff", "m1", other});
    EXPECT_EQ(r.code, 2) << other;
    EXPECT_EQ(r.out, "") << other;
    EXPECT_TRUE(Contains(r.err, "vxtool: ") && Contains(r.err, other)) << r.err;
  }
  EXPECT_TRUE(fs::is_empty(dir.Path() + "/empty"));
  EXPECT_FALSE(fs::exists(dir.Path() + "/none"));
  EXPECT_EQ(vxtool({"machine", "diff", "m1"}).code, 2);
}

}  // namespace
