// UTF-16 <-> UTF-8.
#include "foundation/text.h"

#include "text_internal.h"

#include <cstring>

namespace Common {
namespace {

bool IsHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

void EncodeUtf8(std::string& out, const char16_t* text, std::size_t count) {
  out.clear();
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    uint32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      // Includes an unpaired surrogate, written in its 3-byte form.
      out += char(0xE0 | c >> 12);
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
}

bool DecodeUtf8(std::u16string& out, const char* bytes, std::size_t count) {
  out.clear();
  out.reserve(count);
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  bool valid = true;
  std::size_t i = 0;
  while (i < count) {
    const unsigned char lead = s[i];
    const std::size_t left = count - i;  // bytes available, lead included
    if (lead < 0x80) {
      out += char16_t(lead);
      i += 1;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && IsContinuation(s[i + 1])) {
      out += char16_t((lead & 0x1F) << 6 | (s[i + 1] & 0x3F));
      i += 2;
      continue;
    }
    if (lead >= 0xE0 && lead <= 0xEF && left >= 3 && IsContinuation(s[i + 1]) &&
        IsContinuation(s[i + 2]) && !(lead == 0xE0 && s[i + 1] < 0xA0)) {
      // Surrogates (ED A0..BF xx) are accepted: CESU-8 pairs and unpaired
      // units both come back as the units they encode.
      out += char16_t((lead & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F));
      i += 3;
      continue;
    }
    if (lead >= 0xF0 && lead <= 0xF4 && left >= 4 && IsContinuation(s[i + 1]) &&
        IsContinuation(s[i + 2]) && IsContinuation(s[i + 3]) &&
        !(lead == 0xF0 && s[i + 1] < 0x90) && !(lead == 0xF4 && s[i + 1] > 0x8F)) {
      const uint32_t c = uint32_t(lead & 0x07) << 18 | uint32_t(s[i + 1] & 0x3F) << 12 |
                         uint32_t(s[i + 2] & 0x3F) << 6 | uint32_t(s[i + 3] & 0x3F);
      out += char16_t(0xD800 + ((c - 0x10000) >> 10));
      out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
      i += 4;
      continue;
    }
    out += u'?';
    valid = false;
    i += 1;
  }
  return valid;
}

bool Utf16ToUtf8(std::string& out, const char16_t* text, std::size_t maxUnits) {
  EncodeUtf8(out, text, text ? UnitsBefore(text, maxUnits) : 0);
  return true;
}

bool Utf8ToUtf16(std::u16string& out, const char* bytes, std::size_t maxBytes) {
  if (!bytes || maxBytes == 0) {
    out.clear();
    return true;
  }
  const void* zero = std::memchr(bytes, 0, maxBytes);
  const std::size_t count =
      zero ? std::size_t(static_cast<const char*>(zero) - bytes) : maxBytes;
  return DecodeUtf8(out, bytes, count);
}

}  // namespace Common
