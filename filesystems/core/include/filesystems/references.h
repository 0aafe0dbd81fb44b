// A driver's files and directory iterators as the file framework's random-
// access files and iterators. Every call runs under the driver's object lock
// and a NewHandlerGuard; a thrown error becomes the object's stored error
// and nothing escapes to the framework's caller. Each reference holds one
// use of its driver.
#pragma once

#include "filesystems/driver.h"

namespace filesystems {

// "GRSQ" of an iterator: the entry's security data, in a new block owned by
// the caller (free it with std::free), and its size.
struct grsq_request : control_request {
  grsq_request() noexcept : control_request{ControlCode('G', 'R', 'S', 'Q')} {}
  void* data = nullptr;
  std::uint32_t size = 0;
};

class FileReference : public rio_file {
 public:
  ~FileReference() override;

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override;
  void write(const void* buffer, std::uint32_t size, std::uint32_t& count) override;
  void flush() override;
  void set_size(std::uint64_t size) override;
  std::uint64_t size() override;
  std::uint64_t seek_set(std::int64_t distance) override;
  std::uint64_t seek_cur(std::int64_t distance) override;
  std::uint64_t seek_end(std::int64_t distance) override;
  void control(control_request* request) override;

  FileSystemDriver::FileObject* Object() const noexcept { return file_; }

 private:
  friend FileReference* MakeFileReference(FileSystemDriver*, FileSystemDriver::FileObject*, bool,
                                          bool);
  FileReference(FileSystemDriver* driver, FileSystemDriver::FileObject* file, bool write,
                bool share);
  template <class F>
  bool Guarded(F f);

  FileSystemDriver* driver_;
  FileSystemDriver::FileObject* file_;
  bool write_;
  bool share_;
  std::uint64_t position_ = 0;
};

class IteratorReference : public i_dir::iterator {
 public:
  ~IteratorReference() override;

  void next() override;
  file_identifier* id() override;
  const char16_t* name() override;
  const char16_t* short_name() override;
  std::uint64_t size() override;
  std::uint64_t allocated_size() override;
  std::uint32_t object_type() override;
  std::uint64_t write_time() override;
  std::uint64_t change_time() override;
  std::uint64_t creation_time() override;
  std::uint64_t access_time() override;
  std::uint32_t attributes() override;
  std::uint32_t mode() override;
  bool is_hidden() override;
  std::uint32_t owner_id() override;
  std::uint32_t group_id() override;
  std::uint32_t link_count() override;
  std::uint32_t device_major() override;
  std::uint32_t device_minor() override;
  std::uint64_t file_index() override;
  const char16_t* link_target() override;
  void control(control_request* request) override;

  // The driver's iterator; throws 0x40002 when the listing has ended.
  FileSystemDriver::IteratorObject* GetIteratorObject();
  FileSystemDriver* Driver() const noexcept { return driver_; }

 private:
  friend IteratorReference* MakeIteratorReference(FileSystemDriver*,
                                                  FileSystemDriver::IteratorObject*);
  IteratorReference(FileSystemDriver* driver, FileSystemDriver::IteratorObject* iterator);
  template <class T, class F>
  T Forward(T failure, F f);

  FileSystemDriver* driver_;
  FileSystemDriver::IteratorObject* iterator_;
};

// Applies the sharing rules of one file object's opens: a writer needs every
// other open to share (or, not sharing, no other open at all); a reader is
// refused while writers exist unless it shares and every open shares.
// Refusal throws 0x40007 and deletes the file object if nothing else has it
// open. The caller holds the driver's object lock.
FileReference* MakeFileReference(FileSystemDriver* driver, FileSystemDriver::FileObject* file,
                                 bool write, bool share);
// A null iterator object gives an empty listing (0x40002 stored).
IteratorReference* MakeIteratorReference(FileSystemDriver* driver,
                                         FileSystemDriver::IteratorObject* iterator);

}  // namespace filesystems
