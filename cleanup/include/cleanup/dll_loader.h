// Binding of a delay-imported library, from the search path or from a
// private folder into which it is first copied out of the program's payload.
//
// The program imports the snapshot library dorvex.dll with delayed loading:
// its functions are linked, but bound only when asked. `DllLoader` does the
// asking, all functions at once, and turns every failure into a Win32 error
// code. It binds by walking the program's own delay-import directory rather
// than through the run-time's load-all helper, because that helper reports
// failures by raising a structured exception, which cannot be caught in
// g++-built code without unwinding through C frames; binding here gives the
// same result (module handle and every import slot filled, or nothing
// changed) with the failure as a return value.
//
// While any loader lives, the run-time's delay-load notification and
// failure hooks are ours (installed by the first, restored by the last):
// the notification hook loads the library from the extraction folder, so a
// function bound lazily by the run-time finds the extracted copy too.
//
// Windows-only header.
#pragma once

#include <windows.h>
// delayimp.h needs the Windows types first.
#include <delayimp.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace Cleanup {

// Thrown by the hooks when a library or function cannot be bound, and only
// while this file's own binder is running (never through the run-time's C
// code); the binder turns it into error 2.
struct delay_load_failed {};

// Flags of DllLoader::Load and LoadSnapshotLibrary.
constexpr uint32_t kLoadFromSearchPath = 1;  // search path first, extraction on failure
constexpr uint32_t kLoadExtractFirst = 2;    // extraction first
constexpr uint32_t kLoadChangeDirectory = 4; // extraction folder becomes current (9x)

class DllLoader {
 public:
  // The first name is the delay-imported library, the others companion
  // files copied with it. The library name is replaced by its spelling in
  // the program's delay-import directory when one matches without regard
  // to letter case.
  explicit DllLoader(std::initializer_list<const char*> names);
  ~DllLoader();
  DllLoader(const DllLoader&) = delete;
  DllLoader& operator=(const DllLoader&) = delete;

  // 0 or a Win32 error code.
  uint32_t Load(uint32_t flags);
  uint32_t Extract();
  uint32_t Bind();
  uint32_t Unbind();
  uint32_t RemoveExtracted();

  const std::string& LibraryName() const { return names_.front(); }
  const std::vector<std::string>& Names() const { return names_; }

 private:
  std::vector<std::string> names_;
};

// The process-wide extraction folder ("<temp>dl0XXXXXXXXh\"), empty until
// made.
const std::u16string& DllExtractionFolder();

// The hooks DllLoader installs in the run-time's delay-load helper.
FARPROC WINAPI DelayLoadNotifyHook(unsigned notification, PDelayLoadInfo info);
FARPROC WINAPI DelayLoadFailureHook(unsigned notification, PDelayLoadInfo info);

// The clean-up tool's one loader of the snapshot library: made on first
// use, bound with the given flags (plus kLoadChangeDirectory on Windows 9x,
// where the library comes with the companion mirtel.vxd). 0 when it was
// bound (or already existed), else the error code.
uint32_t LoadSnapshotLibrary(uint32_t flags);
// Unbinds and destroys that loader; 0 when there was none.
uint32_t UnloadSnapshotLibrary();

}  // namespace Cleanup
