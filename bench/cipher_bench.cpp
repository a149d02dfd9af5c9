// Decryption speed of the package format's cipher on one core: GOST
// 28147-89 in the chained mode, over units the size of cabinet data blocks
// (as the extraction filter decrypts) and over one large unit (a database).
//   cipher_bench [megabytes]   (default 256)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "package/DCPcrypt.h"
#include "package/PackageCrypt.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Run(std::vector<uint8_t>& data, size_t unit, bool decrypt) {
  vx::Key256 key = vx::HashText("benchmark password");
  vx::CipherState state;
  vx::StartCipher(state, key.data(), 256);
  auto start = std::chrono::steady_clock::now();
  for (size_t pos = 0; pos < data.size(); pos += unit) {
    size_t n = data.size() - pos < unit ? data.size() - pos : unit;
    if (decrypt)
      vx::DecryptStream(state, &data[pos], &data[pos], n);
    else
      vx::EncryptStream(state, &data[pos], &data[pos], n);
  }
  double s = Seconds(start);
  vx::WipeCipher(state);
  return data.size() / 1e6 / s;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 256;
  std::vector<uint8_t> data(megabytes << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 2654435761u >> 13);
  std::printf("cipher_bench: %zu MB\n", megabytes);
  std::printf("  decrypt, units of 32763 bytes: %8.1f MB/s\n", Run(data, 32763, true));
  std::printf("  decrypt, one unit:             %8.1f MB/s\n", Run(data, data.size(), true));
  std::printf("  encrypt, units of 32763 bytes: %8.1f MB/s\n", Run(data, 32763, false));
  return 0;
}
