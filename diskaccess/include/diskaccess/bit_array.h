// Packed bit arrays and their searches, shared by the resizer's block
// bitmaps and the ext driver's allocation bitmaps; and packed arrays of
// small integers.
//
// Bit i is bit i mod 8 (least significant first) of byte i / 8. A bit
// array's storage is always a whole number of 32-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"

namespace Da {

constexpr std::uint32_t kInvalidBitmapIndex = 0x70001;
constexpr std::uint32_t kResizerNotEnoughMemory = 0x70002;
constexpr std::uint32_t kBitNotFound = 0xFFFFFFFFu;

class BitArray {
 public:
  BitArray() = default;
  ~BitArray();
  BitArray(const BitArray&) = delete;
  BitArray& operator=(const BitArray&) = delete;

  // Bytes of storage for `bits` bits: 4 x ((bits - 1) / 32 + 1), none for 0.
  static std::uint32_t StorageSize(std::uint32_t bits);

  // Frees the storage, sets 0 bits, then allocates `bytes` (uninitialised).
  // A failed allocation leaves the array empty and throws.
  void Reallocate(std::uint32_t bytes);
  // `bits` bits, all clear, in at least `minimumBytes` of storage.
  void Resize(std::uint32_t bits, std::uint32_t minimumBytes = 0);
  void Assign(const BitArray& other);

  bool Get(std::uint32_t i) const { return data[i / 8] >> (i % 8) & 1; }
  void Set(std::uint32_t i) { data[i / 8] = static_cast<std::uint8_t>(data[i / 8] | 1u << (i % 8)); }

  std::uint32_t bitCount = 0;
  std::uint8_t* data = nullptr;
};

// The number of set bits of each byte value.
extern const std::uint8_t kSetBitTable[256];

// Position (0-7) of the n-th set bit of `byte`; the byte must have more
// than n set bits.
std::uint32_t NthBitInByte(std::uint8_t byte, std::uint32_t n);
// The n-th set bit (from 0) in [start, bound), or kBitNotFound.
std::uint32_t FindNthSetBit(const std::uint8_t* data, std::uint32_t start, std::uint32_t bound,
                            std::uint32_t n);
// The same for clear bits, every position from `bound` on counting as clear:
// when fewer than n + 1 lie below `bound`, bound plus the number still
// missing (kBitNotFound when that does not fit in 32 bits).
std::uint32_t FindNthClearBit(const std::uint8_t* data, std::uint32_t start, std::uint32_t bound,
                              std::uint32_t n);
// Clears the bits [first, end); first must not be above end.
void ClearBitRange(std::uint8_t* data, std::uint32_t first, std::uint32_t end);
// Throws 0x70001 "Internal error: invalid bitmap index".
[[noreturn]] void ThrowInvalidBitmapIndex();

// The index of the highest set bit (0 for 0 and 1).
std::uint32_t FloorLog2(std::uint32_t x);

// An array of small integers packed in as few bits each as the largest
// value needs.
class PackedArray {
 public:
  PackedArray() = default;
  ~PackedArray();
  PackedArray(const PackedArray&) = delete;
  PackedArray& operator=(const PackedArray&) = delete;

  // Bytes for `count` entries of `bits` bits: room to load a whole 32-bit
  // word at the last entry; throws 0x70002 when that exceeds 32 bits.
  static std::uint32_t ByteSize(std::uint32_t count, std::uint32_t bits);
  // `count` zero entries able to hold values up to `maximum`.
  void Init(std::uint32_t count, std::uint32_t maximum);
  void Reset();
  std::uint32_t Get(std::uint32_t i) const;
  void Put(std::uint32_t i, std::uint32_t value);

  std::uint32_t count = 0;
  std::uint8_t bitsPerEntry = 0;
  std::uint32_t mask = 0;
  std::uint32_t maxValue = 0;
  std::uint8_t* data = nullptr;
  std::uint32_t storage = 0;
};

}  // namespace Da
