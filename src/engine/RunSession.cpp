#include "engine/RunSession.h"

#include <cstdlib>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Common.h"
#include "engine/Presetup.h"
#include "engine/Splash.h"
#include "expr/Functions.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "plugins/PlugImpl.h"
#include "plugins/VXPlugins.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "vxplugin.h"

namespace vx {

RunSession::RunSession(CommandLine commandLine, UnattendedAnswers answers)
    : commandLine_(std::move(commandLine)),
      db_(std::make_unique<TvxMainDatabase>()),
      silent_(std::make_unique<TvxSilentSettings>()),
      plugins_(this, &prompts_) {
  prompts_.SetUnattendedAnswers(answers.takeDefault, std::move(answers.rules));
  InstallHooks();
}

RunSession::~RunSession() = default;

// Points the layers below at this run: the project's expressions and
// conditions at the evaluator, the evaluator's functions at this session
// and the plug-ins, database changes at the plug-ins.
void RunSession::InstallHooks() {
  RegisterInstallerFunctions(evaluator_);
  evaluator_.SetMainDatabase(db_.get());
  evaluator_.SetServices(this);
  evaluator_.SetPluginCalls(&plugins_);
  evaluator_.SetPrompts(&prompts_);
  db_->Expressions = &evaluator_;
  silent_->Expressions = &evaluator_;
  db_->SelectionObserver = this;
  // The window that owns the engine's error boxes is the one the user
  // interface names.
  prompts_.SetActiveWindowSource(this);
}

// --- Services to the layers below ---------------------------------------------------------

WindowHandle RunSession::ActiveWindow() {
  return WindowHandle(plugins_.SendEventByName("CM_GETACTIVEWINDOW", 0, 0, false));
}

void RunSession::SetLanguage(const std::string& code) {
  vx::SetLanguage(*db_, code);
  prompts_.SetApplicationName(GetVariable("AppName", "Application"));
  plugins_.SendEvent(EV_LANGUAGECHANGED, reinterpret_cast<vx_param>(code.c_str()), 0, true);
}

void RunSession::SetLanguage(TvxMainDatabase& database, const std::string& code) {
  if (&database == db_.get()) SetLanguage(code);
  else TvxInstallerServices::SetLanguage(database, code);
}

std::vector<std::pair<std::string, std::string>> RunSession::LanguageNames() {
  std::vector<std::pair<std::string, std::string>> list;
  for (const TLanguage& l : languages_) list.emplace_back(l.Code, l.Name);
  return list;
}

std::string RunSession::LanguageCode() { return GetVariable("LangID", "ENU"); }

bool RunSession::CheckPassword(const std::string& password) {
  return vx::CheckPassword(password, GetVariable("PswCheckHash"));
}

bool RunSession::SetPassword(const std::string& password) {
  if (!CheckPassword(password)) return false;
  db_->Password = password;
  return true;
}

bool RunSession::PasswordValid() { return !HasPassword(GetVariable("PswCheckHash")) || CheckPassword(db_->Password); }

void RunSession::FeatureChanged(TvxFeature& f) {
  plugins_.SendEvent(EV_FEATURESTATECHANGED, reinterpret_cast<vx_param>(f.ID.c_str()), f.State(), true);
}

void RunSession::InstallTypeChanged(TvxInstallType& t) {
  plugins_.SendEvent(EV_INSTALLTYPECHANGED, reinterpret_cast<vx_param>(t.ID.c_str()), 0, true);
}

intptr_t RunSession::CrossThreadCall(uintptr_t block) { return intptr_t(plugins_.HandleCrossThreadCall(block)); }

intptr_t RunSession::QueryEndSession() { return installer_ && installer_->AllowEndOfSession() ? 1 : 0; }

void RunSession::SetMainWindow(WindowHandle window) {
  prompts_.SetMainWindow(window);
  plugins_.SetMainWindow(window);
}

intptr_t RunSession::AskForPackage(const std::string& name, char* folder) {
  return plugins_.SendEventByName("EV_GETPACKAGE", reinterpret_cast<vx_param>(name.c_str()),
                                  reinterpret_cast<vx_param>(folder), false);
}

int32_t RunSession::SilentMode() { return GetVariableInt(db_.get(), "SilentMode", 0); }

void RunSession::ShowSplash(const std::string& picture) { vx::ShowSplash(picture, prompts_.MainWindow()); }
void RunSession::CloseSplash() { vx::CloseSplash(); }
bool RunSession::SplashVisible() { return SplashShown(); }
void RunSession::ShowPreparationWindow(const std::string& folder, const std::string& name) {
  vx::ShowPreparationWindow(name, folder, prompts_.MainWindow());
}
bool RunSession::PreparationWindowVisible() { return vx::PreparationWindowVisible(); }
void RunSession::SetPreparationTitle(const std::string& name) { vx::SetPreparationTitle(name); }
void RunSession::SetPreparationProgress(int percent) { vx::SetPreparationProgress(percent); }
void RunSession::DestroyPreparationWindow() { vx::DestroyPreparationWindow(); }

// --- Variables, messages and events ----------------------------------------------------

std::string RunSession::GetVariable(const std::string& name, const std::string& defaultValue) {
  return vx::GetVariable(db_.get(), name, defaultValue);
}

void RunSession::SetVariable(const std::string& name, const std::string& value) {
  vx::SetVariable(db_.get(), name, value);
}

bool RunSession::GetBoolVariable(const std::string& name, bool defaultValue) {
  std::string v = Trim(GetVariable(name, defaultValue ? "1" : "0"));
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end) return defaultValue;
  return n != 0;
}

