// Mount-point and symbolic-link reparse data: the bytes that
// FSCTL_GET_REPARSE_POINT returns and FSCTL_SET_REPARSE_POINT takes.
//
// Layout (little-endian): tag (u32) at 0, data length (u16) at 4, reserved
// (u16) at 6, substitute name offset (u16) at 8, substitute name length in
// bytes (u16) at 10, print name offset at 12, print name length at 14. A
// mount point (0xA0000003) has its path buffer at 16; a symbolic link
// (0xA000000C) has a u32 flags word at 16 (bit 0: relative link) and its path
// buffer at 20. Name offsets are relative to the path buffer.
//
// The parser trusts nothing it reads: every length and offset is checked
// against the bytes actually handed in, and malformed data is reported as
// kFileCorrupted. It is portable so that it can be fuzzed natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003;
constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;
// Largest reparse buffer the file system accepts (MAXIMUM_REPARSE_DATA_BUFFER_SIZE).
constexpr std::size_t kMaxReparseDataSize = 0x4000;

struct ReparseLink {
  std::uint32_t tag = 0;
  bool relative = false;          // symbolic link with flags bit 0
  std::u16string substituteName;  // as stored, possibly with zero units inside
  std::u16string printName;
};

// Reads the tag only; 0 when fewer than 4 bytes are given.
std::uint32_t ReparseTag(const void* data, std::size_t size) noexcept;

// Parses a mount-point or symbolic-link buffer of `size` valid bytes.
// Returns 0 on success; kFileOpenError when the tag is neither of the two
// (the entry is not a link this layer follows); kFileCorrupted when the
// header, the data length or a name lies outside the bytes given or a name
// length is odd; kFileOutOfMemory when the names cannot be copied.
std::uint32_t ParseReparseLink(const void* data, std::size_t size, ReparseLink& out) noexcept;

// The target path that a parsed link names, in the form the directories use:
// the substitute name cut at its first zero unit; a relative symbolic link
// keeps that text; any other must begin with "\??\", which is removed; a bare
// drive "X:" gets a '\'; a first component that is not a drive gets "\\?\"
// in front (\??\Volume{...}\ -> \\?\Volume{...}\, \??\UNC\s\x -> \\?\UNC\s\x).
// Returns 0, kFileOpenError (no "\??\" prefix or nothing after it) or
// kFileOutOfMemory.
std::uint32_t ReparseLinkTarget(const ReparseLink& link, std::u16string& out) noexcept;

// Builds the mount-point buffer that turns a directory into a junction.
// `ntTarget` is the target's NT long path ("\\?\C:\dir", no trailing
// separator except for a drive root); `printTarget` the target's resolved
// path as the directories write it (with its trailing separator). A drive
// root keeps "X:\" as print name and gets a '\' on the substitute name;
// any other print name loses its trailing separator. The substitute name is
// stored in "\??\" form. Returns 0, kFileCreateError when the buffer would
// exceed kMaxReparseDataSize or the target is not a long path, or
// kFileOutOfMemory.
std::uint32_t BuildMountPointData(const std::u16string& ntTarget,
                                  const std::u16string& printTarget,
                                  std::vector<std::uint8_t>& out) noexcept;
