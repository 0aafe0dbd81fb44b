// Free functions over every computer, disk and holder of the layer: the
// lookups, the free-space holders of a disk, the partition listing and the
// choice of drive letters.
#pragma once

#include <cstdint>

#include "diskaccess/da_state.h"
#include "diskaccess/objects.h"

class holder;
struct HolderList;

// ------------------------------------------------------------ lookups

// The computer with that number, or null.
da_computer* DaFindComputer(std::uint32_t number);
// The disk with that drive number; null for number 0 or a null computer.
stddisk* DaFindDisk(da_computer* computer, std::uint32_t driveNumber);
// The disk, over every computer, whose key (its id) is the given one; null
// for key 0.
stddisk* DaFindDiskByKey(std::uint32_t key);
// The next disk in list order over all computers (the first for null).
stddisk* DaNextDiskOverall(stddisk* disk);
// The first disk of the computer whose BIOS number is the given one.
stddisk* DaFindDiskByBiosNumber(da_computer* computer, std::uint8_t number);
// The computer's boot disk (BIOS number 0x80) when the disk has a BIOS
// number, else null.
stddisk* DaFindBootDisk(stddisk* disk);
// The first holder of the list with that id.
holder* DaFindHolderById(std::int32_t id, const HolderList* list);
// Whether another disk of the same computer carries that signature.
bool DaIsSignatureTaken(std::uint32_t signature, const stddisk* disk);
// A random signature no other disk of the computer carries (never 0).
bool DaNewDiskSignature(const stddisk* disk, std::uint32_t& signature);
// Cylinders (at most 1023) x heads x sectors per track, at most the last
// sector's index.
std::uint64_t DaChsLimitSectors(stddisk* disk);
bool DaHasLargeGeometry(stddisk* disk);

// Whether the disk's working and saved trees hold the same holders in the
// same order: start, size, type and whether free space; false for a disk
// without both trees.
bool DaTreesEqual(stddisk* disk);

// --------------------------------------------------------- free space

// The last sector free space may reach on the disk: the last sector, or for
// a disk whose table counts sectors in 32 bits the last one such a count
// can reach.
std::uint64_t DaFreeSpaceEnd(stddisk* disk);
// The disk's free-space holders rebuilt: the old ones go, every gap between
// the disk's tables and partitions up to DaFreeSpaceEnd that can take a
// partition of 1 MiB becomes one holder, in start order. A holder begins at
// the gap's first 1 MiB boundary, except the first gap of a GPT disk, which
// begins at the table's first usable sector. Only
// disks with an MBR or GPT table get free space. Returns the number of
// free-space holders.
std::uint32_t DaRebuildFreeSpace(stddisk* disk);

// ---------------------------------------------------- partition listing

// Fills `result` with the holders the query selects, in its order (sort
// kinds 1 to 4; any other kind only counts them).
void DaListPartitions(DaPartitionList& result, const DaPartitionQuery& query);

// ------------------------------------------------------ drive letters

// Letter masks: bit 0 for C: up to bit 23 for Z:, a set bit a free letter.
// 'C' + the lowest free letter's bit, or 0.
std::uint8_t LowestFreeLetter(std::uint32_t mask);
// True when the mask is not 0, the letter (a-z folded) is C to Z and its
// bit is clear.
bool IsLetterTaken(std::uint32_t mask, std::uint8_t letter);
// 0 for an empty mask; the folded letter unless it is taken, then the
// lowest free one.
std::uint8_t ChooseLetter(std::uint32_t mask, std::uint8_t letter);

// ------------------------------------------------------- disk speed

// Speed words of a disk up to 1000 mean "not measured"; the
// volume-information pass marks a measurement due with 1001.
constexpr std::uint32_t kDiskSpeedDue = 1001;
constexpr std::uint32_t kDiskSpeedNoBuffer = 1002;
// Reads chunks of 256 KiB at random places for a little over half a second
// and keeps the bytes per second in the disk's speed word (never one of the
// marker values). False only for a null disk.
bool DaMeasureDiskSpeed(stddisk* disk);
