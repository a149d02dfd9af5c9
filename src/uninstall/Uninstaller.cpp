#include "uninstall/Uninstaller.h"

#include <algorithm>
#include <exception>

#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

constexpr char kUninstallKeyTail[] = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kSharedDlls[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr uint32_t kBroadcastTimeoutMs = 5000;
constexpr uint32_t kMbDefButton2 = 0x100;

struct TextDefault {
  const char* key;
  const char* text;
};
const TextDefault kTexts[] = {
    {"Caption", "Uninstall"},
    {"Confirm", "Are you sure you want to completely remove %s and all of its components?"},
    {"Done", "%s was successfully removed from your computer."},
    {"Skipped", "Some items were not removed:"},
    {"Restart",
     "Some files are in use and will be removed when Windows restarts. Do you want to restart Windows now?"},
    {"AdminRights", "Administrator rights are required to uninstall %s."},
    {"Missing", "The uninstall log \"%s\" cannot be found: the product has been removed already, or its log has been "
                "deleted."},
};

// The system's keys that an installation writes below but never owns, in
// upper case and without the root.
const char* const kSystemKeys[] = {
    "SOFTWARE\\MICROSOFT",
    "SOFTWARE\\CLASSES",
    "SOFTWARE\\POLICIES",
    "SOFTWARE\\WOW6432NODE",
    "SOFTWARE\\CLIENTS",
    "SOFTWARE\\MICROSOFT\\WINDOWS",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\APP PATHS",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\FONTS",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\POLICIES",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUN",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNONCE",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNONCEEX",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNSERVICES",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\RUNSERVICESONCE",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHAREDDLLS",
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\UNINSTALL",
    "SOFTWARE\\MICROSOFT\\WINDOWS NT",
    "SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION",
    "SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTS",
    "SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\WINLOGON",
    "SYSTEM\\CURRENTCONTROLSET",
    "SYSTEM\\CURRENTCONTROLSET\\CONTROL",
    "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER",
    "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER\\ENVIRONMENT",
    "SYSTEM\\CURRENTCONTROLSET\\SERVICES",
    "CONTROL PANEL\\INTERNATIONAL",
    "CONTROL PANEL\\DESKTOP",
};

// Parts of a path after its root ("C:\" or "\\server\share\").
std::vector<std::string> PathParts(const std::string& path, std::string& root) {
  std::vector<std::string> parts;
  size_t start;
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
    root = path.substr(0, 3);
    start = 3;
  } else if (StartsWithText(path, "\\\\")) {
    size_t server = path.find('\\', 2);
    size_t share = server == std::string::npos ? server : path.find('\\', server + 1);
    if (server == std::string::npos || share == std::string::npos || server == 2 || share == server + 1) return {};
    root = path.substr(0, share + 1);
    start = share + 1;
  } else {
    return {};
  }
  std::string rest = path.substr(start);
  if (!rest.empty() && rest.back() == '\\') rest.pop_back();
  if (rest.empty()) return {};
  return SplitString(rest, '\\');
}

std::string KeyRootName(RegKey root) {
  switch (root) {
    case kHKeyLocalMachine: return "HKLM";
    case kHKeyCurrentUser: return "HKCU";
    case kHKeyClassesRoot: return "HKCR";
    case kHKeyUsers: return "HKU";
    default: return "";
  }
}

bool KeyIsEmpty(const std::string& key) {
  Host& h = CurrentHost();
  RegKey root = 0, handle = 0;
  std::string sub;
  SplitRegPath(key, root, sub);
  if (h.OpenRegKey(root, sub, false, handle) != kErrorSuccess) return false;
  std::string name;
  bool empty = h.EnumRegKey(handle, 0, name) == kErrorNoMoreItems && h.EnumRegValue(handle, 0, name) == kErrorNoMoreItems;
  h.CloseRegKey(handle);
  return empty;
}

