// The temporary folder under Wine: its name, extraction from a payload
// archive on disk (archives of our own, and archives made by Info-ZIP zip
// and Python's zipfile, whose extracted files must equal unzip -p), and that
// nothing stays behind.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/resource.h"
#include "files/temp_folder.h"
#include "files/win/win_dir.h"
#include "payload_scope.h"
#include "resource_test_support.h"
#include "zip_fixtures.h"

namespace {

using namespace resource_test;

std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

bool Exists(const std::u16string& path) {
  return GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes ReadHostFile(const std::u16string& path) {
  std::ifstream in(W(path).c_str(), std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}


Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t((i * 131) ^ (i >> 9));
  return b;
}

TEST(TempFolder, IsARandomGuidFolderUnderTheTemporaryDirectory) {
  std::u16string temp = TemporaryFolderPath();
  ASSERT_EQ(temp.back(), u'\\');
  TempFolder a, b;
  ASSERT_TRUE(a.created());
  EXPECT_NE(a.folder(), b.folder());
  ASSERT_EQ(a.folder().size(), temp.size() + 36);
  EXPECT_EQ(a.folder().substr(0, temp.size()), temp);
  const std::u16string guid = a.folder().substr(temp.size());
  for (std::size_t i = 0; i < guid.size(); ++i) {
    char16_t c = guid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23)
      EXPECT_EQ(c, u'-') << i;
    else
      EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) << i;
  }
  EXPECT_EQ(guid[14], u'4');  // version 4
  EXPECT_TRUE(Exists(a.folder()));
}

TEST(TempFolder, ExtractsEntriesWholeAndLeavesNothingBehind) {
  const Bytes dll = Pattern(300000), inf = Pattern(1234), empty;
  const Bytes damaged(5000, 'D');
  Bytes archive = MakeZip({{"kardnt.dll", dll},
                           {"Remove.inf", inf},
                           {"empty.txt", empty},
                           {"damaged.bin", damaged}});
  // The damaged entry's data no longer match its CRC.
  const std::string whole(archive.begin(), archive.end());
  archive[whole.find(std::string(64, 'D')) + 10] ^= 0xFF;

  PayloadScope payload(archive, u"pk-temp-folder-test.exe");
  std::u16string folder, dllPath, infPath, emptyPath;
  {
    TempFolder temp;
    folder = temp.folder();
    ASSERT_TRUE(temp.Extract(u"kardnt.dll", dllPath));
    EXPECT_EQ(dllPath, folder + u"\\kardnt.dll");
    EXPECT_EQ(ReadHostFile(dllPath), dll);
    ASSERT_TRUE(temp.Extract(u"remove.INF", infPath));  // names match in any case
    EXPECT_EQ(ReadHostFile(infPath), inf);
    ASSERT_TRUE(temp.Extract(u"empty.txt", emptyPath));
    EXPECT_TRUE(Exists(emptyPath));

    std::u16string untouched = u"untouched";
    EXPECT_FALSE(temp.Extract(u"missing.inf", untouched));
    EXPECT_EQ(untouched, u"untouched");
    EXPECT_FALSE(Exists(folder + u"\\missing.inf"));
    EXPECT_FALSE(temp.Extract(u"damaged.bin", untouched));
    EXPECT_FALSE(Exists(folder + u"\\damaged.bin"));

    // The same name twice is recorded twice; the second delete just fails.
    ASSERT_TRUE(temp.Extract(u"kardnt.dll", dllPath));
    EXPECT_EQ(temp.extracted().size(), 4u);
  }
  EXPECT_FALSE(Exists(dllPath));
  EXPECT_FALSE(Exists(infPath));
  EXPECT_FALSE(Exists(emptyPath));
  EXPECT_FALSE(Exists(folder));
}

TEST(TempFolder, ExtractedFilesEqualUnzipOfTheSamePayload) {
  // Payload entries carry no folders: the entries of these archives that
  // lie in one are left out.
  for (const char* archive : {"zip_infozip_stored.zip", "zip_infozip_deflated.zip",
                              "zip_infozip_descriptor.zip", "zip_python_stored.zip",
                              "zip_python_deflated.zip", "zip_python_descriptor.zip"}) {
    SCOPED_TRACE(archive);
    PayloadScope payload(ZipFixtureBytes(archive), u"pk-temp-folder-test.exe");
    std::u16string folder;
    std::vector<std::u16string> paths;
    {
      TempFolder temp;
      ASSERT_TRUE(temp.created());
      folder = temp.folder();
      for (const FixtureEntry& e : ZipFixtureEntries()) {
        const std::string name = e.entry;
        if (std::strcmp(e.archive, archive) != 0 || name.find('/') != std::string::npos) continue;
        SCOPED_TRACE(name);
        std::u16string path;
        ASSERT_TRUE(temp.Extract(std::u16string(name.begin(), name.end()), path));
        EXPECT_EQ(ReadHostFile(path), UnzipBytes(e));
        paths.push_back(path);
      }
      EXPECT_EQ(paths.size(), 3u);  // hello.txt, bytes.bin and the empty file
    }
    for (const auto& path : paths) EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(Exists(folder));
  }
}

TEST(TempFolder, ToolMadeEntriesTheReaderRefusesLeaveNoFile) {
  struct Case {
    const char* archive;
    const char16_t* entry;
  } cases[] = {
      {"zip_infozip_bzip2.zip", u"bytes.bin"},      // a method the reader lacks
      {"zip_infozip_encrypted.zip", u"hello.txt"},  // encrypted
      {"zip_bad_crc.zip", u"hello.txt"},            // data that fail the CRC
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    PayloadScope payload(ZipFixtureBytes(c.archive), u"pk-temp-folder-test.exe");
    TempFolder temp;
    std::u16string path = u"untouched";
    EXPECT_FALSE(temp.Extract(c.entry, path));
    EXPECT_EQ(path, u"untouched");
    EXPECT_FALSE(Exists(temp.folder() + u"\\" + c.entry));
    EXPECT_TRUE(temp.extracted().empty());
  }
}

TEST(TempFolder, AFileSomeoneElsePutThereKeepsTheFolder) {
  PayloadScope payload(MakeZip({{"a.inf", Pattern(10)}}), u"pk-temp-folder-test.exe");
  std::u16string folder, path;
  {
    TempFolder temp;
    folder = temp.folder();
    ASSERT_TRUE(temp.Extract(u"a.inf", path));
    std::ofstream(W(folder + u"\\foreign.txt").c_str()) << "x";
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(Exists(folder + u"\\foreign.txt"));
  DeleteFileW(W(folder + u"\\foreign.txt").c_str());
  RemoveDirectoryW(W(folder).c_str());
}

}  // namespace
