// Windows::LayerNT: every operation calls the wide function of the same name
// (or the matching optional function) with its arguments unchanged.
#include "windows/layer.h"

namespace Windows {

namespace {

// The operations whose optional function has no fallback fail this way when
// the function is missing, as the system does for a function it lacks.
template <typename Result>
Result NotImplemented(Result failure) {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return failure;
}

}  // namespace

LayerNT::~LayerNT() = default;

ATOM LayerNT::RegisterClassExW(const WNDCLASSEXW* wc) { return ::RegisterClassExW(wc); }

LRESULT LayerNT::DefWindowProcW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return ::DefWindowProcW(wnd, msg, wp, lp);
}

LONG LayerNT::GetWindowLongW(HWND wnd, int index) { return ::GetWindowLongW(wnd, index); }

LONG LayerNT::SetWindowLongW(HWND wnd, int index, LONG value) {
  return ::SetWindowLongW(wnd, index, value);
}

LRESULT LayerNT::SendMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return ::SendMessageW(wnd, msg, wp, lp);
}

BOOL LayerNT::SendNotifyMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return ::SendNotifyMessageW(wnd, msg, wp, lp);
}

BOOL LayerNT::PostMessageW(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  return ::PostMessageW(wnd, msg, wp, lp);
}

HWND LayerNT::CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW tmpl,
                                         HWND parent, DLGPROC proc, LPARAM init) {
  return ::CreateDialogIndirectParamW(instance, tmpl, parent, proc, init);
}

BOOL LayerNT::PeekMessageW(LPMSG msg, HWND wnd, UINT filter_min, UINT filter_max,
                           UINT remove) {
  return ::PeekMessageW(msg, wnd, filter_min, filter_max, remove);
}

LRESULT LayerNT::DispatchMessageW(const MSG* msg) { return ::DispatchMessageW(msg); }

UINT LayerNT::RegisterClipboardFormatW(LPCWSTR format) {
  return ::RegisterClipboardFormatW(format);
}

int LayerNT::GetClipboardFormatNameW(UINT format, LPWSTR name, int cch_max) {
  return ::GetClipboardFormatNameW(format, name, cch_max);
}

BOOL LayerNT::FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  return ::FindNextFileW(find, data);
}

HANDLE LayerNT::FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  return ::FindFirstFileW(name, data);
}

DWORD LayerNT::GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
  return ::GetCurrentDirectoryW(length, buffer);
}

BOOL LayerNT::SetCurrentDirectoryW(LPCWSTR path) { return ::SetCurrentDirectoryW(path); }

HANDLE LayerNT::CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                            HANDLE template_file) {
  return ::CreateFileW(name, access, share, sa, disposition, flags, template_file);
}

BOOL LayerNT::AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR item) {
  return ::AppendMenuW(menu, flags, id, item);
}

BOOL LayerNT::ModifyMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id,
                          LPCWSTR item) {
  return ::ModifyMenuW(menu, position, flags, id, item);
}

DWORD LayerNT::FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id,
                              DWORD language_id, LPWSTR buffer, DWORD size,
                              va_list* arguments) {
  return ::FormatMessageW(flags, source, message_id, language_id, buffer, size, arguments);
}

DWORD LayerNT::GetTempPathW(DWORD length, LPWSTR buffer) {
  return ::GetTempPathW(length, buffer);
}

UINT LayerNT::GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique,
                               LPWSTR temp_file_name) {
  return ::GetTempFileNameW(path, prefix, unique, temp_file_name);
}

DWORD LayerNT::GetLogicalDriveStringsW(DWORD length, LPWSTR buffer) {
  return ::GetLogicalDriveStringsW(length, buffer);
}

UINT LayerNT::GetDriveTypeW(LPCWSTR root) { return ::GetDriveTypeW(root); }

UINT LayerNT::GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  return ::GetSystemDirectoryW(buffer, size);
}

UINT LayerNT::GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  return ::GetWindowsDirectoryW(buffer, size);
}

DWORD LayerNT::GetShortPathNameW(LPCWSTR long_path, LPWSTR short_path, DWORD cch) {
  return ::GetShortPathNameW(long_path, short_path, cch);
}

