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

bool RawPartitionHolder::DeletePartition(std::uint32_t, PartitionInfo* info) {
  if (info != nullptr) {
    info->id = id;
    info->primary = true;
    info->handler = handler;
  }
  if (auto* meta = dynamic_cast<RawMetaHolder*>(owner)) meta->partition = nullptr;
  if (disk != nullptr) disk->holder_list.Unlink(this);
  delete this;
  return true;
}

UnsupHolder::UnsupHolder(stddisk* d) : holder(d, 0, 1, 0, nullptr) {}
