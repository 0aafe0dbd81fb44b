// The process's starting points in the file system: the root directory, the
// current directory and the program's path. Each is made on first use by
// whichever thread asks first (the function-local statics serialise that)
// and lives until the process ends.
#include <memory>

#include "files/win/win_dir.h"
#include "windows/layer.h"

namespace {

constexpr DWORD kPathBuffer = 261;  // MAX_PATH and the terminator

std::unique_ptr<win32_dir> MakeRootDir() {
  SetErrorMode(SEM_FAILCRITICALERRORS);
  if (GetVersion() & 0x80000000u) {  // Windows 9x
    SetFileApisToANSI();
    return std::unique_ptr<win32_dir>(NewWin9xRootDir());
  }
  return std::unique_ptr<win32_dir>(NewWinNtRootDir());
}

std::unique_ptr<i_dir> MakeCurrentDirObject() {
  win32_dir* root = GetRootDir();
  if (!root) return nullptr;
  WCHAR path[kPathBuffer] = {};
  DWORD length = WindowsLayerInstance->GetCurrentDirectoryW(kPathBuffer, path);
  if (length == 0 || length >= kPathBuffer) {
    path[0] = 0;
    length = WindowsLayerInstance->GetWindowsDirectoryW(path, kPathBuffer);
    if (length >= kPathBuffer) path[0] = 0;
  }
  std::unique_ptr<i_dir> dir(root->open_dir(reinterpret_cast<const char16_t*>(path)));
  if (!dir) dir.reset(root->open_dir(u"."));
  return dir;
}

}  // namespace

win32_dir* GetRootDir() {
  static const std::unique_ptr<win32_dir> root = MakeRootDir();
  return root.get();
}

i_dir* GetCurrentDirObject() {
  static const std::unique_ptr<i_dir> current = MakeCurrentDirObject();
  return current.get();
}

const char16_t* GetModulePath() {
  static char16_t buffer[kPathBuffer];
  static const bool filled = [] {
    if (win32_dir* root = GetRootDir()) root->module_path(buffer, kPathBuffer);
    buffer[kPathBuffer - 1] = 0;
    return true;
  }();
  (void)filled;
  return buffer;
}
