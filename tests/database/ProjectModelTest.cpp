// The project database: the exact XML vocabulary of every class, round
// trips, lookups, feature and install-type selection, actions.
#include <gtest/gtest.h>

#include "database/VXClasses.h"
#include "support/FakeExpressions.h"

namespace {

using namespace vx;

// Test documents are written with two-space indentation and LF; the writer
// uses tabs and CR LF.
std::string Canon(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    size_t spaces = line.find_first_not_of(' ');
    if (spaces == std::string_view::npos) spaces = line.size();
    out.append(spaces / 2, '\t');
    out.append(line.substr(spaces));
    if (end == std::string_view::npos) break;
    out += "\r\n";
    pos = end + 1;
  }
  return out;
}

std::string Save(const TXMLObject& obj, const std::string& root) {
  TXMLTag tag;
  tag.SetName(root);
  obj.AssignTo(tag);
  return tag.GetXML(0);
}

void Load(TXMLObject& obj, std::string_view xml) {
  TXMLTag tag;
  tag.Parse(xml);
  obj.Assign(tag);
}

// Every class, attribute, renaming and prefix, in the order the writer
// produces: attributes and elements sorted by property name.
const char* const kProject = R"x(<vx2project activeinstalltype="typical" installstate="isregservers" installstatedata="3" password="pw" rebootonfinish="1" tempbackuppath="C:\b" tempfontspath="C:\f" tempgacpath="C:\g" version="2.1">
  <components>
    <component condition='FileExists("x")' id="c1" keyitemid="f1" name="Core files" package="main">
      <files>
        <file action="remove" condition="1" dst="%AppDir%\a.exe" flags="dont_log,shared" id="f1" src="a.exe"/>
      </files>
      <inifiles>
        <ini id="i1" file="%WinDir%\x.ini" param="Key" section="Sec" value="Val"/>
      </inifiles>
      <odbc>
        <datasources>
          <datasource driver="SQL Server" type="system" id="ds1" name="DS">
            <attributes>
              <attribute name="Server" value="local"/>
            </attributes>
          </datasource>
        </datasources>
        <drivers>
          <driver driverdll="d.dll" id="drv" name="Drv" setupdll="s.dll">
            <attributes>
              <attribute condition="0" name="APILevel" value="1"/>
            </attributes>
          </driver>
        </drivers>
        <translators>
          <translator id="t1" name="T" setupdll="ts.dll" translatordll="t.dll"/>
        </translators>
      </odbc>
      <registry>
        <reg id="r1" key="HKLM\Software\X" param="P" type="mstr" value="a||b"/>
        <reg flags="reg_server,reg_font,dont_ask,dont_overwrite,external,encrypt,add_path,sys_envvar,dont_parse_identifiers" id="r2"/>
      </registry>
      <runapps>
        <runapp arg="/s" cmdline="setup.exe" flags="no_version,dont_wait,check_exitcode" id="ra" msg="Running" showcmd="hide" whenstart="before_dialogs" workdir="C:\w"/>
      </runapps>
      <services>
        <service account="LocalSystem" arg="-k" cmdline="svc.exe" description="Svc" displayname="My Service" errorcontrol="critical" group="G" id="s1" installactions="install,start" interactive="1" name="MySvc" password="pw" type="kerneldrv" start="disabled" tag="7" uninstallactions="uninstall,stop">
          <depends>
            <depend group="1" name="RPC"/>
          </depends>
        </service>
      </services>
      <shortcuts>
        <shortcut arg="-x" cmdline="%AppDir%\a.exe" description="Desc" hotkey="1602" icon="2" iconfile="a.ico" id="sc1" name="App" showcmd="max" workdir="%AppDir%"/>
      </shortcuts>
    </component>
  </components>
  <features>
    <feature description="Main" id="core" name="Core" required="1">
      <components>
        <component id="c1" name="c1"/>
      </components>
      <features>
        <feature id="docs" name="Docs">
          <depends>
            <feature id="core"/>
          </depends>
          <excepts>
            <feature id="extra"/>
          </excepts>
        </feature>
      </features>
    </feature>
    <feature condition="0" id="extra"/>
  </features>
  <installtypes>
    <installtype custom="1" default="1" description="All" id="typical" name="Typical">
      <features>
        <feature id="core"/>
      </features>
    </installtype>
  </installtypes>
  <launchconditions>
    <launchcondition condition="IsAdmin()" msg="Need admin&#x0D;&#x0A;now"/>
  </launchconditions>
  <packages>
    <package datasize="100" filename="setup.exe" flags="3" fullfilename="C:\setup.exe" id="main" main="1" needed="1" prepared="1" presetupsize="50" temppath="C:\t\">
      <components>
        <component id="pc" name="Package component"/>
      </components>
      <fileinfos>
        <fileinfo assemblydata="asm" fontname="Arial" name="a.exe" size="1024" version="1.2.3.4"/>
      </fileinfos>
      <plugins>
        <plugin condition="1" configfile="ui.ini" debugdll="ui_d.dll" id="ui">
          <config>
            <paramgroup name="Main">
              <param name="Title" value="Hello"/>
            </paramgroup>
          </config>
          <customconfig>
            <page kind="welcome">
