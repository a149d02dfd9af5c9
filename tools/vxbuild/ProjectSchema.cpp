#include "ProjectSchema.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "database/VXClasses.h"
#include "system/kqStrUtils.h"

namespace vxbuild {

using namespace vx;

namespace {

// What each class and some attributes are for. The tables give names and
// kinds; these sentences give the reader the purpose. A note naming a class
// or property the tables do not have fails the reference test.
const std::map<std::string, std::string>& Notes() {
  static const std::map<std::string, std::string> notes = {
      {"TvxMainDatabase", "The project: variables, packages, components, the feature tree, install types and launch "
                          "conditions."},
      {"TvxVariables", "Variables of the project or of one package (`%Name%` in every expanded text)."},
      {"TvxVariable", "One variable. `type` chooses where the value comes from: `normal` (`value`), `reg` "
                      "(`regkey`/`regparam`), `ini` (`inifile`/`inisection`/`iniparam`) or `envvar`; `defvalue` "
                      "when the registry or INI entry is missing."},
      {"TvxPackages", "The setup file's own package and the further packages (\".vxp\" files)."},
      {"TvxPackage", "One package. `id` names it for components' `package`; `filename` is the \".vxp\" file name "
                     "without extension (default: the ID); `main=\"1\"` describes the setup file's own package."},
      {"TvxPlugins", "User-interface plug-ins the package brings, in load order."},
      {"TvxPlugin", "One plug-in: `id`, its configuration. vxbuild packs the files of the folder `srcfolder` "
                    "(below the source folder) as the plug-in's files."},
      {"TvxPluginSimpleConfig", "Parameter groups of a plug-in."},
      {"TvxParamGroup", "One parameter group (`name`) of `param` entries."},
      {"TvxParam", "One parameter: `name` and `value`."},
      {"TvxFileInfos", "File records; vxbuild writes them, a project does not."},
      {"TvxFileInfo", "The record of one packed file (written by vxbuild)."},
      {"TvxComponents", "Components: the units of installation. Inside a feature: references to components by `id`."},
      {"TvxComponent", "One component: what is installed together. `id` must be unique; `package` names the "
                       "package that carries its files (default: the setup file)."},
      {"TvxFiles", "Files of a component."},
      {"TvxFile", "One file: `src` below the source folder (`*` and `?` take the matching files of its folder "
                  "and the folders below), `dst` the destination (a folder ending in `\\` for wildcards)."},
      {"TvxRegistry", "Registry values of a component."},
      {"TvxReg", "One registry value: `key` as \"HKLM\\Software\\...\", `param` (empty: the default value), "
                 "`value`, `type`."},
      {"TvxIniFiles", "INI entries of a component."},
      {"TvxIni", "One INI entry: `file`, `section`, `param`, `value`."},
      {"TvxShortcuts", "Shortcuts of a component."},
      {"TvxShortcut", "One shortcut: `name` is the link's path without \".lnk\", `cmdline` its target."},
      {"TvxRunApps", "Programs a component runs."},
      {"TvxRunApp", "One program run at `whenstart`."},
      {"TvxODBC", "ODBC definitions of a component."},
      {"TvxODBCDataSources", "ODBC data sources."},
      {"TvxODBCDataSource", "One ODBC data source."},
      {"TvxODBCDrivers", "ODBC drivers."},
      {"TvxODBCDriver", "One ODBC driver."},
      {"TvxODBCTranslators", "ODBC translators."},
      {"TvxODBCTranslator", "One ODBC translator."},
      {"TvxODBCAttributes", "Attributes of an ODBC definition."},
      {"TvxODBCAttribute", "One ODBC attribute: `name` and `value`."},
      {"TvxNTServices", "Windows services of a component."},
      {"TvxNTService", "One Windows service."},
      {"TvxNTServiceDepends", "Services or groups the service depends on."},
      {"TvxNTServiceDepend", "One dependency (`group=\"1\"`: a service group)."},
      {"TvxFeatures", "Features: the choices the user sees. Inside `depends`, `excepts` and an install type: "
                      "references to features by `id`."},
      {"TvxFeature", "One feature: `id` must be unique in the whole tree; `components` lists the components it "
                     "installs; sub-features in `features`; `depends` are selected with it, `excepts` deselected."},
      {"TvxInstallTypes", "Install types (\"Typical\", \"Complete\"...): named sets of features."},
      {"TvxInstallType", "One install type: `features` lists its features by `id`; `default=\"1\"` marks the one "
                         "chosen when nothing else chooses."},
      {"TvxLaunchConditions", "Conditions checked before the wizard; the first that fails stops the setup."},
      {"TvxLaunchCondition", "One launch condition: when `condition` is false, `msg` is shown and the setup ends."},
      {"build", "vxbuild's own settings; not stored in the setup file. Options on the command line win."},
      {"build.source", "Folder of the files to pack, relative to the project file (default: the project's folder)."},
      {"build.output", "Folder the setup file is written to, relative to the project file."},
      {"build.name", "File name of the setup file (default \"setup.exe\"); without its extension it is the main "
                     "package's ID."},
      {"build.stub", "The engine program the setup file starts with, relative to the project file."},
      {"build.password", "Encrypts the data with this password and stores its check hash."},
      {"build.level", "zlib compression level: 0 (stored) to 9 (smallest)."},
      {"build.uninstaller", "The uninstaller program, relative to the project file."},
      {"build.codepage", "Windows code page the project's texts are stored in (default: a single-byte encoding "
                         "the XML declaration names, else 1252)."},
      {"language", "A language file (below the source folder) for the main package; `code` defaults to the file "
                   "name without extension."},
      {"splash", "The splash bitmap (below the source folder), shown `time` seconds at `opacity` percent."},
      {"presetup", "The bitmap of the preparation window."},
      {"helper", "A file placed beside the engine in the main package's preparation part."},
      {"flags", "Package flags: `scrambled`, `noprogress`, `quiet`."},
      {"customconfig", "Free-form plug-in configuration, kept as written."},
      {"TvxConditionObject.Condition", "An expression; the object is in effect only while it is true."},
      {"TvxInstallationItem.Flags", "Comma-separated flags."},
      {"TvxInstallationItem.Action", "`add` installs the item, `remove` removes it."},
  };
  return notes;
}

// Properties that are the engine's run-time state: the engine writes them
// when it saves a project for a restart; a project does not set them.
bool IsRuntimeState(const std::string& cls, const std::string& prop) {
  static const std::set<std::string> runtime = {
      "TvxPackage.TempPath",       "TvxPackage.FullFileName",           "TvxPackage.Needed",
      "TvxPackage.Prepared",       "TvxPackage.PresetupSize",           "TvxPackage.DataSize",
      "TvxPackage.Flags",          "TvxMainDatabase.TempFontsPath",     "TvxMainDatabase.TempGACPath",
      "TvxMainDatabase.TempBackupPath", "TvxMainDatabase.InstallState", "TvxMainDatabase.InstallStateData",
      "TvxMainDatabase.ActiveInstallType", "TvxMainDatabase.RebootOnFinish", "TvxMainDatabase.Password"};
  return runtime.count(cls + "." + prop) > 0;
}

std::string NoteFor(const TClassInfo* cls, const std::string& prop) {
  for (const TClassInfo* c = cls; c; c = c->Parent()) {
    auto it = Notes().find(c->Name() + "." + prop);
    if (it != Notes().end() && c->FindProperty(prop)) return it->second;
  }
  return "";
}

const TXMLObject& DefaultOf(const TClassInfo& cls) {
  static std::map<const TClassInfo*, std::unique_ptr<TXMLObject>> objects;
  auto& o = objects[&cls];
  if (!o) o = cls.Create(nullptr);
  return *o;
}

AttrSpec FromProp(const TClassInfo& cls, const TPropInfo& p) {
  AttrSpec a;
  a.prop = &p;
  a.name = XMLLowerCase(p.XMLName.empty() ? p.Name : p.XMLName);
  a.prefix = p.EnumPrefix;
  switch (p.Kind) {
    case TPropKind::Integer: a.kind = ValueKind::Integer; break;
    case TPropKind::Boolean: a.kind = ValueKind::Boolean; break;
    case TPropKind::Char:
    case TPropKind::WChar: a.kind = ValueKind::Char; break;
    case TPropKind::Float: a.kind = ValueKind::Float; break;
    case TPropKind::Enumeration: a.kind = ValueKind::Enumeration; break;
    case TPropKind::Set: a.kind = ValueKind::Set; break;
    default: a.kind = ValueKind::Text; break;
  }
  if (p.Enum)
    for (const std::string& n : p.Enum->Names) a.values.push_back(XMLLowerCase(n.substr(std::min(a.prefix.size(), n.size()))));
  if (p.Kind != TPropKind::String && p.Kind != TPropKind::Set) a.def = XMLLowerCase(PropToText(DefaultOf(cls), p, a.prefix));
  a.runtime = IsRuntimeState(cls.Name(), p.Name);
  a.note = NoteFor(&cls, p.Name);
  return a;
}

AttrSpec Own(const std::string& name, ValueKind kind, const std::string& def = "", int lo = 0, int hi = -1) {
  AttrSpec a;
  a.name = name;
  a.kind = kind;
  a.def = def;
  a.minValue = lo;
  a.maxValue = hi;
  return a;
}

class Registry {
 public:
  Registry() {
    root_ = TypeOf(TvxMainDatabase::StaticClass());
    // vxbuild's own element <build> and its children.
    auto build = std::make_unique<TypeSpec>();
    build->typeName = "build";
    build->note = Notes().at("build");
    for (const char* n : {"source", "output", "name", "stub", "password", "uninstaller", "codepage"})
      build->attrs.push_back(Own(n, ValueKind::Text));
    build->attrs.push_back(Own("level", ValueKind::Integer, "6", 0, 9));
    for (auto& a : build->attrs) a.note = Notes().at("build." + a.name);
    std::sort(build->attrs.begin(), build->attrs.end(), [](auto& x, auto& y) { return x.name < y.name; });
    auto child = [&](const char* name, std::vector<AttrSpec> attrs) {
      auto t = std::make_unique<TypeSpec>();
      t->typeName = std::string("build-") + name;
      t->note = Notes().at(name);
      t->attrs = std::move(attrs);
      AttrSpec pkg = Own("package", ValueKind::Text);
      pkg.note = "The ID of the package it belongs to (default: the setup file's).";
      t->attrs.push_back(pkg);
      std::sort(t->attrs.begin(), t->attrs.end(), [](auto& x, auto& y) { return x.name < y.name; });
      build->children.emplace_back(name, t.get());
      owned_.push_back(std::move(t));
    };
    child("language", {Own("file", ValueKind::Text), Own("code", ValueKind::Text)});
    child("splash", {Own("file", ValueKind::Text), Own("time", ValueKind::Integer, "0", 0, 0x7FFFFFFF),
                     Own("opacity", ValueKind::Integer, "100", 0, 0x7FFFFFFF)});
    child("presetup", {Own("file", ValueKind::Text)});
    child("helper", {Own("file", ValueKind::Text)});
    child("flags", {Own("scrambled", ValueKind::Boolean, "0"), Own("noprogress", ValueKind::Boolean, "0"),
                    Own("quiet", ValueKind::Boolean, "0")});
    const_cast<TypeSpec*>(root_)->children.emplace_back("build", build.get());
    owned_.push_back(std::move(build));
    // The plug-in folder vxbuild packs.
    auto* plugin = const_cast<TypeSpec*>(TypeOf(TvxPlugin::StaticClass()));
    AttrSpec src = Own("srcfolder", ValueKind::Text);
    src.note = "vxbuild: the folder (below the source folder) whose files are the plug-in's.";
    plugin->attrs.push_back(src);
    std::sort(plugin->attrs.begin(), plugin->attrs.end(), [](auto& x, auto& y) { return x.name < y.name; });
  }

