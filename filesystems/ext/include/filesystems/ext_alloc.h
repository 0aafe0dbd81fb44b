// Block and inode allocation over the per-group bitmaps of an ext volume.
//
// One allocator of each kind lives with a writable mount. Both scan next-fit
// from where the last allocation ended, wrapping once, and keep the bitmap
// block of the group they used last. Every change goes through the group's
// descriptor (free counts, uninitialised flags, directory and never-used
// inode counts) and the bitmap block in the cache; the superblock's counts
// are summed from the descriptors when it is written back.
#pragma once

#include <cstdint>
#include <map>

#include "filesystems/ext_driver.h"

namespace filesystems {
namespace extfs {

constexpr std::uint32_t kExtAllocModuleId = 0x7A133000;

// Descriptor flags.
constexpr std::uint16_t kGroupInodeUninit = 0x1;
constexpr std::uint16_t kGroupBlockUninit = 0x2;

class ExtfsAllocator {
 public:
  enum Kind { kBlocks, kInodes };
  ExtfsAllocator(ExtfsDriver* driver, Kind kind);
  ~ExtfsAllocator();

  // The number of the object taken: a block number, or an inode index.
  // 0x40004 when the volume has none left (after a write-back that lets
  // what waits to be freed go). `objectType` is the framework's
  // type of the new inode (directories are counted per group).
  std::uint64_t Allocate(std::uint32_t objectType);
  // Returns one object; 0x4000d for a number out of range or already free.
  // The object stays marked in use, and is not handed out again, until
  // `ReleasePending` after a complete write-back: the inodes and map
  // blocks that pointed at it reach the disk first.
  void Free(std::uint64_t number, std::uint32_t objectType);
  // Frees what `Free` held back (after a complete write-back); true when
  // there was any.
  bool ReleasePending();
  // True when the object is marked in use (tests and checks).
  bool InUse(std::uint64_t number);

 private:
  std::uint64_t Take(std::uint32_t objectType);
  void Clear(std::uint64_t number, std::uint32_t objectType);
  void LoadGroupBitmap(std::uint32_t group);
  BlockHandle LoadBitmap(std::uint32_t group);
  void BuildBlockBitmap(std::uint32_t group, std::uint8_t* bits);
  void UpdateGroupCounts(std::uint32_t group, bool allocated, std::uint32_t bit,
                         std::uint32_t objectType);
  std::uint32_t GroupLimit(std::uint32_t group) const;

  ExtfsDriver* driver_;
  Kind kind_;
  std::uint32_t groupCount_;
  std::uint32_t perGroup_;
  std::uint64_t total_;
  std::uint64_t firstObject_;
  std::uint64_t restart_;
  std::uint64_t cursor_;
  std::uint64_t currentGroup_ = ~std::uint64_t(0);
  std::uint32_t groupFree_ = 0;
  BlockHandle bitmap_;
  bool full_ = false;
  std::map<std::uint64_t, std::uint32_t> pending_;  // number -> object type
};

}  // namespace extfs
}  // namespace filesystems
