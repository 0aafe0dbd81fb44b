// Reads a disk's partition tables (MBR with its extended chain, or GPT with
// the backup header as fallback) into the disk's working tree.
#include "foundation/byteorder.h"
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <zlib.h>

#include "diskaccess/da_state.h"
#include "diskaccess/objects.h"

namespace {

constexpr std::uint32_t kMaxChain = 256;       // EBRs followed at most
// Bounds of an entry array worth reading (tables are 16 KiB as a rule).
constexpr std::uint32_t kMaxGptEntries = 4096;
constexpr std::uint64_t kMaxGptArrayBytes = 1u << 20;


bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

class Reader {
 public:
  Reader(stddisk& disk, PartitionTree& tree)
      : disk_(disk), tree_(tree), size_(disk.GetSectorSize()), last_(disk.GetSectorCount()) {}

  void Read() {
    std::vector<std::uint8_t> mbr;
    if (!ReadSectors(0, 1, mbr)) return RawTree();
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) return RawTree();
    bool protective = false;
    for (int i = 0; i < 4; ++i)
      if (mbr[446 + 16 * i + 4] == 0xEE) protective = true;
    if (protective && ReadGpt()) return;
    ReadMbr(mbr);
  }

 private:
  bool ReadSectors(std::uint64_t sector, std::uint64_t count, std::vector<std::uint8_t>& out) {
    if (count == 0 || sector > last_ || count > last_ - sector + 1) return false;
    out.assign(static_cast<std::size_t>(count * size_), 0);
    Common::Error e = disk_.Io(Fdisk::kIoRead, sector, out.data(), count);
    if (e.Code() != 0) {
      if (tree_.error.IsNull()) tree_.error = e;
      return false;
    }
    return true;
  }

  flat_holder* Add(flat_holder::Kind kind, std::uint64_t start, std::uint64_t size) {
    tree_.holders.push_back(std::make_unique<flat_holder>(&disk_, kind, start, size));
    flat_holder* h = tree_.holders.back().get();
    if (kind != flat_holder::kTable) h->id = DaNextReadHolderKey();
    return h;
  }

  void RawTree() {
    flat_holder* h = Add(flat_holder::kTable, 0, last_ + 1);
    tree_.top = h;
    tree_.scheme_type = 0;
  }

  void AddPartition(const std::uint8_t* entry, std::uint64_t base) {
    const std::uint64_t start = base + Common::LoadLe32(entry + 8);
    const std::uint64_t count = Common::LoadLe32(entry + 12);
    if (count == 0) return;
    flat_holder* h = Add(flat_holder::kPartition, start, count);
    h->type = entry[4];
    h->bootIndicator = entry[0];
  }

