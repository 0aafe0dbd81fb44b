// RecursiveLock: one algorithm for both builds over the event primitives of
// sync_internal.h.
//
// lockCount_ counts the threads that hold or wait for the lock plus the
// holder's extra levels. The thread that moves it from 0 owns the lock; any
// other thread that is not the owner waits on the auto-reset event, which
// the releasing owner sets once per waiter. event_ holds 0 until the first
// thread that must wait or wake creates the event, and kEventBusy while the
// holder swaps it out to dispose of it.
#include "foundation/sync.h"

#include "sync_internal.h"

namespace Common {

namespace {
std::atomic<int32_t> g_liveLockEvents{0};
}

namespace TestHooks {
int32_t LiveRecursiveLockEvents() { return g_liveLockEvents.load(); }
}  // namespace TestHooks

RecursiveLock::~RecursiveLock() {
  const intptr_t event = event_.exchange(0);
  if (event != 0 && event != kEventBusy) {
    SyncInternal::CloseLockEvent(event);
    g_liveLockEvents.fetch_sub(1);
  }
}

// The lock's event, created and installed when there is none yet. Two
// threads that race to install one keep the first and close the other.
intptr_t RecursiveLock::AcquireEvent() {
  for (;;) {
    const intptr_t current = event_.load();
    if (current == kEventBusy) {
      SyncInternal::YieldThread();
      continue;
    }
    if (current != 0) return current;
    const intptr_t created = SyncInternal::CreateLockEvent();
    if (created == 0) {  // out of system resources: try again
      SyncInternal::YieldThread();
      continue;
    }
    g_liveLockEvents.fetch_add(1);
    intptr_t expected = 0;
    if (event_.compare_exchange_strong(expected, created)) return created;
    SyncInternal::CloseLockEvent(created);
    g_liveLockEvents.fetch_sub(1);
  }
}

// Called by the holder of a closing lock: closes the event unless a thread
// still waits for it.
void RecursiveLock::DisposeEventUnlessWaited() {
  const intptr_t old = event_.exchange(kEventBusy);
  if (static_cast<int32_t>(depth_) < lockCount_.load()) {
    event_.store(old);
    return;
  }
  event_.store(0);
  if (old != 0) {
    SyncInternal::CloseLockEvent(old);
    g_liveLockEvents.fetch_sub(1);
  }
}

void RecursiveLock::Lock() {
  const uint32_t self = SyncInternal::CurrentThreadId();
  if (lockCount_.fetch_add(1) == 0) {
    depth_ = 1;
    owner_.store(self);
  } else if (owner_.load() == self) {
    ++depth_;
  } else {
    SyncInternal::WaitLockEvent(AcquireEvent());
    depth_ = 1;
    owner_.store(self);
  }
  if (closing_.load()) DisposeEventUnlessWaited();
}

bool RecursiveLock::Unlock() {
  if (owner_.load() != SyncInternal::CurrentThreadId() || depth_ == 0) return false;
  if (--depth_ > 0) {
    lockCount_.fetch_sub(1);
    return true;
  }
  owner_.store(0);
  if (lockCount_.fetch_sub(1) == 1) return true;  // nobody waits
  SyncInternal::SetLockEvent(AcquireEvent());
  return true;
}

void RecursiveLock::Close() {
  Lock();
  closing_.store(true);
  DisposeEventUnlessWaited();
  Unlock();
}

}  // namespace Common
