// The MBR table engine over sector 0 and an EBR chain from outside: loading
// (walk, numbering, repairs), listing, editing and writing back.
//
// Input: byte 0 sectors per track, byte 1 highest head, bytes 2-6 the disk's
// last sector index (40 bits), bytes 7-22 the arguments of a few edits; then
// records of a 4-byte sector number and 512 bytes of that sector (the first
// record is usually sector 0). Sectors not given read as zeros.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <vector>

#include "fdisk/error.h"
#include "fdisk/mbr_table.h"
#include "fuzz_input.h"

namespace {

using FuzzInput::Le;
using FuzzInput::Try;

class FuzzDisk : public Fdisk::SimpleDisk {
 public:
  FuzzDisk(std::uint64_t lastSector, const Fdisk::Geometry& geometry) {
    sectorSize_ = 512;
    lastSector_ = lastSector;
    geometry_ = geometry;
  }

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector > lastSector_ || count > lastSector_ - sector + 1 || count > 64) {
      return Fdisk::Error(1, 1, Fdisk::kErrInvalidIo);
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::vector<std::uint8_t>& s = sectors_[sector + i];
      s.resize(512);
      if (op == Fdisk::kIoRead) std::memcpy(bytes + 512 * i, s.data(), 512);
      if (op == Fdisk::kIoWrite) std::memcpy(s.data(), bytes + 512 * i, 512);
    }
    return Common::Error();
  }

  std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 23) return 0;
  Fdisk::Geometry geometry;
  geometry.sectorsPerTrack = data[0];
  geometry.highestHead = data[1];
  const std::uint64_t last = Le(data + 2, 5) | 1;
  const std::uint64_t perCylinder = std::uint64_t(data[0]) * (std::uint64_t(data[1]) + 1);
  geometry.cylinders = perCylinder == 0 ? 0 : (last + 1) / perCylinder;
  const std::uint8_t* args = data + 7;
  FuzzDisk disk(last, geometry);
  for (std::size_t at = 23; at + 516 <= size; at += 516) {
    std::vector<std::uint8_t>& s = disk.sectors_[Le(data + at, 4)];
    s.assign(data + at + 4, data + at + 516);
  }

  Fdisk::Mbr::MbrDisk model(disk);
  if (model.Load()) {
    // A failed load leaves a model that must still be safe to use.
    (void)model.ListPortions();
    Try([&] { model.CreatePartition(Le(args, 4), Le(args + 4, 4), args[8] & 1, args[9], true, true); });
    return 0;
  }
  std::list<Fdisk::Mbr::MbrEntry> portions = model.ListPortions();
  std::uint64_t previous = 0;
  for (const Fdisk::Mbr::MbrEntry& e : portions) {
    // Listing is ascending, never hands out sector 0, and free areas lie on
    // the disk.
    if (e.first < previous || e.first == 0) __builtin_trap();
    if (e.IsFree() && (e.size == 0 || e.Last() > last)) __builtin_trap();
    previous = e.first;
  }

  const std::uint64_t start = Le(args, 4);
  const std::uint64_t length = Le(args + 4, 4);
  Fdisk::Mbr::MbrDisk edited(model);
  Try([&] { edited.CreatePartition(start, length, args[8] & 1, args[9], args[8] & 2, args[8] & 4); });
  Fdisk::Mbr::MbrDisk before(edited);
  for (const Fdisk::Mbr::MbrEntry& e : portions) {
    if (e.IsFree()) continue;
    const std::uint64_t first = e.first;
    switch (args[10] % 6) {
      case 0: Try([&] { edited.DeletePartition(first); }); break;
      case 1: {
        std::uint64_t f = Le(args + 11, 4);
        std::uint64_t n = Le(args + 15, 4);
        Try([&] { edited.MovePartition(first, f, n); });
        break;
      }
      case 2: Try([&] { edited.SetPrimary(first, args[19] & 1); }); break;
      case 3: Try([&] { edited.SetHiddenModeAt(first, Fdisk::Mbr::HiddenMode(args[19] % 3)); }); break;
      case 4: Try([&] { edited.SetTypeAt(first, args[19]); }); break;
      default: Try([&] { edited.SetBootIndicator(first, 0x80); }); break;
    }
    break;
  }
  edited.Number();
  (void)edited.ListPortions();
  Try([&] { edited.Commit(); });
  // What was written loads again.
  Fdisk::Mbr::MbrDisk again(disk);
  (void)again.Load();
  return 0;
}
