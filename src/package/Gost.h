// GOST 28147-89 block cipher (64-bit block, 256-bit key, 32 rounds) with the
// S-boxes of the parameter set id-GostR3411-94-TestParamSet.
//
// Byte conventions: the 32 key bytes are the subkeys K1..K8 as little-endian
// 32-bit words; a block is read as the little-endian halves N1 (bytes 0-3)
// and N2 (bytes 4-7) and written back as N2 followed by N1.
#pragma once

#include <cstdint>

namespace vx {

struct GostKey {
  uint32_t k[8];
};

void GostSetKey(GostKey& key, const uint8_t bytes[32]);
void GostEncryptBlock(const GostKey& key, const uint8_t in[8], uint8_t out[8]);
void GostDecryptBlock(const GostKey& key, const uint8_t in[8], uint8_t out[8]);
// Decrypts four consecutive blocks (32 bytes) at once. The rounds of one
// block depend on each other; four blocks interleaved keep the processor
// busy while it waits for table look-ups.
void GostDecrypt4Blocks(const GostKey& key, const uint8_t in[32], uint8_t out[32]);

}  // namespace vx
