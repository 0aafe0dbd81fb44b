// Windows::Layer9x: the layer's operations on Windows 9x, carried out by the
// ANSI functions. Text arguments are converted from UTF-16 to the ANSI code
// page into new buffers of 3 bytes per UTF-16 unit plus 1; text results are
// written by the ANSI function into a temporary buffer of the caller's stated
// size and converted back into the caller's buffer, never past the caller's
// capacity; records holding text are converted field by field between their
// published ANSI and wide layouts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "foundation/text.h"
#include "windows/layer.h"

#include <cderr.h>

namespace Windows {

namespace {

AnsiFunctions RealAnsiFunctions() {
  AnsiFunctions f;
  f.RegisterClassExA = ::RegisterClassExA;
  f.DefWindowProcA = ::DefWindowProcA;
  f.GetWindowLongA = ::GetWindowLongA;
  f.SetWindowLongA = ::SetWindowLongA;
  f.SendMessageA = ::SendMessageA;
  f.SendNotifyMessageA = ::SendNotifyMessageA;
  f.PostMessageA = ::PostMessageA;
  f.CreateDialogIndirectParamA = ::CreateDialogIndirectParamA;
  f.PeekMessageA = ::PeekMessageA;
  f.DispatchMessageA = ::DispatchMessageA;
  f.RegisterClipboardFormatA = ::RegisterClipboardFormatA;
  f.GetClipboardFormatNameA = ::GetClipboardFormatNameA;
  f.FindNextFileA = ::FindNextFileA;
  f.FindFirstFileA = ::FindFirstFileA;
  f.GetCurrentDirectoryA = ::GetCurrentDirectoryA;
  f.SetCurrentDirectoryA = ::SetCurrentDirectoryA;
  f.CreateFileA = ::CreateFileA;
  f.AppendMenuA = ::AppendMenuA;
  f.ModifyMenuA = ::ModifyMenuA;
  f.FormatMessageA = ::FormatMessageA;
  f.GetTempPathA = ::GetTempPathA;
  f.GetTempFileNameA = ::GetTempFileNameA;
  f.GetLogicalDriveStringsA = ::GetLogicalDriveStringsA;
  f.GetDriveTypeA = ::GetDriveTypeA;
  f.GetSystemDirectoryA = ::GetSystemDirectoryA;
  f.GetWindowsDirectoryA = ::GetWindowsDirectoryA;
  f.GetShortPathNameA = ::GetShortPathNameA;
  f.CreateDirectoryA = ::CreateDirectoryA;
  f.RemoveDirectoryA = ::RemoveDirectoryA;
  f.GetFileAttributesA = ::GetFileAttributesA;
  f.SetFileAttributesA = ::SetFileAttributesA;
  f.DeleteFileA = ::DeleteFileA;
  f.CopyFileA = ::CopyFileA;
  f.MoveFileA = ::MoveFileA;
  f.GetFullPathNameA = ::GetFullPathNameA;
  f.SetWindowTextA = ::SetWindowTextA;
  f.OutputDebugStringA = ::OutputDebugStringA;
  f.RegOpenKeyExA = ::RegOpenKeyExA;
  f.RegCreateKeyExA = ::RegCreateKeyExA;
  f.RegEnumKeyExA = ::RegEnumKeyExA;
  f.RegEnumValueA = ::RegEnumValueA;
  f.RegDeleteKeyA = ::RegDeleteKeyA;
  f.RegSetValueExA = ::RegSetValueExA;
  f.RegQueryValueExA = ::RegQueryValueExA;
  f.RegDeleteValueA = ::RegDeleteValueA;
  f.SystemParametersInfoA = ::SystemParametersInfoA;
  f.CreateFontIndirectA = ::CreateFontIndirectA;
  f.GetTextMetricsA = ::GetTextMetricsA;
  f.EnumFontFamiliesExA = ::EnumFontFamiliesExA;
  f.ExpandEnvironmentStringsA = ::ExpandEnvironmentStringsA;
  f.GetOpenFileNameA = ::GetOpenFileNameA;
  f.GetSaveFileNameA = ::GetSaveFileNameA;
  f.VkKeyScanA = ::VkKeyScanA;
  f.VkKeyScanExA = ::VkKeyScanExA;
  f.WinHelpA = ::WinHelpA;
  f.LoadLibraryA = ::LoadLibraryA;
  f.LoadLibraryExA = ::LoadLibraryExA;
  f.CreateProcessA = ::CreateProcessA;
  f.GetStartupInfoA = ::GetStartupInfoA;
  f.GetUserNameA = ::GetUserNameA;
  f.GetComputerNameA = ::GetComputerNameA;
  f.SetComputerNameA = ::SetComputerNameA;
  f.GetModuleFileNameA = ::GetModuleFileNameA;
  f.GetLocaleInfoA = ::GetLocaleInfoA;
  f.GetTimeFormatA = ::GetTimeFormatA;
  f.GetDateFormatA = ::GetDateFormatA;
  f.GetNumberFormatA = ::GetNumberFormatA;
  f.ShellExecuteA = ::ShellExecuteA;
  f.ShellExecuteExA = ::ShellExecuteExA;
  f.SHGetFileInfoA = ::SHGetFileInfoA;
  f.SHGetPathFromIDListA = ::SHGetPathFromIDListA;
  f.Shell_NotifyIconA = ::Shell_NotifyIconA;
  f.GetFileVersionInfoSizeA = ::GetFileVersionInfoSizeA;
  f.GetFileVersionInfoA = ::GetFileVersionInfoA;
  f.VerQueryValueA = ::VerQueryValueA;
  f.WriteConsoleA = ::WriteConsoleA;
  f.GetEnvironmentVariableA = ::GetEnvironmentVariableA;
  f.FindFirstChangeNotificationA = ::FindFirstChangeNotificationA;
  f.GetDiskFreeSpaceA = ::GetDiskFreeSpaceA;
  f.GetVolumeInformationA = ::GetVolumeInformationA;
  f.GetPrivateProfileSectionA = ::GetPrivateProfileSectionA;
  f.WritePrivateProfileSectionA = ::WritePrivateProfileSectionA;
  f.WNetGetUniversalNameA = ::WNetGetUniversalNameA;
  f.WNetAddConnection3A = ::WNetAddConnection3A;
  f.SetEnvironmentVariableA = ::SetEnvironmentVariableA;
  return f;
}

AnsiFunctions& Ansi() { return Layer9xAnsi(); }

template <typename Result>
Result Fail(DWORD error, Result failure) {
  ::SetLastError(error);
  return failure;
}

template <typename Result>
Result OutOfMemory(Result failure) {
  return Fail(ERROR_NOT_ENOUGH_MEMORY, failure);
}

// ---------------------------------------------------------------------------
// Text conversion

// UTF-16 units of a double-terminated list of texts, the final empty text's
// terminator included.
int MultiLength(LPCWSTR list) {
  const WCHAR* p = list;
  while (*p) p += std::wcslen(p) + 1;
  return static_cast<int>(p - list) + 1;
}

// Bytes of a double-terminated ANSI list within max_bytes, the final
// terminator included when it lies within max_bytes.
int AnsiMultiLength(LPCSTR list, size_t max_bytes) {
  size_t i = 0;
  while (i < max_bytes && list[i]) i += strnlen(list + i, max_bytes - i) + 1;
  return static_cast<int>(i < max_bytes ? i + 1 : max_bytes);
}

const char16_t* U(LPCWSTR text) { return reinterpret_cast<const char16_t*>(text); }
char16_t* U(LPWSTR text) { return reinterpret_cast<char16_t*>(text); }

// A UTF-16 text as a new ANSI text (WideToNewAnsi). A null text stays null.
class AnsiText {
 public:
  AnsiText() = default;
  explicit AnsiText(LPCWSTR text)
      : buffer_(Common::WideToNewAnsi(U(text))), failed_(text && !buffer_) {}
  // The text up to its terminator or max_units, whichever comes first (a
  // value's data need not hold the terminator).
  AnsiText(LPCWSTR text, size_t max_units) {
    if (!text) return;
    const size_t units = wcsnlen(text, max_units);
    const size_t bytes = units <= (SIZE_MAX - 1) / 3 ? 3 * units + 1 : 0;
    if (bytes) buffer_.reset(new (std::nothrow) char[bytes]);
    failed_ = !buffer_;
    if (buffer_) Common::WideToAnsiBuffer(buffer_.get(), bytes, U(text), units);
  }

  bool ok() const { return !failed_; }
  LPCSTR get() const { return buffer_.get(); }
  LPSTR data() { return buffer_.get(); }

 private:
  std::unique_ptr<char[]> buffer_;
  bool failed_ = false;
};

// A run of UTF-16 units that may hold zeros (a double-terminated list, an
// environment block, console output), converted as a whole into a new buffer
// of 3 bytes per unit plus a terminator. A null run stays null.
class AnsiBlock {
 public:
  AnsiBlock() = default;
  AnsiBlock(LPCWSTR text, int units, UINT code_page) {
    if (text) Convert(text, units, code_page);
  }
  static AnsiBlock List(LPCWSTR list) {
    return list ? AnsiBlock(list, MultiLength(list), CP_ACP) : AnsiBlock();
  }

