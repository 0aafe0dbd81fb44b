// The process-wide (slot, destructor) pair of the thread-local slots.
//
// Guarded by a spin flag rather than a lock object: it is constant-
// initialised and never destroyed, so it serves from the first static
// initialiser to the thread-exit calls made while the process ends.
#include <atomic>
#include <thread>

#include "tls_internal.h"

namespace Common {
namespace TlsInternal {

namespace {

std::atomic_flag g_pairBusy = ATOMIC_FLAG_INIT;
uint32_t g_slot = kTlsOutOfIndexes;
TlsSlotDestructor g_destructor = nullptr;

class PairGuard {
 public:
  PairGuard() {
    while (g_pairBusy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  ~PairGuard() { g_pairBusy.clear(std::memory_order_release); }
};

}  // namespace

void RegisterExitDestructor(uint32_t slot, TlsSlotDestructor destructor) {
  PairGuard guard;
  g_slot = slot;
  g_destructor = destructor;
}

void ForgetExitDestructor(uint32_t slot) {
  PairGuard guard;
  if (g_destructor && g_slot == slot) {
    g_slot = kTlsOutOfIndexes;
    g_destructor = nullptr;
  }
}

bool ExitDestructor(uint32_t* slot, TlsSlotDestructor* destructor) {
  PairGuard guard;
  *slot = g_slot;
  *destructor = g_destructor;
  return g_destructor != nullptr;
}

}  // namespace TlsInternal
}  // namespace Common
