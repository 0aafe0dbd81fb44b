// The VBLK record codec on records from outside: decoding must stay inside
// the record's slots, and whatever decodes must encode and decode again to
// the same record.
//
// Input: the record's slots (128 bytes each, at most 16; a short last slot
// is padded with zeros).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ldm/record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t slots = size / 128 + (size % 128 ? 1 : 0);
  if (slots > 16) return 0;
  Ldm::LdmRecord record(static_cast<std::uint32_t>(slots));
  std::memcpy(record.Packed().data(), data, size);
  if (!record.Unpack()) return 0;
  Ldm::LdmRecord copy = record;
  copy.SetSlotCount(copy.GetPackedVblkCount());
  if (!copy.Pack()) std::abort();
  Ldm::LdmRecord again(copy.SlotCount());
  again.Packed() = copy.Packed();
  if (!again.Unpack()) std::abort();
  if (again.rid != record.rid || again.name != record.name || again.type != record.type ||
      again.volSize != record.volSize || again.start != record.start ||
      again.size != record.size || again.stripeSiz != record.stripeSiz ||
      again.numCol != record.numCol || again.guidText != record.guidText) {
    std::abort();
  }
  return 0;
}
