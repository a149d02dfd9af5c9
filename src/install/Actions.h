// The record of every change an installation makes to the machine.
//
// Each change is one action object appended to one ordered list, the
// install action list (TInstallActions), as it is made. The list serves
// three ends: a failed installation is rolled back by undoing the actions
// from the last to the first; a successful one writes the uninstall log
// from them (every action whose Log is set writes its records); and a run
// suspended for a restart saves the list as an XML document (root
// "installactions") and loads it again when it resumes.
//
// The actions only know their data. Whatever else a change or its undo
// needs (the backup folder, error boxes, server registration, the font
// table, the uninstall log) comes from the ActionContext the list is given;
// actions reach it through their owner, the list, also after they have been
// loaded from a document.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "database/VXClasses.h"
#include "database/kqXMLObject.h"
#include "install/ActionContext.h"

namespace vx {

class TInstallActions;

// One recorded change. Undo reverses it; WriteLogEntry writes its records
// into the uninstall log.
class TInstallAction : public TXMLObject {
  VX_XML_CLASS(TInstallAction, TXMLObject)

 public:
  TvxFlags Flags;             // the flags of the project item that caused the change
  bool Log = true;            // writes uninstall-log records
  bool Existed = false;       // the target existed before the change
  bool DontRollback = false;  // rollback leaves the change in place

  void InitDefaults() override;

  virtual void Undo() = 0;
  virtual void WriteLogEntry() = 0;

  // The context of the list that owns the action; a context that does
  // nothing for an action that belongs to no list.
  ActionContext& Context() const;
};

// A file written, replaced or removed. The backup (in the context's backup
// folder) holds the former content when the file existed.
class TInstallFile : public TInstallAction {
  VX_XML_CLASS(TInstallFile, TInstallAction)

 public:
  std::string FileName, BackupFileName, TmpFileName, FontName;
  // The old file is in use and is replaced at the next restart: the new
  // content goes to TmpFileName. Known only to the run that recorded it
  // (not saved): after the restart the replacement has happened.
  bool PendingReplace = false;

  void Undo() override;
  void WriteLogEntry() override;
};

// A registry value written. OldType and OldValue hold the former value when
// it existed (see CaptureRegValue for the form of OldValue).
class TInstallReg : public TInstallAction {
  VX_XML_CLASS(TInstallReg, TInstallAction)

 public:
  std::string Key, Param;
  int32_t OldType = 0;
  std::string OldValue;

  void Undo() override;
  void WriteLogEntry() override;
};

// An INI value written. Its undo is the restore of the INI file itself,
// which a TInstallFile recorded before the first change of the file.
class TInstallIni : public TInstallAction {
  VX_XML_CLASS(TInstallIni, TInstallAction)

 public:
  std::string IniFile, Section, Param, OldValue;

  void Undo() override {}
  void WriteLogEntry() override;
};

// A shortcut written; the link file itself is restored by its TInstallFile.
class TInstallShortcut : public TInstallAction {
  VX_XML_CLASS(TInstallShortcut, TInstallAction)

 public:
  std::string LinkFile;

  void Undo() override {}
  void WriteLogEntry() override;
};

// A folder created (without trailing backslash). Undo removes it when it
// is empty again.
class TInstallFolder : public TInstallAction {
  VX_XML_CLASS(TInstallFolder, TInstallAction)

 public:
  std::string Folder;

  void Undo() override;
  void WriteLogEntry() override;
};

// A registry key created. Undo deletes the key itself, not its subkeys.
class TInstallRegKey : public TInstallAction {
  VX_XML_CLASS(TInstallRegKey, TInstallAction)

 public:
  std::string Key;

  void Undo() override;
  void WriteLogEntry() override;
};

// A persistent environment variable changed. Undo writes OldValue back (an
// empty one removes the variable).
class TInstallEnvVar : public TInstallAction {
  VX_XML_CLASS(TInstallEnvVar, TInstallAction)

 public:
  std::string Name, Value, OldValue;
  bool AddPath = false;
  bool SysVar = false;

  void Undo() override;
  void WriteLogEntry() override;
};

// The install action list. It owns its actions.
class TInstallActions : public TXMLObjectList {
  VX_XML_CLASS(TInstallActions, TXMLObjectList)

 public:
  // The list of a run: `context` serves every action of the list and must
  // outlive it.
  explicit TInstallActions(ActionContext* context, TXMLObject* owner = nullptr);

  ActionContext& Context() const;
  void SetContext(ActionContext* context) { context_ = context; }

  const TClassInfo* ItemClassFor(const std::string& elementName) const override;
  std::string ItemElementName(const TClassInfo& itemClass) const override;