Welcome text
<!-- note -->
            </page>
          </customconfig>
        </plugin>
      </plugins>
      <variables>
        <var name="PkgVar" value="1"/>
      </variables>
    </package>
  </packages>
  <variables>
    <var defvalue="d" flags="dont_parse" id="v1" inifile="a.ini" iniparam="p" inisection="s" name="AppDir" regkey="HKLM\X" regparam="Path" value="C:\App" type="reg"/>
    <var name="Env" value="x" type="envvar"/>
    <var name="Ini" type="ini"/>
  </variables>
</vx2project>
)x";

TEST(ProjectDocument, EveryClassRoundTripsByteForByte) {
  const std::string doc = Canon(kProject);
  TvxMainDatabase db;
  Load(db, doc);
  EXPECT_EQ(Save(db, "vx2project"), doc);

  // Spot checks that the values landed in the right properties.
  auto& comp = (*db.Components)[0];
  EXPECT_EQ(comp.Name, "Core files");
  auto& svc = (*comp.Services)[0];
  EXPECT_EQ(svc.Start, TvxNTServiceStartType::stDisabled);
  EXPECT_EQ(svc.ServiceType, TvxNTServiceType::stKernelDrv);
  EXPECT_EQ(svc.InstallActions, (TvxNTServiceActions{TvxNTServiceAction::saInstall, TvxNTServiceAction::saStart}));
  EXPECT_EQ((*comp.Registry)[0].ParamType, TvxRegType::mstr);
  EXPECT_EQ((*comp.IniFiles)[0].IniFile, "%WinDir%\\x.ini");
  EXPECT_EQ((*comp.Shortcuts)[0].ShowCmd, TvxShowCmd::scMax);
  EXPECT_EQ((*comp.ODBC->DataSources)[0].DSType, TvxDSType::dstSystem);
  EXPECT_TRUE((*comp.Files)[0].Flags.Contains(TvxFlag::shared));
  EXPECT_EQ((*db.Variables)[0].VarType, TvxVarType::vtReg);
  EXPECT_EQ(db.InstallState, TvxInstallState::isRegServers);
  EXPECT_EQ((*db.LaunchConditions)[0].Msg, "Need admin\r\nnow");
  auto& plugin = (*(*db.Packages)[0].Plugins)[0];
  EXPECT_EQ(plugin.Config->GetParam("main", "TITLE", "-"), "Hello");
  EXPECT_EQ(plugin.CustomConfig->Name, "customconfig");

  // A copy made through Assign and a merge into a fresh database agree.
  TvxMainDatabase copy;
  copy.Assign(db);
  EXPECT_EQ(Save(copy, "vx2project"), doc);
  TvxMainDatabase merged;
  merged.AssignMerge(db);
  EXPECT_EQ(Save(merged, "vx2project"), doc);
}

