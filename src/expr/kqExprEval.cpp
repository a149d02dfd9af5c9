#include "expr/kqExprEval.h"

#include <array>
#include <functional>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace vx {

// --- Fixed texts -------------------------------------------------------------

namespace {

constexpr const char kMsgUnknownOperator[] = "Unknown operator.";
constexpr const char kMsgExpressionExpected[] = "Expression expected.";
constexpr const char kMsgCannotParseIdentifier[] = "Cannot parse identifier.";
constexpr const char kMsgNotEnoughParams[] = "Not enough parameters.";
constexpr const char kMsgTooManyParams[] = "Too many parameters.";
constexpr const char kMsgOperatorExpected[] = "Operator expected.";
constexpr const char kMsgFunctionParamsExpected[] = "Function parameters expected.";
constexpr const char kMsgQuoteNotAllowed[] =
    "You may not use the quotation mark symbols in an expression that is not enclosed by quotation "
    "marks itself.";
constexpr const char kMsgClosingQuoteExpected[] = "Closing quotation mark is expected.";
constexpr const char kMsgWrongArity[] = "Wrong operator arity (for example binary operator is used as unary).";

// --- Case folding --------------------------------------------------------------

// a-z, the Cyrillic small letters 0xE0-0xFF and the scattered small letters
// of 0x80-0xBF fold to their capitals; every other byte to itself.
struct UpTable {
  std::array<unsigned char, 256> up{};
  constexpr UpTable() {
    for (int i = 0; i < 256; ++i) up[size_t(i)] = (unsigned char)i;
    for (int c = 'a'; c <= 'z'; ++c) up[size_t(c)] = (unsigned char)(c - 32);
    for (int c = 0xE0; c <= 0xFF; ++c) up[size_t(c)] = (unsigned char)(c - 32);
    constexpr unsigned char pairs[][2] = {
        {0x90, 0x80}, {0x83, 0x81}, {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D},
        {0x9E, 0x8E}, {0x9F, 0x8F}, {0xA2, 0xA1}, {0xBC, 0xA3}, {0xB4, 0xA5},
        {0xB8, 0xA8}, {0xBA, 0xAA}, {0xBF, 0xAF}, {0xB3, 0xB2}, {0xBE, 0xBD}};
    for (const auto& p : pairs) up[p[0]] = p[1];
  }
};

constexpr UpTable kUp;

}  // namespace

char kqUpCase(char c) { return char(kUp.up[(unsigned char)c]); }

bool kqSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (kUp.up[(unsigned char)a[i]] != kUp.up[(unsigned char)b[i]]) return false;
  return true;
}

size_t kqNameHash::operator()(std::string_view s) const {
  size_t h = 2166136261u;
  for (char c : s) h = (h ^ kUp.up[(unsigned char)c]) * 16777619u;
  return h;
}

// --- Tables ----------------------------------------------------------------------

int TkqOperatorList::Add(std::string_view name, TkqAritySet arity, int32_t priority) {
  auto op = std::make_unique<TkqOperator>();
  op->Name.assign(name);
  op->Arity = arity;
  op->Priority = priority;
  op->Index = int(items_.size());
  index_.emplace(op->Name, op.get());  // keeps an earlier operator of that name
  if (!name.empty()) firstChars_.Include(kUp.up[(unsigned char)name[0]]);
  items_.push_back(std::move(op));
  return items_.back()->Index;
}

const TkqOperator* TkqOperatorList::Find(std::string_view name) const {
  if (!name.empty() && !firstChars_.Contains(char(kUp.up[(unsigned char)name[0]]))) return nullptr;
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : it->second;
}

const TkqFunction* TkqFunctionList::Add(std::string_view name, int32_t paramCount, void* owner) {
  if (Find(name)) return nullptr;
  auto f = std::make_unique<TkqFunction>();
  f->Name.assign(name);
  f->ParamCount = paramCount;
  f->Owner = owner;
  f->ID = nextID_++;
  f->Index = int(items_.size());
  index_.emplace(f->Name, f.get());
  if (!name.empty()) firstChars_.Include(kUp.up[(unsigned char)name[0]]);
  items_.push_back(std::move(f));
  return items_.back().get();
}

