#include "system/kqRegIni.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "system/Errors.h"
#include "system/RunLog.h"
#include "system/kqStrUtils.h"

namespace vx {

// --- Paths ------------------------------------------------------------------------

namespace {

struct RootName {
  const char* name;
  RegKey key;
};
const RootName kRootNames[] = {
    {"HKCR", kHKeyClassesRoot},          {"HKCU", kHKeyCurrentUser},
    {"HKLM", kHKeyLocalMachine},         {"HKU", kHKeyUsers},
    {"HKEY_CLASSES_ROOT", kHKeyClassesRoot}, {"HKEY_CURRENT_USER", kHKeyCurrentUser},
    {"HKEY_LOCAL_MACHINE", kHKeyLocalMachine}, {"HKEY_USERS", kHKeyUsers},
};

// An opened key, closed on every path.
class KeyHolder {
 public:
  ~KeyHolder() {
    if (key) CurrentHost().CloseRegKey(key);
  }
  RegKey key = 0;
};

bool OpenPath(const std::string& path, bool write, KeyHolder& holder) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(path, root, sub);
  return CurrentHost().OpenRegKey(root, sub, write, holder.key) == kErrorSuccess;
}

bool CreatePath(const std::string& path, KeyHolder& holder) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(path, root, sub);
  return CurrentHost().CreateRegKey(root, sub, holder.key) == kErrorSuccess;
}

bool Query(const std::string& path, const std::string& name, uint32_t& type, std::string& data) {
  KeyHolder k;
  return OpenPath(path, false, k) && CurrentHost().QueryRegValue(k.key, name, type, data) == kErrorSuccess;
}

bool Write(const std::string& path, const std::string& name, uint32_t type, const std::string& data) {
  KeyHolder k;
  return CreatePath(path, k) && CurrentHost().SetRegValue(k.key, name, type, data) == kErrorSuccess;
}

// Decimal with an optional sign, or hexadecimal after "$" or "0x"; the
// 32-bit pattern of the number.
bool ParseInt32(const std::string& text, uint32_t& value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  if (t[0] == '$') return ParseHex32(std::string_view(t).substr(1), value);
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return ParseHex32(std::string_view(t).substr(2), value);
  int32_t v = 0;
  if (!ParseDecimal32(t, v)) return false;
  value = uint32_t(v);
  return true;
}

std::mt19937& Random() {
  static std::mt19937 rng(CurrentHost().TickCount());
  return rng;
}

}  // namespace

void SplitRegPath(const std::string& path, RegKey& root, std::string& subKey) {
  std::string p = path;
  if (!p.empty() && p.back() == '\\') p.pop_back();
  size_t slash = p.find('\\');
  std::string first = slash == std::string::npos ? p : p.substr(0, slash);
  for (const RootName& r : kRootNames) {
    if (SameText(first, r.name)) {
      root = r.key;
      subKey = slash == std::string::npos ? "" : p.substr(slash + 1);
      return;
    }
  }
  root = kHKeyCurrentUser;
  subKey = p;
}

// --- Tests and reads ------------------------------------------------------------------

bool RegKeyExists(const std::string& path) {
  KeyHolder k;
  return OpenPath(path, false, k);
}

bool RegValueExists(const std::string& path, const std::string& name) {
  uint32_t type;
  std::string data;
  return Query(path, name, type, data);
}

uint32_t RegGetValueType(const std::string& path, const std::string& name) {
  uint32_t type = 0;
  std::string data;
  return Query(path, name, type, data) ? type : 0;
}

uint32_t RegGetValueSize(const std::string& path, const std::string& name) {
  uint32_t type = 0;
  std::string data;
  return Query(path, name, type, data) ? uint32_t(data.size()) : 0;
}

bool RegReadRaw(const std::string& path, const std::string& name, void* buffer, uint32_t& size) {
  uint32_t type = 0;
  std::string data;
  if (!Query(path, name, type, data) || data.size() > size) return false;
  std::copy(data.begin(), data.end(), static_cast<char*>(buffer));
  size = uint32_t(data.size());
  return true;
}

bool RegReadRaw(const std::string& path, const std::string& name, uint32_t& type, std::string& data) {
  return Query(path, name, type, data);
}

