// A boot entry's value: parsed, written back, and the written form must
// parse to the same nodes and write to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "diskaccess/uefi_boot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Uefi::LoadOptionsImpl options;
  Uefi::ByteReader reader{data, size};
  if (options.Parse(reader).Code() != 0) return 0;
  std::vector<std::uint8_t> first;
  if (options.Serialize(first).Code() != 0) return 0;
  Uefi::LoadOptionsImpl again;
  Uefi::ByteReader second{first.data(), first.size()};
  if (again.Parse(second).Code() != 0 || second.left != 0) std::abort();
  if (again.Nodes().size() != options.Nodes().size()) std::abort();
  std::vector<std::uint8_t> twice;
  if (again.Serialize(twice).Code() != 0 || twice != first) std::abort();
  return 0;
}
