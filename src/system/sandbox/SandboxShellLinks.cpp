// SandboxHost, shell links: ".lnk" files in the shell link binary format
// that Windows itself reads, written and read through the machine's own
// files (so the machine's rules for names, files in use and free space
// hold for them too).
//
// A link written here has the 76-byte header (class 00021401-0000-0000-
// C000-000000000046, the flags of the parts that follow, the target's
// attributes, times and size when the target is a file of the machine,
// icon index, show command and hotkey), a LinkInfo part naming the
// target (a local path with its volume, or a UNC path by its share), and
// the strings that are not empty: description, relative path (a target
// that is no absolute path), working folder, arguments, icon file. Strings
// are ANSI, as the ANSI interface sets them. Reading accepts what Windows
// writes besides: an item list (skipped) and Unicode strings.
//
// COM is counted per thread as CoInitialize counts it; a link is neither
// written nor read on a thread without COM. The shell's change
// notifications are kept in order and written to the run log ("shell").
#include <algorithm>
#include <cctype>
#include <thread>

#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

// CoInitialize calls of this thread not yet balanced.
thread_local int t_comCount = 0;

constexpr uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA
constexpr uint32_t kComNotInitialized = 0x800401F0;  // CO_E_NOTINITIALIZED

constexpr size_t kMaxPath = 260;
constexpr size_t kHeaderSize = 0x4C;
constexpr size_t kLinkInfoHeaderSize = 0x1C;
constexpr size_t kLargestLink = 1 << 20;  // a link file is a few hundred bytes
const uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// LinkFlags.
enum : uint32_t {
  kHasTargetIdList = 0x1,
  kHasLinkInfo = 0x2,
  kHasName = 0x4,
  kHasRelativePath = 0x8,
  kHasWorkingDir = 0x10,
  kHasArguments = 0x20,
  kHasIconLocation = 0x40,
  kIsUnicode = 0x80,
};
// LinkInfoFlags.
enum : uint32_t { kVolumeIdAndLocalBasePath = 0x1, kCommonNetworkRelativeLink = 0x2 };
constexpr uint32_t kDriveFixed = 3;  // DRIVE_FIXED
constexpr uint32_t kVolumeSerial = 0x5644A11C;

