// Byte-order access, checked views of a byte buffer and sector arithmetic.
//
// Every on-disk format of the system (ZIP, the message catalog, MBR and GPT,
// the dynamic-disk database, FAT, ext, NTFS, HFS+) reads its fields through
// these, so that a field is decoded the same way on every host and an
// offset taken from disk is checked in one place before it is used.
//
// The raw loads and stores take a pointer and trust the caller for the
// length; ByteView and MutableByteView check every access against the
// buffer they were made over and answer false (or 0) instead of reading
// outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace Common {

// ---- raw loads and stores -------------------------------------------------

inline std::uint16_t LoadLe16(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint16_t(p[0] | p[1] << 8);
}
inline std::uint32_t LoadLe32(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
inline std::uint64_t LoadLe64(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint64_t(LoadLe32(p)) | std::uint64_t(LoadLe32(p + 4)) << 32;
}
inline std::uint16_t LoadBe16(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint16_t(p[0] << 8 | p[1]);
}
inline std::uint32_t LoadBe32(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
         std::uint32_t(p[3]);
}
inline std::uint64_t LoadBe64(const void* at) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(at);
  return std::uint64_t(LoadBe32(p)) << 32 | std::uint64_t(LoadBe32(p + 4));
}

inline void StoreLe16(void* at, std::uint16_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline void StoreLe32(void* at, std::uint32_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void StoreLe64(void* at, std::uint64_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void StoreBe16(void* at, std::uint16_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  p[0] = std::uint8_t(v >> 8);
  p[1] = std::uint8_t(v);
}
inline void StoreBe32(void* at, std::uint32_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * (3 - i)));
}
inline void StoreBe64(void* at, std::uint64_t v) noexcept {
  auto* p = static_cast<std::uint8_t*>(at);
  for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * (7 - i)));
}

// ---- checked arithmetic ---------------------------------------------------

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// without overflow whatever the three values are.
constexpr bool RangeInside(std::uint64_t offset, std::uint64_t length,
                           std::uint64_t size) noexcept {
  return offset <= size && length <= size - offset;
}

// a + b into *out; false (and *out untouched) on overflow.
template <class T>
constexpr bool CheckedAdd(T a, T b, T* out) noexcept {
  static_assert(std::numeric_limits<T>::is_integer && !std::numeric_limits<T>::is_signed);
  if (a > std::numeric_limits<T>::max() - b) return false;
  *out = a + b;
  return true;
}

// a * b into *out; false (and *out untouched) on overflow.
template <class T>
constexpr bool CheckedMul(T a, T b, T* out) noexcept {
  static_assert(std::numeric_limits<T>::is_integer && !std::numeric_limits<T>::is_signed);
  if (a != 0 && b > std::numeric_limits<T>::max() / a) return false;
  *out = a * b;
  return true;
}

// ---- sector arithmetic ----------------------------------------------------

// Whole units of `unit` bytes needed to hold `bytes` (unit > 0).
constexpr std::uint64_t UnitsFor(std::uint64_t bytes, std::uint64_t unit) noexcept {
  return bytes / unit + (bytes % unit != 0 ? 1 : 0);
}

// Sector `sector` as a byte offset; false on overflow.
constexpr bool SectorToByte(std::uint64_t sector, std::uint32_t sectorSize,
                            std::uint64_t* out) noexcept {
  return CheckedMul<std::uint64_t>(sector, sectorSize, out);
}

// True when `v` is a power of two (0 is not).
constexpr bool IsPowerOfTwo(std::uint64_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }

// ---- checked views --------------------------------------------------------

// A read-only view of a byte buffer. Every accessor checks its range; a
// field outside the buffer reads as 0 through the plain getters, and the
// Get* forms say whether it was inside.
class ByteView {
 public:
  ByteView() noexcept = default;
  ByteView(const void* data, std::size_t size) noexcept
      : data_(static_cast<const std::uint8_t*>(data)), size_(data ? size : 0) {}

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool Has(std::uint64_t offset, std::uint64_t length) const noexcept {
    return RangeInside(offset, length, size_);
  }

  // The bytes [offset, offset + length) as a view; an empty view when they
  // are not all inside.
  ByteView Sub(std::uint64_t offset, std::uint64_t length) const noexcept {
    return Has(offset, length) ? ByteView(data_ + offset, std::size_t(length)) : ByteView();
  }
  // Pointer to `length` bytes at `offset`, or null when not inside.
  const std::uint8_t* At(std::uint64_t offset, std::uint64_t length) const noexcept {
    return Has(offset, length) ? data_ + offset : nullptr;
  }

