// The volume handler of a volume the snapshot library opened.
#include <cstring>
#include <new>
#include <vector>

#include "diskaccess/errors.h"
#include "diskaccess/volume_handlers.h"
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
  const bool read = op == Fdisk::kIoRead;
  if (!read && op != Fdisk::kIoWrite)
    return Failure(7, Da::Code::kVolumeUnknownOp, Da::Msg::kVolumeUnknownOp);
  if (buffer == nullptr)
    return read ? Failure(1, Da::Code::kVolumeReadNoBuffer, Da::Msg::kVolumeReadNoBuffer)
                : Failure(4, Da::Code::kVolumeWriteNoBuffer, Da::Msg::kVolumeWriteNoBuffer);
  if (volumeHandle == 0)
    return read ? Failure(2, Da::Code::kVolumeReadNotCreated, Da::Msg::kVolumeReadNotCreated)
                : Failure(5, Da::Code::kVolumeWriteNotCreated, Da::Msg::kVolumeWriteNotCreated);
  // The library takes a 32-bit count: a longer transfer goes in pieces, so
  // that no sector is left out of a transfer reported whole.
  auto* p = static_cast<std::uint8_t*>(buffer);
  const std::uint32_t size = GetSectorSize();
  while (count > 0) {
    const std::uint32_t n = static_cast<std::uint32_t>(
        count < Da::kMaxSectorsPerTransfer ? count : Da::kMaxSectorsPerTransfer);
    const SbStatus s = read ? sbReadVolume(volumeHandle, sector, n, p)
                            : sbWriteVolume(volumeHandle, sector, n, p);
    if (s != SB_OK)
      return read ? StatusFailure(3, Da::Code::kVolumeRead, Da::Msg::kVolumeRead, s)
                  : StatusFailure(6, Da::Code::kVolumeWrite, Da::Msg::kVolumeWrite, s);
    p += std::size_t(n) * size;
    sector += n;
    count -= n;
  }
  return Common::Error();
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

