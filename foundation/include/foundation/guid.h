// GUID value and its text form.
//
// Common::GuidTemplate<LittleEndian> (alias Common::Guid) is the 16-byte GUID
// in the Windows layout: a 32-bit field, two 16-bit fields and 8 bytes, the
// three numeric fields stored little-endian. This is the in-memory GUID of
// Windows and the on-disk form inside GPT entries, so the bytes can be copied
// to and from disk and to a Win32 GUID (on x86) as they are. The value is
// stored as bytes, so it behaves the same on every host.
//
// Text form: "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X",
// upper-case hexadecimal, no braces (36 characters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace Common {

struct LittleEndian {};

template <class ByteOrder>
struct GuidTemplate;

template <>
struct GuidTemplate<LittleEndian> {
  // Byte offsets: 0..3 first field, 4..5 second, 6..7 third, 8..15 the
  // eight single bytes.
  uint8_t bytes[16];

  uint32_t Data1() const {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
  }
  uint16_t Data2() const { return uint16_t(bytes[4] | bytes[5] << 8); }
  uint16_t Data3() const { return uint16_t(bytes[6] | bytes[7] << 8); }
  const uint8_t* Data4() const { return bytes + 8; }

  void SetData1(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(v >> (8 * i));
  }
  void SetData2(uint16_t v) {
    bytes[4] = uint8_t(v);
    bytes[5] = uint8_t(v >> 8);
  }
  void SetData3(uint16_t v) {
    bytes[6] = uint8_t(v);
    bytes[7] = uint8_t(v >> 8);
  }

  // A GUID from its fields, as a GUID constant is written in C.
  static GuidTemplate FromFields(uint32_t d1, uint16_t d2, uint16_t d3,
                                 const uint8_t (&d4)[8]) {
    GuidTemplate g{};
    g.SetData1(d1);
    g.SetData2(d2);
    g.SetData3(d3);
    std::memcpy(g.bytes + 8, d4, 8);
    return g;
  }

  // The 16 bytes of the layout above (e.g. as read from a GPT entry).
  static GuidTemplate FromBytes(const uint8_t* src) {
    GuidTemplate g;
    std::memcpy(g.bytes, src, 16);
    return g;
  }

  bool IsNull() const {
    for (uint8_t b : bytes)
      if (b != 0) return false;
    return true;
  }

  friend bool operator==(const GuidTemplate& a, const GuidTemplate& b) {
    return std::memcmp(a.bytes, b.bytes, 16) == 0;
  }
  friend bool operator!=(const GuidTemplate& a, const GuidTemplate& b) { return !(a == b); }
  // Byte order, so that GUIDs can be keys of ordered containers.
  friend bool operator<(const GuidTemplate& a, const GuidTemplate& b) {
    return std::memcmp(a.bytes, b.bytes, 16) < 0;
  }
};

using Guid = GuidTemplate<LittleEndian>;

static_assert(sizeof(Guid) == 16, "a GUID is 16 bytes");

// Length of the text form without its terminator.
constexpr std::size_t kGuidTextLength = 36;

// Writes the text form and a terminator into out (at least 37 bytes) and
// returns out; a null out writes nothing.
char* GuidToString(char* out, const Guid& guid);
std::string GuidToString(const Guid& guid);
std::u16string GuidToString16(const Guid& guid);

// Reads the text form (hex digits of either case, exactly 8-4-4-4-12 digits,
// no braces, nothing before or after). True only for such a text; on false
// out is unchanged. A null text gives false.
bool GuidFromString(Guid& out, const char* text);
bool GuidFromString(Guid& out, std::string_view text);
bool GuidFromString(Guid& out, std::u16string_view text);

}  // namespace Common
