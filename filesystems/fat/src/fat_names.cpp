// The FAT name codec.
#include "filesystems/fat_names.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/fat_driver.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace fatname {
namespace {

constexpr std::uint32_t kModuleId = kFatVolumeModuleId | 0x0400;

}  // namespace

std::uint8_t LfnChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

ByteClass ClassifyShortNameByte(std::uint8_t b) {
  if (b == 0x20 || b == 0x2E) return ByteClass::kDropped;
  switch (b) {
    case 0x2B: case 0x2C: case 0x3B: case 0x3D: case 0x5B: case 0x5D:
      return ByteClass::kReplaced;
    case 0x22: case 0x2A: case 0x2F: case 0x3A: case 0x3C: case 0x3E: case 0x3F: case 0x5C:
    case 0x7C:
      return ByteClass::kRefused;
    default:
      break;
  }
  return b < 0x20 ? ByteClass::kRefused : ByteClass::kCopied;
}

bool ToExactShortName(const std::u16string& name, std::uint8_t* out11) {
  std::u16string upper = name;
  if (!Common::ToUpperCase(upper)) return false;
  std::string oem;
  if (upper.empty() || upper.find(u'\0') != std::u16string::npos ||
      !Common::WideToOem(oem, upper.c_str(), upper.size()))
    return false;
  const std::size_t dot = std::min(oem.find('.'), oem.size());
  if (dot < 1 || dot > 8) return false;
  std::string extension;
  if (dot < oem.size()) {
    extension = oem.substr(dot + 1);
    if (extension.size() > 3) return false;
  }
  // Every byte must be one an 8.3 name may hold as it is: a space, a second
  // dot or a '+' would give a name other tools call invalid.
  std::string base = oem.substr(0, dot);
  for (const std::string* part : {&base, &extension})
    for (char c : *part)
      if (ClassifyShortNameByte(std::uint8_t(c)) != ByteClass::kCopied) return false;
  std::memset(out11, ' ', 11);
  std::memcpy(out11, base.data(), base.size());
  std::memcpy(out11 + 8, extension.data(), extension.size());
  if (out11[0] == 0xE5) out11[0] = 0x05;
  return true;
}

void MakeShortNameBasis(ShortNameBasis& out, const std::u16string& longName) {
  out = ShortNameBasis();
  std::u16string upper = longName;
  Common::ToUpperCase(upper);
  // The last dot separates the extension, unless only dots and spaces
  // come before it ('.profile').
  std::size_t separator = upper.rfind(u'.');
  if (separator != std::u16string::npos &&
      std::all_of(upper.begin(), upper.begin() + std::ptrdiff_t(separator),
                  [](char16_t c) { return c == u'.' || c == u' '; }))
    separator = std::u16string::npos;

  std::uint8_t* name = out.name;
  std::memset(name, ' ', 11);
  std::uint32_t limit = 8, position = 0;
  for (std::size_t i = 0; i < upper.size(); ++i) {
    const char16_t c = upper[i];
    if (i == separator) {
      if (position < 8) {
        if (position == 0) {
          name[0] = '_';
          out.exact = false;
          out.shortBaseLength = out.tailBaseLength = 1;
        }
        position = 8;
      }
      limit = 11;
      continue;
    }
    if (position >= limit) {
      out.exact = false;
      continue;
    }
    std::string bytes;
    if (c < 0x80) {
      bytes.assign(1, char(c));
    } else {
      out.needsLongName = true;
      if (!Common::WideToOem(bytes, &c, 1) || bytes.empty()) {
        bytes = "_";
        out.exact = false;
      }
    }
    switch (ClassifyShortNameByte(std::uint8_t(bytes[0]))) {
      case ByteClass::kDropped:
        out.exact = false;
        continue;
      case ByteClass::kReplaced:
        bytes = "_";
        out.exact = false;
        break;
      case ByteClass::kRefused:
        ThrowFileError(0x01, kModuleId, kFileCreateError);
      case ByteClass::kCopied:
        break;
    }
    if (position + bytes.size() > limit) {
      name[position++] = ' ';
      out.exact = false;
    } else {
      std::memcpy(name + position, bytes.data(), bytes.size());
      position += std::uint32_t(bytes.size());
    }
    if (position <= 2) out.shortBaseLength = position;
    if (position <= 6) out.tailBaseLength = position;
  }
  if (std::all_of(name, name + 11, [](std::uint8_t b) { return b == ' '; })) {
    name[0] = '_';
    out.exact = false;
  }
  if (name[0] == 0xE5) name[0] = 0x05;
  if (!out.exact || upper != longName) out.needsLongName = true;
}

bool ShortNameToWide(std::u16string& out, const std::uint8_t* entry) {
  out.clear();
  std::uint8_t bytes[11];
  std::memcpy(bytes, entry, 11);
  if (bytes[0] == 0x05) bytes[0] = 0xE5;
  auto part = [&](const std::uint8_t* at, std::size_t n, bool lower, std::u16string& text) {
    if (!Common::OemToWide(text, reinterpret_cast<const char*>(at), n)) return false;
    while (!text.empty() && text.back() == u' ') text.pop_back();
    if (lower && !text.empty()) Common::ToLowerCase(text);
    return true;
  };
  std::u16string base, extension;
  if (!part(bytes, 8, entry[12] & kLowerCaseBase, base) ||
      !part(bytes + 8, 3, entry[12] & kLowerCaseExtension, extension))
    return false;
  out = base;
  if (!extension.empty()) out += u'.' + extension;
  return true;
}

std::vector<Entry> LayOutLongName(const std::u16string& name, std::uint8_t checksum) {
  const std::size_t length = std::min<std::size_t>(name.size(), kMaxLongNameUnits);
  const std::size_t count = (length + kUnitsPerLongNameEntry - 1) / kUnitsPerLongNameEntry;
  static constexpr std::uint8_t kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<Entry> entries(count);
  for (std::size_t k = 1; k <= count; ++k) {
    Entry& e = entries[count - k];
    e.fill(0);
    e[0] = std::uint8_t(k | (k == count ? kLastLongNameEntry : 0));
    e[11] = kLongNameAttribute;
    e[13] = checksum;
    for (std::size_t u = 0; u < kUnitsPerLongNameEntry; ++u) {
      const std::size_t at = (k - 1) * kUnitsPerLongNameEntry + u;
      const char16_t unit = at < length ? name[at] : at == length ? u'\0' : u'\xFFFF';
      Common::StoreLe16(e.data() + kUnitOffsets[u], std::uint16_t(unit));
    }
  }
  return entries;
}

}  // namespace fatname
}  // namespace filesystems
