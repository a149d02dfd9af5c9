#include "support/MachineSnapshot.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"

#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <sstream>

#include "system/sandbox/SandboxHost.h"
#endif

namespace vxtest {

using namespace vx;

// --- SHA-256 ----------------------------------------------------------------------

namespace {

const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const unsigned char* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
  h_[5] += f;
  h_[6] += g;
  h_[7] += h;
}

void Sha256::Add(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  total_ += size;
  while (size > 0) {
    size_t n = std::min(size, sizeof buffer_ - used_);
    std::memcpy(buffer_ + used_, p, n);
    used_ += n;
    p += n;
    size -= n;
    if (used_ == sizeof buffer_) {
      Block(buffer_);
      used_ = 0;
    }
  }
}

std::string Sha256::Finish() {
  uint64_t bits = total_ * 8;
  unsigned char pad[72] = {0x80};
  size_t padLength = (used_ < 56 ? 56 : 120) - used_;
  for (int i = 0; i < 8; ++i) pad[padLength + i] = (unsigned char)(bits >> (56 - 8 * i));
  Add(pad, padLength + 8);
  std::string digest(32, '\0');
  for (int i = 0; i < 32; ++i) digest[i] = char(h_[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

// --- Names and shown forms ----------------------------------------------------------------

namespace {

// The order of the snapshot's maps: without regard to case, and a folder
// (or key) right before everything below it, "C:\a" < "C:\a\b" < "C:\a b".
std::string TreeKey(const std::string& path) {
  std::string k = UpperCase(path);
  for (char& c : k)
    if (c == '\\') c = '\x01';
  return k;
}

// Windows path without a trailing backslash, except for a drive root.
std::string FolderPath(const std::string& path) {
  std::string p = path;
  for (char& c : p)
    if (c == '/') c = '\\';
  while (p.size() > 3 && p.back() == '\\') p.pop_back();
  if (p.size() == 2 && p[1] == ':') p += '\\';
  return p;
}

std::string ShortRootName(RegKey root) {
  switch (root) {
    case kHKeyClassesRoot: return "HKCR";
    case kHKeyCurrentUser: return "HKCU";
    case kHKeyLocalMachine: return "HKLM";
    case kHKeyUsers: return "HKU";
  }
  return Format("0x%lX", (unsigned long)root);
}

// A registry path in the form the snapshot names keys ("HKLM\Software").
std::string KeyPath(const std::string& path) {
  RegKey root = kHKeyCurrentUser;
  std::string sub;
  SplitRegPath(path, root, sub);
  while (!sub.empty() && sub.back() == '\\') sub.pop_back();
  return ShortRootName(root) + (sub.empty() ? "" : "\\" + sub);
}

// An ignore prefix in the form paths and keys are compared in: forward
// slashes as backslashes, long root names of the registry shortened.
std::string IgnorePrefix(const std::string& prefix) {
  std::string p = prefix;
  for (char& c : p)
    if (c == '/') c = '\\';
  static const char* const kLong[][2] = {{"HKEY_CLASSES_ROOT", "HKCR"},
                                          {"HKEY_CURRENT_USER", "HKCU"},
                                          {"HKEY_LOCAL_MACHINE", "HKLM"},
                                          {"HKEY_USERS", "HKU"}};
  for (const auto& names : kLong) {
    size_t n = std::strlen(names[0]);
    if (StartsWithText(p, names[0]) && (p.size() == n || p[n] == '\\')) return names[1] + p.substr(n);
  }
  return p;
}

std::string ValuePath(const std::string& key, const std::string& name) {
  return key + (name.empty() ? std::string("\\@") : "\\'" + name + "'");
}

// Text in double quotes; every byte that is not plain printable ASCII is
// escaped, so that different texts never look alike.
std::string Quoted(const std::string& text) {
  std::string r = "\"";
  for (char ch : text) {
    unsigned char c = (unsigned char)ch;
    if (c == '"' || c == '\\') {
      r += '\\';
      r += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      r += Format("\\x%02X", c);
    } else {
      r += ch;
    }
  }
  return r + "\"";
}

std::string HexBytes(const std::string& data) {
  std::string r = "hex:";
  for (size_t i = 0; i < data.size(); ++i) r += Format(i ? ",%02x" : "%02x", (unsigned char)data[i]);
  return r;
}

// The data of a value in a readable form that keeps every byte: texts
// quoted when they are exactly one text and its terminating zero, lists of
// texts in brackets, 4-byte DWORDs in hexadecimal, everything else as hex
// bytes. Long forms are cut; Diff then names the first differing byte.
std::string ShownData(uint32_t type, const std::string& data) {
  const size_t kShown = 160;
  std::string shown;
  if ((type == kRegSz || type == kRegExpandSz) && !data.empty() && data.find('\0') == data.size() - 1) {
    shown = Quoted(data.substr(0, data.size() - 1));
  } else if (type == kRegMultiSz && !data.empty() && data.back() == '\0' &&
             (data.size() == 1 || (data.size() >= 3 && data[data.size() - 2] == '\0' && data[0] != '\0' &&
                                   data.find(std::string("\0\0", 2)) == data.size() - 2))) {
    shown = "[";
    if (data.size() > 1)
      for (const std::string& s : SplitString(std::string_view(data).substr(0, data.size() - 2), '\0'))
        shown += (shown.size() > 1 ? ", " : "") + Quoted(s);
    shown += "]";
  } else if (type == kRegDword && data.size() == 4) {
    uint32_t v = uint32_t((unsigned char)data[0]) | uint32_t((unsigned char)data[1]) << 8 |
                 uint32_t((unsigned char)data[2]) << 16 | uint32_t((unsigned char)data[3]) << 24;
    shown = Format("0x%08X", v);
  } else {
    shown = HexBytes(data.substr(0, kShown / 3 + 2));  // enough to be cut below when there is more
  }
  if (shown.size() > kShown) shown = shown.substr(0, kShown) + "... (" + std::to_string(data.size()) + " bytes)";
  return shown;
}

std::string ShownAttributes(uint32_t a) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{kAttrReadOnly, "read-only"}, {kAttrHidden, "hidden"},       {kAttrSystem, "system"},
                {kAttrDirectory, "directory"}, {kAttrArchive, "archive"}, {kAttrNormal, "normal"}};
  std::string names;
  for (const auto& n : kNames)
    if (a & n.bit) names += (names.empty() ? "" : ", ") + std::string(n.name);
  return Format("0x%X", a) + (names.empty() ? "" : " (" + names + ")");
}

// The offset of the first byte in which `a` and `b` differ (the shorter
// one's size when one begins the other).
size_t FirstDifference(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return i;
  return n;
}

}  // namespace

std::string RegTypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",  "REG_SZ",               "REG_EXPAND_SZ", "REG_BINARY",
                                       "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",      "REG_MULTI_SZ"};
  return type < 8 ? kNames[type] : Format("REG_%u", type);
}

