// Reading and writing file data through the framework's file interface.
#include "filesystems/ntfs_file.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/ntfs_directory.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace ntfs {
namespace {

constexpr std::uint32_t kModuleId = kNtfsFileModuleId;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kFileName = 0x30;
// 1601-01-01 to 1970-01-01 in milliseconds.
constexpr std::int64_t kEpochDifferenceMs = 11644473600000LL;

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t unit) { return (v + unit - 1) / unit * unit; }
std::uint64_t RoundDown(std::uint64_t v, std::uint64_t unit) { return v / unit * unit; }
bool Aligned(const void* p, std::uint32_t unit) {
  return reinterpret_cast<std::uintptr_t>(p) % unit == 0;
}

}  // namespace

std::uint64_t MillisecondsToFileTime(std::int64_t milliseconds) noexcept {
  const std::int64_t since1601 = milliseconds + kEpochDifferenceMs;
  if (since1601 <= 0) return 0;
  return std::uint64_t(since1601) * 10000u;
}

std::int64_t FileTimeToMilliseconds(std::uint64_t fileTime) noexcept {
  return std::int64_t(fileTime / 10000u) - kEpochDifferenceMs;
}

NTFSFile::NTFSFile(NTFSDriver& driver, std::uint64_t record) : driver_(driver), record_(driver, record) {
  // A record whose names are all gone is a file on its way out.
  if (record_.LinkCount() == 0) ThrowFileError(0x03, kModuleId, kFileCorrupted);
  data_ = record_.Find(kData, u"");
  if (!data_) ThrowFileError(0x01, kModuleId, kFileCorrupted);
  openedSize_ = data_->GetSize();
}

NTFSFile::~NTFSFile() {
  if (detached_) return;
  if (deletePending_) {
    Detach();
    return;
  }
  if (written_ || data_->GetSize() != openedSize_) {
    try {
      RefreshNames();
    } catch (const Common::Error&) {
      // The copies are a convenience of listings; the data is in place.
    }
  }
  if (listed_) driver_.ForgetFileObject(record_.Number());
}

void NTFSFile::Detach() noexcept {
  if (detached_) return;
  detached_ = true;
  data_.reset();
  if (deletePending_) {
    try {
      record_.DeleteAll();
    } catch (const Common::Error&) {
      // What is left is a record in use without a name, which a checker
      // finds as an orphan; nothing of another file is touched.
    }
  }
  record_.ReleaseAll();
  if (listed_) driver_.ForgetFileObject(record_.Number());
  listed_ = false;
}

void NTFSFile::RefreshNames() {
  std::uint8_t info[32] = {};
  {
    std::unique_ptr<Attribute> standard = record_.Find(kStandardInformation, u"");
    if (!standard || standard->Read(0, 32, info) != 32) ThrowFileError(0x02, kModuleId, kFileCorrupted);
  }
  const std::uint64_t allocated = data_->GetAllocatedSize();
  const std::uint64_t size = data_->GetSize();
  const std::vector<std::vector<std::uint8_t>> changed =
      record_.UpdateResident(kFileName, [&](std::uint8_t* value, std::uint32_t length) {
        if (length < file_name::kName) return false;
        std::uint8_t before[48];
        std::memcpy(before, value + 8, 48);
        std::memcpy(value + file_name::kCreationTime, info, 32);
        Common::StoreLe64(value + file_name::kAllocatedSize, allocated);
        Common::StoreLe64(value + file_name::kDataSize, size);
        return std::memcmp(before, value + 8, 48) != 0;
      });
  for (const std::vector<std::uint8_t>& value : changed) {
    const std::uint64_t parent = RecordNumberOf(Common::LoadLe64(value.data()));
    auto* directory =
        dynamic_cast<NTFSDirectory*>(driver_.GetDirectoryObject(DirectoryIdOfRecord(parent)));
    if (directory) directory->UpdateIndexEntry(value);
  }
  written_ = false;
  openedSize_ = size;
}

