// Fuzz target for the XML reader, writer and object layer.
//
// Any byte string must end in a tree or a TXMLParserError. For a tree:
//   - what the writer writes parses again and is written identically
//     (except that two text nodes with only an instruction between them
//     are written as adjacent lines and so read back as one node);
//   - loading it as a project and saving reaches a fixed point after the
//     first save (the first may still normalise values: numbers, unknown
//     enumeration names, a component name filled from its ID).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "database/VXClasses.h"
#include "system/kqStrUtils.h"

namespace {

void Check(bool ok, const char* what, const std::string& a, const std::string& b) {
  if (ok) return;
  std::fprintf(stderr, "%s\n--- first ---\n%s\n--- second ---\n%s\n", what, a.c_str(), b.c_str());
  std::abort();
}

// Whether some element holds two text nodes in a row.
bool HasAdjacentText(const vx::TXMLTag& root) {
  std::vector<const vx::TXMLTag*> work{&root};
  while (!work.empty()) {
    const vx::TXMLTag* t = work.back();
    work.pop_back();
    bool lastWasText = false;
    for (const auto& c : t->Children) {
      bool isText = c->Kind == vx::TXMLTagKind::Text && !vx::Trim(c->Text).empty();
      if (c->Kind == vx::TXMLTagKind::Comment && !vx::Trim(c->Text).empty()) lastWasText = false;
      if (c->Kind == vx::TXMLTagKind::Element && !c->Name.empty()) lastWasText = false;
      if (isText && lastWasText) return true;
      if (isText) lastWasText = true;
      work.push_back(c.get());
    }
  }
  return false;
}

std::string Reparse(const std::string& xml) {
  vx::TXMLTag tag;
  try {
    tag.Parse(xml);
  } catch (const vx::TXMLParserError& e) {
    Check(false, e.what(), xml, "");
  }
  return tag.GetXML(0);
}

std::string SaveProject(const vx::TvxMainDatabase& db) {
  vx::TXMLTag tag;
  tag.SetName("vx2project");
  db.AssignTo(tag);
  return tag.GetXML(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vx::TXMLTag root;
  try {
    root.Parse(text);
  } catch (const vx::TXMLParserError&) {
    return 0;
  }

  const std::string once = root.GetXML(0);
  const std::string twice = Reparse(once);
  if (HasAdjacentText(root))
    Check(Reparse(twice) == twice, "writer output does not settle", twice, Reparse(twice));
  else
    Check(twice == once, "writer output does not read back", once, twice);

  vx::TvxMainDatabase db;
  db.Assign(root);
  const std::string first = SaveProject(db);
  vx::TvxMainDatabase db2;
  db2.LoadFromText(first, "");
  const std::string second = SaveProject(db2);
  vx::TvxMainDatabase db3;
  db3.LoadFromText(second, "");
  Check(SaveProject(db3) == second, "project save is not a fixed point", second, SaveProject(db3));

  // Selection over whatever feature tree came in must terminate.
  if (db.Features->Count() > 0 && db.Features->Count() < 50) {
    db.SetFeatureSelected("", true);
    db.SelectInstallType((*db.Features)[0].ID);
    db.SetFeatureSelected((*db.Features)[0].ID, false);
  }
  return 0;
}
