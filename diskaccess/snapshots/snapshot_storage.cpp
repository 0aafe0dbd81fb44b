// The temporary file in which snapshot groups keep the data the library
// hands over: one per process, appended at sector granularity through a
// staging buffer and read back through a small read cache, since the file
// is opened without system buffering.
#include <algorithm>
#include <cstring>
#include <new>

#include "diskaccess/errors.h"
#include "diskaccess/objects.h"
#include "diskaccess/snapshots.h"
#include "sblib/sblib.h"

namespace {

constexpr std::uint32_t kTag = 0x1424;
constexpr std::uint32_t kModule = Da::Module::kWindowsComputer;
constexpr std::uint32_t kNotEnoughMemory = 8;

SnapshotStorage* g_current = nullptr;
Da::SnapshotFileSystem* g_files = nullptr;

Common::Error Fail(std::uint32_t site, std::uint32_t code, std::uint32_t message) {
  return Da::MakeError(Da::Site(kTag, site), kModule, code, message);
}

Common::Error FailWin(std::uint32_t site, std::uint32_t code, std::uint32_t message,
                      std::uint32_t win32) {
  Common::Error e = Fail(site, code, message);
  if (win32 != 0) Common::AttachWin32Cause(e, win32);
  return e;
}

}  // namespace

namespace Da {

SnapshotFileSystem::~SnapshotFileSystem() = default;

void SetSnapshotFileSystem(SnapshotFileSystem* files) { g_files = files; }

SnapshotFileSystem& CurrentSnapshotFileSystem() {
  return g_files != nullptr ? *g_files : PlatformSnapshotFileSystem();
}

}  // namespace Da

SnapshotStorage* SnapshotStorage::GetShared() {
  if (g_current != nullptr) {
    ++g_current->useCount_;
    return g_current;
  }
  g_current = new (std::nothrow) SnapshotStorage;
  if (g_current != nullptr) g_current->fs_ = &Da::CurrentSnapshotFileSystem();
  return g_current;
}

void SnapshotStorage::Release(SnapshotStorage* storage) {
  if (storage == nullptr || --storage->useCount_ != 0) return;
  if (g_current == storage) g_current = nullptr;
  delete storage;
}

SnapshotStorage* SnapshotStorage::Current() { return g_current; }

SnapshotStorage::~SnapshotStorage() {
  // The system deletes the file when its handle is closed.
  if (file_ != nullptr) fs_->Close(file_);
}

Common::Error SnapshotStorage::CheckPlacement(std::uint32_t volumeNumber, std::uint64_t& fileId,
                                              Common::CriticalSection*& heldLock) {
  if (path_.empty()) {
    if (da_computer* computer = DaLocalComputer()) {
      const char16_t* name = computer->GetName();
      if (name != nullptr && name[0] != 0) path_ = name;
      sizeLimit_ = computer->GetValue();
    }
    if (path_.empty()) {
      std::u16string temp;
      std::uint32_t error = 0;
      const std::uint32_t length = fs_->TempPath(temp, error);
      if (length == 0 || length >= 260)
        return FailWin(1, Da::SnapCode::kTempDirectory, 1246, error);
      path_ = temp;
      directory_ = true;
    }
    std::uint32_t number = 0;
    storageVolume_ = sbGetVolumeNumber(path_.c_str(), &number) == SB_OK ? number : 0;
  }
  // Only storage on the snapshotted volume itself needs care.
  if (volumeNumber != storageVolume_) return Common::Error();
  Common::CriticalSectionLock guard(&lock_);
  if (file_ == nullptr && sizeLimit_ != 0) {
    Common::Error e = CreateFile();
    if (Da::Failed(e)) return e;
  }
  if (file_ != nullptr) {
    std::uint64_t id = 0;
    const std::uint32_t error = fs_->FileId(file_, id);
    if (error != 0) return FailWin(2, Da::SnapCode::kTempInfo, 1254, error);
    fileId = id;
  } else if (heldLock == nullptr) {
    // No file yet: nothing may be written to the storage until the caller's
    // snapshot exists, so that its first appends do not land on the volume
    // before the snapshot does.
    lock_.Enter();
    heldLock = &lock_;
  }
  return Common::Error();
}

Common::Error SnapshotStorage::CreateFile() {
  std::u16string directory;
  bool ours = false;
  if (directory_) {
    fs_->MakeDirectory(path_);
    std::u16string name;
    const std::uint32_t error = fs_->TempFileName(path_, name);
    if (error != 0) return FailWin(3, Da::SnapCode::kTempName, 1245, error);
    directory = path_;
    path_ = name;
    directory_ = false;
    ours = true;
  } else {
    const std::size_t cut = path_.find_last_of(u"/\\");
    if (cut != std::u16string::npos) directory = path_.substr(0, cut + 1);
    fs_->MakeDirectory(directory);
  }
  std::uint32_t bytes = 0;
  if (fs_->SectorSize(directory, bytes) && bytes != 0) sectorSize_ = bytes;
  // A configured name is created new: a file already there is somebody
  // else's, and opening it deleted-on-close would destroy it.
  void* file = nullptr;
  const std::uint32_t error = fs_->Open(path_, ours, file);
  if (error != 0) return FailWin(4, Da::SnapCode::kTempCreate, 1253, error);
  sizeLimit_ -= sizeLimit_ % sectorSize_;
  file_ = file;
  return Common::Error();
}

