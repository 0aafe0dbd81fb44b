#include "files/path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum class Op {
  kResolve,         // ResolvePath without streams
  kResolveStreams,  // ResolvePath with streams
  kValidName,       // IsValidFileName(name, false)
  kValidDrive,      // IsValidFileName(name, true)
};

struct PathCase {
  Op op;
  const char16_t* base;      // ResolvePath only
  const char16_t* name;
  const char16_t* expected;  // resolved path, or u"" for a valid name; null: refused
};

// Resolution against canonical bases and the name test, one table so that
// both builds are held to exactly the same answers.
const PathCase kPathCases[] = {
    // Separators, ".", ".." and the root of everything.
    {Op::kResolve, u"", u"C:/a//b/.", u"C:\\a\\b\\"},
    {Op::kResolve, u"", u"C:\\a\\..", u"C:\\"},
    {Op::kResolve, u"", u"C:\\..", u""},
    {Op::kResolve, u"", u"C:\\..\\x", nullptr},  // nothing lies in the drive list but drives
    {Op::kResolve, u"", u"x", nullptr},
    {Op::kResolve, u"", u".", u""},
    {Op::kResolve, u"C:\\", u"x", u"C:\\x\\"},
    {Op::kResolve, u"C:\\a\\b\\", u"..\\c", u"C:\\a\\c\\"},
    {Op::kResolve, u"C:\\a\\b\\", u"\\x", u"C:\\x\\"},
    {Op::kResolve, u"\\\\srv\\share\\d\\", u"/x", u"\\\\srv\\share\\x\\"},
    {Op::kResolve, u"\\\\srv\\", u"\\x", nullptr},  // a server has no root to go to
    {Op::kResolve, u"", u"\\x", nullptr},
    {Op::kResolve, u"\\\\srv\\share\\", u"..", u"\\\\srv\\"},
    // Trailing blanks and dots, component lengths.
    {Op::kResolve, u"C:\\", u"...", nullptr},
    {Op::kResolve, u"C:\\", u"a. ", u"C:\\a\\"},
    {Op::kResolve, u"C:\\", u"a\\ \\b", nullptr},
    // Forbidden characters anywhere.
    {Op::kResolve, u"C:\\", u"a*b", nullptr},
    {Op::kResolve, u"C:\\", u"a\\b?", nullptr},
    {Op::kResolve, u"C:\\", u"a|b", nullptr},
    {Op::kResolve, u"C:\\", u"a\x1f", nullptr},
    {Op::kResolve, u"C:\\", u"\"a\"", nullptr},
    {Op::kResolve, u"C:\\", u"<a>", nullptr},
    {Op::kResolve, u"C:\\", u"", nullptr},
    // Drive forms.
    {Op::kResolve, u"C:\\", u"a:b", u"A:\\b\\"},
    {Op::kResolve, u"C:\\dir\\", u"D:x", u"D:\\x\\"},
    {Op::kResolve, u"D:\\dir\\", u"D:x", u"D:\\dir\\x\\"},
    {Op::kResolve, u"D:\\dir\\", u"d:x", u"D:\\dir\\x\\"},
    {Op::kResolve, u"D:\\dir\\", u"D:\\x", u"D:\\x\\"},
    {Op::kResolve, u"C:\\dir\\", u"e:", u"E:\\"},
    // UNC and long forms.
    {Op::kResolve, u"", u"\\\\server", u"\\\\server\\"},
    {Op::kResolve, u"", u"\\\\", nullptr},
    {Op::kResolve, u"", u"\\\\?\\", nullptr},
    {Op::kResolve, u"", u"\\\\?\\UNC\\server\\share", u"\\\\server\\share\\"},
    {Op::kResolve, u"", u"\\\\?\\unc/server/share/d", u"\\\\server\\share\\d\\"},
    {Op::kResolve, u"", u"\\\\?\\c:\\x", u"C:\\x\\"},
    {Op::kResolve, u"", u"\\\\?\\c:", u"C:\\"},
    {Op::kResolve, u"", u"\\\\?\\Volume{1}\\x", u"\\\\?\\Volume{1}\\x\\"},
    {Op::kResolve, u"", u"\\\\?\\UNC", u"\\\\?\\UNC\\"},
    // The device form is another spelling of the long form, not a server ".".
    {Op::kResolve, u"", u"\\\\.\\C:\\a\\..\\b", u"C:\\b\\"},
    {Op::kResolve, u"", u"\\\\.\\UNC\\server\\share\\x", u"\\\\server\\share\\x\\"},
    {Op::kResolve, u"", u"\\\\.\\pipe\\a\\..\\b", u"\\\\?\\pipe\\b\\"},
    {Op::kResolve, u"", u"//./PhysicalDrive0", u"\\\\?\\PhysicalDrive0\\"},
    {Op::kResolve, u"", u"\\\\.\\", nullptr},
    {Op::kResolve, u"", u"\\\\..\\x", nullptr},  // "\\.." is no device prefix
    // Streams.
    {Op::kResolve, u"C:\\", u":", nullptr},
    {Op::kResolveStreams, u"C:\\", u":", nullptr},
    {Op::kResolve, u"C:\\", u"ab:c", nullptr},
    {Op::kResolveStreams, u"C:\\", u"ab:c\\d", nullptr},
    {Op::kResolveStreams, u"C:\\", u"f.txt:s", u"C:\\f.txt:s\\"},
    {Op::kResolveStreams, u"C:\\", u"fx:s:t", nullptr},
    {Op::kResolveStreams, u"C:\\", u"dir\\:s", u"C:\\dir:s\\"},
    {Op::kResolveStreams, u"C:\\", u"\\:s", u"C:\\:s\\"},
    {Op::kResolveStreams, u"C:\\", u"dir\\:", nullptr},
    {Op::kResolveStreams, u"C:\\", u"fx:..", nullptr},
    {Op::kResolveStreams, u"", u"ab:c", nullptr},
    {Op::kResolveStreams, u"\\\\?\\", u"xy:s", nullptr},  // a stream needs a rooted path
    // Single entry names.
    {Op::kValidName, nullptr, u"name.txt", u""},
    {Op::kValidName, nullptr, u" .a", u""},
    {Op::kValidName, nullptr, u"..", nullptr},
    {Op::kValidName, nullptr, u". .", nullptr},
    {Op::kValidName, nullptr, u"", nullptr},
    {Op::kValidName, nullptr, u"a/b", nullptr},
    {Op::kValidName, nullptr, u"a\\b", nullptr},
    {Op::kValidName, nullptr, u"a:b", nullptr},
    {Op::kValidName, nullptr, u"a\tb", nullptr},
    {Op::kValidName, nullptr, u"a?", nullptr},
    {Op::kValidName, nullptr, u"C:", nullptr},
    {Op::kValidDrive, nullptr, u"C:", u""},
    {Op::kValidDrive, nullptr, u"z:", u""},
    {Op::kValidDrive, nullptr, u"C:\\", nullptr},
    {Op::kValidDrive, nullptr, u"1:", nullptr},
    {Op::kValidDrive, nullptr, u"C", nullptr},
    {Op::kValidDrive, nullptr, u"name", nullptr},
};

