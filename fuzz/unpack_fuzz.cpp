// libFuzzer target for the extraction library, through its C contract
// (Open, Enumerate, Close, LastErrorText) with the library's sources and
// the cabinet reader compiled in.
//
// Input: a package file, optionally followed by further cabinets of its set,
// each introduced by kPartSeparator. The package file is written to a fresh
// work folder and opened (plain, else scrambled); the further parts are
// offered in turn whenever the library asks for the next cabinet.
//
// Every input is enumerated twice:
//   A  every entry extracted, a filter that only looks at each payload;
//   B  every other entry extracted, a filter that XORs each payload and
//      XORs it back (the same data, but through a filter that writes).
// Checks, besides the sanitizers (leaks included) and the timeout:
//   - every entry name the library offers stays inside the target folder
//     (no root, drive or stream, no "." or ".." component as Windows reads
//     it), every cabinet name it asks for is a bare file name, and no file
//     appears in the work folder outside the target and next-cabinet folders;
//   - write records belong to the current entry and add up block by block
//     to no more than its size; an entry reported complete (code 2) lies on
//     disk with exactly its size;
//   - an entry complete in both runs has the same content in both (which
//     also catches targets that depend on memory never written), and when
//     both runs succeed the filter saw the same payloads (count and bytes):
//     skipped entries are filtered all the same;
//   - a run that succeeds in A also succeeds in B (skipping cannot fail);
//   - LastErrorText is "" after success and says why after a failure;
//   - no file descriptor stays open after Close.
// Extraction stops (answer -1, a success) once kOutputLimit bytes were
// written in a run: a few bytes of compressed data may claim gigabytes.
// UNPACK_FUZZ_VERBOSE=1 prints the outcome of every run (for reproducing).
#include <dirent.h>
#include <string.h>  // memmem

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "unpack/unpack.h"

extern "C" {
int32_t Open(const char* path, int32_t scrambled);
int32_t Enumerate(VxUnpackNotify notify, VxUnpackFilter filter);
void Close(void);
const char* LastErrorText(void);
}

namespace fs = std::filesystem;

namespace {

constexpr char kPartSeparator[] = "\n--next cabinet--\n";
constexpr size_t kMaxParts = 8;
constexpr uint64_t kOutputLimit = uint64_t(4) << 20;

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "unpack_fuzz: %s\n", what.c_str());
  std::abort();
}

// Whether Windows would resolve `name` below the folder it is extracted
// into: not rooted, no drive or stream, and no component that is only dots
// and blanks (Windows drops trailing dots and blanks, so such a component
// names the folder itself or its parent). Written here on purpose rather
// than taken from the library or the engine: it is the oracle their own
// checks are measured against.
bool StaysInside(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part.find_first_not_of(". ") == std::string::npos) return false;
    start = end + 1;
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) Fault("cannot write " + path);
}

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// The folders of one input: the package file lies in `work`, targets go
// below `out`, further cabinets of the set are written to `next`.
struct Folders {
  std::string work, package, out, next;
};

const Folders& Paths() {
  static Folders f = [] {
    std::string pattern = (fs::temp_directory_path() / "vx-unpack-fuzz.XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fault("cannot make a temporary folder");
    // Gone when the fuzzer ends normally; after a fault it stays, with the
    // files of the failing input.
    static std::string base = pattern;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(base, ec);
    });
    Folders p;
    p.work = pattern + "/w";
    p.package = p.work + "/package.exe";
    p.out = p.work + "/out";
    p.next = p.work + "/next";
    return p;
  }();
  return f;
}

struct Run {
  bool extractAll = true;
  const std::vector<std::string>* parts = nullptr;
  size_t nextPart = 1;

  // Per entry, in the order the library offers them.
  std::vector<std::string> entries;
  std::map<size_t, std::string> complete;  // entry index -> content on disk

  // The entry being written.
  bool writing = false;
  std::string target;
  uint32_t size = 0, written = 0;

  uint64_t output = 0;
  bool limited = false;
  uint64_t filterCalls = 0, filterBytes = 0;
  uint8_t filterSum = 0;
};

Run* g_run = nullptr;