  bool ok() const { return !failed_; }
  LPCSTR get() const { return buffer_.get(); }
  LPSTR data() { return buffer_.get(); }
  int length() const { return length_; }  // bytes, without the added terminator

 private:
  void Convert(LPCWSTR text, int units, UINT code_page) {
    if (units < 0) units = 0;
    const size_t bytes = 3 * static_cast<size_t>(units) + 1;
    buffer_.reset(new (std::nothrow) char[bytes]);
    if (!buffer_) {
      failed_ = true;
      return;
    }
    int n = units > 0 ? ::WideCharToMultiByte(code_page, 0, text, units, buffer_.get(),
                                              static_cast<int>(bytes - 1), nullptr, nullptr)
                      : 0;
    if (n < 0) n = 0;
    buffer_[n] = '\0';
    length_ = n;
  }

  std::unique_ptr<char[]> buffer_;
  int length_ = 0;
  bool failed_ = false;
};

// A class, menu or template name: values below 0x10000 stand for an atom or a
// resource number and pass through unconverted.
class AnsiName {
 public:
  explicit AnsiName(LPCWSTR name)
      : id_(IS_INTRESOURCE(name) ? reinterpret_cast<LPCSTR>(name) : nullptr),
        text_(IS_INTRESOURCE(name) ? nullptr : name) {}
  bool ok() const { return text_.ok(); }
  LPCSTR get() const { return id_ ? id_ : text_.get(); }

 private:
  LPCSTR id_;
  AnsiText text_;
};

// A zero-filled temporary ANSI buffer (at least one byte).
class AnsiBuffer {
 public:
  explicit AnsiBuffer(size_t bytes) : buffer_(new (std::nothrow) char[bytes ? bytes : 1]()) {}
  bool ok() const { return buffer_ != nullptr; }
  LPSTR get() const { return buffer_.get(); }

