// Fuzz target: UTF-16 text (two bytes per unit, little-endian) through UTF-8,
// the built-in code pages and case mapping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t u = char16_t(data[i] | data[i + 1] << 8);
    if (u == 0) break;
    units += u;
  }
  // Every UTF-16 text, unpaired surrogates included, comes back unchanged.
  std::string utf8;
  if (!Common::Utf16ToUtf8(utf8, units)) std::abort();
  std::u16string back;
  if (!Common::Utf8ToUtf16(back, utf8) || back != units) std::abort();

  // A code page's bytes convert back to text that converts to them again.
  for (uint32_t cp : {437u, 1252u, 28591u}) {
    std::string bytes;
    if (!Common::PortableWideToCodePage(cp, bytes, units.data(), units.size())) std::abort();
    std::u16string wide;
    if (!Common::PortableCodePageToWide(cp, wide, bytes.data(), bytes.size())) std::abort();
    if (wide.size() != bytes.size()) std::abort();
    std::string again;
    if (!Common::PortableWideToCodePage(cp, again, wide.data(), wide.size()) || again != bytes)
      std::abort();
  }

  // Case mapping keeps the length and is stable.
  std::u16string upper = units;
  if (!Common::ToUpperCase(upper) || upper.size() != units.size()) std::abort();
  std::u16string lower = upper;
  if (!Common::ToLowerCase(lower) || lower.size() != units.size()) std::abort();
  return 0;
}