int32_t OnFile(Run& r, VxUnpackFileRecord& rec) {
  if (!rec.entry) Fault("file record without an entry name");
  std::string name = rec.entry;
  if (!StaysInside(name)) Fault("the library offers the entry \"" + name + "\", which leaves its folder");
  size_t index = r.entries.size();
  r.entries.push_back(name);
  r.writing = false;
  if (!r.extractAll && index % 2 == 1) return 0;

  std::string rel = name;
  for (char& c : rel)
    if (c == '\\') c = '/';
  std::string target = Paths().out + "/" + rel;
  if (target.size() >= VX_UNPACK_PATH_SIZE) return 0;
  // Parent folders, as the engine makes them before answering.
  std::error_code ec;
  fs::create_directories(fs::path(target).parent_path(), ec);
  if (ec) return 0;
  std::memcpy(rec.target, target.c_str(), target.size() + 1);
  r.writing = true;
  r.target = target;
  r.size = rec.size;
  r.written = 0;
  return 1;
}

int32_t OnWrite(Run& r, const VxUnpackWriteRecord& w) {
  if (!r.writing) Fault("a write record outside an entry being extracted");
  if (!w.target || r.target != w.target) Fault("a write record for another target");
  if (!w.entry || r.entries.empty() || r.entries.back() != w.entry) Fault("a write record for another entry");
  if (w.fileSize != r.size) Fault("the write record's file size changed");
  if (!w.block && w.blockLength) Fault("a write record without data");
  if (uint64_t(r.written) + w.blockLength != w.written) Fault("write records do not add up");
  if (w.written > r.size) Fault("more written than the entry's size");
  r.written = w.written;
  r.output += w.blockLength;
  if (r.output > kOutputLimit) {
    r.limited = true;
    return -1;
  }
  return 1;
}

int32_t OnClosed(Run& r, const VxUnpackFileRecord& rec) {
  if (!r.writing) Fault("code 2 for an entry that was not extracted");
  if (r.target != rec.target) Fault("code 2 names another target");
  std::string content = ReadFile(r.target);
  if (content.size() != rec.size)
    Fault("\"" + r.entries.back() + "\" is complete with " + std::to_string(content.size()) + " of " +
          std::to_string(rec.size) + " bytes");
  if (r.written != rec.size && rec.size != 0) Fault("code 2 before all of the entry was written");
  r.complete[r.entries.size() - 1] = std::move(content);
  r.writing = false;
  return 1;
}

int32_t OnNextCabinet(Run& r, VxUnpackCabinetRecord& rec) {
  if (!rec.cabinet) Fault("cabinet record without a name");
  std::string name = rec.cabinet;
  if (!StaysInside(name) || name.find_first_of("\\/") != std::string::npos)
    Fault("the library asks for the cabinet \"" + name + "\", which is no bare file name");
  if (r.nextPart >= r.parts->size()) return -1;
  std::string path = Paths().next + "/" + name;
  if (path.size() >= VX_UNPACK_PATH_SIZE) return -1;
  WriteFile(path, (*r.parts)[r.nextPart++]);
  std::string folder = Paths().next + "/";
  std::memcpy(rec.folder, folder.c_str(), folder.size() + 1);
  return 1;
}

int32_t Notify(int32_t code, void* record) {
  Run& r = *g_run;
  if (!record) Fault("notification without a record");
  switch (code) {
    case VX_UNPACK_BEFORE_FILE:
      return OnFile(r, *static_cast<VxUnpackFileRecord*>(record));
    case VX_UNPACK_AFTER_FILE:
      return OnClosed(r, *static_cast<VxUnpackFileRecord*>(record));
    case VX_UNPACK_BEFORE_WRITE:
      return OnWrite(r, *static_cast<VxUnpackWriteRecord*>(record));
    case VX_UNPACK_NEXT_CABINET:
      return OnNextCabinet(r, *static_cast<VxUnpackCabinetRecord*>(record));
  }
  Fault("unknown notification " + std::to_string(code));
}

void LookingFilter(void* data, int32_t length) {
  Run& r = *g_run;
  if (length < 0 || length > 65535 || (!data && length)) Fault("the filter gets a bad payload");
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) r.filterSum = uint8_t(r.filterSum + p[i]);
  ++r.filterCalls;
  r.filterBytes += uint64_t(length);
}

void XorFilter(void* data, int32_t length) {
  LookingFilter(data, length);
  uint8_t* p = static_cast<uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i) p[i] ^= 0x5A;
  for (int32_t i = 0; i < length; ++i) p[i] ^= 0x5A;
}

