// The generic mapping of volumes onto partitions with its drive letters,
// volume matching, the re-pairing of the pseudo-disk's holders after a
// revert, and the System Restore state of a volume handler.
#include "diskaccess/volume_mapping.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "diskaccess/errors.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/model_holders.h"

namespace {

bool IsDriveLetter(std::uint8_t letter) { return letter >= 'C' && letter <= 'Z'; }

std::uint8_t Fold(std::uint8_t letter) {
  return letter >= 'a' && letter <= 'z' ? static_cast<std::uint8_t>(letter - 0x20) : letter;
}

bool Usable(const stddisk* d) {
  return d->usable && !d->IsEasyVolumeDisk() && (d->GetStateFlags() & kDiskGone) == 0;
}

template <class F>
void ForEveryUsablePartition(da_computer& computer, F&& f) {
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!Usable(d)) continue;
    for (holder* h = d->holder_list.first; h != nullptr;) {
      holder* next = h->next;  // f may replace the holder's handler, never the holder
      if (h->IsPartition()) f(*h);
      h = next;
    }
  }
}

// The letter a partition shows as its live one.
void ShowLetter(holder& h, std::uint8_t letter) {
  h.SetLetter(kLiveView, letter, h.GetLetterFlags(kLiveView));
  h.SetAssignedLetter(letter);
}

// A handler that stands for a volume the system has: one that was never
// opened or created has no letter to give or take.
vol_handler* OpenVolume(const holder& h) {
  vol_handler* v = h.GetVolumeHandler();
  return v != nullptr && v->GetLibraryHandle() != 0 ? v : nullptr;
}

// The pseudo-disk's volumes: every holder of its second list, and, for
// letters given to one, the holders of its first list with the same id.
HolderList* PseudoVolumes(da_computer& computer) {
  return computer.pseudoDisk != nullptr ? &computer.pseudoDisk->second_list : nullptr;
}

void StoreFreeLetters(da_computer& computer) {
  const std::uint32_t mask = DaFreeLetterMask(computer);
  computer.freeLetters[0] = computer.freeLetters[1] = mask;
}

// A letter a volume takes: on the holder (and on every holder of the same
// id in the pseudo-disk's first list), then on the volume itself.
void GiveLetter(da_computer& computer, holder& h, std::uint8_t letter) {
  // A letter the volume refused is shown nowhere: the next volume would be
  // offered the same one.
  std::uint8_t seen = 0;
  if (Da::Failed(h.GetVolumeHandler()->VolSetLetter(letter, seen))) return;
  if (auto* easy = dynamic_cast<holder_easy_vol*>(&h)) easy->ApplyLetter(letter);
  else ShowLetter(h, letter);
  if (h.IsEasyVolume() && computer.pseudoDisk != nullptr) {
    for (holder* o = computer.pseudoDisk->holder_list.first; o != nullptr; o = o->next) {
      if (o == &h || o->GetId() != h.GetId()) continue;
      if (auto* easy = dynamic_cast<holder_easy_vol*>(o)) easy->ApplyLetter(letter);
      else ShowLetter(*o, letter);
    }
  }
}

std::vector<DaExtent> ExtentsOf(const holder* h) {
  if (auto* p = dynamic_cast<const BasePartitionHolder*>(h)) return p->extents;
  if (auto* f = dynamic_cast<const Fdisk::Old::LdmFreeSpace*>(h)) return f->extents;
  return {};
}

}  // namespace

std::uint32_t DaFreeLetterMask(da_computer& computer) {
  std::uint32_t mask = 0;
  computer.GetFreeLetters(mask);
  return (mask >> 2) & 0xFFFFFFu;
}

// ------------------------------------------------------------ letters

void RemoveVolumeLetters(da_computer& computer) {
  std::uint8_t seen = 0;
  if (HolderList* volumes = PseudoVolumes(computer))
    for (holder* h = volumes->first; h != nullptr; h = h->next)
      if (vol_handler* v = OpenVolume(*h)) v->VolSetLetter(0, seen);
  ForEveryUsablePartition(computer, [&](holder& h) {
    if (h.GetType() == 0x83)
      if (vol_handler* v = OpenVolume(h)) v->VolSetLetter(0, seen);
  });
  StoreFreeLetters(computer);
}

void AssignMissingLetters(da_computer& computer) {
  auto lacksLetter = [](holder& h) {
    vol_handler* v = OpenVolume(h);
    if (v == nullptr) return false;
    std::uint8_t letter = 0;
    return Da::Failed(v->VolGetLetter(letter)) || !IsDriveLetter(Fold(letter));
  };
  auto give = [&](holder& h) {
    const std::uint8_t letter = LowestFreeLetter(DaFreeLetterMask(computer));
    if (letter != 0) GiveLetter(computer, h, letter);
  };
  if (HolderList* volumes = PseudoVolumes(computer))
    for (holder* h = volumes->first; h != nullptr; h = h->next)
      if (!h->IsFreeSpace() && lacksLetter(*h)) give(*h);
  ForEveryUsablePartition(computer, [&](holder& h) {
    if (h.GetType() == 0x83 && lacksLetter(h)) give(h);
  });
  StoreFreeLetters(computer);
}

