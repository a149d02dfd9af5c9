// Variables: lookup across package and main database, reading by type,
// expansion with its escapes, nesting limit and evaluation, the setters,
// and the predefined folder and environment variables.
#include <chrono>

#include "support/ProjectFixture.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"

namespace {

using vxtest::ProjectTest;

class VariablesTest : public ProjectTest {};

TEST_F(VariablesTest, ReferencesEscapesAndUnterminatedParts) {
  Var("ProgramFiles", "C:\\Program Files");
  EXPECT_EQ(Expand("%ProgramFiles%\\App"), "C:\\Program Files\\App");
  EXPECT_EQ(Expand("%programfiles%\\App"), "C:\\Program Files\\App");
  EXPECT_EQ(Expand("%Unknown%\\x"), "%Unknown%\\x");
  EXPECT_EQ(vx::ExpandText(&db, "%Unknown%\\x", true, true), "\\x");
  EXPECT_EQ(Expand("100%% done"), "100% done");
  EXPECT_EQ(Expand("a||b"), "a\r\nb");
  EXPECT_EQ(Expand("a|b"), "a|b");
  EXPECT_EQ(Expand("end|"), "end|");
  EXPECT_EQ(Expand("|%ProgramFiles%"), "|C:\\Program Files");  // the byte after a bar is read again
  EXPECT_EQ(Expand("50%"), "50%");
  EXPECT_EQ(Expand("#abc"), "#abc");
  EXPECT_EQ(Expand("a##b"), "a#b");
  EXPECT_EQ(Expand("#1 + 2# items"), "3 items");
  EXPECT_EQ(Expand("#Length(%ProgramFiles%)#"), "16");
  // Without identifiers only expressions are evaluated.
  EXPECT_EQ(vx::ExpandText(&db, "%ProgramFiles%||#2 * 3#", false, false), "%ProgramFiles%||6");
}

TEST_F(VariablesTest, ValuesAreExpandedWhenReadUnlessTheVariableSaysOtherwise) {
  vx::TvxVariable& a = Var("A", "%B%");
  Var("B", "x");
  EXPECT_EQ(Expand("%A%"), "x");
  EXPECT_EQ(vx::GetVariable(&db, "A"), "x");
  a.Flags.Include(vx::TvxFlag::dont_parse_identifiers);
  EXPECT_EQ(Expand("%A%"), "%B%");
  a.Value = "%B%#1+1#";
  EXPECT_EQ(Expand("%A%"), "%B%2");
  a.Flags = {vx::TvxFlag::dont_parse};
  EXPECT_EQ(Expand("%A%"), "%B%#1+1#");
  // The default is expanded as well.
  EXPECT_EQ(vx::GetVariable(&db, "Missing", "[%B%]"), "[x]");
  EXPECT_EQ(vx::GetVariable(&db, "", "ignored"), "");
}

TEST_F(VariablesTest, CyclesEndInTheInfiniteReferenceMessage) {
  Var("Self", "%Self%");
  EXPECT_EQ(Expand("%Self%"), "%Self%");  // a direct self-reference ends at once

  Var("X", "a%X%");
  std::string r = Expand("%X%");
  EXPECT_EQ(r, std::string(99, 'a') + "***** Infinite reference in the string \"a%X%\" *****");

  Var("P", "%Q%");
  Var("Q", "%P%");
  EXPECT_EQ(Expand("<%P%>"), "<***** Infinite reference in the string \"%P%\" *****>");
  // Nothing is left behind: the next expansion starts at depth 0.
  EXPECT_EQ(Expand("%Self%"), "%Self%");

  // A doubling cycle would need 2^100 expansions; its growing text ends it
  // quickly with an error instead.
  Var("D", "%D%%D%");
  auto start = std::chrono::steady_clock::now();
  try {
    Expand("<%D%>");
    ADD_FAILURE() << "the doubling cycle expanded";
  } catch (const vx::EEngineError& e) {
    EXPECT_EQ(std::string(e.what()), "The text \"<%D%>\" expands to more than 16 MB.");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Expand("%Self%"), "%Self%") << "the failed expansion left nothing behind";
  // The same growth without a cycle: twenty-five levels of doubling.
  Var("G0", std::string(2, 'g'));
  for (int i = 1; i <= 25; ++i) Var("G" + std::to_string(i), vx::Format("%%G%d%%%%G%d%%", i - 1, i - 1));
  EXPECT_THROW(Expand("%G25%"), vx::EEngineError);
}

TEST_F(VariablesTest, LongTextsWithManyReferencesExpandWhole) {
  // Thousands of references in one text, plain and through a chain of three
  // levels, are no cycle and expand completely.
  Var("V", "value");
  Var("C1", "[%C2%]");
  Var("C2", "(%C3%)");
  Var("C3", "c");
  std::string text, expected;
  for (int i = 0; i < 5000; ++i) {
    text += "%V%,";
    expected += "value,";
  }
  for (int i = 0; i < 3334; ++i) {
    text += "%C1%";
    expected += "[(c)]";
  }
  EXPECT_EQ(Expand(text), expected);
  // A text of several megabytes is no cycle either.
  Var("Big", std::string(3 << 20, 'b'));
  EXPECT_EQ(Expand("%Big%%Big%").size(), size_t(6) << 20);
}

TEST_F(VariablesTest, AnExpressionMayChangeTheVariableBeingRead) {
  Var("X", "#SetVariable('X', 'a much longer value that needs a new buffer')#rest");
  EXPECT_EQ(Expand("%X%"), "rest");
  EXPECT_EQ(db.Variables->FindVariable("X")->Value, "a much longer value that needs a new buffer");
}

TEST_F(VariablesTest, PackagesShadowTheMainDatabase) {
  Var("Name", "main");
  vx::TvxPackage* pkg = db.Packages->AddNew();
  vx::TvxVariable* own = pkg->Variables->AddNew();
  own->Name = "Name";
  own->Value = "package";
  EXPECT_EQ(vx::GetVariable(pkg, "NAME"), "package");
  EXPECT_EQ(vx::GetVariable(&db, "Name"), "main");

  // Setting through the package changes the variable it sees, and creates
  // unknown ones in the main database.
  vx::SetVariable(pkg, "Name", "changed");
  EXPECT_EQ(own->Value, "changed");
  vx::SetVariable(pkg, "Fresh", "1");
  EXPECT_EQ(pkg->Variables->FindVariable("Fresh"), nullptr);
  ASSERT_NE(db.Variables->FindVariable("Fresh"), nullptr);
  EXPECT_EQ(vx::GetVariable(pkg, "Fresh"), "1");

  // A package outside any main database keeps what is set through it.
  vx::TvxPackage loose;
  vx::SetVariable(&loose, "Only", "here");
  EXPECT_EQ(vx::GetVariable(&loose, "Only"), "here");
}

TEST_F(VariablesTest, VariablesWithFalseConditionsAreInvisible) {
  Var("Mode", "hidden", "0");
  EXPECT_EQ(vx::GetVariable(&db, "Mode", "default"), "default");
  Var("Mode", "shown", "1");
  EXPECT_EQ(Expand("%Mode%"), "shown");
  // Setting an invisible name creates a visible variable after it.
  Var("Other", "hidden", "%Flag% = 1");
  vx::SetVariable(&db, "Other", "new");
  EXPECT_EQ(db.Variables->Count(), 4);
  Var("Flag", "1");
  EXPECT_EQ(Expand("%Other%"), "hidden");
  // Environment descriptions are never found by name.
  vx::TvxVariable& env = Var("PATHX", "env");
  env.VarType = vx::TvxVarType::vtEnvVar;
  EXPECT_EQ(Expand("%PATHX%"), "%PATHX%");
}

TEST_F(VariablesTest, WrongDatabasesAreProgrammingErrors) {
  try {
    vx::GetVariable(nullptr, "x");
    FAIL();
  } catch (const vx::EEngineError& e) {
    EXPECT_STREQ(e.what(), "Package database was not assigned.");
  }
  vx::TvxComponent component;
  try {
    vx::SetVariable(&component, "x", "1");
    FAIL();
  } catch (const vx::EEngineError& e) {
    EXPECT_STREQ(e.what(), "Wrong class has been specified.");
  }
  EXPECT_NO_THROW(vx::SetVariable(nullptr, "", "1"));  // an empty name does nothing
}

TEST_F(VariablesTest, RegistryAndIniValues) {
  ASSERT_TRUE(vx::RegWriteString(TestKey(), "Dir", "C:\\Stored"));
  ASSERT_TRUE(vx::RegWriteBinary(TestKey(), "Bytes", std::string("\x01\xAB", 2)));
  Var("Base", TestKey());
  vx::TvxVariable& reg = Var("FromReg", "unused");
  reg.VarType = vx::TvxVarType::vtReg;
  reg.RegKey = "%Base%";
  reg.RegParam = "Dir";
  reg.DefValue = "%Base%";
  EXPECT_EQ(Expand("%FromReg%\\x"), "C:\\Stored\\x");
  reg.RegParam = "Bytes";
  EXPECT_EQ(Expand("%FromReg%"), "01AB");
  reg.RegParam = "Missing";
  EXPECT_EQ(Expand("%FromReg%"), TestKey());  // the default, expanded when read

  std::string ini = Scratch() + "app.ini";
  ASSERT_TRUE(vx::WriteWholeFile(ini, "[Paths]\r\nHome=D:\\Home\r\n"));
  Var("IniName", ini);
  vx::TvxVariable& fromIni = Var("FromIni", "");
  fromIni.VarType = vx::TvxVarType::vtIni;
  fromIni.IniFile = "%IniName%";
  fromIni.IniSection = "Paths";
  fromIni.IniParam = "Home";
  fromIni.DefValue = "none";
  EXPECT_EQ(Expand("%FromIni%"), "D:\\Home");
  fromIni.IniParam = "Other";
  EXPECT_EQ(Expand("%FromIni%"), "none");
  // Setting such a variable stores a value that is never read.
  vx::SetVariable(&db, "FromIni", "ignored");
  EXPECT_EQ(Expand("%FromIni%"), "none");
}

TEST_F(VariablesTest, SettersAndConversions) {
  vx::SetPathVariable(&db, "Dir", " C:\\Dir\\ ");
  EXPECT_EQ(vx::GetVariable(&db, "Dir"), "C:\\Dir");
  vx::SetSystemPathVariable(&db, "Root", "C:\\\\");
  EXPECT_EQ(vx::GetVariable(&db, "Root"), "C:\\");  // one backslash only
  EXPECT_TRUE(db.Variables->FindVariable("Root")->Transient);
  EXPECT_FALSE(db.Variables->FindVariable("Dir")->Transient);

  vx::SetVariableInt(&db, "N", -42);
  EXPECT_EQ(vx::GetVariableInt(&db, "N", 0), -42);
  vx::SetVariable(&db, "N", "12abc");
  EXPECT_EQ(vx::GetVariableInt(&db, "N", 7), 7);
  vx::SetVariable(&db, "N", "99999999999");
  EXPECT_EQ(vx::GetVariableInt(&db, "N", 7), 7);
  EXPECT_EQ(vx::GetVariableInt(&db, "Absent", 5), 5);
  vx::SetVariableBool(&db, "B", true);
  EXPECT_EQ(vx::GetVariable(&db, "B"), "1");
  EXPECT_TRUE(vx::GetVariableBool(&db, "B", false));
  vx::SetVariable(&db, "B", "2");
  EXPECT_TRUE(vx::GetVariableBool(&db, "B", false));
  EXPECT_FALSE(vx::GetVariableBool(&db, "Absent", false));
}

TEST_F(VariablesTest, FolderVariablesAreDefinedFromTheMachine) {
  ASSERT_TRUE(vx::RegWriteString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup", "BootDir", "C:\\"));
  vx::DefineFolderVariables(db);
  for (const char* name : {"BootDrive", "Windows", "System", "Desktop", "Fonts", "NetHood", "Personal",
                           "ProgramsMenu", "Recent", "SendTo", "StartMenu", "StartupMenu", "Templates",
                           "CommonStartMenu", "CommonProgramsMenu", "CommonStartupMenu", "CommonDesktop",
                           "ProgramFiles", "CommonFiles", "ApplicationData", "Office97", "Office2000", "BDE",
                           "Delphi", "Date", "IIS-WWWRoot", "IIS-Scripts"}) {
    vx::TvxVariable* v = db.Variables->FindVariable(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_TRUE(v->Transient) << name;
  }
  EXPECT_EQ(vx::GetVariable(&db, "BootDrive"), "C:");
  EXPECT_TRUE(vx::SameText(vx::GetVariable(&db, "Windows"), vx::ExcludeTrailingBackslash(vx::GetWindowsFolder())));
  std::string date = vx::GetVariable(&db, "Date");
  ASSERT_EQ(date.size(), 10u);
  EXPECT_EQ(date[2], '/');
  EXPECT_EQ(date[5], '/');
  if (Machine().IsSandbox()) {
    // A fresh machine has the folders of the system in the registry, as
    // Windows has them; the products below are not installed: the defaults,
    // expanded on reading.
    EXPECT_EQ(db.Variables->FindVariable("ProgramFiles")->Value, "C:\\Program Files");
    EXPECT_EQ(vx::GetVariable(&db, "CommonFiles"), "C:\\Program Files\\Common Files");
    EXPECT_EQ(vx::GetVariable(&db, "ApplicationData"), "C:\\Documents and Settings\\User\\Application Data");
    EXPECT_EQ(vx::GetVariable(&db, "BDE"), "C:\\Program Files\\Common Files\\Borland Shared\\BDE");
    EXPECT_EQ(vx::GetVariable(&db, "Delphi"), "C:");
    EXPECT_EQ(vx::GetVariable(&db, "IIS-Scripts"), "C:\\wwwroot\\scripts");
    EXPECT_FALSE(vx::GetVariable(&db, "CommonDesktop").empty());
    // Without the registry's value the default stands, kept with its reference.
    ASSERT_TRUE(vx::RegRemoveValue("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir"));
    vx::DefineFolderVariables(db);
    EXPECT_EQ(db.Variables->FindVariable("ProgramFiles")->Value, "%BootDrive%\\Program Files");
    EXPECT_EQ(vx::GetVariable(&db, "ProgramFiles"), "C:\\Program Files");
  }

  // The newest version by sorted key name, the first item of lists.
  ASSERT_TRUE(vx::RegWriteString("HKLM\\SOFTWARE\\Borland\\Delphi\\10.0", "RootDir", "C:\\D10"));
  ASSERT_TRUE(vx::RegWriteString("HKLM\\SOFTWARE\\Borland\\Delphi\\7.0", "RootDir", "C:\\D7\\"));
  ASSERT_TRUE(vx::RegWriteString("HKLM\\SOFTWARE\\Borland\\Database Engine", "DLLPATH", "C:\\BDE;D:\\Other"));
  const char* roots = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\W3SVC\\Parameters\\Virtual Roots";
  ASSERT_TRUE(vx::RegWriteString(roots, "/", "C:\\Inetpub\\wwwroot,,201"));
  vx::DefineFolderVariables(db);
  EXPECT_EQ(vx::GetVariable(&db, "Delphi"), "C:\\D7");
  EXPECT_EQ(vx::GetVariable(&db, "BDE"), "C:\\BDE");
  EXPECT_EQ(vx::GetVariable(&db, "IIS-WWWRoot"), "C:\\Inetpub\\wwwroot");
  EXPECT_EQ(vx::GetVariable(&db, "IIS-Scripts"), "C:\\Inetpub\\wwwroot\\scripts");
  vx::RegRemoveKey("HKLM\\SOFTWARE\\Borland", true);
  vx::RegRemoveKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\W3SVC", true);
}

TEST_F(VariablesTest, EnvironmentNeverReplacesProjectVariables) {
  std::vector<std::string> env;
  vx::GetEnvironmentList(env);
  ASSERT_FALSE(env.empty());
  std::string line;
  for (const std::string& e : env)
    if (e.find('=') > 0 && e.find('=') != std::string::npos) line = e;
  ASSERT_FALSE(line.empty());
  std::string name = line.substr(0, line.find('='));
  std::string value = line.substr(line.find('=') + 1);

  Var("Project", "mine");
  Var(vx::LowerCase(name), "project value");
  vx::ImportEnvironment(db);
  EXPECT_EQ(vx::GetVariable(&db, name), "project value");
  EXPECT_FALSE(db.Variables->FindVariable(name)->Transient);
  // Every other environment variable is now a transient variable.
  for (const std::string& e : env) {
    size_t eq = e.find('=');
    if (eq == 0 || eq == std::string::npos || vx::SameText(e.substr(0, eq), name)) continue;
    vx::TvxVariable* v = db.Variables->FindVariable(e.substr(0, eq));
    ASSERT_NE(v, nullptr) << e;
    EXPECT_TRUE(v->Transient);
  }
}

}  // namespace
