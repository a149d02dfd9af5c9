// kqExprEval: a generic, table-driven expression evaluator.
//
// TkqEvaluator scans and evaluates one expression text left to right, after
// a first pass over the same states that only checks its syntax. It knows
// no operator or function by itself: a derived
// class fills the operator and function tables, may adjust the four
// character classes, and implements the three hooks (resolve an operand,
// apply an operator, call a function). Every value is an 8-bit string.
//
// Evaluate keeps all of its parsing state in its own activation, so a hook
// may start another evaluation on the same evaluator while one is running.
// Parenthesised levels are kept on a heap stack, not on the machine stack,
// so deep nesting cannot overflow it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "system/Errors.h"

namespace vx {

// --- Case folding -------------------------------------------------------------

// Upper-cases one byte with the fixed table of the evaluator: a-z to A-Z and
// the letter pairs of the Windows-1251 upper half (0xE0-0xFF to 0xC0-0xDF,
// 0xB8 to 0xA8, ...). Never the C locale.
char kqUpCase(char c);
// Equal after folding with kqUpCase; texts of different length never match.
bool kqSameText(std::string_view a, std::string_view b);

// Hash and equality of names without case (kqUpCase), for lookups by
// string_view that build no key.
struct kqNameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const;
};
struct kqNameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return kqSameText(a, b); }
};

// --- Errors ------------------------------------------------------------------

// A syntax error. The message is "<text>\r\n\r\nExpression: <expr>\r\n
// Position: <n>", n being the 1-based position at which it was found.
class TkqEvaluatorError : public EEngineError {
 public:
  explicit TkqEvaluatorError(const std::string& message) : EEngineError(message) {}
};

// --- Character classes ----------------------------------------------------------

// A set over the 256 byte values.
class TkqCharSet {
 public:
  TkqCharSet() = default;
  TkqCharSet(std::initializer_list<unsigned char> chars) {
    for (unsigned char c : chars) Include(c);
  }
  void Include(unsigned char c) { bits_[c >> 6] |= uint64_t(1) << (c & 63); }
  void Include(unsigned char first, unsigned char last) {
    for (unsigned c = first; c <= last; ++c) Include((unsigned char)c);
  }
  void Exclude(unsigned char c) { bits_[c >> 6] &= ~(uint64_t(1) << (c & 63)); }
  bool Contains(char c) const {
    unsigned char u = (unsigned char)c;
    return (bits_[u >> 6] >> (u & 63)) & 1;
  }

 private:
  uint64_t bits_[4] = {0, 0, 0, 0};
};

// --- Operators -------------------------------------------------------------------

// The arities an operator may be applied with, as a set: bit 0 unary
// (prefix), bit 1 binary.
enum : uint8_t { kqArityUnary = 0, kqArityBinary = 1 };
using TkqAritySet = uint8_t;
constexpr TkqAritySet kqUnary = 1 << kqArityUnary;
constexpr TkqAritySet kqBinary = 1 << kqArityBinary;

struct TkqOperator {
  std::string Name;        // compared without case
  TkqAritySet Arity = 0;
  int32_t Priority = 0;    // larger binds tighter
  int32_t Reserved = 0;    // spare, always 0
  int Index = 0;           // position in the list; selects the behaviour
};

class TkqOperatorList {
 public:
  // Appends an operator; returns its index.
  int Add(std::string_view name, TkqAritySet arity, int32_t priority);
  // The first operator of that name (without case), or nullptr.
  const TkqOperator* Find(std::string_view name) const;
  int Count() const { return int(items_.size()); }
  const TkqOperator& operator[](int index) const { return *items_[size_t(index)]; }

 private:
  // Items are held by pointer so references stay valid while the list grows.
  std::vector<std::unique_ptr<TkqOperator>> items_;
  // The first item of each name, so that a lookup costs one hash instead of
  // a scan; the same answer as a search in registration order.
  std::unordered_map<std::string, const TkqOperator*, kqNameHash, kqNameEqual> index_;
  TkqCharSet firstChars_;  // folded first characters of the names: a quick "no"
};

// --- Functions -------------------------------------------------------------------

struct TkqFunction {
  std::string Name;         // compared without case
  int32_t ParamCount = 0;   // exact number of arguments, or -1 for any
  void* Owner = nullptr;    // nullptr for built-in functions, else the owning plug-in
  int32_t ID = 0;           // assigned from 0 upward in registration order
  int Index = 0;            // position in the list; selects the behaviour
};

class TkqFunctionList {
 public:
  // Appends a function and returns it. A name that already exists (without
  // case) is refused: nullptr.
  const TkqFunction* Add(std::string_view name, int32_t paramCount, void* owner = nullptr);
  // The first function of that name (without case), or nullptr.
  const TkqFunction* Find(std::string_view name) const;
  const TkqFunction* FindByID(int32_t id) const;
  int Count() const { return int(items_.size()); }
  const TkqFunction& operator[](int index) const { return *items_[size_t(index)]; }

 private:
  std::vector<std::unique_ptr<TkqFunction>> items_;
  std::unordered_map<std::string, const TkqFunction*, kqNameHash, kqNameEqual> index_;
  TkqCharSet firstChars_;
  int32_t nextID_ = 0;
};

// The argument values of one call, in order.
using TkqParams = std::vector<std::string>;

// --- The evaluator -------------------------------------------------------------------

class TkqEvaluator {
 public:
  TkqEvaluator();
  virtual ~TkqEvaluator();
  TkqEvaluator(const TkqEvaluator&) = delete;
  TkqEvaluator& operator=(const TkqEvaluator&) = delete;

  TkqOperatorList Operators;
  TkqFunctionList Functions;

  // Characters of operand tokens; runs of operator symbols; letters of word
  // operators; quotes of literals.
  TkqCharSet IdentChars;
  TkqCharSet OperatorChars;
  TkqCharSet WordOperatorChars;
  TkqCharSet QuoteChars;

  // Evaluates the whole text. Raises TkqEvaluatorError on a syntax error,
  // found before any hook is called; whatever a hook raises passes through
  // unchanged. `data` is handed to the hooks as it is.
  void Evaluate(std::string_view expr, void* data, std::string& result);
  std::string Evaluate(std::string_view expr, void* data = nullptr) {
    std::string r;
    Evaluate(expr, data, r);
    return r;
  }

 protected:
  // Called for every completed operand; may replace the value. False makes
  // the evaluation fail with "Cannot parse identifier.". The base accepts
  // every value unchanged.
  virtual bool ResolveOperand(std::string& value, void* data);
  // Applies `op` with arity kqArityUnary (left is empty) or kqArityBinary.
  // Both operands are consumed: the implementation may move from them.
  virtual void ApplyOperator(const TkqOperator& op, int arity, std::string& left, std::string& right,
                             void* data, std::string& result) = 0;
  // Calls `func`. `params` holds the argument values, or is nullptr for a
  // call written without parentheses. `result` arrives empty.
  virtual void CallFunction(const TkqFunction& func, const TkqParams* params, void* data,
                            std::string& result) = 0;

 private:
  friend class TkqEvaluation;

  // Texts that passed the syntax check with the tables as they are now:
  // conditions are evaluated again and again, and the check would otherwise
  // cost a third of each evaluation. Forgotten when a table grows.
  struct CheckedTexts;
  std::unique_ptr<CheckedTexts> checked_;
  bool KnownWellFormed(std::string_view expr);
  void RememberWellFormed(std::string_view expr);
};

}  // namespace vx
