// The program's payload: finding a named resource and opening it as a stream.
//
// The payload is a ZIP archive appended to the program file, or held in a
// file named like the program with the extension ".dat" beside it.
//
// - `ResourceOpener`: the hook every consumer of resources calls (the message
//   catalog loader among them). It points to `DefaultResourceOpener`, and
//   nothing in the system reassigns it; tests do.
// - `OpenResource`: looks for the name as a file in the current directory,
//   then in the program's directory, then as an entry of the payload
//   archive. The outcome of the first call decides, for the whole process,
//   whether later calls look on disk at all: the catalog load before `wmain`
//   is that first call, so a normal run without a catalog on disk takes
//   everything from the archive.
// - `OpenArchiveResource`: an entry of the payload archive, never a file on
//   disk. The archive is opened once and kept until `CloseResourceArchive`.
//
// Everything returned belongs to the caller and may carry an error from its
// construction; callers look at the stream's error before reading. No locks:
// used from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/dir.h"
#include "files/file_object.h"

class zip_file;

using ResourceOpenerFunction = si_file* (*)(const char* name);

extern ResourceOpenerFunction ResourceOpener;

// OpenResource(name).
si_file* DefaultResourceOpener(const char* name);

// `name` is narrow text, each byte widened to one UTF-16 unit (no code
// page). Null when the resource is nowhere.
si_file* OpenResource(const char* name);

// The payload archive's entry of that name, or null.
si_file* OpenArchiveResource(const char16_t* name);
si_file* OpenArchiveEntry(const char16_t* name);

// The cached archive, opening it on first use: the ".dat" file of
// `programPath` when it exists (even when it is no valid archive), else the
// program file itself. Null when neither file opens; the caches then stay
// empty and the next call tries again.
zip_file* OpenResourceArchive(const char16_t* programPath, zip_file*& zipCache,
                              ri_file*& fileCache);

// The archive cached by OpenArchiveEntry: the archive object first, then
// its file. The program's exit handler calls this; tests call it to start
// over.
void CloseResourceArchive();

// `i_dir::open_file` of the current-directory object as a random-access
// file; an absolute path opens that file. Null when it does not open.
ri_file* OpenFileInCurrentDir(const char16_t* path);

// The ".dat" file name of a program path: the program file name's extension
// replaced by ".dat", or ".dat" appended when the file name has none. A '.'
// in a folder name is never taken for an extension.
std::u16string ResourceArchiveName(std::u16string_view programPath);

// 0 before the first OpenResource call; then 1 when that call found its
// resource on disk (later calls look on disk first), 2 when it did not
// (later calls go straight to the archive).
constexpr int kResourceProbeUnset = 0;
constexpr int kResourceProbeDisk = 1;
constexpr int kResourceProbeArchive = 2;
extern int ResourceProbeState;

// Where the locator finds the current directory and the program's path. On
// Windows these are the file layer's current-directory object and module
// path; natively they are null (nothing on disk, no archive) unless a test
// sets them. The current directory belongs to the provider.
struct ResourceEnvironment {
  i_dir* (*currentDir)();
  const char16_t* (*modulePath)();
};
extern ResourceEnvironment ResourceLocatorEnvironment;
