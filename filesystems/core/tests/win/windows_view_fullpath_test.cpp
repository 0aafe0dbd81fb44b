// The Windows view resolves names the way Windows itself does: its open_dir
// against a directory gives the path GetFullPathNameW gives for the same
// directory and name (with the view's trailing '\').
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "fake_driver.h"
#include "filesystems/views.h"
#include "image_volume.h"

namespace {

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[1024];
  DWORD n = GetFullPathNameW(path.c_str(), 1024, buffer, nullptr);
  return std::wstring(buffer, n);
}

TEST(WindowsViewOnWindows, NormalisationAgreesWithGetFullPathName) {
  fstest::ImageVolume device(64, 512);
  auto* driver = new fstest::FakeDriver(&device, 0, 64, 0x7101);
  driver->windowsView = true;
  driver->AddUse();
  struct Case {
    const wchar_t* base;
    const wchar_t* text;
  } cases[] = {
      {L"C:\\", L"a"},          {L"C:\\a\\", L".."},        {L"C:\\a\\b\\", L"..\\..\\c"},
      {L"C:\\a\\", L"b\\.\\c"}, {L"C:\\a\\", L"b/c"},       {L"C:\\a\\", L"b\\\\c"},
      {L"C:\\a\\", L"b."},      {L"C:\\a\\", L"b "},        {L"C:\\", L".."},
      {L"C:\\a\\", L"C:\\z\\y"}, {L"C:\\a\\b\\", L"..\\c\\..\\d"},
  };
  for (auto& c : cases) {
    std::u16string base(c.base, c.base + wcslen(c.base));
    std::u16string text(c.text, c.text + wcslen(c.text));
    std::unique_ptr<rio_dir> from(driver->OpenDirectory(base.c_str()));
    ASSERT_TRUE(from);
    std::unique_ptr<rio_dir> to(from->open_dir(text.c_str()));
    ASSERT_TRUE(to) << std::string(c.text, c.text + wcslen(c.text));
    std::u16string got = to->path();
    std::wstring combined = (c.text[1] == L':') ? std::wstring(c.text)
                                                 : std::wstring(c.base) + c.text;
    std::wstring expected = FullPath(combined);
    if (expected.empty() || expected.back() != L'\\') expected += L'\\';
    EXPECT_EQ(std::wstring(got.begin(), got.end()), expected)
        << std::string(combined.begin(), combined.end());
  }
  // Where the two part: a name that climbs above the drive's root and comes
  // down again is refused by the view, where Windows stops at the root.
  std::unique_ptr<rio_dir> root(driver->OpenRootDirectory());
  EXPECT_EQ(root->open_dir(u"..\\x"), nullptr);
  EXPECT_EQ(FullPath(L"C:\\..\\x"), L"C:\\x");
  driver->Release();
}

}  // namespace
