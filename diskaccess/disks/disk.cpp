// Disk objects of the older layer: the retrying sector I/O, identity
// setters, lock nesting and the pseudo-disk of volumes outside partitions.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "foundation/message_table.h"

namespace {

constexpr std::uint32_t kSectorTag = 0x49EC;
constexpr std::uint32_t kIoTag = 0x09AA;
constexpr std::uint32_t kEasyTag = 0x7D38;

constexpr std::uint32_t kMinSectorSize = 512;
constexpr std::uint32_t kMaxSectorSize = 65536;

std::uint32_t g_diskCounter = 0;
std::uint32_t g_largestSectorSize = 0;
void* g_sectorBlock = nullptr;
std::uint8_t* g_sectorBuffer = nullptr;

}  // namespace

// ------------------------------------------------------------ holders

bool operator==(const DaExtent& a, const DaExtent& b) {
  const bool sameDisk = (a.diskKey == 0 || b.diskKey == 0) ? a.diskNumber == b.diskNumber
                                                           : a.diskKey == b.diskKey;
  return sameDisk && a.firstSector == b.firstSector && a.sectorCount == b.sectorCount;
}

bool operator<(const DaExtent& a, const DaExtent& b) {
  const std::uint32_t ka = a.diskKey != 0 ? a.diskKey : a.diskNumber;
  const std::uint32_t kb = b.diskKey != 0 ? b.diskKey : b.diskNumber;
  if (ka != kb) return ka < kb;
  return a.firstSector < b.firstSector;
}

void PartitionTree::CopyRecord(const PartitionTree& other) {
  if (this == &other) return;
  error = other.error;
  extra = other.extra;
  scheme_type = other.scheme_type;
  std::memcpy(boot_record, other.boot_record, sizeof boot_record);
  boot_manager = other.boot_manager;
  std::memcpy(disk_guid, other.disk_guid, sizeof disk_guid);
}

void PartitionTree::Clear() {
  error.Reset();
  table = top = nullptr;
  extra = 0;
  scheme_type = 0;
  std::memset(boot_record, 0, sizeof boot_record);
  boot_manager = 0;
  std::memset(disk_guid, 0, sizeof disk_guid);
  holders.Clear();
}

// ------------------------------------------------------ smart_op_disk

smart_op_disk::~smart_op_disk() = default;

Common::Error smart_op_disk::OpInt(std::uint32_t, std::uint64_t, void*, std::uint64_t) {
  return Common::Error(Da::Site(kIoTag, 1), Da::Module::kDiskIo, Da::Code::kNotSupportedOp);
}

Common::Error smart_op_disk::SmartIo(std::uint32_t op, std::uint64_t sector, void* buffer,
                                     std::uint64_t count) {
  Common::Error err = OpInt(op, sector, buffer, count);
  if (!Da::Failed(err) || op == Fdisk::kIoInvalidate ||
      Da::ChainHasCode(err, Da::Code::kNoSectorRetry))
    return err;
  auto* p = static_cast<std::uint8_t*>(buffer);
  const std::uint32_t size = GetSectorSize();
  while (count > 0) {
    if (op == Fdisk::kIoRead && p != nullptr) std::memset(p, 0, size);
    if (!io_disabled) io_disabled = IsOffline() ? 1 : 0;
    if (io_disabled)
      return Da::MakeError(Da::Site(kIoTag, 2), Da::Module::kDiskIo, Da::Code::kIoDisabled,
                           Da::Msg::kIoDisabled);
    Common::Error e = OpInt(op, sector, p, 1);
    if (Da::Failed(e) && !ignore_errors) {
      const std::uint64_t at = sector + GetStartSector();
      const std::uint32_t answer =
          DaHookDiskIoError(GetDiskId(), op, static_cast<std::uint32_t>(at),
                            static_cast<std::uint32_t>(at >> 32), GetUserValue(), e);
      if (answer == 1) return e;
      if (answer == 5) continue;
      if (answer == 3) ignore_errors = 1;
    }
    if (p != nullptr) p += size;
    ++sector;
    --count;
  }
  return Common::Error();
}

