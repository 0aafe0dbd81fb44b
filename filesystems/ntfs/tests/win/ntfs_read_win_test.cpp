// The Windows build reading a filled NTFS image through the framework's
// views, as the product would: tests/win/ntfs_read_under_wine.py makes the
// image with mkntfs and ntfscp inside the Wine prefix, starts this test with
// the image's and an output folder's paths, and holds what it wrote against
// ntfscat and fls. Every entry goes into a manifest (type, size, the path's
// UTF-16 units in hex, so that no code page stands between the two builds)
// and every file's bytes into a file of its own, numbered in manifest order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "filesystems/ntfs_driver.h"
#include "image_volume.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Hex(const std::u16string& text) {
  std::string out;
  char unit[8];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04x", unsigned(c));
    out += unit;
  }
  return out;
}

struct Walker {
  std::string outputFolder;
  std::FILE* manifest = nullptr;
  unsigned files = 0;

  void Walk(i_dir* dir, const std::u16string& prefix) {
    std::unique_ptr<i_dir::iterator> it(dir->list());
    ASSERT_TRUE(it) << "listing " << Hex(prefix);
    for (; it->is_ok(); it->next()) {
      if (it->is_hidden()) continue;
      const std::u16string path = prefix + u"/" + it->name();
      const bool directory = IsDirectoryLike(it->object_type());
      std::fprintf(manifest, "%s\t%llu\t%s\n", directory ? "d" : "f",
                   static_cast<unsigned long long>(directory ? 0 : it->size()), Hex(path).c_str());
      if (directory) {
        std::unique_ptr<i_dir> child(dir->open_dir_at(it.get()));
        ASSERT_TRUE(child) << "opening " << Hex(path);
        Walk(child.get(), path);
        continue;
      }
      std::unique_ptr<i_file> file(dir->open_file_at(it.get(), true));
      ASSERT_TRUE(file) << "opening " << Hex(path);
      const std::string out = outputFolder + "\\" + std::to_string(files++) + ".bin";
      std::FILE* data = std::fopen(out.c_str(), "wb");
      ASSERT_NE(data, nullptr) << out;
      // An odd piece size puts reads across cluster boundaries.
      std::vector<char> buffer(61 * 1024 + 7);
      for (;;) {
        std::uint32_t done = 0;
        file->read(buffer.data(), std::uint32_t(buffer.size()), done);
        ASSERT_TRUE(file->is_ok()) << "reading " << Hex(path);
        if (done == 0) break;
        std::fwrite(buffer.data(), 1, done, data);
      }
      std::fclose(data);
    }
    EXPECT_EQ(it->error().Code(), kFileEndOfFile) << "listing " << Hex(prefix);
  }
};

}  // namespace

TEST(NtfsReadWin, FilledImageThroughTheViews) {
  const std::string image = Env("PURGEKIT_NTFS_WINE_IMAGE");
  const std::string output = Env("PURGEKIT_NTFS_WINE_OUTPUT");
  if (image.empty() || output.empty())
    GTEST_SKIP() << "run by ntfs_read_under_wine.py with an image and an output folder";
  fstest::ImageVolume device(image, 512, 0, true);
  const std::uint64_t sectors = device.GetSectorCount() + 1;
  filesystems::FileSystemDriver* driver =
      filesystems::OpenNTFSVolume(&device, 0, sectors, 0x21F00, nullptr, nullptr, 0);
  ASSERT_NE(driver, nullptr);
  driver->AddUse();
  {
    std::unique_ptr<rio_dir> root(driver->OpenRootDirectory());
    ASSERT_TRUE(root);
    Walker walker;
    walker.outputFolder = output;
    walker.manifest = std::fopen((output + "\\manifest.txt").c_str(), "wb");
    ASSERT_NE(walker.manifest, nullptr);
    walker.Walk(root.get(), u"");
    std::fclose(walker.manifest);
    EXPECT_GT(walker.files, 0u);
  }
  driver->Release();
  EXPECT_EQ(device.GetCounters().writes, 0u);
}
