// Text helpers: UTF-16 <-> UTF-8, UTF-16 <-> Windows code pages, case
// mapping, fixed-width digits and the integer parser.
//
// The system's text is UTF-16 (char16_t / std::u16string); these functions
// are the only places where other encodings appear. They never read past the
// input they are given: every pointer comes with a maximum, and a zero unit
// or byte inside that maximum ends the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Common {

// ---------------------------------------------------------------- UTF-8 --

// Encodes UTF-16 as UTF-8: the units up to a zero unit or maxUnits. A
// surrogate pair becomes one 4-byte sequence. A surrogate without its partner
// becomes the 3-byte form of that unit, so that every UTF-16 string (file
// names may hold such units) comes back unchanged from Utf8ToUtf16. Clears
// out first; always true.
bool Utf16ToUtf8(std::string& out, const char16_t* text, std::size_t maxUnits);
inline bool Utf16ToUtf8(std::string& out, std::u16string_view text) {
  return Utf16ToUtf8(out, text.data(), text.size());
}

// Decodes UTF-8: the bytes up to a zero byte or maxBytes. Accepts 1- to
// 4-byte sequences (a 4-byte sequence gives a surrogate pair) and the 3-byte
// form of a surrogate, which covers CESU-8 and Utf16ToUtf8's form of an
// unpaired surrogate. Overlong forms, code points above U+10FFFF, stray
// continuation bytes and sequences cut short (also by maxBytes) are invalid:
// each such byte gives '?', the result is false and decoding goes on with the
// next byte. Clears out first; maxBytes 0 gives true.
bool Utf8ToUtf16(std::u16string& out, const char* bytes, std::size_t maxBytes);
inline bool Utf8ToUtf16(std::u16string& out, std::string_view bytes) {
  return Utf8ToUtf16(out, bytes.data(), bytes.size());
}

// ----------------------------------------------------------- code pages --

// Windows code-page numbers.
constexpr uint32_t kCodePageAnsi = 0;    // CP_ACP
constexpr uint32_t kCodePageOem = 1;     // CP_OEMCP
constexpr uint32_t kCodePageUtf8 = 65001;

// Converts count bytes (zero bytes included) of a code page to UTF-16.
// Count 0 clears out and gives true. False, with out unchanged, when the code
// page is unknown or the bytes are not valid in it (UTF-8 only: single-byte
// code pages map every byte).
//
// On Windows the system converts (MultiByteToWideChar), except UTF-8, which
// is always decoded by Utf8ToUtf16's rules. Elsewhere the built-in tables
// serve: 1252 (also for CP_ACP), 437 (also for CP_OEMCP), 850, 28591 and
// 65001.
bool CodePageToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                    std::size_t count);

// CodePageToWide of the bytes up to the first zero byte within maxBytes.
bool CodePageBytesToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                         std::size_t maxBytes);

// Converts the UTF-16 text up to a zero unit or maxUnits to a code page. An
// empty text clears out and gives true. Characters the code page lacks
// become '?' (no best-fit look-alikes, so that e.g. a full-width solidus
// never turns into a path separator). False, with out cleared, when the code
// page is unknown or the system call fails.
bool WideToCodePage(uint32_t codePage, std::string& out, const char16_t* text,
                    std::size_t maxUnits);

// The OEM code page (the FAT driver's short names).
bool WideToOem(std::string& out, const char16_t* text, std::size_t maxUnits);
bool OemToWide(std::u16string& out, const char* bytes, std::size_t maxBytes);

// The ANSI code page, for zero-terminated texts; null gives "".
std::u16string AnsiToWide(const char* text);
std::string WideToAnsi(const char16_t* text);

// The ANSI code page into caller-sized buffers (on Windows the system's
// CP_ACP conversion, elsewhere the built-in table). Both write a terminated
// text whenever out has room for at least the terminator, never more than
// capacity elements: a text that does not fit is cut after the last whole
// character that does (a surrogate pair or a double-byte character is never
// split). They return the elements written, terminator included; 0 when
// nothing was written (out null, capacity 0) or the conversion failed, which
// leaves an empty text in out. A null input converts as an empty text.
//
// AnsiToWideBuffer converts the bytes up to the first zero byte within
// maxBytes (or maxBytes). WideToAnsiBuffer converts the units up to the
// first zero unit within maxUnits (or maxUnits); characters the code page
// lacks become '?', as in WideToCodePage, so that no look-alike turns a name
// into another one.
std::size_t AnsiToWideBuffer(char16_t* out, std::size_t capacity, const char* bytes,
                             std::size_t maxBytes);
