#include "expr/Functions.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "database/Variables.h"
#include "system/kqFileUtils.h"
#include "system/kqNTSecurity.h"
#include "system/kqRegIni.h"
#include "system/kqShell.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

const char* const kInstallerFunctionNames[kInstallerFunctionCount] = {
    "Iif",          "FilePath",       "FileName",      "NormalPath",       "FileVersion",    "FileDate",
    "FileExists",   "FolderExists",   "CompareVersion", "CompareDate",     "CompareText",    "RegKeyExists",
    "RegParamExists", "RegParam",     "AskUser",       "SubStr",           "FindSubStr",     "Length",
    "FileSize",     "Round",          "RenameFile",    "ActiveInstallType", "FeatureEnabled", "DotNetInstalled",
    "Return",       "AbortInstall",   "SuspendInstall", "ResumeInstall",   "SetVariable",    "GetVariable",
    "SetLanguage",  "SetInstallType", "SetPassword",   "HasAdminRights",   "ParseText",      "ShortFileName",
    "WindowExists", "MutexExists"};

void TvxInstallerServices::SetLanguage(TvxMainDatabase& database, const std::string& code) {
  SetVariable(&database, "LangID", code);
}

TvxInstallerServices& TvxEvaluator::Services() {
  static TvxInstallerServices none;
  return services_ ? *services_ : none;
}

namespace {

constexpr const char kMsgInvalidOp[] = "Invalid floating point operation";
constexpr const char kMsgInvalidDate[] = "'%s' is not a valid date and time";

// The metadata dispenser of the .NET runtime and the interface asked of it.
constexpr const char kDotNetClass[] = "{E5CB7A31-7512-11D2-89CE-0080C792E5D8}";
constexpr const char kDotNetInterface[] = "{31BCFCE2-DAFB-11D2-9F81-00C04F79A0A3}";

// --- Dates ---------------------------------------------------------------------------

// Days since 1 January 1970 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int(int64_t(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kDaysTo1970 = 25569;  // from 30 December 1899

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool ScanNumber(const std::string& s, size_t& p, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
    if (digits < 9) value = value * 10 + (s[p] - '0');
    ++digits;
    ++p;
  }
  return digits > 0 && digits <= 9;
}

void SkipBlanks(const std::string& s, size_t& p) {
  while (p < s.size() && s[p] == ' ') ++p;
}

// "m/d/y" or "m/d" (this year); a year of one or two digits is the one of
// the hundred years from fifty before the current year to forty-nine after
// it that ends in those digits.
bool ScanDate(const std::string& s, size_t& pos, double& date) {
  size_t p = pos;
  SkipBlanks(s, p);
  int month, day, year, digits;
  if (!ScanNumber(s, p, month, digits) || p >= s.size() || s[p] != '/') return false;
  ++p;
  if (!ScanNumber(s, p, day, digits)) return false;
  if (p < s.size() && s[p] == '/') {
    ++p;
    if (!ScanNumber(s, p, year, digits)) return false;
    if (digits <= 2) {
      const int first = CurrentHost().LocalTime().year - 50;
      year += first / 100 * 100;
      if (year < first) year += 100;
    }
  } else {
    year = CurrentHost().LocalTime().year;
  }
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  date = double(DaysFromCivil(year, unsigned(month), unsigned(day)) + kDaysTo1970);
  pos = p;
  return true;
}

