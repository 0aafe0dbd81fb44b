// The walk over one folder's entries, checked against its valence.
#include "filesystems/hfs_catalog_items.h"

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsCatalogModuleId + 0x200;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

std::uint32_t ValenceOf(CatalogFile& catalog, std::uint32_t folderId) {
  const CatalogEntry folder = catalog.GetRecordById(folderId);
  if (!IsFolderRecord(folder.record)) Fail(1, kFileCorrupted);
  return Common::LoadBe32(folder.record.data() + folder::kValence);
}

}  // namespace

DirectoryItems::DirectoryItems(CatalogFile& catalog, std::uint32_t folderId)
    : catalog_(catalog), folderId_(folderId), valence_(ValenceOf(catalog, folderId)) {
  if (valence_ == 0) return;
  position_ = catalog_.FindFirstChild(folderId_);
  if (position_.IsNull()) Fail(2, kFileCorrupted);
  Load();
}

DirectoryItems::DirectoryItems(CatalogFile& catalog, std::uint32_t folderId,
                               const HFSPlusString& name)
    : catalog_(catalog), folderId_(folderId), valence_(ValenceOf(catalog, folderId)) {
  if (valence_ == 0) Fail(3, kFileNotFound);
  const RecordPosition target = catalog_.FindRecord(folderId_, name);
  if (target.IsNull()) Fail(4, kFileNotFound);
  // The ordinal is the count of entries before it.
  position_ = catalog_.FindFirstChild(folderId_);
  while (!position_.IsNull() &&
         (position_.node != target.node || position_.index != target.index)) {
    if (++ordinal_ >= valence_) Fail(5, kFileCorrupted);
    position_ = catalog_.NextPosition(position_);
  }
  if (position_.IsNull()) Fail(6, kFileCorrupted);
  Load();
}

void DirectoryItems::Load() {
  current_ = catalog_.EntryAt(position_);
  if (current_.parentId != folderId_) Fail(10, kFileCorrupted);
  if (!IsFolderRecord(current_.record) && !IsFileRecord(current_.record))
    Fail(11, kFileCorrupted);
}

const CatalogEntry& DirectoryItems::Current() const {
  if (AtEnd()) Fail(12, kFileCorrupted);
  return current_;
}

void DirectoryItems::Advance() {
  if (AtEnd()) return;
  const RecordPosition next = catalog_.NextPosition(position_);
  ++ordinal_;
  if (ordinal_ == valence_) {
    // The last entry by the valence: a further record of the folder means
    // the two disagree.
    if (!next.IsNull() && catalog_.EntryAt(next).parentId == folderId_) Fail(13, kFileCorrupted);
    position_ = RecordPosition();
    current_ = CatalogEntry();
    return;
  }
  if (next.IsNull()) Fail(14, kFileCorrupted);
  position_ = next;
  Load();
}

}  // namespace hfsplus
}  // namespace filesystems
