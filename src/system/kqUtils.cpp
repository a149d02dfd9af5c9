#include "system/kqUtils.h"

#include "system/Errors.h"
#include "system/Prompts.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

struct ButtonInfo {
  int id;
  const char* name;
};
const ButtonInfo kButtons[] = {{kIdOk, "OK"},       {kIdCancel, "Cancel"},     {kIdAbort, "Abort"},
                               {kIdRetry, "Retry"}, {kIdIgnore, "Ignore"},     {kIdYes, "Yes"},
                               {kIdNo, "No"},       {kIdTryAgain, "TryAgain"}, {kIdContinue, "Continue"}};
}  // namespace

int DefaultButton(uint32_t flags) {
  static const std::vector<int> kSets[] = {
      {kIdOk},
      {kIdOk, kIdCancel},
      {kIdAbort, kIdRetry, kIdIgnore},
      {kIdYes, kIdNo, kIdCancel},
      {kIdYes, kIdNo},
      {kIdRetry, kIdCancel},
      {kIdCancel, kIdTryAgain, kIdContinue},
  };
  uint32_t type = flags & kMbTypeMask;
  const std::vector<int>& set = type < 7 ? kSets[type] : kSets[0];
  size_t index = (flags & kMbDefButtonMask) >> 8;
  return index < set.size() ? set[index] : set[0];
}

std::optional<int> ButtonFromName(const std::string& name) {
  std::string n = Trim(name);
  for (const ButtonInfo& b : kButtons)
    if (SameText(n, b.name)) return b.id;
  return std::nullopt;
}

std::string ButtonName(int button) {
  for (const ButtonInfo& b : kButtons)
    if (b.id == button) return b.name;
  return Format("%d", button);
}


bool ParseAnswerScript(const std::string& script, std::vector<MsgBoxRule>& rules, std::string& error) {
  int lineNo = 0;
  for (std::string line : SplitString(script, '\n')) {
    ++lineNo;
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    MsgBoxRule rule;
    size_t eq = line.rfind('=');
    std::string button = eq == std::string::npos ? line : line.substr(eq + 1);
    rule.pattern = eq == std::string::npos ? "*" : Trim(line.substr(0, eq));
    auto id = ButtonFromName(button);
    if (!id) {
      error = Format("line %d: unknown button \"%s\"", lineNo, Trim(button).c_str());
      return false;
    }
    rule.button = *id;
    rules.push_back(rule);
  }
  return true;
}

std::string GetTempFolder() {
  Host& h = CurrentHost();
  std::string temp = h.PlatformTempPath();
  if (temp.size() > 260) temp.resize(260);
  temp = IncludeTrailingBackslash(temp);
  if (SameText(temp, IncludeTrailingBackslash(h.CurrentFolder()))) {
    if (h.Version().platform == kPlatformNT) return "C:\\Temp\\";
    return IncludeTrailingBackslash(h.WindowsFolder()) + "Temp\\";
  }
  return temp;
}

std::string GetWindowsFolder() { return CurrentHost().WindowsFolder(); }
std::string GetSystemFolder() { return CurrentHost().SystemFolder(); }

}  // namespace vx

// ==== Operating system and environment =====================================================

