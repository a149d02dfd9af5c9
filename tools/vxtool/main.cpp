// vxtool: a command-line companion for people who author and debug setups.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "commands.h"

namespace vxtool {

static std::vector<Command>& Table() {
  static std::vector<Command> table;
  return table;
}

Register::Register(const Command& command) { Table().push_back(command); }

const std::vector<Command>& AllCommands() { return Table(); }

bool ReadNativeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "vxtool: %s\n", message.c_str());
  return 2;
}

int WalkOptions(const Args& args, size_t first, const char* usage, std::vector<std::string>& positional,
                const OptionHandler& option) {
  bool optionsEnded = false;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    int status = option(a, [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; });
    if (status == kOptionUnknown) return Usage("unknown option \"" + a + "\" (" + usage + ")");
    if (status != kOptionTaken) return status;
  }
  return kOptionTaken;
}

}  // namespace vxtool

static int Help() {
  std::printf("usage: vxtool COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& c : vxtool::AllCommands()) std::printf("  %-10s %s\n", c.name, c.summary);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) return Help();
  vxtool::Args args(argv + 2, argv + argc);
  for (const auto& c : vxtool::AllCommands())
    if (!std::strcmp(c.name, argv[1])) return c.run(args);
  return vxtool::Usage(std::string("unknown command \"") + argv[1] + "\" (see vxtool help)");
}