 private:
  std::unique_ptr<char[]> buffer_;
};

// UTF-16 units that `bytes` ANSI bytes convert to.
int WideUnits(LPCSTR text, int bytes, UINT code_page = CP_ACP) {
  return bytes > 0 ? ::MultiByteToWideChar(code_page, 0, text, bytes, nullptr, 0) : 0;
}

// Converts exactly `bytes` ANSI bytes into out[capacity]. Returns the units
// written, or 0 with nothing written when they would not all fit.
int ToWideExact(LPCSTR text, int bytes, LPWSTR out, int capacity) {
  if (bytes <= 0 || !out || capacity <= 0) return 0;
  const int need = WideUnits(text, bytes);
  if (need <= 0 || need > capacity) return 0;
  return ::MultiByteToWideChar(CP_ACP, 0, text, bytes, out, need);
}

// Converts up to `bytes` ANSI bytes into out[capacity], dropping bytes from
// the end when the whole would not fit. Returns the units written.
int ToWideTruncated(LPCSTR text, int bytes, LPWSTR out, int capacity,
                    UINT code_page = CP_ACP) {
  if (!out || capacity <= 0) return 0;
  // No ANSI code page makes more UTF-16 units than bytes.
  if (bytes > capacity) bytes = capacity;
  int need = WideUnits(text, bytes, code_page);
  while (bytes > 0 && (need <= 0 || need > capacity)) need = WideUnits(text, --bytes, code_page);
  return bytes > 0 ? ::MultiByteToWideChar(code_page, 0, text, bytes, out, need) : 0;
}

// Converts the terminated ANSI text at `text` (at most max_bytes read) into
// out[capacity], always terminated. Returns the units before the terminator.
int TextToWide(LPCSTR text, size_t max_bytes, LPWSTR out, size_t capacity) {
  const size_t written = Common::AnsiToWideBuffer(U(out), capacity, text, max_bytes);
  return written > 0 ? static_cast<int>(written - 1) : 0;
}

// Fixed text arrays of the records keep their lengths.
template <size_t N, typename Char, size_t M>
void ArrayToWide(WCHAR (&out)[N], const Char (&in)[M]) {
  static_assert(sizeof(Char) == 1, "ANSI array");
  TextToWide(reinterpret_cast<LPCSTR>(in), M, out, N);
}

template <size_t N, size_t M>
void ArrayToAnsi(CHAR (&out)[N], const WCHAR (&in)[M]) {
  Common::WideToAnsiBuffer(out, N, U(in), M);
}

// One ANSI character as UTF-16 (its byte value when it does not convert).
WCHAR CharToWide(BYTE c) {
  const char ansi = static_cast<char>(c);
  WCHAR wide = c;
  if (::MultiByteToWideChar(CP_ACP, 0, &ansi, 1, &wide, 1) != 1) wide = c;
  return wide;
}

// The text an ANSI function wrote into `tmp` (of `size` bytes) when it
// reported success, converted into the caller's buffer of `size` units.
template <typename Count>
Count TextResult(Count result, bool produced, const AnsiBuffer& tmp, size_t size,
                 LPWSTR out) {
  if (produced && out) TextToWide(tmp.get(), size, out, size);
  return result;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---------------------------------------------------------------------------
// Records

void FindDataToWide(const WIN32_FIND_DATAA& a, WIN32_FIND_DATAW* w) {
  w->dwFileAttributes = a.dwFileAttributes;
  w->ftCreationTime = a.ftCreationTime;
  w->ftLastAccessTime = a.ftLastAccessTime;
  w->ftLastWriteTime = a.ftLastWriteTime;
  w->nFileSizeHigh = a.nFileSizeHigh;
  w->nFileSizeLow = a.nFileSizeLow;
  w->dwReserved0 = a.dwReserved0;
  w->dwReserved1 = a.dwReserved1;
  ArrayToWide(w->cFileName, a.cFileName);
  ArrayToWide(w->cAlternateFileName, a.cAlternateFileName);
}

void LogFontToAnsi(const LOGFONTW& w, LOGFONTA* a) {
  a->lfHeight = w.lfHeight;
  a->lfWidth = w.lfWidth;
  a->lfEscapement = w.lfEscapement;
  a->lfOrientation = w.lfOrientation;
  a->lfWeight = w.lfWeight;
  a->lfItalic = w.lfItalic;
  a->lfUnderline = w.lfUnderline;
  a->lfStrikeOut = w.lfStrikeOut;
  a->lfCharSet = w.lfCharSet;
  a->lfOutPrecision = w.lfOutPrecision;
  a->lfClipPrecision = w.lfClipPrecision;
  a->lfQuality = w.lfQuality;
  a->lfPitchAndFamily = w.lfPitchAndFamily;
  ArrayToAnsi(a->lfFaceName, w.lfFaceName);
}

void LogFontToWide(const LOGFONTA& a, LOGFONTW* w) {
  w->lfHeight = a.lfHeight;
  w->lfWidth = a.lfWidth;
  w->lfEscapement = a.lfEscapement;
  w->lfOrientation = a.lfOrientation;
  w->lfWeight = a.lfWeight;
  w->lfItalic = a.lfItalic;
  w->lfUnderline = a.lfUnderline;
  w->lfStrikeOut = a.lfStrikeOut;
  w->lfCharSet = a.lfCharSet;
  w->lfOutPrecision = a.lfOutPrecision;
  w->lfClipPrecision = a.lfClipPrecision;
  w->lfQuality = a.lfQuality;
  w->lfPitchAndFamily = a.lfPitchAndFamily;
  ArrayToWide(w->lfFaceName, a.lfFaceName);
}

void TextMetricToWide(const TEXTMETRICA& a, TEXTMETRICW* w) {
  w->tmHeight = a.tmHeight;
  w->tmAscent = a.tmAscent;
  w->tmDescent = a.tmDescent;
  w->tmInternalLeading = a.tmInternalLeading;
  w->tmExternalLeading = a.tmExternalLeading;
  w->tmAveCharWidth = a.tmAveCharWidth;
  w->tmMaxCharWidth = a.tmMaxCharWidth;
  w->tmWeight = a.tmWeight;
  w->tmOverhang = a.tmOverhang;
  w->tmDigitizedAspectX = a.tmDigitizedAspectX;
  w->tmDigitizedAspectY = a.tmDigitizedAspectY;
  w->tmFirstChar = CharToWide(a.tmFirstChar);
  w->tmLastChar = CharToWide(a.tmLastChar);
  w->tmDefaultChar = CharToWide(a.tmDefaultChar);
  w->tmBreakChar = CharToWide(a.tmBreakChar);
  w->tmItalic = a.tmItalic;
  w->tmUnderlined = a.tmUnderlined;
  w->tmStruckOut = a.tmStruckOut;
  w->tmPitchAndFamily = a.tmPitchAndFamily;
  w->tmCharSet = a.tmCharSet;
}

// NONCLIENTMETRICSA as Windows 9x knows it (no iPaddedBorderWidth).
struct NonClientMetrics9x {
  UINT cbSize;
  int iBorderWidth;
  int iScrollWidth;
  int iScrollHeight;
  int iCaptionWidth;
  int iCaptionHeight;
  LOGFONTA lfCaptionFont;
  int iSmCaptionWidth;
  int iSmCaptionHeight;
  LOGFONTA lfSmCaptionFont;
  int iMenuWidth;
  int iMenuHeight;
  LOGFONTA lfMenuFont;
  LOGFONTA lfStatusFont;
  LOGFONTA lfMessageFont;
};
static_assert(sizeof(NonClientMetrics9x) == 340, "NONCLIENTMETRICSA of Windows 9x");
// The wide record up to lfMessageFont, which every version of it has.
constexpr UINT kNonClientMetricsWideMin =
    offsetof(NONCLIENTMETRICSW, lfMessageFont) + sizeof(LOGFONTW);

static_assert(sizeof(tagPROCESSENTRY32) == 296, "PROCESSENTRY32 (ANSI)");
static_assert(sizeof(tagMODULEENTRY32) == 548, "MODULEENTRY32 (ANSI)");
static_assert(NOTIFYICONDATAA_V1_SIZE == 88 && NOTIFYICONDATAW_V1_SIZE == 152,
              "NOTIFYICONDATA version 1");
static_assert(NOTIFYICONDATAA_V2_SIZE == 488 && NOTIFYICONDATAW_V2_SIZE == 936,
              "NOTIFYICONDATA version 2");
// Version 3 ends with guidItem (the SDK's own constants need Vista headers).
constexpr DWORD kNotifyIconDataA3Size = offsetof(NOTIFYICONDATAA, guidItem) + sizeof(GUID);
constexpr DWORD kNotifyIconDataW3Size = offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID);
static_assert(kNotifyIconDataA3Size == 504 && kNotifyIconDataW3Size == 952,
              "NOTIFYICONDATA version 3");

void ProcessEntryToWide(const tagPROCESSENTRY32& a, LPPROCESSENTRY32W w) {
  w->cntUsage = a.cntUsage;
  w->th32ProcessID = a.th32ProcessID;
  w->th32DefaultHeapID = a.th32DefaultHeapID;
  w->th32ModuleID = a.th32ModuleID;
  w->cntThreads = a.cntThreads;
  w->th32ParentProcessID = a.th32ParentProcessID;
  w->pcPriClassBase = a.pcPriClassBase;
  w->dwFlags = a.dwFlags;
  ArrayToWide(w->szExeFile, a.szExeFile);
}

BOOL ProcessEntry(OptionalApi::Process32FirstA_t call, HANDLE snapshot,
                  LPPROCESSENTRY32W entry) {
  if (!call) return Fail<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  if (!entry) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  tagPROCESSENTRY32 a{};
  a.dwSize = sizeof a;
  const BOOL ok = call(snapshot, &a);
  if (ok) ProcessEntryToWide(a, entry);
  return ok;
}

// Commdlg's file dialogs: the version 4 record, which is what Windows 9x takes.
BOOL FileDialog(LPOPENFILENAMEW w, decltype(&::GetOpenFileNameA) call) {
  if (!w) return call(nullptr);
  AnsiBlock filter = AnsiBlock::List(w->lpstrFilter);
  AnsiText initial_dir(w->lpstrInitialDir), title(w->lpstrTitle), def_ext(w->lpstrDefExt);
  AnsiName template_name(w->lpTemplateName);

  const DWORD custom_size = w->lpstrCustomFilter ? w->nMaxCustFilter : 0;
  const DWORD file_size = w->lpstrFile ? w->nMaxFile : 0;
  const DWORD title_size = w->lpstrFileTitle ? w->nMaxFileTitle : 0;
  AnsiBuffer custom(custom_size), file(file_size), file_title(title_size);
  if (!filter.ok() || !initial_dir.ok() || !title.ok() || !def_ext.ok() ||
      !template_name.ok() || !custom.ok() || !file.ok() || !file_title.ok()) {
    return OutOfMemory<BOOL>(FALSE);
  }
  if (custom_size) {
    // A pair of texts: the user's last filter (may be empty) and its pattern.
    const size_t first = wcsnlen(w->lpstrCustomFilter, custom_size);
    const size_t second =
        first + 1 < custom_size
            ? wcsnlen(w->lpstrCustomFilter + first + 1, custom_size - first - 1)
            : 0;
    Common::WideToAnsiBuffer(custom.get(), custom_size, U(w->lpstrCustomFilter), first);
    const size_t used = std::strlen(custom.get()) + 1;
    if (first + 1 < custom_size && used < custom_size) {
      Common::WideToAnsiBuffer(custom.get() + used, custom_size - used,
                               U(w->lpstrCustomFilter + first + 1), second);
    }
  }
  if (file_size) Common::WideToAnsiBuffer(file.get(), file_size, U(w->lpstrFile), file_size);

  OPENFILENAMEA a{};
  a.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  a.hwndOwner = w->hwndOwner;
  a.hInstance = w->hInstance;
  a.lpstrFilter = filter.get();
  a.lpstrCustomFilter = custom_size ? custom.get() : nullptr;
  a.nMaxCustFilter = custom_size;
  a.nFilterIndex = w->nFilterIndex;
  a.lpstrFile = file_size ? file.get() : nullptr;
  a.nMaxFile = file_size;
  a.lpstrFileTitle = title_size ? file_title.get() : nullptr;
  a.nMaxFileTitle = title_size;
  a.lpstrInitialDir = initial_dir.get();
  a.lpstrTitle = title.get();
  a.Flags = w->Flags;
  a.lpstrDefExt = def_ext.get();
  a.lCustData = w->lCustData;
  a.lpfnHook = w->lpfnHook;
  a.lpTemplateName = template_name.get();

  const BOOL ok = call(&a);
  w->Flags = a.Flags;
  w->nFilterIndex = a.nFilterIndex;
  if (ok) {
    if (file_size) {
      // With multiple selection the result is a list of texts.
      const int bytes = (a.Flags & OFN_ALLOWMULTISELECT)
                            ? AnsiMultiLength(file.get(), file_size)
                            : static_cast<int>(strnlen(file.get(), file_size));
      const int n = ToWideTruncated(file.get(), bytes, w->lpstrFile, file_size);
      if (static_cast<DWORD>(n) < file_size) w->lpstrFile[n] = L'\0';
      w->nFileOffset = static_cast<WORD>(WideUnits(file.get(), a.nFileOffset));
      w->nFileExtension = static_cast<WORD>(WideUnits(file.get(), a.nFileExtension));
    }
    if (title_size) TextToWide(file_title.get(), title_size, w->lpstrFileTitle, title_size);
    if (custom_size) {
      const int bytes = AnsiMultiLength(custom.get(), custom_size);
      ToWideTruncated(custom.get(), bytes, w->lpstrCustomFilter, custom_size);
    }
  } else if (file_size >= 1 && ::CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
    // The needed size, in the first two bytes of the file buffer.
    std::memcpy(w->lpstrFile, file.get(), sizeof(WCHAR));
  }
  return ok;
}

// The format functions: `call(buffer, size)` is the ANSI function; the result
// is the count of UTF-16 units produced, terminator included.
template <typename Call>
int FormatResult(Call call, LPWSTR out, int cch) {
  if (cch < 0 || (cch > 0 && !out)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (cch == 0) {
    const int need = call(nullptr, 0);
    if (need <= 0) return need;
    AnsiBuffer tmp(need);
    if (!tmp.ok()) return OutOfMemory(0);
    const int r = call(tmp.get(), need);
    return r > 0 ? WideUnits(tmp.get(), r) : r;
  }
  AnsiBuffer tmp(cch);
  if (!tmp.ok()) return OutOfMemory(0);
  const int r = call(tmp.get(), cch);
  if (r <= 0) return r;
  const int n = ToWideExact(tmp.get(), r, out, cch);
  return n > 0 ? n : Fail(ERROR_INSUFFICIENT_BUFFER, 0);
}

// EnumFontFamiliesExW's caller, reached from the ANSI enumeration.
struct FontEnumContext {
  FONTENUMPROCW proc;
  LPARAM param;
};

int CALLBACK FontEnumThunk(const LOGFONTA* font, const TEXTMETRICA* metric, DWORD type,
                           LPARAM context) {
  const auto* ctx = reinterpret_cast<const FontEnumContext*>(context);
  // The enumeration hands over an ENUMLOGFONTEX and, for TrueType fonts, a
  // NEWTEXTMETRICEX; for other fonts only the TEXTMETRIC part is there.
  const auto* elf = reinterpret_cast<const ENUMLOGFONTEXA*>(font);
  ENUMLOGFONTEXW wide_font{};
  LogFontToWide(elf->elfLogFont, &wide_font.elfLogFont);
  ArrayToWide(wide_font.elfFullName, elf->elfFullName);
  ArrayToWide(wide_font.elfStyle, elf->elfStyle);
  ArrayToWide(wide_font.elfScript, elf->elfScript);
  NEWTEXTMETRICEXW wide_metric{};
  TextMetricToWide(*metric, reinterpret_cast<TEXTMETRICW*>(&wide_metric.ntmTm));
  if (type & TRUETYPE_FONTTYPE) {
    const auto* ntm = reinterpret_cast<const NEWTEXTMETRICEXA*>(metric);
    wide_metric.ntmTm.ntmFlags = ntm->ntmTm.ntmFlags;
    wide_metric.ntmTm.ntmSizeEM = ntm->ntmTm.ntmSizeEM;
    wide_metric.ntmTm.ntmCellHeight = ntm->ntmTm.ntmCellHeight;
    wide_metric.ntmTm.ntmAvgWidth = ntm->ntmTm.ntmAvgWidth;
    wide_metric.ntmFontSig = ntm->ntmFontSig;
  }
  return ctx->proc(reinterpret_cast<const LOGFONTW*>(&wide_font),
                   reinterpret_cast<const TEXTMETRICW*>(&wide_metric), type, ctx->param);
}

bool MenuItemIsText(UINT flags) {
  // A bitmap item carries a bitmap handle and an owner-drawn one the
  // application's own value; only other items carry text.
  return (flags & (MF_BITMAP | MF_OWNERDRAW)) == 0;
}

// The desktop and title texts of GetStartupInfoW, kept for the process like
// the system keeps its own (the startup information never changes).
struct StartupTexts {
  WCHAR desktop[MAX_PATH];
  WCHAR title[MAX_PATH];
  bool has_desktop;
  bool has_title;
};

StartupTexts MakeStartupTexts(const STARTUPINFOA& a) {
  StartupTexts t{};
  t.has_desktop = a.lpDesktop != nullptr;
  t.has_title = a.lpTitle != nullptr;
  if (a.lpDesktop) TextToWide(a.lpDesktop, static_cast<size_t>(-1), t.desktop, MAX_PATH);
  if (a.lpTitle) TextToWide(a.lpTitle, static_cast<size_t>(-1), t.title, MAX_PATH);
  return t;
}

}  // namespace

AnsiFunctions& Layer9xAnsi() {
  // Filled on first use, so that it is ready whichever initializer first
  // calls the layer.
  static AnsiFunctions table = RealAnsiFunctions();
  return table;
}

// ---------------------------------------------------------------------------
// Windows and messages

ATOM Layer9x::RegisterClassExW(const WNDCLASSEXW* wc) {
  if (!wc) return Ansi().RegisterClassExA(nullptr);
  AnsiName menu(wc->lpszMenuName), name(wc->lpszClassName);
  if (!menu.ok() || !name.ok()) return OutOfMemory<ATOM>(0);
  WNDCLASSEXA a{};
  a.cbSize = sizeof a;
  a.style = wc->style;
  a.lpfnWndProc = wc->lpfnWndProc;
  a.cbClsExtra = wc->cbClsExtra;
  a.cbWndExtra = wc->cbWndExtra;
  a.hInstance = wc->hInstance;
  a.hIcon = wc->hIcon;
  a.hCursor = wc->hCursor;
  a.hbrBackground = wc->hbrBackground;
  a.lpszMenuName = menu.get();
  a.lpszClassName = name.get();
  a.hIconSm = wc->hIconSm;
  return Ansi().RegisterClassExA(&a);
}

LRESULT Layer9x::DefWindowProcW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return Ansi().DefWindowProcA(wnd, msg, wp, lp);
}

LONG Layer9x::GetWindowLongW(HWND wnd, int index) { return Ansi().GetWindowLongA(wnd, index); }

LONG Layer9x::SetWindowLongW(HWND wnd, int index, LONG value) {
  return Ansi().SetWindowLongA(wnd, index, value);
}

LRESULT Layer9x::SendMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return Ansi().SendMessageA(wnd, msg, wp, lp);
}

