// Reading and writing mount-point and symbolic-link reparse buffers. Every
// offset and length in a buffer comes from the file system (or from whoever
// planted the reparse point) and is checked against the bytes really at hand
// before anything is read through it.
#include "foundation/byteorder.h"
#include "files/reparse_data.h"

#include <new>

#include "files/file_error.h"

namespace {

constexpr std::size_t kReparseHeaderSize = 8;     // tag, data length, reserved
constexpr std::size_t kMountPointPathStart = 16;  // header + four name fields
constexpr std::size_t kSymlinkPathStart = 20;     // ... + flags word

// Copies `bytes` bytes of UTF-16 from `p` (unaligned, little-endian).
void ReadName(const std::uint8_t* p, std::size_t bytes, std::u16string& out) {
  out.resize(bytes / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(Common::LoadLe16(p + 2 * i));
}

bool IsDriveLetter(char16_t c) noexcept {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// "X:" and nothing else.
bool IsBareDrive(const char16_t* p, std::size_t n) noexcept {
  return n == 2 && IsDriveLetter(p[0]) && p[1] == u':';
}

}  // namespace

std::uint32_t ReparseTag(const void* data, std::size_t size) noexcept {
  if (data == nullptr || size < 4) return 0;
  return Common::LoadLe32(static_cast<const std::uint8_t*>(data));
}

std::uint32_t ParseReparseLink(const void* data, std::size_t size, ReparseLink& out) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (p == nullptr || size < kReparseHeaderSize) return kFileCorrupted;
  const std::uint32_t tag = Common::LoadLe32(p);
  std::size_t pathStart;
  if (tag == kReparseTagMountPoint) {
    pathStart = kMountPointPathStart;
  } else if (tag == kReparseTagSymlink) {
    pathStart = kSymlinkPathStart;
  } else {
    return kFileOpenError;
  }
  // The data length counts everything after the 8-byte header; it must fit
  // in what was returned and hold the fixed fields of the tag's layout.
  const std::size_t total = kReparseHeaderSize + Common::LoadLe16(p + 4);
  if (total > size || total < pathStart) return kFileCorrupted;

  const std::size_t subOffset = Common::LoadLe16(p + 8);
  const std::size_t subLength = Common::LoadLe16(p + 10);
  const std::size_t printOffset = Common::LoadLe16(p + 12);
  const std::size_t printLength = Common::LoadLe16(p + 14);
  const std::size_t pathBytes = total - pathStart;
  // Each name must lie wholly inside the path buffer; 16-bit values cannot
  // overflow a size_t sum.
  if ((subLength | printLength) & 1) return kFileCorrupted;
  if (subOffset + subLength > pathBytes || printOffset + printLength > pathBytes) {
    return kFileCorrupted;
  }
  try {
    ReparseLink link;
    link.tag = tag;
    link.relative = tag == kReparseTagSymlink && (Common::LoadLe32(p + 16) & 1) != 0;
    ReadName(p + pathStart + subOffset, subLength, link.substituteName);
    ReadName(p + pathStart + printOffset, printLength, link.printName);
    out = std::move(link);
  } catch (const std::bad_alloc&) {
    return kFileOutOfMemory;
  }
  return 0;
}

std::uint32_t ReparseLinkTarget(const ReparseLink& link, std::u16string& out) noexcept {
  try {
    std::u16string text = link.substituteName;
    const std::size_t zero = text.find(u'\0');
    if (zero != std::u16string::npos) text.resize(zero);
    if (link.tag == kReparseTagSymlink && link.relative) {
      out = std::move(text);
      return 0;
    }
    if (text.compare(0, 4, u"\\??\\") != 0 || text.size() == 4) return kFileOpenError;
    text.erase(0, 4);
    if (IsBareDrive(text.data(), text.size())) {
      text += u'\\';
    } else {
      const std::size_t slash = text.find(u'\\');
      const std::size_t first = slash == std::u16string::npos ? text.size() : slash;
      if (!IsBareDrive(text.data(), first)) text.insert(0, u"\\\\?\\");
    }
    out = std::move(text);
  } catch (const std::bad_alloc&) {
    return kFileOutOfMemory;
  }
  return 0;
}

std::uint32_t BuildMountPointData(const std::u16string& ntTarget,
                                  const std::u16string& printTarget,
                                  std::vector<std::uint8_t>& out) noexcept {
  // The substitute name is written in object-manager form: "\\?\" becomes
  // "\??\" by replacing the second character, so it must be a long path.
  if (ntTarget.size() < 4 || ntTarget.compare(0, 4, u"\\\\?\\") != 0) return kFileCreateError;
  try {
    std::u16string substitute = ntTarget;
    std::u16string print = printTarget;
    if (print.size() == 3) {
      substitute += u'\\';  // a drive root: \??\X:\ and X:\ .
    } else if (!print.empty() && print.back() == u'\\') {
      print.pop_back();
    }
    substitute[1] = u'?';
    const std::size_t size = 2 * (substitute.size() + print.size()) + 20;
    if (size > kMaxReparseDataSize) return kFileCreateError;

    std::vector<std::uint8_t> buffer(size, 0);
    std::uint8_t* p = buffer.data();
    const std::uint32_t subBytes = static_cast<std::uint32_t>(2 * substitute.size());
    Common::StoreLe32(p, kReparseTagMountPoint);
    Common::StoreLe16(p + 4, std::uint16_t(static_cast<std::uint32_t>(size - kReparseHeaderSize)));
    Common::StoreLe16(p + 8, std::uint16_t(0));
    Common::StoreLe16(p + 10, std::uint16_t(subBytes));
    Common::StoreLe16(p + 12, std::uint16_t(subBytes + 2));
    Common::StoreLe16(p + 14, std::uint16_t(static_cast<std::uint32_t>(2 * print.size())));
    std::uint8_t* q = p + kMountPointPathStart;
    for (char16_t c : substitute) { Common::StoreLe16(q, std::uint16_t(c)); q += 2; }
    q += 2;  // terminator
    for (char16_t c : print) { Common::StoreLe16(q, std::uint16_t(c)); q += 2; }
    out = std::move(buffer);
  } catch (const std::bad_alloc&) {
    return kFileOutOfMemory;
  }
  return 0;
}