BOOL LayerNT::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  return ::CreateDirectoryW(path, sa);
}

BOOL LayerNT::RemoveDirectoryW(LPCWSTR path) { return ::RemoveDirectoryW(path); }

DWORD LayerNT::GetFileAttributesW(LPCWSTR name) { return ::GetFileAttributesW(name); }

BOOL LayerNT::SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  return ::SetFileAttributesW(name, attributes);
}

BOOL LayerNT::DeleteFileW(LPCWSTR name) { return ::DeleteFileW(name); }

BOOL LayerNT::CopyFileW(LPCWSTR existing, LPCWSTR new_name, BOOL fail_if_exists) {
  return ::CopyFileW(existing, new_name, fail_if_exists);
}

BOOL LayerNT::MoveFileW(LPCWSTR existing, LPCWSTR new_name) {
  return ::MoveFileW(existing, new_name);
}

BOOL LayerNT::MoveFileExW(LPCWSTR existing, LPCWSTR new_name, DWORD flags) {
  return ::MoveFileExW(existing, new_name, flags);
}

DWORD LayerNT::GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer,
                                LPWSTR* file_part) {
  return ::GetFullPathNameW(name, length, buffer, file_part);
}

BOOL LayerNT::SetWindowTextW(HWND wnd, LPCWSTR text) { return ::SetWindowTextW(wnd, text); }

void LayerNT::OutputDebugStringW(LPCWSTR text) { ::OutputDebugStringW(text); }

LONG LayerNT::RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam,
                            PHKEY result) {
  return ::RegOpenKeyExW(key, subkey, options, sam, result);
}

LONG LayerNT::RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class,
                              DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES sa,
                              PHKEY result, LPDWORD disposition) {
  return ::RegCreateKeyExW(key, subkey, reserved, key_class, options, sam, sa, result,
                           disposition);
}

LONG LayerNT::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                            LPDWORD reserved, LPWSTR key_class, LPDWORD cch_class,
                            PFILETIME last_write) {
  return ::RegEnumKeyExW(key, index, name, cch_name, reserved, key_class, cch_class,
                         last_write);
}

LONG LayerNT::RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name,
                            LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data) {
  return ::RegEnumValueW(key, index, name, cch_name, reserved, type, data, cb_data);
}

LONG LayerNT::RegDeleteKeyW(HKEY key, LPCWSTR subkey) { return ::RegDeleteKeyW(key, subkey); }

LONG LayerNT::RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                             const BYTE* data, DWORD cb_data) {
  return ::RegSetValueExW(key, name, reserved, type, data, cb_data);
}

LONG LayerNT::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                               LPBYTE data, LPDWORD cb_data) {
  return ::RegQueryValueExW(key, name, reserved, type, data, cb_data);
}

LONG LayerNT::RegDeleteValueW(HKEY key, LPCWSTR name) { return ::RegDeleteValueW(key, name); }

BOOL LayerNT::SystemParametersInfoW(UINT action, UINT param, PVOID pv, UINT win_ini) {
  return ::SystemParametersInfoW(action, param, pv, win_ini);
}

HFONT LayerNT::CreateFontIndirectW(const LOGFONTW* font) {
  return ::CreateFontIndirectW(font);
}

BOOL LayerNT::GetTextMetricsW(HDC dc, LPTEXTMETRICW metrics) {
  return ::GetTextMetricsW(dc, metrics);
}

int LayerNT::EnumFontFamiliesExW(HDC dc, LPLOGFONTW font, FONTENUMPROCW proc, LPARAM param,
                                 DWORD flags) {
  return ::EnumFontFamiliesExW(dc, font, proc, param, flags);
}

DWORD LayerNT::ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR dest, DWORD size) {
  return ::ExpandEnvironmentStringsW(source, dest, size);
}

BOOL LayerNT::GetOpenFileNameW(LPOPENFILENAMEW ofn) { return ::GetOpenFileNameW(ofn); }

BOOL LayerNT::GetSaveFileNameW(LPOPENFILENAMEW ofn) { return ::GetSaveFileNameW(ofn); }

