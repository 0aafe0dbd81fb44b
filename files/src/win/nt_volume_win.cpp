// What an NT directory reports about the volume that holds it.
#include "files/win/nt_volume.h"

#include <windows.h>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/helpers.h"
#include "files/win/win_dir.h"

namespace {

constexpr std::uint32_t kModuleId = 0x2300;
constexpr std::uint32_t Loc(std::uint32_t n) { return kModuleId << 16 | n; }

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) noexcept {
  return MakeFileError(location, kNtDirModuleId, code);
}

template <typename Fn>
Fn BindOnce(const char* name) noexcept {
  static Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
  return fn;
}

using GetVolumePathNameFn = BOOL(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
using GetDiskFreeSpaceExFn = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                           PULARGE_INTEGER);

}  // namespace

bool NtVolumePath(winnt_dir& dir, std::u16string& out) {
  if (auto volumePathName = BindOnce<GetVolumePathNameFn>("GetVolumePathNameW")) {
    std::u16string path;
    if (!dir.nt_dir_path(path)) return false;
    std::u16string buffer(path.size() + 1, u'\0');
    NtCallScope scope(path);
    if (!volumePathName(W(path), reinterpret_cast<LPWSTR>(&buffer[0]), DWORD(path.size() + 1)))
      return false;
    buffer.resize(std::char_traits<char16_t>::length(buffer.c_str()));
    out = buffer;
    return true;
  }
  // The root of the directory's drive or share.
  std::u16string root;
  if (!dir.nt_path(u"\\x", false, root) || root.empty()) return false;
  root.pop_back();
  out = root;
  return true;
}

Common::Error NtDiskSpace(winnt_dir& dir, std::uint64_t& total, std::uint64_t& free,
                          std::uint64_t& available) {
  total = free = available = 0;
  auto diskFreeSpace = BindOnce<GetDiskFreeSpaceExFn>("GetDiskFreeSpaceExW");
  if (diskFreeSpace == nullptr) return Plain(Loc(1), kFileReadError);
  std::u16string path;
  if (!dir.nt_dir_path(path)) return Plain(Loc(2), kFileReadError);
  NtCallScope scope(path);
  ULARGE_INTEGER availableBytes{}, totalBytes{}, freeBytes{};
  if (!diskFreeSpace(W(path), &availableBytes, &totalBytes, &freeBytes))
    return MakeFileApiError(Loc(3), kNtDirModuleId, "GetDiskFreeSpaceExW", path.c_str(),
                            kFileReadError, FileErrorText(kFileReadError));
  total = totalBytes.QuadPart;
  free = freeBytes.QuadPart;
  available = availableBytes.QuadPart;
  return Common::Error();
}

Common::Error NtVolumeLabel(winnt_dir& dir, char16_t* buffer, std::uint32_t length) {
  if (buffer != nullptr && length != 0) buffer[0] = u'\0';
  std::u16string path;
  if (!dir.nt_dir_path(path)) return Plain(Loc(4), kFileNotSupported);
  NtCallScope scope(path);
  DWORD maximumComponent = 0, flags = 0;
  if (!GetVolumeInformationW(W(path), reinterpret_cast<LPWSTR>(buffer), length, nullptr,
                             &maximumComponent, &flags, nullptr, 0)) {
    LastErrorKeeper keep;
    if (buffer != nullptr && length != 0) buffer[0] = u'\0';
    return MakeFileApiError(Loc(5), kNtDirModuleId, "GetVolumeInformationW", path.c_str(),
                            kFileReadError, FileErrorText(kFileReadError));
  }
  return Common::Error();
}

std::uint32_t NtSectorSize(winnt_dir& dir) {
  std::uint32_t size = 512;
  std::u16string path;
  if (!dir.nt_dir_path(path)) return size;
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  bool asked;
  DWORD failure = 0;
  {
    NtCallScope scope(path);
    asked = GetDiskFreeSpaceW(W(path), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                              &totalClusters);
    if (!asked) failure = GetLastError();
  }
  if (!asked && failure == ERROR_DIR_NOT_ROOT) {
    std::u16string root;
    if (NtVolumePath(dir, root)) {
      NtCallScope scope(root);
      asked = GetDiskFreeSpaceW(W(root), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                &totalClusters);
    }
  }
  if (asked && bytesPerSector != 0) size = bytesPerSector;
  return size;
}

std::uint32_t NtDriveObjectType(winnt_dir& dir) {
  std::u16string path;
  if (!dir.nt_dir_path(path)) return kObjectUnknown;
  UINT kind;
  {
    NtCallScope scope(path);
    kind = GetDriveTypeW(W(path));
  }
  if (kind == DRIVE_NO_ROOT_DIR) {
    std::u16string root;
    if (NtVolumePath(dir, root)) {
      NtCallScope scope(root);
      kind = GetDriveTypeW(W(root));
    }
  }
  return DriveTypeToObjectType(kind);
}
