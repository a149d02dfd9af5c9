// VXClasses: the project database.
//
// The classes below describe one installation: packages, components with
// their files, registry values, INI entries, shortcuts, programs, ODBC and
// service definitions, the feature tree and install types, variables,
// launch conditions and plug-ins, plus the run-time state the engine keeps
// in the same objects (feature selection, the active install type, the
// resume state). Their XML form follows from the property tables in
// VXClasses.cpp by the rules of kqXMLObject.h.
//
// Conditions and expressions are evaluated through the expression context
// (TvxExpressionContext) that the run attaches to the roots it owns; until
// it does, every condition counts as true.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "database/kqXMLObject.h"

namespace vx {

// --- Enumerations and sets ------------------------------------------------------

enum class TvxFlag : uint8_t {
  dont_log,
  no_version,
  reg_server,
  reg_font,
  dont_ask,
  dont_overwrite,
  external,
  shared,
  dont_wait,
  check_exitcode,
  encrypt,
  add_path,
  sys_envvar,
  dont_parse,
  dont_parse_identifiers,
};
using TvxFlags = TSet<TvxFlag>;

enum class TvxInstallAction : uint8_t { add, remove };
// `int` is a keyword, hence `int_`; its stored name is "int".
enum class TvxRegType : uint8_t { str, int_, bin, mstr };
enum class TvxShowCmd : uint8_t { scNormal, scMin, scMax, scHide };
enum class TvxWhenStart : uint8_t { after_install, before_install, before_uninstall, after_uninstall, before_dialogs };
enum class TvxDSType : uint8_t { dstUser, dstSystem };
enum class TvxNTServiceType : uint8_t { stWin32Own, stWin32Share, stKernelDrv, stFileDrv };
enum class TvxNTServiceStartType : uint8_t { stAuto, stBoot, stManual, stSystem, stDisabled };
enum class TvxNTServiceErrorControl : uint8_t { ecNormal, ecIgnore, ecSevere, ecCritical };
enum class TvxNTServiceAction : uint8_t { saInstall, saUninstall, saStart, saStop };
using TvxNTServiceActions = TSet<TvxNTServiceAction>;
enum class TvxVarType : uint8_t { vtNormal, vtReg, vtIni, vtEnvVar };
enum class TvxInstallState : uint8_t {
  isUnknown,
  isRunAppBeforeDialogs,
  isRunAppBeforeInstall,
  isRegServers,
  isRunAppAfterInstall,
};

const TEnumInfo& EnumInfo(TvxFlag);
const TEnumInfo& EnumInfo(TvxInstallAction);
const TEnumInfo& EnumInfo(TvxRegType);
const TEnumInfo& EnumInfo(TvxShowCmd);
const TEnumInfo& EnumInfo(TvxWhenStart);
const TEnumInfo& EnumInfo(TvxDSType);
const TEnumInfo& EnumInfo(TvxNTServiceType);
const TEnumInfo& EnumInfo(TvxNTServiceStartType);
const TEnumInfo& EnumInfo(TvxNTServiceErrorControl);
const TEnumInfo& EnumInfo(TvxNTServiceAction);
const TEnumInfo& EnumInfo(TvxVarType);
const TEnumInfo& EnumInfo(TvxInstallState);

// --- Common bases -------------------------------------------------------------------

class TvxConditionObject : public TXMLObject {
  VX_XML_CLASS(TvxConditionObject, TXMLObject)
 public:
  std::string Condition;  // expression deciding whether the object is in effect
};

class TvxInstallationItem : public TvxConditionObject {
  VX_XML_CLASS(TvxInstallationItem, TvxConditionObject)
 public:
  std::string ID;
  TvxFlags Flags;
  TvxInstallAction Action = TvxInstallAction::add;
};

// --- Component contents ---------------------------------------------------------------

class TvxFile : public TvxInstallationItem {
  VX_XML_CLASS(TvxFile, TvxInstallationItem)
 public:
  std::string Src, Dst;
};

class TvxReg : public TvxInstallationItem {
  VX_XML_CLASS(TvxReg, TvxInstallationItem)
 public:
  std::string Key, Param, Value;
  TvxRegType ParamType = TvxRegType::str;
};

class TvxIni : public TvxInstallationItem {
  VX_XML_CLASS(TvxIni, TvxInstallationItem)
 public:
  std::string IniFile, Section, Param, Value;
};

class TvxShortcut : public TvxInstallationItem {
  VX_XML_CLASS(TvxShortcut, TvxInstallationItem)
 public:
  std::string Name, CmdLine, Arg, WorkDir;
  TvxShowCmd ShowCmd = TvxShowCmd::scNormal;
  std::string IconFile;
  int32_t Icon = 0;
  int32_t Hotkey = 0;
  std::string Description;
};

class TvxRunApp : public TvxInstallationItem {
  VX_XML_CLASS(TvxRunApp, TvxInstallationItem)
 public:
  std::string CmdLine, Arg, WorkDir;
  TvxShowCmd ShowCmd = TvxShowCmd::scNormal;
  std::string Msg;
  TvxWhenStart WhenStart = TvxWhenStart::after_install;
};

class TvxFiles : public TXMLObjectList {
  VX_XML_CLASS(TvxFiles, TXMLObjectList)
  VX_XML_LIST_OF(TvxFile, "file")
};
class TvxRegistry : public TXMLObjectList {
  VX_XML_CLASS(TvxRegistry, TXMLObjectList)
  VX_XML_LIST_OF(TvxReg, "reg")
};
class TvxIniFiles : public TXMLObjectList {
  VX_XML_CLASS(TvxIniFiles, TXMLObjectList)
  VX_XML_LIST_OF(TvxIni, "ini")
};
class TvxShortcuts : public TXMLObjectList {
  VX_XML_CLASS(TvxShortcuts, TXMLObjectList)
  VX_XML_LIST_OF(TvxShortcut, "shortcut")
};
class TvxRunApps : public TXMLObjectList {
  VX_XML_CLASS(TvxRunApps, TXMLObjectList)
  VX_XML_LIST_OF(TvxRunApp, "runapp")
};

// --- ODBC ---------------------------------------------------------------------------------

class TvxODBCAttribute : public TvxConditionObject {
  VX_XML_CLASS(TvxODBCAttribute, TvxConditionObject)
 public:
  std::string Name, Value;
};

class TvxODBCAttributes : public TXMLParamList {
  VX_XML_CLASS(TvxODBCAttributes, TXMLParamList)
  VX_XML_PARAM_LIST_OF(TvxODBCAttribute, "attribute")
};

class TvxODBCDataSource : public TvxInstallationItem {
  VX_XML_CLASS(TvxODBCDataSource, TvxInstallationItem)
 public:
  TvxDSType DSType = TvxDSType::dstUser;
  std::string Driver, Name;
  std::unique_ptr<TvxODBCAttributes> Attributes;
};

class TvxODBCDriver : public TvxInstallationItem {
  VX_XML_CLASS(TvxODBCDriver, TvxInstallationItem)
 public:
  std::string Name, DriverDLL, SetupDLL;
  std::unique_ptr<TvxODBCAttributes> Attributes;
};

class TvxODBCTranslator : public TvxInstallationItem {
  VX_XML_CLASS(TvxODBCTranslator, TvxInstallationItem)
 public:
  std::string Name, TranslatorDLL, SetupDLL;
};

class TvxODBCDataSources : public TXMLObjectList {
  VX_XML_CLASS(TvxODBCDataSources, TXMLObjectList)
  VX_XML_LIST_OF(TvxODBCDataSource, "datasource")
};
class TvxODBCDrivers : public TXMLObjectList {
  VX_XML_CLASS(TvxODBCDrivers, TXMLObjectList)
  VX_XML_LIST_OF(TvxODBCDriver, "driver")
};
class TvxODBCTranslators : public TXMLObjectList {
  VX_XML_CLASS(TvxODBCTranslators, TXMLObjectList)
  VX_XML_LIST_OF(TvxODBCTranslator, "translator")
};

class TvxODBC : public TXMLObject {
  VX_XML_CLASS(TvxODBC, TXMLObject)
 public:
  std::unique_ptr<TvxODBCDataSources> DataSources;
  std::unique_ptr<TvxODBCDrivers> Drivers;
  std::unique_ptr<TvxODBCTranslators> Translators;
};

// --- Services ------------------------------------------------------------------------------

class TvxNTServiceDepend : public TvxConditionObject {
  VX_XML_CLASS(TvxNTServiceDepend, TvxConditionObject)
 public:
  std::string Name;
  bool Group = false;
};

class TvxNTServiceDepends : public TXMLObjectList {
  VX_XML_CLASS(TvxNTServiceDepends, TXMLObjectList)
  VX_XML_LIST_OF(TvxNTServiceDepend, "depend")
};

class TvxNTService : public TvxInstallationItem {
  VX_XML_CLASS(TvxNTService, TvxInstallationItem)
 public:
  std::string Name, DisplayName;
  TvxNTServiceType ServiceType = TvxNTServiceType::stWin32Own;
  bool Interactive = false;
  TvxNTServiceStartType Start = TvxNTServiceStartType::stAuto;
  TvxNTServiceErrorControl ErrorControl = TvxNTServiceErrorControl::ecNormal;
  std::string CmdLine, Arg, Group;
  int32_t Tag = 0;
  std::string Account, Password, Description;
  std::unique_ptr<TvxNTServiceDepends> Depends;
  TvxNTServiceActions InstallActions, UninstallActions;
};

class TvxNTServices : public TXMLObjectList {
  VX_XML_CLASS(TvxNTServices, TXMLObjectList)
  VX_XML_LIST_OF(TvxNTService, "service")
};

// --- Components, features, install types -----------------------------------------------------

class TvxComponent : public TvxConditionObject {
  VX_XML_CLASS(TvxComponent, TvxConditionObject)
 public:
  const std::string& ID() const { return id_; }
  // Stores a new ID; an empty Name takes the ID as well.
  void SetID(const std::string& id);

