#include "expr/Evaluator.h"

#include <cstdlib>
#include <cmath>
#include <limits>

#include "database/Variables.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

constexpr const char kMsgZeroDivide[] = "Floating point division by zero";
constexpr const char kMsgInvalidOp[] = "Invalid floating point operation";
constexpr const char kMsgOverflow[] = "Floating point overflow";
constexpr const char kCaptionEvalError[] = "Expression evaluation error";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// --- Numbers ---------------------------------------------------------------------------

double StrToNumber(std::string_view s) {
  const size_t n = s.size();
  size_t i = 0;
  while (i < n && s[i] == ' ') ++i;
  size_t start = i;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  const size_t mantissa = i;
  size_t intDigits = 0, fracDigits = 0;
  while (i < n && IsDigit(s[i])) ++i, ++intDigits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && IsDigit(s[i])) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return 0;
  long long exponent = 0;
  if (i < n && (s[i] == 'E' || s[i] == 'e')) {
    ++i;
    bool expNegative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
      expNegative = s[i] == '-';
      ++i;
    }
    if (i >= n || !IsDigit(s[i])) return 0;
    while (i < n && IsDigit(s[i])) {
      if (exponent < 100000000) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (expNegative) exponent = -exponent;
  }
  if (i != n) return 0;

  // Up to 15 significant digits and a small decimal exponent: the digits
  // and the power of ten are exact doubles, so one multiplication or
  // division gives the correctly rounded value.
  {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t m = 0;
    int significant = 0;
    for (size_t k = mantissa; k < n && (IsDigit(s[k]) || s[k] == '.'); ++k) {
      if (s[k] == '.') continue;
      if (significant == 0 && s[k] == '0') continue;
      m = m * 10 + uint64_t(s[k] - '0');
      if (++significant > 15) break;
    }
    long long e10 = exponent - (long long)fracDigits;
    if (significant <= 15 && e10 >= -22 && e10 <= 22) {
      double v = double(m);
      v = e10 < 0 ? v / kPow10[-e10] : v * kPow10[e10];
      return negative ? -v : v;
    }
  }

  // ParseFloat takes a "-" but no "+"; it never looks at the locale.
  size_t first = negative ? start : mantissa;
  double value = 0;
  TFloatParse parsed = ParseFloat(std::string_view(s).substr(first, n - first), value);
  if (parsed == TFloatParse::Ok) return value;
  if (parsed != TFloatParse::OutOfRange) return 0;

  // Out of range: decide between overflow and underflow by the decimal
  // magnitude, the position of the first significant digit plus the exponent.
  long long firstSignificant = -1, index = 0;
  for (size_t k = mantissa; k < n && (IsDigit(s[k]) || s[k] == '.'); ++k) {
    if (s[k] == '.') continue;
    if (s[k] != '0') {
      firstSignificant = index;
      break;
    }
    ++index;
  }
  if (firstSignificant < 0) return 0;
  long long magnitude = (long long)intDigits - firstSignificant + exponent;
  double big = std::numeric_limits<double>::infinity();
  if (magnitude > 0) return negative ? -big : big;
  return negative ? -0.0 : 0.0;
}

std::string NumberToStr(double value) {
  if (value == 0 || std::isnan(value) || std::isinf(value)) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    return "0";  // also for -0
  }
  // 15 significant digits, correctly rounded, independent of the C runtime:
  // "-d.ddddddddddddddde+XX".
  std::string text = FormatFloat(value, 'e', 14);
  const char* p = text.c_str();
  const char* end = p + text.size();
  bool negative = *p == '-';
  if (negative) ++p;
  char digits[16];
  int count = 0;
  for (; p < end && *p != 'e'; ++p)
    if (IsDigit(*p)) digits[count++] = *p;
  int exponent = 0;
  if (p < end) exponent = std::atoi(p + 1);
  while (count > 1 && digits[count - 1] == '0') --count;

  std::string out;
  out.reserve(24);
  if (negative) out += '-';
  if (exponent >= -4 && exponent <= 14) {
    if (exponent >= 0) {
      for (int k = 0; k <= exponent; ++k) out += k < count ? digits[k] : '0';
      if (count > exponent + 1) {
        out += '.';
        out.append(digits + exponent + 1, size_t(count - exponent - 1));
      }
    } else {
      out += "0.";
      out.append(size_t(-exponent - 1), '0');
      out.append(digits, size_t(count));
    }
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, size_t(count - 1));
    }
    out += 'E';
    if (exponent < 0) out += '-';
    out += std::to_string(exponent < 0 ? -exponent : exponent);
  }
  return out;
}

