// The native engine's counterpart of the RCDATA resource "UNPACK": the
// extraction library's bytes, compiled in from a generated source and
// registered before the engine starts.
#include <cstddef>

#include "system/EmbeddedResource.h"

extern const unsigned char vx_unpack_library[];
extern const size_t vx_unpack_library_size;

namespace {
const bool kRegistered = (vx::RegisterEmbeddedResource("UNPACK", vx_unpack_library, vx_unpack_library_size), true);
}
