// The formatter's header before <windows.h>, whose FormatMessage macro then
// renames every later use: the class must still be found, and the system
// function too.
#include "foundation/format_message.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <gtest/gtest.h>

#if defined(_WIN32)

namespace {

TEST(FormatMessageWinTest, HeaderBeforeWindowsHeader) {
  Fdisk::FormatMessage text(u"{0}-{1}");
  text % 1 % L"two";
  EXPECT_TRUE(text == u"1-two");

  // The system's FormatMessage is still the macro's function.
  wchar_t buffer[256] = {};
  const DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, ERROR_ACCESS_DENIED, 0, buffer, 256, nullptr);
  EXPECT_GT(n, 0u);
}

}  // namespace

#endif
