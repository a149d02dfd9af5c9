#include "system/sandbox/RegistryHive.h"

#include <algorithm>

#include "system/host.h"
#include "system/kqStrUtils.h"

namespace vx {

// --- The tree -------------------------------------------------------------------

RegNode* RegNode::FindKey(const std::string& keyName) const {
  for (const auto& k : keys)
    if (SameText(k->name, keyName)) return k.get();
  return nullptr;
}

RegNode* RegNode::AddKey(const std::string& keyName) {
  if (RegNode* k = FindKey(keyName)) return k;
  auto node = std::make_unique<RegNode>();
  node->name = keyName;
  auto pos = std::lower_bound(keys.begin(), keys.end(), keyName, [](const std::unique_ptr<RegNode>& a,
                                                                    const std::string& b) {
    return CompareText(a->name, b) < 0;
  });
  return keys.insert(pos, std::move(node))->get();
}

bool RegNode::RemoveKey(const std::string& keyName) {
  for (auto it = keys.begin(); it != keys.end(); ++it)
    if (SameText((*it)->name, keyName)) {
      keys.erase(it);
      return true;
    }
  return false;
}

RegValueEntry* RegNode::FindValue(const std::string& valueName) {
  for (auto& v : values)
    if (SameText(v.name, valueName)) return &v;
  return nullptr;
}

void RegNode::SetValue(const std::string& valueName, uint32_t type, const std::string& data) {
  if (RegValueEntry* v = FindValue(valueName)) {
    v->type = type;
    v->data = data;
    return;
  }
  values.push_back(RegValueEntry{valueName, type, data});
}

bool RegNode::RemoveValue(const std::string& valueName) {
  for (auto it = values.begin(); it != values.end(); ++it)
    if (SameText(it->name, valueName)) {
      values.erase(it);
      return true;
    }
  return false;
}

bool StorableRegName(const std::string& name) {
  return name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// --- Reading ----------------------------------------------------------------------

namespace {


// Reads a quoted text with \\ and \" escapes starting at `pos` (on the
// opening quote). False when the closing quote is missing.
bool ReadQuoted(const std::string& line, size_t& pos, std::string& out) {
  out.clear();
  if (pos >= line.size() || line[pos] != '"') return false;
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '\\' && pos + 1 < line.size()) {
      out += line[++pos];
    } else if (c == '"') {
      ++pos;
      return true;
    } else {
      out += c;
    }
  }
  return false;
}

// "01,ab,ff" (blanks and continuation backslashes already removed).
bool ReadHexBytes(const std::string& text, std::string& out) {
  out.clear();
  std::string t;
  for (char c : text)
    if ((unsigned char)c > ' ' && c != '\\') t += c;
  if (t.empty()) return true;
  std::vector<std::string> parts = SplitString(t, ',');
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty()) {
      if (i + 1 == parts.size()) break;  // a trailing comma
      return false;
    }
    if (part.size() > 2) return false;
    int hi = part.size() == 2 ? HexDigitValue(part[0]) : 0, lo = HexDigitValue(part.back());
    if (hi < 0 || lo < 0) return false;
    out += char(hi * 16 + lo);
  }
  return true;
}

bool ParseValueData(const std::string& text, uint32_t& type, std::string& data) {
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    std::string s;
    if (!ReadQuoted(text, pos, s) || !Trim(text.substr(pos)).empty()) return false;
    type = kRegSz;
    data = s + '\0';
    return true;
  }
  if (StartsWithText(text, "dword:")) {
    std::string digits = Trim(text.substr(6));
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigitValue(c);
      if (d < 0) return false;
      v = v * 16 + uint32_t(d);
    }
    type = kRegDword;
    data.assign(reinterpret_cast<const char*>(&v), 4);  // little-endian hosts only
    return true;
  }
  if (StartsWithText(text, "hex:")) {
    type = kRegBinary;
    return ReadHexBytes(text.substr(4), data);
  }
  if (StartsWithText(text, "hex(")) {
    size_t close = text.find("):");
    if (close == std::string::npos || close <= 4) return false;
    uint32_t t = 0;
    for (size_t i = 4; i < close; ++i) {
      int d = HexDigitValue(text[i]);
      if (d < 0 || i - 4 >= 8) return false;
      t = t * 16 + uint32_t(d);
    }
    type = t;
    return ReadHexBytes(text.substr(close + 2), data);
  }
  return false;
}

}  // namespace

