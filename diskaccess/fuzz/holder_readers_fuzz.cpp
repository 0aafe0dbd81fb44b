// The holder tree's scheme readers (MBR with its EBR chain, GPT with both
// copies) over a disk whose sectors are the input, then a round of edits
// and a write walk into an overlay, and a second read of what was written.
//
// The first byte is the harness's own: its two low bits choose the sector
// size (512, 1024, 2048 or 4096 bytes), and its top bit asks for the GPT
// checksums to be made right before the read. The rest is the disk from its
// first sector on; what lies past the input reads as zeros, and the disk
// has 2^20 sectors, the last of which (where the GPT backup lives) is
// sector 0 again. Seeds are shared with the flat reader's target.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint64_t kSectors = std::uint64_t(1) << 20;
constexpr std::uint8_t kFixGptChecksums = 0x80;
constexpr std::uint64_t kLargestEntryArray = 16u << 20;

class InputDisk : public plain_disk {
 public:
  InputDisk(std::vector<std::uint8_t>& bytes, std::uint32_t sectorSize) : bytes_(bytes) {
    SetSectorSize(sectorSize);
    lastSector_ = kSectors;
    usable = 1;
    geometry_.sectorsPerTrack = 63;
    geometry_.highestHead = 254;
    ComputeCylinders();
  }
  ~InputDisk() override { holder_list.Clear(); }

  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    const std::uint32_t size = GetSectorSize();
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t s = (sector + i) % kSectors;
      std::uint8_t* at = out + i * size;
      if (op == Fdisk::kIoWrite) {
        written_[s].assign(at, at + size);
        continue;
      }
      if (op != Fdisk::kIoRead) return Common::Error(1, 2, 0x100401);
      auto w = written_.find(s);
      if (w != written_.end()) {
        std::memcpy(at, w->second.data(), size);
        continue;
      }
      std::memset(at, 0, size);
      const std::uint64_t from = s * size;
      if (from < bytes_.size())
        std::memcpy(at, bytes_.data() + from, std::min<std::uint64_t>(size, bytes_.size() - from));
    }
    return Common::Error();
  }

  std::uint8_t* Sector(std::uint64_t sector) {
    const std::uint64_t at = sector * GetSectorSize();
    if (at + GetSectorSize() > bytes_.size()) return nullptr;
    return bytes_.data() + at;
  }

 private:
  std::vector<std::uint8_t>& bytes_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> written_;
};

void FixGptChecksums(InputDisk& disk, std::uint64_t sector) {
  std::uint8_t* header = disk.Sector(sector);
  if (header == nullptr || std::memcmp(header, "EFI PART", 8) != 0) return;
  const std::uint32_t headerSize = Common::LoadLe32(header + 12);
  if (headerSize < 92 || headerSize > disk.GetSectorSize()) return;
  const std::uint64_t bytes =
      std::uint64_t(Common::LoadLe32(header + 80)) * Common::LoadLe32(header + 84);
  if (bytes != 0 && bytes <= kLargestEntryArray) {
    const std::uint64_t sectors = (bytes + disk.GetSectorSize() - 1) / disk.GetSectorSize();
    std::vector<std::uint8_t> entries(sectors * disk.GetSectorSize());
    disk.OpInt(Fdisk::kIoRead, Common::LoadLe64(header + 72), entries.data(), sectors);
    Common::StoreLe32(header + 88,
                      std::uint32_t(crc32(0, entries.data(), static_cast<uInt>(bytes))));
  }
  Common::StoreLe32(header + 16, 0);
  Common::StoreLe32(header + 16, std::uint32_t(crc32(0, header, headerSize)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  InputDisk disk(bytes, 512u << (control & 3));
  if (control & kFixGptChecksums) {
    FixGptChecksums(disk, 1);
    FixGptChecksums(disk, 0);
  }
  DaReadHolders(&disk, kWalkFollowChains);

  // Edits through the holder interface, then a write walk.
  std::uint8_t counter = 'C';
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    if (!h->IsPartition()) continue;
    h->SetActive(true);
    h->SetType(0x07, true);
    h->SetHiddenState(1, true);
    h->Notify(7, reinterpret_cast<std::uintptr_t>(&counter));
    break;
  }
  if (holder* top = disk.read_context.top) {
    PartitionInfo info;
    info.primary = false;
    info.type = 0x83;
    info.typeGuid[0] = 1;
    info.ebrOffset = 1;
    top->CreatePartition(4096, 2048, info, true);
  }
  DaWriteHolders(&disk);
  DaReadHolders(&disk, kWalkFollowChains);
  return 0;
}
