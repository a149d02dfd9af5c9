#include "install/UninstallLog.h"

#include <vector>

#include "database/Variables.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

const char* const kSectionNames[kLogKindCount] = {
    "CopyFiles",  "AddReg", "AddIni",    "Shortcuts", "CreateDirs",       "CreateKeys", "RegServers",
    "RegFonts", "SharedFiles", "PreRunApp", "RunApp", "SharedAssemblies", "EnvVars",
};

constexpr char kUninstallPrefix[] = "Uninstall.";

// The line as the uninstaller reads it back: a line break inside a value
// would end the INI line, so CR becomes "||" and LF is dropped.
std::string OneLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\r') out += "||";
    else if (c != '\n') out += c;
  }
  return out;
}

void SplitRecord(const std::string& record, std::string& key, std::string& value) {
  size_t eq = record.find('=');
  key = record.substr(0, eq);
  value = eq == std::string::npos ? std::string() : record.substr(eq + 1);
}

}  // namespace

const char* LogSectionName(LogKind kind) {
  int i = int(kind);
  return i >= 0 && i < kLogKindCount ? kSectionNames[i] : "";
}

// --- Record formats ---------------------------------------------------------------------

std::string RegRecordKey(const std::string& key, const std::string& valueName) {
  std::string k;
  k.reserve(key.size() + 1);
  for (char c : key)
    if (c != '"') k += c;
  if (k.empty() || k.back() != '\\') k += '\\';
  return k + "'" + valueName + "'";
}

std::string IniRecordKey(const std::string& file, const std::string& section, const std::string& key) {
  return "'" + file + "','" + section + "','" + key + "'";
}

int LogWindowCode(TvxShowCmd show) {
  switch (show) {
    case TvxShowCmd::scMin: return 3;
    case TvxShowCmd::scMax: return 2;
    case TvxShowCmd::scHide: return 0;
    default: return 1;
  }
}

std::string ProgramRecord(const std::string& cmdLine, const std::string& args, const std::string& workDir,
                          TvxShowCmd show, const std::string& msg, TvxFlags flags) {
  return "'" + cmdLine + "','" + args + "','" + workDir + "'," + std::to_string(LogWindowCode(show)) + ",'" + msg +
         "'," + (flags.Contains(TvxFlag::dont_wait) ? "0" : "1") + "," +
         (flags.Contains(TvxFlag::check_exitcode) ? "1" : "0");
}

std::string AssemblyReference(TXMLObject* database) {
  return ExpandString(database, " OPAQUE \"%AppID%\" \"%AppName%\"");
}

std::string AssemblyRecord(const std::string& fileName, const std::string& assemblyData,
                           const std::string& reference) {
  std::string record = ChangeFileExt(ExtractFileName(fileName), "");
  if (!assemblyData.empty()) record += "," + assemblyData;
  return record + reference;
}

std::string EnvVarRecord(bool sysVar, bool addPath, const std::string& value) {
  return std::string(sysVar ? "1" : "0") + "," + (addPath ? value : std::string());
}

// --- The log file ---------------------------------------------------------------------------

bool UninstallLog::WriteRecord(const std::string& section, const std::string& key, const std::string& value) {
  if (!enabled_ || path_.empty()) return false;
  return IniWriteString(path_, section, key, value);
}

bool UninstallLog::LogWrite(LogKind kind, const std::string& key, const std::string& value) {
  return WriteRecord(LogSectionName(kind), key, value);
}

bool UninstallLog::LogKeyExists(LogKind kind, const std::string& key) {
  if (!enabled_ || path_.empty()) return false;
  return IniReadString(path_, LogSectionName(kind), key, "=") != "=";
}

bool UninstallLog::AddLogRecord(const std::string& section, const std::string& record) {
  if (!enabled_) return false;
  std::string s = database_ ? ExpandString(database_, section) : section;
  std::string r = database_ ? ExpandString(database_, record) : record;
  std::string key, value;
  SplitRecord(r, key, value);
  return WriteRecord(s, key, value);
}

bool UninstallLog::WriteProgram(bool afterUninstall, const std::string& record) {
  int number = programNumber_++;
  return LogWrite(afterUninstall ? LogKind::RunApp : LogKind::PreRunApp, std::to_string(number), record);
}

bool UninstallLog::WriteAssembly(const std::string& record) {
  int number = assemblyNumber_++;
  return LogWrite(LogKind::SharedAssemblies, std::to_string(number), record);
}

bool UninstallLog::WriteUninstallStrings(const std::string& languageFile, TXMLObject* database) {
  if (!enabled_ || path_.empty()) return false;
  bool ok = WriteRecord("Strings", "AppID", GetVariable(database, "AppID"));
  ok = WriteRecord("Strings", "AdminRights", GetVariable(database, "AdminRights")) && ok;
  if (languageFile.empty()) return ok;
  std::vector<std::string> sections;
  IniReadSections(languageFile, sections);
  for (const std::string& name : sections) {
    // A section named only by the prefix would have no name in the log.
    if (name.size() <= sizeof kUninstallPrefix - 1 || !StartsWithText(name, kUninstallPrefix)) continue;
    std::string target = name.substr(sizeof kUninstallPrefix - 1);
    std::vector<std::string> lines;
    IniReadSectionValues(languageFile, name, lines);
    for (const std::string& line : lines) {
      std::string key, value;
      SplitRecord(OneLine(ExpandText(database, line, true, true)), key, value);
      ok = WriteRecord(target, key, value) && ok;
    }
  }
  return ok;
}

}  // namespace vx
