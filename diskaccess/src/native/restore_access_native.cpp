// Without Windows there is no System Restore: switching and asking fail as
// they do on a Windows whose version cannot be read.
#include "diskaccess/errors.h"
#include "diskaccess/restore_access.h"

namespace {
constexpr std::uint32_t kNoVersion = 0x140004;
}  // namespace

namespace Da {

Common::Error PlatformSwitchSystemRestore(bool, const std::u16string&) {
  return Common::Error(Site(0x1428, 1), Module::kSystemRestore, kNoVersion);
}

Common::Error PlatformQuerySystemRestore(const std::u16string&, std::uint32_t& state) {
  state = 0;
  return Common::Error(Site(0x1428, 2), Module::kSystemRestore, kNoVersion);
}

}  // namespace Da
