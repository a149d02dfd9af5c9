// libFuzzer target for the text expansion of the variables layer, with the
// real evaluator and function set behind "#expression#". Any project texts
// must end in a text or an evaluation error -- never a crash, a hang or a
// stack overflow -- and every expansion must leave the nesting depth at 0.
//
// Input: lines; every line but the last defines a variable "NAME=VALUE"
// (a leading "!" sets dont_parse, "~" dont_parse_identifiers, "?" gives
// the variable the condition "%NAME% = 1"), the last line is the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "database/Variables.h"
#include "expr/Functions.h"
#include "system/Errors.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

vx::TvxEvaluator* g_evaluator = nullptr;

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  std::string root = (std::filesystem::temp_directory_path() / "vx-variables-fuzz").string();
  std::filesystem::remove_all(root);
  static vx::SandboxHost host(root);
  vx::SetCurrentHost(&host);
  vx::SetUnattendedAnswers(true, {});
  static vx::TvxEvaluator evaluator;
  vx::RegisterInstallerFunctions(evaluator);
  evaluator.ConditionsEnabled = true;
  g_evaluator = &evaluator;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines = vx::SplitString(input, '\n');
  if (lines.size() > 17) return 0;
  vx::TvxMainDatabase db;
  g_evaluator->SetMainDatabase(&db);
  db.Expressions = g_evaluator;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    std::string line = lines[i];
    vx::TvxVariable* v = db.Variables->AddNew();
    while (!line.empty() && (line[0] == '!' || line[0] == '~' || line[0] == '?')) {
      if (line[0] == '!') v->Flags.Include(vx::TvxFlag::dont_parse);
      if (line[0] == '~') v->Flags.Include(vx::TvxFlag::dont_parse_identifiers);
      if (line[0] == '?') v->Condition = "%" + line.substr(1, line.find('=') - 1) + "% = 1";
      line.erase(0, 1);
    }
    size_t eq = line.find('=');
    v->Name = line.substr(0, eq);
    v->Value = eq == std::string::npos ? "" : line.substr(eq + 1);
  }
  const std::string& text = lines.back();
  try {
    vx::ExpandString(&db, text);
    vx::ExpandText(&db, text, true, false);
  } catch (const vx::ESilentAbort&) {
  } catch (const vx::EEngineError&) {
  }
  // The nesting depth is back at 0: a plain reference expands normally.
  db.Variables->Clear();
  vx::SetVariable(&db, "Probe", "ok");
  if (vx::ExpandString(&db, "%Probe%") != "ok") {
    std::fprintf(stderr, "expansion state left behind\n");
    std::abort();
  }
  g_evaluator->SetMainDatabase(nullptr);
  return 0;
}