std::uint64_t NTFSFile::GetSize() { return data_->GetSize(); }

std::uint64_t NTFSFile::GetVolumeOffset(std::uint64_t offset) { return data_->GetVolumeSector(offset); }

void NTFSFile::Read(void* buffer, std::uint64_t offset, std::uint32_t length, std::uint32_t& done) {
  const std::uint64_t size = data_->GetSize();
  if (offset > size) ThrowFileError(0x10, kModuleId, kFileEndOfFile);
  length = std::uint32_t(std::min<std::uint64_t>(length, size - offset));
  if (length == 0) return;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint32_t sector = driver_.Geometry().sectorSize;
  const std::uint32_t cluster = driver_.Geometry().clusterSize;
  const std::uint64_t g = RoundUp(offset, sector);
  const std::uint32_t head = std::uint32_t(g - offset);
  const std::uint64_t end = offset + length;
  if (length < head) {
    done = data_->Read(offset, length, out);
    return;
  }
  const std::uint32_t unit = Aligned(out + head, sector) && end % sector != 0 ? cluster : sector;
  const std::uint64_t u = RoundDown(end, unit);
  if (u <= g || data_->Resident()) {
    done = data_->Read(offset, length, out);
    return;
  }
  std::uint32_t total = 0;
  if (head) {
    total = data_->Read(offset, head, out);
    if (total < head) {
      done = total;
      return;
    }
  }
  total += data_->ReadAligned(g, std::uint32_t(u - g), out + head);
  if (total < head + (u - g)) {
    done = total;
    return;
  }
  if (end > u) total += data_->Read(u, std::uint32_t(end - u), out + head + (u - g));
  done = total;
}

void NTFSFile::Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                     std::uint32_t& done) {
  written_ = true;
  if (length == 0) return;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  const std::uint32_t sector = driver_.Geometry().sectorSize;
  const std::uint32_t cluster = driver_.Geometry().clusterSize;
  const std::uint64_t g = RoundUp(offset, sector);
  const std::uint64_t head = g - offset;
  const std::uint64_t end = offset + length;
  if (head >= length || !Aligned(in + head, sector) || data_->Resident()) {
    done = data_->Write(offset, length, in);
    return;
  }
  const std::uint32_t unit = end % sector != 0 ? cluster : sector;
  const std::uint64_t u = RoundDown(end, unit);
  if (u <= g) {
    done = data_->Write(offset, length, in);
    return;
  }
  std::uint32_t total = 0;
  if (head) {
    total = data_->Write(offset, std::uint32_t(head), in);
    if (total < head) {
      done = total;
      return;
    }
  }
  total += data_->WriteAligned(g, std::uint32_t(u - g), in + head);
  if (total < u - offset) {
    done = total;
    return;
  }
  if (end != u) total += data_->Write(u, std::uint32_t(end - u), in + (u - offset));
  done = total;
}

void NTFSFile::SetSize(std::uint64_t size) {
  written_ = true;
  if (size == data_->GetSize()) return;
  data_->SetSize(size);
}

void NTFSFile::SetTimes(std::uint64_t modification, std::uint64_t creation, std::uint64_t access) {
  std::unique_ptr<Attribute> info = record_.Find(kStandardInformation, u"");
  if (!info) ThrowFileError(0x20, kModuleId, kFileCorrupted);
  std::uint8_t times[32];
  if (info->Read(0, 32, times) != 32) ThrowFileError(0x21, kModuleId, kFileReadError);
  const auto put = [&](std::size_t at, std::uint64_t ms) {
    if (ms != 0) Common::StoreLe64(times + at, MillisecondsToFileTime(std::int64_t(ms)));
  };
  put(0, creation);
  put(8, modification);
  put(24, access);
  if (info->Write(0, 32, times) != 32) ThrowFileError(0x22, kModuleId, kFileWriteError);
  written_ = true;
}

}  // namespace ntfs
}  // namespace filesystems
