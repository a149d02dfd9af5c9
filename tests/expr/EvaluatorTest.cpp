// The installer's expression language: operators and their precedence,
// quoting, prefix operators, functions, every error text with its position,
// expansion of operands, nested evaluations and the engine-wide entry point.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "database/Variables.h"
#include "expr/Evaluator.h"
#include "system/RunLog.h"
#include "system/kqUtils.h"

namespace {

using vx::TkqFunction;
using vx::TkqParams;
using vx::TvxEvalData;
using vx::TvxEvaluator;

// A few functions with the shapes the installer's functions have.
void AddTestFunctions(TvxEvaluator& ev, std::vector<std::string>* calls = nullptr) {
  ev.AddFunction("Length", 1, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                 std::string& r) { r = std::to_string((*p)[0].size()); });
  ev.AddFunction("SubStr", 3, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                 std::string& r) {
    size_t start = size_t(vx::StrToNumber((*p)[1])), count = size_t(vx::StrToNumber((*p)[2]));
    r = start >= 1 && start <= (*p)[0].size() ? (*p)[0].substr(start - 1, count) : "";
  });
  ev.AddFunction("HasAdminRights", 0, [](TvxEvaluator&, const TkqFunction&, const TkqParams* p,
                                         const TvxEvalData&, std::string& r) { r = p ? "with list" : "1"; });
  ev.AddFunction("Join", -1, [calls](TvxEvaluator&, const TkqFunction&, const TkqParams* p, const TvxEvalData&,
                                     std::string& r) {
    for (const std::string& s : *p) r += s;
    if (calls) calls->push_back("Join:" + r);
  });
  // Evaluates its argument again, on the same evaluator.
  ev.AddFunction("Eval", 1, [](TvxEvaluator& e, const TkqFunction&, const TkqParams* p, const TvxEvalData& d,
                               std::string& r) { e.Calc(d.Database, (*p)[0], d.Expand, d.Extra, r); });
}

class ExprTest : public ::testing::Test {
 protected:
  ExprTest() { AddTestFunctions(ev, &calls); }

  std::string Eval(const std::string& text, bool expand = false) {
    std::string r;
    ev.Calc(nullptr, text, expand, 0, r);
    return r;
  }
  // The complete message of the error the text raises.
  std::string Error(const std::string& text) {
    try {
      return "no error: " + Eval(text);
    } catch (const vx::EEngineError& e) {
      return e.what();
    }
  }
  // The error's text and position, from the complete message.
  static std::string Msg(const std::string& text, const std::string& expr, int pos) {
    return text + "\r\n\r\nExpression: " + expr + "\r\nPosition: " + std::to_string(pos);
  }
  void ExpectError(const std::string& expr, const std::string& text, int pos) {
    EXPECT_EQ(Error(expr), Msg(text, expr, pos)) << expr;
  }

  TvxEvaluator ev;
  std::vector<std::string> calls;
};

const char kExprExpected[] = "Expression expected.";
const char kUnknownOp[] = "Unknown operator.";
const char kOpExpected[] = "Operator expected.";
const char kParamsExpected[] = "Function parameters expected.";
const char kArity[] = "Wrong operator arity (for example binary operator is used as unary).";
const char kQuote[] =
    "You may not use the quotation mark symbols in an expression that is not enclosed by quotation marks itself.";

}  // namespace

struct Case {
  const char* expr;
  const char* value;
};

TEST_F(ExprTest, OperatorsAndPrecedence) {
  for (const Case& c : std::initializer_list<Case>{
           {"1 + 2 * 3", "7"}, {"(1 + 2) * 3", "9"}, {"7 / 2", "3.5"}, {"10 - 2 - 3", "5"},
           {"2 * 3 + 4 * 5", "26"}, {"1 + 2 & 3", "33"},  // same priority: from the left
           {"x + 1", "1"},                                  // a word that is no number reads as 0
           {"abc = ABC", "0"}, {"abc <> ABC", "1"}, {"1.0 = 1", "0"}, {"1.0 >= 1", "1"}, {"1.0 <= 1", "1"},
           {"x < 5", "1"}, {"10 > 9", "1"},               // numbers, not texts
           {"1 = 1 and 2 = 3 or 1", "1"}, {"1 = 1 AND 2 = 2", "1"}, {"10 and 1abc", "1"}, {"2 or true", "0"},
           // Three rising priorities: 0 or ((1 = 1) & 0) gives "10", which is
           // true; the usual reading would give "0".
           {"0 or 1 = 1 & 0", "1"}, {"0 or (1 = (1 & 0))", "0"}})
    EXPECT_EQ(Eval(c.expr), c.value) << c.expr;
}

