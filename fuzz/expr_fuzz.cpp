// libFuzzer target for the expression evaluator. Any text must end in a
// value or an evaluation error -- never a crash, a hang or a stack
// overflow -- and every syntax error must name a known text and a position
// inside the expression (0 to its length plus one; 0 when the very first
// character ends an empty token, which reports the character before it).
//
// The first byte chooses whether operands are expanded; the rest is the
// expression. The test functions have the shapes of the installer's
// (fixed counts, any count, none) and two of them evaluate again, as
// ParseText and "#expression#" do, with the same kind of depth limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "database/Variables.h"
#include "expr/Evaluator.h"

namespace {

using vx::TkqFunction;
using vx::TkqParams;
using vx::TvxEvalData;
using vx::TvxEvaluator;

int g_depth = 0;
constexpr int kMaxDepth = 100;

struct DepthGuard {
  bool ok;
  DepthGuard() : ok(++g_depth <= kMaxDepth) {}
  ~DepthGuard() { --g_depth; }
};

const char* const kErrorTexts[] = {
    "Unknown operator.",
    "Expression expected.",
    "Cannot parse identifier.",
    "Not enough parameters.",
    "Too many parameters.",
    "Operator expected.",
    "Function parameters expected.",
    "You may not use the quotation mark symbols in an expression that is not enclosed by quotation marks "
    "itself.",
    "Closing quotation mark is expected.",
    "Wrong operator arity (for example binary operator is used as unary).",
};

// "#expression#" inside an operand evaluates again, its errors travelling
// as the outer evaluation's do (not through the engine's message box).
struct DirectExpressions : vx::TvxExpressionContext {
  TvxEvaluator* ev = nullptr;
  void EvaluateText(vx::TXMLObject* db, std::string_view text, bool parse, std::string& r, void*) override {
    DepthGuard guard;
    if (guard.ok) ev->Calc(db, text, parse, 0, r);
  }
  bool EvaluateCondition(vx::TXMLObject* db, std::string_view text, bool parse) override {
    std::string r;
    EvaluateText(db, text, parse, r, nullptr);
    return vx::IsTrue(r);
  }
};

TvxEvaluator& Evaluator() {
  static TvxEvaluator* ev = [] {
    auto* e = new TvxEvaluator;
    e->AddFunction("Length", 1, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                   std::string& r) { r = std::to_string((*p)[0].size()); });
    e->AddFunction("Iif", 3, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                std::string& r) { r = vx::IsTrue((*p)[0]) ? (*p)[1] : (*p)[2]; });
    e->AddFunction("SubStr", 3, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                   std::string& r) {
      double start = vx::StrToNumber((*p)[1]), count = vx::StrToNumber((*p)[2]);
      const std::string& s = (*p)[0];
      if (!(start >= 1)) start = 1;
      if (start > double(s.size()) || !(count > 0)) return;
      r = s.substr(size_t(start) - 1, count > 1e9 ? std::string::npos : size_t(count));
    });
    e->AddFunction("Join", -1, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                  std::string& r) {
      for (const std::string& s : *p) {
        if (r.size() + s.size() > 1 << 20) break;  // keep the fuzzer's memory bounded
        r += s;
      }
    });
    e->AddFunction("HasAdminRights", 0, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p,
                                           const TvxEvalData&, std::string& r) {
      if (p) std::abort();  // called without a list, always
      r = "1";
    });
    e->AddFunction("Eval", 1, [](TvxEvaluator& ev, const TkqFunction&, const TkqParams* p, const TvxEvalData& d,
                                 std::string& r) {
      DepthGuard guard;
      if (guard.ok) ev.Calc(d.Database, (*p)[0], d.Expand, d.Extra, r);
    });
    static int plugin;
    e->AddPluginFunction("PluginFunc", -1, &plugin);
    // Plug-in functions answer the number of their arguments.
    static struct : vx::TvxPluginFunctionCalls {
      void Call(const TkqFunction&, const TkqParams* p, intptr_t, std::string& r) override {
        r = std::to_string(p ? p->size() : 0);
      }
    } calls;
    e->SetPluginCalls(&calls);
    // Operands expand against a project with a value, a reference and a
    // variable that refers to itself, through the variables layer.
    static vx::TvxMainDatabase db;
    vx::SetVariable(&db, "A", "12");
    vx::SetVariable(&db, "B", "%A% + 1");
    vx::SetVariable(&db, "Self", "%Self%");
    static DirectExpressions expressions;
    expressions.ev = e;
    e->SetMainDatabase(&db);
    db.Expressions = &expressions;
    return e;
  }();
  return *ev;
}

void CheckSyntaxError(const std::string& message, const std::string& expr) {
  bool known = false;
  for (const char* t : kErrorTexts) {
    size_t n = std::strlen(t);
    if (message.compare(0, n, t) == 0 && message.compare(n, 16, "\r\n\r\nExpression: ") == 0) known = true;
  }
  size_t at = message.rfind("\r\nPosition: ");
  if (!known || at == std::string::npos) {
    std::fprintf(stderr, "malformed error message: %s\n", message.c_str());
    std::abort();
  }
  long pos = std::strtol(message.c_str() + at + 12, nullptr, 10);
  // The expression named in the message is the inner one for a nested
  // evaluation, so only the outer bound is certain for it.
  std::string named = message.substr(message.find("Expression: ") + 12);
  named.resize(named.size() - (message.size() - at));
  if (pos < 0 || size_t(pos) > named.size() + 1) {
    std::fprintf(stderr, "position %ld outside the expression (%zu): %s\n", pos, named.size(), message.c_str());
    std::abort();
  }
  (void)expr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool expand = data[0] & 1;
  std::string expr(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string result;
  g_depth = 0;
  try {
    Evaluator().Calc(Evaluator().MainDatabase(), expr, expand, 0, result);
  } catch (const vx::TkqEvaluatorError& e) {
    // A message is a C string: one naming a text with a zero byte is cut
    // there, so only texts without one can be checked.
    if (expr.find('\0') == std::string::npos) CheckSyntaxError(e.what(), expr);
  } catch (const vx::EMathError&) {
  }
  return 0;
}
