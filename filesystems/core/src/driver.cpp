// The driver base: construction and destruction, the mount registry, the
// global lock, control requests, the substitute device and the default
// operations of the driver's objects.
#include "filesystems/driver.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "files/control.h"
#include "files/file_error.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kDriverModuleId;

// Process-wide state, created on first use so that the order against other
// translation units' statics does not matter.
struct GlobalState {
  std::map<std::uint32_t, FileSystemMountHandler*> mounts;
  Common::CriticalSection lock;
  std::map<std::uint32_t, FileSystemDriver::FileSystemCache*> caches;
};

GlobalState& Global() {
  static GlobalState* state = new GlobalState;  // lives until exit on purpose
  return *state;
}

[[noreturn]] void ThrowOutOfMemory() {
  throw MakeFsError(0x01, kModuleId, kFileOutOfMemory);
}

}  // namespace

Common::Error MakeFsError(std::uint32_t site, std::uint32_t moduleId, std::uint32_t code,
                          const Common::Error& cause) {
  Common::Error error = MakeFileError((moduleId & 0xFFFF0000u) | site, moduleId, code);
  if (cause && cause.Code() != 0) Common::AttachErrorCause(error, cause);
  return error;
}

void ThrowFileError(std::uint32_t site, std::uint32_t moduleId, std::uint32_t code,
                    const Common::Error& cause) {
  throw MakeFsError(site, moduleId, code, cause);
}

std::size_t CheckDiskSizedAllocation(std::uint64_t bytes) {
  if (bytes > kMaxDiskSizedAllocation) ThrowFileError(0x02, kModuleId, kFileCorrupted);
  return static_cast<std::size_t>(bytes);
}

NewHandlerGuard::NewHandlerGuard() noexcept : previous_(std::set_new_handler(&ThrowOutOfMemory)) {}
NewHandlerGuard::~NewHandlerGuard() { std::set_new_handler(previous_); }

ReferenceCount::~ReferenceCount() = default;

VolumeDeviceServices::~VolumeDeviceServices() = default;
Common::Error VolumeDeviceServices::PendingError() { return Common::Error(); }
std::uint64_t VolumeDeviceServices::TranslateDataPosition(std::uint64_t position) {
  return position;
}
void VolumeDeviceServices::NotifyChangedArea(std::uint64_t, std::uint64_t) {}
Common::Error VolumeDeviceServices::Unlock() {
  return MakeFsError(0x03, kModuleId, kFileNotSupported);
}

Common::CriticalSection& GlobalLock() { return Global().lock; }

// ---------------------------------------------------------------------------
// Mount handlers

FileSystemMountHandler::~FileSystemMountHandler() = default;
void FileSystemMountHandler::Flush() {}

void FileSystemMountHandler::Release() noexcept {
  if (DropUse() > 0) return;
  if (mountKey == 0) {
    delete this;
    return;
  }
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  auto it = g.mounts.find(mountKey);
  if (it == g.mounts.end() || it->second->Uses() != 0) return;
  FileSystemMountHandler* handler = it->second;
  g.mounts.erase(it);
  delete handler;
}

void RegisterMount(std::uint32_t key, FileSystemMountHandler* handler) {
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  handler->mountKey = key;
  g.mounts[key] = handler;
}

FileSystemMountHandler* FindMount(std::uint32_t key) {
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  auto it = g.mounts.find(key);
  return it == g.mounts.end() ? nullptr : it->second;
}

void FlushMountRegistry() noexcept {
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  for (auto& entry : g.mounts) {
    try {
      entry.second->Flush();
    } catch (...) {
      // Exit cannot report anything; the next mount's checker will.
    }
  }
  g.mounts.clear();
}

// ---------------------------------------------------------------------------
// Block-cache accounts

FileSystemDriver::FileSystemCache::~FileSystemCache() = default;

std::uint64_t FileSystemDriver::FileSystemCache::Total() {
  Common::CriticalSectionLock lock(&lock_);
  return total_;
}

