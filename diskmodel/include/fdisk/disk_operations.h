// The operations of the real stage (create, delete, change, clear a disk)
// and the volumes it registers for the portions it creates.
//
// Every operation locks the disks it touches for exactly its own duration:
// the lock is held by a scope guard, so whatever fails after locking (a
// driver, a write, the volume factory) leaves every disk unlocked. A driver
// commits only the disks it changed, and a commit that fails half-way puts
// back what it had written, so a failed operation leaves the disks as they
// were. After every operation the portion manager is refreshed from the
// disks, so that the head layer shows what is on them; volumes follow their
// portions by disk and first sector.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "common/error.h"
#include "fdisk/model.h"
#include "fdisk/named_vars.h"
#include "fdisk/ps_manager.h"

namespace Fdisk {

// A volume on one portion. Its properties hold "PortionID", "DiskID",
// "Start" and "Size" (sectors) of that portion.
class Volume : public IdObject, public PropertyObject {
 public:
  Volume();
  ~Volume() override;
  // Called with 1 before the volume is deleted; nothing to do here.
  virtual Common::Error Close(int mode);
  // The sectors a file system goes on, or null when there are none.
  virtual SimpleDisk* GetFormatDisk() = 0;
};

// The volume a created portion gets; the default makes a `PortionVolume`.
using VolumeFactory = std::unique_ptr<Volume> (*)(Computer& computer,
                                                  const NamedVars::VarContainer& params);
// Null restores the default.
void SetVolumeFactory(VolumeFactory factory);

// Puts a file system on a volume's sectors; supplied by the disk-access
// layer, which holds the resizer. `size` is the volume's "Size".
using VolumeFormatter = Common::Error (*)(SimpleDisk& disk, std::uint64_t size,
                                          const NamedVars::VarContainer& params);
// Null: no formatter (see FormatVolume).
void SetVolumeFormatter(VolumeFormatter formatter);

// Formats the volume as "FS" and the other file-system options of `params`
// ask. Without "FS" there is nothing to do and the answer is success; with
// "FS" but no formatter installed, 0x100401. "Size" missing from the
// volume's properties: 0x101C03.
Common::Error FormatVolume(Volume& volume, const NamedVars::VarContainer& params);

// A volume that is exactly its portion of the head layer.
class PortionVolume : public Volume {
 public:
  // Throws 0x101C09 when the portion is not in the head layer.
  PortionVolume(Computer& computer, std::uint32_t portionId);
  SimpleDisk* GetFormatDisk() override;

 private:
  Computer* computer_;
};

// Registers a `PortionVolume` for a portion of the head layer (one that the
// stage did not create, e.g. found at a refresh) and returns its id.
std::uint32_t AddPortionVolume(Computer& computer, std::uint32_t portionId);

// The portion of the head layer that is not free and starts at `first` on
// the disk, or 0.
std::uint32_t FindPortionAt(Computer& computer, std::uint32_t diskId, std::uint64_t first,
                            bool wantFree = false);

// Where a portion lies: disk, first sector and size, for MBR, GPT and raw
// locations.
struct PortionPlace {
  bool found = false;
  std::uint32_t diskId = 0;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};
PortionPlace PlaceOf(const PSPortion& portion);

namespace Operation {

// Each constructor does the whole operation and throws `Fdisk::Error` on
// failure, with nothing left locked and no disk changed.
class Create {
 public:
  // "StageID", "ComputerID", "PortionID" (a free portion), and what the
  // portion's driver reads; the file-system options of FormatVolume.
  explicit Create(const NamedVars::VarContainer& params);
  virtual ~Create();
  std::uint32_t GetVolumeId() const { return volumeId_; }
  std::uint32_t GetPortionId() const { return portionId_; }

 private:
  std::uint32_t stageId_ = 0;
  std::uint32_t computerId_ = 0;
  std::uint32_t portionId_ = 0;
  std::uint32_t volumeId_ = 0;
};

class Delete {
 public:
  // "StageID", "ComputerID", "VolumeID". The deletion's own failure is
  // thrown too, after the disks were unlocked.
  explicit Delete(const NamedVars::VarContainer& params);
  virtual ~Delete();
};

class Change {
 public:
  // "StageID", "ComputerID", "VolumeID", and what the portion's driver
  // reads. A free portion: 0x101C09, nothing locked.
  explicit Change(const NamedVars::VarContainer& params);
  virtual ~Change();
};

class ClearDisk {
 public:
  // "StageID", "ComputerID", "DiskID". Every driver forgets its tables on
  // the disk and the result is written; a disk that no driver holds a table
  // for is already clear. Failures of the drivers are thrown.
  explicit ClearDisk(const NamedVars::VarContainer& params);
  virtual ~ClearDisk();
};

}  // namespace Operation
}  // namespace Fdisk
