// Thread-local slots: one pointer-sized value per thread and slot, as the
// system's thread-local storage gives them (TlsAlloc and friends on Windows;
// natively the same rules, kept by this library).
//
// - A new slot reads null in every thread; freeing a slot clears it in every
//   thread.
// - Slot indexes run from 0 to kTlsSlotCount - 1. Any other index (among them
//   kTlsOutOfIndexes) is refused: Get gives null, Set and Free give false.
// - One process-wide (slot, destructor) pair: when a thread ends (or the
//   process exits, for the thread that ends it) and its value in that slot is
//   not null, the destructor is called with the value and the value is set
//   to null. TlsSlotAlloc with a destructor replaces the pair; TlsSlotFree of
//   the pair's slot forgets it.
#pragma once

#include <cstdint>

namespace Common {

using TlsSlotDestructor = void (*)(void* value);

constexpr uint32_t kTlsOutOfIndexes = 0xFFFFFFFF;  // TLS_OUT_OF_INDEXES
constexpr uint32_t kTlsSlotCount = 1088;            // the system's limit

// A new slot, or kTlsOutOfIndexes when none is left.
uint32_t TlsSlotAlloc(TlsSlotDestructor destructor = nullptr);

// True when the slot was allocated and is now free.
bool TlsSlotFree(uint32_t slot);

// The calling thread's value in the slot; null for an index out of range.
void* TlsSlotGet(uint32_t slot);

// Stores the calling thread's value; false for an index out of range.
bool TlsSlotSet(uint32_t slot, void* value);

}  // namespace Common
