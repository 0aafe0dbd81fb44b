// FAT names: the 11-byte 8.3 name in the OEM code page and the long name
// kept in long-name entries before it, tied to it by a checksum. No state;
// case mapping and code pages are the system's.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace filesystems {
namespace fatname {

constexpr std::uint8_t kLongNameAttribute = 0x0F;
constexpr std::uint8_t kLastLongNameEntry = 0x40;
constexpr std::uint8_t kLowerCaseBase = 0x08;
constexpr std::uint8_t kLowerCaseExtension = 0x10;
constexpr std::uint32_t kUnitsPerLongNameEntry = 13;
constexpr std::uint32_t kMaxLongNameEntries = 20;
constexpr std::uint32_t kMaxLongNameUnits = 255;

using Entry = std::array<std::uint8_t, 32>;

// Rotate right by one, add the byte, over the 11 name bytes.
std::uint8_t LfnChecksum(const std::uint8_t* name11);

// What every byte of an 8.3 name may be: copied as it is, dropped (space,
// dot), replaced by '_', or refused (never valid in a FAT name).
enum class ByteClass { kCopied, kDropped, kReplaced, kRefused };
ByteClass ClassifyShortNameByte(std::uint8_t byte);

// The name as an 8.3 name when it is one exactly (upper-cased, up to 8 base
// and 3 extension bytes, every byte one that 8.3 names may hold).
bool ToExactShortName(const std::u16string& name, std::uint8_t* out11);

struct ShortNameBasis {
  std::uint8_t name[11] = {};
  bool exact = true;          // nothing of the long name dropped, replaced or cut
  bool needsLongName = false;  // long-name entries must go with the 8.3 entry
  std::uint32_t shortBaseLength = 0;  // base bytes up to 2, at a character boundary
  std::uint32_t tailBaseLength = 0;   // base bytes up to 6, at a character boundary
};

// The 8.3 basis of any name; 0x4000a for a character no FAT name may hold.
void MakeShortNameBasis(ShortNameBasis& out, const std::u16string& longName);

// The displayed form of the 8.3 name of a directory entry (case flags in
// byte 12); false (and empty) when the bytes do not convert.
bool ShortNameToWide(std::u16string& out, const std::uint8_t* entry32);

// The long-name entries of a name of at most 255 units for an 8.3 name with
// this checksum, in the order they lie on disk (the 8.3 entry follows them).
std::vector<Entry> LayOutLongName(const std::u16string& name, std::uint8_t checksum);

}  // namespace fatname
}  // namespace filesystems
