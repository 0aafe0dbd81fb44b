// The program's delay-import descriptors: dorvex.dll's, from dorvex_delay.a.
#include "sblib/delay_directory.h"

// The descriptor dlltool writes into the head of dorvex_delay.a.
extern "C" const char _DELAY_IMPORT_DESCRIPTOR_dorvex_delay_a[];

extern "C" const void* const purgekit_delay_import_descriptors[] = {
    _DELAY_IMPORT_DESCRIPTOR_dorvex_delay_a,
    nullptr,
};
