// The process-wide (slot, destructor) pair of the thread-local slots, kept
// by tls_exit.cpp for both builds' slot code (tls.cpp, win/tls_win.cpp).
#pragma once

#include <cstdint>

#include "foundation/thread_local_slot.h"

namespace Common {
namespace TlsInternal {

// The pair becomes (slot, destructor).
void RegisterExitDestructor(uint32_t slot, TlsSlotDestructor destructor);

// Forgets the pair when it names this slot.
void ForgetExitDestructor(uint32_t slot);

// The pair as it is now; false when no destructor is registered.
bool ExitDestructor(uint32_t* slot, TlsSlotDestructor* destructor);

}  // namespace TlsInternal
}  // namespace Common
