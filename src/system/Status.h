// How a failure travels below the place that reports it: a status with a
// stable identifier ("package.not-found") and the arguments its message
// names, in order. The layer that fails knows its identifiers and their
// texts; the place that reports it (the run's message box, vxtool's
// standard error, a log line) decides how. An empty identifier is success.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vx {

struct Status {
  std::string id;
  std::vector<std::string> args;

  bool ok() const { return id.empty(); }
  explicit operator bool() const { return ok(); }
  // The argument at `i`, "" when there is none.
  const std::string& Arg(size_t i) const {
    static const std::string none;
    return i < args.size() ? args[i] : none;
  }

  static Status Ok() { return Status(); }
  static Status Fail(std::string id, std::vector<std::string> args = {}) {
    Status s;
    s.id = std::move(id);
    s.args = std::move(args);
    return s;
  }
};

}  // namespace vx