  TInstallAction& operator[](int i) const { return static_cast<TInstallAction&>(Get(i)); }

  // Appends a new action of `cls` (a class of the table above) and tells
  // the context, which is told before the caller fills the action in. The
  // action is returned whatever the context answers; a refusal makes
  // Failed() true, and the caller ends the installation there.
  TInstallAction* AddAction(const TClassInfo& cls);
  template <class T>
  T* AddAction() {
    return static_cast<T*>(AddAction(T::StaticClass()));
  }
  // Appends an action the caller has filled in already, then tells the
  // context (as above).
  TInstallAction* AddAction(std::unique_ptr<TInstallAction> action);
  // A change was refused by the context: the installation must fail.
  bool Failed() const { return failed_; }

  // Records `path` before it is written or removed: a file that exists is
  // copied into the backup folder and, with `removeOld`, deleted (a COM
  // server is unregistered and a font taken out of the font table first).
  // A file that cannot be deleted because it is in use gets PendingReplace
  // and a new empty "vx*.tmp" file beside it that takes the new content,
  // and the run must end with a restart. The action is returned whatever
  // the outcome.
  TInstallFile* AddFile(const std::string& path, TvxFlags flags, bool removeOld);
  // Records the extraction of a font file: its content goes to
  // `tmpFileName` (the run's temporary fonts folder) and is installed at
  // `fileName` later, by an install step that records that change with its
  // own AddFile (backup and all). This action therefore changes nothing
  // outside the run's temporary folder and is never undone: its undo would
  // otherwise delete, unregister and take out of the font table a font
  // that was there before the installation. It still writes the log
  // records of the font.
  TInstallFile* AddFontFile(const std::string& fileName, const std::string& tmpFileName, TvxFlags flags,
                            const std::string& fontName);

  // The first file action whose FileName equals `path` (ASCII case
  // folding), or null.
  TInstallFile* FindFile(const std::string& path) const;

  // Creates the folder and its missing parents, recording every folder this
  // call creates (outer ones first) when `record` is set. A path of two
  // characters or less (a drive) and an existing folder are left alone.
  // False when the folder does not exist afterwards or the context refused
  // a record (then no further folder is created).
  bool ForceFolders(const std::string& path, bool record);
  // Creates the registry key and its missing parents, recording every key
  // created when `record` is set. The parent of a key is the text before
  // its last backslash outside single or double quotes. False as for
  // ForceFolders.
  bool ForceKeys(const std::string& key, bool record);

  // Every action whose Log is set writes its records, in list order.
  void WriteLog();
  // Undoes the actions from the last to the first (except those with
  // DontRollback) and empties the list. Undo goes on after any failure.
  void Rollback();
  // Hands the files in use to the restart: the temporary file replaces the
  // file, or the file is deleted when there is no temporary file. False
  // when one of them could not be scheduled.
  bool ScheduleRebootOps();

  // The list as an XML document with the root "installactions", and back.
  // Load replaces the list; false (the list unchanged) when the file
  // cannot be read, has another root or ends before its root is closed
  // (parse errors raise, the list unchanged).
  bool Save(const std::string& path) const;
  bool Load(const std::string& path);

 private:
  ActionContext* context_ = nullptr;
  bool failed_ = false;

  // Appends and tells the context; `accepted` gets its answer.
  TInstallAction* Append(std::unique_ptr<TInstallAction> action, bool* accepted = nullptr);
};

// The document root of a saved list.
inline constexpr char kInstallActionsRoot[] = "installactions";

// --- Registry values, exactly --------------------------------------------------

// Fills `action` (Key, Param, Existed, OldType, OldValue) with the value
// `name` under `key` as it is before a change, so that undo gives back the
// same type and the same bytes.
void CaptureRegValue(const std::string& key, const std::string& name, TInstallReg& action);

// The text OldValue keeps for a value of `type` with `data`. The readable
// forms are used wherever they give back the same bytes: REG_SZ and
// REG_EXPAND_SZ the text as stored (not expanded), REG_DWORD decimal,
// REG_MULTI_SZ the strings joined by CR LF. Any other value of these types
// (no terminating zero, embedded zeros, empty strings that the lines
// cannot carry, a DWORD that is not four bytes, a text beginning with
// "hex:") is kept as "hex:" and the bytes in hexadecimal. REG_BINARY and
// every other type are kept as hexadecimal bytes.
std::string EncodeRegValue(uint32_t type, const std::string& data);
// The bytes of a value of `type` from its OldValue text; false when the
// text is damaged.
bool DecodeRegValue(uint32_t type, const std::string& text, std::string& data);

}  // namespace vx
