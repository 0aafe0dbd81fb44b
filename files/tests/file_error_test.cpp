#include "files/file_error.h"

#include <gtest/gtest.h>

#include <string>

#include "catalog_slots.h"

namespace {

constexpr std::uint32_t kLoc = 0x20100001;
constexpr std::uint32_t kModule = 0x20100000;

std::u16string Text(const Common::Error& e) { return Common::Describe(e); }

// The system code attached as the cause.
std::uint64_t CauseCode(const Common::Error& e) {
  return Common::GetNumberField(Common::GetErrorCause(e), "code");
}

TEST(FileErrorTest, EveryCodeCarriesItsCatalogText) {
  FileErrorCatalog catalog;
  for (const FileErrorRow& row : FileErrorRows()) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(FileErrorMessageNumber(row.code), row.message);
    const Common::Error e = MakeFileError(kLoc, kModule, row.code);
    EXPECT_EQ(e.Code(), row.code);
    EXPECT_EQ(Text(e), row.text);
  }
  // The unused values have no entry.
  for (std::uint32_t unused : {0x40012u, 0x40016u, 0x40018u, 0x4001cu, 0u}) {
    EXPECT_EQ(FileErrorMessageNumber(unused), 0u) << unused;
  }
}

TEST(FileErrorTest, TextIsTheCatalogsAtTheTimeTheErrorIsBuilt) {
  CatalogSlots slots;
  slots.Set(1425, nullptr);
  const Common::Error before = MakeFileError(kLoc, kModule, kFileNotSupported);
  std::u16string changing = u"first";
  slots.Set(1425, changing.c_str());
  const Common::Error during = MakeFileError(kLoc, kModule, kFileNotSupported);
  changing = u"later";
  EXPECT_EQ(before.Code(), kFileNotSupported);
  EXPECT_EQ(Text(before), u"");
  EXPECT_EQ(Text(during), u"first");
}

TEST(FileErrorTest, Win32CodesMapToFileCodesOrKeepTheDefaults) {
  FileErrorCatalog catalog;
  struct Case {
    std::uint32_t win32;
    std::uint32_t code;  // 0: the defaults stay
  };
  const Case cases[] = {
      {18, 0x40002},   {38, 0x40002},   {39, 0x40004},   {112, 0x40004},  {8, 0x40006},
      {123, 0x40009},  {21, 0x4000b},   {19, 0x4000c},   {1, 0x4000e},    {1005, 0x4000e},
      {1223, 0x4000f}, {2, 0x40011},    {183, 0x40013},  {5, 0x40014},    {32, 0x40014},
      {1219, 0x40014}, {67, 0x40015},   {1203, 0x40015}, {1231, 0x40015}, {1232, 0x40015},
      {33, 0x40017},   {3, 0},          {0, 0},          {87, 0},         {0x10005, 0},
  };
  const char16_t* const defaultText = u"default";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.win32);
    std::uint32_t code = 0x40007;
    const char16_t* text = defaultText;
    Win32ErrorToFileError(c.win32, code, text);
    if (c.code == 0) {
      EXPECT_EQ(code, 0x40007u);
      EXPECT_EQ(text, defaultText);
    } else {
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(std::u16string(text), std::u16string(FileErrorText(c.code)));
    }
  }
}

TEST(FileErrorTest, ApiErrorMapsTheLastErrorAndKeepsItAsCause) {
  FileErrorCatalog catalog;
  SetLastSystemError(1219);
  const Common::Error e =
      MakeApiError(kLoc, kModule, "ReadFile", kFileReadError, FileErrorText(kFileReadError));
  EXPECT_EQ(e.Code(), 0x40014u);
  EXPECT_EQ(Text(e), u"Access to the file or folder is denied.");
  EXPECT_STREQ(Common::GetTextField(e, "function"), "ReadFile");
  EXPECT_EQ(e.Record()->locationId, kLoc);
  EXPECT_EQ(e.Record()->moduleId, kModule);
  EXPECT_EQ(CauseCode(e), 0x800704C3u);
}

TEST(FileErrorTest, ApiErrorWithAnUnknownCodeKeepsTheDefault) {
  FileErrorCatalog catalog;
  SetLastSystemError(3);  // path not found is left to the caller's default
  const Common::Error e = MakeApiError(kLoc, kModule, "CreateFileW", kFileOpenError,
                                       FileErrorText(kFileOpenError));
  EXPECT_EQ(e.Code(), kFileOpenError);
  EXPECT_EQ(Text(e), u"Error occurred while opening the file.");
  EXPECT_EQ(CauseCode(e), 0x80070003u);
}

TEST(FileErrorTest, HresultErrorsMapWrappedWin32CodesOnly) {
  FileErrorCatalog catalog;
  const Common::Error wrapped = MakeHresultError(kLoc, kModule, 0x80070002, kFileOpenError,
                                                 FileErrorText(kFileOpenError));
  EXPECT_EQ(wrapped.Code(), kFileNotFound);
  EXPECT_EQ(Text(wrapped), u"The specified file does not exist.");
  EXPECT_EQ(CauseCode(wrapped), 0x80070002u);

  // E_FAIL carries no Win32 code; its low half (0x4005) must not be read as one.
  const Common::Error plain = MakeHresultError(kLoc, kModule, 0x80004005, kFileOpenError,
                                               FileErrorText(kFileOpenError));
  EXPECT_EQ(plain.Code(), kFileOpenError);
  EXPECT_EQ(CauseCode(plain), 0x80004005u);

  const Common::Error withPath = MakeHresultErrorWithPath(
      kLoc, kModule, 0x800704C7, "SHGetFolderPathW", u"C:\\x\\", kFileOpenError,
      FileErrorText(kFileOpenError));
  EXPECT_EQ(withPath.Code(), kFileCanceled);
  EXPECT_EQ(Text(withPath), u"Canceled.");
  EXPECT_STREQ(Common::GetTextField(withPath, "function"), "SHGetFolderPathW");
  EXPECT_EQ(std::u16string(Common::GetWideTextField(withPath, "filename")), u"C:\\x\\");
}

}  // namespace
