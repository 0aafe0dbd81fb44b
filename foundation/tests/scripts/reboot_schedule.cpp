// Schedules the deletion or replacement of a file for the next start, for
// reboot_pending_test.sh:
//   reboot_schedule delete PATH           DeleteOrMoveAtReboot, delayed only
//   reboot_schedule move SOURCE TARGET    the same, replacing TARGET
//   reboot_schedule wininit PATH          a NUL= line in the Windows
//                                         directory's WININIT.INI
// Exit code 0 on success, 1 on failure, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>

#include "foundation/registry_security.h"
#include "foundation/text.h"

namespace {

const char16_t* U(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace Common;
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"delete" && argc == 3)
    return DeleteOrMoveAtReboot(U(argv[2]), nullptr, kRebootDelayOnly) ? 0 : 1;
  if (mode == L"move" && argc == 4)
    return DeleteOrMoveAtReboot(U(argv[2]), U(argv[3]), kRebootDelayOnly) ? 0 : 1;
  if (mode == L"wininit" && argc == 3) {
    const std::string ini = WininitIniPath();
    if (ini.empty()) return 1;
    std::string line;
    ShortPathRenameLine(line, nullptr, WideToAnsi(U(argv[2])).c_str(), false);
    return AddWininitRenameLine(ini.c_str(), line, 0) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: reboot_schedule delete PATH | move SOURCE TARGET | wininit PATH\n");
  return 2;
}
