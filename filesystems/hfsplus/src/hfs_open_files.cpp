// The map from folder ids to their folder objects' open files.
#include "filesystems/hfs_open_files.h"

#include "files/file_error.h"
#include "filesystems/hfs_driver.h"

namespace filesystems {
namespace hfsplus {

void OpenedFilesInDirectoriesMap::Register(std::uint32_t folderId, OpenFileSet* files) {
  if (!sets_.emplace(folderId, files).second)
    ThrowFileError(1, kHfsDriverModuleId + 0x300, kFileAlreadyExists);
}

OpenFileSet* OpenedFilesInDirectoriesMap::Find(std::uint32_t folderId) const {
  auto it = sets_.find(folderId);
  return it == sets_.end() ? nullptr : it->second;
}

bool OpenedFilesInDirectoriesMap::IsOpen(std::uint32_t folderId, std::uint32_t fileId) const {
  const OpenFileSet* set = Find(folderId);
  return set && set->count(fileId) != 0;
}

}  // namespace hfsplus
}  // namespace filesystems