void ParseRegedit4(const std::string& text, const std::string& rootName, RegNode& top) {
  // Logical lines: a line ending in a backslash after hex data continues on
  // the next one.
  std::vector<std::string> lines;
  std::string pending;
  for (std::string raw : SplitString(text, '\n')) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string line = pending.empty() ? TrimLeft(raw) : pending + Trim(raw);
    pending.clear();
    std::string right = TrimRight(line);
    if (!right.empty() && right.back() == '\\' && line.find("=hex") != std::string::npos &&
        line.front() != '[') {
      pending = right.substr(0, right.size() - 1);
      continue;
    }
    lines.push_back(right);
  }
  if (!pending.empty()) lines.push_back(pending);

  RegNode* current = nullptr;  // values of unknown keys are dropped
  for (const std::string& line : lines) {
    if (line.empty() || line[0] == ';' || line == "REGEDIT4") continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      std::string path = line.substr(1, line.size() - 2);
      std::vector<std::string> parts = SplitString(path, '\\');
      if (!SameText(parts[0], rootName)) continue;
      RegNode* node = &top;
      bool ok = true;
      for (size_t i = 1; i < parts.size() && ok; ++i) {
        if (parts[i].empty()) {
          ok = i + 1 == parts.size();  // one trailing backslash is harmless
          continue;
        }
        node = node->AddKey(parts[i]);
      }
      if (ok) current = node;
      continue;
    }
    if (!current) continue;
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, pos, name)) {
      continue;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    std::string rest = Trim(line.substr(pos + 1));
    if (rest == "-") continue;
    uint32_t type = 0;
    std::string data;
    if (ParseValueData(rest, type, data)) current->SetValue(name, type, data);
  }
}

// --- Writing ------------------------------------------------------------------------

namespace {

std::string Quote(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') r += '\\';
    r += c;
  }
  return r + "\"";
}

void AppendHex(std::string& out, size_t lineStart, const std::string& data) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    unsigned char b = (unsigned char)data[i];
    out += kHex[b >> 4];
    out += kHex[b & 15];
    if (i + 1 < data.size()) {
      out += ',';
      if (out.size() - lineStart > 76) {
        out += "\\\r\n  ";
        lineStart = out.size() - 2;
      }
    }
  }
}

bool PlainString(const RegValueEntry& v) {
  if (v.type != kRegSz || v.data.empty() || v.data.back() != '\0') return false;
  return v.data.find_first_of(std::string("\r\n\0", 3)) == v.data.size() - 1;
}

void WriteNode(std::string& out, const RegNode& node, const std::string& path) {
  out += "[" + path + "]\r\n";
  for (const RegValueEntry& v : node.values) {
    size_t lineStart = out.size();
    out += v.name.empty() ? std::string("@") : Quote(v.name);
    out += "=";
    if (PlainString(v)) {
      out += Quote(v.data.substr(0, v.data.size() - 1));
    } else if (v.type == kRegDword && v.data.size() == 4) {
      uint32_t d;
      std::copy(v.data.begin(), v.data.end(), reinterpret_cast<char*>(&d));
      out += Format("dword:%08x", d);
    } else {
      out += v.type == kRegBinary ? std::string("hex:") : Format("hex(%x):", v.type);
      AppendHex(out, lineStart, v.data);
    }
    out += "\r\n";
  }
  out += "\r\n";
  for (const auto& k : node.keys) WriteNode(out, *k, path + "\\" + k->name);
}

}  // namespace

std::string WriteRegedit4(const RegNode& node, const std::string& path, bool header) {
  std::string out = header ? "REGEDIT4\r\n\r\n" : "";
  if (path.find('\\') != std::string::npos || !node.values.empty()) {
    WriteNode(out, node, path);
  } else {
    // The root itself is written only when it holds values.
    for (const auto& k : node.keys) WriteNode(out, *k, path + "\\" + k->name);
  }
  return out;
}

}  // namespace vx
