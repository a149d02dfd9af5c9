#include "database/VXClasses.h"

#include "system/kqStrUtils.h"

namespace vx {

// --- Enumerations ------------------------------------------------------------------

#define VX_ENUM_INFO(Type, ...)                        \
  const TEnumInfo& EnumInfo(Type) {                    \
    static const TEnumInfo info{{__VA_ARGS__}};        \
    return info;                                       \
  }

VX_ENUM_INFO(TvxFlag, "dont_log", "no_version", "reg_server", "reg_font", "dont_ask", "dont_overwrite", "external",
             "shared", "dont_wait", "check_exitcode", "encrypt", "add_path", "sys_envvar", "dont_parse",
             "dont_parse_identifiers")
VX_ENUM_INFO(TvxInstallAction, "add", "remove")
VX_ENUM_INFO(TvxRegType, "str", "int", "bin", "mstr")
VX_ENUM_INFO(TvxShowCmd, "scNormal", "scMin", "scMax", "scHide")
VX_ENUM_INFO(TvxWhenStart, "after_install", "before_install", "before_uninstall", "after_uninstall",
             "before_dialogs")
VX_ENUM_INFO(TvxDSType, "dstUser", "dstSystem")
VX_ENUM_INFO(TvxNTServiceType, "stWin32Own", "stWin32Share", "stKernelDrv", "stFileDrv")
VX_ENUM_INFO(TvxNTServiceStartType, "stAuto", "stBoot", "stManual", "stSystem", "stDisabled")
VX_ENUM_INFO(TvxNTServiceErrorControl, "ecNormal", "ecIgnore", "ecSevere", "ecCritical")
VX_ENUM_INFO(TvxNTServiceAction, "saInstall", "saUninstall", "saStart", "saStop")
VX_ENUM_INFO(TvxVarType, "vtNormal", "vtReg", "vtIni", "vtEnvVar")
VX_ENUM_INFO(TvxInstallState, "isUnknown", "isRunAppBeforeDialogs", "isRunAppBeforeInstall", "isRegServers",
             "isRunAppAfterInstall")

// --- Property tables ---------------------------------------------------------------------
// Declaration order; the XML order is the name order of kqXMLObject.

VX_XML_CLASS_DEF(TvxConditionObject, TXMLObject, Prop("Condition", &TvxConditionObject::Condition))

VX_XML_CLASS_DEF(TvxInstallationItem, TvxConditionObject,
                 Prop("ID", &TvxInstallationItem::ID),
                 Prop("Flags", &TvxInstallationItem::Flags),
                 Prop("Action", &TvxInstallationItem::Action))

VX_XML_CLASS_DEF(TvxFile, TvxInstallationItem,
                 Prop("Src", &TvxFile::Src),
                 Prop("Dst", &TvxFile::Dst))

VX_XML_CLASS_DEF(TvxReg, TvxInstallationItem,
                 Prop("Key", &TvxReg::Key),
                 Prop("Param", &TvxReg::Param),
                 Prop("Value", &TvxReg::Value),
                 Prop("ParamType", &TvxReg::ParamType).As("type"))

VX_XML_CLASS_DEF(TvxIni, TvxInstallationItem,
                 Prop("IniFile", &TvxIni::IniFile).As("file"),
                 Prop("Section", &TvxIni::Section),
                 Prop("Param", &TvxIni::Param),
                 Prop("Value", &TvxIni::Value))

VX_XML_CLASS_DEF(TvxShortcut, TvxInstallationItem,
                 Prop("Name", &TvxShortcut::Name),
                 Prop("CmdLine", &TvxShortcut::CmdLine),
                 Prop("Arg", &TvxShortcut::Arg),
                 Prop("WorkDir", &TvxShortcut::WorkDir),
                 Prop("ShowCmd", &TvxShortcut::ShowCmd).Prefix("sc"),
                 Prop("IconFile", &TvxShortcut::IconFile),
                 Prop("Icon", &TvxShortcut::Icon),
                 Prop("Hotkey", &TvxShortcut::Hotkey),
                 Prop("Description", &TvxShortcut::Description))

VX_XML_CLASS_DEF(TvxRunApp, TvxInstallationItem,
                 Prop("CmdLine", &TvxRunApp::CmdLine),
                 Prop("Arg", &TvxRunApp::Arg),
                 Prop("WorkDir", &TvxRunApp::WorkDir),
                 Prop("ShowCmd", &TvxRunApp::ShowCmd).Prefix("sc"),
                 Prop("Msg", &TvxRunApp::Msg),
                 Prop("WhenStart", &TvxRunApp::WhenStart))

VX_XML_CLASS_DEF(TvxFiles, TXMLObjectList)
VX_XML_CLASS_DEF(TvxRegistry, TXMLObjectList)
VX_XML_CLASS_DEF(TvxIniFiles, TXMLObjectList)
VX_XML_CLASS_DEF(TvxShortcuts, TXMLObjectList)
VX_XML_CLASS_DEF(TvxRunApps, TXMLObjectList)

VX_XML_CLASS_DEF(TvxODBCAttribute, TvxConditionObject,
                 Prop("Name", &TvxODBCAttribute::Name),
                 Prop("Value", &TvxODBCAttribute::Value))

VX_XML_CLASS_DEF(TvxODBCAttributes, TXMLParamList)

VX_XML_CLASS_DEF(TvxODBCDataSource, TvxInstallationItem,
                 Prop("DSType", &TvxODBCDataSource::DSType).As("type").Prefix("dst"),
                 Prop("Driver", &TvxODBCDataSource::Driver),
                 Prop("Name", &TvxODBCDataSource::Name),
                 Prop("Attributes", &TvxODBCDataSource::Attributes))

VX_XML_CLASS_DEF(TvxODBCDriver, TvxInstallationItem,
                 Prop("Name", &TvxODBCDriver::Name),
                 Prop("DriverDLL", &TvxODBCDriver::DriverDLL),
                 Prop("SetupDLL", &TvxODBCDriver::SetupDLL),
                 Prop("Attributes", &TvxODBCDriver::Attributes))

VX_XML_CLASS_DEF(TvxODBCTranslator, TvxInstallationItem,
                 Prop("Name", &TvxODBCTranslator::Name),
                 Prop("TranslatorDLL", &TvxODBCTranslator::TranslatorDLL),
                 Prop("SetupDLL", &TvxODBCTranslator::SetupDLL))

VX_XML_CLASS_DEF(TvxODBCDataSources, TXMLObjectList)
VX_XML_CLASS_DEF(TvxODBCDrivers, TXMLObjectList)
VX_XML_CLASS_DEF(TvxODBCTranslators, TXMLObjectList)

VX_XML_CLASS_DEF(TvxODBC, TXMLObject,
                 Prop("DataSources", &TvxODBC::DataSources),
                 Prop("Drivers", &TvxODBC::Drivers),
                 Prop("Translators", &TvxODBC::Translators))

VX_XML_CLASS_DEF(TvxNTServiceDepend, TvxConditionObject,
                 Prop("Name", &TvxNTServiceDepend::Name),
                 Prop("Group", &TvxNTServiceDepend::Group))

VX_XML_CLASS_DEF(TvxNTServiceDepends, TXMLObjectList)

VX_XML_CLASS_DEF(TvxNTService, TvxInstallationItem,
                 Prop("Name", &TvxNTService::Name),
                 Prop("DisplayName", &TvxNTService::DisplayName),
                 Prop("ServiceType", &TvxNTService::ServiceType).As("type").Prefix("st"),
                 Prop("Interactive", &TvxNTService::Interactive),
                 Prop("Start", &TvxNTService::Start).Prefix("st"),
                 Prop("ErrorControl", &TvxNTService::ErrorControl).Prefix("ec"),
                 Prop("CmdLine", &TvxNTService::CmdLine),
                 Prop("Arg", &TvxNTService::Arg),
                 Prop("Group", &TvxNTService::Group),
                 Prop("Tag", &TvxNTService::Tag),
                 Prop("Account", &TvxNTService::Account),
                 Prop("Password", &TvxNTService::Password),
                 Prop("Description", &TvxNTService::Description),
                 Prop("Depends", &TvxNTService::Depends),
                 Prop("InstallActions", &TvxNTService::InstallActions).Prefix("sa"),
                 Prop("UninstallActions", &TvxNTService::UninstallActions).Prefix("sa"))

VX_XML_CLASS_DEF(TvxNTServices, TXMLObjectList)

VX_XML_CLASS_DEF(TvxComponent, TvxConditionObject,
                 Prop("ID", &TvxComponent::ID, &TvxComponent::SetID),
                 Prop("KeyItemID", &TvxComponent::KeyItemID),
                 Prop("Name", &TvxComponent::Name),
                 Prop("Package", &TvxComponent::Package),
                 Prop("Files", &TvxComponent::Files),
                 Prop("Registry", &TvxComponent::Registry),
                 Prop("IniFiles", &TvxComponent::IniFiles),
                 Prop("Shortcuts", &TvxComponent::Shortcuts),
                 Prop("RunApps", &TvxComponent::RunApps),
                 Prop("ODBC", &TvxComponent::ODBC),
                 Prop("Services", &TvxComponent::Services))

VX_XML_CLASS_DEF(TvxComponents, TXMLObjectList)

VX_XML_CLASS_DEF(TvxFeature, TvxConditionObject,
                 Prop("ID", &TvxFeature::ID),
                 Prop("Name", &TvxFeature::Name),
                 Prop("Description", &TvxFeature::Description),
                 Prop("Required", &TvxFeature::Required),
                 Prop("Features", &TvxFeature::Features),
                 Prop("Depends", &TvxFeature::Depends),
                 Prop("Excepts", &TvxFeature::Excepts),
                 Prop("Components", &TvxFeature::Components))

VX_XML_CLASS_DEF(TvxFeatures, TXMLObjectList)

VX_XML_CLASS_DEF(TvxInstallType, TvxConditionObject,
                 Prop("ID", &TvxInstallType::ID),
                 Prop("Name", &TvxInstallType::Name),
                 Prop("Description", &TvxInstallType::Description),
                 Prop("Features", &TvxInstallType::Features),
                 Prop("Default", &TvxInstallType::Default),
                 Prop("Custom", &TvxInstallType::Custom))

VX_XML_CLASS_DEF(TvxInstallTypes, TXMLObjectList)

VX_XML_CLASS_DEF(TvxVariable, TvxInstallationItem,
                 Prop("Name", &TvxVariable::Name),
                 Prop("Value", &TvxVariable::Value),
                 Prop("DefValue", &TvxVariable::DefValue),
                 Prop("RegKey", &TvxVariable::RegKey),
                 Prop("RegParam", &TvxVariable::RegParam),
                 Prop("IniFile", &TvxVariable::IniFile),
                 Prop("IniSection", &TvxVariable::IniSection),
                 Prop("IniParam", &TvxVariable::IniParam),
                 Prop("VarType", &TvxVariable::VarType).As("type").Prefix("vt"))

VX_XML_CLASS_DEF(TvxVariables, TXMLParamList)

VX_XML_CLASS_DEF(TvxLaunchCondition, TvxConditionObject, Prop("Msg", &TvxLaunchCondition::Msg))

VX_XML_CLASS_DEF(TvxLaunchConditions, TXMLObjectList)

VX_XML_CLASS_DEF(TvxParam, TXMLObject,
                 Prop("Name", &TvxParam::Name),
                 Prop("Value", &TvxParam::Value))

VX_XML_CLASS_DEF(TvxParamGroup, TXMLObjectList, Prop("Name", &TvxParamGroup::Name))

VX_XML_CLASS_DEF(TvxPluginSimpleConfig, TXMLObjectList,
                 Prop("ParamGroup", &TvxPluginSimpleConfig::ParamGroup))

VX_XML_CLASS_DEF(TvxPlugin, TvxConditionObject,
                 Prop("ID", &TvxPlugin::ID),
                 Prop("ConfigFile", &TvxPlugin::ConfigFile),
                 Prop("DebugDll", &TvxPlugin::DebugDll),
                 Prop("Config", &TvxPlugin::Config),
                 Prop("CustomConfig", &TvxPlugin::CustomConfig))

VX_XML_CLASS_DEF(TvxPlugins, TXMLObjectList)

VX_XML_CLASS_DEF(TvxFileInfo, TXMLObject,
                 Prop("Name", &TvxFileInfo::Name),
                 Prop("Size", &TvxFileInfo::Size),
                 Prop("Version", &TvxFileInfo::Version),
                 Prop("FontName", &TvxFileInfo::FontName),
                 Prop("AssemblyData", &TvxFileInfo::AssemblyData),
                 Prop("Crc32c", &TvxFileInfo::Crc32c))

VX_XML_CLASS_DEF(TvxFileInfos, TXMLObjectList)

VX_XML_CLASS_DEF(TvxPackage, TXMLObject,
                 Prop("ID", &TvxPackage::ID),
                 Prop("Main", &TvxPackage::Main),
                 Prop("FileName", &TvxPackage::FileName),
                 Prop("Components", &TvxPackage::Components),
                 Prop("Plugins", &TvxPackage::Plugins),
                 Prop("Variables", &TvxPackage::Variables),
                 Prop("FileInfos", &TvxPackage::FileInfos),
                 Prop("TempPath", &TvxPackage::TempPath),
                 Prop("FullFileName", &TvxPackage::FullFileName),
                 Prop("Needed", &TvxPackage::Needed),
                 Prop("Prepared", &TvxPackage::Prepared),
                 Prop("PresetupSize", &TvxPackage::PresetupSize),
                 Prop("DataSize", &TvxPackage::DataSize),
                 Prop("Flags", &TvxPackage::Flags))

VX_XML_CLASS_DEF(TvxPackages, TXMLObjectList)

VX_XML_CLASS_DEF(TvxSilentSettings, TXMLObject,
                 Prop("Variables", &TvxSilentSettings::Variables),
                 Prop("Features", &TvxSilentSettings::Features),
                 Prop("ActiveInstallType", &TvxSilentSettings::ActiveInstallType))

VX_XML_CLASS_DEF(TvxAction, TvxConditionObject, Prop("Expression", &TvxAction::Expression))

VX_XML_CLASS_DEF(TvxActions, TXMLObjectList)

VX_XML_CLASS_DEF(TvxMainDatabase, TXMLObject,
                 Prop("Version", &TvxMainDatabase::Version),
                 Prop("Variables", &TvxMainDatabase::Variables),
                 Prop("Packages", &TvxMainDatabase::Packages),
                 Prop("Components", &TvxMainDatabase::Components),
                 Prop("Features", &TvxMainDatabase::Features),
                 Prop("InstallTypes", &TvxMainDatabase::InstallTypes),
                 Prop("LaunchConditions", &TvxMainDatabase::LaunchConditions),
                 Prop("Password", &TvxMainDatabase::Password),
                 Prop("TempFontsPath", &TvxMainDatabase::TempFontsPath),
                 Prop("TempGACPath", &TvxMainDatabase::TempGACPath),
                 Prop("TempBackupPath", &TvxMainDatabase::TempBackupPath),
                 Prop("InstallState", &TvxMainDatabase::InstallState),
                 Prop("InstallStateData", &TvxMainDatabase::InstallStateData),
                 Prop("ActiveInstallType", &TvxMainDatabase::ActiveInstallType),
                 Prop("RebootOnFinish", &TvxMainDatabase::RebootOnFinish))

// --- Availability and context ---------------------------------------------------------------

TvxExpressionContext* ExpressionsOf(const TXMLObject* obj) {
  for (const TXMLObject* o = obj; o; o = o->Owner)
    if (const auto* root = dynamic_cast<const TvxExpressionRoot*>(o))
      if (root->Expressions) return root->Expressions;
  return nullptr;
}

bool IsAvailable(const TXMLObject* obj) {
  if (!obj) return false;
  const auto* c = dynamic_cast<const TvxConditionObject*>(obj);
  if (!c || c->Condition.empty()) return true;
  TvxExpressionContext* expressions = ExpressionsOf(obj);
  if (!expressions || !expressions->ConditionsEnabled) return true;
  return expressions->EvaluateCondition(OwningDatabase(obj), c->Condition, true);
}

TvxMainDatabase* MainDatabase(const TXMLObject* obj) {
  for (const TXMLObject* o = obj; o; o = o->Owner)
    if (const auto* db = dynamic_cast<const TvxMainDatabase*>(o)) return const_cast<TvxMainDatabase*>(db);
  return nullptr;
}

TXMLObject* OwningDatabase(const TXMLObject* obj) {
  for (const TXMLObject* o = obj; o; o = o->Owner) {
    if (dynamic_cast<const TvxPackage*>(o) || dynamic_cast<const TvxMainDatabase*>(o))
      return const_cast<TXMLObject*>(o);
    if (const auto* component = dynamic_cast<const TvxComponent*>(o)) {
      TvxMainDatabase* db = MainDatabase(component);
      if (db && db->Packages)
        if (TvxPackage* package = db->Packages->FindPackage(component->Package)) return package;
    }
  }
  return nullptr;
}

// --- Lookups ----------------------------------------------------------------------------------

void TvxComponent::SetID(const std::string& id) {
  if (id == id_) return;
  id_ = id;
  if (Name.empty()) Name = id;
}

TvxPackage* TvxPackages::FindPackage(const std::string& id) const {
  for (int i = 0; i < Count(); ++i)
    if (auto* p = dynamic_cast<TvxPackage*>(&Get(i)); p && SameText(p->ID, id)) return p;
  return nullptr;
}

TvxFileInfo* TvxFileInfos::FindFileInfo(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (auto* f = dynamic_cast<TvxFileInfo*>(&Get(i)); f && SameText(f->Name, name)) return f;
  return nullptr;
}

TXMLObject* TvxVariables::FindParam(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    auto* v = dynamic_cast<TvxVariable*>(&Get(i));
    if (v && v->VarType != TvxVarType::vtEnvVar && SameText(v->Name, name) && IsAvailable(v)) return v;
  }
  return nullptr;
}

