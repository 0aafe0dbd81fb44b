#include "diskaccess/bit_array.h"

#include <cstring>
#include <new>

#include "foundation/byteorder.h"

namespace Da {
namespace {

constexpr std::uint32_t kModuleId = 0x5A0110B1;

[[noreturn]] void ThrowNotEnoughMemory() {
  throw Common::Error(0x00B10001, kModuleId, kResizerNotEnoughMemory, "Not enough memory");
}

std::uint8_t* AllocateBytes(std::uint32_t bytes) {
  auto* p = new (std::nothrow) std::uint8_t[bytes];
  if (!p) ThrowNotEnoughMemory();
  return p;
}

constexpr std::uint8_t PopCount(unsigned v) {
  return static_cast<std::uint8_t>((v & 1) + (v >> 1 & 1) + (v >> 2 & 1) + (v >> 3 & 1) +
                                   (v >> 4 & 1) + (v >> 5 & 1) + (v >> 6 & 1) + (v >> 7 & 1));
}

}  // namespace

#define PK_ROW(b) PopCount(b + 0), PopCount(b + 1), PopCount(b + 2), PopCount(b + 3), \
                  PopCount(b + 4), PopCount(b + 5), PopCount(b + 6), PopCount(b + 7)
#define PK_BLOCK(b) PK_ROW(b), PK_ROW(b + 8), PK_ROW(b + 16), PK_ROW(b + 24)
const std::uint8_t kSetBitTable[256] = {PK_BLOCK(0),   PK_BLOCK(32),  PK_BLOCK(64),
                                        PK_BLOCK(96),  PK_BLOCK(128), PK_BLOCK(160),
                                        PK_BLOCK(192), PK_BLOCK(224)};
#undef PK_BLOCK
#undef PK_ROW

// ---------------------------------------------------------------------------
// Bit arrays

BitArray::~BitArray() { delete[] data; }

std::uint32_t BitArray::StorageSize(std::uint32_t bits) {
  return bits == 0 ? 0 : 4 * ((bits - 1) / 32 + 1);
}

void BitArray::Reallocate(std::uint32_t bytes) {
  delete[] data;
  data = nullptr;
  bitCount = 0;
  if (bytes) data = AllocateBytes(bytes);
}

void BitArray::Resize(std::uint32_t bits, std::uint32_t minimumBytes) {
  std::uint32_t size = StorageSize(bits);
  Reallocate(size > minimumBytes ? size : minimumBytes);
  if (size) std::memset(data, 0, size);
  bitCount = bits;
}

void BitArray::Assign(const BitArray& other) {
  if (&other == this) return;
  std::uint32_t size = StorageSize(other.bitCount);
  Reallocate(size);
  if (size) std::memcpy(data, other.data, size);
  bitCount = other.bitCount;
}

// ---------------------------------------------------------------------------
// Searches

std::uint32_t NthBitInByte(std::uint8_t byte, std::uint32_t n) {
  for (std::uint32_t bit = 0; bit < 8; ++bit) {
    if (byte >> bit & 1) {
      if (n == 0) return bit;
      --n;
    }
  }
  return 8;  // the caller broke its promise; beyond the byte
}

namespace {

// The n-th set bit of the (possibly complemented) bytes in [start, bound),
// searching whole bytes; `found` tells whether it was there, otherwise `n`
// is reduced by the set bits seen.
std::uint32_t SearchBytes(const std::uint8_t* data, std::uint32_t start, std::uint32_t bound,
                          std::uint32_t& n, bool complement, bool& found) {
  found = false;
  if (start % 8) {
    const std::uint32_t shift = start % 8;
    std::uint8_t byte = data[start / 8];
    if (complement) byte = static_cast<std::uint8_t>(~byte);
    // Only the bits of this byte at or above `start`: what a shift brings
    // in from above belongs to no position of this byte.
    byte = static_cast<std::uint8_t>((byte >> shift) & (0xFFu >> shift));
    if (kSetBitTable[byte] > n) {
      found = true;
      return start + NthBitInByte(byte, n);
    }
    n -= kSetBitTable[byte];
    start = (start / 8 + 1) * 8;
  }
  while (start < bound) {
    std::uint8_t byte = data[start / 8];
    if (complement) byte = static_cast<std::uint8_t>(~byte);
    if (kSetBitTable[byte] > n) {
      found = true;
      return start + NthBitInByte(byte, n);
    }
    n -= kSetBitTable[byte];
    start += 8;
  }
  return start;
}

}  // namespace

std::uint32_t FindNthSetBit(const std::uint8_t* data, std::uint32_t start, std::uint32_t bound,
                            std::uint32_t n) {
  if (start >= bound) return kBitNotFound;
  bool found;
  std::uint32_t at = SearchBytes(data, start, bound, n, false, found);
  return found && at < bound ? at : kBitNotFound;
}

std::uint32_t FindNthClearBit(const std::uint8_t* data, std::uint32_t start, std::uint32_t bound,
                              std::uint32_t n) {
  const std::uint32_t full = bound / 8 * 8;
  if (start < full) {
    bool found;
    std::uint32_t at = SearchBytes(data, start, full, n, true, found);
    if (found) return at;
    start = at;
  }
  if (start < bound) {
    std::uint8_t byte = static_cast<std::uint8_t>(~data[start / 8]);
    byte = static_cast<std::uint8_t>(byte >> (start % 8));
    byte = static_cast<std::uint8_t>(byte & ((1u << (bound - start)) - 1));
    if (kSetBitTable[byte] > n) return start + NthBitInByte(byte, n);
    n -= kSetBitTable[byte];
    start = bound;
  }
  std::uint64_t result = std::uint64_t(start) + n;
  return result >= kBitNotFound ? kBitNotFound : static_cast<std::uint32_t>(result);
}

void ClearBitRange(std::uint8_t* data, std::uint32_t first, std::uint32_t end) {
  while (first < end && first % 8) {
    data[first / 8] = static_cast<std::uint8_t>(data[first / 8] & ~(1u << (first % 8)));
    ++first;
  }
  if (end - first >= 8) {
    std::uint32_t bytes = (end - first) / 8;
    std::memset(data + first / 8, 0, bytes);
    first += bytes * 8;
  }
  while (first < end) {
    data[first / 8] = static_cast<std::uint8_t>(data[first / 8] & ~(1u << (first % 8)));
    ++first;
  }
}

void ThrowInvalidBitmapIndex() {
  throw Common::Error(0x00B10002, kModuleId, kInvalidBitmapIndex,
                      "Internal error: invalid bitmap index");
}

std::uint32_t FloorLog2(std::uint32_t x) {
  std::uint32_t result = 0;
  for (std::uint32_t half : {16u, 8u, 4u, 2u, 1u}) {
    if (x >> half) {
      x >>= half;
      result += half;
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// Packed arrays

PackedArray::~PackedArray() { delete[] data; }

std::uint32_t PackedArray::ByteSize(std::uint32_t count, std::uint32_t bits) {
  if (count == 0 || bits == 0) return 0;
  std::uint64_t size = (std::uint64_t(count - 1) * bits / 8 + 8) / 4 * 4;
  if (size > 0xFFFFFFFFu) ThrowNotEnoughMemory();
  return static_cast<std::uint32_t>(size);
}

void PackedArray::Reset() {
  delete[] data;
  data = nullptr;
  count = bitsPerEntry = 0;
  mask = maxValue = storage = 0;
}

void PackedArray::Init(std::uint32_t newCount, std::uint32_t maximum) {
  if (newCount == 0 || maximum == 0) {
    Reset();
    count = newCount;
    return;
  }
  std::uint32_t bits = FloorLog2(maximum) + 1;
  std::uint32_t size = ByteSize(newCount, bits);
  if (newCount != count || bits != bitsPerEntry || !data) {
    delete[] data;
    data = nullptr;
    storage = 0;
    data = AllocateBytes(size);
    storage = size;
    count = newCount;
    bitsPerEntry = static_cast<std::uint8_t>(bits);
    mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  }
  maxValue = maximum;
  std::memset(data, 0, storage);
}

std::uint32_t PackedArray::Get(std::uint32_t i) const {
  if (!data || i >= count) return 0;
  std::uint64_t bit = std::uint64_t(i) * bitsPerEntry;
  std::uint64_t word = 0;
  std::uint64_t at = bit / 8;
  for (std::uint32_t k = 0; k < 8 && at + k < storage; ++k)
    word |= std::uint64_t(data[at + k]) << (8 * k);
  return static_cast<std::uint32_t>(word >> (bit % 8)) & mask;
}

void PackedArray::Put(std::uint32_t i, std::uint32_t value) {
  if (!data || i >= count) ThrowInvalidBitmapIndex();
  std::uint64_t bit = std::uint64_t(i) * bitsPerEntry;
  for (std::uint32_t k = 0; k < bitsPerEntry; ++k, ++bit) {
    std::uint8_t& byte = data[bit / 8];
    if (value >> k & 1)
      byte = static_cast<std::uint8_t>(byte | 1u << (bit % 8));
    else
      byte = static_cast<std::uint8_t>(byte & ~(1u << (bit % 8)));
  }
}

}  // namespace Da
