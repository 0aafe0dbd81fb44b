// What the dynamic-disk code needs to know of the Windows it runs on: the
// platform (32-bit Windows, or a 32-bit process on 64-bit Windows), the
// version record, the client-platform flags computed from them, and the
// boot information of the machine's primary disk group.
#pragma once

#include <cstdint>
#include <string>

namespace Ldm {

enum class Platform { kX86, kAmd64 };

// Os code, product kind and service pack as the probes set them (all 0
// until probed); see ProbeOs.
struct OsRecord {
  std::uint32_t osCode = 0;
  std::uint32_t productKind = 0;
  std::uint32_t servicePack = 0;  // major + minor x 65536
  std::uint32_t build = 0;
};

// The client-platform flags of a platform and version record. Bits used
// here: 0x8 GPT disks take part, 0x20 free regions below 2048 sectors are
// hidden, 0x40 every disk group counts as the machine's own.
std::uint32_t LdmPlatformFlagsFor(Platform platform, const OsRecord& os);

#if defined(_WIN32)
// IsWow64Process, looked up at run time: Amd64 when it answers TRUE.
// A failing call throws Common::Error 0x100C0A.
Platform GetPlatform();
// GetVersionExA (extended record, else the plain one) read the way the
// platform's probe reads it. Throws 0x100C0A when both fail.
OsRecord ProbeOs(Platform platform);
std::uint32_t GetLdmPlatformFlags();
// "Name" and "ID" under the dynamic-disk service's boot information key.
bool ReadPrimaryDiskGroupName(std::string& name, std::string& id);
// Makes the start-up ask the two functions above.
void InstallWindowsRootGroupSource();
#endif

}  // namespace Ldm