TvxFeature* TvxFeatures::FirstAvailable(int start) const {
  for (int i = start < 0 ? 0 : start; i < Count(); ++i)
    if (IsAvailable(&Get(i))) return &(*this)[i];
  return nullptr;
}

TvxFeature* TvxFeatures::FindFeature(const std::string& id, TvxFeature*& parent, TvxFeature*& next) const {
  next = nullptr;
  if (Count() == 0) return nullptr;
  std::string wanted = id;
  if (wanted.empty()) {
    TvxFeature* first = FirstAvailable(0);
    if (!first) return nullptr;
    wanted = first->ID;
  }
  for (int i = 0; i < Count(); ++i) {
    TvxFeature& item = (*this)[i];
    TvxFeature* candidate = parent;
    if (!IsAvailable(&item)) continue;
    TvxFeature* result = nullptr;
    if (SameText(item.ID, wanted)) {
      result = &item;
      if (!next && item.Features) next = item.Features->FirstAvailable(0);
    } else if (item.Features) {
      candidate = &item;
      result = item.Features->FindFeature(wanted, candidate, next);
    }
    if (result) {
      parent = candidate;
      if (!next && i != Count() - 1) next = FirstAvailable(i + 1);
      return result;
    }
  }
  return nullptr;
}

TvxFeature* TvxFeatures::FindFeature(const std::string& id) const {
  TvxFeature* parent = nullptr;
  TvxFeature* next = nullptr;
  return FindFeature(id, parent, next);
}

