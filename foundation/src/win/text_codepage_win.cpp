// Code pages and case mapping through the system's tables.
#include "foundation/text.h"

#include <windows.h>

#include <climits>
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
