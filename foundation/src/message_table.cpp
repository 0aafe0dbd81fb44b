// Storage of the message catalog.
#include "foundation/message_table.h"

#include <functional>

const char16_t* MessageTable[kMessageTableCount] = {};

MessageCatalogBlockBounds MessageCatalogBlock = {nullptr, nullptr};

const char16_t* CatalogText(std::uint32_t number) noexcept {
  return number < kMessageTableCount ? MessageTable[number] : nullptr;
}

bool InMessageCatalogBlock(const void* p) noexcept {
  const void* begin = MessageCatalogBlock.begin;
  const void* end = MessageCatalogBlock.end;
  if (p == nullptr || begin == nullptr || end == nullptr) return false;
  // std::less gives a total order over unrelated pointers.
  std::less<const void*> less;
  return !less(p, begin) && less(p, end);
}
