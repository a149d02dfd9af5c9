// libFuzzer target for vxbuild's project reader and checks.
//
// Any byte string must end in a tree or a reported error -- never a crash,
// a hang or a stack overflow -- through every step vxbuild takes before it
// writes anything: the standard XML reader, the code-page conversion, the
// checks of elements, attributes, references and expressions (without the
// file system), and the tree in the engine's dialect. For a project without
// errors, what the engine's writer stores must read back with the engine's
// own reader to the same database:
//   - the stored text parses;
//   - loading it and storing it again gives the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ProjectCheck.h"
#include "ProjectInput.h"
#include "database/VXClasses.h"

namespace {

std::string Stored(const vx::TvxMainDatabase& db) {
  vx::TXMLTag tag;
  tag.SetName("vx2project");
  db.AssignTo(tag);
  return tag.GetXML(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  vxbuild::Diagnostics diags;
  vxbuild::ProjectDocument doc;
  if (!vxbuild::ReadProjectXml(text, doc, diags)) return 0;
  std::string codePage = vxbuild::ProjectCodePage(doc, diags);
  if (codePage.empty()) return 0;
  vxbuild::ConvertToCodePage(doc, codePage, diags);
  vxbuild::ProjectCheckOptions options;
  options.project = "project.xml";
  options.files = false;
  vxbuild::CheckProject(*doc.root, options, diags);
  std::unique_ptr<vx::TXMLTag> tree = vxbuild::EngineTree(*doc.root, diags);
  if (diags.ErrorCount() > 0) return 0;

  vx::TvxMainDatabase first;
  first.Assign(*tree);
  std::string stored = Stored(first);
  vx::TXMLTag reread;
  try {
    reread.Parse(stored);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "the engine cannot read what was stored: %s\n%s\n", e.what(), stored.c_str());
    std::abort();
  }
  vx::TvxMainDatabase second;
  second.Assign(reread);
  if (Stored(second) != stored) {
    std::fprintf(stderr, "stored and read back differ\n--- stored ---\n%s\n--- again ---\n%s\n", stored.c_str(),
                 Stored(second).c_str());
    std::abort();
  }
  return 0;
}
