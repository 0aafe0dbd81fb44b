// Creating and removing whole directory trees through the directory
// interfaces, so that the same walk serves live Windows volumes and mounted
// file systems alike.
//
// Neither returns a value: the outcome is the directory object's stored
// status. Both leave the caller's object alive and free everything they
// opened themselves.
#pragma once

#include "files/dir.h"

// Creates `directory` together with every missing ancestor. Afterwards the
// directory's status is NoError when it exists (it existed, or it was
// created); otherwise the error of its own first creation attempt, or of the
// last creation of the pass down from the first ancestor that could be made.
void CreateDirTree(rio_dir* directory);

// Removes everything below `directory`, and the directory itself unless
// `keep_top`. Junctions and directory symbolic links are removed as entries
// and never entered, so nothing in their targets is touched; this holds for
// `directory` itself too (with `keep_top` such a link is left as it is). Entries that
// cannot be deleted (read-only, in use, denied) stay, with the directories
// above them; the walk goes on with everything else. Afterwards the
// directory's status is that of the last operation made on it.
void RemoveDirTree(rio_dir* directory, bool keep_top);
