#include "database/kqXMLParser.h"

#include <array>
#include <new>

#include "system/host.h"
#include "system/kqStrUtils.h"

namespace vx {

// --- Case folding -------------------------------------------------------------

namespace {

// Lower-case partners of the Windows-1251 code page, built once: A-Z, the
// Cyrillic capitals 0xC0-0xDF and the scattered pairs of 0x80-0xBF. Every
// other byte folds to itself.
struct FoldTable {
  std::array<unsigned char, 256> lower{};
  FoldTable() {
    for (int i = 0; i < 256; ++i) lower[size_t(i)] = (unsigned char)i;
    for (int c = 'A'; c <= 'Z'; ++c) lower[size_t(c)] = (unsigned char)(c + 32);
    for (int c = 0xC0; c <= 0xDF; ++c) lower[size_t(c)] = (unsigned char)(c + 32);
    static const unsigned char pairs[][2] = {
        {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
        {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
        {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
    for (const auto& p : pairs) lower[p[0]] = p[1];
  }
};

const FoldTable& Fold() {
  static const FoldTable table;
  return table;
}

}  // namespace

char XMLLowerChar(char c) { return char(Fold().lower[(unsigned char)c]); }

std::string XMLLowerCase(std::string_view s) {
  const auto& t = Fold().lower;
  std::string r(s);
  for (char& c : r) c = char(t[(unsigned char)c]);
  return r;
}

bool XMLSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto& t = Fold().lower;
  for (size_t i = 0; i < a.size(); ++i)
    if (t[(unsigned char)a[i]] != t[(unsigned char)b[i]]) return false;
  return true;
}

bool IsXMLNameChar(char c) {
  return c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// --- TPersistent ----------------------------------------------------------------

void TPersistent::Assign(const TPersistent& source) { source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& dest) const {
  throw EConvertError(std::string("Cannot assign a ") + ClassName() + " to a " + dest.ClassName());
}

// --- TXMLTagList ----------------------------------------------------------------

TXMLTagList::~TXMLTagList() { Clear(); }

TXMLTag* TXMLTagList::Add(std::unique_ptr<TXMLTag> tag) {
  tag->Parent = Owner;
  items_.push_back(std::move(tag));
  return items_.back().get();
}

void TXMLTagList::Clear() {
  // Each node tears down its own subtree iteratively (see ~TXMLTag).
  std::vector<std::unique_ptr<TXMLTag>> doomed;
  doomed.swap(items_);
}

void TXMLTagList::MoveAllTo(std::vector<std::unique_ptr<TXMLTag>>& out) {
  for (auto& t : items_) out.push_back(std::move(t));
  items_.clear();
}

// --- TXMLTag ------------------------------------------------------------------------

TXMLTag::TXMLTag() : Children(this) {}

TXMLTag::~TXMLTag() {
  // Flatten the subtree into a work list so that destroying a deep tree
  // never recurses: every node is destroyed only after its children have
  // been moved out of it.
  std::vector<std::unique_ptr<TXMLTag>> work;
  Children.MoveAllTo(work);
  while (!work.empty()) {
    std::unique_ptr<TXMLTag> node = std::move(work.back());
    work.pop_back();
    node->Children.MoveAllTo(work);
  }
}

void TXMLTag::SetName(std::string_view name) { Name = XMLLowerCase(name); }

void TXMLTag::Clear() {
  Name.clear();
  Text.clear();
  Attributes.clear();
  Children.Clear();
}

std::string XMLErrorPosition(std::string_view text, size_t pos) {
  int line = 1, column = 0;
  size_t before = pos > 0 ? pos - 1 : 0;
  if (before > text.size()) before = text.size();
  for (size_t i = 0; i < before; ++i) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      column = 0;
    } else if (c != '\r') {
      ++column;
    }
  }
  ++column;
  return Format(" Line %d, position %d.", line, column);
}

namespace {


// Decodes "&#xHH" + one further byte, scanning from the end so that an "&"
// produced by a replacement is never decoded again, then trims. Works on a
// reversed copy of the already decoded tail, so it stays linear however many
// escapes a value holds.
std::string DecodeValue(const std::string& value) {
  std::string tail;  // decoded suffix, reversed: tail.back() follows the current byte
  tail.reserve(value.size());
  for (size_t i = value.size(); i-- > 0;) {
    char c = value[i];
    size_t n = tail.size();
    if (c == '&' && n >= 5 && tail[n - 1] == '#' && tail[n - 2] == 'x') {
      int hi = HexDigitValue(tail[n - 3]), lo = HexDigitValue(tail[n - 4]);
      char decoded = (hi < 0 || lo < 0) ? char(0) : char(hi * 16 + lo);
      tail.resize(n - 5);
      tail.push_back(decoded);
    } else {
      tail.push_back(c);
    }
  }
  std::string result(tail.rbegin(), tail.rend());
  return Trim(result);
}

enum class PState {
  Text,
  AfterLt,
  ElementName,
  EndName,
  EndClose,
  AttrName,
  AttrEquals,
  AttrQuote,
  AttrValue,
  AttrNext,
  CommentDash1,
  CommentDash2,
  CommentBody,
  CommentEnd,
  Instruction,
  InstructionEnd,
};

const char* const kMsgTagName = "Invalid character in the tag name.";
const char* const kMsgRightAngle = "Right angle bracket (\">\") expected.";
const char* const kMsgAttrNameExpected = "Attribute name expected.";
const char* const kMsgAttrNameChar = "Invalid character in the attribute name.";
const char* const kMsgEquals = "Equals sign (\"=\") expected between attribute name and value.";
const char* const kMsgQuote = "Opening quote character (single or double) expected.";
const char* const kMsgAfterValue = "White space or tag closing expected.";
const char* const kMsgSyntax = "Syntax error.";
const char* const kMsgDoubleHyphen = "Double-hyphen (\"--\") expected.";
const char* const kMsgTooDeep = "Elements nested too deeply.";

}  // namespace

void TXMLTag::Parse(std::string_view text) {
  // Attributes are reset too: a node parsed twice must not keep the
  // attributes of the previous document.
  Name.clear();
  Text.clear();
  Kind = TXMLTagKind::Element;
  Attributes.clear();
  Children.Clear();

  auto fail = [&](const std::string& message, size_t pos) {
    throw TXMLParserError(message + XMLErrorPosition(text, pos));
  };

  PState st = PState::Text;
  TXMLTag* open = nullptr;  // the element being filled; null until the root starts
  int depth = 0;
  std::string collected, attrName, value, endName;
  size_t endNamePos = 0;  // position of the first byte of the end-tag name
  char quote = 0;
  int dashes = 0;
  char prev = 0;
  bool havePrev = false;

  for (size_t i = 0; i < text.size(); ++i) {
    const size_t pos = i + 1;
    const char raw = text[i];
    const char c = (raw == '\t' || raw == '\n' || raw == '\r') ? ' ' : raw;
    if (st != PState::CommentBody && st != PState::AttrValue && c == ' ' && havePrev && prev == ' ')
      continue;  // space runs collapse outside comments and quoted values
    prev = c;
    havePrev = true;

    bool again;
    do {
      again = false;
      switch (st) {
        case PState::Text:
          if (c == '<') {
            if (open) {
              auto node = std::make_unique<TXMLTag>();
              node->Kind = TXMLTagKind::Text;
              node->Text = Trim(collected);
              open->Children.Add(std::move(node));
            }
            collected.clear();
            st = PState::AfterLt;
          } else {
            collected += c;
          }
          break;

        case PState::AfterLt:
          if (c == '!') {
            st = PState::CommentDash1;
          } else if (c == '/') {
            endName.clear();
            endNamePos = pos + 1;
            st = PState::EndName;
          } else if (c == '?') {
            st = PState::Instruction;
          } else if (IsXMLNameChar(c)) {
            if (!open) {
              SetName(std::string_view(&c, 1));
              open = this;
              depth = 1;
            } else {
              if (depth >= kMaxXMLDepth) fail(kMsgTooDeep, pos);
              auto node = std::make_unique<TXMLTag>();
              node->Name.assign(1, XMLLowerChar(c));
              open = open->Children.Add(std::move(node));
              ++depth;
            }
            st = PState::ElementName;
          } else {
            fail(kMsgTagName, pos);
          }
          break;

        case PState::ElementName:
          if (c == ' ') {
            attrName.clear();
            st = PState::AttrName;
          } else if (c == '/') {
            endName = open->Name;
            st = PState::EndClose;
          } else if (c == '>') {
            st = PState::Text;
          } else if (IsXMLNameChar(c)) {
            open->Name += XMLLowerChar(c);
          } else {
            fail(kMsgTagName, pos);
          }
          break;

        case PState::EndName:
          if (IsXMLNameChar(c)) {
            endName += c;
          } else {
            st = PState::EndClose;
            again = true;
          }
          break;

        case PState::EndClose:
          if (c != '>') fail(kMsgRightAngle, pos);
          if (!open) fail("End tag \"" + endName + "\" found before any element.", endNamePos);
          if (!XMLSameText(endName, open->Name))
            fail("End tag \"" + endName + "\" does not match the start tag \"" + open->Name + "\".",
                 endNamePos);
          if (open == this) return;  // the root is closed: the rest is ignored
          open = open->Parent;
          --depth;
          st = PState::Text;
          break;

        case PState::AttrName:
          if (c == ' ' || c == '=') {
            if (attrName.empty()) fail(kMsgAttrNameExpected, pos);
            st = PState::AttrEquals;
            again = true;
          } else if (c == '/') {
            endName = open->Name;
            st = PState::EndClose;
          } else if (c == '>') {
            st = PState::Text;
          } else if (IsXMLNameChar(c)) {
            attrName += c;
          } else {
            fail(kMsgAttrNameChar, pos);
          }
          break;

        case PState::AttrEquals:
          if (c == '=') {
            st = PState::AttrQuote;
          } else if (c != ' ') {
            fail(kMsgEquals, pos);
          }
          break;

        case PState::AttrQuote:
          if (c == '"' || c == '\'') {
            quote = c;
            value.clear();
            st = PState::AttrValue;
          } else if (c != ' ') {
            fail(kMsgQuote, pos);
          }
          break;

        case PState::AttrValue:
          if (c == quote) {
            std::string entry = attrName;
            entry += '=';
            entry += DecodeValue(value);
            open->Attributes.push_back(std::move(entry));
            st = PState::AttrNext;
          } else {
            value += c;
          }
          break;

        case PState::AttrNext:
          if (c == ' ') {
            attrName.clear();
            st = PState::AttrName;
          } else if (c == '/') {
            endName = open->Name;
            st = PState::EndClose;
          } else if (c == '>') {
            st = PState::Text;
          } else {
            fail(kMsgAfterValue, pos);
          }
          break;

        case PState::CommentDash1:
          if (c != '-') fail(kMsgSyntax, pos - 1);
          st = PState::CommentDash2;
          break;

        case PState::CommentDash2:
          if (c != '-') fail(kMsgDoubleHyphen, pos - 1);
          collected.clear();
          dashes = 0;
          st = PState::CommentBody;
          break;

        case PState::CommentBody:
          collected += raw;
          if (raw == '-') {
            if (dashes == 1)
              st = PState::CommentEnd;
            else
              ++dashes;
          } else {
            dashes = 0;
          }
          break;

        case PState::CommentEnd:
          if (c != '>') fail(kMsgRightAngle, pos);
          if (open) {
            auto node = std::make_unique<TXMLTag>();
            node->Kind = TXMLTagKind::Comment;
            node->Text = collected.substr(0, collected.size() - 2);
            open->Children.Add(std::move(node));
          }
          collected.clear();
          st = PState::Text;
          break;

        case PState::Instruction:
          if (c == '?') st = PState::InstructionEnd;
          break;

        case PState::InstructionEnd:
          if (c != '>') fail(kMsgRightAngle, pos);
          st = PState::Text;
          break;
      }
    } while (again);
  }
  // The text ended before the root was closed: the tree is what was built.
}

// --- Writer ---------------------------------------------------------------------------

std::string TXMLTag::GetAttributesText() const {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const std::string& entry : Attributes) {
    size_t eq = entry.find('=');
    std::string_view name(entry), value;
    if (eq != std::string::npos) {
      name = std::string_view(entry).substr(0, eq);
      value = std::string_view(entry).substr(eq + 1);
    }
    const char q = value.find('"') != std::string_view::npos ? '\'' : '"';
    out.append(name);
    out += '=';
    out += q;
    for (char ch : value) {
      unsigned char b = (unsigned char)ch;
      if (b < 32 || b == '&' || (b >= 127 && b <= 191) || ch == q) {
        out += "&#x";
        out += hex[b >> 4];
        out += hex[b & 15];
        out += ';';
      } else {
        out += ch;
      }
    }
    out += q;
    out += ' ';
  }
  return Trim(out);
}

void TXMLTag::AppendXML(std::string& out, int level) const {
  // Written with an explicit stack rather than recursion, so that tree depth
  // is bounded by memory, not by the thread's stack.
  struct Frame {
    const TXMLTag* node;
    int level;
    int next;
  };
  std::vector<Frame> stack;

  auto enter = [&](const TXMLTag& n, int lvl) {
    switch (n.Kind) {
      case TXMLTagKind::Text:
        if (!Trim(n.Text).empty()) {
          out += n.Text;
          out += "\r\n";
        }
        return;
      case TXMLTagKind::Comment:
        if (!Trim(n.Text).empty()) {
          out += "<!--";
          out += n.Text;
          out += "-->\r\n";
        }
        return;
      case TXMLTagKind::Element:
        break;
    }
    if (n.Name.empty()) return;
    out.append(size_t(lvl), '\t');
    std::string line = "<" + n.Name;
    if (!n.Attributes.empty()) {
      line += ' ';
      line += n.GetAttributesText();
      line = TrimRight(line);
    }
    out += line;
    if (n.Children.Count() == 0) {
      out += "/>\r\n";
      return;
    }
    out += ">\r\n";
    stack.push_back(Frame{&n, lvl, 0});
  };

  enter(*this, level < 0 ? 0 : level);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.node->Children.Count()) {
      const TXMLTag& child = top.node->Children[top.next++];
      int childLevel = top.level + 1;
      enter(child, childLevel);  // may grow the stack: `top` is not used after this
    } else {
      out.append(size_t(top.level), '\t');
      out += "</";
      out += top.node->Name;
      out += ">\r\n";
      stack.pop_back();
    }
  }
}

