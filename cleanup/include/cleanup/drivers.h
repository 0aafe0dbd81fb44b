// The driver step of the default run and the "vdd" mode: the product
// family's kernel filter drivers and services. Each driver's name is taken
// out of the device classes' filter lists, then its removal .inf runs
// through the driver-uninstall helper (inst_drv) with the helper files
// written into a fresh temporary folder; what cannot go at once is left to
// RunOnce command lines.
//
// The step entry points (RemoveDriversAndServices, RemoveDiskFilterDrivers)
// are declared in cleanup/steps.h.
//
// Windows-only header.
#pragma once

#include <windows.h>

#include <string>

namespace Cleanup {

// Writes kardnt.dll, kardapp.exe and the .inf from the payload into a new
// temporary folder, replaces the first `find` in the .inf by `replacement`
// (when both are given and differ), and uninstalls with the .inf. Returns
// the helper's result, or the error of a payload file that could not be
// written (never 0 then).
DWORD RunRemovalInf(const char* infName, const char* description, const char* find,
                    const char* replacement);

// The removal groups of the default run; each returns its last result.
DWORD RemoveArchiveMounter();
DWORD RemoveSnapshotFilters();
DWORD RemoveVersionedVolumeFilter();

// The build suffix of the installed versioned disk filter's service name:
// the digits after "tolbrin" of the first service named "tolbrin" and
// digits only (VersionedFilterSuffix); empty when there is none.
std::string FindVersionedFilterSuffix();

// Rewrites the file from the first `find` on: the replacement, then the rest
// of the old content; the file ends right after it. False (file as it was)
// when it cannot be read whole or has no `find`, or the write fails.
bool ReplaceFirstInFile(const std::u16string& path, const std::string& find,
                        const std::string& replacement);

// "CMD /C DEL /F /Q \"<system folder>\drivers\<file>\"".
std::u16string DriverFileDeleteCommand(const std::u16string& systemFolder,
                                       const std::u16string& file);

}  // namespace Cleanup
