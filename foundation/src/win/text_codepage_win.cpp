// Code pages and case mapping through the system's tables.
#include "foundation/text.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "../text_internal.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

namespace Common {
namespace {

const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }

bool IsWindows9x() { return (GetVersion() & 0x80000000u) != 0; }

// WideCharToMultiByte without best-fit look-alikes where the code page
// allows the flag (Windows 9x and some code pages refuse it).
int WideToBytes(UINT codePage, const wchar_t* text, int units, char* out, int size) {
  int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, units, out, size,
                              nullptr, nullptr);
  if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS)
    n = WideCharToMultiByte(codePage, 0, text, units, out, size, nullptr, nullptr);
  return n;
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Room for the text in a caller's buffer of `capacity` elements, the
// terminator set aside.
int RoomFor(std::size_t capacity) {
  return static_cast<int>(std::min<std::size_t>(capacity - 1, INT_MAX));
}

}  // namespace

bool CodePageToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                    std::size_t count) {
  if (count == 0 || !bytes) {
    out.clear();
    return true;
  }
  if (codePage == kCodePageUtf8) return PortableCodePageToWide(codePage, out, bytes, count);
  if (count > INT_MAX) return false;
  std::u16string buffer(count, u'\0');
  const int n = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(count),
                                    W(&buffer[0]), static_cast<int>(count));
  if (n < 1) return false;
  buffer.resize(static_cast<std::size_t>(n));
  out.swap(buffer);
  return true;
}

bool WideToCodePage(uint32_t codePage, std::string& out, const char16_t* text,
                    std::size_t maxUnits) {
  out.clear();
  if (codePage == kCodePageUtf8)
    return PortableWideToCodePage(codePage, out, text, maxUnits);
  const std::size_t units = text ? UnitsBefore(text, maxUnits) : 0;
  if (units == 0) return true;
  if (units > INT_MAX / 4) return false;
  const int size = WideToBytes(codePage, W(text), static_cast<int>(units), nullptr, 0);
  if (size < 1) return false;
  out.resize(static_cast<std::size_t>(size));
  const int n = WideToBytes(codePage, W(text), static_cast<int>(units), &out[0], size);
  if (n < 1) {
    out.clear();
    return false;
  }
  out.resize(static_cast<std::size_t>(n));
  return true;
}

std::size_t AnsiToWideBuffer(char16_t* out, std::size_t capacity, const char* bytes,
                             std::size_t maxBytes) {
  if (!out || capacity == 0) return 0;
  out[0] = 0;
  // A byte at a time: callers pass SIZE_MAX for "up to the terminator",
  // which a block search may take as a range that wraps around.
  std::size_t count = 0;
  if (bytes)
    while (count < maxBytes && bytes[count] != 0) ++count;
  if (count == 0) return 1;
  if (count > INT_MAX) return 0;
  const int room = RoomFor(capacity);
  if (room == 0) return 1;
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), W(out), room);
  if (n > 0) {
    out[n] = 0;
    return static_cast<std::size_t>(n) + 1;
  }
  // Too long for out (or failing): the whole text, cut in UTF-16 units, where
  // every double-byte character is whole.
  const int need = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
  if (need <= room) {
    out[0] = 0;
    return 0;
  }
  std::unique_ptr<char16_t[]> all(new (std::nothrow) char16_t[need]);
  if (!all ||
      MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), W(all.get()), need) !=
          need) {
    out[0] = 0;
    return 0;
  }
  std::size_t keep = static_cast<std::size_t>(room);
  if (keep > 0 && IsHighSurrogate(all[keep - 1]) && IsLowSurrogate(all[keep])) --keep;
  std::memcpy(out, all.get(), keep * sizeof(char16_t));
  out[keep] = 0;
  return keep + 1;
}

std::size_t WideToAnsiBuffer(char* out, std::size_t capacity, const char16_t* text,
                             std::size_t maxUnits) {
  if (!out || capacity == 0) return 0;
  out[0] = 0;
  const std::size_t units = text ? UnitsBefore(text, maxUnits) : 0;
  if (units == 0) return 1;
  if (units > INT_MAX) return 0;
  const int room = RoomFor(capacity);
  if (room == 0) return 1;
  const int n = WideToBytes(CP_ACP, W(text), static_cast<int>(units), out, room);
  if (n > 0) {
    out[n] = 0;
    return static_cast<std::size_t>(n) + 1;
  }
  const int need = WideToBytes(CP_ACP, W(text), static_cast<int>(units), nullptr, 0);
  if (need <= room) {
    out[0] = 0;
    return 0;
  }
  // Too long for out: character by character while they fit, so that no
  // double-byte character or multi-byte sequence is cut.
  std::size_t written = 0;
  for (std::size_t i = 0; i < units;) {
    const int length =
        IsHighSurrogate(text[i]) && i + 1 < units && IsLowSurrogate(text[i + 1]) ? 2 : 1;
    char bytes[8];
    const int size = WideToBytes(CP_ACP, W(text + i), length, bytes, sizeof bytes);
    if (size < 1) {
      out[0] = 0;
      return 0;
    }
    if (static_cast<std::size_t>(size) > static_cast<std::size_t>(room) - written) break;
    std::memcpy(out + written, bytes, static_cast<std::size_t>(size));
    written += static_cast<std::size_t>(size);
    i += static_cast<std::size_t>(length);
  }
  out[written] = 0;
  return written + 1;
}

bool MapStringCase(std::u16string& text, uint32_t flags) {
  if (text.empty()) return true;
  if (text.size() > INT_MAX / 2) return false;
  const int units = static_cast<int>(text.size());
  if (!IsWindows9x()) {
    std::u16string mapped(text.size(), u'\0');
    const int n = LCMapStringW(0, flags, W(text.data()), units, W(&mapped[0]), units);
    if (n < 1) return false;
    mapped.resize(static_cast<std::size_t>(n));
    text.swap(mapped);
    return true;
  }
  // Windows 9x: through the ANSI code page.
  std::vector<char> bytes(text.size() * 2);
  const int size = WideCharToMultiByte(CP_ACP, 0, W(text.data()), units, bytes.data(),
                                       static_cast<int>(bytes.size()), nullptr, nullptr);
  if (size < 1) return false;
  const int n = LCMapStringA(0, flags, bytes.data(), size, bytes.data(), size);
  if (n < 1) return false;
  return CodePageToWide(kCodePageAnsi, text, bytes.data(), static_cast<std::size_t>(n));
}

}  // namespace Common
