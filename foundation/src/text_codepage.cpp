// Code pages and case mapping: the built-in tables (both builds), the
// conversions that only build on the system's functions, and, outside
// Windows, the system-facing functions themselves (on Windows they live in
// win/text_codepage_win.cpp).
#include "foundation/text.h"

#include "text_internal.h"

#include <cstring>

namespace Common {
namespace {

// Bytes 0x80..0xFF of code page 437 (the US OEM code page).
const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Bytes 0x80..0xFF of code page 850 (the Western European OEM code page).
const char16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Bytes 0x80..0x9F of code page 1252; above them it equals Latin-1. The five
// bytes the code page leaves undefined map to the same code point, as
// Windows maps them.
const char16_t kCp1252C1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum class Table { kNone, kUtf8, kCp437, kCp850, kCp1252, kLatin1 };

Table TableFor(uint32_t codePage) {
  switch (codePage) {
    case 0:  // CP_ACP
    case 3:  // CP_THREAD_ACP
    case 1252:
      return Table::kCp1252;
    case 1:  // CP_OEMCP
    case 437:
      return Table::kCp437;
    case 850:
      return Table::kCp850;
    case 28591:
      return Table::kLatin1;
    case 65001:
      return Table::kUtf8;
    default:
      return Table::kNone;
  }
}

char16_t ByteToUnit(Table t, unsigned char b) {
  if (b < 0x80) return b;
  if (t == Table::kCp437) return kCp437High[b - 0x80];
  if (t == Table::kCp850) return kCp850High[b - 0x80];
  if (t == Table::kCp1252 && b < 0xA0) return kCp1252C1[b - 0x80];
  return b;
}

// The byte for a unit, or 0 when the code page has none (unit 0 is byte 0
// and handled before).
unsigned char UnitToByte(Table t, char16_t u) {
  if (u < 0x80) return static_cast<unsigned char>(u);
  if (t == Table::kLatin1) return u < 0x100 ? static_cast<unsigned char>(u) : 0;
  if (t == Table::kCp1252 && u >= 0xA0 && u < 0x100) return static_cast<unsigned char>(u);
  const char16_t* table = t == Table::kCp437   ? kCp437High
                         : t == Table::kCp850 ? kCp850High
                                              : kCp1252C1;
  const int size = t == Table::kCp1252 ? 32 : 128;
  for (int i = 0; i < size; ++i)
    if (table[i] == u) return static_cast<unsigned char>(0x80 + i);
  return 0;
}

struct CaseRun {
  uint16_t first;
  uint16_t last;
  int32_t delta;
  uint16_t step;
};

#include "text_casemap.inc"

template <std::size_t N>
char16_t MapUnit(const CaseRun (&runs)[N], char16_t u) {
  // The last run that starts at or before u.
  std::size_t lo = 0, hi = N;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (runs[mid].first <= u)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0) return u;
  const CaseRun& r = runs[lo - 1];
  if (u > r.last || (u - r.first) % r.step != 0) return u;
  return static_cast<char16_t>(u + r.delta);
}

}  // namespace

bool PortableCodePageToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                            std::size_t count) {
  const Table t = TableFor(codePage);
  if (t == Table::kNone) return false;
  if (count == 0 || !bytes) {
    out.clear();
    return true;
  }
  if (t == Table::kUtf8) {
    std::u16string text;
    if (!DecodeUtf8(text, bytes, count)) return false;
    out.swap(text);
    return true;
  }
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i)
    out[i] = ByteToUnit(t, static_cast<unsigned char>(bytes[i]));
  return true;
}

bool PortableWideToCodePage(uint32_t codePage, std::string& out, const char16_t* text,
                            std::size_t maxUnits) {
  out.clear();
  const Table t = TableFor(codePage);
  if (t == Table::kNone) return false;
  const std::size_t n = text ? UnitsBefore(text, maxUnits) : 0;
  if (t == Table::kUtf8) {
    EncodeUtf8(out, text, n);
    return true;
  }
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = text[i];
    const unsigned char b = UnitToByte(t, u);
    out += b ? static_cast<char>(b) : '?';
    // A surrogate pair is one character: one '?'.
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      ++i;
  }
  return true;
}

char16_t PortableToUpper(char16_t unit) { return MapUnit(kUpperRuns, unit); }
char16_t PortableToLower(char16_t unit) { return MapUnit(kLowerRuns, unit); }

bool CodePageBytesToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                         std::size_t maxBytes) {
  std::size_t count = 0;
  if (bytes && maxBytes) {
    const void* zero = std::memchr(bytes, 0, maxBytes);
    count = zero ? std::size_t(static_cast<const char*>(zero) - bytes) : maxBytes;
  }
  return CodePageToWide(codePage, out, bytes, count);
}

bool WideToOem(std::string& out, const char16_t* text, std::size_t maxUnits) {
  return WideToCodePage(kCodePageOem, out, text, maxUnits);
}

bool OemToWide(std::u16string& out, const char* bytes, std::size_t maxBytes) {
  return CodePageBytesToWide(kCodePageOem, out, bytes, maxBytes);
}

std::u16string AnsiToWide(const char* text) {
  std::u16string out;
  if (text && !CodePageToWide(kCodePageAnsi, out, text, std::strlen(text))) out.clear();
  return out;
}

std::string WideToAnsi(const char16_t* text) {
  std::string out;
  if (text && !WideToCodePage(kCodePageAnsi, out, text, SIZE_MAX)) out.clear();
  return out;
}

#if !defined(_WIN32)

bool CodePageToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                    std::size_t count) {
  return PortableCodePageToWide(codePage, out, bytes, count);
}

bool WideToCodePage(uint32_t codePage, std::string& out, const char16_t* text,
                    std::size_t maxUnits) {
  return PortableWideToCodePage(codePage, out, text, maxUnits);
}

// The ANSI table maps one byte to one unit and one character to one byte,
// so a cut between any two of them splits nothing (a surrogate pair is one
// character: one '?').
std::size_t AnsiToWideBuffer(char16_t* out, std::size_t capacity, const char* bytes,
                             std::size_t maxBytes) {
  if (!out || capacity == 0) return 0;
  const Table t = TableFor(kCodePageAnsi);
  std::size_t n = 0;
  if (bytes) {
    for (; n < capacity - 1 && n < maxBytes && bytes[n] != 0; ++n)
      out[n] = ByteToUnit(t, static_cast<unsigned char>(bytes[n]));
  }
  out[n] = 0;
  return n + 1;
}

std::size_t WideToAnsiBuffer(char* out, std::size_t capacity, const char16_t* text,
                             std::size_t maxUnits) {
  if (!out || capacity == 0) return 0;
  const Table t = TableFor(kCodePageAnsi);
  std::size_t n = 0;
  if (text) {
    for (std::size_t i = 0; n < capacity - 1 && i < maxUnits && text[i] != 0; ++n) {
      const char16_t u = text[i++];
      const unsigned char b = UnitToByte(t, u);
      out[n] = b ? static_cast<char>(b) : '?';
      if (u >= 0xD800 && u <= 0xDBFF && i < maxUnits && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        ++i;
    }
  }
  out[n] = 0;
  return n + 1;
}

bool MapStringCase(std::u16string& text, uint32_t flags) {
  if (text.empty()) return true;
  char16_t (*map)(char16_t);
  if (flags == kMapUpperCase)
    map = PortableToUpper;
  else if (flags == kMapLowerCase)
    map = PortableToLower;
  else
    return false;
  for (char16_t& u : text) u = map(u);
  return true;
}

#endif  // !_WIN32

}  // namespace Common
