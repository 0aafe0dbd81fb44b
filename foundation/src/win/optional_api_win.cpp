// The optional system functions and the registry-view flags, set before main.
#include "windows/layer.h"

namespace OptionalApi {

// Zero until bound: constant-initialized, so any code that could run before
// the binding below sees null rather than an unset value.
SHGetFileInfoW_t SHGetFileInfoW = nullptr;
SHGetPathFromIDListW_t SHGetPathFromIDListW = nullptr;
Shell_NotifyIconW_t Shell_NotifyIconW = nullptr;
VerQueryValueW_t VerQueryValueW = nullptr;
GetFileVersionInfoSizeW_t GetFileVersionInfoSizeW = nullptr;
GetFileVersionInfoW_t GetFileVersionInfoW = nullptr;
Process32FirstW_t Process32FirstW = nullptr;
Process32NextW_t Process32NextW = nullptr;
Module32FirstW_t Module32FirstW = nullptr;
Process32FirstA_t Process32FirstA = nullptr;
Process32NextA_t Process32NextA = nullptr;
Module32FirstA_t Module32FirstA = nullptr;
CredWriteW_t CredWriteW = nullptr;
CredReadW_t CredReadW = nullptr;
CredDeleteW_t CredDeleteW = nullptr;
CredFree_t CredFree = nullptr;
CredEnumerateW_t CredEnumerateW = nullptr;
CredMarshalCredentialW_t CredMarshalCredentialW = nullptr;
CredUnmarshalCredentialW_t CredUnmarshalCredentialW = nullptr;
RegDeleteKeyExW_t RegDeleteKeyExW = nullptr;
Wow64DisableWow64FsRedirection_t Wow64DisableWow64FsRedirection = nullptr;
Wow64RevertWow64FsRedirection_t Wow64RevertWow64FsRedirection = nullptr;
GetNativeSystemInfo_t GetNativeSystemInfo = nullptr;

FARPROC Lookup(const char* module, const char* name) {
  HMODULE handle = ::GetModuleHandleA(module);
  return handle ? ::GetProcAddress(handle, name) : nullptr;
}

}  // namespace OptionalApi

bool IsXPOrLater = false;
REGSAM RegistryView64Flag = 0;
REGSAM RegistryView32Flag = 0;

namespace Windows {

bool IsXPOrLaterVersion(DWORD version) {
  const DWORD major = LOBYTE(LOWORD(version));
  const DWORD minor = HIBYTE(LOWORD(version));
  return major > 5 || (major == 5 && minor >= 1);
}

}  // namespace Windows

namespace {

template <typename Pointer>
void Bind(Pointer& slot, const char* module, const char* name) {
  // FARPROC to the real type; through void* to keep the cast explicit.
  slot = reinterpret_cast<Pointer>(reinterpret_cast<void*>(OptionalApi::Lookup(module, name)));
}

// Runs before every ordinary static initializer (see the priorities in
// windows/layer.h): other subsystems' initializers call the layer, which uses
// these pointers, and OR the view flags into registry access masks. The flags
// are set here too, though nothing needs them this early, so that no
// initializer can ever read them unset.
struct OptionalApiBinder {
  OptionalApiBinder() {
    Bind(OptionalApi::SHGetFileInfoW, "shell32", "SHGetFileInfoW");
    Bind(OptionalApi::SHGetPathFromIDListW, "shell32", "SHGetPathFromIDListW");
    Bind(OptionalApi::Shell_NotifyIconW, "shell32", "Shell_NotifyIconW");
    Bind(OptionalApi::VerQueryValueW, "version", "VerQueryValueW");
    Bind(OptionalApi::GetFileVersionInfoSizeW, "version", "GetFileVersionInfoSizeW");
    Bind(OptionalApi::GetFileVersionInfoW, "version", "GetFileVersionInfoW");
    Bind(OptionalApi::Process32FirstW, "kernel32", "Process32FirstW");
    Bind(OptionalApi::Process32NextW, "kernel32", "Process32NextW");
    Bind(OptionalApi::Module32FirstW, "kernel32", "Module32FirstW");
    Bind(OptionalApi::Process32FirstA, "kernel32", "Process32First");
    Bind(OptionalApi::Process32NextA, "kernel32", "Process32Next");
    Bind(OptionalApi::Module32FirstA, "kernel32", "Module32First");
    Bind(OptionalApi::CredWriteW, "advapi32", "CredWriteW");
    Bind(OptionalApi::CredReadW, "advapi32", "CredReadW");
    Bind(OptionalApi::CredDeleteW, "advapi32", "CredDeleteW");
    Bind(OptionalApi::CredFree, "advapi32", "CredFree");
    Bind(OptionalApi::CredEnumerateW, "advapi32", "CredEnumerateW");
    Bind(OptionalApi::CredMarshalCredentialW, "advapi32", "CredMarshalCredentialW");
    Bind(OptionalApi::CredUnmarshalCredentialW, "advapi32", "CredUnmarshalCredentialW");
    Bind(OptionalApi::RegDeleteKeyExW, "advapi32", "RegDeleteKeyExW");
    Bind(OptionalApi::Wow64DisableWow64FsRedirection, "kernel32",
         "Wow64DisableWow64FsRedirection");
    Bind(OptionalApi::Wow64RevertWow64FsRedirection, "kernel32",
         "Wow64RevertWow64FsRedirection");
    Bind(OptionalApi::GetNativeSystemInfo, "kernel32", "GetNativeSystemInfo");

    IsXPOrLater = Windows::IsXPOrLaterVersion(::GetVersion());
    RegistryView64Flag = IsXPOrLater ? KEY_WOW64_64KEY : 0;
    RegistryView32Flag = IsXPOrLater ? KEY_WOW64_32KEY : 0;
  }
};

OptionalApiBinder optional_api_binder
    __attribute__((init_priority(PURGEKIT_INIT_PRIORITY_OPTIONAL_API)));

}  // namespace
