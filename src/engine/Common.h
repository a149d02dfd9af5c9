// Common: the session values of a run and its user-interface language.
//
// Before the wizard starts, the engine puts facts about the machine and the
// run into the project's variables (DefineSessionValues), lets the silent
// settings and the "/var:" switches override project variables
// (ApplySilentSettings), and chooses the language (BuildLanguageList,
// ChooseLanguage). The language decides which language file of the main
// package supplies the engine's numbered messages, the character set the
// plug-ins use, and the application name in message box captions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "database/VXClasses.h"
#include "engine/CommandLine.h"

namespace vx {

// One offered language: its upper-case code ("ENU") and display name.
struct TLanguage {
  std::string Code;
  std::string Name;
};


// Defines the folder variables, the session values (SystemLangID,
// UserLangID, SourcePath, OSPlatform, OSVersion, QuickLaunch, ParamStr,
// SilentMode) and, last, the environment variables. `engineFile` is the
// setup file the user started.
void DefineSessionValues(TvxMainDatabase& database, const CommandLine& commandLine, const std::string& engineFile);

// Copies the available variables of the silent settings (none when
// `settings` is null) and then the "/var:NAME=VALUE" switches into the
// main database.
void ApplySilentSettings(TvxMainDatabase& database, const TvxSilentSettings* settings,
                         const CommandLine& commandLine);

// Fills `list` from the variable "Languages" with the names
// Windows gives the languages (unless "DontUseWindowsLanguageNames"), else
// the name in each language file; "ENU=English (USA)" when nothing is offered.
void BuildLanguageList(TvxMainDatabase& database, std::vector<TLanguage>& list);
// The language to set when the variable "LangID" is empty: the user's own
// language when it is offered and "AutoSelectLanguage" is on, else English
// when offered, else the first of the list; "" when "LangID" has a value
// (or nothing is offered).
std::string ChooseLanguage(TvxMainDatabase& database, const std::vector<TLanguage>& list);
// Makes `code` the current language of the project: the variables
// "LangID" and "Charset". (The run session also takes the application name
// for its boxes and tells the plug-ins.)
void SetLanguage(TvxMainDatabase& database, const std::string& code);
// The Windows character set of a language code: the default ANSI code page
// of the first installed locale with that abbreviation, translated; 1
// (DEFAULT_CHARSET) when there is none.
uint32_t LanguageCharset(const std::string& code);

// The language file of the current language (variable "LangID", default
// "ENU") in the main package's temporary folder.
std::string LanguageFilePath(TvxMainDatabase& database);
// The path of the language file of `code`.
std::string LanguageFilePath(TvxMainDatabase& database, const std::string& code);
// Message `number` of section "Strings" of the current language file with
// its variables expanded; "" when it is missing.
std::string LanguageMessage(TvxMainDatabase& database, int number);

// The value of "ParamStr": the parameters joined by single blanks, those
// containing a blank in double quotes.
std::string JoinParams(const std::vector<std::string>& params);

}  // namespace vx
