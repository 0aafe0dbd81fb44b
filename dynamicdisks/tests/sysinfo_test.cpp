// The client-platform flags of each platform and version.
#include <gtest/gtest.h>

#include "ldm/sysinfo.h"

namespace {

using Ldm::Platform;

TEST(PlatformFlags, FollowThePlatformAndVersion) {
  const struct {
    Platform platform;
    std::uint32_t os, kind, sp, flags;
  } cases[] = {
      {Platform::kX86, 4, 1, 0, 0x15},  {Platform::kX86, 4, 3, 0, 0x15},
      {Platform::kX86, 4, 2, 0, 0x16},  {Platform::kX86, 4, 4, 0, 0},
      {Platform::kX86, 5, 3, 0, 0x15},  {Platform::kX86, 5, 4, 0, 0},
      {Platform::kX86, 6, 2, 0, 0x36},  {Platform::kX86, 6, 2, 1, 0x3E},
      {Platform::kX86, 7, 2, 0, 0x3EE}, {Platform::kX86, 8, 3, 0, 0xED},
      {Platform::kX86, 8, 4, 0, 0xEC},  {Platform::kX86, 3, 1, 0, 0},
      {Platform::kAmd64, 1, 0, 0, 0x2D}, {Platform::kAmd64, 2, 2, 0, 0x2D},
      {Platform::kAmd64, 2, 1, 0, 0x2E}, {Platform::kAmd64, 3, 1, 0, 0x3EE},
      {Platform::kAmd64, 4, 2, 0, 0xED}, {Platform::kAmd64, 4, 3, 0, 0xEC},
      {Platform::kAmd64, 5, 2, 0, 0},
  };
  for (const auto& c : cases) {
    Ldm::OsRecord os;
    os.osCode = c.os;
    os.productKind = c.kind;
    os.servicePack = c.sp;
    EXPECT_EQ(Ldm::LdmPlatformFlagsFor(c.platform, os), c.flags)
        << (c.platform == Platform::kX86 ? "x86 " : "amd64 ") << c.os << "/" << c.kind;
  }
}

}  // namespace
