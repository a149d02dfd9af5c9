// vxbuild's project reader and checks: standard XML reaches the engine in
// its own dialect, broken projects are refused with a message that names
// the file, the line and the fix, and nothing is written when they are;
// the generated reference and schema match the engine's property tables.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProjectCheck.h"
#include "ProjectInput.h"
#include "ProjectSchema.h"
#include "database/VXClasses.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Result {
  int code = -1;
  std::string out, err;
};

class VxbuildCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vxbuild-check-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    Write(dir / "src/bin/app.exe", "app");
    Write(dir / "src/docs/a.txt", "doc");
    // The head of a native x86-64 program: what the engine stub of the
    // sandbox machine starts with.
    std::string elf(64, '\0');
    elf.replace(0, 4, "\x7F" "ELF");
    elf[4] = 2;
    elf[18] = 62;
    Write(dir / "stub", elf);
    // A previous build's output, which a refused build must leave alone.
    Write(dir / "out/setup.exe", "previous setup");
  }
  void TearDown() override { fs::remove_all(dir); }

  Result Run(const std::string& args) {
    std::string command = "cd '" + dir.string() + "' && " + VX_VXBUILD + " " + args + " > .out 2> .err";
    int status = std::system(command.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Read(dir / ".out");
    r.err = Read(dir / ".err");
    fs::remove(dir / ".out");
    fs::remove(dir / ".err");
    return r;
  }
  // The output folder holds exactly the previous setup file.
  bool OutputUntouched() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir / "out")) names.push_back(e.path().filename().string());
    return names == std::vector<std::string>{"setup.exe"} && Read(dir / "out/setup.exe") == "previous setup";
  }

  fs::path dir;
};

// A project around `components` (and whatever else the case needs).
std::string Project(const std::string& body, const std::string& build = "source=\"src\" output=\"out\" stub=\"stub\"",
                    const std::string& buildChildren = "") {
  return "<vx2project>\n" + body + "\n<build " + build + ">" + buildChildren + "</build>\n</vx2project>\n";
}
const std::string kCore = R"(<components><component id="core"><files><file src="bin\app.exe" dst="%AppDir%\app.exe"/></files></component></components>)";

