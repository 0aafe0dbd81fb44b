// A mounted volume as a directory tree of the file framework. Two views:
// the Windows one shows the volume as drive "C:" with '\' paths (FAT, NTFS),
// the POSIX one as "/" with '/' paths and modes, owners and nodes (ext,
// HFS+). A view holds its path and one use of its driver; every operation
// looks the directory up afresh through the driver's path cache, runs under
// the driver's object lock and a NewHandlerGuard, and stores its outcome in
// the view's error state (success clears it). No error leaves a view.
#pragma once

#include <cstdint>
#include <string>

#include "files/control.h"
#include "files/dir.h"
#include "filesystems/backup.h"
#include "filesystems/driver.h"

namespace filesystems {

// Request records of the views' own control codes.
struct bkup_request : control_request {
  bkup_request() noexcept : control_request{kControlBKUP} {}
  BackupTarget target;
  const file_identifier* entry = nullptr;  // null: the view's own directory
};
struct rstr_request : control_request {
  rstr_request() noexcept : control_request{kControlRSTR} {}
  RestoreSource source;
  const char16_t* name = nullptr;
};
struct stme_request : control_request {
  stme_request() noexcept : control_request{kControlSTME} {}
  const char16_t* path = nullptr;
  std::uint64_t modificationTime = 0, creationTime = 0, accessTime = 0;
};
struct srsq_request : control_request {
  srsq_request() noexcept : control_request{kControlSRSQ} {}
  const char16_t* name = nullptr;
  const void* data = nullptr;
  std::uint32_t size = 0;
};
struct ssfn_request : control_request {
  ssfn_request() noexcept : control_request{kControlSSFN} {}
  const char16_t* name = nullptr;
  const char16_t* shortName = nullptr;
};

// Turns a Windows path into a volume path: 3 characters or fewer give "/";
// otherwise the drive designator and the final '\' go and '\' becomes '/'.
std::u16string ToVolumePath(const std::u16string& windowsPath);
// Appends a relative or absolute text to a volume path, applying "." and
// ".." and dropping empty components; the result never ends with '/'
// (except "/").
void NormalizePosixPath(std::u16string& path, const char16_t* text);
// One component: not empty, not "." or "..", no '/'.
bool IsValidPosixName(const char16_t* name);
// 0: the same path; 1: the second lies below the first; 2: neither.
int ComparePathPrefix(const std::u16string& first, const std::u16string& second);

// The directory views, for drivers (and tests) that pick one.
rio_dir* OpenWindowsRoot(FileSystemDriver* driver);
// Null when the path does not resolve against "C:\".
rio_dir* OpenWindowsDirectory(FileSystemDriver* driver, const char16_t* path);
rio_dir* OpenPosixRoot(FileSystemDriver* driver);
rio_dir* OpenPosixDirectory(FileSystemDriver* driver, const char16_t* path);

// The driver bases of the two kinds of file systems.
class FileSystemDriverWindows : public FileSystemDriver {
 public:
  using FileSystemDriver::FileSystemDriver;
  rio_dir* OpenRootDirectory() override { return OpenWindowsRoot(this); }
  rio_dir* OpenDirectory(const char16_t* path) override {
    return OpenWindowsDirectory(this, path);
  }
};

class FileSystemDriverPosix : public FileSystemDriver {
 public:
  using FileSystemDriver::FileSystemDriver;
  rio_dir* OpenRootDirectory() override { return OpenPosixRoot(this); }
  rio_dir* OpenDirectory(const char16_t* path) override { return OpenPosixDirectory(this, path); }
};

}  // namespace filesystems
