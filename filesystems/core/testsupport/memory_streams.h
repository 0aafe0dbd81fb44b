// The caller's side of a backup and a restore, in memory: a stream factory
// that records every item stream it opened, an item provider over a list of
// items, and a progress receiver that can ask to stop.
#pragma once

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "files/file_error.h"
#include "filesystems/backup.h"

namespace fstest {

struct RecordedItem {
  std::uint32_t kind;
  std::vector<std::uint8_t> bytes;
};

class MemoryItemStream : public filesystems::BackupItemStream {
 public:
  MemoryItemStream(std::vector<RecordedItem>& out, std::uint32_t kind, int& open)
      : out_(out), index_(out.size()), open_(open) {
    out_.push_back({kind, {}});
    ++open_;
  }
  ~MemoryItemStream() override { --open_; }
  RawData* MakeRawData(std::uint32_t size) override {
    auto* raw = new RawData;
    raw->block = new std::uint8_t[size ? size : 1];
    raw->size = size;
    return raw;
  }
  void TakeBack(RawData* raw) override {
    delete[] raw->block;
    delete raw;
  }
  void Write(RawData* raw) override {
    auto& bytes = out_[index_].bytes;
    bytes.insert(bytes.end(), raw->block + raw->offset, raw->block + raw->offset + raw->size);
    TakeBack(raw);
    if (failWrites) store_first_error(MakeFileError(1, 2, kFileWriteError));
  }
  bool failWrites = false;

 private:
  std::vector<RecordedItem>& out_;
  std::size_t index_;
  int& open_;
};

class MemoryStreamFactory : public filesystems::BackupStreamFactory {
 public:
  filesystems::BackupItemStream* OpenItem(std::uint32_t kind) override {
    if (refuse) {
      store_error(MakeFileError(1, 2, kFileCreateError));
      return nullptr;
    }
    return new MemoryItemStream(items, kind, open);
  }
  std::vector<RecordedItem> items;
  int open = 0;
  bool refuse = false;
};

class MemoryInput : public i_file {
 public:
  explicit MemoryInput(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    std::size_t n = std::min<std::size_t>(size, bytes_.size() - at_);
    if (n) std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    count = static_cast<std::uint32_t>(n);
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

class MemoryItemProvider : public filesystems::RestoreItemProvider {
 public:
  explicit MemoryItemProvider(std::vector<RecordedItem> items) : items_(std::move(items)) {}
  i_file* NextItem(std::uint8_t& kind) override {
    if (next_ >= items_.size()) return nullptr;
    kind = static_cast<std::uint8_t>(items_[next_].kind);
    return new MemoryInput(items_[next_++].bytes);
  }

 private:
  std::vector<RecordedItem> items_;
  std::size_t next_ = 0;
};

class CountingProgress : public filesystems::ProgressReceiver {
 public:
  void Report(std::uint64_t total) override { reports.push_back(total); }
  bool ShouldStop() override { return ++asked > stopAfter; }
  std::vector<std::uint64_t> reports;
  int asked = 0;
  int stopAfter = 1 << 30;
};

}  // namespace fstest
