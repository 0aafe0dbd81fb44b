// In-memory ends of a backup-stream walk, for driving the splitter and the
// comparator without a file system (fuzzing and the native tests).
//
// backup_memory_source reads bytes the way the backup-stream reader does:
// seek_cur only moves forward and stops at the end, so that a record whose
// stated size runs past the data shows up as a seek that fell short.
// backup_memory_sink keeps every chunk it is handed, with the item boundaries
// (one sink per item), and can be made to fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "files/backup.h"
#include "files/file_error.h"
#include "files/file_object.h"

class backup_memory_source : public ri_file {
 public:
  explicit backup_memory_source(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    if (position_ >= bytes_.size()) return;
    const std::uint64_t n = std::min<std::uint64_t>(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    count = static_cast<std::uint32_t>(n);
  }
  std::uint64_t seek_set(std::int64_t) override { return refuse(); }
  std::uint64_t seek_end(std::int64_t) override { return refuse(); }
  std::uint64_t seek_cur(std::int64_t distance) override {
    if (distance < 0) return refuse();
    ++seeks_;
    const std::uint64_t room = bytes_.size() - std::min<std::uint64_t>(position_, bytes_.size());
    position_ += std::min<std::uint64_t>(static_cast<std::uint64_t>(distance), room);
    return position_;
  }
  std::uint64_t rewind() override { return refuse(); }
  std::uint64_t size() override { return refuse(); }

  std::uint64_t position() const { return position_; }
  std::uint32_t seeks() const { return seeks_; }

 private:
  std::uint64_t refuse() {
    store_error(MakeFileError(1, 1, kFileNotSupported));
    return position_;
  }

  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
  std::uint32_t seeks_ = 0;
};

class backup_memory_sink : public file_backup_stream {
 public:
  // Chunks of at most `chunkSize` bytes; writes fail once `failAfter` chunks
  // have been taken.
  explicit backup_memory_sink(std::uint32_t chunkSize = kBackupDefaultChunk,
                              std::uint32_t failAfter = UINT32_MAX)
      : chunkSize_(chunkSize), failAfter_(failAfter) {}

  raw_data* make(std::uint32_t size) override {
    return file_backup_raw_data_factory::make(size == kDefaultSize ? chunkSize_ : size);
  }
  void write(raw_data* chunk) override {
    if (chunk == nullptr) return;
    if (chunks_ >= failAfter_) {
      store_first_error(MakeFileError(3, 1, kFileDiskFull));
    } else {
      bytes_.insert(bytes_.end(), chunk->data(), chunk->data() + chunk->length);
      ++chunks_;
    }
    release(chunk);
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::uint32_t chunks() const { return chunks_; }

 private:
  std::uint32_t chunkSize_;
  std::uint32_t failAfter_;
  std::vector<std::uint8_t> bytes_;
  std::uint32_t chunks_ = 0;
};

// Appends one record: header, name (UTF-16LE from `name`), data.
inline void AppendBackupRecord(std::vector<std::uint8_t>& out, std::uint32_t id,
                               const std::u16string& name, const std::vector<std::uint8_t>& data,
                               std::uint32_t attributes = 0) {
  std::uint8_t header[20];
  auto put32 = [&](int at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header[at + i] = std::uint8_t(v >> (8 * i));
  };
  put32(0, id);
  put32(4, attributes);
  const std::uint64_t size = data.size();
  put32(8, std::uint32_t(size));
  put32(12, std::uint32_t(size >> 32));
  put32(16, std::uint32_t(2 * name.size()));
  out.insert(out.end(), header, header + 20);
  for (char16_t c : name) {
    out.push_back(std::uint8_t(c));
    out.push_back(std::uint8_t(c >> 8));
  }
  out.insert(out.end(), data.begin(), data.end());
}
