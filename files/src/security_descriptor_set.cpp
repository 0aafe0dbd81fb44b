// The portable half of SecurityDescriptorSet: the parts, their serialized
// form and the checks that keep a malformed descriptor out of the set.
#include "foundation/byteorder.h"
#include "files/security_descriptor_set.h"

#include <cstring>
#include <new>

#include "files/file_error.h"

namespace {

constexpr std::uint32_t kModuleId = 0x2101;
constexpr std::uint32_t kLocCorrupt = (kModuleId << 16) | 1;
constexpr std::uint32_t kLocNoMemory = (kModuleId << 16) | 2;

constexpr std::uint32_t kPartFlags[SecurityDescriptorSet::kPartCount] = {
    SecurityDescriptorSet::kDacl, SecurityDescriptorSet::kGroup,
    SecurityDescriptorSet::kOwner, SecurityDescriptorSet::kSacl};

// Layout of the system's self-relative descriptor, SID, ACL and ACE headers.
constexpr std::size_t kDescriptorHeaderSize = 20;
constexpr std::uint8_t kDescriptorRevision = 1;
constexpr std::uint16_t kSelfRelative = 0x8000;
constexpr std::uint8_t kSidRevision = 1;
constexpr std::size_t kSidHeaderSize = 8;
constexpr std::uint8_t kSidMaxSubAuthorities = 15;
constexpr std::size_t kAclHeaderSize = 8;
constexpr std::uint8_t kAclRevisionMin = 2;
constexpr std::uint8_t kAclRevisionMax = 4;
constexpr std::size_t kAceHeaderSize = 4;
constexpr std::size_t kAceMaskSize = 4;

// A SID of `size` bytes at most: revision 1, at most 15 sub-authorities, and
// all of them inside.
bool SidFits(const std::uint8_t* sid, std::size_t size) {
  if (size < kSidHeaderSize) return false;
  if (sid[0] != kSidRevision || sid[1] > kSidMaxSubAuthorities) return false;
  return kSidHeaderSize + 4u * sid[1] <= size;
}

// Entry types whose body is an access mask followed by a SID: allowed,
// denied, audit and alarm, their callback forms, the mandatory label, the
// resource attribute and the scoped policy entries.
bool AceHasMaskAndSid(std::uint8_t type) {
  switch (type) {
    case 0x00: case 0x01: case 0x02: case 0x03:
    case 0x09: case 0x0A: case 0x0D: case 0x0E:
    case 0x11: case 0x12: case 0x13:
      return true;
    default:
      return false;
  }
}

// An ACL of `size` bytes at most whose declared size and every entry lie
// inside.
bool AclFits(const std::uint8_t* acl, std::size_t size) {
  if (size < kAclHeaderSize) return false;
  if (acl[0] < kAclRevisionMin || acl[0] > kAclRevisionMax) return false;
  const std::size_t aclSize = Common::LoadLe16(acl + 2);
  if (aclSize < kAclHeaderSize || aclSize > size) return false;
  const std::uint16_t aceCount = Common::LoadLe16(acl + 4);
  std::size_t offset = kAclHeaderSize;
  for (std::uint16_t i = 0; i < aceCount; ++i) {
    if (aclSize - offset < kAceHeaderSize) return false;
    const std::uint8_t* ace = acl + offset;
    const std::size_t aceSize = Common::LoadLe16(ace + 2);
    if (aceSize < kAceHeaderSize || aceSize > aclSize - offset) return false;
    if (AceHasMaskAndSid(ace[0])) {
      const std::size_t sidOffset = kAceHeaderSize + kAceMaskSize;
      if (aceSize < sidOffset || !SidFits(ace + sidOffset, aceSize - sidOffset)) return false;
    }
    offset += aceSize;
  }
  return true;
}

}  // namespace

SecurityDescriptorSet::SecurityDescriptorSet() {
  for (std::uint32_t i = 0; i < kPartCount; ++i) parts_[i].flag = kPartFlags[i];
#ifdef _WIN32
  BindSystemFunctions();
#endif
}

