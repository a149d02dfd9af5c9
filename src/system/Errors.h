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

// An input/output failure (a file that exists but cannot be opened...).
class EInOutError : public EEngineError {
 public:
  explicit EInOutError(const std::string& message) : EEngineError(message) {}
};

// The security functions could not answer (the administrator check).
class ESecurityError : public EEngineError {
 public:
  explicit ESecurityError(const std::string& message) : EEngineError(message) {}
};

class ESilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

}  // namespace vx
