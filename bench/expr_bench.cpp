// Evaluations per second of a typical item condition, with its variables
// looked up through the evaluator's expansion hook in a table of a few
// hundred variables, with the values already written in, and -- what the
// engine does -- against a project database of a few hundred variables
// through the real variables layer and function set.
//
//   expr_bench [seconds per case]
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <string_view>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "expr/Evaluator.h"
#include "expr/Functions.h"

namespace {

using Clock = std::chrono::steady_clock;

// The installer's function names in their order, so that name lookups scan
// a table of the real size; only Length does anything here.
const char* const kFunctionNames[] = {
    "Iif", "FilePath", "FileName", "NormalPath", "FileVersion", "FileDate", "FileExists", "FolderExists",
    "CompareVersion", "CompareDate", "CompareText", "RegKeyExists", "RegParamExists", "RegParam", "AskUser",
    "SubStr", "FindSubStr", "Length", "FileSize", "Round", "RenameFile", "ActiveInstallType", "FeatureEnabled",
    "DotNetInstalled", "Return", "AbortInstall", "SuspendInstall", "ResumeInstall", "SetVariable", "GetVariable",
    "SetLanguage", "SetInstallType", "SetPassword", "HasAdminRights", "ParseText", "ShortFileName",
    "WindowExists", "MutexExists"};

struct Rate {
  double wall;  // evaluations per second of elapsed time
  double cpu;   // per second of processor time of this process
};

// Elapsed time counts whatever else runs on the machine; processor time
// tells what one free core would do.
Rate Measure(vx::TvxEvaluator& ev, const std::string& expr, bool expand, double seconds, const char* expect) {
  std::string r;
  ev.Calc(nullptr, expr, expand, 0, r);
  if (r != expect) {
    std::fprintf(stderr, "unexpected result \"%s\" for %s\n", r.c_str(), expr.c_str());
    std::exit(1);
  }
  long long n = 0;
  std::clock_t cpuStart = std::clock();
  auto start = Clock::now();
  auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point now;
  do {
    for (int k = 0; k < 1000; ++k) ev.Calc(nullptr, expr, expand, 0, r);
    n += 1000;
    now = Clock::now();
  } while (now < until);
  double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  return {double(n) / std::chrono::duration<double>(now - start).count(), cpu > 0 ? double(n) / cpu : 0};
}

Rate MeasureDb(vx::TvxEvaluator& ev, vx::TXMLObject* db, const std::string& expr, double seconds,
               const char* expect) {
  std::string r;
  ev.Calc(db, expr, true, 0, r);
  if (r != expect) {
    std::fprintf(stderr, "unexpected result \"%s\" for %s\n", r.c_str(), expr.c_str());
    std::exit(1);
  }
  long long n = 0;
  std::clock_t cpuStart = std::clock();
  auto start = Clock::now();
  auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point now;
  do {
    for (int k = 0; k < 1000; ++k) ev.Calc(db, expr, true, 0, r);
    n += 1000;
    now = Clock::now();
  } while (now < until);
  double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  return {double(n) / std::chrono::duration<double>(now - start).count(), cpu > 0 ? double(n) / cpu : 0};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (seconds <= 0) seconds = 1.0;

  vx::TvxEvaluator ev;
  for (int i = 0; i < 38; ++i) {
    if (std::string_view(kFunctionNames[i]) == "Length") {
      ev.AddFunction(kFunctionNames[i], 1,
                     [](vx::TvxEvaluator&, const vx::TkqFunction&, const vx::TkqParams* p, const vx::TvxEvalData&,
                        std::string& r) { r = std::to_string((*p)[0].size()); });
    } else {
      ev.AddFunction(kFunctionNames[i], 1, nullptr);
    }
  }

  struct Case {
    const char* label;
    const char* expr;
    bool expand;
    const char* expect;
  } cases[] = {
      {"values written in", "Length(\"MyApplication\") > 3 and 2.5 >= 2 or not 0", false, "1"},
      {"simple comparison", "2.5 = 2.5", false, "1"},
  };
  bool ok = true;
  for (const Case& c : cases) {
    Rate rate = Measure(ev, c.expr, c.expand, seconds, c.expect);
    std::printf("%-28s %10.0f/s elapsed %10.0f/s processor   %s\n", c.label, rate.wall, rate.cpu, c.expr);
    if (rate.cpu < 1e6) ok = false;
  }

  // The engine's own path: the project database, the variables layer (the
  // referenced variables sit behind three hundred others, as project
  // variables come before the session's), the installer's functions and
  // the database's condition hook, with conditions enabled.
  vx::TvxMainDatabase db;
  for (int i = 0; i < 300; ++i) {
    vx::TvxVariable* v = db.Variables->AddNew();
    v->Name = "ProjectVariable" + std::to_string(i);
    v->Value = i % 3 ? "value " + std::to_string(i) : "%ProjectVariable" + std::to_string(i + 1) + "%\\sub";
  }
  vx::SetVariable(&db, "Name", "MyApplication");
  vx::SetVariable(&db, "Version", "2.5");
  vx::SetVariable(&db, "Silent", "0");
  vx::TvxEvaluator main;
  vx::RegisterInstallerFunctions(main);
  main.SetMainDatabase(&db);
  main.ConditionsEnabled = true;
  db.Expressions = &main;
  struct DbCase {
    const char* label;
    const char* expr;
    const char* expect;
  } dbCases[] = {
      {"project database, condition", "Length(%Name%) > 3 and %Version% >= 2 or not %Silent%", "1"},
      {"project database, comparison", "%Version% = 2.5", "1"},
  };
  for (const DbCase& c : dbCases) {
    Rate rate = MeasureDb(main, &db, c.expr, seconds, c.expect);
    std::printf("%-28s %10.0f/s elapsed %10.0f/s processor   %s\n", c.label, rate.wall, rate.cpu, c.expr);
    if (rate.cpu < 1e6) ok = false;
  }
  std::printf("%s: at least 1000000 evaluations per processor second\n", ok ? "met" : "NOT met");
  return 0;
}
