// The boot manager's 8-byte boot-selection record of a disk (its first u32
// the first sector of the partition it starts, its fifth byte the BIOS
// number of the disk that partition lies on), saved around a partition
// change and cleared when the partition it names goes.
#pragma once

#include <cstdint>

class holder;
class stddisk;

class BootRecordGuard {
 public:
  // onDiskItself: the guard reads the record of the given disk, for
  // partitions of that disk as the first BIOS disk (kind 0x80); otherwise
  // the record of the computer's boot disk, for partitions of the given
  // disk under its own BIOS number.
  explicit BootRecordGuard(bool onDiskItself = false) : kind(onDiskItself ? 1 : 0) {}

  // Keeps the record when the disk has a boot manager, the record is of
  // this guard's kind and its sector lies in [start, start + size);
  // otherwise keeps nothing. With skip, a guard on the disk itself works
  // on no disk when that disk is the first BIOS disk.
  void Capture(stddisk* disk, std::uint64_t start, std::uint64_t size, bool skip);
  // Writes the kept record back into the disk's area and marks the disk's
  // table for writing (or hands it `image`), unless keep; then announces
  // the change. Nothing without a disk.
  void Restore(bool keep, std::uint8_t* image);
  // When a record was kept: clears it and writes the cleared record, so
  // that the boot manager names no partition that is gone.
  void RestoreIfCaptured(bool keep);
  bool Captured() const;

  // Whether the boot manager names the holder's partition.
  static bool HasRecord(const holder* h);
  // Both kinds of guard over the holder's range, each cleared where it
  // found a record.
  static void CaptureBoth(const holder* h, bool keep);

  std::uint8_t saved[8] = {};
  std::uint8_t changed = 0;
  std::uint8_t kind = 0;
  stddisk* disk = nullptr;
};
