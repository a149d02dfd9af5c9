// Setup files as they travel: renamed by a browser, damaged on the way,
// signed after building. Each is built by vxbuild at test time and run
// through the engine's own run flow in this process on a fresh sandbox
// machine; a refused setup file must leave the machine as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/Main.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/PackageDamage.h"
#include "support/PeBuilder.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"

namespace {

namespace fs = std::filesystem;
using vxtest::ReadNative;

void WriteNative(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A stand-in for the native engine: an ELF header (x86-64) and padding.
std::string ElfStub() {
  std::string elf(4096, '\0');
  elf.replace(0, 4, "\x7F" "ELF");
  elf[4] = 2;
  elf[5] = 1;
  elf[18] = 62;
  return elf;
}

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SetupFile : public ::testing::Test {
 protected:
  std::string D(const std::string& rel = "") const { return dir.Path() + (rel.empty() ? "" : "/" + rel); }
  std::string Root() const { return machine.Scratch() + "root"; }

  // A project with one component in the setup file and one in "extra.vxp";
  // the data spans several cabinet blocks. Returns the output folder.
  std::string Build(const std::string& name, const std::string& password, const std::string& stub = "",
                    const std::string& extra = "") {
    std::string big;
    for (int i = 0; i < 30000; ++i) big += std::to_string(i * 7919 % 100003) + (i % 17 ? "," : "\n");
    WriteNative(D("src/bin/big.txt"), big);
    WriteNative(D("src/bin/small.txt"), "small file");
    WriteNative(D("src/extra/e.txt"), "extra file");
    WriteNative(D("stub.bin"), stub.empty() ? ElfStub() : stub);
    WriteNative(D("project.xml"), R"(<vx2project>
  <variables><var name="AppID" value="VXSetupFileTest"/><var name="InstallPath" value="%TestRoot%\Product"/></variables>
  <packages><package id="extra" filename="extra"/></packages>
  <components>
    <component id="core"><files>
      <file src="bin\big.txt" dst="%InstallPath%\big.txt"/><file src="bin\small.txt" dst="%InstallPath%\small.txt"/>
    </files></component>
    <component id="more" package="extra"><files><file src="extra\e.txt" dst="%InstallPath%\e.txt"/></files></component>
  </components>
  <build source="src" stub="stub.bin" name="setup.exe"/>
</vx2project>)");
    std::string out = D("out-" + name);
    std::string cmd = Quote(VX_VXBUILD) + " " + Quote(D("project.xml")) + " --out " + Quote(out) +
                      (password.empty() ? "" : " --password " + Quote(password)) + " " + extra + " > " +
                      Quote(D("build.log")) + " 2>&1";
    EXPECT_EQ(Shell(cmd), 0) << ReadNative(D("build.log"));
    return out;
  }

  // One silent run of `setup` (a native path).
  int Install(const std::string& setup, const std::string& password = "") {
    std::vector<std::string> params = {"/exename:" + vxtest::HostPath(setup), "/var:TestRoot=" + Root(),
                                       "/suppressmsgboxes", "/log:" + D("run.log")};
    if (!password.empty()) params.push_back("/password:" + password);
    vx::CommandLine commandLine(params);
    vx::UnattendedAnswers answers;
    std::string error;
    EXPECT_TRUE(vx::ConfigureUnattended(commandLine, answers, error)) << error;
    int code = vx::RunEngine(commandLine, answers, [](vx::RunInstaller&) {});
    vx::CloseRunLog();
    runLog = ReadNative(D("run.log"));
    return code;
  }

  vxtest::MachineSnapshot Snapshot() {
    vxtest::SnapshotOptions o;
    o.ignore.push_back(vxtest::TempFolderPrefix(machine.Host()));
    return vxtest::MachineSnapshot::Take(vx::CurrentHost(), o);
  }

  std::string Installed(const std::string& name) {
    std::string s;
    vx::ReadWholeFile(Root() + "\\Product\\" + name, s);
    return s;
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string runLog;
};

TEST_F(SetupFile, ARenamedSetupFileStillFindsItsOwnPackage) {
  std::string out = Build("plain", "");
  fs::copy_file(out + "/setup.exe", out + "/Setup (1).exe");
  fs::remove(out + "/setup.exe");
  ASSERT_EQ(Install(out + "/Setup (1).exe"), 0) << runLog;
  EXPECT_EQ(Installed("small.txt"), "small file");
  EXPECT_EQ(Installed("big.txt"), ReadNative(D("src/bin/big.txt")));
  EXPECT_EQ(Installed("e.txt"), "extra file");
}

// Four inverted bytes anywhere that matters, in the setup file and in the
// further package, with and without a password: the run fails, and not a
// byte of it stays on the machine.
TEST_F(SetupFile, DamageAnywhereIsRefusedAndNothingIsInstalled) {
  for (const std::string password : {"", "Secret"}) {
    std::string out = Build(password.empty() ? "plain" : "locked", password);
    for (const char* file : {"setup.exe", "extra.vxp"}) {
      std::string path = out + "/" + file;
      const std::string good = ReadNative(path);
      for (const auto& [part, at] : vxtest::DamagePoints(good)) {
        std::string what = std::string(file) + " " + part + (password.empty() ? "" : " (password)");
        WriteNative(path, vxtest::Flipped(good, at));
        vxtest::MachineSnapshot before = Snapshot();
        EXPECT_EQ(Install(out + "/setup.exe", password), -1) << what << "\n" << runLog;
        EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << what << "\n" << runLog;
      }
      WriteNative(path, good);
    }
    // The undamaged files install, and a damaged file is named as such.
    ASSERT_EQ(Install(out + "/setup.exe", password), 0) << runLog;
    EXPECT_EQ(Installed("big.txt"), ReadNative(D("src/bin/big.txt")));
  }
}

// Damage that the cabinet cannot see (an encrypted block carries no
// checksum) is caught by the file's recorded digest and named.
TEST_F(SetupFile, AFileThatDecompressesToOtherBytesIsNamedAsDamaged) {
  std::string out = Build("locked", "Secret");
  std::string path = out + "/setup.exe";
  const std::string good = ReadNative(path);
  int named = 0;
  for (const auto& [part, at] : vxtest::DamagePoints(good)) {
    if (part.find("data") != 0 && part.find("record") != 0) continue;
    WriteNative(path, vxtest::Flipped(good, at));
    EXPECT_EQ(Install(path, "Secret"), -1) << part;
    if (runLog.find("is damaged") != std::string::npos) ++named;
  }
  EXPECT_GT(named, 0) << runLog;
}

TEST_F(SetupFile, ASignedSetupFileStillInstalls) {
  if (Shell("command -v osslsigncode > /dev/null && command -v openssl > /dev/null") != 0)
    GTEST_SKIP() << "osslsigncode or openssl is missing (scripts/install-deps.sh installs them)";
  ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=VXTest -days 2 -keyout " + Quote(D("key.pem")) +
                  " -out " + Quote(D("cert.pem")) + " > /dev/null 2>&1"),
            0);
  vxtest::PeShape exe;
  exe.characteristics = 0x0102;  // an executable, not a DLL
  std::string out = Build("signed", "", vxtest::MakePe(1, 0, exe),
                          "--sign-cert " + Quote(D("cert.pem")) + " --sign-key " + Quote(D("key.pem")));
  std::string setup = ReadNative(out + "/setup.exe");
  ASSERT_GT(setup.size(), 0u);
  // The certificate table follows the trailer.
  EXPECT_LT(setup.rfind("VXPEND") + 6, setup.size() - 512);
  ASSERT_EQ(Install(out + "/setup.exe"), 0) << runLog;
  EXPECT_EQ(Installed("small.txt"), "small file");
}

}  // namespace
