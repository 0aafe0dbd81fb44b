// GUID text form: "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X".
#include "foundation/guid.h"

namespace Common {
namespace {

// Hex digits of the five groups of the text form.
constexpr int kGroupDigits[5] = {8, 4, 4, 4, 12};

// The byte of the value that the i-th byte of the text form shows: the first
// three fields are stored little-endian and written most significant first.
constexpr uint8_t kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

// Hex value of c, or -1.
int HexValue(uint32_t c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return -1;
}

// Reads exactly the text form; out is written only on success.
template <class Char>
bool Parse(Guid& out, const Char* text, std::size_t length) {
  if (!text || length != kGuidTextLength) return false;
  uint8_t written[16];
  std::size_t pos = 0;
  int byte = 0;
  for (int group = 0; group < 5; ++group) {
    if (group > 0 && text[pos++] != Char('-')) return false;
    for (int d = 0; d < kGroupDigits[group]; d += 2) {
      const int hi = HexValue(static_cast<uint32_t>(text[pos]));
      const int lo = HexValue(static_cast<uint32_t>(text[pos + 1]));
      if (hi < 0 || lo < 0) return false;
      written[byte++] = static_cast<uint8_t>(hi << 4 | lo);
      pos += 2;
    }
  }
  for (int i = 0; i < 16; ++i) out.bytes[kTextOrder[i]] = written[i];
  return true;
}

}  // namespace

char* GuidToString(char* out, const Guid& guid) {
  if (!out) return out;
  static const char kHex[] = "0123456789ABCDEF";
  char* p = out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    const uint8_t b = guid.bytes[kTextOrder[i]];
    *p++ = kHex[b >> 4];
    *p++ = kHex[b & 0xF];
  }
  *p = '\0';
  return out;
}

std::string GuidToString(const Guid& guid) {
  char text[kGuidTextLength + 1];
  return GuidToString(text, guid);
}

std::u16string GuidToString16(const Guid& guid) {
  char text[kGuidTextLength + 1];
  GuidToString(text, guid);
  return std::u16string(text, text + kGuidTextLength);
}

bool GuidFromString(Guid& out, const char* text) {
  if (!text) return false;
  // Looks at no more than one byte past the 36 of the text form.
  std::size_t length = 0;
  while (length <= kGuidTextLength && text[length] != '\0') ++length;
  return Parse(out, text, length);
}

bool GuidFromString(Guid& out, std::string_view text) {
  return Parse(out, text.data(), text.size());
}

bool GuidFromString(Guid& out, std::u16string_view text) {
  return Parse(out, text.data(), text.size());
}

}  // namespace Common
