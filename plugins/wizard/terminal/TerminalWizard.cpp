// The terminal wizard: the wizard's pages as prompts on the terminal the
// engine runs in, a progress bar on one line, and the questions of the
// installation (a newer existing file, a missing package, a restart).
//
// Answers are typed, or read line by line from the file that the
// environment variable VX_WIZARD_ANSWERS names, each line answering the next
// prompt exactly as typed. One extra line form exists for unattended runs:
// "cancel-at N" before the installation starts asks to cancel once the
// copy has reached N percent (the next line answers that question).
//
// Input on every page: Enter goes on (taking what the page shows), "<" goes
// back, "!" cancels (after a question). Standard input that is not a
// terminal, without an answers file, is refused before any page: the run
// ends and nothing is installed. The end of the input counts as Cancel.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "PluginSession.h"

namespace {

using vxwiz::Page;

struct State {
  vxwiz::PluginSession session;
  FILE* answers = nullptr;
  bool answersTried = false;
  bool interactive = false;
  int cancelAt = -1;  // "cancel-at N"
  int shownPercent = -1;
  bool installing = false;
  bool lineOpen = false;  // the progress line is on screen
};

State g;

void Out(const std::string& text) {
  if (g.lineOpen) {
    std::fputs("\n", stdout);
    g.lineOpen = false;
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void Line(const std::string& text) { Out(text + "\n"); }

bool OpenInput() {
  if (!g.answersTried) {
    g.answersTried = true;
    const char* name = std::getenv("VX_WIZARD_ANSWERS");
    if (name && *name) {
      g.answers = std::fopen(name, "r");
      if (!g.answers) std::fprintf(stderr, "Terminal wizard: cannot read the answers file %s\n", name);
    }
    g.interactive = !g.answers && isatty(0);
  }
  return g.answers || g.interactive;
}

// One line of input without its line break; nothing at the end of input.
std::optional<std::string> ReadLine(bool secret = false) {
  FILE* in = g.answers ? g.answers : stdin;
  termios saved{};
  bool hide = secret && g.interactive && tcgetattr(0, &saved) == 0;
  if (hide) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  std::string line;
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < 4096) line += char(c);  // an endless line is cut, not kept
  }
  if (hide) {
    tcsetattr(0, TCSAFLUSH, &saved);
    std::fputs("\n", stdout);
  }
  if (!any) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // What came from the file is echoed, so that a log reads like a session.
  if (g.answers) Line(secret ? std::string("********") : line);
  return line;
}

std::optional<std::string> Ask(const std::string& prompt, bool secret = false) {
  Out(prompt);
  return ReadLine(secret);
}

// A yes/no question; the end of input answers `onEnd`.
bool AskYesNo(const std::string& question, bool onEnd) {
  vxwiz::Wizard& w = g.session.Get();
  std::string hint = " [" + w.Text("Yes").substr(0, 1) + "/" + w.Text("No").substr(0, 1) + "] ";
  for (int tries = 0; tries < 100; ++tries) {
    auto a = Ask(question + hint);
    if (!a) return onEnd;
    if (a->empty()) continue;
    char c = char(std::tolower(static_cast<unsigned char>((*a)[0])));
    if (c == 'y' || c == std::tolower(static_cast<unsigned char>(w.Text("Yes")[0]))) return true;
    if (c == 'n' || c == std::tolower(static_cast<unsigned char>(w.Text("No")[0]))) return false;
  }
  return onEnd;
}

vxwiz::Wizard& Wizard() { return g.session.Get(); }

void ShowFeatures(vxwiz::Wizard& w) {
  const auto& rows = w.Features();
  for (size_t i = 0; i < rows.size(); ++i) {
    const char* mark = rows[i].state == 1 ? "[x]" : rows[i].state == 2 ? "[~]" : "[ ]";
    Line("  " + std::to_string(i + 1) + " " + std::string(size_t(rows[i].info.depth) * 2, ' ') + mark + " " +
         rows[i].info.name);
  }
  Line("  (number: switch a feature; ?number: about it)");
}

void ShowFeature(vxwiz::Wizard& w, size_t index) {
  const vxwiz::FeatureRow& row = w.Features()[index];
  Line(row.info.name + ": " + row.info.description);
  if (row.size) Line(w.Text("FeatureSize", {vxwiz::SizeText(row.size)}));
}

size_t Number(const std::string& text) {
  char* end = nullptr;
  unsigned long n = std::strtoul(text.c_str(), &end, 10);
  return end && *end == 0 && !text.empty() ? size_t(n) : 0;
}

// The pages before the installation; true when the user went through them,
// false when they cancelled (or the input ended).
bool RunPages() {
  vxwiz::Wizard& w = Wizard();
  w.RefreshFeatureStates();
  w.Start();
  bool render = true;
  for (int steps = 0; steps < 100000 && w.Current() != Page::Done; ++steps) {
    Page page = w.Current();
    if (render) {
      std::vector<Page> pages = w.Pages();
      size_t at = 0;
      while (at < pages.size() && pages[at] != page) ++at;
      Line("");
      Line("== " + w.Text("Title") + " (" + std::to_string(at + 1) + "/" + std::to_string(pages.size()) + ") ==");
      switch (page) {
        case Page::Welcome: Line(w.Text("Welcome")); break;
        case Page::License: Line(w.Text("License")); Line(w.LicenseText()); break;
        case Page::Destination: Line(w.Text("Destination")); break;
        case Page::InstallType: {
          Line(w.Text("InstallType"));
          for (size_t i = 0; i < w.InstallTypes().size(); ++i)
            Line(std::string("  ") + (int(i) == w.SelectedInstallType() ? "*" : " ") + std::to_string(i + 1) + ") " +
                 w.InstallTypes()[i].name);
          break;
        }
        case Page::Features: Line(w.Text("Features")); ShowFeatures(w); break;
        case Page::Password: Line(w.Text("Password")); break;
        case Page::Ready:
          Line(w.Text("Ready"));
          for (const std::string& s : w.Summary()) Line("  " + s);
          break;
        default: break;
      }
    }
    render = true;
    std::string prompt;
    switch (page) {
      case Page::License: prompt = w.Text("LicenseAccept") + " [y/n]: "; break;
      case Page::Destination: prompt = "[" + w.Destination() + "]: "; break;
      case Page::InstallType: prompt = "[" + std::to_string(w.SelectedInstallType() + 1) + "]: "; break;
      case Page::Features: prompt = "> "; break;
      case Page::Password: prompt = "> "; break;
      case Page::Ready: prompt = "(" + w.Text("Install") + ": Enter) > "; break;
      default: prompt = "(" + w.Text("Next") + ": Enter) > "; break;
    }
    auto input = Ask(prompt, page == Page::Password);
    if (!input) return false;
    std::string a = *input;
    if (a == "!") {
      if (AskYesNo(w.Text("QuitQuestion"), true)) return false;
      continue;
    }
    if (a == "<") {
      w.Back();
      continue;
    }
    switch (page) {
      case Page::License:
        if (a.empty()) break;
        w.SetLicenseAccepted(a[0] == 'y' || a[0] == 'Y');
        break;
      case Page::Destination:
        if (!a.empty()) w.SetDestination(a);
        break;
      case Page::InstallType:
        if (!a.empty()) {
          size_t n = Number(a);
          if (n == 0 || n > w.InstallTypes().size()) {
            render = false;
            continue;
          }
          w.SelectInstallType(int(n) - 1);
        }
        break;
      case Page::Features:
        if (!a.empty()) {
          bool about = a[0] == '?';
          size_t n = Number(about ? a.substr(1) : a);
          render = false;
          if (n == 0 || n > w.Features().size()) continue;
          if (about) {
            ShowFeature(w, n - 1);
            continue;
          }
          vxwiz::Outcome o = w.ToggleFeature(n - 1);
          if (!o.ok) Line(o.message);
          ShowFeatures(w);
          continue;
        }
        break;
      case Page::Password: w.SetPassword(a); break;
      default: break;
    }
    vxwiz::Outcome o = w.Next();
    if (!o.ok) {
      Line(o.message);
      render = false;
    }
  }
  return w.Current() == Page::Done;
}

void ConfirmCancel() {
  vxwiz::Wizard& w = Wizard();
  if (w.Aborted()) return;
  // The end of input here cancels too: nobody is left to finish the run.
  if (AskYesNo(w.Text("CancelQuestion"), true)) w.AbortInstall();
}

void ShowProgress(vx_param filePercent, vx_param totalPercent) {
  vxwiz::Wizard& w = Wizard();
  w.OnProgress(filePercent, totalPercent);
  if (w.Percent() != g.shownPercent) {
    g.shownPercent = w.Percent();
    const int width = 30;
    int filled = w.Percent() * width / 100;
    std::string file = w.CurrentFile();
    if (file.size() > 40) file = "..." + file.substr(file.size() - 37);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", w.Percent());
    std::string bar = "\r[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.') + "] " +
                      percent + " " + file;
    std::fputs((bar + "\x1b[K").c_str(), stdout);
    if (!g.interactive) std::fputs("\n", stdout);
    std::fflush(stdout);
    g.lineOpen = g.interactive;
  }
  if (w.Aborted()) return;
  if (g.cancelAt >= 0 && w.Percent() >= g.cancelAt) {
    g.cancelAt = -1;
    ConfirmCancel();
    return;
  }
  // At a terminal "!" (or "c") and Enter during the copy asks to cancel.
  if (g.interactive) {
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
      auto a = ReadLine();
      if (!a || *a == "!" || *a == "c" || *a == "C") ConfirmCancel();
    }
  }
}

