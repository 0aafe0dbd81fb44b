// Windows version and processor facts for the disk layer.
#include <windows.h>

#include "diskaccess/da_state.h"
#include "foundation/registry_security.h"

void DaPlatformOsVersion(DaOsVersion& out) {
  out = DaOsVersion{};
  OSVERSIONINFOEXA info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // 156: the extended structure
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);  // 148
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return;
  }
  out.platformId = info.dwPlatformId;
  out.major = info.dwMajorVersion;
  out.minor = info.dwMinorVersion;
  out.build = info.dwBuildNumber;
  out.servicePackMajor = info.wServicePackMajor;
  SYSTEM_INFO system;
  ZeroMemory(&system, sizeof system);
  Common::GetSystemInfoNative(system, true);
  out.processorArchitecture = system.wProcessorArchitecture;
}
