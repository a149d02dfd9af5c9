// The extraction library through its exported contract, loaded the way the
// engine loads it: cabinets made by gcab and libmspack's sample cabinets
// against what cabextract extracts, scrambled and embedded cabinets, the
// filter, encrypted payloads, answers that stop, cabinet sets, times and
// attributes, unsafe entry names and damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/DCPcrypt.h"
#include "format/FormatKeys.h"
#include "package/PackageCrypt.h"
#include "support/TestMachine.h"
#include "unpack/unpack.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include "system/sandbox/SandboxHost.h"
#endif

namespace fs = std::filesystem;

namespace {

// --- Paths and files --------------------------------------------------------------------

// A path of the build machine as this process sees it (Wine maps "/" to Z:).
std::string Local(const std::string& unixPath) {
#ifdef _WIN32
  std::string p = "Z:" + unixPath;
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
#else
  return unixPath;
#endif
}
std::string Fixture(const std::string& rel) { return Local(std::string(VX_UNPACK_FIXTURES) + "/" + rel); }

std::string Sep() {
#ifdef _WIN32
  return "\\";
#else
  return "/";
#endif
}

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

uint16_t Le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }
uint32_t Le32(const std::string& b, size_t at) { return Le16(b, at) | uint32_t(Le16(b, at + 2)) << 16; }
void Put16(std::string& b, size_t at, uint16_t v) {
  b[at] = char(v);
  b[at + 1] = char(v >> 8);
}
void Put32(std::string& b, size_t at, uint32_t v) {
  Put16(b, at, uint16_t(v));
  Put16(b, at + 2, uint16_t(v >> 16));
}

// An independent reading of a cabinet's layout: where the file entries and
// the data-block payloads lie.
struct Layout {
  struct Entry {
    size_t at;  // offset of the CFFILE record
    std::string name;
  };
  std::vector<Entry> files;
  std::vector<std::pair<size_t, size_t>> payloads;  // offset, size; in file order
};

Layout ReadLayout(const std::string& cab) {
  Layout l;
  uint16_t folders = Le16(cab, 26), files = Le16(cab, 28), flags = Le16(cab, 30);
  size_t pos = 36, folderReserve = 0, dataReserve = 0;
  if (flags & 4) {
    pos += 4 + Le16(cab, 36);
    folderReserve = uint8_t(cab[38]);
    dataReserve = uint8_t(cab[39]);
  }
  for (int s = ((flags & 1) ? 2 : 0) + ((flags & 2) ? 2 : 0); s > 0; --s) pos = cab.find('\0', pos) + 1;
  for (int f = 0; f < folders; ++f, pos += 8 + folderReserve) {
    size_t block = Le32(cab, pos);
    for (int n = Le16(cab, pos + 4); n > 0; --n) {
      size_t size = Le16(cab, block + 4);
      l.payloads.push_back({block + 8 + dataReserve, size});
      block += 8 + dataReserve + size;
    }
  }
  std::sort(l.payloads.begin(), l.payloads.end());
  for (int f = 0; f < files; ++f) {
    size_t end = cab.find('\0', pos + 16);
    l.files.push_back({pos, cab.substr(pos + 16, end - pos - 16)});
    pos = end + 1;
  }
  return l;
}

// --- The library ----------------------------------------------------------------------------

struct Library {
  VxUnpackOpenFn open = nullptr;
  VxUnpackEnumerateFn enumerate = nullptr;
  VxUnpackCloseFn close = nullptr;
  VxUnpackLastErrorTextFn lastError = nullptr;

  Library() {
#ifdef _WIN32
    HMODULE m = ::LoadLibraryA(Local(VX_UNPACK_LIBRARY).c_str());
    auto get = [&](const char* n) { return m ? (void*)::GetProcAddress(m, n) : nullptr; };
#else
    void* m = ::dlopen(VX_UNPACK_LIBRARY, RTLD_NOW);
    auto get = [&](const char* n) { return m ? ::dlsym(m, n) : nullptr; };
#endif
    open = (VxUnpackOpenFn)get("Open");
    enumerate = (VxUnpackEnumerateFn)get("Enumerate");
    close = (VxUnpackCloseFn)get("Close");
    lastError = (VxUnpackLastErrorTextFn)get("LastErrorText");
  }
};

Library& Lib() {
  static Library lib;
  return lib;
}

// What a test answers and records. The thunks reach it through one global,
// as the contract carries no context pointer.
struct Listener {
  std::string dir;                     // targets go below it
  std::string forceTarget;             // instead, this target for every entry
  std::function<int32_t(const VxUnpackFileRecord&)> onFile;       // code 1 answer
  std::function<int32_t(const VxUnpackWriteRecord&)> onWrite;     // code 3 answer
  std::function<int32_t(const VxUnpackFileRecord&)> onClosed;     // code 2 answer
  std::function<int32_t(VxUnpackCabinetRecord&)> onCabinet;       // code 4 answer
  std::function<void(uint8_t*, int32_t)> filter;
  std::vector<std::string> events;
  std::vector<std::string> filtered;  // every payload the filter saw

