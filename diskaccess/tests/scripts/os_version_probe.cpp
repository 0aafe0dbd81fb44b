// Prints what the disk layer learns from the Windows it runs on, through its
// own version source: the version record, the kind of system the first
// DaInit records, and the capability flags the local computer gets over the
// stand-in library (set up without a configuration: no drives, mode word 0).
// One line each, for the host-side script to compare with Wine's own answers.
#include <cstdio>

#include "diskaccess/da_state.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"

int main() {
  const DaOsVersion os = DaGetOsVersion();
  std::printf("version %u.%u.%u sp=%u platform=%u arch=%u\n", os.major, os.minor, os.build,
              os.servicePackMajor, os.platformId, os.processorArchitecture);

  DaInit(0x1C11);  // the clean-up tool's flags
  da_computer* computer = DaLocalComputer();
  if (computer == nullptr || !computer->lastError.IsNull()) {
    std::printf("computer failed 0x%x\n",
                computer != nullptr ? computer->lastError.Code() : 0u);
    if (DaIsInitialised()) DaDone();
    return 1;
  }
  std::printf("kind nt=%d recent=%d\n", DaIsNtFamily() ? 1 : 0, DaIsRecentOs() ? 1 : 0);
  std::printf("capabilities 0x%x\n", computer->capabilities);
  DaDone();
  return 0;
}