void smart_op_disk::NotifyChanged(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                  std::uint32_t d) {
  da_computer* computer = GetComputer();
  if (computer == nullptr) computer = DaLocalComputer();
  if (computer == nullptr) return;
  if (IsVolumeHandler()) {
    computer->NotifyVolumeChanged(GetDriveNumber());
  } else {
    computer->NotifyDiskRangeChanged(GetDriveNumber(), std::uint64_t(b) << 32 | a,
                                     std::uint64_t(d) << 32 | c);
  }
}

// ------------------------------------------------------------ stddisk

stddisk::stddisk() : id(++g_diskCounter) {
  geometry_.sectorsPerTrack = 63;
  geometry_.highestHead = 15;
  SetSectorSize(512);
}

stddisk::~stddisk() {
  if (computer != nullptr) {
    computer->UnlinkDisk(this);
    if (computer->pseudoDisk == this) computer->pseudoDisk = nullptr;
  }
  if (id == g_diskCounter) --g_diskCounter;
}

std::uint32_t stddisk::DiskCounter() { return g_diskCounter; }
std::uint32_t stddisk::LargestSectorSize() { return g_largestSectorSize; }
std::uint8_t* stddisk::SharedSectorBuffer() { return g_sectorBuffer; }
void stddisk::ResetSharedSectorBuffer() {
  std::free(g_sectorBlock);
  g_sectorBlock = nullptr;
  g_sectorBuffer = nullptr;
  g_largestSectorSize = 0;
}

Common::Error stddisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                          std::uint64_t count) {
  if (sector == 0 && IsFirstSectorSplit()) {
    SetFirstSectorSplit(0);
    Common::Error e;
    if (count >= 1) e = Io(op, 0, buffer, 1);
    if (!Da::Failed(e) && count >= 2)
      e = Io(op, 1, static_cast<std::uint8_t*>(buffer) + GetSectorSize(), count - 1);
    SetFirstSectorSplit(1);
    return e;
  }
  if (op == Fdisk::kIoRead) read_sectors += count;
  return SmartIo(op, sector, buffer, count);
}

PartitionTree* stddisk::GetTree(std::uint32_t) { return nullptr; }

std::uint32_t stddisk::GetDiskNumber() const {
  std::uint32_t n = 1;
  if (computer == nullptr) return 0;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next, ++n)
    if (d == this) return n;
  return 0;
}

Common::Error stddisk::LockDisk(char16_t*&, bool&) { return Common::Error(); }

Common::Error stddisk::SetPartitionLetter(std::uint64_t, std::uint64_t, std::uint8_t,
                                          bool& failed) {
  failed = false;
  return Common::Error();
}

holder* stddisk::GetTopHolder(std::uint32_t index) {
  PartitionTree* t = GetTree(index);
  if (t == nullptr) return nullptr;
  return t->top != nullptr ? t->top : t->table;
}

holder* stddisk::GetTableHolder(std::uint32_t index) {
  PartitionTree* t = GetTree(index);
  return t != nullptr ? t->table : nullptr;
}

const std::uint8_t* stddisk::GetDiskGuid(std::uint32_t index) {
  static const std::uint8_t kZero[16] = {};
  PartitionTree* t = GetTree(index);
  if (t == nullptr) return nullptr;
  if (std::memcmp(t->disk_guid, kZero, 16) != 0) return t->disk_guid;
  // The holder tree that the last read built is the working tree's.
  return read_context.top != nullptr ? read_context.top->GetDiskGuid() : nullptr;
}

std::uint32_t stddisk::GetTreeExtra(std::uint32_t) { return 0; }

bool stddisk::CanUseChs() const {
  return IsChsCapable() && computer != nullptr && computer->IsNative();
}

