// The client of Windows' dynamic-disk service: it makes sure the "dmio"
// service runs, loads the service's configuration library, starts the
// library's configuration thread, sends request blocks and waits for their
// completion, and serves the reconciliation the service's configuration.
//
// Every wait on the service is bounded: a service that never answers makes
// the start or the request fail instead of hanging the caller.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "ldm/group.h"

namespace Ldm {

#if defined(_WIN32)
// The start-up sequence; 0x109057 on failure.
Common::Error LdmWinInit();
// LdmWinInit, then the reconciliation of every group of the computer and
// the reactivation of stalled disks that hold no redundant volume.
Common::Error LdmWinInitExt(LdmComputer& computer);
// Makes the driver's Windows way start the service through LdmWinInitExt.
void InstallWindowsServiceClient();
// The longest wait, in milliseconds, for each of: the configuration to be
// ready, a request's completion, a task's completion.
void SetServiceWaitLimit(std::uint32_t milliseconds);

// What the client keeps of the import redirection, for checks: whether one
// is in force, and the slot's address.
bool ImportRedirectionActive();
#endif

}  // namespace Ldm