TEST_F(VxbuildCheck, BrokenProjectsAreRefusedAndNothingIsWritten) {
  struct Case {
    const char* what;
    std::string project, args;
    std::vector<std::string> expected;  // parts of the error output
  };
  std::string longName(254, 'n');
  Write(dir / "src/long" / longName, "x");
  const std::vector<Case> cases = {
      {"missing --source folder", Project(kCore), "--source nowhere",
       {"the source folder \"nowhere\" given by --source does not exist (options are relative to the current folder)"}},
      {"missing source attribute folder", Project(kCore, "source=\"gone\" output=\"out\" stub=\"stub\""), "",
       {"project.xml:3: error: the source folder", "(source= of <build>, relative to the project file) does not exist"}},
      {"wildcard without match",
       Project(R"(<components><component id="c"><files><file src="docs\*.pdf" dst="x\"/></files></component></components>)"), "",
       {"project.xml:2: error: src=\"docs\\*.pdf\" matches no file"}},
      {"missing source file",
       Project(R"(<components><component id="c"><files><file src="bin\gone.exe" dst="x"/></files></component></components>)"), "",
       {"error: the source file", "bin/gone.exe\" does not exist"}},
      {"misspelled element", Project("<componets/>\n" + kCore), "",
       {"project.xml:2: error: unknown element <componets> inside <vx2project>; did you mean <components>?"}},
      {"misspelled attribute",
       Project(R"(<components><component id="c"><files><file scr="bin\app.exe" dst="x"/></files></component></components>)"), "",
       {"error: unknown attribute scr=\"bin\\app.exe\" of <file>; did you mean src?"}},
      {"feature names an unknown component",
       Project(kCore + R"(<features><feature id="main"><components><component id="cor"/></components></feature></features>)"), "",
       {"error: the feature \"main\" names the unknown component \"cor\"; did you mean core?"}},
      {"install type names an unknown feature",
       Project(kCore + R"(<features><feature id="main"/></features>
<installtypes><installtype id="full"><features><feature id="mian"/></features></installtype></installtypes>)"), "",
       {"project.xml:3: error: the install type \"full\" names the unknown feature \"mian\"; did you mean main?"}},
      {"duplicate component IDs",
       Project(R"(<components><component id="c"><files><file src="bin\app.exe" dst="x"/></files></component>
<component id="C"><files><file src="bin\app.exe" dst="y"/></files></component></components>)"), "",
       {"project.xml:3: error: the component id \"C\" is used twice (first on line 2)"}},
      {"unknown package", Project(R"(<components><component id="c" package="extra"/></components>)"), "",
       {"the component \"c\" names the unknown package \"extra\""}},
      {"level not a number", Project(kCore, "source=\"src\" output=\"out\" stub=\"stub\" level=\"abc\""), "",
       {"error: level=\"abc\" of <build> is not a whole number (give 0 to 9)"}},
      {"level out of range", Project(kCore, "source=\"src\" output=\"out\" stub=\"stub\" level=\"12\""), "",
       {"error: level=\"12\" of <build> is out of range; give 0 to 9"}},
      {"Boolean not 0 or 1", Project(kCore, "source=\"src\" output=\"out\" stub=\"stub\"", "<flags scrambled=\"yes\"/>"), "",
       {"scrambled=\"yes\" of <flags> must be 0 or 1"}},
      {"unknown enumeration value",
       Project(R"(<components><component id="c"><registry><reg key="HKLM\x" type="string"/></registry></component></components>)"), "",
       {"type=\"string\" of <reg> is not one of str, int, bin, mstr; did you mean str?"}},
      {"unknown flag",
       Project(R"(<components><component id="c"><files><file src="bin\app.exe" dst="x" flags="dont_log,shard"/></files></component></components>)"), "",
       {"\"shard\" is not one of", "did you mean shared?"}},
      {"stub is a folder", Project(kCore), "--stub src",
       {"the stub \"src\" from --stub (relative to the current folder) is a folder"}},
      {"stub is no program", Project(kCore, "source=\"src\" output=\"out\" stub=\"src/docs/a.txt\""), "",
       {"is no engine program (neither a Windows image nor a Linux program)"}},
      {"condition that does not parse",
       Project(R"(<variables><var name="Edition" value="Pro"/></variables>
<components><component id="c" condition="%Edition% = = &quot;Pro&quot;"/></components>)"), "",
       {"project.xml:3: error: the condition \"%Edition% = = \"Pro\"\" of <component> does not parse: Wrong operator arity"}},
      {"expression in a text that does not parse",
       Project(R"(<launchconditions><launchcondition msg="Needs #1 +# MB"/></launchconditions>)"), "",
       {"the attribute msg of <launchcondition> holds an expression that does not parse: #1 +#: Expression expected."}},
      {"name too long for Windows",
       Project("<components><component id=\"c\"><files><file src=\"long\\*\" dst=\"x\\\"/></files></component></components>"), "",
       {"has 254 characters; the engine can extract at most 159"}},
      {"character outside the code page",
       Project("<launchconditions><launchcondition msg=\"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\"/></launchconditions>" + kCore), "",
       {"project.xml:2: error: the attribute msg of <launchcondition> holds the character \"\xD0\x9F\" (U+041F), which code page 1252 cannot hold"}},
      {"not well-formed", Project("<components><component id=\"c\"></components>"), "",
       {"project.xml:2: error: not well-formed XML", "mismatched tag"}},
      {"undeclared entity", Project("<variables><var name=\"A\" value=\"&nbsp;\"/></variables>"), "",
       {"undefined entity", "write & as &amp;"}},
      {"wrong root", "<project/>", "", {"a project's root element must be <vx2project>"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Write(dir / "project.xml", c.project);
    Result r = Run("project.xml " + c.args);
    EXPECT_EQ(r.code, 1) << r.err;
    for (const std::string& part : c.expected) EXPECT_TRUE(Has(r.err, part)) << part << "\n---\n" << r.err;
    EXPECT_TRUE(Has(r.err, "in the project; nothing was written")) << r.err;
    EXPECT_TRUE(OutputUntouched());
  }
}

// Warnings let a build go on; --strict refuses it, and --check writes
// nothing either way.
TEST_F(VxbuildCheck, WarningsStrictAndCheckOnly) {
  Write(dir / "project.xml",
        Project(R"(<variables><var name="A" value="1"/><var name="a" value="2"/></variables>)" + kCore));
  Result r = Run("project.xml --check");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.err, "project.xml:2: warning: the variable a is defined again")) << r.err;
  EXPECT_TRUE(OutputUntouched());

  r = Run("project.xml --strict");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "project.xml:2: error: the variable a is defined again")) << r.err;
  EXPECT_TRUE(OutputUntouched());

  r = Run("project.xml");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(Read(dir / "out/setup.exe"), "previous setup");

  // Options: help on standard output, unknown options named.
  r = Run("-h");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Has(r.out, "usage: vxbuild PROJECT.xml")) << r.out;
  EXPECT_TRUE(Has(r.out, "relative to the current folder")) << r.out;
  r = Run("project.xml --levle 9");
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Has(r.err, "unknown option \"--levle\"")) << r.err;
}

