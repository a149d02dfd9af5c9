// The uninstall log: the INI file a successful installation leaves for the
// separate uninstaller (by default "install.log" in the install folder).
//
// Thirteen sections hold the records of the kinds below; "Strings" and the
// sections copied from the language file tell the uninstaller the product
// and its texts. Writes go through the INI cache (kqRegIni) and reach the
// disk when the cache is flushed. Nothing is written while logging is off
// or the path is empty: the install driver switches logging on only when
// the project wants an uninstaller.
#pragma once

#include <string>

#include "database/VXClasses.h"

namespace vx {

// The record kinds; each names its section.
enum class LogKind : int {
  CopyFiles,         // full file path
  AddReg,            // RegRecordKey
  AddIni,            // IniRecordKey
  Shortcuts,         // full path of the .lnk file
  CreateDirs,        // folder without trailing backslash
  CreateKeys,        // key path
  RegServers,        // full path of the registered file
  RegFonts,          // font name = full path of the font file
  SharedFiles,       // full path of the shared file
  PreRunApp,         // running number = ProgramRecord
  RunApp,            // running number = ProgramRecord
  SharedAssemblies,  // running number = AssemblyRecord
  EnvVars,           // variable name = EnvVarRecord
};
inline constexpr int kLogKindCount = 13;

// "CopyFiles", "AddReg", ... "EnvVars".
const char* LogSectionName(LogKind kind);

// --- Record formats -----------------------------------------------------------------

// A registry value: the key with every double quote removed and one
// trailing backslash, then the value name in single quotes
// (HKLM\Software\A\'X').
std::string RegRecordKey(const std::string& key, const std::string& valueName);
// An INI value: 'file','section','key'.
std::string IniRecordKey(const std::string& file, const std::string& section, const std::string& key);
// The window code the uninstaller understands: 1 normal, 3 minimised,
// 2 maximised, 0 hidden.
int LogWindowCode(TvxShowCmd show);
// A program to run at uninstallation:
// 'command','arguments','folder',window,'message',wait,exitcode (wait is 1
// unless `dont_wait` is set, exitcode 1 when `check_exitcode` is set).
std::string ProgramRecord(const std::string& cmdLine, const std::string& args, const std::string& workDir,
                          TvxShowCmd show, const std::string& msg, TvxFlags flags);
// The reference the assembly cache tool is given for the product's
// assemblies: ` OPAQUE "<AppID>" "<AppName>"`, expanded.
std::string AssemblyReference(TXMLObject* database);
// A shared assembly: the file name without folder and extension, then
// "," and the assembly data when there is any, then the reference.
std::string AssemblyRecord(const std::string& fileName, const std::string& assemblyData,
                           const std::string& reference);
// An environment variable: 1 for a system variable else 0, ",", then the
// added path entries of a path variable (empty otherwise).
std::string EnvVarRecord(bool sysVar, bool addPath, const std::string& value);

class UninstallLog {
 public:
  // `database` expands the records added through AddLogRecord.
  explicit UninstallLog(TXMLObject* database = nullptr) : database_(database) {}

  void SetDatabase(TXMLObject* database) { database_ = database; }
  void SetPath(const std::string& path) { path_ = path; }
  const std::string& Path() const { return path_; }
  void Enable(bool on = true) { enabled_ = on; }
  bool Enabled() const { return enabled_; }

  // key=value into the section of `kind`; false (nothing written) while
  // logging is off or the path is empty.
  bool LogWrite(LogKind kind, const std::string& key, const std::string& value = std::string());
  // Whether the section of `kind` has `key` (false while logging is off).
  bool LogKeyExists(LogKind kind, const std::string& key);
  // key=value into any section, under the same conditions as LogWrite.
  bool WriteRecord(const std::string& section, const std::string& key, const std::string& value);
  // A record of a plug-in or an installer function: both texts expanded,
  // the record split at its first "=" into key and value.
  bool AddLogRecord(const std::string& section, const std::string& record);

  // A program to run before (PreRunApp) or after (RunApp) the
  // uninstallation, under the next number of the one count both share.
  bool WriteProgram(bool afterUninstall, const std::string& record);
  // A shared assembly under the next number of its own count.
  bool WriteAssembly(const std::string& record);

  // "Strings" (AppID and AdminRights of `database`) and every section of
  // the language file whose name starts with "Uninstall.", named by the
  // rest of its name: each line expanded (unknown variables give empty
  // text), a carriage return written as "||", line feeds dropped.
  bool WriteUninstallStrings(const std::string& languageFile, TXMLObject* database);

 private:
  TXMLObject* database_;
  std::string path_;
  bool enabled_ = false;
  int programNumber_ = 0;
  int assemblyNumber_ = 0;
};

}  // namespace vx
