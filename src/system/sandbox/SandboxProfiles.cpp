// SandboxHost, the profile functions: the platform's own INI access over
// the machine's files, with the rules of GetPrivateProfileString and
// WritePrivateProfileString.
#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

// --- Profile functions ------------------------------------------------------------------
// The platform's own INI reading: names and values trimmed, a value's
// surrounding quotes removed, names compared without regard to case.

std::vector<ProfileLine> ParseProfile(const std::string& content) {
  std::vector<ProfileLine> lines;
  for (std::string raw : SplitString(content, '\n')) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    ProfileLine l;
    l.text = raw;
    std::string t = Trim(raw);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      l.header = true;
      l.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else if (size_t eq = t.find('='); eq != std::string::npos && t[0] != ';') {
      l.name = Trim(t.substr(0, eq));
      l.value = Trim(t.substr(eq + 1));
      if (l.value.size() >= 2 && (l.value[0] == '"' || l.value[0] == '\'') && l.value.back() == l.value[0])
        l.value = l.value.substr(1, l.value.size() - 2);
    }
    lines.push_back(l);
  }
  if (!lines.empty() && lines.back().text.empty()) lines.pop_back();
  return lines;
}


std::string SandboxHost::ProfileRead(const std::string& file, const std::optional<std::string>& section,
                                     const std::optional<std::string>& key, const std::string& def,
                                     uint32_t size) {
  if (size == 0) return "";
  std::string path = ExtractFilePath(file).empty() ? WindowsFolder() + "\\" + file : file;
  std::string content;
  Resolved r = Resolve(path);
  if (r.ok) NativeReadFile(r.native, content);
  std::vector<ProfileLine> lines = ParseProfile(content);
  auto limitList = [&](const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
      if (out.size() + n.size() + 2 > size) break;
      out += n + '\0';
    }
    return out;
  };
  std::vector<std::string> names;
  if (!section) {
    for (const ProfileLine& l : lines)
      if (l.header) names.push_back(l.name);
    return limitList(names);
  }
  bool inSection = false;
  for (const ProfileLine& l : lines) {
    if (l.header) {
      inSection = SameText(l.name, *section);
      continue;
    }
    if (!inSection || l.name.empty()) continue;
    if (!key) {
      names.push_back(l.name);
    } else if (SameText(l.name, *key)) {
      return l.value.substr(0, size - 1);
    }
  }
  if (!key) return limitList(names);
  return TrimRight(def).substr(0, size - 1);
}

bool SandboxHost::ProfileWrite(const std::string& file, const std::string& section,
                               const std::optional<std::string>& key, const std::optional<std::string>& value) {
  std::string path = ExtractFilePath(file).empty() ? WindowsFolder() + "\\" + file : file;
  Resolved r = Resolve(path);
  if (!r.ok || !Writable(r)) return Fail(kErrorAccessDenied);
  if (InUse(r.native)) return Fail(kErrorSharingViolation);
  std::string content;
  NativeReadFile(r.native, content);
  std::vector<ProfileLine> lines = ParseProfile(content);
  int sectionAt = -1, end = int(lines.size()), keyAt = -1;
  for (int i = 0; i < int(lines.size()); ++i) {
    if (lines[size_t(i)].header) {
      if (sectionAt >= 0) {
        end = i;
        break;
      }
      if (SameText(lines[size_t(i)].name, section)) sectionAt = i;
    } else if (sectionAt >= 0 && key && keyAt < 0 && SameText(lines[size_t(i)].name, *key)) {
      keyAt = i;
    }
  }
  auto at = [&](int i) { return lines.begin() + i; };
  if (!key) {
    if (sectionAt >= 0) lines.erase(at(sectionAt), at(end));
  } else if (!value) {
    if (keyAt >= 0) lines.erase(at(keyAt));
  } else {
    ProfileLine l;
    l.text = *key + "=" + *value;
    if (keyAt >= 0) {
      lines[size_t(keyAt)] = l;
    } else if (sectionAt >= 0) {
      int insert = end;
      while (insert > sectionAt + 1 && Trim(lines[size_t(insert - 1)].text).empty()) --insert;
      lines.insert(at(insert), l);
    } else {
      ProfileLine h;
      h.text = "[" + section + "]";
      lines.push_back(h);
      lines.push_back(l);
    }
  }
  std::string out;
  for (const ProfileLine& l : lines) out += l.text + "\r\n";
  if (!NativeMakeDirs(r.native.substr(0, r.native.rfind('/')))) return Fail(kErrorPathNotFound);
  return NativeWriteFileAtomic(r.native, out) || Fail(kErrorAccessDenied);
}

}  // namespace vx
