// Extraction speed of the extraction library against cabextract, on the same
// MSZIP cabinet made by gcab from generated files (text-like data that
// compresses about 3:1, plus some incompressible data). Both write to files
// in a scratch folder; the library is loaded as the engine loads it, with a
// pass-through filter and a notify callback that writes every entry.
//   unpack_bench [megabytes] [scratch folder]   (default 300, /tmp)
#include <dlfcn.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "unpack/unpack.h"

namespace fs = std::filesystem;

namespace {

std::string gOut;

int32_t Notify(int32_t code, void* record) {
  if (code == VX_UNPACK_BEFORE_FILE) {
    auto* r = static_cast<VxUnpackFileRecord*>(record);
    std::snprintf(r->target, sizeof r->target, "%s/%s", gOut.c_str(), r->entry);
    return 1;
  }
  return 1;
}
void Filter(void*, int32_t) {}

// Processor time (user + system) of this process or of its finished children.
double CpuSeconds(int who) {
  struct rusage u;
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 300;
  std::string scratch = (argc > 2 ? argv[2] : "/tmp") + std::string("/vx-unpack-bench");
  fs::remove_all(scratch);
  fs::create_directories(scratch + "/src");

  // Input: files of 20 MB; words drawn from a small vocabulary, every tenth
  // file random bytes.
  std::mt19937 rng(42);
  const char* words[] = {"setup ", "package ", "folder ", "install ", "engine ", "cabinet ", "data\n",
                         "0123 ", "value=", "key ", "registry ", "HKLM\\Software ", "%ProgramFiles% "};
  size_t files = (megabytes + 19) / 20;
  std::string list;
  for (size_t i = 0; i < files; ++i) {
    std::string name = "file" + std::to_string(i) + ".dat";
    std::string data;
    data.reserve(20 << 20);
    while (data.size() < (size_t(20) << 20)) {
      if (i % 10 == 9)
        data += char(rng());
      else
        data += words[rng() % (sizeof words / sizeof *words)];
    }
    data.resize(20 << 20);
    std::ofstream(scratch + "/src/" + name, std::ios::binary) << data;
    list += " " + name;
  }
  std::string cab = scratch + "/bench.cab";
  auto t0 = std::chrono::steady_clock::now();
  if (std::system(("cd " + scratch + "/src && gcab -c -z " + cab + list).c_str()) != 0) return 1;
  std::printf("unpack_bench: %zu MB in %zu files, cabinet of %.1f MB (gcab: %.2f s)\n", files * 20, files,
              fs::file_size(cab) / 1048576.0, Seconds(t0));

  void* lib = dlopen(VX_UNPACK_LIBRARY, RTLD_NOW);
  auto open = (VxUnpackOpenFn)dlsym(lib, "Open");
  auto enumerate = (VxUnpackEnumerateFn)dlsym(lib, "Enumerate");
  auto close = (VxUnpackCloseFn)dlsym(lib, "Close");
  if (!open || !enumerate || !close) return 1;

  // Three rounds each, alternating which goes first (the page cache's
  // write-back of the previous round weighs on whoever runs next); the best
  // time of each counts.
  double best[2] = {1e9, 1e9}, cpu[2] = {1e9, 1e9};
  for (int round = 0; round < 6; ++round) {
    int who = (round + round / 2) % 2;  // 0 1 1 0 0 1
    std::string out = scratch + (who == 0 ? "/a" : "/b");
    fs::remove_all(out);
    fs::create_directories(out);
    std::system("sync");
    int scope = who == 0 ? RUSAGE_CHILDREN : RUSAGE_SELF;
    double c = CpuSeconds(scope);
    auto t = std::chrono::steady_clock::now();
    if (who == 0) {
      if (std::system(("cabextract -q -d " + out + " " + cab).c_str()) != 0) return 1;
    } else {
      gOut = out;
      open(cab.c_str(), 0);
      int32_t ok = enumerate(&Notify, &Filter);
      close();
      if (!ok) return 1;
    }
    best[who] = std::min(best[who], Seconds(t));
    cpu[who] = std::min(cpu[who], CpuSeconds(scope) - c);
  }
  for (size_t i = 0; i < files; ++i) {
    std::string name = "/file" + std::to_string(i) + ".dat";
    if (fs::file_size(scratch + "/a" + name) != fs::file_size(scratch + "/b" + name)) return 1;
  }
  std::printf("                      wall      processor\n");
  std::printf("  cabextract:         %.2f s    %.2f s\n", best[0], cpu[0]);
  std::printf("  extraction library: %.2f s    %.2f s\n", best[1], cpu[1]);
  std::printf("  ratio:              %.2f      %.2f\n", best[1] / best[0], cpu[1] / cpu[0]);
  fs::remove_all(scratch);
  return 0;
}