TEST_F(ExprTest, BothSidesOfAndOrAreEvaluated) {
  EXPECT_EQ(Eval("0 and Join('a') or 1 or Join('b')"), "1");
  EXPECT_EQ(calls, (std::vector<std::string>{"Join:a", "Join:b"}));
}

TEST_F(ExprTest, QuotingAndBareWords) {
  for (const Case& c : std::initializer_list<Case>{
           {"\"abc\" & 'def'", "abcdef"}, {"'It''s'", "It's"}, {"\"say 'hi'\"", "say 'hi'"},
           {"\"a\"\"b\"", "a\"b"}, {"'' = \"\"", "1"}, {"'  x ( , ) y  '", "  x ( , ) y  "},
           {"'and' & 'Length'", "andLength"},  // quoted words are neither operators nor functions
           {"Windows", "Windows"}, {"setup.exe & 2.0.1", "setup.exe2.0.1"}})
    EXPECT_EQ(Eval(c.expr), c.value) << c.expr;
  ExpectError("ab'c'", kQuote, 3);
  ExpectError("not'1'", kQuote, 4);
  ExpectError("'abc", "Closing quotation mark is expected.", 5);
  ExpectError("'abc''", "Closing quotation mark is expected.", 7);
  ExpectError("\"abc\"def", kExprExpected, 9);  // "def" is read as an operator up to the end
}

TEST_F(ExprTest, PrefixOperators) {
  for (const Case& c : std::initializer_list<Case>{
           {"not 0", "1"}, {"not 1", "0"}, {"not 10", "0"}, {"not 2 = 0", "0"},  // (not 2) = 0
           {"-2 * 3", "-6"}, {"- - 5", "-5"},  // the second replaces the first
           {"1 - -2", "3"}, {"+abc", "0"}, {"- 0", "0"}, {"not(0)", "1"},
           {"not", "not"}, {"1 and not", "0"},  // a final bare word is an operand
           // A word operator keeps the token started: the empty token that a
           // ")" or "," ends right after it is its operand.
           {"(not)", "1"}, {"not )", "1"}, {"Join(1, not)", "11"}, {"Join(not, 0)", "10"}})
    EXPECT_EQ(Eval(c.expr), c.value) << c.expr;
  ExpectError("not not 1", kExprExpected, 7);
  ExpectError("* 5", kArity, 4);
  ExpectError("and 1", kArity, 6);
  ExpectError("1 not 2", kArity, 8);
  // Found once the ")" that ends the level has been read: the position
  // after it.
  ExpectError("(1 not 2) + 3", kArity, 10);
  ExpectError("*(1)", kArity, 5);
  ExpectError("Join(1 not 2)", kArity, 13);  // an argument list is finished at its ")"
  ExpectError("- (not) 2", kOpExpected, 9);
  ExpectError("- )", kExprExpected, 2);  // a symbol operator starts no token
}

TEST_F(ExprTest, Functions) {
  for (const Case& c : std::initializer_list<Case>{
           {"Length('abcd') * 2", "8"}, {"LENGTH ( 'ab' )", "2"}, {"SubStr('abcdef', 2, 3)", "bcd"},
           {"Join(1, 2 + 3, 'x' & 'y')", "15xy"}, {"Length(Join('ab', SubStr('xyz', 1, 2)))", "4"},
           {"HasAdminRights", "1"},  // called with no list at all
           {"not HasAdminRights and 1", "0"},
           {"1 + 2) + 100", "3"},  // the outer ")" ends the evaluation
           {"(1 + 2", "3"},        // a missing ")" at the end is not reported,
           // also not for an argument list: the function is not called and
           // its last argument is the value
           {"Length('abc'", "abc"}, {"SubStr('abc', 1", "1"}, {"1 + Length('ab', 2 * 3", "7"}})
    EXPECT_EQ(Eval(c.expr), c.value) << c.expr;
  calls.clear();
  EXPECT_EQ(Eval("Join('a', Join('b'"), "b");
  EXPECT_TRUE(calls.empty()) << "no function without its \")\" is called";
}

TEST_F(ExprTest, NothingIsCalledInAnExpressionThatIsNotWellFormed) {
  for (const char* expr : {"Join('a') & (1 +", "Join('a') & Join('b') Join('c')", "Join(Join('a'), 1 not 2)",
                           "Join('a') + SubStr('abc')", "Join('a') & 'open"}) {
    calls.clear();
    EXPECT_ANY_THROW(Eval(expr)) << expr;
    EXPECT_TRUE(calls.empty()) << expr;
  }
  // A text checked once is checked again when the tables have grown.
  EXPECT_EQ(Eval("Join('a') & Later"), "aLater");
  ev.AddFunction("Later", 1, nullptr);
  calls.clear();
  EXPECT_ANY_THROW(Eval("Join('a') & Later"));
  EXPECT_TRUE(calls.empty());
  // Errors that only evaluation finds come after the calls before them.
  calls.clear();
  EXPECT_EQ(Error("Join('a') & 1 / 0"), "Floating point division by zero");
  EXPECT_EQ(calls, std::vector<std::string>{"Join:a"});
}

