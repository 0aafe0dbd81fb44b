// Per-thread values of the file layer, on the foundation's thread-local
// slots.
#include <cstdint>

#include "files/win/helpers.h"
#include "foundation/thread_local_slot.h"

namespace {

bool IsSlotIndex(std::uint32_t slot) { return slot < Common::kTlsSlotCount; }

}  // namespace

// Constant-initialized (constexpr constructor): they exist, reading their
// defaults, before any initializer of the process runs.
ThreadLocalValue UiOwnerWindow;
ThreadLocalValue ImpersonationToken;
ThreadLocalValue ShareDeniedCallback;

ThreadLocalValue::~ThreadLocalValue() {
  const std::uint32_t slot = slot_.exchange(kClosed, std::memory_order_acq_rel);
  if (IsSlotIndex(slot)) Common::TlsSlotFree(slot);
}

std::uint32_t ThreadLocalValue::EnsureSlot() noexcept {
  std::uint32_t slot = slot_.load(std::memory_order_acquire);
  if (slot != kUnallocated) return slot;
  const std::uint32_t fresh = Common::TlsSlotAlloc();
  if (!IsSlotIndex(fresh)) return Common::kTlsOutOfIndexes;
  // Another thread may have been quicker; then its slot is the one.
  if (slot_.compare_exchange_strong(slot, fresh, std::memory_order_acq_rel)) return fresh;
  Common::TlsSlotFree(fresh);
  return slot;
}

std::uint32_t ThreadLocalValue::Get() const noexcept {
  const std::uint32_t slot = slot_.load(std::memory_order_acquire);
  if (!IsSlotIndex(slot)) return Default();
  // Reading a slot clears the thread's last error; a caller may be between a
  // failed call and the error builder that reads it.
  const DWORD lastError = GetLastError();
  const auto stored = static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(Common::TlsSlotGet(slot)));
  SetLastError(lastError);
  return stored ? ~stored : Default();
}

bool ThreadLocalValue::Set(std::uint32_t value) noexcept {
  if (value == 0xFFFFFFFFu) return false;
  const std::uint32_t slot = EnsureSlot();
  if (!IsSlotIndex(slot)) return false;
  return Common::TlsSlotSet(slot, reinterpret_cast<void*>(static_cast<std::uintptr_t>(~value)));
}

void ThreadLocalValue::Clear() noexcept {
  const std::uint32_t slot = slot_.load(std::memory_order_acquire);
  if (IsSlotIndex(slot)) Common::TlsSlotSet(slot, nullptr);
}

HWND GetUiOwnerWindow() noexcept {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(UiOwnerWindow.Get()));
}
