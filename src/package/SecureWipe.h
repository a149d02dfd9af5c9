// Overwriting of key material in a way the optimiser may not drop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx {

inline void SecureWipe(void* data, size_t size, uint8_t value = 0) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  while (size--) *p++ = value;
}

}  // namespace vx