TvxInstallType* TvxInstallTypes::Active() const { return IndexOf(active_) >= 0 ? active_ : nullptr; }

TvxInstallType* TvxInstallTypes::FindInstallType(const std::string& id, TvxInstallType*& next) const {
  next = nullptr;
  std::string wanted = id;
  if (wanted.empty()) {
    int i = 0;
    while (i < Count() && !IsAvailable(&Get(i))) ++i;
    if (i == Count()) return nullptr;
    wanted = (*this)[i].ID;
  }
  for (int i = 0; i < Count(); ++i) {
    TvxInstallType& item = (*this)[i];
    if (!IsAvailable(&item) || !SameText(item.ID, wanted)) continue;
    for (int j = i + 1; j < Count(); ++j)
      if (IsAvailable(&Get(j))) {
        next = &(*this)[j];
        break;
      }
    return &item;
  }
  return nullptr;
}

// --- Feature selection ------------------------------------------------------------------------

void ForEachFeature(const TvxFeatures& list, const std::function<void(TvxFeature&)>& visit) {
  for (int i = 0; i < list.Count(); ++i) {
    TvxFeature& f = list[i];
    if (!IsAvailable(&f)) continue;
    visit(f);
    if (f.Features) ForEachFeature(*f.Features, visit);
  }
}

