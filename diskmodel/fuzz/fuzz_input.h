// What the disk-model fuzz targets share: numbers read from the input, and
// model operations whose refusals (thrown errors) are an answer, not a find.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace FuzzInput {

// The little-endian number in the `bytes` bytes at p.
inline std::uint64_t Le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// Runs f; an error it throws is the model refusing the input.
template <class F>
void Try(F&& f) {
  try {
    f();
  } catch (const Common::Error&) {
  }
}

}  // namespace FuzzInput
