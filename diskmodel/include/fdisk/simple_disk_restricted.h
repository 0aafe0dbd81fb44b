// An access-controlled view over another sector device: every portion keeps
// one over its location's disk, and imported disks are seen through one.
#pragma once

#include <cstdint>

#include "fdisk/simple_disk.h"

namespace Fdisk {

// Access modes of the view.
constexpr std::int32_t kAccessFull = 0;
constexpr std::int32_t kAccessShared = 1;
constexpr std::int32_t kAccessOffline = 2;

class SimpleDiskRestricted : public SimpleDisk {
 public:
  // Copies the inner disk's sector size, last sector index and geometry
  // (sector size 0, index 0, 63 sectors per track and highest head 15 when
  // there is none). The inner disk is not owned.
  SimpleDiskRestricted(SimpleDisk* inner, std::int32_t accessMode);
  ~SimpleDiskRestricted() override;

  // Modes 0 and 1 forward the request unchanged (0x101C06 without an inner
  // disk), mode 2 answers 0x100403 (offline), other modes 0x100401.
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;

  SimpleDisk* Inner() const { return inner_; }
  std::int32_t AccessMode() const { return accessMode_; }

 private:
  SimpleDisk* inner_;
  std::int32_t accessMode_;
};

}  // namespace Fdisk
