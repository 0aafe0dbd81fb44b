// The message catalog's process-wide storage.
//
// `MessageTable` holds 2170 pointers to UTF-16 texts indexed by message
// number, all null until the catalog loader (subsystem 2) fills it.
// `MessageCatalogBlock` holds the bounds of the loaded text block; the error
// builders of common/error.h reference texts inside it instead of copying
// them. Both are written once, before `wmain`, by the loader.
#pragma once

#include <cstdint>

constexpr std::uint32_t kMessageTableCount = 2170;

extern const char16_t* MessageTable[kMessageTableCount];

// Slot `number` of MessageTable, or null when the number is out of range or
// the slot is empty.
const char16_t* CatalogText(std::uint32_t number) noexcept;

struct MessageCatalogBlockBounds {
  const void* begin;  // address of the catalog block, null before the load
  const void* end;    // begin + block size, null before the load
};

extern MessageCatalogBlockBounds MessageCatalogBlock;

// True when begin <= p < end (never for null, never before the load).
bool InMessageCatalogBlock(const void* p) noexcept;
