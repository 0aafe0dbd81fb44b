// The way choice of the dynamic-disk driver's changes.
#include "ldm/service_ways.h"

#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/vds_client.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kStartLocation = 0x4C445901;

WindowsServiceStarter starter = nullptr;
int vdsUses = 0;
int windowsUses = 0;

}  // namespace

void SetWindowsServiceStarter(WindowsServiceStarter s) { starter = s; }

Common::Error StartWindowsService(LdmComputer& computer) {
  if (starter == nullptr) {
    return MakeLdmError(kStartLocation, kErrServiceStart,
                        "Windows' dynamic-disk service cannot be started.");
  }
  return starter(computer);
}

int TryVdsWay(LdmComputer& computer) {
  ++vdsUses;
  VdsAccess* access = VdsAccess::Instance();
  computer.vds = access;
  if (vdsUses == 1) {
    const std::int32_t hr = access->Init();
    // S_FALSE (no dynamic provider) leaves no service behind: the binding
    // below fails and the raw way is taken.
    if (VdsFailed(hr)) {
      VdsAccess::Destroy();
      computer.vds = nullptr;
      --vdsUses;
      return kWayRaw;
    }
  }
  return RefreshVds(computer) ? kWayRaw : kWayVds;
}

int TryWindowsLdmWay(LdmComputer& computer) {
  if (windowsUses++ > 0) return kWayWindows;
  LdmLog("Try INIT WINDOWS LDM: WIN WAY");
  if (!StartWindowsService(computer)) return kWayWindows;
  --windowsUses;
  return kWayRaw;
}

void ResetServiceWays() {
  vdsUses = 0;
  windowsUses = 0;
  VdsAccess::Destroy();
}

}  // namespace Ldm
