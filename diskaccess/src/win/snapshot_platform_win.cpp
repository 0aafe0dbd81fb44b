// The snapshot code's platform on Windows: the library's wake-up event is a
// Windows event handle; the temporary storage is a file opened without
// buffering and deleted when its handle is closed.
#include <windows.h>

#include <cstdint>
#include <string>

#include "diskaccess/snapshots.h"

namespace Da {

namespace {

HANDLE AsHandle(std::uint32_t word) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(word)); }

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class WindowsSnapshotFiles : public SnapshotFileSystem {
 public:
  std::uint32_t TempPath(std::u16string& path, std::uint32_t& error) override {
    wchar_t buffer[260];
    const DWORD n = GetTempPathW(260, buffer);
    error = n == 0 ? GetLastError() : 0;
    if (n != 0 && n < 260) path.assign(reinterpret_cast<const char16_t*>(buffer), n);
    return n;
  }
  void MakeDirectory(const std::u16string& directory) override {
    CreateDirectoryW(Wide(directory), nullptr);
  }
  std::uint32_t TempFileName(const std::u16string& directory, std::u16string& name) override {
    wchar_t buffer[MAX_PATH];
    if (GetTempFileNameW(Wide(directory), L"qvl", 0, buffer) == 0) return GetLastError();
    name = reinterpret_cast<const char16_t*>(buffer);
    return 0;
  }
  bool SectorSize(const std::u16string& directory, std::uint32_t& bytes) override {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceW(directory.empty() ? nullptr : Wide(directory), &sectorsPerCluster,
                           &bytesPerSector, &freeClusters, &clusters))
      return false;
    bytes = bytesPerSector;
    return true;
  }
  std::uint32_t Open(const std::u16string& path, bool ours, void*& file) override {
    // The name GetTempFileNameW just made is ours to open; any other must
    // not exist yet.
    HANDLE h = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           ours ? OPEN_EXISTING : CREATE_NEW,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_DELETE_ON_CLOSE |
                               FILE_ATTRIBUTE_TEMPORARY,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      file = nullptr;
      return GetLastError();
    }
    file = h;
    return 0;
  }
  std::uint32_t WriteAt(void* file, const void* data, std::uint32_t bytes, std::uint64_t offset,
                        std::uint32_t& done) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const BOOL ok = WriteFile(static_cast<HANDLE>(file), data, bytes, &n, &at);
    done = n;
    return ok ? 0 : GetLastError();
  }
  std::uint32_t ReadAt(void* file, void* data, std::uint32_t bytes, std::uint64_t offset,
                       std::uint32_t& done) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const BOOL ok = ReadFile(static_cast<HANDLE>(file), data, bytes, &n, &at);
    done = n;
    return ok ? 0 : GetLastError();
  }
  std::uint32_t FileId(void* file, std::uint64_t& id) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(static_cast<HANDLE>(file), &info)) return GetLastError();
    id = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
  }
  bool SetSize(void* file, std::uint64_t bytes) override {
    LONG high = static_cast<LONG>(bytes >> 32);
    if (SetFilePointer(static_cast<HANDLE>(file), static_cast<LONG>(bytes), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
      return false;
    return SetEndOfFile(static_cast<HANDLE>(file)) != 0;
  }
  void Close(void* file) override { CloseHandle(static_cast<HANDLE>(file)); }
};

}  // namespace

bool SnapshotEventWait(std::uint32_t event) {
  return WaitForSingleObject(AsHandle(event), INFINITE) == WAIT_OBJECT_0;
}
bool SnapshotEventSet(std::uint32_t event) { return SetEvent(AsHandle(event)) != 0; }
bool SnapshotEventReset(std::uint32_t event) { return ResetEvent(AsHandle(event)) != 0; }

SnapshotFileSystem& PlatformSnapshotFileSystem() {
  static WindowsSnapshotFiles files;
  return files;
}

}  // namespace Da