std::vector<std::string> KeyValueNames(const std::string& key) {
  Host& h = CurrentHost();
  RegKey root = 0, handle = 0;
  std::string sub;
  std::vector<std::string> names;
  SplitRegPath(key, root, sub);
  if (h.OpenRegKey(root, sub, false, handle) != kErrorSuccess) return names;
  std::string name;
  for (uint32_t i = 0; h.EnumRegValue(handle, i, name) == kErrorSuccess; ++i) names.push_back(name);
  h.CloseRegKey(handle);
  return names;
}

bool FolderIsEmpty(const std::string& folder) {
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  if (!CurrentHost().ListFolder(IncludeTrailingBackslash(folder), "*", entries, error)) return error == kErrorNoMoreFiles || error == kErrorFileNotFound;
  for (const FindEntry& e : entries)
    if (e.name != "." && e.name != "..") return false;
  return true;
}

std::string FontsKey() {
  return GetOSInfo().IsNT() ? "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts"
                            : "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts";
}

}  // namespace

// --- Safety rules ------------------------------------------------------------------------

bool IsPlainAbsolutePath(const std::string& path) {
  if (path.find_first_of("*?\"<>|/") != std::string::npos) return false;
  for (char c : path)
    if (uint8_t(c) < 0x20) return false;
  std::string root;
  std::vector<std::string> parts = PathParts(path, root);
  if (parts.empty()) return false;
  if (root.size() == 3 && !std::isalpha(uint8_t(root[0]))) return false;
  if (root.find(':', 2) != std::string::npos) return false;
  if (root.size() > 3) {
    // The server and share of a network path follow the rules of names too.
    for (const std::string& name : SplitString(root.substr(2, root.size() - 3), '\\'))
      if (name.find_first_not_of(". ") == std::string::npos) return false;
  }
  for (const std::string& p : parts) {
    if (p.empty() || p.find(':') != std::string::npos) return false;
    if (p.find_first_not_of(". ") == std::string::npos) return false;  // ".", "..", "..."
  }
  return true;
}

