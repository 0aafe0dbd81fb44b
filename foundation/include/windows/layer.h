// The Windows layer: the one object through which the system calls the Win32
// functions that take or return text, and the optional system functions that
// older Windows versions lack, bound at start-up.
//
// Windows-only header: it includes <windows.h>, so only Windows sources may
// include it.
//
// - Windows::LayerNT (NT family): every operation has the name, arguments,
//   result and meaning of the wide Win32 function it mirrors and calls that
//   function (or the matching OptionalApi pointer) unchanged.
// - Windows::Layer9x (Windows 9x): the same operations, carried out by the
//   ANSI functions with the text converted between UTF-16 and the ANSI code
//   page. Its ANSI calls go through Windows::Layer9xAnsi(), a table of
//   function pointers that defaults to the real ANSI imports.
// - WindowsLayerInstance: the process's layer object, made before main.
// - OptionalApi: functions looked up with GetProcAddress on modules that are
//   already loaded; a missing one is null.
// - RegistryView64Flag / RegistryView32Flag: KEY_WOW64_64KEY / KEY_WOW64_32KEY
//   on Windows XP and later, 0 before, for ORing into registry access masks.
//
// Layer operations report failure exactly as the mirrored function does
// (result and GetLastError) and never throw.
#ifndef PURGEKIT_FOUNDATION_WINDOWS_LAYER_H
#define PURGEKIT_FOUNDATION_WINDOWS_LAYER_H

#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <wincred.h>
#include <winnetwk.h>
#include <winver.h>

#include <cstdarg>

// Start-up order. The optional functions, the registry-view flags and the
// layer object are used by other subsystems' static initializers (the message
// catalog load before main reads files through the layer), so they must exist
// before any of those run. C++ leaves the order of initializers in different
// translation units unspecified; GCC's init_priority fixes it: every
// prioritized initializer runs before all ordinary ones, lower numbers first,
// and destructors run in the reverse order, so the layer also outlives every
// ordinary static's destructor. The optional functions come first because
// the layer's constructor-time choice and its operations use them.
// A subsystem whose own static initializer must run before ordinary ones but
// after the layer uses a priority above PURGEKIT_INIT_PRIORITY_WINDOWS_LAYER.
#define PURGEKIT_INIT_PRIORITY_OPTIONAL_API 101
#define PURGEKIT_INIT_PRIORITY_WINDOWS_LAYER 102

namespace Windows {

class LayerNT {
 public:
  LayerNT() = default;
  LayerNT(const LayerNT&) = delete;
  LayerNT& operator=(const LayerNT&) = delete;
  virtual ~LayerNT();