TEST(PathTest, CasesOfTheTable) {
  for (const PathCase& c : kPathCases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - kPathCases));
    if (c.op == Op::kValidName || c.op == Op::kValidDrive) {
      EXPECT_EQ(IsValidFileName(c.name, c.op == Op::kValidDrive), c.expected != nullptr);
      continue;
    }
    std::u16string out = u"untouched";
    const bool ok = ResolvePath(c.base, out, c.name, c.op == Op::kResolveStreams);
    if (c.expected == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(out, u"untouched");
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(out, c.expected);
    }
  }
}

TEST(PathTest, NullNamesAreRefused) {
  std::u16string out;
  EXPECT_FALSE(ResolvePath(u"C:\\", out, nullptr, true));
  EXPECT_FALSE(IsValidFileName(nullptr, false));
  EXPECT_FALSE(IsValidFileName(nullptr, true));
}

TEST(PathTest, ResultMayReplaceItsBase) {
  std::u16string path = u"C:\\a\\";
  ASSERT_TRUE(ResolvePath(path, path, u"..\\b\\c", false));
  EXPECT_EQ(path, u"C:\\b\\c\\");
}

TEST(PathTest, RootLengths) {
  struct Case {
    const char16_t* path;
    std::size_t length;
  } const cases[] = {
      {u"", 0},
      {u"C:", 0},
      {u"C:\\", 3},
      {u"C:\\dir\\", 3},
      {u"\\\\server\\share\\dir\\", 15},
      {u"\\\\server\\", 0},
      {u"\\\\?\\Volume{1}\\x\\", 14},
      {u"\\\\?\\", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(RootLength(c.path), c.length) << "path index " << (&c - cases);
}

// Long paths: canonical paths have no 260-character limit; only single
// components are limited, whichever form the name comes in.
TEST(PathTest, PathsBeyond260CharactersThroughTheLongForms) {
  const std::u16string a(200, u'a');
  const std::u16string b(255, u'b');
  const std::u16string c(120, u'c');

  std::u16string out;
  const std::u16string drive = u"\\\\?\\C:\\" + a + u"\\" + b + u"\\" + c;
  ASSERT_TRUE(ResolvePath(u"", out, drive.c_str(), false));
  EXPECT_EQ(out, u"C:\\" + a + u"\\" + b + u"\\" + c + u"\\");
  EXPECT_GT(out.size(), 260u);

  const std::u16string unc = u"\\\\?\\UNC\\server\\share\\" + a + u"\\" + b;
  ASSERT_TRUE(ResolvePath(u"", out, unc.c_str(), false));
  const std::u16string uncResult = u"\\\\server\\share\\" + a + u"\\" + b + u"\\";
  EXPECT_EQ(out, uncResult);
  EXPECT_EQ(RootLength(out), 15u);

  // Relative names continue a long base; ".." climbs out of it again.
  ASSERT_TRUE(ResolvePath(uncResult, out, (c + u"\\..\\..\\x").c_str(), false));
  EXPECT_EQ(out, u"\\\\server\\share\\" + a + u"\\x\\");
  ASSERT_TRUE(ResolvePath(uncResult, out, u"\\y", false));
  EXPECT_EQ(out, u"\\\\server\\share\\y\\");

  // A component of 256 characters is refused inside a long path too, but
  // one of 256 that ends in blanks and dots is trimmed to fit.
  const std::u16string tooLong = u"\\\\?\\C:\\" + a + u"\\" + std::u16string(256, u'd');
  EXPECT_FALSE(ResolvePath(u"", out, tooLong.c_str(), false));
  const std::u16string trimmed = u"\\\\?\\C:\\" + a + u"\\" + b + u".";
  ASSERT_TRUE(ResolvePath(u"", out, trimmed.c_str(), false));
  EXPECT_EQ(out, u"C:\\" + a + u"\\" + b + u"\\");
}

}  // namespace
