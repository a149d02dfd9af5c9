// Registration of COM servers, type libraries and fonts, and the programs
// of the project: the phases of the install driver that work on files the
// file phase has put in place, and the program step of every moment.
#include <cstdlib>
#include <string>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "install/Actions.h"
#include "install/Install.h"
#include "install/UninstallLog.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

constexpr uint32_t kBroadcastTimeoutMs = 1000;
constexpr int kSwShowMinNoActive = 7;
constexpr uint32_t kWinExecStarted = 31;  // WinExec: greater means started

void Step(const std::string& text) { RunLog("install", text); }

// The key of the installed fonts of the running system.
std::string FontsKey() {
  return CurrentHost().Version().platform == kPlatformNT
             ? "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\"
             : "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts\\";
}

uint32_t Le32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

enum class ImageKind { Unreadable, Win32Image, Other };

// Whether the file is a Win32 image: "MZ", a non-zero offset at 60 that
// lies inside the file, and "PE\0\0" there.
ImageKind ExamineImage(const std::string& path) {
  auto file = CurrentHost().OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite);
  if (!file) return ImageKind::Unreadable;
  std::string header(64, '\0');
  size_t done = 0;
  if (!file->Read(header.data(), header.size(), done) || done < header.size()) return ImageKind::Other;
  if (header[0] != 'M' || header[1] != 'Z') return ImageKind::Other;
  uint32_t offset = Le32(header, 60);
  if (offset == 0 || int64_t(offset) >= file->Size() || !file->Seek(offset, 0)) return ImageKind::Other;
  std::string signature(4, '\0');
  if (!file->Read(signature.data(), signature.size(), done) || done < signature.size()) return ImageKind::Other;
  return Le32(signature, 0) == 0x4550 ? ImageKind::Win32Image : ImageKind::Other;
}

// Registers (or unregisters) a server and the type library it holds.
bool ChangeServerRegistration(const std::string& path, bool add) {
  Host& host = CurrentHost();
  ImageKind kind = ExamineImage(path);
  if (kind == ImageKind::Unreadable) {
    Step((add ? "cannot open the server " : "cannot open the server to unregister ") + LogQuote(path));
    return false;
  }
  bool program = SameText(ExtractFileExt(path), ".exe");
  bool server = false;
  if (kind == ImageKind::Win32Image) {
    int32_t hresult = kEFail;
    ServerEntryCall call =
        host.CallServerEntry(path, "DllRegisterServer", add ? "DllRegisterServer" : "DllUnregisterServer", hresult);
    if (call == ServerEntryCall::NotLoaded) {
      Step("cannot load the server " + LogQuote(path));
      return false;
    }
    server = call == ServerEntryCall::Called && hresult >= 0;
    if (!server && program) {
      // A local server registers itself when started with the switch. The
      // path is quoted: unquoted, a path with blanks would start whatever
      // program its first word names.
      std::string command = "\"" + path + "\"" + (add ? " /REGSERVER" : " /UNREGSERVER");
      server = host.WinExecCommand(command, kSwHide) > kWinExecStarted;
    }
    Step(Format("%s %s: %s", add ? "server" : "server removal", LogQuote(path).c_str(),
                server ? "done" : call == ServerEntryCall::Called ? Format("0x%08X", uint32_t(hresult)).c_str()
                                                                  : "no entry point"));
  }

  bool library = false;
  int32_t hresult = 0;
  if (HandleValue typeLib = host.LoadTypeLibrary(path, hresult)) {
    if (add) {
      std::string help = host.TypeLibraryHelpFile(typeLib);
      std::string helpFolder = ExtractFilePath(help).empty() ? "" : ExtractFileDir(help);
      library = host.RegisterTypeLibrary(typeLib, path, helpFolder) >= 0;
    } else {
      library = host.UnregisterTypeLibrary(typeLib) >= 0;
    }
    host.ReleaseTypeLibrary(typeLib);
    Step(Format("type library %s%s: %s", add ? "" : "removal ", LogQuote(path).c_str(), library ? "done" : "failed"));
  }
  return server || library;
}

// The name a font file takes when another file holds its name: the name
// cut so that it and a number keep eight characters, the number from 2 on,
// the extension kept; past 99999 a unique name.
std::string NumberedFontPath(const std::string& destination) {
  std::string folder = ExtractFilePath(destination);
  std::string ext = ExtractFileExt(destination);
  std::string base = ExtractFileName(destination);
  base.resize(base.size() - ext.size());
  for (int n = 2; n <= 99999; ++n) {
    std::string number = std::to_string(n);
    size_t keep = number.size() >= 8 ? 0 : 8 - number.size();
    std::string candidate = folder + base.substr(0, std::min(base.size(), keep)) + number + ext;
    if (!PathExists(candidate)) return candidate;
  }
  return folder + UniqueName(folder, "", ext);
}

// The window of a program as the system is told: minimised without taking
// the focus, maximised, hidden or normal.
int ShowCommand(TvxShowCmd show) {
  switch (show) {
    case TvxShowCmd::scMin: return kSwShowMinNoActive;
    case TvxShowCmd::scMax: return kSwShowMaximized;
    case TvxShowCmd::scHide: return kSwHide;
    default: return kSwShowNormal;
  }
}

