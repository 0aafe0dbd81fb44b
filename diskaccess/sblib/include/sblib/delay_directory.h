// The delay-import descriptors linked into the program.
//
// The image's own delay-import directory (the PE data directory entry) is
// not filled in by GNU ld, so the descriptors that dlltool's delay-import
// libraries bring are listed here instead: a null-terminated array of
// pointers to 32-byte descriptors in the run-time's layout (attributes,
// then the RVAs of the library name, module handle, import address table,
// import name table, bound and unload tables, and a time stamp).
//
// Windows builds only.
#pragma once

extern "C" const void* const purgekit_delay_import_descriptors[];
