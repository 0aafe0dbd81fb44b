// The local computer over the snapshot library: set-up, capability flags,
// drives, volumes and change notices.
#include <cstring>
#include <new>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/win_computer.h"
#include "fdisk/partition_types_windows.h"

namespace {

constexpr std::uint32_t kTag = 0x1418;
constexpr std::uint32_t kModule = Da::Module::kWindowsComputer;

std::uint32_t g_libraryVersion = 0;
bool g_globalFlags = false;
DaImportLoader g_importLoader = nullptr;

Common::Error Failure(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error StatusFailure(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                            std::uint32_t status) {
  return SbStatusToError(Failure(site, code, message), status);
}

}  // namespace

std::uint32_t DaLibraryVersion() { return g_libraryVersion; }
bool DaLibraryGlobalFlags() { return g_globalFlags; }

void DaSetImportLoader(DaImportLoader loader) { g_importLoader = loader; }

std::uint32_t DaLibraryFlags(std::uint32_t f) {
  std::uint32_t flags = SB_INIT_FLAG_10;
  if ((f & kDaLibraryMode40) != 0) flags |= SB_INIT_FLAG_20;
  if ((f & kDaLibraryMode80) != 0) flags |= SB_INIT_FLAG_40;
  if ((f & (kDaNativeLibrary | kDaLibraryMode40 | kDaLibraryMode80)) == 0) flags |= SB_INIT_FLAG_80;
  return flags;
}

std::uint32_t DaCapabilityFlags(std::uint32_t b, std::uint32_t f, const DaOsVersion& os) {
  const bool b0 = (b & 1) != 0, b1 = (b & 2) != 0, b2 = (b & 4) != 0, b3 = (b & 8) != 0;
  std::uint32_t c = 0x1 | 0x8 | 0x80 | 0x1000;
  if (!b0) c |= 0x2 | 0x200;
  if (!b0 && b2) c |= 0x4;
  if (b0) c |= 0x10;
  if (!b0 || (f & kDaComputerFlag20) != 0) c |= 0x20;
  if (b0 ? !b1 : !b2) c |= 0x100;
  if (!b0 && !b2) c |= 0x400 | 0x800;
  if (!b0 && !b3) c |= 0x2000;
  const bool wideArch = os.processorArchitecture == 9 || os.processorArchitecture == 6;
  const bool serverSp = os.major == 5 && os.minor == 2 && os.servicePackMajor != 0;
  if (wideArch || serverSp || os.major >= 6) c |= 0x8000;
  if (os.major < 6) c |= 0x10000;
  return c;
}

std::int32_t LoadLibraryImports(const char* name);

// ------------------------------------------------------------ set-up

Common::Error LocalComputerWithWindowsImpl::InitLibrary(std::uint32_t flags) {
  if (libraryState < 3) {
    if (libraryState < 1) libraryState = 1;
    SbInitRecord init{8, DaLibraryFlags(flags)};
    SbLibInfo info;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;

    std::int32_t hr = 0;
    Common::Error loadFailure;
    bool loadFailed = false;
    try {
      hr = (g_importLoader != nullptr ? g_importLoader : LoadLibraryImports)("dorvex.dll");
    } catch (std::int32_t code) {
      hr = code > 0 ? static_cast<std::int32_t>(0x80070000u | (code & 0xFFFF)) : code;
    } catch (const Common::Error& e) {
      loadFailure = Failure(1, Da::Code::kLoadLibrary, Da::Msg::kLoadLibrary);
      Common::AttachErrorCause(loadFailure, e);
      loadFailed = true;
    } catch (...) {
      loadFailure = Failure(1, Da::Code::kLoadLibrary, Da::Msg::kLoadLibrary);
      loadFailed = true;
    }
    if (!loadFailed && hr < 0 && static_cast<std::uint32_t>(hr) != 0x8007007Eu) {
      loadFailure = Failure(1, Da::Code::kLoadLibrary, Da::Msg::kLoadLibrary);
      Common::AttachHresultCause(loadFailure, static_cast<std::uint32_t>(hr));
      loadFailed = true;
    }
    if (loadFailed) {
      lastError = loadFailure;
      return lastError;
    }

    const SbStatus status = sbInitLibEx(&init, &info);
    g_libraryVersion = info.version;
    if (status != SB_OK) {
      lastError = StatusFailure(2, Da::Code::kInitLibrary, Da::Msg::kInitLibrary, status);
      return lastError;
    }
    if ((info.status_word & 4) != 0) statusBit2 = 1;
    if (libraryState < 2) libraryState = 2;
    if ((info.status_word & 2) != 0 &&
        (flags & (kDaNativeLibrary | kDaLibraryMode40 | kDaLibraryMode80)) == 0) {
      lastError = Failure(3, Da::Code::kEmulationMode, Da::Msg::kEmulationMode);
      return lastError;
    }
    nativeStatus = (info.status_word & 1) == 0 ? 1 : 0;
    const std::uint32_t b = info.mode_word;
    modeWord = (b & 1) == 0 ? 7 : ((b & 2) != 0 ? 2 : 3);
    capabilities = (capabilities & ~kDerivedCapabilities) |
                   DaCapabilityFlags(b, flags, DaGetOsVersion());
    secondModeWord = 2;
  }

  if ((flags & kDaGlobalFlags) != 0) {
    const SbStatus status = sbSetGlobalFlags(1);
    if (status != SB_OK) {
      Common::Error e = StatusFailure(4, Da::Code::kAutopart, Da::Msg::kAutopart, status);
      if (libraryState < 3) lastError = e;
      return e;
    }
    g_globalFlags = true;
  } else {
    capabilities |= 0x20000;
  }
  if (libraryState < 3) libraryState = 3;
  if (libraryState < 4 &&
      sbAddNotification(OnSnapshotLibraryEvent, SB_EVENT_MASK_ALL, 0) == SB_OK)
    libraryState = 4;
  return Common::Error();
}

Common::Error LocalComputerWithWindowsImpl::DoneLibrary() {
  if (libraryState <= 1) return Common::Error();
  SbStatus removed = SB_OK;
  if (libraryState == 4) removed = sbRemoveNotification(OnSnapshotLibraryEvent);
  const SbStatus done = sbDoneLib();
  g_globalFlags = false;
  if (removed == SB_OK && done == SB_OK) return Common::Error();
  return StatusFailure(5, Da::Code::kDriveCount, Da::Msg::kDriveCount,
                       done != SB_OK ? done : removed);
}

// ------------------------------------------------------------ drives

Common::Error LocalComputerWithWindowsImpl::SbGetDiskCnt(std::uint32_t& count) {
  count = 0;
  std::uint32_t n = 0;
  const SbStatus status = sbGetDrives(&n);
  if (status != SB_OK)
    return StatusFailure(6, Da::Code::kDriveCount, Da::Msg::kDriveCount, status);
  count = n;
  return Common::Error();
}

Common::Error LocalComputerWithWindowsImpl::OpenDrive(std::uint32_t index, stddisk*& disk) {
  disk = nullptr;
  SbHandle handle = 0;
  const SbStatus status = sbOpenDrive(index, &handle);
  if (status != SB_OK)
    return StatusFailure(7, Da::Code::kOpenDrive, Da::Msg::kOpenDrive, status);
  if (handle == 0) return Failure(8, Da::Code::kOpenDrive, Da::Msg::kOpenDrive);
  Common::Error constructed;
  auto* d = new (std::nothrow)
      disk_w(handle, index, (capabilities & kCapLibraryMode0) == 0, constructed);
  if (d == nullptr) {
    sbClose(handle);
    return Failure(9, Da::Code::kOpenDrive, Da::Msg::kOpenDrive);
  }
  if (!constructed.IsNull()) {
    delete d;  // closes the handle
    Common::Error e = Failure(10, Da::Code::kOpenDrive, Da::Msg::kOpenDrive);
    Common::AttachErrorCause(e, constructed);
    return e;
  }
  disk = d;
  return Common::Error();
}

// ------------------------------------------------------------ volumes

Common::Error LocalComputerWithWindowsImpl::GetFreeLetters(std::uint32_t& mask) {
  mask = sbGetFreeLetters();
  return Common::Error();
}

Common::Error LocalComputerWithWindowsImpl::GetVolumeNumber(const char16_t* name,
                                                            std::uint32_t& number) {
  number = 0;
  std::uint32_t n = 0;
  const SbStatus status = sbGetVolumeNumber(name, &n);
  if (status != SB_OK)
    return StatusFailure(11, Da::Code::kVolumeByPath, Da::Msg::kVolumeByPath, status);
  number = n;
  return Common::Error();
}

Common::Error LocalComputerWithWindowsImpl::SbGetVolumeCnt(std::uint32_t& count) {
  count = 0;
  std::uint32_t n = 0;
  const SbStatus status = sbGetVolumes(&n);
  if (status != SB_OK)
    return StatusFailure(12, Da::Code::kVolumeCount, Da::Msg::kVolumeCount, status);
  count = n;
  return Common::Error();
}

Common::Error LocalComputerWithWindowsImpl::OpenVolume(std::uint32_t index,
                                                       std::shared_ptr<vol_handler>& volume) {
  volume.reset();
  SbHandle handle = 0;
  const SbStatus status = sbOpenVolume(index, &handle);
  if (IsSkippableStatus(status)) return Common::Error();
  if (status != SB_OK)
    return StatusFailure(13, Da::Code::kOpenVolume, Da::Msg::kOpenVolume, status);
  if (handle == 0) return Failure(14, Da::Code::kOpenVolume, Da::Msg::kOpenVolume);
  std::shared_ptr<win_vol_handler> v(new (std::nothrow) win_vol_handler(handle, index));
  if (!v) {
    sbClose(handle);
    return Failure(15, Da::Code::kOpenVolume, Da::Msg::kOpenVolume);
  }
  v->computer = this;
  SbVolumeInfo info;
  std::memset(&info, 0, sizeof info);
  info.size = sizeof info;
  if (sbGetVolumeInfo(handle, &info) != SB_OK) {
    volume = v;
    return Common::Error();
  }
  v->sectorSizeWord = info.sector_size;
  v->SetLastSector(info.sector_count - 1);
  if (std::memcmp(info.partition_type,
                  Fdisk::WindowsPartitionTypeGuids::MicrosoftReserved.bytes, 16) == 0) return Common::Error();
  volume = v;
  return Common::Error();
}

// ------------------------------------------------------------ notices

Common::Error LocalComputerWithWindowsImpl::Notify(SbNotification& record, std::uint32_t site,
                                                   std::uint32_t code, std::uint32_t message) {
  const SbStatus status = sbNotify(&record);
  if (status != SB_OK) return StatusFailure(site, code, message, status);
  return Common::Error();
}

namespace {
SbNotification NewRecord(std::uint32_t type) {
  SbNotification r;
  std::memset(&r, 0, sizeof r);
  r.size = sizeof r;
  r.type = type;
  return r;
}
}  // namespace

Common::Error LocalComputerWithWindowsImpl::NotifyDisksChanged() {
  if (libraryState < 4) return da_computer::NotifyDisksChanged();
  SbNotification r = NewRecord(SB_EVENT_DISKS_CHANGED);
  return Notify(r, 16, Da::Code::kNotifyDisks, Da::Msg::kNotifyDisks);
}

Common::Error LocalComputerWithWindowsImpl::NotifyVolumesChanged() {
  if (libraryState < 4) return da_computer::NotifyVolumesChanged();
  SbNotification r = NewRecord(SB_EVENT_VOLUMES_CHANGED);
  return Notify(r, 17, Da::Code::kNotifyVolumes, Da::Msg::kNotifyVolumes);
}

Common::Error LocalComputerWithWindowsImpl::NotifyDiskRangeChanged(std::uint32_t key,
                                                                   std::uint64_t start,
                                                                   std::uint64_t length) {
  if (libraryState < 4) return da_computer::NotifyDiskRangeChanged(key, start, length);
  SbNotification r = NewRecord(SB_EVENT_DISK_RANGE_CHANGED);
  r.arg0 = 1;
  r.arg1 = key;
  r.start = start;
  r.length = length;
  return Notify(r, 18, Da::Code::kNotifyDisk, Da::Msg::kNotifyDisk);
}

Common::Error LocalComputerWithWindowsImpl::NotifyDiskChanged(std::uint32_t key) {
  if (libraryState < 4) return da_computer::NotifyDiskChanged(key);
  SbNotification r = NewRecord(SB_EVENT_DISK_CHANGED);
  r.arg0 = key;
  return Notify(r, 19, Da::Code::kNotifyDisk, Da::Msg::kNotifyDisk);
}

Common::Error LocalComputerWithWindowsImpl::NotifyVolumeChanged(std::uint32_t key) {
  if (libraryState < 4) return da_computer::NotifyVolumeChanged(key);
  SbNotification r = NewRecord(SB_EVENT_VOLUME_CHANGED);
  r.arg0 = key;
  return Notify(r, 20, Da::Code::kNotifyVolume, Da::Msg::kNotifyVolume);
}

// ------------------------------------------------------- Windows parts

std::shared_ptr<vol_handler> WindowsComputer::NewVolumeHandler() {
  std::shared_ptr<win_vol_handler> v(new (std::nothrow) win_vol_handler(0, 0));
  if (v) {
    v->flags = 2;
    v->computer = this;
  }
  return v;
}

stddisk* WindowsComputer::NewEasyVolumeDisk() {
  return new (std::nothrow) win_disk_easy_vol(this);
}
