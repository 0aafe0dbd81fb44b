// Volume layout records from outside: the reader, a repack of what it
// accepts, the dynamic-volume request made from it, and a composite volume
// built from it over small disks in memory.
//
// Input: the record's bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fdisk/error.h"
#include "fdisk/layout_record.h"
#include "fdisk/named_var_keys.h"

namespace {

class FuzzDisk : public Fdisk::SimpleDisk {
 public:
  FuzzDisk() {
    sectorSize_ = 512;
    lastSector_ = 63;
  }
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector > lastSector_ || count > lastSector_ - sector + 1) {
      return Fdisk::Error(1, 1, Fdisk::kErrInvalidIo);
    }
    if (op == Fdisk::kIoRead) std::memset(buffer, int(sector & 0xFF), std::size_t(count * 512));
    return Common::NoError;
  }
};

// Keys 1 to 3 and 11 to 13 and handles 1 to 3 and 0x100B to 0x100D (those
// of the seeds) name disks; everything else resolves to none.
class FuzzResolver : public Fdisk::DM::LayoutDiskResolver {
 public:
  Fdisk::SimpleDisk* ByHandle(std::uint64_t handle) override {
    if (handle >= 0x100B && handle <= 0x100D) handle -= 0x100A;
    return handle >= 1 && handle <= 3 ? &disks_[handle - 1] : nullptr;
  }
  Fdisk::SimpleDisk* ByKey(std::uint32_t key) override {
    return ByHandle(key >= 11 && key <= 13 ? key - 10 : key);
  }
  std::uint32_t IdOf(Fdisk::SimpleDisk* disk) override {
    return std::uint32_t(static_cast<FuzzDisk*>(disk) - disks_) + 1;
  }

 private:
  FuzzDisk disks_[3];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzResolver resolver;
  Fdisk::NamedVars::VarContainer request;
  const bool asked = !Fdisk::DM::LayoutRecordToLdmRequest(Common::ByteView(data, size), resolver,
                                                          &request);
  Fdisk::DM::LayoutRecord record;
  if (Fdisk::DM::ParseLayoutRecord(Common::ByteView(data, size), &record)) {
    if (asked) __builtin_trap();  // a request from a record the reader refuses
    return 0;
  }
  if (asked != !record.plexes.empty()) __builtin_trap();
  if (asked) {
    std::size_t members = 0;
    for (const auto& plex : record.plexes) members += plex.members.size();
    if (request.Get(Fdisk::NamedVars::Keys::OpRequest).size() != members) __builtin_trap();
  }
  const std::vector<std::uint8_t> packed = Fdisk::DM::PackLayoutRecord(record);
  if (packed.size() > size || std::memcmp(packed.data(), data, packed.size()) != 0) {
    __builtin_trap();  // what was accepted must pack back to the same bytes
  }
  (void)Fdisk::DM::LayoutVolumeType(record);
  if (record.plexes.size() > 4) return 0;
  for (const auto& plex : record.plexes) {
    if (plex.members.size() > 8) return 0;
  }
  try {
    auto disk = Fdisk::DM::CreateDMStdDisk(Fdisk::DM::BuildComposite(record, resolver),
                                               record.volumeSectors, 512);
    if (disk) {
      std::vector<std::uint8_t> buffer(4 * 512);
      (void)disk->Io(Fdisk::kIoRead, 0, buffer.data(), 4);
      (void)disk->Io(Fdisk::kIoRead, record.volumeSectors / 2, buffer.data(), 4);
    }
  } catch (const Fdisk::Error&) {
  }
  return 0;
}
