// The library flags made from the init flags, and the capability flags made
// from the library's mode word, the init flags and the Windows version.
#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/win_computer.h"

namespace {

TEST(LibraryFlags, FollowTheInitFlags) {
  struct Case {
    std::uint32_t init, library;
  };
  const Case cases[] = {
      {0x1C11, 0x10}, {0, 0x90},    {0xC0, 0x70},  {0x40, 0x30},
      {0x80, 0x50},   {0x1, 0x10},  {0x10, 0x90},  {0x241, 0x30},
  };
  for (const Case& c : cases) EXPECT_EQ(DaLibraryFlags(c.init), c.library) << std::hex << c.init;
}

DaOsVersion Os(std::uint32_t major, std::uint32_t minor, std::uint32_t sp, std::uint32_t arch) {
  DaOsVersion v;
  v.major = major;
  v.minor = minor;
  v.servicePackMajor = sp;
  v.processorArchitecture = arch;
  return v;
}

TEST(CapabilityFlags, FollowTheModeWord) {
  const DaOsVersion xp = Os(5, 1, 3, 0);
  const std::uint32_t always = 0x1 | 0x8 | 0x80 | 0x1000 | 0x10000;
  struct Case {
    std::uint32_t mode, init, expected;
  };
  const Case cases[] = {
      // Not emulated: the full set, less what bits 2 and 3 take away.
      {0x0, 0x1C11, always | 0x2 | 0x20 | 0x100 | 0x200 | 0x400 | 0x800 | 0x2000},
      {0x4, 0x1C11, always | 0x2 | 0x4 | 0x20 | 0x200 | 0x2000},
      {0x8, 0x1C11, always | 0x2 | 0x20 | 0x100 | 0x200 | 0x400 | 0x800},
      // Emulated (bit 0): library mode 0, no 0x20 unless asked for.
      {0x1, 0x1C11, always | 0x10 | 0x100},
      {0x3, 0x1C11, always | 0x10},
      {0x1, 0x1C31, always | 0x10 | 0x20 | 0x100},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DaCapabilityFlags(c.mode, c.init, xp), c.expected) << std::hex << c.mode;
}

TEST(CapabilityFlags, FollowTheWindowsVersion) {
  struct Case {
    DaOsVersion os;
    bool has8000, has10000;
  };
  const Case cases[] = {
      {Os(5, 1, 3, 0), false, true},   // XP SP3, x86
      {Os(5, 1, 2, 9), true, true},    // XP on x64
      {Os(5, 1, 0, 6), true, true},    // IA-64
      {Os(5, 2, 0, 0), false, true},   // Server 2003 without a service pack
      {Os(5, 2, 1, 0), true, true},    // with one
      {Os(6, 0, 0, 0), true, false},   // Vista
      {Os(10, 0, 0, 0), true, false},
  };
  for (const Case& c : cases) {
    const std::uint32_t flags = DaCapabilityFlags(0, 0x1C11, c.os);
    EXPECT_EQ((flags & 0x8000) != 0, c.has8000) << c.os.major << "." << c.os.minor;
    EXPECT_EQ((flags & 0x10000) != 0, c.has10000) << c.os.major << "." << c.os.minor;
  }
}

}  // namespace
