// FAT files (reading and writing through the cluster chain, growing,
// shrinking, times, making the start contiguous), directory iterators and
// the conversions between FAT dates and milliseconds since 1970.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "fat_objects.h"
#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/fat_entries.h"
#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kFatFileModuleId;
constexpr std::uint32_t kEndOfChain = 0x0FFFFFFF;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

// Seconds since 1970 wide enough for every FAT date (up to 2107). The
// 32-bit Windows run-time's time_t ends in 2038, so there the 64-bit calls
// stand in for localtime and mktime.
#if defined(_WIN32)
using Seconds = __time64_t;
bool LocalTime(Seconds seconds, std::tm& out) { return _localtime64_s(&out, &seconds) == 0; }
Seconds MakeLocal(std::tm* fields) { return _mktime64(fields); }
#else
using Seconds = std::time_t;
static_assert(sizeof(Seconds) >= 8, "FAT dates run to 2107");
bool LocalTime(Seconds seconds, std::tm& out) { return localtime_r(&seconds, &out) != nullptr; }
Seconds MakeLocal(std::tm* fields) { return std::mktime(fields); }
#endif

// Whether a FAT value ends a chain properly for the mount's type.
bool IsEndMark(const FATDriver& fat, std::uint32_t value) {
  switch (fat.Type()) {
    case FATDriver::FatType::kFat12:
      return value >= 0xFF8;
    case FATDriver::FatType::kFat16:
      return value >= 0xFFF8;
    case FATDriver::FatType::kFat32:
      break;
  }
  return value >= 0x0FFFFFF8;
}

}  // namespace

std::uint64_t FatTimeToMs(std::uint16_t date, std::uint16_t time, std::uint8_t tenMs) {
  if (date == 0 && time == 0) return 0;
  std::tm fields{};
  fields.tm_year = 80 + (date >> 9);
  fields.tm_mon = ((date >> 5) & 0x0F) - 1;
  fields.tm_mday = date & 0x1F;
  fields.tm_hour = time >> 11;
  fields.tm_min = (time >> 5) & 0x3F;
  fields.tm_sec = (time & 0x1F) * 2;
  fields.tm_isdst = -1;
  const Seconds seconds = MakeLocal(&fields);
  if (seconds == Seconds(-1)) return 0;
  return std::uint64_t(std::int64_t(seconds) * 1000 + std::int64_t(tenMs) * 10);
}

