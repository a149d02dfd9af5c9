// XML-bound objects: property order, per-kind conversion, default
// omission, the hooks, merging and copying, lookups, files.
#include <gtest/gtest.h>

#include "database/kqXMLObject.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"

namespace sample {

using vx::Prop;

enum class TColor : uint8_t { clRed, clGreen, clBlue };
const vx::TEnumInfo& EnumInfo(TColor) {
  static const vx::TEnumInfo info{{"clRed", "clGreen", "clBlue"}};
  return info;
}

class TPart : public vx::TXMLObject {
  VX_XML_CLASS(TPart, vx::TXMLObject)
 public:
  std::string Name;
  int32_t Weight = 0;
  bool AcceptRead(const vx::TXMLTag& tag) override {
    for (const auto& a : tag.Attributes)
      if (a == "skip=1") return false;
    return true;
  }
  bool AcceptWrite(vx::TXMLTag&) const override { return Name != "hidden"; }
};

class TSpecialPart : public TPart {
  VX_XML_CLASS(TSpecialPart, TPart)
};

class TParts : public vx::TXMLParamList {
  VX_XML_CLASS(TParts, vx::TXMLParamList)
  VX_XML_PARAM_LIST_OF(TPart, "part")
 public:
  std::string Label;  // written as an attribute of the list's element
};

class TSample : public vx::TXMLObject {
  VX_XML_CLASS(TSample, vx::TXMLObject)
 public:
  int32_t Size = 0;
  char Letter = 0;
  TColor Color = TColor::clRed;
  TColor Tint = TColor::clRed;
  vx::TSet<TColor> Colors;
  bool On = false;
  bool Lit = false;  // true by default, see InitDefaults
  double Ratio = 0;
  std::string Title;
  std::string Computed() const { return "c" + Title; }
  std::unique_ptr<TParts> Parts;
  std::unique_ptr<TPart> Main;      // not a list: absent until read
  std::unique_ptr<vx::TXMLTag> Raw;  // kept as a subtree
  void InitDefaults() override { Lit = true; }
};

class TBase : public vx::TXMLObject {
  VX_XML_CLASS(TBase, vx::TXMLObject)
 public:
  std::string Zeta, alp, Alphabet, Beta, B_, B9;
};

VX_XML_CLASS_DEF(TPart, vx::TXMLObject, Prop("Name", &TPart::Name), Prop("Weight", &TPart::Weight))
VX_XML_CLASS_DEF(TSpecialPart, TPart)
VX_XML_CLASS_DEF(TParts, vx::TXMLParamList, Prop("Label", &TParts::Label))
VX_XML_CLASS_DEF(TSample, vx::TXMLObject,
                 Prop("Size", &TSample::Size),
                 Prop("Letter", &TSample::Letter),
                 Prop("Color", &TSample::Color).Prefix("cl"),
                 Prop("Tint", &TSample::Tint).As("shade"),
                 Prop("Colors", &TSample::Colors).Prefix("cl"),
                 Prop("On", &TSample::On),
                 Prop("Lit", &TSample::Lit),
                 Prop("Ratio", &TSample::Ratio),
                 Prop("Title", &TSample::Title),
                 Prop("Computed", &TSample::Computed),
                 Prop("Parts", &TSample::Parts),
                 Prop("Main", &TSample::Main),
                 Prop("Raw", &TSample::Raw))
VX_XML_CLASS_DEF(TBase, vx::TXMLObject, Prop("Zeta", &TBase::Zeta), Prop("alp", &TBase::alp),
                 Prop("Alphabet", &TBase::Alphabet), Prop("Beta", &TBase::Beta), Prop("B_", &TBase::B_),
                 Prop("B9", &TBase::B9))

}  // namespace sample

