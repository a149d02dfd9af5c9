#include "database/Variables.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

// --- Expansion state ----------------------------------------------------------------

// The nesting depth of the expansions running on this thread, the text the
// outermost one was given, and how much text it has worked through.
thread_local int t_nesting = 0;
thread_local std::string_view t_outermost;
thread_local size_t t_work = 0;

class NestingScope {
 public:
  explicit NestingScope(std::string_view text) {
    if (t_nesting == 0) {
      t_outermost = text;
      t_work = 0;
    }
    ++t_nesting;
  }
  ~NestingScope() { --t_nesting; }
  bool TooDeep() const { return t_nesting > kMaxExpansionNesting; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
};

// Counts `bytes` more text scanned or produced by the current outermost
// expansion; raises the too-long error beyond the bound.
void CountExpansionWork(size_t bytes) {
  t_work += bytes;
  if (t_work <= kMaxExpansionText) return;
  constexpr size_t kShown = 60;
  std::string shown(t_outermost.substr(0, kShown));
  if (t_outermost.size() > kShown) shown += "...";
  std::string_view msg = kMsgExpansionTooLong;
  size_t at = msg.find("%s");
  throw EEngineError(std::string(msg.substr(0, at)) + shown + std::string(msg.substr(at + 2)));
}

void AppendInfiniteReference(std::string_view text, std::string& out) {
  std::string_view msg = kMsgInfiniteReference;
  size_t at = msg.find("%s");
  CountExpansionWork(msg.size() - 2 + text.size());
  out.append(msg.substr(0, at));
  out.append(text);
  out.append(msg.substr(at + 2));
}

// Whether expanding `text` can change it.
bool HasReferences(std::string_view text, bool expandIdentifiers) {
  for (char c : text)
    if (c == '#' || (expandIdentifiers && (c == '%' || c == '|'))) return true;
  return false;
}

// --- Lookup -------------------------------------------------------------------------

bool IsVariableItem(const TXMLObject& o) { return &o.ClassType() == &TvxVariable::StaticClass(); }

// The first available variable of the list named `name` (ASCII letters
// without case) that does not describe an environment variable, by a walk
// over the whole list.
TvxVariable* ScanList(const TvxVariables& list, std::string_view name) {
  const int count = list.Count();
  for (int i = 0; i < count; ++i) {
    TXMLObject& o = list.Get(i);
    auto* v = IsVariableItem(o) ? static_cast<TvxVariable*>(&o) : dynamic_cast<TvxVariable*>(&o);
    if (!v || v->Name.size() != name.size() || v->VarType == TvxVarType::vtEnvVar) continue;
    if (SameText(v->Name, name) && IsAvailable(v)) return v;
  }
  return nullptr;
}

// A name index of one variables list, so that a lookup costs a hash and a
// check of the few variables of that name instead of a walk over a list of
// hundreds. The list has no change counter: the index is rebuilt when the
// number of items differs, and every variable it names is checked to be
// still at its place and still of that name before it is used. A name the
// index does not know is looked for by a walk, so a variable renamed in
// place is still found.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    // FNV-1a of the upper-cased name, 64-bit (also on 32-bit systems).
    uint64_t h = 14695981039346656037ull;
    for (char c : s) h = (h ^ (unsigned char)UpCaseAscii(c)) * 1099511628211ull;
    return size_t(h ^ (h >> 32));
  }
};
struct NameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return SameText(a, b); }
};
struct Candidate {
  int position;
  TvxVariable* variable;
};
using NameMap = std::unordered_map<std::string, std::vector<Candidate>, NameHash, NameEqual>;

struct ListIndex {
  int count = -1;
  std::shared_ptr<const NameMap> names;
};

