// The settings steps of the install driver: registry values, INI values and
// persistent environment variables.
//
// Every change is recorded in the action list before it is made, so that a
// failure anywhere later gives the machine back: a registry value keeps its
// old type and bytes, an INI file is backed up whole before its first
// change, an environment variable keeps its old stored text. Removals of
// registry values, keys and INI keys are not recorded and stay after a
// rollback.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "install/Actions.h"
#include "install/Install.h"
#include "install/UninstallLog.h"
#include "system/Errors.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

constexpr uint32_t kSettingChangeTimeoutMs = 5000;
// The longest "name=value" the system keeps for one environment variable.
constexpr size_t kMaxEnvironmentEntry = 32767;
// INI files are read whole into memory and written back whole; a file
// beyond this is no settings file, and neither is one holding zero bytes.
constexpr int64_t kMaxIniFileSize = 32 * 1024 * 1024;
// Where the 9x family keeps persistent environment variables.
constexpr char kAutoexecBat[] = "c:\\autoexec.bat";

void Note(const std::string& text) { RunLog("install", text); }

bool IsNT() { return CurrentHost().Version().platform == kPlatformNT; }

// --- Registry values --------------------------------------------------------------------

int RegistryEventType(TvxRegType type) {
  switch (type) {
    case TvxRegType::int_: return 1;
    case TvxRegType::bin: return 2;
    case TvxRegType::mstr: return 3;
    default: return 0;
  }
}

// The key as the registry functions take it: trailing backslashes dropped.
std::string CleanKey(std::string key) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

RegistryItemEvent RegistryEvent(TvxReg& item) {
  TXMLObject* db = OwningDatabase(&item);
  RegistryItemEvent event;
  event.key = CleanKey(ExpandString(db, item.Key));
  event.name = ExpandString(db, item.Param);
  event.value = ExpandString(db, item.Value);
  event.type = RegistryEventType(item.ParamType);
  event.removal = item.Action == TvxInstallAction::remove;
  return event;
}

// "int" is a DWORD from its text (0 when not a number), "bin" bytes from
// hexadecimal text (an odd last digit ignored), "mstr" the lines of the
// text, anything else a string.
bool WriteRegistryValue(const RegistryItemEvent& v, TvxRegType type) {
  std::string bytes;
  if (type == TvxRegType::bin && !BinaryFromHex(v.value, bytes)) {
    Note("not hexadecimal data for " + LogQuote(RegRecordKey(v.key, v.name)) + ": " + LogQuote(v.value));
    return false;
  }
  uint32_t code = type == TvxRegType::int_   ? kRegDword
                  : type == TvxRegType::bin  ? kRegBinary
                  : type == TvxRegType::mstr ? kRegMultiSz
                                             : kRegSz;
  return RegWriteValue(v.key, v.name, code, v.value);
}

// --- INI values ---------------------------------------------------------------------------

// A text that no INI file holds as a value: the current date and time.
std::string NowText() {
  SystemTime t = CurrentHost().LocalTime();
  return Format("%.2u/%.2u/%.4u %.2u:%.2u:%.2u", unsigned(t.month), unsigned(t.day), unsigned(t.year),
                unsigned(t.hour), unsigned(t.minute), unsigned(t.second));
}

// The file an INI path names, in full: a name without folder is in the
// Windows folder, as the INI functions take it, and "." and ".." are
// resolved, so that each file is backed up once however it is written.
std::string IniPath(const std::string& file) {
  if (file.empty()) return file;
  if (ExtractFilePath(file).empty()) return IncludeTrailingBackslash(CurrentHost().WindowsFolder()) + file;
  std::string full = CurrentHost().FullPath(file);
  return full.empty() ? file : full;
}

