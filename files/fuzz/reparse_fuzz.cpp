// Fuzz target: reparse buffers as the file system might return them, and the
// buffers the junction code writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/reparse_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copy into a buffer of exactly `size` bytes, so that the sanitizers see
  // any read past what the "system" returned.
  std::vector<uint8_t> bytes(data, data + size);
  ReparseLink link;
  const uint32_t rc = ParseReparseLink(bytes.data(), bytes.size(), link);
  if (rc != 0 && rc != kFileCorrupted && rc != kFileOpenError) std::abort();
  if (rc == 0) {
    if (link.tag != kReparseTagMountPoint && link.tag != kReparseTagSymlink) std::abort();
    // Names may share bytes, but neither can be longer than the buffer.
    if (2 * link.substituteName.size() > size || 2 * link.printName.size() > size) std::abort();
    std::u16string target;
    const uint32_t t = ReparseLinkTarget(link, target);
    if (t != 0 && t != kFileOpenError) std::abort();
  }

  // The same bytes as two names: a junction buffer built from them parses
  // back to the names it was built from.
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units += char16_t(data[i] | data[i + 1] << 8);
  const size_t cut = units.empty() ? 0 : units[0] % (units.size() + 1);
  for (char16_t& u : units) if (u == 0) u = u'x';
  const std::u16string nt = u"\\\\?\\" + units.substr(0, cut);
  const std::u16string print = units.substr(cut);
  std::vector<uint8_t> built;
  const uint32_t b = BuildMountPointData(nt, print, built);
  if (b == kFileCreateError) {
    if (2 * (nt.size() + print.size()) + 20 <= kMaxReparseDataSize - 2) std::abort();
    return 0;
  }
  if (b != 0) std::abort();
  if (built.size() > kMaxReparseDataSize) std::abort();
  ReparseLink back;
  if (ParseReparseLink(built.data(), built.size(), back) != 0) std::abort();
  if (back.tag != kReparseTagMountPoint || back.substituteName.compare(0, 4, u"\\??\\") != 0) {
    std::abort();
  }
  if (back.substituteName.substr(4) != nt.substr(4) + (print.size() == 3 ? u"\\" : u"")) {
    std::abort();
  }
  return 0;
}
