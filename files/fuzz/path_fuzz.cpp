// Fuzz target: path resolution and the entry-name test. The input is a flag
// byte (bit 0: streams allowed, bit 1: drive-form name test, bits 2-3: which
// base) followed by UTF-16 little-endian text, cut at the first zero unit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/path.h"

namespace {

// What every successful resolution must look like.
void CheckCanonical(const std::u16string& out) {
  if (out.empty()) return;
  if (out.back() != u'\\') std::abort();
  if (out == u"\\\\" || out == u"\\\\?\\") std::abort();
  const bool drive = out.size() >= 3 && out[1] == u':' && out[2] == u'\\';
  const bool unc = out.size() >= 3 && out[0] == u'\\' && out[1] == u'\\';
  if (!drive && !unc) std::abort();
  std::size_t componentLength = 0;
  for (std::size_t i = 2; i < out.size(); ++i) {
    const char16_t c = out[i];
    if (c == u'/' || (c >= 1 && c <= 31) || c == u'"' || c == u'*' || c == u'<' || c == u'>' ||
        c == u'|' || (c == u'?' && !(unc && i == 2)))
      std::abort();
    if (c == u'\\' || c == u':') {
      if (componentLength > 255) std::abort();
      componentLength = 0;
    } else {
      ++componentLength;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::u16string name;
  for (size_t i = 1; i + 1 < size; i += 2) {
    const char16_t u = char16_t(data[i] | data[i + 1] << 8);
    if (u == 0) break;
    name += u;
  }
  static const char16_t* const kBases[] = {u"", u"C:\\dir\\", u"\\\\server\\share\\d\\",
                                           u"\\\\?\\Volume{1}\\"};
  const std::u16string base = kBases[(flags >> 2) & 3];
  const bool streams = flags & 1;

  std::u16string out = u"untouched";
  if (ResolvePath(base, out, name.c_str(), streams)) {
    CheckCanonical(out);
    // A canonical path without streams resolves to itself from anywhere,
    // except a long-prefixed one whose first component spells "UNC".
    if (!streams && !out.empty() && out.compare(0, 4, u"\\\\?\\") != 0) {
      std::u16string again;
      if (!ResolvePath(u"C:\\other\\", again, out.c_str(), false) || again != out) std::abort();
    }
  } else if (out != u"untouched") {
    std::abort();
  }

  const bool valid = IsValidFileName(name.c_str(), flags & 2);
  if (valid && !(flags & 2)) {
    // A valid entry name is one component: it resolves to base + name.
    std::u16string one;
    if (ResolvePath(u"C:\\", one, name.c_str(), false)) {
      if (one.size() < 4 || one.compare(0, 3, u"C:\\") != 0) std::abort();
      if (one.find(u'\\', 3) != one.size() - 1) std::abort();
    }
  }
  return 0;
}
