#include "install/Actions.h"

#include <algorithm>

#include "database/Variables.h"
#include "install/UninstallLog.h"
#include "system/Errors.h"
#include "system/host.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

// The context of an action outside any list (a copy, a default object):
// it keeps no backups, shows nothing, registers nothing and logs nothing.
class NoContext : public ActionContext {
 public:
  std::string BackupFolder() override { return std::string(); }
  void ShowError(const std::string&) override {}
  void RequestReboot() override {}
  bool RegisterServer(const std::string&) override { return false; }
  bool UnregisterServer(const std::string&) override { return false; }
  void AddFontToTable(const std::string&) override {}
  void RemoveFontFromTable(const std::string&) override {}
  UninstallLog& Log() override { return log_; }

 private:
  UninstallLog log_;  // never enabled
};

ActionContext& NoActionContext() {
  static NoContext context;
  return context;
}

// The key of the installed fonts of the running system.
std::string FontsKey() {
  return CurrentHost().Version().platform == kPlatformNT
             ? "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts\\"
             : "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts\\";
}

// Writes a value with exactly the given type and bytes, creating the key
// when it is missing.
bool WriteRegRaw(const std::string& path, const std::string& name, uint32_t type, const std::string& data) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(path, root, sub);
  Host& h = CurrentHost();
  RegKey key = 0;
  if (h.CreateRegKey(root, sub, key) != kErrorSuccess) return false;
  bool ok = h.SetRegValue(key, name, type, data) == kErrorSuccess;
  h.CloseRegKey(key);
  return ok;
}

// The text before the last backslash; "" when there is none. Every
// backslash parts a key from its parent, inside quotes too: the registry
// knows no quoting, so a quoted stretch with a backslash is two keys, and
// both must be recorded for rollback to remove them.
std::string KeyParent(const std::string& key) {
  size_t slash = key.rfind('\\');
  return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

// `path` with its last part spelled as the file system has it (the
// path itself when it cannot be listed).
std::string NameOnDisk(const std::string& path) {
  std::string folder = ExtractFilePath(path), name = ExtractFileName(path);
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  if (folder.empty() || name.find_first_of("*?") != std::string::npos ||
      !CurrentHost().ListFolder(folder, name, entries, error))
    return path;
  for (const FindEntry& e : entries)
    if (SameText(e.name, name)) return folder + e.name;
  return path;
}

bool IsDriveOnly(const std::string& path) { return path.size() == 2 && path[1] == ':'; }

}  // namespace

// --- Registry values, exactly ----------------------------------------------------

namespace {

constexpr char kHexMark[] = "hex:";
constexpr size_t kHexMarkLength = sizeof kHexMark - 1;

bool HasReadableForm(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegDword || type == kRegMultiSz;
}

bool StartsWithHexMark(const std::string& text) { return text.compare(0, kHexMarkLength, kHexMark) == 0; }

// The bytes a readable form stands for.
bool ReadableToData(uint32_t type, const std::string& text, std::string& data) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      data = text + '\0';
      return true;
    case kRegDword: {
      int32_t v = 0;
      if (!ParseDecimal32(text, v)) return false;
      uint32_t u = uint32_t(v);
      data.assign({char(u & 0xFF), char((u >> 8) & 0xFF), char((u >> 16) & 0xFF), char(u >> 24)});
      return true;
    }
    case kRegMultiSz:
      data = MultiStringData(TextToLines(text));
      return true;
    default:
      return false;
  }
}

bool DataToReadable(uint32_t type, const std::string& data, std::string& text) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      // As stored: an expandable string keeps its references.
      text = data.substr(0, data.find('\0'));
      return true;
    case kRegDword:
    case kRegMultiSz:
      return RegDataToText(type, data, text);
    default:
      return false;
  }
}

}  // namespace

std::string EncodeRegValue(uint32_t type, const std::string& data) {
  if (!HasReadableForm(type)) return BytesToHex(data);
  std::string text, back;
  // The readable form is kept only when it gives back the very same bytes,
  // and survives the saved list (attribute values lose surrounding blanks
  // and control characters when they are read back).
  if (DataToReadable(type, data, text) && !StartsWithHexMark(text) && Trim(text) == text &&
      ReadableToData(type, text, back) && back == data)
    return text;
  return kHexMark + BytesToHex(data);
}

bool DecodeRegValue(uint32_t type, const std::string& text, std::string& data) {
  if (StartsWithHexMark(text)) return HexToBytes(text.substr(kHexMarkLength), data);
  if (HasReadableForm(type)) return ReadableToData(type, text, data);
  return HexToBytes(text, data);
}