bool IsSystemFolder(const std::string& folderIn) {
  std::string folder = UpperCase(ExcludeTrailingBackslash(folderIn));
  std::string root;
  if (PathParts(folderIn, root).empty()) return true;  // a root, or no absolute path
  Host& h = CurrentHost();
  std::vector<std::string> system = {h.WindowsFolder(), h.SystemFolder(), GetTempFolder(),
                                     RegReadText("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", ""),
                                     RegReadText("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "CommonFilesDir", "")};
  for (int csidl : {kCsidlDesktop, kCsidlPrograms, kCsidlPersonal, kCsidlFavorites, kCsidlStartup, kCsidlRecent,
                    kCsidlSendTo, kCsidlStartMenu, kCsidlDesktopDirectory, kCsidlNetHood, kCsidlFonts, kCsidlTemplates,
                    kCsidlCommonStartMenu, kCsidlCommonPrograms, kCsidlCommonStartup, kCsidlCommonDesktopDirectory,
                    kCsidlAppData, kCsidlLocalAppData, kCsidlCommonAppData, kCsidlWindows, kCsidlSystem,
                    kCsidlProgramFiles, kCsidlProgramFilesCommon, kCsidlCommonDocuments})
    system.push_back(h.ShellFolderPath(csidl));
  for (const char* env : {"USERPROFILE", "ALLUSERSPROFILE", "SystemRoot", "ProgramFiles", "CommonProgramFiles"})
    if (auto v = h.GetEnv(env)) system.push_back(*v);
  for (const std::string& s : system) {
    std::string t = UpperCase(ExcludeTrailingBackslash(Trim(s)));
    if (t.empty()) continue;
    // The folder itself, or one that holds it.
    if (t == folder || StartsWithText(t, folder + "\\")) return true;
  }
  return false;
}

bool IsRemovableKeyPath(const std::string& key) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(key, root, sub);
  std::string name = KeyRootName(root);
  if (name.empty() || key.find_first_of("*?\"") != std::string::npos) return false;
  // The root must be named: a key without one would be the user's.
  size_t slash = key.find('\\');
  if (slash == std::string::npos) return false;
  RegKey named = 0;
  std::string rest;
  SplitRegPath(key.substr(0, slash), named, rest);
  if (named != root || !rest.empty()) return false;
  sub = UpperCase(ExcludeTrailingBackslash(sub));
  std::vector<std::string> parts = SplitString(sub, '\\');
  for (const std::string& p : parts)
    if (Trim(p).empty()) return false;
  size_t minimum = root == kHKeyClassesRoot ? 1 : 2;
  if (root == kHKeyUsers) minimum = 3;  // below a user's hive
  if (parts.size() < minimum) return false;
  if (root == kHKeyClassesRoot && parts.size() == 1) {
    for (const char* own : {"CLSID", "INTERFACE", "TYPELIB", "APPID", "*", "FOLDER", "DIRECTORY", "DRIVE"})
      if (parts[0] == own) return false;
  }
  for (const char* k : kSystemKeys)
    if (sub == k) return false;
  if (root == kHKeyCurrentUser && (sub == "ENVIRONMENT" || sub == "SOFTWARE")) return false;
  return true;
}

// --- The uninstaller -----------------------------------------------------------------------

Uninstaller::Uninstaller(UninstallOptions options, Prompts& prompts, UninstallProgress& progress)
    : options_(std::move(options)), prompts_(prompts), progress_(progress) {}

const char* Uninstaller::DefaultText(const std::string& key) {
  for (const TextDefault& t : kTexts)
    if (SameText(t.key, key)) return t.text;
  return "";
}

std::string Uninstaller::Text(const std::string& key) const {
  std::string text = log_.Value("Texts", key);
  if (text.empty()) text = DefaultText(key);
  // "||" stands for the line break the log cannot hold.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "||") == 0) {
      out += "\r\n";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

int Uninstaller::Box(const std::string& text, uint32_t flags) {
  return prompts_.MsgBox(0, Text("Caption"), text, flags | kMbSetForeground);
}

void Uninstaller::Skip(const std::string& what) {
  skipped_.push_back(what);
  RunLog("skipped", what);
}

void Uninstaller::Progress(int percent, const std::string& text) {
  RunLog("step", text);
  progress_.Step(percent, text);
}

std::vector<LogEntry> Uninstaller::Records(const char* section) const {
  const LogSection* s = log_.Find(section);
  return s ? s->entries : std::vector<LogEntry>{};
}

bool Uninstaller::IsUninstallKey(const std::string& key) const {
  return !uninstallKey_.empty() && SameText(ExcludeTrailingBackslash(key), uninstallKey_);
}

bool Uninstaller::IsOwnFile(const std::string& path) const {
  Host& h = CurrentHost();
  return SameText(h.FullPath(path), h.FullPath(options_.logPath)) || SameText(path, program_);
}

int Uninstaller::Run() {
  Host& host = CurrentHost();
  options_.logPath = host.FullPath(options_.logPath);
  RunLog("start", "uninstall log " + LogQuote(options_.logPath));
  std::string bytes;
  if (!FileExists(options_.logPath) || !ReadWholeFile(options_.logPath, bytes)) {
    std::string text = FormatMessage1(Text("Missing"), options_.logPath);
    RunLog("end", text);
    if (!options_.silent) Box(text, kMbOk | kMbIconError);
    return kUninstallNotDone;
  }
  log_ = ParseUninstallLog(bytes);
  if (!log_.HasUninstallSections()) {
    std::string text = "\"" + options_.logPath + "\" is not an uninstall log.";
    RunLog("end", text);
    if (!options_.silent) Box(text, kMbOk | kMbIconError);
    return kUninstallNotDone;
  }
  logFolder_ = ExtractFilePath(options_.logPath);
  program_ = host.ExecutablePath();

  appId_ = log_.Value("Strings", "AppID");
  if (!appId_.empty() && appId_.find_first_of("\\*?\"") == std::string::npos) {
    for (const char* root : {"HKLM", "HKCU"}) {
      std::string key = root + std::string(kUninstallKeyTail) + appId_;
      if (RegKeyExists(key)) {
        uninstallKey_ = key;
        break;
      }
    }
    if (uninstallKey_.empty()) uninstallKey_ = "HKLM" + std::string(kUninstallKeyTail) + appId_;
  }
  productName_ = uninstallKey_.empty() ? "" : RegReadText(uninstallKey_, "DisplayName", "");
  if (productName_.empty()) productName_ = appId_.empty() ? ExtractFileName(options_.logPath) : appId_;

  std::string admin = log_.Value("Strings", "AdminRights");
  if ((admin == "1" || SameText(admin, "true")) && !IsAdministrator()) {
    std::string text = FormatMessage1(Text("AdminRights"), productName_);
    RunLog("end", text);
    if (!options_.silent) Box(text, kMbOk | kMbIconError);
    return kUninstallNotDone;
  }
  if (!options_.silent && Box(FormatMessage1(Text("Confirm"), productName_), kMbYesNo | kMbIconQuestion) != kIdYes) {
    RunLog("end", "declined");
    return kUninstallNotDone;
  }

  progress_.Begin(Text("Caption"));
  for (const LogEntry& e : Records("SharedFiles")) sharedFiles_.push_back(UpperCase(e.key));
  host.LoadProtectedFileQuery();

  Progress(5, "Running programs");
  if (!RunPrograms("PreRunApp", true)) {
    progress_.End();
    host.FreeProtectedFileQuery();
    return kUninstallNotDone;
  }
  Progress(15, "Removing shortcuts");
  RemoveShortcuts();
  Progress(25, "Unregistering servers");
  UnregisterServers();
  Progress(30, "Removing fonts");
  RemoveFonts();
  Progress(35, "Removing assemblies");
  RemoveAssemblies();
  Progress(40, "Releasing shared files");
  ReleaseSharedFiles();
  Progress(50, "Removing files");
  DeleteFiles();
  Progress(65, "Removing registry values");
  DeleteRegistryValues();
  Progress(70, "Removing INI entries");
  DeleteIniEntries();
  Progress(75, "Restoring environment variables");
  UndoEnvironment();
  Progress(80, "Removing registry keys");
  DeleteKeys();
  Progress(85, "Removing folders");
  RemoveFolders();
  Progress(90, "Running programs");
  RunPrograms("RunApp", false);
  Progress(95, "Removing the registration");
  RemoveRegistration();
  RemoveUninstaller();
  IniFlush();
  Progress(100, "Done");
  progress_.End();
  host.FreeProtectedFileQuery();

  for (const std::string& s : skipped_) RunLog("left", s);
  if (!options_.silent) {
    if (!skipped_.empty()) {
      std::string list;
      for (size_t i = 0; i < skipped_.size() && i < 30; ++i) list += "\r\n" + skipped_[i];
      if (skipped_.size() > 30) list += Format("\r\n(and %u more)", unsigned(skipped_.size() - 30));
      Box(Text("Skipped") + list, kMbOk | kMbIconWarning);
    } else if (!restartNeeded_) {
      Box(FormatMessage1(Text("Done"), productName_), kMbOk | kMbIconInformation);
    }
    if (restartNeeded_ && Box(Text("Restart"), kMbYesNo | kMbIconQuestion | kMbDefButton2) == kIdYes)
      RestartWindows(false);
  }
  RunLog("end", skipped_.empty() ? "removed" : Format("removed; %u items left", unsigned(skipped_.size())));
  return skipped_.empty() ? kUninstallDone : kUninstallPartly;
}

// --- Programs ---------------------------------------------------------------------------------

bool Uninstaller::RunPrograms(const char* section, bool stopOnFailure) {
  std::vector<LogEntry> records = Records(section);
  // In their number order, as they were recorded.
  std::stable_sort(records.begin(), records.end(), [](const LogEntry& a, const LogEntry& b) {
    int32_t x = 0, y = 0;
    bool nx = ParseDecimal32(a.key, x), ny = ParseDecimal32(b.key, y);
    if (nx != ny) return nx;
    return nx && x < y;
  });
  Host& h = CurrentHost();
  for (const LogEntry& e : records) {
    ProgramRecord p;
    if (!ParseProgramRecord(e.value, p)) {
      Skip(Format("[%s] %s: malformed record", section, e.key.c_str()));
      continue;
    }
    std::string command = RemoveQuotes(Trim(p.command));
    std::string folder = Trim(p.folder).empty() ? ExtractFileDir(command) : RemoveQuotes(Trim(p.folder));
    if (!p.message.empty() && !options_.silent) Box(p.message, kMbOk | kMbIconInformation);
    int show = ShowCommandOf(p.window);
    int code = 0;
    bool started;
    if (p.wait) {
      code = RunAndWait(0, command, p.arguments, show, folder);
      started = code != -1;
    } else {
      HandleValue process = h.ShellOpen(0, command, p.arguments, folder, show);
      started = process != 0;
      if (process) h.CloseHandle(process);
    }
    RunLog("program", Format("%s %s: %s", LogQuote(command).c_str(), LogQuote(p.arguments).c_str(),
                             started ? Format("exit code %d", code).c_str() : "cannot be started"));
    bool failed = !started || (p.wait && p.checkExitCode && code != 0);
    if (!failed) continue;
    std::string why = started ? Format("ended with the exit code %d", code) : std::string("cannot be started");
    if (stopOnFailure && p.checkExitCode) {
      std::string text = "\"" + command + "\" " + why + ". Nothing has been removed.";
      RunLog("end", text);
      if (!options_.silent) Box(text, kMbOk | kMbIconError);
      return false;
    }
    Skip(command + ": " + why);
  }
  return true;
}

// --- Files ------------------------------------------------------------------------------------

bool Uninstaller::DeleteNamedFile(const std::string& path, const char* section) {
  Host& h = CurrentHost();
  if (!IsPlainAbsolutePath(path)) {
    Skip(Format("[%s] %s: not a full path of a file", section, path.c_str()));
    return false;
  }
  uint32_t attrs = h.GetAttributes(path);
  if (attrs == kInvalidAttributes) return true;  // gone already
  if (attrs & kAttrDirectory) {
    Skip(path + ": a folder, not a file");
    return false;
  }
  if (h.IsProtectedFile(path)) {
    Skip(path + ": protected by the system");
    return false;
  }
  if (DeleteFileForced(path)) {
    RunLog("removed", path);
    return true;
  }
  if (DeleteFileAtReboot(path)) {
    restartNeeded_ = true;
    RunLog("removed", path + " at the next restart");
    return true;
  }
  Skip(Format("%s: cannot be deleted (error %u)", path.c_str(), h.LastError()));
  return false;
}

void Uninstaller::RemoveShortcuts() {
  bool any = false;
  for (const LogEntry& e : Records("Shortcuts")) {
    std::string ext = LowerCase(ExtractFileExt(e.key));
    if (ext != ".lnk" && ext != ".pif" && ext != ".url") {
      Skip("[Shortcuts] " + e.key + ": not a shortcut");
      continue;
    }
    if (DeleteNamedFile(e.key, "Shortcuts")) any = true;
    std::string pif = ChangeFileExt(e.key, ".pif");
    if (!SameText(pif, e.key) && FileExists(pif)) DeleteNamedFile(pif, "Shortcuts");
    CurrentHost().NotifyShellItemChanged(e.key);
  }
  (void)any;
}

void Uninstaller::UnregisterServers() {
  Host& h = CurrentHost();
  for (const LogEntry& e : Records("RegServers")) {
    const std::string& path = e.key;
    if (!IsPlainAbsolutePath(path)) {
      Skip("[RegServers] " + path + ": not a full path of a file");
      continue;
    }
    if (!FileExists(path)) continue;
    int32_t hresult = 0;
    ServerEntryCall call = h.CallServerEntry(path, "DllRegisterServer", "DllUnregisterServer", hresult);
    bool done = call == ServerEntryCall::Called && hresult >= 0;
    if (!done && SameText(ExtractFileExt(path), ".exe"))
      done = h.WinExecCommand("\"" + path + "\" /UNREGSERVER", kSwHide) > 31;
    int32_t libResult = 0;
    if (HandleValue lib = h.LoadTypeLibrary(path, libResult)) {
      if (h.UnregisterTypeLibrary(lib) >= 0) done = true;
      h.ReleaseTypeLibrary(lib);
    }
    RunLog("unregistered", path + (done ? ": done" : ": nothing to unregister"));
  }
}

void Uninstaller::RemoveFonts() {
  Host& h = CurrentHost();
  std::string key = FontsKey();
  bool changed = false;
  for (const LogEntry& e : Records("RegFonts")) {
    std::string path = e.value;
    if (e.key.empty() || !IsPlainAbsolutePath(path)) {
      Skip("[RegFonts] " + e.key + ": malformed record");
      continue;
    }
    while (h.RemoveFontFile(path)) changed = true;
    if (RegValueExists(key, e.key)) {
      // Only the value that names this font file.
      std::string data = RegReadText(key, e.key, "");
      if (SameText(data, path) || SameText(data, ExtractFileName(path))) RegRemoveValue(key, e.key);
      else Skip("font " + e.key + ": its value names another file");
    }
    if (FileExists(path)) DeleteNamedFile(path, "RegFonts");
    changed = true;
  }
  if (changed) h.BroadcastFontChange(kBroadcastTimeoutMs);
}

void Uninstaller::RemoveAssemblies() {
  std::vector<LogEntry> records = Records("SharedAssemblies");
  if (records.empty()) return;
  std::string tool = logFolder_ + "gacutil.exe";
  if (!FileExists(tool)) tool = ExtractFilePath(program_) + "gacutil.exe";
  for (const LogEntry& e : records) {
    std::string assembly, reference;
    if (!ParseAssemblyRecord(e.value, assembly, reference)) {
      Skip("[SharedAssemblies] " + e.key + ": malformed record");
      continue;
    }
    if (!FileExists(tool)) {
      Skip("assembly " + assembly + ": no gacutil.exe to remove it with");
      continue;
    }
    int code = RunAndWait(0, tool, "/ur \"" + assembly + "\" " + reference, kSwHide, ExtractFileDir(tool));
    if (code != 0) Skip(Format("assembly %s: gacutil.exe ended with %d", assembly.c_str(), code));
  }
}

void Uninstaller::ReleaseSharedFiles() {
  for (const LogEntry& e : Records("SharedFiles")) {
    const std::string& path = e.key;
    if (!IsPlainAbsolutePath(path)) {
      Skip("[SharedFiles] " + path + ": not a full path of a file");
      continue;
    }
    uint32_t type = 0;
    std::string data;
    if (!RegReadRaw(kSharedDlls, path, type, data)) {
      // Released already (a second run), or never counted: its owners are
      // unknown, so the file stays unless it is gone anyway.
      if (FileExists(path) && !IsOwnFile(path)) Skip(path + ": shared, but without a count");
      continue;
    }
    uint32_t count = RegReadDword(kSharedDlls, path, 1);
    if (count > 1) {
      RegWriteDword(kSharedDlls, path, count - 1);
      RunLog("shared", Format("%s: count %u", path.c_str(), count - 1));
      continue;
    }
    RegRemoveValue(kSharedDlls, path);
    // The uninstaller removes itself last.
    if (SameText(path, program_)) continue;
    DeleteNamedFile(path, "SharedFiles");
  }
}

void Uninstaller::DeleteFiles() {
  for (const LogEntry& e : Records("CopyFiles")) {
    if (std::find(sharedFiles_.begin(), sharedFiles_.end(), UpperCase(e.key)) != sharedFiles_.end()) continue;
    if (IsOwnFile(e.key)) continue;
    DeleteNamedFile(e.key, "CopyFiles");
  }
}

// --- Settings ---------------------------------------------------------------------------------

void Uninstaller::DeleteRegistryValues() {
  for (const LogEntry& e : Records("AddReg")) {
    std::string key, name;
    RegKey root = 0;
    std::string sub;
    if (ParseRegRecord(e.key, key, name)) SplitRegPath(key, root, sub);
    if (!root || key.find('\\') == std::string::npos) {
      Skip("[AddReg] " + e.key + ": malformed record");
      continue;
    }
    if (IsUninstallKey(key)) continue;  // goes last, with its key
    if (RegValueExists(key, name)) RegRemoveValue(key, name);
  }
}

void Uninstaller::DeleteIniEntries() {
  Host& h = CurrentHost();
  for (const LogEntry& e : Records("AddIni")) {
    std::string file, section, key;
    if (!ParseIniRecord(e.key, file, section, key) || !IsPlainAbsolutePath(file) || section.empty()) {
      Skip("[AddIni] " + e.key + ": malformed record");
      continue;
    }
    // A file that is gone is not made again.
    if (!FileExists(file)) continue;
    h.ProfileWrite(file, section, key, std::nullopt);
    std::string keys = h.ProfileRead(file, section, std::nullopt, "", 4096);
    if (keys.empty() || keys[0] == '\0') h.ProfileWrite(file, section, std::nullopt, std::nullopt);
  }
}

void Uninstaller::UndoEnvironment() {
  bool changed = false;
  for (const LogEntry& e : Records("EnvVars")) {
    bool system = false;
    std::string added;
    if (e.key.empty() || e.key.find('=') != std::string::npos || !ParseEnvVarRecord(e.value, system, added)) {
      Skip("[EnvVars] " + e.key + ": malformed record");
      continue;
    }
    std::string stored = GetStoredEnvVar(e.key, system);
    std::string fresh;
    if (!Trim(added).empty()) {
      std::vector<std::string> remove = SplitPathList(added);
      for (const std::string& entry : SplitString(stored, ';')) {
        bool ours = false;
        for (const std::string& r : remove) ours = ours || SamePathEntry(entry, r);
        if (ours || Trim(entry).empty()) continue;
        fresh += (fresh.empty() ? "" : ";") + entry;
      }
      if (fresh == stored) continue;
    } else if (stored.empty()) {
      continue;
    }
    try {
      if (SetEnvVar(e.key, fresh, system)) changed = true;
      else Skip("environment variable " + e.key + ": cannot be written");
    } catch (const std::exception& x) {
      Skip("environment variable " + e.key + ": " + x.what());
    }
  }
  if (changed) CurrentHost().BroadcastSettingChange("Environment", kBroadcastTimeoutMs);
}

void Uninstaller::DeleteKeys() {
  std::vector<LogEntry> records = Records("CreateKeys");
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const std::string& key = it->key;
    if (IsUninstallKey(key)) continue;  // goes last
    if (!IsRemovableKeyPath(key)) {
      Skip(key + ": a key of the system");
      continue;
    }
    if (!RegKeyExists(key)) continue;
    if (!KeyIsEmpty(key)) {
      Skip(key + ": not empty");
      continue;
    }
    if (!RegRemoveKey(key, false)) Skip(key + ": cannot be deleted");
  }
}

void Uninstaller::RemoveFolders() {
  std::vector<LogEntry> records = Records("CreateDirs");
  std::string ownFolder = UpperCase(ExcludeTrailingBackslash(ExtractFilePath(program_)));
  std::string logFolder = UpperCase(ExcludeTrailingBackslash(logFolder_));
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    std::string folder = ExcludeTrailingBackslash(it->key);
    if (!IsPlainAbsolutePath(folder)) {
      Skip("[CreateDirs] " + it->key + ": not a full path of a folder");
      continue;
    }
    if (IsSystemFolder(folder)) {
      Skip(folder + ": a folder of the system");
      continue;
    }
    if (!FolderExists(folder)) continue;
    std::string upper = UpperCase(folder);
    bool holdsOwn = upper == ownFolder || StartsWithText(ownFolder, upper + "\\") || upper == logFolder ||
                    StartsWithText(logFolder, upper + "\\");
    if (holdsOwn) {
      deferredFolders_.push_back(folder);
      continue;
    }
    if (!FolderIsEmpty(folder)) {
      Skip(folder + ": not empty");
      continue;
    }
    if (!CurrentHost().RemoveFolder(folder)) Skip(folder + ": cannot be removed");
  }
}

