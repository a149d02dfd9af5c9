// Reading byte ranges of a file without knowing what holds it (a file of the
// host, a native file in a tool, bytes in memory in a test).
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <limits>
#include <string>

namespace vx {

// Reads `size` bytes at `offset` into `out`; false (or a shorter `out`)
// when the bytes are not there.
using ByteReader = std::function<bool(uint64_t offset, size_t size, std::string& out)>;

// A reader over a seekable stream that refuses ranges past `limit` bytes.
inline ByteReader StreamReader(std::istream& in, uint64_t limit = std::numeric_limits<uint64_t>::max()) {
  return [&in, limit](uint64_t offset, size_t size, std::string& out) {
    out.clear();
    if (offset > limit || size > limit - offset) return false;
    out.assign(size, '\0');
    in.clear();
    in.seekg(std::streamoff(offset));
    in.read(out.data(), std::streamsize(size));
    out.resize(size_t(in.gcount()));
    return true;
  };
}

}  // namespace vx
