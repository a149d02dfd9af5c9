// TkqIniFile and the cached INI access, on the current test host.
#include <gtest/gtest.h>

#include "database/kqIniFile.h"
#include "support/TestMachine.h"
#include "system/kqFileUtils.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

using namespace vx;

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return machine_.Scratch() + name; }
  // Reads beside a writer that holds the file.
  std::string Read(const std::string& name) {
    auto f = CurrentHost().OpenFile(Path(name), FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite);
    if (!f) return "<cannot open>";
    std::string s(size_t(f->Size()), '\0');
    size_t done = 0;
    f->Read(s.data(), s.size(), done);
    return s.substr(0, done);
  }
  void Write(const std::string& name, const std::string& text) { ASSERT_TRUE(WriteWholeFile(Path(name), text)); }
  vxtest::TestMachine machine_;
};

TEST_F(IniFileTest, LoadingNormalisesLinesAndWritingKeepsOnlyEntries) {
  Write("a.ini", "junk before\r\n[Main]\r\n  key = value  \r\n;comment\r\n\r\njunk\r\n\tb\t=\t2\r\n=x\r\n\x1A\r\n");
  {
    TkqIniFile ini(Path("a.ini"));
    EXPECT_EQ(ini.ReadString("main", "KEY", "?"), "value");
    EXPECT_EQ(ini.ReadString("Main", "b", "?"), "2");
    EXPECT_EQ(ini.ReadString("Main", "junk", "?"), "?");
    EXPECT_FALSE(ini.Modified());
  }
  EXPECT_EQ(Read("a.ini").substr(0, 11), "junk before");  // unchanged without a change
  {
    TkqIniFile ini(Path("a.ini"));
    ini.WriteString("Main", "c", "3");
  }
  EXPECT_EQ(Read("a.ini"), "[Main]\r\nkey=value\r\nb=2\r\n=x\r\nc=3\r\n\r\n");

  // With every option off the lines stay as they were (trimmed only).
  Write("b.ini", "[S]\r\n;c\r\nplain\r\nk = \"v\"\r\n");
  TkqIniFile raw(Path("b.ini"), true, false, false, false, false);
  std::vector<std::string> lines;
  raw.GetStrings(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"[S]", ";c", "plain", "k = \"v\"", ""}));
}

TEST_F(IniFileTest, LineEndsHeadersAndQuotes) {
  Write("c.ini", "[ A ]\rx=1\r[B]\ny=2\nz=3\n");
  TkqIniFile ini(Path("c.ini"), true);
  std::vector<std::string> sections;
  ini.ReadSections(sections);
  // Line feeds alone do not end lines: "[B]y=2z=3" is one line of " A ".
  EXPECT_EQ(sections, (std::vector<std::string>{" A "}));
  EXPECT_EQ(ini.ReadString(" a ", "x", "?"), "1");
  EXPECT_EQ(ini.ReadString(" A ", "[B]y", "?"), "2z=3");

  Write("q.ini", "[Q]\r\npath=\"C:\\Program Files\"\r\na=\"\r\nb='x'\r\nc=\"x'\r\nd=\"\"\r\n");
  TkqIniFile q(Path("q.ini"), true);
  EXPECT_EQ(q.ReadString("Q", "path", "?"), "C:\\Program Files");
  EXPECT_EQ(q.ReadString("Q", "a", "?"), "\"");
  EXPECT_EQ(q.ReadString("Q", "b", "?"), "x");
  EXPECT_EQ(q.ReadString("Q", "c", "?"), "\"x'");
  EXPECT_EQ(q.ReadString("Q", "d", "?"), "");
  TkqIniFile kept(Path("q.ini"), true, true, true, true, false);
  EXPECT_EQ(kept.ReadString("Q", "path", "?"), "\"C:\\Program Files\"");
}

TEST_F(IniFileTest, DuplicateSectionsKeepTheFirst) {
  const std::string text = "[Setup]\r\na=1\r\n[Other]\r\no=1\r\n[SETUP]\r\na=2\r\nb=3\r\n";
  Write("d.ini", text);
  {
    TkqIniFile ini(Path("d.ini"));
    EXPECT_EQ(ini.ReadString("Setup", "a", "?"), "1");
    EXPECT_EQ(ini.ReadString("Setup", "b", "?"), "?");
    EXPECT_EQ(ini.Sections().Count(), 2);
  }
  EXPECT_EQ(Read("d.ini"), text);
  {
    TkqIniFile ini(Path("d.ini"));
    ini.WriteString("Other", "o", "2");
  }
  EXPECT_EQ(Read("d.ini"), "[Setup]\r\na=1\r\n\r\n[Other]\r\no=2\r\n\r\n");
}