// --- Taking a snapshot ------------------------------------------------------------------

SnapshotOptions SnapshotOptions::TestRoots(const std::string& scratch, const std::string& testKey) {
  SnapshotOptions o;
  o.folders = {scratch};
  const std::string version = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
  o.keys = {"HKCU\\Software\\" + testKey, "HKLM\\" + version + "Uninstall", "HKLM\\" + version + "SharedDLLs",
            "HKLM\\" + version + "RunOnce", "HKCU\\" + version + "RunOnce"};
  return o;
}

namespace {

// The long form of an existing path, component by component as the host
// lists them (a listing names the long name of a short one); the rest of
// the path as given from the first component that cannot be found.
std::string LongPath(Host& host, const std::string& path) {
  std::string p = FolderPath(path);
  if (p.size() < 3 || p[1] != ':' || p[2] != '\\') return p;
  std::string result = p.substr(0, 3);
  std::vector<std::string> parts = SplitString(std::string_view(p).substr(3), '\\');
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    std::vector<FindEntry> entries;
    uint32_t error = 0;
    std::string name = parts[i];
    if (name.find_first_of("*?") == std::string::npos && host.ListFolder(result, name, entries, error) &&
        entries.size() == 1)
      name = entries[0].name;
    result += (result.back() == '\\' ? "" : "\\") + name;
  }
  return result;
}

class Taker {
 public:
  Taker(Host& host, const SnapshotOptions& options, MachineSnapshot& snapshot) : host_(host), snap_(snapshot) {
    for (const std::string& p : options.ignore)
      if (!p.empty()) ignore_.push_back(IgnorePrefix(p));
  }

