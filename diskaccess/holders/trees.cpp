// A disk's working and saved partition trees: the working tree's holders
// are the disk's list, the saved tree keeps copies of its own; copying,
// clearing and discarding move holders between the two.
#include <cstring>
#include <map>
#include <vector>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"

namespace {

// Into `list` before the first holder that starts later.
void InsertByStart(HolderList& list, holder* h) {
  holder* position = list.last;
  while (position != nullptr && position->start > h->start) position = position->prev;
  list.InsertAfter(position, h);
}

// The walker's context follows the working tree's top holder; the scheme
// is the disk's, whichever tree is working.
void PointContextAtWorkingTree(stddisk& disk, std::uint32_t scheme, std::uint32_t subtype) {
  PartitionTree* working = disk.GetTree(0);
  if (working == nullptr) return;
  disk.read_context.scheme = scheme;
  disk.read_context.subtype = subtype;
  disk.read_context.table = nullptr;
  disk.read_context.top = working->top != nullptr ? working->top : working->table;
  disk.read_context.error = working->error;
  std::memcpy(disk.read_context.disk_guid, working->disk_guid, 16);
}

}  // namespace

HolderList* DaTreeHolders(stddisk* disk, std::uint32_t index) {
  if (disk == nullptr) return nullptr;
  if (index == 2) {
    PartitionTree* saved = disk->GetTree(1);
    index = saved != nullptr && saved->Valid() ? 1 : 0;
  }
  if (index == 0) return &disk->holder_list;
  if (index == 1) {
    PartitionTree* saved = disk->GetTree(1);
    return saved != nullptr ? &saved->holders : nullptr;
  }
  return nullptr;
}

void DaClearTree(stddisk* disk, std::uint32_t index) {
  if (disk == nullptr || index > 1) return;
  if (index == 0) {
    disk->holder_list.Clear();
    disk->read_context.Reset();
  }
  if (PartitionTree* tree = disk->GetTree(index)) tree->Clear();
}

void DaCopyTree(stddisk* disk, std::uint32_t target, std::uint32_t source) {
  if (disk == nullptr || target > 1 || source > 1 || target == source) return;
  PartitionTree* to = disk->GetTree(target);
  PartitionTree* from = disk->GetTree(source);
  HolderList* fromList = DaTreeHolders(disk, source);
  if (to == nullptr || from == nullptr || fromList == nullptr) return;
  const std::uint32_t scheme = disk->read_context.scheme;
  const std::uint32_t subtype = disk->read_context.subtype;
  DaClearTree(disk, target);
  HolderList* toList = DaTreeHolders(disk, target);
  to->CopyRecord(*from);

  // Owners first: a chain of extended boot records may run backwards on
  // the disk, so the list order alone does not put them first.
  std::map<const holder*, holder*> copies;
  std::vector<holder*> pending;
  for (holder* h = fromList->first; h != nullptr; h = h->next) pending.push_back(h);
  bool progress = true;
  while (!pending.empty() && progress) {
    progress = false;
    std::vector<holder*> later;
    for (holder* h : pending) {
      holder* ownerCopy = nullptr;
      if (h->owner != nullptr) {
        auto it = copies.find(h->owner);
        if (it == copies.end()) {
          later.push_back(h);
          continue;
        }
        ownerCopy = it->second;
        if (ownerCopy == nullptr) {
          // A holder its scheme cannot copy is left out, with what hangs on it.
          copies[h] = nullptr;
          progress = true;
          continue;
        }
      }
      progress = true;
      holder* topSlot = nullptr;
      holder* copy = h->CloneForDisk(disk, &topSlot, ownerCopy);
      copies[h] = copy;
      if (copy == nullptr) continue;
      copy->state = h->state;
      copy->scan_number = h->scan_number;
      copy->scratch = h->scratch;
      copy->reattach = h->reattach;
      InsertByStart(*toList, copy);
    }
    pending.swap(later);
  }
  auto copied = [&](holder* h) -> holder* {
    auto it = copies.find(h);
    return it != copies.end() ? it->second : nullptr;
  };
  to->table = copied(from->table);
  to->top = copied(from->top);
  if (target == 0) PointContextAtWorkingTree(*disk, scheme, subtype);
}

void DaDiscardTree(stddisk* disk) {
  if (disk == nullptr) return;
  PartitionTree* working = disk->GetTree(0);
  PartitionTree* saved = disk->GetTree(1);
  if (working == nullptr || saved == nullptr || !saved->Valid()) return;
  const std::uint32_t scheme = disk->read_context.scheme;
  const std::uint32_t subtype = disk->read_context.subtype;
  DaClearTree(disk, 0);
  working->CopyRecord(*saved);
  working->table = saved->table;
  working->top = saved->top;
  while (holder* h = saved->holders.first) disk->holder_list.PushBack(saved->holders.Unlink(h));
  saved->table = saved->top = nullptr;
  saved->Clear();
  PointContextAtWorkingTree(*disk, scheme, subtype);
}
