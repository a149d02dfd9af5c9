// Program entry of the uninstaller: Uninstall.exe on Windows, vxuninstall
// natively (over the sandbox machine named by VX_MACHINE).
//
//   Uninstall.exe "<uninstall log>" [/s] [/log:<file>] [/suppressmsgboxes]
#include <cstdio>
#include <memory>

#include "system/PlatformHost.h"
#include "system/Prompts.h"
#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "uninstall/Uninstaller.h"

#ifdef _WIN32
namespace __gnu_cxx {
// An exception that escapes everything ends the process at once, without
// the runtime's console output a GUI program has nowhere to show.
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

namespace {

using namespace vx;

constexpr int kProgressBarId = 101;
constexpr int kProgressTextId = 102;

// Windows: the dialog "DLG_UNINSTALL" with its bar and the step's text.
class WindowProgress : public UninstallProgress {
 public:
  void Begin(const std::string& caption) override {
    Host& h = CurrentHost();
    window_ = h.CreateResourceDialog("DLG_UNINSTALL", 0);
    if (!window_) return;
    h.SetWindowTitle(window_, caption);
    bar_ = h.DialogItem(window_, kProgressBarId);
    text_ = h.DialogItem(window_, kProgressTextId);
    h.SetProgressRange(bar_, 0, 100, 1);
    h.ShowAndUpdateWindow(window_);
    Pump();
  }
  void Step(int percent, const std::string& text) override {
    if (!window_) return;
    Host& h = CurrentHost();
    h.SetProgressPosition(bar_, percent);
    h.SetWindowTitle(text_, text + "...");
    Pump();
  }
  void End() override {
    if (window_) CurrentHost().DestroyWindow(window_);
    window_ = 0;
  }

 private:
  static void Pump() {
    for (int i = 0; i < 1000 && CurrentHost().DispatchOneMessage() > 0; ++i) {
    }
  }
  WindowHandle window_ = 0, bar_ = 0, text_ = 0;
};

// Natively: one line a step on standard output.
class LineProgress : public UninstallProgress {
 public:
  void Step(int percent, const std::string& text) override {
    std::printf("uninstall: %3d%% %s\n", percent, text.c_str());
    std::fflush(stdout);
  }
};

int Usage(const std::string& why) {
  std::string text = why + "\r\nUsage: Uninstall.exe \"<uninstall log>\" [/s] [/log:<file>] [/suppressmsgboxes]";
#ifdef _WIN32
  RunPrompts prompts;
  prompts.ShowError(text);
#else
  std::fprintf(stderr, "vxuninstall: %s\n", text.c_str());
#endif
  return kUninstallNotDone;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<Host> host = CreatePlatformHost();
  SetCurrentHost(host.get());
  UninstallOptions options;
  bool suppress = false;
  std::string runLog;
  for (const std::string& p : ProgramParameters(argc, argv)) {
    if (p.size() > 1 && (p[0] == '/' || p[0] == '-')) {
      std::string name = p.substr(1);
      if (SameText(name, "s")) options.silent = true;
      else if (SameText(name, "suppressmsgboxes")) suppress = true;
      else if (StartsWithText(name, "log:")) runLog = RemoveQuotes(name.substr(4));
      else return Usage("Unknown switch \"" + p + "\".");
    } else if (options.logPath.empty()) {
      options.logPath = RemoveQuotes(p);
    } else {
      return Usage("More than one uninstall log named.");
    }
  }
  if (!runLog.empty() && !OpenRunLog(runLog)) return Usage("Cannot create the run log \"" + runLog + "\".");
  if (options.logPath.empty()) options.logPath = ExtractFilePath(host->ExecutablePath()) + "install.log";
  RunPrompts prompts;
  prompts.SetUnattendedAnswers(suppress, {});
#ifdef _WIN32
  WindowProgress progress;
  if (options.silent) {
    UninstallProgress none;
    Uninstaller uninstaller(options, prompts, none);
    int code = uninstaller.Run();
    CloseRunLog();
    return code;
  }
#else
  LineProgress progress;
#endif
  Uninstaller uninstaller(options, prompts, progress);
  int code = uninstaller.Run();
#ifndef _WIN32
  for (const std::string& s : uninstaller.Skipped()) std::fprintf(stderr, "vxuninstall: not removed: %s\n", s.c_str());
  if (uninstaller.RestartNeeded()) std::fprintf(stderr, "vxuninstall: files in use go at the next restart\n");
#endif
  CloseRunLog();
  return code;
}
