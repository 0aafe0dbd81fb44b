// Sector 0 and geometries from outside: the raw scheme's look at sector 0,
// the MBR entries' CHS fields and LBAs, alignment and partition windows.
//
// Input: byte 0 picks the sector size, bytes 1-2 are sectors per track and
// highest head, bytes 3-4 the cylinders; the rest is sector 0.
#include "foundation/byteorder.h"
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fdisk/chs.h"
#include "fdisk/contiguous_disk.h"
#include "fdisk/error.h"
#include "fdisk/raw_driver.h"

namespace {

class FuzzDisk : public Fdisk::SimpleDisk {
 public:
  FuzzDisk(std::uint32_t sectorSize, const Fdisk::Geometry& geometry,
           const std::uint8_t* sector0, std::size_t size)
      : sectors_(8), data_(std::size_t(sectorSize) * sectors_) {
    sectorSize_ = sectorSize;
    lastSector_ = sectors_ - 1;
    geometry_ = geometry;
    const std::size_t copied = size < sectorSize ? size : sectorSize;
    if (copied != 0) std::memcpy(data_.data(), sector0, copied);
  }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector > sectors_ || count > sectors_ - sector) return Fdisk::Error(1, 1, 0x102001);
    const std::size_t bytes = std::size_t(count * sectorSize_);
    std::uint8_t* at = data_.data() + sector * sectorSize_;
    if (bytes == 0) return Common::Error();
    if (op == Fdisk::kIoRead) std::memcpy(buffer, at, bytes);
    if (op == Fdisk::kIoWrite) std::memcpy(at, buffer, bytes);
    return Common::Error();
  }

 private:
  std::uint64_t sectors_;
  std::vector<std::uint8_t> data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  static const std::uint32_t kSectorSizes[] = {0, 256, 512, 1024, 4096};
  const std::uint32_t sectorSize = kSectorSizes[data[0] % 5];
  Fdisk::Geometry geometry;
  geometry.sectorsPerTrack = data[1];
  geometry.highestHead = data[2];
  geometry.cylinders = std::uint64_t(data[3]) << 8 | data[4];
  FuzzDisk disk(sectorSize, geometry, data + 5, size - 5);

  try {
    Fdisk::RawLocation location(1, &disk);
    (void)location.GetHint();
  } catch (const Fdisk::Error&) {
  }

  std::vector<std::uint8_t> sector(512);
  if (size > 5) std::memcpy(sector.data(), data + 5, size - 5 < 512 ? size - 5 : 512);
  for (int i = 0; i < 4; ++i) {
    std::uint8_t* entry = sector.data() + 446 + 16 * i;
    for (bool standard : {true, false}) {
      Fdisk::ChsAddress address;
      Fdisk::DecodeMbrChs(address, entry, standard);
      try {
        (void)Fdisk::ChsToLba(address, geometry);
      } catch (const Fdisk::Error&) {
      }
    }
    const std::uint32_t start = Common::LoadLe32(entry + 8);
    const std::uint32_t count = Common::LoadLe32(entry + 12);
    Fdisk::UpdateMbrChs(entry, start, disk);
    Fdisk::UpdateMbrChs(entry + 4, std::uint64_t(start) + count - 1, disk);
    for (int mode = 0; mode < 15; ++mode) {
      std::uint64_t lba = start;
      Fdisk::AlignLba(mode, lba, geometry);
    }
    if (sectorSize != 0) {
      Fdisk::ContiguousDisk window(disk, start, count);
      std::vector<std::uint8_t> buffer(sectorSize);
      (void)window.Io(Fdisk::kIoRead, 0, buffer.data(), 1);
      (void)window.Io(Fdisk::kIoRead, window.GetSectorCount(), buffer.data(), 1);
    }
  }
  return 0;
}
