#include "system/kqStrUtils.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vx {

char UpCaseAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
char LowCaseAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = UpCaseAscii(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = LowCaseAscii(c);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = (unsigned char)UpCaseAscii(a[i]), y = (unsigned char)UpCaseAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (unsigned char)s[i] <= ' ') ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && (unsigned char)s[n - 1] <= ' ') --n;
  return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

bool MatchesPattern(std::string_view text, std::string_view pattern) {
  // Iterative matcher with one backtrack point: linear in practice and
  // never recursive, so hostile patterns cannot exhaust the stack.
  size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || UpCaseAscii(pattern[p]) == UpCaseAscii(text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex32(std::string_view digits, uint32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    int d = HexDigitValue(c);
    if (d < 0) return false;
    v = v * 16 + uint32_t(d);
  }
  value = v;
  return true;
}

bool ParseDecimal32(std::string_view t, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    negative = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return false;
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    v = v * 10 + (t[i] - '0');
    if (v > 2147483648ll) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647ll) return false;
  value = int32_t(v);
  return true;
}

std::string RemoveQuotes(std::string_view s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return std::string(s.substr(1, s.size() - 2));
  return std::string(s);
}

std::vector<std::string> SplitString(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string r;
  if (n > 0) {
    r.resize(size_t(n) + 1);
    std::vsnprintf(r.data(), r.size(), fmt, ap2);
    r.resize(size_t(n));
  }
  va_end(ap2);
  return r;
}

std::string FormatFloat(double value, char conv, int precision) {
  char fmt[8] = {'%', '.', '*', conv == 'e' ? 'e' : 'g', 0};
  return Format(fmt, precision, value);
}

TFloatParse ParseFloat(std::string_view text, double& value) {
  value = 0;
  size_t i = 0, n = text.size();
  bool negative = n > 0 && text[0] == '-';
  if (negative) ++i;
  std::string_view rest = text.substr(i);
  if (SameText(rest, "inf") || SameText(rest, "infinity")) {
    value = negative ? -HUGE_VAL : HUGE_VAL;
    return TFloatParse::Ok;
  }
  if (SameText(rest, "nan")) {
    value = negative ? -NAN : NAN;
    return TFloatParse::Ok;
  }
  size_t digits = 0;
  bool nonZero = false;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  for (; i < n && isDigit(text[i]); ++i, ++digits) nonZero |= text[i] != '0';
  if (i < n && text[i] == '.')
    for (++i; i < n && isDigit(text[i]); ++i, ++digits) nonZero |= text[i] != '0';
  if (digits == 0) return TFloatParse::Invalid;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    for (; i < n && isDigit(text[i]); ++i) ++expDigits;
    if (expDigits == 0) return TFloatParse::Invalid;
  }
  if (i != n) return TFloatParse::Invalid;

  // The syntax is checked; the C library converts, correctly rounded.
  std::string copy(text);
  errno = 0;
#ifdef _WIN32
  double v = __mingw_strtod(copy.c_str(), nullptr);
#else
  double v = std::strtod(copy.c_str(), nullptr);
#endif
  // Subnormal results are values; only an overflow to infinity or an
  // underflow to zero of a number that is not zero is out of range.
  if (std::isinf(v) || (v == 0 && nonZero)) return TFloatParse::OutOfRange;
  value = v;
  return TFloatParse::Ok;
}

bool IsPathDelimiter(char c) { return c == '\\' || c == '/'; }

std::string IncludeTrailingBackslash(std::string_view path) {
  std::string r(path);
  if (r.empty() || !IsPathDelimiter(r.back())) r += '\\';
  return r;
}

std::string ExcludeTrailingBackslash(std::string_view path) {
  std::string r(path);
  if (!r.empty() && IsPathDelimiter(r.back())) r.pop_back();
  return r;
}

static size_t LastDelimiter(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (c == '\\' || c == '/' || c == ':') return i - 1;
  }
  return std::string_view::npos;
}

std::string ExtractFilePath(std::string_view path) {
  size_t i = LastDelimiter(path);
  return i == std::string_view::npos ? std::string() : std::string(path.substr(0, i + 1));
}

std::string ExtractFileDir(std::string_view path) {
  size_t i = LastDelimiter(path);
  if (i == std::string_view::npos) return std::string();
  // Keep the backslash of a drive root ("C:\").
  if (i > 0 && IsPathDelimiter(path[i]) && path[i - 1] != ':' && !(i == 1 && IsPathDelimiter(path[0])))
    return std::string(path.substr(0, i));
  return std::string(path.substr(0, i + 1));
}

std::string ExtractFileName(std::string_view path) {
  size_t i = LastDelimiter(path);
  return std::string(i == std::string_view::npos ? path : path.substr(i + 1));
}

std::string ExtractFileExt(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (c == '.') return std::string(path.substr(i - 1));
    if (c == '\\' || c == '/' || c == ':') break;
  }
  return std::string();
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  std::string old = ExtractFileExt(path);
  return std::string(path.substr(0, path.size() - old.size())) + std::string(ext);
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> out;
  size_t i = 0, n = commandLine.size();
  for (;;) {
    while (i < n && (unsigned char)commandLine[i] <= ' ') ++i;
    if (i >= n) break;
    std::string param;
    bool quoted = false;
    while (i < n && (quoted || (unsigned char)commandLine[i] > ' ')) {
      if (commandLine[i] == '"') quoted = !quoted;
      else param += commandLine[i];
      ++i;
    }
    out.push_back(param);
  }
  return out;
}

std::string FormatMessage1(const std::string& message, const std::string& argument) {
  std::string text = message;
  size_t pos = text.find("%s");
  if (pos != std::string::npos) text.replace(pos, 2, argument);
  return text;
}

}  // namespace vx