std::string TXMLTag::GetXML(int level) const {
  std::string out;
  AppendXML(out, level);
  return out;
}

// --- Copying ----------------------------------------------------------------------------

void TXMLTag::Assign(const TPersistent& source) {
  const auto* src = dynamic_cast<const TXMLTag*>(&source);
  if (!src) {
    TPersistent::Assign(source);  // an XML-bound object writes itself into this tag
    return;
  }
  if (src == this) return;

  // Build the copy aside first: the source may live inside this node's own
  // subtree, which Clear would destroy. Kind and Text are copied along with
  // name and attributes, so text and comment nodes survive the copy.
  auto copy = std::make_unique<TXMLTag>();
  struct Pair {
    const TXMLTag* from;
    TXMLTag* to;
  };
  std::vector<Pair> work{{src, copy.get()}};
  while (!work.empty()) {
    Pair p = work.back();
    work.pop_back();
    p.to->Kind = p.from->Kind;
    p.to->Name = p.from->Name;
    p.to->Text = p.from->Text;
    p.to->Attributes = p.from->Attributes;
    for (const auto& child : p.from->Children) {
      TXMLTag* to = p.to->Children.Add(std::make_unique<TXMLTag>());
      work.push_back(Pair{child.get(), to});
    }
  }

  Clear();
  Kind = copy->Kind;
  Name = std::move(copy->Name);
  Text = std::move(copy->Text);
  Attributes = std::move(copy->Attributes);
  std::vector<std::unique_ptr<TXMLTag>> children;
  copy->Children.MoveAllTo(children);
  for (auto& c : children) Children.Add(std::move(c));
}

