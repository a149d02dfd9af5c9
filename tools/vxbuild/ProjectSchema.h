// ProjectSchema: the vocabulary of a project file, derived from the
// engine's property tables (VXClasses) plus vxbuild's own <build> element.
//
// Every element of a project is an object of one persistent class: its
// attributes are the class's simple published properties, its child
// elements the class-typed ones (a list holds only its items). Walking the
// tables from TvxMainDatabase gives the whole vocabulary; the checks, the
// reference (docs/project-reference.md) and the XML Schema
// (docs/vx2project.xsd) are all made from that one walk.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database/kqXMLObject.h"

namespace vxbuild {

enum class ValueKind { Text, Integer, Boolean, Enumeration, Set, Char, Float };

struct AttrSpec {
  std::string name;                     // lower case, as written
  const vx::TPropInfo* prop = nullptr;  // null for vxbuild's own attributes
  ValueKind kind = ValueKind::Text;
  std::vector<std::string> values;      // enumeration and set members, lower case
  std::string prefix;                   // prefix the stored names lack
  std::string def;                      // the value when absent ("" when none)
  bool runtime = false;                 // state the engine keeps, not for projects
  int minValue = 0, maxValue = -1;      // an integer range when maxValue >= minValue
  std::string note;
};

struct TypeSpec {
  std::string typeName;                  // the class name, or vxbuild's name
  const vx::TClassInfo* cls = nullptr;   // null for vxbuild's own elements
  std::vector<AttrSpec> attrs;
  std::vector<std::pair<std::string, const TypeSpec*>> children;  // element name, type
  bool raw = false;   // any content, kept as written (plug-in configuration)
  bool list = false;  // a list: its children are its items
  std::string note;

  const AttrSpec* FindAttr(std::string_view name) const;
  const TypeSpec* FindChild(std::string_view name) const;
};

// The type of the root element "vx2project".
const TypeSpec& ProjectRootType();
// Every type reachable from the root, each once, in a fixed order.
std::vector<const TypeSpec*> AllProjectTypes();

// The closest of `candidates` to `name` (edit distance, without case), or
// "" when none is close enough to be a likely misspelling.
std::string Closest(std::string_view name, const std::vector<std::string>& candidates);

// The author's reference (Markdown) and the XML Schema, both generated.
std::string ProjectReference();
std::string ProjectXsd();

}  // namespace vxbuild