namespace {

// IDs of features excluded (through Excepts) during the current outermost
// selection operation; they cannot be selected again within it.
thread_local std::vector<std::string>* t_guard = nullptr;

// Creates the guard list when none exists and drops it at the end of the
// scope that created it.
class GuardScope {
 public:
  GuardScope() : owner_(t_guard == nullptr) {
    if (owner_) t_guard = &list_;
  }
  ~GuardScope() {
    if (owner_) t_guard = nullptr;
  }
  GuardScope(const GuardScope&) = delete;
  GuardScope& operator=(const GuardScope&) = delete;

 private:
  bool owner_;
  std::vector<std::string> list_;
};

bool InGuard(const std::string& id) {
  for (const std::string& g : *t_guard)
    if (SameText(g, id)) return true;
  return false;
}

void NotifyFeature(TvxFeature& feature) {
  TvxMainDatabase* db = MainDatabase(&feature);
  if (db && db->SelectionObserver) db->SelectionObserver->FeatureChanged(feature);
}

// Resolves a reference against the main database's feature tree. A
// reference without an ID names nothing.
TvxFeature* Resolve(TvxMainDatabase* db, const TvxFeature& reference) {
  if (!db || !db->Features || reference.ID.empty()) return nullptr;
  return db->Features->FindFeature(reference.ID);
}

// Deselects a feature even when it is required.
void ForceDeselect(TvxFeature& feature) {
  const bool required = feature.Required;
  feature.Required = false;
  try {
    SetSelected(feature, false);
  } catch (...) {
    feature.Required = required;
    throw;
  }
  feature.Required = required;
}

}  // namespace

