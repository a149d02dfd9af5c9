// Installation speed of the native engine: a setup file built by vxbuild
// in front of the native engine stub, run silently onto a fresh sandbox
// machine, against cabextract extracting the same setup file's cabinet
// (cabextract finds the cabinet behind the stub itself). Both write every
// file of the package; the engine also starts itself from the stub,
// creates the machine, prepares the package and checks every file against
// its project, which is what the targets allow for.
//
//   1. 2,000 files, 200 MB, a third random bytes, the rest text and binary
//      that compress: install / cabextract, target 1.1
//   2. 50,000 files of 1-4 KB: install / cabextract, target 1.5
//   3. the payload of 1 built with a password (the data blocks encrypted):
//      install / the unencrypted install, target 1.3
//   4. a package of 2,000 MB in eight large files (half random): the peak
//      resident memory of the engine, target 64 MB. wait4 of the setup file
//      reports the largest of the launcher and the engine it waits for.
//
// Payloads are generated into the scratch folder at run time and removed
// after each case; a case that would not fit on the scratch folder's file
// system is skipped with the space it needs. Runs alternate between the
// contenders (the page cache's write-back of one run weighs on the next),
// with a sync and the removal of the previous output before each, neither
// timed; the best wall time and the best processor time of each count.
// Every engine run must end with exit code 0, and the first one of each
// case is compared file by file with the sources.
//
//   install_bench [scale|quick] [scratch folder] [rounds] [cases]
//     scale   multiplies file counts and sizes (default 1; quick = 0.05)
//     scratch default /dev/shm when it has 8 GB free, else /tmp (the bench
//             works in <scratch>/vx-install-bench)
//     rounds  runs of each contender (default 3)
//     cases   the cases to run, e.g. 124 (default 1234)
//   install_bench --payload DIR [scale] [mixed|small|large]
//     writes only the payload of cases 1 and 3, 2 or 4 into DIR
// With VX_BENCH_KEEP=1 the scratch folder stays for a profiler.
// Exit code 0 when every case that ran met its target, 1 otherwise, 2 on a
// usage error.
#include "Payload.h"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using bench::Binary;
using bench::LoadAverage;
using bench::Seconds;
using bench::Random;
using bench::Text;


const char kPassword[] = "bench-password";


double FreeGigabytes(const std::string& path) {
  struct statvfs s;
  if (statvfs(path.c_str(), &s) != 0) return 0;
  return double(s.f_bavail) * double(s.f_frsize) / 1e9;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// --- Generated contents ----------------------------------------------------------------


enum Kind { kText, kBinary, kRandom };

struct Input {
  std::string rel;  // relative path, '/' separated
  uint64_t size;
};

struct Payload {
  std::vector<Input> files;
  uint64_t bytes = 0;
  uint64_t kinds[3] = {0, 0, 0};
};

struct Generator {
  std::mt19937 rng{42};
  std::mt19937_64 rng64{43};
  std::string chunk;

  // Writes one file of the kind, a megabyte at a time.
  void Write(const fs::path& root, Payload& payload, const std::string& rel, uint64_t size, Kind kind) {
    fs::path path = root / rel;
    fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary);
    for (uint64_t left = size; left > 0;) {
      size_t n = size_t(std::min<uint64_t>(left, 1 << 20));
      if (kind == kText) Text(rng, n, chunk);
      else if (kind == kBinary) Binary(rng, n, chunk);
      else Random(rng64, n, chunk);
      f.write(chunk.data(), std::streamsize(n));
      left -= n;
    }
    payload.files.push_back({rel, size});
    payload.bytes += size;
    payload.kinds[kind] += size;
  }
};

// The kind furthest below its share of the bytes placed so far.
Kind NextKind(const Payload& p, uint64_t placed, const double share[3]) {
  int kind = 0;
  for (int k = 1; k < 3; ++k)
    if (share[k] * double(placed) - double(p.kinds[k]) > share[kind] * double(placed) - double(p.kinds[kind])) kind = k;
  return Kind(kind);
}