// Whether the INI file may be changed: "" when it may (a missing file is
// created), else why not.
std::string IniFileProblem(const std::string& file) {
  if (file.empty()) return "no file named";
  Host& h = CurrentHost();
  uint32_t attributes = h.GetAttributes(file);
  if (attributes == kInvalidAttributes) return "";
  if (attributes & kAttrDirectory) return "is a folder";
  if (attributes & kAttrReadOnly) return "is read-only";
  auto f = h.OpenFile(file, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite);
  if (!f) return "cannot be opened";
  int64_t size = f->Size();
  if (size < 0 || size > kMaxIniFileSize) return "is too large for a settings file";
  std::string content(size_t(size), '\0');
  size_t done = 0;
  if (size > 0 && (!f->Read(content.data(), content.size(), done) || done != content.size()))
    return "cannot be read";
  if (content.find('\0') != std::string::npos) return "is not a text file";
  return "";
}

// --- Environment variables -------------------------------------------------------------------

// The forms under which a path list entry may already be present: as
// written, its short form, and both of it with %NAME% references expanded,
// compared without regard to case or a trailing backslash.
std::vector<std::string> EntryForms(const std::string& entry, const std::string& shortForm) {
  Host& h = CurrentHost();
  std::vector<std::string> forms = {entry, shortForm};
  std::string expanded;
  if (entry.find('%') != std::string::npos && h.ExpandEnvStrings(entry, expanded) && expanded != entry) {
    forms.push_back(expanded);
    std::string s = h.ShortPathName(expanded);
    if (!s.empty()) forms.push_back(s);
  }
  for (std::string& f : forms) f = UpperCase(ExcludeTrailingBackslash(f));
  return forms;
}

