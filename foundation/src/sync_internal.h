// What the portable parts of the synchronisation code need from each build:
// the auto-reset events of RecursiveLock (as integers, so that the lock can
// keep a marker value beside them), the calling thread's id and a yield.
// Implemented in sync.cpp (native) and win/sync_win.cpp (Windows).
#pragma once

#include <cstdint>

namespace Common {
namespace SyncInternal {

// A new auto-reset, non-signalled event; 0 when none can be made.
intptr_t CreateLockEvent();
void SetLockEvent(intptr_t event);
void WaitLockEvent(intptr_t event);  // no time limit
void CloseLockEvent(intptr_t event);

// The calling thread's id; never 0.
uint32_t CurrentThreadId();

// Gives up the rest of the time slice.
void YieldThread();

}  // namespace SyncInternal
}  // namespace Common
