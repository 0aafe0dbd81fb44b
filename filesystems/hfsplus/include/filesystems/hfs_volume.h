// The volume-wide state of one HFS+ mount below the B-trees: both volume
// headers, the journal (through the metadata I/O), the allocation bitmap,
// the read-only decision, and the header write-back of a clean unmount.
// The driver object builds its trees and directories on top of it.
#pragma once

#include <cstdint>
#include <memory>

#include "filesystems/driver.h"
#include "filesystems/hfs_bitmap.h"
#include "filesystems/hfs_metadata_io.h"
#include "filesystems/hfs_volume_header.h"

namespace filesystems {
namespace hfsplus {

// One clean bit per special file; unmount marks the volume cleanly
// unmounted only when all four are set.
enum CleanFlag : std::uint8_t {
  kCleanAllocation = 0x01,
  kCleanExtents = 0x02,
  kCleanCatalog = 0x04,
  kCleanAttributes = 0x08,
  kCleanAll = 0x0F,
};

class Volume {
 public:
  // Mounts: checks the geometry and the primary header, opens the journal
  // of a journaled volume, reads and checks both headers as the journal
  // sees them, decides read-only, puts the mount marks into the primary
  // (in memory) and loads the allocation bitmap. `bitmapBytes` given by the
  // caller stand in for the volume's; a non-zero `bitmapByteCount` makes
  // the mount read-only.
  Volume(FileSystemDriver* driver, const std::uint8_t* bitmapBytes,
         std::uint32_t bitmapByteCount);
  ~Volume();

  MetadataIo& Io() noexcept { return *io_; }
  VolumeHeader& Primary() noexcept { return headers_[0]; }
  VolumeHeader& Alternate() noexcept { return headers_[1]; }
  Bitmap& Allocation() noexcept { return *bitmap_; }
  bool ReadOnly() const noexcept { return io_->ReadOnly(); }
  std::uint32_t SectorSize() const noexcept { return io_->SectorSize(); }

  // Bytes of the special file's fork at `offset` (the eight extents of its
  // fork record; a fork that continues in the extents overflow file is read
  // through the trees, not here). Reads see the journal.
  void ReadFork(SpecialFileId id, std::uint64_t offset, std::uint8_t* out, std::uint32_t count);

  // The primary header changed (a special file changed): it will be written.
  void MarkPrimaryModified() noexcept { modified_[0] = true; }
  bool PrimaryModified() const noexcept { return modified_[0]; }
  void SetClean(std::uint8_t flag) noexcept { clean_ |= flag; }
  void SetDirty(std::uint8_t flag) noexcept { clean_ &= std::uint8_t(~flag); }
  std::uint8_t CleanFlags() const noexcept { return clean_; }

  // Writes the changed bitmap into the allocation file and the free count
  // into the primary header (marked modified). Read-only: nothing.
  void FlushAllocation();
  // Writes the primary header when it is marked modified. Read-only: nothing.
  void FlushPrimary();
  // Clean unmount: the primary's counts into the alternate, the unmounted
  // marks when every special file is clean, then the alternate and the
  // primary written. Nothing on a read-only mount or when nothing changed.
  void Unmount();

 private:
  void ReadHeader(int index, VolumeHeader& out);
  void WriteHeader(int index, const VolumeHeader& header);
  void LoadAllocation(const std::uint8_t* bytes, std::uint32_t byteCount);
  // The volume sectors of the fork's bytes [offset, offset + count).
  std::uint64_t ForkSector(const ForkData& fork, std::uint64_t offset) const;

  FileSystemDriver* driver_;
  std::unique_ptr<MetadataIo> io_;
  VolumeHeader headers_[2];
  bool modified_[2] = {false, false};
  // The primary went to disk with the mount's in-use marks: the unmount
  // must write it again, with the unmounted marks, even if nothing else
  // changed since.
  bool primaryWritten_ = false;
  std::unique_ptr<Bitmap> bitmap_;
  std::vector<std::uint8_t> bitmapOnDisk_;
  std::uint8_t clean_ = kCleanAll;
};

}  // namespace hfsplus
}  // namespace filesystems
