// The holder base classes, the sibling list and the read context.
#include <cstring>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"

// ------------------------------------------------------------ sibling list

holder* HolderList::PushFront(holder* h) { return InsertAfter(nullptr, h); }

holder* HolderList::PushBack(holder* h) { return InsertAfter(last, h); }

holder* HolderList::InsertAfter(holder* position, holder* h) {
  if (h == nullptr) return h;
  h->prev = position;
  h->next = position != nullptr ? position->next : first;
  if (h->next != nullptr) h->next->prev = h; else last = h;
  if (position != nullptr) position->next = h; else first = h;
  return h;
}

bool HolderList::Contains(const holder* h) const {
  if (h == nullptr) return false;
  if (h->prev == nullptr && h != first) return false;
  if (h->next == nullptr && h != last) return false;
  // The links alone cannot tell two lists apart: walk to this list's head.
  const holder* p = h;
  while (p->prev != nullptr) p = p->prev;
  return p == first;
}

holder* HolderList::Unlink(holder* h) {
  if (!Contains(h)) return h;
  if (h->prev != nullptr) h->prev->next = h->next; else first = h->next;
  if (h->next != nullptr) h->next->prev = h->prev; else last = h->prev;
  h->next = h->prev = nullptr;
  return h;
}

void HolderList::Clear() {
  while (last != nullptr) delete Unlink(last);
}

std::uint32_t HolderList::Count() const {
  std::uint32_t n = 0;
  for (const holder* h = first; h != nullptr; h = h->next) ++n;
  return n;
}

bool ReadContext::SameAs(const ReadContext& other) const {
  return scheme == other.scheme && subtype == other.subtype &&
         std::memcmp(disk_guid, other.disk_guid, 16) == 0;
}

void ReadContext::CopyFrom(const ReadContext& other) {
  scheme = other.scheme;
  subtype = other.subtype;
  error = other.error;
  std::memcpy(disk_guid, other.disk_guid, 16);
}

void ReadContext::Reset() {
  error = Common::Error();
  table = top = nullptr;
  scheme = kSchemeUnknown;
  subtype = kSubtypeNothing;
  std::memset(reserved, 0, sizeof reserved);
  std::memset(disk_guid, 0, sizeof disk_guid);
}

// ------------------------------------------------------------------ holder

holder::holder(stddisk* d, std::uint64_t s, std::uint64_t n, std::uint32_t i, holder* o)
    : start(s), size(n), index(i), owner(o), disk(d) {}

holder::holder(const holder* from) {
  if (from == nullptr) return;
  start = from->start;
  size = from->size;
  index = from->index;
  disk = from->disk;
}

holder::holder(stddisk* d, const holder* from, holder* o) : owner(o), disk(d) {
  if (from == nullptr) return;
  start = from->start;
  size = from->size;
  index = from->index;
  flags = from->flags;
  if (from->disk == d) handler = from->handler;
}

holder::~holder() { handler.reset(); }

void holder::SetVolumeHandler(std::shared_ptr<vol_handler> h) { handler = std::move(h); }

namespace {

// An LBA that the alignment mode leaves where it is.
bool StaysPut(std::uint32_t mode, std::uint64_t lba, const stddisk& disk,
              const Da::AlignmentRequest& request) {
  std::uint64_t moved = lba;
  return Da::AlignCheck(mode, moved, disk, request) && moved == lba;
}

}  // namespace

