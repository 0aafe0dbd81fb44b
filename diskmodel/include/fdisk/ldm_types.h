// The least of the dynamic-disk subsystem (subsystem 6) that the disk model's
// named variables need: the value types of the keys "VolumeType" and
// "OpRequest". The dynamic-disk driver itself is
// specified and built elsewhere; it extends, never redefines, these types.
#pragma once

#include <cstdint>

namespace Fdisk {

// Layout of a dynamic volume (the dynamic-disk values; 0 invalid).
enum LdmVolType : int {
  kLdmVolInvalid = 0,
  kLdmVolSimple = 2,
  kLdmVolSpanned = 3,
  kLdmVolStriped = 4,
  kLdmVolMirrored = 5,
  kLdmVolRaid5 = 6,
  kLdmVolStripeSetWithParity = 7,  // NT4
  kLdmVolRaid01 = 8,
};

// One per-extent request of a dynamic-volume create or change, the element
// type of the named variable "OpRequest". The two trailing
// values are the dynamic-disk driver's; the volume-layout code always leaves them 0.
struct LdmOpRequest {
  std::uint32_t diskId = 0;
  std::uint64_t size = 0;  // sectors
  std::uint32_t plexIndex = 0;
  std::uint64_t value1 = 0;
  std::uint64_t value2 = 0;

  LdmOpRequest() = default;
};

inline bool operator==(const LdmOpRequest& a, const LdmOpRequest& b) {
  return a.diskId == b.diskId && a.size == b.size && a.plexIndex == b.plexIndex &&
         a.value1 == b.value1 && a.value2 == b.value2;
}
inline bool operator!=(const LdmOpRequest& a, const LdmOpRequest& b) { return !(a == b); }

}  // namespace Fdisk