TEST(ProjectDocument, OtherDocumentsRoundTrip) {
  const std::string silent = Canon(R"x(<silentsettings activeinstalltype="custom">
  <features>
    <feature id="core"/>
  </features>
  <variables>
    <var name="AppDir" value="C:\x"/>
  </variables>
</silentsettings>
)x");
  TvxSilentSettings settings;
  Load(settings, silent);
  EXPECT_EQ(Save(settings, "silentsettings"), silent);

  const std::string actions = Canon(R"x(<actions>
  <action condition="1" expression='SetVar("a", 1)'/>
  <action expression="Return(1)"/>
</actions>
)x");
  TvxActions list;
  Load(list, actions);
  EXPECT_EQ(Save(list, "actions"), actions);

  // A loosely written document reaches a fixed point after one save.
  TvxPackage pkg;
  Load(pkg, "<package ID='p' Main='1' needed='0'><components><component id='x'/><component name='n' id='y'/>"
            "</components><junk/></package>");
  std::string once = Save(pkg, "package");
  EXPECT_EQ(once, Canon(R"x(<package id="p" main="1">
  <components>
    <component id="x" name="x"/>
    <component id="y" name="n"/>
  </components>
</package>
)x"));
  TvxPackage again;
  Load(again, once);
  EXPECT_EQ(Save(again, "package"), once);
}

TEST(ProjectModel, DefaultsAndRunTimeStateStayOutOfDocuments) {
  TvxReg reg;
  EXPECT_EQ(Save(reg, "reg"), "<reg/>\r\n") << "type str, action add and empty flags are defaults";
  Load(reg, "<reg type=\"int\"/>");
  EXPECT_EQ(reg.ParamType, TvxRegType::int_);
  Load(reg, "<reg paramtype=\"bin\"/>");
  EXPECT_EQ(reg.ParamType, TvxRegType::bin) << "the property name reads as well";

  TvxMainDatabase db;
  db.Variables->SetParam("Kept", "1");
  db.Variables->SetParam("Engine", "2");
  static_cast<TvxVariable&>(*db.Variables->FindParam("engine")).Transient = true;
  auto* f = db.Features->AddNew();
  f->ID = "f";
  f->Selected = true;
  EXPECT_EQ(Save(db, "vx2project"), Canon(R"x(<vx2project>
  <features>
    <feature id="f"/>
  </features>
  <variables>
    <var name="Kept" value="1"/>
  </variables>
</vx2project>
)x"));
}

TEST(ProjectModel, ComponentIDFillsAnEmptyName) {
  TvxComponent c;
  c.SetID("A");
  EXPECT_EQ(c.Name, "A");
  c.SetID("B");
  EXPECT_EQ(c.Name, "A") << "a name is never overwritten";
  c.Name = "";
  c.SetID("B");
  EXPECT_EQ(c.Name, "") << "only a changed ID fills the name";
  Load(c, "<component name=\"N\" id=\"X\"/>");
  EXPECT_EQ(c.Name, "N");
  EXPECT_EQ(c.ID(), "X");
}

TEST(ProjectModel, LookupsAndOwningDatabase) {
  TvxMainDatabase db;
  Load(db, "<p><packages><package id='Main'><components><component id='pc' package='extra'/></components>"
           "<fileinfos><fileinfo name='A.EXE' size='3'/></fileinfos></package><package id='Extra'/></packages>"
           "<components><component id='c' package='EXTRA'><files><file id='f'/></files></component>"
           "<component id='lost' package='none'/></components>"
           "<installtypes><installtype id='a' condition='0'/><installtype id='b'/><installtype id='c'/></installtypes>"
           "</p>");
  TvxPackage& main = (*db.Packages)[0];
  TvxPackage& extra = (*db.Packages)[1];
  EXPECT_EQ(db.Packages->FindPackage("main"), &main);
  EXPECT_EQ(main.FileInfos->FindFileInfo("a.exe")->Size, 3);
  EXPECT_EQ(db.Components->FindByID("C"), &(*db.Components)[0]);

  TvxFile& file = (*(*db.Components)[0].Files)[0];
  EXPECT_EQ(OwningDatabase(&file), &extra) << "a component's package, found by ID";
  EXPECT_EQ(OwningDatabase(&(*db.Components)[1]), &db) << "unknown package: the owner chain";
  EXPECT_EQ(OwningDatabase(&(*main.Components)[0]), &extra);
  EXPECT_EQ(OwningDatabase(&main), &main);
  EXPECT_EQ(MainDatabase(&file), &db);
  TvxFile loose;
  EXPECT_EQ(OwningDatabase(&loose), nullptr);
  EXPECT_EQ(MainDatabase(&loose), nullptr);

  // Install types: conditions count once an evaluator is installed.
  TvxInstallType* next = nullptr;
  EXPECT_EQ(db.InstallTypes->FindInstallType("", next)->ID, "a") << "no evaluator: all available";
  vxtest::FakeExpressions expressions;
  db.Expressions = &expressions;
  EXPECT_EQ(db.InstallTypes->FindInstallType("", next)->ID, "b");
  EXPECT_EQ(next->ID, "c");
  EXPECT_EQ(db.InstallTypes->FindInstallType("C", next)->ID, "c");
  EXPECT_EQ(next, nullptr);
  EXPECT_EQ(db.InstallTypes->FindInstallType("a", next), nullptr);
  EXPECT_FALSE(db.SelectInstallType("a"));
  expressions.ConditionsEnabled = false;
  EXPECT_TRUE(db.SelectInstallType("a")) << "conditions off: all available";
  db.Expressions = nullptr;
}

// --- Feature selection -------------------------------------------------------------

class Selection : public ::testing::Test {
 protected:
  void SetUp() override {
    Load(db, R"x(<p><features>
      <feature id="A"><excepts><feature id="B"/></excepts><depends><feature id="C"/></depends></feature>
      <feature id="B" required="1"/>
      <feature id="C"><depends><feature id="B"/></depends>
        <features><feature id="C1"/></features></feature>
      <feature id="P"><features><feature id="P1"/><feature id="P2"/></features></feature>
      <feature id="R" required="1"/>
      <feature id="X" condition="0"><features><feature id="X1"/></features></feature>
      <feature id="D"><depends><feature/></depends><excepts><feature/></excepts></feature>
    </features><installtypes>
      <installtype id="full"><features><feature id="P"/><feature id="C"/><feature id="nothing"/></features></installtype>
    </installtypes></p>)x");
    db.SelectionObserver = &observer;
    EnableConditions();
  }
  // Records every change of the selection.
  struct Observer : TvxSelectionObserver {
    explicit Observer(std::vector<std::string>& list) : events(list) {}
    std::vector<std::string>& events;
    void FeatureChanged(TvxFeature& f) override { events.push_back(f.ID + ":" + std::to_string(f.State())); }
    void InstallTypeChanged(TvxInstallType& t) override { events.push_back("type " + t.ID); }
  };
  void TearDown() override { db.Expressions = nullptr; }
  void EnableConditions() { db.Expressions = &expressions; }
  vxtest::FakeExpressions expressions;
  int StateOf(const std::string& id) { return db.Features->FindFeature(id)->State(); }
  std::string Tree() {
    std::string out;
    ForEachFeature(*db.Features, [&](TvxFeature& f) { out += f.ID + std::to_string(f.State()) + " "; });
    return out;
  }

  TvxMainDatabase db;
  std::vector<std::string> events;
  Observer observer{events};
};

TEST_F(Selection, FindFeatureWalksThePreOrderSkippingUnavailable) {
  EnableConditions();
  std::vector<std::string> order;
  TvxFeature* parent = nullptr;
  TvxFeature* next = nullptr;
  TvxFeature* f = db.Features->FindFeature("", parent, next);
  while (f) {
    order.push_back(f->ID + "<" + (parent ? parent->ID : "") + ">");
    if (!next) break;
    parent = nullptr;
    f = db.Features->FindFeature(next->ID, parent, next);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"A<>", "B<>", "C<>", "C1<C>", "P<>", "P1<P>", "P2<P>", "R<>", "D<>"}));
  EXPECT_EQ(db.Features->FindFeature("X1"), nullptr) << "inside an unavailable feature";
  EXPECT_EQ(Tree(), "A0 B0 C0 C10 P0 P10 P20 R0 D0 ");
}

