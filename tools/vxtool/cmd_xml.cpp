// vxtool xml: parse a document and print it the way the engine writes it,
// optionally loading it into one of the project database classes first.
//
//   vxtool xml format FILE
//   vxtool xml load --as project|package|silentsettings|actions FILE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "commands.h"
#include "database/VXClasses.h"

namespace {

using vxtool::ReadNativeFile;

// Reads and parses FILE into `root`; prints the reason and returns false on failure.
bool ParseFile(const std::string& path, vx::TXMLTag& root) {
  std::string bytes;
  if (!ReadNativeFile(path, bytes)) {
    std::fprintf(stderr, "vxtool: cannot read \"%s\"\n", path.c_str());
    return false;
  }
  try {
    root.Parse(bytes);
  } catch (const vx::TXMLParserError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return false;
  }
  return true;
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::unique_ptr<vx::TXMLObject> NewOfKind(const std::string& kind) {
  if (kind == "project") return std::make_unique<vx::TvxMainDatabase>();
  if (kind == "package") return std::make_unique<vx::TvxPackage>();
  if (kind == "silentsettings") return std::make_unique<vx::TvxSilentSettings>();
  if (kind == "actions") return std::make_unique<vx::TvxActions>();
  return nullptr;
}

int Format(const vxtool::Args& args) {
  if (args.size() != 2) return vxtool::Usage("usage: vxtool xml format FILE");
  vx::TXMLTag root;
  if (!ParseFile(args[1], root)) return 1;
  Print(root.GetXML(0));
  return 0;
}

int Load(const vxtool::Args& args) {
  if (args.size() != 4 || args[1] != "--as")
    return vxtool::Usage("usage: vxtool xml load --as project|package|silentsettings|actions FILE");
  std::unique_ptr<vx::TXMLObject> obj = NewOfKind(args[2]);
  if (!obj) return vxtool::Usage("unknown kind \"" + args[2] + "\" (project, package, silentsettings, actions)");
  vx::TXMLTag root;
  if (!ParseFile(args[3], root)) return 1;
  if (root.Name.empty()) {
    std::fprintf(stderr, "vxtool: \"%s\" has no root element\n", args[3].c_str());
    return 1;
  }
  obj->Assign(root);
  vx::TXMLTag out;
  out.SetName(root.Name);
  obj->AssignTo(out);
  Print(out.GetXML(0));
  return 0;
}

int Run(const vxtool::Args& args) {
  if (!args.empty() && args[0] == "format") return Format(args);
  if (!args.empty() && args[0] == "load") return Load(args);
  return vxtool::Usage("usage: vxtool xml format FILE | vxtool xml load --as KIND FILE");
}

vxtool::Register reg({"xml", "parse and rewrite XML documents (format, load --as KIND)", Run});

}  // namespace
