// The block cache shared by every driver of one cache key: cached runs of
// sectors handed out as counted handles, written back later, evicted from
// the account's least-recently-used list once the account passes 4 MiB.
//
// Where the simple design would lose data it does not:
// - a hit on a block shorter than the request never hands out the short
//   block: an idle one is written back if needed and read again at the
//   requested length, one in use is refused with 0x4000d;
// - a write-back clears a block's dirty mark only once the device took the
//   write; a refused block stays dirty and the failure reaches the caller of
//   Flush (0x40003 with the device's error as cause);
// - releasing a handle never throws: a write-back failure there is kept for
//   the next Flush and the block stays cached;
// - an eviction started by one driver writes another driver's dirty block
//   alone rather than that driver's whole write-back, since the other
//   driver's thread may be changing its blocks in use at that moment.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "filesystems/driver.h"
#include "files/file_error.h"

namespace filesystems {

struct BlockHandle::Header : LRUList<Header> {
  std::atomic<std::uint32_t> uses{1};
  std::atomic<bool> dirty{false};
  FileSystemDriver* driver = nullptr;
  std::uint64_t firstSector = 0;
  std::uint32_t sectorCount = 0;
  void* allocation = nullptr;

  std::uint8_t* Data() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
  std::uint64_t Accounted() const noexcept {
    return BlockAccountedSize(sectorCount, driver->SectorSize());
  }
  std::uint64_t End() const noexcept { return firstSector + sectorCount; }
};

namespace {

constexpr std::uint32_t kModuleId = kBlockCacheModuleId;
using Header = BlockHandle::Header;

// No single block may exceed this; a larger request is a damaged volume.
constexpr std::uint64_t kMaxBlockBytes = 256u * 1024u * 1024u;

}  // namespace

// ---------------------------------------------------------------------------
// Handles

Header* BlockHandle::header() const noexcept {
  return data_ ? reinterpret_cast<Header*>(data_) - 1 : nullptr;
}

std::uint64_t BlockHandle::FirstSector() const noexcept {
  return data_ ? header()->firstSector : 0;
}
std::uint32_t BlockHandle::SectorCount() const noexcept {
  return data_ ? header()->sectorCount : 0;
}
bool BlockHandle::IsDirty() const noexcept {
  return data_ && header()->dirty.load(std::memory_order_acquire);
}

void BlockHandle::Release() noexcept {
  Header* h = header();
  data_ = nullptr;
  if (!h) return;
  if (h->uses.load(std::memory_order_acquire) == 1)
    h->driver->ReleaseBlock(h);
  else
    h->uses.fetch_sub(1, std::memory_order_acq_rel);
}

void BlockHandle::Assign(const BlockHandle& other) noexcept {
  if (&other == this || other.data_ == data_) return;
  Release();
  data_ = other.data_;
  if (Header* h = header()) h->uses.fetch_add(1, std::memory_order_acq_rel);
}

void BlockHandle::MarkDirty() noexcept {
  if (Header* h = header()) h->dirty.store(true, std::memory_order_release);
}

void BlockHandle::PrepareWrite() {
  Header* h = header();
  FileSystemDriver* d = h->driver;
  if (d->written_) return;
  d->RestoreOriginalDevice();
  d->ProbeWrite(h);
}

void BlockHandle::Relocate(std::uint64_t newFirstSector) {
  Header* h = header();
  FileSystemDriver* d = h->driver;
  Common::CriticalSectionLock lock(&d->cacheLock_);
  if (newFirstSector == h->firstSector) {
    h->dirty.store(true);
    return;
  }
  // Two blocks at one first sector would leave one of them unreachable.
  if (d->blocks_.count(newFirstSector)) ThrowFileError(0x01, kModuleId, kFileCorrupted);
  d->blocks_.erase(h->firstSector);
  h->firstSector = newFirstSector;
  d->blocks_.emplace(newFirstSector, h);
  h->dirty.store(true);
}

// ---------------------------------------------------------------------------
// The driver's side

void FileSystemDriver::ProbeWrite(Header* block) {
  Common::Error error = DeviceIo(Fdisk::kIoWrite, block->firstSector, block->Data(), 1);
  if (error && error.Code() != 0) ThrowFileError(0x02, kModuleId, kFileReadOnly, error);
  written_ = true;
}

std::size_t FileSystemDriver::CachedBlockCount() const {
  Common::CriticalSectionLock lock(const_cast<Common::CriticalSection*>(&cacheLock_));
  return blocks_.size();
}

void FileSystemDriver::FreeBlock(Header* block) noexcept {
  void* allocation = block->allocation;
  block->~Header();
  std::free(allocation);
}

void FileSystemDriver::DetachBlock(Header* block) noexcept {
  account_->total_ -= block->Accounted();
  if (block->Linked()) block->Unlink();
}

void FileSystemDriver::EvictBlock(Header* block) noexcept {
  auto it = blocks_.find(block->firstSector);
  if (it != blocks_.end() && it->second == block) blocks_.erase(it);
  DetachBlock(block);
  FreeBlock(block);
}

// A cached block shorter than a new request at its first sector: an idle
// one is written back when dirty and dropped, so that the request reads the
// full length; one in use cannot be replaced under its holders.
bool FileSystemDriver::DropShortBlock(std::uint64_t firstSector, std::uint64_t wanted) {
  Header* block = nullptr;
  {
    Common::CriticalSectionLock lock(&cacheLock_);
    auto it = blocks_.find(firstSector);
    if (it == blocks_.end()) return false;
    block = it->second;
    if (block->sectorCount >= wanted) return false;
    if (block->uses.load() != 0) ThrowFileError(0x03, kModuleId, kFileCorrupted);
    if (block->dirty.load()) {
      Common::Error error = WriteBackBlock(block);
      if (error) ThrowFileError(0x04, kModuleId, kFileWriteError, error);
    }
    blocks_.erase(it);
  }
  {
    Common::CriticalSectionLock lock(&account_->lock_);
    DetachBlock(block);
  }
  FreeBlock(block);
  return true;
}

BlockHandle FileSystemDriver::GetBlocks(std::uint64_t firstSector, std::uint64_t count,
                                        bool skipRead) {
  for (;;) {
    {
      Common::CriticalSectionLock lock(&cacheLock_);
      auto it = blocks_.find(firstSector);
      if (it != blocks_.end() && it->second->sectorCount >= count) {
        it->second->uses.fetch_add(1, std::memory_order_acq_rel);
        return BlockHandle(it->second->Data());
      }
      if (it == blocks_.end()) break;
    }
    DropShortBlock(firstSector, count);
  }

  if (count == 0 || count > std::numeric_limits<std::uint32_t>::max() ||
      count * sectorSize_ > kMaxBlockBytes)
    ThrowFileError(0x05, kModuleId, kFileCorrupted);
  const std::size_t dataBytes = static_cast<std::size_t>(count * sectorSize_);
  const std::size_t allocationBytes = sizeof(Header) + sectorSize_ - 1 + dataBytes;
  void* allocation = std::malloc(allocationBytes);
  if (!allocation) {
    // Ask the scope's new-handler first, as operator new would.
    if (std::new_handler handler = std::get_new_handler()) handler();
    ThrowFileError(0x06, kModuleId, kFileOutOfMemory);
  }
  auto base = reinterpret_cast<std::uintptr_t>(allocation) + sizeof(Header);
  auto data = (base + sectorSize_ - 1) / sectorSize_ * sectorSize_;
  auto* block = new (reinterpret_cast<void*>(data - sizeof(Header))) Header;
  block->driver = this;
  block->firstSector = firstSector;
  block->sectorCount = static_cast<std::uint32_t>(count);
  block->allocation = allocation;

  if (!skipRead) {
    Common::Error error = DeviceIo(Fdisk::kIoRead, firstSector, block->Data(), count);
    if (error && error.Code() != 0) {
      FreeBlock(block);
      ThrowFileError(0x07, kModuleId, kFileReadError, error);
    }
  }
  {
    Common::CriticalSectionLock lock(&cacheLock_);
    try {
      blocks_.emplace(firstSector, block);
    } catch (...) {
      FreeBlock(block);
      throw;
    }
  }
  Common::CriticalSectionLock accountLock(&account_->lock_);
  const std::uint64_t before = account_->total_;
  account_->total_ += block->Accounted();
  if (account_->total_ > kCacheLimit && before <= kCacheLimit) {
    try {
      EvictForNewBlock();
    } catch (...) {
      RemoveFreshBlock(block);
      throw;
    }
  }
  account_->lru_.InsertBefore(block);
  return BlockHandle(block->Data());
}

// The new block is in the block map and the total but not yet in the LRU
// list; an eviction that failed takes it out again before the error goes on.
void FileSystemDriver::RemoveFreshBlock(Header* block) noexcept {
  {
    Common::CriticalSectionLock lock(&cacheLock_);
    auto it = blocks_.find(block->firstSector);
    if (it != blocks_.end() && it->second == block) blocks_.erase(it);
  }
  account_->total_ -= block->Accounted();
  FreeBlock(block);
}

// Runs with the account lock held, after a new block took the total past the
// limit: evicts idle blocks from the front until the total is back at or
// below it, writing back a driver's dirty blocks first.
void FileSystemDriver::EvictForNewBlock() {
  FileSystemCache* account = account_;
  FileSystemDriver* current = nullptr;
  bool remembered = false;
  auto leaveCurrent = [&]() noexcept {
    if (!current) return;
    current->writeBackRunning_ = remembered;
    current->cacheLock_.Leave();
    current = nullptr;
  };
  try {
    auto* node = account->lru_.next;
    while (node != &account->lru_ && account->total_ > kCacheLimit) {
      Header* block = static_cast<Header*>(node);
      node = node->next;
      if (block->uses.load(std::memory_order_acquire) != 0) continue;
      if (block->driver != current) {
        leaveCurrent();
        current = block->driver;
        current->cacheLock_.Enter();
        remembered = current->writeBackRunning_;
        current->writeBackRunning_ = true;
      }
      if (block->uses.load(std::memory_order_acquire) != 0 || remembered) continue;
      if (block->dirty.load(std::memory_order_acquire)) {
        if (current == this) {
          current->WriteBackCache();
        } else {
          // Another driver's thread may be changing its blocks that are in
          // use, so only this idle block of it is written from here.
          Common::Error error = current->WriteBackBlock(block);
          if (error) current->RememberWriteBackFailure(MakeFsError(0x0D, kModuleId,
                                                                   kFileWriteError, error));
        }
      }
      if (block->dirty.load(std::memory_order_acquire)) continue;
      // The write-back may have re-linked nothing, but keep `node` valid:
      // it is the successor of a block that is about to leave the list.
      node = block->next;
      current->EvictBlock(block);
    }
  } catch (...) {
    leaveCurrent();
    throw;
  }
  leaveCurrent();
}

void FileSystemDriver::ReleaseBlock(Header* block) noexcept {
  FileSystemCache* account = account_;
  Common::CriticalSectionLock lock(&account->lock_);
  bool wroteBack = false;
  for (;;) {
    bool keep = account->total_ <= kCacheLimit;
    if (!keep && !block->dirty.load(std::memory_order_acquire)) {
      Common::CriticalSectionLock cacheLock(&cacheLock_);
      EvictBlock(block);
      return;
    }
    if (!keep) {
      // A dirty block over the limit: write back once. When this driver is
      // already writing back on this thread, or the device refused, the
      // block stays cached rather than waiting for itself or losing data.
      bool running;
      {
        Common::CriticalSectionLock cacheLock(&cacheLock_);
        running = writeBackRunning_;
      }
      if (!running && !wroteBack) {
        lock.Leave();
        try {
          WriteBackCacheLocked();
        } catch (Common::Error& e) {
          RememberWriteBackFailure(e);
        } catch (...) {
          RememberWriteBackFailure(MakeFsError(0x08, kModuleId, kFileWriteError));
        }
        wroteBack = true;
        lock.Enter();
        continue;
      }
    }
    if (block->Linked() && block->next != &account->lru_) {
      block->Unlink();
      account->lru_.InsertBefore(block);
    } else if (!block->Linked()) {
      account->lru_.InsertBefore(block);
    }
    block->uses.store(0, std::memory_order_release);
    return;
  }
}

void FileSystemDriver::DiscardBlock(std::uint64_t firstSector) {
  Header* block;
  {
    Common::CriticalSectionLock lock(&cacheLock_);
    auto it = blocks_.find(firstSector);
    if (it == blocks_.end()) return;
    block = it->second;
    if (block->uses.load(std::memory_order_acquire) != 0) return;
    blocks_.erase(it);
    block->dirty.store(false);
  }
  {
    Common::CriticalSectionLock lock(&account_->lock_);
    DetachBlock(block);
  }
  FreeBlock(block);
}

Header* FileSystemDriver::FindCovering(std::uint64_t sector, std::uint64_t& nextStart) {
  auto it = blocks_.upper_bound(sector);
  nextStart = it == blocks_.end() ? std::numeric_limits<std::uint64_t>::max() : it->first;
  if (it == blocks_.begin()) return nullptr;
  --it;
  return it->second->End() > sector ? it->second : nullptr;
}

void FileSystemDriver::ReadBlocks(void* buffer, std::uint64_t firstSector, std::uint64_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (count) {
    std::uint64_t n;
    {
      Common::CriticalSectionLock lock(&cacheLock_);
      std::uint64_t next;
      Header* block = FindCovering(firstSector, next);
      if (block) {
        n = std::min<std::uint64_t>(count, block->End() - firstSector);
        std::memcpy(out, block->Data() + (firstSector - block->firstSector) * sectorSize_,
                    static_cast<std::size_t>(n * sectorSize_));
      } else {
        n = count;
        if (next - firstSector < n) n = next - firstSector;
        lock.Leave();
        Common::Error error = DeviceIo(Fdisk::kIoRead, firstSector, out, n);
        if (error && error.Code() != 0) ThrowFileError(0x09, kModuleId, kFileReadError, error);
      }
    }
    out += n * sectorSize_;
    firstSector += n;
    count -= n;
  }
}

void FileSystemDriver::WriteBlocks(const void* buffer, std::uint64_t firstSector,
                                   std::uint64_t count) {
  auto* in = static_cast<const std::uint8_t*>(buffer);
  while (count) {
    std::uint64_t n;
    {
      Common::CriticalSectionLock lock(&cacheLock_);
      std::uint64_t next;
      Header* block = FindCovering(firstSector, next);
      if (block) {
        if (!written_) ProbeWrite(block);
        n = std::min<std::uint64_t>(count, block->End() - firstSector);
        std::memcpy(block->Data() + (firstSector - block->firstSector) * sectorSize_, in,
                    static_cast<std::size_t>(n * sectorSize_));
        block->dirty.store(true, std::memory_order_release);
      } else {
        n = count;
        if (next - firstSector < n) n = next - firstSector;
        lock.Leave();
        Common::Error error =
            DeviceIo(Fdisk::kIoWrite, firstSector, const_cast<std::uint8_t*>(in), n);
        if (error && error.Code() != 0) ThrowFileError(0x0A, kModuleId, kFileWriteError, error);
        written_ = true;
      }
    }
    in += n * sectorSize_;
    firstSector += n;
    count -= n;
  }
}

void FileSystemDriver::ReadBlocksUnaligned(void* buffer, std::uint64_t firstSector,
                                           std::uint64_t count, std::uint64_t unitSectors,
                                           std::uint64_t unitBase) {
  if (count == 0) return;
  if (reinterpret_cast<std::uintptr_t>(buffer) % sectorSize_ == 0) {
    ReadBlocks(buffer, firstSector, count);
    return;
  }
  if (unitSectors == 0 || (unitSectors & (unitSectors - 1)) != 0 || firstSector < unitBase)
    ThrowFileError(0x0B, kModuleId, kFileCorrupted);
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t last =
      ((firstSector + count - unitBase - 1) & ~(unitSectors - 1)) + unitBase;
  if (firstSector < last) {
    const std::uint64_t before = last - firstSector;
    auto aligned = (reinterpret_cast<std::uintptr_t>(out) + sectorSize_ - 1) / sectorSize_ *
                   sectorSize_;
    auto* at = reinterpret_cast<std::uint8_t*>(aligned);
    ReadBlocks(at, firstSector, before);
    std::memmove(out, at, static_cast<std::size_t>(before * sectorSize_));
    out += before * sectorSize_;
    firstSector += before;
    count -= before;
  }
  BlockHandle unit = GetBlocks(last, unitSectors, false);
  std::memcpy(out, unit.Data() + (firstSector - last) * sectorSize_,
              static_cast<std::size_t>(count * sectorSize_));
}

Common::Error FileSystemDriver::WriteBackBlock(Header* block) {
  // The mark goes before the write so that a change made meanwhile marks the
  // block again; a refused write puts it back.
  block->dirty.store(false, std::memory_order_release);
  Common::Error error =
      DeviceIo(Fdisk::kIoWrite, block->firstSector, block->Data(), block->sectorCount);
  if (error && error.Code() != 0) {
    block->dirty.store(true, std::memory_order_release);
    return error;
  }
  return Common::Error();
}

std::uint64_t FileSystemDriver::BlockFirstSector(const Header* block) noexcept {
  return block->firstSector;
}
std::uint32_t FileSystemDriver::BlockSectorCount(const Header* block) noexcept {
  return block->sectorCount;
}
bool FileSystemDriver::BlockIsDirty(const Header* block) noexcept {
  return block->dirty.load(std::memory_order_acquire);
}
void FileSystemDriver::SetBlockDirty(Header* block, bool dirty) noexcept {
  block->dirty.store(dirty, std::memory_order_release);
}
std::uint8_t* FileSystemDriver::BlockData(Header* block) noexcept { return block->Data(); }

void FileSystemDriver::WriteBackCache() {
  Common::Error firstFailure;
  for (auto& entry : blocks_) {
    Header* block = entry.second;
    if (!block->dirty.load(std::memory_order_acquire)) continue;
    Common::Error error = WriteBackBlock(block);
    if (error && !firstFailure) firstFailure = error;
  }
  if (firstFailure) ThrowFileError(0x0C, kModuleId, kFileWriteError, firstFailure);
}

void FileSystemDriver::WriteBackCacheLocked() {
  Common::CriticalSectionLock lock(&cacheLock_);
  if (writeBackRunning_) return;
  writeBackRunning_ = true;
  try {
    WriteBackCache();
  } catch (...) {
    writeBackRunning_ = false;
    throw;
  }
  writeBackRunning_ = false;
}

}  // namespace filesystems