// "h:m[:s[.ms]]" or "h", with an optional "AM"/"PM" (then h is 1 to 12).
bool ScanTime(const std::string& s, size_t& pos, double& time) {
  size_t p = pos;
  SkipBlanks(s, p);
  int hour, minute = 0, second = 0, ms = 0, digits;
  if (!ScanNumber(s, p, hour, digits)) return false;
  bool hasMinutes = false;
  if (p < s.size() && s[p] == ':') {
    ++p;
    if (!ScanNumber(s, p, minute, digits)) return false;
    hasMinutes = true;
    if (p < s.size() && s[p] == ':') {
      ++p;
      if (!ScanNumber(s, p, second, digits)) return false;
      if (p < s.size() && s[p] == '.') {
        ++p;
        if (!ScanNumber(s, p, ms, digits)) return false;
      }
    }
  }
  SkipBlanks(s, p);
  int ampm = 0;  // 1 AM, 2 PM
  if (p + 1 < s.size() && (s[p + 1] == 'M' || s[p + 1] == 'm')) {
    if (s[p] == 'A' || s[p] == 'a') ampm = 1;
    if (s[p] == 'P' || s[p] == 'p') ampm = 2;
    if (ampm) p += 2;
  }
  if (!hasMinutes && !ampm) return false;
  if (ampm) {
    if (hour < 1 || hour > 12) return false;
    if (hour == 12) hour = 0;
    if (ampm == 2) hour += 12;
  }
  if (hour > 23 || minute > 59 || second > 59 || ms > 999) return false;
  time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + ms) / 86400000.0;
  pos = p;
  return true;
}

// --- Small helpers ----------------------------------------------------------------------

bool IsDelimiterOfPath(char c) { return c == '\\' || c == ':'; }

size_t LastPathDelimiter(const std::string& path) {
  for (size_t i = path.size(); i-- > 0;)
    if (IsDelimiterOfPath(path[i])) return i;
  return std::string::npos;
}

// The text between a leading double quote and its closing one, doubled
// quotes undone; without a closing quote the rest of the text.
std::string ExtractQuoted(const std::string& s) {
  std::string out;
  size_t i = 1;
  while (i < s.size()) {
    if (s[i] == '"') {
      if (i + 1 < s.size() && s[i + 1] == '"') {
        out += '"';
        i += 2;
        continue;
      }
      break;
    }
    out += s[i++];
  }
  return out;
}

int Sign(double d) { return d > 0 ? 1 : d < 0 ? -1 : 0; }

std::string IntText(int v) { return std::to_string(v); }

TvxMainDatabase* MainOf(TvxEvaluator& ev, const TvxEvalData& data) {
  if (TvxMainDatabase* db = MainDatabase(data.Database)) return db;
  return dynamic_cast<TvxMainDatabase*>(ev.MainDatabase());
}

TXMLObject* NeedDatabase(const TvxEvalData& data) {
  if (!data.Database) throw EEngineError(kMsgNoDatabase);
  return data.Database;
}

// RegParam: the value in its text form by type, or `def`.
std::string RegParamText(const std::string& key, const std::string& name, const std::string& def) {
  uint32_t type = 0;
  std::string data;
  if (!RegReadRaw(key, name, type, data)) return def;
  switch (type) {
    case kRegSz:
      return data.substr(0, data.find('\0'));
    case kRegExpandSz: {
      std::string expanded;
      if (!CurrentHost().ExpandEnvStrings(data.substr(0, data.find('\0')), expanded)) return def;
      return expanded;
    }
    case kRegDword: {
      if (data.size() != 4) return std::to_string(StrToIntDef(def, 0));
      uint32_t v = uint32_t((unsigned char)data[0]) | uint32_t((unsigned char)data[1]) << 8 |
                   uint32_t((unsigned char)data[2]) << 16 | uint32_t((unsigned char)data[3]) << 24;
      return std::to_string(v);
    }
    case kRegBinary:
      return BytesToHex(data);
    case kRegMultiSz: {
      std::string out;
      size_t i = 0;
      bool first = true;
      while (i < data.size()) {
        size_t end = data.find('\0', i);
        if (end == std::string::npos) end = data.size();
        if (end == i) break;  // the empty string that ends the list
        if (!first) out += "\r\n";
        out.append(data, i, end - i);
        first = false;
        i = end + 1;
      }
      return out;
    }
    default:
      return def;
  }
}