uint32_t RegReadDword(const std::string& path, const std::string& name, uint32_t def) {
  uint32_t value = 0, size = 4;
  if (!RegReadRaw(path, name, &value, size) || size != 4) return def;
  return value;
}

std::string BytesToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool HexToBytes(const std::string& hex, std::string& bytes) {
  std::string digits;
  for (char c : hex)
    if ((unsigned char)c > ' ') digits += c;
  if (digits.size() % 2) return false;
  std::string out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    int hi = HexDigitValue(digits[i]), lo = HexDigitValue(digits[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi * 16 + lo);
  }
  bytes = std::move(out);
  return true;
}

bool RegDataToText(uint32_t type, const std::string& data, std::string& text) {
  switch (type) {
    case kRegSz:
      // Up to the terminating zero; data stored without one loses nothing.
      text = data.substr(0, data.find('\0'));
      return true;
    case kRegExpandSz:
      return CurrentHost().ExpandEnvStrings(data.substr(0, data.find('\0')), text);
    case kRegBinary:
      text = BytesToHex(data);
      return true;
    case kRegDword: {
      if (data.size() != 4) return false;
      uint32_t v = uint32_t((unsigned char)data[0]) | uint32_t((unsigned char)data[1]) << 8 |
                   uint32_t((unsigned char)data[2]) << 16 | uint32_t((unsigned char)data[3]) << 24;
      text = Format("%d", int32_t(v));
      return true;
    }
    case kRegMultiSz: {
      // Drop the block's terminating zeros (two, or the one there is), then
      // every remaining zero separates two lines.
      std::string d = data;
      if (d.size() >= 2 && d[d.size() - 1] == '\0' && d[d.size() - 2] == '\0') d.resize(d.size() - 2);
      else if (!d.empty() && d.back() == '\0') d.pop_back();
      text.clear();
      for (char c : d) text += c == '\0' ? std::string("\r\n") : std::string(1, c);
      return true;
    }
    default:
      return false;
  }
}

std::string RegReadText(const std::string& path, const std::string& name, const std::string& def) {
  uint32_t type = 0;
  std::string data, text;
  if (!Query(path, name, type, data) || !RegDataToText(type, data, text)) return def;
  return text;
}

// --- Writes -------------------------------------------------------------------------------

std::vector<std::string> TextToLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::string MultiStringData(const std::vector<std::string>& lines) {
  std::string data;
  for (const std::string& line : lines) {
    for (char c : line) {
      if (c == '\n') continue;
      data += c == '\r' ? '\0' : c;
    }
    data += '\0';
  }
  data += '\0';
  return data;
}

bool RegWriteString(const std::string& path, const std::string& name, const std::string& value) {
  return Write(path, name, kRegSz, value + '\0');
}

bool RegWriteExpandString(const std::string& path, const std::string& name, const std::string& value) {
  return Write(path, name, kRegExpandSz, value + '\0');
}

bool RegWriteDword(const std::string& path, const std::string& name, uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[size_t(i)] = char((value >> (8 * i)) & 0xFF);
  return Write(path, name, kRegDword, data);
}

bool RegWriteBinary(const std::string& path, const std::string& name, const std::string& bytes) {
  return Write(path, name, kRegBinary, bytes);
}

bool RegWriteHex(const std::string& path, const std::string& name, const std::string& hex) {
  std::string bytes;
  return HexToBytes(hex, bytes) && RegWriteBinary(path, name, bytes);
}

bool RegWriteMultiString(const std::string& path, const std::string& name, const std::vector<std::string>& lines) {
  return Write(path, name, kRegMultiSz, MultiStringData(lines));
}

uint32_t DwordFromText(const std::string& text) {
  std::string t = Trim(text);
  uint32_t value = 0;
  if (!t.empty() && t[0] == '$') return ParseHex32(std::string_view(t).substr(1), value) ? value : 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
    return ParseHex32(std::string_view(t).substr(2), value) ? value : 0;
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  if (i == t.size()) return 0;
  int64_t n = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return 0;
    n = n * 10 + (t[i] - '0');
    if (n > 4294967295LL) return 0;
  }
  if (negative && n > 2147483648LL) return 0;
  return uint32_t(negative ? -n : n);
}

