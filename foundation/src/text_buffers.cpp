// The new-buffer forms of the ANSI conversions and the growable byte buffer;
// the caller-sized conversions they rest on are the code-page files' own.
#include "foundation/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "text_internal.h"

namespace Common {

std::unique_ptr<char16_t[]> AnsiToNewWide(const char* text) {
  if (!text) return nullptr;
  // No ANSI code page makes more UTF-16 units than bytes.
  const std::size_t bytes = std::strlen(text) + 1;
  if (bytes > SIZE_MAX / sizeof(char16_t)) return nullptr;
  std::unique_ptr<char16_t[]> out(new (std::nothrow) char16_t[bytes]);
  if (out) AnsiToWideBuffer(out.get(), bytes, text, bytes);
  return out;
}

std::unique_ptr<char[]> WideToNewAnsi(const char16_t* text) {
  if (!text) return nullptr;
  const std::size_t units = UnitsBefore(text, SIZE_MAX);
  if (units > (SIZE_MAX - 1) / 3) return nullptr;
  const std::size_t bytes = 3 * units + 1;
  std::unique_ptr<char[]> out(new (std::nothrow) char[bytes]);
  if (out) WideToAnsiBuffer(out.get(), bytes, text, units);
  return out;
}

bool ByteBufferReserve(ByteBuffer& buffer, std::size_t used, std::size_t needed) {
  const std::size_t capacity = buffer.data ? buffer.capacity : 0;
  if (needed <= capacity) return true;
  // The bytes in use lie within the buffer; a larger count would copy from
  // beyond it.
  used = std::min(used, capacity);
  const std::size_t size = std::max(needed, used > SIZE_MAX / 2 ? SIZE_MAX : 2 * used);
  uint8_t* block = new (std::nothrow) uint8_t[size];
  if (!block) return false;
  if (used) std::memcpy(block, buffer.data, used);
  delete[] buffer.allocation;
  buffer.allocation = block;
  buffer.data = block;
  buffer.capacity = size;
  return true;
}

}  // namespace Common
