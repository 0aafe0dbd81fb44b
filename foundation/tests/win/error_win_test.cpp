// DescribeSystemCode on Windows: the system's own message text,
// with carriage returns removed and a one-line message's final period
// dropped.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/error.h"

using namespace Common;

namespace {

// What Windows itself says for a code, unprocessed.
std::u16string RawSystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                               reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (units && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), units);
  if (buffer) LocalFree(buffer);
  return text;
}

}  // namespace

TEST(ErrorWin, Win32Code5DescribesAsTheSystemMessage) {
  Error e;
  AttachWin32Cause(e, ERROR_ACCESS_DENIED);
  ASSERT_EQ(GetNumberField(e, "code"), 0x80070005u);

  std::u16string raw = RawSystemMessage(0x80070005);
  ASSERT_FALSE(raw.empty()) << "Windows has a message for 0x80070005";
  EXPECT_NE(raw.find(u'\r'), std::u16string::npos) << "ends with CR LF";
  std::u16string expected;
  for (char16_t c : raw) {
    if (c != u'\r') expected += c;
  }
  if (!expected.empty() && expected.back() == u'\n') expected.pop_back();
  ASSERT_EQ(expected.find(u'\n'), std::u16string::npos) << "a one-line message";
  ASSERT_FALSE(expected.empty());
  if (expected.back() == u'.') expected.pop_back();

  std::u16string text = Describe(e);
  EXPECT_EQ(text, expected);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find(u'\r'), std::u16string::npos);
  EXPECT_NE(text.back(), u'.');
  EXPECT_NE(text.back(), u'\n');

  std::u16string out = u"stale";
  DescribeSystemCode(out, e.Record());
  EXPECT_EQ(out, expected);
}

TEST(ErrorWin, CodeWithoutSystemMessageDescribesEmpty) {
  Error e;
  AttachHresultCause(e, 0xA0F0BEEF);  // customer-defined: no system message
  ASSERT_TRUE(RawSystemMessage(0xA0F0BEEF).empty());
  EXPECT_EQ(Describe(e), u"");
}

TEST(ErrorWin, PlainWin32CodesDescribeLikeWindows) {
  // The stored value is what Windows is asked about: code 2 as 0x80070002.
  Error e;
  AttachWin32Cause(e, ERROR_FILE_NOT_FOUND);
  std::u16string raw = RawSystemMessage(0x80070002);
  std::u16string expected = raw;
  NormalizeSystemMessage(expected);
  EXPECT_EQ(Describe(e), expected);
}
