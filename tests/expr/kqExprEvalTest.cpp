// The generic evaluator: its tables, case folding, the reducer's order and
// the order of effects, seen through an evaluator that writes every
// operator application as "(L op R)".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expr/kqExprEval.h"

namespace {

using vx::TkqEvaluator;
using vx::TkqFunction;
using vx::TkqOperator;
using vx::TkqParams;

class TraceEvaluator : public TkqEvaluator {
 public:
  TraceEvaluator() {
    Operators.Add("|", vx::kqBinary, 0);
    Operators.Add("&", vx::kqBinary, 1);
    Operators.Add("=", vx::kqBinary, 2);
    Operators.Add("+", vx::kqBinary | vx::kqUnary, 3);
    Operators.Add("*", vx::kqBinary, 4);
    Operators.Add("neg", vx::kqUnary, 5);
    Functions.Add("f", 1);
    Functions.Add("g", 2);
    Functions.Add("now", 0);
  }
  std::vector<std::string> log;

 protected:
  bool ResolveOperand(std::string& value, void*) override { return value != "bad"; }
  void ApplyOperator(const TkqOperator& op, int arity, std::string& l, std::string& r, void*,
                     std::string& out) override {
    out = arity == vx::kqArityUnary ? "(" + op.Name + " " + r + ")" : "(" + l + " " + op.Name + " " + r + ")";
    log.push_back(out);
  }
  void CallFunction(const TkqFunction& f, const TkqParams* p, void*, std::string& out) override {
    out = f.Name + "[";
    if (p)
      for (size_t i = 0; i < p->size(); ++i) out += (i ? "," : "") + (*p)[i];
    out += "]";
    log.push_back(out);
  }
};

std::string Error(TkqEvaluator& ev, const std::string& text) {
  try {
    std::string r = ev.Evaluate(text);
    return "no error: " + r;
  } catch (const vx::TkqEvaluatorError& e) {
    return e.what();
  }
}

}  // namespace

TEST(kqCaseFolding, AsciiAndCyrillicPairs) {
  EXPECT_TRUE(vx::kqSameText("Length", "LENGTH"));
  EXPECT_FALSE(vx::kqSameText("Length", "Lengths"));
  EXPECT_FALSE(vx::kqSameText("[", "{"));  // only letters fold
  EXPECT_TRUE(vx::kqSameText("\xE0\xFF\xB8", "\xC0\xDF\xA8"));
  EXPECT_EQ(vx::kqUpCase('\xBF'), '\xAF');
  EXPECT_EQ(vx::kqUpCase('\xE9'), '\xC9');
  EXPECT_EQ(vx::kqUpCase('\xC9'), '\xC9');
  EXPECT_EQ(vx::kqUpCase('\xB5'), '\xB5');  // no partner in the code page
}

TEST(kqTables, FunctionIDsAndDuplicateNames) {
  vx::TkqFunctionList list;
  EXPECT_EQ(list.Add("One", 1)->ID, 0);
  EXPECT_EQ(list.Add("Two", -1)->ID, 1);
  EXPECT_EQ(list.Add("ONE", 0), nullptr);
  int owner = 0;
  const TkqFunction* p = list.Add("Three", 2, &owner);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ID, 2);
  EXPECT_EQ(p->Owner, &owner);
  EXPECT_EQ(list.Find("tWo")->Index, 1);
  EXPECT_EQ(list.FindByID(2), p);
  EXPECT_EQ(list.Find("Thre"), nullptr);
}

TEST(kqReducer, TwoPendingOperatorsAndTheirOrder) {
  TraceEvaluator ev;
  EXPECT_EQ(ev.Evaluate("a + b * c + d"), "((a + (b * c)) + d)");
  EXPECT_EQ(ev.Evaluate("a * b + c * d"), "((a * b) + (c * d))");
  EXPECT_EQ(ev.Evaluate("a + b + c + d"), "(((a + b) + c) + d)");
  EXPECT_EQ(ev.Evaluate("a = b & c = d | e"), "(((a = b) & (c = d)) | e)");
  // Three rising priorities: the middle pair is reduced first.
  EXPECT_EQ(ev.Evaluate("a | b = c + d"), "(a | ((b = c) + d))");
  EXPECT_EQ(ev.Evaluate("a | b & c = d + e * x"), "(a | ((((b & c) = d) + e) * x))");
  EXPECT_EQ(ev.Evaluate("a | (b = (c + d))"), "(a | (b = (c + d)))");
}

TEST(kqReducer, PrefixOperatorBindsToTheNextOperandOnly) {
  TraceEvaluator ev;
  EXPECT_EQ(ev.Evaluate("neg a = b"), "((neg a) = b)");
  EXPECT_EQ(ev.Evaluate("+a * b"), "((+ a) * b)");
  EXPECT_EQ(ev.Evaluate("a * neg (b + c)"), "(a * (neg (b + c)))");
  EXPECT_EQ(ev.Evaluate("neg f(x)"), "(neg f[x])");
}

TEST(kqReducer, OperandsAndCallsHappenStrictlyLeftToRight) {
  TraceEvaluator ev;
  EXPECT_EQ(ev.Evaluate("f(a) + now * g(b, c + d)"), "(f[a] + (now[] * g[b,(c + d)]))");
  EXPECT_EQ(ev.log, (std::vector<std::string>{"f[a]", "now[]", "(c + d)", "g[b,(c + d)]", "(now[] * g[b,(c + d)])",
                                              "(f[a] + (now[] * g[b,(c + d)]))"}));
}

TEST(kqScanner, DefaultCharacterClasses) {
  TraceEvaluator ev;
  // "%" is an operator symbol and "." ends a token in the generic classes.
  EXPECT_EQ(Error(ev, "a %b"), "Unknown operator.\r\n\r\nExpression: a %b\r\nPosition: 4");
  EXPECT_EQ(Error(ev, "1.5"), "Operator expected.\r\n\r\nExpression: 1.5\r\nPosition: 2");
  EXPECT_EQ(ev.Evaluate("_x9 + Y"), "(_x9 + Y)");
}

TEST(kqScanner, RejectedOperandReportsItsLastCharacter) {
  TraceEvaluator ev;
  EXPECT_EQ(Error(ev, "bad + 1"), "Cannot parse identifier.\r\n\r\nExpression: bad + 1\r\nPosition: 3");
  EXPECT_EQ(Error(ev, "'bad' + 1"), "Cannot parse identifier.\r\n\r\nExpression: 'bad' + 1\r\nPosition: 5");
  EXPECT_EQ(Error(ev, "x + bad"), "Cannot parse identifier.\r\n\r\nExpression: x + bad\r\nPosition: 8");
}
