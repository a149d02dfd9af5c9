// The shortcut step of the install driver: the shortcuts of a component
// written or removed as shell links (.lnk files).
//
// A link file is treated like an installed file: the file action recorded
// before the change backs up a link that is there and deletes it, so that
// rollback puts the old link back or removes the new one. The folders that
// hold links (program groups) are created and recorded like any other, and
// the link itself gets a record of its own for the uninstall log.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "install/Actions.h"
#include "install/Install.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqShellLink.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

constexpr size_t kMaxPath = 260;

void Note(const std::string& text) { RunLog("shortcut", text); }

std::string RemoveQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

// The item's strings, expanded, as the user interface is told about them.
ShortcutItemEvent Expanded(TvxShortcut& item) {
  TXMLObject* db = OwningDatabase(&item);
  ShortcutItemEvent e;
  e.name = ExpandString(db, item.Name);
  e.commandLine = ExpandString(db, item.CmdLine);
  e.arguments = ExpandString(db, item.Arg);
  e.workingFolder = ExpandString(db, item.WorkDir);
  e.iconFile = ExpandString(db, item.IconFile);
  e.description = ExpandString(db, item.Description);
  e.showCode = item.ShowCmd == TvxShowCmd::scMin ? 1 : item.ShowCmd == TvxShowCmd::scMax ? 2 : 0;
  e.iconIndex = item.Icon;
  e.hotkey = item.Hotkey;
  e.removal = item.Action == TvxInstallAction::remove;
  return e;
}

