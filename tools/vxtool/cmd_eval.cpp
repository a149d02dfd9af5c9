// vxtool eval / expand: evaluate an expression or expand a text as the
// engine does, against a fresh project database holding the variables
// given on the command line.
//
//   vxtool eval [--var NAME=VALUE]... [--noexpand] [--machine DIR] EXPR
//   vxtool expand [--var NAME=VALUE]... [--machine DIR] TEXT
//
// File, registry and other machine functions work on the sandbox machine
// DIR, or on a throw-away Windows XP machine when none is given. Message
// boxes (AskUser) take their default button.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "commands.h"
#include "database/Variables.h"
#include "expr/Functions.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxHost.h"

namespace {

using vxtool::Args;
using vxtool::Usage;

struct Options {
  std::vector<std::pair<std::string, std::string>> vars;
  bool expand = true;
  std::string machine;
  std::string text;
};

// Parses the options common to both commands; false after a usage message.
// The one remaining argument is the text ("--" ends the options).
bool ParseOptions(const Args& args, bool allowNoExpand, const char* usage, Options& o, int& status) {
  std::vector<std::string> positional;
  status = vxtool::WalkOptions(args, 0, usage, positional, [&](const std::string& a, const auto& value) {
    const std::string* v = nullptr;
    if (a == "--var" && (v = value())) {
      size_t eq = v->find('=');
      if (v->empty() || eq == 0) return Usage("--var needs NAME=VALUE");
      o.vars.emplace_back(v->substr(0, eq), eq == std::string::npos ? std::string() : v->substr(eq + 1));
    } else if (a == "--noexpand" && allowNoExpand) {
      o.expand = false;
    } else if ((a == "--machine" || a == "-m") && (v = value())) {
      o.machine = *v;
    } else {
      return vxtool::kOptionUnknown;
    }
    return vxtool::kOptionTaken;
  });
  if (status != vxtool::kOptionTaken) return false;
  if (positional.size() != 1) {
    status = Usage(usage);
    return false;
  }
  o.text = positional[0];
  return true;
}

std::string FreshTempRoot() {
  std::mt19937_64 rng(uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path p = base / ("vxtool-eval-" + std::to_string(rng() % 1000000000ull));
    std::error_code ec;
    if (std::filesystem::create_directory(p, ec)) return p.string();
  }
  return "";
}

// The tool's expression context: the engine's evaluator, but an error
// travels as an exception to standard error instead of into a message box.
class ToolExpressions : public vx::TvxExpressionContext {
 public:
  explicit ToolExpressions(vx::TvxEvaluator& evaluator) : evaluator_(evaluator) {}
  void EvaluateText(vx::TXMLObject* database, std::string_view text, bool parse, std::string& result,
                    void* context) override {
    evaluator_.Calc(database ? database : evaluator_.MainDatabase(), text, parse, reinterpret_cast<intptr_t>(context),
                    result);
  }
  bool EvaluateCondition(vx::TXMLObject* database, std::string_view text, bool parse) override {
    std::string r;
    EvaluateText(database, text, parse, r, nullptr);
    return vx::IsTrue(r);
  }

 private:
  vx::TvxEvaluator& evaluator_;
};

// Runs `work` with the machine, the evaluator and a database holding the
// variables in place; errors of evaluation reach `work` as exceptions.
int WithSession(const Options& o, int (*work)(vx::TvxEvaluator& ev, vx::TvxMainDatabase& db, const Options& o)) {
  std::string tempRoot;
  if (o.machine.empty()) {
    tempRoot = FreshTempRoot();
    if (tempRoot.empty() || !vx::SandboxHost::InitMachine(tempRoot, vx::MachineKind::XP)) {
      std::fprintf(stderr, "vxtool: cannot create a temporary machine\n");
      return 1;
    }
  }
  int result = 1;
  {
    vx::SandboxHost host(o.machine.empty() ? tempRoot : o.machine);
    vx::ScopedHost scope(host);

    vx::TvxMainDatabase db;
    for (const auto& [name, value] : o.vars) vx::SetVariable(&db, name, value);

    vx::TvxEvaluator evaluator;
    vx::RegisterInstallerFunctions(evaluator);
    evaluator.SetMainDatabase(&db);
    ToolExpressions expressions(evaluator);
    expressions.ConditionsEnabled = true;
    db.Expressions = &expressions;
    try {
      result = work(evaluator, db, o);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      result = 1;
    }
  }
  if (!tempRoot.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempRoot, ec);
  }
  return result;
}

int Eval(const Args& args) {
  const char* usage = "usage: vxtool eval [--var NAME=VALUE]... [--noexpand] [--machine DIR] EXPR";
  Options o;
  int status = 2;
  if (!ParseOptions(args, true, usage, o, status)) return status;
  return WithSession(o, [](vx::TvxEvaluator& evaluator, vx::TvxMainDatabase& db, const Options& opt) {
    std::string r;
    evaluator.Calc(&db, opt.text, opt.expand, 0, r);
    std::printf("%s\n", r.c_str());
    return 0;
  });
}

int Expand(const Args& args) {
  const char* usage = "usage: vxtool expand [--var NAME=VALUE]... [--machine DIR] TEXT";
  Options o;
  int status = 2;
  if (!ParseOptions(args, false, usage, o, status)) return status;
  return WithSession(o, [](vx::TvxEvaluator&, vx::TvxMainDatabase& db, const Options& opt) {
    std::printf("%s\n", vx::ExpandString(&db, opt.text).c_str());
    return 0;
  });
}

vxtool::Register evalCommand({"eval", "evaluate an expression as the engine does", Eval});
vxtool::Register expandCommand({"expand", "expand %Name%, #expression# and || in a text", Expand});

}  // namespace