  bool Ignored(const std::string& path) const {
    for (const std::string& p : ignore_)
      if (StartsWithText(path, p)) return true;
    return false;
  }

  void Problem(const std::string& text) { snap_.problems.push_back(text); }

  // A watched folder (or file) with everything below it. A root that does
  // not exist is taken as it is: absent.
  void Folder(const std::string& root) {
    std::string path = FolderPath(root);
    if (Ignored(path)) return;
    uint32_t a = host_.GetAttributes(path);
    if (a == kInvalidAttributes) return;
    if (!(a & kAttrDirectory)) {
      File(path, a);
      return;
    }
    Add(path).attributes = a;
    Walk(path);
  }

  // A watched key with everything below it.
  void Key(const std::string& root) {
    std::string path = KeyPath(root);
    if (Ignored(path)) return;
    RegKey top = kHKeyCurrentUser, key = 0;
    std::string sub;
    SplitRegPath(root, top, sub);
    uint32_t r = host_.OpenRegKey(top, sub, false, key);
    if (r == kErrorFileNotFound || r == kErrorPathNotFound) return;
    if (r != kErrorSuccess) {
      Problem(Format("cannot open key %s (error %u)", path.c_str(), r));
      return;
    }
    WalkKey(key, path);
    host_.CloseRegKey(key);
  }

#ifndef _WIN32
  // The state a sandbox machine keeps beside its drives and hives: the
  // facts of machine.ini, and what the machine's programs change while it
  // runs (a restart the engine asked for, the font table). Any other file
  // in the machine folder is compared by its content, so that state kept
  // there later is not missed; folders other than the drives (the lock
  // files of named mutexes) are not state.
  void MachineState(SandboxHost& sandbox) {
    std::string text;
    if (!ReadNativeFile(sandbox.Root() + "/machine.ini", text)) {
      Problem("cannot read machine.ini");
      return;
    }
    std::string section;
    for (std::string line : SplitString(text, '\n')) {
      line = Trim(line);
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[' && line.back() == ']') {
        section = Trim(line.substr(1, line.size() - 2));
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      // A key given twice counts with its last value, as the machine reads it.
      State("[" + section + "] " + Trim(line.substr(0, eq)), Quoted(Trim(line.substr(eq + 1))));
    }
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(sandbox.Root(), ec)) {
      std::string name = e.path().filename().string();
      if (!e.is_regular_file()) continue;
      static const char* const kMachineFiles[] = {"machine.ini", "HKLM.reg", "HKCU.reg", "HKU.reg", "HKCR.reg"};
      if (std::any_of(std::begin(kMachineFiles), std::end(kMachineFiles),
                      [&](const char* f) { return name == f; }))
        continue;
      if (!ReadNativeFile(e.path().string(), text)) {
        Problem("cannot read " + e.path().string());
        continue;
      }
      if (name == "restart.pending") {
        State("restart requested", "(flags " + Trim(text) + ")");
      } else if (name == "fonts.loaded") {
        // One line per addition of a font file; the table has no order.
        std::map<std::string, std::pair<std::string, int>> fonts;
        for (const std::string& line : SplitString(text, '\n'))
          if (!Trim(line).empty()) {
            auto& f = fonts[UpperCase(Trim(line))];
            if (f.first.empty()) f.first = Trim(line);  // as first added
            ++f.second;
          }
        for (const auto& [key, font] : fonts)
          State("font loaded " + font.first, font.second == 1 ? "(once)" : Format("(%d times)", font.second));
      } else {
        Sha256 sha;
        sha.Add(text.data(), text.size());
        std::string digest = sha.Finish(), hex;
        for (int i = 0; i < 8; ++i) hex += Format("%02x", (unsigned char)digest[i]);
        State("file " + name, "(" + std::to_string(text.size()) + " bytes, SHA-256 " + hex + "...)");
      }
    }
    if (ec) Problem("cannot list the machine folder " + sandbox.Root());
  }

  void State(const std::string& name, const std::string& shown) {
    if (!Ignored(name)) snap_.machine[TreeKey(name)] = {name, shown};
  }

  static bool ReadNativeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return !in.bad();
  }
