// Switching WOW64 file-system redirection off around one operation.
#include "files/win/helpers.h"
#include "files/win/win_dir.h"
#include "windows/layer.h"

namespace {

// The pair is usable only whole: without the revert, redirection once off
// could never be put back.
bool RedirectionControlAvailable() {
  static const bool available = OptionalApi::Wow64DisableWow64FsRedirection != nullptr &&
                                OptionalApi::Wow64RevertWow64FsRedirection != nullptr;
  return available;
}

}  // namespace

Wow64RedirectionScope::Wow64RedirectionScope() noexcept {
  if (!RedirectionControlAvailable()) return;
  disabled_ = OptionalApi::Wow64DisableWow64FsRedirection(&old_) != FALSE;
}

Wow64RedirectionScope::~Wow64RedirectionScope() {
  if (!disabled_) return;
  LastErrorKeeper keep;
  OptionalApi::Wow64RevertWow64FsRedirection(old_);
}