FileSystemDriver::FileSystemCache* FileSystemDriver::FileSystemCache::Acquire(std::uint32_t key) {
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  auto it = g.caches.find(key);
  FileSystemCache* cache;
  if (it == g.caches.end()) {
    cache = new FileSystemCache(key);
    try {
      g.caches.emplace(key, cache);
    } catch (...) {
      delete cache;
      throw;
    }
  } else {
    cache = it->second;
  }
  cache->AddUse();
  return cache;
}

FileSystemDriver::FileSystemCache* FileSystemDriver::FileSystemCache::Find(std::uint32_t key) {
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  auto it = g.caches.find(key);
  return it == g.caches.end() ? nullptr : it->second;
}

void FileSystemDriver::FileSystemCache::Release() noexcept {
  if (DropUse() > 0) return;
  GlobalState& g = Global();
  Common::CriticalSectionLock lock(&g.lock);
  auto it = g.caches.find(key_);
  if (it == g.caches.end() || it->second != this || Uses() != 0) return;
  g.caches.erase(it);
  delete this;
}

// ---------------------------------------------------------------------------
// The driver

FileSystemDriver::FileSystemDriver(Fdisk::SimpleDisk* device, std::uint64_t partitionOffset,
                                   std::uint64_t partitionSize, std::uint32_t cacheKey)
    : partitionSize_(partitionSize),
      sectorSize_(device->GetSectorSize()),
      device_(device),
      baseDevice_(device),
      partitionOffset_(partitionOffset) {
  if (sectorSize_ == 0) ThrowFileError(0x04, kModuleId, kFileDriveNotReady);
  account_ = FileSystemCache::Acquire(cacheKey);
}

FileSystemDriver::~FileSystemDriver() {
  {
    Common::CriticalSectionLock accountLock(&account_->lock_);
    Common::CriticalSectionLock cacheLock(&cacheLock_);
    DeleteDirectoryObjects();
    for (auto& entry : blocks_) {
      DetachBlock(entry.second);
      FreeBlock(entry.second);
    }
    blocks_.clear();
  }
  account_->Release();
  if (device_ != baseDevice_) {
    delete device_;
    device_ = baseDevice_;
  }
  auto* services = dynamic_cast<VolumeDeviceServices*>(baseDevice_);
  if (services) {
    try {
      if (written_ && (options & kNotifyChangedArea))
        services->NotifyChangedArea(partitionOffset_, partitionSize_);
      if (options & kUnlockAtDestruction) services->Unlock();
    } catch (...) {
      // Destruction never fails.
    }
  }
  if (options & kDeleteDeviceAtDestruction) delete baseDevice_;
}

void FileSystemDriver::Flush() {
  Common::Error firstFailure;
  for (auto* node = writtenFiles_.previous; node != &writtenFiles_;) {
    auto* file = static_cast<FileObject*>(node);
    node = node->previous;
    try {
      file->Flush();
    } catch (Common::Error& e) {
      if (!firstFailure) firstFailure = e;
    }
  }
  try {
    WriteBackCacheLocked();
  } catch (Common::Error& e) {
    if (!firstFailure) firstFailure = e;
  }
  {
    Common::CriticalSectionLock lock(&cacheLock_);
    if (!firstFailure && pendingWriteFailure_) firstFailure = pendingWriteFailure_;
    pendingWriteFailure_.Reset();
  }
  if (firstFailure) throw firstFailure;
}

void FileSystemDriver::RememberWriteBackFailure(const Common::Error& error) noexcept {
  Common::CriticalSectionLock lock(&cacheLock_);
  if (!pendingWriteFailure_) pendingWriteFailure_ = error;
}

void FileSystemDriver::NormalizeNameCase(std::u16string&) {}
bool FileSystemDriver::CanBackup() { return false; }
bool FileSystemDriver::CanRestore() { return false; }

