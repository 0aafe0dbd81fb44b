// Fuzz target: UTF-8 decoding. Whatever the bytes, decoding and encoding
// again must settle: encode(decode(x)) decodes without error to the same
// units.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::u16string units;
  const bool valid = Common::Utf8ToUtf16(units, bytes, size);
  std::string again;
  Common::Utf16ToUtf8(again, units);
  std::u16string back;
  if (!Common::Utf8ToUtf16(back, again)) std::abort();
  if (back != units) std::abort();
  // Valid input without the 3-byte surrogate form (lead byte 0xED, which
  // may pair up into a 4-byte sequence) comes back byte for byte, up to the
  // first zero byte.
  const void* zero = std::memchr(bytes, 0, size);
  const size_t text = zero ? size_t(static_cast<const char*>(zero) - bytes) : size;
  if (valid && std::memchr(bytes, 0xED, text) == nullptr && again != std::string(bytes, text))
    std::abort();
  // Without a zero byte, the counted code-page form decodes the same.
  if (size > 0 && zero == nullptr) {
    std::u16string counted;
    if (Common::CodePageToWide(Common::kCodePageUtf8, counted, bytes, size) != valid) std::abort();
    if (valid && counted != units) std::abort();
  }
  return 0;
}
