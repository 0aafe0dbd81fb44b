// What the Windows and POSIX views of a mounted volume share: the driver
// use, the guarded and locked frame of every operation, and the operations
// that do not depend on the path form.
#pragma once

#include <new>
#include <string>

#include "files/file_error.h"
#include "filesystems/backup.h"
#include "filesystems/references.h"
#include "filesystems/views.h"

namespace filesystems {

class MountedDirectory : public rio_dir, public nocache_dir {
 public:
  explicit MountedDirectory(FileSystemDriver* driver) : driver_(driver) { driver_->AddUse(); }
  ~MountedDirectory() override { driver_->Release(); }

  // Opens through the path form's entry split and own directory.
  i_file* open_file_by_id(const file_identifier* id, bool share) override {
    return OpenIdentifiedFile(id, false, share);
  }
  i_file* open_file_at(iterator* at, bool share) override {
    return OpenIteratorFile(at, false, share);
  }
  i_file* open_file(const char16_t* name, bool share) override {
    return OpenNamedFile(name, false, share);
  }
  ro_file* open_file_write(const char16_t* name, bool share) override {
    return OpenNamedFile(name, true, share);
  }
  rio_file* open_file_rw(const char16_t* name, bool share) override {
    return OpenNamedFile(name, true, share);
  }
  ro_file* open_file_write_at(iterator* at, bool share) override {
    return OpenIteratorFile(at, true, share);
  }
  rio_file* open_file_rw_at(iterator* at, bool share) override {
    return OpenIteratorFile(at, true, share);
  }
  ro_file* open_file_write_by_id(const file_identifier* id, bool share) override {
    return OpenIdentifiedFile(id, true, share);
  }
  rio_file* open_file_rw_by_id(const file_identifier* id, bool share) override {
    return OpenIdentifiedFile(id, true, share);
  }
  rio_file* create_file(const char16_t* name, bool share,
                        const SecurityAttributesProvider*) override {
    return Run<rio_file*>(nullptr, true, [&]() -> rio_file* {
      std::u16string entry;
      FileSystemDriver::DirectoryObject* parent = CreationParent(name, entry);
      FileSystemDriver::FileObject* file;
      try {
        file = parent->CreateFile(entry);
      } catch (Common::Error& e) {
        if (e.Code() == kFileNotFound) Throw(0x51, kFileCreateError);
        throw;
      }
      return MakeFileReference(driver_, file, true, share);
    });
  }
  rio_file* create_nocache_file(const char16_t* name) override {
    if (!IsPlainName(name)) {
      store_error(MakeFsError(0x52, kReferencesModuleId, kFileNotSupported));
      return nullptr;
    }
    return create_file(name, false, nullptr);
  }
  std::uint32_t sector_size() override { return driver_->SectorSize(); }

  iterator* list() override {
    return Run<iterator*>(nullptr, true, [&]() -> iterator* {
      return MakeIteratorReference(driver_, OwnDirectory()->OpenIterator());
    });
  }
  iterator* find_by_id(const file_identifier* id) override {
    return Run<iterator*>(nullptr, true, [&]() -> iterator* {
      if (!id) Throw(0x53, kFileOpenError);
      return MakeIteratorReference(driver_, OwnDirectory()->OpenIteratorAt(id));
    });
  }
  int compare_ids(const file_identifier* a, const file_identifier* b) override {
    return driver_->CompareIdentifiers(a, b);
  }
  void disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) override {
    if (!Run<bool>(false, true, [&] {
          driver_->GetVolumeSizes(total, free, available);
          return true;
        }))
      total = free = available = 0;
  }
  void volume_info(char16_t* buffer, std::uint32_t length) override {
    if (!IsRoot()) {
      store_error(MakeFsError(0x54, kReferencesModuleId, kFileNotSupported));
      if (length) buffer[0] = 0;
      return;
    }
    if (length == 0) {
      store_error(Common::NoError);
      return;
    }
    if (!Run<bool>(false, true, [&] {
          driver_->GetVolumeLabel(buffer, length);
          return true;
        }))
      buffer[0] = 0;
  }
  i_dir* open_dir_at(iterator* at) override {
    if (!at || !at->is_ok()) {
      store_error(MakeFsError(0x55, kReferencesModuleId, kFileOpenError));
      return nullptr;
    }
    return open_dir(at->name());
  }
  i_dir* open_dir_by_id(const file_identifier* id) override {
    auto* named = dynamic_cast<const the_identifier*>(id);
    if (!named) {
      store_error(MakeFsError(0x56, kReferencesModuleId, kFileOpenError));
      return nullptr;
    }
    return open_dir(named->name());
  }

