// The locale facts the engine reads for its languages, for hosts without
// Windows' locale database: each locale's three-letter language
// abbreviation (LOCALE_SABBREVLANGNAME), its full name in English
// (LOCALE_SLANGUAGE on an English system), its default ANSI code page
// (LOCALE_IDEFAULTANSICODEPAGE, 0 for locales that have none), and the
// translation of a code page into a font character set
// (TranslateCharsetInfo with TCI_SRCCODEPAGE). The values are those a
// Windows system reports; the table keeps its enumeration order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

// GetLocaleInfo value types the engine reads (values of the platform).
enum : uint32_t {
  kLocaleSLanguage = 0x0002,
  kLocaleSAbbrevLangName = 0x0003,
  kLocaleIDefaultAnsiCodePage = 0x1004,
};

// Character sets (values of the platform).
enum : uint32_t { kAnsiCharset = 0, kDefaultCharset = 1, kSymbolCharset = 2 };

struct LocaleFacts {
  uint16_t lcid;
  const char* abbreviation;  // "ENU"
  const char* name;          // "English (United States)"
  uint16_t ansiCodePage;     // 1252; 0 when the locale has none
};

// The known locales in the order the platform enumerates them.
const LocaleFacts* LocaleTable(size_t& count);
// The facts of one locale id; nullptr when it is unknown.
const LocaleFacts* FindLocaleFacts(uint32_t lcid);
// The character set of an ANSI or double-byte code page; false when the
// code page has none.
bool CodePageToCharset(uint32_t codePage, uint32_t& charset);

}  // namespace vx
