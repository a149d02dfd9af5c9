#include "database/kqIniFile.h"

#include "database/kqXMLParser.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

// Section and key names are compared like the system's case-insensitive
// text comparison (ASCII and the Windows-1251 letter pairs).
bool SameName(const std::string& a, const std::string& b) { return XMLSameText(a, b); }

std::string NameOf(const std::string& line) { return line.substr(0, line.find('=')); }

bool SpaceOrTab(char c) { return c == ' ' || c == '\t'; }

// Decimal with an optional sign, or hexadecimal after "$": the 32-bit
// pattern of the number. False for anything else (the caller's default).
bool ParseInteger(const std::string& text, int& value) {
  std::string t = TrimLeft(text);
  if (t.empty()) return false;
  if (t[0] == '$') {
    uint32_t v = 0;
    if (!ParseHex32(std::string_view(t).substr(1), v)) return false;
    value = int(int32_t(v));
    return true;
  }
  int32_t v = 0;
  if (!ParseDecimal32(t, v)) return false;
  value = v;
  return true;
}

}  // namespace

int TSectionList::IndexOf(const std::string& name) {
  int n = Count();
  int start = LastFound >= 0 && LastFound < n ? LastFound : 0;
  for (int i = start; i < n; ++i)
    if (SameName(items[size_t(i)].name, name)) return LastFound = i;
  for (int i = 0; i < start; ++i)
    if (SameName(items[size_t(i)].name, name)) return LastFound = i;
  return -1;
}

TkqIniFile::TkqIniFile(const std::string& fileName, bool readOnly, bool stripComments, bool skipLinesWithoutEquals,
                       bool trimAroundEquals, bool unquoteValues)
    : readOnly_(readOnly),
      stripComments_(stripComments),
      skipLinesWithoutEquals_(skipLinesWithoutEquals),
      trimAroundEquals_(trimAroundEquals),
      unquoteValues_(unquoteValues) {
  Open(fileName);
}

TkqIniFile::~TkqIniFile() {
  UpdateFile();
  handle_.reset();
}

void TkqIniFile::Open(const std::string& fileName) {
  UpdateFile();
  handle_.reset();
  sections_.items.clear();
  sections_.LastFound = 0;
  fileName_ = fileName;
  if (!fileName_.empty() && ExtractFilePath(fileName_).empty())
    fileName_ = IncludeTrailingBackslash(CurrentHost().WindowsFolder()) + fileName_;
  if (!fileName_.empty()) Load();
  modified_ = false;
}

void TkqIniFile::Load() {
  Host& host = CurrentHost();
  currentSection_ = 0;
  handle_.reset();
  if (host.GetAttributes(fileName_) == kInvalidAttributes) return;
  std::unique_ptr<HostFile> f =
      readOnly_ ? host.OpenFile(fileName_, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite)
                : host.OpenFile(fileName_, FileAccess::ReadWrite, FileCreate::OpenAlways, kShareRead);
  if (!f) throw EInOutError(Format("Cannot open file %s", fileName_.c_str()));
  std::string content;
  int64_t size = f->Size();
  if (size > 0) {
    content.resize(size_t(size));
    size_t done = 0;
    if (!f->Read(content.data(), content.size(), done)) done = 0;
    content.resize(done);
  }

  std::vector<std::string>* receiving = nullptr;  // lines before the first section are dropped
  size_t pos = 0;
  while (pos < content.size()) {
    size_t cr = content.find('\r', pos);
    if (cr == std::string::npos) cr = content.size();
    std::string line;
    for (size_t i = pos; i < cr; ++i)
      if (content[i] != '\n') line += content[i];
    pos = cr + 1;

    if (line.size() == 1 && line[0] == '\x1A') line.clear();
    line = Trim(line);
    if (stripComments_ && !line.empty() && line[0] == ';') line.clear();
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      std::string name = line.substr(1, line.size() - 2);
      bool duplicate = false;
      for (const auto& s : sections_.items) duplicate = duplicate || SameName(s.name, name);
      if (duplicate) {
        receiving = nullptr;  // only the first section of a name counts
      } else {
        sections_.items.push_back({name, {}});
        receiving = &sections_.items.back().lines;
      }
      continue;
    }
    size_t eq = line.find('=');
    if (trimAroundEquals_ && eq != std::string::npos && eq > 0) {
      size_t start = eq;
      while (start > 0 && SpaceOrTab(line[start - 1])) --start;
      size_t end = eq + 1;
      while (end < line.size() && SpaceOrTab(line[end])) ++end;
      line = line.substr(0, start) + "=" + line.substr(end);
      eq = start;
    }
    if (unquoteValues_ && eq != std::string::npos && eq >= 1 && eq + 2 < line.size()) {
      char q = line[eq + 1];
      if ((q == '"' || q == '\'') && line.back() == q)
        line = line.substr(0, eq + 1) + line.substr(eq + 2, line.size() - eq - 3);
    }
    if (skipLinesWithoutEquals_ && eq == std::string::npos) continue;
    if (receiving) receiving->push_back(line);
  }
  if (!readOnly_) handle_ = std::move(f);
}

