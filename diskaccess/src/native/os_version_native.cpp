// The portable build has no operating system to ask: it reports the
// defaults of DaOsVersion (Windows XP SP3 on x86) unless a test sets a
// source of its own.
#include "diskaccess/da_state.h"

void DaPlatformOsVersion(DaOsVersion& out) { out = DaOsVersion{}; }
