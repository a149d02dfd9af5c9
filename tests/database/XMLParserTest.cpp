// The XML reader and writer: tree shape, value decoding, every error text
// with its position, the writer's exact bytes, bad input and files.
#include <gtest/gtest.h>

#include <chrono>

#include "database/kqXMLParser.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"

namespace {

using vx::TXMLParserError;
using vx::TXMLTag;
using vx::TXMLTagKind;

std::unique_ptr<TXMLTag> Parse(std::string_view text) {
  auto tag = std::make_unique<TXMLTag>();
  tag->Parse(text);
  return tag;
}

// The message of the error parsing `text` raises ("" when none).
std::string ErrorOf(std::string_view text) {
  TXMLTag tag;
  try {
    tag.Parse(text);
  } catch (const TXMLParserError& e) {
    return e.what();
  }
  return "";
}

// The element children of a node (text nodes between elements left out).
std::vector<const TXMLTag*> Elements(const TXMLTag& tag) {
  std::vector<const TXMLTag*> r;
  for (const auto& c : tag.Children)
    if (c->Kind == TXMLTagKind::Element) r.push_back(c.get());
  return r;
}

TEST(XMLCaseFolding, UsesTheWindows1251PairsAndNothingElse) {
  EXPECT_EQ(vx::XMLLowerChar('Q'), 'q');
  EXPECT_EQ((unsigned char)vx::XMLLowerChar('\xC0'), 0xE0);
  EXPECT_EQ((unsigned char)vx::XMLLowerChar('\xDF'), 0xFF);
  const unsigned char pairs[][2] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
                                    {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
                                    {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const auto& p : pairs) EXPECT_EQ((unsigned char)vx::XMLLowerChar(char(p[0])), p[1]) << int(p[0]);
  // Lower-case letters, unpaired high bytes and punctuation stay.
  for (int b : {0xE0, 0x90, 0x98, 0xA0, 0xB5, 0xB9, int('@'), int('['), int('z')})
    EXPECT_EQ((unsigned char)vx::XMLLowerChar(char(b)), b) << b;
  EXPECT_TRUE(vx::XMLSameText("ABC\xC0\xA8", "abc\xE0\xB8"));
  EXPECT_FALSE(vx::XMLSameText("ab", "abc"));
}

TEST(XMLParse, BuildsTheTreeWithLowerCaseNamesAndTextNodes) {
  auto root = Parse("junk before <A><B/></a> ignored <<< after");
  EXPECT_EQ(root->Name, "a");
  auto els = Elements(*root);
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(els[0]->Name, "b");
  EXPECT_EQ(els[0]->Parent, root.get());
  // Text nodes are created between elements, empty ones too.
  ASSERT_EQ(root->Children.Count(), 3);
  EXPECT_EQ(root->Children[0].Kind, TXMLTagKind::Text);
  EXPECT_EQ(root->Children[0].Text, "");

  auto t = Parse("<a>\t  hello \r\n  world  <b/>  </a>");
  EXPECT_EQ(t->Children[0].Text, "hello world") << "runs of white space collapse, ends are trimmed";
}

TEST(XMLParse, ReadsAttributesInOrderKeepingDuplicatesAndCase) {
  auto t = Parse("  <a  X = \"1\"  y='say \"hi\"' x=\"2\" >");
  EXPECT_EQ(t->Attributes, (std::vector<std::string>{"X=1", "y=say \"hi\"", "x=2"}));
  EXPECT_EQ(Parse("<a b>")->Attributes.size(), 0u) << "a name without value is dropped silently";
  EXPECT_EQ(Parse("<a v=\"x>y<z'\"/>")->Attributes, std::vector<std::string>{"v=x>y<z'"})
      << "angle brackets and the other quote are ordinary inside values";
}

TEST(XMLParse, DecodesOnlyHexEscapesScanningBackwards) {
  auto value = [](const std::string& raw) {
    auto t = Parse("<a v=\"" + raw + "\"/>");
    return t->Attributes.at(0).substr(2);
  };
  EXPECT_EQ(value("a&#x26;b"), "a&b");
  EXPECT_EQ(value("&amp;&lt;&#38;"), "&amp;&lt;&#38;");
  EXPECT_EQ(value("&#x26;#x41;"), "&#x41;") << "a produced & is not decoded again";
  EXPECT_EQ(value("&#x4a?"), "J") << "the sixth byte is not inspected";
  EXPECT_EQ(value("x&#xZZ;y"), std::string("x\0y", 3)) << "a non-hex pair gives byte 0";
  EXPECT_EQ(value("x&#x4"), "x&#x4") << "fewer than five bytes after &";
  EXPECT_EQ(value("&#x20; padded &#x09;"), "padded") << "trimmed after decoding";
  EXPECT_EQ(value("a\tb\r\nc"), "a b  c") << "tab and line breaks become spaces, not collapsed";
  // Many escapes decode in linear time.
  std::string many;
  for (int i = 0; i < 200000; ++i) many += "&#x41;";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(value(many), std::string(200000, 'A'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(XMLParse, CommentsInstructionsAndUnfinishedDocuments) {
  auto t = Parse("<?xml version=\"1.0\"?><!-- before --><a><!--\tx - y\n--><?pi a?></a>");
  ASSERT_EQ(t->Children.Count(), 4) << "text nodes around the comment and the instruction";
  EXPECT_EQ(t->Children[1].Kind, TXMLTagKind::Comment);
  EXPECT_EQ(t->Children[1].Text, "\tx - y\n") << "comment bodies keep their bytes";
  EXPECT_EQ(Parse("<a><!---->")->Children[1].Text, "");

  // The text may end before the root is closed: the tree is what was built.
  auto open = Parse("<a><b x=\"1\">text");
  auto els = Elements(*open);
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(els[0]->Attributes, std::vector<std::string>{"x=1"});
  EXPECT_EQ(Parse("")->Name, "");
}

struct ErrorCase {
  const char* text;
  const char* message;
};

TEST(XMLParse, RaisesEveryErrorWithItsExactTextAndPosition) {
  const ErrorCase cases[] = {
      {"<a></b>", "End tag \"b\" does not match the start tag \"a\". Line 1, position 6."},
      {"<a><B></C></a>", "End tag \"C\" does not match the start tag \"b\". Line 1, position 9."},
      {"<!DOCTYPE a>", "Syntax error. Line 1, position 2."},
      {"<![CDATA[x]]>", "Syntax error. Line 1, position 2."},
      {"<!-x>", "Double-hyphen (\"--\") expected. Line 1, position 3."},
      {"<a><!-- a -- b --></a>", "Right angle bracket (\">\") expected. Line 1, position 13."},
      {"<a/ >", "Right angle bracket (\">\") expected. Line 1, position 4."},
      {"<a></a >", "Right angle bracket (\">\") expected. Line 1, position 7."},
      {"<?x ?y>", "Right angle bracket (\">\") expected. Line 1, position 6."},
      {"< a>", "Invalid character in the tag name. Line 1, position 2."},
      {"<a.b/>", "Invalid character in the tag name. Line 1, position 3."},
      {"<a =\"1\">", "Attribute name expected. Line 1, position 4."},
      {"<a .=\"1\">", "Invalid character in the attribute name. Line 1, position 4."},
      {"<a  b c>", "Equals sign (\"=\") expected between attribute name and value. Line 1, position 7."},
      {"<a b=1>", "Opening quote character (single or double) expected. Line 1, position 6."},
      {"<a b=\"1\"c=\"2\">", "White space or tag closing expected. Line 1, position 9."},
      {"</x>", "End tag \"x\" found before any element. Line 1, position 3."},
      // Lines count line feeds; carriage returns never count as a column.
      {"<a>\r\n\t<b></c>", "End tag \"c\" does not match the start tag \"b\". Line 2, position 7."},
      {"<a\r\r x=1", "Opening quote character (single or double) expected. Line 1, position 6."},
      {"\n\n<a>\n</b>", "End tag \"b\" does not match the start tag \"a\". Line 4, position 3."},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;
}

TEST(XMLParse, KeepsTheTreeBuiltBeforeAnError) {
  TXMLTag t;
  EXPECT_THROW(t.Parse("<a x=\"1\"><b/><c></d>"), TXMLParserError);
  EXPECT_EQ(t.Name, "a");
  EXPECT_EQ(Elements(t).size(), 2u);
  // A reused node starts afresh.
  t.Parse("<z/>");
  EXPECT_EQ(t.Name, "z");
  EXPECT_TRUE(t.Attributes.empty());
  EXPECT_EQ(t.Children.Count(), 0);
}

TEST(XMLParse, RefusesExcessiveNestingWithoutExhaustingTheStack) {
  std::string ok;
  for (int i = 0; i < vx::kMaxXMLDepth; ++i) ok += "<a>";
  EXPECT_EQ(ErrorOf(ok), "");
  std::string deep;
  for (int i = 0; i < 1000000; ++i) deep += "<a>";
  EXPECT_EQ(ErrorOf(deep), "Elements nested too deeply. Line 1, position " +
                               std::to_string(vx::kMaxXMLDepth * 3 + 2) + ".");
}

TEST(XMLWriter, WritesIndentedElementsWithCrLf) {
  auto t = Parse("<r a=\"1\"><b><c x=\"y\"/></b>  <d></d></r>");
  EXPECT_EQ(t->GetXML(0),
            "<r a=\"1\">\r\n"
            "\t<b>\r\n"
            "\t\t<c x=\"y\"/>\r\n"
            "\t</b>\r\n"
            "\t<d>\r\n"
            "\t</d>\r\n"
            "</r>\r\n")
      << "an empty text node still counts as a child";
  EXPECT_EQ(t->Children[1].GetXML(2), "\t\t<b>\r\n\t\t\t<c x=\"y\"/>\r\n\t\t</b>\r\n");

  // Text and comments go unindented on lines of their own; blank ones vanish.
  auto mixed = Parse("<r>  <!-- c --> Some <t/> <!-- \t --></r>");
  EXPECT_EQ(mixed->GetXML(0), "<r>\r\n<!-- c -->\r\nSome\r\n\t<t/>\r\n</r>\r\n");
  auto blank = Parse("<r>  \r\n  <a/>\r\n  </r>");
  EXPECT_EQ(blank->GetXML(0), "<r>\r\n\t<a/>\r\n</r>\r\n");

  TXMLTag unnamed;
  EXPECT_EQ(unnamed.GetXML(0), "");
}

TEST(XMLWriter, QuotesAndEscapesAttributeValues) {
  auto t = Parse("<a x=\"1\" y='say \"hi\"'/>");
  EXPECT_EQ(t->GetXML(0), "<a x=\"1\" y='say \"hi\"'/>\r\n");

  TXMLTag a;
  a.SetName("A");
  a.Attributes = {"v=a\r\nb", "w=<&>", std::string("h=\x7F\x80\xBF\xC0\xFF\x1F \x25\x27"), "q=it's \"x\"",
                  "e==", "n"};
  EXPECT_EQ(a.GetAttributesText(),
            "v=\"a&#x0D;&#x0A;b\" w=\"<&#x26;>\" h=\"&#x7F;&#x80;&#xBF;\xC0\xFF&#x1F; %'\" "
            "q='it&#x27;s \"x\"' e=\"=\" n=\"\"");
  EXPECT_EQ(a.GetXML(1).substr(0, 4), "\t<a ");

  // Whatever the writer writes reads back to the same values.
  TXMLTag back;
  back.Parse(a.GetXML(0));
  EXPECT_EQ(back.Attributes[0], "v=a\r\nb");
  EXPECT_EQ(back.Attributes[2], a.Attributes[2]);
  EXPECT_EQ(back.Attributes[3], a.Attributes[3]);
}

TEST(XMLTag, CopiesAndDestroysTreesDeeperThanTheParserAllows) {
  // Built by hand: copying and destroying are not recursive.
  auto root = std::make_unique<TXMLTag>();
  root->SetName("r");
  TXMLTag* cur = root.get();
  for (int i = 0; i < 1000000; ++i) {
    auto c = std::make_unique<TXMLTag>();
    c->Name = "n";
    cur = cur->Children.Add(std::move(c));
  }
  TXMLTag copy;
  copy.Assign(*root);
  const TXMLTag* walk = &copy;
  int depth = 0;
  while (walk->Children.Count() == 1) walk = &walk->Children[0], ++depth;
  EXPECT_EQ(depth, 1000000);
  root.reset();
}

TEST(XMLTagAssign, CopiesTheWholeSubtreeIncludingTextAndComments) {
  auto src = Parse("<a k=\"v\"><b>text<!-- note --><c/></b></a>");
  TXMLTag dst;
  dst.Parse("<old x=\"1\"><y/></old>");
  dst.Assign(*src);
  EXPECT_EQ(dst.GetXML(0), src->GetXML(0));
  EXPECT_EQ(dst.Children[1].Parent, &dst);
  // Assigning a node's own descendant to it must not read freed memory.
  TXMLTag& b = src->Children[1];
  src->Assign(b);
  EXPECT_EQ(src->Name, "b");
  EXPECT_EQ(src->GetXML(0), "<b>\r\ntext\r\n<!-- note -->\r\n\t<c/>\r\n</b>\r\n");
}

class XMLFiles : public ::testing::Test {
 protected:
  vxtest::TestMachine machine;
};

TEST_F(XMLFiles, SavesOverReadOnlyFilesAndLoadsBack) {
  const std::string path = machine.Scratch() + "doc.xml";
  ASSERT_TRUE(vx::WriteWholeFile(path, std::string(5000, 'x')));
  auto& host = machine.Host();
  ASSERT_TRUE(host.SetAttributes(path, vx::kAttrReadOnly));
  auto t = Parse("<doc a=\"1\"><item/></doc>");
  ASSERT_TRUE(t->SaveToFile(path));
  std::string bytes;
  ASSERT_TRUE(vx::ReadWholeFile(path, bytes));
  EXPECT_EQ(bytes, "<doc a=\"1\">\r\n\t<item/>\r\n</doc>\r\n") << "the file is recreated, not overwritten in place";

  TXMLTag back;
  ASSERT_TRUE(back.LoadFromFile(path));
  EXPECT_EQ(back.GetXML(0), bytes);
}

TEST_F(XMLFiles, ReportsMissingFilesAndUnnamedTreesAsFalse) {
  TXMLTag t;
  EXPECT_FALSE(t.LoadFromFile(machine.Scratch() + "missing.xml"));
  EXPECT_FALSE(t.LoadFromFile(machine.Scratch() + "nofolder\\x.xml"));
  EXPECT_FALSE(t.SaveToFile(machine.Scratch() + "unnamed.xml")) << "no name, nothing to write";
  t.SetName("x");
  EXPECT_FALSE(t.SaveToFile(machine.Scratch() + "nofolder\\x.xml"));

  const std::string bad = machine.Scratch() + "bad.xml";
  ASSERT_TRUE(vx::WriteWholeFile(bad, "<a></b>"));
  EXPECT_THROW(t.LoadFromFile(bad), TXMLParserError) << "parse errors propagate";
}

TEST(Persistent, RefusesUnknownAssignmentsWithTheGeneralMessage) {
  struct Other : vx::TPersistent {
    const char* ClassName() const override { return "TOther"; }
  } other;
  TXMLTag tag;
  try {
    tag.Assign(other);
    FAIL();
  } catch (const vx::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TOther to a TXMLTag");
  }
}

}  // namespace