// The codes of a program event.
int EventShowCode(TvxShowCmd show) {
  switch (show) {
    case TvxShowCmd::scMin: return 1;
    case TvxShowCmd::scMax: return 2;
    case TvxShowCmd::scHide: return 3;
    default: return 0;
  }
}

int EventMoment(TvxWhenStart when) {
  switch (when) {
    case TvxWhenStart::after_install: return 1;
    case TvxWhenStart::before_install: return 0;
    case TvxWhenStart::before_uninstall: return 2;
    case TvxWhenStart::after_uninstall: return 3;
    default: return 4;
  }
}

TvxInstallState RunningState(TvxWhenStart when) {
  switch (when) {
    case TvxWhenStart::after_install: return TvxInstallState::isRunAppAfterInstall;
    case TvxWhenStart::before_install: return TvxInstallState::isRunAppBeforeInstall;
    default: return TvxInstallState::isRunAppBeforeDialogs;
  }
}

// A folder window the program opened needs a moment to appear before the
// next program starts; messages keep being dispatched meanwhile.
void WaitForFolderWindow() {
  Host& host = CurrentHost();
  uint32_t start = host.TickCount();
  while (host.TickCount() - start < 500) PumpMessages();
}

}  // namespace

// --- Servers ----------------------------------------------------------------------------

bool RegisterServer(const std::string& path) { return ChangeServerRegistration(path, true); }

bool UnregisterServer(const std::string& path) { return ChangeServerRegistration(path, false); }

bool RegisterServers(InstallRun& run) {
  // Only the files recorded before the phase: the phase itself adds none.
  int count = run.actions.Count();
  for (int i = 0; i < count; ++i) {
    auto* file = dynamic_cast<TInstallFile*>(&run.actions[i]);
    if (!file || !file->Flags.Contains(TvxFlag::reg_server)) continue;
    if (run.Aborted()) return false;
    std::string path = file->FileName;
    if (run.events.SkipServer(path)) continue;
    if (!RegisterServer(path)) {
      run.Error(Format("Cannot register \"%s\".", path.c_str()));
      return false;
    }
    run.events.ServerDone(path);
  }
  return true;
}

// --- Fonts ------------------------------------------------------------------------------

bool InstallFonts(InstallRun& run) {
  // The fonts the file phase wrote aside; InstallFont records new actions
  // of the same kind, which are not installed a second time.
  int count = run.actions.Count();
  for (int i = 0; i < count; ++i) {
    auto* file = dynamic_cast<TInstallFile*>(&run.actions[i]);
    if (!file || !file->Flags.Contains(TvxFlag::reg_font) || file->FontName.empty()) continue;
    if (run.Aborted()) return false;
    if (run.events.SkipFont()) continue;
    // Copies: InstallFont appends to the list that holds `file`.
    std::string fontName = file->FontName, tmpFile = file->TmpFileName, destination = file->FileName;
    TvxFlags flags = file->Flags;
    if (!InstallFont(run, fontName, tmpFile, destination, flags)) {
      run.Error(Format("Cannot register font \"%s\".", fontName.c_str()));
      return false;
    }
    // The action InstallFont recorded carries the font's log records.
    run.actions[i].Log = false;
    run.events.FontDone();
  }
  return true;
}

bool InstallFont(InstallRun& run, const std::string& fontName, const std::string& tmpFile,
                 const std::string& destinationIn, TvxFlags flags) {
  if (fontName.empty()) return false;
  std::string key = FontsKey();
  std::string fontsFolder = IncludeTrailingBackslash(GetVariable(&run.db, "Fonts"));
  std::string name = fontName, destination = destinationIn;

  // Registered already: the file it names is the one to update.
  auto lookUp = [&] {
    if (!RegValueExists(key, name)) return false;
    std::string data = RegReadText(key, name, "");
    destination = ExtractFilePath(data).empty() ? fontsFolder + data : data;
    return true;
  };
  bool registered = lookUp();
  if (!registered && SameText(ExtractFileExt(destination), ".ttf")) {
    name += " (TrueType)";
    registered = lookUp();
  }
  // Another font holds the file name.
  if (!registered && PathExists(destination)) destination = NumberedFontPath(destination);

  if (FileExists(destination)) {
    if (flags.Contains(TvxFlag::dont_overwrite)) return true;
    if (!flags.Contains(TvxFlag::no_version)) {
      double date = FileDate(tmpFile);
      if (IsDestNewer("", destination, date)) return true;
      if (IsSameVersion("", destination, date) && FileSize(destination) == FileSize(tmpFile) && !run.state.repair)
        return true;
    }
  }

  TvxFlags kept;
  if (flags.Contains(TvxFlag::dont_log)) kept.Include(TvxFlag::dont_log);
  kept.Include(TvxFlag::reg_font);
  TInstallFile* action = run.actions.AddFile(destination, kept, true);
  action->FontName = name;
  if (run.actions.Failed()) return false;
  std::string target = action->PendingReplace ? action->TmpFileName : destination;
  if (target.empty()) return false;
  Host& host = CurrentHost();
  if (!CopyFileChunked(tmpFile, target)) {
    Step("cannot copy the font " + LogQuote(tmpFile) + " to " + LogQuote(target));
    return false;
  }
  if (!host.AddFontFile(destination)) {
    Step("the font table refuses " + LogQuote(destination));
    return false;
  }
  std::string data = SameText(ExtractFilePath(destination), fontsFolder) ? ExtractFileName(destination) : destination;
  // A font that is not in the Fonts key is gone at the next start of
  // Windows: a value that cannot be written fails the font.
  if (!RegWriteString(key, name, data)) {
    Step("cannot write the font value " + LogQuote(name));
    return false;
  }
  host.BroadcastFontChange(kBroadcastTimeoutMs);
  Step("font " + LogQuote(name) + " = " + LogQuote(data));
  return true;
}

