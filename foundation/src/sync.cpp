// Locks, events and semaphores of the native build, on the C++ standard
// library. The Windows build has its own in win/sync_win.cpp.
#ifndef _WIN32

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "foundation/sync.h"
#include "sync_internal.h"

namespace Common {

namespace {

// What a WaitableHandle's handle points to natively.
class NativeWaitable {
 public:
  virtual ~NativeWaitable() = default;

  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    ready_.wait(hold, [this] { return Signalled(); });
    Consume();
  }

  bool TryWait() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!Signalled()) return false;
    Consume();
    return true;
  }

 protected:
  virtual bool Signalled() const = 0;  // called under mutex_
  virtual void Consume() = 0;          // called under mutex_ when signalled

  std::mutex mutex_;
  std::condition_variable ready_;
};

class NativeEvent final : public NativeWaitable {
 public:
  NativeEvent(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}

  void Set() {
    std::lock_guard<std::mutex> hold(mutex_);
    signalled_ = true;
    if (manual_)
      ready_.notify_all();
    else
      ready_.notify_one();
  }

  void Reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    signalled_ = false;
  }

 private:
  bool Signalled() const override { return signalled_; }
  void Consume() override {
    if (!manual_) signalled_ = false;
  }

  const bool manual_;
  bool signalled_;
};

class NativeSemaphore final : public NativeWaitable {
 public:
  explicit NativeSemaphore(int32_t count) : count_(count) {}

  bool Release(int32_t count) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (count < 1 || count > Semaphore::kMaximumCount - count_) return false;
    count_ += count;
    if (count == 1)
      ready_.notify_one();
    else
      ready_.notify_all();
    return true;
  }

 private:
  bool Signalled() const override { return count_ > 0; }
  void Consume() override { --count_; }

  int32_t count_;
};

NativeWaitable* AsWaitable(void* handle) { return static_cast<NativeWaitable*>(handle); }

using NativeMutex = std::recursive_mutex;
static_assert(sizeof(NativeMutex) <= kCriticalSectionStorage && alignof(NativeMutex) <= 8,
              "CriticalSection's storage must hold a std::recursive_mutex");

NativeMutex& MutexOf(unsigned char* storage) {
  return *std::launder(reinterpret_cast<NativeMutex*>(storage));
}

}  // namespace

// ---------------------------------------------------------------------------

CriticalSection::CriticalSection() { new (storage_) NativeMutex(); }
CriticalSection::~CriticalSection() { MutexOf(storage_).~NativeMutex(); }
void CriticalSection::Enter() { MutexOf(storage_).lock(); }
void CriticalSection::Leave() { MutexOf(storage_).unlock(); }

// ---------------------------------------------------------------------------

bool WaitableHandle::Wait() {
  if (!handle_) return false;
  AsWaitable(handle_)->Wait();
  return true;
}

bool WaitableHandle::TryWait() { return handle_ && AsWaitable(handle_)->TryWait(); }

void WaitableHandle::Close() {
  delete AsWaitable(handle_);
  handle_ = nullptr;
}

EventObject::EventObject(bool manualReset, bool initiallySignalled) {
  handle_ = static_cast<NativeWaitable*>(new (std::nothrow)
                                             NativeEvent(manualReset, initiallySignalled));
}

bool EventObject::Set() {
  if (!handle_) return false;
  static_cast<NativeEvent*>(AsWaitable(handle_))->Set();
  return true;
}

bool EventObject::Reset() {
  if (!handle_) return false;
  static_cast<NativeEvent*>(AsWaitable(handle_))->Reset();
  return true;
}

Semaphore::Semaphore(int32_t initialCount) {
  if (initialCount >= 0)
    handle_ = static_cast<NativeWaitable*>(new (std::nothrow) NativeSemaphore(initialCount));
}

bool Semaphore::Release(int32_t count) {
  return handle_ && static_cast<NativeSemaphore*>(AsWaitable(handle_))->Release(count);
}

// ---------------------------------------------------------------------------

namespace SyncInternal {

intptr_t CreateLockEvent() {
  return reinterpret_cast<intptr_t>(new (std::nothrow) NativeEvent(false, false));
}

void SetLockEvent(intptr_t event) { reinterpret_cast<NativeEvent*>(event)->Set(); }
void WaitLockEvent(intptr_t event) { reinterpret_cast<NativeEvent*>(event)->Wait(); }
void CloseLockEvent(intptr_t event) { delete reinterpret_cast<NativeEvent*>(event); }

uint32_t CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local uint32_t id = 0;
  if (id == 0) {
    do id = next.fetch_add(1); while (id == 0);
  }
  return id;
}

void YieldThread() { std::this_thread::yield(); }

}  // namespace SyncInternal

}  // namespace Common

#endif  // !_WIN32
