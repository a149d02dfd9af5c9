// Exceptions of the engine. Parsing and evaluation raise EEngineError (or a
// subclass) carrying the message that the run flow shows; ESilentAbort ends
// a run without any box.
#pragma once

#include <stdexcept>
#include <string>

namespace vx {

class EEngineError : public std::runtime_error {
 public:
  explicit EEngineError(const std::string& message) : std::runtime_error(message) {}
};

class ESilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

}  // namespace vx
