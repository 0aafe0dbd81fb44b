// Test support for the NT directory and the tree operations: a scratch
// folder on the prefix's C: drive that is removed with everything below it
// (by plain Win32 calls, so that clean-up does not depend on the code under
// test), and readers of the fields of the file layer's errors.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "files/win/nt_dir.h"
#include "files/win/win_dir.h"
#include "win_dir_fixture.h"

namespace ntdirtest {

using fwtest::ReadAll;
using fwtest::U;
using fwtest::W;

// Removes a tree with plain Win32 calls: attributes cleared, junctions and
// links removed as entries, never entered.
inline void WipeTree(const std::u16string& dir) {
  const DWORD attributes = GetFileAttributesW(W(dir));
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(W(dir), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(W(dir));
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(W(dir + u"\\*"), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = U(data.cFileName);
        if (name != u"." && name != u"..") WipeTree(dir + u"\\" + name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
  }
  RemoveDirectoryW(W(dir));
}

// A fresh folder C:\purgekit-nt-<tag>-<pid>\ and a framework directory for it.
class Scratch {
 public:
  explicit Scratch(const char16_t* tag) {
    base_ = u"C:\\purgekit-nt-";
    base_ += tag;
    base_ += u"-";
    const std::string pid = std::to_string(GetCurrentProcessId());
    base_.append(pid.begin(), pid.end());
    WipeTree(base_);
    CreateDirectoryW(W(base_), nullptr);
    dir_.reset(GetRootDir()->open_dir(path().c_str()));
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    dir_.reset();
    WipeTree(base_);
  }

  // With the trailing '\', as ResolvePath gives it.
  std::u16string path() const { return base_ + u"\\"; }
  std::u16string operator/(const std::u16string& name) const { return base_ + u"\\" + name; }
  win32_dir* dir() const { return dir_.get(); }

 private:
  std::u16string base_;
  std::unique_ptr<win32_dir> dir_;
};

inline bool Exists(const std::u16string& path) {
  return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES;
}

inline void MakeFile(const std::u16string& path, const std::string& data) {
  HANDLE h = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  CloseHandle(h);
}

// The fields of a file-layer error record.
inline std::string Function(const Common::Error& e) {
  const char* f = Common::GetTextField(e, "function");
  return f != nullptr ? f : "";
}
inline std::u16string FileName(const Common::Error& e) {
  const char16_t* f = Common::GetWideTextField(e, "filename");
  return f != nullptr ? f : u"";
}
inline std::uint32_t CauseCode(const Common::Error& e) {
  const Common::Error cause = Common::GetErrorCause(e);
  return cause.IsNull() ? 0 : cause.Record()->size;
}

}  // namespace ntdirtest
