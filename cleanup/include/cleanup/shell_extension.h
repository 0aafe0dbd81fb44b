// The products' shell integration: the context-menu handler keys of their
// shell extension, the registration of their property-sheet library (run
// through regsvr32.exe on the library beside the program) and the My
// Computer namespace key of their namespace extension. Each step looks at
// the current state first and does nothing when it already matches.
//
// Windows-only header.
#pragma once

#include <string>

#include "cleanup/namespace_key.h"
#include "cleanup/steps.h"

namespace Cleanup {

// The handler keys under HKEY_CLASSES_ROOT, in the order the presence test
// opens them: "*", "Folder", "Drive".
extern const char16_t* const kContextMenuHandlerKeys[3];

// The property-sheet handler's class key under HKEY_LOCAL_MACHINE.
constexpr char16_t kPropertySheetClassKey[] =
    u"SOFTWARE\\Classes\\CLSID\\{3F6A0C92-D147-4B58-8E2A-91C7B5E04D63}";
constexpr char16_t kPropertySheetLibrary[] = u"history_tab.dll";

// True only when all three handler keys open.
bool ContextMenuHandlersPresent();

// The program's path (at most 260 units), its folder up to and including
// the last backslash (the whole path when it has none), and the paths of the
// property-sheet library beside it and of its 64-bit build in "x64".
std::u16string ProgramFilePath();
std::u16string ProgramFolder();
std::u16string PropertySheetLibraryPath();
std::u16string PropertySheetLibraryPath64();

// "%SYSTEMROOT%\System32\regsvr32.exe" expanded; just "regsvr32.exe" when
// the expansion fails, does not fit 260 units or leaves a '%' behind.
std::u16string Regsvr32Path();

// Runs regsvr32.exe with the arguments and waits for it; true when it ends
// with 0, or 5 (the library's own entry point failed).
bool RunRegsvr32(const std::u16string& arguments);

}  // namespace Cleanup