std::string RunSession::LanguageMessage(int number) { return vx::LanguageMessage(*db_, number); }

intptr_t RunSession::SendEvent(int32_t event, intptr_t param1, intptr_t param2, bool toAll) {
  return plugins_.SendEvent(event, param1, param2, toAll);
}

void RunSession::ShowStatus(const std::string& text) {
  plugins_.SendEventByName("CM_SHOWSTATUSTEXT", reinterpret_cast<vx_param>(text.c_str()), 750, false);
}

void RunSession::HideStatus() { plugins_.SendEventByName("CM_HIDESTATUSTEXT", 0, 0, false); }

void RunSession::AbortInstall() {
  state_.abort = true;
  plugins_.SendEvent(EV_ABORTINSTALL, 0, 0, true);
}

// MAKELONG(0, kind): the kind of items in the high word.
bool RunSession::SkipPhase(ItemKind kind) {
  return SendEvent(EV_BEFOREPROCESSITEMS, intptr_t(kind) << 16, 0, false) != 0;
}

void RunSession::PhaseDone(ItemKind kind) { SendEvent(EV_AFTERPROCESSITEMS, intptr_t(kind) << 16, 0, true); }

namespace {

// The record a file event carries to the plug-ins; it points into `file`.
VXFileItemRecord FileRecord(const FileItemEvent& file) {
  VXFileItemRecord record{};
  record.path = file.path.c_str();
  record.size = file.size;
  record.dosDateTime = file.dosDateTime;
  record.attributes = file.attributes;
  record.removal = file.removal ? 1 : 0;
  return record;
}

}  // namespace

bool RunSession::SkipFile(const FileItemEvent& file) {
  VXFileItemRecord record = FileRecord(file);
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_FILES) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::FileDecided(const FileItemEvent& file, bool skipped) {
  VXFileItemRecord record = FileRecord(file);
  SendEvent(EV_PROCESSITEM, skipped ? VX_FILE_SKIPPED : VX_FILE_WRITTEN, reinterpret_cast<vx_param>(&record), true);
}

void RunSession::FileDone(const FileItemEvent& file) {
  VXFileItemRecord record = FileRecord(file);
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_FILES) << 16, reinterpret_cast<vx_param>(&record), true);
}

namespace {

// The records of registry and INI item events; they point into the event.
VXRegistryItemRecord RegistryRecord(const RegistryItemEvent& item) {
  VXRegistryItemRecord record{};
  record.key = item.key.c_str();
  record.name = item.name.c_str();
  record.value = item.value.c_str();
  record.type = item.type;
  record.removal = item.removal ? 1 : 0;
  return record;
}

VXIniItemRecord IniRecord(const IniItemEvent& item) {
  VXIniItemRecord record{};
  record.file = item.file.c_str();
  record.section = item.section.c_str();
  record.key = item.key.c_str();
  record.value = item.value.c_str();
  record.removal = item.removal ? 1 : 0;
  return record;
}

}  // namespace

bool RunSession::SkipRegistryItem(const RegistryItemEvent& item) {
  VXRegistryItemRecord record = RegistryRecord(item);
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_REGISTRY) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::RegistryItemDone(const RegistryItemEvent& item) {
  VXRegistryItemRecord record = RegistryRecord(item);
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_REGISTRY) << 16, reinterpret_cast<vx_param>(&record), true);
}

