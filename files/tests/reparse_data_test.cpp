#include "files/reparse_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/file_error.h"

namespace {

// A link buffer laid out by hand, as the file system returns it.
std::vector<std::uint8_t> LinkBuffer(std::uint32_t tag, const std::u16string& sub,
                                     const std::u16string& print, std::uint32_t flags = 0) {
  std::vector<std::uint8_t> b;
  auto u16 = [&](std::uint32_t v) { b.push_back(std::uint8_t(v)); b.push_back(std::uint8_t(v >> 8)); };
  auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); };
  const std::size_t fixed = tag == kReparseTagSymlink ? 12 : 8;
  const std::size_t dataLength = fixed + 2 * (sub.size() + print.size() + 2);
  u32(tag);
  u16(std::uint32_t(dataLength));
  u16(0);
  u16(0);
  u16(std::uint32_t(2 * sub.size()));
  u16(std::uint32_t(2 * sub.size() + 2));
  u16(std::uint32_t(2 * print.size()));
  if (tag == kReparseTagSymlink) u32(flags);
  for (char16_t c : sub) u16(c);
  u16(0);
  for (char16_t c : print) u16(c);
  u16(0);
  return b;
}

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = std::uint8_t(v);
  b[at + 1] = std::uint8_t(v >> 8);
}

TEST(ReparseDataTest, JunctionBufferHoldsBothNamesInTheirForms) {
  struct Case {
    std::u16string nt, print, sub, printOut;
  } cases[] = {
      {u"\\\\?\\D:", u"D:\\", u"\\??\\D:\\", u"D:\\"},
      {u"\\\\?\\D:\\dir", u"D:\\dir\\", u"\\??\\D:\\dir", u"D:\\dir"},
      {u"\\\\?\\UNC\\srv\\share\\x", u"\\\\srv\\share\\x\\", u"\\??\\UNC\\srv\\share\\x",
       u"\\\\srv\\share\\x"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> data;
    ASSERT_EQ(BuildMountPointData(c.nt, c.print, data), 0u);
    // The sizes the file system checks: header 8 + data length, and the
    // documented total of 2 x (names) + 20.
    ASSERT_EQ(data.size(), 2 * (c.sub.size() + c.printOut.size()) + 20);
    EXPECT_EQ(data[4] | data[5] << 8, int(data.size() - 8));
    ReparseLink link;
    ASSERT_EQ(ParseReparseLink(data.data(), data.size(), link), 0u);
    EXPECT_EQ(link.tag, kReparseTagMountPoint);
    EXPECT_EQ(link.substituteName, c.sub);
    EXPECT_EQ(link.printName, c.printOut);
  }
}

TEST(ReparseDataTest, OversizedJunctionIsRefused) {
  // \\?\C:\n and C:\n take 2 x (7 + n + 3 + n) + 20 bytes: exactly 16384
  // for n = 4086.
  const std::u16string name(4086, u'a');
  std::vector<std::uint8_t> data;
  EXPECT_EQ(BuildMountPointData(u"\\\\?\\C:\\" + name, u"C:\\" + name + u"\\", data), 0u);
  const std::u16string longer(4087, u'a');
  data.clear();
  EXPECT_EQ(BuildMountPointData(u"\\\\?\\C:\\" + longer, u"C:\\" + longer + u"\\", data),
            kFileCreateError);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(BuildMountPointData(u"C:\\x", u"C:\\x\\", data), kFileCreateError);
}

TEST(ReparseDataTest, MalformedBuffersAreCorruptNotRead) {
  const std::vector<std::uint8_t> good = LinkBuffer(kReparseTagMountPoint, u"\\??\\C:\\t", u"C:\\t");
  struct Case {
    const char* what;
    std::size_t keep;  // bytes handed to the parser (0: all)
    std::size_t at;    // u16 field to overwrite (0: none)
    std::uint32_t value;
  } cases[] = {
      {"shorter than the header", 7, 0, 0},
      {"data length past the bytes returned", 0, 4, 0x3000},
      {"data length shorter than the name fields", 0, 4, 4},
      {"substitute name past the path buffer", 0, 10, 0x200},
      {"substitute offset past the path buffer", 0, 8, 0x7FF0},
      {"print name past the path buffer", 0, 14, 0x100},
      {"odd name length", 0, 10, 3},
      {"cut short of the names", 20, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> b = good;
    if (c.at != 0) Put16(b, c.at, c.value);
    if (c.keep != 0) b.resize(c.keep);
    ReparseLink link;
    EXPECT_EQ(ParseReparseLink(b.data(), b.size(), link), kFileCorrupted) << c.what;
  }
  // A symbolic link needs its flags word too.
  std::vector<std::uint8_t> sym = LinkBuffer(kReparseTagSymlink, u"x", u"x");
  Put16(sym, 4, 8);
  ReparseLink link;
  EXPECT_EQ(ParseReparseLink(sym.data(), sym.size(), link), kFileCorrupted);
  // Other tags are not links this layer follows.
  std::vector<std::uint8_t> other = good;
  other[3] = 0x80;
  other[0] = 0x09;
  EXPECT_EQ(ParseReparseLink(other.data(), other.size(), link), kFileOpenError);
  EXPECT_EQ(ParseReparseLink(nullptr, 100, link), kFileCorrupted);
}

TEST(ReparseDataTest, LinkTargetsInTheDirectoriesForm) {
  struct Case {
    std::uint32_t tag;
    std::uint32_t flags;
    std::u16string sub;
    std::uint32_t rc;
    std::u16string target;
  } cases[] = {
      {kReparseTagMountPoint, 0, u"\\??\\D:\\", 0, u"D:\\"},
      {kReparseTagMountPoint, 0, u"\\??\\D:", 0, u"D:\\"},
      {kReparseTagMountPoint, 0, u"\\??\\D:\\dir", 0, u"D:\\dir"},
      {kReparseTagMountPoint, 0, u"\\??\\Volume{0a}\\", 0, u"\\\\?\\Volume{0a}\\"},
      {kReparseTagSymlink, 0, u"\\??\\UNC\\srv\\share", 0, u"\\\\?\\UNC\\srv\\share"},
      {kReparseTagSymlink, 1, u"..\\x", 0, u"..\\x"},
      {kReparseTagMountPoint, 0, std::u16string(u"\\??\\C:\\a\0junk", 13), 0, u"C:\\a"},
      {kReparseTagMountPoint, 0, u"C:\\x", kFileOpenError, u""},
      {kReparseTagSymlink, 0, u"..\\x", kFileOpenError, u""},
      {kReparseTagMountPoint, 0, u"\\??\\", kFileOpenError, u""},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> b = LinkBuffer(c.tag, c.sub, u"p", c.flags);
    ReparseLink link;
    ASSERT_EQ(ParseReparseLink(b.data(), b.size(), link), 0u);
    std::u16string target = u"unchanged";
    EXPECT_EQ(ReparseLinkTarget(link, target), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(target, c.target);
    }
  }
}

}  // namespace