void CaptureRegValue(const std::string& key, const std::string& name, TInstallReg& action) {
  action.Key = key;
  action.Param = name;
  uint32_t type = 0;
  std::string data;
  action.Existed = RegReadRaw(key, name, type, data);
  action.OldType = action.Existed ? int32_t(type) : 0;
  action.OldValue = action.Existed ? EncodeRegValue(type, data) : std::string();
}

// --- TInstallAction ------------------------------------------------------------------------

// The base class is abstract: it has a property table but no factory.
TInstallAction::TInstallAction(TXMLObject* owner) : TXMLObject(owner) {
  CreateSubLists(StaticClass());
  TInstallAction::InitDefaults();
}
TInstallAction::~TInstallAction() = default;
const TClassInfo& TInstallAction::StaticClass() {
  static const TClassInfo info(
      "TInstallAction", &TXMLObject::StaticClass(),
      [](TXMLObject*) -> std::unique_ptr<TXMLObject> { return nullptr; },
      std::vector<TPropInfo>{Prop("Flags", &TInstallAction::Flags), Prop("Log", &TInstallAction::Log),
                             Prop("Existed", &TInstallAction::Existed),
                             Prop("DontRollback", &TInstallAction::DontRollback)});
  return info;
}

void TInstallAction::InitDefaults() {
  Log = true;
  Existed = false;
  DontRollback = false;
}

ActionContext& TInstallAction::Context() const {
  if (auto* list = dynamic_cast<TInstallActions*>(Owner)) return list->Context();
  return NoActionContext();
}

// --- TInstallFile ----------------------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallFile, TInstallAction, Prop("FileName", &TInstallFile::FileName),
                 Prop("BackupFileName", &TInstallFile::BackupFileName),
                 Prop("TmpFileName", &TInstallFile::TmpFileName), Prop("FontName", &TInstallFile::FontName))

void TInstallFile::Undo() {
  ActionContext& c = Context();
  bool server = Flags.Contains(TvxFlag::reg_server), font = Flags.Contains(TvxFlag::reg_font);
  bool keepBackup = false;
  if (PendingReplace) {
    // The new content never became active, and the old file never left: it
    // was only taken out of service before the replacement was arranged.
    if (!TmpFileName.empty()) DeleteFileForced(TmpFileName);
    if (Existed) {
      if (server) c.RegisterServer(FileName);
      if (font) c.AddFontToTable(FileName);
    }
  } else {
    if (server) c.UnregisterServer(FileName);
    // The installation's font leaves the font table also when it replaced
    // one: a font file the system holds loaded cannot be deleted, and the
    // old one could not be put back.
    if (font) c.RemoveFontFromTable(FileName);
    if (font && !Existed) {
      if (!FontName.empty()) {
        std::string key = FontsKey();
        RegRemoveValue(key, FontName);
        RegRemoveValue(key, FontName + " (TrueType)");
      }
    }
    // Whatever reads a file just written (the shell a new link) may still
    // hold it for a moment.
    if (FileExists(FileName)) {
      uint32_t start = CurrentHost().TickCount();
      bool deleted = DeleteFileWaiting(FileName, std::min<uint32_t>(c.heldFileWaitMs, 5000));
      c.heldFileWaitMs -= std::min(c.heldFileWaitMs, CurrentHost().TickCount() - start);
      if (!deleted) c.ShowError("Cannot delete " + FileName);
    }
    if (Existed && !BackupFileName.empty()) {
      ForceFolders(ExtractFileDir(FileName));
      if (CopyFileChunked(BackupFileName, FileName)) {
        uint32_t attributes = CurrentHost().GetAttributes(BackupFileName);
        if (attributes != kInvalidAttributes) CurrentHost().SetAttributes(FileName, attributes);
        if (server) c.RegisterServer(FileName);
        if (font) c.AddFontToTable(FileName);
      } else {
        c.ShowError(Format("Cannot copy \"%s\" to \"%s\"", BackupFileName.c_str(), FileName.c_str()));
        // The backup is the only copy of the old content left: it is not
        // thrown away when it could not be put back.
        keepBackup = true;
      }
    }
  }
  if (!BackupFileName.empty() && !keepBackup) DeleteFileForced(BackupFileName);
}

