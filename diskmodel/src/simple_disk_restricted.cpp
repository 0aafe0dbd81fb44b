// Access-controlled views.
#include "fdisk/simple_disk_restricted.h"

#include "fdisk/error.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x956254B6;
constexpr std::uint32_t kNoDiskFullLocation = 0xD7A2878D;
constexpr std::uint32_t kNoDiskSharedLocation = 0xD7A28792;
constexpr std::uint32_t kOfflineLocation = 0xD7A28796;
constexpr std::uint32_t kUnknownModeLocation = 0xD7A28798;
}  // namespace

SimpleDiskRestricted::SimpleDiskRestricted(SimpleDisk* inner, std::int32_t accessMode)
    : inner_(inner), accessMode_(accessMode) {
  if (inner != nullptr) {
    sectorSize_ = inner->GetSectorSize();
    lastSector_ = inner->GetSectorCount();
    geometry_ = inner->GetGeometry();
  }
}

SimpleDiskRestricted::~SimpleDiskRestricted() = default;

Common::Error SimpleDiskRestricted::Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                                       std::uint64_t count) {
  switch (accessMode_) {
    case kAccessFull:
    case kAccessShared:
      // A missing disk is reported like any other I/O failure: callers of
      // Io only look at its result.
      if (inner_ == nullptr) {
        return MakeError(accessMode_ == kAccessFull ? kNoDiskFullLocation : kNoDiskSharedLocation,
                         kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
      }
      return inner_->Io(op, sector, buffer, count);
    case kAccessOffline:
      return MakeError(kOfflineLocation, kModuleId, kErrOffline, Msg::kOffline);
    default:
      return MakeError(kUnknownModeLocation, kModuleId, kErrNotImplemented, Msg::kNotImplemented);
  }
}

}  // namespace Fdisk
