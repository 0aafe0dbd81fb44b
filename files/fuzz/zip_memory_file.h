// A random-access input file over bytes in memory, for driving the ZIP
// reader without a file system (fuzzing, and tests that also run where host
// files cannot be reached). Reads past the end return fewer bytes; a read can
// be made to fail at a chosen position to exercise the reader's error paths.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "files/file_object.h"

class zip_memory_file : public ri_file {
 public:
  explicit zip_memory_file(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  zip_memory_file(const void* data, std::size_t size)
      : bytes_(static_cast<const std::uint8_t*>(data),
               static_cast<const std::uint8_t*>(data) + size) {}

  // Any read that touches byte `position` or beyond fails.
  void fail_reads_from(std::uint64_t position) { failFrom_ = position; }
  std::uint64_t reads() const { return reads_; }

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    ++reads_;
    if (position_ + size > failFrom_) {
      store_first_error(MakeFileError(1, 1, kFileReadError));
      return;
    }
    if (position_ >= bytes_.size()) return;
    const std::uint64_t n = std::min<std::uint64_t>(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    count = static_cast<std::uint32_t>(n);
  }
  std::uint64_t seek_set(std::int64_t distance) override { return move(distance); }
  std::uint64_t seek_cur(std::int64_t distance) override {
    return move(static_cast<std::int64_t>(position_) + distance);
  }
  std::uint64_t seek_end(std::int64_t distance) override {
    return move(static_cast<std::int64_t>(bytes_.size()) + distance);
  }

 private:
  std::uint64_t move(std::int64_t to) {
    if (to < 0) {
      store_error(MakeFileError(2, 1, kFileSeekError));
      return 0;
    }
    position_ = static_cast<std::uint64_t>(to);
    return position_;
  }

  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
  std::uint64_t failFrom_ = UINT64_MAX;
  std::uint64_t reads_ = 0;
};
