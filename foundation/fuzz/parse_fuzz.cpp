// Fuzz target: the parsers of numbers and GUIDs. What they accept must print
// back to an equivalent text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/guid.h"
#include "foundation/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string narrow(reinterpret_cast<const char*>(data), size);
  const std::u16string wide(narrow.begin(), narrow.end());

  for (unsigned base : {10u, 16u, size ? 2u + data[0] % 40u : 10u}) {
    uint64_t value = 0;
    if (Common::ParseInteger64(value, wide, base)) {
      // The decimal form of what was read reads the same.
      const std::string digits = std::to_string(value);
      uint64_t again = 0;
      if (!Common::ParseInteger64(again, std::u16string(digits.begin(), digits.end()), 10) ||
          again != value)
        std::abort();
    }
  }

  Common::Guid guid{};
  if (Common::GuidFromString(guid, narrow)) {
    std::string upper = narrow;
    for (char& c : upper)
      if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (Common::GuidToString(guid) != upper) std::abort();
  }
  Common::Guid fromWide{};
  if (Common::GuidFromString(fromWide, wide) != Common::GuidFromString(guid, narrow)) std::abort();
  return 0;
}
