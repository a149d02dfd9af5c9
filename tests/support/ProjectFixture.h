// A test machine, a project database and the evaluator wired to it, as the
// engine has them at start-up; message boxes take their default button
// unless a test gives answers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "expr/Functions.h"
#include "support/TestMachine.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

#ifndef _WIN32
#include "system/sandbox/SandboxHost.h"
#endif

namespace vxtest {

// What the installer's functions act on, as each test wants it (by default
// what a run without a session gives).
struct TestServices : vx::TvxInstallerServices {
  std::function<void()> abortInstall, suspendInstall, resumeInstall;
  std::function<void(const std::string&)> logNewFile;
  std::function<vx::WindowHandle()> activeWindow;
  std::function<void(vx::TvxMainDatabase&, const std::string&)> setLanguage;
  std::function<bool(const std::string&)> checkPassword;

  void AbortInstall() override {
    if (abortInstall) abortInstall();
  }
  void SuspendInstall() override {
    if (suspendInstall) suspendInstall();
  }
  void ResumeInstall() override {
    if (resumeInstall) resumeInstall();
  }
  void LogNewFile(const std::string& file) override {
    if (logNewFile) logNewFile(file);
  }
  vx::WindowHandle ActiveWindow() override { return activeWindow ? activeWindow() : 0; }
  void SetLanguage(vx::TvxMainDatabase& database, const std::string& code) override {
    if (setLanguage) setLanguage(database, code);
    else vx::TvxInstallerServices::SetLanguage(database, code);
  }
  bool CheckPassword(const std::string& password) override { return checkPassword && checkPassword(password); }
};

class ProjectTest : public ::testing::Test {
 protected:
  explicit ProjectTest(const std::string& kind = "xp") : machine_(std::make_unique<TestMachine>(kind)) {}

  void SetUp() override {
    prompts.SetUnattendedAnswers(true, {});
    vx::RegisterInstallerFunctions(evaluator);
    evaluator.SetMainDatabase(&db);
    evaluator.SetServices(&services);
    evaluator.SetPrompts(&prompts);
    evaluator.ConditionsEnabled = true;
    db.Expressions = &evaluator;
  }
  void TearDown() override {
    if (!regKey_.empty()) vx::RegRemoveKey(regKey_, true);
  }

  vx::TvxVariable& Var(const std::string& name, const std::string& value, const std::string& condition = "") {
    vx::TvxVariable* v = db.Variables->AddNew();
    v->Name = name;
    v->Value = value;
    v->Condition = condition;
    return *v;
  }
  std::string Expand(const std::string& text) { return vx::ExpandString(&db, text); }
  std::string Eval(const std::string& expr) { return evaluator.CalcExpression(&db, expr); }
  // Evaluates without the error box: errors propagate.
  std::string Calc(const std::string& expr) {
    std::string r;
    evaluator.Calc(&db, expr, true, 0, r);
    return r;
  }

  // A registry key of this test under HKCU, removed at the end.
  const std::string& TestKey() {
    if (regKey_.empty())
      regKey_ = "HKCU\\Software\\VXTest\\" + vx::RegUniqueValueName("HKCU\\Software\\VXTest", "K");
    return regKey_;
  }

  vx::Host& Host() { return vx::CurrentHost(); }
  TestMachine& Machine() { return *machine_; }
  const std::string& Scratch() const { return machine_->Scratch(); }

#ifndef _WIN32
  // Opens the sandbox machine again with lines added to machine.ini (its
  // facts are read when a host opens the machine).
  vx::SandboxHost& ReopenWith(const std::string& iniLines) {
    std::string ini = machine_->Root() + "/machine.ini";
    std::FILE* f = std::fopen(ini.c_str(), "ab");
    std::fputs(("\r\n" + iniLines + "\r\n").c_str(), f);
    std::fclose(f);
    scope_.reset();
    reopened_ = std::make_unique<vx::SandboxHost>(machine_->Root());
    scope_ = std::make_unique<vx::ScopedHost>(*reopened_);
    return *reopened_;
  }
#endif

  vx::TvxMainDatabase db;
  vx::RunPrompts prompts;
  vx::TvxEvaluator evaluator;
  TestServices services;

 private:
  std::unique_ptr<TestMachine> machine_;
  std::string regKey_;
#ifndef _WIN32
  std::unique_ptr<vx::SandboxHost> reopened_;
#else
  std::unique_ptr<vx::Host> reopened_;
#endif
  std::unique_ptr<vx::ScopedHost> scope_;
};

}  // namespace vxtest