bool MsToFatTime(std::uint16_t* date, std::uint16_t* time, std::uint8_t* tenMs,
                 std::int64_t ms) {
  // Whole seconds toward minus infinity, so that a time just before 1970
  // does not round up into it.
  std::int64_t seconds = ms / 1000;
  if (ms % 1000 < 0) --seconds;
  std::tm fields{};
  if (!LocalTime(Seconds(seconds), fields)) return false;
  const int year = fields.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  if (date)
    *date = std::uint16_t(((year - 1980) << 9) | ((fields.tm_mon + 1) << 5) | fields.tm_mday);
  if (time)
    *time = std::uint16_t((fields.tm_hour << 11) | (fields.tm_min << 5) | (fields.tm_sec / 2));
  if (tenMs) {
    const std::int64_t within = ((ms % 2000) + 2000) % 2000;
    *tenMs = std::uint8_t(within / 10);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Files

FATDriver::FATFile::FATFile(FATDirectory* directory, std::uint32_t index)
    : directory_(directory), fat_(directory->Fat()), index_(index) {
  const std::uint8_t* entry = directory->Entry(index);
  if ((entry[11] & (fatentry::kAttributeDirectory | fatentry::kAttributeLabel)) ||
      entry[0] == fatentry::kDeleted || entry[0] == fatentry::kEndOfEntries)
    Fail(0x01, kFileOpenError);
  size_ = fatentry::FileSize(entry);
  directory_->AddUse();
  ResetRun();
}

FATDriver::FATFile::~FATFile() {
  directory_->ForgetFile(index_);
  directory_->DropUse();
}

std::uint32_t FATDriver::FATFile::ClusterBytes() const noexcept {
  return fat_->SectorsPerCluster() * fat_->SectorSize();
}

void FATDriver::FATFile::ResetRun() {
  run_ = Run();
  run_.next = directory_->FirstClusterOf(index_);
}

std::uint32_t FATDriver::FATFile::ClusterAt(std::uint32_t n, bool allocate) {
  if (n < run_.index) ResetRun();
  while (n >= run_.index + run_.Length()) {
    // No file has more clusters than the volume: a longer chain is a cycle.
    if (std::uint64_t(run_.index) + run_.Length() >= fat_->ClusterCount())
      Fail(0x02, kFileCorrupted);
    if (fat_->IsDataCluster(run_.next)) {
      ClusterRun found;
      found.next = run_.next;
      fat_->Handler().GetChainRun(found);
      if (run_.Length() != 0 && found.first == run_.end) {
        run_.end = found.end;
      } else {
        run_.index += run_.Length();
        run_.first = found.first;
        run_.end = found.end;
      }
      run_.next = found.next;
      continue;
    }
    if (!allocate) Fail(0x03, kFileCorrupted);
    const std::uint32_t cluster = fat_->AllocateCluster();
    if (run_.Length() == 0 && run_.index == 0)
      directory_->SetFirstCluster(index_, cluster);
    else
      fat_->LinkCluster(run_.end - 1, cluster);
    if (run_.Length() != 0 && cluster == run_.end) {
      ++run_.end;
    } else {
      run_.index += run_.Length();
      run_.first = cluster;
      run_.end = cluster + 1;
    }
    run_.next = kEndOfChain;
    changed_ = true;
  }
  return run_.first + (n - run_.index);
}

std::uint64_t FATDriver::FATFile::GetVolumeOffset(std::uint64_t offset) {
  const std::uint32_t sectorSize = fat_->SectorSize();
  if (offset >= size_ || offset > 0xFFFFFFFFu || offset % sectorSize != 0)
    Fail(0x10, kFileEndOfFile);
  const std::uint64_t sector = offset / sectorSize;
  const std::uint32_t spc = fat_->SectorsPerCluster();
  const std::uint32_t cluster = ClusterAt(std::uint32_t(sector / spc), false);
  return fat_->ClusterToSector(cluster) + sector % spc;
}

void FATDriver::FATFile::Read(void* buffer, std::uint64_t offset, std::uint32_t length,
                              std::uint32_t& done) {
  if (offset >= size_ || length == 0) return;
  std::uint32_t left = std::uint32_t(std::min<std::uint64_t>(length, size_ - offset));
  const std::uint32_t clusterBytes = ClusterBytes();
  const std::uint32_t sectorSize = fat_->SectorSize();
  const std::uint32_t spc = fat_->SectorsPerCluster();
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint32_t position = std::uint32_t(offset);
  while (left != 0) {
    const std::uint32_t within = position % clusterBytes;
    const std::uint32_t cluster = ClusterAt(position / clusterBytes, false);
    std::uint32_t bytes;
    if (within % sectorSize == 0 && left >= sectorSize) {
      // Whole sectors, up to the end of the run of consecutive clusters.
      const std::uint64_t inRun = std::uint64_t(run_.end - cluster) * clusterBytes - within;
      bytes = std::uint32_t(std::min<std::uint64_t>(left, inRun)) / sectorSize * sectorSize;
      fat_->ReadBlocksUnaligned(out, fat_->ClusterToSector(cluster) + within / sectorSize,
                                bytes / sectorSize, spc, fat_->FirstDataSector());
    } else {
      bytes = std::min(left, clusterBytes - within);
      BlockHandle block = fat_->GetBlocks(fat_->ClusterToSector(cluster), spc, false);
      std::memcpy(out, block.Data() + within, bytes);
    }
    out += bytes;
    position += bytes;
    left -= bytes;
    done += bytes;
  }
}

void FATDriver::FATFile::Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                               std::uint32_t& done) {
  if (length == 0) return;
  const std::uint32_t sectorSize = fat_->SectorSize();
  const std::uint64_t limit = std::max<std::uint64_t>(size_, 0x100000000ull - sectorSize);
  if (offset >= limit) Fail(0x20, kFileWriteError);
  if (offset > size_) SetSize(offset);
  std::uint32_t left = std::uint32_t(std::min<std::uint64_t>(length, limit - offset));
  const std::uint32_t clusterBytes = ClusterBytes();
  const std::uint32_t spc = fat_->SectorsPerCluster();
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t position = std::uint32_t(offset);
  while (left != 0) {
    const std::uint32_t index = position / clusterBytes;
    const std::uint32_t within = position % clusterBytes;
    const std::uint32_t cluster = ClusterAt(index, true);
    std::uint32_t bytes;
    if (within % sectorSize == 0 && left >= sectorSize &&
        reinterpret_cast<std::uintptr_t>(in) % sectorSize == 0) {
      const std::uint64_t inRun = std::uint64_t(run_.end - cluster) * clusterBytes - within;
      bytes = std::uint32_t(std::min<std::uint64_t>(left, inRun)) / sectorSize * sectorSize;
      fat_->WriteBlocks(in, fat_->ClusterToSector(cluster) + within / sectorSize,
                        bytes / sectorSize);
    } else {
      bytes = std::min(left, clusterBytes - within);
      // Nothing of the cluster is worth reading when the write covers it or
      // when it lies wholly past the end of the file.
      const bool whole = within == 0 && bytes == clusterBytes;
      const bool fresh = std::uint64_t(index) * clusterBytes >= size_;
      BlockHandle block =
          fat_->GetBlocks(fat_->ClusterToSector(cluster), spc, whole || fresh);
      block.PrepareWrite();
      if (fresh && !whole) std::memset(block.Data(), 0, clusterBytes);
      std::memcpy(block.Data() + within, in, bytes);
      block.MarkDirty();
    }
    in += bytes;
    position += bytes;
    left -= bytes;
    done += bytes;
    size_ = std::max(size_, position);
    changed_ = true;
  }
}

void FATDriver::FATFile::SetSize(std::uint64_t size) {
  if (size == size_) return;
  if (size < size_) {
    size_ = std::uint32_t(size);
    changed_ = true;
    return;
  }
  if (size > 0x100000000ull - fat_->SectorSize()) Fail(0x30, kFileWriteError);
  const std::uint32_t clusterBytes = ClusterBytes();
  const std::uint32_t spc = fat_->SectorsPerCluster();
  std::uint64_t position = size_;
  while (position < size) {
    const std::uint32_t within = std::uint32_t(position % clusterBytes);
    const std::uint32_t cluster = ClusterAt(std::uint32_t(position / clusterBytes), true);
    BlockHandle block = fat_->GetBlocks(fat_->ClusterToSector(cluster), spc, within == 0);
    block.PrepareWrite();
    std::memset(block.Data() + within, 0, clusterBytes - within);
    block.MarkDirty();
    position += clusterBytes - within;
  }
  size_ = std::uint32_t(size);
  changed_ = true;
}

void FATDriver::FATFile::Flush() {
  if (!changed_) return;
  Common::StoreLe32(directory_->WritableEntry(index_) + 28, size_);
  // Clusters past the size are freed against the chain as it stands, not
  // against the size the entry had: a file grown and shrunk again since the
  // last flush has clusters the entry never counted.
  const std::uint32_t clusterBytes = ClusterBytes();
  const std::uint32_t keep = std::uint32_t((std::uint64_t(size_) + clusterBytes - 1) / clusterBytes);
  if (keep == 0) {
    const std::uint32_t first = directory_->FirstClusterOf(index_);
    if (first != 0) directory_->SetFirstCluster(index_, 0);
    ResetRun();
    if (fat_->IsDataCluster(first)) fat_->ReleaseChain(first);
  } else {
    const std::uint32_t last = ClusterAt(keep - 1, false);
    const std::uint32_t after = fat_->Handler().GetEntry(last);
    if (fat_->IsDataCluster(after)) {
      fat_->CutChainAfter(last);
      run_.end = last + 1;
      run_.next = kEndOfChain;
      fat_->ReleaseChain(after);
    } else if (!IsEndMark(*fat_, after)) {
      fat_->Handler().SetEntry(last, kEndOfChain);
      run_.next = kEndOfChain;
    }
  }
  std::uint16_t date = 0, time = 0;
  if (MsToFatTime(&date, &time, nullptr, CurrentTimeMs())) {
    std::uint8_t* entry = directory_->WritableEntry(index_);
    Common::StoreLe16(entry + 22, time);
    Common::StoreLe16(entry + 24, date);
    Common::StoreLe16(entry + 18, date);
  }
  changed_ = false;
}

void FATDriver::FATFile::SetTimes(std::uint64_t modification, std::uint64_t creation,
                                  std::uint64_t access) {
  Flush();
  std::uint16_t date = 0, time = 0;
  std::uint8_t tenMs = 0;
  if (MsToFatTime(&date, &time, nullptr, std::int64_t(modification))) {
    std::uint8_t* entry = directory_->WritableEntry(index_);
    Common::StoreLe16(entry + 22, time);
    Common::StoreLe16(entry + 24, date);
  }
  if (MsToFatTime(&date, &time, &tenMs, std::int64_t(creation))) {
    std::uint8_t* entry = directory_->WritableEntry(index_);
    entry[13] = tenMs;
    Common::StoreLe16(entry + 14, time);
    Common::StoreLe16(entry + 16, date);
  }
  if (MsToFatTime(&date, nullptr, nullptr, std::int64_t(access)))
    Common::StoreLe16(directory_->WritableEntry(index_) + 18, date);
}

void FATDriver::FATFile::Control(control_request* request) {
  if (request->code == kControlDFRG) {
    MakeContiguous(static_cast<dfrg_request*>(request)->bytes);
    return;
  }
  if (request->code == kControlSFTM) {
    FileObject::Control(request);
    return;
  }
  Fail(0x40, kFileNotSupported);
}

void FATDriver::FATFile::MakeContiguous(std::uint64_t bytes) {
  if (bytes == 0 || size_ == 0) return;
  const std::uint32_t clusterBytes = ClusterBytes();
  const std::uint64_t wanted = std::min<std::uint64_t>(bytes, size_);
  const std::uint32_t count = std::uint32_t((wanted - 1) / clusterBytes + 1);
  // Already one run from the start?
  ClusterAt(count - 1, false);
  if (run_.index == 0 && run_.Length() >= count) return;

  // The old clusters in file order.
  std::vector<std::uint32_t> old;
  old.reserve(count);
  ResetRun();
  for (std::uint32_t k = 0; k < count; ++k) old.push_back(ClusterAt(k, false));
  const std::uint32_t follower = fat_->Handler().GetEntry(old.back());

  // The first run of `count` free clusters on the volume.
  std::uint32_t start = 0;
  const std::uint32_t limit = fat_->ClusterCount() + 2;
  for (std::uint32_t c = 2, length = 0; c < limit; ++c) {
    length = fat_->Handler().GetEntry(c) == 0 ? length + 1 : 0;
    if (length == count) {
      start = c + 1 - count;
      break;
    }
  }
  if (start == 0) Fail(0x50, kFileDiskFull);

  const std::uint32_t spc = fat_->SectorsPerCluster();
  fat_->TakeClusters(start, count);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t to = start + k;
    fat_->Handler().SetEntry(to, k + 1 < count ? to + 1 : follower);
  }
  // Until the entry names the new run, the volume keeps it apart from the
  // rest of the file, which the old clusters still lead to.
  fat_->HoldLink(start + count - 1, kEndOfChain);
  directory_->SetFirstCluster(index_, start);
  for (std::uint32_t k = 0; k < count; ++k) {
    BlockHandle block = fat_->GetBlocks(fat_->ClusterToSector(old[k]), spc, false);
    fat_->DiscardBlock(fat_->ClusterToSector(start + k));
    block.Relocate(fat_->ClusterToSector(start + k));
  }
  // The old clusters, still in file order, go as one chain.
  fat_->CutChainAfter(old.back());
  fat_->ReleaseChain(old.front());
  ResetRun();
  changed_ = true;
}