  const TypeSpec* Root() const { return root_; }
  std::vector<const TypeSpec*> All() const {
    std::vector<const TypeSpec*> out;
    std::set<const TypeSpec*> seen;
    std::vector<const TypeSpec*> work{root_};
    while (!work.empty()) {
      const TypeSpec* t = work.front();
      work.erase(work.begin());
      if (!seen.insert(t).second) continue;
      out.push_back(t);
      for (auto& [n, c] : t->children) work.push_back(c);
    }
    return out;
  }

 private:
  const TypeSpec* TypeOf(const TClassInfo& cls) {
    auto it = byClass_.find(&cls);
    if (it != byClass_.end()) return it->second;
    auto t = std::make_unique<TypeSpec>();
    TypeSpec* raw = t.get();
    owned_.push_back(std::move(t));
    byClass_[&cls] = raw;
    raw->typeName = cls.Name();
    raw->cls = &cls;
    auto it2 = Notes().find(cls.Name());
    if (it2 != Notes().end()) raw->note = it2->second;
    std::unique_ptr<TXMLObject> probe = cls.Create(nullptr);
    auto* list = dynamic_cast<TXMLObjectList*>(probe.get());
    raw->list = list != nullptr;
    for (const TPropInfo* p : cls.Properties()) {
      if (p->IsSimple()) {
        if (p->Writable) raw->attrs.push_back(FromProp(cls, *p));
      } else if (!list) {
        std::string name = XMLLowerCase(p->Name);
        if (p->IsTag()) {
          auto tag = std::make_unique<TypeSpec>();
          tag->typeName = "raw-" + name;
          tag->raw = true;
          auto n = Notes().find(name);
          if (n != Notes().end()) tag->note = n->second;
          raw->children.emplace_back(name, tag.get());
          owned_.push_back(std::move(tag));
        } else {
          raw->children.emplace_back(name, TypeOf(*p->ObjectClass()));
        }
      }
    }
    std::sort(raw->attrs.begin(), raw->attrs.end(), [](auto& x, auto& y) { return x.name < y.name; });
    if (list && list->ItemClass()) raw->children.emplace_back(list->ItemElementName(*list->ItemClass()), TypeOf(*list->ItemClass()));
    return raw;
  }

