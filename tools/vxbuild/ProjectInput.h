// ProjectInput: reads an author's project file as standard XML and hands
// it to the engine's object layer in the engine's own dialect.
//
// The author writes ordinary XML (any entity, character references,
// comments, CDATA, UTF-8 or a declared single-byte encoding); the engine's
// reader knows a small fixed dialect over 8-bit strings in one code page.
// This unit bridges the two: the document is parsed with expat into a tree
// of ProjectNode (every element remembers its line, for messages), its
// text is converted to the project's code page, and EngineTree turns it
// into the TXMLTag tree the project database is assigned from. What the
// setup file stores is written by the engine's own writer, so it is exactly
// what the engine reads.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "database/kqXMLParser.h"

namespace vxbuild {

// What the checks found, with the file and line of each finding.
struct Diagnostic {
  bool error = true;
  std::string file;
  int line = 0;  // 0: no line
  std::string text;
};

class Diagnostics {
 public:
  std::string file;  // the file findings name unless they say otherwise
  void Error(int line, std::string text) { Add(true, line, std::move(text)); }
  void Warning(int line, std::string text) { Add(false, line, std::move(text)); }
  void ErrorIn(const std::string& otherFile, int line, std::string text);
  int ErrorCount() const;
  int WarningCount() const;
  const std::vector<Diagnostic>& All() const { return list_; }
  // "file:line: error: text", one per line; with `strict` warnings are
  // printed as errors.
  void Print(std::FILE* out, bool strict) const;

 private:
  void Add(bool error, int line, std::string text);
  std::vector<Diagnostic> list_;
};

struct ProjectNode {
  enum class Kind { Element, Text, Comment } kind = Kind::Element;
  std::string name;  // element name as written
  int line = 0;
  // Attributes in document order; values are UTF-8 after reading and in
  // the project's code page after ConvertToCodePage.
  std::vector<std::pair<std::string, std::string>> attrs;
  std::string text;  // Text and Comment nodes
  ProjectNode* parent = nullptr;
  std::vector<std::unique_ptr<ProjectNode>> children;

  // The value of an attribute (name without case), or null.
  const std::string* Attr(std::string_view attrName) const;
  std::string AttrOr(std::string_view attrName, const std::string& def = std::string()) const {
    const std::string* v = Attr(attrName);
    return v ? *v : def;
  }
  // The element children, in order.
  std::vector<const ProjectNode*> Elements() const;
};

struct ProjectDocument {
  std::unique_ptr<ProjectNode> root;
  std::string declaredEncoding;  // from the XML declaration; "" without one
  std::string codePage;          // iconv name of the code page the text is in, after conversion
};

// Parses `bytes`. False with an error (file, line, what to do) when the
// text is not well-formed XML or is nested deeper than the engine reads.
bool ReadProjectXml(std::string_view bytes, ProjectDocument& doc, Diagnostics& diags);

// The code page a project's strings are stored in: the attribute codepage
// of <build> ("1252", "windows-1251"), else a single-byte encoding the XML
// declaration names, else Windows-1252. Returned as an iconv name; "" with
// an error when the attribute names nothing usable.
std::string ProjectCodePage(const ProjectDocument& doc, Diagnostics& diags);

// Converts every name, value and text of the tree from UTF-8 to `codePage`.
// False with one error per value that holds a character the code page
// cannot hold.
bool ConvertToCodePage(ProjectDocument& doc, const std::string& codePage, Diagnostics& diags);

// The tree in the engine's dialect: element and attribute names lower case,
// values trimmed, runs of blanks in text collapsed, whitespace-only text
// dropped. Adds an error for text the engine's writer could not store
// (a "<" in text, "--" in a comment).
std::unique_ptr<vx::TXMLTag> EngineTree(const ProjectNode& root, Diagnostics& diags);

}  // namespace vxbuild