#endif

 private:
  // A path the host would refuse long before this; it stops a walk that a
  // link back to a parent folder would never end.
  static constexpr size_t kDeepest = 4096;

  SnapshotFile& Add(const std::string& path) {
    std::string key = TreeKey(path);
    // Two names that differ only in case (possible only natively) are both
    // kept; the second is told apart by its exact spelling.
    if (snap_.files.count(key)) key += '\x7F' + path;
    SnapshotFile& f = snap_.files[key];
    f.path = path;
    f.folder = true;
    return f;
  }

  void File(const std::string& path, uint32_t attributes) {
    SnapshotFile& f = Add(path);
    f.folder = false;
    f.attributes = attributes;
#ifndef _WIN32
    // A pipe or a device in a machine folder would block the read or never
    // end it.
    if (auto* sandbox = dynamic_cast<SandboxHost*>(&host_)) {
      std::error_code ec;
      std::string native = sandbox->NativePath(path);
      if (!native.empty() && !std::filesystem::is_regular_file(native, ec)) {
        Problem("cannot read file " + path + " (not a regular file)");
        return;
      }
    }
#endif
    auto file = host_.OpenFile(path, FileAccess::Read, FileCreate::OpenExisting,
                               kShareRead | kShareWrite | kShareDelete);
    if (!file) {
      Problem(Format("cannot read file %s (error %u)", path.c_str(), host_.LastError()));
      return;
    }
    Sha256 sha;
    std::string chunk(64 * 1024, '\0'), kept;
    uint64_t size = 0;
    for (;;) {
      size_t done = 0;
      if (!file->Read(chunk.data(), chunk.size(), done)) {
        Problem(Format("cannot read file %s (error %u)", path.c_str(), host_.LastError()));
        return;
      }
      if (done == 0) break;
      sha.Add(chunk.data(), done);
      if (size + done <= MachineSnapshot::kKeptBytes) kept.append(chunk.data(), done);
      size += done;
    }
    f.size = size;
    f.sha256 = sha.Finish();
    f.bytesKept = size <= MachineSnapshot::kKeptBytes;
    if (f.bytesKept) f.bytes = std::move(kept);
  }

  void Walk(const std::string& folder) {
    if (folder.size() > kDeepest) {
      Problem("folder too deep: " + folder.substr(0, 200) + "...");
      return;
    }
    std::vector<FindEntry> entries;
    uint32_t error = 0;
    // An empty listing ends with "file not found" (a drive root has no "."
    // and "..").
    if (!host_.ListFolder(IncludeTrailingBackslash(folder), "*", entries, error) && error != kErrorFileNotFound &&
        error != kErrorNoMoreFiles) {
      Problem(Format("cannot list folder %s (error %u)", folder.c_str(), error));
      return;
    }
    if (error != kErrorNoMoreFiles && error != kErrorFileNotFound && error != kErrorSuccess)
      Problem(Format("listing of folder %s stopped early (error %u)", folder.c_str(), error));
    for (const FindEntry& e : entries) {
      if (e.name == "." || e.name == "..") continue;
      std::string path = IncludeTrailingBackslash(folder) + e.name;
      if (Ignored(path)) continue;
      if (e.attributes & kAttrDirectory) {
        Add(path).attributes = e.attributes;
        Walk(path);
      } else {
        File(path, e.attributes);
      }
    }
  }

  void WalkKey(RegKey key, const std::string& path) {
    SnapshotKey& rec = snap_.keys[TreeKey(path)];
    rec.path = path;
    std::string name;
    uint32_t r = kErrorSuccess;
    uint32_t index = 0;
    for (; (r = host_.EnumRegValue(key, index, name)) == kErrorSuccess; ++index) {
      std::string shown = ValuePath(path, name);
      // "key\name" as a prefix names the value; the shown form (a line of
      // Diff's text copied) does too.
      if (Ignored(path + "\\" + name) || Ignored(shown)) continue;
      SnapshotValue v;
      v.name = name;
      uint32_t q = host_.QueryRegValue(key, name, v.type, v.data);
      if (q != kErrorSuccess) {
        Problem(Format("cannot read value %s (error %u)", shown.c_str(), q));
        continue;
      }
      rec.values[UpperCase(name)] = std::move(v);
    }
    if (r != kErrorNoMoreItems) Problem(Format("cannot list the values of %s (error %u)", path.c_str(), r));
    std::vector<std::string> subKeys;
    for (index = 0; (r = host_.EnumRegKey(key, index, name)) == kErrorSuccess; ++index) subKeys.push_back(name);
    if (r != kErrorNoMoreItems) Problem(Format("cannot list the sub keys of %s (error %u)", path.c_str(), r));
    for (const std::string& sub : subKeys) {
      std::string subPath = path + "\\" + sub;
      if (Ignored(subPath)) continue;
      RegKey child = 0;
      uint32_t o = host_.OpenRegKey(key, sub, false, child);
      if (o != kErrorSuccess) {
        Problem(Format("cannot open key %s (error %u)", subPath.c_str(), o));
        continue;
      }
      WalkKey(child, subPath);
      host_.CloseRegKey(child);
    }
  }

  Host& host_;
  MachineSnapshot& snap_;
  std::vector<std::string> ignore_;
};

}  // namespace