// The link file of a shortcut name. The link is saved without double
// quotes in its path, so the file that is looked at, backed up and
// recorded is that same file. Forward slashes and doubled backslashes
// ("%Programs%\\App" of a folder variable that ends with one) are one
// backslash to Windows and are written so, so that the folders of the link
// are recorded as Windows names them. The two of a UNC path stay.
std::string LinkPath(const std::string& name) {
  std::string path = RemoveQuotes(name) + ".lnk";
  std::replace(path.begin(), path.end(), '/', '\\');
  std::string out;
  for (size_t i = 0; i < path.size(); ++i)
    if (!(path[i] == '\\' && i > 1 && path[i - 1] == '\\')) out += path[i];
  return out;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9: devices, whatever extension follows.
bool IsDeviceName(const std::string& part) {
  std::string base = UpperCase(TrimRight(part.substr(0, part.find('.'))));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CLOCK$") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

bool IsValidNamePart(const std::string& part) {
  if (part.empty() || part == "." || part == ".." || IsDeviceName(part)) return false;
  for (char c : part)
    if (static_cast<unsigned char>(c) < 32 || std::string("<>:\"/|?*").find(c) != std::string::npos) return false;
  return true;
}

// A link file the step may write or remove: a full path (a drive and its
// root, or a UNC share) of a name Windows can create, in a folder named
// without "." or ".." steps, whose name is more than its extension. Names
// that a variable left empty or relative would otherwise land wherever the
// current folder happens to be.
bool IsValidLinkPath(const std::string& link) {
  if (link.size() >= kMaxPath) return false;
  const std::string& path = link;
  std::string rest;
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\') {
    rest = path.substr(3);
  } else if (path.compare(0, 2, "\\\\") == 0) {
    std::vector<std::string> unc = SplitString(path.substr(2), '\\');
    if (unc.size() < 3 || !IsValidNamePart(unc[0]) || !IsValidNamePart(unc[1])) return false;
    rest = path.substr(2 + unc[0].size() + 1 + unc[1].size() + 1);
  } else {
    return false;
  }
  std::vector<std::string> parts = SplitString(rest, '\\');
  for (const std::string& part : parts)
    if (!IsValidNamePart(part)) return false;
  // The name without ".lnk" must name something: Windows drops trailing
  // dots and blanks.
  std::string name = parts.back().substr(0, parts.back().size() - 4);
  return name.find_first_not_of(". ") != std::string::npos;
}

// A new link could not be saved: the link file is put back as it was
// before the step, and its file action has nothing left to undo. Without
// this a failed save would leave an installation that succeeds without
// the user's old link (backed up only into the run's temporary folder).
void KeepOldLink(TInstallFile& file, const std::string& link) {
  bool restored = true;
  if (file.PendingReplace) {
    // The old link never left; nothing may replace it at the restart.
    DeleteFileForced(file.TmpFileName);
    file.TmpFileName.clear();
    file.PendingReplace = false;
  } else if (file.Existed) {
    restored = !file.BackupFileName.empty() && CopyFileChunked(file.BackupFileName, link);
  } else if (FileExists(link)) {
    restored = DeleteFileForced(link);  // whatever part of a link the save left
  }
  // When the old link cannot be put back now, rollback still can.
  if (restored) file.DontRollback = true;
}

// Steps 4 to 7 for one shortcut whose link path is valid.
void Process(InstallRun& run, TvxShortcut& item, const ShortcutItemEvent& e, const std::string& link) {
  bool record = !item.Flags.Contains(TvxFlag::dont_log);
  if (!e.removal && !run.actions.ForceFolders(ExtractFilePath(link), record) && run.actions.Failed()) return;

  // The link is a file like any other for rollback: what is there now is
  // backed up and deleted before it is replaced or removed. The file action
  // itself writes no log record; the shortcut's own record does.
  TInstallFile* file = nullptr;
  if (!run.actions.FindFile(link)) {
    TvxFlags flags = item.Flags;
    flags.Include(TvxFlag::dont_log);
    file = run.actions.AddFile(link, flags, true);
    if (run.actions.Failed()) return;
  }

  if (e.removal) {
    if (file && file->PendingReplace) {
      // A link in use goes at the restart; the empty temporary file that
      // would take new content must not replace it.
      DeleteFileForced(file->TmpFileName);
      file->TmpFileName.clear();
    } else if (FileExists(link)) {
      DeleteFileForced(link);
    }
    Note("removed " + LogQuote(link));
    return;
  }

  TkqShellLink shellLink;
  shellLink.Target = e.commandLine;
  shellLink.Arguments = e.arguments;
  shellLink.WorkingFolder = e.workingFolder;
  shellLink.IconFile = e.iconFile;
  shellLink.IconIndex = e.iconIndex;
  shellLink.Hotkey = uint16_t(uint32_t(e.hotkey) & 0xFFFF);
  shellLink.ShowCode = uint8_t(e.showCode);
  shellLink.Description = e.description;
  // A link in use is replaced at the restart: the new link goes into the
  // temporary file that replaces it then.
  bool pending = file && file->PendingReplace && !file->TmpFileName.empty();
  if (shellLink.Save(pending ? file->TmpFileName : link)) {
    auto* shortcut = run.actions.AddAction<TInstallShortcut>();
    shortcut->LinkFile = link;
    shortcut->Flags = item.Flags;
    shortcut->Log = record;
    Note("written " + LogQuote(link) + (pending ? " (at the restart)" : ""));
    return;
  }
  Note("cannot write " + LogQuote(link));
  if (file) KeepOldLink(*file, link);
  run.Error(Format("Error creating shortcut \"%s\".", link.c_str()));
}

}  // namespace

bool InstallShortcuts(InstallRun& run, TvxComponent& component) {
  if (!component.Shortcuts) return true;
  TvxShortcuts& items = *component.Shortcuts;
  for (int i = 0; i < items.Count(); ++i) {
    if (run.Aborted()) return false;
    TvxShortcut& item = items[i];
    if (!IsAvailable(&item)) continue;
    ShortcutItemEvent e = Expanded(item);
    if (item.Flags.Contains(TvxFlag::dont_overwrite) && FileExists(LinkPath(e.name))) continue;
    if (run.events.SkipShortcut(e)) continue;
    // The user interface may have changed what the strings refer to.
    e = Expanded(item);
    std::string link = LinkPath(e.name);
    if (IsValidLinkPath(link)) {
      Process(run, item, e, link);
      if (run.actions.Failed()) return false;
    } else {
      Note("refused " + LogQuote(link));
      run.Error(Format("The shortcut \"%s\" is not a valid path.", link.c_str()));
    }
    run.events.ShortcutDone(e);
  }
  return true;
}

}  // namespace vx
