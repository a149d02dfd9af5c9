// kqXMLParser: a small XML reader and writer over 8-bit ANSI strings.
//
// It reads one fixed, simple dialect -- elements, quoted attributes, text,
// comments and processing instructions that are skipped -- into a tree of
// TXMLTag nodes and writes such a tree back as text. Element names are
// folded to lower case with a fixed Windows-1251 table (never the C locale),
// attribute values know only the "&#xHH;" escape, and reading stops at the
// end tag of the root element. The object mapping on top of it lives in
// kqXMLObject.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/Errors.h"

namespace vx {

// --- Case folding -------------------------------------------------------------

// Lower-cases one byte with the case pairs of the Windows-1251 code page.
char XMLLowerChar(char c);
std::string XMLLowerCase(std::string_view s);
// Equal after Windows-1251 lower-casing.
bool XMLSameText(std::string_view a, std::string_view b);
// `-`, `0`-`9`, `A`-`Z`, `_`, `a`-`z`.
bool IsXMLNameChar(char c);

// --- Common base of everything that can be assigned -------------------------

// Raised when one persistent object cannot be assigned to another.
class EConvertError : public EEngineError {
 public:
  explicit EConvertError(const std::string& message) : EEngineError(message) {}
};

// The base of persistent classes. Assign asks the source to assign itself
// to the destination; a source that does not know the destination's class
// refuses with "Cannot assign a <source> to a <destination>".
class TPersistent {
 public:
  virtual ~TPersistent() = default;
  virtual const char* ClassName() const = 0;
  virtual void Assign(const TPersistent& source);
  virtual void AssignTo(TPersistent& dest) const;
};

// --- The element tree ---------------------------------------------------------

// Raised for every syntax error; the message ends in " Line %d, position %d.".
class TXMLParserError : public EEngineError {
 public:
  explicit TXMLParserError(const std::string& message) : EEngineError(message) {}
};

enum class TXMLTagKind : uint8_t { Element = 0, Text = 1, Comment = 2 };

class TXMLTag;

// The children of one node. Adding a node makes the owner its parent;
// destroying the list destroys the nodes.
class TXMLTagList {
 public:
  explicit TXMLTagList(TXMLTag* owner) : Owner(owner) {}
  ~TXMLTagList();
  TXMLTagList(const TXMLTagList&) = delete;
  TXMLTagList& operator=(const TXMLTagList&) = delete;

  TXMLTag* const Owner;

  int Count() const { return int(items_.size()); }
  TXMLTag& operator[](int i) const { return *items_[size_t(i)]; }
  // Appends `tag`, sets its Parent to the owner and returns it.
  TXMLTag* Add(std::unique_ptr<TXMLTag> tag);
  void Clear();

  // Hands every node over to `out` (used to tear trees down without recursion).
  void MoveAllTo(std::vector<std::unique_ptr<TXMLTag>>& out);

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TXMLTag>> items_;
};

class TXMLTag : public TPersistent {
 public:
  TXMLTag();
  ~TXMLTag() override;
  TXMLTag(const TXMLTag&) = delete;
  TXMLTag& operator=(const TXMLTag&) = delete;

  const char* ClassName() const override { return "TXMLTag"; }

  TXMLTagKind Kind = TXMLTagKind::Element;
  TXMLTag* Parent = nullptr;
  TXMLTagList Children;
  // One "name=value" entry per attribute, in document order.
  std::vector<std::string> Attributes;
  std::string Name;  // always lower case when set through SetName
  std::string Text;  // content of Text and Comment nodes

  // Stores the lower-cased name.
  void SetName(std::string_view name);

  // Reads a document into this node, which becomes its root element.
  // Raises TXMLParserError on a syntax error, leaving the tree built so far.
  void Parse(std::string_view text);

  // False when the file is missing, cannot be opened or not read whole;
  // parse errors propagate.
  bool LoadFromFile(const std::string& path);
  // Writes GetXML(0) to a fresh file; false when Name is empty or the file
  // cannot be written in full.
  bool SaveToFile(const std::string& path) const;

  // The node and its subtree as text, indented as if at depth `level`.
  std::string GetXML(int level = 0) const;
  // The attributes as they stand inside a start tag.
  std::string GetAttributesText() const;

  // Empties name, text, attributes and children.
  void Clear();

  // From another TXMLTag: a deep copy of the node and its subtree. From an
  // XML-bound object: the object writes itself into this tag.
  void Assign(const TPersistent& source) override;

 private:
  void AppendXML(std::string& out, int level) const;
};

// Nesting deeper than this is refused by the parser ("Elements nested too
// deeply."), so that no later recursive walk over a parsed tree can exhaust
// the stack.
constexpr int kMaxXMLDepth = 256;

// The position suffix of parser errors for the 1-based byte position `pos`.
std::string XMLErrorPosition(std::string_view text, size_t pos);

}  // namespace vx
