// The Windows layer on the NT family: which layer the process gets, when it
// gets it, the optional functions, the registry-view flags, the operations'
// order, and the fallbacks of the optional functions.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <typeinfo>

#include "windows/layer.h"

namespace {

// An ordinary static initializer, as other subsystems have: by the time it
// runs the optional functions, the flags and the layer must all be there,
// and the layer must already work.
struct StartupObservation {
  bool layer_ready = false;
  bool optional_bound = false;
  REGSAM view64 = 0;
  REGSAM view32 = 0;
  UINT windows_directory_length = 0;
};

StartupObservation ObserveAtStartup() {
  StartupObservation seen;
  seen.layer_ready = WindowsLayerInstance != nullptr;
  seen.optional_bound = OptionalApi::GetNativeSystemInfo != nullptr;
  seen.view64 = RegistryView64Flag;
  seen.view32 = RegistryView32Flag;
  if (WindowsLayerInstance) {
    WCHAR dir[MAX_PATH];
    seen.windows_directory_length = WindowsLayerInstance->GetWindowsDirectoryW(dir, MAX_PATH);
  }
  return seen;
}

const StartupObservation startup = ObserveAtStartup();

// A prioritized initializer just after the layer's: it runs before every
// ordinary one, whatever the link order, so it sees the layer only because
// the layer's own priorities put it first.
struct EarlyObserver {
  EarlyObserver() : seen(ObserveAtStartup()) {}
  StartupObservation seen;
};

EarlyObserver early
    __attribute__((init_priority(PURGEKIT_INIT_PRIORITY_WINDOWS_LAYER + 1)));

void ExpectReady(const StartupObservation& seen) {
  EXPECT_TRUE(seen.layer_ready);
  EXPECT_TRUE(seen.optional_bound);
  EXPECT_EQ(seen.view64, static_cast<REGSAM>(0x100));
  EXPECT_EQ(seen.view32, static_cast<REGSAM>(0x200));
  EXPECT_GT(seen.windows_directory_length, 0u);
}

TEST(WindowsLayerStartup, ReadyForOrdinaryStaticInitializers) { ExpectReady(startup); }

TEST(WindowsLayerStartup, ReadyForInitializersOrderedAfterIt) { ExpectReady(early.seen); }

TEST(WindowsLayerStartup, NtFamilyGetsLayerNT) {
  ASSERT_NE(WindowsLayerInstance, nullptr);
  EXPECT_TRUE(typeid(*WindowsLayerInstance) == typeid(Windows::LayerNT));
  EXPECT_EQ(dynamic_cast<Windows::Layer9x*>(WindowsLayerInstance), nullptr);

  Windows::LayerNT* made = CreateWindowsLayer();
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(typeid(*made) == typeid(Windows::LayerNT));
  delete made;
}

TEST(WindowsLayerStartup, RegistryViewFlags) {
  EXPECT_TRUE(IsXPOrLater);
  EXPECT_EQ(RegistryView64Flag, static_cast<REGSAM>(KEY_WOW64_64KEY));
  EXPECT_EQ(RegistryView32Flag, static_cast<REGSAM>(KEY_WOW64_32KEY));
  EXPECT_EQ(RegistryView64Flag, 0x100u);
  EXPECT_EQ(RegistryView32Flag, 0x200u);
}

TEST(WindowsLayerStartup, XPOrLaterByVersion) {
  // GetVersion: major in the low byte, minor in the next, 9x in the high bit.
  EXPECT_FALSE(Windows::IsXPOrLaterVersion(0x00000004));  // NT 4.0
  EXPECT_FALSE(Windows::IsXPOrLaterVersion(0x08930005));  // Windows 2000 (5.0)
  EXPECT_TRUE(Windows::IsXPOrLaterVersion(0x0A280105));   // Windows XP (5.1)
  EXPECT_TRUE(Windows::IsXPOrLaterVersion(0x0ECE0205));   // Server 2003 (5.2)
  EXPECT_TRUE(Windows::IsXPOrLaterVersion(0x1DB10106));   // Windows 7 (6.1)
  EXPECT_TRUE(Windows::IsXPOrLaterVersion(0x4A61000A));   // Windows 10 (10.0)
  EXPECT_FALSE(Windows::IsXPOrLaterVersion(0xC0000A04));  // Windows 98 (4.10)
  EXPECT_FALSE(Windows::IsXPOrLaterVersion(0xC0005A04));  // Windows Me (4.90)
}

// --- optional functions ----------------------------------------------------

struct Binding {
  const void* bound;
  const char* module;
  const char* name;
};

#define BINDING(var, module, name) \
  Binding { reinterpret_cast<const void*>(OptionalApi::var), module, name }

TEST(OptionalApi, BoundAsGetProcAddressOnTheLoadedModule) {
  const Binding bindings[] = {
      BINDING(SHGetFileInfoW, "shell32", "SHGetFileInfoW"),
      BINDING(SHGetPathFromIDListW, "shell32", "SHGetPathFromIDListW"),
      BINDING(Shell_NotifyIconW, "shell32", "Shell_NotifyIconW"),
      BINDING(VerQueryValueW, "version", "VerQueryValueW"),
      BINDING(GetFileVersionInfoSizeW, "version", "GetFileVersionInfoSizeW"),
      BINDING(GetFileVersionInfoW, "version", "GetFileVersionInfoW"),
      BINDING(Process32FirstW, "kernel32", "Process32FirstW"),
      BINDING(Process32NextW, "kernel32", "Process32NextW"),
      BINDING(Module32FirstW, "kernel32", "Module32FirstW"),
      BINDING(Process32FirstA, "kernel32", "Process32First"),
      BINDING(Process32NextA, "kernel32", "Process32Next"),
      BINDING(Module32FirstA, "kernel32", "Module32First"),
      BINDING(CredWriteW, "advapi32", "CredWriteW"),
      BINDING(CredReadW, "advapi32", "CredReadW"),
      BINDING(CredDeleteW, "advapi32", "CredDeleteW"),
      BINDING(CredFree, "advapi32", "CredFree"),
      BINDING(CredEnumerateW, "advapi32", "CredEnumerateW"),
      BINDING(CredMarshalCredentialW, "advapi32", "CredMarshalCredentialW"),
      BINDING(CredUnmarshalCredentialW, "advapi32", "CredUnmarshalCredentialW"),
      BINDING(RegDeleteKeyExW, "advapi32", "RegDeleteKeyExW"),
      BINDING(Wow64DisableWow64FsRedirection, "kernel32", "Wow64DisableWow64FsRedirection"),
      BINDING(Wow64RevertWow64FsRedirection, "kernel32", "Wow64RevertWow64FsRedirection"),
      BINDING(GetNativeSystemInfo, "kernel32", "GetNativeSystemInfo"),
  };
  ASSERT_EQ(sizeof bindings / sizeof bindings[0], 23u);
  for (const Binding& b : bindings) {
    SCOPED_TRACE(b.name);
    HMODULE module = ::GetModuleHandleA(b.module);
    const void* expected =
        module ? reinterpret_cast<const void*>(::GetProcAddress(module, b.name)) : nullptr;
    EXPECT_EQ(b.bound, expected);
    // Every one of these modules is loaded here and has the export.
    EXPECT_NE(b.bound, nullptr);
  }
}

#undef BINDING

TEST(OptionalApi, LookupNeverLoadsAModule) {
  const char* const module = "winhttp";
  if (::GetModuleHandleA(module)) GTEST_SKIP() << module << " is already loaded";
  EXPECT_EQ(OptionalApi::Lookup(module, "WinHttpOpen"), nullptr);
  EXPECT_EQ(::GetModuleHandleA(module), nullptr);
  EXPECT_EQ(OptionalApi::Lookup("kernel32", "NoSuchExportAnywhere"), nullptr);
  EXPECT_NE(OptionalApi::Lookup("kernel32", "GetVersion"), nullptr);
}

// --- operation order ---------------------------------------------------------

// The virtual-table slot of a virtual member function, as GCC's C++ ABI
// encodes it in a member function pointer (1 + the slot's byte offset).
template <typename Member>
std::ptrdiff_t Slot(Member member) {
  struct Representation {
    std::ptrdiff_t ptr;
    std::ptrdiff_t adj;
  } rep;
  static_assert(sizeof(Member) == sizeof(Representation), "GCC member function pointer");
  std::memcpy(&rep, &member, sizeof rep);
  return (rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(WindowsLayerInterface, OperationsInTheirOrder) {
  using L = Windows::LayerNT;
  const std::ptrdiff_t slots[] = {
      Slot(&L::RegisterClassExW),          Slot(&L::DefWindowProcW),
      Slot(&L::GetWindowLongW),            Slot(&L::SetWindowLongW),
      Slot(&L::SendMessageW),              Slot(&L::SendNotifyMessageW),
      Slot(&L::PostMessageW),              Slot(&L::CreateDialogIndirectParamW),
      Slot(&L::PeekMessageW),              Slot(&L::DispatchMessageW),
      Slot(&L::RegisterClipboardFormatW),  Slot(&L::GetClipboardFormatNameW),
      Slot(&L::FindNextFileW),             Slot(&L::FindFirstFileW),
      Slot(&L::GetCurrentDirectoryW),      Slot(&L::SetCurrentDirectoryW),
      Slot(&L::CreateFileW),               Slot(&L::AppendMenuW),
      Slot(&L::ModifyMenuW),               Slot(&L::FormatMessageW),
      Slot(&L::GetTempPathW),              Slot(&L::GetTempFileNameW),
      Slot(&L::GetLogicalDriveStringsW),   Slot(&L::GetDriveTypeW),
      Slot(&L::GetSystemDirectoryW),       Slot(&L::GetWindowsDirectoryW),
      Slot(&L::GetShortPathNameW),         Slot(&L::CreateDirectoryW),
      Slot(&L::RemoveDirectoryW),          Slot(&L::GetFileAttributesW),
      Slot(&L::SetFileAttributesW),        Slot(&L::DeleteFileW),
      Slot(&L::CopyFileW),                 Slot(&L::MoveFileW),
      Slot(&L::MoveFileExW),               Slot(&L::GetFullPathNameW),
      Slot(&L::SetWindowTextW),            Slot(&L::OutputDebugStringW),
      Slot(&L::RegOpenKeyExW),             Slot(&L::RegCreateKeyExW),
      Slot(&L::RegEnumKeyExW),             Slot(&L::RegEnumValueW),
      Slot(&L::RegDeleteKeyW),             Slot(&L::RegSetValueExW),
      Slot(&L::RegQueryValueExW),          Slot(&L::RegDeleteValueW),
      Slot(&L::SystemParametersInfoW),     Slot(&L::CreateFontIndirectW),
      Slot(&L::GetTextMetricsW),           Slot(&L::EnumFontFamiliesExW),
      Slot(&L::ExpandEnvironmentStringsW), Slot(&L::GetOpenFileNameW),
      Slot(&L::GetSaveFileNameW),          Slot(&L::VkKeyScanW),
      Slot(&L::VkKeyScanExW),              Slot(&L::WinHelpW),
      Slot(&L::LoadLibraryW),              Slot(&L::LoadLibraryExW),
      Slot(&L::CreateProcessW),            Slot(&L::GetStartupInfoW),
      Slot(&L::GetUserNameW),              Slot(&L::GetComputerNameW),
      Slot(&L::SetComputerNameW),          Slot(&L::GetModuleFileNameW),
      Slot(&L::GetLocaleInfoW),            Slot(&L::GetTimeFormatW),
      Slot(&L::GetDateFormatW),            Slot(&L::GetNumberFormatW),
      Slot(&L::ShellExecuteW),             Slot(&L::ShellExecuteExW),
      Slot(&L::SHGetFileInfoW),            Slot(&L::SHGetPathFromIDListW),
      Slot(&L::Shell_NotifyIconW),         Slot(&L::Process32FirstW),
      Slot(&L::Process32NextW),            Slot(&L::Module32FirstW),
      Slot(&L::GetFileVersionInfoSizeW),   Slot(&L::GetFileVersionInfoW),
      Slot(&L::VerQueryValueW),            Slot(&L::CredWriteW),
      Slot(&L::CredReadW),                 Slot(&L::CredDeleteW),
      Slot(&L::CredFree),                  Slot(&L::CredEnumerateW),
      Slot(&L::CredMarshalCredentialW),    Slot(&L::CredUnmarshalCredentialW),
      Slot(&L::WriteConsoleW),             Slot(&L::GetEnvironmentVariableW),
      Slot(&L::SetEnvironmentVariableW),   Slot(&L::RegDeleteKeyExW),
      Slot(&L::Wow64DisableWow64FsRedirection),
      Slot(&L::Wow64RevertWow64FsRedirection),
      Slot(&L::GetNativeSystemInfo),
  };
  ASSERT_EQ(sizeof slots / sizeof slots[0], 93u);
  // The virtual destructor takes the first two slots (complete and deleting).
  for (std::size_t i = 0; i < 93; ++i) {
    EXPECT_EQ(slots[i], static_cast<std::ptrdiff_t>(2 + i)) << "operation " << i;
  }
  // Layer9x overrides in place and appends Shell_NotifyIconA.
  EXPECT_EQ(Slot(&Windows::Layer9x::RegQueryValueExW), Slot(&L::RegQueryValueExW));
  EXPECT_EQ(Slot(&Windows::Layer9x::SetEnvironmentVariableW),
            Slot(&L::SetEnvironmentVariableW));
  EXPECT_EQ(Slot(&Windows::Layer9x::Shell_NotifyIconA), 2 + 93);
}

// --- fallbacks -----------------------------------------------------------------

// Makes an optional function missing for one test.
template <typename Pointer>
class MissingFunction {
 public:
  explicit MissingFunction(Pointer& slot) : slot_(slot), saved_(slot) { slot_ = nullptr; }
  ~MissingFunction() { slot_ = saved_; }
  MissingFunction(const MissingFunction&) = delete;
  MissingFunction& operator=(const MissingFunction&) = delete;

 private:
  Pointer& slot_;
  Pointer saved_;
};

TEST(WindowsLayerFallbacks, GetNativeSystemInfo) {
  Windows::LayerNT layer;
  SYSTEM_INFO native{};
  layer.GetNativeSystemInfo(&native);
  // This 32-bit process runs under WOW64 on a 64-bit system.
  EXPECT_EQ(native.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);

  MissingFunction<OptionalApi::GetNativeSystemInfo_t> missing(OptionalApi::GetNativeSystemInfo);
  SYSTEM_INFO fallback, expected;
  std::memset(&fallback, 0xCC, sizeof fallback);
  std::memset(&expected, 0xCC, sizeof expected);
  layer.GetNativeSystemInfo(&fallback);
  ::GetSystemInfo(&expected);
  EXPECT_EQ(fallback.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_INTEL);
  EXPECT_EQ(std::memcmp(&fallback, &expected, sizeof expected), 0);
}

TEST(WindowsLayerFallbacks, RedirectionSwitchesWhenPresent) {
  Windows::LayerNT layer;
  PVOID old = nullptr;
  ASSERT_TRUE(layer.Wow64DisableWow64FsRedirection(&old));
  EXPECT_TRUE(layer.Wow64RevertWow64FsRedirection(old));
}

TEST(WindowsLayerFallbacks, RedirectionSwitchesWhenMissing) {
  Windows::LayerNT layer;
  MissingFunction<OptionalApi::Wow64DisableWow64FsRedirection_t> no_disable(
      OptionalApi::Wow64DisableWow64FsRedirection);
  MissingFunction<OptionalApi::Wow64RevertWow64FsRedirection_t> no_revert(
      OptionalApi::Wow64RevertWow64FsRedirection);
  PVOID old = reinterpret_cast<PVOID>(0x1234);
  EXPECT_FALSE(layer.Wow64DisableWow64FsRedirection(&old));
  EXPECT_EQ(old, reinterpret_cast<PVOID>(0x1234));
  EXPECT_FALSE(layer.Wow64RevertWow64FsRedirection(old));
}

// The operations with no fallback fail with ERROR_CALL_NOT_IMPLEMENTED when
// their function is missing. Layer9x keeps LayerNT's notification-icon and
// credential operations, and its tool-help operations use the optional ANSI
// functions; its shell and version operations call ANSI functions that every
// Windows 9x has, so only the NT layer is checked for those.
void ExpectNotImplemented(Windows::LayerNT& layer, bool shell_and_version) {
  using namespace OptionalApi;
  MissingFunction<SHGetFileInfoW_t> m1(OptionalApi::SHGetFileInfoW);
  MissingFunction<SHGetPathFromIDListW_t> m2(OptionalApi::SHGetPathFromIDListW);
  MissingFunction<Shell_NotifyIconW_t> m3(OptionalApi::Shell_NotifyIconW);
  MissingFunction<VerQueryValueW_t> m4(OptionalApi::VerQueryValueW);
  MissingFunction<GetFileVersionInfoSizeW_t> m5(OptionalApi::GetFileVersionInfoSizeW);
  MissingFunction<GetFileVersionInfoW_t> m6(OptionalApi::GetFileVersionInfoW);
  MissingFunction<Process32FirstW_t> m7(OptionalApi::Process32FirstW);
  MissingFunction<Process32NextW_t> m8(OptionalApi::Process32NextW);
  MissingFunction<Module32FirstW_t> m9(OptionalApi::Module32FirstW);
  MissingFunction<Process32FirstA_t> m10(OptionalApi::Process32FirstA);
  MissingFunction<Process32NextA_t> m11(OptionalApi::Process32NextA);
  MissingFunction<Module32FirstA_t> m12(OptionalApi::Module32FirstA);
  MissingFunction<CredWriteW_t> m13(OptionalApi::CredWriteW);
  MissingFunction<CredReadW_t> m14(OptionalApi::CredReadW);
  MissingFunction<CredDeleteW_t> m15(OptionalApi::CredDeleteW);
  MissingFunction<CredFree_t> m16(OptionalApi::CredFree);
  MissingFunction<CredEnumerateW_t> m17(OptionalApi::CredEnumerateW);
  MissingFunction<CredMarshalCredentialW_t> m18(OptionalApi::CredMarshalCredentialW);
  MissingFunction<CredUnmarshalCredentialW_t> m19(OptionalApi::CredUnmarshalCredentialW);

  auto expect_failed = [](bool failed, const char* what) {
    EXPECT_TRUE(failed) << what;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << what;
    ::SetLastError(0);
  };
  ::SetLastError(0);
  if (shell_and_version) {
    SHFILEINFOW file_info{};
    expect_failed(layer.SHGetFileInfoW(L"C:\\", 0, &file_info, sizeof file_info,
                                       SHGFI_DISPLAYNAME) == 0,
                  "SHGetFileInfoW");
    WCHAR path[MAX_PATH];
    expect_failed(!layer.SHGetPathFromIDListW(nullptr, path), "SHGetPathFromIDListW");
    LPVOID value = nullptr;
    UINT length = 0;
    BYTE block[16] = {};
    expect_failed(!layer.VerQueryValueW(block, L"\\", &value, &length), "VerQueryValueW");
    DWORD handle = 0;
    expect_failed(layer.GetFileVersionInfoSizeW(L"kernel32.dll", &handle) == 0,
                  "GetFileVersionInfoSizeW");
    expect_failed(!layer.GetFileVersionInfoW(L"kernel32.dll", 0, sizeof block, block),
                  "GetFileVersionInfoW");
  }
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  expect_failed(!layer.Shell_NotifyIconW(NIM_ADD, &icon), "Shell_NotifyIconW");
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  expect_failed(!layer.Process32FirstW(nullptr, &process), "Process32FirstW");
  expect_failed(!layer.Process32NextW(nullptr, &process), "Process32NextW");
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  expect_failed(!layer.Module32FirstW(nullptr, &module), "Module32FirstW");
  CREDENTIALW credential{};
  expect_failed(!layer.CredWriteW(&credential, 0), "CredWriteW");
  PCREDENTIALW read = nullptr;
  expect_failed(!layer.CredReadW(L"target", CRED_TYPE_GENERIC, 0, &read), "CredReadW");
  expect_failed(!layer.CredDeleteW(L"target", CRED_TYPE_GENERIC, 0), "CredDeleteW");
  layer.CredFree(nullptr);
  expect_failed(true, "CredFree");
  DWORD count = 0;
  PCREDENTIALW* list = nullptr;
  expect_failed(!layer.CredEnumerateW(nullptr, 0, &count, &list), "CredEnumerateW");
  LPWSTR marshaled = nullptr;
  expect_failed(!layer.CredMarshalCredentialW(CertCredential, &credential, &marshaled),
                "CredMarshalCredentialW");
  CRED_MARSHAL_TYPE type{};
  PVOID unmarshaled = nullptr;
  expect_failed(!layer.CredUnmarshalCredentialW(L"@@x", &type, &unmarshaled),
                "CredUnmarshalCredentialW");
}

TEST(WindowsLayerFallbacks, NoFallbackMeansNotImplementedOnNT) {
  Windows::LayerNT layer;
  ExpectNotImplemented(layer, true);
}

TEST(WindowsLayerFallbacks, NoFallbackMeansNotImplementedOn9x) {
  Windows::Layer9x layer;
  ExpectNotImplemented(layer, false);
}

// --- a few of the optional operations doing their work -------------------------

TEST(WindowsLayerNT, OptionalOperationsWhenPresent) {
  Windows::LayerNT& layer = *WindowsLayerInstance;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  EXPECT_TRUE(layer.Process32FirstW(snapshot, &process));
  EXPECT_TRUE(layer.Process32NextW(snapshot, &process));
  ::CloseHandle(snapshot);

  WCHAR kernel32[MAX_PATH];
  ASSERT_GT(layer.GetSystemDirectoryW(kernel32, MAX_PATH), 0u);
  wcscat(kernel32, L"\\kernel32.dll");
  DWORD handle = 0;
  const DWORD size = layer.GetFileVersionInfoSizeW(kernel32, &handle);
  ASSERT_GT(size, 0u);
  std::unique_ptr<BYTE[]> block(new BYTE[size]);
  ASSERT_TRUE(layer.GetFileVersionInfoW(kernel32, 0, size, block.get()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(layer.VerQueryValueW(block.get(), L"\\", reinterpret_cast<LPVOID*>(&fixed),
                                   &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
}

}  // namespace
