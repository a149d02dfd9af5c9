// The command table of vxtool. A command group registers itself with a
// static VxToolCommand object in its own cmd_*.cpp file.
#pragma once

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

}  // namespace vxtool