std::string TempFolderPrefix(Host& host) { return IncludeTrailingBackslash(LongPath(host, host.PlatformTempPath())); }

MachineSnapshot MachineSnapshot::Take(Host& host, const SnapshotOptions& options) {
  MachineSnapshot snap;
  Taker taker(host, options, snap);
  bool whole = options.folders.empty() && options.keys.empty();
#ifndef _WIN32
  SandboxHost* sandbox = dynamic_cast<SandboxHost*>(&host);
#else
  void* sandbox = nullptr;
#endif
  if (whole && !sandbox) {
    snap.problems.push_back("no folders or registry keys were named to watch on this host");
    return snap;
  }
  std::vector<std::string> folders = options.folders, keys = options.keys;
#ifndef _WIN32
  if (whole) {
    // The drives kept in the machine folder; drives mapped to other native
    // folders (Z:, the Linux root) are not part of the machine.
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(sandbox->Root(), ec)) {
      std::string n = e.path().filename().string();
      if (n.size() == 7 && StartsWithText(n, "drive_") && std::isalpha((unsigned char)n[6]) && e.is_directory())
        folders.push_back(std::string(1, UpCaseAscii(n[6])) + ":\\");
    }
    if (ec) snap.problems.push_back("cannot list the machine folder " + sandbox->Root());
    std::sort(folders.begin(), folders.end());
    keys = {"HKCR", "HKCU", "HKLM", "HKU"};
  }
#endif
  for (const std::string& f : folders) taker.Folder(f);
  for (const std::string& k : keys) taker.Key(k);
#ifndef _WIN32
  if (whole) taker.MachineState(*sandbox);
#endif
  return snap;
}

bool MachineSnapshot::TakeMachineFolder(const std::string& root, const SnapshotOptions& options,
                                        MachineSnapshot& snapshot, std::string& error) {
#ifdef _WIN32
  error = "sandbox machines are read natively only";
  return false;
#else
  namespace fs = std::filesystem;
  std::error_code ec;
  if (root.empty() || !fs::is_directory(root, ec)) {
    error = "no machine folder \"" + root + "\"";
    return false;
  }
  // Opening a folder without machine.ini would lay out a fresh machine in it.
  std::string ini = root + "/machine.ini";
  if (!fs::is_regular_file(ini, ec)) {
    error = "\"" + root + "\" holds no machine (no machine.ini)";
    return false;
  }
  std::string text;
  for (const char* file : {"machine.ini", "HKLM.reg", "HKCU.reg", "HKU.reg", "HKCR.reg"}) {
    std::string path = root + "/" + file;
    // A hive the machine lacks is an empty registry root; one that exists
    // but cannot be read would look empty too, and must not.
    if (!fs::exists(path, ec) && std::strcmp(file, "machine.ini") != 0) continue;
    if (!fs::is_regular_file(path, ec) || !Taker::ReadNativeFile(path, text)) {
      error = "cannot read " + path;
      return false;
    }
  }
  SandboxHost host(root);
  snapshot = Take(host, options);
  return true;
#endif
}

// --- Comparing --------------------------------------------------------------------------

