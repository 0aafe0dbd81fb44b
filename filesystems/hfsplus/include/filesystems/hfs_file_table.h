// The open files of one HFS+ mount.
//
// Two books. The framework's file objects, by the folder they were opened
// in and their catalog id, so that one entry has one file object while it
// is open; a folder with no entry here has no open files, whether or not a
// directory object of it exists. And the fork contents, by the catalog id
// of the record that holds the data (a hard link's iNode, otherwise the
// file itself), each shared by every file object that reaches it and
// counted, so that all links of an iNode see one extent list and one
// pending write set, and the content lives exactly as long as its last
// holder.
#pragma once

#include <cstdint>
#include <map>

namespace filesystems {
namespace hfsplus {

class HFSPlusFileObject;
class FileContent;

class OpenFileTable {
 public:
  OpenFileTable() = default;
  OpenFileTable(const OpenFileTable&) = delete;
  OpenFileTable& operator=(const OpenFileTable&) = delete;

  // The file object of `fileId` opened in `folderId`; null when none.
  HFSPlusFileObject* Find(std::uint32_t folderId, std::uint32_t fileId) const noexcept;
  bool IsOpen(std::uint32_t folderId, std::uint32_t fileId) const noexcept {
    return Find(folderId, fileId) != nullptr;
  }
  // Any file object of `fileId`, in any folder.
  bool IsOpenAnywhere(std::uint32_t fileId) const noexcept;
  // Whether the data of `dataId` (a file or an iNode) is held by any open
  // file object, directly or through a hard link.
  bool ContentOpen(std::uint32_t dataId) const noexcept { return contents_.count(dataId) != 0; }
  std::size_t OpenCount() const noexcept;

  void AddFile(std::uint32_t folderId, std::uint32_t fileId, HFSPlusFileObject* file);
  // Nothing when the pair is not registered.
  void RemoveFile(std::uint32_t folderId, std::uint32_t fileId) noexcept;

  FileContent* FindContent(std::uint32_t dataId) const noexcept;
  void AddContent(std::uint32_t dataId, FileContent* content);
  void RemoveContent(std::uint32_t dataId) noexcept { contents_.erase(dataId); }

  // Every open file object, for a flush of the whole mount.
  template <class F>
  void ForEachContent(F f) const {
    for (const auto& entry : contents_) f(entry.second);
  }

 private:
  std::map<std::uint32_t, std::map<std::uint32_t, HFSPlusFileObject*>> folders_;
  std::map<std::uint32_t, FileContent*> contents_;
};

}  // namespace hfsplus
}  // namespace filesystems
