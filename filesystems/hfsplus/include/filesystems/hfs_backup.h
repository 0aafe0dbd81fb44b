// HFS+ entries as backup streams.
//
// A backup object is a composite of small items produced in a fixed order;
// the framework opens a new output whenever the item kind changes. Kinds:
// 1 the attribute word (0x10 for a folder), 4 the data fork's bytes, 5 the
// times (modification, creation; u64 ms since 1970 each), 6 the POSIX
// attributes (length, object type, owner, group, mode; a device adds its
// major and minor numbers, a symbolic link its target as UTF-16), 7 the
// extended-attribute records, each a header {u16 name length, u64 data
// length, UTF-8 name, NUL} followed by exactly its data: first
// "com.apple.FinderInfo" (32 bytes of the record), then
// "com.apple.ResourceFork" when the resource fork has blocks, then every
// attribute of the attributes file. All numbers little-endian.
//
// Fork bytes are read from the volume chunk by chunk (at most 64 KiB, one
// contiguous run at a time) and end at the fork's logical size; blocks the
// fork holds past it are not read. A hard link is backed up as its iNode.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/driver.h"
#include "filesystems/hfs_extents.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsBackupModuleId = 0x7A15B000;

class HFSPlusDriver;

// Bit of the backup option word: leave out the data fork's bytes.
constexpr std::uint32_t kBackupSkipData = 0x4;
// The largest chunk a fork reader asks for.
constexpr std::uint32_t kBackupChunkBytes = 0x10000;

// One item, or a composite of them.
class HFSPlusBackupedItem : public FileSystemDriver::BackupObject {
 public:
  HFSPlusBackupedItem() { itemKind = 0; }
};

// Bytes known at construction, produced in one chunk; none gives no item.
class HFSPlusBackupBytes : public HFSPlusBackupedItem {
 public:
  HFSPlusBackupBytes(std::uint32_t kind, std::vector<std::uint8_t> bytes);
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override;

 private:
  std::vector<std::uint8_t> bytes_;
};

// A fork's bytes straight from the volume. A fork block the list cannot
// map, or a run that would give no bytes, is a damaged fork (0x4000d): the
// reader never answers an empty chunk without ending its item.
class HFSPlusBackupForkReader : public HFSPlusBackupedItem {
 public:
  // `extents` must cover `totalBlocks` (else 0x40019); a logical size of 0
  // gives no item. The block size must be a multiple of the sector size
  // and divide 64 KiB (else 0x40019).
  HFSPlusBackupForkReader(HFSPlusDriver* driver, std::uint32_t kind, ExtentList extents,
                          std::uint32_t totalBlocks, std::uint64_t logicalSize);
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override;

 private:
  HFSPlusDriver* driver_;
  ExtentList extents_;
  std::uint64_t logicalSize_;
  std::uint32_t blockSize_;
  std::uint32_t sectorsPerBlock_;
  std::uint32_t produced_ = 0;  // fork blocks
};

// Parts produced one after the other; the composite lends the kind, size
// and alignment of its current part.
class HFSPlusBackupObject : public HFSPlusBackupedItem {
 public:
  void Append(std::unique_ptr<HFSPlusBackupedItem> part);
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override;

 private:
  void Select();
  std::vector<std::unique_ptr<HFSPlusBackupedItem>> parts_;
  std::size_t at_ = 0;
};

// The header of one extended-attribute record (kind 7). A name of more
// than 127 bytes: 0x40019.
std::vector<std::uint8_t> ExtendedAttributeHeader(const std::string& name, std::uint64_t length);

class HFSPlusBackupObjectFactory {
 public:
  explicit HFSPlusBackupObjectFactory(HFSPlusDriver* driver) : driver_(driver) {}
  // The backup object of catalog entry `id` (the caller owns it): a folder,
  // a regular file, a hard link's iNode, a symbolic link or a special node.
  // A missing id: 0x40011; a record of another type: 0x40019. Null when
  // memory is short.
  FileSystemDriver::BackupObject* Create(std::uint32_t id, std::uint32_t option);

 private:
  HFSPlusDriver* driver_;
};

}  // namespace hfsplus
}  // namespace filesystems
