// vxtool features: load a project, select install types and features as
// the engine does, and show the notifications and the resulting states.
//
//   vxtool features [--type ID] [--on ID] [--off ID]... FILE
//
// Conditions count as true: no expression evaluator is installed here.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "database/VXClasses.h"

namespace {

using vxtool::ReadNativeFile;

struct Step {
  std::string option;  // "--type", "--on", "--off"
  std::string id;
};

void PrintTree(const vx::TvxFeatures& list, int depth) {
  for (int i = 0; i < list.Count(); ++i) {
    vx::TvxFeature& f = list[i];
    if (!vx::IsAvailable(&f)) continue;
    std::printf("%s%s %d\n", std::string(size_t(depth) * 2, ' ').c_str(), f.ID.c_str(), f.State());
    if (f.Features) PrintTree(*f.Features, depth + 1);
  }
}

int Run(const vxtool::Args& args) {
  const char* usage = "usage: vxtool features [--type ID] [--on ID] [--off ID]... FILE";
  std::vector<Step> steps;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--type" || a == "--on" || a == "--off") {
      if (i + 1 >= args.size()) return vxtool::Usage(std::string(usage));
      steps.push_back(Step{a, args[++i]});
    } else if (!a.empty() && a[0] == '-') {
      return vxtool::Usage("unknown option \"" + a + "\"");
    } else if (file.empty()) {
      file = a;
    } else {
      return vxtool::Usage(std::string(usage));
    }
  }
  if (file.empty()) return vxtool::Usage(std::string(usage));

  std::string bytes;
  if (!ReadNativeFile(file, bytes)) {
    std::fprintf(stderr, "vxtool: cannot read \"%s\"\n", file.c_str());
    return 1;
  }
  vx::TvxMainDatabase db;
  try {
    db.LoadFromText(bytes, "");
  } catch (const vx::TXMLParserError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }

  // Every change of the selection is printed as the plug-ins would be told.
  struct Printer : vx::TvxSelectionObserver {
    void FeatureChanged(vx::TvxFeature& f) override { std::printf("event feature %s %d\n", f.ID.c_str(), f.State()); }
    void InstallTypeChanged(vx::TvxInstallType& t) override { std::printf("event installtype %s\n", t.ID.c_str()); }
  } printer;
  db.SelectionObserver = &printer;
  for (const Step& s : steps) {
    bool ok = s.option == "--type" ? db.SelectInstallType(s.id) : db.SetFeatureSelected(s.id, s.option == "--on");
    if (!ok) std::printf("rejected %s %s\n", s.option.c_str(), s.id.c_str());
  }
  db.SelectionObserver = nullptr;
  PrintTree(*db.Features, 0);
  return 0;
}

vxtool::Register reg({"features", "select install types and features of a project, show the states", Run});

}  // namespace