// Everything in the work folder lies in the target or next-cabinet folder,
// except the package file itself.
void CheckNothingOutside() {
  const Folders& p = Paths();
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(p.work, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string path = it->path().string();
    if (path == p.package || path == p.out || path == p.next) continue;
    if (path.rfind(p.out + "/", 0) == 0 || path.rfind(p.next + "/", 0) == 0) continue;
    Fault("\"" + path + "\" was written outside the target folder");
  }
  fs::path parent = fs::path(p.work).parent_path();
  for (const auto& e : fs::directory_iterator(parent, ec))
    if (e.path().string() != p.work) Fault("\"" + e.path().string() + "\" was written outside the work folder");
}

void FreshFolder(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  fs::create_directories(path, ec);
  if (ec) Fault("cannot make " + path);
}

bool RunOnce(Run& r, VxUnpackFilter filter) {
  FreshFolder(Paths().out);
  FreshFolder(Paths().next);
  g_run = &r;
  bool ok = Enumerate(Notify, filter) != 0;
  g_run = nullptr;
  const char* why = LastErrorText();
  if (!why) Fault("LastErrorText gives null");
  if (ok && *why) Fault(std::string("a successful run leaves the reason \"") + why + "\"");
  if (!ok && !*why) Fault("a failed run gives no reason");
  CheckNothingOutside();
  static const bool verbose = std::getenv("UNPACK_FUZZ_VERBOSE") != nullptr;
  if (verbose)
    std::fprintf(stderr, "%s: %s, %zu entries, %zu complete, %llu payloads filtered%s%s\n",
                 r.extractAll ? "all" : "every other", ok ? "ok" : "failed", r.entries.size(), r.complete.size(),
                 (unsigned long long)r.filterCalls, *why ? ": " : "", why);
  if (verbose)
    for (const auto& [index, content] : r.complete) {
      uint64_t hash = 14695981039346656037ull;  // FNV-1a
      for (unsigned char c : content) hash = (hash ^ c) * 1099511628211ull;
      std::fprintf(stderr, "  %s: %zu bytes, hash %016llx\n", r.entries[index].c_str(), content.size(),
                   (unsigned long long)hash);
    }
  return ok;
}

std::vector<std::string> SplitParts(const uint8_t* data, size_t size) {
  std::vector<std::string> parts;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  const size_t n = sizeof kPartSeparator - 1;
  while (parts.size() + 1 < kMaxParts) {
    const char* hit = static_cast<const char*>(memmem(p, size_t(end - p), kPartSeparator, n));
    if (!hit) break;
    parts.emplace_back(p, hit);
    p = hit + n;
  }
  parts.emplace_back(p, end);
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Folders& paths = Paths();
  std::vector<std::string> parts = SplitParts(data, size);
  FreshFolder(paths.work);
  WriteFile(paths.package, parts[0]);
  const size_t descriptors = OpenDescriptors();

  if (!Open(paths.package.c_str(), 0) && !Open(paths.package.c_str(), 1)) {
    if (!*LastErrorText()) Fault("a failed Open gives no reason");
    Close();
  } else {
    Run a;
    a.parts = &parts;
    bool okA = RunOnce(a, LookingFilter);

    Run b;
    b.parts = &parts;
    b.extractAll = false;
    bool okB = RunOnce(b, XorFilter);
    Close();

    size_t common = std::min(a.entries.size(), b.entries.size());
    for (size_t i = 0; i < common; ++i)
      if (a.entries[i] != b.entries[i]) Fault("the runs list different entries");
    for (const auto& [index, content] : b.complete) {
      auto it = a.complete.find(index);
      if (it != a.complete.end() && it->second != content)
        Fault("\"" + a.entries[index] + "\" differs when other entries are skipped");
    }
    if (okA && !a.limited && !okB) Fault("skipping entries makes the enumeration fail");
    if (okA && okB && !a.limited && !b.limited) {
      if (a.entries != b.entries) Fault("the runs list different entries");
      if (a.filterCalls != b.filterCalls || a.filterBytes != b.filterBytes || a.filterSum != b.filterSum)
        Fault("the filter saw other payloads when entries are skipped: " + std::to_string(a.filterCalls) + "/" +
              std::to_string(a.filterBytes) + " against " + std::to_string(b.filterCalls) + "/" +
              std::to_string(b.filterBytes));
    }
  }
  if (OpenDescriptors() != descriptors) Fault("a file descriptor stays open after Close");
  std::error_code ec;
  fs::remove_all(paths.work, ec);
  return 0;
}
