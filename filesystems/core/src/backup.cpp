#include "filesystems/backup.h"

#include <memory>
#include <vector>

#include "files/file_error.h"
#include "foundation/byteorder.h"
#include "filesystems/references.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kBackupModuleId;
constexpr std::uint32_t kRestoreChunk = 0x40000;

// Ends a directory use and releases what a pump made, with the object lock
// taken again, on every way out.
struct PumpState {
  explicit PumpState(FileSystemDriver& d) : driver(d) {}
  ~PumpState() {
    delete backup;
    delete restore;
    delete file;
    ReleaseDirectoryUse(directory);
  }
  void Use(FileSystemDriver::DirectoryObject* d) {
    if (d) d->AddUse();
    ReleaseDirectoryUse(directory);
    directory = d;
  }
  FileSystemDriver& driver;
  FileSystemDriver::DirectoryObject* directory = nullptr;
  FileSystemDriver::BackupObject* backup = nullptr;
  FileSystemDriver::RestoreObject* restore = nullptr;
  FileReference* file = nullptr;
};

// The object lock is held by the caller on entry and exit; in between the
// pump leaves it while it talks to the caller's objects.
class Unlocked {
 public:
  explicit Unlocked(FileSystemDriver& d) : section_(&d.ObjectLock()) { section_->Leave(); }
  ~Unlocked() { section_->Enter(); }
  void Lock() { section_->Enter(); }
  void Unlock() { section_->Leave(); }

 private:
  Common::CriticalSection* section_;
};

// Throws the error a caller's object stored; one that failed without saying
// why gets `code`.
[[noreturn]] void ThrowStored(const Common::Error& stored, std::uint32_t code) {
  if (stored && stored.Code() != 0) throw stored;
  ThrowFileError(0x06, kModuleId, code);
}

void CheckStop(ProgressReceiver* progress) {
  if (progress && progress->ShouldStop()) ThrowFileError(0x01, kModuleId, kFileCanceled);
}

}  // namespace

ProgressReceiver::~ProgressReceiver() = default;

BackupItemStream::RawData* AllocateAlignedBuffer(BackupItemStream& stream, std::uint32_t size,
                                                 std::uint32_t alignment) {
  if (alignment == 0) alignment = 1;
  std::uint64_t want = std::uint64_t(size) + alignment - 1;
  if (want > 0xFFFFFFFFu) return nullptr;
  BackupItemStream::RawData* raw = stream.MakeRawData(static_cast<std::uint32_t>(want));
  if (!raw) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(raw->block + raw->offset);
  auto aligned = (start + alignment - 1) / alignment * alignment;
  raw->offset += static_cast<std::uint32_t>(aligned - start);
  raw->size = size;
  return raw;
}

