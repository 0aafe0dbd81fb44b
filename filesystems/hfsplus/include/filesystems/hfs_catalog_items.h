// The walk over one folder's entries in catalog key order, counted by
// ordinal against the folder's valence: a folder whose records and valence
// disagree is reported as damaged instead of being listed short or long.
#pragma once

#include <cstdint>

#include "filesystems/hfs_catalog.h"

namespace filesystems {
namespace hfsplus {

class DirectoryItems {
 public:
  // At the folder's first entry (at the end at once for valence 0).
  // 0x4000d when `folderId` is not a folder.
  DirectoryItems(CatalogFile& catalog, std::uint32_t folderId);
  // At the entry `name`: 0x40011 when the folder has no such entry (or
  // none at all).
  DirectoryItems(CatalogFile& catalog, std::uint32_t folderId, const HFSPlusString& name);

  bool AtEnd() const noexcept { return ordinal_ >= valence_; }
  std::uint32_t Ordinal() const noexcept { return ordinal_; }
  std::uint32_t Valence() const noexcept { return valence_; }
  // The current entry (0x4000d at the end).
  const CatalogEntry& Current() const;
  // The next entry; past the last one the walk is at its end, and a
  // further record of the folder there is damage (0x4000d).
  void Advance();

 private:
  void Load();

  CatalogFile& catalog_;
  std::uint32_t folderId_;
  std::uint32_t valence_ = 0;
  std::uint32_t ordinal_ = 0;
  RecordPosition position_;
  CatalogEntry current_;
};

}  // namespace hfsplus
}  // namespace filesystems