namespace {

// Walks two maps in their order: `only(a, nullptr)`, `only(nullptr, b)`
// and `both(a, b)` for each key.
template <typename Map, typename Only, typename Both>
void Merge(const Map& before, const Map& after, Only only, Both both) {
  auto a = before.begin(), b = after.begin();
  while (a != before.end() || b != after.end()) {
    if (b == after.end() || (a != before.end() && a->first < b->first)) {
      only(&a->second, nullptr);
      ++a;
    } else if (a == before.end() || b->first < a->first) {
      only(nullptr, &b->second);
      ++b;
    } else {
      both(a->second, b->second);
      ++a;
      ++b;
    }
  }
}

std::string ShownValue(const SnapshotValue& v) { return RegTypeName(v.type) + " " + ShownData(v.type, v.data); }

}  // namespace

std::string Diff(const MachineSnapshot& before, const MachineSnapshot& after) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  for (const std::string& p : before.problems) line("! before: " + p);
  for (const std::string& p : after.problems) line("! after: " + p);

  auto fileLine = [&](char sign, const SnapshotFile& f) {
    if (f.folder)
      line(std::string(1, sign) + " folder " + f.path);
    else
      line(std::string(1, sign) + " file " + f.path + " (" + std::to_string(f.size) + " bytes)");
  };
  Merge(before.files, after.files,
        [&](const SnapshotFile* a, const SnapshotFile* b) { a ? fileLine('-', *a) : fileLine('+', *b); },
        [&](const SnapshotFile& a, const SnapshotFile& b) {
          if (a.folder != b.folder) {
            fileLine('-', a);
            fileLine('+', b);
            return;
          }
          std::string head = std::string("~ ") + (a.folder ? "folder " : "file ") + a.path + ": ";
          if (a.path != b.path) line(head + "name " + a.path + " -> " + b.path);
          if (a.attributes != b.attributes)
            line(head + "attributes " + ShownAttributes(a.attributes) + " -> " + ShownAttributes(b.attributes));
          if (!a.folder && (a.size != b.size || a.sha256 != b.sha256)) {
            std::string text = head + "content " + std::to_string(a.size) + " -> " + std::to_string(b.size) + " bytes";
            if (a.bytesKept && b.bytesKept)
              text += ", first difference at byte " + std::to_string(FirstDifference(a.bytes, b.bytes));
            line(text);
          }
        });

  auto valueLine = [&](char sign, const std::string& key, const SnapshotValue& v) {
    line(std::string(1, sign) + " value " + ValuePath(key, v.name) + " " + ShownValue(v));
  };
  auto keyLines = [&](char sign, const SnapshotKey& k) {
    line(std::string(1, sign) + " key " + k.path);
    for (const auto& [name, v] : k.values) valueLine(sign, k.path, v);
  };
  Merge(before.keys, after.keys,
        [&](const SnapshotKey* a, const SnapshotKey* b) { a ? keyLines('-', *a) : keyLines('+', *b); },
        [&](const SnapshotKey& a, const SnapshotKey& b) {
          if (a.path != b.path) line("~ key " + a.path + ": name " + a.path + " -> " + b.path);
          Merge(a.values, b.values,
                [&](const SnapshotValue* x, const SnapshotValue* y) {
                  x ? valueLine('-', a.path, *x) : valueLine('+', b.path, *y);
                },
                [&](const SnapshotValue& x, const SnapshotValue& y) {
                  std::string head = "~ value " + ValuePath(a.path, x.name) + " ";
                  if (x.name != y.name) line(head + "name " + ValuePath(a.path, x.name) + " -> " +
                                             ValuePath(b.path, y.name));
                  if (x.type == y.type && x.data == y.data) return;
                  std::string from = ShownValue(x), to = ShownValue(y);
                  if (x.type == y.type) to = ShownData(y.type, y.data);
                  std::string text = head + from + " -> " + to;
                  // Cut forms may look alike although the data differ.
                  if (x.type == y.type && ShownData(x.type, x.data) == to)
                    text += " (first difference at byte " + std::to_string(FirstDifference(x.data, y.data)) + ")";
                  line(text);
                });
        });

  Merge(before.machine, after.machine,
        [&](const std::pair<std::string, std::string>* a, const std::pair<std::string, std::string>* b) {
          a ? line("- machine " + a->first + " " + a->second) : line("+ machine " + b->first + " " + b->second);
        },
        [&](const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
          if (a.second != b.second) line("~ machine " + a.first + " " + a.second + " -> " + b.second);
        });
  return out;
}

}  // namespace vxtest