vx_param VersionConflict(const char* file) {
  vxwiz::Wizard& w = Wizard();
  Line(w.Text("ConflictQuestion", {file ? file : ""}));
  const char* keys[] = {"ConflictKeep", "ConflictOverwrite", "ConflictKeepAll", "ConflictOverwriteAll"};
  for (int i = 0; i < 4; ++i) Line("  " + std::to_string(i + 1) + ") " + w.Text(keys[i]));
  for (int tries = 0; tries < 100; ++tries) {
    auto a = Ask("[1-4]: ");
    if (!a) break;
    size_t n = Number(*a);
    if (n >= 1 && n <= 4) return vx_param(n);
  }
  // Nobody answers: keep the newer file and stop the installation.
  w.AbortInstall();
  return vx_param(vxwiz::ConflictAnswer::KeepNewer);
}

vx_param GetPackage(const char* name, char* folder) {
  vxwiz::Wizard& w = Wizard();
  for (int tries = 0; tries < 100; ++tries) {
    Line(w.Text("PackageMissing", {name ? name : ""}));
    auto a = Ask("[" + std::string(folder ? folder : "") + "]: ");
    if (!a || a->empty() || *a == "!") return 0;
    vxwiz::Outcome o = w.CheckPackageFolder(*a);
    if (!o.ok) {
      Line(o.message);
      continue;
    }
    std::memset(folder, 0, 260);
    std::memcpy(folder, a->c_str(), a->size());
    return 1;
  }
  return 0;
}