// --- Files ------------------------------------------------------------------------------------

bool TXMLTag::LoadFromFile(const std::string& path) {
  std::unique_ptr<HostFile> f =
      CurrentHost().OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  if (!f) return false;
  int64_t size = f->Size();
  if (size < 0 || uint64_t(size) > uint64_t(std::string().max_size())) return false;
  std::string data;
  try {
    data.resize(size_t(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t total = 0;
  while (total < data.size()) {
    size_t done = 0;
    if (!f->Read(data.data() + total, data.size() - total, done)) return false;
    if (done == 0) break;
    total += done;
  }
  if (total < data.size()) return false;
  f.reset();
  Parse(data);
  return true;
}

bool TXMLTag::SaveToFile(const std::string& path) const {
  if (Name.empty()) return false;
  Host& host = CurrentHost();
  uint32_t attributes = host.GetAttributes(path);
  if (attributes != kInvalidAttributes) {
    if (attributes & kAttrReadOnly) {
      uint32_t cleared = attributes & ~uint32_t(kAttrReadOnly);
      host.SetAttributes(path, cleared ? cleared : uint32_t(kAttrNormal));
    }
    host.RemoveFile(path);
  }
  std::unique_ptr<HostFile> f = host.OpenFile(path, FileAccess::Write, FileCreate::CreateAlways, kShareNone);
  if (!f) return false;
  const std::string xml = GetXML(0);
  size_t total = 0;
  while (total < xml.size()) {
    size_t done = 0;
    if (!f->Write(xml.data() + total, xml.size() - total, done)) return false;
    if (done == 0) break;
    total += done;
  }
  return total == xml.size();
}

}  // namespace vx