void SetSelected(TvxFeature& feature, bool value) {
  if (!IsAvailable(&feature)) return;
  GuardScope guard;
  const int oldState = feature.State();
  if (feature.Required) value = true;
  TvxMainDatabase* db = MainDatabase(&feature);

  if (value) {
    if (InGuard(feature.ID)) return;
    if (feature.Excepts)
      for (int i = 0; i < feature.Excepts->Count(); ++i) {
        TvxFeature* excluded = Resolve(db, (*feature.Excepts)[i]);
        if (!excluded) continue;
        t_guard->push_back(excluded->ID);
        if (excluded->Selected) ForceDeselect(*excluded);
      }
  }

  feature.Selected = value;
  feature.Partial = false;
  if (feature.State() != oldState) NotifyFeature(feature);

  if (feature.Features)
    for (int i = 0; i < feature.Features->Count(); ++i) SetSelected((*feature.Features)[i], value);

  if (!value) {
    // Whatever depends on this feature goes with it.
    if (db && db->Features)
      ForEachFeature(*db->Features, [&](TvxFeature& other) {
        if (feature.ID.empty() || other.ID == feature.ID || !other.Selected || !other.Depends) return;
        for (int i = 0; i < other.Depends->Count(); ++i)
          if (SameText((*other.Depends)[i].ID, feature.ID)) {
            ForceDeselect(other);
            return;
          }
      });
  } else if (feature.Depends) {
    for (int i = 0; i < feature.Depends->Count(); ++i) {
      TvxFeature* needed = Resolve(db, (*feature.Depends)[i]);
      if (needed && !needed->Selected) SetSelected(*needed, true);
    }
  }
}

