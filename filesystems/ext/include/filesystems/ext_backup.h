// The backup object of one ext entry: attributes, the POSIX record,
// extended attributes (in-inode and in the attribute block), the file data
// as Windows backup streams (one data stream, or one sparse stream per
// mapped run), and the times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/backup.h"
#include "filesystems/ext_inode.h"

namespace filesystems {
namespace extfs {

constexpr std::uint32_t kExtBackupModuleId = 0x7A136000;
constexpr std::uint32_t kAttributeMagic = 0xEA020000;
// Option bit: leave the file data out.
constexpr std::uint32_t kBackupSkipData = 0x4;

// The full name prefix of an attribute name index.
const char* AttributeNamePrefix(std::uint8_t index);

// Appends the records (u16 name length, u32 value size, u32 0, name,
// value) of the entries of one attribute area: `area` of `size` bytes,
// entries from `first`, value offsets counted from `valueBase`. Damage
// throws 0x4000d.
void ParseAttributeEntries(const std::uint8_t* area, std::uint32_t size, std::uint32_t first,
                           std::uint32_t valueBase, std::vector<std::uint8_t>& records);

class ExtfsBackupObject : public FileSystemDriver::BackupObject {
 public:
  static constexpr std::uint32_t kChunk = 0x40000;
  ExtfsBackupObject(ExtfsDriver* driver, std::uint32_t inodeIndex, std::uint32_t options);
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override;

  bool HasExtendedAttributes() const;

 private:
  void Advance();
  std::uint32_t ProducePosixAttributes(std::uint8_t* out, std::uint32_t capacity);
  std::uint32_t ProduceExtendedAttributes(std::uint8_t* out, std::uint32_t capacity);
  std::uint32_t ProduceData(std::uint8_t* out, std::uint32_t capacity);

  ExtfsDriver* driver_;
  InodeRef inode_;
  std::uint32_t options_;
  std::uint64_t block_ = 0;     // next file block to produce
  std::uint64_t runEnd_ = 0;    // end of the current stream's run
  bool closed_ = false;         // the closing sparse stream was produced
  std::vector<std::uint8_t> attributes_;
  std::size_t attributesDone_ = 0;
  bool attributesBuilt_ = false;
};

}  // namespace extfs
}  // namespace filesystems
