#include "ProjectCheck.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ProjectSchema.h"
#include "database/Variables.h"
#include "expr/Evaluator.h"
#include "package/Package.h"
#include "system/ByteReader.h"
#include "system/PeImage.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace fs = std::filesystem;

namespace vxbuild {

using namespace vx;

// --- Expressions --------------------------------------------------------------------------------

namespace {

// The engine's evaluator with its operator and function tables, stopped at
// the first hook: the syntax check runs before any hook is called, so
// reaching one means the text parses. Nothing is evaluated.
class SyntaxOnlyEvaluator : public TvxEvaluator {
 public:
  struct Parsed {};

 protected:
  bool ResolveOperand(std::string&, void*) override { throw Parsed{}; }
  void ApplyOperator(const TkqOperator&, int, std::string&, std::string&, void*, std::string&) override {
    throw Parsed{};
  }
  void CallFunction(const TkqFunction&, const TkqParams*, void*, std::string&) override { throw Parsed{}; }
};

SyntaxOnlyEvaluator& Evaluator() {
  static SyntaxOnlyEvaluator* e = new SyntaxOnlyEvaluator;
  return *e;
}

std::string OneLine(std::string s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += c;
  }
  return Trim(out);
}

}  // namespace

std::string CheckExpressionSyntax(std::string_view text, std::vector<std::string>* pluginFunctions) {
  std::string joined;
  for (char c : text)
    if (c != '\r' && c != '\n') joined += c;
  SyntaxOnlyEvaluator& ev = Evaluator();
  // Names written as calls that are not built in: a plug-in may register
  // them at run time, so they are taken as functions of any arity.
  bool quoted = false;
  for (size_t i = 0; i < joined.size(); ++i) {
    char c = joined[i];
    if (c == '"') quoted = !quoted;
    if (quoted || !(std::isalpha((unsigned char)c) || c == '_')) continue;
    if (i > 0 && (std::isalnum((unsigned char)joined[i - 1]) || joined[i - 1] == '_' || joined[i - 1] == '%')) continue;
    size_t j = i;
    while (j < joined.size() && (std::isalnum((unsigned char)joined[j]) || joined[j] == '_')) ++j;
    size_t k = j;
    while (k < joined.size() && joined[k] == ' ') ++k;
    std::string name = joined.substr(i, j - i);
    if (k < joined.size() && joined[k] == '(' && !ev.Functions.Find(name) && !ev.Operators.Find(name)) {
      ev.AddPluginFunction(name, -1, &ev);
      if (pluginFunctions) pluginFunctions->push_back(name);
    }
    i = j - 1;
  }
  try {
    std::string result;
    ev.Evaluate(joined, nullptr, result);
  } catch (const SyntaxOnlyEvaluator::Parsed&) {
  } catch (const std::exception& e) {
    return OneLine(e.what());
  }
  return "";
}