TEST_F(Selection, ExceptsDeselectEvenRequiredFeaturesAndGuardThem) {
  ASSERT_TRUE(db.SetFeatureSelected("B", true));
  events.clear();
  // A excludes B and needs C, which needs B: B stays out within the operation.
  ASSERT_TRUE(db.SetFeatureSelected("a", true));
  EXPECT_EQ(Tree(), "A1 B0 C1 C11 P0 P10 P20 R0 D0 ");
  EXPECT_EQ(events, (std::vector<std::string>{"B:0", "A:1", "C:1", "C1:1"}));
  EXPECT_TRUE(db.Features->FindFeature("B")->Required) << "the required flag is restored";
}

TEST_F(Selection, DeselectingCascadesToDependentsAndSubFeatures) {
  ASSERT_TRUE(db.SetFeatureSelected("C", true));
  EXPECT_EQ(Tree(), "A0 B1 C1 C11 P0 P10 P20 R0 D0 ");
  // B is required, but a dependent's deselection does not reach it; C does.
  EXPECT_FALSE(db.SetFeatureSelected("B", false)) << "a required feature cannot be deselected";
  EXPECT_EQ(StateOf("C"), 1);
  db.Features->FindFeature("B")->Required = false;
  events.clear();
  ASSERT_TRUE(db.SetFeatureSelected("B", false));
  EXPECT_EQ(Tree(), "A0 B0 C0 C10 P0 P10 P20 R0 D0 ");
  EXPECT_EQ(events, (std::vector<std::string>{"B:0", "C:0", "C1:0"}));
}