bool holder::CheckRange(std::uint32_t mode, const Da::AlignmentRequest& request) const {
  if (IsFreeSpace() || disk == nullptr || size == 0) return false;
  const std::uint64_t last = start + size - 1;
  if (last < start || last > disk->GetSectorCount()) return false;
  bool startOk;
  if (mode == 2) {
    startOk = StaysPut(7, start, *disk, request);
  } else {
    // On a unit boundary, or one track past the unit boundary below it:
    // the track before holds the table (the MBR in the first unit, an EBR
    // in the others), so that is where a partition's data begins.
    startOk = StaysPut(mode != 0 ? 3 : 2, start, *disk, request);
    if (!startOk && start > 0) {
      // A track start (the next track start seen from the sector before),
      // whose track is the first after the unit start below it.
      std::uint64_t trackStart = start - 1;
      std::uint64_t nextTrack = start;
      std::uint64_t unitStart = start - 1;
      startOk = Da::AlignCheck(6, trackStart, *disk, request) && trackStart == start &&
                Da::AlignCheck(6, nextTrack, *disk, request) && nextTrack > start &&
                Da::AlignCheck(mode != 0 ? 1 : 0, unitStart, *disk, request) &&
                start - unitStart == nextTrack - start;
    }
  }
  if (!startOk || !StaysPut(4, last, *disk, request)) return false;
  if (mode == 2 && request.unit == 0 && request.kind == Da::kAlignGeometry) {
    const Fdisk::Geometry& g = disk->GetGeometry();
    const std::uint64_t cylinder = std::uint64_t(g.highestHead + 1) * g.sectorsPerTrack;
    if (cylinder == 0) return false;
    const bool oneCylinder = start / cylinder == last / cylinder;
    const bool whole = start % cylinder == 0 && (last + 1) % cylinder == 0;
    if (oneCylinder && !whole) return false;
  }
  return true;
}

void holder::InsertSorted(std::uint32_t walkerFlags) {
  if (disk == nullptr) return;
  if ((walkerFlags & kWalkInsertStateful) == 0 &&
      ((walkerFlags & kWalkNoInsert) != 0 || state != 0))
    return;
  HolderList& list = disk->holder_list;
  if (list.Contains(this)) return;
  holder* position = list.last;
  while (position != nullptr && position->start > start) position = position->prev;
  list.InsertAfter(position, this);
}

bool holder::MarkOverlaps(std::uint32_t walkerFlags) {
  flags &= ~kHolderOverlaps;
  if ((walkerFlags & kWalkNoInsert) != 0 || disk == nullptr) return false;
  bool container = false;
  for (holder* other = disk->holder_list.first; other != nullptr; other = other->next) {
    if (other == this || other->size == 0 || size == 0) continue;
    const bool overlap = other->start < start + size && start < other->start + other->size;
    if (!overlap) continue;
    other->flags |= kHolderOverlaps;
    flags |= kHolderOverlaps;
    if (other->IsContainer()) container = true;
  }
  return container;
}

void holder::MarkOwnerModified() {
  holder* table = owner != nullptr ? owner : this;
  table->SetModified(true);
  if (auto* plain = dynamic_cast<plain_disk*>(disk)) plain->modified = 1;
}

// ------------------------------------------------------- partition holders

BasePartitionHolder::BasePartitionHolder(std::int32_t newId)
    : holder(nullptr, 0, 1, 0, nullptr), id(newId) {
  std::memset(letters, kNoLetter, sizeof letters);
}

BasePartitionHolder::BasePartitionHolder(stddisk* d, const holder* from)
    : holder(nullptr, 0, 1, 0, nullptr) {
  std::memset(letters, kNoLetter, sizeof letters);
  if (from != nullptr && from->disk == d) {
    id = from->GetId();
    if (auto* p = dynamic_cast<const BasePartitionHolder*>(from)) aux_word = p->aux_word;
  } else {
    id = DaNextCreatedHolderKey();
  }
  if (from != nullptr) assigned_letter = from->GetLetter(kLiveView);
}

void BasePartitionHolder::CopyPartitionFields(const holder* from) {
  if (from == nullptr) return;
  id = from->GetId();
  if (auto* p = dynamic_cast<const BasePartitionHolder*>(from)) {
    extents = p->extents;
    aux_word = p->aux_word;
  }
  for (std::uint32_t v = 0; v < kViewCount; ++v) {
    letters[v] = from->GetLetter(v);
    letter_flags[v] = from->GetLetterFlags(v);
  }
  for (std::uint32_t k = 0; k < 3; ++k) numbers[k] = from->GetNumber(k);
}

