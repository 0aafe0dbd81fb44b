// Disk order by bus address and by firmware number.
#include "diskaccess/disk_order.h"

#include "diskaccess/objects.h"

namespace {

bool Numbered(const stddisk* d) { return d->has_bios_number != 0; }
bool BusFlag(const da_computer& c) { return (c.capabilities & kCapLibraryMode0) != 0; }

}  // namespace

std::uint32_t BusRank(bool busFlag, const stddisk& disk) {
  switch (disk.interface_type) {
    case 1: return busFlag ? 2 : 0;
    case 3: return busFlag ? 0 : 1;
    case 8: return busFlag ? 1 : 2;
    case 4: return 3;
    case 7: return 4;
    default: return 5;
  }
}

bool DiskLess(const stddisk* a, const stddisk* b, bool busFlag) {
  const std::uint32_t ra = BusRank(busFlag, *a), rb = BusRank(busFlag, *b);
  if (ra != rb) return ra < rb;
  if (a->host != b->host) return a->host < b->host;
  if (a->bus != b->bus) return a->bus < b->bus;
  return a->target <= b->target;
}

bool BiosNumberLess(const stddisk* a, const stddisk* b, bool) {
  return a->bios_number < b->bios_number;
}

bool BootOrderLess(const stddisk* a, const stddisk* b, bool busFlag) {
  if (Numbered(a) != Numbered(b)) return Numbered(a);
  if (Numbered(a)) return a->bios_number < b->bios_number;
  return DiskLess(a, b, busFlag);
}

void InsertDisksSorted(const da_computer& computer, DiskOrderList& list, bool numberedOnly,
                       DiskLessFn less) {
  const bool flag = BusFlag(computer);
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!d->usable || Numbered(d) != numberedOnly) continue;
    auto at = list.begin();
    while (at != list.end() && !less(d, *at, flag)) ++at;
    list.insert(at, d);
  }
}

void AppendDiskList(const DiskOrderList& source, DiskOrderList& destination) {
  destination.insert(destination.end(), source.begin(), source.end());
}

void CollectNumberedDisks(DiskOrderList& list, const da_computer& computer) {
  if (!BusFlag(computer)) {
    InsertDisksSorted(computer, list, true, BiosNumberLess);
    return;
  }
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if (!d->usable) continue;
    if (!Numbered(d)) break;
    list.push_back(d);
  }
}

void BuildFirmwareOrderList(DiskOrderList& list, const da_computer& computer,
                            const DiskOrderList& extra) {
  if (BusFlag(computer)) {
    for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next)
      if (d->usable) list.push_back(d);
    return;
  }
  AppendDiskList(extra, list);
  InsertDisksSorted(computer, list, false, BootOrderLess);
}

void BuildBusOrderList(DiskOrderList& list, const da_computer& computer,
                       const DiskOrderList& extra) {
  AppendDiskList(extra, list);
  if (BusFlag(computer)) {
    InsertDisksSorted(computer, list, false, BootOrderLess);
    return;
  }
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next)
    if (d->usable && !Numbered(d)) list.push_back(d);
}

void FreeDiskOrderList(DiskOrderList& list) { list.clear(); }

stddisk* DaBootDisk(const da_computer& computer) {
  DiskOrderList numbered, order;
  CollectNumberedDisks(numbered, computer);
  BuildFirmwareOrderList(order, computer, numbered);
  return order.empty() ? nullptr : order.front();
}

stddisk* DaBusPredecessor(const da_computer& computer, const stddisk& disk) {
  for (stddisk* d = computer.lastDisk; d != nullptr; d = d->prev) {
    if (d == &disk || d->IsEasyVolumeDisk()) continue;
    if (DiskLess(d, &disk, false)) return d;
  }
  return nullptr;
}