  // The 93 operations, in this order (the order of the virtual table).
  virtual ATOM RegisterClassExW(const WNDCLASSEXW* wc);
  virtual LRESULT DefWindowProcW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  virtual LONG GetWindowLongW(HWND wnd, int index);
  virtual LONG SetWindowLongW(HWND wnd, int index, LONG value);
  virtual LRESULT SendMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  virtual BOOL SendNotifyMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  virtual BOOL PostMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  virtual HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl,
                                          HWND parent, DLGPROC proc, LPARAM init);
  virtual BOOL PeekMessageW(LPMSG msg, HWND wnd, UINT filter_min, UINT filter_max,
                            UINT remove);
  virtual LRESULT DispatchMessageW(const MSG* msg);
  virtual UINT RegisterClipboardFormatW(LPCWSTR format);
  virtual int GetClipboardFormatNameW(UINT format, LPWSTR name, int cch_max);
  virtual BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
  virtual HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data);
  virtual DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer);
  virtual BOOL SetCurrentDirectoryW(LPCWSTR path);
  virtual HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                             HANDLE template_file);
  virtual BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR item);
  virtual BOOL ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id,
                           LPCWSTR item);
  virtual DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id,
                               DWORD language_id, LPWSTR buffer, DWORD size,
                               va_list* arguments);
  virtual DWORD GetTempPathW(DWORD length, LPWSTR buffer);
  virtual UINT GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique,
                                LPWSTR temp_file_name);
  virtual DWORD GetLogicalDriveStringsW(DWORD length, LPWSTR buffer);
  virtual UINT GetDriveTypeW(LPCWSTR root);
  virtual UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
  virtual UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
  virtual DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD cch);
  virtual BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa);
  virtual BOOL RemoveDirectoryW(LPCWSTR path);
  virtual DWORD GetFileAttributesW(LPCWSTR name);
  virtual BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes);
  virtual BOOL DeleteFileW(LPCWSTR name);
  virtual BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists);
  virtual BOOL MoveFileW(LPCWSTR existing, LPCWSTR new_name);
  virtual BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags);
  virtual DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer,
                                 LPWSTR* file_part);
  virtual BOOL SetWindowTextW(HWND wnd, LPCWSTR text);
  virtual void OutputDebugStringW(LPCWSTR text);
  virtual LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam,
                             PHKEY result);
  virtual LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class,
                               DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa,
                               PHKEY result, LPDWORD disposition);
  virtual LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                             LPDWORD reserved, LPWSTR key_class, LPDWORD cch_class,
                             PFILETIME last_write);
  virtual LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data);
  virtual LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey);
  virtual LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD cb_data);
  virtual LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD cb_data);
  virtual LONG RegDeleteValueW(HKEY key, LPCWSTR name);
  virtual BOOL SystemParametersInfoW(UINT action, UINT param, PVOID pv, UINT win_ini);
  virtual HFONT CreateFontIndirectW(const LOGFONTW* font);
  virtual BOOL GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics);
  virtual int EnumFontFamiliesExW(HDC dc, LPLOGFONTW font, FONTENUMPROCW proc,
                                  LPARAM param, DWORD flags);
  virtual DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size);
  virtual BOOL GetOpenFileNameW(LPOPENFILENAMEW ofn);
  virtual BOOL GetSaveFileNameW(LPOPENFILENAMEW ofn);
  virtual SHORT VkKeyScanW(WCHAR ch);
  virtual SHORT VkKeyScanExW(WCHAR ch, HKL layout);
  virtual BOOL WinHelpW(HWND wnd, LPCWSTR help_file, UINT command, ULONG_PTR data);
  virtual HMODULE LoadLibraryW(LPCWSTR name);
  virtual HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
  virtual BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line,
                              LPSECURITY_ATTRIBUTES process_sa,
                              LPSECURITY_ATTRIBUTES thread_sa, BOOL inherit_handles,
                              DWORD creation_flags, LPVOID environment,
                              LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                              LPPROCESS_INFORMATION process_info);
  virtual void GetStartupInfoW(LPSTARTUPINFOW startup_info);
  virtual BOOL GetUserNameW(LPWSTR buffer, LPDWORD size);
  virtual BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
  virtual BOOL SetComputerNameW(LPCWSTR name);
  virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
  virtual int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cch);
  virtual int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time,
                             LPCWSTR format, LPWSTR buffer, int cch);
  virtual int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date,
                             LPCWSTR format, LPWSTR buffer, int cch);
  virtual int GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value,
                               const NUMBERFMTW* format, LPWSTR buffer, int cch);
  virtual HINSTANCE ShellExecuteW(HWND wnd, LPCWSTR operation, LPCWSTR file,
                                  LPCWSTR parameters, LPCWSTR directory, INT show);
  virtual BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info);
  virtual DWORD_PTR SHGetFileInfoW(LPCWSTR path, DWORD attributes, SHFILEINFOW* info,
                                   UINT cb_info, UINT flags);
  virtual BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path);
  virtual BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data);
  virtual BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
  virtual BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
  virtual BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry);
  virtual DWORD GetFileVersionInfoSizeW(LPCWSTR name, LPDWORD handle);
  virtual BOOL GetFileVersionInfoW(LPCWSTR name, DWORD handle, DWORD length, LPVOID data);
  virtual BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer,
                              PUINT length);
  virtual BOOL CredWriteW(PCREDENTIALW credential, DWORD flags);
  virtual BOOL CredReadW(LPCWSTR target, DWORD type, DWORD flags,
                         PCREDENTIALW* credential);
  virtual BOOL CredDeleteW(LPCWSTR target, DWORD type, DWORD flags);
  virtual void CredFree(PVOID buffer);
  virtual BOOL CredEnumerateW(LPCWSTR filter, DWORD flags, DWORD* count,
                              PCREDENTIALW** credentials);
  virtual BOOL CredMarshalCredentialW(CRED_MARSHAL_TYPE type, PVOID credential,
                                      LPWSTR* marshaled);
  virtual BOOL CredUnmarshalCredentialW(LPCWSTR marshaled, PCRED_MARSHAL_TYPE type,
                                        PVOID* credential);
  virtual BOOL WriteConsoleW(HANDLE console, const VOID* buffer, DWORD chars,
                             LPDWORD written, LPVOID reserved);
  virtual DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
  virtual BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
  // The optional RegDeleteKeyExW when present, else this->RegDeleteKeyW
  // (the view flags are then ignored).
  virtual LONG RegDeleteKeyExW(HKEY key, LPCWSTR subkey, REGSAM view, DWORD reserved);
  // The optional functions when present, else FALSE with the argument untouched.
  virtual BOOL Wow64DisableWow64FsRedirection(PVOID* old_value);
  virtual BOOL Wow64RevertWow64FsRedirection(PVOID old_value);
  // The optional function when present, else GetSystemInfo.
  virtual void GetNativeSystemInfo(LPSYSTEM_INFO info);
};