  int32_t Notify(int32_t code, void* record) {
    switch (code) {
      case 1: {
        auto& r = *static_cast<VxUnpackFileRecord*>(record);
        events.push_back("1:" + std::string(r.entry));
        int32_t a = onFile ? onFile(r) : 1;
        if (a == 1 && !forceTarget.empty()) {
          std::snprintf(r.target, sizeof r.target, "%s", forceTarget.c_str());
        } else if (a == 1) {
          std::string rel = r.entry;
          if (Sep() == "/") std::replace(rel.begin(), rel.end(), '\\', '/');
          fs::path target = fs::path(dir) / rel;
          fs::path canon = fs::weakly_canonical(target);
          if (canon.string().rfind(fs::weakly_canonical(dir).string(), 0) != 0) {
            ADD_FAILURE() << "entry name leads outside the folder: " << r.entry;
            return 0;
          }
          fs::create_directories(target.parent_path());
          std::snprintf(r.target, sizeof r.target, "%s", target.string().c_str());
        }
        return a;
      }
      case 2: {
        auto& r = *static_cast<VxUnpackFileRecord*>(record);
        events.push_back("2:" + std::string(r.entry));
        return onClosed ? onClosed(r) : 1;
      }
      case 3: {
        auto& r = *static_cast<VxUnpackWriteRecord*>(record);
        events.push_back("3:" + std::string(r.entry) + ":" + std::to_string(r.blockLength) + ":" +
                         std::to_string(r.written));
        return onWrite ? onWrite(r) : 1;
      }
      case 4: {
        auto& r = *static_cast<VxUnpackCabinetRecord*>(record);
        events.push_back("4:" + std::string(r.cabinet) + ":" + r.folder);
        return onCabinet ? onCabinet(r) : -1;
      }
    }
    return 0;
  }
};

Listener* gRun = nullptr;
int32_t VX_UNPACK_CALL NotifyThunk(int32_t code, void* record) { return gRun->Notify(code, record); }
void VX_UNPACK_CALL FilterThunk(void* data, int32_t length) {
  gRun->filtered.push_back(std::string(static_cast<char*>(data), size_t(length)));
  if (gRun->filter) gRun->filter(static_cast<uint8_t*>(data), length);
}

// Opens `cab` and enumerates it into `run.dir`; the library's result.
int32_t Extract(Listener& run, const std::string& cab, bool scrambled = false) {
  gRun = &run;
  Lib().open(cab.c_str(), scrambled ? -1 : 0);
  int32_t result = Lib().enumerate(&NotifyThunk, &FilterThunk);
  Lib().close();
  gRun = nullptr;
  return result;
}

// Relative path -> contents of every file below `dir`.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> t;
  if (!fs::exists(dir)) return t;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) {
      std::string rel = fs::relative(e.path(), dir).generic_string();
      t[rel] = Read(e.path().string());
    }
  return t;
}

class Unpack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().open && Lib().enumerate && Lib().close && Lib().lastError) << "library not loaded";
    run.dir = tmp.Path() + Sep() + "out";
    fs::create_directories(run.dir);
  }
  std::string Temp(const std::string& name) { return tmp.Path() + Sep() + name; }

  vxtest::TempDir tmp;
  Listener run;
};

// --- Against cabextract ------------------------------------------------------------------------

// Files holding more than one cabinet: the library takes the first one,
// cabextract all of them.
const std::set<std::string> kSeveralCabinets = {"mspack_normal_2files_2folders", "mspack_search_basic",
                                                 "mspack_search_tricky1"};
// Entry names too long for a 260-byte target below the test's folder.
const std::set<std::string> kLongNames = {"mspack_normal_255c_filename"};

TEST_F(Unpack, ExtractsWhatCabextractExtracts) {
  std::vector<std::string> cabs;
  for (auto& e : fs::directory_iterator(Fixture("cab"))) cabs.push_back(e.path().string());
  cabs.push_back(Fixture("set/cabd_multi_basic_pt1.cab"));
  std::sort(cabs.begin(), cabs.end());
  ASSERT_GT(cabs.size(), 40u) << "libmspack's sample cabinets are missing";
  for (const std::string& cab : cabs) {
    std::string name = fs::path(cab).stem().string();
    SCOPED_TRACE(name);
    Listener r;
    r.dir = Temp(name);
    fs::create_directories(r.dir);
    int32_t result = Extract(r, cab);
    auto expected = Tree(Fixture("expected/" + name));
    // A cabinet starts where "MSCF" is followed by four zero bytes; this
    // sample's overlapping headers never are, cabextract reads it anyway.
    bool cabextractOk = Read(Fixture("expected/" + name + ".rc"))[0] == '0' && name != "mspack_search_tricky1";
    if (!cabextractOk) {
      EXPECT_EQ(result, 0) << "a cabinet cabextract refuses was accepted";
      EXPECT_STRNE(Lib().lastError(), "");
      continue;
    }
    EXPECT_EQ(result, 1) << Lib().lastError();
    auto ours = Tree(r.dir);
    if (kLongNames.count(name)) continue;
    if (kSeveralCabinets.count(name)) {
      EXPECT_FALSE(ours.empty());
      for (auto& [path, bytes] : ours) EXPECT_EQ(bytes, expected[path]) << path;
    } else {
      EXPECT_EQ(ours, expected);
    }
  }
}

