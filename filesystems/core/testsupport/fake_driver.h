// A file-system driver that keeps its tree in memory, for tests of the
// framework: it counts the lookups the path cache should save, can compare
// names without case, and can store its tree in the volume's sectors
// through the block cache so that a tool run sees the last run's changes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "filesystems/driver.h"

namespace fstest {

// The code of the error f throws, or 0 when it throws none.
template <class F>
std::uint32_t CodeOf(F f) {
  try {
    f();
  } catch (Common::Error& e) {
    return e.Code();
  }
  return 0;
}

class FakeDriver : public filesystems::FileSystemDriver {
 public:
  struct Node {
    std::uint32_t type = 0;  // 0 file, 5 symbolic link, 128 directory
    std::vector<std::uint8_t> data;
    std::u16string target;
    std::map<std::u16string, std::uint32_t> children;
    std::uint32_t links = 1;
    std::uint32_t attributes = 0;
    std::uint64_t modified = 0, created = 0, accessed = 0;
  };

  // An empty volume (only the root) when `load` is false; otherwise the tree
  // stored on the volume, and a thrown 0x4000d when there is none.
  FakeDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
             std::uint32_t cacheKey, bool load = false);
  ~FakeDriver() override;

  // The stored form starts with this tag in sector 0.
  static constexpr char kTag[8] = {'F', 'A', 'K', 'E', 'F', 'S', '0', '1'};
  // Parses a stored tree; false when the bytes do not hold one.
  static bool Parse(const std::uint8_t* bytes, std::size_t size,
                    std::map<std::uint32_t, Node>& nodes, std::uint32_t& nextId);
  static std::vector<std::uint8_t> Serialize(const std::map<std::uint32_t, Node>& nodes,
                                             std::uint32_t nextId);

  void Flush() override;
  // The POSIX view, or the Windows one with `windowsView`.
  rio_dir* OpenRootDirectory() override;
  rio_dir* OpenDirectory(const char16_t* path) override;
  void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                      std::uint64_t& available) override;
  void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void NormalizeNameCase(std::u16string& path) override;
  DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) override;
  const char* GetFileSystemName() override { return "FakeFS"; }
  bool CanBackup() override { return backupEnabled; }
  bool CanRestore() override { return backupEnabled; }

  // Test controls and counters.
  bool upperCaseNames = false;
  bool windowsView = false;
  bool backupEnabled = true;
  bool persist = false;
  // When set, directories hand out these backup objects instead of their own.
  std::function<BackupObject*()> backupSource;
  std::uint32_t childLookups = 0;
  std::uint32_t directoryObjectsMade = 0;
  std::map<std::uint32_t, Node> nodes;
  std::uint32_t nextId = 1;
  // The one file object of each open file, shared by all its opens.
  std::map<std::uint32_t, FileObject*> openFiles;
  FileObject* FileFor(std::uint32_t node);

  std::uint32_t Lookup(std::uint32_t directory, const std::u16string& name);
  std::uint32_t AddNode(std::uint32_t parent, const std::u16string& name, std::uint32_t type);
  void Unlink(std::uint32_t parent, const std::u16string& name);
};

}  // namespace fstest
