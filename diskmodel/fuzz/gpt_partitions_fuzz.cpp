// The GPT table model over headers and entry arrays from outside: loading
// (primary copy or the backup), listing, one edit, writing both copies and
// loading what was written; on a disk without a usable table, a new one.
//
// Input: byte 0 bit 0 set for 4096-byte sectors (else 512); bytes 1-4 the
// disk's last sector index; bytes 5-8 and 9-12 the area's first sector and
// sector count (as a protective MBR entry gives them); byte 13 the edit,
// bytes 14-17 and 18-21 its two numbers, byte 22 its small argument; then
// records of a 4-byte index of a 512-byte piece of the disk and the 512
// bytes of that piece. Pieces not given read as zeros.
//
// What must hold: a table that loads is sorted, holds no empty record,
// lists its free areas inside its usable area, and can always be written
// back (after any edit) without a write into its usable area; what was
// written loads again, from the primary copy, with the same entries. A new
// table, once written, loads too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disktest/memory_disk.h"
#include "fdisk/error.h"
#include "fdisk/gpt_partitions.h"
#include "fuzz_input.h"

namespace {

using FuzzInput::Le;
using FuzzInput::Try;

constexpr std::size_t kPiece = 512;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The invariants of a loaded table and its listing.
void CheckLoaded(const Fdisk::Gpt::GptPartitions& table, std::uint64_t diskLast) {
  const std::vector<Fdisk::Gpt::GptEntry>& entries = table.Entries();
  Check(table.HasHeader());
  Check(entries.size() <= table.Header().EntryCount());
  Check(table.FirstUsableLba() <= table.LastUsableLba() && table.LastUsableLba() <= diskLast);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Check(!entries[i].IsZero());
    if (i > 0) Check(entries[i - 1].StartingLba() <= entries[i].StartingLba());
  }
  // The listing is the entries in their order with free records between:
  // each free record lies in the usable area, and they ascend apart.
  std::size_t used = 0;
  bool anyFree = false;
  std::uint64_t freeEnd = 0;
  for (const Fdisk::Gpt::GptEntry& e : table.ListEntries()) {
    if (used < entries.size() && e.bytes == entries[used].bytes) {
      ++used;
      continue;
    }
    Check(Fdisk::Gpt::GptPartitions::IsFreeEntry(e));
    Check(e.StartingLba() <= e.EndingLba());
    Check(e.StartingLba() >= table.FirstUsableLba() && e.EndingLba() <= table.LastUsableLba());
    Check(!anyFree || e.StartingLba() > freeEnd);
    anyFree = true;
    freeEnd = e.EndingLba();
  }
  Check(used == entries.size());
}

std::vector<Fdisk::Gpt::GptEntry> ByStart(std::vector<Fdisk::Gpt::GptEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Fdisk::Gpt::GptEntry& a, const Fdisk::Gpt::GptEntry& b) {
                     return a.StartingLba() < b.StartingLba();
                   });
  return entries;
}

// A type GUID from the 10 bytes of the edit; never all zero.
Common::Guid TypeOf(const std::uint8_t* args) {
  Common::Guid type{};
  std::memcpy(type.bytes, args, 10);
  type.bytes[15] = 1;
  return type;
}

void Edit(Fdisk::Gpt::GptPartitions& table, const std::uint8_t* args) {
  const std::uint64_t a = Le(args + 1, 4);
  const std::uint64_t b = Le(args + 5, 4);
  const std::uint8_t small = args[9];
  const std::u16string name(small % 40, u'n');
  const Common::Guid type = TypeOf(args);
  const std::vector<Fdisk::Gpt::GptEntry>& entries = table.Entries();
  Common::Guid guid{};
  if (!entries.empty()) guid = entries[small % entries.size()].UniqueGuid();
  switch (args[0] % 7) {
    case 0: break;
    case 1: Try([&] { table.CreateEntry(a, b, type, name); }); break;
    case 2: Try([&] { table.MoveEntry(guid, a, b); }); break;
    case 3: Try([&] { table.DeleteEntry(guid); }); break;
    case 4: Try([&] { table.SetName(guid, name); }); break;
    case 5: Try([&] { table.SetHardwareFlag(guid, small & 1); }); break;
    default: Try([&] { table.SetType(guid, type); }); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 23) return 0;
  const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const std::uint64_t last = Le(data + 1, 4);
  const std::uint64_t start = Le(data + 5, 4);
  const std::uint64_t length = Le(data + 9, 4);
  const std::uint8_t* args = data + 13;
  DiskTest::MemoryDisk disk(last + 1, sectorSize, DiskTest::Storage::kSparse);
  disk.SetRequestLimit(8u << 20);  // the largest GPT entry array
  // Pieces of 512 bytes wherever the input puts them; the rest reads as zeros.
  for (std::size_t at = 23; at + 4 + kPiece <= size; at += 4 + kPiece) {
    (void)disk.Put(Le(data + at, 4) * kPiece, data + at + 4, kPiece);
  }

  Fdisk::Gpt::GptPartitions table(&disk, start, length);
  if (table.Load()) {
    // No usable table: a new one, once written, must load.
    Fdisk::Gpt::GptPartitions fresh(&disk, start, length);
    bool made = false;
    Try([&] {
      fresh.InitEmpty();
      made = true;
    });
    if (!made) return 0;
    CheckLoaded(fresh, last);
    Edit(fresh, args);
    fresh.Commit();  // the area lies on the disk: nothing may fail
    Fdisk::Gpt::GptPartitions again(&disk, start, length);
    Check(!again.Load());
    Check(again.Entries().size() == fresh.Entries().size());
    return 0;
  }
  CheckLoaded(table, last);

  Edit(table, args);
  // Whatever the edit did, the table is written back in full.
  if (!table.Entries().empty()) {
    const Fdisk::Gpt::GptEntry first = table.Entries().front();
    table.SetName(first.UniqueGuid(), first.Name());
  } else {
    Try([&] { table.CreateEntry(table.FirstUsableLba(), 1, TypeOf(args), u"x"); });
  }
  disk.ClearWrites();
  table.Commit();  // a table that loaded always fits its disk: nothing may fail
  if (table.IsDirty()) {
    std::uint64_t written = 0;
    for (const auto& w : disk.Writes()) {
      written += w.second;
      // Headers and arrays only: never a sector of the usable area.
      Check(w.first + w.second <= table.FirstUsableLba() || w.first > table.LastUsableLba());
    }
    Check(written == 2 + 2 * table.ArraySectors());
  }
  Fdisk::Gpt::GptPartitions again(&disk, start, length);
  Check(!again.Load());
  Check(!again.LoadedFromAlternate());
  // The same entries; a load sorts them again, which an edit among
  // damaged records may have left out of order.
  const std::vector<Fdisk::Gpt::GptEntry> written = ByStart(table.Entries());
  Check(again.Entries().size() == written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    Check(again.Entries()[i].bytes == written[i].bytes);
  }
  return 0;
}
