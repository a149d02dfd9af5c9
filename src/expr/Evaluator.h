// Evaluator: the installer's expression language on top of TkqEvaluator.
//
// TvxEvaluator registers the fourteen operators, reads and writes numbers,
// expands operands through the variables layer and dispatches function
// calls to registered implementations (built-in) or to the plug-in that
// registered the function. It is the expression context of a run's
// project (TvxExpressionContext): conditions and "#expression#" texts of
// the objects attached to it are evaluated here. The run session owns one.
//
// What lies above this layer is reached through two small interfaces the
// session hands over: the calls of plug-in functions and the services the
// installer's functions act on (TvxInstallerServices, Functions.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "database/VXClasses.h"
#include "expr/kqExprEval.h"
#include "system/Prompts.h"
#include "system/Errors.h"

namespace vx {

class TvxInstallerServices;

// Floating-point errors of arithmetic ("Floating point division by zero",
// "Invalid floating point operation", "Floating point overflow").
class EMathError : public EEngineError {
 public:
  explicit EMathError(const std::string& message) : EEngineError(message) {}
};

// The Data record of one evaluation, handed to every hook and function.
struct TvxEvalData {
  TXMLObject* Database = nullptr;  // whose variables are used
  bool Expand = false;             // operands pass through text expansion
  intptr_t Extra = 0;              // handed on to plug-in functions
};

class TvxEvaluator;

// The implementation of a built-in function. `params` is nullptr for a call
// written without parentheses; `result` arrives empty.
using TvxFunctionProc = std::function<void(TvxEvaluator& evaluator, const TkqFunction& func,
                                           const TkqParams* params, const TvxEvalData& data,
                                           std::string& result)>;

// Calls of functions that plug-ins registered, forwarded to their plug-in.
class TvxPluginFunctionCalls {
 public:
  virtual ~TvxPluginFunctionCalls() = default;
  virtual void Call(const TkqFunction& func, const TkqParams* params, intptr_t extra, std::string& result) = 0;
};

class TvxEvaluator : public TkqEvaluator, public TvxExpressionContext {
 public:
  // Operator indices, in registration order.
  enum Op {
    opAdd, opSub, opMul, opDiv, opConcat, opEqual, opNotEqual, opAnd, opOr, opNot,
    opLess, opGreater, opLessEqual, opGreaterEqual
  };

  TvxEvaluator();

  // The main project database: what an evaluation without a database sees.
  void SetMainDatabase(TXMLObject* database) { mainDatabase_ = database; }
  TXMLObject* MainDatabase() const { return mainDatabase_; }
  // Where calls of plug-in functions go (none: they give an empty result).
  void SetPluginCalls(TvxPluginFunctionCalls* calls) { pluginCalls_ = calls; }
  // What the installer's functions act on (none: they have no effect).
  void SetServices(TvxInstallerServices* services) { services_ = services; }
  TvxInstallerServices& Services();
  // Where an evaluation error and AskUser show their boxes (none: an
  // evaluation error shows nothing and still ends the run; AskUser takes
  // the default button).
  void SetPrompts(Prompts* prompts) { prompts_ = prompts; }
  Prompts* GetPrompts() const { return prompts_; }

  // Evaluates `expr` against `database` (none: the main database). Any
  // error is shown in the "Expression evaluation error" box (through the
  // prompts) and then ends the run with ESilentAbort.
  void CalcExpression(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra,
                      std::string& result);
  std::string CalcExpression(TXMLObject* database, std::string_view expr, bool expand = true, intptr_t extra = 0);
  bool CalcBoolExpression(TXMLObject* database, std::string_view expr, bool expand = true, intptr_t extra = 0);

  // TvxExpressionContext: the same, for the objects of the project.
  void EvaluateText(TXMLObject* database, std::string_view text, bool parseIdentifiers, std::string& result,
                    void* context) override;
  bool EvaluateCondition(TXMLObject* database, std::string_view text, bool parseIdentifiers) override;

  // Registers a built-in function (no owner); returns its ID, or -1 when a
  // function of that name (without case) exists. The installer's functions
  // are registered first, in order, and so take IDs 0 to 37.
  int32_t AddFunction(std::string_view name, int32_t paramCount, TvxFunctionProc proc);
  // Registers a function owned by a plug-in; calls go to the plug-in
  // function calls. Returns its ID, or -1 when the name exists.
  int32_t AddPluginFunction(std::string_view name, int32_t paramCount, void* owner);

  // Removes every carriage return and line feed from `expr` and evaluates
  // it against `database`.
  void Calc(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra, std::string& result);

 protected:
  bool ResolveOperand(std::string& value, void* data) override;
  void ApplyOperator(const TkqOperator& op, int arity, std::string& left, std::string& right, void* data,
                     std::string& result) override;
  void CallFunction(const TkqFunction& func, const TkqParams* params, void* data,
                    std::string& result) override;

 private:
  // Indexed by function index; a deque keeps elements in place while it
  // grows, so a running implementation is never moved.
  std::deque<TvxFunctionProc> procs_;
  TXMLObject* mainDatabase_ = nullptr;
  TvxPluginFunctionCalls* pluginCalls_ = nullptr;
  TvxInstallerServices* services_ = nullptr;
  Prompts* prompts_ = nullptr;
};

// --- Values ------------------------------------------------------------------------

// A value is true exactly when its first character is "1".
inline bool IsTrue(std::string_view value) { return !value.empty() && value[0] == '1'; }
inline const char* BoolStr(bool b) { return b ? "1" : "0"; }

// Reads a value as a number: optional leading blanks, optional sign, digits
// with an optional "." and fraction, an optional exponent. "." is the
// decimal point whatever the system settings; a text that does not parse
// completely reads as 0.
double StrToNumber(std::string_view s);
// Writes a number in the general format with at most 15 significant
// digits: no trailing zeros, no decimal point for whole numbers, exponent
// form ("1.5E20", "1E-5") when the decimal exponent is above 14 or below -4.
// Negative zero is "0". (Arithmetic raises EMathError instead of writing a
// value that is not finite; given one, this writes "INF", "-INF" or "NAN".)
std::string NumberToStr(double value);

}  // namespace vx
