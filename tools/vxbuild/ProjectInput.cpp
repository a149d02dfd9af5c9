#include "ProjectInput.h"

#include <expat.h>
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "system/kqStrUtils.h"

namespace vxbuild {

// --- Diagnostics ------------------------------------------------------------------------

void Diagnostics::Add(bool error, int line, std::string text) { list_.push_back({error, file, line, std::move(text)}); }

void Diagnostics::ErrorIn(const std::string& otherFile, int line, std::string text) {
  list_.push_back({true, otherFile, line, std::move(text)});
}

int Diagnostics::ErrorCount() const {
  return int(std::count_if(list_.begin(), list_.end(), [](const Diagnostic& d) { return d.error; }));
}
int Diagnostics::WarningCount() const { return int(list_.size()) - ErrorCount(); }

void Diagnostics::Print(std::FILE* out, bool strict) const {
  // In the order of the file, findings without a line first.
  std::vector<Diagnostic> sorted = list_;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Diagnostic& a, const Diagnostic& b) {
    return a.file != b.file ? a.file < b.file : a.line < b.line;
  });
  for (const Diagnostic& d : sorted) {
    std::string where = d.file;
    if (d.line > 0) where += ":" + std::to_string(d.line);
    std::fprintf(out, "%s: %s: %s\n", where.c_str(), d.error || strict ? "error" : "warning", d.text.c_str());
  }
}

// --- Nodes ------------------------------------------------------------------------------------

const std::string* ProjectNode::Attr(std::string_view attrName) const {
  for (const auto& [n, v] : attrs)
    if (vx::SameText(n, attrName)) return &v;
  return nullptr;
}

std::vector<const ProjectNode*> ProjectNode::Elements() const {
  std::vector<const ProjectNode*> out;
  for (const auto& c : children)
    if (c->kind == Kind::Element) out.push_back(c.get());
  return out;
}

// --- Reading ------------------------------------------------------------------------------------

namespace {

struct ReadState {
  XML_Parser parser = nullptr;
  ProjectDocument* doc = nullptr;
  ProjectNode* current = nullptr;
  std::string text;  // character data collected since the last markup
  int textLine = 0;
  int depth = 0;
  bool tooDeep = false;
  int tooDeepLine = 0;
};

int Line(const ReadState& s) { return int(XML_GetCurrentLineNumber(s.parser)); }

void FlushText(ReadState& s) {
  if (s.text.empty() || !s.current) {
    s.text.clear();
    return;
  }
  auto node = std::make_unique<ProjectNode>();
  node->kind = ProjectNode::Kind::Text;
  node->text = std::move(s.text);
  node->line = s.textLine;
  node->parent = s.current;
  s.current->children.push_back(std::move(node));
  s.text.clear();
}

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto& s = *static_cast<ReadState*>(data);
  FlushText(s);
  if (++s.depth > vx::kMaxXMLDepth) {
    if (!s.tooDeep) s.tooDeepLine = Line(s);
    s.tooDeep = true;
    XML_StopParser(s.parser, XML_FALSE);
    return;
  }
  auto node = std::make_unique<ProjectNode>();
  node->name = name;
  node->line = Line(s);
  for (int i = 0; atts[i]; i += 2) node->attrs.emplace_back(atts[i], atts[i + 1]);
  ProjectNode* raw = node.get();
  if (!s.current) {
    s.doc->root = std::move(node);
  } else {
    node->parent = s.current;
    s.current->children.push_back(std::move(node));
  }
  s.current = raw;
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
  auto& s = *static_cast<ReadState*>(data);
  FlushText(s);
  --s.depth;
  if (s.current) s.current = s.current->parent;
}

void XMLCALL OnText(void* data, const XML_Char* text, int len) {
  auto& s = *static_cast<ReadState*>(data);
  if (!s.current) return;
  if (s.text.empty()) s.textLine = Line(s);
  s.text.append(text, size_t(len));
}

void XMLCALL OnComment(void* data, const XML_Char* text) {
  auto& s = *static_cast<ReadState*>(data);
  if (!s.current) return;  // comments around the root are not kept
  FlushText(s);
  auto node = std::make_unique<ProjectNode>();
  node->kind = ProjectNode::Kind::Comment;
  node->text = text;
  node->line = Line(s);
  node->parent = s.current;
  s.current->children.push_back(std::move(node));
}

void XMLCALL OnDecl(void* data, const XML_Char*, const XML_Char* encoding, int) {
  auto& s = *static_cast<ReadState*>(data);
  if (encoding) s.doc->declaredEncoding = encoding;
}

// Single-byte encodings other than those expat knows (windows-1251,
// iso-8859-2 ...), mapped byte by byte through iconv.
int XMLCALL OnUnknownEncoding(void*, const XML_Char* name, XML_Encoding* info) {
  iconv_t cd = iconv_open("UTF-32LE", name);
  if (cd == iconv_t(-1)) return XML_STATUS_ERROR;
  for (int b = 0; b < 256; ++b) {
    char in = char(b);
    unsigned char out[8] = {};
    char* ip = &in;
    char* op = reinterpret_cast<char*>(out);
    size_t il = 1, ol = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1) || ol != 4) {
      info->map[b] = -1;  // no character, or the lead byte of a longer one
    } else {
      info->map[b] = int(uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16);
    }
  }
  iconv_close(cd);
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

}  // namespace

