// Helpers shared by the error tests: allocation hooks that count frees and
// can fail allocations, and a fake loaded message catalog.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/error.h"
#include "foundation/message_table.h"

namespace error_test {

inline std::atomic<long>& Frees() {
  static std::atomic<long> frees{0};
  return frees;
}
inline std::atomic<long>& Allocations() {
  static std::atomic<long> allocations{0};
  return allocations;
}
inline std::atomic<bool>& FailAllocations() {
  static std::atomic<bool> fail{false};
  return fail;
}

inline void* CountingAllocate(std::size_t bytes) {
  if (FailAllocations().load()) return nullptr;
  Allocations().fetch_add(1);
  return std::malloc(bytes);
}
inline void CountingFree(void* block) {
  Frees().fetch_add(1);
  std::free(block);
}

// Installs the counting hooks for the scope of one test.
class CountingHooks {
 public:
  CountingHooks() {
    Frees() = 0;
    Allocations() = 0;
    FailAllocations() = false;
    Common::SetErrorAllocationHooks(CountingAllocate, CountingFree);
  }
  ~CountingHooks() {
    FailAllocations() = false;
    Common::SetErrorAllocationHooks(nullptr, nullptr);
  }
  long frees() const { return Frees().load(); }
  long allocations() const { return Allocations().load(); }
  void fail(bool on) { FailAllocations() = on; }
};

// A loaded catalog for the scope of one test: a text block holding the given
// texts (UTF-16, each at the given message number), published in MessageTable
// and MessageCatalogBlock; everything is restored afterwards.
class FakeCatalog {
 public:
  FakeCatalog() {
    for (std::uint32_t i = 0; i < kMessageTableCount; ++i) saved_[i] = MessageTable[i];
    savedBlock_ = MessageCatalogBlock;
    block_.reserve(kCapacity);
  }
  ~FakeCatalog() {
    for (std::uint32_t i = 0; i < kMessageTableCount; ++i) MessageTable[i] = saved_[i];
    MessageCatalogBlock = savedBlock_;
  }
  // Adds a text at the given byte offset parity (odd = misaligned).
  const char16_t* Add(std::uint32_t number, const std::u16string& text, bool odd = false) {
    if (odd != (block_.size() % 2 == 1)) block_.push_back(0);
    std::size_t offset = block_.size();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
    block_.insert(block_.end(), bytes, bytes + 2 * (text.size() + 1));
    offsets_.push_back({number, offset});
    Publish();
    return MessageTable[number];
  }
  const char* AddNarrow(const std::string& text) {
    std::size_t offset = block_.size();
    block_.insert(block_.end(), text.c_str(), text.c_str() + text.size() + 1);
    narrow_.push_back(offset);
    Publish();
    return reinterpret_cast<const char*>(block_.data() + narrow_.back());
  }

 private:
  static constexpr std::size_t kCapacity = 65536;
  void Publish() {
    if (block_.size() > kCapacity) std::abort();  // the block must never move
    unsigned char* base = block_.data();
    for (auto& entry : offsets_) {
      MessageTable[entry.first] = reinterpret_cast<const char16_t*>(base + entry.second);
    }
    MessageCatalogBlock.begin = base;
    MessageCatalogBlock.end = base + block_.size();
  }
  std::vector<unsigned char> block_;  // reserved up front: never moves
  std::vector<std::pair<std::uint32_t, std::size_t>> offsets_;
  std::vector<std::size_t> narrow_;
  const char16_t* saved_[kMessageTableCount];
  MessageCatalogBlockBounds savedBlock_;
};

}  // namespace error_test
