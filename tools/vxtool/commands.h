// The command table of vxtool. A command group registers itself with a
// static VxToolCommand object in its own cmd_*.cpp file.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vxtool {

using Args = std::vector<std::string>;

struct Command {
  const char* name;     // first word on the command line ("xml", "machine")
  const char* summary;  // one line for "vxtool help"
  int (*run)(const Args& args);  // args after the name; returns the exit code
};

// Registers a command; used through static objects at start-up.
struct Register {
  explicit Register(const Command& command);
};

const std::vector<Command>& AllCommands();

// Reads a file of the user's file system whole; false when it cannot.
bool ReadNativeFile(const std::string& path, std::string& bytes);

// Prints "vxtool: <message>" to standard error and returns 2 (usage error).
int Usage(const std::string& message);

// What an option handler answers: the option was taken, or it is not one
// the command knows (any other value is an exit status to end with).
constexpr int kOptionTaken = -1;
constexpr int kOptionUnknown = -2;

// Walks args[first...]: a word that does not start with "-" (and every word
// after "--") goes to `positional`; an option goes to `option`, which may
// take the word after it through `value()` (null when there is none).
// Returns kOptionTaken when every word was taken, else the exit status
// (an unknown option is reported with `usage`).
using OptionHandler = std::function<int(const std::string& name, const std::function<const std::string*()>& value)>;
int WalkOptions(const Args& args, size_t first, const char* usage, std::vector<std::string>& positional,
                const OptionHandler& option);

}  // namespace vxtool
