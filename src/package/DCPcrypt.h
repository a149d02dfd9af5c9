// The package format's cipher mode: GOST 28147-89 in cipher-block chaining
// over "units" of data, with a short-tail rule.
//
// Per unit, every complete 8-byte block is chained from the chaining value
// left by the previous unit; a final partial block of r bytes is XORed with
// the first r bytes of E(chaining value) and does not advance the chain.
// Because of that, the split of a stream into units is part of the format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/Gost.h"

namespace vx {

struct CipherState {
  GostKey key{};
  uint8_t iv[8] = {};
  uint8_t chain[8] = {};
  bool ready = false;
};

// Sets up `state` with a key of `keyBits` bits (a multiple of 8 from 8 to
// 256; the bytes are placed in a zeroed 32-byte key) and the initial vector
// `iv`, or, when `iv` is null, E(FF FF FF FF FF FF FF FF) under the key.
// With any other key size nothing is set up and the result is false.
bool StartCipher(CipherState& state, const void* key, unsigned keyBits, const uint8_t* iv = nullptr);

// Decrypts (encrypts) one unit of `length` bytes. `input` and `output` may be
// the same buffer. A state that was never set up copies the bytes unchanged.
void DecryptStream(CipherState& state, const void* input, void* output, size_t length);
void EncryptStream(CipherState& state, const void* input, void* output, size_t length);

// Overwrites the whole state; it must be started again before use.
void WipeCipher(CipherState& state);

}  // namespace vx
