// Firmware variables through the NT native interface, bound at run time.
#include <windows.h>
#include <winternl.h>

#include "diskaccess/uefi.h"
#include "foundation/registry_security.h"

namespace Uefi {
namespace {

using QueryFn = LONG(NTAPI*)(PUNICODE_STRING, GUID*, PVOID, PULONG, PULONG);
using SetFn = LONG(NTAPI*)(PUNICODE_STRING, GUID*, PVOID, ULONG, ULONG);
using InitStringFn = VOID(NTAPI*)(PUNICODE_STRING, PCWSTR);

class NtFirmware : public Firmware {
 public:
  bool BindQuery(std::uint32_t& win32Error) override {
    if (query_ == nullptr) {
      query_ = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemEnvironmentValueEx")));
      if (query_ == nullptr) {
        win32Error = GetLastError();
        return false;
      }
    }
    return true;
  }

  bool BindSet(std::uint32_t& win32Error) override {
    if (set_ == nullptr) {
      set_ = reinterpret_cast<SetFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetSystemEnvironmentValueEx")));
      if (set_ == nullptr) {
        win32Error = GetLastError();
        return false;
      }
    }
    return true;
  }

  bool EnablePrivilege() override {
    return Common::SetPrivilege("SeSystemEnvironmentPrivilege", nullptr, true);
  }

  bool BindStringBuilder(std::uint32_t& win32Error) override {
    initString_ = reinterpret_cast<InitStringFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlInitUnicodeString")));
    if (initString_ == nullptr) {
      win32Error = GetLastError();
      return false;
    }
    return true;
  }

  std::uint32_t Query(const std::u16string& name, const Common::Guid& vendor, void* buffer,
                      std::uint32_t* length, std::uint32_t* attributes) override {
    UNICODE_STRING text;
    initString_(&text, reinterpret_cast<PCWSTR>(name.c_str()));
    GUID guid;
    static_assert(sizeof guid == sizeof vendor.bytes, "GUID layout");
    memcpy(&guid, vendor.bytes, sizeof guid);
    ULONG len = *length;
    ULONG attrs = *attributes;
    const LONG status = query_(&text, &guid, buffer, &len, &attrs);
    *length = len;
    *attributes = attrs;
    return static_cast<std::uint32_t>(status);
  }

  std::uint32_t Set(const std::u16string& name, const Common::Guid& vendor, const void* data,
                    std::uint32_t length, std::uint32_t attributes) override {
    UNICODE_STRING text;
    initString_(&text, reinterpret_cast<PCWSTR>(name.c_str()));
    GUID guid;
    memcpy(&guid, vendor.bytes, sizeof guid);
    return static_cast<std::uint32_t>(
        set_(&text, &guid, const_cast<void*>(data), length, attributes));
  }

 private:
  QueryFn query_ = nullptr;
  SetFn set_ = nullptr;
  InitStringFn initString_ = nullptr;
};

}  // namespace

Firmware& PlatformFirmware() {
  static NtFirmware firmware;
  return firmware;
}

}  // namespace Uefi
