// Saving and clearing the boot manager's boot-selection record around a
// partition change.
#include "diskaccess/boot_record_guard.h"

#include <cstring>

#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "foundation/byteorder.h"

void BootRecordGuard::Capture(stddisk* given, std::uint64_t start, std::uint64_t size, bool skip) {
  std::memset(saved, 0, sizeof saved);
  disk = nullptr;
  if (given == nullptr) return;
  std::uint8_t recordKind = 0;
  if (kind != 0) {
    recordKind = 0x80;
    if (!(skip && given->has_bios_number != 0 && given->bios_number == 0x80)) disk = given;
  } else {
    disk = DaFindBootDisk(given);
    recordKind = given->bios_number;
  }
  if (disk == nullptr || !disk->HasBootManager()) return;
  const std::uint8_t* area = disk->GetBootRecordArea();
  if (area == nullptr || area[4] != recordKind) return;
  if (!RangesOverlap(Common::LoadLe32(area), 1, start, size)) return;
  std::memcpy(saved, area, sizeof saved);
}

void BootRecordGuard::Restore(bool keep, std::uint8_t* image) {
  if (disk == nullptr) return;
  changed = 1;
  disk->SetBootManager(1);
  if (std::uint8_t* area = disk->GetBootRecordArea()) std::memcpy(area, saved, sizeof saved);
  if (!keep) {
    if (holder* table = disk->GetTableHolder(0)) {
      if (image != nullptr) table->SetSectorImage(image);
      else table->SetModified(true);
    }
  }
  DaAnnounceChange(disk->computer, true, disk, 0);
}

bool BootRecordGuard::Captured() const {
  return Common::LoadLe32(saved) != 0 && Common::LoadLe32(saved + 4) != 0;
}

void BootRecordGuard::RestoreIfCaptured(bool keep) {
  if (!Captured()) return;
  std::memset(saved, 0, sizeof saved);
  Restore(keep, nullptr);
}

bool BootRecordGuard::HasRecord(const holder* h) {
  if (h == nullptr) return false;
  BootRecordGuard guard;
  guard.Capture(h->disk, h->start, h->size, false);
  return Common::LoadLe32(guard.saved) != 0 && guard.saved[4] != 0;
}

void BootRecordGuard::CaptureBoth(const holder* h, bool keep) {
  if (h == nullptr) return;
  BootRecordGuard other, itself(true);
  other.Capture(h->disk, h->start, h->size, false);
  itself.Capture(h->disk, h->start, h->size, false);
  // One record, seen by both guards when the disk is its own boot disk,
  // is cleared once.
  if (other.Captured()) other.RestoreIfCaptured(keep);
  if (itself.Captured() && itself.disk->GetBootRecordArea() != nullptr &&
      std::memcmp(itself.disk->GetBootRecordArea(), itself.saved, 8) == 0)
    itself.RestoreIfCaptured(keep);
}
