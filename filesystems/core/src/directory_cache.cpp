// The driver's directory objects, cached by directory id with an LRU list
// (idle ones beyond eight are dropped), the cache from path text to
// directory id, and the path operations built on both. Paths are
// '/'-separated and start with the separator.
#include <string>

#include "filesystems/driver.h"
#include "files/file_error.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kDirectoryCacheModuleId;
using DirectoryObject = FileSystemDriver::DirectoryObject;

// The parent text and the name of a path: the name follows the last '/';
// the parent is the text before it, "/" when that '/' is the first
// character, empty when there is none.
void SplitPath(const std::u16string& path, std::u16string& parent, std::u16string& name) {
  auto p = path.rfind(u'/');
  if (p == std::u16string::npos) {
    parent.clear();
    name = path;
    return;
  }
  name = path.substr(p + 1);
  parent = p == 0 ? std::u16string(u"/") : path.substr(0, p);
}

// One temporary use of a directory object, ended on every way out.
class DirectoryUse {
 public:
  DirectoryUse() = default;
  explicit DirectoryUse(DirectoryObject* directory) { Take(directory); }
  ~DirectoryUse() { ReleaseDirectoryUse(directory_); }
  DirectoryUse(const DirectoryUse&) = delete;
  DirectoryUse& operator=(const DirectoryUse&) = delete;
  void Take(DirectoryObject* directory) {
    ReleaseDirectoryUse(directory_);
    directory_ = directory;
    if (directory_) directory_->AddUse();
  }
  DirectoryObject* get() const { return directory_; }
  DirectoryObject* operator->() const { return directory_; }

 private:
  DirectoryObject* directory_ = nullptr;
};

}  // namespace

DirectoryObject* FileSystemDriver::GetDirectoryObject(std::uint32_t directoryId) {
  auto it = directories_.find(directoryId);
  if (it != directories_.end()) {
    DirectoryObject* directory = it->second;
    if (directory->next != &directoryLru_) {
      directory->Unlink();
      directoryLru_.InsertBefore(directory);
    }
    return directory;
  }
  DirectoryObject* directory = CreateDirectoryObject(directoryId);
  try {
    directories_.emplace(directoryId, directory);
  } catch (...) {
    delete directory;
    throw;
  }
  return directory;
}

void FileSystemDriver::DeleteDirectoryObjects() noexcept {
  for (auto& entry : directories_) delete entry.second;
  directories_.clear();
}

DirectoryObject* FileSystemDriver::OpenDirectoryByPath(const std::u16string& path) {
  std::u16string copy = path.empty() ? std::u16string() : path.substr(1);
  if (!copy.empty()) NormalizeNameCase(copy);

  std::uint32_t id = 0;
  std::size_t start = 0;
  if (!copy.empty()) {
    std::u16string prefix = copy;
    for (;;) {
      auto hit = pathCache_.find(prefix);
      if (hit != pathCache_.end()) {
        id = hit->second;
        start = prefix.size() + 1;
        break;
      }
      auto slash = prefix.rfind(u'/');
      if (slash == std::u16string::npos) break;
      prefix.resize(slash);
    }
  }
  DirectoryObject* directory = GetDirectoryObject(id);
  if (!copy.empty()) {
    while (start <= copy.size()) {
      auto end = copy.find(u'/', start);
      if (end == std::u16string::npos) end = copy.size();
      std::u16string component = copy.substr(start, end - start);
      id = directory->GetChildDirectoryId(component);
      pathCache_[copy.substr(0, end)] = id;
      directory = GetDirectoryObject(id);
      start = end + 1;
    }
  }
  if (pathCache_.size() > kPathCacheLimit) pathCache_.clear();

  if (directoryObjectCount_ > kDirectoryObjectLimit) {
    DirectoryUse keep(directory);
    auto* node = directoryLru_.next;
    while (node != &directoryLru_ && directoryObjectCount_ > kDirectoryObjectLimit) {
      auto* candidate = static_cast<DirectoryObject*>(node);
      node = node->next;
      if (candidate->Uses() != 0) continue;
      directories_.erase(candidate->Id());
      delete candidate;
    }
  }
  return directory;
}

void FileSystemDriver::UnlinkPathCacheEntries(std::uint32_t directoryId) {
  for (auto it = pathCache_.begin(); it != pathCache_.end();) {
    if (it->second == directoryId)
      it = pathCache_.erase(it);
    else
      ++it;
  }
}