const TkqFunction* TkqFunctionList::Find(std::string_view name) const {
  if (!name.empty() && !firstChars_.Contains(char(kUp.up[(unsigned char)name[0]]))) return nullptr;
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : it->second;
}

const TkqFunction* TkqFunctionList::FindByID(int32_t id) const {
  for (const auto& f : items_)
    if (f->ID == id) return f.get();
  return nullptr;
}

// --- One evaluation ------------------------------------------------------------------

// The activation of one Evaluate call: the text, the shared character
// pointer and position counter, and the stack of parsing levels. The
// outermost level is At(0); a "(" pushes a level, its ")" (or the end of
// the text) pops it and hands its value to the level below.
//
// A checking run walks the same states without calling a hook: it finds
// every syntax error (with the position the evaluating run would give)
// before anything has been evaluated, so an expression that is not
// well-formed has no effect at all.
class TkqEvaluation {
 public:
  TkqEvaluation(TkqEvaluator& ev, std::string_view text, void* data, bool checkOnly)
      : ev_(ev), text_(text), data_(data), check_(checkOnly) {}

  void Run(std::string& result);

 private:
  enum class State : uint8_t { Operand = 0, InOperand = 1, Operator = 2, InOperator = 3, AfterFunction = 4 };
  enum class Kind : uint8_t { Outer, Parens, Arguments };

  struct Level {
    Kind kind = Kind::Outer;
    State state = State::Operand;
    char quote = 0;
    bool inQuotes = false;
    bool tokenStarted = false;
    bool haveOperand = false;
    bool done = false;
    bool wordOperator = false;  // class of the operator being read in state 3
    std::string token;
    const TkqOperator* prefix = nullptr;
    const TkqOperator* op1 = nullptr;
    const TkqOperator* op2 = nullptr;
    std::string L, R1, R2;
    const TkqFunction* func = nullptr;    // the function named last (state 4)
    const TkqFunction* argsOf = nullptr;  // whose arguments this level reads
    TkqParams args;

    // Levels are reused from one "(" to the next to keep their buffers.
    void Reset(Kind k, const TkqFunction* of) {
      kind = k;
      state = State::Operand;
      quote = 0;
      inQuotes = tokenStarted = haveOperand = done = wordOperator = false;
      token.clear();
      prefix = op1 = op2 = nullptr;
      L.clear();
      R1.clear();
      R2.clear();
      func = nullptr;
      argsOf = of;
      args.clear();
    }
  };

  [[noreturn]] void Fail(const char* message) const;
  // Consumes a run of blanks up to its last one (which the caller consumes).
  bool SkipBlanks() {
    while (i_ + 1 < text_.size() && text_[i_ + 1] == ' ') ++i_;
    return true;
  }
  void Push(Kind kind, const TkqFunction* argsOf);
  // One step on character c of the top level; false re-examines c.
  bool Step(Level& lv, char c);
  void CompleteOperand(Level& lv, std::string& v);
  void Place(Level& lv, std::string& v);
  void Apply(const TkqOperator& op, int arity, std::string& left, std::string& right, std::string& out);
  void FinishLevel(Level& lv);
  void CallWithArguments(Level& lv);
  void Call(const TkqFunction& f, const TkqParams* params, std::string& result) {
    if (!check_) ev_.CallFunction(f, params, data_, result);
  }
  bool Resolve(std::string& v) { return check_ || ev_.ResolveOperand(v, data_); }
  // End of a level (end of the text or its done flag); leaves the level's
  // value in lv.L.
  void EndLevel(Level& lv);

  TkqEvaluator& ev_;
  std::string_view text_;
  void* data_;
  bool check_;        // a checking run: no hook is called
  size_t i_ = 0;      // the character being examined
  size_t back_ = 0;   // 1 while errors report the character before i_
  // The first levels live in the activation itself; deeper ones on the heap.
  static constexpr size_t kInlineLevels = 2;
  Level inline_[kInlineLevels];
  std::vector<Level> deeper_;
  size_t depth_ = 0;  // index of the active level
  Level& At(size_t d) { return d < kInlineLevels ? inline_[d] : deeper_[d - kInlineLevels]; }
  std::string scratch_;
};

