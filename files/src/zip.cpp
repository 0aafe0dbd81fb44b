// The read-only ZIP reader: the archive as a directory, its cursor and
// identifiers, and entries opened for reading with raw inflate.
#include "foundation/byteorder.h"
#include "files/zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "files/file_error.h"

namespace {
constexpr std::uint32_t kModuleId = 0x86137b9d;
constexpr std::uint32_t kLocationBase = 0x2400u << 16;
enum : std::uint32_t {
  kLocSize = kLocationBase | 1,
  kLocTooShort,
  kLocScanWindow,
  kLocScanRead,
  kLocNoEndRecord,
  kLocEndRecordRead,
  kLocEndRecordFields,
  kLocDirectoryMemory,
  kLocDirectoryRead,
  kLocDirectoryRecords,
  kLocCopyMemory,
  kLocOpenNullId,
  kLocOpenBadIterator,
  kLocOpenMemory,
  kLocOpenDirById,
  kLocOpenDirAt,
  kLocOpenDir,
  kLocOpenDirMemory,
  kLocFindNullId,
  kLocFindMemory,
  kLocListNoDirectory,
  kLocListMemory,
  kLocFindSelf,
  kLocIteratorEnd,
  kLocEntryMethod,
  kLocEntryEncrypted,
  kLocEntryOutside,
  kLocEntryHeaderRead,
  kLocEntryHeader,
  kLocEntryDataOutside,
  kLocEntryMemory,
  kLocEntryRead,
  kLocEntryCrc,
  kLocEntryNoData,
  kLocEntryRewind,
};

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kEndRecordSize = 22;
constexpr std::uint32_t kDirectoryRecordSize = 46;
constexpr std::uint32_t kLocalHeaderSize = 30;
constexpr std::uint32_t kInputBufferSize = 32768;
constexpr std::uint32_t kScanWindow = 1024;

// General-purpose flag bits.
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;

// Central-directory record fields.
std::uint16_t RecordFlags(const std::uint8_t* r) noexcept { return Common::LoadLe16(r + 8); }
std::uint16_t RecordMethod(const std::uint8_t* r) noexcept { return Common::LoadLe16(r + 10); }
std::uint32_t RecordCrc(const std::uint8_t* r) noexcept { return Common::LoadLe32(r + 16); }
std::uint32_t RecordCompressed(const std::uint8_t* r) noexcept { return Common::LoadLe32(r + 20); }
std::uint32_t RecordUncompressed(const std::uint8_t* r) noexcept { return Common::LoadLe32(r + 24); }
std::uint16_t RecordNameLength(const std::uint8_t* r) noexcept { return Common::LoadLe16(r + 28); }
std::uint32_t RecordLocalOffset(const std::uint8_t* r) noexcept { return Common::LoadLe32(r + 42); }
std::uint32_t RecordLength(const std::uint8_t* r) noexcept {
  return kDirectoryRecordSize + Common::LoadLe16(r + 28) + Common::LoadLe16(r + 30) + Common::LoadLe16(r + 32);
}

Common::Error FileError(std::uint32_t location, std::uint32_t code) noexcept {
  return MakeFileError(location, kModuleId, code);
}

char16_t Fold(char16_t c) noexcept {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}
}  // namespace

bool ZipNameEquals(const char16_t* wanted, const char16_t* stored) noexcept {
  for (;; ++wanted, ++stored) {
    char16_t w = Fold(*wanted);
    if (w == u'\\') w = u'/';
    const char16_t s = *stored;
    if (s == u'\\') return false;
    if (w != Fold(s)) return false;
    if (w == u'\0') return true;
  }
}

// ---------------------------------------------------------------------------
// zip_file

zip_file::zip_file(ri_file* file) noexcept : file_(file) { load(); }

zip_file::zip_file(const zip_file& other) noexcept
    : file_object(),
      file_(other.file_),
      baseOffset_(other.baseOffset_),
      directoryPosition_(other.directoryPosition_),
      entryCount_(other.entryCount_),
      directorySize_(other.directorySize_) {
  if (!other.directory_) return;
  directory_.reset(new (std::nothrow) std::uint8_t[directorySize_ ? directorySize_ : 1]);
  if (!directory_) {
    store_error(FileError(kLocCopyMemory, kFileOutOfMemory));
    return;
  }
  std::memcpy(directory_.get(), other.directory_.get(), directorySize_);
}