BOOL Layer9x::SendNotifyMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return Ansi().SendNotifyMessageA(wnd, msg, wp, lp);
}

BOOL Layer9x::PostMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return Ansi().PostMessageA(wnd, msg, wp, lp);
}

HWND Layer9x::CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl,
                                         HWND parent, DLGPROC proc, LPARAM init) {
  // Dialog templates hold UTF-16 text in both forms.
  return Ansi().CreateDialogIndirectParamA(instance, tmpl, parent, proc, init);
}

BOOL Layer9x::PeekMessageW(LPMSG msg, HWND wnd, UINT filter_min, UINT filter_max,
                           UINT remove) {
  return Ansi().PeekMessageA(msg, wnd, filter_min, filter_max, remove);
}

LRESULT Layer9x::DispatchMessageW(const MSG* msg) { return Ansi().DispatchMessageA(msg); }

UINT Layer9x::RegisterClipboardFormatW(LPCWSTR format) {
  AnsiText a(format);
  if (!a.ok()) return OutOfMemory<UINT>(0);
  return Ansi().RegisterClipboardFormatA(a.get());
}

int Layer9x::GetClipboardFormatNameW(UINT format, LPWSTR name, int cch_max) {
  const size_t size = cch_max > 0 ? static_cast<size_t>(cch_max) : 0;
  AnsiBuffer tmp(size);
  if (!tmp.ok()) return OutOfMemory(0);
  const int r = Ansi().GetClipboardFormatNameA(format, tmp.get(), cch_max);
  return TextResult(r, r > 0, tmp, size, name);
}

// ---------------------------------------------------------------------------
// Files and directories

BOOL Layer9x::FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  WIN32_FIND_DATAA a{};
  const BOOL ok = Ansi().FindNextFileA(find, data ? &a : nullptr);
  if (ok && data) FindDataToWide(a, data);
  return ok;
}

HANDLE Layer9x::FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  AnsiText a_name(name);
  if (!a_name.ok()) return OutOfMemory(INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAA a{};
  const HANDLE find = Ansi().FindFirstFileA(a_name.get(), data ? &a : nullptr);
  if (find != INVALID_HANDLE_VALUE && data) FindDataToWide(a, data);
  return find;
}

DWORD Layer9x::GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
  // Windows 9x paths are at most MAX_PATH bytes, so a MAX_PATH buffer always
  // serves the ANSI call.
  char tmp[MAX_PATH] = {};
  const DWORD r = Ansi().GetCurrentDirectoryA(MAX_PATH, tmp);
  if (r == 0 || r >= MAX_PATH) return r;
  // The caller's buffer bounds the result: when it is too small, nothing is
  // written and the size it needs (terminator included) is returned, as the
  // wide function does.
  const int need = WideUnits(tmp, static_cast<int>(r) + 1);
  if (need <= 0) return 0;
  if (!buffer || static_cast<DWORD>(need) > length) return static_cast<DWORD>(need);
  ToWideExact(tmp, static_cast<int>(r) + 1, buffer, need);
  return r;
}

BOOL Layer9x::SetCurrentDirectoryW(LPCWSTR path) {
  AnsiText a(path);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().SetCurrentDirectoryA(a.get());
}

HANDLE Layer9x::CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                            DWORD disposition, DWORD flags, HANDLE template_file) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory(INVALID_HANDLE_VALUE);
  return Ansi().CreateFileA(a.get(), access, share, sa, disposition, flags, template_file);
}

// ---------------------------------------------------------------------------
// Menus

BOOL Layer9x::AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR item) {
  if (!MenuItemIsText(flags)) {
    return Ansi().AppendMenuA(menu, flags, id, reinterpret_cast<LPCSTR>(item));
  }
  AnsiText a(item);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().AppendMenuA(menu, flags, id, a.get());
}

BOOL Layer9x::ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR item) {
  if (!MenuItemIsText(flags)) {
    return Ansi().ModifyMenuA(menu, position, flags, id, reinterpret_cast<LPCSTR>(item));
  }
  AnsiText a(item);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().ModifyMenuA(menu, position, flags, id, a.get());
}

// ---------------------------------------------------------------------------
// Messages from the system

