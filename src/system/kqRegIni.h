// Registry and INI access by path strings.
//
// Registry keys are single strings: a root name ("HKLM",
// "HKEY_LOCAL_MACHINE", "HKCU", "HKCR", "HKU" and their long forms), a
// backslash and the key path; a path without a root name is under
// HKEY_CURRENT_USER. INI files are reached through a cache of INI file
// objects (one per file) or, as a fallback, the platform's profile
// functions. No function here raises: failures give false, 0 or the
// default.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "system/host.h"

namespace vx {

// --- Registry ------------------------------------------------------------------

// Splits a registry path into its root key and sub key. One trailing
// backslash is ignored; a path that is only a root name gives "".
void SplitRegPath(const std::string& path, RegKey& root, std::string& subKey);

bool RegKeyExists(const std::string& path);
bool RegValueExists(const std::string& path, const std::string& name);
uint32_t RegGetValueType(const std::string& path, const std::string& name);  // 0 when missing
uint32_t RegGetValueSize(const std::string& path, const std::string& name);  // 0 when missing

// The value's bytes into `buffer` of `size` bytes; `size` gets the count.
// False when the value is missing or does not fit.
bool RegReadRaw(const std::string& path, const std::string& name, void* buffer, uint32_t& size);
bool RegReadRaw(const std::string& path, const std::string& name, uint32_t& type, std::string& data);
// A value of exactly four bytes; `def` otherwise.
uint32_t RegReadDword(const std::string& path, const std::string& name, uint32_t def);
// The value in its text form (see RegDataToText); `def` when it is missing,
// of another type, or its expansion fails.
std::string RegReadText(const std::string& path, const std::string& name, const std::string& def);

// Text forms: REG_SZ as is (up to its first zero byte), REG_EXPAND_SZ with
// environment variables expanded, REG_BINARY as upper-case hex digits
// without separators, REG_DWORD as signed decimal, REG_MULTI_SZ as the
// strings joined by CR LF. False for other types and damaged data.
bool RegDataToText(uint32_t type, const std::string& data, std::string& text);

// Every write creates the key with its missing parents first and reports
// whether the value was written.
bool RegWriteString(const std::string& path, const std::string& name, const std::string& value);
bool RegWriteExpandString(const std::string& path, const std::string& name, const std::string& value);
bool RegWriteDword(const std::string& path, const std::string& name, uint32_t value);
bool RegWriteBinary(const std::string& path, const std::string& name, const std::string& bytes);
// From hexadecimal text ("01 AB ff"): blanks removed, two digits a byte.
// False, writing nothing, when the text is not an even run of hex digits.
bool RegWriteHex(const std::string& path, const std::string& name, const std::string& hex);
bool RegWriteMultiString(const std::string& path, const std::string& name, const std::vector<std::string>& lines);
// By type code: 1 and 2 as REG_SZ, 3 binary from hex text, 4 DWORD from
// decimal text, 7 multi-string from lines (CR LF separated); others fail.
// The texts are read as a project's values are: a DWORD text that is no
// number writes 0 (DwordFromText), an odd last hex digit is ignored
// (BinaryFromHex); only hex text with other characters fails, writing
// nothing.
bool RegWriteValue(const std::string& path, const std::string& name, uint32_t type, const std::string& text);
// The same with a strict reading, for tools: a DWORD text must be a number,
// hex text an even run of digits; otherwise nothing is written.
bool RegWriteValueStrict(const std::string& path, const std::string& name, uint32_t type, const std::string& text);
// The DWORD of a value's text: decimal (or "$" / "0x" and hexadecimal
// digits) with an optional sign, anything from -2147483648 to 4294967295;
// 0 when the text is not such a number.
uint32_t DwordFromText(const std::string& text);
// The bytes of a value's hex text: blanks removed, two digits a byte, an
// odd last digit ignored. False when the text holds anything else.
bool BinaryFromHex(const std::string& text, std::string& bytes);

bool RegRemoveValue(const std::string& path, const std::string& name);
// Deletes the key; `recursive` first deletes every sub key.
bool RegRemoveKey(const std::string& path, bool recursive);
bool RegListSubKeys(const std::string& path, std::vector<std::string>& names);
// `prefix` followed by a random number that names no value in the key yet.
std::string RegUniqueValueName(const std::string& path, const std::string& prefix);
void SeedRegRandom(uint32_t seed);

// The REG_MULTI_SZ layout of lines: line feeds removed, every line (a
// carriage return splits one) ended by a zero byte, one more zero byte
// ending the block.
std::string MultiStringData(const std::vector<std::string>& lines);
// Lines of a text: split at CR LF, CR or LF; a final line break adds no line.
std::vector<std::string> TextToLines(const std::string& text);
// Hex digits to bytes (blanks ignored); false when malformed.
bool HexToBytes(const std::string& hex, std::string& bytes);
std::string BytesToHex(const std::string& bytes);

// --- INI files ---------------------------------------------------------------------

// Parsing options of an INI file object.
struct IniOptions {
  bool stripComments = true;
  bool skipLinesWithoutEquals = true;
  bool trimAroundEquals = true;
  bool unquoteValues = true;
};

// The operations of an INI file object, in their fixed order. The
// implementation (TkqIniFile) lives with the project database; it is handed
// to this module through SetIniFileFactory at start-up.
class TkqIniFileBase {
 public:
  virtual ~TkqIniFileBase() = default;
  virtual std::string ReadString(const std::string& section, const std::string& key, const std::string& def) = 0;
  virtual void WriteString(const std::string& section, const std::string& key, const std::string& value) = 0;
  virtual int ReadInteger(const std::string& section, const std::string& key, int def) = 0;
  virtual void WriteInteger(const std::string& section, const std::string& key, int value) = 0;
  virtual bool ReadBool(const std::string& section, const std::string& key, bool def) = 0;
  virtual void WriteBool(const std::string& section, const std::string& key, bool value) = 0;
  virtual void ReadSection(const std::string& section, std::vector<std::string>& strings) = 0;
  virtual void ReadSections(std::vector<std::string>& strings) = 0;
  virtual void ReadSectionValues(const std::string& section, std::vector<std::string>& strings) = 0;
  virtual void WriteSection(const std::string& section, const std::vector<std::string>& strings) = 0;
  virtual void EraseSection(const std::string& section) = 0;
  virtual void DeleteKey(const std::string& section, const std::string& key) = 0;
  virtual void GetStrings(std::vector<std::string>& strings) = 0;
  // Writes pending changes; false when they could not be written.
  virtual bool UpdateFile() = 0;
};

// Creates the object of one file; may raise when the file cannot be opened.
using IniFileFactory = std::unique_ptr<TkqIniFileBase> (*)(const std::string& fileName, bool readOnly,
                                                           const IniOptions& options);
void SetIniFileFactory(IniFileFactory factory);

// The module-wide options of new cached objects (all true at start; the
// engine turns unquoteValues off before it reads anything).
IniOptions& IniDefaults();
// On: INI access goes through the cache of objects (when a factory is
// set); off: through the platform's profile functions.
void SetUseIniCache(bool on);
bool UseIniCache();

std::string IniReadString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& def);
void IniReadSections(const std::string& file, std::vector<std::string>& names);
void IniReadSectionKeys(const std::string& file, const std::string& section, std::vector<std::string>& keys);
// Fills `lines` with the section's name=value lines; names already in the
// list get their value replaced.
void IniReadSectionValues(const std::string& file, const std::string& section, std::vector<std::string>& lines);
bool IniWriteString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value);
bool IniDeleteKey(const std::string& file, const std::string& section, const std::string& key);
// Writes each name=value line (split at its first "=") into the section.
bool IniWriteSection(const std::string& file, const std::string& section, const std::vector<std::string>& lines);
// Writes the pending changes of every cached object and empties the cache.
// Answers the files whose changes could not be written.
std::vector<std::string> IniFlush();
// IniFlush, naming every file that could not be written in the run log.
void IniFlushLogged();
// Writes and forgets the cached object of one file (before it is copied);
// false when its pending changes could not be written.
bool IniRelease(const std::string& file);

}  // namespace vx
