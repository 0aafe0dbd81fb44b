// The holder of one mount's metadata below the directories: the volume
// layer (headers, journal, bitmap), the special files of the extents
// overflow, catalog and attributes trees, and, once opened, the trees over
// them, in the order the mount makes them and the unmount flushes them.
// Until the extents overflow tree is open, a special file whose fork
// continues in it stays incomplete and refuses its bytes.
#pragma once

#include <cstdint>
#include <memory>

#include "filesystems/hfs_attributes.h"
#include "filesystems/hfs_catalog.h"
#include "filesystems/hfs_fork_file.h"
#include "filesystems/hfs_tree_file.h"
#include "filesystems/hfs_volume.h"

namespace filesystems {
namespace hfsplus {

class Metadata {
 public:
  Metadata(FileSystemDriver* driver, const std::uint8_t* bitmapBytes,
           std::uint32_t bitmapByteCount);
  ~Metadata();

  Volume& GetVolume() noexcept { return *volume_; }
  SpecialFile& ExtentsFork() noexcept { return *extents_; }
  SpecialFile& CatalogFork() noexcept { return *catalog_; }
  // Null on a volume without attributes file (its fork's size is 0).
  SpecialFile* AttributesFork() noexcept { return attributes_.get(); }

  // True while a special file's extents continue in the overflow file and
  // have not been collected yet.
  bool NeedsOverflowExtents() const;
  // The extents overflow tree completes the catalog's and the attributes
  // file's lists.
  void CompleteExtents(OverflowExtentsSource& source);

  // Opens the extents overflow tree, completes the other files' extents
  // from it and opens the catalog and (when present) attributes trees.
  void OpenTrees();
  bool TreesOpen() const noexcept { return catalogTree_ != nullptr; }
  // The trees; 0x4000d before OpenTrees, and for the attributes tree of a
  // volume that has none.
  ExtentsOverflowFile& Extents();
  CatalogFile& Catalog();
  AttributesFile& Attributes();
  bool HasAttributes() const noexcept { return attributesTree_ != nullptr; }

  // Attributes, catalog, extents, allocation, then the primary header.
  void Flush();
  // Flushes the special files and lets the volume write both headers; the
  // volume is marked cleanly unmounted only when every file flushed.
  void Unmount();

 private:
  void FlushFiles();

  std::unique_ptr<Volume> volume_;
  std::unique_ptr<SpecialFile> extents_;
  std::unique_ptr<SpecialFile> catalog_;
  std::unique_ptr<SpecialFile> attributes_;
  std::unique_ptr<ExtentsOverflowFile> extentsTree_;
  std::unique_ptr<CatalogFile> catalogTree_;
  std::unique_ptr<AttributesFile> attributesTree_;
};

}  // namespace hfsplus
}  // namespace filesystems
