// The stand-in's wake-up events in dorvex.dll: Windows manual-reset events,
// whose handles the caller waits on itself.
#include <windows.h>

#include "../src/standin_event.h"

namespace sblib_standin {

uint32_t EventCreate() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

void EventSet(uint32_t event) {
  if (event) SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)));
}

void EventClose(uint32_t event) {
  if (event) CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(event)));
}

}  // namespace sblib_standin