  void delete_file(const char16_t* name) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      SplitEntry(name, entry, kFileDeleteError)->DeleteFile(entry);
      return true;
    });
  }
  void create_dir(const char16_t* name, const SecurityAttributesProvider*) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      FileSystemDriver::DirectoryObject* parent = CreationParent(name, entry);
      try {
        parent->CreateDirectory(entry);
      } catch (Common::Error& e) {
        if (e.Code() == kFileNotFound) Throw(0x57, kFileCreateError);
        throw;
      }
      return true;
    });
  }

  FileSystemDriver* Driver() const noexcept { return driver_; }

 protected:
  // The parent directory of an entry named relative to the view, with the
  // entry's name; refused with `refusal` when the name does not resolve.
  // The caller holds the driver lock.
  virtual FileSystemDriver::DirectoryObject* SplitEntry(const char16_t* name, std::u16string& entry,
                                                        std::uint32_t refusal) = 0;
  // This view's own directory object (driver lock held).
  virtual FileSystemDriver::DirectoryObject* OwnDirectory() = 0;
  virtual bool IsRoot() const = 0;
  virtual bool IsPlainName(const char16_t* name) const = 0;

  // The parent of an entry to create: a parent that does not exist makes
  // the creation fail as a creation (0x4000a), not as an open.
  FileSystemDriver::DirectoryObject* CreationParent(const char16_t* name, std::u16string& entry) {
    try {
      return SplitEntry(name, entry, kFileCreateError);
    } catch (Common::Error& e) {
      if (e.Code() == kFileNotFound || e.Code() == kFileOpenError) Throw(0x5D, kFileCreateError);
      throw;
    }
  }

  [[noreturn]] static void Throw(std::uint32_t site, std::uint32_t code) {
    ThrowFileError(site, kReferencesModuleId, code);
  }

  // The frame of every operation: guard, lock (when asked), the driver call,
  // its outcome stored.
  template <class T, class F>
  T Run(T failure, bool takeLock, F f) {
    NewHandlerGuard guard;
    Common::CriticalSectionLock lock(takeLock ? &driver_->ObjectLock() : nullptr);
    try {
      T result = f();
      lock.Leave();
      store_error(Common::NoError);
      return result;
    } catch (Common::Error& e) {
      lock.Leave();
      store_error(e);
    } catch (std::bad_alloc&) {
      lock.Leave();
      store_error(MakeFsError(0x58, kReferencesModuleId, kFileOutOfMemory));
    }
    return failure;
  }

  FileReference* OpenNamedFile(const char16_t* name, bool write, bool share) {
    return Run<FileReference*>(nullptr, true, [&]() -> FileReference* {
      if (!name || !*name) Throw(0x59, kFileOpenError);
      std::u16string entry;
      auto* parent = SplitEntry(name, entry, kFileOpenError);
      return MakeFileReference(driver_, parent->OpenFile(entry), write, share);
    });
  }
  FileReference* OpenIteratorFile(iterator* at, bool write, bool share) {
    return Run<FileReference*>(nullptr, true, [&]() -> FileReference* {
      auto* reference = dynamic_cast<IteratorReference*>(at);
      if (!at || !reference || reference->Driver() != driver_) Throw(0x5A, kFileOpenError);
      auto* own = OwnDirectory();
      return MakeFileReference(driver_, own->OpenFileAt(reference->GetIteratorObject()), write,
                               share);
    });
  }
  FileReference* OpenIdentifiedFile(const file_identifier* id, bool write, bool share) {
    return Run<FileReference*>(nullptr, true, [&]() -> FileReference* {
      if (!id) Throw(0x5B, kFileOpenError);
      return MakeFileReference(driver_, OwnDirectory()->OpenFileByIdentifier(id), write, share);
    });
  }

  // The requests every view answers alike: backup and restore of entries,
  // security data, the view itself; the rest goes to ViewControl and then
  // to the driver. Runs with the driver lock held.
  void control(control_request* request) override;
  iterator* find_self() override;

  // The requests only one path form answers; false passes the request on
  // to the driver (driver lock held).
  virtual bool ViewControl(control_request*) { return false; }
  // The directory holding this view's own entry, with the entry's name, or
  // null for the volume's top (driver lock held).
  virtual FileSystemDriver::DirectoryObject* SelfParent(std::u16string& name) = 0;
  // Whether the view stands on the volume's top, the entry without parent.
  virtual bool IsTop() const = 0;
  // The name the top's own entry answers with.
  virtual const char16_t* TopName() const = 0;
  // The entry name of a restore target in this view's own directory;
  // refused as not found when the name is not one plain entry.
  virtual std::u16string RestoreName(const char16_t* name) = 0;

  FileSystemDriver* driver_;
};

// The one-entry iterator of a root view's own entry.
class RootSelfIterator : public i_dir::iterator {
 public:
  explicit RootSelfIterator(const char16_t* name) : name_(name) {}
  void next() override {
    if (is_ok()) store_error(MakeFsError(0x5C, kReferencesModuleId, kFileNotSupported));
  }
  file_identifier* id() override { return new the_identifier(nullptr, nullptr, 0); }
  const char16_t* name() override { return name_; }
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override { return kObjectFixedDrive; }

 private:
  const char16_t* name_;
};

}  // namespace filesystems