  std::string KeyItemID, Name;
  std::string Package;  // the ID of the package that carries the files
  std::unique_ptr<TvxFiles> Files;
  std::unique_ptr<TvxRegistry> Registry;
  std::unique_ptr<TvxIniFiles> IniFiles;
  std::unique_ptr<TvxShortcuts> Shortcuts;
  std::unique_ptr<TvxRunApps> RunApps;
  std::unique_ptr<TvxODBC> ODBC;  // absent until read
  std::unique_ptr<TvxNTServices> Services;

  // Run-time: chosen for installation in this run, not persistent.
  bool Marked = false;

 private:
  std::string id_;
};

class TvxComponents : public TXMLObjectList {
  VX_XML_CLASS(TvxComponents, TXMLObjectList)
  VX_XML_LIST_OF(TvxComponent, "component")
};

class TvxFeatures;

class TvxFeature : public TvxConditionObject {
  VX_XML_CLASS(TvxFeature, TvxConditionObject)
 public:
  std::string ID, Name, Description;
  bool Required = false;
  std::unique_ptr<TvxFeatures> Features;        // sub-features
  std::unique_ptr<TvxFeatures> Depends;         // references by ID
  std::unique_ptr<TvxFeatures> Excepts;         // references by ID
  std::unique_ptr<TvxComponents> Components;    // references by ID

