// The catalog loader on arbitrary bytes: it must never read outside the
// file or the block, and every text it accepts must end inside the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "files/file_object.h"
#include "files/message_catalog.h"
#include "files/resource.h"
#include "foundation/message_table.h"

namespace {

const std::uint8_t* input = nullptr;
std::size_t inputSize = 0;

class InputFile : public si_file {
 public:
  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (has_failed()) return;
    std::size_t left = inputSize - position_;
    count = static_cast<std::uint32_t>(size < left ? size : left);
    if (count) std::memcpy(buffer, input + position_, count);
    position_ += count;
  }
  std::uint64_t rewind() override { return position_ = 0; }
  std::uint64_t size() override { return inputSize; }

 private:
  std::size_t position_ = 0;
};

si_file* OpenInput(const char*) { return new InputFile; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input = data;
  inputSize = size;
  ResourceOpener = &OpenInput;

  // The count the catalog claims, when small, so that the offsets and texts
  // are reached; the real count otherwise.
  std::uint32_t claimed = 0;
  if (size >= 4) std::memcpy(&claimed, data, 4);
  const std::uint32_t expected = claimed <= 64 ? claimed : kMessageTableCount;

  static const char16_t* table[kMessageTableCount];
  unsigned char* block = nullptr;
  const MessageCatalogBlockBounds saved = MessageCatalogBlock;
  if (LoadMessageCatalog("purgekit.msg", table, expected, block)) {
    const auto* begin = static_cast<const unsigned char*>(MessageCatalogBlock.begin);
    const auto* end = static_cast<const unsigned char*>(MessageCatalogBlock.end);
    if (begin != block) std::abort();
    for (std::uint32_t i = 0; i < expected; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(table[i]);
      for (;; p += 2) {
        if (p < begin || p + 2 > end) std::abort();
        if (p[0] == 0 && p[1] == 0) break;
      }
    }
    delete[] block;
  }
  MessageCatalogBlock = saved;
  return 0;
}
