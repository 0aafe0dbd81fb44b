// Small services shared by the Windows files, directories and backup code:
// the NT object name of a Win32 path, per-thread values with a process-wide
// default (among them the token that network operations impersonate), the
// scope that impersonates it around one operation, a keeper of the thread's
// last error, and the run-time binding of the raw encrypted-file functions.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "windows/layer.h"

// ---------------------------------------------------------------------------
// NT object names

// The NT object name of a Win32 path, with the UNICODE_STRING and the
// OBJECT_ATTRIBUTES (case-insensitive, kernel handle, no root, no security)
// that the native file functions take:
//   "\Device\..." (exactly so spelled)  unchanged
//   "\\?\rest"                          "\??\rest"
//   "\\server\share\..."                "\??\UNC\server\share\..."
//   anything else                       "\??\" + path
// The attributes point into the object, which therefore is neither copied
// nor moved. A name too long for a UNICODE_STRING (32767 characters or more)
// is not described at all: valid() is false and the name is empty, so that a
// call fails on it instead of acting on a cut-off name.
class NtObjectPath {
 public:
  explicit NtObjectPath(const char16_t* win32Path);
  NtObjectPath(const NtObjectPath&) = delete;
  NtObjectPath& operator=(const NtObjectPath&) = delete;

  bool valid() const noexcept { return valid_; }
  const std::u16string& name() const noexcept { return name_; }
  UNICODE_STRING* unicode_string() noexcept { return &unicode_; }
  OBJECT_ATTRIBUTES* attributes() noexcept { return &attributes_; }

 private:
  std::u16string name_;
  bool valid_ = false;
  UNICODE_STRING unicode_{};
  OBJECT_ATTRIBUTES attributes_{};
};

// ---------------------------------------------------------------------------
// Per-thread values

// A 32-bit value per thread with a process-wide default. A thread's slot
// holds the complement of its value, so an empty slot means "use the
// default"; every value but 0xFFFFFFFF can be set per thread.
//
// The slot is allocated when a thread first sets a value, not by an
// initializer: the file layer's own start-up work (the catalog load) runs
// before ordinary initializers, and a value read then must be the default,
// not whatever another slot holds. The object is constant-initialized, so it
// is usable from any initializer. Reading never allocates and never changes
// the thread's last error.
class ThreadLocalValue {
 public:
  constexpr explicit ThreadLocalValue(std::uint32_t defaultValue = 0) noexcept
      : slot_(kUnallocated), default_(defaultValue) {}
  ThreadLocalValue(const ThreadLocalValue&) = delete;
  ThreadLocalValue& operator=(const ThreadLocalValue&) = delete;
  // Frees the slot; afterwards every thread reads the default.
  ~ThreadLocalValue();

  // The calling thread's value, else the default.
  std::uint32_t Get() const noexcept;
  // Sets the calling thread's value. False for 0xFFFFFFFF, when no slot can
  // be had, or after destruction.
  bool Set(std::uint32_t value) noexcept;
  // The calling thread goes back to the default.
  void Clear() noexcept;

  std::uint32_t Default() const noexcept { return default_.load(std::memory_order_relaxed); }
  void SetDefault(std::uint32_t value) noexcept {
    default_.store(value, std::memory_order_relaxed);
  }

 private:
  static constexpr std::uint32_t kUnallocated = 0xFFFFFFFEu;
  static constexpr std::uint32_t kClosed = 0xFFFFFFFDu;

  // The slot, allocated on the first call; an invalid index when none can
  // be had or the object is destroyed.
  std::uint32_t EnsureSlot() noexcept;

  std::atomic<std::uint32_t> slot_;
  std::atomic<std::uint32_t> default_;
};

// The file layer's three values. This system never sets them, so each reads
// 0; a host embedding the framework may.
// The owner window of dialogs Windows shows on the system's behalf
// (network-connection prompts, shell enumeration).
extern ThreadLocalValue UiOwnerWindow;
// The token impersonated around network (UNC) path operations; 0 for none.
extern ThreadLocalValue ImpersonationToken;
// The callback the shell-namespace iterator calls when listing a share is
// denied; 0 for none.
extern ThreadLocalValue ShareDeniedCallback;

// UiOwnerWindow as a window handle.
HWND GetUiOwnerWindow() noexcept;

// ---------------------------------------------------------------------------
// Impersonation around one operation

// With `impersonate` true and a current ImpersonationToken, the thread
// impersonates that token for the scope's lifetime; its own token (or its
// lack of one) is restored afterwards. Otherwise the scope makes no system
// call at all. Failures are not reported: the operation inside runs in
// whatever security context results.
class ImpersonationScope {
 public:
  explicit ImpersonationScope(bool impersonate) noexcept;
  ImpersonationScope(const ImpersonationScope&) = delete;
  ImpersonationScope& operator=(const ImpersonationScope&) = delete;
  ~ImpersonationScope();

 private:
  bool active_ = false;
  HANDLE saved_ = nullptr;  // INVALID_HANDLE_VALUE: the thread had no token
};

// ---------------------------------------------------------------------------
// Small things

// Records the thread's last error and puts it back when the scope ends, so
// that clean-up calls between a failure and its error builder do not change
// the code the builder reads.
class LastErrorKeeper {
 public:
  LastErrorKeeper() noexcept : saved_(GetLastError()) {}
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
  ~LastErrorKeeper() { SetLastError(saved_); }

 private:
  DWORD saved_;
};

// OptionalApi::Lookup with the function's type: null when the module is not
// loaded or lacks the function.
template <typename Fn>
Fn LookupSystemFunction(const char* module, const char* name) noexcept {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(OptionalApi::Lookup(module, name)));
}

// Neither null nor INVALID_HANDLE_VALUE.
inline bool IsValidHandle(HANDLE handle) noexcept {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------------------
// Raw encrypted-file functions of advapi32, looked up on first use

struct EncryptedFileRawApi {
  DWORD(WINAPI* open)(LPCWSTR name, ULONG flags, PVOID* context);
  DWORD(WINAPI* read)(PFE_EXPORT_FUNC exporter, PVOID callbackContext, PVOID context);
  DWORD(WINAPI* write)(PFE_IMPORT_FUNC importer, PVOID callbackContext, PVOID context);
  VOID(WINAPI* close)(PVOID context);
};

// True when all four raw functions are present (the set is then in
// EncryptedFileRawFunctions()). The first call also opens and closes "nul"
// once, which some systems need before the functions work; its outcome does
// not matter. Later calls give the remembered answer.
bool BindEncryptedFileRaw() noexcept;
const EncryptedFileRawApi& EncryptedFileRawFunctions() noexcept;

// True when DecryptFileW is present (then in DecryptFileFunction()).
bool BindDecryptFile() noexcept;
using DecryptFileWFn = BOOL(WINAPI*)(LPCWSTR name, DWORD reserved);
DecryptFileWFn DecryptFileFunction() noexcept;
