// Fuzz target: the placeholder formatter. The input is a pattern and its
// arguments separated by line feeds, one unit per byte, with byte 0x01
// standing for the choice quoting mark U+F800 and 0x02 for U+2264.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/format_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::u16string> pieces(1);
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b == '\n') {
      pieces.emplace_back();
      continue;
    }
    pieces.back() += b == 0x01 ? char16_t(0xF800) : b == 0x02 ? char16_t(0x2264) : char16_t(b);
  }
  Fdisk::FormatMessage text(pieces[0]);
  for (size_t i = 1; i < pieces.size() && i < 16; ++i) {
    // Arguments may bring placeholders for later ones, so a text can grow
    // by design; stop before it gets large.
    if (text.size() > (1u << 20)) break;
    text % pieces[i];
  }
  // A pattern without placeholders never changes.
  if (pieces[0].find(u'{') == std::u16string::npos && text != pieces[0]) std::abort();
  return 0;
}