Common::Error stddisk::SetSectorSize(std::uint32_t size) {
  const std::uint32_t module = Da::Module::kDiskSectorSize;
  if (size == 0)
    return Da::MakeError(Da::Site(kSectorTag, 1), module, Da::Code::kZeroSectorSize,
                         Da::Msg::kZeroSectorSize);
  if ((size & (size - 1)) != 0)
    return Da::MakeError(Da::Site(kSectorTag, 2), module, Da::Code::kSectorSizeNotPowerOf2,
                         Da::Msg::kSectorSizeNotPowerOf2);
  // Sector buffers, alignment and the partition code assume this range.
  if (size < kMinSectorSize || size > kMaxSectorSize)
    return Da::MakeError(Da::Site(kSectorTag, 4), module, Da::Code::kSectorSizeOutOfRange,
                         Da::Msg::kSectorSizeOutOfRange);
  if (size > g_largestSectorSize) {
    void* block = std::malloc(2 * std::size_t(size) + 1);
    if (block == nullptr)
      return Da::MakeError(Da::Site(kSectorTag, 3), module, Da::Code::kSectorBufferMemory,
                           Da::Msg::kSectorBufferMemory);
    std::free(g_sectorBlock);
    g_sectorBlock = block;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(block);
    g_sectorBuffer = reinterpret_cast<std::uint8_t*>((a + size - 1) & ~std::uintptr_t(size - 1));
    g_largestSectorSize = size;
  }
  sectorSize_ = size;
  return Common::Error();
}

void stddisk::SetInterface(std::uint32_t type, std::uint32_t h, std::uint32_t b,
                           std::uint32_t t) {
  interface_type = type < 13 ? type : 0;
  host = h;
  bus = b;
  target = t;
}

void stddisk::SetModel(const char* text, std::size_t length) {
  model.reset();
  if (text == nullptr || length == 0) return;
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c > 0x20) {
      out.push_back(static_cast<char>(c));
    } else if (!out.empty() && out.back() != ' ') {
      out.push_back(' ');
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  if (!out.empty()) model.reset(new std::string(std::move(out)));
}

void stddisk::ComputeCylinders() {
  if (geometry_.sectorsPerTrack == 0) return;
  geometry_.cylinders = lastSector_ / (std::uint64_t(geometry_.highestHead) + 1) /
                        geometry_.sectorsPerTrack;
}

Common::Error stddisk::AcquireLock(char16_t*& owner, bool& owned) {
  if (lock_count == 0) {
    Common::Error e = LockDisk(owner, owned);
    if (Da::Failed(e)) return e;
  }
  ++lock_count;
  return Common::Error();
}

Common::Error stddisk::LockOnce(char16_t*& owner, bool& owned) {
  if (lock_held) return Common::Error();
  Common::Error e = AcquireLock(owner, owned);
  if (!Da::Failed(e)) lock_held = 1;
  return e;
}

void stddisk::UnlockOnce() {
  if (!lock_held) return;
  if (lock_count > 0 && --lock_count == 0) UnlockDisk();
  lock_held = 0;
}

// ----------------------------------------------------- plain and local

plain_disk::~plain_disk() = default;

PartitionTree* plain_disk::GetTree(std::uint32_t index) {
  switch (index) {
    case 0:
      return &trees[0];
    case 1:
      return &trees[1];
    case 2:
      return trees[1].Valid() ? &trees[1] : &trees[0];
    default:
      return nullptr;
  }
}

std::uint32_t plain_disk::GetTreeExtra(std::uint32_t index) {
  PartitionTree* t = GetTree(index);
  return t != nullptr ? t->extra : 0;
}

void plain_disk::DropHolders() {
  while (holder* h = holder_list.first) {
    holder_list.Unlink(h);
    if (h->IsFreeSpace()) {
      delete h;
      continue;
    }
    // Tables and partitions still refer to one another; they go together
    // when the tree is reset.
    h->disk = nullptr;
    dropped_holders.PushBack(h);
  }
}

void plain_disk::ResetWorkingTree() {
  DropHolders();
  dropped_holders.Clear();
  read_context.Reset();
  trees[0].Clear();
}

local_disk::local_disk() { computer = DaLocalComputer(); }