void MapVolumesGeneric(da_computer& computer, bool letters) {
  computer.capabilities |= 0x22;
  if (letters) RemoveVolumeLetters(computer);
  ForEveryUsablePartition(computer, [&](holder& h) {
    const std::uint32_t mask = DaFreeLetterMask(computer);
    // A handler of no volume is replaced by one that makes the volume.
    vol_handler* current = OpenVolume(h);
    if (current != nullptr) {
      // Without letters a volume the partition has stays as it is: another
      // one over the same sectors is never made.
      if (!letters) return;
      std::uint8_t want = Fold(h.GetLetter(kLiveView));
      if (!IsDriveLetter(want)) want = ChooseLetter(mask, h.GetLetter(kViewWanted));
      std::uint8_t have = 0;
      if (Da::Failed(current->VolGetLetter(have))) have = 0;
      have = Fold(have);
      if (IsDriveLetter(have) && have == want) return;
      const std::uint8_t letter = IsDriveLetter(have) ? want : ChooseLetter(mask, want);
      ShowLetter(h, letter);
      std::uint8_t seen = 0;
      current->VolSetLetter(letter, seen);
      return;
    }
    std::shared_ptr<vol_handler> made = computer.NewVolumeHandler();
    if (!made) return;
    if (letters) {
      std::uint8_t wanted = Fold(h.GetLetter(kViewWanted));
      if (mask == 0) wanted = 0;
      if (IsDriveLetter(wanted) && IsLetterTaken(mask, wanted)) wanted = LowestFreeLetter(mask);
      if (IsDriveLetter(wanted)) ShowLetter(h, wanted);
    }
    made->VolCreate(&h);
    made->SmartUnlock(2);
    h.SetVolumeHandler(std::move(made));
  });
  if (letters) {
    AssignMissingLetters(computer);
    computer.LettersAssigned();
  }
  StoreFreeLetters(computer);
}

// ----------------------------------------------------------- matching

std::uint32_t DaPartitionKind(const holder* h) {
  if (h == nullptr) return 0;
  if (auto* gpt = dynamic_cast<const Fdisk::Old::GptHolder*>(h)) {
    ModelVolumeDescription d;
    if (gpt->GetVolumeDescription(d) && d.kind == kModelKindGpt) return 1;
  }
  return 0;
}

bool MatchesVolume(const holder* h, const std::uint8_t* guid, const std::vector<DaExtent>& extents,
                   std::uint32_t kind) {
  if (h == nullptr || h->IsFreeSpace()) return false;
  if (guid != nullptr) {
    const std::uint8_t* own = h->GetUniqueGuid();
    if (own == nullptr || std::memcmp(own, guid, 16) != 0) return false;
  }
  const std::uint32_t own = DaPartitionKind(h);
  if (own != kind && own != 1 && kind != 1) return false;
  std::vector<DaExtent> a = ExtentsOf(h), b = extents;
  if (a.size() != b.size()) return false;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return std::equal(a.begin(), a.end(), b.begin());
}

bool HoldersMatch(const holder* a, const holder* b) {
  if (b == nullptr) return false;
  return MatchesVolume(a, b->GetUniqueGuid(), ExtentsOf(b), DaPartitionKind(b));
}

holder* FindMatchingHolder(const HolderList& list, const std::uint8_t* guid,
                           const std::vector<DaExtent>& extents, std::uint32_t kind,
                           std::uint64_t stamp) {
  for (holder* h = list.first; h != nullptr; h = h->next) {
    if (!MatchesVolume(h, guid, extents, kind)) continue;
    const vol_handler* v = h->GetVolumeHandler();
    if (v == nullptr || v->VolQueryWord() == 0 || v->VolQueryWord() == stamp) return h;
  }
  return nullptr;
}

void RemoveFreeSpaceHolders(HolderList& list) {
  for (holder* h = list.first; h != nullptr;) {
    holder* next = h->next;
    if (h->IsFreeSpace()) delete list.Unlink(h);
    h = next;
  }
}

void ReconcileEasyVolumes(HolderList& a, const HolderList& b) {
  std::map<std::int32_t, const holder*> missing;
  for (const holder* h = b.first; h != nullptr; h = h->next)
    if (!h->IsFreeSpace()) missing.emplace(h->GetId(), h);
  std::map<std::int32_t, holder*> kept;
  for (holder* h = a.first; h != nullptr;) {
    holder* next = h->next;
    if (h->IsFreeSpace()) {
      delete a.Unlink(h);
    } else {
      kept.emplace(h->GetId(), h);
      missing.erase(h->GetId());
    }
    h = next;
  }
  for (const auto& [id, original] : missing) {
    holder* copy = original->CopyPartitionInfo();
    if (copy == nullptr) continue;
    // Before the remaining holder with the next larger id; at the end when
    // none is larger.
    const auto larger = kept.upper_bound(id);
    if (larger == kept.end()) a.PushBack(copy);
    else a.InsertAfter(larger->second->prev, copy);
    kept.emplace(id, copy);
  }
  for (const holder* h = b.first; h != nullptr; h = h->next)
    if (h->IsFreeSpace())
      if (holder* copy = h->CopyPartitionInfo()) a.PushBack(copy);
}

void DaCopyHolderList(HolderList& target, const HolderList& source) {
  target.Clear();
  for (const holder* h = source.first; h != nullptr; h = h->next) {
    holder* copy = h->CopyPartitionInfo();
    if (copy == nullptr) continue;
    // The copy keeps what the volume-information pass found for the volume.
    if (std::shared_ptr<user_holder_data> data = h->GetUserData()) copy->SetUserData(data->Clone());
    target.PushBack(copy);
  }
}

void SyncEasyVolumeLetters(HolderList& list, bool apply) {
  for (holder* h = list.first; h != nullptr; h = h->next)
    if (auto* easy = dynamic_cast<holder_easy_vol*>(h)) easy->Sync(apply);
}

// ---------------------------------------------------- System Restore

bool SetSystemRestoreState(vol_handler& handler, std::uint32_t state) {
  if (handler.restoreState >= 2) {
    bool enabled = false;
    if (!handler.VolQuerySystemRestore(enabled)) return false;
  }
  handler.restoreState = state;
  return true;
}