zip_file::~zip_file() = default;

bool zip_file::find_end_record(std::uint64_t& position) {
  const std::uint64_t fileSize = file_->size();
  if (!file_->is_ok()) {
    store_error(FileError(kLocSize, kFileReadError));
    return false;
  }
  // The record's 22 bytes must fit before the end; position 0 is never a
  // candidate, and only the last 65535 bytes are searched (the longest
  // comment the record can announce).
  const std::uint64_t limit = fileSize >= 19 ? fileSize - 18 : 0;
  const std::uint64_t span = limit > 0 ? std::min<std::uint64_t>(limit - 1, 65517) : 0;
  if (span <= 4) {
    store_error(FileError(kLocTooShort, kFileCorrupted));
    return false;
  }
  std::unique_ptr<std::uint8_t[]> window(new (std::nothrow) std::uint8_t[kScanWindow]);
  if (!window) {
    store_error(FileError(kLocScanWindow, kFileOutOfMemory));
    return false;
  }
  // Windows move back by 1020 bytes, so consecutive ones overlap and a
  // signature spanning two reads is still seen.
  std::uint64_t back = 4;
  do {
    back = std::min<std::uint64_t>(back + (kScanWindow - 4), span);
    const std::uint32_t length = static_cast<std::uint32_t>(std::min<std::uint64_t>(back, kScanWindow));
    file_->seek_set(static_cast<std::int64_t>(limit - back));
    if (file_->is_ok()) file_->read_exact(window.get(), length);
    if (!file_->is_ok()) {
      store_error(FileError(kLocScanRead, kFileReadError));
      return false;
    }
    for (std::uint32_t k = length - 4 + 1; k-- > 0;) {
      if (Common::LoadLe32(window.get() + k) == kEndSignature) {
        position = limit - back + k;
        store_error(Common::NoError);
        return true;
      }
    }
  } while (back < span);
  store_error(FileError(kLocNoEndRecord, kFileCorrupted));
  return false;
}

void zip_file::load() {
  std::uint64_t endPosition = 0;
  if (!find_end_record(endPosition)) return;

  std::uint8_t end[kEndRecordSize];
  file_->seek_set(static_cast<std::int64_t>(endPosition));
  if (file_->is_ok()) file_->read_exact(end, sizeof end);
  if (!file_->is_ok()) {
    store_error(FileError(kLocEndRecordRead, kFileReadError));
    return;
  }
  const std::uint16_t thisDisk = Common::LoadLe16(end + 4);
  const std::uint16_t directoryDisk = Common::LoadLe16(end + 6);
  const std::uint16_t entriesHere = Common::LoadLe16(end + 8);
  const std::uint16_t entriesTotal = Common::LoadLe16(end + 10);
  const std::uint32_t directorySize = Common::LoadLe32(end + 12);
  const std::uint32_t directoryOffset = Common::LoadLe32(end + 16);
  // The sum is taken in 64 bits: two 32-bit fields must not wrap into a
  // plausible value.
  if (thisDisk != 0 || directoryDisk != 0 || entriesHere != entriesTotal || entriesTotal == 0 ||
      endPosition < std::uint64_t{directorySize} + directoryOffset) {
    store_error(FileError(kLocEndRecordFields, kFileCorrupted));
    return;
  }
  entryCount_ = entriesTotal;
  directorySize_ = directorySize;
  directoryPosition_ = endPosition - directorySize;
  baseOffset_ = directoryPosition_ - directoryOffset;

  // The size is bounded by the end record's position, so a forged field
  // cannot ask for more memory than the file holds.
  std::unique_ptr<std::uint8_t[]> directory(new (std::nothrow) std::uint8_t[directorySize]);
  if (!directory) {
    store_error(FileError(kLocDirectoryMemory, kFileOutOfMemory));
    return;
  }
  file_->seek_set(static_cast<std::int64_t>(directoryPosition_));
  if (file_->is_ok()) file_->read_exact(directory.get(), directorySize);
  if (!file_->is_ok()) {
    store_error(FileError(kLocDirectoryRead, kFileReadError));
    return;
  }
  // Every record, with its name, extra field and comment, must lie inside
  // the directory: cursors then walk it without further checks.
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; i < entriesTotal; ++i) {
    if (offset + kDirectoryRecordSize > directorySize ||
        offset + RecordLength(directory.get() + offset) > directorySize) {
      store_error(FileError(kLocDirectoryRecords, kFileCorrupted));
      return;
    }
    offset += RecordLength(directory.get() + offset);
  }
  directory_ = std::move(directory);
  store_error(Common::NoError);
}

