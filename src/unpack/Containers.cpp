#include "unpack/Containers.h"

namespace vxunpack {

void JoinText(char* out, size_t size, const char* a, const char* b, const char* c, const char* d, const char* e) {
  const char* pieces[] = {a, b, c, d, e};
  size_t n = 0;
  for (const char* piece : pieces) {
    if (!piece) continue;
    while (*piece && n + 1 < size) out[n++] = *piece++;
  }
  out[n] = 0;
}

void FormatNumber(char (&out)[16], int32_t value) {
  char digits[16];
  size_t n = 0;
  // Negated in unsigned arithmetic: INT32_MIN has no positive counterpart.
  uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  do {
    digits[n++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  size_t at = 0;
  if (value < 0) out[at++] = '-';
  while (n) out[at++] = digits[--n];
  out[at] = 0;
}

}  // namespace vxunpack
