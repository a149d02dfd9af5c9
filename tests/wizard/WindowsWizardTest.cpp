// The Windows wizard DLL in real windows: a setup file built by vxbuild with
// the wizard packed in is run by the engine on this process's main thread
// (not silently), while a driver thread plays the user through window
// messages -- it finds each page by its control IDs, types into edit boxes,
// presses buttons and answers the question windows. Every page is saved
// as a picture (VX_TEST_SCREENS) for a person to look at.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "WizardIds.h"
#include "engine/Main.h"
#include "support/InstallFakes.h"
#include "support/MachineSnapshot.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"

namespace {

using namespace vxwizwin;
using vxtest::HostPath;

std::string ReadHostFile(const std::string& path) {
  std::string s;
  vx::ReadWholeFile(path, s);
  return s;
}

// The user: finds the wizard's windows on the engine's thread and works
// them. Every wait gives up when the run has ended or after a while, so a
// wizard that does not react fails the test instead of hanging it.
class User {
 public:
  User(DWORD engineThread, const std::atomic<bool>& ended) : thread_(engineThread), ended_(ended) {}

  struct Search {
    const char* cls;
    HWND found;
  };
  static BOOL CALLBACK FindProc(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    char name[64] = {0};
    GetClassNameA(w, name, sizeof name);
    if (IsWindowVisible(w) && lstrcmpiA(name, s->cls) == 0) {
      s->found = w;
      return FALSE;
    }
    return TRUE;
  }
  HWND Find(const char* cls) {
    Search s = {cls, nullptr};
    EnumThreadWindows(thread_, FindProc, LPARAM(&s));
    return s.found;
  }
  HWND Wizard() { return Find(kWizardClass); }
  HWND Question() { return Find(kQuestionClass); }

  bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      if (done()) return true;
      if (ended_) return done();
      Sleep(20);
    }
    return false;
  }

  static std::string Text(HWND parent, int id) {
    HWND c = parent ? GetDlgItem(parent, id) : nullptr;
    if (!c) return "(no control)";
    char buffer[4096] = {0};
    SendMessageTimeoutA(c, WM_GETTEXT, sizeof buffer, LPARAM(buffer), SMTO_ABORTIFHUNG, 5000, nullptr);
    return buffer;
  }
  std::string Page() { return Text(Wizard(), kIdPageName); }

  bool WaitPage(const std::string& name) {
    bool ok = WaitFor([&] { return Page() == name && !Question(); });
    if (ok) Screenshot(name);
    return ok;
  }
  HWND WaitQuestion() {
    HWND q = nullptr;
    WaitFor([&] { return (q = Question()) != nullptr; });
    if (q) Screenshot("Question");
    return q;
  }
  // The page's refusal (or any text of `id`) containing `part`.
  bool WaitText(int id, const std::string& part) {
    return WaitFor([&] { return Text(Wizard(), id).find(part) != std::string::npos; }, 20);
  }

  // A button press as the button itself reports it. Posted: the press may
  // open a question that waits for this very thread.
  static void Press(HWND parent, int id) {
    PostMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(parent, id)));
  }
  void Next() { Press(Wizard(), kIdNext); }
  void Back() { Press(Wizard(), kIdBack); }
  void Cancel() { Press(Wizard(), kIdCancel); }
  static void SetText(HWND parent, int id, const std::string& text) {
    SendMessageA(GetDlgItem(parent, id), WM_SETTEXT, 0, LPARAM(text.c_str()));
  }
  // Answers the open question with its answer `index`.
  bool Answer(int index) {
    HWND q = WaitQuestion();
    if (!q) return false;
    Press(q, kIdAnswer + index);
    return WaitFor([&] { return !IsWindow(q); }, 20);
  }

  // The window as it is on screen, as a .bmp file.
  void Screenshot(const std::string& name) {
    HWND w = Question() ? Question() : Wizard();
    RECT r;
    if (!w || !GetWindowRect(w, &r)) return;
    Sleep(100);  // let it paint
    int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(dc, bmp);
    BitBlt(dc, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(dc, old);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    std::vector<char> pixels(size_t((width * 3 + 3) & ~3) * size_t(height));
    GetDIBits(dc, bmp, 0, UINT(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    CreateDirectoryA(HostPath(VX_TEST_SCREENS).c_str(), nullptr);
    char file[64];
    std::snprintf(file, sizeof file, "%02d-", ++shots_);
    std::string path = HostPath(VX_TEST_SCREENS) + "\\" + prefix + file + name + ".bmp";
    BITMAPFILEHEADER head = {0x4D42, DWORD(sizeof head + sizeof info + pixels.size()), 0, 0,
                             DWORD(sizeof head + sizeof info)};
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(&head, sizeof head, 1, f);
      std::fwrite(&info, sizeof info, 1, f);
      std::fwrite(pixels.data(), 1, pixels.size(), f);
      std::fclose(f);
    }
  }

  // After a failed step: cancel whatever is open until the run ends.
  void Rescue() {
    for (int i = 0; i < 200 && !ended_; ++i) {
      if (HWND q = Question()) Press(q, kIdAnswer);
      else if (HWND w = Wizard()) PostMessageA(w, WM_CLOSE, 0, 0);
      Sleep(100);
    }
  }

  std::string prefix;

 private:
  DWORD thread_;
  const std::atomic<bool>& ended_;
  int shots_ = 0;
};

class WindowsWizard : public ::testing::Test {
 protected:
  void SetUp() override {
    root = machine.Scratch() + "root";
    ASSERT_TRUE(vx::ForceFolders(root));
  }
  std::string Product() const { return root + "\\Quill\\"; }

  // One run of `setup` (not silent unless `extra` says so) while `play`
  // works the wizard on a thread of its own. Returns the exit code.
  // `setup` is a path of the host ("" for the main test setup).
  int Run(const std::function<void(User&)>& play, const std::string& setup = "",
          std::vector<std::string> extra = {}) {
    std::vector<std::string> params = {"/exename:" + (setup.empty() ? HostPath(VX_TEST_SETUP) : setup), "/var:TestRoot=" + root, "/suppressmsgboxes",
                                       "/log:" + dir.Path() + "/run.log"};
    params.insert(params.end(), extra.begin(), extra.end());
    vx::CommandLine commandLine(params);
    vx::UnattendedAnswers answers;
    std::string error;
    EXPECT_TRUE(vx::ConfigureUnattended(commandLine, answers, error)) << error;
    std::atomic<bool> ended(false);
    User user(GetCurrentThreadId(), ended);
    user.prefix = ::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string("-") +
                  std::to_string(++runs) + "-";
    std::thread driver([&] {
      play(user);
      if (::testing::Test::HasFailure()) user.Rescue();
    });
    int code = vx::RunEngine(commandLine, answers);
    ended = true;
    driver.join();
    vx::CloseRunLog();
    runLog = vxtest::ReadNative(dir.Path() + "/run.log");
    return code;
  }

  vxtest::MachineSnapshot Snapshot() {
    vxtest::SnapshotOptions o = vxtest::SnapshotOptions::TestRoots(machine.Scratch(), "VXWizardWinTest");
    o.ignore.push_back(vxtest::TempFolderPrefix(machine.Host()));
    return vxtest::MachineSnapshot::Take(vx::CurrentHost(), o);
  }

  // The custom install type (every feature, and the features page).
  static void ChooseCustom(User& u) {
    HWND list = GetDlgItem(u.Wizard(), kIdTypeList);
    SendMessageA(list, LB_SETCURSEL, 1, 0);
    SendMessageA(u.Wizard(), WM_COMMAND, MAKEWPARAM(kIdTypeList, LBN_SELCHANGE), LPARAM(list));
  }

  // Welcome to Ready with the answers that pass, leaving the user on
  // `stop` (a page name) or pressing Install after Ready.
  static bool Walk(User& u, const std::string& stop = "") {
    const char* pages[] = {"Welcome", "License", "Destination", "InstallType", "Features", "Password", "Ready"};
    for (const char* page : pages) {
      if (!u.WaitPage(page)) {
        ADD_FAILURE() << "page " << page << " did not come; showing " << u.Page();
        return false;
      }
      if (stop == page) return true;
      HWND w = u.Wizard();
      if (std::string(page) == "License") SendMessageA(GetDlgItem(w, kIdAccept), BM_SETCHECK, BST_CHECKED, 0);
      if (std::string(page) == "Password") User::SetText(w, kIdPassword, "pw");
      if (std::string(page) == "InstallType") ChooseCustom(u);
      u.Next();
    }
    return true;
  }

  vxtest::TestMachine machine;
  vxtest::TempDir dir;
  std::string root, runLog;
  int runs = 0;
};

TEST_F(WindowsWizard, WalksEveryPageInstallsAndAnswersAConflict) {
  // A newer file at the destination asks the conflict question.
  ASSERT_TRUE(vx::ForceFolders(Product()));
  {
    FILE* f = std::fopen((Product() + "conflict.txt").c_str(), "wb");
    std::fputs("newer local version", f);
    std::fclose(f);
    HANDLE h = CreateFileA((Product() + "conflict.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t = {{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart += 48ULL * 3600 * 10000000;
    FILETIME later = {t.LowPart, t.HighPart};
    SetFileTime(h, nullptr, nullptr, &later);
    CloseHandle(h);
  }
  {
    FILE* f = std::fopen((root + "\\blocker").c_str(), "wb");
    std::fclose(f);
  }
  std::string launchBox;
  int code = Run([&](User& u) {
    ASSERT_TRUE(u.WaitPage("Welcome"));
    HWND w = u.Wizard();
    char title[256] = {0};
    GetWindowTextA(w, title, sizeof title);
    EXPECT_STREQ(title, "Quill Setup");
    EXPECT_EQ(User::Text(w, kIdHeading), "Welcome to the setup of Quill. It installs Quill on this computer.");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, kIdBack)));
    EXPECT_EQ(User::Text(w, kIdNext), "&Next");
    EXPECT_EQ(User::Text(w, kIdCancel), "Cancel");
    // Enter presses Next wherever the focus is.
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &gui));
    PostMessageA(gui.hwndFocus ? gui.hwndFocus : w, WM_KEYDOWN, VK_RETURN, 0);

    // Licence: refused until accepted; Back and Next again keep the page.
    ASSERT_TRUE(u.WaitPage("License"));
    w = u.Wizard();
    EXPECT_EQ(User::Text(w, kIdLicense), "You may use Quill.\r\nNo warranty.\r\n");
    EXPECT_EQ(User::Text(w, kIdAccept), "&I accept the licence agreement");
    // Tab order: the licence, "I accept", then Back, Next, Cancel.
    EXPECT_EQ(GetNextDlgTabItem(w, GetDlgItem(w, kIdLicense), FALSE), GetDlgItem(w, kIdAccept));
    EXPECT_EQ(GetNextDlgTabItem(w, GetDlgItem(w, kIdAccept), FALSE), GetDlgItem(w, kIdBack));
    EXPECT_EQ(GetNextDlgTabItem(w, GetDlgItem(w, kIdBack), FALSE), GetDlgItem(w, kIdNext));
    // Esc asks to quit; "No" stays.
    PostMessageA(GetDlgItem(w, kIdAccept), WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(u.Answer(1));
    EXPECT_EQ(u.Page(), "License");
    u.Next();
    EXPECT_TRUE(u.WaitText(kIdMessage, "You must accept the licence agreement to install Quill."));
    u.Back();
    ASSERT_TRUE(u.WaitPage("Welcome"));
    u.Next();
    ASSERT_TRUE(u.WaitPage("License"));
    SendMessageA(GetDlgItem(u.Wizard(), kIdAccept), BM_SETCHECK, BST_CHECKED, 0);
    u.Next();

    // Destination: the core's refusals on the page, then the right folder.
    ASSERT_TRUE(u.WaitPage("Destination"));
    w = u.Wizard();
    EXPECT_EQ(User::Text(w, kIdDestEdit), root + "\\Quill");
    EXPECT_NE(User::Text(w, kIdSpace).find("Space needed: 100.0 KB. Free space: "), std::string::npos)
        << User::Text(w, kIdSpace);
    EXPECT_EQ(User::Text(w, kIdBrowse), "&Browse...");
    struct Bad {
      std::string folder, message;
    } bad[] = {{"C:\\", "Please choose a folder, not the root of drive C:."},
               {"Q:\\Quill", "Drive Q: does not exist."},
               {"C:\\" + std::string(300, 'x'), "The folder name is too long: at most 200 characters."},
               {"relative\\path", "Please enter a full path that starts with a drive letter"},
               {"C:\\a|b", "The folder name contains a character that is not allowed: |"},
               {root + "\\blocker", "cannot be created: a file of that name is in the way."}};
    for (const Bad& b : bad) {
      User::SetText(w, kIdMessage, "");
      User::SetText(w, kIdDestEdit, b.folder);
      u.Next();
      EXPECT_TRUE(u.WaitText(kIdMessage, b.message)) << b.folder << ": " << User::Text(w, kIdMessage);
      EXPECT_EQ(u.Page(), "Destination");
    }
    User::SetText(w, kIdDestEdit, root + "\\Quill");
    u.Next();

    // Install type: the custom one shows the features.
    ASSERT_TRUE(u.WaitPage("InstallType"));
    w = u.Wizard();
    HWND list = GetDlgItem(w, kIdTypeList);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 2);
    SendMessageA(list, LB_SETCURSEL, 1, 0);
    SendMessageA(w, WM_COMMAND, MAKEWPARAM(kIdTypeList, LBN_SELCHANGE), LPARAM(list));
    u.Next();

    // Features: three check boxes following the engine's selection.
    ASSERT_TRUE(u.WaitPage("Features"));
    w = u.Wizard();
    HWND tree = GetDlgItem(w, kIdFeatureTree);
    EXPECT_EQ(SendMessageA(tree, TVM_GETCOUNT, 0, 0), 3);
    auto states = [&] {
      std::string s;
      HTREEITEM item = TreeView_GetRoot(tree);
      while (item) {
        UINT st = UINT(SendMessageA(tree, TVM_GETITEMSTATE, WPARAM(item), TVIS_STATEIMAGEMASK)) >> 12;
        s += st == 2 ? 'x' : st == 3 ? '~' : st == 1 ? ' ' : '?';
        HTREEITEM next = TreeView_GetChild(tree, item);
        while (!next && item) {
          next = TreeView_GetNextSibling(tree, item);
          if (!next) item = TreeView_GetParent(tree, item);
        }
        item = next;
      }
      return s;
    };
    auto item = [&](int n) {
      HTREEITEM i = TreeView_GetRoot(tree);
      for (int k = 0; k < n && i; ++k) i = TreeView_GetNextVisible(tree, i);
      return i;
    };
    auto toggle = [&](int n) {
      SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(item(n)));
      std::string was = states();
      PostMessageA(tree, WM_KEYDOWN, VK_SPACE, 0);
      u.WaitFor([&] { return states() != was || !User::Text(w, kIdMessage).empty(); }, 10);
    };
    EXPECT_EQ(states(), "xxx");
    SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(item(1)));
    EXPECT_EQ(User::Text(w, kIdFeatureDescription), "The manual");
    EXPECT_EQ(User::Text(w, kIdFeatureSize), "Size: 2.0 KB");
    toggle(1);
    EXPECT_EQ(states(), "x  ");
    toggle(2);  // a child switched on takes its parent along
    EXPECT_EQ(states(), "xxx");
    toggle(2);  // and off again: nothing of "Documents" is left on
    EXPECT_EQ(states(), "x  ");
    toggle(0);  // required
    EXPECT_TRUE(u.WaitText(kIdMessage, "The feature \"Program\" is required and cannot be left out."));
    EXPECT_EQ(states(), "x  ");
    u.Screenshot("Features-changed");
    u.Next();

    // Password: a wrong one is refused on the page.
    ASSERT_TRUE(u.WaitPage("Password"));
    w = u.Wizard();
    User::SetText(w, kIdPassword, "wrong");
    u.Next();
    EXPECT_TRUE(u.WaitText(kIdMessage, "The password is not correct."));
    EXPECT_EQ(User::Text(w, kIdPassword), "");
    User::SetText(w, kIdPassword, "pw");
    u.Next();

    // Ready, back to the features and forward again.
    ASSERT_TRUE(u.WaitPage("Ready"));
    w = u.Wizard();
    std::string summary = User::Text(w, kIdSummary);
    EXPECT_NE(summary.find("Destination folder: " + root + "\\Quill"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Type of installation: Custom"), std::string::npos) << summary;
    EXPECT_EQ(User::Text(w, kIdNext), "&Install");
    u.Back();
    ASSERT_TRUE(u.WaitPage("Password"));
    u.Back();
    ASSERT_TRUE(u.WaitPage("Features"));
    u.Next();
    ASSERT_TRUE(u.WaitPage("Password"));
    User::SetText(u.Wizard(), kIdPassword, "pw");
    u.Next();
    ASSERT_TRUE(u.WaitPage("Ready"));
    u.Next();

    // The copy, and the question about the newer file.
    EXPECT_TRUE(u.WaitFor([&] { return u.Page() == "Progress" || u.Question(); }));
    HWND q = u.WaitQuestion();
    ASSERT_TRUE(q);
    EXPECT_NE(User::Text(q, kIdQuestionText).find("conflict.txt is newer than the one setup would install"),
              std::string::npos);
    EXPECT_EQ(User::Text(q, kIdAnswer + 0), "&Keep the existing file");
    EXPECT_EQ(User::Text(q, kIdAnswer + 1), "&Overwrite it");
    EXPECT_EQ(User::Text(q, kIdAnswer + 2), "K&eep all newer files");  // a letter of its own
    EXPECT_EQ(User::Text(q, kIdAnswer + 3), "O&verwrite all newer files");
    EXPECT_EQ(User::Text(u.Wizard(), kIdPageName), "Progress");
    EXPECT_FALSE(IsWindowEnabled(u.Wizard()));  // the question is modal
    ASSERT_TRUE(u.Answer(0));

    ASSERT_TRUE(u.WaitPage("Finish"));
    w = u.Wizard();
    EXPECT_EQ(User::Text(w, kIdHeading), "Quill has been installed.");
    launchBox = User::Text(w, kIdLaunch);
    EXPECT_EQ(User::Text(w, kIdNext), "&Finish");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, kIdCancel)));
    u.Next();
  });
  ASSERT_EQ(code, 0) << runLog;
  EXPECT_EQ(launchBox, "&Launch Quill now");
  EXPECT_EQ(ReadHostFile(Product() + "app.txt"), "the application");
  EXPECT_EQ(ReadHostFile(Product() + "conflict.txt"), "newer local version");
  EXPECT_EQ(ReadHostFile(Product() + "many\\f300.txt"), "file 300\n");
  EXPECT_FALSE(vx::FileExists(Product() + "manual.txt"));
  EXPECT_FALSE(vx::FileExists(Product() + "e.txt"));
}

