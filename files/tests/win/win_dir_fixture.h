// Test support for the Windows files and the directory base: a scratch
// folder on the prefix's C: drive, and a small concrete directory over the
// directory base that opens handles with CreateFileW and records how it was
// asked.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/win/win_dir.h"

namespace fwtest {

inline const wchar_t* W(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
inline const char16_t* U(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }

// A fresh folder C:\purgekit-fw-<tag>-<pid>\, removed with its files at the
// end. Its path (with the trailing '\') is what ResolvePath gives.
class ScratchFolder {
 public:
  explicit ScratchFolder(const char16_t* tag) {
    path_ = u"C:\\purgekit-fw-";
    path_ += tag;
    path_ += u"-";
    const std::string pid = std::to_string(GetCurrentProcessId());
    path_.append(pid.begin(), pid.end());
    Remove();
    CreateDirectoryW(W(path_), nullptr);
    path_ += u'\\';
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() { Remove(); }

  const std::u16string& path() const { return path_; }
  std::u16string operator/(const char16_t* name) const { return path_ + name; }

 private:
  void Remove() {
    std::u16string dir = path_;
    if (!dir.empty() && dir.back() == u'\\') dir.pop_back();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(W(dir + u"\\*"), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = U(data.cFileName);
        if (name == u"." || name == u"..") continue;
        const std::u16string full = dir + u"\\" + name;
        SetFileAttributesW(W(full), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(W(full));
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(W(dir));
  }

  std::u16string path_;
};

// Whole contents of a file, read beside the framework.
inline std::string ReadAll(const std::u16string& path) {
  std::string out;
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n) out.append(buffer, n);
  CloseHandle(h);
  return out;
}

inline void WriteAll(const std::u16string& path, const std::string& data) {
  HANDLE h = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
  CloseHandle(h);
}

// The directory base over plain CreateFileW on its resolved path.
class TestDir : public win32_dir {
 public:
  struct HandleRequest {
    std::u16string name;
    const SecurityAttributesProvider* provider;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
  };

  TestDir() = default;
  explicit TestDir(std::u16string path) : win32_dir(std::move(path)) {}

  std::vector<HandleRequest> requests;
  std::vector<std::u16string> connections;  // "path|first|second"
  std::uint32_t sectorSizeToReport = 512;

  // --- win32_dir ---
  std::uint32_t module_path(char16_t* buffer, std::uint32_t length) override {
    return GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(buffer), length);
  }
  win32_dir* make_dir(const char16_t* path) override {
    std::u16string resolved;
    if (!resolve_path(resolved, path, false)) {
      store_error(MakeFileError(0x21FF0001, 0x21FF, kFileOpenError));
      return nullptr;
    }
    store_error(Common::NoError);
    auto* dir = new TestDir(resolved);
    dir->sectorSizeToReport = sectorSizeToReport;
    return dir;
  }
  HANDLE create_handle(const char16_t* name, const SecurityAttributesProvider* provider,
                       DWORD access, DWORD share, DWORD disposition, DWORD flags) override {
    requests.push_back({name ? name : u"", provider, access, share, disposition, flags});
    std::u16string full;
    if (!resolve_path(full, name, false)) {
      store_error(MakeFileError(0x21FF0002, 0x21FF, kFileOpenError));
      return nullptr;
    }
    full.pop_back();
    HANDLE h = CreateFileW(W(full), access, share, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      store_error(MakeApiError(0x21FF0003, 0x21FF, "CreateFileW", kFileOpenError,
                               FileErrorText(kFileOpenError)));
      return nullptr;
    }
    return h;
  }
  HANDLE change_handle() override { return nullptr; }
  void net_connect(const char16_t* first, const char16_t* second, HWND owner) override {
    connections.push_back(path_ + u"|" + (first ? first : u"") + u"|" + (second ? second : u""));
    store_error(first && first[0] == u'!' ? MakeFileError(0x21FF0004, 0x21FF, kFileNetworkDisconnected)
                                          : Common::NoError);
  }
  bool compare_names(const char16_t* a, const char16_t* b, std::uint32_t length) override {
    return _wcsnicmp(reinterpret_cast<const wchar_t*>(a), reinterpret_cast<const wchar_t*>(b),
                     length) == 0;
  }

  // --- nocache_dir ---
  std::uint32_t sector_size() override {
    sectorSize_ = sectorSizeToReport;
    return sectorSize_;
  }

  // --- what the tests do not reach ---
  i_dir::iterator* find_by_id(const file_identifier*) override { return nullptr; }
  i_dir::iterator* find(const char16_t*) override { return nullptr; }
  i_dir::iterator* list() override { return nullptr; }
  i_dir::iterator* find_self() override { return nullptr; }
  int compare_ids(const file_identifier*, const file_identifier*) override { return 0; }
  void delete_file(const char16_t*) override {}
  void move(const char16_t*, const char16_t*) override {}
  void create_dir(const char16_t*, const SecurityAttributesProvider*) override {}
  void remove_dir(const char16_t*) override {}
};

}  // namespace fwtest