class Layer9x : public LayerNT {
 public:
  ATOM RegisterClassExW(const WNDCLASSEXW* wc) override;
  LRESULT DefWindowProcW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override;
  LONG GetWindowLongW(HWND wnd, int index) override;
  LONG SetWindowLongW(HWND wnd, int index, LONG value) override;
  LRESULT SendMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override;
  BOOL SendNotifyMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override;
  BOOL PostMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) override;
  HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl, HWND parent,
                                  DLGPROC proc, LPARAM init) override;
  BOOL PeekMessageW(LPMSG msg, HWND wnd, UINT filter_min, UINT filter_max,
                    UINT remove) override;
  LRESULT DispatchMessageW(const MSG* msg) override;
  UINT RegisterClipboardFormatW(LPCWSTR format) override;
  int GetClipboardFormatNameW(UINT format, LPWSTR name, int cch_max) override;
  BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) override;
  HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) override;
  DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer) override;
  BOOL SetCurrentDirectoryW(LPCWSTR path) override;
  HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                     DWORD disposition, DWORD flags, HANDLE template_file) override;
  BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR item) override;
  BOOL ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id,
                   LPCWSTR item) override;
  DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                       LPWSTR buffer, DWORD size, va_list* arguments) override;
  DWORD GetTempPathW(DWORD length, LPWSTR buffer) override;
  UINT GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique,
                        LPWSTR temp_file_name) override;
  DWORD GetLogicalDriveStringsW(DWORD length, LPWSTR buffer) override;
  UINT GetDriveTypeW(LPCWSTR root) override;
  UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) override;
  UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) override;
  DWORD GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD cch) override;
  BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) override;
  BOOL RemoveDirectoryW(LPCWSTR path) override;
  DWORD GetFileAttributesW(LPCWSTR name) override;
  BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes) override;
  BOOL DeleteFileW(LPCWSTR name) override;
  BOOL CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) override;
  BOOL MoveFileW(LPCWSTR existing, LPCWSTR new_name) override;
  BOOL MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) override;
  DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer,
                         LPWSTR* file_part) override;
  BOOL SetWindowTextW(HWND wnd, LPCWSTR text) override;
  void OutputDebugStringW(LPCWSTR text) override;
  LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam,
                     PHKEY result) override;
  LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class,
                       DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                       LPDWORD disposition) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                     LPDWORD reserved, LPWSTR key_class, LPDWORD cch_class,
                     PFILETIME last_write) override;
  LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                     LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data) override;
  LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey) override;
  LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                      const BYTE* data, DWORD cb_data) override;
  LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                        LPBYTE data, LPDWORD cb_data) override;
  LONG RegDeleteValueW(HKEY key, LPCWSTR name) override;
  BOOL SystemParametersInfoW(UINT action, UINT param, PVOID pv, UINT win_ini) override;
  HFONT CreateFontIndirectW(const LOGFONTW* font) override;
  BOOL GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics) override;
  int EnumFontFamiliesExW(HDC dc, LPLOGFONTW font, FONTENUMPROCW proc, LPARAM param,
                          DWORD flags) override;
  DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) override;
  BOOL GetOpenFileNameW(LPOPENFILENAMEW ofn) override;
  BOOL GetSaveFileNameW(LPOPENFILENAMEW ofn) override;
  SHORT VkKeyScanW(WCHAR ch) override;
  SHORT VkKeyScanExW(WCHAR ch, HKL layout) override;
  BOOL WinHelpW(HWND wnd, LPCWSTR help_file, UINT command, ULONG_PTR data) override;
  HMODULE LoadLibraryW(LPCWSTR name) override;
  HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) override;
  BOOL CreateProcessW(LPCWSTR application, LPWSTR command_line,
                      LPSECURITY_ATTRIBUTES process_sa, LPSECURITY_ATTRIBUTES thread_sa,
                      BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                      LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                      LPPROCESS_INFORMATION process_info) override;
  void GetStartupInfoW(LPSTARTUPINFOW startup_info) override;
  BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) override;
  BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) override;
  BOOL SetComputerNameW(LPCWSTR name) override;
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) override;
  int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cch) override;
  int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                     LPWSTR buffer, int cch) override;
  int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                     LPWSTR buffer, int cch) override;
  int GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value, const NUMBERFMTW* format,
                       LPWSTR buffer, int cch) override;
  HINSTANCE ShellExecuteW(HWND wnd, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                          LPCWSTR directory, INT show) override;
  BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) override;
  DWORD_PTR SHGetFileInfoW(LPCWSTR path, DWORD attributes, SHFILEINFOW* info,
                           UINT cb_info, UINT flags) override;
  BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) override;
  BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) override;
  BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) override;
  BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry) override;
  DWORD GetFileVersionInfoSizeW(LPCWSTR name, LPDWORD handle) override;
  BOOL GetFileVersionInfoW(LPCWSTR name, DWORD handle, DWORD length, LPVOID data) override;
  BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer,
                      PUINT length) override;
  BOOL WriteConsoleW(HANDLE console, const VOID* buffer, DWORD chars, LPDWORD written,
                     LPVOID reserved) override;
  DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) override;
  BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) override;

  // Takes the wide record and passes its ANSI form to Shell_NotifyIconA.
  virtual BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAW data);
};

