// ICU's data files through the program's resource hook.
//
// ICU maps its data files through two platform functions; the Windows build
// links ICU without its own and brings these instead, which read a data file
// through `ResourceOpener` into a heap block. Only the data names of the
// linked ICU release are served: its common data file (".\icudt<NN>l.dat")
// and the files of its data tree (".\icudt<NN>l\<folder>\<file>", taken as
// the resource "<folder>_<file>"). The payload carries no ICU data, so in a
// normal run ICU finds none.
//
// Windows-only header (the hook belongs to the Windows build's ICU).
#pragma once

#include <string>

struct UDataMemory;

// The resource name of an ICU data path, or false when the path names no
// data of the linked release.
bool IcuDataResourceName(const char* path, std::string& name);

// Reads the data file the path names into a new block and points the record
// at it. False for a null path, a name of another release, a missing
// resource, a file shorter than 24 bytes or of 2 GiB and more, and a failed
// read; the record is then left alone.
bool MapIcuDataFile(UDataMemory* record, const char* path);

// Frees a block MapIcuDataFile gave the record and clears the record's
// pointers and length; a record without a block is left alone.
void UnmapIcuDataFile(UDataMemory* record);