// ---------------------------------------------------------------------------
// Iterators

FATDriver::FATIterator::FATIterator(FATDirectory* directory, std::uint32_t index)
    : directory_(directory), index_(index) {
  directory_->AddUse();
}

FATDriver::FATIterator::~FATIterator() { directory_->DropUse(); }

bool FATDriver::FATIterator::Next() {
  shortName_.clear();
  longName_.clear();
  nameState_ = 0;
  if (index_ == kAtEnd) return false;
  const std::uint32_t from = index_ == kBefore ? 0 : index_ + 1;
  const std::uint32_t next = directory_->NextLive(from);
  index_ = next == FATDirectory::kNoIndex ? kAtEnd : next;
  return index_ != kAtEnd;
}

void FATDriver::FATIterator::LoadNames() {
  if (nameState_ != 0 || !AtEntry()) return;
  fatname::ShortNameToWide(shortName_, Current());
  nameState_ = directory_->ReadLongName(index_, longName_) != 0 && !longName_.empty() ? 2 : 1;
}

file_identifier* FATDriver::FATIterator::GetIdentifier() {
  if (!AtEntry()) return nullptr;
  const std::uint8_t* entry = Current();
  const char16_t* name = fatentry::IsDirectory(entry) ? GetName() : u"";
  return new the_identifier(name, entry, 11);
}

