// Reading an uninstall log: the INI text an installation leaves, taken as
// bytes (any bytes: a damaged or hand-edited log must not crash the
// uninstaller), and the record formats of its sections.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

struct LogEntry {
  std::string key, value;
};

struct LogSection {
  std::string name;
  std::vector<LogEntry> entries;  // in the order of the file
};

class UninstallLogData {
 public:
  // Sections in the order of the file; a section named twice is one
  // section (later entries join it), a key named twice in a section keeps
  // its first place and its last value, as the INI layer reads it.
  std::vector<LogSection> sections;

  // The section of that name (compared without regard to case), or null.
  const LogSection* Find(const std::string& name) const;
  // A value of a section; `def` when missing.
  std::string Value(const std::string& section, const std::string& key, const std::string& def = "") const;
  // Whether the log holds any of the sections an installation writes.
  bool HasUninstallSections() const;
};

// Parses the text of a log: "[name]" lines open sections, "key=value"
// lines (split at the first "=", blanks around both trimmed) fill them;
// comment lines (";"), lines without "=" and lines before the first
// section are ignored. CR LF, LF and CR end lines.
UninstallLogData ParseUninstallLog(const std::string& bytes);

// --- Record formats -------------------------------------------------------------------

// AddReg: "<key>\'<value name>'". False when the record has no such form.
bool ParseRegRecord(const std::string& record, std::string& key, std::string& valueName);
// AddIni: "'<file>','<section>','<key>'".
bool ParseIniRecord(const std::string& record, std::string& file, std::string& section, std::string& key);

// PreRunApp / RunApp: "'<command>','<arguments>','<folder>',<window>,'<message>',<wait>,<exit code>".
struct ProgramRecord {
  std::string command, arguments, folder, message;
  int window = 1;  // 1 normal, 3 minimised, 2 maximised, 0 hidden
  bool wait = true;
  bool checkExitCode = false;
};
bool ParseProgramRecord(const std::string& record, ProgramRecord& program);
// The show command (SW_*) of a window code of the log.
int ShowCommandOf(int windowCode);

// EnvVars: "<1|0>,<added path entries>".
bool ParseEnvVarRecord(const std::string& record, bool& system, std::string& addedEntries);

// SharedAssemblies: "<name>[,<assembly data>] OPAQUE "<id>" "<description>"":
// the assembly and the reference it was installed with.
bool ParseAssemblyRecord(const std::string& record, std::string& assembly, std::string& reference);

// A path list split at ";" (empty entries dropped).
std::vector<std::string> SplitPathList(const std::string& list);
// Two path entries name the same folder: compared without regard to case
// and to one trailing backslash.
bool SamePathEntry(const std::string& a, const std::string& b);

}  // namespace vx