void TkqEvaluation::Fail(const char* message) const {
  size_t pos = i_ + 1 - back_;
  std::string m;
  m.reserve(64 + text_.size());
  m += message;
  m += "\r\n\r\nExpression: ";
  m += text_;
  m += "\r\nPosition: ";
  m += std::to_string(pos);
  throw TkqEvaluatorError(m);
}

void TkqEvaluation::Push(Kind kind, const TkqFunction* argsOf) {
  ++depth_;
  if (depth_ >= kInlineLevels && depth_ - kInlineLevels == deeper_.size()) deeper_.emplace_back();
  At(depth_).Reset(kind, argsOf);
}

void TkqEvaluation::Apply(const TkqOperator& op, int arity, std::string& left, std::string& right,
                          std::string& out) {
  if (!(op.Arity & (1u << arity))) Fail(kMsgWrongArity);
  out.clear();
  if (!check_) ev_.ApplyOperator(op, arity, left, right, data_, out);
}

// Steps 2 to 4 of completing an operand: the pending prefix operator, the
// slot, and one reduction when two binary operators are pending. With two
// operators, the tighter one is applied first when it is the later one;
// otherwise the left pair is reduced and the later operator moves down.
void TkqEvaluation::Place(Level& lv, std::string& v) {
  if (lv.prefix) {
    const TkqOperator* p = lv.prefix;
    lv.prefix = nullptr;
    std::string none;
    Apply(*p, kqArityUnary, none, v, scratch_);
    v = std::move(scratch_);
  }
  if (lv.op2) {
    lv.R2 = std::move(v);
    if (lv.op1->Priority < lv.op2->Priority) {
      Apply(*lv.op2, kqArityBinary, lv.R1, lv.R2, scratch_);
      lv.R1 = std::move(scratch_);
    } else {
      Apply(*lv.op1, kqArityBinary, lv.L, lv.R1, scratch_);
      lv.L = std::move(scratch_);
      lv.op1 = lv.op2;
      lv.R1 = std::move(lv.R2);
    }
    lv.op2 = nullptr;
    lv.R2.clear();
  } else if (lv.op1) {
    lv.R1 = std::move(v);
  } else {
    lv.L = std::move(v);
  }
}

void TkqEvaluation::CompleteOperand(Level& lv, std::string& v) {
  if (!Resolve(v)) Fail(kMsgCannotParseIdentifier);
  Place(lv, v);
  lv.inQuotes = false;
  lv.tokenStarted = false;
  lv.haveOperand = true;
  lv.state = State::Operator;
}

void TkqEvaluation::FinishLevel(Level& lv) {
  if (lv.op1) {
    Apply(*lv.op1, kqArityBinary, lv.L, lv.R1, scratch_);
    lv.L = std::move(scratch_);
    lv.op1 = nullptr;
    lv.R1.clear();
  }
}

// The ")" of an argument list: the last argument joins the list, the count
// is checked and the function's value becomes the level's value.
void TkqEvaluation::CallWithArguments(Level& lv) {
  FinishLevel(lv);
  lv.args.push_back(std::move(lv.L));
  const TkqFunction& f = *lv.argsOf;
  if (f.ParamCount != -1) {
    if (int(lv.args.size()) < f.ParamCount) Fail(kMsgNotEnoughParams);
    if (int(lv.args.size()) > f.ParamCount) Fail(kMsgTooManyParams);
  }
  lv.L.clear();
  Call(f, &lv.args, lv.L);
  lv.argsOf = nullptr;  // called; the end of the level must not call it again
}

void TkqEvaluation::EndLevel(Level& lv) {
  if (lv.state != State::InOperand && lv.state != State::Operator) Fail(kMsgExpressionExpected);
  if (lv.state == State::InOperand) {
    if (!lv.tokenStarted) Fail(kMsgExpressionExpected);
    if (lv.inQuotes) Fail(kMsgClosingQuoteExpected);
    if (!lv.token.empty()) {
      // A final bare word is an operand even when it names an operator.
      std::string v;
      if (const TkqFunction* f = ev_.Functions.Find(lv.token)) {
        if (f->ParamCount != 0) Fail(kMsgFunctionParamsExpected);
        Call(*f, nullptr, v);
      } else {
        v = std::move(lv.token);
      }
      if (!Resolve(v)) Fail(kMsgCannotParseIdentifier);
      Place(lv, v);
      lv.state = State::Operator;
    }
  }
  // An argument list that the end of the text cut off before its ")" ends
  // like a parenthesised sub-expression: the function is not called (a call
  // is made only once its ")" has been read), and the value of its last
  // argument is the level's value.
  FinishLevel(lv);
}

