// System Restore for the library volume handler on Windows.
#include "diskaccess/restore_access.h"
#include "diskaccess/system_restore.h"

namespace Da {

Common::Error PlatformSwitchSystemRestore(bool enable, const std::u16string& drive) {
  Common::Error result;
  SetSystemRestore(result, enable, drive);
  return result;
}

Common::Error PlatformQuerySystemRestore(const std::u16string& drive, std::uint32_t& state) {
  Common::Error result;
  IsSystemRestoreEnabled(result, state, drive);
  return result;
}

}  // namespace Da