// Per thread: an expansion on the installation worker never shares the
// main thread's cache. The table is reached through a plain pointer: a
// thread-local object with a destructor is destroyed by the MinGW runtime
// after its storage is gone when the thread was not started by the C++
// runtime, which corrupts the heap; a worker hands its table back with
// ReleaseThreadVariableIndexes instead.
using IndexTable = std::unordered_map<const TvxVariables*, ListIndex>;
thread_local IndexTable* t_indexes = nullptr;
thread_local const TvxVariables* t_lastList = nullptr;
thread_local ListIndex* t_lastIndex = nullptr;

void Rebuild(const TvxVariables& list, ListIndex& index) {
  auto names = std::make_shared<NameMap>();
  const int count = list.Count();
  names->reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    TXMLObject& o = list.Get(i);
    auto* v = IsVariableItem(o) ? static_cast<TvxVariable*>(&o) : dynamic_cast<TvxVariable*>(&o);
    if (v) (*names)[v->Name].push_back({i, v});
  }
  index.count = count;
  index.names = std::move(names);
}

// A run has a handful of variables lists; a process that creates many
// databases (tools, tests) forgets the indexes of old ones now and then.
constexpr size_t kMaxIndexes = 64;

ListIndex& IndexOf(const TvxVariables& list) {
  if (t_lastList != &list) {
    if (!t_indexes) t_indexes = new IndexTable;
    IndexTable& indexes = *t_indexes;
    auto found = indexes.find(&list);
    if (found == indexes.end()) {
      if (indexes.size() >= kMaxIndexes) indexes.clear();  // callers hold the maps they still use
      found = indexes.emplace(&list, ListIndex()).first;
    }
    t_lastIndex = &found->second;
    t_lastList = &list;
  }
  if (t_lastIndex->count != list.Count()) Rebuild(list, *t_lastIndex);
  return *t_lastIndex;
}

TvxVariable* FindInList(const TvxVariables* list, std::string_view name) {
  if (!list) return nullptr;
  ListIndex& index = IndexOf(*list);
  auto it = index.names->find(name);
  if (it == index.names->end()) return ScanList(*list, name);
  // Kept alive once a condition is evaluated: an evaluation may add
  // variables, and the index is then rebuilt under us.
  std::shared_ptr<const NameMap> hold;
  const std::vector<Candidate>& candidates = it->second;
  for (size_t k = 0; k < candidates.size(); ++k) {
    const Candidate c = candidates[k];
    if (c.position >= list->Count() || &list->Get(c.position) != c.variable || !SameText(c.variable->Name, name)) {
      // The list changed behind the index (same size, other items).
      Rebuild(*list, IndexOf(*list));
      return ScanList(*list, name);
    }
    if (c.variable->VarType == TvxVarType::vtEnvVar) continue;
    // IsAvailable without its work for the common variable without a condition.
    if (c.variable->Condition.empty()) return c.variable;
    if (!hold) hold = index.names;
    if (IsAvailable(c.variable)) return c.variable;
  }
  return nullptr;
}

struct Context {
  TvxMainDatabase* main = nullptr;
  TvxPackage* package = nullptr;
};

Context ContextOf(TXMLObject* database) {
  if (!database) throw EEngineError(kMsgNoDatabase);
  Context c;
  if (&database->ClassType() == &TvxMainDatabase::StaticClass()) {
    c.main = static_cast<TvxMainDatabase*>(database);
    return c;
  }
  if (auto* main = dynamic_cast<TvxMainDatabase*>(database)) {
    c.main = main;
    return c;
  }
  auto* package = dynamic_cast<TvxPackage*>(database);
  if (!package) throw EEngineError(kMsgWrongClass);
  c.package = package;
  // A package belongs to the Packages list of its main database.
  if (package->Owner) c.main = dynamic_cast<TvxMainDatabase*>(package->Owner->Owner);
  return c;
}

TvxVariable* Find(const Context& c, std::string_view name) {
  if (c.package)
    if (TvxVariable* v = FindInList(c.package->Variables.get(), name)) return v;
  return c.main ? FindInList(c.main->Variables.get(), name) : nullptr;
}

bool IsSelfReference(std::string_view text, std::string_view name) {
  return text.size() == name.size() + 2 && text.front() == '%' && text.back() == '%' &&
         SameText(text.substr(1, name.size()), name);
}

