// Prints what the dynamic-disk code learns of the Windows it runs on: the
// platform, the version record its probe fills and the client-platform
// flags; and, from a call of its own, what Windows says of itself (the
// version, product type and suite mask). One line each, for the host-side
// script to compare with its table.
#include <windows.h>

#include <cstdio>

#include "common/error.h"
#include "ldm/sysinfo.h"

int main() {
  OSVERSIONINFOEXA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
    std::printf("GetVersionExA failed %lu\n", GetLastError());
    return 1;
  }
  std::printf("windows %lu.%lu type=%u suite=0x%x\n", info.dwMajorVersion, info.dwMinorVersion,
              unsigned(info.wProductType), unsigned(info.wSuiteMask));
  try {
    const Ldm::Platform platform = Ldm::GetPlatform();
    const Ldm::OsRecord os = Ldm::ProbeOs(platform);
    std::printf("platform %s\n", platform == Ldm::Platform::kAmd64 ? "amd64" : "x86");
    std::printf("os code=%u kind=%u sp=%u build=%u\n", os.osCode, os.productKind,
                os.servicePack, os.build);
    std::printf("flags 0x%x\n", Ldm::GetLdmPlatformFlags());
  } catch (const Common::Error& e) {
    std::printf("error 0x%x\n", Common::GetErrorCode(e));
    return 1;
  }
  return 0;
}