SHORT LayerNT::VkKeyScanW(WCHAR ch) { return ::VkKeyScanW(ch); }

SHORT LayerNT::VkKeyScanExW(WCHAR ch, HKL layout) { return ::VkKeyScanExW(ch, layout); }

BOOL LayerNT::WinHelpW(HWND wnd, LPCWSTR help_file, UINT command, ULONG_PTR data) {
  return ::WinHelpW(wnd, help_file, command, data);
}

HMODULE LayerNT::LoadLibraryW(LPCWSTR name) { return ::LoadLibraryW(name); }

HMODULE LayerNT::LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  return ::LoadLibraryExW(name, file, flags);
}

BOOL LayerNT::CreateProcessW(LPCWSTR application, LPWSTR command_line,
                             LPSECURITY_ATTRIBUTES process_sa,
                             LPSECURITY_ATTRIBUTES thread_sa, BOOL inherit_handles,
                             DWORD creation_flags, LPVOID environment,
                             LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                             LPPROCESS_INFORMATION process_info) {
  return ::CreateProcessW(application, command_line, process_sa, thread_sa, inherit_handles,
                          creation_flags, environment, current_directory, startup_info,
                          process_info);
}

void LayerNT::GetStartupInfoW(LPSTARTUPINFOW startup_info) {
  ::GetStartupInfoW(startup_info);
}

BOOL LayerNT::GetUserNameW(LPWSTR buffer, LPDWORD size) {
  return ::GetUserNameW(buffer, size);
}

BOOL LayerNT::GetComputerNameW(LPWSTR buffer, LPDWORD size) {
  return ::GetComputerNameW(buffer, size);
}

BOOL LayerNT::SetComputerNameW(LPCWSTR name) { return ::SetComputerNameW(name); }

DWORD LayerNT::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  return ::GetModuleFileNameW(module, buffer, size);
}

int LayerNT::GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int cch) {
  return ::GetLocaleInfoW(locale, type, data, cch);
}

int LayerNT::GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time,
                            LPCWSTR format, LPWSTR buffer, int cch) {
  return ::GetTimeFormatW(locale, flags, time, format, buffer, cch);
}

int LayerNT::GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date,
                            LPCWSTR format, LPWSTR buffer, int cch) {
  return ::GetDateFormatW(locale, flags, date, format, buffer, cch);
}

int LayerNT::GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value,
                              const NUMBERFMTW* format, LPWSTR buffer, int cch) {
  return ::GetNumberFormatW(locale, flags, value, format, buffer, cch);
}

HINSTANCE LayerNT::ShellExecuteW(HWND wnd, LPCWSTR operation, LPCWSTR file,
                                 LPCWSTR parameters, LPCWSTR directory, INT show) {
  return ::ShellExecuteW(wnd, operation, file, parameters, directory, show);
}

BOOL LayerNT::ShellExecuteExW(SHELLEXECUTEINFOW* info) { return ::ShellExecuteExW(info); }

DWORD_PTR LayerNT::SHGetFileInfoW(LPCWSTR path, DWORD attributes, SHFILEINFOW* info,
                                  UINT cb_info, UINT flags) {
  if (!OptionalApi::SHGetFileInfoW) return NotImplemented<DWORD_PTR>(0);
  return OptionalApi::SHGetFileInfoW(path, attributes, info, cb_info, flags);
}