TEST_F(Selection, ParentsAggregateTheirSubFeatures) {
  ASSERT_TRUE(db.SetFeatureSelected("P", true));
  EXPECT_EQ(Tree(), "A0 B0 C0 C10 P1 P11 P21 R0 D0 ");
  events.clear();
  ASSERT_TRUE(db.SetFeatureSelected("P1", false));
  EXPECT_EQ(StateOf("P"), 2);
  EXPECT_EQ(events, (std::vector<std::string>{"P1:0", "P:2"}));
  ASSERT_TRUE(db.SetFeatureSelected("P2", false));
  EXPECT_EQ(StateOf("P"), 0);
  EXPECT_FALSE(db.SetFeatureSelected("nothing", true));
  ASSERT_TRUE(db.SetFeatureSelected("D", true));
  EXPECT_EQ(StateOf("A"), 0) << "references without an ID name nothing";
}

TEST_F(Selection, UnavailableFeaturesCannotBeSelected) {
  EnableConditions();
  TvxFeature* x = nullptr;
  for (int i = 0; i < db.Features->Count(); ++i)
    if ((*db.Features)[i].ID == "X") x = &(*db.Features)[i];
  ASSERT_NE(x, nullptr);
  SetSelected(*x, true);
  EXPECT_EQ(x->State(), 0);
  EXPECT_FALSE(db.SetFeatureSelected("X", true));

  // A feature whose sub-features are all unavailable keeps its own state.
  db.Features->FindFeature("P1")->Condition = "0";
  db.Features->FindFeature("P2")->Condition = "0";
  EXPECT_TRUE(db.SetFeatureSelected("P", true));
  EXPECT_EQ(StateOf("P"), 1);
}