void TInstallFile::WriteLogEntry() {
  UninstallLog& log = Context().Log();
  log.LogWrite(LogKind::CopyFiles, FileName);
  if (Flags.Contains(TvxFlag::reg_font) && !FontName.empty()) log.LogWrite(LogKind::RegFonts, FontName, FileName);
  if (Flags.Contains(TvxFlag::reg_server)) log.LogWrite(LogKind::RegServers, FileName);
}

// --- TInstallReg --------------------------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallReg, TInstallAction, Prop("Key", &TInstallReg::Key), Prop("Param", &TInstallReg::Param),
                 Prop("OldType", &TInstallReg::OldType), Prop("OldValue", &TInstallReg::OldValue))

void TInstallReg::Undo() {
  RegRemoveValue(Key, Param);
  if (!Existed) return;
  std::string data;
  if (DecodeRegValue(uint32_t(OldType), OldValue, data)) WriteRegRaw(Key, Param, uint32_t(OldType), data);
}

void TInstallReg::WriteLogEntry() { Context().Log().LogWrite(LogKind::AddReg, RegRecordKey(Key, Param)); }

// --- TInstallIni, TInstallShortcut ----------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallIni, TInstallAction, Prop("IniFile", &TInstallIni::IniFile),
                 Prop("Section", &TInstallIni::Section), Prop("Param", &TInstallIni::Param),
                 Prop("OldValue", &TInstallIni::OldValue))

void TInstallIni::WriteLogEntry() {
  Context().Log().LogWrite(LogKind::AddIni, IniRecordKey(IniFile, Section, Param));
}

VX_XML_CLASS_DEF(TInstallShortcut, TInstallAction, Prop("LinkFile", &TInstallShortcut::LinkFile))

void TInstallShortcut::WriteLogEntry() { Context().Log().LogWrite(LogKind::Shortcuts, LinkFile); }

// --- TInstallFolder, TInstallRegKey ------------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallFolder, TInstallAction, Prop("Folder", &TInstallFolder::Folder))

void TInstallFolder::Undo() { CurrentHost().RemoveFolder(Folder); }

void TInstallFolder::WriteLogEntry() {
  Context().Log().LogWrite(LogKind::CreateDirs, IsDriveOnly(Folder) ? Folder : ExcludeTrailingBackslash(Folder));
}

VX_XML_CLASS_DEF(TInstallRegKey, TInstallAction, Prop("Key", &TInstallRegKey::Key))

void TInstallRegKey::Undo() { RegRemoveKey(Key, false); }

void TInstallRegKey::WriteLogEntry() { Context().Log().LogWrite(LogKind::CreateKeys, Key); }

// --- TInstallEnvVar ------------------------------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallEnvVar, TInstallAction, Prop("Name", &TInstallEnvVar::Name),
                 Prop("Value", &TInstallEnvVar::Value), Prop("OldValue", &TInstallEnvVar::OldValue),
                 Prop("AddPath", &TInstallEnvVar::AddPath), Prop("SysVar", &TInstallEnvVar::SysVar))

void TInstallEnvVar::Undo() { SetEnvVar(Name, OldValue, SysVar); }

namespace {

// The entries of a path list that `before` did not hold (compared without
// regard to case or a trailing backslash): what the uninstaller may take
// away again. An entry the variable held already belongs to whoever put
// it there.
std::string AddedEntries(const std::string& list, const std::string& before) {
  auto key = [](std::string entry) {
    entry = Trim(entry);
    while (entry.size() > 3 && IsPathDelimiter(entry.back())) entry.pop_back();
    return UpperCase(entry);
  };
  std::vector<std::string> held;
  for (const std::string& entry : SplitString(before, ';')) held.push_back(key(entry));
  std::string added;
  for (const std::string& entry : SplitString(list, ';')) {
    if (Trim(entry).empty() || std::find(held.begin(), held.end(), key(entry)) != held.end()) continue;
    added += (added.empty() ? "" : ";") + Trim(entry);
  }
  return added;
}

}  // namespace

void TInstallEnvVar::WriteLogEntry() {
  Context().Log().LogWrite(LogKind::EnvVars, Name, EnvVarRecord(SysVar, AddPath, AddPath ? AddedEntries(Value, OldValue) : Value));
}

// --- TInstallActions ---------------------------------------------------------------------------------------

VX_XML_CLASS_DEF(TInstallActions, TXMLObjectList)

TInstallActions::TInstallActions(ActionContext* context, TXMLObject* owner) : TInstallActions(owner) {
  context_ = context;
}

ActionContext& TInstallActions::Context() const { return context_ ? *context_ : NoActionContext(); }