bool zip_file::owns(const std::uint8_t* record, std::uint32_t left) const noexcept {
  // Identifiers and cursors are made only from this family's validated
  // records; one from another archive (or a copy of this one) points into
  // another buffer.
  if (!directory_ || left == 0 || left > entryCount_) return false;
  const std::uint8_t* begin = directory_.get();
  return record >= begin && record < begin + directorySize_;
}

i_file* zip_file::open_record(const std::uint8_t* record) {
  file_in_zip* entry = new (std::nothrow) file_in_zip(*this, record);
  if (entry == nullptr) {
    store_error(FileError(kLocOpenMemory, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return entry;
}

i_file* zip_file::open_file_by_id(const file_identifier* id, bool /*share_all*/) {
  const auto* zid = dynamic_cast<const zip_identifier*>(id);
  if (zid == nullptr || !owns(zid->record(), zid->left())) {
    store_error(FileError(kLocOpenNullId, kFileOpenError));
    return nullptr;
  }
  return open_record(zid->record());
}

i_file* zip_file::open_file_at(iterator* at, bool /*share_all*/) {
  auto* zit = dynamic_cast<zip_iterator*>(at);
  if (zit == nullptr || !zit->is_ok() || !owns(zit->record(), zit->left())) {
    store_error(FileError(kLocOpenBadIterator, kFileOpenError));
    return nullptr;
  }
  return open_record(zit->record());
}

i_file* zip_file::open_file(const char16_t* name, bool share_all) {
  std::unique_ptr<iterator> at(find(name));
  if (!at) return nullptr;
  return open_file_at(at.get(), share_all);
}

i_dir* zip_file::open_dir_by_id(const file_identifier* /*id*/) {
  store_error(FileError(kLocOpenDirById, kFileNotSupported));
  return nullptr;
}

i_dir* zip_file::open_dir_at(iterator* /*at*/) {
  store_error(FileError(kLocOpenDirAt, kFileNotSupported));
  return nullptr;
}

i_dir* zip_file::open_dir(const char16_t* path) {
  if (path == nullptr || path[0] != u'.' || path[1] != u'\0') {
    store_error(FileError(kLocOpenDir, kFileNotSupported));
    return nullptr;
  }
  zip_file* copy = new (std::nothrow) zip_file(*this);
  if (copy == nullptr || (directory_ && !copy->directory_)) {
    delete copy;
    store_error(FileError(kLocOpenDirMemory, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return copy;
}

i_dir* zip_file::open_parent(const char16_t** /*path*/) { return open_dir(u"."); }

i_dir::iterator* zip_file::find_by_id(const file_identifier* id) {
  const auto* zid = dynamic_cast<const zip_identifier*>(id);
  if (zid == nullptr || !owns(zid->record(), zid->left())) {
    store_error(FileError(kLocFindNullId, kFileNotFound));
    return nullptr;
  }
  zip_iterator* at = new (std::nothrow) zip_iterator(zid->record(), zid->left());
  if (at == nullptr) {
    store_error(FileError(kLocFindMemory, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return at;
}

i_dir::iterator* zip_file::find(const char16_t* name) {
  std::unique_ptr<iterator> at(list());
  if (!at) return nullptr;
  for (; at->is_ok(); at->next()) {
    if (ZipNameEquals(name, at->name())) {
      store_error(Common::NoError);
      return at.release();
    }
  }
  store_error(at->error());
  return nullptr;
}

i_dir::iterator* zip_file::list() {
  if (!directory_) {
    store_error(FileError(kLocListNoDirectory, kFileCorrupted));
    return nullptr;
  }
  zip_iterator* at = new (std::nothrow) zip_iterator(directory_.get(), entryCount_);
  if (at == nullptr) {
    store_error(FileError(kLocListMemory, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return at;
}

i_dir::iterator* zip_file::find_self() {
  store_error(FileError(kLocFindSelf, kFileNotSupported));
  return nullptr;
}

int zip_file::relation(i_dir* other) { return other == this ? 0 : 2; }

int zip_file::compare_ids(const file_identifier* a, const file_identifier* b) {
  const auto* za = dynamic_cast<const zip_identifier*>(a);
  const auto* zb = dynamic_cast<const zip_identifier*>(b);
  if (za == nullptr || zb == nullptr) return 1;
  return za->record() == zb->record() && za->left() == zb->left() ? 0 : 1;
}

std::uint64_t zip_file::archive_offset() { return baseOffset_; }

// ---------------------------------------------------------------------------
// zip_identifier, zip_iterator

zip_identifier* zip_identifier::clone() const {
  return new (std::nothrow) zip_identifier(record_, left_);
}

zip_iterator::zip_iterator(const std::uint8_t* record, std::uint32_t left)
    : record_(record), left_(left) {
  load_name();
}

void zip_iterator::load_name() {
  const std::uint16_t length = RecordNameLength(record_);
  const std::uint8_t* bytes = record_ + kDirectoryRecordSize;
  name_.assign(bytes, bytes + length);  // each byte widened, no code page
}

void zip_iterator::next() {
  if (!is_ok()) return;
  if (left_ <= 1) {
    store_first_error(FileError(kLocIteratorEnd, kFileEndOfFile));
    return;
  }
  record_ += RecordLength(record_);
  --left_;
  load_name();
}

file_identifier* zip_iterator::id() {
  if (!is_ok()) return nullptr;
  return new (std::nothrow) zip_identifier(record_, left_);
}

const char16_t* zip_iterator::name() { return is_ok() ? name_.c_str() : nullptr; }
const char16_t* zip_iterator::display_name() { return name(); }
const char16_t* zip_iterator::short_name() { return nullptr; }
std::uint64_t zip_iterator::size() { return is_ok() ? RecordUncompressed(record_) : 0; }
std::uint64_t zip_iterator::allocated_size() { return is_ok() ? RecordCompressed(record_) : 0; }
std::uint32_t zip_iterator::object_type() { return kObjectFile; }

// ---------------------------------------------------------------------------
// file_in_zip

file_in_zip::file_in_zip(zip_file& archive, const std::uint8_t* record) noexcept
    : archive_(archive),
      record_(record),
      method_(RecordMethod(record)),
      expectedCrc_(RecordCrc(record)),
      size_(RecordUncompressed(record)) {
  locate_data();
}

file_in_zip::~file_in_zip() {
  if (stream_) inflateEnd(stream_.get());
}

void file_in_zip::locate_data() {
  if (method_ != 0 && method_ != 8) {
    store_error(FileError(kLocEntryMethod, kFileNotSupported));
    return;
  }
  // Encrypted data would otherwise be inflated or handed out as if it were
  // the entry's contents.
  if (RecordFlags(record_) & (kFlagEncrypted | kFlagStrongEncryption)) {
    store_error(FileError(kLocEntryEncrypted, kFileNotSupported));
    return;
  }
  // The local header and the data must lie inside the archive, before its
  // central directory; an entry that points elsewhere is never read.
  const std::uint64_t localOffset = RecordLocalOffset(record_);
  const std::uint64_t directoryOffset = archive_.directoryPosition_ - archive_.baseOffset_;
  if (localOffset + kLocalHeaderSize > directoryOffset) {
    store_error(FileError(kLocEntryOutside, kFileCorrupted));
    return;
  }
  const std::uint64_t localPosition = archive_.baseOffset_ + localOffset;
  std::uint8_t header[kLocalHeaderSize];
  ri_file* file = archive_.file_;
  file->seek_set(static_cast<std::int64_t>(localPosition));
  if (file->is_ok()) file->read_exact(header, sizeof header);
  if (!file->is_ok()) {
    store_error(FileError(kLocEntryHeaderRead, kFileReadError));
    return;
  }
  const std::uint16_t flags = Common::LoadLe16(header + 6);
  const bool descriptor = (flags & kFlagDescriptor) != 0;
  if (Common::LoadLe32(header) != kLocalSignature || Common::LoadLe16(header + 8) != method_ ||
      (!descriptor && (Common::LoadLe32(header + 14) != expectedCrc_ ||
                       Common::LoadLe32(header + 18) != RecordCompressed(record_) ||
                       Common::LoadLe32(header + 22) != RecordUncompressed(record_)))) {
    store_error(FileError(kLocEntryHeader, kFileCorrupted));
    return;
  }
  dataPosition_ = localPosition + kLocalHeaderSize + Common::LoadLe16(header + 26) + Common::LoadLe16(header + 28);
  if (dataPosition_ + RecordCompressed(record_) > archive_.directoryPosition_) {
    store_error(FileError(kLocEntryDataOutside, kFileCorrupted));
    return;
  }
  if (method_ == 8) {
    input_.reset(new (std::nothrow) std::uint8_t[kInputBufferSize]);
    stream_.reset(new (std::nothrow) z_stream_s{});
    if (!input_ || !stream_ || inflateInit2(stream_.get(), -15) != Z_OK) {
      stream_.reset();
      input_.reset();
      store_error(FileError(kLocEntryMemory, kFileOutOfMemory));
      return;
    }
  }
  compressedLeft_ = RecordCompressed(record_);
  uncompressedLeft_ = RecordUncompressed(record_);
  crc_ = 0;
}

bool file_in_zip::read_archive(void* buffer, std::uint32_t size) {
  ri_file* file = archive_.file_;
  file->seek_set(static_cast<std::int64_t>(dataPosition_));
  if (file->is_ok()) file->read_exact(buffer, size);
  if (!file->is_ok()) {
    store_first_error(FileError(kLocEntryRead, kFileReadError));
    return false;
  }
  dataPosition_ += size;
  compressedLeft_ -= size;
  return true;
}

std::uint32_t file_in_zip::read_stored(void* buffer, std::uint32_t size) {
  const std::uint32_t length = std::min(size, compressedLeft_);
  if (length == 0 || !read_archive(buffer, length)) return 0;
  return length;
}

std::uint32_t file_in_zip::read_deflated(void* buffer, std::uint32_t size) {
  z_stream_s& z = *stream_;
  z.next_out = static_cast<Bytef*>(buffer);
  z.avail_out = size;
  int status = Z_OK;
  do {
    if (z.avail_in == 0 && compressedLeft_ > 0) {
      const std::uint32_t length = std::min(compressedLeft_, kInputBufferSize);
      if (read_archive(input_.get(), length)) {
        z.next_in = input_.get();
        z.avail_in = length;
      }
    }
    status = inflate(&z, Z_SYNC_FLUSH);
  } while (status == Z_OK && z.avail_out > 0);
  return size - z.avail_out;
}

void file_in_zip::read(void* buffer, std::uint32_t size, std::uint32_t& count) {
  count = 0;
  if (size == 0 || !is_ok()) return;
  if (uncompressedLeft_ == 0) {
    if (crc_ != expectedCrc_) store_first_error(FileError(kLocEntryCrc, kFileCorrupted));
    return;
  }
  size = std::min(size, uncompressedLeft_);
  const std::uint32_t delivered =
      method_ == 0 ? read_stored(buffer, size) : read_deflated(buffer, size);
  uncompressedLeft_ -= delivered;
  count = delivered;
  if (!is_ok()) return;
  if (delivered == 0) {
    store_first_error(FileError(kLocEntryNoData, kFileCorrupted));
    return;
  }
  crc_ = static_cast<std::uint32_t>(crc32(crc_, static_cast<const Bytef*>(buffer), delivered));
  // Checked as soon as the last byte is out: a reader that asks for
  // exactly the entry's size never makes the extra read.
  if (uncompressedLeft_ == 0 && crc_ != expectedCrc_)
    store_first_error(FileError(kLocEntryCrc, kFileCorrupted));
}

std::uint64_t file_in_zip::rewind() {
  store_first_error(FileError(kLocEntryRewind, kFileNotSupported));
  return 0;
}

std::uint64_t file_in_zip::size() { return size_; }
