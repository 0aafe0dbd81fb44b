// Deleting or replacing a file or folder at once, or else at the next start:
// MoveFileExW's delayed form on the NT family, the [Rename] section of
// WININIT.INI on Windows 9x.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/registry_security.h"
#include "foundation/text.h"
#include "security_internal.h"
#include "windows/layer.h"

namespace Common {

using SecurityInternal::IsWindows9x;

namespace {

// Delayed operations requested so far by this process; keeps its WININIT.INI
// lines in request order.
std::atomic<unsigned> g_delayedOperations{0};

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// The short (8.3) form of a path, or the path itself when the system has
// none (a target that does not exist yet, for one).
std::string ShortPath(const char* path) {
  char buffer[512];
  const DWORD length = GetShortPathNameA(path, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return path;
  return std::string(buffer, length);
}

bool DeletePath(Windows::LayerNT& layer, const std::u16string& path, bool directory) {
  return directory ? layer.RemoveDirectoryW(W(path)) != FALSE
                   : layer.DeleteFileW(W(path)) != FALSE;
}

// Moves the source onto the target at once, replacing a target file. A move
// that fails leaves both where they were: the target is never deleted ahead
// of a move that may not happen. Windows 9x has no replacing move, so its
// target steps aside under a free name first and comes back when the move
// fails. A folder is never replaced; one in the way makes the move fail.
bool MoveReplacing(Windows::LayerNT& layer, const std::u16string& from, const std::u16string& to,
                   bool directory) {
  if (directory) return layer.MoveFileW(W(from), W(to)) != FALSE;
  if (!IsWindows9x()) return layer.MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING) != FALSE;
  if (layer.GetFileAttributesW(W(to)) == INVALID_FILE_ATTRIBUTES)
    return layer.MoveFileW(W(from), W(to)) != FALSE;
  std::u16string aside;
  for (unsigned attempt = 0; attempt < 100 && aside.empty(); ++attempt) {
    std::u16string candidate = to + u".~";
    for (char digit : std::to_string(attempt)) candidate += char16_t(digit);
    if (layer.GetFileAttributesW(W(candidate)) == INVALID_FILE_ATTRIBUTES &&
        layer.MoveFileW(W(to), W(candidate)))
      aside = candidate;
  }
  if (aside.empty()) return false;
  if (layer.MoveFileW(W(from), W(to))) {
    layer.DeleteFileW(W(aside));
    return true;
  }
  const DWORD error = GetLastError();
  layer.MoveFileW(W(aside), W(to));
  SetLastError(error);
  return false;
}

// A line read from an INI file without its line end.
std::string WithoutLineEnd(const char* line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class File {
 public:
  File(const char* path, const char* mode) : file_(std::fopen(path, mode)) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }
  FILE* Get() const { return file_; }
  // False when anything written could not be flushed.
  bool Close() {
    if (!file_) return true;
    const bool ok = !std::ferror(file_) && std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

 private:
  FILE* file_;
};

}  // namespace

std::string WininitIniPath() {
  char directory[512];
  const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return std::string();
  std::string path(directory, length);
  if (path.back() != '\\') path += '\\';
  return path + "WININIT.INI";
}

void ShortPathRenameLine(std::string& out, const char* target, const char* source,
                         bool directory) {
  const char* missing = directory ? "DIRNUL" : "NUL";
  out = target ? ShortPath(target) : missing;
  out += '=';
  out += source ? ShortPath(source) : missing;
  out += '\n';
}

bool AddWininitRenameLine(const char* iniPath, const std::string& line, unsigned linesBefore) {
  if (!iniPath || !*iniPath) return false;
  std::string temporary(iniPath);
  temporary.back() = '$';  // WININIT.INI -> WININIT.IN$

  File in(iniPath, "rt");  // may be missing
  File out(temporary.c_str(), "wt");
  if (!out.Get()) return false;  // the old file stays as it is

  if (!in.Get()) {
    std::fputs("[Rename]\n", out.Get());
    std::fputs(line.c_str(), out.Get());
  } else {
    char buffer[1024];
    // Up to and including the section header, else the whole file and a new
    // section at its end.
    bool found = false;
    while (std::fgets(buffer, sizeof buffer, in.Get())) {
      if (!buffer[0]) continue;
      std::fputs(buffer, out.Get());
      if (lstrcmpiA(WithoutLineEnd(buffer).c_str(), "[Rename]") == 0) {
        found = true;
        if (buffer[std::strlen(buffer) - 1] != '\n') std::fputs("\n", out.Get());
        break;
      }
    }
    if (!found) std::fputs("\n[Rename]\n", out.Get());
    // This process's earlier lines stay before the new one.
    for (unsigned i = 0; i < linesBefore && std::fgets(buffer, sizeof buffer, in.Get());) {
      if (!buffer[0]) continue;
      std::fputs(buffer, out.Get());
      ++i;
    }
    std::fputs(line.c_str(), out.Get());
    while (std::fgets(buffer, sizeof buffer, in.Get()))
      if (buffer[0]) std::fputs(buffer, out.Get());
  }

  in.Close();
  if (!out.Close()) {
    DeleteFileA(temporary.c_str());
    return false;
  }
  DeleteFileA(iniPath);
  if (MoveFileA(temporary.c_str(), iniPath)) return true;
  DeleteFileA(temporary.c_str());
  return false;
}

bool DeleteOrMoveAtReboot(const char16_t* source, const char16_t* target, unsigned flags) {
  if (!source) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Windows::LayerNT& layer = *WindowsLayerInstance;
  const bool directory = (flags & kRebootDirectories) != 0;

  std::u16string from(source);
  if (!from.empty() && from.front() == u'"') {
    from.erase(0, 1);
    if (!from.empty() && from.back() == u'"') from.pop_back();
  }

  if ((flags & kRebootSourceMustExist) &&
      layer.GetFileAttributesW(W(from)) == INVALID_FILE_ATTRIBUTES)
    return false;

  // At once, when that works. On Windows 9x the layer calls the ANSI
  // functions.
  if (!(flags & kRebootDelayOnly)) {
    if (target) {
      if (MoveReplacing(layer, from, std::u16string(target), directory)) return true;
    } else if (DeletePath(layer, from, directory)) {
      return true;
    }
  }

  const unsigned earlier = g_delayedOperations++;

  if (!IsWindows9x()) {
    DWORD moveFlags = MOVEFILE_DELAY_UNTIL_REBOOT;
    if (!directory) moveFlags |= MOVEFILE_REPLACE_EXISTING;
    const std::u16string to(target ? target : u"");
    return layer.MoveFileExW(W(from), target ? W(to) : nullptr, moveFlags) != FALSE;
  }

  const std::string ansiSource = WideToAnsi(from.c_str());
  const std::string ansiTarget = target ? WideToAnsi(target) : std::string();
  std::string line;
  ShortPathRenameLine(line, target ? ansiTarget.c_str() : nullptr, ansiSource.c_str(),
                      directory);
  const std::string ini = WininitIniPath();
  return !ini.empty() && AddWininitRenameLine(ini.c_str(), line, earlier);
}

}  // namespace Common
