// Thread-local slots of the native build, with the rules of the system's
// thread-local storage on Windows (win/tls_win.cpp).
//
// Each slot has a generation that changes whenever the slot is allocated or
// freed. A thread's cell remembers the generation it was written in, so a
// value written before the slot was freed (or before it was allocated anew)
// reads as null in every thread without visiting the threads.
#ifndef _WIN32

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "foundation/thread_local_slot.h"
#include "tls_internal.h"

namespace Common {

namespace {

std::mutex g_tableMutex;
bool g_allocated[kTlsSlotCount];                     // guarded by g_tableMutex
std::atomic<uint32_t> g_generation[kTlsSlotCount];  // written under g_tableMutex

struct Cell {
  uint32_t generation;
  void* value;
};

// This thread's cells; its destruction at thread exit (or process exit, for
// the main thread) runs the registered destructor.
struct ThreadCells {
  std::vector<Cell> cells;

  ~ThreadCells() {
    uint32_t slot;
    TlsSlotDestructor destructor;
    if (!TlsInternal::ExitDestructor(&slot, &destructor)) return;
    void* value = Read(slot);
    if (!value) return;
    destructor(value);
    cells[slot].value = nullptr;
  }

  void* Read(uint32_t slot) const {
    if (slot >= cells.size()) return nullptr;
    const Cell& cell = cells[slot];
    return cell.generation == g_generation[slot].load(std::memory_order_acquire) ? cell.value
                                                                                  : nullptr;
  }
};

thread_local ThreadCells t_cells;

}  // namespace

uint32_t TlsSlotAlloc(TlsSlotDestructor destructor) {
  uint32_t slot = kTlsOutOfIndexes;
  {
    std::lock_guard<std::mutex> hold(g_tableMutex);
    for (uint32_t i = 0; i < kTlsSlotCount; ++i) {
      if (!g_allocated[i]) {
        g_allocated[i] = true;
        g_generation[i].fetch_add(1, std::memory_order_acq_rel);
        slot = i;
        break;
      }
    }
  }
  if (slot != kTlsOutOfIndexes && destructor)
    TlsInternal::RegisterExitDestructor(slot, destructor);
  return slot;
}

bool TlsSlotFree(uint32_t slot) {
  if (slot >= kTlsSlotCount) return false;
  TlsInternal::ForgetExitDestructor(slot);
  std::lock_guard<std::mutex> hold(g_tableMutex);
  if (!g_allocated[slot]) return false;
  g_allocated[slot] = false;
  g_generation[slot].fetch_add(1, std::memory_order_acq_rel);
  return true;
}

void* TlsSlotGet(uint32_t slot) {
  if (slot >= kTlsSlotCount) return nullptr;
  return t_cells.Read(slot);
}

bool TlsSlotSet(uint32_t slot, void* value) {
  if (slot >= kTlsSlotCount) return false;
  std::vector<Cell>& cells = t_cells.cells;
  if (slot >= cells.size()) {
    if (!value) return true;  // reads as null already
    try {
      cells.resize(slot + 1, Cell{0, nullptr});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  cells[slot] = Cell{g_generation[slot].load(std::memory_order_acquire), value};
  return true;
}

}  // namespace Common

#endif  // !_WIN32
