// String and path helpers shared by every subsystem. Strings are 8-bit ANSI;
// case folding here is ASCII only (the XML parser has its own table).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

char UpCaseAscii(char c);
char LowCaseAscii(char c);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
int CompareText(std::string_view a, std::string_view b);
std::string Trim(std::string_view s);  // removes characters <= ' ' at both ends
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
bool StartsWithText(std::string_view s, std::string_view prefix);  // case-insensitive

// Matches `text` against `pattern` without regard to case: "*" any run of
// characters (also none), "?" exactly one character.
bool MatchesPattern(std::string_view text, std::string_view pattern);

// The value of a hexadecimal digit, -1 for any other character.
int HexDigitValue(char c);
// 1 to 8 hexadecimal digits and nothing else: their 32-bit pattern.
bool ParseHex32(std::string_view digits, uint32_t& value);
// Decimal digits with an optional sign, within the 32-bit signed range.
bool ParseDecimal32(std::string_view text, int32_t& value);

// Removes one pair of double quotes surrounding the whole text.
std::string RemoveQuotes(std::string_view s);

// Splits at `sep`; empty parts are kept.
std::vector<std::string> SplitString(std::string_view s, char sep);

// A message of the language file with its one "%s" replaced by `argument`
// (only the first; nothing else is interpreted, so a message cannot make
// the formatting read arguments that are not there).
std::string FormatMessage1(const std::string& message, const std::string& argument);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A double in printf's "%.*e" (conv 'e') or "%.*g" (conv 'g') form,
// correctly rounded, with a two-digit exponent at least on every system.
std::string FormatFloat(double value, char conv, int precision);

// Reads a decimal floating-point number that fills all of `text`: an
// optional "-", digits with an optional ".", an optional exponent ("e" or
// "E", optional sign, digits); also "inf", "infinity" and "nan" without
// regard to case. No blanks, no "+" in front, no hexadecimal forms, and the
// C locale's decimal point whatever the process locale is.
enum class TFloatParse { Ok, Invalid, OutOfRange };
TFloatParse ParseFloat(std::string_view text, double& value);

// Windows path helpers ("\" and "/" both separate; "C:" is a drive).
std::string IncludeTrailingBackslash(std::string_view path);
std::string ExcludeTrailingBackslash(std::string_view path);
std::string ExtractFilePath(std::string_view path);  // folder with trailing "\"
std::string ExtractFileDir(std::string_view path);   // folder without it
std::string ExtractFileName(std::string_view path);
std::string ExtractFileExt(std::string_view path);  // with the dot, or ""
std::string ChangeFileExt(std::string_view path, std::string_view ext);
bool IsPathDelimiter(char c);

// Splits a Windows command line the way the engine's runtime does: blanks
// separate parameters, double quotes group blanks into one parameter and
// are removed. The first parameter (the program) is included.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace vx