// The first entry (not "." or "..") matching a path that may hold wildcards.
bool FirstMatch(const std::string& pattern, FindEntry& found) {
  Host& h = CurrentHost();
  std::string full = h.FullPath(pattern);
  size_t cut = LastPathDelimiter(full);
  std::string folder = cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
  std::string mask = cut == std::string::npos ? full : full.substr(cut + 1);
  if (mask.empty()) return false;
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  h.ListFolder(folder, mask, entries, error);
  for (const FindEntry& e : entries)
    if (e.name != "." && e.name != "..") {
      found = e;
      return true;
    }
  return false;
}

using Params = TkqParams;

// One built-in function: whether it may touch a drive (then it runs with
// critical errors failing silently), and what it does.
struct Builtin {
  int32_t paramCount;
  bool touchesDrives;
  TvxFunctionProc proc;
};

}  // namespace

// --- Shared pieces ----------------------------------------------------------------------

int32_t StrToIntDef(const std::string& text, int32_t def) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int32_t value = 0;
  return ParseInteger(std::string_view(text).substr(i), value) ? value : def;
}

int CompareVersionText(const std::string& v1, const std::string& v2) {
  auto keys = [](const std::string& v, int32_t& high, int32_t& low) {
    uint32_t words[4] = {0, 0, 0, 0};
    int n = 0;
    for (const std::string& part : SplitString(v, '.')) {
      if (part.empty()) continue;  // runs of dots are one separator
      if (n == 4) break;
      words[n++] = uint32_t(StrToIntDef(part, 0));
    }
    high = int32_t(words[0] * 65536u + words[1]);
    low = int32_t(words[2] * 65536u + words[3]);
  };
  int32_t h1, l1, h2, l2;
  keys(v1, h1, l1);
  keys(v2, h2, l2);
  if (h1 != h2) return h1 > h2 ? 1 : -1;
  if (l1 != l2) return l1 > l2 ? 1 : -1;
  return 0;
}

bool TryStrToDateTime(const std::string& text, double& value) {
  size_t p = 0;
  double date = 0, time = 0;
  if (ScanDate(text, p, date)) {
    SkipBlanks(text, p);
    if (p < text.size() && !ScanTime(text, p, time)) return false;
  } else {
    p = 0;
    if (!ScanTime(text, p, time)) return false;
  }
  SkipBlanks(text, p);
  if (p != text.size()) return false;
  value = date + time;
  return true;
}

std::string FormatDateTimeText(double value) {
  double day = std::floor(value);
  int64_t ms = int64_t(std::llround(std::fabs(value - day) * 86400000.0));
  if (ms >= 86400000) ms = 86400000 - 1;
  int y;
  unsigned m, d;
  CivilFromDays(int64_t(day) - kDaysTo1970, y, m, d);
  return Format("%02u/%02u/%04d %02d:%02d:%02d", m, d, y, int(ms / 3600000), int(ms / 60000 % 60),
                int(ms / 1000 % 60));
}

// --- The functions ------------------------------------------------------------------------

void RegisterInstallerFunctions(TvxEvaluator& evaluator) {
  // Answers of AskUser by question text, for the life of the evaluator.
  auto answers = std::make_shared<std::map<std::string, bool>>();

#define VX_FN [](TvxEvaluator & ev, const TkqFunction& func, const Params* params, \
                           const TvxEvalData& data, std::string& r)
