// Image-file disks for tests.
#include "disktest/image_disk.h"

#include <stdexcept>

#include "fdisk/error.h"

namespace DiskTest {
namespace {
constexpr std::uint32_t kModuleId = 0x41F0;
constexpr std::uint32_t kWin32WriteProtect = 19;
constexpr std::uint32_t kWin32Crc = 23;
constexpr std::uint32_t kWin32WriteFault = 29;
constexpr std::uint32_t kWin32ReadFault = 30;

Common::Error IoError(std::uint32_t site, std::uint32_t win32Cause) {
  Common::Error e = Fdisk::MakeError((kModuleId << 16) | site, kModuleId, Fdisk::kErrInvalidIo,
                                     Fdisk::Msg::kInvalidIo);
  if (win32Cause != 0) Common::AttachWin32Cause(e, win32Cause);
  return e;
}

// Whether [a, a + an) and [b, b + bn) share a sector, without wrapping.
bool Overlaps(std::uint64_t a, std::uint64_t an, std::uint64_t b, std::uint64_t bn) {
  if (an == 0 || bn == 0) return false;
  return a <= b ? b - a < an : a - b < bn;
}
}  // namespace

ImageDisk::ImageDisk(const std::string& path, std::uint32_t sectorSize, bool readOnly)
    : path_(path), readOnly_(readOnly) {
  if (sectorSize != 512 && sectorSize != 4096) {
    throw std::invalid_argument("image disks have 512- or 4096-byte sectors");
  }
  file_.open(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file_) {
    // A read-only file can still back a read-only disk.
    file_.clear();
    file_.open(path, std::ios::in | std::ios::binary);
    if (!file_) throw std::runtime_error("cannot open image " + path);
    readOnly_ = true;
  }
  file_.seekg(0, std::ios::end);
  const std::uint64_t bytes = std::uint64_t(static_cast<std::streamoff>(file_.tellg()));
  const std::uint64_t sectors = bytes / sectorSize;
  if (sectors == 0) throw std::runtime_error("image " + path + " holds no whole sector");
  sectorSize_ = sectorSize;
  lastSector_ = sectors - 1;
  geometry_.sectorsPerTrack = 63;
  geometry_.highestHead = 254;
  geometry_.cylinders = sectors / (63 * 255);
}

ImageDisk::~ImageDisk() = default;

void ImageDisk::CreateImage(const std::string& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create image " + path);
  if (bytes > 0) {
    // Writing the last byte sizes the file; the rest reads as zeros.
    out.seekp(static_cast<std::streamoff>(bytes - 1));
    out.put('\0');
  }
  out.close();
  if (!out) throw std::runtime_error("cannot size image " + path);
}

void ImageDisk::FailRange(std::uint32_t op, std::uint64_t first, std::uint64_t count,
                          const Common::Error& error) {
  failures_.push_back(Failure{op, first, count, error ? error : IoError(1, kWin32Crc)});
}

const ImageDisk::Failure* ImageDisk::FindFailure(std::uint32_t op, std::uint64_t sector,
                                                 std::uint64_t count) const {
  for (const Failure& f : failures_) {
    if ((f.op == kAnyOp || f.op == op) && Overlaps(f.first, f.count, sector, count)) return &f;
  }
  return nullptr;
}

Common::Error ImageDisk::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                            std::uint64_t count) {
  ++counters_.requests;
  if (op != Fdisk::kIoRead && op != Fdisk::kIoWrite) {
    if (op == Fdisk::kIoInvalidate) return Common::Error();
    ++counters_.failed;
    return Fdisk::MakeError((kModuleId << 16) | 2, kModuleId, Fdisk::kErrNotImplemented,
                            Fdisk::Msg::kNotImplemented);
  }
  const std::uint64_t sectors = lastSector_ + 1;
  if (sector > sectors || count > sectors - sector) {
    ++counters_.failed;
    return IoError(3, 0);
  }
  if (const Failure* f = FindFailure(op, sector, count)) {
    ++counters_.failed;
    return f->error;
  }
  if (op == Fdisk::kIoWrite && readOnly_) {
    ++counters_.failed;
    return IoError(4, kWin32WriteProtect);
  }
  const std::uint64_t bytes = count * sectorSize_;
  const std::streamoff at = static_cast<std::streamoff>(sector * sectorSize_);
  char* data = static_cast<char*>(buffer);
  if (op == Fdisk::kIoRead) {
    ++counters_.reads;
    file_.clear();
    file_.seekg(at);
    file_.read(data, static_cast<std::streamsize>(bytes));
    if (!file_ || std::uint64_t(file_.gcount()) != bytes) {
      ++counters_.failed;
      return IoError(5, kWin32ReadFault);
    }
    counters_.sectorsRead += count;
  } else {
    ++counters_.writes;
    file_.clear();
    file_.seekp(at);
    file_.write(data, static_cast<std::streamsize>(bytes));
    file_.flush();
    if (!file_) {
      ++counters_.failed;
      return IoError(6, kWin32WriteFault);
    }
    counters_.sectorsWritten += count;
  }
  return Common::Error();
}

}  // namespace DiskTest