// The ANSI functions Windows::Layer9x calls. Layer9xAnsi() is the process's
// table, filled with the real imports on first use; tests replace entries
// with fakes (and restore them). The tool-help ANSI functions are not here:
// they are optional (OptionalApi::Process32FirstA and its neighbours).
struct AnsiFunctions {
  decltype(&::RegisterClassExA) RegisterClassExA;
  decltype(&::DefWindowProcA) DefWindowProcA;
  decltype(&::GetWindowLongA) GetWindowLongA;
  decltype(&::SetWindowLongA) SetWindowLongA;
  decltype(&::SendMessageA) SendMessageA;
  decltype(&::SendNotifyMessageA) SendNotifyMessageA;
  decltype(&::PostMessageA) PostMessageA;
  decltype(&::CreateDialogIndirectParamA) CreateDialogIndirectParamA;
  decltype(&::PeekMessageA) PeekMessageA;
  decltype(&::DispatchMessageA) DispatchMessageA;
  decltype(&::RegisterClipboardFormatA) RegisterClipboardFormatA;
  decltype(&::GetClipboardFormatNameA) GetClipboardFormatNameA;
  decltype(&::FindNextFileA) FindNextFileA;
  decltype(&::FindFirstFileA) FindFirstFileA;
  decltype(&::GetCurrentDirectoryA) GetCurrentDirectoryA;
  decltype(&::SetCurrentDirectoryA) SetCurrentDirectoryA;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::AppendMenuA) AppendMenuA;
  decltype(&::ModifyMenuA) ModifyMenuA;
  decltype(&::FormatMessageA) FormatMessageA;
  decltype(&::GetTempPathA) GetTempPathA;
  decltype(&::GetTempFileNameA) GetTempFileNameA;
  decltype(&::GetLogicalDriveStringsA) GetLogicalDriveStringsA;
  decltype(&::GetDriveTypeA) GetDriveTypeA;
  decltype(&::GetSystemDirectoryA) GetSystemDirectoryA;
  decltype(&::GetWindowsDirectoryA) GetWindowsDirectoryA;
  decltype(&::GetShortPathNameA) GetShortPathNameA;
  decltype(&::CreateDirectoryA) CreateDirectoryA;
  decltype(&::RemoveDirectoryA) RemoveDirectoryA;
  decltype(&::GetFileAttributesA) GetFileAttributesA;
  decltype(&::SetFileAttributesA) SetFileAttributesA;
  decltype(&::DeleteFileA) DeleteFileA;
  decltype(&::CopyFileA) CopyFileA;
  decltype(&::MoveFileA) MoveFileA;
  decltype(&::GetFullPathNameA) GetFullPathNameA;
  decltype(&::SetWindowTextA) SetWindowTextA;
  decltype(&::OutputDebugStringA) OutputDebugStringA;
  decltype(&::RegOpenKeyExA) RegOpenKeyExA;
  decltype(&::RegCreateKeyExA) RegCreateKeyExA;
  decltype(&::RegEnumKeyExA) RegEnumKeyExA;
  decltype(&::RegEnumValueA) RegEnumValueA;
  decltype(&::RegDeleteKeyA) RegDeleteKeyA;
  decltype(&::RegSetValueExA) RegSetValueExA;
  decltype(&::RegQueryValueExA) RegQueryValueExA;
  decltype(&::RegDeleteValueA) RegDeleteValueA;
  decltype(&::SystemParametersInfoA) SystemParametersInfoA;
  decltype(&::CreateFontIndirectA) CreateFontIndirectA;
  decltype(&::GetTextMetricsA) GetTextMetricsA;
  decltype(&::EnumFontFamiliesExA) EnumFontFamiliesExA;
  decltype(&::ExpandEnvironmentStringsA) ExpandEnvironmentStringsA;
  decltype(&::GetOpenFileNameA) GetOpenFileNameA;
  decltype(&::GetSaveFileNameA) GetSaveFileNameA;
  decltype(&::VkKeyScanA) VkKeyScanA;
  decltype(&::VkKeyScanExA) VkKeyScanExA;
  decltype(&::WinHelpA) WinHelpA;
  decltype(&::LoadLibraryA) LoadLibraryA;
  decltype(&::LoadLibraryExA) LoadLibraryExA;
  decltype(&::CreateProcessA) CreateProcessA;
  decltype(&::GetStartupInfoA) GetStartupInfoA;
  decltype(&::GetUserNameA) GetUserNameA;
  decltype(&::GetComputerNameA) GetComputerNameA;
  decltype(&::SetComputerNameA) SetComputerNameA;
  decltype(&::GetModuleFileNameA) GetModuleFileNameA;
  decltype(&::GetLocaleInfoA) GetLocaleInfoA;
  decltype(&::GetTimeFormatA) GetTimeFormatA;
  decltype(&::GetDateFormatA) GetDateFormatA;
  decltype(&::GetNumberFormatA) GetNumberFormatA;
  decltype(&::ShellExecuteA) ShellExecuteA;
  decltype(&::ShellExecuteExA) ShellExecuteExA;
  decltype(&::SHGetFileInfoA) SHGetFileInfoA;
  decltype(&::SHGetPathFromIDListA) SHGetPathFromIDListA;
  decltype(&::Shell_NotifyIconA) Shell_NotifyIconA;
  decltype(&::GetFileVersionInfoSizeA) GetFileVersionInfoSizeA;
  decltype(&::GetFileVersionInfoA) GetFileVersionInfoA;
  decltype(&::VerQueryValueA) VerQueryValueA;
  decltype(&::WriteConsoleA) WriteConsoleA;
  decltype(&::GetEnvironmentVariableA) GetEnvironmentVariableA;
  decltype(&::SetEnvironmentVariableA) SetEnvironmentVariableA;
  // The file layer's 9x directory.
  decltype(&::FindFirstChangeNotificationA) FindFirstChangeNotificationA;
  decltype(&::GetDiskFreeSpaceA) GetDiskFreeSpaceA;
  decltype(&::GetVolumeInformationA) GetVolumeInformationA;
  decltype(&::GetPrivateProfileSectionA) GetPrivateProfileSectionA;
  decltype(&::WritePrivateProfileSectionA) WritePrivateProfileSectionA;
  decltype(&::WNetGetUniversalNameA) WNetGetUniversalNameA;
  decltype(&::WNetAddConnection3A) WNetAddConnection3A;
};