struct ErrorCase {
  const char* expr;
  const char* text;
  int pos;
};

TEST_F(ExprTest, ErrorTextsAndPositions) {
  for (const ErrorCase& c : std::initializer_list<ErrorCase>{
           {"", kExprExpected, 1}, {"   ", kExprExpected, 4}, {"1 +", kExprExpected, 4},
           {"1 + )", kExprExpected, 4}, {"()", kExprExpected, 1},
           {")", kExprExpected, 0},  // the character before the one that ended the empty token
           {"1 + \x80", kExprExpected, 4}, {"a b", kExprExpected, 4},
           {"1 <>", kExprExpected, 5},  // ends inside an operator token
           {"a b c", kUnknownOp, 4}, {"2*-3", kUnknownOp, 4},  // symbol operators need blanks between them
           {"a andb c", kUnknownOp, 7}, {"1 $ 2", kUnknownOp, 4},
           {"1 + 2 3", kOpExpected, 7}, {"(1 + 2) (3)", kOpExpected, 9}, {"1, 2", kOpExpected, 2},
           {"(1, 2)", kOpExpected, 3}, {"Join(1 2)", kOpExpected, 8},
           {"Length", kParamsExpected, 7}, {"Length 'abc'", kParamsExpected, 8},
           {"Length + 1", kParamsExpected, 8},
           {"HasAdminRights()", kExprExpected, 15}, {"HasAdminRights ", kExprExpected, 16},
           {"Join()", kExprExpected, 5}, {"Join(1,)", kExprExpected, 7},
           {"Length('abc', 'd')", "Too many parameters.", 18}, {"SubStr('abc')", "Not enough parameters.", 13},
           {"SubStr('abc', 1)", "Not enough parameters.", 16}})
    ExpectError(c.expr, c.text, c.pos);
}

TEST_F(ExprTest, FloatingPointErrors) {
  EXPECT_EQ(Error("1 / 0"), "Floating point division by zero");
  EXPECT_EQ(Error("x / 0"), "Invalid floating point operation");
  EXPECT_EQ(Error("1e308 * 10"), "Floating point overflow");
  EXPECT_EQ(Error("1e999 - 1e999"), "Invalid floating point operation");
  EXPECT_EQ(Eval("1e999 > 1e308"), "1");
  EXPECT_THROW(Eval("1 + 1 / 0"), vx::EMathError);
}

TEST_F(ExprTest, NumericResultsAreWrittenInGeneralFormat) {
  for (const Case& c : std::initializer_list<Case>{{"1 / 3", "0.333333333333333"}, {"0.1 + 0.2", "0.3"},
                                                   {"1e20 * 1", "1E20"}, {"1 / 100000", "1E-5"},
                                                   {"1 / 10000", "0.0001"}, {"+'  12.50'", "12.5"},
                                                   {"(7 / 2) * 2", "7"}})  // written results read back
    EXPECT_EQ(Eval(c.expr), c.value) << c.expr;
}

TEST_F(ExprTest, LineBreaksAreRemovedBeforeScanning) {
  EXPECT_EQ(Eval("1 +\r\n2"), "3");
  EXPECT_EQ(Eval("'a\r\nb'"), "ab");
  EXPECT_EQ(Error("1 +\r\n"), Msg(kExprExpected, "1 +", 4));
}

TEST_F(ExprTest, DeepNestingNeverOverflowsTheStack) {
  std::string open(10000, '('), close(10000, ')');
  ExpectError(open, kExprExpected, 10001);
  EXPECT_EQ(Eval(open + "1" + close), "1");
  EXPECT_EQ(Eval(open + "2 * 3"), "6");
  std::string calls;
  for (int i = 0; i < 5000; ++i) calls += "Join(";
  EXPECT_EQ(Eval(calls + "'x'"), "x");
}

TEST_F(ExprTest, FunctionsMayEvaluateAgain) {
  EXPECT_EQ(Eval("Eval('1 + ' & '2') * 2"), "6");
  EXPECT_EQ(Eval("Eval('Eval(''2 * 4'')') + 1"), "9");
  // An error inside names the inner expression and passes through.
  EXPECT_EQ(Error("1 + Eval('2 +')"), Msg(kExprExpected, "2 +", 4));
}

// --- Operands through the variables layer ------------------------------------------

class ExpandTest : public ExprTest {
 protected:
  ExpandTest() {
    vx::SetVariable(&db, "Name", "Setup");
    vx::SetVariable(&db, "Version", "2.5");
    vx::SetVariable(&db, "Silent", "0");
  }
  std::string EvalIn(vx::TXMLObject* database, const std::string& expr) {
    std::string r;
    ev.Calc(database, expr, true, 0, r);
    return r;
  }
  vx::TvxMainDatabase db;
};