const char* Extension(Kind kind, size_t i) {
  static const char* ext[3][2] = {{".txt", ".htm"}, {".dll", ".dat"}, {".jpg", ".ogg"}};
  return ext[kind][i % 2];
}

// `count` files totalling `total` bytes, sizes log-uniform over a factor
// of 1000, in a tree of folders two deep; a third of the bytes each text,
// binary and random.
Payload Mixed(const fs::path& root, size_t count, uint64_t total) {
  Generator g;
  Payload p;
  std::vector<double> weight(count);
  double sum = 0;
  for (auto& w : weight) sum += w = std::exp(std::uniform_real_distribution<double>(0, std::log(1000.0))(g.rng));
  const double share[3] = {1.0 / 3, 1.0 / 3, 1.0 / 3};
  uint64_t placed = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t size = i + 1 == count ? total - placed : uint64_t(double(total) * weight[i] / sum);
    placed += size;
    Kind kind = NextKind(p, placed, share);
    std::string rel = "folder" + std::to_string(i % 10) + "/sub" + std::to_string(i / 10 % 5) + "/file" +
                      std::to_string(i) + Extension(kind, i);
    g.Write(root, p, rel, size, kind);
  }
  return p;
}

// `count` files of 1-4 KB, a hundred to a folder; the same shares.
Payload Small(const fs::path& root, size_t count) {
  Generator g;
  Payload p;
  const double share[3] = {1.0 / 3, 1.0 / 3, 1.0 / 3};
  for (size_t i = 0; i < count; ++i) {
    uint64_t size = 1024 + g.rng() % 3073;
    Kind kind = NextKind(p, p.bytes + size, share);
    std::string rel = "module" + std::to_string(i / 1000) + "/part" + std::to_string(i / 100 % 10) + "/item" +
                      std::to_string(i) + Extension(kind, i);
    g.Write(root, p, rel, size, kind);
  }
  return p;
}

// Eight files sharing `total` bytes: four random, two binary, two text.
Payload Large(const fs::path& root, uint64_t total) {
  Generator g;
  Payload p;
  const Kind kinds[8] = {kRandom, kBinary, kRandom, kText, kRandom, kBinary, kRandom, kText};
  for (size_t i = 0; i < 8; ++i) {
    uint64_t size = i == 7 ? total - p.bytes : total / 8;
    g.Write(root, p, "data/large" + std::to_string(i) + Extension(kinds[i], i), size, kinds[i]);
  }
  return p;
}

// --- Child processes ----------------------------------------------------------------------

struct Result {
  double wall = 0, cpu = 0;
  long rssKB = 0;
  int code = -1;
};

// Runs a program with its output in `log`; the time, processor time and
// peak resident memory come from wait4 (which includes the children the
// program waited for).
Result Spawn(const std::vector<std::string>& args, const std::string& machine, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Result r;
  auto t = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!machine.empty()) setenv("VX_MACHINE", machine.c_str(), 1);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return r;
  int status = 0;
  struct rusage u;
  if (wait4(pid, &status, 0, &u) != pid) return r;
  r.wall = Seconds(t);
  r.cpu = u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
  r.rssKB = u.ru_maxrss;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// The memory file system when it has room for the largest case: the
// contenders' own work is measured, not the disk's (on a disk that has
// just had thousands of files deleted, creating files can cost either
// contender several times more, from run to run).
std::string DefaultScratch() {
  struct statvfs s;
  if (statvfs("/dev/shm", &s) == 0 && double(s.f_bavail) * double(s.f_frsize) > 8e9) return "/dev/shm";
  return "/tmp";
}

// --- The case folder -------------------------------------------------------------------------

struct Bench {
  fs::path dir;  // this case's folder
  int failures = 0;

  std::string Log() const { return (dir / "child.log").string(); }

