// A read-only ZIP archive presented as a directory of the file layer.
//
// `zip_file` reads any random-access input file and finds the archive from
// its end, so data before the archive (a program image) and after it (a
// signature block) are allowed. Only single-disk archives with stored
// (method 0) and deflated (method 8) entries are read: no writing, no ZIP64,
// no encryption, no folders. Every entry is a file whose full stored name is
// its name; the name's bytes are widened one to one to UTF-16.
//
// The archive does not own its input file, and its entries, iterators and
// identifiers point into the archive's loaded central directory: the file
// must outlive the archive, and the archive everything it handed out.
//
// Nothing read from the archive is trusted: the central directory must hold
// its records back to back inside its stated size, and an entry whose local
// header or data would lie outside the archive is refused as corrupted
// (0x4000d) without reading it. An entry's CRC-32 is compared in the read
// that delivers its last byte, so a reader that asks for exactly the
// entry's size still learns of a damaged entry.
//
// Like every directory, `zip_file` keeps the outcome of its last operation;
// an earlier failure does not block later ones. Entries and iterators keep
// their first error. No locks: an archive and its entries are used from one
// thread at a time; entries share the input file, so every read seeks first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "files/dir.h"
#include "files/file_object.h"

struct z_stream_s;

class zip_file : public si_dir {
 public:
  // Locates and loads the central directory; failures are stored, the
  // object is always built.
  explicit zip_file(ri_file* file) noexcept;
  // Shares the input file, copies the loaded directory (0x40006 stored when
  // that copy cannot be allocated).
  zip_file(const zip_file& other) noexcept;
  zip_file& operator=(const zip_file&) = delete;
  ~zip_file() override;

  i_file* open_file_by_id(const file_identifier* id, bool share_all) override;
  i_file* open_file_at(iterator* at, bool share_all) override;
  i_file* open_file(const char16_t* name, bool share_all) override;
  i_dir* open_dir_by_id(const file_identifier* id) override;
  i_dir* open_dir_at(iterator* at) override;
  // "." gives a copy of this archive; anything else is not supported.
  i_dir* open_dir(const char16_t* path) override;
  // A copy of this archive; the path is left as it is (the whole path is an
  // entry name).
  i_dir* open_parent(const char16_t** path) override;

  iterator* find_by_id(const file_identifier* id) override;
  // The first entry whose name matches by ZipNameEquals; at the end of the
  // list the archive holds 0x40002 and the result is null.
  iterator* find(const char16_t* name) override;
  iterator* list() override;
  iterator* find_self() override;
  int relation(i_dir* other) override;
  int compare_ids(const file_identifier* a, const file_identifier* b) override;

  // Position of the archive's first byte in the input file.
  virtual std::uint64_t archive_offset();

  std::uint16_t entry_count() const noexcept { return entryCount_; }

 private:
  friend class file_in_zip;

  bool find_end_record(std::uint64_t& position);
  void load();
  // The record is one of this archive's, counted from the directory's end.
  bool owns(const std::uint8_t* record, std::uint32_t left) const noexcept;
  i_file* open_record(const std::uint8_t* record);

  ri_file* file_;
  std::uint64_t baseOffset_ = 0;
  std::uint64_t directoryPosition_ = 0;  // in the input file
  std::uint16_t entryCount_ = 0;
  std::uint32_t directorySize_ = 0;
  std::unique_ptr<std::uint8_t[]> directory_;
};

// A reference to one entry of one `zip_file`; valid while that archive lives.
class zip_identifier : public file_identifier {
 public:
  zip_identifier* clone() const override;

  const std::uint8_t* record() const noexcept { return record_; }
  std::uint32_t left() const noexcept { return left_; }

 private:
  friend class zip_iterator;
  zip_identifier(const std::uint8_t* record, std::uint32_t left) noexcept
      : record_(record), left_(left) {}

  const std::uint8_t* record_;
  std::uint32_t left_;  // entries from this one to the directory's end
};

class zip_iterator : public i_dir::iterator {
 public:
  void next() override;
  file_identifier* id() override;
  const char16_t* name() override;
  const char16_t* display_name() override;
  const char16_t* short_name() override;
  std::uint64_t size() override;            // uncompressed
  std::uint64_t allocated_size() override;  // compressed
  std::uint32_t object_type() override;     // always a file

  const std::uint8_t* record() const noexcept { return record_; }
  std::uint32_t left() const noexcept { return left_; }

 private:
  friend class zip_file;
  // Stands on `record` with `left` entries left, counting it.
  zip_iterator(const std::uint8_t* record, std::uint32_t left);
  void load_name();

  const std::uint8_t* record_;
  std::uint32_t left_;
  std::u16string name_;
};

// One entry opened for reading, front to back, once.
class file_in_zip : public si_file {
 public:
  file_in_zip(zip_file& archive, const std::uint8_t* record) noexcept;
  ~file_in_zip() override;

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override;
  // Not supported: an entry is read once.
  std::uint64_t rewind() override;
  // The uncompressed size.
  std::uint64_t size() override;

 private:
  void locate_data();
  bool read_archive(void* buffer, std::uint32_t size);  // at dataPosition_
  std::uint32_t read_stored(void* buffer, std::uint32_t size);
  std::uint32_t read_deflated(void* buffer, std::uint32_t size);

  zip_file& archive_;
  const std::uint8_t* record_;
  std::uint16_t method_ = 0;
  std::uint32_t expectedCrc_ = 0;
  std::uint64_t dataPosition_ = 0;
  std::uint32_t crc_ = 0;
  std::uint32_t compressedLeft_ = 0;
  std::uint32_t uncompressedLeft_ = 0;
  std::uint64_t size_ = 0;
  std::unique_ptr<z_stream_s> stream_;
  std::unique_ptr<std::uint8_t[]> input_;
};

// Entry-name comparison of `find`: ASCII letters fold to capitals, '\' in
// the wanted name stands for '/', and a '\' in the stored name never
// matches. Both names are NUL-terminated.
bool ZipNameEquals(const char16_t* wanted, const char16_t* stored) noexcept;
