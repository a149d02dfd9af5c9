#include "system/kqNTSecurity.h"

#include "system/host.h"

namespace vx {

bool IsAdministrator() {
  Host& h = CurrentHost();
  if (h.Version().platform != kPlatformNT) return true;
  switch (h.CheckAdminGroup()) {
    case AdminCheck::Member: return true;
    case AdminCheck::SidFailed: throw ESecurityError("Can't initialize a SID");
    case AdminCheck::NoSecurityApi:
    case AdminCheck::NotMember: break;
  }
  return false;
}

}  // namespace vx