std::size_t WideToAnsiBuffer(char* out, std::size_t capacity, const char16_t* text,
                             std::size_t maxUnits);

// A zero-terminated text in a new buffer of the other form: strlen + 1 units
// for AnsiToNewWide, 3 bytes per unit plus 1 (the most any ANSI code page
// needs) for WideToNewAnsi. Null when the text is null or the buffer cannot
// be allocated; a text that does not convert gives an empty one.
std::unique_ptr<char16_t[]> AnsiToNewWide(const char* text);
std::unique_ptr<char[]> WideToNewAnsi(const char16_t* text);

// The built-in tables by themselves, in both builds (on Windows the tests
// compare them with the system's conversion). Code pages 0 and 1 are taken
// as 1252 and 437.
bool PortableCodePageToWide(uint32_t codePage, std::u16string& out, const char* bytes,
                            std::size_t count);
bool PortableWideToCodePage(uint32_t codePage, std::string& out, const char16_t* text,
                            std::size_t maxUnits);

// ----------------------------------------------------------- case --------

constexpr uint32_t kMapLowerCase = 0x100;  // LCMAP_LOWERCASE
constexpr uint32_t kMapUpperCase = 0x200;  // LCMAP_UPPERCASE

// Maps the case of every UTF-16 unit; the length never changes (characters
// whose case form is longer, such as U+00DF, stay). An empty text gives
// true. On Windows the system's locale tables map (LCMapString with the
// given LCMAP_ flags); elsewhere the built-in simple case mapping of the
// Basic Multilingual Plane, where only the two flags above are known. False
// leaves the text unchanged.
bool MapStringCase(std::u16string& text, uint32_t flags);
inline bool ToUpperCase(std::u16string& text) { return MapStringCase(text, kMapUpperCase); }
inline bool ToLowerCase(std::u16string& text) { return MapStringCase(text, kMapLowerCase); }

// The built-in mapping of one unit, in both builds.
char16_t PortableToUpper(char16_t unit);
char16_t PortableToLower(char16_t unit);

// ----------------------------------------------------------- digits ------

// Flags of the digit writers.
constexpr unsigned kDigitsPadBlanks = 1;      // decimal: blanks for leading zeros
constexpr unsigned kDigitsClearField = 2;     // decimal: first blank 5 positions
constexpr unsigned kDigitsTerminate = 4;      // add a zero unit (not counted)
constexpr unsigned kDigitsUpperMarker = 0x10; // hex: 'X' and 'H' instead of 'x', 'h'
constexpr unsigned kDigitsPrefix0x = 0x20;    // hex: "0x" before the digits
constexpr unsigned kDigitsSuffixH = 0x40;     // hex: "0" before and "h" after

// Decimal digits of value; out needs 6 units. Returns the position after the
// last digit written.
char16_t* FormatDecimal16(char16_t* out, uint16_t value, unsigned flags);
// Upper-case hex digits (4 or 8) with optional marks; out needs 12 units.
// Returns the position after the last character (the terminator not counted).
char16_t* FormatHex16(char16_t* out, uint16_t value, unsigned flags);
char16_t* FormatHex32(char16_t* out, uint32_t value, unsigned flags);

// ----------------------------------------------------------- integers ----

// Reads an unsigned 64-bit number. Leading and trailing blanks (U+0020) are
// allowed. With base 10, hexadecimal is recognised too: "0x1F" and "1Fh"
// give 31. Other bases (2 to 36) take digits and letters below the base.
// False for an empty text (out not written), for any other character, a
// blank between digits, no digit at all, or overflow; out then holds what was
// accumulated before the failure. A null text gives false.
bool ParseInteger64(uint64_t& out, std::u16string_view text, unsigned base = 10);
bool ParseInteger64(uint64_t& out, const char16_t* text, unsigned base = 10);

// ----------------------------------------------------------- byte buffer -

// A growable block of bytes (the ext driver's extent lists). data is where
// the bytes in use begin, inside allocation; capacity counts the bytes from
// data. The buffer owns its allocation.
struct ByteBuffer {
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { delete[] allocation; }

  uint8_t* allocation = nullptr;
  uint8_t* data = nullptr;
  std::size_t capacity = 0;
};

// Makes the capacity at least needed. When it is short, a new block of
// max(needed, 2 x used) bytes takes the used bytes from data, the old block
// is freed, and allocation and data both point at the new one. A used count
// beyond the capacity is taken as the capacity (no bytes are read past the
// buffer). False, with the buffer unchanged, when the block cannot be
// allocated.
bool ByteBufferReserve(ByteBuffer& buffer, std::size_t used, std::size_t needed);

}  // namespace Common