TEST_F(ExpandTest, OperandsAreExpandedOnlyWhenAsked) {
  EXPECT_EQ(EvalIn(&db, "Length(%Name%) > 3 and %Version% >= 2 or not %Silent%"), "1");
  EXPECT_EQ(EvalIn(&db, "'%Name%' & '-' & %Unknown%"), "Setup-%Unknown%");
  std::string r;
  ev.Calc(&db, "%Name%", false, 0, r);
  EXPECT_EQ(r, "%Name%");
  EXPECT_EQ(EvalIn(&db, "Windows & 12 & 'x y'"), "Windows12x y");
  EXPECT_EQ(EvalIn(&db, "Join('%', 'Name%')"), "Setup");  // a function result is an operand too
}

TEST_F(ExpandTest, TheDatabaseIsHandedThrough) {
  vx::TvxMainDatabase other;
  vx::SetVariable(&other, "Name", "Other");
  EXPECT_EQ(EvalIn(&other, "%Name%"), "Other");
  EXPECT_EQ(EvalIn(&db, "%Name%"), "Setup");
}

// --- Function table -------------------------------------------------------------------

TEST(EvaluatorFunctions, BuiltInThenPluginIDs) {
  TvxEvaluator ev;
  int first = ev.AddFunction("A", 0, nullptr);
  EXPECT_EQ(first, 0);
  for (int i = 1; i < 38; ++i) EXPECT_EQ(ev.AddFunction("F" + std::to_string(i), 1, nullptr), i);
  int plugin = 7;
  EXPECT_EQ(ev.AddPluginFunction("FromPlugin", 2, &plugin), 38);
  EXPECT_EQ(ev.AddPluginFunction("f5", 2, &plugin), -1);  // names are unique without case
  EXPECT_EQ(ev.AddFunction("FROMPLUGIN", 1, nullptr), -1);

  struct Calls : vx::TvxPluginFunctionCalls {
    std::string seen;
    void Call(const TkqFunction& f, const TkqParams* p, intptr_t extra, std::string& r) override {
      seen = f.Name + ":" + std::to_string(f.ID) + ":" + std::to_string(p->size()) + ":" + std::to_string(extra);
      r = "answer";
    }
  } calls;
  ev.SetPluginCalls(&calls);
  std::string r;
  ev.Calc(nullptr, "FromPlugin(1, 2) & '!'", true, 99, r);
  EXPECT_EQ(r, "answer!");
  EXPECT_EQ(calls.seen, "FromPlugin:38:2:99");

  ev.SetPluginCalls(nullptr);
  ev.Calc(nullptr, "FromPlugin(1, 2) & '!'", true, 0, r);
  EXPECT_EQ(r, "!");
}

// --- CalcExpression -----------------------------------------------------------------------

TEST(CalcExpression, ErrorIsShownThenTheRunAbortsSilently) {
  std::string logPath =
      (std::filesystem::temp_directory_path() / ("vx_expr_" + std::to_string(std::random_device()()) + ".log"))
          .string();
  ASSERT_TRUE(vx::OpenRunLog(logPath));
  vx::TvxEvaluator ev;
  vx::RunPrompts prompts;
  prompts.SetUnattendedAnswers(true, {});
  ev.SetPrompts(&prompts);
  vx::TvxMainDatabase mainDb;
  vx::SetVariable(&mainDb, "X", "7");
  ev.SetMainDatabase(&mainDb);

  EXPECT_EQ(ev.CalcExpression(nullptr, "%X% * 2"), "14") << "no database: the main one";
  EXPECT_TRUE(ev.CalcBoolExpression(nullptr, "%X% = 7"));
  EXPECT_FALSE(ev.CalcBoolExpression(nullptr, "%X% = 7", false));
  // As the expression context of the project: conditions and texts.
  mainDb.Expressions = &ev;
  EXPECT_EQ(vx::ExpandString(&mainDb, "#%X% + 1#"), "8");

  EXPECT_THROW(ev.CalcExpression(nullptr, "1 +"), vx::ESilentAbort);
  EXPECT_THROW(ev.CalcBoolExpression(nullptr, "1 / 0"), vx::ESilentAbort);
  vx::CloseRunLog();

  std::ifstream in(logPath);
  std::stringstream log;
  log << in.rdbuf();
  EXPECT_NE(log.str().find("caption=\"Expression evaluation error\" text=\"Expression expected."),
            std::string::npos)
      << log.str();
  EXPECT_NE(log.str().find("text=\"Floating point division by zero\""), std::string::npos) << log.str();
  in.close();
  std::filesystem::remove(logPath);
}
