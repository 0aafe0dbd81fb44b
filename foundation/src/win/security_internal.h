// Owners of the handles the registry, privilege and security helpers open,
// shared by their source files.
#pragma once

#include <windows.h>

namespace Common {
namespace SecurityInternal {

inline bool IsWindows9x() { return (GetVersion() & 0x80000000u) != 0; }

// A kernel handle (token, ...) closed on every path. Null and
// INVALID_HANDLE_VALUE both mean none.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
  // Closing keeps the last error of the work done with the handle.
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) {
      const DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }
  HANDLE Release() {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A registry key closed on every path.
class ScopedKey {
 public:
  ScopedKey() = default;
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() { Reset(); }

  HKEY Get() const { return key_; }
  HKEY* Receive() {
    Reset();
    return &key_;
  }
  void Reset() {
    if (key_) {
      const DWORD error = GetLastError();
      RegCloseKey(key_);
      SetLastError(error);
    }
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// A token given by the caller, or (for null) the thread's, else the process's
// token opened here with `access` and closed at the end of the scope.
class TokenOrCurrent {
 public:
  TokenOrCurrent(HANDLE token, DWORD access);
  TokenOrCurrent(const TokenOrCurrent&) = delete;
  TokenOrCurrent& operator=(const TokenOrCurrent&) = delete;

  // Null when the current token could not be opened.
  HANDLE Get() const { return token_; }

 private:
  ScopedHandle opened_;
  HANDLE token_ = nullptr;
};

}  // namespace SecurityInternal
}  // namespace Common
