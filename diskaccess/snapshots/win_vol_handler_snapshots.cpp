// The library volume handler's System Restore switches and its snapshot
// factory.
#include <new>

#include "diskaccess/errors.h"
#include "diskaccess/restore_access.h"
#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"

namespace {

const Da::SystemRestoreAccess* g_access = nullptr;

// The computer's flag that rules snapshots out.
constexpr std::uint32_t kCapNoSnapshots = 0x4000;

}  // namespace

namespace Da {

void SetSystemRestoreAccess(const SystemRestoreAccess* access) { g_access = access; }

Common::Error SwitchSystemRestore(bool enable, const std::u16string& drive) {
  if (g_access != nullptr && g_access->set) return g_access->set(enable, drive);
  return PlatformSwitchSystemRestore(enable, drive);
}

Common::Error QuerySystemRestore(const std::u16string& drive, std::uint32_t& state) {
  state = 0;
  if (g_access != nullptr && g_access->query) return g_access->query(drive, state);
  return PlatformQuerySystemRestore(drive, state);
}

}  // namespace Da

bool win_vol_handler::VolSetSystemRestore(bool enable) {
  const char16_t* path = nullptr;
  if (Da::Failed(VolGetPath(path)) || path == nullptr) return false;
  return !Da::Failed(Da::SwitchSystemRestore(enable, path));
}

bool win_vol_handler::VolQuerySystemRestore(bool& enabled) {
  enabled = false;
  const char16_t* path = nullptr;
  if (Da::Failed(VolGetPath(path)) || path == nullptr) return false;
  std::uint32_t state = 0;
  if (Da::Failed(Da::QuerySystemRestore(path, state))) return false;
  if (state == 2) {
    // No answer for this drive: a drive that can have System Restore at
    // all is taken to have its answer later; A:, B: and none cannot.
    std::uint8_t letter = 0;
    VolGetLetter(letter);
    return letter >= 'C' && letter <= 'Z';
  }
  enabled = state != 0;
  return true;
}

bool win_vol_handler::VolCanSnapshot() const {
  const da_computer* computer = DaLocalComputer();
  return volumeHandle != 0 && computer != nullptr &&
         (computer->capabilities & kCapNoSnapshots) == 0;
}

Fdisk::SnapshotVolume* win_vol_handler::VolCreateSnapshot() {
  if (volumeHandle == 0) return nullptr;
  std::uint32_t kind = SnapState::kLibrary;
  if (flags == 1) {
    // The snapshot takes the exclusive lock over and gives it back itself.
    kind = SnapState::kLibrary | SnapState::kHoldsVolumeLock | SnapState::kLive;
    flags = 0;
  } else if (flags == 2 || flags == 3) {
    kind = SnapState::kLive;
  }
  return new (std::nothrow) win_snapshot_volume(*this, kind);
}