std::uint32_t FileSystemDriver::ResolveChild(DirectoryObject* parent, const std::u16string& name) {
  DirectoryUse use(parent);
  return parent->GetChildDirectoryId(name);
}

void FileSystemDriver::Rename(const std::u16string& source, const std::u16string& target) {
  if (source.size() < 2 || target.size() < 2) ThrowFileError(0x01, kModuleId, kFileRenameError);
  std::u16string sourceParent, sourceName, targetParent, targetName;
  SplitPath(source, sourceParent, sourceName);
  SplitPath(target, targetParent, targetName);

  Common::CriticalSectionLock lock(&objectLock_);
  DirectoryUse from(OpenDirectoryByPath(sourceParent));
  DirectoryUse to;
  if (targetParent == sourceParent)
    to.Take(from.get());
  else
    to.Take(OpenDirectoryByPath(targetParent));

  std::u16string key = source.substr(1);
  NormalizeNameCase(key);
  bool isDirectory = false;
  std::uint32_t sourceId = 0;
  auto hit = pathCache_.find(key);
  if (hit != pathCache_.end()) {
    isDirectory = true;
    sourceId = hit->second;
  } else {
    try {
      sourceId = from->GetChildDirectoryId(sourceName);
      isDirectory = true;
      pathCache_[key] = sourceId;
    } catch (Common::Error& e) {
      if (e.Code() != kFileOpenError) throw;
    }
  }

  if (isDirectory && to.get() != from.get() && targetParent.size() > 1) {
    // The target must not lie inside the source: walk the target's parent
    // from the root and compare every directory on the way.
    std::u16string walk = targetParent.substr(1);
    NormalizeNameCase(walk);
    std::uint32_t id = 0;
    std::size_t start = 0;
    while (start <= walk.size()) {
      auto end = walk.find(u'/', start);
      if (end == std::u16string::npos) end = walk.size();
      std::u16string prefix = walk.substr(0, end);
      auto cached = pathCache_.find(prefix);
      if (cached != pathCache_.end()) {
        id = cached->second;
      } else {
        id = ResolveChild(GetDirectoryObject(id), walk.substr(start, end - start));
        pathCache_[prefix] = id;
      }
      if (id == sourceId) ThrowFileError(0x02, kModuleId, kFileRenameError);
      start = end + 1;
    }
  }

  from->MoveEntry(sourceName, to.get(), targetName);
  if (isDirectory) pathCache_.clear();
}

void FileSystemDriver::CreateHardLink(const std::u16string& newPath,
                                      const std::u16string& existingPath) {
  std::u16string newParent, newName, oldParent, oldName;
  SplitPath(newPath, newParent, newName);
  SplitPath(existingPath, oldParent, oldName);
  Common::CriticalSectionLock lock(&objectLock_);
  DirectoryUse at(OpenDirectoryByPath(newParent));
  DirectoryUse existing;
  if (oldParent == newParent)
    existing.Take(at.get());
  else
    existing.Take(OpenDirectoryByPath(oldParent));
  at->CreateHardLink(newName, existing.get(), oldName);
}

void FileSystemDriver::CreateSymlink(const std::u16string& linkPath, const std::u16string& target) {
  std::u16string parent, name;
  SplitPath(linkPath, parent, name);
  Common::CriticalSectionLock lock(&objectLock_);
  DirectoryUse at(OpenDirectoryByPath(parent));
  at->CreateSymlink(name, target);
}

void FileSystemDriver::RemoveDirectory(const std::u16string& path) {
  if (path.size() < 2) ThrowFileError(0x03, kModuleId, kFileDeleteError);
  Common::CriticalSectionLock lock(&objectLock_);
  DirectoryObject* directory = OpenDirectoryByPath(path);
  if (directory->Uses() != 0) ThrowFileError(0x04, kModuleId, kFileDeleteError);
  if (IteratorObject* entry = directory->OpenIterator()) {
    delete entry;
    ThrowFileError(0x05, kModuleId, kFileDeleteError);
  }
  const std::uint32_t id = directory->Id();
  directories_.erase(id);
  UnlinkPathCacheEntries(id);
  delete directory;

  std::u16string parent, name;
  SplitPath(path, parent, name);
  DirectoryUse at(OpenDirectoryByPath(parent));
  at->RemoveDirectory(name);
}

}  // namespace filesystems