namespace vx {

const char* OSKindName(int kind) {
  static const char* const kNames[] = {"32s", "95", "98", "NT", "2000", "Me", "XP"};
  return kind >= 0 && kind <= 6 ? kNames[kind] : "";
}

TOSInfo ComputeOSInfo(const VersionFacts& f) {
  TOSInfo info;
  int kind = osWin32s;
  if (f.platform == kPlatformWin9x) {
    kind = osWin95;
    if (f.major == 4 && f.minor > 0) kind = osWin98;
    if (f.major > 4 || (f.major == 4 && f.minor >= 90)) kind = osWinMe;
  } else if (f.platform == kPlatformNT) {
    kind = osWinNT;
    if (f.major > 4) kind = osWin2000;
    if (f.major > 4 && f.minor > 0) kind = osWinXP;
  }
  info.Kind = kind;
  info.Major = f.major;
  info.Minor = f.minor;
  info.VersionText = f.minor == 0 ? Format("%u.%u", f.major, f.minor) : Format("%u.%.2u", f.major, f.minor);
  info.Build = f.platform == kPlatformWin9x ? (f.build & 0xFFFF) : f.build;
  info.ServicePack = f.servicePack;
  info.Description = Trim(Format("Windows %s %s.%.4u %s", OSKindName(kind), info.VersionText.c_str(), info.Build,
                                 info.ServicePack.c_str()));
  return info;
}

// Computed on each call: it is cheap, and a cache keyed by the host object
// would hand a new host at a reused address the facts of the old one.
TOSInfo GetOSInfo() { return ComputeOSInfo(CurrentHost().Version()); }

std::string GetEnv(const std::string& name) { return CurrentHost().GetEnv(name).value_or(""); }

namespace {
const char kSystemEnvironment[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kUserEnvironment[] = "HKCU\\Environment";
const char kAutoexec[] = "c:\\autoexec.bat";
}  // namespace

std::string GetEnvVar(const std::string& name, bool system) {
  if (CurrentHost().Version().platform != kPlatformNT) return GetEnv(name);
  return RegReadText(system ? kSystemEnvironment : kUserEnvironment, name, "");
}

std::string GetStoredEnvVar(const std::string& name, bool system) {
  if (CurrentHost().Version().platform != kPlatformNT) return GetEnv(name);
  uint32_t type = 0;
  std::string data;
  if (!RegReadRaw(system ? kSystemEnvironment : kUserEnvironment, name, type, data)) return "";
  if (type != kRegSz && type != kRegExpandSz) return RegReadText(system ? kSystemEnvironment : kUserEnvironment, name, "");
  return data.substr(0, data.find('\0'));
}

std::string RewriteAutoexec(const std::string& oldText, const std::string& name, const std::string& value,
                            bool& found) {
  found = false;
  std::string out;
  std::string line;
  auto handle = [&](const std::string& l) {
    std::string t = Trim(l);
    if (StartsWithText(t, "SET ")) {
      std::string rest = Trim(t.substr(4));
      std::string varName = rest.substr(0, rest.find('='));
      if (SameText(varName, name)) {
        found = true;
        if (!value.empty()) out += Format("SET %s=%s\r\n", name.c_str(), value.c_str());
        return;
      }
    }
    out += l + "\r\n";
  };
  for (size_t i = 0; i < oldText.size(); ++i) {
    char c = oldText[i];
    if (c == '\r' || c == '\n') {
      handle(line);
      line.clear();
      if (c == '\r' && i + 1 < oldText.size() && oldText[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) handle(line);
  if (!found && !value.empty()) out += Format("SET %s=%s\r\n", name.c_str(), value.c_str());
  return out;
}

bool SetEnvVar(const std::string& name, const std::string& value, bool system) {
  Host& h = CurrentHost();
  if (h.Version().platform == kPlatformNT) {
    std::string key = system ? kSystemEnvironment : kUserEnvironment;
    if (value.empty()) return RegRemoveValue(key, name);
    if (RegGetValueType(key, name) == kRegExpandSz) return RegWriteExpandString(key, name, value);
    return RegWriteString(key, name, value);
  }
  std::string old;
  bool haveOld = FileExists(kAutoexec) && ReadWholeFile(kAutoexec, old);
  bool found = false;
  std::string text = RewriteAutoexec(haveOld ? old : "", name, value, found);
  std::string fresh = "c:\\" + UniqueName("c:\\", "", ".bat", true);
  if (!WriteWholeFile(fresh, text)) {
    h.RemoveFile(fresh);
    throw EInOutError(Format("Cannot create file %s", fresh.c_str()));
  }
  if (h.RemoveFile(kAutoexec)) return h.RenameFile(fresh, kAutoexec);
  h.RemoveFile(fresh);
  return false;
}

void GetEnvironmentList(std::vector<std::string>& list) {
  list = CurrentHost().EnvironmentStrings();
}

}  // namespace vx

// --- The run's prompts ------------------------------------------------------------------

namespace vx {

void RunPrompts::SetUnattendedAnswers(bool takeDefault, std::vector<MsgBoxRule> rules) {
  takeDefault_ = takeDefault;
  rules_ = std::move(rules);
}

int RunPrompts::MsgBox(WindowHandle owner, const std::string& caption, const std::string& text, uint32_t flags) {
  uint32_t style = flags | kMbTaskModal | style_;
  int answer = 0;
  const char* how = "shown";
  for (const MsgBoxRule& r : rules_) {
    if (MatchesPattern(text, r.pattern)) {
      answer = r.button;
      how = "scripted";
      break;
    }
  }
  if (!answer && takeDefault_) {
    answer = DefaultButton(style);
    how = "default";
  }
  if (!answer) answer = CurrentHost().ShowMessageBox(owner, text, caption, style);
  RunLog("msgbox", "caption=" + LogQuote(caption) + " text=" + LogQuote(text) + Format(" flags=0x%08X", style) +
                       " answer=" + ButtonName(answer) + " (" + how + ")");
  return answer;
}

void RunPrompts::ShowError(const std::string& text) {
  WindowHandle owner = mainWindow_ ? CurrentHost().LastActivePopup(mainWindow_) : 0;
  MsgBox(owner, CaptionOr("Error"), text, kMbIconError);
}

void RunPrompts::ShowWarning(const std::string& text) {
  WindowHandle owner = mainWindow_ ? CurrentHost().LastActivePopup(mainWindow_) : 0;
  MsgBox(owner, CaptionOr("Warning"), text, kMbIconWarning);
}

void RunPrompts::ErrorBox(const std::string& caption, const std::string& text) {
  MsgBox(activeWindow_ ? activeWindow_->ActiveWindow() : 0, caption, text, kMbIconError);
}

}  // namespace vx
