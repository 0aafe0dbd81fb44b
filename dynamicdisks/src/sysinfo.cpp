// The client-platform flags of a platform and version.
#include "ldm/sysinfo.h"

namespace Ldm {

std::uint32_t LdmPlatformFlagsFor(Platform platform, const OsRecord& os) {
  const std::uint32_t kind = os.productKind;
  if (platform == Platform::kX86) {
    switch (os.osCode) {
      case 4:  // Windows 2000
        return (kind == 1 || kind == 3) ? 0x15 : kind == 2 ? 0x16 : 0;
      case 5:  // XP
        return kind == 3 ? 0x15 : 0;
      case 6:  // 5.2
        return os.servicePack == 0 ? 0x36 : 0x3E;
      case 7:
      case 8:  // 6.0 and later
        return 0xEC | (kind == 2 ? 0x302 : kind == 3 ? 0x1 : 0);
      default:
        return 0;
    }
  }
  switch (os.osCode) {
    case 1:
      return 0x2D;
    case 2:
      return (kind == 2 || kind == 3) ? 0x2D : 0x2E;
    case 3:
    case 4:
      return 0xEC | (kind == 1 ? 0x302 : kind == 2 ? 0x1 : 0);
    default:
      return 0;
  }
}

}  // namespace Ldm