DWORD Layer9x::FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id,
                              DWORD language_id, LPWSTR buffer, DWORD size,
                              va_list* arguments) {
  const bool from_string = (flags & FORMAT_MESSAGE_FROM_STRING) != 0;
  AnsiText a_source(from_string ? static_cast<LPCWSTR>(source) : nullptr);
  if (!a_source.ok()) return OutOfMemory<DWORD>(0);

  // The ANSI text always comes in a buffer of the system's.
  LPSTR text = nullptr;
  const DWORD r = Ansi().FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        from_string ? a_source.get() : source, message_id,
                                        language_id, reinterpret_cast<LPSTR>(&text), size,
                                        arguments);
  if (r == 0 || !text) {
    if (text) ::LocalFree(text);
    return 0;
  }
  DWORD result = r;
  DWORD error = ERROR_SUCCESS;
  // Units of the text with its terminator.
  const int need = WideUnits(text, static_cast<int>(r) + 1);
  if (need <= 0) {
    result = 0;
    error = ::GetLastError();
  } else if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && !buffer) {
    result = 0;
    error = ERROR_INVALID_PARAMETER;
  } else if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // Room for every unit and the terminator, and at least the caller's
    // minimum size.
    const DWORD units = static_cast<DWORD>(need) > size ? static_cast<DWORD>(need) : size;
    auto* wide = static_cast<LPWSTR>(::LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
    if (!wide) {
      result = 0;
      error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      ToWideExact(text, static_cast<int>(r) + 1, wide, need);
      *reinterpret_cast<LPWSTR*>(buffer) = wide;
    }
  } else if (!buffer || static_cast<DWORD>(need) > size) {
    result = 0;
    error = ERROR_INSUFFICIENT_BUFFER;
  } else {
    ToWideExact(text, static_cast<int>(r) + 1, buffer, need);
  }
  ::LocalFree(text);
  if (error != ERROR_SUCCESS) ::SetLastError(error);
  return result;
}

// ---------------------------------------------------------------------------
// Paths and files

DWORD Layer9x::GetTempPathW(DWORD length, LPWSTR buffer) {
  AnsiBuffer tmp(length);
  if (!tmp.ok()) return OutOfMemory<DWORD>(0);
  const DWORD r = Ansi().GetTempPathA(length, tmp.get());
  return TextResult(r, r > 0 && r < length, tmp, length, buffer);
}

UINT Layer9x::GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique,
                               LPWSTR temp_file_name) {
  AnsiText a_path(path), a_prefix(prefix);
  AnsiBuffer tmp(MAX_PATH);
  if (!a_path.ok() || !a_prefix.ok() || !tmp.ok()) return OutOfMemory<UINT>(0);
  const UINT r = Ansi().GetTempFileNameA(a_path.get(), a_prefix.get(), unique, tmp.get());
  return TextResult(r, r != 0, tmp, MAX_PATH, temp_file_name);
}

DWORD Layer9x::GetLogicalDriveStringsW(DWORD length, LPWSTR buffer) {
  AnsiBuffer tmp(length);
  if (!tmp.ok()) return OutOfMemory<DWORD>(0);
  const DWORD r = Ansi().GetLogicalDriveStringsA(length, tmp.get());
  // A list of texts: r bytes and the final terminator.
  if (r > 0 && r < length && buffer) {
    ToWideTruncated(tmp.get(), static_cast<int>(r) + 1, buffer, static_cast<int>(length));
  }
  return r;
}

UINT Layer9x::GetDriveTypeW(LPCWSTR root) {
  AnsiText a(root);
  if (!a.ok()) return OutOfMemory<UINT>(DRIVE_UNKNOWN);
  return Ansi().GetDriveTypeA(a.get());
}

UINT Layer9x::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  AnsiBuffer tmp(size);
  if (!tmp.ok()) return OutOfMemory<UINT>(0);
  const UINT r = Ansi().GetSystemDirectoryA(tmp.get(), size);
  return TextResult(r, r > 0 && r < size, tmp, size, buffer);
}

UINT Layer9x::GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  AnsiBuffer tmp(size);
  if (!tmp.ok()) return OutOfMemory<UINT>(0);
  const UINT r = Ansi().GetWindowsDirectoryA(tmp.get(), size);
  return TextResult(r, r > 0 && r < size, tmp, size, buffer);
}

DWORD Layer9x::GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD cch) {
  AnsiText a(long_path);
  AnsiBuffer tmp(cch);
  if (!a.ok() || !tmp.ok()) return OutOfMemory<DWORD>(0);
  const DWORD r = Ansi().GetShortPathNameA(a.get(), tmp.get(), cch);
  return TextResult(r, r > 0 && r < cch, tmp, cch, short_path);
}

BOOL Layer9x::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  AnsiText a(path);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().CreateDirectoryA(a.get(), sa);
}

BOOL Layer9x::RemoveDirectoryW(LPCWSTR path) {
  AnsiText a(path);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().RemoveDirectoryA(a.get());
}

DWORD Layer9x::GetFileAttributesW(LPCWSTR name) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory(INVALID_FILE_ATTRIBUTES);
  return Ansi().GetFileAttributesA(a.get());
}

BOOL Layer9x::SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().SetFileAttributesA(a.get(), attributes);
}

BOOL Layer9x::DeleteFileW(LPCWSTR name) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().DeleteFileA(a.get());
}

BOOL Layer9x::CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) {
  AnsiText a_existing(existing), a_new(new_name);
  if (!a_existing.ok() || !a_new.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().CopyFileA(a_existing.get(), a_new.get(), fail_if_exists);
}

BOOL Layer9x::MoveFileW(LPCWSTR existing, LPCWSTR new_name) {
  AnsiText a_existing(existing), a_new(new_name);
  if (!a_existing.ok() || !a_new.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().MoveFileA(a_existing.get(), a_new.get());
}

BOOL Layer9x::MoveFileExW(LPCWSTR, LPCWSTR, DWORD) {
  // Windows 9x has no MoveFileEx; callers that need a move at the next start
  // write WININIT.INI themselves.
  return TRUE;
}

DWORD Layer9x::GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer,
                                LPWSTR* file_part) {
  AnsiText a(name);
  AnsiBuffer tmp(length);
  if (!a.ok() || !tmp.ok()) return OutOfMemory<DWORD>(0);
  LPSTR a_file_part = nullptr;
  const DWORD r = Ansi().GetFullPathNameA(a.get(), length, tmp.get(), &a_file_part);
  if (r == 0 || r >= length || !buffer) return r;
  TextToWide(tmp.get(), length, buffer, length);
  if (file_part) {
    *file_part = a_file_part ? buffer + WideUnits(tmp.get(),
                                                  static_cast<int>(a_file_part - tmp.get()))
                             : nullptr;
  }
  return r;
}

BOOL Layer9x::SetWindowTextW(HWND wnd, LPCWSTR text) {
  AnsiText a(text);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().SetWindowTextA(wnd, a.get());
}

void Layer9x::OutputDebugStringW(LPCWSTR text) {
  AnsiText a(text);
  if (a.ok()) Ansi().OutputDebugStringA(a.get());
}

// ---------------------------------------------------------------------------
// Registry

LONG Layer9x::RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam,
                            PHKEY result) {
  AnsiText a(subkey);
  if (!a.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  return Ansi().RegOpenKeyExA(key, a.get(), options, sam, result);
}

LONG Layer9x::RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class,
                              DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa,
                              PHKEY result, LPDWORD disposition) {
  AnsiText a_subkey(subkey), a_class(key_class);
  if (!a_subkey.ok() || !a_class.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  return Ansi().RegCreateKeyExA(key, a_subkey.get(), reserved, a_class.data(), options, sam,
                                sa, result, disposition);
}

LONG Layer9x::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                            LPDWORD reserved, LPWSTR key_class, LPDWORD cch_class,
                            PFILETIME last_write) {
  // The ANSI buffers have half the caller's counts, so that the converted
  // texts always fit the caller's buffers.
  const DWORD name_capacity = cch_name ? *cch_name : 0;
  const DWORD class_capacity = cch_class ? *cch_class : 0;
  DWORD a_name_count = name_capacity / 2;
  DWORD a_class_count = class_capacity / 2;
  AnsiBuffer a_name(a_name_count), a_class(a_class_count);
  if (!a_name.ok() || !a_class.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  const LONG rc = Ansi().RegEnumKeyExA(key, index, name ? a_name.get() : nullptr,
                                       cch_name ? &a_name_count : nullptr, reserved,
                                       key_class ? a_class.get() : nullptr,
                                       cch_class ? &a_class_count : nullptr, last_write);
  if (rc != ERROR_SUCCESS) return rc;
  if (name && cch_name) {
    *cch_name = static_cast<DWORD>(TextToWide(a_name.get(), name_capacity / 2, name,
                                              name_capacity));
  }
  if (key_class && cch_class) {
    *cch_class = static_cast<DWORD>(TextToWide(a_class.get(), class_capacity / 2, key_class,
                                               class_capacity));
  }
  return rc;
}

LONG Layer9x::RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                            LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data) {
  const DWORD name_capacity = cch_name ? *cch_name : 0;
  const DWORD data_capacity = cb_data ? *cb_data : 0;
  DWORD a_name_count = name_capacity;
  DWORD a_data_count = data_capacity;
  AnsiBuffer a_name(name_capacity), a_data(data_capacity);
  if (!a_name.ok() || !a_data.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD value_type = REG_NONE;
  const LONG rc = Ansi().RegEnumValueA(
      key, index, name ? a_name.get() : nullptr, cch_name ? &a_name_count : nullptr, reserved,
      &value_type, data ? reinterpret_cast<LPBYTE>(a_data.get()) : nullptr,
      cb_data ? &a_data_count : nullptr);
  if (type) *type = value_type;
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return rc;
  if (rc == ERROR_MORE_DATA) {
    if (cb_data) *cb_data = value_type == REG_SZ ? 2 * a_data_count : a_data_count;
    return rc;
  }
  if (name && cch_name) {
    *cch_name = static_cast<DWORD>(TextToWide(a_name.get(), name_capacity, name, name_capacity));
  }
  if (!cb_data) return rc;
  if (!data) {
    // Only the size was asked for: the size the UTF-16 text needs.
    *cb_data = value_type == REG_SZ ? 2 * a_data_count : a_data_count;
    return rc;
  }
  if (value_type != REG_SZ) {
    std::memcpy(data, a_data.get(), a_data_count);
    *cb_data = a_data_count;
    return rc;
  }
  // REG_SZ: converted only when the caller's buffer holds twice the ANSI bytes.
  if (data_capacity < 2 * a_data_count) return ERROR_INVALID_FUNCTION;
  std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[a_data_count ? a_data_count : 1]);
  if (!wide) return ERROR_NOT_ENOUGH_MEMORY;
  const int units = ToWideExact(a_data.get(), static_cast<int>(a_data_count), wide.get(),
                                static_cast<int>(a_data_count));
  std::memcpy(data, wide.get(), units * sizeof(WCHAR));
  *cb_data = static_cast<DWORD>(units * sizeof(WCHAR));
  return rc;
}

