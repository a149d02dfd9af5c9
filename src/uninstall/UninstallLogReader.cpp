#include "uninstall/UninstallLogReader.h"

#include "system/kqStrUtils.h"

namespace vx {

namespace {

// The sections an installation writes (besides "Strings" and the texts).
const char* const kRecordSections[] = {"CopyFiles",  "AddReg",     "AddIni",    "Shortcuts", "CreateDirs",
                                       "CreateKeys", "RegServers", "RegFonts",  "SharedFiles", "PreRunApp",
                                       "RunApp",     "SharedAssemblies", "EnvVars"};

// One quoted field of a record at `pos`: "'text'" followed by "," or the
// end. The field ends at the first quote that is followed by a comma (or
// ends the record), so a quote inside a field is kept.
bool QuotedField(const std::string& s, size_t& pos, std::string& field) {
  if (pos >= s.size() || s[pos] != '\'') return false;
  size_t end = pos + 1;
  for (;;) {
    end = s.find('\'', end);
    if (end == std::string::npos) return false;
    if (end + 1 == s.size() || s[end + 1] == ',') break;
    ++end;
  }
  field = s.substr(pos + 1, end - pos - 1);
  pos = end + 1;
  return true;
}

bool Comma(const std::string& s, size_t& pos) {
  if (pos >= s.size() || s[pos] != ',') return false;
  ++pos;
  return true;
}

bool NumberField(const std::string& s, size_t& pos, int& value) {
  size_t end = s.find(',', pos);
  if (end == std::string::npos) end = s.size();
  int32_t v = 0;
  if (!ParseDecimal32(Trim(s.substr(pos, end - pos)), v)) return false;
  value = v;
  pos = end;
  return true;
}

}  // namespace

const LogSection* UninstallLogData::Find(const std::string& name) const {
  for (const LogSection& s : sections)
    if (SameText(s.name, name)) return &s;
  return nullptr;
}

std::string UninstallLogData::Value(const std::string& section, const std::string& key, const std::string& def) const {
  if (const LogSection* s = Find(section))
    for (const LogEntry& e : s->entries)
      if (SameText(e.key, key)) return e.value;
  return def;
}

bool UninstallLogData::HasUninstallSections() const {
  if (Find("Strings")) return true;
  for (const char* name : kRecordSections)
    if (Find(name)) return true;
  return false;
}

UninstallLogData ParseUninstallLog(const std::string& bytes) {
  UninstallLogData data;
  LogSection* current = nullptr;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = bytes.size();
    std::string line = Trim(bytes.substr(pos, end - pos));
    pos = end;
    if (pos < bytes.size() && bytes[pos] == '\r') ++pos;
    if (pos < bytes.size() && bytes[pos] == '\n') ++pos;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      current = nullptr;
      for (LogSection& s : data.sections)
        if (SameText(s.name, name)) current = &s;
      if (!current) {
        data.sections.push_back(LogSection{name, {}});
        current = &data.sections.back();
      }
      continue;
    }
    size_t eq = line.find('=');
    if (!current || eq == std::string::npos) continue;
    LogEntry entry{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
    bool replaced = false;
    for (LogEntry& e : current->entries)
      if (SameText(e.key, entry.key)) {
        e.value = entry.value;
        replaced = true;
      }
    if (!replaced) current->entries.push_back(std::move(entry));
  }
  return data;
}

bool ParseRegRecord(const std::string& record, std::string& key, std::string& valueName) {
  size_t at = record.find("\\'");
  if (at == std::string::npos || at == 0 || record.size() < at + 3 || record.back() != '\'') return false;
  key = record.substr(0, at);
  valueName = record.substr(at + 2, record.size() - at - 3);
  return true;
}

bool ParseIniRecord(const std::string& record, std::string& file, std::string& section, std::string& key) {
  size_t pos = 0;
  return QuotedField(record, pos, file) && Comma(record, pos) && QuotedField(record, pos, section) &&
         Comma(record, pos) && QuotedField(record, pos, key) && pos == record.size() && !file.empty();
}

bool ParseProgramRecord(const std::string& record, ProgramRecord& program) {
  size_t pos = 0;
  int wait = 1, check = 0;
  bool ok = QuotedField(record, pos, program.command) && Comma(record, pos) &&
            QuotedField(record, pos, program.arguments) && Comma(record, pos) &&
            QuotedField(record, pos, program.folder) && Comma(record, pos) &&
            NumberField(record, pos, program.window) && Comma(record, pos) &&
            QuotedField(record, pos, program.message) && Comma(record, pos) && NumberField(record, pos, wait) &&
            Comma(record, pos) && NumberField(record, pos, check) && pos == record.size();
  if (!ok || Trim(program.command).empty() || program.window < 0 || program.window > 3) return false;
  program.wait = wait != 0;
  program.checkExitCode = check != 0;
  return true;
}

int ShowCommandOf(int windowCode) {
  switch (windowCode) {
    case 0: return 0;  // SW_HIDE
    case 2: return 3;  // SW_SHOWMAXIMIZED
    case 3: return 2;  // SW_SHOWMINIMIZED
    default: return 1;  // SW_SHOWNORMAL
  }
}

bool ParseEnvVarRecord(const std::string& record, bool& system, std::string& addedEntries) {
  if (record.size() < 2 || (record[0] != '0' && record[0] != '1') || record[1] != ',') return false;
  system = record[0] == '1';
  addedEntries = record.substr(2);
  return true;
}

bool ParseAssemblyRecord(const std::string& record, std::string& assembly, std::string& reference) {
  size_t at = record.find(" OPAQUE ");
  if (at == std::string::npos || at == 0) return false;
  assembly = Trim(record.substr(0, at));
  reference = Trim(record.substr(at + 1));
  return !assembly.empty() && assembly.find('"') == std::string::npos;
}

std::vector<std::string> SplitPathList(const std::string& list) {
  std::vector<std::string> out;
  for (const std::string& e : SplitString(list, ';')) {
    std::string t = Trim(e);
    if (!t.empty()) out.push_back(t);
  }
  return out;
}

bool SamePathEntry(const std::string& a, const std::string& b) {
  return SameText(ExcludeTrailingBackslash(Trim(a)), ExcludeTrailingBackslash(Trim(b)));
}

}  // namespace vx
