// inst_drv, the driver-uninstall helper: uninstalls one kernel driver with a
// removal .inf through one of the product family's installer helpers, which
// the caller has written into a setup folder:
//   mode 1 (the start value): the library kardnt.dll, loaded into the
//     process, whose export UninstallDriver does the work;
//   mode 2 (after SetInstallMode): the program kardapp.exe, started with an
//     "/uninstall:" command line and waited for.
// On top of that: the versioned-driver variants for drivers whose service
// name carries a build number, the filter-list edit of the device classes,
// and a copy of a text file with a text replaced.
//
// Every operation returns a Win32-style code (0 success) and throws nothing.
// With the log flag, the procedures write their start, parameters and
// result to the install log (inst_drv/install_log.h).
//
// Windows-only header.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace InstDrv {

// The device-class keys under HKLM whose filter lists the helper edits.
constexpr char kVolumeClassKey[] =
    "System\\CurrentControlSet\\Control\\Class\\{71a27cdd-812a-11d0-bec7-08002be2092f}";
constexpr char kDiskClassKey[] =
    "System\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}";

// From now on, the helper program (mode 2).
void SetInstallMode();
// For tests only: any mode value, so that a test starts from the mode it
// needs. The program itself only ever switches from 1 to 2.
void SetInstallModeForTesting(DWORD mode);
// The folder holding the helper files; null clears it. Returns 0.
DWORD SetSetupDllPath(const wchar_t* folder);
// The folder, with a trailing '\' added (and kept) when it lacks one.
std::wstring GetSetupDllPath();
DWORD GetMode();

// Loads "<setup folder>kardnt.dll" ("kard9x.dll" on Windows 9x).
DWORD LoadSetupDll(HMODULE& module);
// Starts "\"<setup folder>kardapp.exe\" <parameters>" and waits for it; the
// exit code, or the Win32 error of a failed start or wait.
DWORD InvokeKardApp(const std::wstring& parameters);
// The path the helper gets: unchanged on the NT family, the short path on
// Windows 9x.
DWORD GetInfName(const std::wstring& in, std::wstring& out);

DWORD UninstallDriver(const char* description, std::uint16_t instance, const std::wstring& infPath,
                      bool log);

// The build in HKLM "Software\Quorvel\<name>" "Build" (64-bit view); else
// 0xFFFFFFFF when the service exists; else 0.
DWORD GetInstalledDriverVersion(const char* shortName);
// The name with the given version (or else the installed build) appended,
// on NT 5.0 and later when that number is neither 0 nor 0xFFFFFFFF.
std::string VersionedDriverName(const std::string& name, DWORD version);
// 3010 on success.
DWORD UninstallVersionedDriver(const char* shortName, const char* binaryBaseName,
                               const std::wstring& infPath, DWORD version, bool log);
DWORD UninstallLowerFilterDriver(const std::wstring& infPath, DWORD version, bool log);

// Takes the entry (letter case ignored) out of the REG_MULTI_SZ value: every
// occurrence, or the first with `firstOnly`. The list ends at its first
// empty string (where Windows stops reading a device's filters); what
// follows stays as it is. A missing key or value, and a value of another
// type, give 0.
DWORD RemoveFromMultiSzValue(HKEY root, const char* subkey, const char* valueName,
                             const char* entry, bool firstOnly);

// Writes the source's text, every occurrence of `find` replaced, to the
// target. 2 source not opened, 30 not read whole, 82 target not created,
// 29 not written whole.
DWORD CopyFileReplacingText(const std::wstring& source, const std::wstring& target,
                            const char* find, const char* replacement);

bool IsXPOrLaterVersionEx();

}  // namespace InstDrv