// Inlined into the loop of Run: it runs once per character.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool TkqEvaluation::Step(Level& lv, char c) {
  switch (lv.state) {
    case State::Operand:
      if (c == ' ') return SkipBlanks();
      if (ev_.OperatorChars.Contains(c)) {
        lv.haveOperand = false;
        lv.state = State::Operator;  // starts a prefix operator
        return false;
      }
      if (ev_.QuoteChars.Contains(c)) {
        lv.token.clear();
        lv.quote = c;
        lv.inQuotes = true;
        lv.tokenStarted = true;
        lv.state = State::InOperand;
        return true;
      }
      if (c == '(') {
        ++i_;
        Push(Kind::Parens, nullptr);
        return false;  // the new level starts on the character after "("
      }
      lv.token.clear();
      lv.state = State::InOperand;
      return false;

    case State::InOperand:
      if (ev_.QuoteChars.Contains(c)) {
        if (!lv.inQuotes) Fail(kMsgQuoteNotAllowed);
        if (c != lv.quote) {
          lv.token += c;
        } else if (i_ + 1 < text_.size() && text_[i_ + 1] == c) {
          lv.token += c;  // a doubled quote stands for one
          ++i_;
        } else {
          CompleteOperand(lv, lv.token);
        }
        return true;
      }
      if (lv.inQuotes || ev_.IdentChars.Contains(c)) {
        // Takes the whole run of characters that would be appended one by
        // one: up to the opening quote inside quotes, else up to the first
        // character that is no identifier character. The last one of the run
        // is consumed by the caller.
        size_t j = i_ + 1;
        if (lv.inQuotes) {
          while (j < text_.size() && text_[j] != lv.quote) ++j;
        } else {
          while (j < text_.size() && ev_.IdentChars.Contains(text_[j]) && !ev_.QuoteChars.Contains(text_[j])) ++j;
        }
        lv.token.append(text_.data() + i_, j - i_);
        lv.tokenStarted = true;
        i_ = j - 1;
        return true;
      }
      // The token ends here and c is looked at again; errors name the
      // token's last character.
      back_ = 1;
      if (const TkqOperator* op = ev_.Operators.Find(lv.token)) {
        if (lv.prefix) Fail(kMsgExpressionExpected);
        lv.haveOperand = false;
        lv.prefix = op;
        // The token-started mark stays: a word operator directly before a
        // character that ends a token, as in "(not)", applies to the empty
        // operand there.
        lv.state = State::Operand;
      } else if (const TkqFunction* f = ev_.Functions.Find(lv.token)) {
        lv.func = f;
        lv.state = State::AfterFunction;
      } else if (lv.tokenStarted) {
        CompleteOperand(lv, lv.token);
      } else {
        Fail(kMsgExpressionExpected);
      }
      back_ = 0;
      return false;

    case State::Operator:
      if (c == ' ') return SkipBlanks();
      if (c == ')') {
        lv.done = true;
        if (lv.kind == Kind::Arguments) CallWithArguments(lv);
        return true;
      }
      if (c == ',') {
        if (lv.kind != Kind::Arguments) Fail(kMsgOperatorExpected);
        FinishLevel(lv);
        lv.args.push_back(std::move(lv.L));
        lv.L.clear();
        lv.state = State::Operand;
        return true;
      }
      if (ev_.OperatorChars.Contains(c)) {
        lv.wordOperator = false;
      } else if (ev_.WordOperatorChars.Contains(c)) {
        lv.wordOperator = true;
      } else {
        Fail(kMsgOperatorExpected);
      }
      lv.token.clear();
      lv.state = State::InOperator;
      return false;

    case State::InOperator: {
      const TkqCharSet& cls = lv.wordOperator ? ev_.WordOperatorChars : ev_.OperatorChars;
      if (cls.Contains(c)) {
        lv.token += c;
        return true;
      }
      const TkqOperator* op = ev_.Operators.Find(lv.token);
      if (!op) Fail(kMsgUnknownOperator);
      if (!lv.haveOperand)
        lv.prefix = op;
      else if (lv.op1)
        lv.op2 = op;
      else
        lv.op1 = op;
      lv.state = State::Operand;
      return false;
    }

    case State::AfterFunction:
      if (c == ' ') return SkipBlanks();
      if (c == '(') {
        ++i_;
        Push(Kind::Arguments, lv.func);
        return false;
      }
      if (lv.func->ParamCount != 0) Fail(kMsgFunctionParamsExpected);
      {
        std::string v;
        Call(*lv.func, nullptr, v);
        CompleteOperand(lv, v);
      }
      return false;
  }
  return true;
}