int UpdateState(TvxFeatures& list) {
  int result = -1;
  for (int i = 0; i < list.Count(); ++i) {
    TvxFeature& f = list[i];
    if (!IsAvailable(&f)) continue;
    // A feature none of whose sub-features is available keeps its own
    // state: aggregating an empty set would force it to "not selected".
    if (f.Features && f.Features->FirstAvailable(0)) {
      const int oldState = f.State();
      const int agg = UpdateState(*f.Features);
      f.Selected = agg != 0;
      f.Partial = agg == 2;
      if (f.State() != oldState) NotifyFeature(f);
    }
    const int state = f.State();
    if (result < 0)
      result = state;
    else if (state == 2 || state != result)
      result = 2;
  }
  return result < 0 ? 0 : result;
}

bool TvxMainDatabase::SelectInstallType(const std::string& id) {
  if (!InstallTypes || !Features) return false;
  auto* type = dynamic_cast<TvxInstallType*>(InstallTypes->FindByID(id));
  if (!type || !IsAvailable(type)) return false;
  InstallTypes->SetActive(type);
  ActiveInstallType = type->ID;
  for (int i = 0; i < Features->Count(); ++i) SetSelected((*Features)[i], false);
  {
    GuardScope guard;  // one guard list for all features of the type
    if (type->Features)
      for (int i = 0; i < type->Features->Count(); ++i)
        if (TvxFeature* f = Resolve(this, (*type->Features)[i])) SetSelected(*f, true);
  }
  UpdateState(*Features);
  if (SelectionObserver) SelectionObserver->InstallTypeChanged(*type);
  return true;
}

