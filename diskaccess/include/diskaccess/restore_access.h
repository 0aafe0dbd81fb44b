// How the library volume handler reaches Windows System Restore: through
// the Windows calls (diskaccess/system_restore.h), or through what a test
// puts in place. The portable build has no System Restore of its own: its
// answers are failures until a test installs one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/error.h"

namespace Da {

struct SystemRestoreAccess {
  // Switches System Restore for the drive ("C:\").
  std::function<Common::Error(bool enable, const std::u16string& drive)> set;
  // state: 0 off, 1 on, 2 the drive table does not answer for the drive.
  std::function<Common::Error(const std::u16string& drive, std::uint32_t& state)> query;
};

// Null puts the platform's access back.
void SetSystemRestoreAccess(const SystemRestoreAccess* access);
Common::Error SwitchSystemRestore(bool enable, const std::u16string& drive);
Common::Error QuerySystemRestore(const std::u16string& drive, std::uint32_t& state);

// The platform's (src/win or src/native).
Common::Error PlatformSwitchSystemRestore(bool enable, const std::u16string& drive);
Common::Error PlatformQuerySystemRestore(const std::u16string& drive, std::uint32_t& state);

}  // namespace Da
