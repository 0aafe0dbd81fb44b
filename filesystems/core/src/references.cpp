#include "filesystems/references.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "files/control.h"
#include "files/file_error.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kReferencesModuleId;
constexpr std::uint32_t kControlDFRGCode = ControlCode('D', 'F', 'R', 'G');

}  // namespace

// ---------------------------------------------------------------------------
// File references

FileReference* MakeFileReference(FileSystemDriver* driver, FileSystemDriver::FileObject* file,
                                 bool write, bool share) {
  bool refused;
  if (write)
    refused = share ? file->exclusiveCount != 0 : file->openCount != 0;
  else
    refused = file->writerCount != 0 && !(share && file->exclusiveCount == 0);
  FileReference* reference = nullptr;
  if (!refused) reference = new (std::nothrow) FileReference(driver, file, write, share);
  if (!reference) {
    if (file->openCount == 0) delete file;
    if (refused) ThrowFileError(0x01, kModuleId, kFileOpenError);
    ThrowFileError(0x02, kModuleId, kFileOutOfMemory);
  }
  ++file->openCount;
  if (write && file->writerCount++ == 0) driver->AddWrittenFile(file);
  if (!share) ++file->exclusiveCount;
  driver->AddUse();
  return reference;
}

FileReference::FileReference(FileSystemDriver* driver, FileSystemDriver::FileObject* file,
                             bool write, bool share)
    : driver_(driver), file_(file), write_(write), share_(share) {}

FileReference::~FileReference() {
  {
    NewHandlerGuard guard;
    Common::CriticalSectionLock lock(&driver_->ObjectLock());
    if (!share_) --file_->exclusiveCount;
    if (write_ && --file_->writerCount == 0) {
      driver_->RemoveWrittenFile(file_);
      try {
        file_->Flush();
      } catch (...) {
        // Closing cannot report; the driver's Flush reports its own state.
      }
    }
    if (--file_->openCount == 0) delete file_;
  }
  driver_->Release();
}

template <class F>
bool FileReference::Guarded(F f) {
  NewHandlerGuard guard;
  Common::CriticalSectionLock lock(&driver_->ObjectLock());
  try {
    f();
    return true;
  } catch (Common::Error& e) {
    lock.Leave();
    store_first_error(e);
  } catch (std::bad_alloc&) {
    lock.Leave();
    store_first_error(MakeFsError(0x03, kModuleId, kFileOutOfMemory));
  }
  return false;
}

void FileReference::read(void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  std::uint32_t done = 0;
  Guarded([&] { file_->Read(buffer, position_, size, done); });
  count = done;
  position_ += done;
}

void FileReference::write(const void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (!is_ok()) return;
  std::uint32_t done = 0;
  NewHandlerGuard guard;
  Common::CriticalSectionLock lock(&driver_->ObjectLock());
  try {
    file_->Write(buffer, position_, size, done);
  } catch (Common::Error& e) {
    lock.Leave();
    // A full disk is reported by the short count alone.
    if (e.Code() != kFileDiskFull) store_first_error(e);
  } catch (std::bad_alloc&) {
    lock.Leave();
    store_first_error(MakeFsError(0x04, kModuleId, kFileOutOfMemory));
  }
  count = done;
  position_ += done;
}

void FileReference::flush() {
  if (!is_ok()) return;
  Guarded([&] { driver_->Flush(); });
}

void FileReference::set_size(std::uint64_t size) {
  if (!is_ok()) return;
  Guarded([&] { file_->SetSize(size); });
}

std::uint64_t FileReference::size() {
  std::uint64_t result = 0;
  NewHandlerGuard guard;
  Common::CriticalSectionLock lock(&driver_->ObjectLock());
  try {
    result = file_->GetSize();
  } catch (Common::Error& e) {
    lock.Leave();
    store_first_error(e);
    return 0;
  }
  return result;
}

std::uint64_t FileReference::seek_set(std::int64_t distance) {
  if (is_ok()) position_ = static_cast<std::uint64_t>(distance);
  return position_;
}

std::uint64_t FileReference::seek_cur(std::int64_t distance) {
  if (is_ok()) position_ += static_cast<std::uint64_t>(distance);
  return position_;
}

std::uint64_t FileReference::seek_end(std::int64_t distance) {
  if (!is_ok()) return position_;
  std::uint64_t end = size();
  if (is_ok()) position_ = end + static_cast<std::uint64_t>(distance);
  return position_;
}

void FileReference::control(control_request* request) {
  if (!is_ok()) return;
  if (request->code == kControlGSEC) {
    auto* r = static_cast<gsec_request*>(request);
    Guarded([&] {
      r->sector = file_->GetVolumeOffset(position_);
      r->found = 0;
    });
    return;
  }
  if ((request->code == kControlDFRGCode || request->code == kControlSFTM) && !write_) {
    store_first_error(MakeFsError(0x05, kModuleId, kFileReadOnly));
    return;
  }
  Guarded([&] { file_->Control(request); });
}

// ---------------------------------------------------------------------------
// Iterator references

IteratorReference* MakeIteratorReference(FileSystemDriver* driver,
                                         FileSystemDriver::IteratorObject* iterator) {
  auto* reference = new (std::nothrow) IteratorReference(driver, iterator);
  if (!reference) {
    delete iterator;
    ThrowFileError(0x10, kModuleId, kFileOutOfMemory);
  }
  driver->AddUse();
  return reference;
}

IteratorReference::IteratorReference(FileSystemDriver* driver,
                                     FileSystemDriver::IteratorObject* iterator)
    : driver_(driver), iterator_(iterator) {
  if (!iterator_) store_error(MakeFsError(0x11, kModuleId, kFileEndOfFile));
}

