// An expression context for tests of the layers below the evaluator: a
// condition holds unless it is "0", a text evaluates through `text` (to ""
// without it).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "database/VXClasses.h"

namespace vxtest {

struct FakeExpressions : vx::TvxExpressionContext {
  FakeExpressions() { ConditionsEnabled = true; }
  std::function<void(vx::TXMLObject* database, std::string_view text, bool parse, std::string& result,
                     void* context)>
      text;
  void EvaluateText(vx::TXMLObject* database, std::string_view t, bool parse, std::string& result,
                    void* context) override {
    if (text) text(database, t, parse, result, context);
  }
  bool EvaluateCondition(vx::TXMLObject*, std::string_view t, bool) override { return t != "0"; }
};

}  // namespace vxtest