  void Fail(const std::string& what) {
    std::fprintf(stderr, "install_bench: %s\n", what.c_str());
    std::string log = ReadAll(Log());
    if (!log.empty()) std::fprintf(stderr, "--- output ---\n%s\n", log.substr(0, 4000).c_str());
    ++failures;
  }

  // The project: every file of src in one component, installed below
  // %InstallPath% with its folders; no uninstaller.
  bool Build(const std::string& name, bool password) {
    fs::path project = dir / "project.xml";
    std::ofstream(project) << "<vx2project>\n"
                              "  <variables>\n"
                              "    <var name=\"AppID\" value=\"InstallBench\"/>\n"
                              "    <var name=\"AppName\" value=\"Install Bench\"/>\n"
                              "    <var name=\"InstallPath\" value=\"%ProgramFiles%\\Install Bench\"/>\n"
                              "  </variables>\n"
                              "  <components>\n"
                              "    <component id=\"app\"><files>"
                              "<file src=\"*.*\" dst=\"%InstallPath%\\\"/></files></component>\n"
                              "  </components>\n"
                              "  <build source=\"src\" output=\"out\" name=\"setup.exe\"/>\n"
                              "</vx2project>\n";
    std::vector<std::string> args = {VX_VXBUILD, project.string(), "--stub", VX_STUB,
                                     "--out", (dir / name).string()};
    if (password) {
      args.push_back("--password");
      args.push_back(kPassword);
    }
    Result r = Spawn(args, "", Log());
    if (r.code != 0) {
      Fail("vxbuild failed");
      return false;
    }
    fs::permissions(dir / name / "setup.exe", fs::perms::owner_exec, fs::perm_options::add);
    std::printf("  %-9s %s: %.1f MB (vxbuild %.1f s)\n", name.c_str(), password ? "with a password" : "",
                fs::file_size(dir / name / "setup.exe") / 1048576.0, r.wall);
    return true;
  }

  fs::path Machine() const { return dir / "machine"; }
  fs::path InstallFolder() const { return Machine() / "drive_c" / "Program Files" / "Install Bench"; }
  fs::path Extracted() const { return dir / "extracted"; }

  Result Install(const std::string& name, bool password) {
    fs::remove_all(Machine());
    std::vector<std::string> args = {(dir / name / "setup.exe").string(), "/log:" + (dir / "run.log").string(),
                                     "/s", "/suppressmsgboxes"};
    if (password) args.push_back(std::string("/password:") + kPassword);
    sync();
    Result r = Spawn(args, Machine().string(), Log());
    if (r.code != 0) Fail(name + "/setup.exe ended with " + std::to_string(r.code) + "; its run log: " +
                          (dir / "run.log").string());
    return r;
  }

  Result Cabextract(const std::string& name) {
    fs::remove_all(Extracted());
    fs::create_directories(Extracted());
    sync();
    Result r = Spawn({"cabextract", "-q", "-d", Extracted().string(), (dir / name / "setup.exe").string()}, "", Log());
    if (r.code != 0) Fail("cabextract failed on " + name + "/setup.exe");
    return r;
  }

  // Every source file is in `root` with the same contents.
  bool Verify(const Payload& p, const fs::path& root, const std::string& who) {
    size_t found = 0;
    for (auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file()) ++found;
    for (const Input& in : p.files) {
      if (ReadAll(root / in.rel) != ReadAll(dir / "src" / in.rel)) {
        Fail(who + " wrote " + in.rel + " wrongly");
        return false;
      }
    }
    if (found != p.files.size()) {
      Fail(who + " wrote " + std::to_string(found) + " files, not " + std::to_string(p.files.size()));
      return false;
    }
    return true;
  }
};

// --- Contenders and the table ---------------------------------------------------------------

struct Best {
  double wall = 1e30, cpu = 1e30;
  long rssKB = 0;
  int runs = 0;
  void Add(const Result& r) {
    wall = std::min(wall, r.wall);
    cpu = std::min(cpu, r.cpu);
    rssKB = std::max(rssKB, r.rssKB);
    ++runs;
  }
};