BOOL LayerNT::SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path) {
  if (!OptionalApi::SHGetPathFromIDListW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::SHGetPathFromIDListW(pidl, path);
}

BOOL LayerNT::Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
  if (!OptionalApi::Shell_NotifyIconW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Shell_NotifyIconW(message, data);
}

BOOL LayerNT::Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  if (!OptionalApi::Process32FirstW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Process32FirstW(snapshot, entry);
}

BOOL LayerNT::Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  if (!OptionalApi::Process32NextW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Process32NextW(snapshot, entry);
}

BOOL LayerNT::Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry) {
  if (!OptionalApi::Module32FirstW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Module32FirstW(snapshot, entry);
}

DWORD LayerNT::GetFileVersionInfoSizeW(LPCWSTR name, LPDWORD handle) {
  if (!OptionalApi::GetFileVersionInfoSizeW) return NotImplemented<DWORD>(0);
  return OptionalApi::GetFileVersionInfoSizeW(name, handle);
}

BOOL LayerNT::GetFileVersionInfoW(LPCWSTR name, DWORD handle, DWORD length, LPVOID data) {
  if (!OptionalApi::GetFileVersionInfoW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::GetFileVersionInfoW(name, handle, length, data);
}

BOOL LayerNT::VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer,
                             PUINT length) {
  if (!OptionalApi::VerQueryValueW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::VerQueryValueW(block, sub_block, buffer, length);
}

BOOL LayerNT::CredWriteW(PCREDENTIALW credential, DWORD flags) {
  if (!OptionalApi::CredWriteW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredWriteW(credential, flags);
}

BOOL LayerNT::CredReadW(LPCWSTR target, DWORD type, DWORD flags, PCREDENTIALW* credential) {
  if (!OptionalApi::CredReadW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredReadW(target, type, flags, credential);
}

BOOL LayerNT::CredDeleteW(LPCWSTR target, DWORD type, DWORD flags) {
  if (!OptionalApi::CredDeleteW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredDeleteW(target, type, flags);
}

void LayerNT::CredFree(PVOID buffer) {
  if (!OptionalApi::CredFree) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return;
  }
  OptionalApi::CredFree(buffer);
}

BOOL LayerNT::CredEnumerateW(LPCWSTR filter, DWORD flags, DWORD* count,
                             PCREDENTIALW** credentials) {
  if (!OptionalApi::CredEnumerateW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredEnumerateW(filter, flags, count, credentials);
}

BOOL LayerNT::CredMarshalCredentialW(CRED_MARSHAL_TYPE type, PVOID credential,
                                     LPWSTR* marshaled) {
  if (!OptionalApi::CredMarshalCredentialW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredMarshalCredentialW(type, credential, marshaled);
}

BOOL LayerNT::CredUnmarshalCredentialW(LPCWSTR marshaled, PCRED_MARSHAL_TYPE type,
                                       PVOID* credential) {
  if (!OptionalApi::CredUnmarshalCredentialW) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::CredUnmarshalCredentialW(marshaled, type, credential);
}

BOOL LayerNT::WriteConsoleW(HANDLE console, const VOID* buffer, DWORD chars,
                            LPDWORD written, LPVOID reserved) {
  return ::WriteConsoleW(console, buffer, chars, written, reserved);
}

DWORD LayerNT::GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  return ::GetEnvironmentVariableW(name, buffer, size);
}

BOOL LayerNT::SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  return ::SetEnvironmentVariableW(name, value);
}

LONG LayerNT::RegDeleteKeyExW(HKEY key, LPCWSTR subkey, REGSAM view, DWORD reserved) {
  if (OptionalApi::RegDeleteKeyExW) {
    return OptionalApi::RegDeleteKeyExW(key, subkey, view, reserved);
  }
  // Without registry views there is only the default view to delete from;
  // the virtual call lets Windows::Layer9x use its ANSI form.
  return RegDeleteKeyW(key, subkey);
}

BOOL LayerNT::Wow64DisableWow64FsRedirection(PVOID* old_value) {
  // Without the function there is no redirection to switch off: FALSE, and
  // the caller's old-value variable stays as it was.
  if (!OptionalApi::Wow64DisableWow64FsRedirection) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Wow64DisableWow64FsRedirection(old_value);
}

BOOL LayerNT::Wow64RevertWow64FsRedirection(PVOID old_value) {
  if (!OptionalApi::Wow64RevertWow64FsRedirection) return NotImplemented<BOOL>(FALSE);
  return OptionalApi::Wow64RevertWow64FsRedirection(old_value);
}

void LayerNT::GetNativeSystemInfo(LPSYSTEM_INFO info) {
  if (OptionalApi::GetNativeSystemInfo) {
    OptionalApi::GetNativeSystemInfo(info);
    return;
  }
  ::GetSystemInfo(info);
}

}  // namespace Windows
