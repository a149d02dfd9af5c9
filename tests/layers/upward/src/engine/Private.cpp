// Engine code that reaches past the host seam.
#include "system/host.h"
#include "system/sandbox/SandboxHost.h"
