// Shared by the text helpers' source files; not part of the interface.
#pragma once

#include <cstddef>
#include <string>

namespace Common {

// Units before the first zero unit within max (max when there is none).
inline std::size_t UnitsBefore(const char16_t* text, std::size_t max) {
  std::size_t n = 0;
  while (n < max && text[n] != 0) ++n;
  return n;
}

// UTF-8 of exactly count units / bytes (zeros included), by the rules of
// Utf16ToUtf8 and Utf8ToUtf16.
void EncodeUtf8(std::string& out, const char16_t* text, std::size_t count);
bool DecodeUtf8(std::u16string& out, const char* bytes, std::size_t count);

}  // namespace Common
