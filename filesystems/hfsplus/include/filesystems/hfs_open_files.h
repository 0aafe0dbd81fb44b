// What keeps one HFS+ file to one open file object: the file objects as the
// folders see them, the set of open files of each folder object, the map
// from folder ids to those sets, and the counted reference through which
// a hard link's file object holds its iNode's.
#pragma once

#include <cstdint>
#include <map>

#include "filesystems/driver.h"

namespace filesystems {
namespace hfsplus {

// A file object of the driver: one per open catalog file, counted so that
// a hard link's object can hold its iNode's.
class HFSPlusFileObjectBase : public ReferenceCount, public FileSystemDriver::FileObject {
 public:
  virtual std::uint32_t FileId() const noexcept = 0;
  // The 16 bytes of owner, group, flags, mode and special as stored.
  virtual void SetPermissions(const void* block, std::uint32_t size) = 0;
  virtual void SetMode(std::uint16_t mode) = 0;
  virtual void SetOwner(std::uint32_t owner, std::uint32_t group) = 0;
};

// A folder object's open files by catalog node id.
using OpenFileSet = std::map<std::uint32_t, HFSPlusFileObjectBase*>;

// Folder id to the open files of that folder's one folder object.
class OpenedFilesInDirectoriesMap {
 public:
  // 0x40013 when the folder has a set already.
  void Register(std::uint32_t folderId, OpenFileSet* files);
  void Unregister(std::uint32_t folderId) noexcept { sets_.erase(folderId); }
  // The folder's set, or null when no folder object of it exists: then
  // nothing in it is open.
  OpenFileSet* Find(std::uint32_t folderId) const;
  bool IsOpen(std::uint32_t folderId, std::uint32_t fileId) const;

 private:
  std::map<std::uint32_t, OpenFileSet*> sets_;
};

// A counted reference to a file object: the last one deletes it.
class HFSPlusFileReference {
 public:
  explicit HFSPlusFileReference(HFSPlusFileObjectBase* target) noexcept : target_(target) {
    if (target_) target_->AddUse();
  }
  ~HFSPlusFileReference() {
    if (target_ && target_->DropUse() == 0) delete target_;
  }
  HFSPlusFileReference(const HFSPlusFileReference&) = delete;
  HFSPlusFileReference& operator=(const HFSPlusFileReference&) = delete;
  HFSPlusFileObjectBase* get() const noexcept { return target_; }
  HFSPlusFileObjectBase* operator->() const noexcept { return target_; }

 private:
  HFSPlusFileObjectBase* target_;
};

}  // namespace hfsplus
}  // namespace filesystems