int TkqIniFile::FindKey(const std::string& section, const std::string& key, bool create,
                        std::vector<std::string>*& lines) {
  lines = nullptr;
  int n = sections_.Count();
  int found = -1;
  int start = currentSection_ >= 0 && currentSection_ < n ? currentSection_ : 0;
  for (int i = 0; i < n && found < 0; ++i) {
    int j = (start + i) % n;
    if (SameName(sections_.items[size_t(j)].name, section)) found = j;
  }
  if (found < 0) {
    if (!create) return -1;
    sections_.items.push_back({section, {}});
    currentSection_ = n;
    lines = &sections_.items.back().lines;
    return -1;
  }
  currentSection_ = found;
  lines = &sections_.items[size_t(found)].lines;
  for (size_t i = 0; i < lines->size(); ++i)
    if (SameName(NameOf((*lines)[i]), key)) return int(i);
  return -1;
}

std::string TkqIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) {
  std::vector<std::string>* lines;
  int i = FindKey(section, key, false, lines);
  if (i < 0) return def;
  const std::string& line = (*lines)[size_t(i)];
  size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

void TkqIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (key.empty()) {
    if (!section.empty() || !value.empty()) EraseSection(section);
    else UpdateFile();
    return;
  }
  std::string line = key + "=" + value;
  std::vector<std::string>* lines;
  int i = FindKey(section, key, true, lines);
  if (i < 0) {
    lines->push_back(line);
    modified_ = true;
  } else if ((*lines)[size_t(i)] != line) {
    (*lines)[size_t(i)] = line;
    modified_ = true;
  }
}

int TkqIniFile::ReadInteger(const std::string& section, const std::string& key, int def) {
  std::string s = ReadString(section, key, "");
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = "$" + s.substr(2);
  int v = 0;
  return ParseInteger(s, v) ? v : def;
}

void TkqIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, Format("%d", value));
}