bool TvxMainDatabase::SetFeatureSelected(const std::string& id, bool value) {
  if (!Features) return false;
  TvxFeature* f = Features->FindFeature(id);
  if (!f) return false;
  SetSelected(*f, value);
  UpdateState(*Features);
  return f->Selected == value;
}

// --- Actions and plug-in configuration ---------------------------------------------------------

void TvxActions::Evaluate(void* context, std::string& result) const {
  result.clear();
  for (int i = 0; i < Count(); ++i) {
    const TvxAction& action = (*this)[i];
    if (!IsAvailable(&action)) continue;
    const std::string expression = Trim(action.Expression);
    std::string value;
    if (Expressions) Expressions->EvaluateText(nullptr, expression, true, value, context);
    if (StartsWithText(expression, "Return(")) {
      result = value;
      return;
    }
  }
}

void EvaluateActions(TvxExpressionContext& expressions, std::string_view text, void* context,
                     std::string& result) {
  TvxActions actions;
  actions.Expressions = &expressions;
  actions.LoadFromText(text, "actions");
  actions.Evaluate(context, result);
}

std::string TvxPluginSimpleConfig::GetParam(const std::string& group, const std::string& name,
                                            const std::string& def) const {
  auto* g = dynamic_cast<TvxParamGroup*>(FindByProp("Name", group));
  if (!g) return def;
  auto* p = dynamic_cast<TvxParam*>(g->FindByProp("Name", name));
  return p ? p->Value : def;
}

void TvxPluginSimpleConfig::GetGroupNames(std::vector<std::string>& names) const {
  names.clear();
  for (int i = 0; i < Count(); ++i) names.push_back(GetPropText(Get(i), "Name"));
}

void TvxPluginSimpleConfig::GetParamNames(const std::string& group, std::vector<std::string>& names) const {
  names.clear();
  auto* g = dynamic_cast<TvxParamGroup*>(FindByProp("Name", group));
  if (!g) return;
  for (int i = 0; i < g->Count(); ++i) names.push_back(GetPropText(g->Get(i), "Name"));
}

}  // namespace vx