  std::map<const TClassInfo*, const TypeSpec*> byClass_;
  std::vector<std::unique_ptr<TypeSpec>> owned_;
  const TypeSpec* root_ = nullptr;
};

const Registry& TheRegistry() {
  static const Registry* r = new Registry;
  return *r;
}

}  // namespace

const AttrSpec* TypeSpec::FindAttr(std::string_view name) const {
  for (const AttrSpec& a : attrs)
    if (XMLSameText(a.name, name)) return &a;
  return nullptr;
}

const TypeSpec* TypeSpec::FindChild(std::string_view name) const {
  for (const auto& [n, t] : children)
    if (XMLSameText(n, name)) return t;
  return nullptr;
}

const TypeSpec& ProjectRootType() { return *TheRegistry().Root(); }
std::vector<const TypeSpec*> AllProjectTypes() { return TheRegistry().All(); }

std::string Closest(std::string_view name, const std::vector<std::string>& candidates) {
  // Edit distance with transpositions ("scr" is one step from "src"); a
  // guess must be within a third of the name and never replace it whole.
  std::string a = LowerCase(std::string(name));
  std::string best;
  size_t bestDistance = std::max<size_t>(1, a.size() / 3) + 1;
  for (const std::string& c : candidates) {
    std::string b = LowerCase(c);
    if (a.size() >= 3 && b.size() >= 3 && (b.compare(0, a.size(), a) == 0 || a.compare(0, b.size(), b) == 0)) {
      if (best.empty() || bestDistance > 1) best = c, bestDistance = 1;
      continue;
    }
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
      for (size_t j = 1; j <= b.size(); ++j) {
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    size_t distance = d[a.size()][b.size()];
    if (distance < bestDistance && distance < a.size()) {
      bestDistance = distance;
      best = c;
    }
  }
  return best;
}

// --- The reference ------------------------------------------------------------------------------

namespace {

std::string KindText(const AttrSpec& a) {
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : ", ") + ("`" + x + "`");
    return s;
  };
  switch (a.kind) {
    case ValueKind::Integer:
      return a.maxValue >= a.minValue ? "number " + std::to_string(a.minValue) + "–" + std::to_string(a.maxValue)
                                      : "number";
    case ValueKind::Boolean: return "`0` or `1`";
    case ValueKind::Char: return "one character";
    case ValueKind::Float: return "decimal number";
    case ValueKind::Enumeration: return "one of " + join(a.values);
    case ValueKind::Set: return "comma-separated, of " + join(a.values);
    default: return "text";
  }
}

const char* kExamples = R"(## Examples

A component with a file, a registry value and a shortcut, offered by one
feature, in an install type:

```xml
<vx2project>
  <variables>
    <var name="AppID" value="Demo"/>
    <var name="AppDir" value="%ProgramFiles%\Demo"/>
    <var name="Edition" value="Pro"/>
  </variables>
  <components>
    <component id="core">
      <files><file src="bin\app.exe" dst="%AppDir%\app.exe" flags="no_version"/></files>
      <registry><reg key="HKLM\Software\Demo" param="Path" value="%AppDir%"/></registry>
      <shortcuts><shortcut name="%ProgramsMenu%\Demo" cmdline="%AppDir%\app.exe"/></shortcuts>
    </component>
    <component id="docs" condition="%Edition% = &quot;Pro&quot;">
      <files><file src="docs\*.txt" dst="%AppDir%\docs\"/></files>
    </component>
  </components>
  <features>
    <feature id="main" name="Demo" required="1"><components><component id="core"/></components></feature>
    <feature id="help" name="Documentation"><components><component id="docs"/></components></feature>
  </features>
  <installtypes>
    <installtype id="typical" name="Typical" default="1"><features><feature id="main"/></features></installtype>
    <installtype id="full" name="Complete"><features><feature id="main"/><feature id="help"/></features></installtype>
  </installtypes>
  <launchconditions>
    <launchcondition condition="%AdminRights% = 1" msg="Please run the setup as an administrator."/>
  </launchconditions>
  <build source="files" output="out" stub="VXStub.exe"/>
</vx2project>
```

A further package with its own plug-in and an INI entry:

```xml
<packages>
  <package id="extra" filename="extra">
    <plugins><plugin id="UI" srcfolder="plugins\ui"/></plugins>
  </package>
</packages>
<components>
  <component id="tools" package="extra">
    <inifiles><ini file="%AppDir%\demo.ini" section="Paths" param="Tools" value="%AppDir%\tools"/></inifiles>
  </component>
</components>
```

)";

}  // namespace

