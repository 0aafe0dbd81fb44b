// What the partition-table writers overwrite, kept while an operation runs,
// so that an operation whose writes fail half-way can put the disks back as
// they were.
//
// The table writers (MBR and GPT) announce every write with `Before`; while
// a journal is open the sectors about to be overwritten are read and kept.
// `Rollback` writes them back, newest first. A sector that cannot be read
// before the write is not kept (its write is then likely to fail as well).
// One journal is open at a time; the model runs on one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "fdisk/simple_disk.h"

namespace Fdisk {

class WriteJournal {
 public:
  // Opens the journal; while another one is open this one stays empty and
  // the outer one keeps the sectors.
  WriteJournal();
  // Closes the journal; nothing is written back.
  ~WriteJournal();
  WriteJournal(const WriteJournal&) = delete;
  WriteJournal& operator=(const WriteJournal&) = delete;

  // Writes every kept sector back, newest first, and forgets them. Write
  // failures are skipped: the rest is still put back.
  void Rollback();

  // Called by a writer before it writes `count` sectors at `lba` of `disk`.
  static void Before(SimpleDisk& disk, std::uint64_t lba, std::uint64_t count);

 private:
  struct Saved {
    SimpleDisk* disk;
    std::uint64_t lba;
    std::uint64_t count;
    std::vector<std::uint8_t> bytes;
  };
  bool active_ = false;
  std::vector<Saved> saved_;
};

}  // namespace Fdisk