  // Run-time selection, not persistent.
  bool Selected = false;
  bool Partial = false;
  // 0 not selected, 1 selected, 2 partly selected.
  int State() const { return !Selected ? 0 : (Partial ? 2 : 1); }
};

class TvxFeatures : public TXMLObjectList {
  VX_XML_CLASS(TvxFeatures, TXMLObjectList)
  VX_XML_LIST_OF(TvxFeature, "feature")
 public:
  // The first available feature at index `start` or later.
  TvxFeature* FirstAvailable(int start) const;
  // Depth-first search of the tree for `id` (the first available feature
  // when empty), skipping unavailable features. `parent` gets the feature
  // whose sub-feature list holds the result (the caller's value at the top
  // level); `next` the pre-order successor among available features.
  TvxFeature* FindFeature(const std::string& id, TvxFeature*& parent, TvxFeature*& next) const;
  TvxFeature* FindFeature(const std::string& id) const;
};

class TvxInstallType : public TvxConditionObject {
  VX_XML_CLASS(TvxInstallType, TvxConditionObject)
 public:
  std::string ID, Name, Description;
  std::unique_ptr<TvxFeatures> Features;  // references by ID
  bool Default = false;
  bool Custom = false;
};

class TvxInstallTypes : public TXMLObjectList {
  VX_XML_CLASS(TvxInstallTypes, TXMLObjectList)
  VX_XML_LIST_OF(TvxInstallType, "installtype")
 public:
  // The install type chosen last, while it is still in the list.
  TvxInstallType* Active() const;
  void SetActive(TvxInstallType* type) { active_ = type; }
  // The first available install type with that ID (with an empty ID, the ID
  // of the first available one); `next` the next available one after it.
  TvxInstallType* FindInstallType(const std::string& id, TvxInstallType*& next) const;

 private:
  TvxInstallType* active_ = nullptr;
};

// --- Variables and launch conditions -------------------------------------------------------------

class TvxVariable : public TvxInstallationItem {
  VX_XML_CLASS(TvxVariable, TvxInstallationItem)
 public:
  std::string Name, Value, DefValue, RegKey, RegParam, IniFile, IniSection, IniParam;
  TvxVarType VarType = TvxVarType::vtNormal;

