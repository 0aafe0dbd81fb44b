// The library's wake-up events where there are no Windows events.
//
// On Windows the word that sbGetParams hands out is an event handle, waited
// on with the system's calls. A native build of the disk layer links the
// stand-in directly, and there the word names an event of the stand-in's
// own, waited on, set and reset through these three calls. The product's
// Windows build never sees them.
#ifndef SBLIB_NATIVE_EVENT_H
#define SBLIB_NATIVE_EVENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
// Waits without a time limit: 1 once the event is signalled, 0 when there is
// no such event (or it was closed while waiting).
int SbNativeEventWait(uint32_t event);
// 1 on success, 0 when there is no such event.
int SbNativeEventSet(uint32_t event);
int SbNativeEventReset(uint32_t event);
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // SBLIB_NATIVE_EVENT_H
