// The platform and version probes under Wine: a 32-bit program in the
// 64-bit prefix is on the Amd64 platform, and the flags are the table's for
// the version record the probe reads.
#include <gtest/gtest.h>

#include <windows.h>

#include "ldm/sysinfo.h"

namespace {

TEST(SysInfo, ThePrefixIsAmd64AndItsFlagsFollowTheTable) {
  ASSERT_EQ(Ldm::GetPlatform(), Ldm::Platform::kAmd64);
  const Ldm::OsRecord os = Ldm::ProbeOs(Ldm::Platform::kAmd64);
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  // The 64-bit probe's os codes: 5.2 is 2, 6.0 is 3, later ones 4.
  const std::uint32_t expected = info.dwMajorVersion == 5 ? (info.dwMinorVersion <= 1 ? 1 : 2)
                                 : (info.dwMajorVersion == 6 && info.dwMinorVersion == 0) ? 3
                                                                                          : 4;
  EXPECT_EQ(os.osCode, expected);
  EXPECT_EQ(Ldm::GetLdmPlatformFlags(), Ldm::LdmPlatformFlagsFor(Ldm::Platform::kAmd64, os));
  EXPECT_NE(Ldm::GetLdmPlatformFlags(), 0u);
}

}  // namespace