namespace {

// Writes the result of arithmetic; results that are not finite numbers are
// the floating-point errors of the run-time library.
void WriteNumber(double value, std::string& result) {
  if (std::isnan(value)) throw EMathError(kMsgInvalidOp);
  if (std::isinf(value)) throw EMathError(kMsgOverflow);
  result = NumberToStr(value);
}

const TvxEvalData kNoData;

const TvxEvalData& DataOf(void* data) { return data ? *static_cast<const TvxEvalData*>(data) : kNoData; }

}  // namespace

// --- TvxEvaluator -------------------------------------------------------------------------

TvxEvaluator::TvxEvaluator() {
  // In the installer "%Name%", "1.5", "2.0.1" and "setup.exe" are single
  // operand tokens.
  IdentChars.Include('%');
  IdentChars.Include('.');
  OperatorChars.Exclude('%');

  Operators.Add("+", kqUnary | kqBinary, 3);
  Operators.Add("-", kqUnary | kqBinary, 3);
  Operators.Add("*", kqBinary, 4);
  Operators.Add("/", kqBinary, 4);
  Operators.Add("&", kqBinary, 3);
  Operators.Add("=", kqBinary, 2);
  Operators.Add("<>", kqBinary, 2);
  Operators.Add("and", kqBinary, 1);
  Operators.Add("or", kqBinary, 0);
  Operators.Add("not", kqUnary, 5);
  Operators.Add("<", kqBinary, 2);
  Operators.Add(">", kqBinary, 2);
  Operators.Add("<=", kqBinary, 2);
  Operators.Add(">=", kqBinary, 2);
}

int32_t TvxEvaluator::AddFunction(std::string_view name, int32_t paramCount, TvxFunctionProc proc) {
  const TkqFunction* f = Functions.Add(name, paramCount, nullptr);
  if (!f) return -1;
  procs_.resize(size_t(Functions.Count()));
  procs_[size_t(f->Index)] = std::move(proc);
  return f->ID;
}

int32_t TvxEvaluator::AddPluginFunction(std::string_view name, int32_t paramCount, void* owner) {
  const TkqFunction* f = Functions.Add(name, paramCount, owner);
  if (!f) return -1;
  procs_.resize(size_t(Functions.Count()));
  return f->ID;
}

void TvxEvaluator::Calc(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra,
                        std::string& result) {
  TvxEvalData data;
  data.Database = database;
  data.Expand = expand;
  data.Extra = extra;
  if (expr.find('\r') == std::string_view::npos && expr.find('\n') == std::string_view::npos) {
    Evaluate(expr, &data, result);
    return;
  }
  std::string joined;
  joined.reserve(expr.size());
  for (char c : expr)
    if (c != '\r' && c != '\n') joined += c;
  Evaluate(joined, &data, result);
}

bool TvxEvaluator::ResolveOperand(std::string& value, void* data) {
  const TvxEvalData& d = DataOf(data);
  if (d.Expand) {
    for (char c : value)
      if (c == '%' || c == '|' || c == '#') {
        std::string out;
        ExpandTextTo(d.Database, value, false, true, out);
        value.swap(out);
        break;
      }
  }
  return true;
}

