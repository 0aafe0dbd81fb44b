#include "image_volume.h"

#include <cstring>

namespace fstest {
namespace {
constexpr std::uint32_t kModuleId = 0x7A1F0001;

Fdisk::Geometry DefaultGeometry() {
  Fdisk::Geometry g;
  g.sectorsPerTrack = Fdisk::kDefaultSectorsPerTrack;
  g.highestHead = Fdisk::kDefaultHighestHead;
  return g;
}
}  // namespace

ImageVolume::ImageVolume(std::uint64_t sectors, std::uint32_t sectorSize)
    : Fdisk::SimpleDisk(sectorSize, sectors ? sectors - 1 : 0, DefaultGeometry()),
      inMemory_(true),
      memory_(static_cast<std::size_t>(sectors * sectorSize)),
      sectors_(sectors) {}

ImageVolume::ImageVolume(const std::string& path, std::uint32_t sectorSize,
                         std::uint64_t byteOffset, bool readOnly)
    : Fdisk::SimpleDisk(sectorSize, 0, DefaultGeometry()),
      readOnly_(readOnly),
      inMemory_(false),
      byteOffset_(byteOffset) {
  auto mode = std::ios::binary | std::ios::in;
  if (!readOnly) mode |= std::ios::out;
  file_.open(path, mode);
  if (!file_) {
    ok_ = false;
    return;
  }
  file_.seekg(0, std::ios::end);
  std::uint64_t size = static_cast<std::uint64_t>(file_.tellg());
  sectors_ = size > byteOffset ? (size - byteOffset) / sectorSize : 0;
  lastSector_ = sectors_ ? sectors_ - 1 : 0;
}

ImageVolume::~ImageVolume() = default;

bool ImageVolume::Touches(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
                          std::uint64_t sector, std::uint64_t count) {
  for (auto& r : ranges)
    if (sector < r.first + r.second && r.first < sector + count) return true;
  return false;
}

bool ImageVolume::Transfer(bool write, std::uint64_t sector, void* buffer, std::uint64_t count) {
  if (sector > sectors_ || count > sectors_ - sector) return false;
  const std::uint64_t bytes = count * sectorSize_;
  const std::uint64_t at = sector * sectorSize_;
  if (inMemory_) {
    if (write)
      std::memcpy(memory_.data() + at, buffer, static_cast<std::size_t>(bytes));
    else
      std::memcpy(buffer, memory_.data() + at, static_cast<std::size_t>(bytes));
    return true;
  }
  file_.clear();
  if (write) {
    file_.seekp(static_cast<std::streamoff>(byteOffset_ + at));
    file_.write(static_cast<const char*>(buffer), static_cast<std::streamsize>(bytes));
    file_.flush();
  } else {
    file_.seekg(static_cast<std::streamoff>(byteOffset_ + at));
    file_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(bytes));
  }
  return static_cast<bool>(file_);
}

Common::Error ImageVolume::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                              std::uint64_t count) {
  Common::CriticalSectionLock lock(&lock_);
  log_.push_back({op, sector, count});
  if (op == Fdisk::kIoRead) {
    ++counters_.reads;
    if (Touches(readFailures_, sector, count) || !Transfer(false, sector, buffer, count))
      return Common::Error(0x7A1F0101, kModuleId, kDeviceErrorCode, "read refused");
    counters_.bytesRead += count * sectorSize_;
    return Common::Error();
  }
  if (op == Fdisk::kIoWrite) {
    ++counters_.writes;
    if (readOnly_ || Touches(writeFailures_, sector, count) ||
        !Transfer(true, sector, buffer, count))
      return Common::Error(0x7A1F0102, kModuleId, kDeviceErrorCode, "write refused");
    counters_.bytesWritten += count * sectorSize_;
    return Common::Error();
  }
  return Common::Error();
}

void ImageVolume::FailReads(std::uint64_t first, std::uint64_t count) {
  Common::CriticalSectionLock lock(&lock_);
  readFailures_.emplace_back(first, count);
}
void ImageVolume::FailWrites(std::uint64_t first, std::uint64_t count) {
  Common::CriticalSectionLock lock(&lock_);
  writeFailures_.emplace_back(first, count);
}
void ImageVolume::ClearFailures() {
  Common::CriticalSectionLock lock(&lock_);
  readFailures_.clear();
  writeFailures_.clear();
}
ImageVolume::Counters ImageVolume::GetCounters() {
  Common::CriticalSectionLock lock(&lock_);
  return counters_;
}
std::vector<ImageVolume::Call> ImageVolume::Log() {
  Common::CriticalSectionLock lock(&lock_);
  return log_;
}
void ImageVolume::ClearLog() {
  Common::CriticalSectionLock lock(&lock_);
  log_.clear();
  counters_ = Counters();
}
std::vector<std::uint8_t> ImageVolume::Peek(std::uint64_t sector, std::uint64_t count) {
  Common::CriticalSectionLock lock(&lock_);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(count * sectorSize_));
  if (!Transfer(false, sector, out.data(), count)) out.clear();
  return out;
}
void ImageVolume::Poke(std::uint64_t sector, const void* data, std::uint64_t count) {
  Common::CriticalSectionLock lock(&lock_);
  Transfer(true, sector, const_cast<void*>(data), count);
}
Common::Error ImageVolume::Unlock() {
  ++unlockCalls;
  return filesystems::VolumeDeviceServices::Unlock();
}
void ImageVolume::NotifyChangedArea(std::uint64_t, std::uint64_t) { ++changedAreaCalls; }

}  // namespace fstest