// --- The filter -----------------------------------------------------------------------------------

TEST_F(Unpack, FilterSeesEveryPayloadInFileOrderWhateverTheAnswers) {
  for (std::string name : {"gcab_mszip", "mspack_mszip_lzx_qtm", "mspack_reserve_HFD", "gcab_stored"}) {
    std::string cab = Read(Fixture("cab/" + name + ".cab"));
    Layout layout = ReadLayout(cab);
    std::vector<std::string> payloads;
    for (auto& [at, size] : layout.payloads) payloads.push_back(cab.substr(at, size));
    ASSERT_FALSE(payloads.empty());
    int turn = 0;
    for (int policy = 0; policy < 3; ++policy) {
      SCOPED_TRACE(name + " policy " + std::to_string(policy));
      Listener r;
      r.dir = Temp(name + std::to_string(policy));
      fs::create_directories(r.dir);
      // 0: every entry, 1: none, 2: every other one.
      r.onFile = [&](const VxUnpackFileRecord&) { return policy == 0 ? 1 : policy == 1 ? 0 : (turn++ % 2); };
      EXPECT_EQ(Extract(r, Fixture("cab/" + name + ".cab")), 1) << Lib().lastError();
      EXPECT_EQ(r.filtered, payloads);
    }
  }
  // Stopping at once filters nothing more.
  Listener r;
  r.dir = run.dir;
  r.onFile = [](const VxUnpackFileRecord&) { return -1; };
  EXPECT_EQ(Extract(r, Fixture("cab/gcab_mszip.cab")), 1);
  EXPECT_TRUE(r.filtered.empty());
}

// Payloads encrypted as a package's data part is: one cipher state, each
// payload one unit, in file order. The decrypting filter restores them.
std::string EncryptPayloads(std::string cab, const std::string& password) {
  vx::Key256 key = vx::HashText(password);
  vx::CipherState s;
  vx::StartCipher(s, key.data(), 256);
  for (auto& [at, size] : ReadLayout(cab).payloads) vx::EncryptStream(s, &cab[at], &cab[at], size);
  return cab;
}

void DecryptingFilter(Listener& r, vx::CipherState& state, const std::string& password) {
  vx::Key256 key = vx::HashText(password);
  vx::StartCipher(state, key.data(), 256);
  r.filter = [&state](uint8_t* data, int32_t n) { vx::DecryptStream(state, data, data, size_t(n)); };
}

TEST_F(Unpack, EncryptedPayloadsThroughADecryptingFilter) {
  std::string path = Temp("enc.cab");
  Write(path, EncryptPayloads(Read(Fixture("cab/gcab_mszip.cab")), "pass"));
  auto expected = Tree(Fixture("expected/gcab_mszip"));

  vx::CipherState state;
  DecryptingFilter(run, state, "pass");
  // Skipping the first entries keeps the cipher in step: their payloads
  // still pass the filter.
  int n = 0;
  run.onFile = [&](const VxUnpackFileRecord&) { return n++ < 1 ? 0 : 1; };
  ASSERT_EQ(Extract(run, path), 1) << Lib().lastError();
  auto ours = Tree(run.dir);
  EXPECT_EQ(ours.size(), expected.size() - 1);
  for (auto& [p, bytes] : ours) EXPECT_EQ(bytes, expected[p]) << p;

  Listener plain;
  plain.dir = Temp("plain");
  fs::create_directories(plain.dir);
  EXPECT_EQ(Extract(plain, path), 0) << "encrypted data read without the key";
  Listener wrong;
  wrong.dir = Temp("wrong");
  fs::create_directories(wrong.dir);
  vx::CipherState other;
  DecryptingFilter(wrong, other, "Pass");
  EXPECT_EQ(Extract(wrong, path), 0);
}