bool ReadProjectXml(std::string_view bytes, ProjectDocument& doc, Diagnostics& diags) {
  doc.root.reset();
  doc.declaredEncoding.clear();
  ReadState s;
  s.doc = &doc;
  s.parser = XML_ParserCreate(nullptr);
  if (!s.parser) {
    diags.Error(0, "out of memory while reading the project");
    return false;
  }
  XML_SetUserData(s.parser, &s);
  XML_SetElementHandler(s.parser, OnStart, OnEnd);
  XML_SetCharacterDataHandler(s.parser, OnText);
  XML_SetCommentHandler(s.parser, OnComment);
  XML_SetXmlDeclHandler(s.parser, OnDecl);
  XML_SetUnknownEncodingHandler(s.parser, OnUnknownEncoding, nullptr);
  // External entities and DTDs are never fetched; internal entities are
  // expanded (expat bounds their amplification).
  XML_SetParamEntityParsing(s.parser, XML_PARAM_ENTITY_PARSING_NEVER);

  bool ok = true;
  // expat takes int lengths: feed large inputs in pieces.
  size_t at = 0;
  do {
    size_t piece = std::min<size_t>(bytes.size() - at, 1u << 20);
    bool last = at + piece == bytes.size();
    if (XML_Parse(s.parser, bytes.data() + at, int(piece), last) == XML_STATUS_ERROR) {
      ok = false;
      break;
    }
    at += piece;
  } while (at < bytes.size());

  if (s.tooDeep) {
    diags.Error(s.tooDeepLine, "elements are nested more than " + std::to_string(vx::kMaxXMLDepth) +
                                   " deep; the engine does not read such a project");
  } else if (!ok) {
    XML_Error code = XML_GetErrorCode(s.parser);
    std::string what = XML_ErrorString(code);
    int line = int(XML_GetCurrentLineNumber(s.parser));
    int column = int(XML_GetCurrentColumnNumber(s.parser)) + 1;
    std::string hint;
    if (code == XML_ERROR_INVALID_TOKEN && doc.declaredEncoding.empty())
      hint = " (a project without an encoding declaration is read as UTF-8: save it as UTF-8, or declare its "
             "encoding, e.g. <?xml version=\"1.0\" encoding=\"windows-1252\"?>)";
    else if (code == XML_ERROR_UNKNOWN_ENCODING)
      hint = " (declare UTF-8, UTF-16 or a single-byte code page such as windows-1252)";
    else if (code == XML_ERROR_UNDEFINED_ENTITY)
      hint = " (write & as &amp; and declare any other entity in the document's DOCTYPE)";
    diags.Error(line, "not well-formed XML at column " + std::to_string(column) + ": " + what + hint);
  } else if (!doc.root) {
    diags.Error(0, "the file holds no element");
    ok = false;
  }
  XML_ParserFree(s.parser);
  return ok && !s.tooDeep;
}

// --- Code page ---------------------------------------------------------------------------------

namespace {

// "1252", "cp1252", "windows-1252" -> "CP1252"; other names as given.
std::string IconvName(const std::string& name) {
  std::string n = vx::Trim(name);
  std::string lower = vx::LowerCase(n);
  for (const char* prefix : {"windows-", "cp", "ms-", ""}) {
    size_t len = std::strlen(prefix);
    if (lower.compare(0, len, prefix) != 0) continue;
    std::string digits = lower.substr(len);
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit((unsigned char)c); }))
      return "CP" + digits;
  }
  return n;
}

bool Usable(const std::string& iconvName) {
  iconv_t cd = iconv_open(iconvName.c_str(), "UTF-8");
  if (cd == iconv_t(-1)) return false;
  iconv_close(cd);
  return true;
}

}  // namespace

std::string ProjectCodePage(const ProjectDocument& doc, Diagnostics& diags) {
  if (doc.root) {
    for (const ProjectNode* c : doc.root->Elements()) {
      if (!vx::SameText(c->name, "build")) continue;
      if (const std::string* cp = c->Attr("codepage")) {
        std::string name = IconvName(*cp);
        std::string lower = vx::LowerCase(name);
        if (lower.find("utf") != std::string::npos || !Usable(name)) {
          diags.Error(c->line, "codepage=\"" + *cp +
                                   "\" is no code page the engine's 8-bit strings can use; give a Windows "
                                   "code page such as 1252 or windows-1251");
          return "";
        }
        return name;
      }
    }
  }
  std::string declared = vx::LowerCase(doc.declaredEncoding);
  if (!declared.empty() && declared.find("utf") == std::string::npos && declared != "us-ascii" &&
      Usable(IconvName(doc.declaredEncoding)))
    return IconvName(doc.declaredEncoding);
  return "CP1252";
}

