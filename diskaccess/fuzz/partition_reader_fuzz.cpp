// The scan's partition read (the holder walker over a plain disk) with a
// disk whose sectors are the input.
//
// The first byte is the harness's own: its two low bits choose the sector
// size (512, 1024, 2048 or 4096 bytes), and its top bit asks for the GPT
// checksums to be made right before the read. The rest is the disk from its
// first sector on; what lies past the input reads as zeros, and the disk
// has 2^20 sectors, the last of which (where the GPT backup lives) is
// sector 0 again.
//
// A mutated GPT header or entry array almost never keeps both CRCs right,
// so without the fix-up the reader would stop at the checksums and the
// entry and name loops behind them would stay out of reach.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "diskaccess/objects.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint64_t kSectors = std::uint64_t(1) << 20;
constexpr std::uint8_t kFixGptChecksums = 0x80;
// Entry arrays larger than this are refused by the reader anyway.
constexpr std::uint64_t kLargestEntryArray = 4u << 20;

// The disk's sectors as the reader sees them, over the input bytes.
class InputBytes {
 public:
  InputBytes(std::vector<std::uint8_t>& bytes, std::uint32_t sectorSize)
      : bytes_(bytes), sectorSize_(sectorSize) {}

  std::uint32_t SectorSize() const { return sectorSize_; }

  // `count` sectors from `sector` on into `out`.
  void Read(std::uint64_t sector, std::uint64_t count, std::uint8_t* out) const {
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = ((sector + i) % kSectors) * sectorSize_;
      std::uint8_t* to = out + i * sectorSize_;
      std::memset(to, 0, sectorSize_);
      if (at < bytes_.size())
        std::memcpy(to, bytes_.data() + at,
                    std::min<std::uint64_t>(sectorSize_, bytes_.size() - at));
    }
  }

  // The header sector `sector`, when the input holds all of it.
  std::uint8_t* Sector(std::uint64_t sector) {
    const std::uint64_t at = sector * sectorSize_;
    if (at + sectorSize_ > bytes_.size()) return nullptr;
    return bytes_.data() + at;
  }

 private:
  std::vector<std::uint8_t>& bytes_;
  std::uint32_t sectorSize_;
};

// Makes the entry-array CRC and then the header CRC of the GPT header in
// `sector` right, as far as the header's own fields allow.
void FixGptChecksums(InputBytes& disk, std::uint64_t sector) {
  std::uint8_t* header = disk.Sector(sector);
  if (header == nullptr || std::memcmp(header, "EFI PART", 8) != 0) return;
  const std::uint32_t headerSize = Common::LoadLe32(header + 12);
  if (headerSize < 92 || headerSize > disk.SectorSize()) return;
  const std::uint64_t bytes =
      std::uint64_t(Common::LoadLe32(header + 80)) * Common::LoadLe32(header + 84);
  if (bytes != 0 && bytes <= kLargestEntryArray) {
    const std::uint64_t sectors = (bytes + disk.SectorSize() - 1) / disk.SectorSize();
    std::vector<std::uint8_t> entries(sectors * disk.SectorSize());
    disk.Read(Common::LoadLe64(header + 72), sectors, entries.data());
    Common::StoreLe32(header + 88,
                      std::uint32_t(crc32(0, entries.data(), static_cast<uInt>(bytes))));
  }
  Common::StoreLe32(header + 16, 0);
  Common::StoreLe32(header + 16, std::uint32_t(crc32(0, header, headerSize)));
}

class InputDisk : public plain_disk {
 public:
  explicit InputDisk(const InputBytes& bytes) : bytes_(bytes) {
    SetSectorSize(bytes.SectorSize());
    lastSector_ = kSectors;
    usable = 1;
  }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    if (op != Fdisk::kIoRead) return Common::Error(1, 2, 0x100401);
    bytes_.Read(sector, count, static_cast<std::uint8_t*>(buffer));
    return Common::Error();
  }

 private:
  const InputBytes& bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  InputBytes disk(bytes, 512u << (control & 3));
  if (control & kFixGptChecksums) {
    // The primary header, and the backup that the last sector reads as.
    FixGptChecksums(disk, 1);
    FixGptChecksums(disk, 0);
  }
  InputDisk reader(disk);
  DaReadDiskPartitions(&reader);
  return 0;
}