// Entries stored against the order of their data make the reader go back
// in a folder; the filter must still run once per payload.
TEST_F(Unpack, EntriesOutOfDataOrderWithARunningFilter) {
  std::string cab = Read(Fixture("cab/gcab_stored.cab"));
  Layout l = ReadLayout(cab);
  ASSERT_EQ(l.files.size(), 3u);
  size_t start = l.files[0].at, end = l.files[2].at + 16 + l.files[2].name.size() + 1;
  std::string table;
  for (int i = 2; i >= 0; --i) {
    size_t from = l.files[i].at, len = 16 + l.files[i].name.size() + 1;
    table += cab.substr(from, len);
  }
  cab.replace(start, end - start, table);
  std::string path = Temp("reversed.cab");
  Write(path, EncryptPayloads(cab, "order"));
  vx::CipherState state;
  DecryptingFilter(run, state, "order");
  ASSERT_EQ(Extract(run, path), 1) << Lib().lastError();
  EXPECT_EQ(Tree(run.dir), Tree(Fixture("expected/gcab_stored")));
  EXPECT_EQ(run.events.front(), "1:text.txt");
}

// A stored (uncompressed) cabinet of one folder whose data blocks hold at
// most `blockSize` bytes: many payloads from little data.
std::string StoredCabinet(const std::vector<std::pair<std::string, std::string>>& files, size_t blockSize) {
  std::string data;
  for (auto& f : files) data += f.second;
  size_t blocks = (data.size() + blockSize - 1) / blockSize;
  std::string cab(36 + 8, '\0');
  cab.replace(0, 4, "MSCF");
  Put32(cab, 16, uint32_t(cab.size()));  // the file table follows the folder
  cab[24] = 3;
  cab[25] = 1;
  Put16(cab, 26, 1);
  Put16(cab, 28, uint16_t(files.size()));
  uint32_t offset = 0;
  for (auto& f : files) {
    std::string entry(16, '\0');
    Put32(entry, 0, uint32_t(f.second.size()));
    Put32(entry, 4, offset);
    Put16(entry, 10, 0x5A21);  // a date in 2025
    Put16(entry, 14, 0x20);
    cab += entry + f.first + '\0';
    offset += uint32_t(f.second.size());
  }
  Put32(cab, 36, uint32_t(cab.size()));  // the first data block
  Put16(cab, 40, uint16_t(blocks));
  for (size_t at = 0; at < data.size(); at += blockSize) {
    std::string payload = data.substr(at, blockSize);
    std::string header(8, '\0');
    Put16(header, 4, uint16_t(payload.size()));
    Put16(header, 6, uint16_t(payload.size()));
    cab += header + payload;
  }
  Put32(cab, 8, uint32_t(cab.size()));
  return cab;
}

// Hundreds of encrypted payloads: the library filters ahead of the reader
// on a second thread; the filter must still see each payload once, in file
// order, and every target must come out whole, whatever the answers.
TEST_F(Unpack, ManyEncryptedPayloadsFilteredAheadOfTheReader) {
  std::mt19937 rng(11);
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 24; ++i) {
    std::string bytes(1000 + rng() % 9000, '\0');
    for (char& c : bytes) c = char(rng());
    files.push_back({"f" + std::to_string(i) + ".bin", bytes});
  }
  std::string cab = StoredCabinet(files, 700);
  Layout layout = ReadLayout(cab);
  ASSERT_GT(layout.payloads.size(), 100u);
  std::string encrypted = EncryptPayloads(cab, "ahead");
  std::vector<std::string> payloads;
  for (auto& [at, size] : layout.payloads) payloads.push_back(encrypted.substr(at, size));
  std::string path = Temp("many.cab");
  Write(path, encrypted);

  for (int policy = 0; policy < 3; ++policy) {
    SCOPED_TRACE("policy " + std::to_string(policy));
    Listener r;
    r.dir = Temp("many" + std::to_string(policy));
    fs::create_directories(r.dir);
    vx::CipherState state;
    DecryptingFilter(r, state, "ahead");
    // 0: every entry, 1: every other one, 2: the first ten, then stop.
    int n = 0;
    r.onFile = [&](const VxUnpackFileRecord&) {
      int i = n++;
      return policy == 0 ? 1 : policy == 1 ? i % 2 : i < 10 ? 1 : -1;
    };
    ASSERT_EQ(Extract(r, path), 1) << Lib().lastError();
    auto tree = Tree(r.dir);
    size_t expected = policy == 0 ? files.size() : policy == 1 ? files.size() / 2 : 10;
    EXPECT_EQ(tree.size(), expected);
    for (size_t i = 0; i < files.size(); ++i) {
      auto it = tree.find(files[i].first);
      if (it != tree.end()) {
        EXPECT_EQ(it->second, files[i].second) << files[i].first;
      }
    }
    // A stop may leave payloads read ahead and never used; what the filter
    // saw is still the file's payloads from the first, each once.
    if (policy < 2) {
      EXPECT_EQ(r.filtered, payloads);
    } else {
      ASSERT_LE(r.filtered.size(), payloads.size());
      EXPECT_TRUE(std::equal(r.filtered.begin(), r.filtered.end(), payloads.begin()));
    }
  }
}

// --- Where the cabinet lies ------------------------------------------------------------------------