// Appends the value of `name` (or `def` when there is no such variable),
// expanded unless the variable says otherwise.
void AppendVariable(TXMLObject* database, std::string_view name, std::string_view def, std::string& out) {
  if (name.empty()) return;
  TvxVariable* v = Find(ContextOf(database), name);
  std::string stored;
  std::string_view text = def;
  bool expandIdentifiers = true;
  if (v) {
    if (v->VarType == TvxVarType::vtReg || v->VarType == TvxVarType::vtIni) {
      stored = RawVariableValue(database, *v);
      text = stored;
    } else {
      text = v->Value;
    }
    if (v->Flags.Contains(TvxFlag::dont_parse)) {
      CountExpansionWork(text.size());
      out.append(text);
      return;
    }
    expandIdentifiers = !v->Flags.Contains(TvxFlag::dont_parse_identifiers);
  }
  if (IsSelfReference(text, name)) {
    CountExpansionWork(text.size());
    out.append(text);
    return;
  }
  // An "#expression#" may change this very variable (SetVariable) while its
  // value is being read: expand a copy then.
  if (v && stored.empty() && text.find('#') != std::string_view::npos) {
    stored = text;
    text = stored;
  }
  ExpandTextTo(database, text, false, expandIdentifiers, out);
}

TvxVariables* VariablesForNew(const Context& c) {
  if (c.main) return c.main->Variables.get();
  return c.package ? c.package->Variables.get() : nullptr;
}

std::string FirstItem(const std::string& text, char separator) { return text.substr(0, text.find(separator)); }

// The drive part of a path: "C:" of "C:\dir", "\\server\share" of a UNC path.
std::string ExtractFileDrive(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  if (path.size() >= 2 && IsPathDelimiter(path[0]) && IsPathDelimiter(path[1])) {
    size_t i = 2, parts = 0;
    while (i < path.size()) {
      if (IsPathDelimiter(path[i]) && ++parts == 2) break;
      ++i;
    }
    return path.substr(0, i);
  }
  return "";
}

}  // namespace

void ReleaseThreadVariableIndexes() {
  delete t_indexes;
  t_indexes = nullptr;
  t_lastList = nullptr;
  t_lastIndex = nullptr;
}

// --- Lookup and reading -----------------------------------------------------------------

TvxVariable* FindVariable(TXMLObject* database, std::string_view name) { return Find(ContextOf(database), name); }

std::string RawVariableValue(TXMLObject* database, const TvxVariable& v) {
  switch (v.VarType) {
    case TvxVarType::vtReg:
      return RegReadText(ExpandString(database, v.RegKey), ExpandString(database, v.RegParam), v.DefValue);
    case TvxVarType::vtIni:
      return IniReadString(ExpandString(database, v.IniFile), ExpandString(database, v.IniSection),
                           ExpandString(database, v.IniParam), v.DefValue);
    default:
      return v.Value;
  }
}

std::string GetVariable(TXMLObject* database, std::string_view name, const std::string& def) {
  std::string out;
  AppendVariable(database, name, def, out);
  return out;
}

int32_t GetVariableInt(TXMLObject* database, std::string_view name, int32_t def) {
  int32_t value = 0;
  return ParseInteger(GetVariable(database, name, std::to_string(def)), value) ? value : def;
}

bool GetVariableBool(TXMLObject* database, std::string_view name, bool def) {
  return GetVariableInt(database, name, def ? 1 : 0) != 0;
}

// --- Setting ---------------------------------------------------------------------------------

TvxVariable* SetVariable(TXMLObject* database, std::string_view name, const std::string& value) {
  if (name.empty()) return nullptr;
  Context c = ContextOf(database);
  if (TvxVariable* v = Find(c, name)) {
    v->Value = value;
    return v;
  }
  TvxVariables* list = VariablesForNew(c);
  if (!list) return nullptr;
  TvxVariable* v = list->AddNew();
  v->Name = std::string(name);
  v->Value = value;
  return v;
}