// Runs the contenders `rounds` times each, the order rotated every round and
// reversed every other; the first run of each is handed to `first` (for the
// check of its output). Stops at the first failure.
bool Alternate(Bench& b, int rounds, const std::vector<std::function<Result()>>& run,
               const std::function<bool(size_t)>& first, std::vector<Best>& best) {
  size_t n = run.size();
  best.assign(n, Best());
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < n; ++k) {
      size_t who = (round % 2 == 0 ? k : n - 1 - k);
      who = (who + size_t(round / 2)) % n;
      int before = b.failures;
      Result r = run[who]();
      if (b.failures != before) return false;
      if (best[who].runs == 0 && !first(who)) return false;
      best[who].Add(r);
    }
  }
  return true;
}

std::vector<std::string> gTable;
bool gAllPass = true;

void Row(const std::string& what, const Best& ours, const Best& peer, double target) {
  double ratio = ours.wall / peer.wall;
  bool pass = ratio <= target;
  gAllPass = gAllPass && pass;
  char line[400];
  std::snprintf(line, sizeof line, "  %-44s %7.2f s %7.2f s %5.0f MB  %7.2f s %7.2f s  %5.2f (%4.2f)  %5.2f  %s",
                what.c_str(), ours.wall, ours.cpu, ours.rssKB / 1024.0, peer.wall, peer.cpu, ratio,
                ours.cpu / peer.cpu, target, pass ? "PASS" : "MISS");
  gTable.push_back(line);
}

void MemoryRow(const std::string& what, const Best& ours, const Best& peer, double targetMB) {
  double mb = ours.rssKB / 1024.0;
  bool pass = mb <= targetMB;
  gAllPass = gAllPass && pass;
  char line[400];
  std::snprintf(line, sizeof line, "  %-44s %7.2f s %7.2f s %5.0f MB  %7.2f s %7.2f s %5.0f MB peer  %3.0f MB  %s",
                what.c_str(), ours.wall, ours.cpu, mb, peer.wall, peer.cpu, peer.rssKB / 1024.0, targetMB,
                pass ? "PASS" : "MISS");
  gTable.push_back(line);
}

void Skipped(const std::string& what, const std::string& why) {
  gTable.push_back("  " + what + std::string(std::max<int>(1, 46 - int(what.size())), ' ') + why);
}

// VX_BENCH_KEEP=1 leaves the setup files and the last machine of each case
// in the scratch folder, to run them again under a profiler.
bool KeepScratch() {
  const char* keep = std::getenv("VX_BENCH_KEEP");
  return keep && *keep && std::string(keep) != "0";
}

// Runs a case in a fresh folder when the file system has room for it.
template <class F>
void Case(const fs::path& scratch, const std::string& name, const std::string& what, double needGB, F body) {
  double free = FreeGigabytes(scratch.string());
  if (free < needGB) {
    Skipped(what, "skipped: needs " + std::to_string(int(std::ceil(needGB))) + " GB free (" +
                      std::to_string(int(free)) + " GB free)");
    return;
  }
  Bench b;
  b.dir = scratch / name;
  fs::remove_all(b.dir);
  fs::create_directories(b.dir / "src");
  body(b);
  if (b.failures) {
    gAllPass = false;
    Skipped(what, "failed (see above)");
  }
  if (!KeepScratch()) fs::remove_all(b.dir);
}

std::string Describe(const Payload& p) {
  char s[200];
  std::snprintf(s, sizeof s, "%zu files, %.0f MB (text %.0f%%, binary %.0f%%, random %.0f%%)", p.files.size(),
                p.bytes / 1048576.0, 100.0 * p.kinds[0] / p.bytes, 100.0 * p.kinds[1] / p.bytes,
                100.0 * p.kinds[2] / p.bytes);
  return s;
}

