// A contiguous range of another disk shown as a disk of its own: the view
// MBR and GPT locations give each partition.
#pragma once

#include <cstdint>
#include <memory>

#include "fdisk/simple_disk.h"

namespace Fdisk {

class ContiguousDisk : public SimpleDisk {
 public:
  // Shows `count` sectors of `parent` from `first` on. The window ends at the
  // parent's end: a range reaching past the parent's last sector is cut
  // there, and one starting past it is empty. The parent is not owned and
  // must outlive the window.
  ContiguousDisk(SimpleDisk& parent, std::uint64_t first, std::uint64_t count);
  ~ContiguousDisk() override;

  // Sectors are window sectors; a request reaching past the window's end is
  // refused with 0x102001 and nothing reaches the parent.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  SimpleDisk& Parent() const { return *parent_; }
  std::uint64_t FirstSector() const { return first_; }
  std::uint64_t Count() const { return count_; }

 private:
  SimpleDisk* parent_;
  std::uint64_t first_;
  std::uint64_t count_;
};

// Windows are shared between the clones of a location.
using ContiguousDiskPtr = std::shared_ptr<ContiguousDisk>;

}  // namespace Fdisk
