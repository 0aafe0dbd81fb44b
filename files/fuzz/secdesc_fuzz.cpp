// Deserializing an entry's security data from untrusted bytes: it must never
// read outside them, must refuse what it cannot describe exactly (leaving
// the set as it was), and what it accepts must serialize back to the same
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "files/file_error.h"
#include "files/security_descriptor_set.h"

namespace {

// A set with one owner part (S-1-5-18), to see that a refusal keeps it.
const std::uint8_t kKnown[] = {
    0, 0, 0, 0,                                               // DACL: none
    0, 0, 0, 0,                                               // group: none
    32, 0, 0, 0,                                              // owner: 32 bytes
    1, 0, 0, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // header
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                      // S-1-5-18
    0, 0, 0, 0,                                               // SACL: none
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SecurityDescriptorSet set;
  if (!set.Deserialize(kKnown, sizeof kKnown).IsNull()) std::abort();

  const Common::Error error = set.Deserialize(data, size);
  std::unique_ptr<std::uint8_t[]> out;
  const std::size_t written = set.Serialize(out);
  if (error.IsNull()) {
    if (written != size || std::memcmp(out.get(), data, size) != 0) std::abort();
  } else {
    if (error.Code() != kFileCorrupted && error.Code() != kFileOutOfMemory) std::abort();
    if (written != sizeof kKnown || std::memcmp(out.get(), kKnown, written) != 0) std::abort();
  }

  // The descriptor check on its own, over the raw bytes.
  SecurityDescriptorSet::WellFormedDescriptor(data, size);
  return 0;
}
