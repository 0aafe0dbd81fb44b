// Which way a change of the dynamic-disk driver takes: the raw database
// (4), Windows' dynamic-disk service (5) or the Virtual Disk Service (6).
// The two services are brought up once per process on first success; a
// failed first bring-up leaves the raw way.
#pragma once

#include "common/error.h"
#include "ldm/group.h"

namespace Ldm {

constexpr int kWayRaw = 4;
constexpr int kWayWindows = 5;
constexpr int kWayVds = 6;

// Brings up Windows' dynamic-disk service for the model and reconciles it
// (the Windows client installs it; without one the start fails with
// 0x109057).
using WindowsServiceStarter = Common::Error (*)(LdmComputer& computer);
void SetWindowsServiceStarter(WindowsServiceStarter starter);
Common::Error StartWindowsService(LdmComputer& computer);
constexpr std::uint32_t kErrServiceStart = 0x109057;

int TryVdsWay(LdmComputer& computer);
int TryWindowsLdmWay(LdmComputer& computer);
// Forgets both services' use counts (and releases the Virtual Disk
// Service client), as at process start.
void ResetServiceWays();

}  // namespace Ldm