const char16_t* FATDriver::FATIterator::GetName() {
  if (!AtEntry()) return nullptr;
  LoadNames();
  return nameState_ == 2 ? longName_.c_str() : shortName_.c_str();
}

const char16_t* FATDriver::FATIterator::GetShortName() {
  if (!AtEntry()) return nullptr;
  LoadNames();
  return nameState_ == 2 ? shortName_.c_str() : nullptr;
}

std::uint64_t FATDriver::FATIterator::GetSize() {
  return AtEntry() ? fatentry::FileSize(Current()) : 0;
}

std::uint64_t FATDriver::FATIterator::GetAllocatedSize() {
  if (!AtEntry()) return 0;
  FATDriver* fat = directory_->Fat();
  const std::uint64_t clusterBytes = std::uint64_t(fat->SectorsPerCluster()) * fat->SectorSize();
  const std::uint8_t* entry = Current();
  if (!fatentry::IsDirectory(entry))
    return (fatentry::FileSize(entry) + clusterBytes - 1) / clusterBytes * clusterBytes;
  const std::uint32_t first = directory_->FirstClusterOf(index_);
  if (!fat->IsDataCluster(first)) return 0;
  std::uint64_t clusters = 0;
  try {
    for (const ClusterRun& run : fat->ReadChain(first)) clusters += run.end - run.first;
  } catch (Common::Error&) {
    return 0;
  }
  return clusters * clusterBytes;
}

