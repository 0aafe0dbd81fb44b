// The plex visitors behind the volume's repair operations
// (`FastPlextorIO::Resync`, `FastPlextorIO::RecalculateParity`).
#pragma once

#include <cstdint>

#include "fdisk/dm_io.h"
#include "fdisk/dm_raid.h"

namespace Fdisk {
namespace DM {

// The unit in which parity is recalculated: one stripe's data for a parity
// plex, the whole length for any other.
class RecommendedGranularity : public PlexIoVisitor {
 public:
  explicit RecommendedGranularity(std::uint64_t length) : length(length), granularity(length) {}
  void Visit(Raid5PlexIO& io) override { Take(io); }
  void Visit(Raid4PlexIO& io) override { Take(io); }

  std::uint64_t length;
  std::uint64_t granularity;
  bool found = false;

 private:
  void Take(RaidParityBase& io) {
    granularity = io.StripeDataSize();
    found = true;
  }
};

// Recomputes the parity of the stripe holding `sector` of a parity plex;
// does nothing to any other plex.
class RecalculaterParity : public PlexIoVisitor {
 public:
  explicit RecalculaterParity(std::uint64_t sector) : sector(sector) {}
  void Visit(Raid5PlexIO& io) override { error = io.RecalculateStripe(sector); }
  void Visit(Raid4PlexIO& io) override { error = io.RecalculateStripe(sector); }

  std::uint64_t sector;
  Common::Error error;
};

}  // namespace DM
}  // namespace Fdisk
