// The terminal wizard end to end: a setup file built by vxbuild with the
// wizard packed in, started as its own process on a fresh sandbox machine
// and driven through an answers file (and, where tmux is installed, through
// a real terminal).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"

namespace {

namespace fs = std::filesystem;
using vxtest::ReadNative;

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  if (!WIFEXITED(status)) return -1000;
  int code = WEXITSTATUS(status);
  return code > 127 ? code - 256 : code;
}

class TerminalWizard : public ::testing::Test {
 protected:
  std::string D(const std::string& rel) const { return dir.Path() + "/" + rel; }
  std::string Machine() const { return D("machine"); }
  std::string Installed(const std::string& rel) const { return Machine() + "/drive_c/Quill/" + rel; }
  // This tree's engine started for the setup file (drive Z: is the Linux
  // root), so that the run has this tree's plug-in services.
  std::string Engine() const {
    std::string setup = "Z:" + D("out/setup.exe");
    for (char& c : setup)
      if (c == '/') c = '\\';
    return Quote(VX_ENGINE) + " " + Quote("/exename:" + setup);
  }

  void SetUp() override {
    std::string big;
    for (int i = 0; i < 200000; ++i) big += std::to_string(i * 7919 % 100003) + (i % 13 ? "," : "\n");
    Write(D("src/bin/big.txt"), big);
    Write(D("src/bin/app.txt"), "the application");
    Write(D("src/bin/conflict.txt"), "packed version");
    Write(D("src/docs/manual.txt"), "the manual");
    Write(D("src/extra/e.txt"), "extra file");
    Write(D("src/wizard/license.txt"), "You may use Quill.\nNo warranty.\n");
    Write(D("src/wizard/wizard.ini"), "[Wizard]\r\nLicenseFile=license.txt\r\nRequiredSpaceKB=100\r\n"
                                      "[FeatureSizes]\r\ndocs=2048\r\n");
    fs::copy_file(VX_TERMINAL_WIZARD, D("src/wizard/wizard.dll"));
    Write(D("project.xml"), R"(<vx2project>
  <variables><var name="AppID" value="VXWizardTest"/><var name="AppName" value="Quill"/>
    <var name="InstallPath" value="C:\Quill"/></variables>
  <packages>
    <package id="setup" main="1">
      <plugins><plugin id="VX.TerminalWizard" srcfolder="wizard" configfile="wizard.ini"/></plugins>
    </package>
    <package id="extra" filename="extra"/>
  </packages>
  <components>
    <component id="core"><files>
      <file src="bin\big.txt" dst="%InstallPath%\big.txt"/><file src="bin\app.txt" dst="%InstallPath%\app.txt"/>
      <file src="bin\conflict.txt" dst="%InstallPath%\conflict.txt"/>
    </files></component>
    <component id="docs"><files><file src="docs\manual.txt" dst="%InstallPath%\manual.txt"/></files></component>
    <component id="more" package="extra"><files><file src="extra\e.txt" dst="%InstallPath%\e.txt"/></files></component>
  </components>
  <features>
    <feature id="core" name="Program" description="The program itself" required="1">
      <components><component id="core"/></components>
    </feature>
    <feature id="docs" name="Documents" description="The manual">
      <components><component id="docs"/></components>
      <features><feature id="more" name="More" description="One more file">
        <components><component id="more"/></components></feature></features>
    </feature>
  </features>
  <build source="src" stub="stub" name="setup.exe"/>
</vx2project>)");
    fs::copy_file(VX_STUB, D("stub"));
    std::string cmd = Quote(VX_VXBUILD) + " " + Quote(D("project.xml")) + " --out " + Quote(D("out")) +
                      " --password pw --uninstaller " + Quote(VX_UNINSTALLER) + " > " + Quote(D("build.log")) +
                      " 2>&1";
    ASSERT_EQ(Shell(cmd), 0) << ReadNative(D("build.log"));
    ASSERT_EQ(Shell(Quote(VX_VXTOOL) + " machine init " + Quote(Machine()) + " > /dev/null 2>&1"), 0);
  }