TEST_F(WindowsWizard, CancelAndClosingLeaveTheMachineAsItWas) {
  vxtest::MachineSnapshot before = Snapshot();

  // Cancel during the copy asks, then aborts: everything is rolled back.
  std::string question;
  int code = Run([&](User& u) {
    ASSERT_TRUE(Walk(u));
    ASSERT_TRUE(u.WaitPage("Progress"));
    u.Cancel();
    HWND q = u.WaitQuestion();
    ASSERT_TRUE(q);
    question = User::Text(q, kIdQuestionText);
    ASSERT_TRUE(u.Answer(0));
  });
  EXPECT_EQ(code, -1) << runLog;
  EXPECT_EQ(question, "Do you want to cancel the installation? Everything installed so far is removed.");
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << runLog;

  // The window closed (or Esc) on every page before the copy: asked, and
  // "No" keeps the wizard; then "Yes" ends the run with nothing installed.
  const char* pages[] = {"Welcome", "License", "Destination", "InstallType", "Features", "Password", "Ready"};
  for (const char* page : pages) {
    code = Run([&](User& u) {
      ASSERT_TRUE(Walk(u, page));
      PostMessageA(u.Wizard(), WM_CLOSE, 0, 0);
      HWND q = u.WaitQuestion();
      ASSERT_TRUE(q);
      EXPECT_EQ(User::Text(q, kIdQuestionText), "Do you want to quit setup? Nothing will be installed.");
      // Closing the question is "No".
      PostMessageA(q, WM_CLOSE, 0, 0);
      ASSERT_TRUE(u.WaitPage(page));
      PostMessageA(u.Wizard(), WM_COMMAND, IDCANCEL, 0);
      ASSERT_TRUE(u.Answer(0));
    });
    EXPECT_EQ(code, -1) << page << "\n" << runLog;
    EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << page << "\n" << runLog;
  }

  // Silent: no window at all, and installed.
  bool seen = false;
  code = Run([&](User& u) { u.WaitFor([&] { return (seen = u.Wizard() != nullptr); }, 60); }, "",
             {"/s", "/password:pw"});
  EXPECT_EQ(code, 0) << runLog;
  EXPECT_FALSE(seen);
  EXPECT_NE(runLog.find("\"VX.WindowsWizard\" declined to load"), std::string::npos) << runLog;
  EXPECT_EQ(ReadHostFile(Product() + "app.txt"), "the application");
}