// `result` arrives empty.
void TvxEvaluator::ApplyOperator(const TkqOperator& op, int arity, std::string& left, std::string& right, void*,
                                 std::string& result) {
  switch (op.Index) {
    case opAdd:
      WriteNumber(arity == kqArityUnary ? StrToNumber(right) : StrToNumber(left) + StrToNumber(right), result);
      break;
    case opSub:
      WriteNumber(arity == kqArityUnary ? -StrToNumber(right) : StrToNumber(left) - StrToNumber(right), result);
      break;
    case opMul:
      WriteNumber(StrToNumber(left) * StrToNumber(right), result);
      break;
    case opDiv: {
      double l = StrToNumber(left), r = StrToNumber(right);
      if (r == 0) throw EMathError(l == 0 || std::isnan(l) ? kMsgInvalidOp : kMsgZeroDivide);
      WriteNumber(l / r, result);
      break;
    }
    case opConcat:
      result = std::move(left);
      result += right;
      break;
    case opEqual:
      result.push_back(left == right ? '1' : '0');
      break;
    case opNotEqual:
      result.push_back(left != right ? '1' : '0');
      break;
    case opAnd:
      result.push_back(IsTrue(left) && IsTrue(right) ? '1' : '0');
      break;
    case opOr:
      result.push_back(IsTrue(left) || IsTrue(right) ? '1' : '0');
      break;
    case opNot:
      result.push_back(!IsTrue(right) ? '1' : '0');
      break;
    case opLess:
      result.push_back(StrToNumber(left) < StrToNumber(right) ? '1' : '0');
      break;
    case opGreater:
      result.push_back(StrToNumber(left) > StrToNumber(right) ? '1' : '0');
      break;
    case opLessEqual:
      result.push_back(StrToNumber(left) <= StrToNumber(right) ? '1' : '0');
      break;
    case opGreaterEqual:
      result.push_back(StrToNumber(left) >= StrToNumber(right) ? '1' : '0');
      break;
    default:
      break;
  }
}

void TvxEvaluator::CallFunction(const TkqFunction& func, const TkqParams* params, void* data, std::string& result) {
  const TvxEvalData& d = DataOf(data);
  result.clear();
  if (func.Owner) {
    if (pluginCalls_) pluginCalls_->Call(func, params, d.Extra, result);
    return;
  }
  // A function added to the table directly has no implementation here.
  if (size_t(func.Index) >= procs_.size()) return;
  const TvxFunctionProc& proc = procs_[size_t(func.Index)];
  if (proc) proc(*this, func, params, d, result);
}

// --- Evaluations of the run ------------------------------------------------------------------

void TvxEvaluator::CalcExpression(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra,
                                  std::string& result) {
  if (!database) database = mainDatabase_;
  try {
    Calc(database, expr, expand, extra, result);
  } catch (const ESilentAbort&) {
    // A nested evaluation has already shown its box.
    throw;
  } catch (const std::exception& e) {
    result.clear();
    if (prompts_) prompts_->ErrorBox(kCaptionEvalError, e.what());
    throw ESilentAbort();
  }
}

std::string TvxEvaluator::CalcExpression(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra) {
  std::string r;
  CalcExpression(database, expr, expand, extra, r);
  return r;
}

bool TvxEvaluator::CalcBoolExpression(TXMLObject* database, std::string_view expr, bool expand, intptr_t extra) {
  return IsTrue(CalcExpression(database, expr, expand, extra));
}

void TvxEvaluator::EvaluateText(TXMLObject* database, std::string_view text, bool parseIdentifiers,
                                std::string& result, void* context) {
  CalcExpression(database, text, parseIdentifiers, reinterpret_cast<intptr_t>(context), result);
}

bool TvxEvaluator::EvaluateCondition(TXMLObject* database, std::string_view text, bool parseIdentifiers) {
  return CalcBoolExpression(database, text, parseIdentifiers, 0);
}

}  // namespace vx
