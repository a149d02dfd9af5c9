// The run log: a plain-text record of what one engine run did -- its steps,
// every message box with its answer, and later the phases, actions and
// plug-in events. Switched on by "/log:<file>"; the file belongs to the
// process's own file system (under Wine a Windows path, natively a Linux
// path), not to the machine being installed on.
#pragma once

#include <string>

namespace vx {

// Opens (truncates) the log file. False when it cannot be created.
bool OpenRunLog(const std::string& path);
void CloseRunLog();
bool RunLogActive();

// Appends one record "<category>: <text>". Line breaks in the text are
// written as "\r" and "\n" so that every record stays one line.
void RunLog(const std::string& category, const std::string& text);

// Quotes a value for a log record: "..." with backslash escapes.
std::string LogQuote(const std::string& value);

}  // namespace vx