TEST_F(Selection, InstallTypesSelectExactlyTheirFeatures) {
  ASSERT_TRUE(db.SetFeatureSelected("A", true));
  events.clear();
  ASSERT_TRUE(db.SelectInstallType("FULL"));
  EXPECT_EQ(db.ActiveInstallType, "full");
  EXPECT_EQ(db.InstallTypes->Active(), &(*db.InstallTypes)[0]);
  EXPECT_EQ(Tree(), "A0 B1 C1 C11 P1 P11 P21 R1 D0 ");
  EXPECT_EQ(events, (std::vector<std::string>{"A:0", "B:1", "C:0", "C1:0", "R:1", "P:1", "P1:1", "P2:1", "C:1",
                                              "C1:1", "type full"}));
  events.clear();
  EXPECT_FALSE(db.SelectInstallType("none"));
  EXPECT_TRUE(events.empty());
  db.InstallTypes->Clear();
  EXPECT_EQ(db.InstallTypes->Active(), nullptr) << "no dangling active type";
}

TEST_F(Selection, DuplicateIDsAndDependencyCyclesTerminate) {
  Load(db, R"x(<p><features>
      <feature id="A"><depends><feature id="B"/></depends></feature>
      <feature id="B"><depends><feature id="A"/></depends></feature>
      <feature id="A"/><feature id=""/><feature id=""/>
    </features></p>)x");
  ASSERT_TRUE(db.SetFeatureSelected("B", true));
  EXPECT_EQ(Tree(), "A1 B1 A0 0 0 ");
  ASSERT_TRUE(db.SetFeatureSelected("A", false));
  EXPECT_EQ(Tree(), "A0 B0 A0 0 0 ");
}

// --- Actions and plug-in configuration -----------------------------------------------

TEST(ProjectActions, TheFirstReturnGivesTheResult) {
  std::vector<std::string> seen;
  vxtest::FakeExpressions expressions;
  expressions.text = [&](TXMLObject* db, std::string_view text, bool parse, std::string& result, void*) {
    EXPECT_EQ(db, nullptr);
    EXPECT_TRUE(parse);
    seen.emplace_back(text);
    result = std::string(text.substr(text.find('(') + 1, 1));
  };
  std::string result = "stale";
  EvaluateActions(expressions, "<actions><action expression=' Set(x) '/><action condition='0' expression='Return(0)'/>"
                  "<action expression='return(1)'/><action expression='Return(2)'/></actions>",
                  nullptr, result);
  EXPECT_EQ(result, "1");
  EXPECT_EQ(seen, (std::vector<std::string>{"Set(x)", "return(1)"}));

  EvaluateActions(expressions, "<other><action expression='Return(3)'/></other>", nullptr, result);
  EXPECT_EQ(result, "") << "the root must be \"actions\"";
}

TEST(ProjectPlugins, SimpleConfigQueries) {
  TvxPluginSimpleConfig cfg;
  ASSERT_NE(cfg.ParamGroup, nullptr);
  Load(cfg, "<config><paramgroup name='G1'><param name='a' value='1'/><param name='b'/></paramgroup>"
            "<paramgroup name='G2'/></config>");
  EXPECT_EQ(cfg.GetParam("g1", "A", "d"), "1");
  EXPECT_EQ(cfg.GetParam("g1", "b", "d"), "");
  EXPECT_EQ(cfg.GetParam("g1", "c", "d"), "d");
  EXPECT_EQ(cfg.GetParam("g3", "a", "d"), "d");
  std::vector<std::string> names{"stale"};
  cfg.GetGroupNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"G1", "G2"}));
  cfg.GetParamNames("G1", names);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  cfg.GetParamNames("none", names);
  EXPECT_TRUE(names.empty());
}

TEST(ProjectVariables, FindParamSkipsEnvironmentAndUnavailableVariables) {
  TvxMainDatabase db;
  TvxVariables& vars = *db.Variables;
  Load(vars, "<variables><var name='V' type='envvar' value='1'/><var name='v' condition='0' value='2'/>"
             "<var name='V' value='3'/></variables>");
  EXPECT_EQ(vars.FindVariable("v")->Value, "2");
  vxtest::FakeExpressions expressions;
  db.Expressions = &expressions;
  EXPECT_EQ(vars.FindVariable("v")->Value, "3");
}

}  // namespace