void BackupEntry(FileSystemDriver& driver, FileSystemDriver::DirectoryObject* directory,
                 FileSystemDriver::IteratorObject* entry, const BackupTarget& target) {
  if (!driver.CanBackup()) ThrowFileError(0x02, kModuleId, kFileNotSupported);
  std::unique_ptr<BackupItemStream> stream;
  std::uint32_t streamKind = kItemNone;
  {
    PumpState state(driver);
    state.Use(directory);
    if (!entry) {
      state.backup = directory->CreateBackupObject(nullptr, target.option);
    } else {
      std::uint32_t type = entry->GetObjectType();
      if (type == 0) {
        state.file = MakeFileReference(&driver, directory->OpenFileAt(entry), false, false);
        state.backup = state.file->Object()->CreateBackupObject(target.option);
      } else if (type >= 128) {
        std::uint32_t id = directory->GetChildDirectoryId(entry->GetName());
        state.Use(driver.GetDirectoryObject(id));
        state.backup = state.directory->CreateBackupObject(nullptr, target.option);
      } else {
        state.backup = directory->CreateBackupObject(entry, target.option);
      }
    }
    Unlocked unlocked(driver);
    std::uint64_t total = 0;
    while (state.backup->itemKind != kItemNone) {
      CheckStop(target.progress);
      const std::uint32_t kind = state.backup->itemKind;
      if (!stream || kind != streamKind) {
        stream.reset();
        stream.reset(target.factory->OpenItem(kind));
        if (!stream) ThrowStored(target.factory->error(), kFileBackupError);
        streamKind = kind;
      }
      BackupItemStream::RawData* raw =
          AllocateAlignedBuffer(*stream, state.backup->wantedSize, state.backup->alignment);
      if (!raw) ThrowFileError(0x03, kModuleId, kFileOutOfMemory);
      std::uint32_t count;
      try {
        unlocked.Lock();
        count = state.backup->ProduceChunk(raw->block + raw->offset, raw->size);
        unlocked.Unlock();
      } catch (...) {
        unlocked.Unlock();
        stream->TakeBack(raw);
        throw;
      }
      if (count > raw->size) {
        stream->TakeBack(raw);
        ThrowFileError(0x04, kModuleId, kFileCorrupted);
      }
      if (count == 0) {
        stream->TakeBack(raw);
        // An empty chunk must end its item; one that does not would be
        // asked for again and again.
        if (state.backup->itemKind == kind) ThrowFileError(0x05, kModuleId, kFileCorrupted);
        continue;
      }
      raw->size = count;
      stream->Write(raw);
      if (!stream->is_ok()) ThrowStored(stream->error(), kFileBackupError);
      total += count;
      if (target.progress) target.progress->Report(total);
    }
    stream.reset();
  }
}

void RestoreEntry(FileSystemDriver& driver, FileSystemDriver::DirectoryObject* directory,
                  const std::u16string& name, const RestoreSource& source) {
  if (!driver.CanRestore()) ThrowFileError(0x10, kModuleId, kFileNotSupported);
  PumpState state(driver);
  state.Use(directory);
  std::vector<std::uint8_t> buffer(kRestoreChunk);
  Unlocked unlocked(driver);
  std::uint64_t total = 0;
  std::unique_ptr<i_file> input;
  std::uint8_t kind = 0;
  bool fresh = false;
  for (;;) {
    CheckStop(source.progress);
    if (!input) {
      input.reset(source.provider->NextItem(kind));
      if (!input) break;
      fresh = true;
    }
    std::uint32_t count = 0;
    input->read(buffer.data(), kRestoreChunk, count);
    if (!input->is_ok()) ThrowStored(input->error(), kFileRecoverError);
    if (count > 0 || fresh) {
      unlocked.Lock();
      try {
        if (!state.restore) {
          if (kind == kItemAttributes && count < 4) ThrowFileError(0x11, kModuleId, kFileCorrupted);
          if (kind == kItemAttributes && (Common::LoadLe32(buffer.data()) & 0x10)) {
            try {
              state.directory->CreateDirectory(name);
            } catch (Common::Error& e) {
              if (e.Code() != kFileAlreadyExists) throw;
            }
            std::uint32_t id = state.directory->GetChildDirectoryId(name);
            state.Use(driver.GetDirectoryObject(id));
            state.restore = state.directory->CreateRestoreObject(source.option);
          } else {
            state.file = MakeFileReference(&driver, state.directory->CreateFile(name), true, false);
            state.restore = state.file->Object()->CreateRestoreObject(source.option);
          }
        }
        state.restore->ConsumeChunk(kind, buffer.data(), count);
      } catch (...) {
        unlocked.Unlock();
        throw;
      }
      unlocked.Unlock();
      fresh = false;
      if (count > 0) {
        total += count;
        if (source.progress) source.progress->Report(total);
        continue;
      }
    }
    input.reset();
  }
  if (!source.provider->is_ok()) ThrowStored(source.provider->error(), kFileRecoverError);
  if (!state.restore) ThrowFileError(0x12, kModuleId, kFileCorrupted);
}

}  // namespace filesystems