void FileSystemDriver::Control(control_request* request) {
  switch (request->code) {
    case kControlGSYP:
      static_cast<gsyp_mount_request*>(request)->mountKey = mountKey;
      return;
    case kControlGPHL: {
      auto* r = static_cast<gphl_request*>(request);
      if (!r->iterator) ThrowFileError(0x10, kModuleId, kFileOpenError);
      IteratorObject* it = IteratorObjectOf(r->iterator);
      if (!it) ThrowFileError(0x11, kModuleId, kFileEndOfFile);
      std::uint64_t position = it->GetDataPosition();
      if ((options & kTranslateDataPosition) && position != 0) {
        if (auto* s = dynamic_cast<VolumeDeviceServices*>(baseDevice_))
          position = s->TranslateDataPosition(position);
      }
      r->position = position;
      return;
    }
    case kControlDMNT:
      Flush();
      return;
    case kControlGFST: {
      auto* r = static_cast<gfst_request*>(request);
      const char* name = GetFileSystemName();
      std::size_t i = 0;
      for (; name[i] && i + 1 < sizeof(r->name) / sizeof(r->name[0]); ++i)
        r->name[i] = static_cast<unsigned char>(name[i]);
      r->name[i] = 0;
      return;
    }
    default:
      ThrowFileError(0x12, kModuleId, kFileNotSupported);
  }
}

void FileSystemDriver::InstallSubstituteDevice(Fdisk::SimpleDisk* substitute) noexcept {
  if (device_ != baseDevice_) delete device_;
  device_ = substitute ? substitute : baseDevice_;
}

void FileSystemDriver::RestoreOriginalDevice() {
  if (device_ == baseDevice_) return;
  if (auto* s = dynamic_cast<VolumeDeviceServices*>(device_)) {
    Common::Error pending = s->PendingError();
    if (pending && pending.Code() != 0) ThrowFileError(0x13, kModuleId, kFileWriteError, pending);
  }
  delete device_;
  device_ = baseDevice_;
}

void FileSystemDriver::AddWrittenFile(FileObject* file) noexcept {
  if (!file->Linked()) writtenFiles_.InsertBefore(file);
}
void FileSystemDriver::RemoveWrittenFile(FileObject* file) noexcept {
  if (file->Linked()) file->Unlink();
}

Common::Error FileSystemDriver::DeviceIo(std::uint32_t op, std::uint64_t sector, void* buffer,
                                         std::uint64_t count) {
  return device_->Io(op, partitionOffset_ + sector, buffer, count);
}

// ---------------------------------------------------------------------------
// Defaults of the driver's objects

FileSystemDriver::FileObject::~FileObject() = default;

void FileSystemDriver::FileObject::Control(control_request* request) {
  switch (request->code) {
    case kControlALCM: {
      auto* r = static_cast<alcm_request*>(request);
      std::uint64_t result = GetAllocationMap(r->offset, r->length);
      r->ranges = reinterpret_cast<void*>(static_cast<std::uintptr_t>(result));
      return;
    }
    case kControlSFTM: {
      auto* r = static_cast<sftm_request*>(request);
      SetTimes(r->modificationTime, r->creationTime, r->accessTime);
      return;
    }
    default:
      ThrowFileError(0x20, kModuleId, kFileNotSupported);
  }
}

std::uint64_t FileSystemDriver::FileObject::GetAllocationMap(std::uint64_t, std::uint64_t) {
  ThrowFileError(0x21, kModuleId, kFileNotSupported);
}
FileSystemDriver::BackupObject* FileSystemDriver::FileObject::CreateBackupObject(std::uint32_t) {
  ThrowFileError(0x22, kModuleId, kFileNotSupported);
}
FileSystemDriver::RestoreObject* FileSystemDriver::FileObject::CreateRestoreObject(std::uint32_t) {
  ThrowFileError(0x23, kModuleId, kFileNotSupported);
}

FileSystemDriver::DirectoryObject::DirectoryObject(FileSystemDriver* driver,
                                                   std::uint32_t directoryId)
    : driver_(driver), id_(directoryId) {
  driver_->directoryLru_.InsertBefore(this);
  ++driver_->directoryObjectCount_;
}

