// The disk of a snapshot-library drive, and the conversion of library
// statuses into error causes.
#include <cstdlib>
#include <cstring>
#include <new>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/geometry.h"
#include "diskaccess/volume_handlers.h"
#include "diskaccess/win_computer.h"
#include "foundation/random.h"

namespace {

constexpr std::uint32_t kTag = 0x8D5B;
constexpr std::uint32_t kModule = Da::Module::kDriveDisk;

Common::Error Failure(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error StatusFailure(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                            std::uint32_t status) {
  return SbStatusToError(Failure(site, code, message), status);
}

// The length of a NUL-terminated text that may fill its whole field.
template <class C>
std::size_t BoundedLength(const C* text, std::size_t field) {
  std::size_t n = 0;
  while (n < field && text[n] != 0) ++n;
  return n;
}

constexpr std::size_t kSerialUnits = (offsetof(SbDriveInfo, physical_sector_size) -
                                      offsetof(SbDriveInfo, serial)) / sizeof(char16_t);

}  // namespace

Common::Error SbStatusToError(Common::Error error, std::uint32_t status) {
  Common::Error cause;
  Common::ErrorFromStatus(cause, status, 0x2AB852AC, Da::Module::kStatusToError);
  if (status == SB_STATUS_DATA_ERROR) {
    // A data error names its nature too: error, status, "CRC error".
    Common::AttachErrorCause(cause, Da::MakeError(0x2AB852AF, Da::Module::kStatusToError,
                                                  Da::Code::kCrcError, Da::Msg::kCrcError));
  }
  Common::AttachErrorCause(error, cause);
  return error;
}

bool IsSkippableStatus(std::uint32_t status) { return status == SB_STATUS_SKIP_VOLUME; }

// ------------------------------------------------------------ disk_w

void DaSetDriveIdentity(stddisk& disk, const SbDriveInfo& info, std::uint32_t libraryVersion) {
  disk.SetInterface(info.interface_type, info.host, info.bus, info.target);
  // Each text is read up to its terminator or the end of its field, since
  // a full field carries no terminator.
  disk.SetModel(info.model, BoundedLength(info.model, sizeof info.model));
  const std::size_t nameLength = BoundedLength(info.device_name, 256);
  disk.dev_name.reset(new (std::nothrow) std::u16string(info.device_name, nameLength));
  disk.second_name.reset(new (std::nothrow) std::u16string(info.device_name, nameLength));
  disk.serial.reset();
  if (libraryVersion >= 141) {
    const std::size_t serialLength = BoundedLength(info.serial, kSerialUnits);
    if (serialLength != 0)
      disk.serial.reset(new (std::nothrow) std::u16string(info.serial, serialLength));
  }
}

disk_w::disk_w(SbHandle h, std::uint32_t number, bool, Common::Error& error)
    : handle(h), drive_number(number) {
  error.Reset();
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
  const SbStatus status = sbGetDriveInfo(handle, &info);
  if (status != SB_OK) {
    error = StatusFailure(1, Da::Code::kDriveInfo, Da::Msg::kDriveInfo, status);
    return;
  }
  if ((info.flags & SB_DRIVE_FLAG_OFFLINE) != 0) {
    error = Failure(2, Da::Code::kOffline, Da::Msg::kOffline);
    return;
  }
  if (info.sectors_per_track == 0) {
    error = Failure(3, Da::Code::kZeroTrackSize, Da::Msg::kZeroTrackSize);
    return;
  }
  if (info.sector_count == 0) {
    error = Failure(4, Da::Code::kZeroDriveSize, Da::Msg::kZeroDriveSize);
    return;
  }
  if ((info.flags & SB_DRIVE_FLAG_SKIP) != 0) {
    error = Failure(5, Da::Code::kDriveSkipped, Da::Msg::kDriveSkipped);
    return;
  }

  const std::uint32_t heads = info.heads - 1;  // 0 heads wraps to the cap
  geometry_.highestHead = static_cast<std::uint8_t>(heads < 255 ? heads : 255);
  geometry_.sectorsPerTrack =
      static_cast<std::uint8_t>(info.sectors_per_track < 63 ? info.sectors_per_track : 63);

  if (info.bios_drive >= 0x80 && info.bios_drive <= 0xFF) {
    const Fdisk::Geometry saved = geometry_;
    if ((info.flags & SB_DRIVE_FLAG_BIOS_CHS) != 0) {
      geometry_.sectorsPerTrack = info.bios_chs_sector & 0x3F;
      geometry_.highestHead = info.bios_max_head;
      geometry_.cylinders =
          std::uint64_t(info.bios_chs_sector >> 6) << 8 | info.bios_chs_cylinder;
    } else {
      lastSector_ = info.sector_count - 1;
      ComputeCylinders();
      if (geometry_.cylinders > 1023) geometry_.cylinders = 1023;
    }
    if ((info.flags & (SB_DRIVE_FLAG_BIOS_EXT_4 | SB_DRIVE_FLAG_BIOS_EXT_8)) ==
        (SB_DRIVE_FLAG_BIOS_EXT_4 | SB_DRIVE_FLAG_BIOS_EXT_8)) {
      bios_block.reset(new (std::nothrow) std::uint8_t[SB_DRIVE_BIOS_EXT_SIZE]);
      if (bios_block)
        std::memcpy(bios_block.get(),
                    reinterpret_cast<const std::uint8_t*>(&info) + SB_DRIVE_BIOS_EXT_OFFSET,
                    SB_DRIVE_BIOS_EXT_SIZE);
    }
    // The firmware's geometry is usable when it describes a drive at all.
    if (Da::ApplyBiosGeometry(*this)) {
      bios_number = static_cast<std::uint8_t>(info.bios_drive);
      has_bios_number = 1;
    } else {
      geometry_ = saved;
    }
  }

  lastSector_ = info.sector_count - 1;
  ComputeCylinders();
  Common::Error sizeError = SetSectorSize(info.bytes_per_sector);
  if (Da::Failed(sizeError)) {
    // The library transfers whole sectors of its own size: a disk that
    // cannot take that size would overflow every read buffer.
    error = Failure(6, Da::Code::kSetSectorSizeFailed, Da::Msg::kSetSectorSizeFailed);
    Common::AttachErrorCause(error, sizeError);
    return;
  }

  DaSetDriveIdentity(*this, info, DaLibraryVersion());
  physical_sector_size = info.physical_sector_size;
  alignment_offset = info.alignment_offset;
  usable = 1;
}

disk_w::~disk_w() {
  if (handle != 0) sbClose(handle);
  handle = 0;
  drive_number = 0;
}

Common::Error disk_w::OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                            std::uint64_t count) {
  switch (op) {
    case Fdisk::kIoRead: {
      if (buffer == nullptr) return Failure(10, Da::Code::kReadNoBuffer, Da::Msg::kReadNoBuffer);
      if (handle == 0) return Failure(11, Da::Code::kReadNoHandle, Da::Msg::kReadNoHandle);
      // The library takes a 32-bit count: longer transfers go in pieces.
      auto* p = static_cast<std::uint8_t*>(buffer);
      while (count > 0) {
        const std::uint32_t n = static_cast<std::uint32_t>(
            count < Da::kMaxSectorsPerTransfer ? count : Da::kMaxSectorsPerTransfer);
        const SbStatus s = sbReadDrive(handle, sector, n, p);
        if (s != SB_OK) return StatusFailure(12, Da::Code::kRead, Da::Msg::kRead, s);
        p += std::size_t(n) * GetSectorSize();
        sector += n;
        count -= n;
      }
      return Common::Error();
    }
    case Fdisk::kIoWrite: {
      if (buffer == nullptr)
        return Failure(13, Da::Code::kWriteNoBuffer, Da::Msg::kWriteNoBuffer);
      if (handle == 0) return Failure(14, Da::Code::kWriteNoHandle, Da::Msg::kWriteNoHandle);
      const auto* p = static_cast<const std::uint8_t*>(buffer);
      while (count > 0) {
        const std::uint32_t n = static_cast<std::uint32_t>(
            count < Da::kMaxSectorsPerTransfer ? count : Da::kMaxSectorsPerTransfer);
        const SbStatus s = sbWriteDrive(handle, sector, n, p);
        if (s != SB_OK) return StatusFailure(15, Da::Code::kWrite, Da::Msg::kWrite, s);
        p += std::size_t(n) * GetSectorSize();
        sector += n;
        count -= n;
      }
      return Common::Error();
    }
    case Fdisk::kIoInvalidate:
      return Invalidate();
    default:
      return Failure(16, Da::Code::kUnknownOp, Da::Msg::kUnknownOp);
  }
}

