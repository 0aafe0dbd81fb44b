// Holders and volume handlers backed by the disk model: a GPT partition or
// dynamic volume found by the model, shown on the pseudo-disk and read
// through a handler hooked onto the disks underneath, and the free space
// of each dynamic disk group.
#include <algorithm>
#include <cstring>
#include <utility>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/model_holders.h"
#include "fdisk/portion.h"

namespace {

constexpr std::uint32_t kTag = 0x5AC2;

bool AllZero(const std::uint8_t* bytes) {
  for (int i = 0; i < 16; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

std::array<std::uint8_t, 16> GuidOrZero(const std::uint8_t* guid) {
  std::array<std::uint8_t, 16> out{};
  if (guid != nullptr) std::memcpy(out.data(), guid, 16);
  return out;
}

}  // namespace

namespace Fdisk {
namespace Old {

namespace {

// The handler's letter when it can tell one (127 when it answers without).
void TakeHandlerLetter(holder_easy_vol& h, vol_handler* v) {
  if (v == nullptr) return;
  std::uint8_t letter = 127;
  if (v->VolGetLetter(letter).Code() == 0) h.ApplyLetter(letter);
}

void LiveLetterFromHandler(BasePartitionHolder& h, vol_handler* v) {
  if (v == nullptr) return;
  std::uint8_t letter = 0;
  if (v->VolGetLetter(letter).Code() == 0) {
    h.letters[kLiveView] = letter;
    h.letter_flags[kLiveView] = 0;
  }
}

}  // namespace

// ------------------------------------------------------------ GptHolder

GptHolder::GptHolder(stddisk* pseudoDisk, std::vector<DaExtent> list,
                     const std::uint8_t* uniqueGuid, std::uint64_t n, std::uint32_t entryIndex,
                     std::shared_ptr<vol_handler> h, const std::uint8_t* typeGuid)
    : holder(pseudoDisk, 0, n, entryIndex, nullptr),
      holder_easy_vol(pseudoDisk, std::move(list), n, uniqueGuid, 0),
      type_guid(GuidOrZero(typeGuid)) {
  if (h) {
    vol_handler* v = h.get();
    SetVolumeHandler(std::move(h));
    LiveLetterFromHandler(*this, v);
  }
  if (pseudoDisk != nullptr && pseudoDisk->GetComputer() != nullptr &&
      pseudoDisk->GetComputer()->secondModeWord == 3)
    mbr_type = 0x83;
}

GptHolder::GptHolder(const GptHolder& from)
    : holder(&from), holder_easy_vol(from), type_guid(from.type_guid), mbr_type(from.mbr_type) {}

holder_easy_vol* GptHolder::CopyPartitionInfo() const {
  auto* copy = new GptHolder(*this);
  // The copy shows the letter this holder shows; its volume is not asked.
  if (handler) copy->BasePartitionHolder::SetVolumeHandler(handler);
  copy->ApplyLetter(GetLetter(kLiveView));
  copy->reattach = reattach;
  return copy;
}

const std::uint8_t* GptHolder::GetTypeGuid() const {
  return AllZero(type_guid.data()) ? nullptr : type_guid.data();
}

void GptHolder::SetVolumeHandler(std::shared_ptr<vol_handler> h) {
  vol_handler* v = h.get();
  holder::SetVolumeHandler(std::move(h));
  TakeHandlerLetter(*this, v);
}

bool GptHolder::GetVolumeDescription(ModelVolumeDescription& out) const {
  out.kind = kModelKindGpt;
  return true;
}

// ------------------------------------------------------------ LdmHolder

LdmHolder::LdmHolder(stddisk* pseudoDisk, std::vector<DaExtent> list, std::uint64_t n,
                     const ModelVolumeDescription& d, std::shared_ptr<vol_handler> h,
                     const std::uint8_t* underlyingGuid, std::int32_t partitionId)
    : holder(pseudoDisk, 0, n, 0, nullptr),
      holder_easy_vol(pseudoDisk, std::move(list), n, d.volume_guid.data(), partitionId),
      description(d),
      underlying_guid(GuidOrZero(underlyingGuid)) {
  aux_word = 0;
  for (int i = 0; i < 3; ++i) numbers[i] = description.numbers[i];
  if (h) {
    vol_handler* v = h.get();
    SetVolumeHandler(std::move(h));
    LiveLetterFromHandler(*this, v);
  }
}

LdmHolder::LdmHolder(const LdmHolder& from)
    : holder(&from), holder_easy_vol(from), description(from.description),
      group_guid(from.group_guid) {}

holder_easy_vol* LdmHolder::CopyPartitionInfo() const {
  auto* copy = new LdmHolder(*this);
  copy->SetAuxWord(GetAuxWord());
  // The copy shows the letter this holder shows; its volume is not asked.
  if (handler) copy->BasePartitionHolder::SetVolumeHandler(handler);
  copy->ApplyLetter(GetLetter(kLiveView));
  copy->reattach = reattach;
  copy->underlying_guid = underlying_guid;
  return copy;
}

const std::uint8_t* LdmHolder::GetUnderlyingGuid() const {
  return AllZero(underlying_guid.data()) ? nullptr : underlying_guid.data();
}

void LdmHolder::SetVolumeHandler(std::shared_ptr<vol_handler> h) {
  vol_handler* v = h.get();
  holder::SetVolumeHandler(std::move(h));
  TakeHandlerLetter(*this, v);
}

void LdmHolder::AttachVolume(bool, std::shared_ptr<vol_handler> h, std::uint8_t letter) {
  if (!h) {
    da_computer* computer = disk != nullptr ? disk->GetComputer() : nullptr;
    if (computer != nullptr) h = computer->NewVolumeHandler();
  }
  if (!h) return;
  SetVolumeHandler(std::move(h));
  SetLetter(kLiveView, letter, letter_flags[kLiveView]);
}

bool LdmHolder::GetVolumeDescription(ModelVolumeDescription& out) const {
  out = description;
  return true;
}

bool LdmHolder::DeletePartition(std::uint32_t, PartitionInfo* info) {
  if (info != nullptr) {
    info->id = GetId();
    info->auxWord = GetAuxWord();
    info->handler = handler;
  }
  holder::SetVolumeHandler(nullptr);
  if (disk != nullptr) {
    HolderList& list = disk->second_list.Contains(this) ? disk->second_list : disk->holder_list;
    MoveLdmFreeSpace(list, extents, group_guid.data(), true);
    list.Unlink(this);
  }
  DaQueryPartitions();
  delete this;
  return true;
}

// --------------------------------------------------------- LdmFreeSpace

LdmFreeSpace::LdmFreeSpace(stddisk* d, std::uint64_t n, const std::uint8_t* groupGuid,
                           std::vector<DaExtent> list)
    : holder(d, 0, n, 0, nullptr), group_guid(GuidOrZero(groupGuid)), extents(std::move(list)) {}

LdmFreeSpace::~LdmFreeSpace() {
  holder::SetVolumeHandler(nullptr);
  if (disk != nullptr) {
    if (disk->second_list.Contains(this)) disk->second_list.Unlink(this);
    else if (disk->holder_list.Contains(this)) disk->holder_list.Unlink(this);
  }
}

holder* LdmFreeSpace::CopyPartitionInfo() const {
  return new LdmFreeSpace(disk, size, group_guid.data(), extents);
}

LdmFreeSpace* FindLdmFreeSpace(HolderList& list, const std::uint8_t* groupGuid) {
  if (groupGuid == nullptr) return nullptr;
  for (holder* h = list.first; h != nullptr; h = h->next) {
    auto* free = dynamic_cast<LdmFreeSpace*>(h);
    if (free != nullptr && std::memcmp(free->group_guid.data(), groupGuid, 16) == 0) return free;
  }
  return nullptr;
}

void RemoveLdmFreeSpace(HolderList& list, const std::uint8_t* groupGuid) {
  if (LdmFreeSpace* free = FindLdmFreeSpace(list, groupGuid)) delete list.Unlink(free);
}

void AddLdmFreeSpace(stddisk* pseudoDisk, const LdmLocation& location) {
  if (pseudoDisk == nullptr) return;
  const std::array<std::uint8_t, 16> group = location.GetGuid2();
  HolderList& list = pseudoDisk->second_list;
  std::vector<DaExtent> extents;
  std::uint64_t total = 0;
  if (LdmFreeSpace* old = FindLdmFreeSpace(list, group.data())) {
    extents = old->extents;
    total = old->size;
    RemoveLdmFreeSpace(list, group.data());
  }
  const std::uint32_t sectorSize = pseudoDisk->GetSectorSize() != 0 ? pseudoDisk->GetSectorSize()
                                                                     : 512;
  const std::uint64_t threshold = 0x100000 / sectorSize;
  for (const auto& entry : location.GetExtents()) {
    const LdmExtent& e = entry.second;
    if (e.length <= threshold) continue;
    DaExtent x;
    x.diskKey = e.diskId;
    x.firstSector = e.firstSector;
    x.sectorCount = e.length;
    extents.push_back(x);
    total += e.length;
  }
  if (extents.empty()) return;
  list.PushBack(new LdmFreeSpace(pseudoDisk, total, group.data(), std::move(extents)));
}

bool MoveLdmFreeSpace(HolderList& list, const std::vector<DaExtent>& volumeExtents,
                      const std::uint8_t* groupGuid, bool giveBack) {
  LdmFreeSpace* old = FindLdmFreeSpace(list, groupGuid);
  if (old == nullptr) return false;
  std::vector<DaExtent> free = old->extents;
  std::uint64_t moved = 0;
  for (const DaExtent& v : volumeExtents) {
    if (v.sectorCount == 0) continue;
    const std::uint64_t vEnd = v.firstSector + v.sectorCount;
    if (vEnd < v.firstSector) return false;
    if (giveBack) {
      // Joins the free extent that ends where it starts and the one that
      // starts where it ends; overlapping free space means the books are
      // wrong, and nothing is changed.
      std::size_t before = free.size(), after = free.size();
      for (std::size_t i = 0; i < free.size(); ++i) {
        const DaExtent& f = free[i];
        if (f.diskKey != v.diskKey) continue;
        const std::uint64_t fEnd = f.firstSector + f.sectorCount;
        if (f.firstSector < vEnd && v.firstSector < fEnd) return false;
        if (fEnd == v.firstSector) before = i;
        if (f.firstSector == vEnd) after = i;
      }
      if (before < free.size() && after < free.size()) {
        free[before].sectorCount += v.sectorCount + free[after].sectorCount;
        free.erase(free.begin() + static_cast<std::ptrdiff_t>(after));
      } else if (before < free.size()) {
        free[before].sectorCount += v.sectorCount;
      } else if (after < free.size()) {
        free[after].firstSector = v.firstSector;
        free[after].sectorCount += v.sectorCount;
      } else {
        DaExtent x = v;
        x.diskNumber = 0;
        free.push_back(x);
      }
    } else {
      // Only space that is free can be taken.
      std::size_t at = free.size();
      for (std::size_t i = 0; i < free.size() && at == free.size(); ++i) {
        const DaExtent& f = free[i];
        if (f.diskKey == v.diskKey && f.firstSector <= v.firstSector &&
            vEnd <= f.firstSector + f.sectorCount)
          at = i;
      }
      if (at == free.size()) return false;
      DaExtent f = free[at];
      const std::uint64_t fEnd = f.firstSector + f.sectorCount;
      free.erase(free.begin() + static_cast<std::ptrdiff_t>(at));
      std::vector<DaExtent> pieces;
      if (f.firstSector < v.firstSector) {
        DaExtent head = f;
        head.sectorCount = v.firstSector - f.firstSector;
        pieces.push_back(head);
      }
      if (vEnd < fEnd) {
        DaExtent tail = f;
        tail.firstSector = vEnd;
        tail.sectorCount = fEnd - vEnd;
        pieces.push_back(tail);
      }
      free.insert(free.begin() + static_cast<std::ptrdiff_t>(at), pieces.begin(), pieces.end());
    }
    moved += v.sectorCount;
  }
  if (!giveBack && moved > old->size) return false;
  const std::uint64_t size = giveBack ? old->size + moved : old->size - moved;
  stddisk* d = old->disk;
  const std::array<std::uint8_t, 16> group = old->group_guid;
  RemoveLdmFreeSpace(list, group.data());
  list.PushBack(new LdmFreeSpace(d, size, group.data(), std::move(free)));
  return true;
}

}  // namespace Old
}  // namespace Fdisk