bool BinaryFromHex(const std::string& text, std::string& bytes) {
  std::string digits;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ') continue;
    if (HexDigitValue(c) < 0) return false;
    digits += c;
  }
  bytes.clear();
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes += char(HexDigitValue(digits[i]) * 16 + HexDigitValue(digits[i + 1]));
  return true;
}

bool RegWriteValue(const std::string& path, const std::string& name, uint32_t type, const std::string& text) {
  switch (type) {
    case kRegBinary: {
      std::string bytes;
      return BinaryFromHex(text, bytes) && RegWriteBinary(path, name, bytes);
    }
    case kRegDword:
      return RegWriteDword(path, name, DwordFromText(text));
    default:
      return RegWriteValueStrict(path, name, type, text);
  }
}

bool RegWriteValueStrict(const std::string& path, const std::string& name, uint32_t type, const std::string& text) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      return RegWriteString(path, name, text);
    case kRegBinary:
      return RegWriteHex(path, name, text);
    case kRegDword: {
      uint32_t v = 0;
      return ParseInt32(text, v) && RegWriteDword(path, name, v);
    }
    case kRegMultiSz:
      return RegWriteMultiString(path, name, TextToLines(text));
    default:
      return false;
  }
}

// --- Deletion and enumeration ----------------------------------------------------------------

bool RegRemoveValue(const std::string& path, const std::string& name) {
  KeyHolder k;
  return OpenPath(path, true, k) && CurrentHost().DeleteRegValue(k.key, name) == kErrorSuccess;
}

bool RegListSubKeys(const std::string& path, std::vector<std::string>& names) {
  KeyHolder k;
  if (!OpenPath(path, false, k)) return false;
  std::string name;
  for (uint32_t i = 0; CurrentHost().EnumRegKey(k.key, i, name) == kErrorSuccess; ++i) names.push_back(name);
  return true;
}

bool RegRemoveKey(const std::string& path, bool recursive) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(path, root, sub);
  if (sub.empty()) return false;  // a root key cannot be deleted
  std::string full = path;
  if (!full.empty() && full.back() == '\\') full.pop_back();
  if (recursive) {
    std::vector<std::string> children;
    RegListSubKeys(full, children);
    for (const std::string& c : children) RegRemoveKey(full + "\\" + c, true);
  }
  size_t slash = sub.rfind('\\');
  std::string parent = slash == std::string::npos ? "" : sub.substr(0, slash);
  std::string leaf = slash == std::string::npos ? sub : sub.substr(slash + 1);
  KeyHolder k;
  if (Host& h = CurrentHost(); h.OpenRegKey(root, parent, true, k.key) != kErrorSuccess) return false;
  return CurrentHost().DeleteRegKey(k.key, leaf) == kErrorSuccess;
}

void SeedRegRandom(uint32_t seed) { Random().seed(seed); }

std::string RegUniqueValueName(const std::string& path, const std::string& prefix) {
  for (;;) {
    std::string name = prefix + Format("%u", uint32_t(Random()() % 2147483647u));
    if (!RegValueExists(path, name)) return name;
  }
}

// --- INI cache --------------------------------------------------------------------------------

namespace {

struct CacheEntry {
  std::unique_ptr<TkqIniFileBase> file;
  std::string name;
  bool readOnly = false;
};

IniFileFactory g_factory = nullptr;
bool g_useCache = true;
std::map<std::string, CacheEntry>& Cache() {  // sorted by the upper-cased path
  static std::map<std::string, CacheEntry> cache;
  return cache;
}

// The object of `file`, opened for reading or writing; a read-only object
// is replaced by a writable one on the first write. Null when it cannot be
// created.
TkqIniFileBase* Object(const std::string& file, bool forWrite) {
  std::string key = UpperCase(file);
  auto& cache = Cache();
  auto it = cache.find(key);
  if (it != cache.end()) {
    if (!forWrite || !it->second.readOnly) return it->second.file.get();
    cache.erase(it);
  }
  try {
    CacheEntry e;
    e.file = g_factory(file, !forWrite, IniDefaults());
    e.name = file;
    e.readOnly = !forWrite;
    if (!e.file) return nullptr;
    return (cache[key] = std::move(e)).file.get();
  } catch (const EInOutError&) {
    // A file that exists but cannot be opened reads as empty and refuses
    // writes, as the profile functions do.
    return nullptr;
  }
}

bool Cached() { return g_useCache && g_factory; }

std::vector<std::string> ZeroList(const std::string& buffer) {
  std::vector<std::string> list;
  size_t start = 0;
  while (start < buffer.size()) {
    size_t z = buffer.find('\0', start);
    if (z == std::string::npos) z = buffer.size();
    if (z > start) list.push_back(buffer.substr(start, z - start));
    start = z + 1;
  }
  return list;
}

std::string NameOf(const std::string& line) { return line.substr(0, line.find('=')); }

}  // namespace

