// The security data of one file system entry as the "GRSQ" and "SRSQ"
// control requests carry it: four self-relative security descriptors, one
// per kind of security information, each read from (and written to) the
// entry on its own.
//
// Parts, in their fixed order: DACL (4), group (2), owner (1), SACL (8); each
// holds the bytes GetFileSecurityW gave for that one flag, or nothing.
//
// Serialized form, for each part in that order: a little-endian u32 byte
// count, then that many descriptor bytes; an empty part is a count of 0.
// The total is 16 + the sum of the counts.
//
// The serialized form comes from callers outside the process's control, so
// Deserialize checks it completely before it keeps anything: every count
// against the bytes actually handed over, and every descriptor's own offsets
// and lengths (owner and group SIDs, SACL and DACL with their entries)
// against the descriptor's size. Malformed data gives 0x4000d ("The file is
// corrupted.") and leaves the set as it was.
//
// The serialized form is portable; reading and writing an entry's security
// exist only in the Windows build. One object is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/error.h"

class SecurityDescriptorSet {
 public:
  static constexpr std::uint32_t kPartCount = 4;

  // Security-information flags of the parts, in their order.
  static constexpr std::uint32_t kDacl = 4;
  static constexpr std::uint32_t kGroup = 2;
  static constexpr std::uint32_t kOwner = 1;
  static constexpr std::uint32_t kSacl = 8;

  struct Part {
    std::uint32_t flag = 0;
    std::unique_ptr<std::uint8_t[]> bytes;  // null when the part is empty
    std::uint32_t size = 0;
  };

  // Four empty parts. In the Windows build the first construction in the
  // process also binds GetFileSecurityW and SetFileSecurityW.
  SecurityDescriptorSet();
  SecurityDescriptorSet(const SecurityDescriptorSet&) = delete;
  SecurityDescriptorSet& operator=(const SecurityDescriptorSet&) = delete;

  const Part& part(std::uint32_t index) const { return parts_[index]; }

  // Empties every part.
  void Clear() noexcept;

  // Replaces the bytes of the part with this flag by a copy of `size` bytes
  // (size 0: empties it). False, with nothing changed, for an unknown flag,
  // a descriptor that fails WellFormedDescriptor or exhausted memory.
  bool SetPart(std::uint32_t flag, const void* bytes, std::uint32_t size) noexcept;

  // 16 + the sum of the counts (0 when that does not fit in 32 bits).
  std::uint32_t SerializedSize() const noexcept;

  // Allocates the serialized form into `out` and returns its size; 0, with
  // `out` null, when memory is short.
  std::uint32_t Serialize(std::unique_ptr<std::uint8_t[]>& out) const noexcept;

  // Fills the parts from `size` bytes of serialized data. Data that is
  // shorter or longer than its counts say, or a descriptor that is not well
  // formed: 0x4000d. Exhausted memory: 0x40006. On any failure the parts are
  // unchanged.
  Common::Error Deserialize(const void* data, std::size_t size) noexcept;

#ifdef _WIN32
  // Reads each part from the entry (GetFileSecurityW with that one flag).
  // False only when GetFileSecurityW is missing; a part that cannot be read
  // (the SACL without the privilege, say), or whose bytes are not a well
  // formed descriptor, stays empty.
  bool Read(const char16_t* path);

  // SetFileSecurityW of each non-empty part in order, ignoring each call's
  // result. False only when SetFileSecurityW is missing.
  bool Write(const char16_t* path) const;
#endif

  // True when `size` bytes at `bytes` form a self-relative security
  // descriptor whose owner, group, SACL and DACL (and every entry of the
  // lists) lie inside those bytes.
  static bool WellFormedDescriptor(const std::uint8_t* bytes, std::size_t size) noexcept;

 private:
#ifdef _WIN32
  // Looks up GetFileSecurityW and SetFileSecurityW once per process.
  static void BindSystemFunctions() noexcept;
#endif

  Part parts_[kPartCount];
};