AnsiFunctions& Layer9xAnsi();

// True for a GetVersion() result of Windows XP (5.1) or later.
bool IsXPOrLaterVersion(DWORD get_version_result);

}  // namespace Windows

// The process's layer object: a Windows::LayerNT on the NT family, else a
// Windows::Layer9x. Made before main (see the priorities above) and deleted
// at exit; null only when it could not be allocated.
extern Windows::LayerNT* WindowsLayerInstance;

// A new layer object for this platform (GetVersion's high bit clear: NT).
Windows::LayerNT* CreateWindowsLayer();

// Set before main from GetVersion; never changed afterwards.
extern bool IsXPOrLater;
extern REGSAM RegistryView64Flag;  // KEY_WOW64_64KEY (0x100) on XP and later, else 0
extern REGSAM RegistryView32Flag;  // KEY_WOW64_32KEY (0x200) on XP and later, else 0

// Functions that older systems lack, bound before main, in this order, with
// GetProcAddress(GetModuleHandleA(module), name). A module is never loaded for
// this: a pointer is null when its module is not loaded or lacks the export.
namespace OptionalApi {

using SHGetFileInfoW_t = decltype(&::SHGetFileInfoW);
using SHGetPathFromIDListW_t = decltype(&::SHGetPathFromIDListW);
using Shell_NotifyIconW_t = decltype(&::Shell_NotifyIconW);
using VerQueryValueW_t = decltype(&::VerQueryValueW);
using GetFileVersionInfoSizeW_t = decltype(&::GetFileVersionInfoSizeW);
using GetFileVersionInfoW_t = decltype(&::GetFileVersionInfoW);
using Process32FirstW_t = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);
using Process32NextW_t = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);
using Module32FirstW_t = BOOL(WINAPI*)(HANDLE, LPMODULEENTRY32W);
// The ANSI tool-help records (<tlhelp32.h> maps their typedef names to the
// wide ones under UNICODE, so the struct tags are used).
using Process32FirstA_t = BOOL(WINAPI*)(HANDLE, tagPROCESSENTRY32*);
using Process32NextA_t = BOOL(WINAPI*)(HANDLE, tagPROCESSENTRY32*);
using Module32FirstA_t = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);
using CredWriteW_t = decltype(&::CredWriteW);
using CredReadW_t = decltype(&::CredReadW);
using CredDeleteW_t = decltype(&::CredDeleteW);
using CredFree_t = decltype(&::CredFree);
using CredEnumerateW_t = decltype(&::CredEnumerateW);
using CredMarshalCredentialW_t = decltype(&::CredMarshalCredentialW);
using CredUnmarshalCredentialW_t = decltype(&::CredUnmarshalCredentialW);
using RegDeleteKeyExW_t = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
using Wow64DisableWow64FsRedirection_t = BOOL(WINAPI*)(PVOID*);
using Wow64RevertWow64FsRedirection_t = BOOL(WINAPI*)(PVOID);
using GetNativeSystemInfo_t = void(WINAPI*)(LPSYSTEM_INFO);