// Writes the payload of a case into `dir` (for install_wine_bench.sh and for
// profiling the engine on its own).
int WritePayload(const fs::path& dir, double scale, const std::string& kind) {
  if (scale <= 0 || fs::exists(dir)) {
    std::fprintf(stderr, "install_bench: --payload needs a folder that does not exist and a scale above 0\n");
    return 2;
  }
  Payload p;
  if (kind == "mixed") p = Mixed(dir, std::max<size_t>(10, size_t(2000 * scale)), uint64_t(200.0 * scale * 1048576));
  else if (kind == "small") p = Small(dir, std::max<size_t>(100, size_t(50000 * scale)));
  else if (kind == "large") p = Large(dir, uint64_t(2000.0 * scale * 1048576));
  else {
    std::fprintf(stderr, "install_bench: payloads are mixed (cases 1, 3), small (2) and large (4)\n");
    return 2;
  }
  std::printf("%s: %s\n", dir.c_str(), Describe(p).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows when the output goes to a file
  if (argc > 2 && std::string(argv[1]) == "--payload")
    return WritePayload(argv[2], argc > 3 ? std::atof(argv[3]) : 1.0, argc > 4 ? argv[4] : "mixed");
  std::string scaleArg = argc > 1 ? argv[1] : "1";
  double scale = scaleArg == "quick" ? 0.05 : std::atof(scaleArg.c_str());
  fs::path scratch = fs::path(argc > 2 ? argv[2] : DefaultScratch()) / "vx-install-bench";
  int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  std::string cases = argc > 4 ? argv[4] : "1234";
  if (scale <= 0 || scale > 100 || rounds < 1) {
    std::fprintf(stderr, "usage: install_bench [scale|quick] [scratch folder] [rounds] [cases]\n");
    return 2;
  }
  if (std::string(VX_STUB).empty() || !fs::exists(VX_STUB)) {
    std::fprintf(stderr, "install_bench: no native engine stub (configure with -DVX_STUB_ENGINE=...): \"%s\"\n",
                 VX_STUB);
    return 2;
  }
  if (std::system("cabextract --version > /dev/null 2>&1") != 0) {
    std::fprintf(stderr, "install_bench: cabextract is not installed\n");
    return 2;
  }
  fs::remove_all(scratch);
  fs::create_directories(scratch);

  std::printf("install_bench: scale %g, %d round(s), %u cores, scratch %s (%.0f GB free)\n", scale, rounds,
              std::thread::hardware_concurrency(), scratch.c_str(), FreeGigabytes(scratch.string()));
  std::printf("  load average before: %s\n", LoadAverage().c_str());

  // The fixed cost of a run: one small file onto a fresh machine.
  Case(scratch, "fixed", "fixed cost", 0.1, [&](Bench& b) {
    std::ofstream(b.dir / "src" / "readme.txt") << "one small file\r\n";
    if (!b.Build("plain", false)) return;
    Best best;
    for (int i = 0; i < std::max(3, rounds); ++i) {
      Result r = b.Install("plain", false);
      if (b.failures) return;
      best.Add(r);
    }
    std::printf("  fixed cost of a run (one small file, fresh machine): %.3f s wall, %.3f s processor, %.0f MB\n",
                best.wall, best.cpu, best.rssKB / 1024.0);
  });

  // Cases 1 and 3 share their payload: cabextract, the plain install and
  // the encrypted install alternate.
  if (cases.find_first_of("13") != std::string::npos) {
    size_t count = std::max<size_t>(10, size_t(2000 * scale));
    uint64_t total = uint64_t(200.0 * scale * 1048576);
    std::string what1 = std::to_string(count) + " files, " + std::to_string(total >> 20) + " MB";
    Case(scratch, "mixed", "1-3 " + what1, 5.0 * total / 1e9 + 0.2, [&](Bench& b) {
      auto t = std::chrono::steady_clock::now();
      Payload p = Mixed(b.dir / "src", count, total);
      std::printf("case 1, 3: %s, generated in %.1f s\n", Describe(p).c_str(), Seconds(t));
      if (!b.Build("plain", false) || !b.Build("encrypted", true)) return;
      std::vector<Best> best;
      fs::path installed = b.InstallFolder();
      bool ok = Alternate(
          b, rounds,
          {[&] { return b.Cabextract("plain"); }, [&] { return b.Install("plain", false); },
           [&] { return b.Install("encrypted", true); }},
          [&](size_t who) {
            return who == 0 ? b.Verify(p, b.Extracted() / "data" / "app", "cabextract")
                            : b.Verify(p, installed, who == 1 ? "the install" : "the encrypted install");
          },
          best);
      if (!ok) return;
      if (cases.find('1') != std::string::npos)
        Row("1 " + what1 + ": install/cabextract", best[1], best[0], 1.1);
      if (cases.find('3') != std::string::npos)
        Row("3 the same, encrypted/plain", best[2], best[1], 1.3);
    });
  }

  if (cases.find('2') != std::string::npos) {
    size_t count = std::max<size_t>(100, size_t(50000 * scale));
    std::string what = "2 " + std::to_string(count) + " files of 1-4 KB";
    // Each copy takes a block and an inode per file.
    Case(scratch, "small", what, 4.0 * double(count) * 8192 / 1e9 + 0.2, [&](Bench& b) {
      auto t = std::chrono::steady_clock::now();
      Payload p = Small(b.dir / "src", count);
      std::printf("case 2: %s, generated in %.1f s\n", Describe(p).c_str(), Seconds(t));
      if (!b.Build("plain", false)) return;
      std::vector<Best> best;
      bool ok = Alternate(
          b, rounds, {[&] { return b.Cabextract("plain"); }, [&] { return b.Install("plain", false); }},
          [&](size_t who) {
            return who == 0 ? b.Verify(p, b.Extracted() / "data" / "app", "cabextract")
                            : b.Verify(p, b.InstallFolder(), "the install");
          },
          best);
      if (ok) Row(what + ": install/cabextract", best[1], best[0], 1.5);
    });
  }

  // Case 4: one run of each; the peak memory is what counts. The cabinet
  // folder holds at most 65,535 blocks of 32 KB, so "2 GB" is 2,000 MB.
  if (cases.find('4') != std::string::npos) {
    uint64_t total = uint64_t(2000.0 * scale * 1048576);
    std::string what = "4 " + std::to_string(total >> 20) + " MB in 8 files: peak memory";
    Case(scratch, "large", what, 3.3 * total / 1e9 + 0.2, [&](Bench& b) {
      auto t = std::chrono::steady_clock::now();
      Payload p = Large(b.dir / "src", total);
      std::printf("case 4: %s, generated in %.1f s\n", Describe(p).c_str(), Seconds(t));
      if (!b.Build("plain", false)) return;
      Best ours, peer;
      peer.Add(b.Cabextract("plain"));
      if (b.failures) return;
      fs::remove_all(b.Extracted());
      ours.Add(b.Install("plain", false));
      if (b.failures) return;
      // Sizes only: reading 2 GB twice more would double the case.
      for (const Input& in : p.files) {
        std::error_code ec;
        if (fs::file_size(b.InstallFolder() / in.rel, ec) != in.size) {
          b.Fail("the install wrote " + in.rel + " wrongly");
          return;
        }
      }
      MemoryRow(what, ours, peer, 64);
    });
  }

  std::printf("  load average after:  %s\n\n", LoadAverage().c_str());
  std::printf("  %-44s %9s %9s %8s  %9s %9s  %12s  %5s\n", "case", "ours", "cpu", "peak", "peer", "cpu",
              "ratio (cpu)", "target");
  for (const std::string& line : gTable) std::printf("%s\n", line.c_str());
  std::printf("  (best of %d runs each; peer: cabextract on the same setup file, for 3 the unencrypted install)\n",
              rounds);
  if (KeepScratch())
    std::printf("  kept for a closer look: %s\n", scratch.c_str());
  else
    fs::remove_all(scratch);
  return gAllPass ? 0 : 1;
}
