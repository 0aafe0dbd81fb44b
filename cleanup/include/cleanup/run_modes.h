// The clean-up program's run modes and the order of its default run.
//
// The program takes at most one meaningful argument: "file", "registry" or
// "vdd" narrows the run to that one job; anything else (or nothing) runs the
// full clean-up. The run is silent and its exit code is always 0, whatever
// the steps did or failed to do.
#pragma once

namespace Cleanup {

enum class RunMode { Default, File, Registry, Vdd };

// Only the first argument counts, and only when there is one (argc > 1). It
// must equal a keyword whole, code unit by code unit: "File", "-file" or
// "file " select the default run.
RunMode SelectRunMode(int argc, const char16_t* const* argv);

// The jobs the program can run. The program fills this with its real steps;
// tests fill it with recorders.
struct CleanupSteps {
  // The three modes.
  void (*removeProductFolders)();
  void (*removeInstallerRegistration)();
  int (*removeDiskFilterDrivers)();
  // The default run, in its order.
  void (*runCplDisintegrate)();
  bool (*setContextMenuHandlers)(bool present);
  bool (*setShellExtensionRegistered)(bool registered);
  int (*removeDriversAndServices)();
  int (*removeBootFolders)();
  void (*removeNameSpaceKey)();
};

// Runs the mode alone, or every step of the default run in its fixed order.
// No step's result is looked at: a failed step never keeps a later one from
// running, and the result (the exit code) is 0.
int RunCleanup(RunMode mode, const CleanupSteps& steps);

}  // namespace Cleanup