extern SHGetFileInfoW_t SHGetFileInfoW;                    // shell32
extern SHGetPathFromIDListW_t SHGetPathFromIDListW;        // shell32
extern Shell_NotifyIconW_t Shell_NotifyIconW;              // shell32
extern VerQueryValueW_t VerQueryValueW;                    // version
extern GetFileVersionInfoSizeW_t GetFileVersionInfoSizeW;  // version
extern GetFileVersionInfoW_t GetFileVersionInfoW;          // version
extern Process32FirstW_t Process32FirstW;                  // kernel32
extern Process32NextW_t Process32NextW;                    // kernel32
extern Module32FirstW_t Module32FirstW;                    // kernel32
extern Process32FirstA_t Process32FirstA;                  // kernel32 "Process32First"
extern Process32NextA_t Process32NextA;                    // kernel32 "Process32Next"
extern Module32FirstA_t Module32FirstA;                    // kernel32 "Module32First"
extern CredWriteW_t CredWriteW;                            // advapi32
extern CredReadW_t CredReadW;                              // advapi32
extern CredDeleteW_t CredDeleteW;                          // advapi32
extern CredFree_t CredFree;                                // advapi32
extern CredEnumerateW_t CredEnumerateW;                    // advapi32
extern CredMarshalCredentialW_t CredMarshalCredentialW;    // advapi32
extern CredUnmarshalCredentialW_t CredUnmarshalCredentialW;  // advapi32
extern RegDeleteKeyExW_t RegDeleteKeyExW;                  // advapi32
extern Wow64DisableWow64FsRedirection_t Wow64DisableWow64FsRedirection;  // kernel32
extern Wow64RevertWow64FsRedirection_t Wow64RevertWow64FsRedirection;    // kernel32
extern GetNativeSystemInfo_t GetNativeSystemInfo;          // kernel32

// GetProcAddress(GetModuleHandleA(module), name), or null when the module is
// not loaded; never loads it.
FARPROC Lookup(const char* module, const char* name);

}  // namespace OptionalApi

#endif  // PURGEKIT_FOUNDATION_WINDOWS_LAYER_H