LONG Layer9x::RegDeleteKeyW(HKEY key, LPCWSTR subkey) {
  AnsiText a(subkey);
  if (!a.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  return Ansi().RegDeleteKeyA(key, a.get());
}

LONG Layer9x::RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                             const BYTE* data, DWORD cb_data) {
  AnsiText a_name(name);
  if (!a_name.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  if (type != REG_SZ || !data) {
    return Ansi().RegSetValueExA(key, a_name.get(), reserved, type, data, cb_data);
  }
  // The text ends at its terminator or at the end of the data.
  const auto* text = reinterpret_cast<LPCWSTR>(data);
  AnsiText a_text(text, cb_data / sizeof(WCHAR));
  if (!a_text.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  return Ansi().RegSetValueExA(key, a_name.get(), reserved, type,
                               reinterpret_cast<const BYTE*>(a_text.get()),
                               static_cast<DWORD>(std::strlen(a_text.get())) + 1);
}

LONG Layer9x::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                               LPBYTE data, LPDWORD cb_data) {
  AnsiText a_name(name);
  if (!a_name.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  if (data && !cb_data) return ERROR_INVALID_PARAMETER;
  // A caller that expects text gets half its byte count for the ANSI text.
  const bool expects_text = type && IsStringType(*type);
  const DWORD capacity = cb_data ? *cb_data : 0;
  DWORD a_count = expects_text ? capacity / 2 : capacity;
  AnsiBuffer a_data(a_count);
  if (!a_data.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD value_type = REG_NONE;
  const LONG rc = Ansi().RegQueryValueExA(key, a_name.get(), reserved, &value_type,
                                          data ? reinterpret_cast<LPBYTE>(a_data.get())
                                               : nullptr,
                                          cb_data ? &a_count : nullptr);
  if (type) *type = value_type;
  if (!cb_data || (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA)) return rc;
  const bool text = IsStringType(value_type);
  if (rc == ERROR_MORE_DATA || !data) {
    *cb_data = text ? 2 * a_count : a_count;
    return rc;
  }
  if (!text) {
    std::memcpy(data, a_data.get(), a_count);
    *cb_data = a_count;
    return rc;
  }
  // Text: converted to UTF-16 into the caller's buffer, which bounds it (the
  // ANSI text may fill the whole buffer when the caller did not say it
  // expects text).
  const int units = WideUnits(a_data.get(), static_cast<int>(a_count));
  if (a_count > 0 && units <= 0) return static_cast<LONG>(::GetLastError());
  const DWORD bytes = static_cast<DWORD>(units) * sizeof(WCHAR);
  *cb_data = bytes;
  if (bytes > capacity) return ERROR_MORE_DATA;
  std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[units ? units : 1]);
  if (!wide) return ERROR_NOT_ENOUGH_MEMORY;
  ToWideExact(a_data.get(), static_cast<int>(a_count), wide.get(), units);
  std::memcpy(data, wide.get(), bytes);
  return rc;
}

LONG Layer9x::RegDeleteValueW(HKEY key, LPCWSTR name) {
  AnsiText a(name);
  if (!a.ok()) return ERROR_NOT_ENOUGH_MEMORY;
  return Ansi().RegDeleteValueA(key, a.get());
}

// ---------------------------------------------------------------------------
// Fonts and system parameters

BOOL Layer9x::SystemParametersInfoW(UINT action, UINT param, PVOID pv, UINT win_ini) {
  if (action != SPI_GETNONCLIENTMETRICS) {
    return Ansi().SystemParametersInfoA(action, param, pv, win_ini);
  }
  auto* w = static_cast<NONCLIENTMETRICSW*>(pv);
  if (!w || w->cbSize < kNonClientMetricsWideMin) {
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  NonClientMetrics9x a{};
  a.cbSize = sizeof a;
  const BOOL ok = Ansi().SystemParametersInfoA(action, sizeof a, &a, win_ini);
  if (!ok) return ok;
  w->iBorderWidth = a.iBorderWidth;
  w->iScrollWidth = a.iScrollWidth;
  w->iScrollHeight = a.iScrollHeight;
  w->iCaptionWidth = a.iCaptionWidth;
  w->iCaptionHeight = a.iCaptionHeight;
  LogFontToWide(a.lfCaptionFont, &w->lfCaptionFont);
  w->iSmCaptionWidth = a.iSmCaptionWidth;
  w->iSmCaptionHeight = a.iSmCaptionHeight;
  LogFontToWide(a.lfSmCaptionFont, &w->lfSmCaptionFont);
  w->iMenuWidth = a.iMenuWidth;
  w->iMenuHeight = a.iMenuHeight;
  LogFontToWide(a.lfMenuFont, &w->lfMenuFont);
  LogFontToWide(a.lfStatusFont, &w->lfStatusFont);
  LogFontToWide(a.lfMessageFont, &w->lfMessageFont);
  return ok;
}

HFONT Layer9x::CreateFontIndirectW(const LOGFONTW* font) {
  if (!font) return Ansi().CreateFontIndirectA(nullptr);
  LOGFONTA a{};
  LogFontToAnsi(*font, &a);
  return Ansi().CreateFontIndirectA(&a);
}

BOOL Layer9x::GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics) {
  TEXTMETRICA a{};
  const BOOL ok = Ansi().GetTextMetricsA(dc, metrics ? &a : nullptr);
  if (ok && metrics) TextMetricToWide(a, metrics);
  return ok;
}

int Layer9x::EnumFontFamiliesExW(HDC dc, LPLOGFONTW font, FONTENUMPROCW proc, LPARAM param,
                                 DWORD flags) {
  LOGFONTA a{};
  if (font) LogFontToAnsi(*font, &a);
  FontEnumContext context{proc, param};
  return Ansi().EnumFontFamiliesExA(dc, font ? &a : nullptr, proc ? FontEnumThunk : nullptr,
                                    reinterpret_cast<LPARAM>(&context), flags);
}

DWORD Layer9x::ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) {
  AnsiText a(source);
  AnsiBuffer tmp(size);
  if (!a.ok() || !tmp.ok()) return OutOfMemory<DWORD>(0);
  // The result counts the terminator.
  const DWORD r = Ansi().ExpandEnvironmentStringsA(a.get(), tmp.get(), size);
  return TextResult(r, r > 0 && r <= size, tmp, size, dest);
}

// ---------------------------------------------------------------------------
// Common dialogs, keyboard, help

BOOL Layer9x::GetOpenFileNameW(LPOPENFILENAMEW ofn) {
  return FileDialog(ofn, Ansi().GetOpenFileNameA);
}

BOOL Layer9x::GetSaveFileNameW(LPOPENFILENAMEW ofn) {
  return FileDialog(ofn, Ansi().GetSaveFileNameA);
}

SHORT Layer9x::VkKeyScanW(WCHAR ch) {
  char a[4];
  // A character that is not one ANSI byte has no key.
  if (::WideCharToMultiByte(CP_ACP, 0, &ch, 1, a, sizeof a, nullptr, nullptr) != 1) return -1;
  return Ansi().VkKeyScanA(a[0]);
}

SHORT Layer9x::VkKeyScanExW(WCHAR ch, HKL layout) {
  char a[4];
  if (::WideCharToMultiByte(CP_ACP, 0, &ch, 1, a, sizeof a, nullptr, nullptr) != 1) return -1;
  return Ansi().VkKeyScanExA(a[0], layout);
}

BOOL Layer9x::WinHelpW(HWND wnd, LPCWSTR help_file, UINT command, ULONG_PTR data) {
  // The keyword and macro commands carry text in their data.
  const bool data_is_text =
      (command == HELP_KEY || command == HELP_PARTIALKEY || command == HELP_COMMAND) && data;
  AnsiText a_file(help_file);
  AnsiText a_data(data_is_text ? reinterpret_cast<LPCWSTR>(data) : nullptr);
  if (!a_file.ok() || !a_data.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().WinHelpA(wnd, a_file.get(), command,
                         data_is_text ? reinterpret_cast<ULONG_PTR>(a_data.get()) : data);
}

// ---------------------------------------------------------------------------
// Modules and processes

HMODULE Layer9x::LoadLibraryW(LPCWSTR name) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<HMODULE>(nullptr);
  return Ansi().LoadLibraryA(a.get());
}

HMODULE Layer9x::LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<HMODULE>(nullptr);
  return Ansi().LoadLibraryExA(a.get(), file, flags);
}

