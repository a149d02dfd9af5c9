// SandboxHost, system changes: the machine's font table and the broadcasts
// that tell other programs about changed fonts and settings.
//
// The font table lives in <root>/fonts.loaded, one Windows path per line
// and per addition, so that a later process (the next engine run, vxtool)
// sees what a run left loaded. The machine's other programs have no
// windows to answer a broadcast: each one is kept in order for the tests
// and written to the run log ("broadcast: ...").
#include <cstring>

#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

constexpr uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA

uint32_t Le32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

// Whether the bytes are a font file that GDI loads: TrueType or OpenType
// (also a collection), a font resource file (".fon", a 16-bit "NE" image)
// or a raw bitmap font (".fnt", version 2 or 3 with a size that fits).
bool LooksLikeFontFile(const std::string& b) {
  if (b.size() < 12) return false;
  if (b.compare(0, 4, std::string("\0\1\0\0", 4)) == 0 || b.compare(0, 4, "true") == 0 ||
      b.compare(0, 4, "OTTO") == 0 || b.compare(0, 4, "ttcf") == 0)
    return true;
  if (b[0] == 'M' && b[1] == 'Z' && b.size() >= 64) {
    uint32_t ne = Le32(b, 60);
    return ne <= b.size() - 2 && b[ne] == 'N' && b[ne + 1] == 'E';
  }
  uint32_t version = uint8_t(b[0]) | uint32_t(uint8_t(b[1])) << 8;
  if (version == 0x200 || version == 0x300) {
    uint32_t size = uint32_t(uint8_t(b[2])) | uint32_t(uint8_t(b[3])) << 8 | uint32_t(uint8_t(b[4])) << 16 |
                    uint32_t(uint8_t(b[5])) << 24;
    return size >= 118 && size <= b.size();  // 118: the version 2 header
  }
  return false;
}

std::vector<std::string> ReadFontTable(const std::string& file) {
  std::string text;
  std::vector<std::string> table;
  if (!NativeReadFile(file, text)) return table;
  for (std::string line : SplitString(text, '\n')) {
    line = Trim(line);
    if (!line.empty()) table.push_back(line);
  }
  return table;
}

bool WriteFontTable(const std::string& file, const std::vector<std::string>& table) {
  std::string text;
  for (const std::string& path : table) text += path + "\n";
  return NativeWriteFileAtomic(file, text);
}

}  // namespace

bool SandboxHost::AddFontFile(const std::string& path) {
  bool ok;
  std::string windowsPath = Normalize(path, ok);
  std::string native = ok ? NativePath(windowsPath) : "";
  std::string bytes;
  if (native.empty() || NativeIsDir(native) || !NativeReadFile(native, bytes)) return Fail(kErrorFileNotFound);
  if (!LooksLikeFontFile(bytes)) return Fail(kErrorInvalidData);
  std::lock_guard<std::mutex> lock(changesLock_);
  std::vector<std::string> table = ReadFontTable(FontTableFile());
  table.push_back(windowsPath);
  if (!WriteFontTable(FontTableFile(), table)) return Fail(kErrorAccessDenied);
  RunLog("font", "add " + LogQuote(windowsPath));
  return true;
}

bool SandboxHost::RemoveFontFile(const std::string& path) {
  bool ok;
  std::string windowsPath = Normalize(path, ok);
  if (!ok) return Fail(kErrorFileNotFound);
  std::lock_guard<std::mutex> lock(changesLock_);
  std::vector<std::string> table = ReadFontTable(FontTableFile());
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (!SameText(*it, windowsPath)) continue;
    table.erase(it);
    if (!WriteFontTable(FontTableFile(), table)) return Fail(kErrorAccessDenied);
    RunLog("font", "remove " + LogQuote(windowsPath));
    return true;
  }
  return Fail(kErrorFileNotFound);
}

std::vector<std::string> SandboxHost::LoadedFonts() {
  std::lock_guard<std::mutex> lock(changesLock_);
  return ReadFontTable(FontTableFile());
}

bool SandboxHost::BroadcastFontChange(uint32_t) {
  std::lock_guard<std::mutex> lock(changesLock_);
  broadcasts_.push_back("WM_FONTCHANGE");
  RunLog("broadcast", "WM_FONTCHANGE");
  return true;
}

bool SandboxHost::BroadcastSettingChange(const std::string& area, uint32_t) {
  std::lock_guard<std::mutex> lock(changesLock_);
  broadcasts_.push_back("WM_SETTINGCHANGE " + area);
  RunLog("broadcast", "WM_SETTINGCHANGE " + LogQuote(area));
  return true;
}

std::vector<std::string> SandboxHost::Broadcasts() {
  std::lock_guard<std::mutex> lock(changesLock_);
  return broadcasts_;
}

}  // namespace vx
