// Base behaviour of the directory operations that every implementation may
// fall back on: space and label queries, and following a link.
#include "files/dir.h"
#include "files/file_error.h"

namespace {
constexpr std::uint32_t kModuleId = 0x73f11291;
constexpr std::uint32_t kLocationBase = 0x2003u << 16;
constexpr std::uint32_t kLocDiskSpace = kLocationBase | 1;
constexpr std::uint32_t kLocVolumeInfo = kLocationBase | 2;
constexpr std::uint32_t kLocFollowLinkClone = kLocationBase | 3;
}  // namespace

void i_dir::disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) {
  total = 0;
  free = 0;
  available = 0;
  store_not_supported(kLocDiskSpace, kModuleId, false);
}

void i_dir::volume_info(char16_t* buffer, std::uint32_t length) {
  if (buffer != nullptr && length != 0) buffer[0] = u'\0';
  store_not_supported(kLocVolumeInfo, kModuleId, false);
}

dir_entry_pair i_dir::follow_link(const file_identifier* id, std::uint32_t /*flags*/) {
  i_dir* directory = open_dir(u".");
  if (directory == nullptr) return {nullptr, nullptr};
  if (id == nullptr) return {directory, nullptr};
  file_identifier* copy = id->clone();
  if (copy == nullptr) {
    delete directory;
    store_error(MakeFileError(kLocFollowLinkClone, kModuleId, kFileOutOfMemory));
    return {nullptr, nullptr};
  }
  return {directory, copy};
}