std::string ProjectReference() {
  std::string out =
      "# Project file reference\n\n"
      "<!-- Generated by `vxbuild --reference` from the engine's property tables; do not edit. -->\n\n"
      "Every element of a project file, where it may stand and its attributes. Names are lower case "
      "(the engine also accepts other cases). Attributes the engine reads as numbers, Booleans or names "
      "are checked by vxbuild; `#expression#` parts and conditions are parsed. Texts are expanded at "
      "install time (`%Name%`, `#expression#`, `||` for a line break; see project-database.md and "
      "vxbuild.md). The XML Schema docs/vx2project.xsd describes the same vocabulary for editors.\n\n";
  out += kExamples;
  out += "## Elements\n\n";
  std::vector<const TypeSpec*> all = AllProjectTypes();
  // Where each type may stand.
  std::map<const TypeSpec*, std::set<std::string>> parents;
  std::map<const TypeSpec*, std::set<std::string>> names;
  names[all.front()].insert("vx2project");
  for (const TypeSpec* t : all)
    for (auto& [n, c] : t->children) {
      names[c].insert(n);
      for (const std::string& pn : names[t]) parents[c].insert("`<" + pn + ">`");
    }
  for (const TypeSpec* t : all) {
    std::string heading;
    for (const std::string& n : names[t]) heading += (heading.empty() ? "" : ", ") + ("`<" + n + ">`");
    out += "### " + heading + "\n\n";
    if (!t->note.empty()) out += t->note + "\n\n";
    if (t->cls) out += "Class `" + t->typeName + "`. ";
    if (!parents[t].empty()) {
      std::string p;
      for (const std::string& n : parents[t]) p += (p.empty() ? "" : ", ") + n;
      out += "Inside: " + p + ".";
    }
    out += "\n\n";
    if (t->raw) {
      out += "Any content; kept as written.\n\n";
      continue;
    }
    if (!t->children.empty()) {
      out += t->list ? "Items: " : "Children: ";
      std::string c;
      for (auto& [n, ct] : t->children) c += (c.empty() ? "" : ", ") + ("`<" + n + ">`");
      out += c + ".\n\n";
    }
    if (!t->attrs.empty()) {
      out += "| Attribute | Value | Default | Meaning |\n|---|---|---|---|\n";
      for (const AttrSpec& a : t->attrs) {
        std::string note = a.note;
        if (a.runtime) note = "Engine state saved for a restart; not for projects." + (note.empty() ? "" : " " + note);
        std::string def = a.def.empty() || (a.kind == ValueKind::Text) ? "" : "`" + a.def + "`";
        out += "| `" + a.name + "` | " + KindText(a) + " | " + def + " | " + note + " |\n";
      }
      out += "\n";
    }
  }
  return out;
}