bool RunSession::SkipIniItem(const IniItemEvent& item) {
  VXIniItemRecord record = IniRecord(item);
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_INI) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::IniItemDone(const IniItemEvent& item) {
  VXIniItemRecord record = IniRecord(item);
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_INI) << 16, reinterpret_cast<vx_param>(&record), true);
}

namespace {

// The record a shortcut event carries to the plug-ins; it points into `shortcut`.
VXShortcutItemRecord ShortcutRecord(const ShortcutItemEvent& shortcut) {
  VXShortcutItemRecord record{};
  record.name = shortcut.name.c_str();
  record.commandLine = shortcut.commandLine.c_str();
  record.arguments = shortcut.arguments.c_str();
  record.workingFolder = shortcut.workingFolder.c_str();
  record.showCode = shortcut.showCode;
  record.iconFile = shortcut.iconFile.c_str();
  record.iconIndex = shortcut.iconIndex;
  record.hotkey = shortcut.hotkey;
  record.description = shortcut.description.c_str();
  record.removal = shortcut.removal ? 1 : 0;
  return record;
}

}  // namespace

bool RunSession::SkipShortcut(const ShortcutItemEvent& shortcut) {
  VXShortcutItemRecord record = ShortcutRecord(shortcut);
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_SHORTCUTS) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::ShortcutDone(const ShortcutItemEvent& shortcut) {
  VXShortcutItemRecord record = ShortcutRecord(shortcut);
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_SHORTCUTS) << 16, reinterpret_cast<vx_param>(&record), true);
}

// Servers (item kind 4): the file and 0.
bool RunSession::SkipServer(const std::string& path) {
  VXServerItemRecord record{path.c_str(), 0};
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_SERVERS) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::ServerDone(const std::string& path) {
  VXServerItemRecord record{path.c_str(), 0};
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_SERVERS) << 16, reinterpret_cast<vx_param>(&record), true);
}

// Fonts (item kind 5) carry no record.
bool RunSession::SkipFont() { return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_FONTS) << 16, 0, false) != 0; }

void RunSession::FontDone() { SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_FONTS) << 16, 0, true); }

namespace {

// The record a program event carries to the plug-ins; it points into `program`.
VXProgramItemRecord ProgramItemRecord(const ProgramItemEvent& program) {
  VXProgramItemRecord record{};
  record.commandLine = program.commandLine.c_str();
  record.arguments = program.arguments.c_str();
  record.workingFolder = program.workingFolder.c_str();
  record.showCode = program.showCode;
  record.message = program.message.c_str();
  record.moment = program.moment;
  return record;
}

}  // namespace

bool RunSession::SkipProgram(const ProgramItemEvent& program) {
  VXProgramItemRecord record = ProgramItemRecord(program);
  return SendEvent(EV_BEFOREPROCESSITEM, intptr_t(VX_ITEM_PROGRAMS) << 16, reinterpret_cast<vx_param>(&record),
                   false) != 0;
}

void RunSession::ProgramDone(const ProgramItemEvent& program) {
  VXProgramItemRecord record = ProgramItemRecord(program);
  SendEvent(EV_AFTERPROCESSITEM, intptr_t(VX_ITEM_PROGRAMS) << 16, reinterpret_cast<vx_param>(&record), true);
}

int RunSession::VersionConflict(const std::string& destination) {
  return int(SendEvent(EV_VERSIONCONFLICT, reinterpret_cast<vx_param>(destination.c_str()), 0, false));
}

void RunSession::FileProgress(int filePercent, int totalPercent) {
  SendEvent(EV_FILEINSTALLPROGRESS, filePercent, totalPercent, true);
}

bool RunSession::LocatePackage(const std::string& name, std::string& folder) {
  char buffer[260] = {};
  folder.copy(buffer, sizeof buffer - 1);
  if (AskForPackage(name, buffer) == 0) return false;
  buffer[sizeof buffer - 1] = 0;
  folder = IncludeTrailingBackslash(buffer);
  return true;
}

std::string RunSession::LanguageFile() { return LanguageFilePath(*db_); }

void RunSession::SuspendInstall() {
  if (installer_) installer_->SuspendWorker();
}

void RunSession::ResumeInstall() {
  if (installer_) installer_->ResumeWorker();
}

void RunSession::LogNewFile(const std::string& file) {
  if (installer_) installer_->LogNewFile(file);
}

void RunSession::AddLogRecord(const std::string& section, const std::string& record) {
  if (installer_) installer_->AddLogRecord(section, record);
}

}  // namespace vx