// A path list with its entries trimmed, empty and repeated entries left
// out; with `useShort` on the 9x family each entry in its short form.
std::string NormalizePathList(const std::string& text, bool useShort) {
  Host& h = CurrentHost();
  bool shortForms = useShort && !IsNT();
  std::vector<std::string> seen;
  std::string out;
  for (const std::string& part : SplitString(text, ';')) {
    std::string entry = Trim(part);
    if (entry.empty()) continue;
    std::string shortForm = h.ShortPathName(entry);
    if (shortForm.empty()) shortForm = entry;
    std::vector<std::string> forms = EntryForms(entry, shortForm);
    bool present = std::any_of(forms.begin(), forms.end(), [&](const std::string& f) {
      return std::find(seen.begin(), seen.end(), f) != seen.end();
    });
    if (present) continue;
    seen.insert(seen.end(), forms.begin(), forms.end());
    out += (shortForms ? shortForm : entry) + ";";
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// One environment variable item; `changed` is set when it was written.
bool ChangeEnvironmentVariable(InstallRun& run, TvxVariable& item, bool& changed) {
  TXMLObject* db = OwningDatabase(&item);
  std::string name = ExpandString(db, item.Name);
  std::string value = ExpandString(db, item.Value);
  bool system = item.Flags.Contains(TvxFlag::sys_envvar);
  bool addPath = item.Flags.Contains(TvxFlag::add_path);
  auto fail = [&](const std::string& why) {
    Note("environment variable " + LogQuote(name) + " " + why);
    run.Error(Format("Error changing environment variable \"%s\".", name.c_str()));
    return false;
  };
  if (Trim(name).empty() || name.find('=') != std::string::npos) return fail("is not a valid name");

  // The stored text, %NAME% references and all: what rollback writes back.
  std::string old = GetStoredEnvVar(name, system);
  if (item.Flags.Contains(TvxFlag::dont_overwrite) && !old.empty()) return true;
  if (addPath) {
    value = NormalizePathList(value, true);
    if (value.empty()) return true;
  }
  std::string fresh = value;
  if (addPath) {
    fresh = old;
    if (!fresh.empty() && fresh.back() != ';') fresh += ';';
    fresh = NormalizePathList(fresh + value, false);
  }
  if (name.size() + 1 + fresh.size() > kMaxEnvironmentEntry)
    return fail(Format("would be %u characters long, more than the system keeps", unsigned(fresh.size())));

  // On the 9x family the variables live in autoexec.bat, which is backed up
  // whole before its first change: rollback gives back every line as it was
  // (the process environment the old values come from need not match it).
  if (!IsNT() && !run.actions.FindFile(kAutoexecBat)) {
    run.actions.AddFile(kAutoexecBat, TvxFlags{TvxFlag::dont_log}, false);
    if (run.actions.Failed()) return false;
  }
  auto* change = run.actions.AddAction<TInstallEnvVar>();
  change->Flags = item.Flags;
  change->Log = !item.Flags.Contains(TvxFlag::dont_log);
  change->Name = name;
  change->Value = value;
  change->OldValue = old;
  change->AddPath = addPath;
  change->SysVar = system;
  if (run.actions.Failed()) return false;

  bool written = false;
  try {
    written = SetEnvVar(name, fresh, system);
  } catch (const EInOutError& e) {
    Note(e.what());
  }
  if (!written) return fail(system ? "cannot be written to the system's environment" : "cannot be written");
  Note("environment variable " + LogQuote(name) + " = " + LogQuote(fresh));
  changed = true;
  return true;
}

}  // namespace

// --- The steps ------------------------------------------------------------------------------

bool InstallRegistryValues(InstallRun& run, TvxComponent& component) {
  if (!component.Registry) return true;
  TvxRegistry& items = *component.Registry;
  for (int i = 0; i < items.Count(); ++i) {
    if (run.Aborted()) return false;
    TvxReg& item = items[i];
    if (!IsAvailable(&item)) continue;
    if (run.events.SkipRegistryItem(RegistryEvent(item))) continue;
    // Expanded again: the user interface may have changed variables.
    RegistryItemEvent v = RegistryEvent(item);
    bool existed = RegValueExists(v.key, v.name);

    if (v.removal) {
      bool removed = true;
      if (!v.name.empty()) {
        if (existed) removed = RegRemoveValue(v.key, v.name);
      } else if (RegKeyExists(v.key)) {
        removed = RegRemoveKey(v.key, true);
      }
      if (!removed) Note("cannot remove " + LogQuote(v.name.empty() ? v.key : RegRecordKey(v.key, v.name)));
      run.events.RegistryItemDone(v);
      continue;
    }

    if (existed && item.Flags.Contains(TvxFlag::dont_overwrite)) continue;
    bool log = !item.Flags.Contains(TvxFlag::dont_log);
    if (v.key.empty()) {
      Note("registry value " + LogQuote(v.name) + " without a key");
      run.Error("Error changing registry data.");
      return false;
    }
    // Keys created for the value are always recorded, so that rollback
    // removes them; `dont_log` only keeps them out of the uninstall log.
    int first = run.actions.Count();
    run.actions.ForceKeys(v.key, true);
    for (int k = first; k < run.actions.Count(); ++k) run.actions[k].Log = log;
    if (run.actions.Failed()) return false;

    auto change = std::make_unique<TInstallReg>(&run.actions);
    CaptureRegValue(v.key, v.name, *change);
    change->Flags = item.Flags;
    change->Log = log;
    run.actions.AddAction(std::move(change));
    if (run.actions.Failed()) return false;

    if (!WriteRegistryValue(v, item.ParamType)) {
      Note("cannot write " + LogQuote(RegRecordKey(v.key, v.name)));
      run.Error("Error changing registry data.");
      return false;
    }
    run.events.RegistryItemDone(v);
  }
  return true;
}

bool InstallIniValues(InstallRun& run, TvxComponent& component) {
  if (!component.IniFiles) return true;
  TvxIniFiles& items = *component.IniFiles;
  std::vector<std::string> changedFiles;  // written by this step, flushed at its end
  auto fail = [&](const std::string& file, const std::string& why) {
    Note("INI file " + LogQuote(file) + " " + why);
    run.Error(Format("Error changing ini-file \"%s\".", file.c_str()));
    IniFlushLogged();
    return false;
  };
  for (int i = 0; i < items.Count(); ++i) {
    if (run.Aborted()) {
      IniFlushLogged();
      return false;
    }
    TvxIni& item = items[i];
    if (!IsAvailable(&item)) continue;
    TXMLObject* db = OwningDatabase(&item);
    IniItemEvent v;
    v.file = ExpandString(db, item.IniFile);
    v.section = ExpandString(db, item.Section);
    v.key = ExpandString(db, item.Param);
    v.value = ExpandString(db, item.Value);
    v.removal = item.Action == TvxInstallAction::remove;
    if (run.events.SkipIniItem(v)) continue;
    std::string file = IniPath(v.file);
    bool checked = std::any_of(changedFiles.begin(), changedFiles.end(),
                               [&](const std::string& f) { return SameText(f, file); });
    std::string problem = checked ? std::string() : IniFileProblem(file);

    if (v.removal) {
      // Removals are not recorded; one that cannot be made is left alone.
      if (!problem.empty() || !IniDeleteKey(file, v.section, v.key))
        Note("cannot remove " + LogQuote(IniRecordKey(file, v.section, v.key)) + (problem.empty() ? "" : ": the file " + problem));
      run.events.IniItemDone(v);
      continue;
    }
    if (!problem.empty()) return fail(file, problem);

    std::string missing = NowText();
    std::string old = IniReadString(file, v.section, v.key, missing);
    bool existed = old != missing;
    if (!existed) old.clear();
    if (existed && item.Flags.Contains(TvxFlag::dont_overwrite)) continue;

    TvxFlags flags = item.Flags;
    // The uninstall log never lists its own entries.
    if (SameText(file, run.log.Path())) flags.Include(TvxFlag::dont_log);
    if (!run.actions.FindFile(file)) {
      // The folders of a new file are recorded like those of installed
      // files, so that rollback removes them with it.
      int first = run.actions.Count();
      bool folder = run.actions.ForceFolders(ExtractFilePath(file), true);
      for (int k = first; k < run.actions.Count(); ++k) run.actions[k].Log = !flags.Contains(TvxFlag::dont_log);
      if (run.actions.Failed()) {
        IniFlushLogged();
        return false;
      }
      if (!folder) return fail(file, "cannot be created: its folder cannot be made");
      // The first change of a file backs it up whole: rollback restores it,
      // or deletes it when it is new. A file that was there before is not
      // the installation's to remove at uninstall: only its values are.
      TInstallFile* backup = run.actions.AddFile(file, flags, false);
      if (backup->Existed) backup->Log = false;
      if (run.actions.Failed()) {
        IniFlushLogged();
        return false;
      }
    }
    if (!IniWriteString(file, v.section, v.key, v.value)) return fail(file, "cannot be written");
    if (!checked) changedFiles.push_back(file);

    auto* change = run.actions.AddAction<TInstallIni>();
    change->Flags = flags;
    change->Log = !flags.Contains(TvxFlag::dont_log);
    change->IniFile = file;
    change->Section = v.section;
    change->Param = v.key;
    change->OldValue = old;
    if (run.actions.Failed()) {
      IniFlushLogged();
      return false;
    }
    run.events.IniItemDone(v);
  }
  // The changes reach the disk here; a file that cannot take them fails the
  // step rather than an installation reported complete without them.
  for (const std::string& file : changedFiles)
    if (!IniRelease(file)) return fail(file, "cannot be written");
  IniFlushLogged();
  return true;
}

bool InstallEnvironmentVariables(InstallRun& run) {
  bool changed = false;
  auto walk = [&](TvxVariables* list) {
    for (int i = 0; list && i < list->Count(); ++i) {
      if (run.Aborted()) return false;
      auto& item = static_cast<TvxVariable&>(list->Get(i));
      if (item.VarType != TvxVarType::vtEnvVar || !IsAvailable(&item)) continue;
      if (!ChangeEnvironmentVariable(run, item, changed)) return false;
    }
    return true;
  };
  if (!walk(run.db.Variables.get())) return false;
  TvxPackages& packages = *run.db.Packages;
  for (int i = 0; i < packages.Count(); ++i)
    if (!walk(packages[i].Variables.get())) return false;
  if (changed) {
    // Programs started from now on see the new values: on NT once running
    // programs are told, on the 9x family after the restart.
    if (IsNT()) CurrentHost().BroadcastSettingChange("Environment", kSettingChangeTimeoutMs);
    else SetVariableBool(&run.db, "Reboot", true);
  }
  return true;
}

}  // namespace vx
