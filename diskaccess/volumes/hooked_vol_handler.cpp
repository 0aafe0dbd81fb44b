// The volume handler whose sector I/O goes to another disk object at the
// handler's start sector: how a volume of the disk model is read and
// written like an operating-system volume.
#include <cstring>
#include <new>

#include "diskaccess/errors.h"
#include "diskaccess/volume_handlers.h"
#include "foundation/byteorder.h"

namespace {

constexpr std::uint32_t kTag = 0x9C42;

Common::Error NoRetry(Common::Error e, std::uint32_t site) {
  // A request refused as a whole fails the same way sector by sector.
  Common::AttachErrorCause(e, Common::Error(Da::Site(kTag, site), Da::Module::kVolumeHandler,
                                            Da::Code::kNoSectorRetry));
  return e;
}

}  // namespace

HookedVolHandler::HookedVolHandler() : vol_handler(kVolLockFast) { geometry_.highestHead = 254; }

HookedVolHandler::~HookedVolHandler() { VolDelete(); }

std::int64_t HookedVolHandler::GetLibraryHandle() const {
  std::lock_guard<std::mutex> guard(lock_);
  return target_ != nullptr ? static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(this))
                            : 0;
}

Common::Error HookedVolHandler::OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                                      std::uint64_t count) {
  std::lock_guard<std::mutex> guard(lock_);
  if (target_ == nullptr)
    return NoRetry(Da::MakeError(Da::Site(kTag, 1), Da::Module::kVolumeHandler,
                                 Da::VolCode::kDetachedIo, Da::VolMsg::kDetachedIo),
                   2);
  std::uint64_t at = 0;
  if (!Common::CheckedAdd(sector, start, &at))
    return NoRetry(Da::MakeError(Da::Site(kTag, 3), Da::Module::kVolumeHandler,
                                 op == Fdisk::kIoWrite ? Da::Code::kVolumeWrite
                                                       : Da::Code::kVolumeRead,
                                 op == Fdisk::kIoWrite ? Da::Msg::kVolumeWrite
                                                       : Da::Msg::kVolumeRead),
                   4);
  if (op == Fdisk::kIoRead || op == Fdisk::kIoWrite) {
    // The volume's own sectors only; the device underneath goes on past it.
    const std::uint64_t sectors = lastSector_ + 1;
    if (sector > sectors || count > sectors - sector)
      return NoRetry(Da::MakeError(Da::Site(kTag, 6), Da::Module::kVolumeHandler,
                                   op == Fdisk::kIoWrite ? Da::Code::kVolumeWrite
                                                         : Da::Code::kVolumeRead,
                                   op == Fdisk::kIoWrite ? Da::Msg::kVolumeWrite
                                                         : Da::Msg::kVolumeRead),
                     7);
  }
  if (op == Fdisk::kIoWrite) ++writeCount_;
  // A disk of the layer is asked once; its own retry belongs to this
  // handler's caller.
  if (auto* layered = dynamic_cast<smart_op_disk*>(target_))
    return layered->OpInt(op, at, buffer, count);
  return target_->Io(op, at, buffer, count);
}

Common::Error HookedVolHandler::VolDelete() {
  std::lock_guard<std::mutex> guard(lock_);
  target_ = nullptr;
  return Common::Error();
}

Common::Error HookedVolHandler::VolGetFlags(std::uint32_t& out) {
  out = 4;
  return Common::Error();
}

Common::Error HookedVolHandler::VolSetSysGuid(const Common::Guid* guid) {
  std::lock_guard<std::mutex> guard(lock_);
  hasSysGuid_ = guid != nullptr;
  if (guid != nullptr) sysGuid_ = *guid;
  return Common::Error();
}

Common::Error HookedVolHandler::VolSetSysGuid(const std::uint8_t* guid) {
  if (guid == nullptr) return VolSetSysGuid(static_cast<const Common::Guid*>(nullptr));
  Common::Guid g{};
  std::memcpy(g.bytes, guid, 16);
  return VolSetSysGuid(&g);
}

Common::Error HookedVolHandler::VolGetSysGuid(std::unique_ptr<Common::Guid>& guid) {
  guid.reset();
  std::lock_guard<std::mutex> guard(lock_);
  if (hasSysGuid_) guid.reset(new (std::nothrow) Common::Guid(sysGuid_));
  return Common::Error();
}

bool HookedVolHandler::IsAttached() const {
  std::lock_guard<std::mutex> guard(lock_);
  return target_ != nullptr;
}

Fdisk::SimpleDisk* HookedVolHandler::Target() const {
  std::lock_guard<std::mutex> guard(lock_);
  return target_;
}

Common::Error HookedVolHandler::VolGetLetter(std::uint8_t& letter) {
  letter = 0;
  return Common::Error();
}

Common::Error HookedVolHandler::VolGetWriteCounter(std::uint64_t& counter) {
  std::lock_guard<std::mutex> guard(lock_);
  counter = writeCount_;
  return Common::Error();
}

Common::Error HookedVolHandler::VolCreateInt(stddisk* disk, std::uint64_t, std::uint64_t,
                                             std::uint8_t) {
  created = 1;
  std::lock_guard<std::mutex> guard(lock_);
  target_ = disk;
  return Common::Error();
}

Common::Error HookedVolHandler::AttachTarget(Fdisk::SimpleDisk* disk, std::uint64_t first,
                                             std::uint64_t count) {
  if (count == 0)
    return Da::MakeError(Da::Site(kTag, 5), Da::Module::kVolumeHandler, Da::VolCode::kEmptyVolume,
                         Da::VolMsg::kEmptyVolume);
  {
    std::lock_guard<std::mutex> guard(lock_);
    target_ = disk;
  }
  Common::Error e = AttachToDisk(disk, false, count);
  if (Da::Failed(e)) return e;
  start = first;
  auto* layered = dynamic_cast<smart_op_disk*>(disk);
  diskId = layered != nullptr ? layered->GetDiskId() : 0;
  return Common::Error();
}

Common::Error HookedVolHandler::VolCreateComposite(const Fdisk::DM::LayoutRecord& record,
                                                   Fdisk::DM::LayoutDiskResolver& resolver) {
  Fdisk::DM::LayoutRecord resolved = record;
  std::unique_ptr<Fdisk::DM::DMStdDisk> disk;
  try {
    disk = Fdisk::DM::CreateDMStdDisk(Fdisk::DM::BuildComposite(resolved, resolver),
                                      record.volumeSectors, 512);
  } catch (const Common::Error& e) {
    return e;
  }
  if (!disk)
    return Da::MakeError(Da::Site(kTag, 8), Da::Module::kVolumeHandler,
                         Da::VolCode::kEmptyVolume, Da::VolMsg::kEmptyVolume);
  // The record carries the GUID in its text order.
  const std::uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::uint8_t guid[16];
  for (int i = 0; i < 16; ++i) guid[i] = record.guid[order[i]];
  VolSetSysGuid(guid);
  VolDelete();
  Fdisk::SimpleDisk* target = disk.get();
  {
    std::lock_guard<std::mutex> guard(lock_);
    composite_ = std::move(disk);
  }
  return AttachTarget(target, 0, record.volumeSectors);
}
