// Locks, events and semaphores.
//
// Thin owners of the operating system's synchronisation objects, the same
// interface in both builds: on Windows they are critical sections, event and
// semaphore handles; natively they are built on the C++ standard library.
//
// - CriticalSection: a re-entrant lock (the same thread may enter again).
// - CriticalSectionLock: scope holder of a CriticalSection (may be null).
// - EventObject: manual- or auto-reset event.
// - Semaphore: counting semaphore, maximum count 0x7FFFFFFF.
// - RecursiveLock: a re-entrant lock that needs no kernel object until two
//   threads actually contend for it.
//
// Events and semaphores share WaitableHandle's operations: Wait waits without
// a time limit, TryWait only looks (it never blocks), Close releases the
// object. An object whose creation failed (or that was closed) is not valid;
// every operation on it fails instead of crashing. Closing or destroying an
// object while another thread waits on it is not allowed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Common {

// ---------------------------------------------------------------------------
// Critical section

// Room for the system's object, held in place: a CRITICAL_SECTION on Windows,
// a std::recursive_mutex natively. Each build checks that it fits.
#ifdef _WIN32
constexpr std::size_t kCriticalSectionStorage = sizeof(void*) == 8 ? 40 : 24;
#else
constexpr std::size_t kCriticalSectionStorage = 64;
#endif

class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();

 private:
  alignas(8) unsigned char storage_[kCriticalSectionStorage];
};

// Enters the section when constructed with one, leaves it on destruction when
// it still holds it; Leave and Enter end and resume the hold early.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection* section) : section_(section) {
    if (section_) {
      section_->Enter();
      held_ = true;
    }
  }
  ~CriticalSectionLock() { Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  void Leave() {
    if (section_ && held_) {
      held_ = false;
      section_->Leave();
    }
  }
  void Enter() {
    if (section_ && !held_) {
      section_->Enter();
      held_ = true;
    }
  }
  bool Holds() const { return held_; }

 private:
  CriticalSection* section_;
  bool held_ = false;
};

// ---------------------------------------------------------------------------
// Waitable objects

class WaitableHandle {
 public:
  WaitableHandle(const WaitableHandle&) = delete;
  WaitableHandle& operator=(const WaitableHandle&) = delete;

  // True when the object exists (it was created and not yet closed).
  bool IsValid() const { return handle_ != nullptr; }

  // Waits without a time limit; true once the object was signalled (an
  // auto-reset event or a semaphore is consumed by it), false for an object
  // that is not valid.
  bool Wait();

  // Consumes the signal when the object is signalled now and returns true;
  // returns false at once otherwise. Never blocks.
  bool TryWait();

  // Releases the object; later operations fail. Closing twice does nothing.
  void Close();

  // The system handle (Windows), for calls that wait on several objects.
  // Natively an opaque pointer that only this library understands.
  void* NativeHandle() const { return handle_; }

 protected:
  WaitableHandle() = default;
  ~WaitableHandle() { Close(); }

  void* handle_ = nullptr;
};

class EventObject : public WaitableHandle {
 public:
  // A manual-reset event stays signalled until Reset; an auto-reset event is
  // reset by the one wait that it releases.
  EventObject(bool manualReset, bool initiallySignalled);

  bool Set();    // false when the event is not valid
  bool Reset();  // false when the event is not valid
};

class Semaphore : public WaitableHandle {
 public:
  static constexpr int32_t kMaximumCount = 0x7FFFFFFF;

  // A negative initial count is refused: the semaphore is then not valid.
  explicit Semaphore(int32_t initialCount = 0);

  // Adds count (at least 1). Fails, leaving the count unchanged, when count
  // is below 1 or the new count would pass kMaximumCount.
  bool Release(int32_t count = 1);
};

// ---------------------------------------------------------------------------
// Recursive lock

// Uncontended Lock and Unlock are one locked increment or decrement each and
// make no system call. The first thread that has to wait (or wake a waiter)
// creates an auto-reset event, which stays with the lock until Close (or the
// destructor) disposes of it.
class RecursiveLock {
 public:
  RecursiveLock() = default;
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock();

  // Releases one level. Returns false, changing nothing, when the calling
  // thread does not hold the lock.
  bool Unlock();

  // Marks the lock as closing and disposes of its event as soon as no thread
  // waits for it any more (now, or when the last waiter has taken the lock).
  // The lock stays usable.
  void Close();

  // Threads that hold or wait for the lock plus the holder's extra levels
  // (a diagnostic: it may have changed by the time the caller looks at it).
  int32_t LockCount() const { return lockCount_.load(); }

  // Whether the lock has its event now (a diagnostic, like LockCount).
  bool HasEvent() const {
    const intptr_t event = event_.load();
    return event != 0 && event != kEventBusy;
  }

 private:
  static constexpr intptr_t kEventBusy = -1;

  intptr_t AcquireEvent();
  void DisposeEventUnlessWaited();

  std::atomic<int32_t> lockCount_{0};
  uint32_t depth_ = 0;                // touched only by the holder
  std::atomic<uint32_t> owner_{0};    // holder's thread id, 0 when free
  std::atomic<intptr_t> event_{0};    // 0: none yet, kEventBusy: being swapped
  std::atomic<bool> closing_{false};
};

// ---------------------------------------------------------------------------
// Test hooks (for the library's tests only)

namespace TestHooks {
// Events currently owned by RecursiveLock objects in the process.
int32_t LiveRecursiveLockEvents();
}  // namespace TestHooks

}  // namespace Common