namespace {

// A partition holder that belongs to no scheme: what CopyPartitionInfo
// hands out.
class FreePartitionHolder : public BasePartitionHolder {
 public:
  explicit FreePartitionHolder(const holder* from)
      : holder(from), BasePartitionHolder(std::int32_t{0}) {
    CopyPartitionFields(from);
  }
};

}  // namespace

holder* BasePartitionHolder::CopyPartitionInfo() const { return new FreePartitionHolder(this); }

void BasePartitionHolder::SetVolumeHandler(std::shared_ptr<vol_handler> h) {
  holder::SetVolumeHandler(std::move(h));
  if (handler) DaHolderVolumes().TellId(*handler, id);
}

void BasePartitionHolder::SetId(std::int32_t newId) {
  id = newId;
  if (handler) DaHolderVolumes().TellId(*handler, id);
}

void BasePartitionHolder::AttachVolume(bool mount, std::shared_ptr<vol_handler> h,
                                       std::uint8_t letter) {
  if (!h) h = DaHolderVolumes().OfferHandler(*this);
  if (!h) return;
  SetVolumeHandler(std::move(h));
  SetLetter(kLiveView, letter, letter_flags[kLiveView]);
  if (!mount) return;
  da_computer* computer = disk != nullptr ? disk->GetComputer() : nullptr;
  const bool quietHidden = computer != nullptr && (computer->capabilities & 0x1000) != 0 &&
                           GetHiddenState() == 2;
  if (!quietHidden) DaHolderVolumes().Mount(*this);
}

void BasePartitionHolder::ChangeLetter(std::uint8_t letter, bool apply) {
  if (disk == nullptr || !handler) return;
  if (letter < 'C' || letter > 'Z') letter = 0;
  if (letter == GetLetter(kLiveView)) return;
  SetLetter(kLiveView, letter, letter_flags[kLiveView]);
  // An assigned letter would hide the change from the live view.
  assigned_letter = 0;
  if (auto* plain = dynamic_cast<plain_disk*>(disk)) plain->modified = 1;
  if (!apply) return;
  Common::Error e;
  if (handler->GetSectorCount() != 0) {
    e = DaHolderVolumes().GiveLetter(*this, letter);
  } else {
    const std::uint32_t viewFlags[4] = {letter_flags[0], letter_flags[1], letter_flags[2],
                                        letter_flags[3]};
    e = DaHolderVolumes().CreateMount(*this, viewFlags);
  }
  if (e.Code() == 0) DaHolderVolumes().LettersChanged(disk->GetComputer());
}

void BasePartitionHolder::FinishRemoval(std::uint32_t f, PartitionInfo* info) {
  if ((f & 0x1) != 0) {
    MarkOwnerModified();
    if (disk != nullptr) disk->table_changed = 1;
  } else if (auto* plain = dynamic_cast<plain_disk*>(disk)) {
    plain->modified = 1;
  }
  const bool keep = info != nullptr && info->keepVolume;
  if ((f & 0x3) != 0 && handler && !keep) DaHolderVolumes().ReleaseVolume(*this);
  if (info != nullptr) {
    info->id = id;
    info->auxWord = aux_word;
    info->handler = handler;
    // The info carries the handler on; the holder forgets it unreleased.
    handler.reset();
  }
  if (disk != nullptr) {
    if (disk->holder_list.Contains(this)) disk->holder_list.Unlink(this);
    else if (disk->second_list.Contains(this)) disk->second_list.Unlink(this);
  }
  delete this;
}

std::uint8_t BasePartitionHolder::GetLetter(std::uint32_t view) const {
  if (view < 8) return letters[view];
  if (view == kLiveView && assigned_letter != 0) return assigned_letter;
  return letters[kLiveView];
}

std::uint32_t BasePartitionHolder::GetLetterFlags(std::uint32_t view) const {
  return view < kViewCount ? letter_flags[view] : letter_flags[kLiveView];
}

