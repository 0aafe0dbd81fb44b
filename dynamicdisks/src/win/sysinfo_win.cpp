// The Windows probes of the platform, the version and the boot information
// of the primary disk group.
#include <windows.h>

#include "common/error.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/sysinfo.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kSysInfoLocation = 0x4C445301;
constexpr std::uint32_t kErrSysInfo = 0x100C0A;

[[noreturn]] void ThrowSysInfo() {
  throw Common::Error(kSysInfoLocation, kModuleId, kErrSysInfo, "System info error.");
}

bool ReadVersion(OSVERSIONINFOEXA& info, bool& extended) {
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  extended = true;
  if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return true;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  extended = false;
  return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != 0;
}

bool ProductTypeFromRegistry(std::uint32_t& kind) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char value[81] = {};
  DWORD size = 80;
  const LONG rc = RegQueryValueExA(key, "ProductType", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;
  if (lstrcmpiA(value, "WINNT") == 0) kind = 1;
  if (lstrcmpiA(value, "LANMANNT") == 0 || lstrcmpiA(value, "SERVERNT") == 0) kind = 2;
  return true;
}

}  // namespace

Platform GetPlatform() {
  using IsWow64 = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = GetModuleHandleA("kernel32");
  auto probe = kernel ? reinterpret_cast<IsWow64>(
                            reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")))
                      : nullptr;
  if (probe == nullptr) return Platform::kX86;
  BOOL wow = FALSE;
  if (!probe(GetCurrentProcess(), &wow)) ThrowSysInfo();
  return wow ? Platform::kAmd64 : Platform::kX86;
}

OsRecord ProbeOs(Platform platform) {
  OSVERSIONINFOEXA info;
  bool extended = false;
  if (!ReadVersion(info, extended)) ThrowSysInfo();
  OsRecord os;
  os.build = info.dwBuildNumber;
  const DWORD major = info.dwMajorVersion;
  const DWORD minor = info.dwMinorVersion;
  if (platform == Platform::kX86) {
    if (info.dwPlatformId == VER_PLATFORM_WIN32s) {
      os.osCode = 1;
    } else if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
      os.productKind = 1;
      os.osCode = (major == 4 && (minor == 0 || minor == 10 || minor == 90)) ? 2 : 0;
    } else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
      os.osCode = major <= 4                 ? 3
                  : (major == 5 && minor == 0) ? 4
                  : (major == 5 && minor == 1) ? 5
                  : major == 5                 ? 6
                  : (major == 6 && minor == 0) ? 7
                                               : 8;
      if (GetSystemMetrics(SM_MEDIACENTER) != 0) os.productKind = 5;
      if (extended) {
        if (info.wProductType == VER_NT_WORKSTATION) {
          os.productKind = major <= 4 ? 1 : (info.wSuiteMask & VER_SUITE_PERSONAL) ? 4 : 3;
        } else if (info.wProductType == VER_NT_DOMAIN_CONTROLLER ||
                   info.wProductType == VER_NT_SERVER) {
          os.productKind = 2;
        }
        os.servicePack = info.wServicePackMajor + info.wServicePackMinor * 65536u;
      } else if (!ProductTypeFromRegistry(os.productKind)) {
        ThrowSysInfo();
      }
    }
    return os;
  }
  if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return os;
  os.osCode = (major < 5 || (major == 5 && minor <= 1)) ? 1
              : major == 5                              ? 2
              : (major == 6 && minor == 0)              ? 3
                                                        : 4;
  if (extended) {
    if (info.wProductType == VER_NT_WORKSTATION) {
      os.productKind = (info.wSuiteMask & VER_SUITE_PERSONAL) ? 3 : 2;
    } else if ((info.wProductType == VER_NT_DOMAIN_CONTROLLER ||
                info.wProductType == VER_NT_SERVER) &&
               major == 5 && (minor == 0 || minor == 2)) {
      os.productKind = 1;
    }
    os.servicePack = info.wServicePackMajor + info.wServicePackMinor * 65536u;
  }
  return os;
}

std::uint32_t GetLdmPlatformFlags() {
  const Platform platform = GetPlatform();
  return LdmPlatformFlagsFor(platform, ProbeOs(platform));
}

bool ReadPrimaryDiskGroupName(std::string& name, std::string& id) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                    "SYSTEM\\CurrentControlSet\\Services\\dmio\\Boot Info\\Primary Disk Group", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  auto read = [&](const char* value, DWORD max, std::string& out) {
    char buffer[80] = {};
    DWORD size = max;
    DWORD type = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      return false;
    }
    out.assign(buffer, strnlen(buffer, size));
    return true;
  };
  const bool ok = read("Name", 32, name) && read("ID", 65, id);
  RegCloseKey(key);
  return ok;
}

void InstallWindowsRootGroupSource() {
  RootGroupSource source;
  source.platformFlags = [] {
    try {
      return GetLdmPlatformFlags();
    } catch (const Common::Error&) {
      return std::uint32_t(0);
    }
  };
  source.primaryGroup = &ReadPrimaryDiskGroupName;
  SetRootGroupSource(source);
}

}  // namespace Ldm
