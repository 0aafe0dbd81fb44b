// The stand-in's wake-up events, one per snapshot: a Windows event handle in
// dorvex.dll, an event of the stand-in's own natively (sblib/native_event.h).
#pragma once

#include <cstdint>

namespace sblib_standin {

// A manual-reset event, not signalled; 0 when none could be made.
uint32_t EventCreate();
void EventSet(uint32_t event);
void EventClose(uint32_t event);

}  // namespace sblib_standin