namespace {

struct ActionElement {
  const char* name;
  const TClassInfo& (*cls)();
};
const ActionElement kActionElements[] = {
    {"file", &TInstallFile::StaticClass},         {"reg", &TInstallReg::StaticClass},
    {"ini", &TInstallIni::StaticClass},           {"shortcut", &TInstallShortcut::StaticClass},
    {"folder", &TInstallFolder::StaticClass},     {"regkey", &TInstallRegKey::StaticClass},
    {"envvar", &TInstallEnvVar::StaticClass},
};

}  // namespace

const TClassInfo* TInstallActions::ItemClassFor(const std::string& elementName) const {
  for (const ActionElement& e : kActionElements)
    if (elementName == e.name) return &e.cls();
  return nullptr;
}

std::string TInstallActions::ItemElementName(const TClassInfo& itemClass) const {
  for (const ActionElement& e : kActionElements)
    if (&itemClass == &e.cls()) return e.name;
  return std::string();
}

TInstallAction* TInstallActions::Append(std::unique_ptr<TInstallAction> action, bool* accepted) {
  auto* added = static_cast<TInstallAction*>(Add(std::move(action)));
  bool ok = Context().ActionAdded(*added);
  if (!ok) failed_ = true;
  if (accepted) *accepted = ok;
  return added;
}

TInstallAction* TInstallActions::AddAction(const TClassInfo& cls) {
  std::unique_ptr<TXMLObject> object = cls.Create(this);
  auto* action = dynamic_cast<TInstallAction*>(object.get());
  if (!action) throw EEngineError(kMsgWrongClass);
  object.release();
  return Append(std::unique_ptr<TInstallAction>(action));
}

TInstallAction* TInstallActions::AddAction(std::unique_ptr<TInstallAction> action) {
  return Append(std::move(action));
}

TInstallFile* TInstallActions::AddFile(const std::string& path, TvxFlags flags, bool removeOld) {
  auto action = std::make_unique<TInstallFile>(this);
  TInstallFile& a = *action;
  a.FileName = path;
  a.Flags = flags;
  a.Log = !flags.Contains(TvxFlag::dont_log);
  if (FileExists(path)) {
    a.Existed = true;
    // The undo puts the file back under the name it has now, letter case
    // included, however the caller wrote the path.
    a.FileName = NameOnDisk(path);
    std::string folder = Context().BackupFolder();
    // Without a place for the backup the old file is left alone: nothing is
    // ever removed that rollback could not put back.
    if (!folder.empty()) {
      a.BackupFileName = IncludeTrailingBackslash(folder) + UniqueName(folder);
      // Changes of the file still held in the INI cache belong in the backup.
      IniRelease(path);
      bool copied = CopyFileChunked(path, a.BackupFileName);
      // A partial copy must never be restored over the file: the undo then
      // reports that the backup cannot be copied.
      if (!copied) DeleteFileForced(a.BackupFileName);
      // The backup keeps the file's attributes (read-only, hidden), which
      // the undo gives back with the content.
      uint32_t kept = CurrentHost().GetAttributes(path);
      if (copied && kept != kInvalidAttributes) CurrentHost().SetAttributes(a.BackupFileName, kept);
      if (copied && removeOld) {
        ActionContext& c = Context();
        if (flags.Contains(TvxFlag::reg_server)) c.UnregisterServer(path);
        if (flags.Contains(TvxFlag::reg_font)) c.RemoveFontFromTable(path);
        Host& h = CurrentHost();
        uint32_t attributes = h.GetAttributes(path);
        if (!DeleteFileForced(path)) {
          // In use: the file stays as it was (attributes included) until
          // the restart replaces it.
          if (attributes != kInvalidAttributes) h.SetAttributes(path, attributes);
          a.PendingReplace = true;
          a.TmpFileName = CreateTempFileIn(ExtractFileDir(path), "vx");
          c.RequestReboot();
        }
      }
    }
  }
  return static_cast<TInstallFile*>(Append(std::move(action)));
}

TInstallFile* TInstallActions::AddFontFile(const std::string& fileName, const std::string& tmpFileName,
                                           TvxFlags flags, const std::string& fontName) {
  auto action = std::make_unique<TInstallFile>(this);
  action->FileName = fileName;
  action->TmpFileName = tmpFileName;
  action->Flags = flags;
  action->FontName = fontName;
  action->Log = !flags.Contains(TvxFlag::dont_log);
  action->DontRollback = true;
  return static_cast<TInstallFile*>(Append(std::move(action)));
}