vx_param ShowDialogs(vx_param after) {
  vxwiz::Wizard& w = Wizard();
  if (w.Silent()) return 0;
  if (!OpenInput()) {
    std::fprintf(stderr,
                 "The setup wizard needs a terminal, and standard input is not one. Run the setup from a "
                 "terminal, name an answers file in VX_WIZARD_ANSWERS, or run it silently (/s). Nothing was "
                 "installed.\n");
    return 1;
  }
  if (after == 0) {
    if (!RunPages()) {
      Line(w.Text("Cancelled"));
      return 1;
    }
    // An unattended run may ask for a cancel during the copy.
    if (g.answers) {
      long pos = std::ftell(g.answers);
      char buffer[64] = {0};
      if (std::fgets(buffer, sizeof buffer, g.answers) && std::strncmp(buffer, "cancel-at ", 10) == 0)
        g.cancelAt = std::atoi(buffer + 10);
      else
        std::fseek(g.answers, pos, SEEK_SET);
    }
    g.installing = true;
    Line(w.Text("Progress"));
    return 0;
  }
  Line(w.Text("Finish"));
  if (w.OffersLaunch()) w.SetLaunch(AskYesNo(w.Text("Launch"), false));
  return 0;
}

vx_param VXAPI Handler(int32_t msgId, const char* msgName, vx_param param1, vx_param param2) {
  try {
    vx_param answer = 0;
    if (g.session.HandleStartup(msgId, param1, answer)) return answer;
    if (msgId == EV_SHOWDIALOGS) return ShowDialogs(param1);
    if (msgId == EV_UNLOAD) {
      if (g.answers) std::fclose(g.answers);
      g.answers = nullptr;
      g.session.Reset();
      return 0;
    }
    if (!g.session.Connected() || !vxwiz::PluginSession::InstallEvent(msgId, msgName)) return 0;
    std::string name = msgName ? msgName : "";
    // Everything below speaks only when the user has a wizard at all.
    bool quiet = Wizard().Silent() || !OpenInput();
    switch (msgId) {
      case EV_BEFOREPROCESSITEM:
        if (((param1 >> 16) & 0xFFFF) == VX_ITEM_FILES && param2) {
          const VXFileItemRecord* file = reinterpret_cast<const VXFileItemRecord*>(param2);
          if (file->path && !file->removal) Wizard().OnFile(file->path);
        }
        return 0;
      case EV_FILEINSTALLPROGRESS:
        if (!quiet) ShowProgress(param1, param2);
        return 0;
      case EV_VERSIONCONFLICT: return quiet ? 0 : VersionConflict(reinterpret_cast<const char*>(param1));
      case EV_GETPACKAGE:
        return quiet ? 0 : GetPackage(reinterpret_cast<const char*>(param1), reinterpret_cast<char*>(param2));
      case EV_QUERYREBOOT:
        if (!quiet) Wizard().AnswerRestart(AskYesNo(Wizard().Text("RestartQuestion"), false));
        return 0;
      case EV_FINISH:
        if (!quiet && g.installing && param1 == 0)
          Line(Wizard().Text(Wizard().Aborted() ? "Cancelled" : "FinishFailed"));
        return 0;
      default: break;
    }
    if (!quiet && name == "CM_SHOWSTATUSTEXT" && param1) Line(reinterpret_cast<const char*>(param1));
    return 0;
  } catch (...) {
    // Nothing may unwind into the engine; a failure of the wizard cancels.
    return msgId == EV_SHOWDIALOGS ? 1 : 0;
  }
}

}  // namespace

extern "C" VXEXPORT void VXAPI GetPluginInfo(VXPluginInfo* info) {
  std::strncpy(info->pluginId, "VX.TerminalWizard", sizeof info->pluginId - 1);
  info->minEngineVersion = VX_ENGINE_VERSION;
  info->handler = Handler;
}