// --- Programs -----------------------------------------------------------------------------

bool RunPrograms(InstallRun& run, TvxComponent& component, int moment) {
  TvxMainDatabase& db = run.db;
  TvxWhenStart when = TvxWhenStart(moment);
  if (!component.RunApps) return true;
  TvxRunApps& apps = *component.RunApps;

  // A run resumed after a restart that a program caused goes on behind
  // that program; the components before its own ran already.
  int first = 0;
  if (!db.InstallStateData.empty()) {
    const std::string& data = db.InstallStateData;
    size_t comma = data.rfind(',');
    if (data.substr(0, comma) != component.ID()) return true;
    first = comma == std::string::npos ? 0 : int(std::strtol(data.c_str() + comma + 1, nullptr, 10)) + 1;
    db.InstallStateData.clear();
  }

  bool uninstallTime = when == TvxWhenStart::before_uninstall || when == TvxWhenStart::after_uninstall;
  for (int i = std::max(first, 0); i < apps.Count(); ++i) {
    TvxRunApp& app = apps[i];
    if (app.WhenStart != when || !IsAvailable(&app)) continue;
    if (run.Aborted()) return false;
    TXMLObject* owner = OwningDatabase(&app);
    ProgramItemEvent event;
    event.commandLine = ExpandString(owner, app.CmdLine);
    event.arguments = ExpandString(owner, app.Arg);
    event.workingFolder = ExpandString(owner, app.WorkDir);
    event.message = ExpandString(owner, app.Msg);
    event.showCode = EventShowCode(app.ShowCmd);
    event.moment = EventMoment(when);
    if (run.events.SkipProgram(event)) continue;

    if (uninstallTime) {
      run.log.WriteProgram(when == TvxWhenStart::after_uninstall,
                           ProgramRecord(event.commandLine, event.arguments, event.workingFolder, app.ShowCmd,
                                         event.message, app.Flags));
    } else {
      // A restart while the program runs resumes behind it.
      db.InstallState = RunningState(when);
      db.InstallStateData = Format("%s,%d", component.ID().c_str(), i);
      int show = ShowCommand(app.ShowCmd);
      Host& host = CurrentHost();
      if (app.Flags.Contains(TvxFlag::dont_wait)) {
        HandleValue process = host.ShellOpen(run.state.mainWindow, event.commandLine, event.arguments,
                                             event.workingFolder, show);
        Step("started " + LogQuote(event.commandLine) + (process ? "" : " (failed)"));
        if (process) host.CloseHandle(process);
      } else {
        Step("running " + LogQuote(event.commandLine) + " " + LogQuote(event.arguments));
        int code = RunAndWait(run.state.mainWindow, event.commandLine, event.arguments, show, event.workingFolder,
                              [&run] { return run.Aborted() || run.state.windowsShuttingDown; });
        Step(Format("exit code %d", code));
        if (run.Aborted() && !run.state.suspended) {
          // The user gave up while the program ran: it runs on, the
          // installation is undone.
          db.InstallState = TvxInstallState::isUnknown;
          db.InstallStateData.clear();
          return false;
        }
        if (app.Flags.Contains(TvxFlag::check_exitcode) && code != 0) {
          if (!run.state.suspended) {
            db.InstallState = TvxInstallState::isUnknown;
            db.InstallStateData.clear();
          }
          run.Error(code == -1 ? Format("Cannot run \"%s\".", event.commandLine.c_str())
                               : Format("\"%s\" ended with the exit code %d.", event.commandLine.c_str(), code));
          return false;
        }
      }
    }
    if (run.state.suspended) return true;
    db.InstallState = TvxInstallState::isUnknown;
    db.InstallStateData.clear();
    if (!uninstallTime && FolderExists(RemoveQuotes(Trim(event.commandLine)))) WaitForFolderWindow();
    run.events.ProgramDone(event);
  }
  return true;
}

bool RunProgramPhase(InstallRun& run, int moment) {
  return ForEachComponent(
      run, [&run, moment](TvxPackage*, TvxComponent& component) { return RunPrograms(run, component, moment); },
      TvxWhenStart(moment) == TvxWhenStart::before_dialogs);
}

}  // namespace vx
