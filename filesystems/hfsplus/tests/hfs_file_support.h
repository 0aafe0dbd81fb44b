// What the HFS+ file and backup tests share: a mount of the driver over an
// image file, files opened by path, whole reads, and what sleuthkit says
// about an image's entries (fls paths, icat bytes, istat attributes).
#pragma once

#if !defined(_WIN32)

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "filesystems/factory.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"
#include "foundation/text.h"
#include "hfs_image.h"

namespace hfsfile {

namespace hfs = filesystems::hfsplus;
using Driver = filesystems::FileSystemDriver;
using hfstest::Quote;

struct Mount {
  explicit Mount(const std::string& path, const std::uint8_t* bitmap = nullptr,
                 std::uint32_t bitmapBytes = 0)
      : device(new fstest::ImageVolume(path, 512, 0, false)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / 512;
    driver = filesystems::OpenHFSPlusDriver(device.get(), 0, sectors, hfstest::NextCacheKey(),
                                            bitmap, bitmapBytes);
    if (driver) driver->AddUse();
  }
  ~Mount() { Unmount(); }
  void Unmount() {
    if (driver) driver->Release();
    driver = nullptr;
  }
  hfs::HFSPlusDriver* operator->() const { return static_cast<hfs::HFSPlusDriver*>(driver); }
  hfs::HFSPlusDriver* Hfs() const { return static_cast<hfs::HFSPlusDriver*>(driver); }

  // The directory object of the folder holding `path` ("a/b/c" -> "/a/b").
  Driver::DirectoryObject* FolderOf(const std::string& path) const {
    const auto slash = path.rfind('/');
    std::u16string folder;
    if (slash != std::string::npos) Common::Utf8ToUtf16(folder, "/" + path.substr(0, slash));
    return driver->OpenDirectoryByPath(folder);
  }
  static std::u16string NameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    std::u16string name;
    Common::Utf8ToUtf16(name, slash == std::string::npos ? path : path.substr(slash + 1));
    return name;
  }
  // A file object the test owns (delete it to close).
  hfs::HFSPlusFileObject* Open(const std::string& path) const {
    return static_cast<hfs::HFSPlusFileObject*>(FolderOf(path)->OpenFile(NameOf(path)));
  }

  std::unique_ptr<fstest::ImageVolume> device;
  Driver* driver = nullptr;
};

// The whole file in reads of `chunk` bytes.
inline std::string ReadAll(Driver::FileObject* file, std::uint32_t chunk) {
  std::string out;
  std::vector<char> buffer(chunk);
  for (std::uint64_t at = 0;;) {
    std::uint32_t done = 0;
    file->Read(buffer.data(), at, chunk, done);
    if (done == 0) break;
    out.append(buffer.data(), done);
    at += done;
  }
  return out;
}

// fls -r -p: path -> catalog id.
inline std::map<std::string, std::uint32_t> FlsIds(const std::string& image) {
  std::map<std::string, std::uint32_t> out;
  const std::regex line("^[a-z-]/[a-z-] ([0-9]+):\\t(.*)$");
  for (const std::string& l : DiskTest::Lines(DiskTest::RunCommand("fls -r -p " + Quote(image)))) {
    std::smatch m;
    if (std::regex_match(l, m, line)) out[m[2]] = std::uint32_t(std::stoul(m[1]));
  }
  return out;
}

inline std::string Icat(const std::string& image, const std::string& address) {
  return DiskTest::RunCommand("icat " + Quote(image) + " " + address);
}

// istat's attributes of an entry: name -> "type-id" address suffix, for the
// resource fork (4353) and the extended attributes (4354).
inline std::map<std::string, std::string> IstatAttributes(const std::string& image,
                                                          std::uint32_t id) {
  std::map<std::string, std::string> out;
  const std::regex attribute("\\((435[34])-([0-9]+)\\)\\s+Name: (\\S+)");
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(id));
  for (std::sregex_iterator it(stat.begin(), stat.end(), attribute), end; it != end; ++it) {
    const std::smatch& m = *it;
    out[m[1] == "4353" ? std::string("com.apple.ResourceFork") : std::string(m[3])] =
        std::string(m[1]) + "-" + std::string(m[2]);
  }
  return out;
}

// The number of runs istat lists for the data fork.
inline std::size_t IstatDataRuns(const std::string& image, std::uint32_t id) {
  const std::string stat = DiskTest::RunCommand("istat " + Quote(image) + " " + std::to_string(id));
  const std::size_t from = stat.find("Data Fork Blocks:");
  if (from == std::string::npos) return 0;
  const std::size_t to = stat.find("Attributes:", from);
  const std::string blocks = stat.substr(from, to == std::string::npos ? std::string::npos : to - from);
  std::size_t runs = 0;
  const std::regex run("[0-9]+(-[0-9]+)?");
  for (std::sregex_iterator it(blocks.begin(), blocks.end(), run), end; it != end; ++it) ++runs;
  return runs;
}

}  // namespace hfsfile

#endif