Common::Error disk_w::Invalidate() {
  if (DaLibraryGlobalFlags()) return Common::Error();
  if (handle == 0)
    return Failure(17, Da::Code::kInvalidateNoHandle, Da::Msg::kInvalidateNoHandle);
  // The extent list of the partition tables belongs to the MBR writer,
  // which this layer does not carry; the library re-reads the whole drive.
  const SbStatus s = sbInvalidateDrive(handle, nullptr);
  if (s != SB_OK) {
    if (computer != nullptr) computer->devicesChanged = 1;
    return StatusFailure(18, Da::Code::kInvalidate, Da::Msg::kInvalidate, s);
  }
  return Common::Error();
}

bool disk_w::IsOffline() {
  SbDriveInfo fresh;
  std::memset(&fresh, 0, sizeof fresh);
  fresh.size = sizeof fresh;
  if (sbGetDriveInfo(handle, &fresh) != SB_OK) return true;
  return (fresh.flags & SB_DRIVE_FLAG_OFFLINE) != 0;
}

Common::Error disk_w::CloseDisk() {
  if (handle == 0) return Common::Error();
  const SbStatus s = sbClose(handle);
  handle = 0;
  drive_number = 0;
  if (s != SB_OK) return StatusFailure(19, Da::Code::kCloseDrive, Da::Msg::kCloseDrive, s);
  return Common::Error();
}