// --- The XML Schema -------------------------------------------------------------------------------

std::string ProjectXsd() {
  auto escape = [](const std::string& s) {
    std::string o;
    for (char c : s) {
      if (c == '&') o += "&amp;";
      else if (c == '<') o += "&lt;";
      else if (c == '"') o += "&quot;";
      else o += c;
    }
    return o;
  };
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!-- Generated by vxbuild from the engine's property tables (vxbuild option schema); do not edit. -->\n"
      "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" elementFormDefault=\"unqualified\">\n"
      "  <xs:simpleType name=\"boolean01\"><xs:restriction base=\"xs:string\"><xs:enumeration value=\"0\"/>"
      "<xs:enumeration value=\"1\"/></xs:restriction></xs:simpleType>\n"
      "  <xs:simpleType name=\"int32\"><xs:restriction base=\"xs:int\"/></xs:simpleType>\n"
      "  <xs:element name=\"vx2project\" type=\"" + ProjectRootType().typeName + "\"/>\n";
  for (const TypeSpec* t : AllProjectTypes()) {
    out += "  <xs:complexType name=\"" + t->typeName + "\"";
    if (t->raw) {
      out += " mixed=\"true\"><xs:sequence><xs:any processContents=\"skip\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>"
             "</xs:sequence><xs:anyAttribute processContents=\"skip\"/></xs:complexType>\n";
      continue;
    }
    out += ">\n";
    if (!t->note.empty()) out += "    <xs:annotation><xs:documentation>" + escape(t->note) + "</xs:documentation></xs:annotation>\n";
    if (!t->children.empty()) {
      out += "    <xs:choice minOccurs=\"0\" maxOccurs=\"unbounded\">\n";
      for (auto& [n, c] : t->children) out += "      <xs:element name=\"" + n + "\" type=\"" + c->typeName + "\"/>\n";
      out += "    </xs:choice>\n";
    }
    for (const AttrSpec& a : t->attrs) {
      out += "    <xs:attribute name=\"" + a.name + "\"";
      switch (a.kind) {
        case ValueKind::Boolean: out += " type=\"boolean01\"/>\n"; break;
        case ValueKind::Integer:
          if (a.maxValue >= a.minValue)
            out += "><xs:simpleType><xs:restriction base=\"xs:int\"><xs:minInclusive value=\"" +
                   std::to_string(a.minValue) + "\"/><xs:maxInclusive value=\"" + std::to_string(a.maxValue) +
                   "\"/></xs:restriction></xs:simpleType></xs:attribute>\n";
          else
            out += " type=\"int32\"/>\n";
          break;
        case ValueKind::Float: out += " type=\"xs:double\"/>\n"; break;
        case ValueKind::Enumeration: {
          out += "><xs:simpleType><xs:restriction base=\"xs:string\">";
          for (const std::string& v : a.values) out += "<xs:enumeration value=\"" + v + "\"/>";
          out += "</xs:restriction></xs:simpleType></xs:attribute>\n";
          break;
        }
        case ValueKind::Set: {
          std::string alt;
          for (const std::string& v : a.values) alt += (alt.empty() ? "" : "|") + v;
          out += "><xs:simpleType><xs:restriction base=\"xs:string\"><xs:pattern value=\"\\s*((" + alt +
                 ")\\s*(,\\s*(" + alt + ")\\s*)*)?\"/></xs:restriction></xs:simpleType></xs:attribute>\n";
          break;
        }
        default: out += " type=\"xs:string\"/>\n"; break;
      }
    }
    out += "  </xs:complexType>\n";
  }
  out += "</xs:schema>\n";
  return out;
}

}  // namespace vxbuild