BOOL Layer9x::CreateProcessW(LPCWSTR application, LPWSTR command_line,
                             LPSECURITY_ATTRIBUTES process_sa, LPSECURITY_ATTRIBUTES thread_sa,
                             BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                             LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                             LPPROCESS_INFORMATION process_info) {
  AnsiText a_application(application), a_command(command_line), a_directory(current_directory);
  // A UTF-16 environment block becomes an ANSI one.
  const bool wide_environment =
      environment && (creation_flags & CREATE_UNICODE_ENVIRONMENT) != 0;
  AnsiBlock a_environment =
      wide_environment ? AnsiBlock::List(static_cast<LPCWSTR>(environment)) : AnsiBlock();
  AnsiText a_reserved, a_desktop, a_title;
  if (startup_info) {
    a_reserved = AnsiText(startup_info->lpReserved);
    a_desktop = AnsiText(startup_info->lpDesktop);
    a_title = AnsiText(startup_info->lpTitle);
  }
  if (!a_application.ok() || !a_command.ok() || !a_directory.ok() || !a_environment.ok() ||
      !a_reserved.ok() || !a_desktop.ok() || !a_title.ok()) {
    return OutOfMemory<BOOL>(FALSE);
  }
  STARTUPINFOA a{};
  if (startup_info) {
    a.cb = sizeof a;
    a.lpReserved = a_reserved.data();
    a.lpDesktop = a_desktop.data();
    a.lpTitle = a_title.data();
    a.dwX = startup_info->dwX;
    a.dwY = startup_info->dwY;
    a.dwXSize = startup_info->dwXSize;
    a.dwYSize = startup_info->dwYSize;
    a.dwXCountChars = startup_info->dwXCountChars;
    a.dwYCountChars = startup_info->dwYCountChars;
    a.dwFillAttribute = startup_info->dwFillAttribute;
    a.dwFlags = startup_info->dwFlags;
    a.wShowWindow = startup_info->wShowWindow;
    a.cbReserved2 = startup_info->cbReserved2;
    a.lpReserved2 = startup_info->lpReserved2;
    a.hStdInput = startup_info->hStdInput;
    a.hStdOutput = startup_info->hStdOutput;
    a.hStdError = startup_info->hStdError;
  }
  return Ansi().CreateProcessA(
      a_application.get(), a_command.data(), process_sa, thread_sa, inherit_handles,
      wide_environment ? creation_flags & ~CREATE_UNICODE_ENVIRONMENT : creation_flags,
      wide_environment ? static_cast<LPVOID>(a_environment.data()) : environment,
      a_directory.get(), startup_info ? &a : nullptr, process_info);
}

void Layer9x::GetStartupInfoW(LPSTARTUPINFOW startup_info) {
  if (!startup_info) return;
  STARTUPINFOA a{};
  a.cb = sizeof a;
  Ansi().GetStartupInfoA(&a);
  static const StartupTexts texts = MakeStartupTexts(a);
  startup_info->cb = sizeof *startup_info;
  startup_info->lpReserved = nullptr;
  startup_info->lpDesktop = texts.has_desktop ? const_cast<LPWSTR>(texts.desktop) : nullptr;
  startup_info->lpTitle = texts.has_title ? const_cast<LPWSTR>(texts.title) : nullptr;
  startup_info->dwX = a.dwX;
  startup_info->dwY = a.dwY;
  startup_info->dwXSize = a.dwXSize;
  startup_info->dwYSize = a.dwYSize;
  startup_info->dwXCountChars = a.dwXCountChars;
  startup_info->dwYCountChars = a.dwYCountChars;
  startup_info->dwFillAttribute = a.dwFillAttribute;
  startup_info->dwFlags = a.dwFlags;
  startup_info->wShowWindow = a.wShowWindow;
  startup_info->cbReserved2 = a.cbReserved2;
  startup_info->lpReserved2 = a.lpReserved2;
  startup_info->hStdInput = a.hStdInput;
  startup_info->hStdOutput = a.hStdOutput;
  startup_info->hStdError = a.hStdError;
}

BOOL Layer9x::GetUserNameW(LPWSTR buffer, LPDWORD size) {
  if (!size) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  const DWORD capacity = *size;
  AnsiBuffer tmp(capacity);
  if (!tmp.ok()) return OutOfMemory<BOOL>(FALSE);
  DWORD count = capacity;
  const BOOL ok = Ansi().GetUserNameA(tmp.get(), &count);
  if (!ok) {
    *size = count;
    return ok;
  }
  // The count includes the terminator.
  if (!buffer) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  *size = static_cast<DWORD>(TextToWide(tmp.get(), capacity, buffer, capacity)) + 1;
  return ok;
}

BOOL Layer9x::GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  if (!size) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  const DWORD capacity = *size;
  AnsiBuffer tmp(capacity);
  if (!tmp.ok()) return OutOfMemory<BOOL>(FALSE);
  DWORD count = capacity;
  const BOOL ok = Ansi().GetComputerNameA(tmp.get(), &count);
  if (!ok) {
    *size = count;
    return ok;
  }
  // The count leaves the terminator out.
  if (!buffer) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  *size = static_cast<DWORD>(TextToWide(tmp.get(), capacity, buffer, capacity));
  return ok;
}

BOOL Layer9x::SetComputerNameW(LPCWSTR name) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().SetComputerNameA(a.get());
}

DWORD Layer9x::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  AnsiBuffer tmp(size);
  if (!tmp.ok()) return OutOfMemory<DWORD>(0);
  const DWORD r = Ansi().GetModuleFileNameA(module, tmp.get(), size);
  // A path that filled the whole buffer may lack its terminator; the
  // converted one is cut to fit the caller's buffer with its terminator.
  return TextResult(r, r > 0, tmp, size, buffer);
}

// ---------------------------------------------------------------------------
// Locale

int Layer9x::GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cch) {
  if (type & LOCALE_RETURN_NUMBER) {
    // A number, not text: the ANSI function writes the same DWORD.
    const int r = Ansi().GetLocaleInfoA(locale, type, reinterpret_cast<LPSTR>(data),
                                        cch * static_cast<int>(sizeof(WCHAR)));
    return r / static_cast<int>(sizeof(WCHAR));
  }
  if (cch <= 0) return Ansi().GetLocaleInfoA(locale, type, nullptr, cch);
  AnsiBuffer tmp(cch);
  if (!tmp.ok()) return OutOfMemory(0);
  const int r = Ansi().GetLocaleInfoA(locale, type, tmp.get(), cch);
  return TextResult(r, r > 0, tmp, static_cast<size_t>(cch), data);
}

int Layer9x::GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                            LPWSTR buffer, int cch) {
  AnsiText a_format(format);
  if (!a_format.ok()) return OutOfMemory(0);
  return FormatResult(
      [&](LPSTR out, int size) {
        return Ansi().GetTimeFormatA(locale, flags, time, a_format.get(), out, size);
      },
      buffer, cch);
}

int Layer9x::GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                            LPWSTR buffer, int cch) {
  AnsiText a_format(format);
  if (!a_format.ok()) return OutOfMemory(0);
  return FormatResult(
      [&](LPSTR out, int size) {
        return Ansi().GetDateFormatA(locale, flags, date, a_format.get(), out, size);
      },
      buffer, cch);
}

int Layer9x::GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value,
                              const NUMBERFMTW* format, LPWSTR buffer, int cch) {
  AnsiText a_value(value);
  AnsiText a_decimal(format ? format->lpDecimalSep : nullptr);
  AnsiText a_thousand(format ? format->lpThousandSep : nullptr);
  if (!a_value.ok() || !a_decimal.ok() || !a_thousand.ok()) return OutOfMemory(0);
  NUMBERFMTA a{};
  if (format) {
    a.NumDigits = format->NumDigits;
    a.LeadingZero = format->LeadingZero;
    a.Grouping = format->Grouping;
    a.lpDecimalSep = a_decimal.data();
    a.lpThousandSep = a_thousand.data();
    a.NegativeOrder = format->NegativeOrder;
  }
  return FormatResult(
      [&](LPSTR out, int size) {
        return Ansi().GetNumberFormatA(locale, flags, a_value.get(), format ? &a : nullptr,
                                       out, size);
      },
      buffer, cch);
}

