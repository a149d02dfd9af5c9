// kqIniFile: Windows INI files read and written by the engine itself.
//
// The whole file is loaded into memory as a list of sections, each a list
// of "name=value" lines; reads are answered from memory and the file is
// written back in one piece when it has changed. Loading normalises lines
// (trimming, comments and lines without "=" dropped as the options say), so
// a file that is rewritten holds only sections and name=value lines. A
// writable object keeps its file open with read sharing only, so that other
// writers are locked out until it is destroyed or reopened.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "system/Errors.h"
#include "system/host.h"
#include "system/kqRegIni.h"

namespace vx {

// One entry a section: its name as read and its lines.
class TSectionList {
 public:
  struct Section {
    std::string name;
    std::vector<std::string> lines;
  };

  // Searches from LastFound to the end, then from the start; a hit becomes
  // LastFound. -1 when there is no such section.
  int IndexOf(const std::string& name);
  int Count() const { return int(items.size()); }

  std::vector<Section> items;
  int LastFound = 0;
};

class TkqIniFile : public TkqIniFileBase {
 public:
  // Raises EInOutError "Cannot open file %s" when the file exists but
  // cannot be opened.
  TkqIniFile(const std::string& fileName, bool readOnly = false, bool stripComments = true,
             bool skipLinesWithoutEquals = true, bool trimAroundEquals = true, bool unquoteValues = true);
  ~TkqIniFile() override;
  TkqIniFile(const TkqIniFile&) = delete;
  TkqIniFile& operator=(const TkqIniFile&) = delete;

  // Writes pending changes, then loads `fileName` (a name without folder is
  // in the Windows folder).
  void Open(const std::string& fileName);

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) override;
  void WriteString(const std::string& section, const std::string& key, const std::string& value) override;
  int ReadInteger(const std::string& section, const std::string& key, int def) override;
  void WriteInteger(const std::string& section, const std::string& key, int value) override;
  bool ReadBool(const std::string& section, const std::string& key, bool def) override;
  void WriteBool(const std::string& section, const std::string& key, bool value) override;
  void ReadSection(const std::string& section, std::vector<std::string>& strings) override;
  void ReadSections(std::vector<std::string>& strings) override;
  void ReadSectionValues(const std::string& section, std::vector<std::string>& strings) override;
  void WriteSection(const std::string& section, const std::vector<std::string>& strings) override;
  void EraseSection(const std::string& section) override;
  void DeleteKey(const std::string& section, const std::string& key) override;
  void GetStrings(std::vector<std::string>& strings) override;
  bool UpdateFile() override;

  // The index of the key's line in the section (-1 when missing) and the
  // section's lines (null when the section is missing and not created).
  int FindKey(const std::string& section, const std::string& key, bool create, std::vector<std::string>*& lines);

  const std::string& FileName() const { return fileName_; }
  bool Modified() const { return modified_; }
  bool ReadOnly() const { return readOnly_; }
  int CurrentSection() const { return currentSection_; }
  TSectionList& Sections() { return sections_; }

 private:
  void Load();
  std::string Image() const;
  bool WriteImage(const std::string& image);

  std::string fileName_;
  std::unique_ptr<HostFile> handle_;
  bool modified_ = false;
  TSectionList sections_;
  int currentSection_ = 0;
  bool readOnly_;
  bool stripComments_, skipLinesWithoutEquals_, trimAroundEquals_, unquoteValues_;
};

// Hands TkqIniFile to the INI access functions of kqRegIni (their cache
// of one object per file). Called once at start-up.
void RegisterIniFileClass();

}  // namespace vx