// A project without a user-interface plug-in of its own, built in front of
// the stub that has the wizard beside it: the wizard is there all the same,
// with its built-in pages.
TEST_F(WindowsWizard, AProjectWithoutAPluginGetsTheWizard) {
  vxtest::MachineSnapshot before = Snapshot();
  std::string heading;
  int code = Run(
      [&](User& u) {
        ASSERT_TRUE(u.WaitPage("Welcome"));
        heading = User::Text(u.Wizard(), kIdHeading);
        u.Next();
        ASSERT_TRUE(u.WaitPage("Destination"));
        PostMessageA(u.Wizard(), WM_CLOSE, 0, 0);
        ASSERT_TRUE(u.Answer(0));
      },
      HostPath(VX_TEST_BARE_SETUP));
  EXPECT_EQ(code, -1) << runLog;
  EXPECT_EQ(heading, "Welcome to the setup of Quill. It installs Quill on this computer.");
  EXPECT_NE(runLog.find("VX.WindowsWizard"), std::string::npos) << runLog;
  EXPECT_EQ(vxtest::Diff(before, Snapshot()), "") << runLog;
}

TEST_F(WindowsWizard, BadProjectsAndMissingPackagesShowNoCrash) {
  // Hundreds of features, a binary licence larger than shown, a language
  // file without the wizard's texts (English stays).
  int code = Run(
      [&](User& u) {
        ASSERT_TRUE(u.WaitPage("Welcome"));
        EXPECT_EQ(User::Text(u.Wizard(), kIdHeading),
                  "Welcome to the setup of Quill. It installs Quill on this computer.");
        u.Next();
        ASSERT_TRUE(u.WaitPage("License"));
        HWND edit = GetDlgItem(u.Wizard(), kIdLicense);
        // The page shows the first 256 KiB of a licence this large.
        LRESULT length = SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0);
        EXPECT_GT(length, 256 * 1024);
        EXPECT_LT(length, 300 * 1024);
        std::string start = User::Text(u.Wizard(), kIdLicense);
        EXPECT_EQ(start.substr(0, 2), "MZ");
        SendMessageA(GetDlgItem(u.Wizard(), kIdAccept), BM_SETCHECK, BST_CHECKED, 0);
        u.Next();
        ASSERT_TRUE(u.WaitPage("Destination"));
        u.Next();
        ASSERT_TRUE(u.WaitPage("InstallType"));
        HWND list = GetDlgItem(u.Wizard(), kIdTypeList);
        SendMessageA(list, LB_SETCURSEL, 1, 0);
        SendMessageA(u.Wizard(), WM_COMMAND, MAKEWPARAM(kIdTypeList, LBN_SELCHANGE), LPARAM(list));
        u.Next();
        ASSERT_TRUE(u.WaitPage("Features"));
        HWND tree = GetDlgItem(u.Wizard(), kIdFeatureTree);
        EXPECT_EQ(SendMessageA(tree, TVM_GETCOUNT, 0, 0), 403);
        PostMessageA(u.Wizard(), WM_CLOSE, 0, 0);
        ASSERT_TRUE(u.Answer(0));
      },
      HostPath(VX_TEST_BAD_SETUP));
  EXPECT_EQ(code, -1) << runLog;

  // The further package elsewhere: the wizard asks for its folder; a name
  // too long is refused, the right folder is taken.
  std::string setupDir = HostPath(VX_TEST_SETUP);
  setupDir = setupDir.substr(0, setupDir.find_last_of('\\'));
  std::string copy = dir.Path() + "\\disk1";
  std::string disk2 = dir.Path() + "\\disk2";
  ASSERT_TRUE(vx::ForceFolders(copy));
  ASSERT_TRUE(vx::ForceFolders(disk2));
  ASSERT_TRUE(CopyFileA((setupDir + "\\setup.exe").c_str(), (copy + "\\setup.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((setupDir + "\\extra.vxp").c_str(), (disk2 + "\\extra.vxp").c_str(), FALSE));
  std::string asked, restartQuestion;
  code = Run(
      [&](User& u) {
        ASSERT_TRUE(Walk(u));  // the custom type takes the further package's feature along
        HWND q = u.WaitQuestion();
        ASSERT_TRUE(q);
        asked = User::Text(q, kIdQuestionText);
        User::SetText(q, kIdQuestionEdit, std::string(300, 'x'));
        User::Press(q, kIdAnswer);
        ASSERT_TRUE(u.WaitFor([&] { return User::Text(u.Question(), kIdQuestionText) == "The folder name is too long."; }));
        User::SetText(u.Question(), kIdQuestionEdit, disk2);
        User::Press(u.Question(), kIdAnswer);
        ASSERT_TRUE(u.WaitPage("Finish"));
        u.Next();
        // After the finish page: the restart question; "No" keeps the
        // machine running.
        HWND restart = u.WaitQuestion();
        ASSERT_TRUE(restart);
        restartQuestion = User::Text(restart, kIdQuestionText);
        ASSERT_TRUE(u.Answer(1));
      },
      copy + "\\setup.exe", {"/var:Reboot=1"});
  EXPECT_EQ(code, 0) << runLog;
  EXPECT_NE(asked.find("Setup needs the file extra.vxp"), std::string::npos) << asked;
  EXPECT_EQ(ReadHostFile(Product() + "e.txt"), "extra file");
  EXPECT_EQ(restartQuestion, "The computer must be restarted to finish the installation. Restart now?");
}

}  // namespace