void Put16(std::string& out, uint32_t v) {
  out += char(v & 0xFF);
  out += char((v >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Put64(std::string& out, uint64_t v) {
  Put32(out, uint32_t(v));
  Put32(out, uint32_t(v >> 32));
}
void Set32(std::string& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = char((v >> (8 * i)) & 0xFF);
}

bool IsDrivePath(const std::string& p) {
  return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\';
}
bool IsUncPath(const std::string& p) { return p.size() > 2 && p[0] == '\\' && p[1] == '\\'; }

// The LinkInfo part for an absolute target: its volume and local path, or
// the share of a UNC path and the rest of the path below it.
std::string LinkInfo(const std::string& target) {
  std::string info(kLinkInfoHeaderSize, '\0');
  Set32(info, 4, kLinkInfoHeaderSize);
  if (IsDrivePath(target)) {
    Set32(info, 8, kVolumeIdAndLocalBasePath);
    Set32(info, 12, uint32_t(info.size()));  // VolumeID
    Put32(info, 0x11);                       // its size: the header and an empty label
    Put32(info, kDriveFixed);
    Put32(info, kVolumeSerial);
    Put32(info, 0x10);  // the label follows the header
    info += '\0';
    Set32(info, 16, uint32_t(info.size()));  // LocalBasePath
    info += target + '\0';
    Set32(info, 24, uint32_t(info.size()));  // CommonPathSuffix
    info += '\0';
  } else {
    // "\\server\share" is the net name, what follows its backslash the suffix.
    size_t share = target.find('\\', 2);
    size_t end = share == std::string::npos ? std::string::npos : target.find('\\', share + 1);
    std::string netName = target.substr(0, end);
    std::string suffix = end == std::string::npos ? "" : target.substr(end + 1);
    Set32(info, 8, kCommonNetworkRelativeLink);
    Set32(info, 20, uint32_t(info.size()));  // CommonNetworkRelativeLink
    Put32(info, uint32_t(0x14 + netName.size() + 1));
    Put32(info, 0);     // no device, no provider type
    Put32(info, 0x14);  // NetNameOffset
    Put32(info, 0);     // DeviceNameOffset
    Put32(info, 0);     // NetworkProviderType
    info += netName + '\0';
    Set32(info, 24, uint32_t(info.size()));
    info += suffix + '\0';
  }
  Set32(info, 0, uint32_t(info.size()));
  return info;
}

void PutString(std::string& out, const std::string& text) {
  Put16(out, uint32_t(text.size()));
  out += text;
}

// Reads the parts of a link file; every read is checked against the end.
class LinkReader {
 public:
  explicit LinkReader(const std::string& bytes) : b_(bytes) {}
  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  bool Has(size_t n) const { return ok_ && pos_ <= b_.size() && b_.size() - pos_ >= n; }
  uint32_t U16() { return uint32_t(Take(2)); }
  uint32_t U32() { return uint32_t(Take(4)); }
  uint64_t U64() { return Take(8); }
  void Skip(size_t n) {
    if (!Has(n)) ok_ = false;
    else pos_ += n;
  }
  std::string Bytes(size_t n) {
    if (!Has(n)) {
      ok_ = false;
      return std::string();
    }
    std::string s = b_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  // A counted string of StringData: ANSI bytes, or UTF-16 code units of
  // which those beyond the ANSI range become "?".
  std::string Counted(bool unicode) {
    size_t count = U16();
    if (!unicode) return Bytes(count);
    std::string units = Bytes(count * 2), text;
    for (size_t i = 0; i + 1 < units.size(); i += 2) {
      uint32_t u = uint8_t(units[i]) | uint32_t(uint8_t(units[i + 1])) << 8;
      text += u < 0x100 ? char(u) : '?';
    }
    return text;
  }

 private:
  uint64_t Take(size_t n) {
    if (!Has(n)) {
      ok_ = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t(uint8_t(b_[pos_ + i])) << (8 * i);
    pos_ += n;
    return v;
  }

  const std::string& b_;
  size_t pos_ = 0;
  bool ok_ = true;
};

uint32_t Le32At(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

// The zero-terminated text at `offset` of a LinkInfo block; false when it
// does not end inside the block.
bool CStringAt(const std::string& block, uint32_t offset, std::string& text) {
  if (offset >= block.size()) return false;
  size_t end = block.find('\0', offset);
  if (end == std::string::npos) return false;
  text = block.substr(offset, end - offset);
  return true;
}

// The target a LinkInfo block names; false when the block is damaged.
bool TargetOfLinkInfo(const std::string& block, std::string& target) {
  if (block.size() < kLinkInfoHeaderSize) return false;
  uint32_t headerSize = Le32At(block, 4), flags = Le32At(block, 8);
  if (headerSize < kLinkInfoHeaderSize || headerSize > block.size()) return false;
  std::string base, suffix;
  if (flags & kVolumeIdAndLocalBasePath) {
    if (!CStringAt(block, Le32At(block, 16), base)) return false;
  } else if (flags & kCommonNetworkRelativeLink) {
    uint32_t at = Le32At(block, 20);
    if (at > block.size() || block.size() - at < 0x14) return false;
    uint32_t netNameOffset = Le32At(block, at + 8);
    if (netNameOffset > block.size() - at || !CStringAt(block, at + netNameOffset, base)) return false;
  }
  uint32_t suffixOffset = Le32At(block, 24);
  if (suffixOffset != 0 && !CStringAt(block, suffixOffset, suffix)) return false;
  target = base;
  if (!suffix.empty()) {
    if (!target.empty() && target.back() != '\\') target += '\\';
    target += suffix;
  }
  return true;
}

}  // namespace

// --- COM ------------------------------------------------------------------------------

bool SandboxHost::InitializeCom() {
  ++t_comCount;
  return true;
}

void SandboxHost::UninitializeCom() {
  if (t_comCount > 0) --t_comCount;
}

bool SandboxHost::ComReady() {
  if (t_comCount > 0) return true;
  std::lock_guard<std::mutex> lock(workerLock_);
  auto self = std::this_thread::get_id();
  return std::any_of(workerThreads_.begin(), workerThreads_.end(),
                     [&](const auto& worker) { return worker.second.get_id() == self; });
}

// --- Links ----------------------------------------------------------------------------

bool SandboxHost::SaveShellLink(const std::string& path, const ShellLinkData& link) {
  if (!ComReady()) return Fail(kComNotInitialized);
  // What the setters refuse: paths longer than the ANSI interface takes,
  // texts longer than a counted string holds.
  if (link.target.size() >= kMaxPath || link.workingFolder.size() >= kMaxPath || link.iconFile.size() >= kMaxPath ||
      link.arguments.size() > 0xFFFF || link.description.size() > 0xFFFF)
    return Fail(kErrorInvalidParameter);

  bool absolute = IsDrivePath(link.target) || IsUncPath(link.target);
  uint32_t flags = 0;
  if (absolute) flags |= kHasLinkInfo;
  if (!link.description.empty()) flags |= kHasName;
  if (!absolute && !link.target.empty()) flags |= kHasRelativePath;
  if (!link.workingFolder.empty()) flags |= kHasWorkingDir;
  if (!link.arguments.empty()) flags |= kHasArguments;
  if (!link.iconFile.empty()) flags |= kHasIconLocation;

  // The target's facts, as the shell records them, when it is a file here.
  uint32_t attributes = 0;
  uint64_t time = 0, size = 0;
  if (IsDrivePath(link.target)) {
    uint32_t a = GetAttributes(link.target);
    if (a != kInvalidAttributes) {
      attributes = a;
      GetFileWriteTime(link.target, time);
      if (!(a & kAttrDirectory))
        if (auto f = OpenFile(link.target, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite))
          size = uint64_t(f->Size());
    }
  }

  std::string out;
  Put32(out, kHeaderSize);
  out.append(reinterpret_cast<const char*>(kLinkClsid), sizeof kLinkClsid);
  Put32(out, flags);
  Put32(out, attributes);
  Put64(out, time);  // creation
  Put64(out, time);  // access
  Put64(out, time);  // write
  Put32(out, uint32_t(size));
  Put32(out, uint32_t(link.iconIndex));
  Put32(out, uint32_t(link.showCmd));
  Put16(out, link.hotkey);
  Put16(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  if (flags & kHasLinkInfo) out += LinkInfo(link.target);
  if (flags & kHasName) PutString(out, link.description);
  if (flags & kHasRelativePath) PutString(out, link.target);
  if (flags & kHasWorkingDir) PutString(out, link.workingFolder);
  if (flags & kHasArguments) PutString(out, link.arguments);
  if (flags & kHasIconLocation) PutString(out, link.iconFile);
  Put32(out, 0);  // the terminal block of the extra data

  std::unique_ptr<HostFile> file = OpenFile(path, FileAccess::Write, FileCreate::CreateAlways, kShareNone);
  if (!file) return false;
  size_t done = 0;
  bool written = file->Write(out.data(), out.size(), done) && done == out.size();
  uint32_t error = t_lastError;
  file.reset();
  if (!written) {
    // No damaged link is left behind (a full disk, say).
    RemoveFile(path);
    return Fail(error ? error : kErrorDiskFull);
  }
  RunLog("shell", "link " + LogQuote(path) + " -> " + LogQuote(link.target));
  t_lastError = 0;
  return true;
}

bool SandboxHost::LoadShellLink(const std::string& path, ShellLinkData& link) {
  if (!ComReady()) return Fail(kComNotInitialized);
  std::unique_ptr<HostFile> file = OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead);
  if (!file) return false;
  int64_t length = file->Size();
  if (length < 0 || uint64_t(length) > kLargestLink) return Fail(kErrorInvalidData);
  std::string bytes(size_t(length), '\0');
  size_t done = 0;
  if (length > 0 && (!file->Read(&bytes[0], bytes.size(), done) || done != bytes.size())) return Fail(kErrorInvalidData);
  file.reset();

  LinkReader r(bytes);
  if (r.U32() != kHeaderSize || r.Bytes(16) != std::string(reinterpret_cast<const char*>(kLinkClsid), 16))
    return Fail(kErrorInvalidData);
  ShellLinkData out;
  uint32_t flags = r.U32();
  r.Skip(4 + 24 + 4);  // attributes, times, size
  out.iconIndex = int32_t(r.U32());
  out.showCmd = int(r.U32());
  out.hotkey = uint16_t(r.U16());
  r.Skip(10);
  if (flags & kHasTargetIdList) r.Skip(r.U16());
  if (flags & kHasLinkInfo) {
    size_t start = r.pos();
    uint32_t size = r.U32();
    if (!r.ok() || size < 4) return Fail(kErrorInvalidData);
    r.Skip(size - 4);
    if (!r.ok() || !TargetOfLinkInfo(bytes.substr(start, size), out.target)) return Fail(kErrorInvalidData);
  }
  bool unicode = flags & kIsUnicode;
  if (flags & kHasName) out.description = r.Counted(unicode);
  if (flags & kHasRelativePath) {
    std::string relative = r.Counted(unicode);
    if (!(flags & kHasLinkInfo)) out.target = relative;
  }
  if (flags & kHasWorkingDir) out.workingFolder = r.Counted(unicode);
  if (flags & kHasArguments) out.arguments = r.Counted(unicode);
  if (flags & kHasIconLocation) out.iconFile = r.Counted(unicode);
  if (!r.ok()) return Fail(kErrorInvalidData);
  link = out;
  t_lastError = 0;
  return true;
}

void SandboxHost::NotifyShellItemChanged(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(changesLock_);
    shellNotifications_.push_back(path);
  }
  RunLog("shell", "changed " + LogQuote(path));
}

std::vector<std::string> SandboxHost::ShellNotifications() {
  std::lock_guard<std::mutex> lock(changesLock_);
  return shellNotifications_;
}

}  // namespace vx
