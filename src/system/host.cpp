#include "system/host.h"

#include <cstdio>
#include <cstdlib>

namespace vx {

static Host* g_host = nullptr;

Host& CurrentHost() {
  if (!g_host) {
    std::fprintf(stderr, "internal error: no host has been set\n");
    std::abort();
  }
  return *g_host;
}

void SetCurrentHost(Host* host) { g_host = host; }

ScopedHost::ScopedHost(Host& host) : previous_(g_host) { g_host = &host; }
ScopedHost::~ScopedHost() { g_host = previous_; }

}  // namespace vx