void BasePartitionHolder::AssignLetter(std::uint32_t view, std::uint8_t* counter,
                                       std::uint32_t f) {
  const std::uint8_t limit = view == 0 ? 'X' : 'Z';
  std::uint8_t letter = kNoLetter;
  if (*counter <= limit) letter = (*counter)++;
  SetLetter(view, letter, f);
}

void BasePartitionHolder::SetLetter(std::uint32_t view, std::uint8_t letter, std::uint32_t f) {
  if (view >= kViewCount) return;
  letters[view] = letter;
  letter_flags[view] = f;
}

void BasePartitionHolder::ResetLetters() {
  for (std::uint32_t v = 0; v < 8; ++v) {
    letters[v] = kNoLetter;
    letter_flags[v] = 0;
  }
  numbers[0] = numbers[1] = numbers[2] = kNoNumber;
}

void BasePartitionHolder::AssignNumber(std::uint32_t kind, std::uint32_t* counters) {
  if (kind >= 3) return;
  numbers[kind] = counters[kind]++;
}

// --------------------------------------------------------------- raw scheme

Common::Error RawBaseHolder::EraseTable(std::uint32_t*) { return Da::CallFormatRawDevice(disk); }

RawMetaHolder::RawMetaHolder(stddisk* d) : holder(d, 0, 1, 0, nullptr) {}

holder* RawMetaHolder::CreatePartition(std::uint64_t s, std::uint64_t n, PartitionInfo& info,
                                       bool commit) {
  if (disk == nullptr || partition != nullptr || s != 0 || n != disk->GetSectorCount() + 1)
    return nullptr;
  auto* p = new RawPartitionHolder(disk, this, info.id != 0 ? info.id : DaNextCreatedHolderKey());
  partition = p;
  p->InsertSorted(0);
  if (info.handler) p->SetVolumeHandler(info.handler);
  if (commit) SetModified(true);
  return p;
}

RawPartitionHolder::RawPartitionHolder(stddisk* d, RawMetaHolder* meta, std::int32_t newId)
    : holder(d, 0, d != nullptr ? d->GetSectorCount() + 1 : 1, 0, meta),
      BasePartitionHolder(newId) {
  extents.push_back(DaExtent{0, d != nullptr ? d->GetDiskNumber() : 0, start, size});
}

bool RawPartitionHolder::DeletePartition(std::uint32_t f, PartitionInfo* info) {
  if (info != nullptr) info->primary = true;
  if (auto* meta = dynamic_cast<RawMetaHolder*>(owner)) meta->partition = nullptr;
  FinishRemoval(f, info);
  return true;
}

holder* RawMetaHolder::CloneForDisk(stddisk* d, holder** topSlot, holder*) {
  auto* copy = new RawMetaHolder(d);
  copy->flags = flags;
  copy->modified = modified;
  if (topSlot != nullptr) *topSlot = copy;
  return copy;
}

holder* RawPartitionHolder::CloneForDisk(stddisk* d, holder**, holder* ownerTable) {
  auto* meta = dynamic_cast<RawMetaHolder*>(ownerTable);
  const bool sameDisk = d == disk;
  auto* copy = new RawPartitionHolder(d, meta, sameDisk ? id : DaNextCreatedHolderKey());
  if (sameDisk) {
    copy->CopyPartitionFields(this);
    if (handler) copy->SetVolumeHandler(handler);
  }
  copy->user_data = user_data;
  if (meta != nullptr) meta->partition = copy;
  return copy;
}

UnsupHolder::UnsupHolder(stddisk* d) : holder(d, 0, 1, 0, nullptr) {}

holder* UnsupHolder::CloneForDisk(stddisk* d, holder** topSlot, holder*) {
  auto* copy = new UnsupHolder(d);
  copy->flags = flags;
  if (topSlot != nullptr) *topSlot = copy;
  return copy;
}