std::uint32_t FATDriver::FATIterator::GetObjectType() {
  return AtEntry() && fatentry::IsDirectory(Current()) ? 128 : 0;
}

std::uint64_t FATDriver::FATIterator::GetModificationTime() {
  if (!AtEntry()) return 0;
  const std::uint8_t* e = Current();
  return FatTimeToMs(Common::LoadLe16(e + 24), Common::LoadLe16(e + 22), 0);
}

std::uint64_t FATDriver::FATIterator::GetCreationTime() {
  if (!AtEntry()) return 0;
  const std::uint8_t* e = Current();
  return FatTimeToMs(Common::LoadLe16(e + 16), Common::LoadLe16(e + 14), e[13]);
}

std::uint64_t FATDriver::FATIterator::GetAccessTime() {
  if (!AtEntry()) return 0;
  const std::uint16_t date = Common::LoadLe16(Current() + 18);
  return date == 0 ? 0 : FatTimeToMs(date, 0, 0);
}

bool FATDriver::FATIterator::IsHidden() {
  return !AtEntry() || (Current()[11] & fatentry::kAttributeHidden) != 0;
}

std::uint64_t FATDriver::FATIterator::GetEntryId() {
  return AtEntry() ? directory_->EntryPosition(index_) : 0;
}

std::uint64_t FATDriver::FATIterator::GetDataPosition() {
  if (!AtEntry()) return 0;
  FATDriver* fat = directory_->Fat();
  const std::uint32_t first = directory_->FirstClusterOf(index_);
  return fat->IsDataCluster(first) ? fat->ClusterToSector(first) : 0;
}

std::uint32_t FATDriver::FATIterator::GetAttributes() {
  return AtEntry() ? Current()[11] : 0xFFFFFFFFu;
}

}  // namespace filesystems