Common::Error win_vol_handler::GetDevName(const char16_t*& name) {
  name = nullptr;
  second_name.reset();
  if (volumeHandle == 0)
    return Failure(49, Da::VolCode::kDevNameNotCreated, Da::VolMsg::kDevNameNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  const SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(50, Da::VolCode::kDevName, Da::VolMsg::kDevName, s);
  std::unique_ptr<std::u16string> text(new (std::nothrow) std::u16string());
  if (!text) return Failure(51, Da::VolCode::kDevNameMemory, Da::VolMsg::kDevNameMemory);
  // Up to its terminator, and never past the field, whatever the library
  // left in it.
  for (std::size_t i = 0; i < sizeof info.device_name && info.device_name[i] != 0; ++i)
    text->push_back(static_cast<char16_t>(static_cast<std::uint8_t>(info.device_name[i])));
  second_name = std::move(text);
  name = second_name->c_str();
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
  // The second answer may differ from the first: only entries that were
  // both asked for and reported are read.
  const std::uint32_t reported = info.extents_size / sizeof(SbVolumeExtent);
  if (reported > count)
    return Failure(26, Da::Code::kVolumeLocations2, Da::Msg::kVolumeLocations2);
  extents.resize(reported);
  if (info.locations == 1) flag = 1;
  try {
    list.reserve(reported);
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

// ------------------------------------------------------ volume operations


Common::Error win_vol_handler::VolDelete() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbDeleteVolume(volumeHandle);
  // The library keeps no handle of a volume it was asked to delete.
  volumeNumber = 0;
  volumeHandle = 0;
  if (s != SB_OK) return StatusFailure(30, Da::VolCode::kDelete, Da::VolMsg::kDelete, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolExtend(std::uint64_t newSectorCount) {
  const SbStatus s = sbExtendVolume(volumeHandle, newSectorCount);
  if (s != SB_OK) return StatusFailure(31, Da::VolCode::kExtend, Da::VolMsg::kExtend, s);
  if (newSectorCount != 0) SetLastSector(newSectorCount - 1);
  return Common::Error();
}

Common::Error win_vol_handler::VolGetOpenFiles(std::u16string& files) {
  files.clear();
  if (volumeHandle == 0)
    return Failure(32, Da::VolCode::kOpenFilesNotCreated, Da::VolMsg::kOpenFilesNotCreated);
  std::uint32_t bytes = 0;
  SbStatus s = sbGetVolumeOpenedFiles(volumeHandle, &bytes, nullptr);
  if (s != SB_OK)
    return StatusFailure(33, Da::VolCode::kOpenFiles1, Da::VolMsg::kOpenFiles1, s);
  if (bytes == 0) return Common::Error();
  std::vector<char16_t> text;
  try {
    text.resize((std::size_t(bytes) + 1) / 2);
  } catch (const std::bad_alloc&) {
    return Failure(34, Da::VolCode::kOpenFiles2, Da::VolMsg::kOpenFiles2);
  }
  std::uint32_t room = static_cast<std::uint32_t>(text.size() * 2);
  s = sbGetVolumeOpenedFiles(volumeHandle, &room, text.data());
  if (s != SB_OK)
    return StatusFailure(35, Da::VolCode::kOpenFiles2, Da::VolMsg::kOpenFiles2, s);
  // The text ends at its terminator or at the end of the buffer, whichever
  // comes first: an unterminated answer is never read past.
  std::size_t units = text.size();
  if (room / 2 < units) units = room / 2;
  std::size_t end = 0;
  while (end < units && text[end] != 0) ++end;
  files.assign(text.data(), end);
  return Common::Error();
}

Common::Error win_vol_handler::VolGetPath(const char16_t*& path) {
  path = nullptr;
  if (volumeHandle == 0)
    return Failure(36, Da::VolCode::kPathNotCreated, Da::VolMsg::kPathNotCreated);
  SbVolumeInfo info;
  NewInfo(info);
  const SbStatus s = sbGetVolumeInfo(volumeHandle, &info);
  if (s != SB_OK) return StatusFailure(37, Da::VolCode::kPath, Da::VolMsg::kPath, s);
  if (info.path[0] == 0) return Common::Error();
  std::memcpy(pathBuffer, info.path, sizeof pathBuffer);
  pathBuffer[255] = 0;
  path = pathBuffer;
  return Common::Error();
}

std::uint64_t win_vol_handler::VolGetSize() {
  if (volumeHandle == 0) return 0;
  SbVolumeInfo info;
  NewInfo(info);
  if (sbGetVolumeInfo(volumeHandle, &info) != SB_OK) return 0;
  return info.sector_count;
}

Common::Error win_vol_handler::VolLockFast() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbLockVolume(volumeHandle, 2);
  if (s != SB_OK) return StatusFailure(38, Da::VolCode::kLockFast, Da::VolMsg::kLockFast, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolLockFull() {
  if (volumeHandle == 0) return Common::Error();
  // The system volume is never locked exclusively: the library is not asked.
  std::uint32_t volumeFlags = 0;
  VolGetFlags(volumeFlags);
  if ((volumeFlags & SB_VOLUME_FLAG_SYSTEM) != 0)
    return Failure(39, Da::VolCode::kLockSystem, Da::VolMsg::kLockSystem);
  const SbStatus s = sbLockVolume(volumeHandle, 1);
  if (s != SB_OK) return StatusFailure(40, Da::VolCode::kLockFull, Da::VolMsg::kLockFull, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolTmpUnlock() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbLockVolume(volumeHandle, 4);
  if (s != SB_OK)
    return StatusFailure(41, Da::VolCode::kTmpUnlock, Da::VolMsg::kTmpUnlock, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolSetLetter(std::uint8_t letter, std::uint8_t& statusSeen) {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbSetVolumeLetter(volumeHandle, letter);
  statusSeen = s != SB_OK ? 1 : 0;
  // "Done, takes effect later" is success.
  if (s != SB_OK && s != SB_STATUS_LETTER_PENDING)
    return StatusFailure(42, Da::VolCode::kSetLetter, Da::VolMsg::kSetLetter, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolUmount() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbDismountVolume(volumeHandle);
  if (s != SB_OK) return StatusFailure(43, Da::VolCode::kUmount, Da::VolMsg::kUmount, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolUnhide() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbUnhideVolume(volumeHandle);
  if (s != SB_OK) return StatusFailure(44, Da::VolCode::kUnhide, Da::VolMsg::kUnhide, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolUnlock() {
  if (volumeHandle == 0) return Common::Error();
  const SbStatus s = sbUnlockVolume(volumeHandle);
  if (s != SB_OK) return StatusFailure(45, Da::VolCode::kUnlock, Da::VolMsg::kUnlock, s);
  return Common::Error();
}

Common::Error win_vol_handler::VolCreateInt(stddisk* disk, std::uint64_t first,
                                            std::uint64_t count, std::uint8_t letter) {
  created = 1;
  if (disk == nullptr)
    return Failure(46, Da::VolCode::kCreateNoDisk, Da::VolMsg::kCreateNoDisk);
  volumeHandle = 0;
  const SbStatus s =
      sbCreateVolume(static_cast<SbHandle>(disk->GetLibraryHandle()), first, count,
                     &volumeNumber, letter, 0, 0, &volumeHandle);
  if (s != SB_OK) return StatusFailure(47, Da::VolCode::kCreate, Da::VolMsg::kCreate, s);
  // In this mode the volume exists but is not to be kept open.
  if (DaLibraryGlobalFlags() && volumeHandle != 0) {
    const SbStatus c = sbClose(volumeHandle);
    volumeHandle = 0;
    if (c != SB_OK)
      return StatusFailure(48, Da::VolCode::kCreateClose, Da::VolMsg::kCreateClose, c);
  }
  return Common::Error();
}