  // Defined by the engine itself: never written to a saved document.
  bool Transient = false;
  bool AcceptWrite(TXMLTag& tag) const override { return !Transient; }
};

class TvxVariables : public TXMLParamList {
  VX_XML_CLASS(TvxVariables, TXMLParamList)
  VX_XML_PARAM_LIST_OF(TvxVariable, "var")
 public:
  // The first available variable named `name` (ASCII letters without case)
  // that does not describe an environment variable.
  TXMLObject* FindParam(const std::string& name) const override;
  TvxVariable* FindVariable(const std::string& name) const { return static_cast<TvxVariable*>(FindParam(name)); }
};

class TvxLaunchCondition : public TvxConditionObject {
  VX_XML_CLASS(TvxLaunchCondition, TvxConditionObject)
 public:
  std::string Msg;
};

class TvxLaunchConditions : public TXMLObjectList {
  VX_XML_CLASS(TvxLaunchConditions, TXMLObjectList)
  VX_XML_LIST_OF(TvxLaunchCondition, "launchcondition")
};

// --- Plug-ins -------------------------------------------------------------------------------------

class TvxParam : public TXMLObject {
  VX_XML_CLASS(TvxParam, TXMLObject)
 public:
  std::string Name, Value;
};

class TvxParamGroup : public TXMLObjectList {
  VX_XML_CLASS(TvxParamGroup, TXMLObjectList)
  VX_XML_LIST_OF(TvxParam, "param")
 public:
  std::string Name;
};

class TvxPluginSimpleConfig : public TXMLObjectList {
  VX_XML_CLASS(TvxPluginSimpleConfig, TXMLObjectList)
  VX_XML_LIST_OF(TvxParamGroup, "paramgroup")
 public:
  // Created with the object; a list reads and writes only its items, so
  // this group never appears in XML.
  std::unique_ptr<TvxParamGroup> ParamGroup;

