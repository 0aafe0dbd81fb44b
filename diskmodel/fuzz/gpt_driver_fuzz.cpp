// The GPT scheme driver over disks from outside: a full refresh of a model
// computer (raw, MBR and GPT drivers), the portions it lists, one entry
// created in the first free GPT area, committed, and the refresh again.
//
// Input: as the table model's target (gpt_partitions_fuzz.cpp), so the two
// share their seeds: byte 0 bit 0 set for 4096-byte sectors; bytes 1-4 the
// disk's last sector index; bytes 5-12 unused here (the driver takes the
// area from the protective MBR entry); byte 13 on the entry to create,
// bytes 14-17 an offset into the free area, 18-21 its size; then records
// of a 4-byte index of a 512-byte piece of the disk and its 512 bytes.
//
// What must hold: every portion the head layer lists lies on the disk; no
// two GPT portions of the disk overlap; an entry created and committed is
// listed by the next refresh, at its place.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "disktest/memory_disk.h"
#include "fdisk/disk_operations.h"
#include "fdisk/error.h"
#include "fdisk/gpt_driver.h"
#include "fdisk/model.h"
#include "fdisk/ps_manager.h"
#include "fuzz_input.h"

namespace {

using FuzzInput::Le;
using FuzzInput::Try;

constexpr std::size_t kPiece = 512;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The head layer's portions lie on the disk, GPT ones apart from each other.
void CheckLayer(Fdisk::Computer& computer, std::uint32_t diskId, std::uint64_t last) {
  std::map<std::uint64_t, std::uint64_t> gpt;
  for (auto& entry : computer.GetPortionManager().GetHeadLayer()) {
    const Fdisk::PortionPlace place = Fdisk::PlaceOf(entry.second);
    if (!place.found || place.diskId != diskId) continue;
    if (dynamic_cast<Fdisk::GptLocation*>(&entry.second.GetLocation()) == nullptr) continue;
    Check(place.size >= 1 && place.first <= last && place.size - 1 <= last - place.first);
    Check(gpt.emplace(place.first, place.first + place.size - 1).second);
  }
  std::uint64_t end = 0;
  bool any = false;
  for (const auto& range : gpt) {
    Check(!any || range.first > end);
    any = true;
    end = range.second;
  }
}

Fdisk::PSGptDriver* GptDriver(Fdisk::Computer& computer) {
  for (std::uint32_t id : computer.GetPortionManager().GetDriverIds()) {
    auto* d = dynamic_cast<Fdisk::PSGptDriver*>(&computer.GetDriverFactory().GetDriver(id));
    if (d != nullptr) return d;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 23) return 0;
  const std::uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const std::uint64_t last = Le(data + 1, 4);
  auto disk = std::make_unique<DiskTest::MemoryModelDisk>(last + 1, sectorSize,
                                                          DiskTest::Storage::kSparse);
  disk->Memory().SetRequestLimit(8u << 20);  // the largest GPT entry array
  // Pieces of 512 bytes wherever the input puts them; the rest reads as zeros.
  for (std::size_t at = 23; at + 4 + kPiece <= size; at += 4 + kPiece) {
    (void)disk->Memory().Put(Le(data + at, 4) * kPiece, data + at + 4, kPiece);
  }

  const std::uint32_t stageId = Fdisk::StageRegistry::Acquire();
  {
    Fdisk::Stage& stage = Fdisk::StageRegistry::GetStage(stageId);
    Fdisk::Computer& computer = stage.GetComputer(stage.CreateLocalComputer());
    const std::uint32_t diskId =
        computer.AddDisk(std::move(disk));
    computer.GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    CheckLayer(computer, diskId, last);

    Fdisk::PSGptDriver* driver = GptDriver(computer);
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    if (driver != nullptr && (data[13] & 1)) {
      for (auto& entry : driver->GetPortions()) {
        if (!entry.second.IsFree()) continue;
        const Fdisk::PortionPlace place = Fdisk::PlaceOf(entry.second);
        if (!place.found || place.size == 0) continue;
        first = place.first + Le(data + 14, 4) % place.size;
        count = 1 + Le(data + 18, 4) % (place.first + place.size - first);
        break;
      }
    }
    if (count != 0) {
      namespace K = Fdisk::NamedVars::Keys;
      Fdisk::NamedVars::VarContainer p;
      p.Set(K::DiskID, static_cast<unsigned long>(diskId));
      p.Set(K::Start, Fdisk::NamedVars::VarU64(first));
      p.Set(K::Size, Fdisk::NamedVars::VarU64(count));
      Common::Guid type{};
      type.bytes[0] = 1;
      p.Set(K::PartitionType, type);
      const auto created = driver->CreatePortion(p);
      if (!created.first) {
        // An area the driver lists as free takes the entry; written, it is
        // there after the next refresh.
        Try([&] { driver->Commit(); });
        computer.GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
        CheckLayer(computer, diskId, last);
        Check(Fdisk::FindPortionAt(computer, diskId, first) != 0);
      }
    }
  }
  Fdisk::StageRegistry::Release();
  return 0;
}