namespace {

// The expression context of the scratch database through which texts are
// scanned: ExpandText finds the "#expression#" parts exactly as the engine
// does and hands each here.
class TextCheck : public TvxExpressionContext {
 public:
  std::vector<std::string> errors, plugins;
  void EvaluateText(TXMLObject*, std::string_view text, bool, std::string& result, void*) override {
    std::string e = CheckExpressionSyntax(text, &plugins);
    if (!e.empty()) errors.push_back("#" + std::string(text) + "#: " + e);
    result.clear();
  }
  bool EvaluateCondition(TXMLObject*, std::string_view, bool) override { return true; }
};

// --- The checker ----------------------------------------------------------------------------------

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

fs::path NativeRel(const std::string& rel) {
  std::string s = rel;
  std::replace(s.begin(), s.end(), '\\', '/');
  return fs::path(s);
}
std::string StoredRel(const fs::path& rel) {
  std::string s = rel.generic_string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

std::vector<std::string> Bracketed(std::vector<std::string> v) {
  for (std::string& s : v) s = "<" + s + ">";
  return v;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Names(const std::vector<std::string>& v, size_t max = 12) {
  std::string s;
  for (size_t i = 0; i < v.size() && i < max; ++i) s += (i ? ", " : "") + v[i];
  if (v.size() > max) s += ", ...";
  return s;
}

class Checker {
 public:
  Checker(const ProjectCheckOptions& o, Diagnostics& d) : o_(o), d_(d) {
    scratch_.Expressions = &texts_;
  }

  void Run(const ProjectNode& root) {
    if (!SameText(root.name, "vx2project")) {
      d_.Error(root.line, "the root element is <" + root.name + ">; a project's root element must be <vx2project>");
      return;
    }
    Structure(root, ProjectRootType());
    References(root);
    if (o_.files) Files(root);
  }

 private:
  const ProjectCheckOptions& o_;
  Diagnostics& d_;
  TextCheck texts_;
  TvxMainDatabase scratch_;
  std::set<std::string> pluginFunctionsSeen_;

  // --- elements, attributes, values ---

  void Structure(const ProjectNode& n, const TypeSpec& t) {
    // Items flagged dont_parse are used as written.
    bool parse = true;
    for (const std::string& flag : SplitString(n.AttrOr("flags"), ','))
      if (SameText(Trim(flag), "dont_parse")) parse = false;
    for (const auto& [name, value] : n.attrs) {
      const AttrSpec* a = t.FindAttr(name);
      if (!a) {
        std::vector<std::string> known;
        for (const AttrSpec& x : t.attrs) known.push_back(x.name);
        std::string guess = Closest(name, known);
        d_.Error(n.line, "unknown attribute " + name + "=" + Quote(value) + " of <" + n.name + ">" +
                             (guess.empty() ? "" : "; did you mean " + guess + "?") +
                             (known.empty() ? " (it takes no attributes)" : " (it takes: " + Names(known, 40) + ")"));
        continue;
      }
      Value(n, *a, value, t);
      if (a->prop && a->kind == ValueKind::Text && parse) TextExpressions(n, name, value, a->name == "condition");
    }
    std::vector<std::string> known;
    for (const auto& [cn, ct] : t.children) known.push_back(cn);
    for (const auto& c : n.children) {
      if (c->kind == ProjectNode::Kind::Text) {
        if (!Trim(c->text).empty())
          d_.Warning(c->line, "the text " + Quote(Trim(c->text).substr(0, 40)) + " inside <" + n.name +
                                  "> is ignored; values are given as attributes");
        continue;
      }
      if (c->kind != ProjectNode::Kind::Element) continue;
      const TypeSpec* ct = t.FindChild(c->name);
      if (!ct) {
        std::string guess = Closest(c->name, known);
        std::string where = ElsewhereFor(c->name);
        d_.Error(c->line, "unknown element <" + c->name + "> inside <" + n.name + ">" +
                              (guess.empty() ? "" : "; did you mean <" + guess + ">?") +
                              (guess.empty() && !where.empty() ? "; <" + c->name + "> belongs inside " + where : "") +
                              (known.empty() ? " (it takes no elements)" : " (it takes: " + Names(Bracketed(known), 40) + ")"));
        continue;
      }
      if (!ct->raw) Structure(*c, *ct);
    }
  }

  // Where an element that is not allowed here may stand.
  static std::string ElsewhereFor(const std::string& name) {
    std::set<std::string> parents;
    std::map<const TypeSpec*, std::string> names;
    for (const TypeSpec* t : AllProjectTypes())
      for (auto& [cn, ct] : t->children)
        if (SameText(cn, name)) parents.insert(t->typeName);
    std::vector<std::string> where;
    for (const TypeSpec* t : AllProjectTypes())
      for (auto& [cn, ct] : t->children)
        if (parents.count(ct->typeName)) where.push_back("<" + cn + ">");
    std::sort(where.begin(), where.end());
    where.erase(std::unique(where.begin(), where.end()), where.end());
    return Names(where, 6);
  }

  void Value(const ProjectNode& n, const AttrSpec& a, const std::string& raw, const TypeSpec& t) {
    std::string v = Trim(raw);
    std::string what = a.name + "=" + Quote(raw) + " of <" + n.name + ">";
    if (a.runtime)
      d_.Warning(n.line, what + " is state the engine keeps while it runs; a project does not set it" +
                             (a.name == "password" ? " (the password would be stored in the setup file in clear)"
                                                   : ""));
    switch (a.kind) {
      case ValueKind::Integer: {
        int32_t x = 0;
        if (!ParseInteger(v, x)) {
          d_.Error(n.line, what + " is not a whole number" +
                               (a.maxValue >= a.minValue ? " (give " + std::to_string(a.minValue) + " to " +
                                                                std::to_string(a.maxValue) + ")"
                                                          : ""));
        } else if (a.maxValue >= a.minValue && (x < a.minValue || x > a.maxValue)) {
          d_.Error(n.line, what + " is out of range; give " + std::to_string(a.minValue) + " to " +
                               std::to_string(a.maxValue));
        }
        break;
      }
      case ValueKind::Boolean:
        if (v != "0" && v != "1") d_.Error(n.line, what + " must be 0 or 1 (the engine reads anything else as 0)");
        break;
      case ValueKind::Enumeration:
        if (!v.empty() && FindEnumName(*a.prop->Enum, a.prefix, v) < 0) {
          std::string guess = Closest(v, a.values);
          d_.Error(n.line, what + " is not one of " + Names(a.values, 20) +
                               (guess.empty() ? "" : "; did you mean " + guess + "?"));
        }
        break;
      case ValueKind::Set:
        for (const std::string& piece : SplitString(v, ',')) {
          std::string p = Trim(piece);
          if (p.empty() || FindEnumName(*a.prop->Enum, a.prefix, p) >= 0) continue;
          std::string guess = Closest(p, a.values);
          d_.Error(n.line, what + ": " + Quote(p) + " is not one of " + Names(a.values, 20) +
                               (guess.empty() ? "" : "; did you mean " + guess + "?"));
        }
        break;
      case ValueKind::Char:
        if (v.size() > 1) d_.Warning(n.line, what + ": only its first character is used");
        break;
      case ValueKind::Float: {
        char* end = nullptr;
        std::strtod(v.c_str(), &end);
        if (!v.empty() && (end == v.c_str() || *end)) d_.Error(n.line, what + " is not a number");
        break;
      }
      case ValueKind::Text: break;
    }
    (void)t;
  }

  void TextExpressions(const ProjectNode& n, const std::string& name, const std::string& value, bool condition) {
    std::string v = Trim(value);
    if (v.empty()) return;
    static const std::set<std::string> names = {"id", "package", "keyitemid", "filename", "src", "srcfolder"};
    if (!condition && names.count(LowerCase(name))) return;
    std::vector<std::string> plugins;
    if (condition) {
      std::string e = CheckExpressionSyntax(v, &plugins);
      if (!e.empty())
        d_.Error(n.line, "the condition " + Quote(v) + " of <" + n.name + "> does not parse: " + e);
    } else {
      texts_.errors.clear();
      texts_.plugins.clear();
      try {
        ExpandText(&scratch_, v, true, true);
      } catch (const std::exception& e) {
        texts_.errors.push_back(OneLine(e.what()));
      }
      for (const std::string& e : texts_.errors)
        d_.Error(n.line, "the attribute " + name + " of <" + n.name + "> holds an expression that does not parse: " + e +
                             " (write ## for a literal #)");
      plugins = texts_.plugins;
    }
    for (const std::string& p : plugins)
      if (pluginFunctionsSeen_.insert(LowerCase(p)).second)
        d_.Warning(n.line, "the function " + p + "() is not built into the engine; a plug-in must register it");
  }

  // --- references and duplicates ---

  static const ProjectNode* Child(const ProjectNode& n, const char* name) {
    for (const ProjectNode* c : n.Elements())
      if (SameText(c->name, name)) return c;
    return nullptr;
  }
  static std::vector<const ProjectNode*> Items(const ProjectNode* list, const char* name) {
    std::vector<const ProjectNode*> out;
    if (list)
      for (const ProjectNode* c : list->Elements())
        if (SameText(c->name, name)) out.push_back(c);
    return out;
  }

  std::string SetupName(const ProjectNode& root) const {
    if (!o_.setupName.empty()) return o_.setupName;
    const ProjectNode* build = Child(root, "build");
    return build ? build->AttrOr("name", "setup.exe") : "setup.exe";
  }

  void References(const ProjectNode& root) {
    // Packages.
    std::string setup = SetupName(root);
    std::string mainId = setup.substr(0, setup.size() - ExtractFileExt(setup).size());
    std::map<std::string, int> packages;
    packages[LowerCase(mainId)] = 0;
    for (const ProjectNode* p : Items(Child(root, "packages"), "package")) {
      std::string id = Trim(p->AttrOr("id"));
      bool main = Trim(p->AttrOr("main")) == "1" || SameText(id, mainId);
      if (main) continue;
      if (id.empty()) {
        d_.Error(p->line, "a <package> without id; give it an id that components name in package=\"...\"");
        continue;
      }
      auto [it, fresh] = packages.emplace(LowerCase(id), p->line);
      if (!fresh)
        d_.Error(p->line, "the package id " + Quote(id) + " is used twice (first on line " + std::to_string(it->second) +
                              "); give each package its own id");
    }
    std::vector<std::string> packageNames;
    for (auto& [k, v] : packages) packageNames.push_back(k);
    auto checkPackage = [&](const ProjectNode& n, const std::string& what) {
      std::string id = Trim(n.AttrOr("package"));
      if (id.empty() || packages.count(LowerCase(id))) return;
      std::string guess = Closest(id, packageNames);
      d_.Error(n.line, what + " names the unknown package " + Quote(id) + "; known: " + Names(packageNames) +
                           (guess.empty() ? "" : "; did you mean " + guess + "?") +
                           " (declare it in <packages>)");
    };

    // Components.
    std::map<std::string, int> components;
    for (const ProjectNode* c : Items(Child(root, "components"), "component")) {
      std::string id = Trim(c->AttrOr("id"));
      if (id.empty()) {
        d_.Error(c->line, "a <component> without id; its files would be packed under \"data\\\\\" and features "
                          "could not name it");
        continue;
      }
      auto [it, fresh] = components.emplace(LowerCase(id), c->line);
      if (!fresh)
        d_.Error(c->line, "the component id " + Quote(id) + " is used twice (first on line " +
                              std::to_string(it->second) + "); its files would be stored twice. Give each component "
                              "its own id");
      checkPackage(*c, "the component " + Quote(id));
    }
    std::vector<std::string> componentNames;
    for (auto& [k, v] : components) componentNames.push_back(k);

    // Features: the whole tree first, then the references.
    std::map<std::string, int> features;
    std::vector<const ProjectNode*> all;
    std::vector<const ProjectNode*> work = Items(Child(root, "features"), "feature");
    while (!work.empty()) {
      const ProjectNode* f = work.back();
      work.pop_back();
      all.push_back(f);
      for (const ProjectNode* s : Items(Child(*f, "features"), "feature")) work.push_back(s);
    }
    std::sort(all.begin(), all.end(), [](auto* a, auto* b) { return a->line < b->line; });
    for (const ProjectNode* f : all) {
      std::string id = Trim(f->AttrOr("id"));
      if (id.empty()) {
        d_.Warning(f->line, "a <feature> without id: install types, depends and excepts cannot name it");
        continue;
      }
      auto [it, fresh] = features.emplace(LowerCase(id), f->line);
      if (!fresh)
        d_.Error(f->line, "the feature id " + Quote(id) + " is used twice (first on line " + std::to_string(it->second) +
                              "); feature IDs must be unique in the whole tree");
    }
    std::vector<std::string> featureNames;
    for (auto& [k, v] : features) featureNames.push_back(k);
    auto checkRef = [&](const ProjectNode& ref, const std::map<std::string, int>& known,
                        const std::vector<std::string>& names, const std::string& what, const std::string& kind) {
      std::string id = Trim(ref.AttrOr("id"));
      if (id.empty()) {
        d_.Warning(ref.line, what + " has a <" + ref.name + "> without id, which names nothing");
        return;
      }
      if (known.count(LowerCase(id))) return;
      std::string guess = Closest(id, names);
      d_.Error(ref.line, what + " names the unknown " + kind + " " + Quote(id) +
                             (guess.empty() ? "" : "; did you mean " + guess + "?"));
    };
    for (const ProjectNode* f : all) {
      std::string what = "the feature " + Quote(f->AttrOr("id"));
      for (const ProjectNode* r : Items(Child(*f, "components"), "component"))
        checkRef(*r, components, componentNames, what, "component");
      for (const char* list : {"depends", "excepts"})
        for (const ProjectNode* r : Items(Child(*f, list), "feature"))
          checkRef(*r, features, featureNames, what + " (" + list + ")", "feature");
    }

    // Install types.
    std::map<std::string, int> types;
    int defaults = 0;
    for (const ProjectNode* it : Items(Child(root, "installtypes"), "installtype")) {
      std::string id = Trim(it->AttrOr("id"));
      if (Trim(it->AttrOr("default")) == "1" && ++defaults == 2)
        d_.Warning(it->line, "more than one install type has default=\"1\"; the first available one is chosen");
      if (id.empty()) {
        d_.Error(it->line, "an <installtype> without id; the engine and silent settings choose install types by id");
      } else if (auto [p, fresh] = types.emplace(LowerCase(id), it->line); !fresh) {
        d_.Error(it->line, "the install type id " + Quote(id) + " is used twice (first on line " +
                               std::to_string(p->second) + ")");
      }
      for (const ProjectNode* r : Items(Child(*it, "features"), "feature"))
        checkRef(*r, features, featureNames, "the install type " + Quote(id), "feature");
    }

    // Variables of the project and of each package.
    auto variables = [&](const ProjectNode* list) {
      std::map<std::string, int> seen;
      for (const ProjectNode* v : Items(list, "var")) {
        std::string name = Trim(v->AttrOr("name"));
        if (name.empty()) {
          d_.Warning(v->line, "a <var> without name");
          continue;
        }
        if (!Trim(v->AttrOr("condition")).empty()) continue;
        auto [p, fresh] = seen.emplace(LowerCase(name), v->line);
        if (!fresh)
          d_.Warning(v->line, "the variable " + name + " is defined again (first on line " + std::to_string(p->second) +
                                  "); the first definition wins");
      }
    };
    variables(Child(root, "variables"));
    for (const ProjectNode* p : Items(Child(root, "packages"), "package")) variables(Child(*p, "variables"));

    if (const ProjectNode* build = Child(root, "build"))
      for (const ProjectNode* c : build->Elements()) checkPackage(*c, "<" + c->name + ">");
  }

  // --- files ---

  fs::path ProjectDir() const { return o_.project.parent_path(); }

  void NameLength(int line, const std::string& name, const std::string& what) {
    if (name.size() > kMaxNameBelowFolder)
      d_.Error(line, what + " " + Quote(name.size() > 60 ? name.substr(0, 57) + "..." : name) + " has " +
                         std::to_string(name.size()) + " characters; the engine can extract at most " +
                         std::to_string(kMaxNameBelowFolder) +
                         " below its folder on Windows (MAX_PATH less 100 for the folder); shorten it");
    for (const std::string& part : SplitString(name, '\\'))
      if (part.size() > kMaxNameComponent)
        d_.Error(line, what + ": the name part " + Quote(part.substr(0, 40) + "...") + " has more than " +
                           std::to_string(kMaxNameComponent) + " characters, more than Windows allows");
  }

  void Files(const ProjectNode& root) {
    const ProjectNode* build = Child(root, "build");
    ProjectNode none;
    if (!build) build = &none;

    // The stub.
    fs::path stub = o_.stub;
    std::string stubFrom = "--stub (relative to the current folder)";
    if (stub.empty() && !Trim(build->AttrOr("stub")).empty()) {
      stub = ProjectDir() / NativeRel(Trim(build->AttrOr("stub")));
      stubFrom = "stub= of <build> (relative to the project file)";
    }
    std::error_code ec;
    if (stub.empty()) {
      d_.Error(build->line, "no engine stub: give --stub FILE or the attribute stub of <build>");
    } else if (fs::is_directory(stub, ec)) {
      d_.Error(build->line, "the stub " + Quote(stub.string()) + " from " + stubFrom +
                                " is a folder; name the engine program itself");
    } else if (!fs::is_regular_file(stub, ec)) {
      d_.Error(build->line, "the stub " + Quote(stub.string()) + " from " + stubFrom + " does not exist");
    } else if (!o_.anyStub) {
      std::ifstream f(stub, std::ios::binary);
      if (EngineProgramKind(StreamReader(f)).empty())
        d_.Error(build->line, "the stub " + Quote(stub.string()) +
                                  " is no engine program (neither a Windows image nor a Linux program); use the "
                                  "engine of a stub tree, e.g. build/stub-win32/bin/VXStub.exe");
    }
    if (std::string u = Trim(build->AttrOr("uninstaller")); !u.empty() && !fs::is_regular_file(ProjectDir() / NativeRel(u), ec))
      d_.Error(build->line, "the uninstaller " + Quote((ProjectDir() / NativeRel(u)).string()) +
                                " (uninstaller= of <build>, relative to the project file) does not exist");

    // The source folder.
    fs::path source;
    if (!o_.source.empty()) {
      source = o_.source;
      if (!fs::is_directory(source, ec)) {
        d_.Error(0, "the source folder " + Quote(source.string()) +
                        " given by --source does not exist (options are relative to the current folder)");
        return;
      }
    } else {
      source = ProjectDir() / NativeRel(Trim(build->AttrOr("source", ".")));
      if (!fs::is_directory(source, ec)) {
        d_.Error(build->line, "the source folder " + Quote(source.string()) +
                                  " (source= of <build>, relative to the project file) does not exist");
        return;
      }
    }

    for (const ProjectNode* c : build->Elements()) {
      if (SameText(c->name, "flags")) continue;
      std::string file = Trim(c->AttrOr("file"));
      if (file.empty()) {
        d_.Error(c->line, "<" + c->name + "> needs file=\"...\" (relative to the source folder)");
        continue;
      }
      if (!fs::is_regular_file(source / NativeRel(file), ec))
        d_.Error(c->line, "the file " + Quote((source / NativeRel(file)).string()) + " of <" + c->name +
                              "> does not exist (file= is relative to the source folder)");
      NameLength(c->line, SameText(c->name, "helper") ? ExtractFileName(file) : file, "the file of <" + c->name + ">");
    }

    for (const ProjectNode* p : Items(Child(root, "packages"), "package")) {
      int index = 0;
      for (const ProjectNode* pl : Items(Child(*p, "plugins"), "plugin")) {
        std::string folder = Trim(pl->AttrOr("srcfolder"));
        ++index;
        if (folder.empty()) continue;
        fs::path dir = source / NativeRel(folder);
        if (!fs::is_directory(dir, ec)) {
          d_.Error(pl->line, "the plug-in folder " + Quote(dir.string()) +
                                 " (srcfolder=, relative to the source folder) does not exist");
          continue;
        }
        bool any = false;
        for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
          if (it->is_regular_file()) {
            any = true;
            NameLength(pl->line, "plugins\\" + std::to_string(index - 1) + "\\" + StoredRel(fs::relative(it->path(), dir)),
                       "the plug-in file");
          }
        if (!any) d_.Warning(pl->line, "the plug-in folder " + Quote(dir.string()) + " is empty");
      }
    }

    for (const ProjectNode* comp : Items(Child(root, "components"), "component")) {
      std::string cid = Trim(comp->AttrOr("id"));
      for (const ProjectNode* f : Items(Child(*comp, "files"), "file")) {
        std::string flags = LowerCase(f->AttrOr("flags"));
        if (flags.find("external") != std::string::npos || SameText(Trim(f->AttrOr("action")), "remove")) continue;
        std::string src = Trim(f->AttrOr("src"));
        if (src.empty()) {
          d_.Error(f->line, "a <file> of the component " + Quote(cid) + " without src (the file below the source folder)");
          continue;
        }
        if (!IsSafeEntryName(src) && !HasWildcard(src)) {
          d_.Error(f->line, "src=" + Quote(src) + " leaves the source folder; name a file below it");
          continue;
        }
        if (HasWildcard(src)) {
          fs::path dir = source / NativeRel(ExtractFilePath(src));
          std::string mask = ExtractFileName(src);
          size_t matches = 0;
          if (fs::is_directory(dir, ec)) {
            for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
              if (!it->is_regular_file()) continue;
              std::string name = it->path().filename().string();
              std::string dotted = ExtractFileExt(name).empty() ? name + "." : name;
              if (!MatchesPattern(dotted, mask) && !MatchesPattern(name, mask)) continue;
              ++matches;
              std::string below = StoredRel(fs::relative(it->path(), dir));
              NameLength(f->line, below, "the file");
              if (("data\\" + cid + "\\" + StoredRel(fs::relative(it->path(), source))).size() > kMaxNameComponent)
                d_.Error(f->line, "the packed name of " + Quote(below) + " is longer than a cabinet entry may be");
            }
          }
          if (matches == 0)
            d_.Error(f->line, "src=" + Quote(src) + " matches no file in " + Quote(dir.string()) +
                                  "; check the folder and the mask");
        } else {
          fs::path file = source / NativeRel(src);
          if (!fs::is_regular_file(file, ec))
            d_.Error(f->line, "the source file " + Quote(file.string()) + " does not exist (src= is relative to the "
                              "source folder " + Quote(source.string()) + ")");
          std::string dst = Trim(f->AttrOr("dst"));
          NameLength(f->line, dst.empty() || dst.back() == '\\' ? ExtractFileName(src) : ExtractFileName(dst), "the file name");
          if (("data\\" + cid + "\\" + src).size() > kMaxNameComponent)
            d_.Error(f->line, "the packed name of " + Quote(src) + " is longer than a cabinet entry may be");
        }
      }
    }
  }
};

}  // namespace

void CheckProject(const ProjectNode& root, const ProjectCheckOptions& options, Diagnostics& diags) {
  Checker(options, diags).Run(root);
}

std::unique_ptr<TXMLTag> LoadProject(const ProjectCheckOptions& options, Diagnostics& diags, bool strict) {
  diags.file = options.project.string();
  std::ifstream f(options.project, std::ios::binary);
  std::error_code ec;
  if (!f || fs::is_directory(options.project, ec)) {
    diags.Error(0, "cannot read the project file (the path is relative to the current folder)");
    return nullptr;
  }
  std::stringstream s;
  s << f.rdbuf();
  ProjectDocument doc;
  if (!ReadProjectXml(s.str(), doc, diags)) return nullptr;
  std::string codePage = ProjectCodePage(doc, diags);
  if (codePage.empty()) return nullptr;
  // A value the code page cannot hold is an error of its own; the other
  // checks still run so that one build names every problem.
  ConvertToCodePage(doc, codePage, diags);
  CheckProject(*doc.root, options, diags);
  std::unique_ptr<TXMLTag> tree = EngineTree(*doc.root, diags);
  if (diags.ErrorCount() > 0 || (strict && diags.WarningCount() > 0)) return nullptr;
  return tree;
}

}  // namespace vxbuild