FileSystemDriver::DirectoryObject::~DirectoryObject() {
  Unlink();
  --driver_->directoryObjectCount_;
}

void FileSystemDriver::DirectoryObject::SetSecurityData(const std::u16string&, const void*,
                                                        std::uint32_t) {
  ThrowFileError(0x30, kModuleId, kFileNotSupported);
}
void FileSystemDriver::DirectoryObject::SetMode(const std::u16string&, std::uint32_t) {
  ThrowFileError(0x31, kModuleId, kFileNotSupported);
}
void FileSystemDriver::DirectoryObject::SetOwner(const std::u16string&, std::uint32_t,
                                                 std::uint32_t) {
  ThrowFileError(0x32, kModuleId, kFileNotSupported);
}
void FileSystemDriver::DirectoryObject::SetTimes(const std::u16string&, std::uint64_t,
                                                 std::uint64_t, std::uint64_t) {
  ThrowFileError(0x33, kModuleId, kFileNotSupported);
}
void FileSystemDriver::DirectoryObject::CreateNode(const std::u16string&, std::uint32_t,
                                                   std::uint32_t, std::uint32_t, std::uint32_t) {
  ThrowFileError(0x34, kModuleId, kFileNotSupported);
}
void FileSystemDriver::DirectoryObject::SetShortName(const std::u16string&,
                                                     const std::u16string&) {
  ThrowFileError(0x35, kModuleId, kFileNotSupported);
}
FileSystemDriver::BackupObject* FileSystemDriver::DirectoryObject::CreateBackupObject(
    IteratorObject*, std::uint32_t) {
  ThrowFileError(0x36, kModuleId, kFileNotSupported);
}
FileSystemDriver::RestoreObject* FileSystemDriver::DirectoryObject::CreateRestoreObject(
    std::uint32_t) {
  ThrowFileError(0x37, kModuleId, kFileNotSupported);
}

FileSystemDriver::IteratorObject::~IteratorObject() = default;
std::uint64_t FileSystemDriver::IteratorObject::GetChangeTime() { return 0; }
const char16_t* FileSystemDriver::IteratorObject::GetShortName() { return nullptr; }
std::uint32_t FileSystemDriver::IteratorObject::GetAttributes() { return kNoAttributes; }
std::uint32_t FileSystemDriver::IteratorObject::GetMode() { return kNoAttributes; }
std::uint32_t FileSystemDriver::IteratorObject::GetSecurityData(const void** data) {
  *data = nullptr;
  return 0;
}
std::uint32_t FileSystemDriver::IteratorObject::GetLinkCount() { return 1; }
std::uint32_t FileSystemDriver::IteratorObject::GetOwnerId() { return kNoAttributes; }
std::uint32_t FileSystemDriver::IteratorObject::GetGroupId() { return kNoAttributes; }
std::uint32_t FileSystemDriver::IteratorObject::GetDeviceMajor() { return 0; }
std::uint32_t FileSystemDriver::IteratorObject::GetDeviceMinor() { return 0; }
const char16_t* FileSystemDriver::IteratorObject::GetSymlinkTarget() { return nullptr; }

FileSystemDriver::BackupObject::~BackupObject() = default;
FileSystemDriver::RestoreObject::~RestoreObject() = default;

void CopyVolumeLabel(const std::u16string& label, char16_t* buffer, std::uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  const std::size_t n = std::min<std::size_t>(capacity - 1, label.size());
  std::copy(label.begin(), label.begin() + n, buffer);
  buffer[n] = 0;
}

int CompareIdentifierNames(const file_identifier* a, const file_identifier* b) {
  const auto* ia = dynamic_cast<const the_identifier*>(a);
  const auto* ib = dynamic_cast<const the_identifier*>(b);
  const char16_t* x = ia ? ia->name() : nullptr;
  const char16_t* y = ib ? ib->name() : nullptr;
  if (!x || !y) return x ? 1 : y ? -1 : 0;
  for (;; ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
    if (*x == 0) return 0;
  }
}

}  // namespace filesystems