TInstallFile* TInstallActions::FindFile(const std::string& path) const {
  for (int i = 0; i < Count(); ++i)
    if (auto* f = dynamic_cast<TInstallFile*>(&Get(i)))
      if (SameText(f->FileName, path)) return f;
  return nullptr;
}

bool TInstallActions::ForceFolders(const std::string& path, bool record) {
  if (path.empty()) return false;
  std::string dir = path;
  if (dir.back() == '\\') dir.pop_back();
  if (dir.size() > 2 && FolderExists(dir)) return true;
  if (dir.size() > 2) {
    std::string parent = ExtractFilePath(dir);
    if (parent != dir && !ForceFolders(parent, record) && failed_) return false;
    if (CurrentHost().MakeFolder(dir) && record) {
      auto action = std::make_unique<TInstallFolder>(this);
      action->Folder = dir;
      bool accepted = true;
      Append(std::move(action), &accepted);
      if (!accepted) return false;
    }
  }
  return FolderExists(IsDriveOnly(dir) ? dir + "\\" : dir);
}

bool TInstallActions::ForceKeys(const std::string& key, bool record) {
  if (key.empty()) return false;
  std::string k = key;
  if (k.back() == '\\') k.pop_back();
  if (RegKeyExists(k)) return true;
  std::string parent = KeyParent(k);
  if (parent == k) return false;
  if (!ForceKeys(parent, record) && failed_) return false;
  RegKey root = 0;
  std::string sub;
  SplitRegPath(k, root, sub);
  Host& h = CurrentHost();
  RegKey handle = 0;
  if (h.CreateRegKey(root, sub, handle) != kErrorSuccess) return false;
  h.CloseRegKey(handle);
  if (record) {
    auto action = std::make_unique<TInstallRegKey>(this);
    action->Key = k;
    bool accepted = true;
    Append(std::move(action), &accepted);
    if (!accepted) return false;
  }
  return true;
}

void TInstallActions::WriteLog() {
  for (int i = 0; i < Count(); ++i) {
    TInstallAction& a = (*this)[i];
    if (a.Log) a.WriteLogEntry();
  }
}

void TInstallActions::Rollback() {
  for (int i = Count() - 1; i >= 0; --i) {
    TInstallAction& a = (*this)[i];
    if (!a.DontRollback) {
      // One change that cannot be undone must not keep the others in place.
      try {
        a.Undo();
      } catch (const EEngineError& e) {
        Context().ShowError(e.what());
      }
    }
    Delete(i);
  }
}

bool TInstallActions::ScheduleRebootOps() {
  bool ok = true;
  for (int i = 0; i < Count(); ++i) {
    auto* f = dynamic_cast<TInstallFile*>(&Get(i));
    if (!f || !f->PendingReplace) continue;
    ok = (f->TmpFileName.empty() ? DeleteFileAtReboot(f->FileName) : MoveFileAtReboot(f->TmpFileName, f->FileName)) &&
         ok;
  }
  return ok;
}

bool TInstallActions::Save(const std::string& path) const { return SaveToFile(path, kInstallActionsRoot); }

namespace {

// Whether the document ends with the end of its root element `root`: the
// end tag "</root>", or "<root .../>" for a root without content.
bool EndsWithRoot(const std::string& text, const std::string& root) {
  std::string t = TrimRight(text);
  size_t open = t.rfind('<');
  if (t.empty() || t.back() != '>' || open == std::string::npos) return false;
  std::string last = t.substr(open + 1, t.size() - open - 2);  // between "<" and ">"
  if (!last.empty() && last[0] == '/') {
    last.erase(0, 1);
  } else {
    if (last.empty() || last.back() != '/') return false;
    last.pop_back();
  }
  last = Trim(last);
  return XMLSameText(last.substr(0, last.find_first_of(" \t\r\n")), root);
}

}  // namespace

bool TInstallActions::Load(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return false;
  // The parser takes a document that ends before its root is closed as
  // what was built so far. A list cut short (a save that never finished)
  // would silently lose the actions that rollback and the uninstall log
  // still need, so only a complete document replaces the list.
  if (!EndsWithRoot(text, kInstallActionsRoot)) return false;
  TXMLTag tag;
  tag.Parse(text);
  if (tag.Kind != TXMLTagKind::Element || !XMLSameText(tag.Name, kInstallActionsRoot)) return false;
  Assign(tag);
  return true;
}

}  // namespace vx