void SecurityDescriptorSet::Clear() noexcept {
  for (Part& part : parts_) {
    part.bytes.reset();
    part.size = 0;
  }
}

bool SecurityDescriptorSet::SetPart(std::uint32_t flag, const void* bytes,
                                    std::uint32_t size) noexcept {
  for (Part& part : parts_) {
    if (part.flag != flag) continue;
    if (size == 0) {
      part.bytes.reset();
      part.size = 0;
      return true;
    }
    const auto* source = static_cast<const std::uint8_t*>(bytes);
    if (!source || !WellFormedDescriptor(source, size)) return false;
    std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[size]);
    if (!copy) return false;
    std::memcpy(copy.get(), source, size);
    part.bytes = std::move(copy);
    part.size = size;
    return true;
  }
  return false;
}

std::uint32_t SecurityDescriptorSet::SerializedSize() const noexcept {
  std::uint64_t total = 4u * kPartCount;
  for (const Part& part : parts_) total += part.size;
  return total > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(total);
}

std::uint32_t SecurityDescriptorSet::Serialize(
    std::unique_ptr<std::uint8_t[]>& out) const noexcept {
  out.reset();
  const std::uint32_t total = SerializedSize();
  if (total == 0) return 0;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[total]);
  if (!buffer) return 0;
  std::uint8_t* p = buffer.get();
  for (const Part& part : parts_) {
    Common::StoreLe32(p, part.size);
    p += 4;
    if (part.size) {
      std::memcpy(p, part.bytes.get(), part.size);
      p += part.size;
    }
  }
  out = std::move(buffer);
  return total;
}

Common::Error SecurityDescriptorSet::Deserialize(const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (!p) return MakeFileError(kLocCorrupt, kModuleId, kFileCorrupted);
  std::size_t left = size;
  Part fresh[kPartCount];
  for (std::uint32_t i = 0; i < kPartCount; ++i) {
    fresh[i].flag = kPartFlags[i];
    if (left < 4) return MakeFileError(kLocCorrupt, kModuleId, kFileCorrupted);
    const std::uint32_t count = Common::LoadLe32(p);
    p += 4;
    left -= 4;
    if (count == 0) continue;
    if (count > left || !WellFormedDescriptor(p, count))
      return MakeFileError(kLocCorrupt, kModuleId, kFileCorrupted);
    fresh[i].bytes.reset(new (std::nothrow) std::uint8_t[count]);
    if (!fresh[i].bytes) return MakeFileError(kLocNoMemory, kModuleId, kFileOutOfMemory);
    std::memcpy(fresh[i].bytes.get(), p, count);
    fresh[i].size = count;
    p += count;
    left -= count;
  }
  // Bytes after the last part mean the counts do not describe this data.
  if (left != 0) return MakeFileError(kLocCorrupt, kModuleId, kFileCorrupted);
  for (std::uint32_t i = 0; i < kPartCount; ++i) parts_[i] = std::move(fresh[i]);
  return Common::NoError;
}

bool SecurityDescriptorSet::WellFormedDescriptor(const std::uint8_t* bytes,
                                                 std::size_t size) noexcept {
  if (!bytes || size < kDescriptorHeaderSize) return false;
  if (bytes[0] != kDescriptorRevision) return false;
  if (!(Common::LoadLe16(bytes + 2) & kSelfRelative)) return false;
  // Owner, group, SACL, DACL: 0 means absent; anything else must lie after
  // the header and hold its whole structure.
  for (int field = 0; field < 4; ++field) {
    const std::uint32_t offset = Common::LoadLe32(bytes + 4 + 4 * field);
    if (offset == 0) continue;
    if (offset < kDescriptorHeaderSize || offset >= size) return false;
    const bool isSid = field < 2;
    if (isSid ? !SidFits(bytes + offset, size - offset) : !AclFits(bytes + offset, size - offset))
      return false;
  }
  return true;
}
