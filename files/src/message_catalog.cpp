// The catalog loader.
#include "foundation/byteorder.h"
#include "files/message_catalog.h"

#include <cstring>
#include <memory>
#include <new>

#include "files/file_object.h"
#include "files/resource.h"
#include "foundation/message_table.h"

namespace {

// A text starting at `offset` must end with a 16-bit zero inside the block,
// or readers of the slot would run past the block.
bool TextFitsBlock(const unsigned char* block, std::uint32_t size, std::uint32_t offset) {
  if (offset > size) return false;
  for (std::uint32_t at = offset; size - at >= 2; at += 2) {
    if (block[at] == 0 && block[at + 1] == 0) return true;
  }
  return false;
}

}  // namespace

bool LoadMessageCatalog(const char* name, const char16_t** table, std::uint32_t expectedCount,
                        unsigned char*& block) {
  std::unique_ptr<si_file> stream(ResourceOpener(name));
  if (!stream) return false;

  unsigned char header[8];
  stream->read_exact(header, sizeof header);
  if (stream->has_failed()) return false;
  const std::uint32_t count = Common::LoadLe32(header);
  const std::uint32_t blockSize = Common::LoadLe32(header + 4);
  if (count != expectedCount) return false;
  // The offsets are 4 bytes each in the file, whatever a pointer's size.
  if (count > 0xFFFFFFFFu / 4) return false;

  std::unique_ptr<unsigned char[]> offsets(new (std::nothrow) unsigned char[count * 4u + 1]);
  if (!offsets) return false;
  stream->read_exact(offsets.get(), count * 4u);
  if (stream->has_failed()) return false;

  // A damaged size field must not make the loader ask for gigabytes that
  // the file cannot fill anyway.
  const std::uint64_t streamSize = stream->size();
  if (stream->has_failed() || streamSize < 8 + std::uint64_t(count) * 4 + blockSize) return false;

  // One byte more than asked, so that an empty block still has an address.
  std::unique_ptr<unsigned char[]> text(new (std::nothrow) unsigned char[std::size_t(blockSize) + 1]);
  if (!text) return false;
  stream->read_exact(text.get(), blockSize);
  if (stream->has_failed()) return false;

  for (std::uint32_t i = 0; i < count; ++i) {
    if (!TextFitsBlock(text.get(), blockSize, Common::LoadLe32(offsets.get() + 4 * i))) return false;
  }

  for (std::uint32_t i = 0; i < count; ++i) {
    table[i] = reinterpret_cast<const char16_t*>(text.get() + Common::LoadLe32(offsets.get() + 4 * i));
  }
  block = text.release();
  MessageCatalogBlock.begin = block;
  MessageCatalogBlock.end = block + blockSize;
  return true;
}