IteratorReference::~IteratorReference() {
  {
    NewHandlerGuard guard;
    Common::CriticalSectionLock lock(&driver_->ObjectLock());
    delete iterator_;
    iterator_ = nullptr;
  }
  driver_->Release();
}

FileSystemDriver::IteratorObject* IteratorReference::GetIteratorObject() {
  if (!iterator_) ThrowFileError(0x12, kModuleId, kFileEndOfFile);
  return iterator_;
}

FileSystemDriver::IteratorObject* IteratorObjectOf(i_dir::iterator* iterator) noexcept {
  auto* reference = dynamic_cast<IteratorReference*>(iterator);
  if (!reference) return nullptr;
  try {
    return reference->GetIteratorObject();
  } catch (...) {
    return nullptr;
  }
}

template <class T, class F>
T IteratorReference::Forward(T failure, F f) {
  if (!is_ok()) return failure;
  if (!iterator_) {
    store_error(MakeFsError(0x13, kModuleId, kFileEndOfFile));
    return failure;
  }
  NewHandlerGuard guard;
  Common::CriticalSectionLock lock(&driver_->ObjectLock());
  try {
    return f(iterator_);
  } catch (Common::Error& e) {
    lock.Leave();
    store_first_error(e);
  } catch (std::bad_alloc&) {
    lock.Leave();
    store_first_error(MakeFsError(0x14, kModuleId, kFileOutOfMemory));
  }
  return failure;
}

void IteratorReference::next() {
  if (!is_ok()) return;
  if (!iterator_) {
    store_error(MakeFsError(0x15, kModuleId, kFileEndOfFile));
    return;
  }
  NewHandlerGuard guard;
  Common::CriticalSectionLock lock(&driver_->ObjectLock());
  Common::Error failure;
  try {
    if (iterator_->Next()) return;
    failure = MakeFsError(0x16, kModuleId, kFileEndOfFile);
  } catch (Common::Error& e) {
    failure = e;
  } catch (std::bad_alloc&) {
    failure = MakeFsError(0x17, kModuleId, kFileOutOfMemory);
  }
  delete iterator_;
  iterator_ = nullptr;
  lock.Leave();
  store_first_error(failure);
}

using It = FileSystemDriver::IteratorObject;

file_identifier* IteratorReference::id() {
  return Forward<file_identifier*>(nullptr, [](It* i) { return i->GetIdentifier(); });
}
const char16_t* IteratorReference::name() {
  return Forward<const char16_t*>(nullptr, [](It* i) { return i->GetName(); });
}
const char16_t* IteratorReference::short_name() {
  return Forward<const char16_t*>(nullptr, [](It* i) { return i->GetShortName(); });
}
std::uint64_t IteratorReference::size() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetSize(); });
}
std::uint64_t IteratorReference::allocated_size() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetAllocatedSize(); });
}
std::uint32_t IteratorReference::object_type() {
  return Forward<std::uint32_t>(0, [](It* i) { return i->GetObjectType(); });
}
std::uint64_t IteratorReference::write_time() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetModificationTime(); });
}
std::uint64_t IteratorReference::change_time() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetChangeTime(); });
}
std::uint64_t IteratorReference::creation_time() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetCreationTime(); });
}
std::uint64_t IteratorReference::access_time() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetAccessTime(); });
}
std::uint32_t IteratorReference::attributes() {
  return Forward<std::uint32_t>(kNoAttributes, [](It* i) { return i->GetAttributes(); });
}
std::uint32_t IteratorReference::mode() {
  return Forward<std::uint32_t>(kNoAttributes, [](It* i) { return i->GetMode(); });
}
bool IteratorReference::is_hidden() {
  return Forward<bool>(true, [](It* i) { return i->IsHidden(); });
}
std::uint32_t IteratorReference::owner_id() {
  return Forward<std::uint32_t>(kNoAttributes, [](It* i) { return i->GetOwnerId(); });
}
std::uint32_t IteratorReference::group_id() {
  return Forward<std::uint32_t>(kNoAttributes, [](It* i) { return i->GetGroupId(); });
}
std::uint32_t IteratorReference::link_count() {
  return Forward<std::uint32_t>(1, [](It* i) { return i->GetLinkCount(); });
}
std::uint32_t IteratorReference::device_major() {
  return Forward<std::uint32_t>(0, [](It* i) { return i->GetDeviceMajor(); });
}
std::uint32_t IteratorReference::device_minor() {
  return Forward<std::uint32_t>(0, [](It* i) { return i->GetDeviceMinor(); });
}
std::uint64_t IteratorReference::file_index() {
  return Forward<std::uint64_t>(0, [](It* i) { return i->GetEntryId(); });
}
const char16_t* IteratorReference::link_target() {
  return Forward<const char16_t*>(nullptr, [](It* i) { return i->GetSymlinkTarget(); });
}

void IteratorReference::control(control_request* request) {
  if (!is_ok()) return;
  if (!iterator_) {
    store_error(MakeFsError(0x18, kModuleId, kFileEndOfFile));
    return;
  }
  if (request->code != ControlCode('G', 'R', 'S', 'Q')) {
    store_first_error(MakeFsError(0x19, kModuleId, kFileNotSupported));
    return;
  }
  auto* r = static_cast<grsq_request*>(request);
  Forward<bool>(false, [&](It* i) {
    const void* data = nullptr;
    std::uint32_t size = i->GetSecurityData(&data);
    r->data = nullptr;
    if (size && data) {
      r->data = std::malloc(size);
      if (!r->data) ThrowFileError(0x1A, kModuleId, kFileOutOfMemory);
      std::memcpy(r->data, data, size);
    }
    r->size = size;
    return true;
  });
}

}  // namespace filesystems
