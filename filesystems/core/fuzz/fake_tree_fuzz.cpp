// The stored form of the in-memory test driver's tree, which the fsimage
// tool reads back from image files.
#include <cstddef>
#include <cstdint>

#include "fake_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::map<std::uint32_t, fstest::FakeDriver::Node> nodes;
  std::uint32_t next = 0;
  if (fstest::FakeDriver::Parse(data, size, nodes, next)) {
    auto again = fstest::FakeDriver::Serialize(nodes, next);
    std::map<std::uint32_t, fstest::FakeDriver::Node> copy;
    std::uint32_t next2 = 0;
    if (!fstest::FakeDriver::Parse(again.data(), again.size(), copy, next2) || next2 != next ||
        copy.size() != nodes.size())
      __builtin_trap();
  }
  return 0;
}