void SetVariableInt(TXMLObject* database, std::string_view name, int32_t value) {
  SetVariable(database, name, std::to_string(value));
}

void SetVariableBool(TXMLObject* database, std::string_view name, bool value) {
  SetVariable(database, name, value ? "1" : "0");
}

namespace {
std::string CleanPath(const std::string& path) {
  std::string p = Trim(path);
  if (!p.empty() && p.back() == '\\') p.pop_back();
  return p;
}
}  // namespace

void SetPathVariable(TXMLObject* database, std::string_view name, const std::string& path) {
  SetVariable(database, name, CleanPath(path));
}

void SetSystemVariable(TXMLObject* database, std::string_view name, const std::string& value) {
  if (TvxVariable* v = SetVariable(database, name, value)) v->Transient = true;
}

void SetSystemPathVariable(TXMLObject* database, std::string_view name, const std::string& path) {
  SetSystemVariable(database, name, CleanPath(path));
}

// --- Expansion -------------------------------------------------------------------------------

void ExpandTextTo(TXMLObject* database, std::string_view text, bool unknownAsEmpty, bool expandIdentifiers,
                  std::string& out) {
  NestingScope scope(text);
  if (scope.TooDeep()) {
    AppendInfiniteReference(text, out);
    return;
  }
  // Every byte of the output comes from a scanned text, a message or an
  // expression's value, so counting those bounds the output as well.
  CountExpansionWork(text.size());
  if (!HasReferences(text, expandIdentifiers)) {
    out.append(text);
    return;
  }
  enum class State { Normal, InPercent, AfterBar, InHash } state = State::Normal;
  size_t nameStart = 0;  // the collected name is text[nameStart, i)
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    switch (state) {
      case State::Normal:
        if (c == '#') {
          nameStart = i + 1;
          state = State::InHash;
        } else if (c == '%' && expandIdentifiers) {
          nameStart = i + 1;
          state = State::InPercent;
        } else if (c == '|' && expandIdentifiers) {
          state = State::AfterBar;
        } else {
          out += c;
        }
        break;
      case State::InPercent:
        if (c == '%') {
          std::string_view name = text.substr(nameStart, i - nameStart);
          if (name.empty()) {
            out += '%';
          } else if (unknownAsEmpty) {
            AppendVariable(database, name, {}, out);
          } else {
            AppendVariable(database, name, text.substr(nameStart - 1, name.size() + 2), out);
          }
          state = State::Normal;
        }
        break;
      case State::AfterBar:
        if (c == '|') {
          out += "\r\n";
          state = State::Normal;
        } else {
          out += '|';
          state = State::Normal;
          --i;  // the same byte again, in Normal
        }
        break;
      case State::InHash:
        if (c == '#') {
          std::string_view expr = text.substr(nameStart, i - nameStart);
          if (expr.empty()) {
            out += '#';
          } else if (TvxExpressionContext* expressions = ExpressionsOf(database)) {
            std::string value;
            expressions->EvaluateText(database, expr, expandIdentifiers, value, nullptr);
            CountExpansionWork(value.size());
            out += value;
          } else {
            out.append(text.substr(nameStart - 1, expr.size() + 2));  // no evaluator: as written
          }
          state = State::Normal;
        }
        break;
    }
  }
  switch (state) {
    case State::InPercent:
    case State::InHash:
      out.append(text.substr(nameStart - 1));  // "%" or "#" and the collected name
      break;
    case State::AfterBar:
      out += '|';
      break;
    case State::Normal:
      break;
  }
}

std::string ExpandText(TXMLObject* database, std::string_view text, bool unknownAsEmpty, bool expandIdentifiers) {
  std::string out;
  ExpandTextTo(database, text, unknownAsEmpty, expandIdentifiers, out);
  return out;
}

std::string ExpandString(TXMLObject* database, std::string_view text) { return ExpandText(database, text, false, true); }

