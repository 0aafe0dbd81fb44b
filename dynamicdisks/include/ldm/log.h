// The dynamic-disk code's log line and the switch that silences it while
// the disks are first examined.
#pragma once

namespace Ldm {

// printf-style, traced at level 1 with the dynamic-disk category while the
// switch is on.
void LdmLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void SetLdmLogEnabled(bool on);
bool LdmLogEnabled();

}  // namespace Ldm
