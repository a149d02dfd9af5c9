#include "package/DCPcrypt.h"

#include <cstring>

#include "package/SecureWipe.h"

namespace vx {

bool StartCipher(CipherState& state, const void* key, unsigned keyBits, const uint8_t* iv) {
  if (keyBits < 8 || keyBits > 256 || keyBits % 8 != 0) return false;
  uint8_t keyBytes[32] = {};
  std::memcpy(keyBytes, key, keyBits / 8);
  GostSetKey(state.key, keyBytes);
  SecureWipe(keyBytes, sizeof keyBytes);
  if (iv) {
    std::memcpy(state.iv, iv, 8);
  } else {
    uint8_t ones[8];
    std::memset(ones, 0xFF, sizeof ones);
    GostEncryptBlock(state.key, ones, state.iv);
  }
  std::memcpy(state.chain, state.iv, 8);
  state.ready = true;
  return true;
}

void DecryptStream(CipherState& state, const void* input, void* output, size_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(input);
  uint8_t* out = static_cast<uint8_t*>(output);
  if (!state.ready) {
    if (out != in) std::memmove(out, in, length);
    return;
  }
  uint8_t cipher[8], plain[8];
  size_t whole = length & ~size_t(7);
  size_t i = 0;
  // Four blocks at a time: the decryptions of complete blocks are
  // independent of each other, only the XOR needs the previous ciphertext.
  uint8_t cipher4[32], plain4[32];
  for (; i + 32 <= whole; i += 32) {
    std::memcpy(cipher4, in + i, 32);
    GostDecrypt4Blocks(state.key, cipher4, plain4);
    for (int b = 0; b < 8; ++b) out[i + b] = uint8_t(plain4[b] ^ state.chain[b]);
    for (int b = 8; b < 32; ++b) out[i + b] = uint8_t(plain4[b] ^ cipher4[b - 8]);
    std::memcpy(state.chain, cipher4 + 24, 8);
  }
  SecureWipe(plain4, sizeof plain4, 0xFF);
  SecureWipe(cipher4, sizeof cipher4, 0xFF);
  for (; i < whole; i += 8) {
    std::memcpy(cipher, in + i, 8);  // kept before `out` may overwrite it
    GostDecryptBlock(state.key, cipher, plain);
    for (int b = 0; b < 8; ++b) out[i + b] = uint8_t(plain[b] ^ state.chain[b]);
    std::memcpy(state.chain, cipher, 8);
  }
  if (size_t tail = length - whole) {
    GostEncryptBlock(state.key, state.chain, plain);
    for (size_t b = 0; b < tail; ++b) out[whole + b] = uint8_t(in[whole + b] ^ plain[b]);
  }
  SecureWipe(plain, sizeof plain, 0xFF);
  SecureWipe(cipher, sizeof cipher, 0xFF);
}

void EncryptStream(CipherState& state, const void* input, void* output, size_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(input);
  uint8_t* out = static_cast<uint8_t*>(output);
  if (!state.ready) {
    if (out != in) std::memmove(out, in, length);
    return;
  }
  uint8_t block[8];
  size_t whole = length & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) {
    for (int b = 0; b < 8; ++b) block[b] = uint8_t(in[i + b] ^ state.chain[b]);
    GostEncryptBlock(state.key, block, state.chain);
    std::memcpy(out + i, state.chain, 8);
  }
  if (size_t tail = length - whole) {
    GostEncryptBlock(state.key, state.chain, block);
    for (size_t b = 0; b < tail; ++b) out[whole + b] = uint8_t(in[whole + b] ^ block[b]);
  }
  SecureWipe(block, sizeof block, 0xFF);
}

void WipeCipher(CipherState& state) {
  SecureWipe(&state.key, sizeof state.key, 0xFF);
  SecureWipe(state.iv, sizeof state.iv, 0xFF);
  SecureWipe(state.chain, sizeof state.chain, 0xFF);
  state.ready = false;
}

}  // namespace vx