// --- The end ----------------------------------------------------------------------------------

void Uninstaller::RemoveRegistration() {
  bool named = false;
  for (const LogEntry& e : Records("CreateKeys")) named = named || IsUninstallKey(e.key);
  std::string settings;
  if (named && RegKeyExists(uninstallKey_)) {
    settings = RegReadText(uninstallKey_, "SilentSettings", "");
    std::vector<std::string> subKeys;
    RegListSubKeys(uninstallKey_, subKeys);
    if (!subKeys.empty()) {
      Skip(uninstallKey_ + ": not empty");
    } else {
      for (const std::string& name : KeyValueNames(uninstallKey_)) RegRemoveValue(uninstallKey_, name);
      if (!RegRemoveKey(uninstallKey_, false)) Skip(uninstallKey_ + ": cannot be deleted");
    }
  }
  // The silent settings of a repair lie beside the log.
  std::string sss = ChangeFileExt(options_.logPath, ".sss");
  if (SameText(settings, sss) || (settings.empty() && FileExists(sss))) DeleteNamedFile(sss, "Strings");
  IniRelease(options_.logPath);
  DeleteNamedFile(options_.logPath, "Strings");
}

void Uninstaller::RemoveUninstaller() {
  // Only the uninstaller of this installation removes itself: the one in
  // the log's folder, or one the log names.
  bool own = SameText(ExtractFilePath(program_), logFolder_);
  for (const char* section : {"CopyFiles", "SharedFiles"})
    for (const LogEntry& e : Records(section)) own = own || SameText(e.key, program_);
  if (!own) {
    // Folders still held by the log's folder go now, when empty.
    for (const std::string& f : deferredFolders_)
      if (FolderIsEmpty(f)) CurrentHost().RemoveFolder(f);
    return;
  }
  // A count another product still holds keeps the uninstaller.
  uint32_t type = 0;
  std::string data;
  if (RegReadRaw(kSharedDlls, program_, type, data) && RegReadDword(kSharedDlls, program_, 1) > 0) return;
  std::string ownFolder = ExcludeTrailingBackslash(ExtractFilePath(program_));
  bool removeOwn = false;
  std::vector<std::string> more;
  for (const std::string& f : deferredFolders_) {
    if (SameText(f, ownFolder)) removeOwn = true;
    else more.push_back(f);
  }
  selfDelete_ = StartSelfDeleteBatch(removeOwn, more);
  RunLog("self-delete", selfDelete_ ? "started" : "cannot be started");
  if (!selfDelete_) {
    if (DeleteFileAtReboot(program_)) restartNeeded_ = true;
    else Skip(program_ + ": cannot be deleted");
  }
}

}  // namespace vx
