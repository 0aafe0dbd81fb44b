// The attributes file: the extended attributes of files and folders, keyed
// by (file id, attribute name, start block). An attribute is either one
// inline-data record or a fork-data record followed by extents records
// whose start blocks continue its fork. The driver reads and lists them and
// removes all of an entry's attributes when the entry goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/hfs_tree_file.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsAttributesModuleId = 0x7A148000;

constexpr std::uint32_t kInlineDataRecord = 0x10;
constexpr std::uint32_t kForkDataRecord = 0x20;
constexpr std::uint32_t kExtentsRecord = 0x30;
constexpr std::size_t kMaxInlineData = 0x8000;
constexpr std::size_t kMaxAttributeNameUnits = 127;

struct AttributeInfo {
  std::u16string name;
  std::uint32_t type = 0;  // of the attribute's first record
};

class AttributesFile : public TreeFile {
 public:
  explicit AttributesFile(SpecialFile& file);

  // A key in on-disk form; a name of more than 127 units: 0x4000e.
  static std::vector<std::uint8_t> MakeKey(std::uint32_t fileId, std::uint32_t startBlock,
                                           const std::u16string& name);

  // The file's attributes in key order, each once.
  std::vector<AttributeInfo> ListAttributes(std::uint32_t fileId);
  // The bytes of an inline attribute: 0x40011 when missing, 0x4000d for
  // another record type or a size past the record or above 0x8000.
  std::vector<std::uint8_t> ReadInlineData(std::uint32_t fileId, const std::u16string& name);
  // The whole extent list of a fork-data attribute (its fork record's
  // eight and the extents records after it) and its logical size.
  ExtentList ForkExtents(std::uint32_t fileId, const std::u16string& name,
                         std::uint64_t* logicalSize);
  // Deletes every record of the file and frees the blocks of its
  // fork-data attributes; other files' attributes stay.
  void RemoveAll(std::uint32_t fileId);
};

}  // namespace hfsplus
}  // namespace filesystems