  // One run of the setup file with `answers` (no answers file when
  // `useAnswers` is false) and stdin from /dev/null. Returns the exit code;
  // `output` gets what the run printed.
  int Run(const std::vector<std::string>& answers, bool useAnswers = true, const std::string& params = "") {
    std::string text;
    for (const auto& a : answers) text += a + "\n";
    Write(D("answers.txt"), text);
    std::string cmd = "cd " + Quote(D("out")) + " && VX_MACHINE=" + Quote(Machine()) +
                      (useAnswers ? " VX_WIZARD_ANSWERS=" + Quote(D("answers.txt")) : " VX_WIZARD_ANSWERS=") +
                      " timeout 120 " + Engine() + " /suppressmsgboxes " + Quote("/log:" + D("run.log")) + " " + params + " < /dev/null > " + Quote(D("output")) +
                      " 2>&1";
    int code = Shell(cmd);
    output = ReadNative(D("output"));
    runLog = ReadNative(D("run.log"));
    return code;
  }

  vxtest::MachineSnapshot Snapshot() {
    vxtest::SnapshotOptions o;
    o.ignore.push_back("C:\\Documents and Settings\\User\\Local Settings\\Temp\\");
    vxtest::MachineSnapshot s;
    std::string error;
    EXPECT_TRUE(vxtest::MachineSnapshot::TakeMachineFolder(Machine(), o, s, error)) << error;
    return s;
  }

  vxtest::TempDir dir;
  std::string output, runLog;
};

TEST_F(TerminalWizard, WalksThePagesInstallsAndAnswersAConflict) {
  // A newer file already at the destination asks the conflict question.
  Write(Installed("conflict.txt"), "newer local version");
  fs::last_write_time(Installed("conflict.txt"), fs::file_time_type::clock::now() + std::chrono::hours(48));
  int code = Run({"",            // welcome
                  "n", "y",      // licence refused, then accepted
                  "C:\\", "Q:\\Quill", "C:\\Quill",  // root and missing drive refused
                  "?2", "2", "3", "2", "",  // about "Documents"; off; "More" on takes it along; off
                  "wrong", "pw",  // password
                  "",            // ready
                  "1"});         // keep the newer file
  ASSERT_EQ(code, 0) << output << runLog;
  EXPECT_NE(output.find("You may use Quill."), std::string::npos) << output;
  EXPECT_NE(output.find("You must accept the licence agreement to install Quill."), std::string::npos);
  EXPECT_NE(output.find("Please choose a folder, not the root of drive C:."), std::string::npos);
  EXPECT_NE(output.find("Drive Q: does not exist."), std::string::npos);
  EXPECT_NE(output.find("Documents: The manual"), std::string::npos);
  EXPECT_NE(output.find("Size: 2.0 KB"), std::string::npos);
  EXPECT_NE(output.find("  2 [ ] Documents\n  3   [ ] More"), std::string::npos) << output;
  EXPECT_NE(output.find("  2 [x] Documents\n  3   [x] More"), std::string::npos) << output;
  EXPECT_NE(output.find("The password is not correct."), std::string::npos);
  EXPECT_NE(output.find("100%"), std::string::npos);
  EXPECT_NE(output.find("Quill has been installed."), std::string::npos);
  EXPECT_EQ(ReadNative(Installed("app.txt")), "the application");
  EXPECT_EQ(ReadNative(Installed("conflict.txt")), "newer local version");
  EXPECT_FALSE(fs::exists(Installed("manual.txt")));
  EXPECT_FALSE(fs::exists(Installed("e.txt")));
}