// Entities, character references, CDATA and UTF-8 reach the engine as the
// values they stand for, in the project's code page, and the engine's own
// writer and reader keep them.
TEST(VxbuildProjectInput, StandardXmlBecomesTheEngineDialect) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE vx2project [<!ENTITY company \"Caf\xC3\xA9 &amp; Co\">]>\n"
      "<vx2project>\n"
      "  <!-- the product -->\n"
      "  <variables>\n"
      "    <var name=\"Company\" value=\"&company;\"/>\n"
      "    <var name=\"Test\" value=\"%Edition% = &quot;Pro&quot;\"/>\n"
      "    <var name=\"Lines\" value=\" one&#13;&#10;two \"/>\n"
      "  </variables>\n"
      "  <packages><package id=\"p\"><plugins><plugin id=\"ui\"><customconfig><page>a <![CDATA[b & c]]></page>"
      "</customconfig></plugin></plugins></package></packages>\n"
      "</vx2project>\n";
  vxbuild::Diagnostics d;
  vxbuild::ProjectDocument doc;
  ASSERT_TRUE(vxbuild::ReadProjectXml(xml, doc, d));
  ASSERT_EQ(vxbuild::ProjectCodePage(doc, d), "CP1252");
  ASSERT_TRUE(vxbuild::ConvertToCodePage(doc, "CP1252", d));
  std::unique_ptr<vx::TXMLTag> tree = vxbuild::EngineTree(*doc.root, d);
  EXPECT_EQ(d.ErrorCount(), 0);

  // Through the engine's writer and reader, as the setup file stores it.
  vx::TvxMainDatabase first;
  first.Assign(*tree);
  vx::TXMLTag written;
  written.SetName("vx2project");
  first.AssignTo(written);
  vx::TXMLTag reread;
  reread.Parse(written.GetXML(0));
  vx::TvxMainDatabase db;
  db.Assign(reread);
  EXPECT_EQ(db.Variables->FindVariable("Company")->Value, "Caf\xE9 & Co");
  EXPECT_EQ(db.Variables->FindVariable("Test")->Value, "%Edition% = \"Pro\"");
  EXPECT_EQ(db.Variables->FindVariable("Lines")->Value, "one\r\ntwo");
  vx::TvxPlugin& plugin = (*(*db.Packages)[0].Plugins)[0];
  ASSERT_NE(plugin.CustomConfig, nullptr);
  EXPECT_TRUE(Has(plugin.CustomConfig->GetXML(0), "a b & c")) << plugin.CustomConfig->GetXML(0);

  // A declared single-byte encoding is read as such and is the code page.
  vxbuild::ProjectDocument latin;
  ASSERT_TRUE(vxbuild::ReadProjectXml(
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><vx2project><variables><var name=\"A\" value=\"\xCF\"/>"
      "</variables></vx2project>",
      latin, d));
  std::string cp = vxbuild::ProjectCodePage(latin, d);
  EXPECT_EQ(cp, "CP1251");
  ASSERT_TRUE(vxbuild::ConvertToCodePage(latin, cp, d));
  EXPECT_EQ(latin.root->children[0]->children[0]->AttrOr("value"), "\xCF");

  // Expressions: parsed by the engine's evaluator, nothing evaluated.
  EXPECT_EQ(vxbuild::CheckExpressionSyntax("%A% = \"1\" and not (%B% > 2)"), "");
  EXPECT_TRUE(Has(vxbuild::CheckExpressionSyntax("1 +\r\n"), "Expression expected.")) << vxbuild::CheckExpressionSyntax("1 +");
  std::vector<std::string> plugins;
  EXPECT_EQ(vxbuild::CheckExpressionSyntax("PluginCheck(1, 2) = 1", &plugins), "");
  EXPECT_EQ(plugins, std::vector<std::string>{"PluginCheck"});
}

// The reference and the schema in docs/ are what vxbuild generates from the
// engine's tables today (regenerate with vxbuild --reference / --schema),
// and the stored projects are valid against the schema.
TEST(VxbuildProjectInput, ReferenceAndSchemaMatchTheTables) {
  fs::path docs = fs::path(VX_SOURCE_DIR) / "docs";
  EXPECT_TRUE(Read(docs / "project-reference.md") == vxbuild::ProjectReference())
      << "docs/project-reference.md is stale: run vxbuild --reference > docs/project-reference.md";
  EXPECT_TRUE(Read(docs / "vx2project.xsd") == vxbuild::ProjectXsd())
      << "docs/vx2project.xsd is stale: run vxbuild --schema > docs/vx2project.xsd";

  // Every published property of every project class is in the vocabulary.
  const vxbuild::TypeSpec* file = nullptr;
  for (const vxbuild::TypeSpec* t : vxbuild::AllProjectTypes())
    if (t->cls == &vx::TvxFile::StaticClass()) file = t;
  ASSERT_NE(file, nullptr);
  for (const char* a : {"src", "dst", "flags", "action", "condition", "id"}) EXPECT_NE(file->FindAttr(a), nullptr) << a;
  const vxbuild::TypeSpec& root = vxbuild::ProjectRootType();
  for (const char* e : {"variables", "packages", "components", "features", "installtypes", "launchconditions", "build"})
    EXPECT_NE(root.FindChild(e), nullptr) << e;

  if (std::system("command -v xmllint > /dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint is not installed";
  for (const char* project : {"demo/demo.xml", "tests/install/e2e/project.xml", "tests/install/e2e-all/project.xml"}) {
    std::string command = "xmllint --noout --schema '" + (docs / "vx2project.xsd").string() + "' '" +
                          (fs::path(VX_SOURCE_DIR) / project).string() + "' > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << project;
  }
}

}  // namespace
