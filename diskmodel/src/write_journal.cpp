// The journal of overwritten table sectors.
#include "fdisk/write_journal.h"

namespace Fdisk {
namespace {
WriteJournal* g_open = nullptr;
}  // namespace

WriteJournal::WriteJournal() {
  if (g_open == nullptr) {
    g_open = this;
    active_ = true;
  }
}

WriteJournal::~WriteJournal() {
  if (active_) g_open = nullptr;
}

void WriteJournal::Rollback() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    it->disk->Io(kIoWrite, it->lba, it->bytes.data(), it->count);
  }
  saved_.clear();
}

void WriteJournal::Before(SimpleDisk& disk, std::uint64_t lba, std::uint64_t count) {
  if (g_open == nullptr || count == 0) return;
  const std::uint64_t bytes = count * disk.GetSectorSize();
  // The table writers write a few sectors at a time; anything larger than
  // an entry array is not theirs to journal.
  if (bytes == 0 || bytes > (std::uint64_t(64) << 20)) return;
  Saved saved{&disk, lba, count, std::vector<std::uint8_t>(std::size_t(bytes))};
  if (disk.Io(kIoRead, lba, saved.bytes.data(), count)) return;
  g_open->saved_.push_back(std::move(saved));
}

}  // namespace Fdisk
