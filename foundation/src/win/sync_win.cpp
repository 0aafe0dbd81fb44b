// Locks, events and semaphores of the Windows build: critical sections,
// event and semaphore handles.
#include <windows.h>

#include <new>

#include "foundation/sync.h"
#include "../sync_internal.h"

namespace Common {

namespace {

static_assert(sizeof(CRITICAL_SECTION) <= kCriticalSectionStorage &&
                  alignof(CRITICAL_SECTION) <= 8,
              "CriticalSection's storage must hold a CRITICAL_SECTION");

CRITICAL_SECTION* SectionOf(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

// ---------------------------------------------------------------------------

CriticalSection::CriticalSection() {
  new (storage_) CRITICAL_SECTION;
  InitializeCriticalSection(SectionOf(storage_));
}
CriticalSection::~CriticalSection() { DeleteCriticalSection(SectionOf(storage_)); }
void CriticalSection::Enter() { EnterCriticalSection(SectionOf(storage_)); }
void CriticalSection::Leave() { LeaveCriticalSection(SectionOf(storage_)); }

// ---------------------------------------------------------------------------

bool WaitableHandle::Wait() {
  return handle_ && WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
}

bool WaitableHandle::TryWait() {
  return handle_ && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

void WaitableHandle::Close() {
  if (handle_) CloseHandle(handle_);
  handle_ = nullptr;
}

EventObject::EventObject(bool manualReset, bool initiallySignalled) {
  handle_ = CreateEventA(nullptr, manualReset, initiallySignalled, nullptr);
}

bool EventObject::Set() { return handle_ && SetEvent(handle_); }
bool EventObject::Reset() { return handle_ && ResetEvent(handle_); }

Semaphore::Semaphore(int32_t initialCount) {
  if (initialCount >= 0)
    handle_ = CreateSemaphoreA(nullptr, initialCount, kMaximumCount, nullptr);
}

bool Semaphore::Release(int32_t count) {
  // The system refuses a count that would pass the maximum, leaving the
  // count as it was; a count below 1 is refused here.
  return handle_ && count >= 1 && ReleaseSemaphore(handle_, count, nullptr);
}

// ---------------------------------------------------------------------------

namespace SyncInternal {

intptr_t CreateLockEvent() {
  return reinterpret_cast<intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

void SetLockEvent(intptr_t event) { SetEvent(reinterpret_cast<HANDLE>(event)); }

void WaitLockEvent(intptr_t event) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(event), INFINITE);
}

void CloseLockEvent(intptr_t event) { CloseHandle(reinterpret_cast<HANDLE>(event)); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void YieldThread() { Sleep(0); }

}  // namespace SyncInternal

}  // namespace Common
