// Fixed-width digits and the integer parser.
#include "foundation/text.h"

#include <algorithm>
#include <string>

namespace Common {
namespace {

char16_t HexDigit(unsigned v) { return static_cast<char16_t>(v < 10 ? u'0' + v : u'A' + v - 10); }

char16_t* FormatHex(char16_t* out, uint32_t value, int digits, unsigned flags) {
  char16_t* p = out;
  if (flags & (kDigitsPrefix0x | kDigitsSuffixH)) *p++ = u'0';
  if (flags & kDigitsPrefix0x) *p++ = (flags & kDigitsUpperMarker) ? u'X' : u'x';
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *p++ = HexDigit((value >> shift) & 0xF);
  if (flags & kDigitsSuffixH) *p++ = (flags & kDigitsUpperMarker) ? u'H' : u'h';
  if (flags & kDigitsTerminate) *p = 0;
  return p;
}

// The value of a digit or letter, or 99 for anything else.
unsigned DigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

bool IsH(char16_t c) { return c == u'h' || c == u'H'; }

}  // namespace

char16_t* FormatDecimal16(char16_t* out, uint16_t value, unsigned flags) {
  if (flags & kDigitsClearField)
    for (int i = 0; i < 5; ++i) out[i] = u' ';
  char16_t* p = out;
  bool seen = false;
  for (unsigned div = 10000; div >= 10; div /= 10) {
    const unsigned digit = value / div % 10;
    if (digit != 0 || seen) {
      *p++ = static_cast<char16_t>(u'0' + digit);
      seen = true;
    } else if (flags & kDigitsPadBlanks) {
      *p++ = u' ';
    }
  }
  *p++ = static_cast<char16_t>(u'0' + value % 10);
  if (flags & kDigitsTerminate) *p = 0;
  return p;
}

char16_t* FormatHex16(char16_t* out, uint16_t value, unsigned flags) {
  return FormatHex(out, value, 4, flags);
}

char16_t* FormatHex32(char16_t* out, uint32_t value, unsigned flags) {
  return FormatHex(out, value, 8, flags);
}

bool ParseInteger64(uint64_t& out, std::u16string_view text, unsigned base) {
  if (base < 2 || base > 36 || text.empty()) return false;
  const std::size_t end = std::min(text.find(u'\0'), text.size());
  const bool decimalRequested = base == 10;
  if (decimalRequested) {
    // A final 'h' (before trailing blanks) means hexadecimal; the first
    // character is not looked at, so "h" alone stays a bad decimal.
    std::size_t last = end;
    while (last > 1 && text[last - 1] == u' ') --last;
    if (last > 1 && IsH(text[last - 1])) base = 16;
  }
  std::size_t i = 0;
  while (i < end && text[i] == u' ') ++i;
  out = 0;
  unsigned digits = 0;  // since the start or since the 'x'
  bool sawX = false;
  bool ended = false;  // a blank or the 'h' ended the number
  for (; i < end; ++i) {
    const char16_t c = text[i];
    if (ended) {
      if (c != u' ') return false;
      continue;
    }
    if (c == u' ') {
      ended = true;
      continue;
    }
    if (decimalRequested) {
      if (IsH(c)) {
        if (sawX) return false;
        ended = true;
        continue;
      }
      if (c == u'x' || c == u'X') {
        if (sawX || digits != 1 || out != 0) return false;
        sawX = true;
        base = 16;
        digits = 0;
        continue;
      }
    }
    const unsigned d = DigitValue(c);
    if (d >= base) return false;
    if (out > (UINT64_MAX - d) / base) return false;
    out = out * base + d;
    ++digits;
  }
  return digits > 0;
}

bool ParseInteger64(uint64_t& out, const char16_t* text, unsigned base) {
  if (!text) return false;
  return ParseInteger64(out, std::u16string_view(text), base);
}

}  // namespace Common