TEST_F(IniFileTest, NumbersBooleansAndSectionOperations) {
  Write("n.ini", "[N]\r\nhex=0x1F\r\ndollar=$1F\r\nbad=12a\r\nneg=-7\r\nbig=99999999999\r\nt=1\r\n");
  TkqIniFile ini(Path("n.ini"));
  EXPECT_EQ(ini.ReadInteger("N", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("N", "dollar", 0), 31);
  EXPECT_EQ(ini.ReadInteger("N", "bad", 5), 5);
  EXPECT_EQ(ini.ReadInteger("N", "neg", 0), -7);
  EXPECT_EQ(ini.ReadInteger("N", "big", 4), 4);
  EXPECT_TRUE(ini.ReadBool("N", "t", false));
  EXPECT_TRUE(ini.ReadBool("N", "missing", true));
  ini.WriteBool("N", "f", false);
  ini.WriteInteger("N", "i", -12);
  EXPECT_EQ(ini.ReadString("N", "f", "?"), "0");
  EXPECT_EQ(ini.ReadString("N", "i", "?"), "-12");

  ini.WriteString("V", "b", "5");
  std::vector<std::string> values = {"a=1", "b=2"};
  ini.ReadSectionValues("V", values);
  EXPECT_EQ(values, (std::vector<std::string>{"b=5", "a=1"}));
  std::vector<std::string> unchanged = {"a=1"};
  ini.ReadSectionValues("missing", unchanged);
  EXPECT_EQ(unchanged, (std::vector<std::string>{"a=1"}));
  std::vector<std::string> keys = {"kept"};
  ini.ReadSection("V", keys);
  EXPECT_EQ(keys, (std::vector<std::string>{"kept", "b"}));

  ini.WriteSection("W", {"x=1", "y=a=b"});
  EXPECT_EQ(ini.ReadString("W", "y", "?"), "a=b");
  ini.DeleteKey("W", "x");
  EXPECT_EQ(ini.ReadString("W", "x", "?"), "?");
  ini.WriteString("", "", "");  // all three empty: flush
  EXPECT_FALSE(ini.Modified());
  EXPECT_NE(Read("n.ini").find("[W]\r\ny=a=b\r\n"), std::string::npos);
  ini.WriteString("W", "", "");  // empty key, section given: erase
  EXPECT_EQ(ini.ReadString("W", "y", "?"), "?");
  ini.DeleteKey("Nothing", "k");  // creates an empty section that is never written
  ini.UpdateFile();
  EXPECT_EQ(Read("n.ini").find("[Nothing]"), std::string::npos);
}

TEST_F(IniFileTest, FilesOpenLockAndFolders) {
  std::string relative = "vxtest_" + UniqueName(CurrentHost().WindowsFolder(), "", ".ini", true);
  {
    TkqIniFile ini(relative);
    EXPECT_EQ(ini.FileName(), IncludeTrailingBackslash(CurrentHost().WindowsFolder()) + relative);
    ini.WriteString("S", "k", "v");
  }
  std::string full = IncludeTrailingBackslash(CurrentHost().WindowsFolder()) + relative;
  EXPECT_TRUE(FileExists(full));
  CurrentHost().RemoveFile(full);

  // A missing file in missing folders is created on the first write.
  std::string deep = Path("x\\y\\new.ini");
  {
    TkqIniFile ini(deep);
    EXPECT_EQ(ini.ReadString("S", "k", "def"), "def");
    ini.WriteString("S", "k", "v");
  }
  std::string text;
  ASSERT_TRUE(ReadWholeFile(deep, text));
  EXPECT_EQ(text, "[S]\r\nk=v\r\n\r\n");

  // A writable object keeps other writers out; readers still get in.
  {
    TkqIniFile writer(deep);
    try {
      TkqIniFile second(deep);
      ADD_FAILURE() << "a second writer opened the file";
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open file " + deep);
    }
    TkqIniFile reader(deep, true);
    EXPECT_EQ(reader.ReadString("S", "k", "?"), "v");
    writer.WriteString("S", "k", "w");
    writer.UpdateFile();
    TkqIniFile reader2(deep, true);
    EXPECT_EQ(reader2.ReadString("S", "k", "?"), "w");
    reader2.WriteString("S", "k", "lost");  // read-only objects never write
  }
  ASSERT_TRUE(ReadWholeFile(deep, text));
  EXPECT_EQ(text, "[S]\r\nk=w\r\n\r\n");

  // A file the object created is held the same way once it is written.
  std::string created = Path("x\\created.ini");
  {
    TkqIniFile writer(created);
    writer.WriteString("S", "k", "new");
    ASSERT_TRUE(writer.UpdateFile());
    EXPECT_THROW(TkqIniFile second(created), EInOutError);
    EXPECT_EQ(CurrentHost().OpenFile(created, FileAccess::ReadWrite, FileCreate::OpenExisting, kShareRead | kShareWrite),
              nullptr);
    EXPECT_EQ(Read("x\\created.ini"), "[S]\r\nk=new\r\n\r\n");
    writer.WriteString("S", "k", "newer");
  }
  ASSERT_TRUE(ReadWholeFile(created, text));
  EXPECT_EQ(text, "[S]\r\nk=newer\r\n\r\n");
}

TEST_F(IniFileTest, SearchesStartAtTheLastSectionFound) {
  Write("s.ini", "[A]\r\na=1\r\n[B]\r\nb=1\r\n[C]\r\nc=1\r\n");
  TkqIniFile ini(Path("s.ini"), true);
  ini.ReadString("C", "c", "");
  EXPECT_EQ(ini.CurrentSection(), 2);
  ini.ReadString("A", "a", "");
  EXPECT_EQ(ini.CurrentSection(), 0);
  EXPECT_EQ(ini.Sections().IndexOf("c"), 2);
  EXPECT_EQ(ini.Sections().LastFound, 2);
  EXPECT_EQ(ini.Sections().IndexOf("B"), 1);
  EXPECT_EQ(ini.Sections().IndexOf("none"), -1);
  EXPECT_EQ(ini.Sections().LastFound, 1);
}

class IniAccessTest : public IniFileTest {
 protected:
  void SetUp() override {
    RegisterIniFileClass();
    SetUseIniCache(true);
    saved_ = IniDefaults();
  }
  void TearDown() override {
    IniFlush();
    IniDefaults() = saved_;
    SetUseIniCache(true);
  }
  IniOptions saved_;
};

TEST_F(IniAccessTest, CacheReadsWritesFlushesAndReleases) {
  Write("c.ini", "[S]\r\nq=\"quoted\"\r\n");
  IniDefaults().unquoteValues = false;  // as during an installation
  EXPECT_EQ(IniReadString(Path("c.ini"), "S", "q", "?"), "\"quoted\"");
  EXPECT_TRUE(IniWriteString(Path("C.INI"), "S", "k", "v"));  // the read-only object is replaced
  EXPECT_EQ(IniReadString(Path("c.ini"), "s", "K", "?"), "v");
  EXPECT_EQ(Read("c.ini"), "[S]\r\nq=\"quoted\"\r\n");  // still in memory
  std::vector<std::string> names;
  IniReadSections(Path("c.ini"), names);
  EXPECT_EQ(names, (std::vector<std::string>{"S"}));
  IniReadSectionKeys(Path("c.ini"), "S", names);
  EXPECT_EQ(names, (std::vector<std::string>{"q", "k"}));
  EXPECT_TRUE(IniWriteSection(Path("c.ini"), "T", {"a=1"}));
  EXPECT_TRUE(IniDeleteKey(Path("c.ini"), "S", "q"));
  IniRelease(Path("c.ini"));
  EXPECT_EQ(Read("c.ini"), "[S]\r\nk=v\r\n\r\n[T]\r\na=1\r\n\r\n");

  EXPECT_TRUE(IniWriteString(Path("d.ini"), "X", "y", "z"));
  IniFlush();
  EXPECT_EQ(Read("d.ini"), "[X]\r\ny=z\r\n\r\n");
  EXPECT_EQ(IniReadString(Path("missing.ini"), "X", "y", "def"), "def");
}

TEST_F(IniAccessTest, ChangesThatCannotBeWrittenAreReported) {
  Write("blocker", "a file where a folder is needed");
  std::string lost = Path("blocker\\lost.ini");
  std::string kept = Path("kept.ini");
  EXPECT_TRUE(IniWriteString(lost, "S", "k", "v"));  // held in memory until flushed
  EXPECT_TRUE(IniWriteString(kept, "S", "k", "v"));
  EXPECT_EQ(IniFlush(), (std::vector<std::string>{lost}));
  EXPECT_EQ(Read("kept.ini"), "[S]\r\nk=v\r\n\r\n");
  EXPECT_TRUE(IniFlush().empty());  // reported once, not again

  EXPECT_TRUE(IniWriteString(lost, "S", "k", "v"));
  EXPECT_FALSE(IniRelease(lost));
  EXPECT_TRUE(IniRelease(lost));  // nothing cached any more
}

TEST_F(IniAccessTest, ProfileFunctionFallback) {
  SetUseIniCache(false);
  Write("p.ini", "[S]\r\nq = \"quoted\"\r\n");
  EXPECT_EQ(IniReadString(Path("p.ini"), "S", "q", "?"), "quoted");
  EXPECT_TRUE(IniWriteString(Path("p.ini"), "S", "k", "v"));
  EXPECT_EQ(IniReadString(Path("p.ini"), "s", "K", "?"), "v");
  std::vector<std::string> values = {"k=old", "extra=1"};
  IniReadSectionValues(Path("p.ini"), "S", values);
  EXPECT_EQ(values, (std::vector<std::string>{"k=v", "extra=1", "q=quoted"}));
  EXPECT_TRUE(IniDeleteKey(Path("p.ini"), "S", "k"));
  EXPECT_EQ(IniReadString(Path("p.ini"), "S", "k", "gone"), "gone");
}

}  // namespace