// --- Predefined variables ----------------------------------------------------------------------

void DefineFolderVariables(TvxMainDatabase& db) {
  SetSystemVariable(&db, "BootDrive",
                    ExtractFileDrive(RegReadText("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup",
                                                 "BootDir", "")));
  SetSystemPathVariable(&db, "Windows", GetWindowsFolder());
  SetSystemPathVariable(&db, "System", GetSystemFolder());

  // In the order of GetSpecialFolder's indexes.
  static const char* const kShellFolders[] = {
      "Desktop",   "Fonts",           "NetHood",            "Personal",          "ProgramsMenu",
      "Recent",    "SendTo",          "StartMenu",          "StartupMenu",       "Templates",
      "CommonStartMenu", "CommonProgramsMenu", "CommonStartupMenu", "CommonDesktop"};
  for (int i = 0; i < int(sizeof kShellFolders / sizeof kShellFolders[0]); ++i)
    SetSystemPathVariable(&db, kShellFolders[i], GetSpecialFolder(i));

  struct RegFolder {
    const char* name;
    const char* key;
    const char* value;
    const char* def;
  };
  static const RegFolder kRegFolders[] = {
      {"ProgramFiles", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\", "ProgramFilesDir",
       "%BootDrive%\\Program Files"},
      {"CommonFiles", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\", "CommonFilesDir",
       "%ProgramFiles%\\Common Files"},
      {"ApplicationData", "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders\\",
       "AppData", "%Windows%\\Application Data"},
      {"Office97", "HKLM\\SOFTWARE\\Microsoft\\Office\\8.0\\Common\\InstallRoot\\", "OfficeBin",
       "%ProgramFiles%\\Microsoft Office\\Office"},
      {"Office2000", "HKLM\\SOFTWARE\\Microsoft\\Office\\9.0\\Common\\InstallRoot\\", "Path",
       "%ProgramFiles%\\Microsoft Office\\Office"},
  };
  for (const RegFolder& f : kRegFolders) SetSystemPathVariable(&db, f.name, RegReadText(f.key, f.value, f.def));

  std::string bde = FirstItem(RegReadText("HKLM\\SOFTWARE\\Borland\\Database Engine", "DLLPATH", ""), ';');
  SetSystemPathVariable(&db, "BDE", bde.empty() ? "%CommonFiles%\\Borland Shared\\BDE" : bde);

  std::vector<std::string> versions;
  RegListSubKeys("HKLM\\SOFTWARE\\Borland\\Delphi", versions);
  std::string delphi = "C:";
  if (!versions.empty()) {
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    delphi = RegReadText("HKLM\\SOFTWARE\\Borland\\Delphi\\" + versions.back(), "RootDir", "");
  }
  SetSystemPathVariable(&db, "Delphi", delphi);

  // The engine fixes "/" as the date separator for the whole run.
  SystemTime now = CurrentHost().LocalTime();
  SetSystemVariable(&db, "Date", Format("%02u/%02u/%04u", unsigned(now.month), unsigned(now.day), unsigned(now.year)));

  const char* roots = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\W3SVC\\Parameters\\Virtual Roots\\";
  SetSystemPathVariable(&db, "IIS-WWWRoot", FirstItem(RegReadText(roots, "/", "%BootDrive%\\wwwroot"), ','));
  SetSystemPathVariable(&db, "IIS-Scripts",
                        FirstItem(RegReadText(roots, "/Scripts", "%IIS-WWWRoot%\\scripts"), ','));
}

void ImportEnvironment(TvxMainDatabase& db) {
  std::vector<std::string> lines;
  GetEnvironmentList(lines);
  std::stable_sort(lines.begin(), lines.end(),
                   [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    std::string name = line.substr(0, eq);
    if (name.empty()) continue;
    if (FindInList(db.Variables.get(), name)) continue;
    SetSystemVariable(&db, name, eq == std::string::npos ? std::string() : line.substr(eq + 1));
  }
}

}  // namespace vx