void TkqEvaluation::Run(std::string& result) {
  const size_t n = text_.size();
  for (;;) {
    Level& lv = At(depth_);
    if (lv.done || i_ >= n) {
      // Errors from here on name the position after the ")" that ended the
      // level (it is consumed already), or the length of the text plus one.
      back_ = 0;
      EndLevel(lv);
      if (depth_ == 0) {
        result = std::move(lv.L);
        return;
      }
      // The value completes an operand of the level below, which continues
      // after the ")".
      --depth_;
      Level& below = At(depth_);
      CompleteOperand(below, lv.L);
      continue;
    }
    if (Step(lv, text_[i_])) ++i_;
  }
}

// --- TkqEvaluator ----------------------------------------------------------------------

// Guarded by a lock: an evaluation on the installation's worker thread and
// one on the main thread may meet here.
struct TkqEvaluator::CheckedTexts {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::mutex lock;
  std::unordered_set<std::string, Hash, std::equal_to<>> texts;
  int operators = -1, functions = -1;  // the table sizes the texts were checked with
};

namespace {
constexpr size_t kMaxCheckedTexts = 4096;
constexpr size_t kMaxCheckedLength = 1024;
}  // namespace

bool TkqEvaluator::KnownWellFormed(std::string_view expr) {
  std::lock_guard<std::mutex> guard(checked_->lock);
  if (checked_->operators != Operators.Count() || checked_->functions != Functions.Count()) {
    checked_->texts.clear();
    checked_->operators = Operators.Count();
    checked_->functions = Functions.Count();
    return false;
  }
  return checked_->texts.find(expr) != checked_->texts.end();
}

void TkqEvaluator::RememberWellFormed(std::string_view expr) {
  if (expr.size() > kMaxCheckedLength) return;
  std::lock_guard<std::mutex> guard(checked_->lock);
  if (checked_->operators != Operators.Count() || checked_->functions != Functions.Count()) return;
  if (checked_->texts.size() >= kMaxCheckedTexts) checked_->texts.clear();
  checked_->texts.emplace(expr);
}

TkqEvaluator::TkqEvaluator() : checked_(std::make_unique<CheckedTexts>()) {
  IdentChars.Include('0', '9');
  IdentChars.Include('A', 'Z');
  IdentChars.Include('_');
  IdentChars.Include('a', 'z');
  for (unsigned char c : std::string_view("!#$%&*+-/:<=>?@\\^|~")) OperatorChars.Include(c);
  WordOperatorChars.Include('A', 'Z');
  WordOperatorChars.Include('a', 'z');
  QuoteChars.Include('"');
  QuoteChars.Include('\'');
}

TkqEvaluator::~TkqEvaluator() = default;

bool TkqEvaluator::ResolveOperand(std::string&, void*) { return true; }

void TkqEvaluator::Evaluate(std::string_view expr, void* data, std::string& result) {
  result.clear();
  if (!KnownWellFormed(expr)) {
    TkqEvaluation check(*this, expr, data, true);
    check.Run(result);
    RememberWellFormed(expr);
  }
  result.clear();
  TkqEvaluation run(*this, expr, data, false);
  run.Run(result);
}

}  // namespace vx
