// What the benchmarks share: generated payloads (text, binary and random
// contents whose compressibility resembles what setup files carry), the
// wall clock and the machine's load.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace bench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}


// Text: lines of words from a skewed vocabulary, with numbers and settings
// (about 3:1 under deflate).
inline void Text(std::mt19937& rng, size_t size, std::string& out) {
  static std::vector<std::string> vocabulary = [] {
    std::mt19937 r(7);
    std::vector<std::string> v;
    for (int i = 0; i < 400; ++i) {
      std::string w;
      for (size_t n = 2 + r() % 9; n > 0; --n) w += char('a' + r() % 26);
      v.push_back(w);
    }
    return v;
  }();
  out.clear();
  while (out.size() < size) {
    size_t words = 3 + rng() % 12;
    for (size_t i = 0; i < words; ++i) {
      uint32_t a = rng() % 400, b = rng() % 400;
      out += vocabulary[a * b / 400];  // skewed: low indices are frequent
      uint32_t k = rng() % 16;
      if (k == 0) out += " = " + std::to_string(rng() % 100000);
      else if (k == 1) out += ", ";
      out += ' ';
    }
    out += rng() % 4 == 0 ? ".\r\n\r\n" : "\r\n";
  }
  out.resize(size);
}

// Binary: what executables and data files hold.
inline void Binary(std::mt19937& rng, size_t size, std::string& out) {
  out.clear();
  uint32_t address = rng();
  while (out.size() < size) {
    switch (rng() % 5) {
      case 0:  // padding
        out.append(4 + rng() % 60, '\0');
        break;
      case 1:  // a table of nearby addresses
        for (size_t n = 2 + rng() % 14; n > 0; --n) {
          address += 4 + rng() % 64;
          out.append(reinterpret_cast<const char*>(&address), 4);
        }
        break;
      case 2:  // a repeat of recent bytes, slightly changed
        if (out.size() > 4096) {
          size_t len = 8 + rng() % 40, from = out.size() - 1 - rng() % 4000;
          std::string copy = out.substr(from, len);
          copy[rng() % copy.size()] = char(rng());
          out += copy;
          break;
        }
        [[fallthrough]];
      case 3:  // small numbers
        for (size_t n = 4 + rng() % 12; n > 0; --n) out += char(rng() % 16);
        break;
      default:  // code-like noise
        for (size_t n = 4 + rng() % 12; n > 0; --n) out += char(rng());
        break;
    }
  }
  out.resize(size);
}

inline void Random(std::mt19937_64& rng, size_t size, std::string& out) {
  out.resize((size + 7) / 8 * 8);
  for (size_t i = 0; i < out.size(); i += 8) {
    uint64_t v = rng();
    std::memcpy(out.data() + i, &v, 8);
  }
  out.resize(size);
}

}  // namespace bench
