// The volume handler of a volume the snapshot library opened.
#include <cstring>
#include <new>
#include <vector>

#include "diskaccess/errors.h"
#include "diskaccess/win_computer.h"

namespace {

constexpr std::uint32_t kTag = 0x1419;
constexpr std::uint32_t kModule = Da::Module::kWindowsComputer;

Common::Error Failure(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error StatusFailure(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                            std::uint32_t status) {
  return SbStatusToError(Failure(site, code, message), status);
}

void NewInfo(SbVolumeInfo& info) {
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
}

}  // namespace

win_vol_handler::win_vol_handler(SbHandle handle, std::uint32_t number)
    : vol_handler(0), volumeNumber(number), volumeHandle(handle) {}

win_vol_handler::~win_vol_handler() {
  if (volumeHandle != 0) sbClose(volumeHandle);
  volumeHandle = 0;
}

Common::Error win_vol_handler::OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                                     std::uint64_t count) {
  if (op == Fdisk::kIoRead) {
    if (buffer == nullptr)
      return Failure(1, Da::Code::kVolumeReadNoBuffer, Da::Msg::kVolumeReadNoBuffer);
    if (volumeHandle == 0)
      return Failure(2, Da::Code::kVolumeReadNotCreated, Da::Msg::kVolumeReadNotCreated);
    const SbStatus s =
        sbReadVolume(volumeHandle, sector, static_cast<std::uint32_t>(count), buffer);
    if (s != SB_OK) return StatusFailure(3, Da::Code::kVolumeRead, Da::Msg::kVolumeRead, s);
    return Common::Error();
  }
  if (op == Fdisk::kIoWrite) {
    if (buffer == nullptr)
      return Failure(4, Da::Code::kVolumeWriteNoBuffer, Da::Msg::kVolumeWriteNoBuffer);
    if (volumeHandle == 0)
      return Failure(5, Da::Code::kVolumeWriteNotCreated, Da::Msg::kVolumeWriteNotCreated);
    const SbStatus s =
        sbWriteVolume(volumeHandle, sector, static_cast<std::uint32_t>(count), buffer);
    if (s != SB_OK) return StatusFailure(6, Da::Code::kVolumeWrite, Da::Msg::kVolumeWrite, s);
    return Common::Error();
  }
  return Failure(7, Da::Code::kVolumeUnknownOp, Da::Msg::kVolumeUnknownOp);
}

Common::Error win_vol_handler::VolGetFlags(std::uint32_t& out) {
  out = 0;
  if (volumeHandle == 0)
    return Failure(8, Da::Code::kVolumeFlagsNotCreated, Da::Msg::kVolumeFlagsNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  const SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(9, Da::Code::kVolumeFlags, Da::Msg::kVolumeFlags, s);
  out = info.flags;
  return Common::Error();
}

Common::Error win_vol_handler::VolGetLetter(std::uint8_t& letter) {
  letter = 0;
  if (volumeHandle == 0)
    return Failure(10, Da::Code::kVolumeLetterNotCreated, Da::Msg::kVolumeLetterNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  const SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(11, Da::Code::kVolumeLetter, Da::Msg::kVolumeLetter, s);
  letter = info.letter;
  return Common::Error();
}

Common::Error win_vol_handler::VolGetSysGuid(std::unique_ptr<Common::Guid>& guid) {
  guid.reset();
  if (volumeHandle == 0)
    return Failure(12, Da::Code::kVolumeGuidNotCreated, Da::Msg::kVolumeGuidNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(13, Da::Code::kVolumeGuid1, Da::Msg::kVolumeGuid1, s);
  std::uint16_t length = info.unique_id_size;
  if (length < 16)
    return Failure(14, Da::Code::kVolumeGuidLength, Da::Msg::kVolumeGuidLength);
  std::vector<std::uint8_t> id;
  try {
    id.resize(length);
  } catch (const std::bad_alloc&) {
    return Failure(15, Da::Code::kVolumeGuidMemory1, Da::Msg::kVolumeGuidMemory1);
  }
  NewInfo(info);
  SbPutAddress(&info.unique_id, &info.unique_id_high, id.data());
  info.unique_id_size = length;
  s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(16, Da::Code::kVolumeGuid2, Da::Msg::kVolumeGuid2, s);
  if (info.unique_id_size < 16 || info.unique_id_size > length)
    return Failure(17, Da::Code::kVolumeGuidLength, Da::Msg::kVolumeGuidLength);
  length = info.unique_id_size;
  guid.reset(new (std::nothrow) Common::Guid);
  if (!guid) return Failure(18, Da::Code::kVolumeGuidMemory2, Da::Msg::kVolumeGuidMemory2);
  std::memcpy(guid->bytes, id.data() + length - 16, 16);
  return Common::Error();
}

Common::Error win_vol_handler::VolGetLocations(std::vector<DaExtent>& list, std::uint32_t& flag) {
  list.clear();
  flag = 0;
  if (volumeHandle == 0)
    return Failure(19, Da::Code::kVolumeLocationsNotCreated, Da::Msg::kVolumeLocationsNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK)
    return StatusFailure(20, Da::Code::kVolumeLocations1, Da::Msg::kVolumeLocations1, s);
  const std::uint32_t bytes = info.extents_size;
  const std::uint32_t count = bytes / sizeof(SbVolumeExtent);
  if (count == 0) return Common::Error();
  std::vector<SbVolumeExtent> extents;
  try {
    extents.resize(count);
  } catch (const std::bad_alloc&) {
    return Failure(21, Da::Code::kVolumeLocationsMemory1, Da::Msg::kVolumeLocationsMemory1);
  }
  NewInfo(info);
  SbPutAddress(&info.extents, &info.extents_high, extents.data());
  info.extents_size = count * sizeof(SbVolumeExtent);
  s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK)
    return StatusFailure(22, Da::Code::kVolumeLocations2, Da::Msg::kVolumeLocations2, s);
  if (info.locations == 1) flag = 1;
  try {
    list.reserve(count);
  } catch (const std::bad_alloc&) {
    return Failure(23, Da::Code::kVolumeLocationsMemory2, Da::Msg::kVolumeLocationsMemory2);
  }
  for (const SbVolumeExtent& e : extents)
    list.push_back(DaExtent{0, e.drive_number, e.first_sector, e.sector_count});
  return Common::Error();
}

Common::Error win_vol_handler::VolGetWriteCounter(std::uint64_t& counter) {
  counter = 0;
  if (volumeHandle == 0)
    return Failure(24, Da::Code::kVolumeWriteCounterNotCreated,
                   Da::Msg::kVolumeWriteCounterNotCreated);
  SbVolumeStat stat;
  std::memset(&stat, 0, sizeof stat);
  stat.size = sizeof stat;
  const SbStatus s = sbGetVolumeStat(volumeHandle, &stat);
  if (s != SB_OK)
    return StatusFailure(25, Da::Code::kVolumeWriteCounter, Da::Msg::kVolumeWriteCounter, s);
  counter = stat.write_counter;
  return Common::Error();
}
