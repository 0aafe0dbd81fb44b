// Repair operations of a composite volume: copying one plex onto others and
// recomputing the parity of a parity plex, each a step at a time under the
// volume's range lock so that ordinary I/O goes on beside them.
#include <algorithm>

#include "fdisk/dm_repair.h"
#include "fdisk/dm_volume.h"

namespace Fdisk {
namespace DM {
namespace {
constexpr std::uint32_t kVolumeModule = 0x12D32C6F;
constexpr std::uint32_t kResyncSourceLocation = 0x115BD9F0;
constexpr std::uint32_t kResyncTargetLocation = 0x115BD9F9;
constexpr std::uint32_t kResyncNoIoLocation = 0x115BD9FA;
constexpr std::uint32_t kParityPlexLocation = 0x115BDA6B;

constexpr std::uint32_t kCopyBufferAlignment = 4096;

Common::Error InvalidPlex(std::uint32_t location) {
  return MakeError(location, kVolumeModule, kErrInvalidPlexId, Msg::kInvalidPlexId);
}
}  // namespace

Common::Error FastPlextorIO::Resync(std::uint32_t sourcePlex,
                                    const std::set<std::uint32_t>& targets,
                                    std::uint64_t length) {
  auto source = plexes_->find(sourcePlex);
  if (source == plexes_->end() || targets.count(sourcePlex) != 0) {
    return InvalidPlex(kResyncSourceLocation);
  }
  std::vector<Plex*> writeTo;
  for (std::uint32_t id : targets) {
    auto target = plexes_->find(id);
    if (target == plexes_->end()) return InvalidPlex(kResyncTargetLocation);
    writeTo.push_back(target->second.get());
  }
  if (length == 0) return Common::NoError;
  PlexIO* from = source->second->GetPlexIO();
  if (from == nullptr) {
    status_.Raise(kVolumeFailed);
    return MakeError(kResyncNoIoLocation, kVolumeModule, kErrNoHealthyPlex, Msg::kNoHealthyPlex);
  }

  try {
    AlignedBuffer buffer(std::uint32_t(kResyncStepBytes), kCopyBufferAlignment);
    const std::uint64_t step = kResyncStepBytes / kDmSectorBytes;
    std::uint64_t sector = 0;
    while (length > 0) {
      const std::uint64_t n = std::min(length, step);
      RegionLock::Scope range(lock_, sector, n);
      if (Common::Error e = from->Io(kIoRead, sector, buffer.Get(), n)) {
        status_.Raise(kVolumeFailed);
        return e;
      }
      Common::Error e = WritePlexes(writeTo, sector, buffer.Get(), n);
      if (e.Code() == kErrNoHealthyPlex) status_.Raise(kVolumeFailed);
      if (e.Code() == kErrRedundancyLost) status_.Raise(kVolumeDegraded);
      // Unlike ordinary writes, a target that missed the copy is reported:
      // the caller asked for exactly those plexes to be made equal.
      if (e) return e;
      sector += n;
      length -= n;
    }
  } catch (const Common::Error& e) {
    return e;
  }
  return Common::NoError;
}

Common::Error FastPlextorIO::RecalculateParity(std::uint32_t plexId, std::uint64_t length) {
  auto plex = plexes_->find(plexId);
  if (plex == plexes_->end()) return InvalidPlex(kParityPlexLocation);
  PlexIO* io = plex->second->GetPlexIO();
  if (io == nullptr) return Common::NoError;
  RecommendedGranularity granularity(length);
  io->Accept(granularity);
  const std::uint64_t g = granularity.granularity;
  // Nothing to step over: an empty length, or a parity plex too small to
  // have a stripe.
  if (g == 0) return Common::NoError;
  try {
    for (std::uint64_t region = 0; length - region >= g; region += g) {
      RegionLock::Scope range(lock_, region, g);
      RecalculaterParity recalculate(region);
      io->Accept(recalculate);  // a failing stripe shows in the plex status
    }
  } catch (const Common::Error& e) {
    return e;
  }
  return Common::NoError;
}

}  // namespace DM
}  // namespace Fdisk
