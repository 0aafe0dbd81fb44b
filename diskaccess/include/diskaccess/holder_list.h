// The intrusive list of holders a disk owns, and the read context that a
// scan of the disk's tables leaves behind.
#pragma once

#include <cstdint>

#include "common/error.h"

class holder;

// A doubly linked list through the holders' own links; a holder is in at
// most one list. The list owns what it holds: Clear destroys them.
struct HolderList {
  holder* first = nullptr;
  holder* last = nullptr;

  HolderList() = default;
  HolderList(const HolderList&) = delete;
  HolderList& operator=(const HolderList&) = delete;
  ~HolderList() { Clear(); }

  holder* PushFront(holder* h);
  holder* PushBack(holder* h);
  // After `position`, or at the front when it is null.
  holder* InsertAfter(holder* position, holder* h);
  // Nothing happens when `h` is not in this list.
  holder* Unlink(holder* h);
  bool Contains(const holder* h) const;
  void Clear();
  std::uint32_t Count() const;
};

// Scheme codes and subtypes of a read context.
constexpr std::uint32_t kSchemeUnknown = 0x8000;
constexpr std::uint32_t kSchemeRaw = 1;
constexpr std::uint32_t kSchemeMbr = 2;
constexpr std::uint32_t kSchemeGpt = 8;
constexpr std::uint32_t kSubtypeNothing = 0x1000;
constexpr std::uint32_t kSubtypeReadError = 0x1001;
constexpr std::uint32_t kSubtypeInvalid = 0x1002;
constexpr std::uint32_t kSubtypeUnsupported = 0x1003;

struct ReadContext {
  Common::Error error;        // the first read error met
  holder* table = nullptr;    // where the last walk stopped
  holder* top = nullptr;      // the disk's top holder
  std::uint32_t scheme = kSchemeUnknown;
  std::uint32_t subtype = kSubtypeNothing;
  std::uint32_t reserved[3] = {};
  std::uint8_t disk_guid[16] = {};

  bool SameAs(const ReadContext& other) const;
  void CopyFrom(const ReadContext& other);
  void Reset();
};
