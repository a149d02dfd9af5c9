// Variables of a project database and the expansion of "%Name%",
// "#expression#" and "||" references in texts.
//
// A database is a TvxMainDatabase or a TvxPackage. A name is looked up in
// the package first and then in its main database; the value of a variable
// is read by its type (stored, a registry value, an INI entry) and expanded
// each time it is read, in the context of the database it was asked from.
// "#expression#" parts are evaluated through the database's expression
// context (VXClasses.h); without one they stay as written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "database/VXClasses.h"
#include "system/Errors.h"

namespace vx {

// Raised when a caller hands no database or an object that is none; both
// are programming errors of the caller.
inline constexpr char kMsgNoDatabase[] = "Package database was not assigned.";
inline constexpr char kMsgWrongClass[] = "Wrong class has been specified.";

// Expansions nest (a value refers to other variables) up to this depth;
// the level beyond it yields kMsgInfiniteReference instead of its text.
inline constexpr int kMaxExpansionNesting = 100;
inline constexpr char kMsgInfiniteReference[] = "***** Infinite reference in the string \"%s\" *****";
// One outermost expansion works through at most this much text (every text
// it scans and everything it produces, at all depths); beyond it the
// expansion raises EEngineError with kMsgExpansionTooLong, the text's
// beginning in place of %s. Without the bound a value that refers to itself
// more than once (X = "%X%%X%") doubles its work with every level down to
// the nesting limit.
inline constexpr size_t kMaxExpansionText = size_t(16) << 20;
inline constexpr char kMsgExpansionTooLong[] = "The text \"%s\" expands to more than 16 MB.";

// The variable `name` as seen from `database` (the package's own variables
// first, then the main database's); nullptr when there is none. Raises
// EEngineError with kMsgNoDatabase / kMsgWrongClass.
TvxVariable* FindVariable(TXMLObject* database, std::string_view name);

// The value of `name`, expanded; `def` (expanded as well) when there is
// no such variable; "" for an empty name.
std::string GetVariable(TXMLObject* database, std::string_view name, const std::string& def = std::string());
// GetVariable read as a signed 32-bit decimal number; `def` when it is not one.
int32_t GetVariableInt(TXMLObject* database, std::string_view name, int32_t def);
// GetVariableInt with 1 / 0; true when not zero.
bool GetVariableBool(TXMLObject* database, std::string_view name, bool def);

// Stores `value` in the variable `name` as seen from `database`, or
// appends a new plain variable to the main database (to the package when
// it belongs to none). Returns the variable; nullptr for an empty name.
TvxVariable* SetVariable(TXMLObject* database, std::string_view name, const std::string& value);
void SetVariableInt(TXMLObject* database, std::string_view name, int32_t value);
void SetVariableBool(TXMLObject* database, std::string_view name, bool value);
// `path` without surrounding blanks and without one trailing backslash.
void SetPathVariable(TXMLObject* database, std::string_view name, const std::string& path);
// As SetVariable / SetPathVariable, and the variable is marked Transient
// (defined by the engine, never saved).
void SetSystemVariable(TXMLObject* database, std::string_view name, const std::string& value);
void SetSystemPathVariable(TXMLObject* database, std::string_view name, const std::string& path);

// Expands the references of `text`. `unknownAsEmpty`: a reference to an
// unknown variable becomes empty instead of staying as written.
// `expandIdentifiers` false: "%" and "|" are taken literally, only
// "#expression#" parts are evaluated.
std::string ExpandText(TXMLObject* database, std::string_view text, bool unknownAsEmpty, bool expandIdentifiers);
// Appends the expansion to `out` (the same result as ExpandText).
void ExpandTextTo(TXMLObject* database, std::string_view text, bool unknownAsEmpty, bool expandIdentifiers,
                  std::string& out);
// ExpandText(database, text, false, true): the form used throughout the engine.
std::string ExpandString(TXMLObject* database, std::string_view text);

// Frees the calling thread's lookup indexes of variables lists. A thread
// other than the main one calls it before it ends.
void ReleaseThreadVariableIndexes();

// The stored value of a variable by its type, before expansion: Value, the
// registry value, or the INI entry (DefValue when missing).
std::string RawVariableValue(TXMLObject* database, const TvxVariable& variable);

// The predefined folder variables of the machine (BootDrive, Windows,
// System, the shell folders, ProgramFiles and the other registry folders,
// Date, ...), all transient.
void DefineFolderVariables(TvxMainDatabase& database);
// Every environment variable that names no project variable becomes a
// transient variable.
void ImportEnvironment(TvxMainDatabase& database);

}  // namespace vx
