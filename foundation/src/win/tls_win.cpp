// Thread-local slots of the Windows build: the system's thread-local storage,
// and the executable's TLS callback that runs the registered per-thread
// destructor.
#include <windows.h>

#include "foundation/thread_local_slot.h"
#include "../tls_internal.h"

namespace Common {

static_assert(kTlsOutOfIndexes == TLS_OUT_OF_INDEXES, "the system's failure index");

uint32_t TlsSlotAlloc(TlsSlotDestructor destructor) {
  const DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return kTlsOutOfIndexes;
  if (destructor) TlsInternal::RegisterExitDestructor(slot, destructor);
  return slot;
}

bool TlsSlotFree(uint32_t slot) {
  TlsInternal::ForgetExitDestructor(slot);
  return TlsFree(slot) != FALSE;
}

void* TlsSlotGet(uint32_t slot) { return TlsGetValue(slot); }

bool TlsSlotSet(uint32_t slot, void* value) { return TlsSetValue(slot, value) != FALSE; }

namespace {

// Called by the loader for the executable as threads start and end and as
// the process starts and ends; acts on thread and process detach only.
void NTAPI TlsThreadExitCallback(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH && reason != DLL_PROCESS_DETACH) return;
  uint32_t slot;
  TlsSlotDestructor destructor;
  if (!TlsInternal::ExitDestructor(&slot, &destructor)) return;
  void* value = TlsGetValue(slot);
  if (!value) return;
  destructor(value);
  TlsSetValue(slot, nullptr);
}

}  // namespace

}  // namespace Common

// The run-time library's TLS directory calls every pointer placed between its
// .CRT$XLA and .CRT$XLZ markers. This object file is linked whenever a slot
// function is used, and "used" keeps the pointer in it.
extern "C" __attribute__((section(".CRT$XLP"), used)) const PIMAGE_TLS_CALLBACK
    purgekit_tls_thread_exit_callback = Common::TlsThreadExitCallback;
