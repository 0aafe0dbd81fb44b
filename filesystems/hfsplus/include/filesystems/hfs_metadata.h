// The holder of one mount's metadata below the directories: the volume
// layer (headers, journal, bitmap) and the special files of the extents
// overflow, catalog and attributes trees, in the order the mount makes
// them and the unmount flushes them. The B-tree engine opens its trees
// over these files; until the extents overflow tree is open, a special
// file whose fork continues in it stays incomplete and refuses its bytes.
#pragma once

#include <cstdint>
#include <memory>

#include "filesystems/hfs_fork_file.h"
#include "filesystems/hfs_volume.h"

namespace filesystems {
namespace hfsplus {

class Metadata {
 public:
  Metadata(FileSystemDriver* driver, const std::uint8_t* bitmapBytes,
           std::uint32_t bitmapByteCount);
  ~Metadata();

  Volume& GetVolume() noexcept { return *volume_; }
  SpecialFile& ExtentsFile() noexcept { return *extents_; }
  SpecialFile& CatalogFile() noexcept { return *catalog_; }
  // Null on a volume without attributes file (its fork's size is 0).
  SpecialFile* AttributesFile() noexcept { return attributes_.get(); }

  // True while a special file's extents continue in the overflow file and
  // have not been collected yet.
  bool NeedsOverflowExtents() const;
  // The extents overflow tree completes the catalog's and the attributes
  // file's lists.
  void CompleteExtents(OverflowExtentsSource& source);

  // Attributes, catalog, extents, allocation, then the primary header.
  void Flush();
  // Flushes the special files and lets the volume write both headers; the
  // volume is marked cleanly unmounted only when every file flushed.
  void Unmount();

 private:
  std::unique_ptr<Volume> volume_;
  std::unique_ptr<SpecialFile> extents_;
  std::unique_ptr<SpecialFile> catalog_;
  std::unique_ptr<SpecialFile> attributes_;
};

}  // namespace hfsplus
}  // namespace filesystems