std::string Scramble(std::string bytes) {
  for (char& c : bytes) c = char(uint8_t(c) ^ vx::kScrambleMask);
  return bytes;
}

TEST_F(Unpack, ScrambledCabinetBehindAStub) {
  std::string stub(70000, '\0');
  std::mt19937 rng(5);
  for (char& c : stub) c = char(rng() % 200 + 1);  // no zero runs: no false signature
  std::string cab = Read(Fixture("cab/gcab_mszip.cab"));
  std::string path = Temp("setup.bin");
  Write(path, Scramble(stub + cab) + "trailer never scrambled");
  EXPECT_EQ(Lib().open(path.c_str(), -1), 1);
  Lib().close();
  ASSERT_EQ(Extract(run, path, true), 1) << Lib().lastError();
  EXPECT_EQ(Tree(run.dir), Tree(Fixture("expected/gcab_mszip")));

  EXPECT_EQ(Lib().open(path.c_str(), 0), 0) << "found a cabinet without unscrambling";
  Lib().close();
  Listener r;
  r.dir = Temp("plain");
  EXPECT_EQ(Extract(r, path, false), 0);
  EXPECT_TRUE(r.events.empty());
}

TEST_F(Unpack, CabinetMustStartWithinTheSearchedPrefix) {
  std::string cab = Read(Fixture("cab/mspack_normal_2files_1folder.cab"));
  for (size_t stub : {size_t(524272 - 8), size_t(524272 - 7)}) {
    std::string path = Temp("stub" + std::to_string(stub));
    Write(path, std::string(stub, 'x') + cab);
    Listener r;
    r.dir = Temp("out" + std::to_string(stub));
    fs::create_directories(r.dir);
    int32_t result = Extract(r, path);
    EXPECT_EQ(result, stub == 524272 - 8 ? 1 : 0) << "stub of " << stub;
  }
}

// The setup file carries the library inside the engine, in front of the
// cabinet: the library must not hold the signature it searches for.
TEST(UnpackLibrary, HoldsNoCabinetSignature) {
  std::string lib = Read(Local(VX_UNPACK_LIBRARY));
  ASSERT_GT(lib.size(), 10000u);
  std::string sig("MSCF\0\0\0\0", 8);
  EXPECT_EQ(lib.find(sig), std::string::npos);
  EXPECT_EQ(lib.find(Scramble(sig)), std::string::npos);
}

// --- Answers ------------------------------------------------------------------------------------------

TEST_F(Unpack, AnswersSkipAndStop) {
  std::string cab = Fixture("cab/gcab_mszip.cab");
  // 0 skips one entry; -1 on the next stops with success.
  run.onFile = [](const VxUnpackFileRecord& r) { return std::string(r.entry) == "text.txt" ? 0 : -1; };
  EXPECT_EQ(Extract(run, cab), 1);
  EXPECT_EQ(run.events, (std::vector<std::string>{"1:text.txt", "1:random.bin"}));
  EXPECT_TRUE(Tree(run.dir).empty());

  // -1 before a block: that block is not written, nothing else follows.
  Listener r;
  r.dir = Temp("partial");
  fs::create_directories(r.dir);
  int blocks = 0;
  r.onWrite = [&](const VxUnpackWriteRecord& w) {
    EXPECT_EQ(std::string(w.entry), "text.txt");
    EXPECT_EQ(w.fileSize, 1288895u);
    return ++blocks == 3 ? -1 : 1;
  };
  EXPECT_EQ(Extract(r, cab), 1);
  ASSERT_EQ(r.events.size(), 4u);
  EXPECT_EQ(r.events[1], "3:text.txt:32768:32768");
  EXPECT_EQ(r.events[2], "3:text.txt:32768:65536");
  EXPECT_EQ(Tree(r.dir)["text.txt"].size(), 65536u);

  // -1 after a file.
  Listener c;
  c.dir = Temp("closed");
  fs::create_directories(c.dir);
  c.onClosed = [](const VxUnpackFileRecord&) { return -1; };
  EXPECT_EQ(Extract(c, cab), 1);
  EXPECT_EQ(c.events.back(), "2:text.txt");
  EXPECT_EQ(Tree(c.dir).size(), 1u);
}

TEST_F(Unpack, TargetThatCannotBeWrittenFailsTheEnumeration) {
  run.forceTarget = tmp.Path() + Sep() + "no" + Sep() + "such" + Sep() + "file";
  EXPECT_EQ(Extract(run, Fixture("cab/gcab_mszip.cab")), 0);
  EXPECT_NE(std::string(Lib().lastError()).find("cannot write"), std::string::npos) << Lib().lastError();
  EXPECT_EQ(run.events, std::vector<std::string>{"1:text.txt"});
}

// --- Cabinet sets ----------------------------------------------------------------------------------------

