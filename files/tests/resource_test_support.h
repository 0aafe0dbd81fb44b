// Test doubles for the payload locator and the catalog loader: an in-memory
// random-access file and a directory of such files, and a scope that points
// the locator at them and puts everything back afterwards.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/file_object.h"
#include "files/resource.h"

namespace resource_test {

using Bytes = std::vector<std::uint8_t>;

// A read/write file over a byte vector. `write_limit` caps how many bytes
// the file accepts in all (a full disk): a write beyond it comes back short
// without an error, as WriteFile does on some file systems.
class MemoryFile : public rio_file {
 public:
  explicit MemoryFile(Bytes data = {}) : data_(std::move(data)) {}

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (has_failed()) return;
    std::uint64_t left = position_ < data_.size() ? data_.size() - position_ : 0;
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, left));
    if (count) std::memcpy(buffer, data_.data() + position_, count);
    position_ += count;
  }
  void write(const void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (has_failed()) return;
    std::uint64_t room = write_limit > data_.size() ? write_limit - data_.size() : 0;
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, room));
    if (data_.size() < position_ + count) data_.resize(position_ + count);
    if (count) std::memcpy(data_.data() + position_, buffer, count);
    position_ += count;
  }
  std::uint64_t seek_set(std::int64_t distance) override { return position_ = distance; }
  std::uint64_t seek_cur(std::int64_t distance) override { return position_ += distance; }
  std::uint64_t seek_end(std::int64_t distance) override {
    return position_ = data_.size() + distance;
  }
  void set_size(std::uint64_t size) override { data_.resize(size); }

  // Stores `code` as this file's error (a file broken from its start).
  void fail_with(std::uint32_t code) { store_error(MakeFileError(1, 0x2580, code)); }

  const Bytes& data() const { return data_; }
  std::uint64_t write_limit = ~0ull;

 private:
  Bytes data_;
  std::uint64_t position_ = 0;
};

// A flat directory of named byte vectors. open_parent takes everything up
// to the last '\' as the name of a subdirectory held in `children`.
class MemoryDir : public i_dir {
 public:
  std::map<std::u16string, Bytes> files;
  std::map<std::u16string, std::shared_ptr<MemoryDir>> children;
  std::vector<std::u16string> opened;  // every name asked for, in order

  i_file* open_file(const char16_t* name, bool) override {
    opened.push_back(name);
    auto it = files.find(name);
    if (it == files.end()) {
      store_error(MakeFileError(2, 0x2580, kFileNotFound));
      return nullptr;
    }
    clear_error();
    return new MemoryFile(it->second);
  }
  i_dir* open_parent(const char16_t** path) override;

  i_file* open_file_by_id(const file_identifier*, bool) override { return nullptr; }
  i_file* open_file_at(iterator*, bool) override { return nullptr; }
  i_dir* open_dir_by_id(const file_identifier*) override { return nullptr; }
  i_dir* open_dir_at(iterator*) override { return nullptr; }
  i_dir* open_dir(const char16_t*) override { return nullptr; }
  iterator* find_by_id(const file_identifier*) override { return nullptr; }
  iterator* find(const char16_t*) override { return nullptr; }
  iterator* list() override { return nullptr; }
  iterator* find_self() override { return nullptr; }
  int relation(i_dir*) override { return 2; }
  int compare_ids(const file_identifier*, const file_identifier*) override { return 1; }

};

// A caller-owned handle on a directory the test keeps.
class SharedDir : public MemoryDir {
 public:
  explicit SharedDir(std::shared_ptr<MemoryDir> target) : target_(std::move(target)) {}
  i_file* open_file(const char16_t* name, bool share_all) override {
    return target_->open_file(name, share_all);
  }

 private:
  std::shared_ptr<MemoryDir> target_;
};

inline i_dir* MemoryDir::open_parent(const char16_t** path) {
  std::u16string whole(*path);
  std::size_t cut = whole.rfind(u'\\');
  std::u16string folder = cut == std::u16string::npos ? u"" : whole.substr(0, cut);
  *path += cut == std::u16string::npos ? 0 : cut + 1;
  auto it = children.find(folder);
  if (it == children.end()) return nullptr;
  return new SharedDir(it->second);
}

// Points the locator at `current` (the current directory) and `program`
// (the program's path) for one scope, with a fresh probe state and archive
// cache; restores the previous environment afterwards.
class LocatorScope {
 public:
  LocatorScope(MemoryDir* current, std::u16string program)
      : saved_(ResourceLocatorEnvironment), savedOpener_(ResourceOpener) {
    current_ = current;
    program_ = std::move(program);
    ResourceLocatorEnvironment = {&Current, &Program};
    ResourceProbeState = kResourceProbeUnset;
    CloseResourceArchive();
  }
  ~LocatorScope() {
    CloseResourceArchive();
    ResourceProbeState = kResourceProbeUnset;
    ResourceLocatorEnvironment = saved_;
    ResourceOpener = savedOpener_;
  }

 private:
  static i_dir* Current() { return current_; }
  static const char16_t* Program() { return program_.c_str(); }

  static inline MemoryDir* current_ = nullptr;
  static inline std::u16string program_;
  ResourceEnvironment saved_;
  ResourceOpenerFunction savedOpener_;
};

// A stored-method ZIP archive of the given entries (names and bytes).
Bytes MakeZip(const std::vector<std::pair<std::string, Bytes>>& entries);

// All bytes of a stream, read until a zero count; empty when it fails.
Bytes ReadAll(i_file& file);

}  // namespace resource_test
