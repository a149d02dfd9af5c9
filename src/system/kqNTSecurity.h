// The administrator check: whether the process runs with the rights of the
// local Administrators group.
#pragma once

#include "system/Errors.h"

namespace vx {

// True on the 9x family (no security there). On NT, whether the process
// token holds the group S-1-5-32-544; false when the security functions
// are missing. Raises ESecurityError "Can't initialize a SID" when the
// group's SID cannot be built.
bool IsAdministrator();

}  // namespace vx