  bool GetU8(std::uint64_t o, std::uint8_t* v) const noexcept { return Get(o, v, 1, Byte); }
  bool GetLe16(std::uint64_t o, std::uint16_t* v) const noexcept { return Get(o, v, 2, LoadLe16); }
  bool GetLe32(std::uint64_t o, std::uint32_t* v) const noexcept { return Get(o, v, 4, LoadLe32); }
  bool GetLe64(std::uint64_t o, std::uint64_t* v) const noexcept { return Get(o, v, 8, LoadLe64); }
  bool GetBe16(std::uint64_t o, std::uint16_t* v) const noexcept { return Get(o, v, 2, LoadBe16); }
  bool GetBe32(std::uint64_t o, std::uint32_t* v) const noexcept { return Get(o, v, 4, LoadBe32); }
  bool GetBe64(std::uint64_t o, std::uint64_t* v) const noexcept { return Get(o, v, 8, LoadBe64); }

  std::uint8_t U8(std::uint64_t o) const noexcept { return Or0(o, 1, Byte); }
  std::uint16_t Le16(std::uint64_t o) const noexcept { return Or0(o, 2, LoadLe16); }
  std::uint32_t Le32(std::uint64_t o) const noexcept { return Or0(o, 4, LoadLe32); }
  std::uint64_t Le64(std::uint64_t o) const noexcept { return Or0(o, 8, LoadLe64); }
  std::uint16_t Be16(std::uint64_t o) const noexcept { return Or0(o, 2, LoadBe16); }
  std::uint32_t Be32(std::uint64_t o) const noexcept { return Or0(o, 4, LoadBe32); }
  std::uint64_t Be64(std::uint64_t o) const noexcept { return Or0(o, 8, LoadBe64); }

 private:
  static std::uint8_t Byte(const void* p) noexcept { return *static_cast<const std::uint8_t*>(p); }
  template <class T, class F>
  bool Get(std::uint64_t o, T* v, std::uint64_t n, F load) const noexcept {
    if (!Has(o, n)) return false;
    *v = load(data_ + o);
    return true;
  }
  template <class F>
  auto Or0(std::uint64_t o, std::uint64_t n, F load) const noexcept -> decltype(load(nullptr)) {
    return Has(o, n) ? load(data_ + o) : decltype(load(nullptr))(0);
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A writable view: the reads of ByteView plus checked stores, each
// answering false (and writing nothing) when the field is not inside.
class MutableByteView : public ByteView {
 public:
  MutableByteView() noexcept = default;
  MutableByteView(void* data, std::size_t size) noexcept : ByteView(data, size) {}

  std::uint8_t* mutable_data() const noexcept { return const_cast<std::uint8_t*>(data()); }
  std::uint8_t* MutableAt(std::uint64_t offset, std::uint64_t length) const noexcept {
    return Has(offset, length) ? mutable_data() + offset : nullptr;
  }
  MutableByteView MutableSub(std::uint64_t offset, std::uint64_t length) const noexcept {
    return Has(offset, length) ? MutableByteView(mutable_data() + offset, std::size_t(length))
                               : MutableByteView();
  }

  bool PutU8(std::uint64_t o, std::uint8_t v) const noexcept {
    if (!Has(o, 1)) return false;
    mutable_data()[o] = v;
    return true;
  }
  bool PutLe16(std::uint64_t o, std::uint16_t v) const noexcept { return Put(o, v, 2, StoreLe16); }
  bool PutLe32(std::uint64_t o, std::uint32_t v) const noexcept { return Put(o, v, 4, StoreLe32); }
  bool PutLe64(std::uint64_t o, std::uint64_t v) const noexcept { return Put(o, v, 8, StoreLe64); }
  bool PutBe16(std::uint64_t o, std::uint16_t v) const noexcept { return Put(o, v, 2, StoreBe16); }
  bool PutBe32(std::uint64_t o, std::uint32_t v) const noexcept { return Put(o, v, 4, StoreBe32); }
  bool PutBe64(std::uint64_t o, std::uint64_t v) const noexcept { return Put(o, v, 8, StoreBe64); }

 private:
  template <class T, class F>
  bool Put(std::uint64_t o, T v, std::uint64_t n, F store) const noexcept {
    if (!Has(o, n)) return false;
    store(mutable_data() + o, v);
    return true;
  }
};

}  // namespace Common