TEST_F(Unpack, MissingPartOfASetIsAskedFor) {
  std::string a = Temp("a"), b = Temp("b");
  fs::create_directories(a);
  fs::create_directories(b);
  for (int i = 1; i <= 5; ++i) {
    std::string name = "cabd_multi_basic_pt" + std::to_string(i) + ".cab";
    fs::copy_file(Fixture("set/" + name), (i == 3 ? b : a) + Sep() + name);
  }
  std::string first = a + Sep() + "cabd_multi_basic_pt1.cab";
  run.onCabinet = [&](VxUnpackCabinetRecord& r) {
    std::string where = std::string(r.cabinet) == "cabd_multi_basic_pt3.cab" ? b : a;
    std::snprintf(r.folder, sizeof r.folder, "%s", (where + Sep()).c_str());
    return 1;
  };
  ASSERT_EQ(Extract(run, first), 1) << Lib().lastError();
  EXPECT_EQ(Tree(run.dir), Tree(Fixture("expected/cabd_multi_basic_pt1")));
  // Part 3 is asked for in part 2's folder; part 4 is then looked for beside
  // part 3, in the new folder, and asked for again.
  std::vector<std::string> asked;
  for (auto& e : run.events)
    if (e[0] == '4') asked.push_back(e);
  EXPECT_EQ(asked, (std::vector<std::string>{"4:cabd_multi_basic_pt3.cab:" + a + Sep(),
                                             "4:cabd_multi_basic_pt4.cab:" + b + Sep()}));

  Listener r;
  r.dir = Temp("refused");
  fs::create_directories(r.dir);
  EXPECT_EQ(Extract(r, first), 0) << "a set without its third part was reported complete";
}

// --- Times and attributes ----------------------------------------------------------------------------------

TEST_F(Unpack, TargetsGetStoredTimeAndAttributes) {
  std::string cab = Read(Fixture("cab/gcab_stored.cab"));
  Layout l = ReadLayout(cab);
  // small.txt: 2001-02-03 04:05:06, read-only, hidden, system, archive and
  // the "execute" bit that must be dropped.
  Put16(cab, l.files[0].at + 10, uint16_t((2001 - 1980) << 9 | 2 << 5 | 3));
  Put16(cab, l.files[0].at + 12, uint16_t(4 << 11 | 5 << 5 | 3));
  Put16(cab, l.files[0].at + 14, 0x01 | 0x02 | 0x04 | 0x20 | 0x40);
  Put16(cab, l.files[1].at + 14, 0);
  std::string path = Temp("attr.cab");
  Write(path, cab);

  vxtest::TestMachine machine;
#ifdef _WIN32
  std::string folder = machine.Scratch();
#else
  std::string folder = static_cast<vx::SandboxHost&>(machine.Host()).NativePath("C:\\scratch") + "/";
#endif
  run.dir = folder + "out";
  uint32_t attributesAtClose = 0;
  run.onClosed = [&](const VxUnpackFileRecord& r) {
    if (std::string(r.entry) == "small.txt") attributesAtClose = machine.Host().GetAttributes(machine.Scratch() + "out\\small.txt");
    return 1;
  };
  ASSERT_EQ(Extract(run, path), 1) << Lib().lastError();
  EXPECT_EQ(attributesAtClose, 0x27u) << "attributes must be set before code 2";
  EXPECT_EQ(machine.Host().GetAttributes(machine.Scratch() + "out\\small.txt"), 0x27u);
  uint32_t plain = machine.Host().GetAttributes(machine.Scratch() + "out\\sub\\dir\\nested.txt");
  EXPECT_EQ(plain & 0x07u, 0u);
#ifndef _WIN32
  EXPECT_EQ(plain, vx::kAttrNormal);  // Wine reports a plain file as "archive"
#endif

  uint64_t t = 0;
  ASSERT_TRUE(machine.Host().GetFileWriteTime(machine.Scratch() + "out\\small.txt", t));
  uint64_t local = machine.Host().ToLocalFileTime(t);
  // FILETIME of 2001-02-03 04:05:06 (days from 1601-01-01 to 2001-02-03: 146130).
  uint64_t expected = ((146130ull * 86400) + 4 * 3600 + 5 * 60 + 6) * 10000000ull;
  EXPECT_EQ(local, expected);
  machine.Host().SetAttributes(machine.Scratch() + "out\\small.txt", vx::kAttrNormal);
}

// --- Calls and reasons ------------------------------------------------------------------------------