bool SnapshotStorage::MakeBuffers() {
  if (staging_ != nullptr) return true;
  const std::uint32_t ss = sectorSize_;
  const std::uint32_t m = ss > 0x10000 ? ss : 0x10000 / ss * ss;
  allocation_.reset(new (std::nothrow) std::uint8_t[std::size_t(ss) + 2 * std::size_t(m) - 1]);
  if (!allocation_) return false;
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(allocation_.get());
  cache_ = allocation_.get() + (ss - base % ss) % ss;
  staging_ = cache_ + m;
  capacity_ = m;
  return true;
}

Common::Error SnapshotStorage::WriteFileAt(const void* data, std::uint32_t bytes,
                                           std::uint64_t offset) {
  std::uint32_t done = 0;
  const std::uint32_t error = fs_->WriteAt(file_, data, bytes, offset, done);
  if (error != 0) return FailWin(5, Da::SnapCode::kTempWrite, 1259, error);
  if (done != bytes) return Fail(6, Da::SnapCode::kTempWriteShort, 1260);
  return Common::Error();
}

Common::Error SnapshotStorage::ReadFileAt(void* data, std::uint32_t bytes, std::uint64_t offset) {
  std::uint32_t done = 0;
  const std::uint32_t error = fs_->ReadAt(file_, data, bytes, offset, done);
  if (error != 0) return FailWin(7, Da::SnapCode::kTempRead, 1256, error);
  if (done != bytes) return Fail(8, Da::SnapCode::kTempReadShort, 1257);
  return Common::Error();
}

Common::Error SnapshotStorage::Append(const void* data, std::uint32_t bytes,
                                      std::uint64_t& position) {
  Common::CriticalSectionLock guard(&lock_);
  if (file_ == nullptr) {
    Common::Error e = CreateFile();
    if (Da::Failed(e)) return e;
  }
  if (!MakeBuffers()) return FailWin(9, Da::SnapCode::kTempWrite, 1259, kNotEnoughMemory);
  const std::uint32_t ss = sectorSize_;
  position = written_ + staged_;
  const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
  std::uint32_t left = bytes;
  while (left > 0) {
    if (staged_ == 0 && reinterpret_cast<std::uintptr_t>(p) % ss == 0 && left >= ss) {
      // Aligned bulk data goes straight from the caller's buffer.
      const std::uint32_t n = left / ss * ss;
      Common::Error e = WriteFileAt(p, n, written_);
      if (Da::Failed(e)) return e;
      written_ += n;
      p += n;
      left -= n;
      continue;
    }
    const std::uint32_t n = std::min(capacity_ - staged_, left);
    std::memcpy(staging_ + staged_, p, n);
    staged_ += n;
    p += n;
    left -= n;
    if (staged_ >= ss) {
      const std::uint32_t w = staged_ / ss * ss;
      Common::Error e = WriteFileAt(staging_, w, written_);
      if (Da::Failed(e)) return e;
      written_ += w;
      std::memmove(staging_, staging_ + w, staged_ - w);
      staged_ -= w;
    }
  }
  return Common::Error();
}

Common::Error SnapshotStorage::ReadAt(void* buffer, std::uint32_t bytes, std::uint64_t position) {
  Common::CriticalSectionLock guard(&lock_);
  if (!MakeBuffers()) return FailWin(10, Da::SnapCode::kTempRead, 1256, kNotEnoughMemory);
  const std::uint32_t ss = sectorSize_;
  std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
  std::uint32_t left = bytes;
  while (left > 0) {
    if (cacheLength_ != 0 && position >= cacheOffset_ &&
        position < cacheOffset_ + cacheLength_) {
      const std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(cacheOffset_ + cacheLength_ - position, left));
      std::memcpy(out, cache_ + (position - cacheOffset_), n);
      out += n, position += n, left -= n;
      continue;
    }
    if (position >= written_ && position < written_ + staged_) {
      const std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(written_ + staged_ - position, left));
      std::memcpy(out, staging_ + (position - written_), n);
      out += n, position += n, left -= n;
      continue;
    }
    // Past the end of the stream, or no file at all: nothing was stored
    // there.
    if (position >= written_ || file_ == nullptr)
      return Fail(11, Da::SnapCode::kTempReadShort, 1257);
    std::uint64_t g = std::min<std::uint64_t>(left, written_ - position);
    if (position % ss != 0 || reinterpret_cast<std::uintptr_t>(out) % ss != 0 || g % ss != 0 ||
        g < ss) {
      cacheLength_ = 0;
      cacheOffset_ = position / ss * ss;
      const std::uint32_t length = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(capacity_, g + (position - cacheOffset_) + ss - 1) / ss * ss);
      Common::Error e = ReadFileAt(cache_, length, cacheOffset_);
      if (Da::Failed(e)) return e;
      cacheLength_ = length;
      continue;
    }
    if (cacheLength_ != 0 && cacheOffset_ > position && cacheOffset_ < position + g)
      g = cacheOffset_ - position;
    g = g / ss * ss;
    Common::Error e = ReadFileAt(out, static_cast<std::uint32_t>(g), position);
    if (Da::Failed(e)) return e;
    out += g, position += g, left -= static_cast<std::uint32_t>(g);
  }
  return Common::Error();
}

void SnapshotStorage::ExtendToLimit() {
  Common::CriticalSectionLock guard(&lock_);
  if (file_ != nullptr && written_ < sizeLimit_) fs_->SetSize(file_, sizeLimit_);
}