  void ReadMbr(const std::vector<std::uint8_t>& mbr) {
    flat_holder* table = Add(flat_holder::kTable, 0, 1);
    tree_.table = table;
    tree_.scheme_type = 0;
    if (auto* p = dynamic_cast<plain_disk*>(&disk_)) p->signature = Common::LoadLe32(&mbr[440]);
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t* e = &mbr[446 + 16 * i];
      if (e[4] == 0) continue;
      if (IsExtended(e[4])) {
        ReadChain(Common::LoadLe32(e + 8), Common::LoadLe32(e + 12));
      } else {
        AddPartition(e, 0);
      }
    }
  }

  void ReadChain(std::uint64_t extStart, std::uint64_t extSize) {
    std::set<std::uint64_t> seen;
    std::uint64_t ebr = extStart;
    std::vector<std::uint8_t> sector;
    add_container_ = Add(flat_holder::kTable, extStart, extSize);
    add_container_->type = 0x05;
    for (std::uint32_t n = 0; n < kMaxChain; ++n) {
      if (!seen.insert(ebr).second) break;  // a loop in the chain
      if (!ReadSectors(ebr, 1, sector)) break;
      if (sector[510] != 0x55 || sector[511] != 0xAA) break;
      const std::uint8_t* first = &sector[446];
      const std::uint8_t* second = &sector[462];
      if (first[4] != 0 && !IsExtended(first[4])) AddPartition(first, ebr);
      if (!IsExtended(second[4]) || Common::LoadLe32(second + 8) == 0) break;
      ebr = extStart + Common::LoadLe32(second + 8);
    }
  }

  // A GPT header and its entry array at `lba`, checked with their CRCs.
  bool LoadGpt(std::uint64_t lba, std::vector<std::uint8_t>& header,
               std::vector<std::uint8_t>& entries) {
    if (!ReadSectors(lba, 1, header)) return false;
    if (std::memcmp(header.data(), "EFI PART", 8) != 0) return false;
    const std::uint32_t headerSize = Common::LoadLe32(&header[12]);
    if (headerSize < 92 || headerSize > size_) return false;
    std::vector<std::uint8_t> copy(header.begin(), header.begin() + headerSize);
    std::memset(&copy[16], 0, 4);
    if (crc32(0, copy.data(), headerSize) != Common::LoadLe32(&header[16])) return false;
    if (Common::LoadLe64(&header[24]) != lba) return false;
    const std::uint32_t count = Common::LoadLe32(&header[80]);
    const std::uint32_t entrySize = Common::LoadLe32(&header[84]);
    if (count == 0 || count > kMaxGptEntries || entrySize < 128 || entrySize % 8 != 0 ||
        entrySize > 4096)
      return false;
    const std::uint64_t bytes = std::uint64_t(count) * entrySize;
    if (bytes > kMaxGptArrayBytes) return false;
    const std::uint64_t sectors = (bytes + size_ - 1) / size_;
    if (!ReadSectors(Common::LoadLe64(&header[72]), sectors, entries)) return false;
    if (crc32(0, entries.data(), static_cast<uInt>(bytes)) != Common::LoadLe32(&header[88])) return false;
    return true;
  }

  bool ReadGpt() {
    std::vector<std::uint8_t> header, entries;
    if (!LoadGpt(1, header, entries) && !LoadGpt(last_, header, entries)) return false;
    flat_holder* table = Add(flat_holder::kTable, 0, 1);
    table->type = 0xEE;
    tree_.table = table;
    tree_.scheme_type = 0xEE;
    std::memcpy(tree_.disk_guid, &header[56], 16);
    const std::uint32_t count = Common::LoadLe32(&header[80]);
    const std::uint32_t entrySize = Common::LoadLe32(&header[84]);
    static const std::uint8_t zero[16] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = &entries[std::size_t(i) * entrySize];
      if (std::memcmp(e, zero, 16) == 0) continue;
      const std::uint64_t first = Common::LoadLe64(e + 32), lastLba = Common::LoadLe64(e + 40);
      if (lastLba < first || lastLba > last_) continue;
      flat_holder* h = Add(flat_holder::kPartition, first, lastLba - first + 1);
      std::memcpy(h->typeGuid.bytes, e, 16);
      std::memcpy(h->uniqueGuid.bytes, e + 16, 16);
      for (int k = 0; k < 36; ++k) {
        const char16_t c = static_cast<char16_t>(e[56 + 2 * k] | e[57 + 2 * k] << 8);
        if (c == 0) break;
        h->name.push_back(c);
      }
    }
    return true;
  }

  stddisk& disk_;
  PartitionTree& tree_;
  std::uint32_t size_;
  std::uint64_t last_;
  flat_holder* add_container_ = nullptr;
};

}  // namespace

void DaReadDiskPartitions(stddisk* disk) {
  if (disk == nullptr || !disk->usable || !disk->IsPlainDisk()) return;
  if ((disk->GetStateFlags() & kDiskGone) != 0) return;
  PartitionTree* tree = disk->GetTree(0);
  if (tree == nullptr || tree->Valid()) return;
  tree->Clear();
  Reader(*disk, *tree).Read();
}