// The contract has one session: calls made from inside a notification must
// leave the running enumeration alone.
TEST_F(Unpack, CallsFromInsideANotificationAreRefused) {
  std::string other = Fixture("cab/gcab_stored.cab");
  int calls = 0;
  run.onFile = [&](const VxUnpackFileRecord&) {
    if (calls++ == 0) {
      EXPECT_EQ(Lib().enumerate(&NotifyThunk, &FilterThunk), 0);
      EXPECT_STREQ(Lib().lastError(), "an enumeration is running");
      EXPECT_EQ(Lib().open(other.c_str(), 0), 0);
      Lib().close();
    }
    return 1;
  };
  ASSERT_EQ(Extract(run, Fixture("cab/gcab_mszip.cab")), 1) << Lib().lastError();
  EXPECT_EQ(Tree(run.dir), Tree(Fixture("expected/gcab_mszip")));
  EXPECT_STREQ(Lib().lastError(), "") << "a success leaves no reason";

  // After Close there is nothing to enumerate; the reason stays readable.
  EXPECT_EQ(Lib().enumerate(&NotifyThunk, &FilterThunk), 0);
  EXPECT_STREQ(Lib().lastError(), "nothing to enumerate");
  Lib().close();
  EXPECT_STREQ(Lib().lastError(), "nothing to enumerate");
}

TEST_F(Unpack, ReasonNamingAVeryLongPathIsCut) {
  std::string path = Temp(std::string(3000, 'n') + ".cab");
  EXPECT_EQ(Lib().open(path.c_str(), 0), 0);
  std::string reason = Lib().lastError();
  Lib().close();
  EXPECT_EQ(reason.rfind("cannot open \"" + path.substr(0, 20), 0), 0u) << reason;
  EXPECT_LT(reason.size(), 1024u);
  EXPECT_GT(reason.size(), 500u);
}

// --- Unsafe names and damaged input --------------------------------------------------------------------------

TEST_F(Unpack, UnsafeEntryNamesAreRefusedBeforeAnythingIsWritten) {
  std::string cab = Read(Fixture("cab/names.cab"));
  Layout l = ReadLayout(cab);
  ASSERT_EQ(l.files.size(), 3u);
  struct Case {
    int file;
    std::string from, to;
  } cases[] = {{0, "xx\\", "..\\"}, {0, "xx\\", ". \\"}, {1, "Cx", "C:"}, {2, "y", "\\"}, {2, "y", "/"}};
  int n = 0;
  for (const Case& c : cases) {
    std::string bad = cab;
    size_t at = bad.find(c.from, l.files[c.file].at + 16);
    ASSERT_NE(at, std::string::npos);
    bad.replace(at, c.to.size(), c.to);
    std::string path = Temp("bad" + std::to_string(n++) + ".cab");
    Write(path, bad);
    Listener r;
    r.dir = Temp("bad" + std::to_string(n));
    fs::create_directories(r.dir);
    EXPECT_EQ(Extract(r, path), 0) << c.to;
    EXPECT_TRUE(r.events.empty()) << c.to;
    EXPECT_NE(std::string(Lib().lastError()).find("unsafe entry name"), std::string::npos) << Lib().lastError();
  }
  // The same cabinet unchanged is fine.
  EXPECT_EQ(Extract(run, Fixture("cab/names.cab")), 1) << Lib().lastError();
  EXPECT_EQ(Tree(run.dir).size(), 3u);
}

TEST_F(Unpack, DamagedCabinetsNeverCrashOrEscape) {
  std::mt19937 rng(1234);
  int failures = 0, runs = 0;
  for (std::string name : {"mspack_mszip_lzx_qtm", "names", "mspack_reserve_HFD", "mspack_normal_2files_1folder"}) {
    std::string cab = Read(Fixture("cab/" + name + ".cab"));
    for (int i = 0; i < 60; ++i) {
      std::string bad = cab;
      switch (i % 3) {
        case 0:  // bit flips
          for (int f = 0; f < 1 + int(rng() % 4); ++f) bad[rng() % bad.size()] ^= char(1 << (rng() % 8));
          break;
        case 1:  // truncation
          bad.resize(rng() % bad.size());
          break;
        default:  // a forged 16- or 32-bit field in the headers
          size_t at = rng() % std::min<size_t>(bad.size() - 4, 120);
          bad[at] = char(rng());
          bad[at + 1] = char(rng() % 4 == 0 ? 0xFF : rng());
          break;
      }
      std::string path = Temp("damaged.cab");
      Write(path, bad);
      Listener r;
      r.dir = Temp("damaged" + std::to_string(runs++));
      fs::create_directories(r.dir);
      failures += Extract(r, path) == 0;
      for (auto& e : fs::recursive_directory_iterator(tmp.Path()))
        ASSERT_TRUE(e.path().string().rfind(tmp.Path(), 0) == 0);
    }
  }
  EXPECT_GT(failures, 0);
  // Nothing was written beside the output folders.
  for (auto& e : fs::directory_iterator(tmp.Path())) {
    std::string n = e.path().filename().string();
    EXPECT_TRUE(n == "out" || n == "damaged.cab" || n.rfind("damaged", 0) == 0) << n;
  }
}