namespace {

struct Converter {
  iconv_t cd;
  // False when `s` holds a character the code page cannot hold; `bad` then
  // names it.
  bool Convert(std::string& s, std::string& bad) {
    if (std::all_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x80; })) return true;
    std::string out(s.size() * 2 + 8, '\0');
    char* ip = s.data();
    size_t il = s.size();
    char* op = out.data();
    size_t ol = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (il > 0) {
      if (iconv(cd, &ip, &il, &op, &ol) != size_t(-1)) break;
      if (errno == E2BIG) {
        size_t used = size_t(op - out.data());
        out.resize(out.size() * 2);
        op = out.data() + used;
        ol = out.size() - used;
        continue;
      }
      // The character that does not fit: its UTF-8 bytes.
      size_t n = 1;
      while (n < il && (uint8_t(ip[n]) & 0xC0) == 0x80) ++n;
      bad.assign(ip, n);
      return false;
    }
    out.resize(size_t(op - out.data()));
    s = std::move(out);
    return true;
  }
};

std::string CodePoint(const std::string& utf8) {
  uint32_t cp = 0;
  unsigned char c0 = utf8.empty() ? 0 : (unsigned char)utf8[0];
  int extra = c0 >= 0xF0 ? 3 : c0 >= 0xE0 ? 2 : c0 >= 0xC0 ? 1 : 0;
  cp = extra == 3 ? c0 & 7 : extra == 2 ? c0 & 15 : extra == 1 ? c0 & 31 : c0;
  for (int i = 1; i <= extra && i < int(utf8.size()); ++i) cp = cp << 6 | ((unsigned char)utf8[size_t(i)] & 63);
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", cp);
  return buf;
}

}  // namespace

bool ConvertToCodePage(ProjectDocument& doc, const std::string& codePage, Diagnostics& diags) {
  if (!doc.root) return false;
  iconv_t cd = iconv_open(codePage.c_str(), "UTF-8");
  if (cd == iconv_t(-1)) {
    diags.Error(0, "the code page " + codePage + " is not known on this machine");
    return false;
  }
  Converter conv{cd};
  bool ok = true;
  std::string shown = codePage.compare(0, 2, "CP") == 0 ? "code page " + codePage.substr(2) : codePage;
  auto convert = [&](std::string& s, int line, const std::string& what) {
    std::string bad;
    if (conv.Convert(s, bad)) return;
    ok = false;
    diags.Error(line, what + " holds the character \"" + bad + "\" (" + CodePoint(bad) + "), which " + shown +
                          " cannot hold; choose the project's code page with <build codepage=\"...\"> or "
                          "write the text without it");
  };
  std::vector<ProjectNode*> work{doc.root.get()};
  while (!work.empty()) {
    ProjectNode* n = work.back();
    work.pop_back();
    if (n->kind == ProjectNode::Kind::Element) {
      convert(n->name, n->line, "the element name <" + n->name + ">");
      for (auto& [name, value] : n->attrs) {
        convert(name, n->line, "an attribute name of <" + n->name + ">");
        convert(value, n->line, "the attribute " + name + " of <" + n->name + ">");
      }
    } else {
      convert(n->text, n->line, n->kind == ProjectNode::Kind::Text ? "the text" : "the comment");
    }
    for (auto& c : n->children) work.push_back(c.get());
  }
  iconv_close(cd);
  doc.codePage = codePage;
  return ok;
}

// --- The engine's dialect ----------------------------------------------------------------------

namespace {

std::string Collapse(const std::string& s) {
  std::string out;
  bool blank = false;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

}  // namespace

std::unique_ptr<vx::TXMLTag> EngineTree(const ProjectNode& root, Diagnostics& diags) {
  auto top = std::make_unique<vx::TXMLTag>();
  std::vector<std::pair<const ProjectNode*, vx::TXMLTag*>> work{{&root, top.get()}};
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    to->Kind = vx::TXMLTagKind::Element;
    to->SetName(from->name);
    for (const auto& [name, value] : from->attrs) to->Attributes.push_back(vx::XMLLowerCase(name) + "=" + vx::Trim(value));
    for (const auto& c : from->children) {
      auto node = std::make_unique<vx::TXMLTag>();
      if (c->kind == ProjectNode::Kind::Element) {
        work.emplace_back(c.get(), node.get());
      } else if (c->kind == ProjectNode::Kind::Text) {
        std::string t = Collapse(c->text);
        if (t.empty()) continue;
        if (t.find('<') != std::string::npos)
          diags.Error(c->line, "text holding \"<\" cannot be stored in the project database; leave it out or "
                               "put the value in an attribute");
        node->Kind = vx::TXMLTagKind::Text;
        node->Text = t;
      } else {
        if (c->text.find("--") != std::string::npos) {
          diags.Warning(c->line, "a comment holding \"--\" is left out of the stored project");
          continue;
        }
        node->Kind = vx::TXMLTagKind::Comment;
        node->Text = c->text;
      }
      to->Children.Add(std::move(node));
    }
  }
  return top;
}

}  // namespace vxbuild