bool TkqIniFile::ReadBool(const std::string& section, const std::string& key, bool def) {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TkqIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TkqIniFile::ReadSection(const std::string& section, std::vector<std::string>& strings) {
  int i = sections_.IndexOf(section);
  if (i < 0) return;
  for (const std::string& line : sections_.items[size_t(i)].lines) strings.push_back(NameOf(line));
}

void TkqIniFile::ReadSections(std::vector<std::string>& strings) {
  strings.clear();
  for (const auto& s : sections_.items) strings.push_back(s.name);
}

void TkqIniFile::ReadSectionValues(const std::string& section, std::vector<std::string>& strings) {
  int i = sections_.IndexOf(section);
  if (i < 0) return;
  const std::vector<std::string>& lines = sections_.items[size_t(i)].lines;
  std::vector<std::string> result = lines;
  for (const std::string& incoming : strings) {
    std::string name = NameOf(incoming);
    bool present = false;
    for (const std::string& l : lines) present = present || SameName(NameOf(l), name);
    if (!present) result.push_back(incoming);
  }
  strings = std::move(result);
}

void TkqIniFile::WriteSection(const std::string& section, const std::vector<std::string>& strings) {
  for (const std::string& line : strings) {
    size_t eq = line.find('=');
    WriteString(section, line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
  }
}

void TkqIniFile::EraseSection(const std::string& section) {
  int i = sections_.IndexOf(section);
  if (i < 0) return;
  sections_.items.erase(sections_.items.begin() + i);
  sections_.LastFound = 0;
  modified_ = true;
}

void TkqIniFile::DeleteKey(const std::string& section, const std::string& key) {
  std::vector<std::string>* lines;
  int i = FindKey(section, key, true, lines);
  if (i < 0) return;
  lines->erase(lines->begin() + i);
  modified_ = true;
}

void TkqIniFile::GetStrings(std::vector<std::string>& strings) {
  for (const auto& s : sections_.items) {
    if (s.lines.empty()) continue;
    strings.push_back("[" + s.name + "]");
    strings.insert(strings.end(), s.lines.begin(), s.lines.end());
    strings.push_back("");
  }
}

std::string TkqIniFile::Image() const {
  std::string out;
  for (const auto& s : sections_.items) {
    if (s.lines.empty()) continue;  // empty sections are never written
    out += "[" + s.name + "]\r\n";
    for (const std::string& l : s.lines) out += l + "\r\n";
    out += "\r\n";
  }
  return out;
}

// Replaces the file by a complete new copy where the system can rename over
// a file (so that a failure never leaves half a file), else writes it in
// place through the open handle and truncates it there.
bool TkqIniFile::WriteImage(const std::string& image) {
  Host& host = CurrentHost();
  std::string dir = ExtractFileDir(fileName_);
  if (!handle_ && !dir.empty()) ForceFolders(dir);

  std::string temp = IncludeTrailingBackslash(dir) + UniqueName(dir, "~ini", ".tmp");
  bool written = false;
  if (auto t = host.OpenFile(temp, FileAccess::Write, FileCreate::CreateNew, kShareNone)) {
    size_t done = 0;
    written = t->Write(image.data(), image.size(), done) && done == image.size();
  }
  if (written) {
    bool hadHandle = handle_ != nullptr;
    uint32_t attributes = host.GetAttributes(fileName_);
    handle_.reset();
    if (host.MoveFileWithFlags(temp, fileName_, kMoveFileReplaceExisting)) {
      if (attributes != kInvalidAttributes && (attributes & (kAttrHidden | kAttrSystem)))
        host.SetAttributes(fileName_, attributes);
      // Held from now on, whether it was opened at load or created here,
      // so that other writers stay out until the object is done with it.
      handle_ = host.OpenFile(fileName_, FileAccess::ReadWrite, FileCreate::OpenExisting, kShareRead);
      return true;
    }
    if (hadHandle) handle_ = host.OpenFile(fileName_, FileAccess::ReadWrite, FileCreate::OpenAlways, kShareRead);
  }
  host.RemoveFile(temp);

  if (!handle_) handle_ = host.OpenFile(fileName_, FileAccess::ReadWrite, FileCreate::OpenAlways, kShareRead);
  if (!handle_) return false;
  size_t done = 0;
  return handle_->Seek(0, 0) && handle_->Write(image.data(), image.size(), done) && done == image.size() &&
         handle_->SetEnd();
}

bool TkqIniFile::UpdateFile() {
  if (!modified_) return true;
  // A failed write is reported once; the changes stay in memory only.
  modified_ = false;
  return fileName_.empty() || readOnly_ || WriteImage(Image());
}

void RegisterIniFileClass() {
  SetIniFileFactory([](const std::string& fileName, bool readOnly,
                       const IniOptions& o) -> std::unique_ptr<TkqIniFileBase> {
    return std::make_unique<TkqIniFile>(fileName, readOnly, o.stripComments, o.skipLinesWithoutEquals,
                                        o.trimAroundEquals, o.unquoteValues);
  });
}

}  // namespace vx
