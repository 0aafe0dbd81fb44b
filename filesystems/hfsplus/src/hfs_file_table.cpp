// The open files of one HFS+ mount.
#include "filesystems/hfs_file_table.h"

namespace filesystems {
namespace hfsplus {

HFSPlusFileObject* OpenFileTable::Find(std::uint32_t folderId,
                                       std::uint32_t fileId) const noexcept {
  const auto folder = folders_.find(folderId);
  if (folder == folders_.end()) return nullptr;
  const auto file = folder->second.find(fileId);
  return file == folder->second.end() ? nullptr : file->second;
}

bool OpenFileTable::IsOpenAnywhere(std::uint32_t fileId) const noexcept {
  for (const auto& folder : folders_) {
    if (folder.second.count(fileId) != 0) return true;
  }
  return false;
}

std::size_t OpenFileTable::OpenCount() const noexcept {
  std::size_t n = 0;
  for (const auto& folder : folders_) n += folder.second.size();
  return n;
}

void OpenFileTable::AddFile(std::uint32_t folderId, std::uint32_t fileId, HFSPlusFileObject* file) {
  folders_[folderId][fileId] = file;
}

void OpenFileTable::RemoveFile(std::uint32_t folderId, std::uint32_t fileId) noexcept {
  const auto folder = folders_.find(folderId);
  if (folder == folders_.end()) return;
  folder->second.erase(fileId);
  // An empty folder leaves the table: a folder without an entry has no
  // open files.
  if (folder->second.empty()) folders_.erase(folder);
}

FileContent* OpenFileTable::FindContent(std::uint32_t dataId) const noexcept {
  const auto it = contents_.find(dataId);
  return it == contents_.end() ? nullptr : it->second;
}

void OpenFileTable::AddContent(std::uint32_t dataId, FileContent* content) {
  contents_[dataId] = content;
}

}  // namespace hfsplus
}  // namespace filesystems
