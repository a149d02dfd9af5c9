#include "system/RunLog.h"

#include <cstdio>
#include <mutex>

namespace vx {

namespace {
std::mutex g_mutex;
std::FILE* g_file = nullptr;

std::string Escape(const std::string& s) {
  std::string r;
  r.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '\r': r += "\\r"; break;
      case '\n': r += "\\n"; break;
      case '\t': r += "\\t"; break;
      case '\\': r += "\\\\"; break;
      case '"': r += "\\\""; break;
      default: r += c;
    }
  }
  return r;
}
}  // namespace

bool OpenRunLog(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_file) std::fclose(g_file);
  g_file = std::fopen(path.c_str(), "wb");
  return g_file != nullptr;
}

void CloseRunLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_file) std::fclose(g_file);
  g_file = nullptr;
}

bool RunLogActive() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_file != nullptr;
}

std::string LogQuote(const std::string& value) { return "\"" + Escape(value) + "\""; }

void RunLog(const std::string& category, const std::string& text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_file) return;
  std::string line = category + ": ";
  for (char c : text) {
    if (c == '\r') line += "\\r";
    else if (c == '\n') line += "\\n";
    else line += c;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), g_file);
  std::fflush(g_file);
}

}  // namespace vx
