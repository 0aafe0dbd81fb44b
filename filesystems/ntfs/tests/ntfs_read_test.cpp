// Reading attribute values through a mounted volume: named streams, files
// whose attributes moved to extension records under an $ATTRIBUTE_LIST,
// and data split into several pieces, byte-identical to icat and the
// files ntfscp copied in.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ntfs_driver.h"
#include "image_volume.h"
#include "ntfs_image.h"

namespace ntfs = filesystems::ntfs;

namespace {

std::uint32_t NextCacheKey() {
  static std::uint32_t key = 0x21800;
  return ++key;
}

struct Mounted {
  explicit Mounted(const std::string& path)
      : device(new fstest::ImageVolume(path, 512, 0, true)) {
    const std::uint64_t sectors = std::filesystem::file_size(path) / 512;
    driver = static_cast<ntfs::NTFSDriver*>(
        filesystems::OpenNTFSVolume(device.get(), 0, sectors, NextCacheKey(), nullptr, nullptr, 0));
  }
  ~Mounted() { delete driver; }

  // The whole value of the stream, or "<none>" when the file has none.
  std::string Stream(std::uint64_t record, const std::u16string& name) {
    ntfs::RecordHandle held(driver->GetMft(), record);
    ntfs::AttributeValue value;
    if (!driver->FindAttribute(record, held.Image(), 0x80, name, value)) return "<none>";
    std::string bytes(std::size_t(driver->ValueSize(value)), '\0');
    // Read in uneven pieces so that reads start and end inside clusters.
    for (std::size_t at = 0; at < bytes.size();) {
      const std::uint32_t want = std::uint32_t(std::min<std::size_t>(777, bytes.size() - at));
      const std::uint32_t got =
          driver->ReadValue(value, at, reinterpret_cast<std::uint8_t*>(&bytes[at]), want);
      EXPECT_EQ(got, want);
      if (got == 0) break;
      at += got;
    }
    return bytes;
  }

  std::unique_ptr<fstest::ImageVolume> device;
  ntfs::NTFSDriver* driver = nullptr;
};

std::uint64_t RecordOf(const std::string& image, const std::string& name) {
  return std::stoull(DiskTest::RunCommand("ifind -n '" + name + "' '" + image + "'"));
}

std::string Icat(const std::string& image, const std::string& address) {
  return DiskTest::RunCommand("icat '" + image + "' " + address + " 2>/dev/null");
}

bool HasAttributeList(const std::string& image, std::uint64_t record) {
  for (const auto& a : ntfstest::Istat(image, record))
    if (a.type == 0x20) return true;
  return false;
}

}  // namespace

TEST(NtfsRead, NamedStreamsUnderAnAttributeList) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 512, 16, ""}));
  const std::string data = ntfstest::MakeHostFile(dir.File("data"), 300000, 1);
  ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("data"), "f"));
  std::vector<std::string> streams;
  std::string script;
  for (int i = 0; i < 30; ++i) {
    const std::string host = dir.File("s" + std::to_string(i));
    streams.push_back(ntfstest::MakeHostFile(host, i % 7 == 0 ? 5000 + i : 60 + i, 100 + i));
    script += "ntfscp -q -f -N s" + std::to_string(i) + " '" + image + "' '" + host + "' f && ";
  }
  int status = 0;
  DiskTest::RunCommand(script + "true", &status);
  ASSERT_EQ(status, 0);
  const std::uint64_t f = RecordOf(image, "f");
  ASSERT_TRUE(HasAttributeList(image, f)) << "the fixture should need an attribute list";

  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  EXPECT_EQ(m.Stream(f, u""), data);
  EXPECT_EQ(m.Stream(f, u""), Icat(image, std::to_string(f)));
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE(i);
    const std::string name = "s" + std::to_string(i);
    EXPECT_EQ(m.Stream(f, std::u16string(name.begin(), name.end())), streams[std::size_t(i)]);
  }
  EXPECT_EQ(m.Stream(f, u"missing"), "<none>");
  EXPECT_EQ(m.device->GetCounters().writes, 0u);
}

TEST(NtfsRead, DataInSeveralPiecesAndPastTheInitialisedSize) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 512, 48, ""}));
  const std::string head = ntfstest::MakeHostFile(dir.File("head"), 2000, 7);
  ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("head"), "X"));
  ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("head"), "Y"));
  // Growing two files in turn interleaves their clusters: X ends up with
  // one run per step, far apart, more than its base record can map.
  std::string script = "for i in $(seq 2 201); do ";
  script += "ntfsfallocate -o $((i*1024)) -l 1024 '" + image + "' X >/dev/null 2>&1 || exit 1; ";
  script += "ntfsfallocate -o $((i*102400)) -l 102400 '" + image + "' Y >/dev/null 2>&1 || exit 1; done";
  int status = 0;
  DiskTest::RunCommand(script, &status);
  ASSERT_EQ(status, 0);
  const std::uint64_t x = RecordOf(image, "X");
  ASSERT_TRUE(HasAttributeList(image, x)) << "the fixture should need an attribute list";
  DiskTest::RunCommand("ntfsfix -n '" + image + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);

  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  const std::string got = m.Stream(x, u"");
  EXPECT_EQ(got.size(), 202u * 1024);
  EXPECT_EQ(got, Icat(image, std::to_string(x)));
  EXPECT_EQ(got.substr(0, head.size()), head);
  // Past the initialised size every byte reads as zero.
  EXPECT_EQ(got.find_first_not_of('\0', head.size()), std::string::npos);
  // The runs joined over every piece are istat's.
  ntfs::RecordHandle held(m.driver->GetMft(), x);
  ntfs::AttributeValue value;
  ASSERT_TRUE(m.driver->FindAttribute(x, held.Image(), 0x80, u"", value));
  std::vector<std::pair<std::int64_t, std::uint64_t>> runs, want;
  for (const ntfs::Run& r : value.runs) {
    if (!runs.empty() && runs.back().first + std::int64_t(runs.back().second) == r.lcn)
      runs.back().second += r.length;  // istat joins runs that continue each other
    else
      runs.emplace_back(r.lcn, r.length);
  }
  for (const auto& a : ntfstest::Istat(image, x)) {
    if (a.type == 0x80) want.insert(want.end(), a.runs.begin(), a.runs.end());
  }
  EXPECT_GT(value.runs.Runs().size(), 150u);
  EXPECT_EQ(runs, want);
}

#endif