  // The Value of parameter `name` in group `group`, or `def` when either is missing.
  std::string GetParam(const std::string& group, const std::string& name, const std::string& def) const;
  void GetGroupNames(std::vector<std::string>& names) const;
  void GetParamNames(const std::string& group, std::vector<std::string>& names) const;
};

class TvxPlugin : public TvxConditionObject {
  VX_XML_CLASS(TvxPlugin, TvxConditionObject)
 public:
  std::string ID, ConfigFile, DebugDll;
  std::unique_ptr<TvxPluginSimpleConfig> Config;
  std::unique_ptr<TXMLTag> CustomConfig;  // raw subtree, kept as read
};

class TvxPlugins : public TXMLObjectList {
  VX_XML_CLASS(TvxPlugins, TXMLObjectList)
  VX_XML_LIST_OF(TvxPlugin, "plugin")
};

// --- Packages -----------------------------------------------------------------------------------------

class TvxFileInfo : public TXMLObject {
  VX_XML_CLASS(TvxFileInfo, TXMLObject)
 public:
  std::string Name;
  int32_t Size = 0;
  std::string Version, FontName, AssemblyData;
  // CRC-32C of the packed file (package/FileDigest.h); "" when not recorded.
  std::string Crc32c;
};

class TvxFileInfos : public TXMLObjectList {
  VX_XML_CLASS(TvxFileInfos, TXMLObjectList)
  VX_XML_LIST_OF(TvxFileInfo, "fileinfo")
 public:
  TvxFileInfo* FindFileInfo(const std::string& name) const;
};

class TvxPackage : public TXMLObject {
  VX_XML_CLASS(TvxPackage, TXMLObject)
 public:
  std::string ID;
  bool Main = false;
  std::string FileName;
  std::unique_ptr<TvxComponents> Components;
  std::unique_ptr<TvxPlugins> Plugins;
  std::unique_ptr<TvxVariables> Variables;
  std::unique_ptr<TvxFileInfos> FileInfos;
  std::string TempPath, FullFileName;
  bool Needed = false;
  bool Prepared = false;
  int32_t PresetupSize = 0;
  int32_t DataSize = 0;
  int32_t Flags = 0;  // package flags, a plain number
};

class TvxPackages : public TXMLObjectList {
  VX_XML_CLASS(TvxPackages, TXMLObjectList)
  VX_XML_LIST_OF(TvxPackage, "package")
 public:
  TvxPackage* FindPackage(const std::string& id) const;
};

// --- Silent settings and actions -------------------------------------------------------------------

// How the objects of a project evaluate their expressions and conditions.
// The run session attaches its evaluator to the roots it owns (the main
// database, the silent settings); an object finds it through its owner
// chain. Without one (a project only being read or written), every
// condition holds and "#expression#" parts stay as written.
class TvxExpressionContext {
 public:
  virtual ~TvxExpressionContext() = default;
  // `database` is the package or main database whose variables the text
  // sees (null: the main database); `context` is passed to plug-in
  // functions as their Extra value. Errors end the run (see the evaluator).
  virtual void EvaluateText(TXMLObject* database, std::string_view text, bool parseIdentifiers,
                            std::string& result, void* context) = 0;
  virtual bool EvaluateCondition(TXMLObject* database, std::string_view text, bool parseIdentifiers) = 0;
  // Conditions are ignored until the run turns them on.
  bool ConditionsEnabled = false;
};

// A root of objects that evaluate expressions: it carries the context.
struct TvxExpressionRoot {
  TvxExpressionContext* Expressions = nullptr;
};

// The expression context of an object (null when its root has none).
TvxExpressionContext* ExpressionsOf(const TXMLObject* obj);

class TvxSilentSettings : public TXMLObject, public TvxExpressionRoot {
  VX_XML_CLASS(TvxSilentSettings, TXMLObject)
 public:
  std::unique_ptr<TvxVariables> Variables;
  std::unique_ptr<TvxFeatures> Features;
  std::string ActiveInstallType;
};

class TvxAction : public TvxConditionObject {
  VX_XML_CLASS(TvxAction, TvxConditionObject)
 public:
  std::string Expression;
};

class TvxActions : public TXMLObjectList, public TvxExpressionRoot {
  VX_XML_CLASS(TvxActions, TXMLObjectList)
  VX_XML_LIST_OF(TvxAction, "action")
 public:
  // Evaluates the available actions in order; the first whose expression
  // starts with "Return(" gives `result` and ends the evaluation.
  void Evaluate(void* context, std::string& result) const;
};

// --- The main database ------------------------------------------------------------------------------

// Who is told when the selection changes.
class TvxSelectionObserver {
 public:
  virtual ~TvxSelectionObserver() = default;
  virtual void FeatureChanged(TvxFeature& feature) = 0;
  virtual void InstallTypeChanged(TvxInstallType& type) = 0;
};

class TvxMainDatabase : public TXMLObject, public TvxExpressionRoot {
  VX_XML_CLASS(TvxMainDatabase, TXMLObject)
 public:
  std::string Version;
  std::unique_ptr<TvxVariables> Variables;
  std::unique_ptr<TvxPackages> Packages;
  std::unique_ptr<TvxComponents> Components;
  std::unique_ptr<TvxFeatures> Features;
  std::unique_ptr<TvxInstallTypes> InstallTypes;
  std::unique_ptr<TvxLaunchConditions> LaunchConditions;
  std::string Password, TempFontsPath, TempGACPath, TempBackupPath;
  TvxInstallState InstallState = TvxInstallState::isUnknown;
  std::string InstallStateData, ActiveInstallType;
  bool RebootOnFinish = false;

  // Told of every change of the selection (the run tells the plug-ins);
  // none by default.
  TvxSelectionObserver* SelectionObserver = nullptr;

  // Makes the install type with that ID the active one and selects exactly
  // its features. False (nothing changed) when it is unknown or unavailable.
  bool SelectInstallType(const std::string& id);
  // Selects or deselects one feature; true when its selection now equals
  // `value` (a required feature cannot be deselected).
  bool SetFeatureSelected(const std::string& id, bool value);
};

// --- Module-level operations --------------------------------------------------------------------------

// Whether an object's condition holds. True while conditions are disabled,
// when the condition is empty, when its root has no expression context,
// and for objects that carry no condition.
bool IsAvailable(const TXMLObject* obj);
// The database (TvxPackage or TvxMainDatabase) whose variables the
// object's expressions see; null when the owner chain ends without one.
TXMLObject* OwningDatabase(const TXMLObject* obj);
// The main database that (directly or indirectly) owns the object.
TvxMainDatabase* MainDatabase(const TXMLObject* obj);

// Selects or deselects a feature and propagates through sub-features,
// Depends and Excepts (see VXClasses.cpp).
void SetSelected(TvxFeature& feature, bool value);
// Recomputes partial states bottom-up; returns the list's aggregate state.
int UpdateState(TvxFeatures& list);
// Calls `visit` for every available feature of the tree in pre-order
// (unavailable features are skipped with their sub-features).
void ForEachFeature(const TvxFeatures& list, const std::function<void(TvxFeature&)>& visit);

// Loads `text` (root "actions") into a temporary TvxActions and evaluates
// it with `expressions`.
void EvaluateActions(TvxExpressionContext& expressions, std::string_view text, void* context,
                     std::string& result);

}  // namespace vx