Common::Error disk_w::MakeInvisible() {
  const SbStatus s = sbMakeDriveInvisible(handle);
  if (computer != nullptr) computer->devicesChanged = 1;
  if (s != SB_OK)
    return StatusFailure(20, Da::Code::kMakeInvisible, Da::Msg::kMakeInvisible, s);
  return Common::Error();
}

Common::Error disk_w::LockDisk(char16_t*& owner, bool& owned) {
  const SbStatus s = sbLockDrive(handle, 2, owner);
  if (owned) std::free(owner);
  owned = false;
  owner = nullptr;
  if (s == SB_OK) return Common::Error();
  owner = DaReadLockOwner(handle, sbGetLockDriveOwner);
  owned = owner != nullptr;
  return StatusFailure(21, Da::Code::kLockDrive, Da::Msg::kLockDrive, s);
}

char16_t* DaReadLockOwner(SbHandle handle, DaLockOwnerQuery query) {
  std::uint32_t bytes = 0;
  if (query(handle, nullptr, &bytes) != SB_OK || bytes == 0) return nullptr;
  // Room for the library's units and one more for the terminator, so that
  // an odd or tiny count never puts the terminator outside the buffer.
  const std::size_t units = (std::size_t(bytes) + 1) / 2 + 1;
  auto* text = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
  if (text == nullptr) return nullptr;
  std::uint32_t room = bytes;
  if (query(handle, text, &room) != SB_OK) {
    std::free(text);
    return nullptr;
  }
  text[units - 1] = 0;
  return text;
}

Common::Error disk_w::UnlockDisk() {
  const SbStatus s = sbUnlockDrive(handle);
  if (s != SB_OK) return StatusFailure(22, Da::Code::kUnlockDrive, Da::Msg::kUnlockDrive, s);
  return Common::Error();
}

Common::Error disk_w::SetPartitionLetter(std::uint64_t start, std::uint64_t count,
                                         std::uint8_t letter, bool& failed) {
  const SbStatus s = sbSetVolumeLetterEx(handle, start, count, letter);
  failed = s != SB_OK;
  if (s != SB_OK && s != SB_STATUS_LETTER_PENDING)
    return StatusFailure(23, Da::Code::kSetLetterViaDrive, Da::Msg::kSetLetterViaDrive, s);
  return Common::Error();
}

Common::Error disk_w::InitializeDrive(std::uint32_t style) {
  if (style != 1 && style != 2 && style != 8) return Common::Error();
  SbInitializeRequest request;
  std::memset(&request, 0, sizeof request);
  request.size = sizeof request;
  if (style == 8) {
    request.kind = 1;
    Common::Guid g{};
    Common::GuidNewRandom(g, 0);
    std::memcpy(request.identity, g.bytes, 16);
    request.entry_count = 128;
  } else {
    request.kind = 0;
    Common::RandomBytes(request.identity, 4, false);
  }
  const SbStatus s = sbInitializeDrive(handle, &request);
  if (s != SB_OK)
    return StatusFailure(24, Da::Code::kInitializeDrive, Da::Msg::kInitializeDrive, s);
  return Common::Error();
}