// ----------------------------------------------------------- pseudo-disk

disk_easy_vol::disk_easy_vol(da_computer* owner) {
  computer = owner;
  geometry_.cylinders = ~std::uint64_t(0);
}

Common::Error disk_easy_vol::Io(std::uint32_t op, std::uint64_t, void*, std::uint64_t) {
  if (op == Fdisk::kIoInvalidate) return Common::Error();
  return Da::MakeError(Da::Site(kEasyTag, 1), Da::Module::kEasyVolume, Da::Code::kEasyVolumeIo,
                       Da::Msg::kEasyVolumeIo);
}

namespace {

// The holder's extents against the volume's, in extent order; a GUID, when
// the volume has one, must be the holder's own.
bool HolderMatchesVolume(const da_computer& computer, const holder& h, const Common::Guid* guid,
                         std::vector<DaExtent> extents) {
  if (h.IsFreeSpace()) return false;
  if (guid != nullptr) {
    const std::uint8_t* own = h.GetUniqueGuid();
    if (own == nullptr || std::memcmp(own, guid->bytes, 16) != 0) return false;
  }
  auto* p = dynamic_cast<const BasePartitionHolder*>(&h);
  if (p == nullptr || p->extents.size() != extents.size()) return false;
  std::vector<DaExtent> mine = p->extents;
  for (DaExtent& x : mine) {
    if (x.diskKey != 0) continue;
    stddisk* d = computer.FindDiskByNumber(x.diskNumber);
    x.diskKey = d != nullptr ? d->id : 0;
    x.diskNumber = 0;
  }
  std::sort(mine.begin(), mine.end());
  std::sort(extents.begin(), extents.end());
  for (std::size_t i = 0; i < mine.size(); ++i)
    if (!(mine[i] == extents[i])) return false;
  return true;
}

void WaitASecond() { std::this_thread::sleep_for(std::chrono::seconds(1)); }

}  // namespace

Common::Error win_disk_easy_vol::AttachNewVolume(holder* h) {
  if (h == nullptr || computer == nullptr)
    return Common::Error(Da::Site(kEasyTag, 2), Da::Module::kDriveDisk, Da::Code::kNoNewVolume);
  for (std::uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (attempt != 0) (wait_a_second != nullptr ? wait_a_second : WaitASecond)();
    std::uint32_t count = 0;
    Common::Error e = computer->SbGetVolumeCnt(count);
    if (Da::Failed(e)) return e;
    for (std::uint32_t number = 1; number <= count; ++number) {
      std::shared_ptr<vol_handler> volume;
      (void)computer->OpenVolume(number, volume);
      if (!volume) continue;
      std::unique_ptr<Common::Guid> guid;
      if (Da::Failed(volume->VolGetSysGuid(guid))) continue;
      std::vector<DaExtent> extents;
      std::uint32_t flag = 0;
      if (Da::Failed(volume->VolGetLocations(extents, flag))) continue;
      // The volume names its disks by number; holders name them by id.
      for (DaExtent& x : extents) {
        stddisk* d = computer->FindDiskByNumber(x.diskNumber);
        x.diskKey = d != nullptr ? d->id : 0;
        x.diskNumber = 0;
      }
      if (HolderMatchesVolume(*computer, *h, guid.get(), extents)) {
        h->SetVolumeHandler(volume);
        return Common::Error();
      }
    }
  }
  return Common::Error(Da::Site(kEasyTag, 3), Da::Module::kDriveDisk, Da::Code::kNoNewVolume);
}

// ------------------------------------------------------------ errors

namespace Da {

Common::Error MakeError(std::uint32_t location, std::uint32_t module, std::uint32_t code,
                        std::uint32_t message) {
  return Common::Error(location, module, code, CatalogText(message));
}

bool ChainHasCode(const Common::Error& e, std::uint32_t code) {
  for (const Common::ErrorRecord* r = e.Record(); r != nullptr; r = r->cause)
    if (r->code == code) return true;
  return false;
}

}  // namespace Da