namespace {

using sample::TColor;
using sample::TSample;
using vx::TXMLTag;

std::string Write(const vx::TXMLObject& obj, const std::string& root = "s") {
  TXMLTag tag;
  tag.SetName(root);
  obj.AssignTo(tag);
  return tag.GetXML(0);
}

void Read(vx::TXMLObject& obj, std::string_view xml) {
  TXMLTag tag;
  tag.Parse(xml);
  obj.Assign(tag);
}

TEST(XMLObjectOrder, SortsNamesWithBit5ClearedAndPrefixesFirst) {
  std::vector<std::string> names;
  for (const auto* p : sample::TBase::StaticClass().Properties()) names.push_back(p->Name);
  // Digits sort before letters, "_" after them once bit 5 is cleared.
  EXPECT_EQ(names, (std::vector<std::string>{"alp", "Alphabet", "B9", "Beta", "B_", "Zeta"}));
  sample::TBase b;
  b.Zeta = "z", b.alp = "1", b.Alphabet = "2", b.B_ = "u";
  EXPECT_EQ(Write(b), "<s alp=\"1\" alphabet=\"2\" b_=\"u\" zeta=\"z\"/>\r\n");
}

TEST(XMLObjectKinds, WritesNonDefaultValuesOnly) {
  TSample s;
  EXPECT_EQ(Write(s), "<s computed=\"c\"/>\r\n") << "a read-only property is still written";
  s.Size = -12;
  s.Letter = 'Q';
  s.Color = TColor::clBlue;
  s.Tint = TColor::clGreen;
  s.Colors = {TColor::clBlue, TColor::clRed};
  s.On = true;
  s.Lit = false;
  s.Ratio = 1.5;
  s.Title = "T";
  EXPECT_EQ(Write(s),
            "<s color=\"blue\" colors=\"red,blue\" computed=\"cT\" letter=\"Q\" lit=\"0\" on=\"1\" ratio=\"1.5\" "
            "size=\"-12\" shade=\"clgreen\" title=\"T\"/>\r\n");
}

TEST(XMLObjectKinds, ReadsTolerantly) {
  TSample s;
  Read(s, "<s size=\"12x\" letter=\"xyz\" color=\"BLUE\" shade=\"ClGreen\" "
          "colors=\" blue , red ,bogus,\" on=\"true\" lit=\"1\" ratio=\"2.5e1\" computed=\"ignored\" "
          "unknown=\"1\"><unknown/><title>not an element</title></s>");
  EXPECT_EQ(s.Size, 0) << "not a number gives 0";
  EXPECT_EQ(s.Letter, 'x');
  EXPECT_EQ(s.Color, TColor::clBlue);
  EXPECT_EQ(s.Tint, TColor::clGreen) << "renamed attribute, no prefix";
  EXPECT_EQ(s.Colors, (vx::TSet<TColor>{TColor::clRed, TColor::clBlue}));
  EXPECT_FALSE(s.On) << "only \"1\" is true";
  EXPECT_TRUE(s.Lit);
  EXPECT_DOUBLE_EQ(s.Ratio, 25);
  EXPECT_EQ(s.Title, "");

  Read(s, "<s color=\"purple\" size=\"2147483648\" ratio=\"1,5\" tint=\"clBlue\"/>");
  EXPECT_EQ(s.Color, TColor::clRed) << "unknown names give the first value";
  EXPECT_EQ(s.Size, 0) << "out of range";
  EXPECT_EQ(s.Ratio, 0);
  EXPECT_EQ(s.Tint, TColor::clBlue) << "the property name still reads";
  Read(s, "<s size=\"-2147483648\" letter=\"\"/>");
  EXPECT_EQ(s.Size, INT32_MIN);
  EXPECT_EQ(s.Letter, 0);
}

TEST(XMLObjectText, GetAndSetPropTextByName) {
  TSample s;
  vx::SetPropText(s, "COLOR", "green", "cl");
  EXPECT_EQ(vx::GetPropText(s, "color", "cl"), "Green") << "names keep their case until written";
  EXPECT_EQ(vx::GetPropText(s, "color"), "clGreen");
  vx::SetPropText(s, "computed", "x");
  vx::SetPropText(s, "nosuch", "x");
  EXPECT_EQ(vx::GetPropText(s, "nosuch"), "");
  EXPECT_EQ(vx::GetPropText(s, "Parts"), "");
}

TEST(XMLObjectElements, ListsSubObjectsAndRawSubtrees) {
  TSample s;
  ASSERT_NE(s.Parts, nullptr) << "lists exist from construction";
  EXPECT_EQ(s.Parts->Owner, &s);
  EXPECT_EQ(s.Main, nullptr);
  Read(s, "<s><parts label=\"L\"><part name=\"a\"/><bogus/><part name=\"b\" skip=\"1\"/><part weight=\"3\"/></parts>"
          "<main/><raw z=\"1\">txt<q/></raw></s>");
  ASSERT_EQ(s.Parts->Count(), 2) << "unknown and refused items are dropped";
  EXPECT_EQ((*s.Parts)[1].Weight, 3);
  EXPECT_EQ((*s.Parts)[0].Owner, s.Parts.get());
  ASSERT_NE(s.Main, nullptr) << "created when read";
  EXPECT_EQ(s.Main->Owner, &s);
  ASSERT_NE(s.Raw, nullptr);

  s.Parts->AddNew()->Name = "hidden";  // refused by AcceptWrite
  s.Parts->Add(std::make_unique<sample::TSpecialPart>());  // a subclass has no element name
  EXPECT_EQ(Write(s),
            "<s computed=\"c\">\r\n"
            "\t<main/>\r\n"
            "\t<parts label=\"L\">\r\n"
            "\t\t<part name=\"a\"/>\r\n"
            "\t\t<part weight=\"3\"/>\r\n"
            "\t</parts>\r\n"
            "\t<raw z=\"1\">\r\n"
            "txt\r\n"
            "\t\t<q/>\r\n"
            "\t</raw>\r\n"
            "</s>\r\n");

  // A refused non-list element read into an absent property leaves it absent.
  TSample t;
  Read(t, "<s><main skip=\"1\"/></s>");
  EXPECT_EQ(t.Main, nullptr);
  // An empty list is omitted; reading without it leaves the list present and empty.
  Read(t, "<s/>");
  ASSERT_NE(t.Parts, nullptr);
  EXPECT_EQ(t.Parts->Count(), 0);
  EXPECT_EQ(Write(t), "<s computed=\"c\"/>\r\n");
}

TEST(XMLObjectAssign, MergesAppendsAndCopiesThroughXML) {
  TSample s;
  Read(s, "<s size=\"5\" title=\"keep\"><parts><part name=\"a\"/><part name=\"b\"/></parts><main weight=\"1\"/></s>");
  TXMLTag more;
  more.Parse("<s size=\"6\"><parts><part name=\"c\"/></parts><main name=\"m\"/></s>");
  s.AssignMerge(more);
  EXPECT_FALSE(s.Merging);
  EXPECT_EQ(s.Size, 6);
  EXPECT_EQ(s.Title, "keep");
  EXPECT_EQ(s.Parts->Count(), 3);
  EXPECT_EQ(s.Main->Weight, 1) << "sub-objects merge";
  EXPECT_EQ(s.Main->Name, "m");

  // Assign replaces everything, through the source's XML form.
  TSample copy;
  copy.Title = "old";
  copy.Ratio = 9;
  TSample src;
  src.Size = 7;
  copy.Assign(src);
  EXPECT_EQ(copy.Title, "") << "empty source string, cleared target";
  EXPECT_EQ(copy.Ratio, 0);
  EXPECT_EQ(copy.Size, 7);
  copy.Assign(s);
  EXPECT_EQ(Write(copy), Write(s));

  // Clear empties values and lists and re-applies the defaults.
  s.Lit = false;
  s.Clear();
  EXPECT_EQ(s.Parts->Count(), 0);
  EXPECT_EQ(s.Main, nullptr);
  EXPECT_TRUE(s.Lit);
  EXPECT_EQ(s.Size, 0);

  struct Other : vx::TPersistent {
    const char* ClassName() const override { return "TOther"; }
  } other;
  try {
    other.Assign(s);
    FAIL();
  } catch (const vx::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TSample to a TOther");
  }
}

TEST(XMLObjectList, FindsBySetsParamsAndManagesItems) {
  sample::TParts parts;
  parts.SetParam("Alpha", "1");  // TPart has no Value: only the name is set
  parts.SetParam("\xC0\xC1", "x");
  parts.SetParam("alpha", "2");
  ASSERT_EQ(parts.Count(), 2);
  EXPECT_EQ(parts[0].Name, "alpha") << "the existing entry is updated";
  EXPECT_EQ(parts[1].Owner, &parts);
  parts[1].Weight = 42;

  EXPECT_EQ(parts.FindByProp("name", "ALPHA"), &parts[0]);
  EXPECT_EQ(parts.FindByProp("Name", "\xE0\xE1"), &parts[1]) << "Windows-1251 folding";
  EXPECT_EQ(parts.FindByProp("Name", "ALPHA", true), nullptr);
  EXPECT_EQ(parts.FindByProp("Weight", "42"), &parts[1]);
  EXPECT_EQ(parts.FindByProp("Weight", "42x"), nullptr);
  EXPECT_EQ(parts.FindByProp("Weight", "0"), &parts[0]);
  EXPECT_EQ(parts.FindByProp("Nothing", "0"), nullptr);
  EXPECT_EQ(parts.FindParam("\xE0\xE1"), &parts[1]);

  EXPECT_EQ(parts.IndexOf(&parts[1]), 1);
  EXPECT_EQ(parts.Remove(&parts[0]), 0);
  EXPECT_EQ(parts.Remove(nullptr), -1);
  EXPECT_EQ(parts.Count(), 1);
}

TEST(XMLObjectText, LoadsOnlyTheExpectedRoot) {
  TSample s;
  s.Size = 3;
  s.LoadFromText("<other size=\"9\"/>", "sample");
  EXPECT_EQ(s.Size, 3);
  s.LoadFromText("not xml at all", "");
  EXPECT_EQ(s.Size, 3) << "no root element, nothing assigned";
  s.LoadFromText("<SAMPLE size=\"9\"/>", "Sample");
  EXPECT_EQ(s.Size, 9);
}

class XMLObjectFiles : public ::testing::Test {
 protected:
  vxtest::TestMachine machine;
};

TEST_F(XMLObjectFiles, SaveAndLoadWithRootNames) {
  const std::string path = machine.Scratch() + "s.xml";
  TSample s;
  s.Size = 4;
  s.Parts->SetParam("p", "");
  EXPECT_FALSE(s.SaveToFile(path, ""));
  ASSERT_TRUE(s.SaveToFile(path, "Sample"));
  std::string bytes;
  ASSERT_TRUE(vx::ReadWholeFile(path, bytes));
  EXPECT_EQ(bytes.substr(0, 8), "<sample ");

  TSample t;
  t.Title = "unchanged";
  EXPECT_FALSE(t.LoadFromFile(path, "other"));
  EXPECT_EQ(t.Title, "unchanged");
  EXPECT_FALSE(t.LoadFromFile(machine.Scratch() + "none.xml", ""));
  ASSERT_TRUE(vx::WriteWholeFile(machine.Scratch() + "empty.xml", "  \r\n"));
  EXPECT_FALSE(t.LoadFromFile(machine.Scratch() + "empty.xml", "")) << "an empty document is no success";
  EXPECT_EQ(t.Title, "unchanged");
  ASSERT_TRUE(t.LoadFromFile(path, "SAMPLE"));
  EXPECT_EQ(Write(t), Write(s));
}

}  // namespace
