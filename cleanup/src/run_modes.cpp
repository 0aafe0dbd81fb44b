#include "cleanup/run_modes.h"

#include <string_view>

namespace Cleanup {

RunMode SelectRunMode(int argc, const char16_t* const* argv) {
  if (argc <= 1 || argv == nullptr || argv[1] == nullptr) return RunMode::Default;
  const std::u16string_view first(argv[1]);
  if (first == u"file") return RunMode::File;
  if (first == u"registry") return RunMode::Registry;
  if (first == u"vdd") return RunMode::Vdd;
  return RunMode::Default;
}

int RunCleanup(RunMode mode, const CleanupSteps& steps) {
  switch (mode) {
    case RunMode::File:
      steps.removeProductFolders();
      return 0;
    case RunMode::Registry:
      steps.removeInstallerRegistration();
      return 0;
    case RunMode::Vdd:
      steps.removeDiskFilterDrivers();
      return 0;
    case RunMode::Default:
      break;
  }
  // Each step cleans up what it can on its own; none depends on another
  // having worked, so their results are dropped rather than allowed to cut
  // the run short or leak into the exit code.
  steps.runCplDisintegrate();
  steps.setContextMenuHandlers(false);
  steps.setShellExtensionRegistered(false);
  steps.removeDriversAndServices();
  steps.removeBootFolders();
  steps.removeNameSpaceKey();
  return 0;
}

}  // namespace Cleanup