// A folder table listing the same run of empty data blocks in every one of
// its folders claims billions of blocks; they cannot lie apart in the file,
// which is found out before they are all walked (or kept).
TEST_F(Unpack, FolderTableRepeatingTheSameBlocksIsRefusedEarly) {
  const uint32_t folders = 65535, blocks = 65535;
  const size_t folderTable = 36, fileTable = folderTable + 8 * folders, data = fileTable + 16 + 2;
  std::string cab(data + 8 * blocks, '\0');  // every block header zero: payloads of no bytes
  cab.replace(0, 4, "MSCF");
  Put32(cab, 8, uint32_t(cab.size()));
  Put32(cab, 16, uint32_t(fileTable));
  cab[24] = 3;  // version 1.3
  cab[25] = 1;
  Put16(cab, 26, uint16_t(folders));
  Put16(cab, 28, 1);
  for (size_t f = 0; f < folders; ++f) {
    Put32(cab, folderTable + 8 * f, uint32_t(data));
    Put16(cab, folderTable + 8 * f + 4, uint16_t(blocks));
  }
  Put32(cab, fileTable, 1);  // one entry of one byte, named "a"
  cab[fileTable + 16] = 'a';
  std::string path = Temp("repeated.cab");
  Write(path, cab);

  EXPECT_EQ(Extract(run, path), 0);
  EXPECT_NE(std::string(Lib().lastError()).find("is damaged: data blocks overlap"), std::string::npos)
      << Lib().lastError();
  EXPECT_TRUE(run.events.empty());
  EXPECT_TRUE(run.filtered.empty());
}

// Deflate bits, least significant first; Huffman codes go most significant
// bit first.
struct BitWriter {
  std::string bytes;
  int used = 8;
  void Bits(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) {
      if (used == 8) {
        bytes += '\0';
        used = 0;
      }
      bytes.back() = char(uint8_t(bytes.back()) | ((value >> i) & 1) << used++);
    }
  }
  void Code(uint32_t code, int n) {
    for (int i = n - 1; i >= 0; --i) Bits(code >> i, 1);
  }
};

// Leaves the free heap full of a marker byte, as an engine that has been
// decrypting leaves it. (Blocks below the size that would be mapped apart,
// so that they go back to the heap the library allocates from.)
void DirtyTheHeap() {
  std::vector<void*> blocks;
  for (int i = 0; i < 48; ++i) {
    auto* p = static_cast<volatile unsigned char*>(std::malloc(96 * 1024));
    for (size_t j = 0; j < 96 * 1024; ++j) p[j] = 0xAB;
    blocks.push_back(const_cast<unsigned char*>(p));
  }
  for (void* p : blocks) std::free(p);
}

// An MSZIP block whose match reaches back before the folder's first byte
// copies window bytes the decompressor never wrote. They must come out as
// zeros, not as what the heap held before (the caller's secrets), and the
// same on every run.
TEST_F(Unpack, MatchReachingBeforeTheDataWritesZerosNotOldMemory) {
  BitWriter d;
  d.Bits(1, 1);           // last block
  d.Bits(1, 2);           // fixed Huffman codes
  d.Code(0x30 + 'A', 8);  // literal 'A'
  d.Code(279 - 256, 7);   // length 99 + 4 extra bits...
  d.Bits(1, 4);           // ... = 100
  d.Code(19, 5);          // distance 769 + 8 extra bits...
  d.Bits(1000 - 769, 8);  // ... = 1000, far before the start
  d.Code(0, 7);           // end of block
  const std::string block = "CK" + d.bytes;
  const uint32_t size = 101;

  const std::string name = "stale.bin";
  const size_t files = 36 + 8, data = files + 16 + name.size() + 1;
  std::string cab(data + 8, '\0');
  cab.replace(0, 4, "MSCF");
  Put32(cab, 16, uint32_t(files));
  cab[24] = 3;  // version 1.3
  cab[25] = 1;
  Put16(cab, 26, 1);  // one folder, one file
  Put16(cab, 28, 1);
  Put32(cab, 36, uint32_t(data));  // the folder: one MSZIP block
  Put16(cab, 40, 1);
  Put16(cab, 42, 1);
  Put32(cab, files, size);
  cab.replace(files + 16, name.size(), name);
  Put16(cab, data + 4, uint16_t(block.size()));
  Put16(cab, data + 6, uint16_t(size));
  cab += block;
  Put32(cab, 8, uint32_t(cab.size()));
  std::string path = Temp("stale.cab");
  Write(path, cab);

  const std::string expected = "A" + std::string(size - 1, '\0');
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    DirtyTheHeap();
    Listener r;
    r.dir = Temp("stale" + std::to_string(round));
    fs::create_directories(r.dir);
    ASSERT_EQ(Extract(r, path), 1) << Lib().lastError();
    std::string got = Read(r.dir + Sep() + name);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes 1-16 of the target: " << ::testing::PrintToString(got.substr(1, 16));
  }
}

}  // namespace
