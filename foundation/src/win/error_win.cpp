// DescribeSystemCode's system message lookup on Windows:
// FormatMessage with FROM_SYSTEM | IGNORE_INSERTS | ALLOCATE_BUFFER in
// language 0x800; the ANSI form converted with CP_ACP on Windows 9x, the wide
// form otherwise; the buffer freed with LocalFree.
#include <windows.h>

#include <cstring>

#include "common/error.h"

namespace Common {
namespace detail {

namespace {

constexpr DWORD kFormatFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr DWORD kLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);  // 0x800

// Frees a FormatMessage buffer on every path.
struct LocalBuffer {
  void* p = nullptr;
  ~LocalBuffer() {
    if (p) LocalFree(p);
  }
};

bool IsWindows9x() noexcept { return (GetVersion() & 0x80000000u) != 0; }

void FetchAnsi(DWORD code, std::u16string& out) {
  char* buffer = nullptr;
  DWORD bytes = FormatMessageA(kFormatFlags, nullptr, code, kLanguage,
                               reinterpret_cast<char*>(&buffer), 0, nullptr);
  LocalBuffer owner;
  owner.p = buffer;
  if (bytes == 0 || buffer == nullptr) return;
  // As many UTF-16 units as the ANSI text has bytes (a code-page text never
  // needs more units than bytes); the source length is passed explicitly, so
  // no room for a terminator is needed.
  int units = static_cast<int>(bytes);
  out.resize(static_cast<std::size_t>(units));
  int written = MultiByteToWideChar(CP_ACP, 0, buffer, units,
                                    reinterpret_cast<wchar_t*>(&out[0]), units);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
}

void FetchWide(DWORD code, std::u16string& out) {
  wchar_t* buffer = nullptr;
  DWORD units = FormatMessageW(kFormatFlags, nullptr, code, kLanguage,
                               reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  LocalBuffer owner;
  owner.p = buffer;
  if (units != 0 && buffer != nullptr) {
    out.assign(reinterpret_cast<const char16_t*>(buffer), units);
  }
}

}  // namespace

void FetchSystemMessage(std::uint32_t code, std::u16string& out) noexcept {
  out.clear();
  try {
    if (IsWindows9x()) {
      FetchAnsi(code, out);
    } else {
      FetchWide(code, out);
    }
  } catch (...) {  // exhausted memory: no text
    out.clear();
  }
}

}  // namespace detail
}  // namespace Common