// ---------------------------------------------------------------------------
// Shell

HINSTANCE Layer9x::ShellExecuteW(HWND wnd, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                                 LPCWSTR directory, INT show) {
  AnsiText a_operation(operation), a_file(file), a_parameters(parameters),
      a_directory(directory);
  if (!a_operation.ok() || !a_file.ok() || !a_parameters.ok() || !a_directory.ok()) {
    // ShellExecute's own code for a lack of memory.
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(SE_ERR_OOM));
  }
  return Ansi().ShellExecuteA(wnd, a_operation.get(), a_file.get(), a_parameters.get(),
                              a_directory.get(), show);
}

BOOL Layer9x::ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  if (!info) return Ansi().ShellExecuteExA(nullptr);
  // lpClass counts only with SEE_MASK_CLASSNAME (SEE_MASK_CLASSKEY uses hkeyClass).
  const bool has_class = (info->fMask & SEE_MASK_CLASSKEY) == SEE_MASK_CLASSNAME;
  AnsiText a_verb(info->lpVerb), a_file(info->lpFile), a_parameters(info->lpParameters),
      a_directory(info->lpDirectory), a_class(has_class ? info->lpClass : nullptr);
  if (!a_verb.ok() || !a_file.ok() || !a_parameters.ok() || !a_directory.ok() ||
      !a_class.ok()) {
    return OutOfMemory<BOOL>(FALSE);
  }
  SHELLEXECUTEINFOA a{};
  a.cbSize = sizeof a;
  a.fMask = info->fMask;
  a.hwnd = info->hwnd;
  a.lpVerb = a_verb.get();
  a.lpFile = a_file.get();
  a.lpParameters = a_parameters.get();
  a.lpDirectory = a_directory.get();
  a.nShow = info->nShow;
  a.lpIDList = info->lpIDList;
  a.lpClass = a_class.get();
  a.hkeyClass = info->hkeyClass;
  a.dwHotKey = info->dwHotKey;
  a.hIcon = info->hIcon;
  const BOOL ok = Ansi().ShellExecuteExA(&a);
  info->hInstApp = a.hInstApp;
  info->hProcess = a.hProcess;
  return ok;
}

DWORD_PTR Layer9x::SHGetFileInfoW(LPCWSTR path, DWORD attributes, SHFILEINFOW* info,
                                  UINT cb_info, UINT flags) {
  // With SHGFI_PIDL the "path" is an item id list.
  const bool by_pidl = (flags & SHGFI_PIDL) != 0;
  AnsiText a_path(by_pidl ? nullptr : path);
  if (!a_path.ok()) return OutOfMemory<DWORD_PTR>(0);
  SHFILEINFOA a{};
  if (info) {
    a.hIcon = info->hIcon;
    a.iIcon = info->iIcon;
    a.dwAttributes = info->dwAttributes;
  }
  const DWORD_PTR r =
      Ansi().SHGetFileInfoA(by_pidl ? reinterpret_cast<LPCSTR>(path) : a_path.get(), attributes,
                            info ? &a : nullptr, info ? sizeof a : 0, flags);
  if (r && info) {
    info->hIcon = a.hIcon;
    info->iIcon = a.iIcon;
    info->dwAttributes = a.dwAttributes;
    // The texts only when asked for, so that the others stay as they were.
    if (flags & (SHGFI_DISPLAYNAME | SHGFI_ICONLOCATION)) {
      ArrayToWide(info->szDisplayName, a.szDisplayName);
    }
    if (flags & SHGFI_TYPENAME) ArrayToWide(info->szTypeName, a.szTypeName);
  }
  return r;
}

BOOL Layer9x::SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) {
  char tmp[MAX_PATH] = {};
  const BOOL ok = Ansi().SHGetPathFromIDListA(pidl, tmp);
  // The path result is limited to MAX_PATH units.
  if (ok && path) TextToWide(tmp, MAX_PATH, path, MAX_PATH);
  return ok;
}

// ---------------------------------------------------------------------------
// Tool help, version resources

BOOL Layer9x::Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  return ProcessEntry(OptionalApi::Process32FirstA, snapshot, entry);
}

BOOL Layer9x::Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  return ProcessEntry(OptionalApi::Process32NextA, snapshot, entry);
}

BOOL Layer9x::Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry) {
  if (!OptionalApi::Module32FirstA) return Fail<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  if (!entry) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  tagMODULEENTRY32 a{};
  a.dwSize = sizeof a;
  const BOOL ok = OptionalApi::Module32FirstA(snapshot, &a);
  if (!ok) return ok;
  entry->th32ModuleID = a.th32ModuleID;
  entry->th32ProcessID = a.th32ProcessID;
  entry->GlblcntUsage = a.GlblcntUsage;
  entry->ProccntUsage = a.ProccntUsage;
  entry->modBaseAddr = a.modBaseAddr;
  entry->modBaseSize = a.modBaseSize;
  entry->hModule = a.hModule;
  ArrayToWide(entry->szModule, a.szModule);
  ArrayToWide(entry->szExePath, a.szExePath);
  return ok;
}

DWORD Layer9x::GetFileVersionInfoSizeW(LPCWSTR name, LPDWORD handle) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<DWORD>(0);
  return Ansi().GetFileVersionInfoSizeA(a.get(), handle);
}

BOOL Layer9x::GetFileVersionInfoW(LPCWSTR name, DWORD handle, DWORD length, LPVOID data) {
  AnsiText a(name);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().GetFileVersionInfoA(a.get(), handle, length, data);
}

BOOL Layer9x::VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) {
  AnsiText a(sub_block);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().VerQueryValueA(block, a.get(), buffer, length);
}

// ---------------------------------------------------------------------------
// Console and environment

BOOL Layer9x::WriteConsoleW(HANDLE console, const VOID* buffer, DWORD chars, LPDWORD written,
                            LPVOID reserved) {
  // The console's output code page, not the ANSI one.
  const UINT code_page = ::GetConsoleOutputCP();
  AnsiBlock a(static_cast<LPCWSTR>(buffer), static_cast<int>(chars), code_page);
  if (!a.ok()) return OutOfMemory<BOOL>(FALSE);
  DWORD a_written = 0;
  const BOOL ok = Ansi().WriteConsoleA(console, a.get(), static_cast<DWORD>(a.length()),
                                       &a_written, reserved);
  if (written) {
    // Counted in the caller's units.
    *written = !ok ? 0
               : a_written >= static_cast<DWORD>(a.length())
                   ? chars
                   : static_cast<DWORD>(WideUnits(a.get(), static_cast<int>(a_written),
                                                  code_page));
  }
  return ok;
}

DWORD Layer9x::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  AnsiText a(name);
  AnsiBuffer tmp(size);
  if (!a.ok() || !tmp.ok()) return OutOfMemory<DWORD>(0);
  const DWORD r = Ansi().GetEnvironmentVariableA(a.get(), tmp.get(), size);
  return TextResult(r, r > 0 && r < size, tmp, size, buffer);
}

BOOL Layer9x::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  AnsiText a_name(name), a_value(value);
  if (!a_name.ok() || !a_value.ok()) return OutOfMemory<BOOL>(FALSE);
  return Ansi().SetEnvironmentVariableA(a_name.get(), a_value.get());
}

// ---------------------------------------------------------------------------
// Notification area

BOOL Layer9x::Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAW data) {
  if (!data) return Ansi().Shell_NotifyIconA(message, nullptr);
  // The ANSI record of the same version as the caller's (by its size field);
  // fields beyond the caller's version are not read.
  NOTIFYICONDATAA a{};
  a.hWnd = data->hWnd;
  a.uID = data->uID;
  a.uFlags = data->uFlags;
  a.uCallbackMessage = data->uCallbackMessage;
  a.hIcon = data->hIcon;
  if (data->cbSize >= NOTIFYICONDATAW_V2_SIZE) {
    a.cbSize = NOTIFYICONDATAA_V2_SIZE;
    ArrayToAnsi(a.szTip, data->szTip);
    a.dwState = data->dwState;
    a.dwStateMask = data->dwStateMask;
    ArrayToAnsi(a.szInfo, data->szInfo);
    a.uTimeout = data->uTimeout;
    ArrayToAnsi(a.szInfoTitle, data->szInfoTitle);
    a.dwInfoFlags = data->dwInfoFlags;
    if (data->cbSize >= kNotifyIconDataW3Size) {
      a.cbSize = kNotifyIconDataA3Size;
      a.guidItem = data->guidItem;
    }
  } else {
    a.cbSize = NOTIFYICONDATAA_V1_SIZE;
    Common::WideToAnsiBuffer(a.szTip, 64, U(data->szTip), 64);
  }
  return Ansi().Shell_NotifyIconA(message, &a);
}

}  // namespace Windows