#define P(i) ((*params)[i])

  const Builtin table[kInstallerFunctionCount] = {
      // 0 Iif
      {3, false, VX_FN { r = IsTrue(P(0)) ? P(1) : P(2); }},
      // 1 FilePath
      {1, false, VX_FN {
         size_t cut = LastPathDelimiter(P(0));
         if (cut == std::string::npos) return;
         r = P(0).substr(0, cut + 1);
         if (!r.empty() && r.back() == '\\') r.pop_back();
       }},
      // 2 FileName
      {1, false, VX_FN {
         size_t cut = LastPathDelimiter(P(0));
         r = cut == std::string::npos ? P(0) : P(0).substr(cut + 1);
       }},
      // 3 NormalPath
      {1, false, VX_FN {
         r = !P(0).empty() && P(0)[0] == '"' ? ExtractQuoted(P(0)) : P(0);
         if (!r.empty() && r.back() != '\\') r += '\\';
       }},
      // 4 FileVersion
      {1, true, VX_FN {
         uint32_t ms = 0, ls = 0;
         if (!GetFileVersion(P(0), ms, ls, r)) r = "0";
       }},
      // 5 FileDate
      {1, true, VX_FN { r = FormatDateTimeText(FileDate(P(0))); }},
      // 6 FileExists
      {1, true, VX_FN { r = BoolStr(FileExists(P(0))); }},
      // 7 FolderExists
      {1, true, VX_FN { r = BoolStr(FolderExists(P(0))); }},
      // 8 CompareVersion
      {2, false, VX_FN { r = IntText(CompareVersionText(P(0), P(1))); }},
      // 9 CompareDate
      {2, false, VX_FN {
         double d1, d2;
         if (!TryStrToDateTime(P(0), d1)) throw EEngineError(Format(kMsgInvalidDate, P(0).c_str()));
         if (!TryStrToDateTime(P(1), d2)) throw EEngineError(Format(kMsgInvalidDate, P(1).c_str()));
         r = IntText(Sign(d1 - d2));
       }},
      // 10 CompareText
      {2, false, VX_FN { r = IntText(CurrentHost().CompareLocaleText(P(0), P(1))); }},
      // 11 RegKeyExists
      {1, false, VX_FN { r = BoolStr(RegKeyExists(P(0))); }},
      // 12 RegParamExists
      {2, false, VX_FN { r = BoolStr(RegValueExists(P(0), P(1))); }},
      // 13 RegParam
      {3, false, VX_FN { r = RegParamText(P(0), P(1), P(2)); }},
      // 14 AskUser
      {4, false, [answers](TvxEvaluator& ev, const TkqFunction& func, const Params* params, const TvxEvalData& data,
                           std::string& r) {
         auto it = answers->find(P(1));
         if (it == answers->end()) {
           uint32_t style = 0;
           switch (StrToIntDef(P(2), 0)) {
             case 0: style = kMbIconInformation; break;
             case 1: style = kMbIconQuestion; break;
             case 2: style = kMbIconWarning; break;
             case 3: style = kMbIconError; break;
             default: break;
           }
           switch (StrToIntDef(P(3), 0)) {
             case 1: style |= kMbYesNo; break;
             case 2: style |= kMbOkCancel; break;
             default: style |= kMbOk; break;
           }
           WindowHandle owner = ev.Services().ActiveWindow();
           Prompts* prompts = ev.GetPrompts();
           int button = prompts ? prompts->MsgBox(owner, P(0), P(1), style) : DefaultButton(style);
           it = answers->emplace(P(1), button == kIdOk || button == kIdYes).first;
         }
         r = BoolStr(it->second);
       }},
      // 15 SubStr
      {3, false, VX_FN {
         int32_t start = StrToIntDef(P(1), 1), count = StrToIntDef(P(2), 0);
         const std::string& s = P(0);
         if (start < 1) start = 1;
         if (count <= 0 || size_t(start) > s.size()) return;
         r = s.substr(size_t(start) - 1, size_t(count));
       }},
      // 16 FindSubStr
      {3, false, VX_FN {
         const std::string &s = P(0), &sub = P(1);
         int32_t start = StrToIntDef(P(2), 1);
         if (start < 1) start = 1;  // the search never leaves the text
         r = "0";
         if (s.empty() || sub.empty() || size_t(start) - 1 + sub.size() > s.size()) return;
         for (size_t i = size_t(start) - 1; i + sub.size() <= s.size(); ++i) {
           size_t k = 0;
           while (k < sub.size() && kqUpCase(s[i + k]) == kqUpCase(sub[k])) ++k;
           if (k == sub.size()) {
             r = std::to_string(i + 1);
             return;
           }
         }
       }},
      // 17 Length
      {1, false, VX_FN { r = std::to_string(P(0).size()); }},
      // 18 FileSize
      {1, true, VX_FN {
         FindEntry e;
         r = FirstMatch(P(0), e) ? std::to_string(int32_t(uint32_t(e.size))) : "-1";
       }},
      // 19 Round
      {1, false, VX_FN {
         double x = StrToNumber(P(0));
         double rounded = std::nearbyint(x);  // halves to the even neighbour
         if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) throw EMathError(kMsgInvalidOp);
         r = std::to_string(int32_t(rounded));
       }},
      // 20 RenameFile
      {3, true, VX_FN {
         CurrentHost().RenameFile(P(0), P(1));
         if (IsTrue(P(2))) ev.Services().LogNewFile(P(1));
         r = "1";
       }},
      // 21 ActiveInstallType
      {0, false, VX_FN {
         TvxMainDatabase* db = MainOf(ev, data);
         if (db && db->InstallTypes)
           if (TvxInstallType* t = db->InstallTypes->Active()) r = t->ID;
       }},
      // 22 FeatureEnabled
      {1, false, VX_FN {
         TvxMainDatabase* db = MainOf(ev, data);
         TvxFeature* f = db && db->Features ? db->Features->FindFeature(P(0)) : nullptr;
         r = BoolStr(f && f->Selected && IsAvailable(f));
       }},
      // 23 DotNetInstalled
      {0, true, VX_FN { r = BoolStr(CurrentHost().ComObjectAvailable(kDotNetClass, kDotNetInterface)); }},
      // 24 Return
      {1, false, VX_FN { r = P(0); }},
      // 25 AbortInstall
      {0, false, VX_FN { ev.Services().AbortInstall(); }},
      // 26 SuspendInstall
      {0, false, VX_FN { ev.Services().SuspendInstall(); }},
      // 27 ResumeInstall
      {0, false, VX_FN { ev.Services().ResumeInstall(); }},
      // 28 SetVariable
      {2, true, VX_FN { SetVariable(NeedDatabase(data), P(0), P(1)); }},
      // 29 GetVariable
      {1, true, VX_FN { r = GetVariable(NeedDatabase(data), P(0), std::string()); }},
      // 30 SetLanguage
      {1, true, VX_FN {
         TvxMainDatabase* db = MainOf(ev, data);
         if (db) ev.Services().SetLanguage(*db, P(0));
       }},
      // 31 SetInstallType
      {1, false, VX_FN {
         if (TvxMainDatabase* db = MainOf(ev, data)) db->SelectInstallType(P(0));
       }},
      // 32 SetPassword
      {1, false, VX_FN {
         TvxMainDatabase* db = MainOf(ev, data);
         if (db && ev.Services().CheckPassword(P(0))) db->Password = P(0);
       }},
      // 33 HasAdminRights
      {0, false, VX_FN { r = BoolStr(IsAdministrator()); }},
      // 34 ParseText
      {2, true, VX_FN { r = ExpandText(NeedDatabase(data), P(0), IsTrue(P(1)), true); }},
      // 35 ShortFileName
      {1, true, VX_FN {
         r = CurrentHost().ShortPathName(P(0));
         if (r.empty() || r.size() >= 260) r = P(0);
       }},
      // 36 WindowExists
      {1, false, VX_FN { r = BoolStr(FindWindowByTitle(P(0)) != 0); }},
      // 37 MutexExists
      {1, false, VX_FN { r = BoolStr(CurrentHost().NamedMutexExists(P(0))); }},
  };
#undef P
#undef VX_FN

  for (int i = 0; i < kInstallerFunctionCount; ++i) {
    const Builtin& b = table[i];
    TvxFunctionProc proc = b.proc;
    if (b.touchesDrives) {
      proc = [inner = std::move(proc)](TvxEvaluator& ev, const TkqFunction& func, const Params* params,
                                      const TvxEvalData& data, std::string& r) {
        ErrorModeScope scope;
        inner(ev, func, params, data, r);
      };
    }
    evaluator.AddFunction(kInstallerFunctionNames[i], b.paramCount, std::move(proc));
  }
}

}  // namespace vx
