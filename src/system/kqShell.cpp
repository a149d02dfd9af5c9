#include "system/kqShell.h"

#include <algorithm>

#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

std::string RemoveChar(std::string text, char c) {
  text.erase(std::remove(text.begin(), text.end(), c), text.end());
  return text;
}

}  // namespace

std::string GetSpecialFolder(int index) {
  struct Entry {
    int csidl, fallback;
  };
  static const Entry kTable[] = {
      {kCsidlDesktopDirectory, -1},
      {kCsidlFonts, -1},
      {kCsidlNetHood, -1},
      {kCsidlPersonal, -1},
      {kCsidlPrograms, -1},
      {kCsidlRecent, -1},
      {kCsidlSendTo, -1},
      {kCsidlStartMenu, -1},
      {kCsidlStartup, -1},
      {kCsidlTemplates, -1},
      {kCsidlCommonStartMenu, kCsidlStartMenu},
      {kCsidlCommonPrograms, kCsidlPrograms},
      {kCsidlCommonStartup, kCsidlStartup},
      {kCsidlCommonDesktopDirectory, kCsidlDesktopDirectory},
  };
  if (index < 0 || index >= int(sizeof kTable / sizeof kTable[0])) return "";
  Host& h = CurrentHost();
  std::string path = h.ShellFolderPath(kTable[index].csidl);
  if (path.size() > 260) path.resize(260);
  if (path.empty() && kTable[index].fallback >= 0) path = h.ShellFolderPath(kTable[index].fallback);
  return path;
}

WindowHandle FindWindowByTitle(const std::string& pattern) {
  Host& h = CurrentHost();
  for (WindowHandle w : h.TopLevelWindows()) {
    std::string title = h.WindowTitle(w);
    if (!title.empty() && MatchesPattern(title, pattern)) return w;
  }
  return 0;
}

void PumpMessages() {
  Host& h = CurrentHost();
  for (;;) {
    int r = h.DispatchOneMessage();
    if (r < 0) return;
    if (r == 0) {
      h.SleepMs(1);
      return;
    }
  }
}

std::atomic<bool>& CancelFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

int RunAndWait(WindowHandle owner, const std::string& file, const std::string& params, int showCmd,
               const std::string& folder, const std::function<bool()>& stopWaiting) {
  Host& h = CurrentHost();
  std::string program = RemoveChar(file, '"');
  std::string directory = Trim(RemoveChar(folder, '"'));
  std::string ext = LowerCase(ExtractFileExt(program));
  bool exists = FileExists(program);
  HandleValue process = 0;
  if (exists && (ext == ".exe" || ext == ".com" || ext == ".bat" || ext == ".pif")) {
    std::string commandLine = Trim(Format("\"%s\" %s", program.c_str(), params.c_str()));
    process = h.StartProcess(commandLine, directory, showCmd, 0);
  } else {
    // CreateProcess cannot start a shortcut; the shell resolves it.
    process = h.ShellOpen(owner, program, params, directory, showCmd);
  }
  if (!process) return -1;
  auto stop = [&] { return CancelFlag() || (stopWaiting && stopWaiting()); };
  uint32_t wait = kWaitTimeout;
  while ((wait = h.WaitForProcess(process, 100)) == kWaitTimeout) {
    PumpMessages();
    if (stop()) break;
  }
  uint32_t code = 0;
  if (wait != kWaitObject0 || !h.ProcessExitCode(process, code)) code = 0;
  h.CloseHandle(process);
  return int(code);
}

}  // namespace vx
