// Disk order: by bus address (where the scan places a new disk) and by
// firmware number (the lists that drive numbering and drive letters, and
// the boot disk at their head). Only usable disks take part.
#pragma once

#include <cstdint>
#include <list>

class da_computer;
class stddisk;

// Nodes own nothing: the disks belong to their computer.
using DiskOrderList = std::list<stddisk*>;
using DiskLessFn = bool (*)(const stddisk* a, const stddisk* b, bool busFlag);

std::uint32_t BusRank(bool busFlag, const stddisk& disk);
bool DiskLess(const stddisk* a, const stddisk* b, bool busFlag);
bool BiosNumberLess(const stddisk* a, const stddisk* b, bool busFlag = false);
bool BootOrderLess(const stddisk* a, const stddisk* b, bool busFlag);

void InsertDisksSorted(const da_computer& computer, DiskOrderList& list, bool numberedOnly,
                       DiskLessFn less);
void AppendDiskList(const DiskOrderList& source, DiskOrderList& destination);
void CollectNumberedDisks(DiskOrderList& list, const da_computer& computer);
void BuildFirmwareOrderList(DiskOrderList& list, const da_computer& computer,
                            const DiskOrderList& extra);
void BuildBusOrderList(DiskOrderList& list, const da_computer& computer,
                       const DiskOrderList& extra);
void FreeDiskOrderList(DiskOrderList& list);

// The disk the firmware starts from: the head of the firmware order.
stddisk* DaBootDisk(const da_computer& computer);
// Where the scan puts a new disk: after the last disk (walking back) that
// is less than or equal to it by bus address; at the front when none is.
stddisk* DaBusPredecessor(const da_computer& computer, const stddisk& disk);