void SetIniFileFactory(IniFileFactory factory) { g_factory = factory; }

IniOptions& IniDefaults() {
  static IniOptions options;
  return options;
}

void SetUseIniCache(bool on) { g_useCache = on; }
bool UseIniCache() { return g_useCache; }

std::string IniReadString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& def) {
  if (!Cached()) return CurrentHost().ProfileRead(file, section, key, def, 1024);
  TkqIniFileBase* f = Object(file, false);
  return f ? f->ReadString(section, key, def) : def;
}

void IniReadSections(const std::string& file, std::vector<std::string>& names) {
  if (!Cached()) {
    names = ZeroList(CurrentHost().ProfileRead(file, std::nullopt, std::nullopt, "", 0x4000));
    return;
  }
  names.clear();
  if (TkqIniFileBase* f = Object(file, false)) f->ReadSections(names);
}

void IniReadSectionKeys(const std::string& file, const std::string& section, std::vector<std::string>& keys) {
  if (!Cached()) {
    keys = ZeroList(CurrentHost().ProfileRead(file, section, std::nullopt, "", 0x4000));
    return;
  }
  keys.clear();
  if (TkqIniFileBase* f = Object(file, false)) f->ReadSection(section, keys);
}

void IniReadSectionValues(const std::string& file, const std::string& section, std::vector<std::string>& lines) {
  if (Cached()) {
    if (TkqIniFileBase* f = Object(file, false)) f->ReadSectionValues(section, lines);
    return;
  }
  std::vector<std::string> keys;
  IniReadSectionKeys(file, section, keys);
  for (const std::string& k : keys) {
    std::string line = k + "=" + CurrentHost().ProfileRead(file, section, k, "", 1024);
    auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return SameText(NameOf(l), k); });
    if (it != lines.end()) *it = line;
    else lines.push_back(line);
  }
}

bool IniWriteString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value) {
  if (!Cached()) return CurrentHost().ProfileWrite(file, section, key, value);
  TkqIniFileBase* f = Object(file, true);
  if (!f) return false;
  f->WriteString(section, key, value);
  return true;
}

bool IniDeleteKey(const std::string& file, const std::string& section, const std::string& key) {
  if (!Cached()) return CurrentHost().ProfileWrite(file, section, key, std::nullopt);
  TkqIniFileBase* f = Object(file, true);
  if (!f) return false;
  f->DeleteKey(section, key);
  return true;
}

bool IniWriteSection(const std::string& file, const std::string& section, const std::vector<std::string>& lines) {
  bool ok = true;
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    std::string name = line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    ok = IniWriteString(file, section, name, value) && ok;
  }
  return ok;
}

std::vector<std::string> IniFlush() {
  std::vector<std::string> failed;
  auto& cache = Cache();
  for (auto& [key, entry] : cache)
    if (!entry.file->UpdateFile()) failed.push_back(entry.name);
  cache.clear();
  return failed;
}

void IniFlushLogged() {
  for (const std::string& file : IniFlush()) RunLog("step", "INI changes could not be written to " + LogQuote(file));
}

bool IniRelease(const std::string& file) {
  auto& cache = Cache();
  auto it = cache.find(UpperCase(file));
  if (it == cache.end()) return true;
  bool written = it->second.file->UpdateFile();
  cache.erase(it);
  return written;
}

}  // namespace vx