TEST_F(TerminalWizard, CancelAndEndOfInputLeaveTheMachineAsItWas) {
  vxtest::MachineSnapshot before = Snapshot();
  // Cancelled half way through the copy: rolled back.
  std::vector<std::string> walk = {"", "y", "", "", "pw", ""};
  std::vector<std::string> cancel = walk;
  cancel.insert(cancel.end(), {"cancel-at 40", "y"});
  EXPECT_EQ(Run(cancel), -1) << output;
  EXPECT_NE(output.find("Do you want to cancel the installation?"), std::string::npos) << output;
  EXPECT_NE(output.find("The installation was cancelled."), std::string::npos) << output;
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << output;

  // The input ending on any page (a closed terminal): cancelled, nothing
  // installed, no hang.
  for (size_t n = 0; n < walk.size(); ++n) {
    std::vector<std::string> partial(walk.begin(), walk.begin() + long(n));
    EXPECT_EQ(Run(partial), -1) << n << "\n" << output;
    EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << n << "\n" << output;
  }
  // "!" on a page asks, and "y" quits.
  EXPECT_EQ(Run({"", "!", "y"}), -1) << output;
  EXPECT_NE(output.find("Do you want to quit setup?"), std::string::npos);

  // No terminal and no answers: a clear refusal instead of a prompt.
  EXPECT_EQ(Run({}, false), -1);
  EXPECT_NE(output.find("The setup wizard needs a terminal"), std::string::npos) << output;
  EXPECT_EQ(output.find("=="), std::string::npos) << output;
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << output;

  // Silent: no page, no question, installed (the password from the switch);
  // the wizard does not even stay loaded.
  EXPECT_EQ(Run({}, false, "/s /password:pw"), 0) << output;
  EXPECT_NE(runLog.find("\"VX.TerminalWizard\" declined to load"), std::string::npos) << runLog;
  EXPECT_EQ(output.find("=="), std::string::npos) << output;
  EXPECT_EQ(ReadNative(Installed("app.txt")), "the application");
}

// A project without a user-interface plug-in of its own gets the wizard
// that vxbuild is given; a native setup gets none unless asked.
TEST_F(TerminalWizard, TheBuildToolAddsTheWizardToAProjectWithoutOne) {
  std::string project = ReadNative(D("project.xml"));
  size_t from = project.find("<plugins>"), to = project.find("</plugins>");
  ASSERT_NE(to, std::string::npos);
  Write(D("bare.xml"), project.substr(0, from) + project.substr(to + 10));
  auto build = [&](const std::string& xml, const std::string& options) {
    fs::remove_all(D("out"));
    std::string cmd = Quote(VX_VXBUILD) + " " + Quote(D(xml)) + " --out " + Quote(D("out")) + " " + options +
                      " > " + Quote(D("build.log")) + " 2>&1";
    return Shell(cmd);
  };

  ASSERT_EQ(build("bare.xml", "--wizard " + Quote(VX_TERMINAL_WIZARD)), 0) << ReadNative(D("build.log"));
  EXPECT_EQ(Run({}, false, "/password:pw"), -1);
  EXPECT_NE(output.find("The setup wizard needs a terminal"), std::string::npos) << output << runLog;
  // Its built-in texts and pages, driven like any other.
  EXPECT_EQ(Run({"", "", "", "pw", ""}), 0) << output << runLog;
  EXPECT_EQ(ReadNative(Installed("app.txt")), "the application");

  // Without --wizard: no pages at all, the run goes straight through.
  ASSERT_EQ(build("bare.xml", ""), 0) << ReadNative(D("build.log"));
  fs::remove_all(Machine());
  ASSERT_EQ(Shell(Quote(VX_VXTOOL) + " machine init " + Quote(Machine()) + " > /dev/null 2>&1"), 0);
  EXPECT_EQ(Run({}, false, "/password:pw"), 0) << output << runLog;
  EXPECT_EQ(output.find("=="), std::string::npos) << output;
  EXPECT_EQ(ReadNative(Installed("app.txt")), "the application");

  // A project with its own plug-in keeps it; the option is named as unused.
  ASSERT_EQ(build("project.xml", "--wizard " + Quote(VX_TERMINAL_WIZARD)), 0);
  EXPECT_NE(ReadNative(D("build.log")).find("--wizard is not used"), std::string::npos) << ReadNative(D("build.log"));
  // A wizard of the other kind is refused before anything is written.
  Write(D("other.dll"), "MZ not a native library");
  EXPECT_EQ(build("bare.xml", "--wizard " + Quote(D("other.dll"))), 1);
  EXPECT_NE(ReadNative(D("build.log")).find("is not a program of the stub's kind"), std::string::npos)
      << ReadNative(D("build.log"));
  EXPECT_FALSE(fs::exists(D("out/setup.exe")));
}

