// Mounting a damaged volume: the input is a list of patches, each
// {offset (32-bit, little-endian, taken modulo the volume size), length
// (8-bit), bytes}, applied to a fresh volume made by mkntfs at build time,
// so that the fuzzer mutates real metadata: the boot sector, the FILE
// records, mapping pairs, $AttrDef, $UpCase, $Bitmap and $Volume. Each
// mount then answers its sizes and label and reads every record it can.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "fdisk/simple_disk.h"
#include "filesystems/ntfs_driver.h"

namespace {

class MemoryVolume : public Fdisk::SimpleDisk {
 public:
  explicit MemoryVolume(std::vector<std::uint8_t>& bytes)
      : Fdisk::SimpleDisk(512, bytes.size() / 512 - 1, Fdisk::Geometry()), bytes_(bytes) {}
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    const std::uint64_t sectors = bytes_.size() / 512;
    if (sector >= sectors || count > sectors - sector)
      return Common::Error(0x01, 0x7A13F001, 0x80070000u | 27);
    if (op != Fdisk::kIoRead) return Common::Error();
    std::memcpy(buffer, bytes_.data() + sector * 512, std::size_t(count * 512));
    return Common::Error();
  }

 private:
  std::vector<std::uint8_t>& bytes_;
};

const std::vector<std::uint8_t>& BaseVolume() {
  static const std::vector<std::uint8_t> base = [] {
    std::ifstream in(PURGEKIT_NTFS_FUZZ_VOLUME, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> volume = BaseVolume();
  if (volume.size() < 1024 * 1024) {
    // No volume was made: the input itself is the volume.
    volume.assign(data, data + size);
    volume.resize(std::max<std::size_t>(volume.size() / 512 * 512, 512 * 64), 0);
  } else {
    for (std::size_t at = 0; at + 5 <= size;) {
      const std::uint64_t offset =
          (data[at] | std::uint32_t(data[at + 1]) << 8 | std::uint32_t(data[at + 2]) << 16 |
           std::uint32_t(data[at + 3]) << 24) % volume.size();
      const std::size_t length = std::min<std::size_t>(data[at + 4], size - at - 5);
      const std::size_t fits = std::min<std::size_t>(length, volume.size() - offset);
      std::memcpy(volume.data() + offset, data + at + 5, fits);
      at += 5 + length;
    }
  }
  MemoryVolume device(volume);
  filesystems::FileSystemDriver* driver = filesystems::OpenNTFSVolume(
      &device, 0, volume.size() / 512, 0xF1F1, nullptr, nullptr, 0);
  if (!driver) return 0;
  auto* ntfs = static_cast<filesystems::ntfs::NTFSDriver*>(driver);
  try {
    std::uint64_t total = 0, free = 0, available = 0;
    ntfs->GetVolumeSizes(total, free, available);
    char16_t label[64];
    ntfs->GetVolumeLabel(label, 64);
    const std::uint64_t records = std::min<std::uint64_t>(ntfs->GetMft().RecordCount(), 64);
    for (std::uint64_t n = 0; n < records; ++n) {
      try {
        filesystems::ntfs::RecordHandle held(ntfs->GetMft(), n);
        filesystems::ntfs::AttributeValue value;
        if (ntfs->FindAttribute(n, held.Image(), 0x80, u"", value)) {
          std::uint8_t buffer[4096];
          ntfs->ReadValue(value, 0, buffer, sizeof buffer);
        }
      } catch (const Common::Error&) {
      }
    }
  } catch (const Common::Error&) {
  }
  delete driver;
  return 0;
}
