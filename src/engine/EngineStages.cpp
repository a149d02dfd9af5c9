#include "engine/EngineStages.h"

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Common.h"
#include "plugins/VXPlugins.h"
#include "system/ResumeProgramName.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

std::string EngineStages::GetVariable(const std::string& name, const std::string& defaultValue) {
  return session_.GetVariable(name, defaultValue);
}

void EngineStages::SetVariable(const std::string& name, const std::string& value) { session_.SetVariable(name, value); }

std::string EngineStages::LanguageMessage(int number) { return session_.LanguageMessage(number); }

bool EngineStages::PrepareSession() {
  std::string settings = ChangeFileExt(session_.State().engineFile, ".sss");
  if (FileExists(settings)) session_.SilentSettings().LoadFromFile(settings, "silentsettings");
  if (!session_.State().resuming) ApplySilentSettings(session_.Database(), &session_.SilentSettings(), session_.Commands());
  DefineSessionValues(session_.Database(), session_.Commands(), session_.State().engineFile);
  return true;
}

bool EngineStages::ChooseLanguage() {
  BuildLanguageList(session_.Database(), session_.Languages());
  std::string code = vx::ChooseLanguage(session_.Database(), session_.Languages());
  if (!code.empty()) session_.SetLanguage(code);
  return true;
}

bool EngineStages::LoadPlugins() {
  if (session_.Database().Packages->Count() == 0) return true;
  return session_.Plugins().LoadPlugins((*session_.Database().Packages)[0]);
}

void EngineStages::LoadFurtherPlugins() {
  for (int i = 1; i < session_.Database().Packages->Count(); ++i) session_.Plugins().LoadPlugins((*session_.Database().Packages)[i]);
}

intptr_t EngineStages::SendEvent(int32_t event, intptr_t param, bool toAll) {
  return session_.SendEvent(event, param, 0, toAll);
}

void EngineStages::ShowStatus(const std::string& text) { session_.ShowStatus(text); }

void EngineStages::HideStatus() { session_.HideStatus(); }

void EngineStages::UnloadPlugins() { session_.Plugins().UnloadAll(); }

void EngineStages::MarkExecutableForDeletion(bool atReboot) {
  // The resume program removes itself: at the restart that follows, or by
  // a batch that waits until the process has ended. Only a program named
  // as the engine names the resume program is removed: a setup file someone
  // started with the switch stays, and an engine started by the launcher in
  // front of a setup file is the launcher's temporary copy, which the
  // launcher removes (together with itself when it is the resume program).
  std::string program = CurrentHost().ExecutablePath();
  std::string name = ExtractFileName(program);
  if (!VxIsResumeProgramName(name.data(), name.size())) return;
  if (atReboot) DeleteFileAtReboot(program);
  else StartSelfDeleteBatch(false);
}

void EngineStages::RestartWindows() { vx::RestartWindows(false); }

}  // namespace vx