TEST_F(TerminalWizard, AsksForAMissingPackageFolder) {
  fs::create_directories(D("disk2"));
  fs::rename(D("out/extra.vxp"), D("disk2/extra.vxp"));
  vxtest::MachineSnapshot before = Snapshot();
  std::vector<std::string> walk = {"", "y", "", "", "pw", ""};
  // Giving up: the installation is aborted and rolled back.
  std::vector<std::string> giveUp = walk;
  giveUp.push_back("");
  EXPECT_EQ(Run(giveUp), -1) << output;
  EXPECT_NE(output.find("Setup needs the file extra.vxp"), std::string::npos) << output;
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << output;
  // A folder too long for the engine is refused; the right one (drive Z:
  // is the Linux root) finds it.
  std::string z = "Z:" + D("disk2");
  for (char& c : z)
    if (c == '/') c = '\\';
  std::vector<std::string> found = walk;
  found.insert(found.end(), {std::string(300, 'x'), z});
  ASSERT_EQ(Run(found), 0) << output;
  EXPECT_NE(output.find("The folder name is too long."), std::string::npos);
  EXPECT_EQ(ReadNative(Installed("e.txt")), "extra file");
}

// A person at a terminal: tmux plays the terminal, send-keys the person.
TEST_F(TerminalWizard, RunsInARealTerminal) {
  if (Shell("command -v tmux > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  std::string session = "vxwiz" + std::to_string(::getpid());
  std::string cmd = "cd " + Quote(D("out")) + " && VX_MACHINE=" + Quote(Machine()) +
                    " VX_WIZARD_ANSWERS= " + Engine() + " /suppressmsgboxes; echo EXIT=$? > " + Quote(D("exit"));
  // The pane stays open after the run, so its last screen can be read.
  Write(D("run.sh"), cmd + "; sleep 60\n");
  ASSERT_EQ(Shell("tmux new-session -d -s " + session + " -x 120 -y 50 " + Quote("sh " + D("run.sh"))), 0);
  auto screen = [&] {
    Shell("tmux capture-pane -p -t " + session + " > " + Quote(D("screen")) + " 2>/dev/null");
    return ReadNative(D("screen"));
  };
  auto waitFor = [&](const std::string& text) {
    for (int i = 0; i < 300; ++i) {
      if (screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  auto type = [&](const std::string& keys) {
    Shell("tmux send-keys -t " + session + " -l " + Quote(keys));
    Shell("tmux send-keys -t " + session + " Enter");
  };
  bool ok = waitFor("(1/");
  EXPECT_TRUE(ok) << screen();
  if (ok) {
    type("");
    EXPECT_TRUE(waitFor("I accept")) << screen();
    type("y");
    EXPECT_TRUE(waitFor("[C:\\Quill]")) << screen();
    type("");
    EXPECT_TRUE(waitFor("about it")) << screen();
    type("");
    EXPECT_TRUE(waitFor("protected by a password")) << screen();
    type("wrong");
    EXPECT_TRUE(waitFor("The password is not correct.")) << screen();
    EXPECT_EQ(screen().find("wrong"), std::string::npos) << "the password was echoed";
    type("pw");
    EXPECT_TRUE(waitFor("Install: Enter")) << screen();
    type("");
    EXPECT_TRUE(waitFor("has been installed")) << screen();
  }
  for (int i = 0; i < 100 && !fs::exists(D("exit")); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Shell("tmux kill-session -t " + session + " > /dev/null 2>&1");
  EXPECT_EQ(ReadNative(D("exit")), "EXIT=0\n") << screen();
  EXPECT_EQ(ReadNative(Installed("app.txt")), "the application");
}

}  // namespace
