// Reading byte ranges of a file without knowing what holds it (a file of the
// host, a native file in a tool, bytes in memory in a test).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vx {

// Reads `size` bytes at `offset` into `out`; false (or a shorter `out`)
// when the bytes are not there.
using ByteReader = std::function<bool(uint64_t offset, size_t size, std::string& out)>;

}  // namespace vx
