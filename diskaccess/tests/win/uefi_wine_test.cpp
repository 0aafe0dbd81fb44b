// The platform's firmware under Wine, which offers no variable services:
// the layer must tell that this is not an EFI system.
#include <gtest/gtest.h>

#include "diskaccess/uefi.h"

namespace {

TEST(PlatformFirmware, WineIsNoEfiSystem) {
  Uefi::SetFirmware(nullptr);
  EXPECT_FALSE(Uefi::IsEfiSystem());
  auto order = Uefi::MakeWindowsVariable(Uefi::EfiGlobalVariableGuid, u"BootOrder", 0);
  const std::uint32_t code = order->Read().Code();
  // Not implemented by the firmware, or refused before it is asked.
  EXPECT_TRUE(code == Uefi::kErrNotImplemented || code == Uefi::kErrPrivilege ||
              code == Uefi::kErrFunctionMissing)
      << std::hex << code;
  EXPECT_TRUE(order->Exists());
}

}  // namespace
