// The bottom layers of the NTFS driver on volumes made by mkntfs and filled
// by ntfscp, judged by ntfsinfo and sleuthkit: the boot sector's geometry,
// every attribute of the system records and of copied files as istat lists
// them, and decoded runs equal to istat's.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "fake_driver.h"
#include "filesystems/ntfs_bitmap.h"
#include "filesystems/ntfs_boot.h"
#include "filesystems/ntfs_records.h"
#include "filesystems/ntfs_runs.h"
#include "filesystems/ntfs_tables.h"
#include "foundation/byteorder.h"
#include "ntfs_image.h"

namespace ntfs = filesystems::ntfs;
using ntfstest::Number;

namespace {

using fstest::CodeOf;

std::uint64_t PartitionSectors(const std::string& image, std::uint32_t sectorSize) {
  return std::filesystem::file_size(image) / sectorSize;
}

ntfs::BootGeometry Geometry(const std::string& image, std::uint32_t sectorSize) {
  const auto boot = ntfstest::ReadBytes(image, 0, sectorSize);
  return ntfs::ParseBootSector(boot.data(), sectorSize, PartitionSectors(image, sectorSize));
}

// Reads MFT records through the $MFT's own runs, as the driver will.
class RecordReader {
 public:
  RecordReader(const std::string& image, const ntfs::BootGeometry& g) : image_(image), g_(g) {
    std::vector<std::uint8_t> zero =
        ntfstest::ReadBytes(image, g.mftCluster * g.clusterSize, g.recordSize);
    ntfs::UnprotectUpdateSequence(zero.data(), ntfs::kFileRecordArrayOffset, zero.size());
    const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(zero.data(), zero.size());
    for (const auto& a : h.attributes) {
      if (a.type == 0x80 && a.nameLength == 0 && a.nonResident) {
        runs_ = ntfs::RunList(zero.data() + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn,
                              g.clusterCount);
      }
    }
  }

  std::vector<std::uint8_t> Read(std::uint64_t record) const {
    std::vector<std::uint8_t> out;
    const std::uint64_t at = record * g_.recordSize;
    for (std::uint64_t done = 0; done < g_.recordSize;) {
      const std::uint64_t vcn = (at + done) / g_.clusterSize;
      const auto run = runs_.Find(vcn);
      if (run == runs_.end() || !run->HasClusters()) return {};
      const std::uint64_t within = (at + done) % g_.clusterSize;
      const std::uint64_t byte = (std::uint64_t(run->lcn) + (vcn - run->vcn)) * g_.clusterSize + within;
      const std::uint64_t take = std::min<std::uint64_t>(g_.recordSize - done, g_.clusterSize - within);
      const auto part = ntfstest::ReadBytes(image_, byte, std::size_t(take));
      out.insert(out.end(), part.begin(), part.end());
      done += take;
    }
    ntfs::UnprotectUpdateSequence(out.data(), ntfs::kFileRecordArrayOffset, out.size());
    return out;
  }

  // The value of an attribute held in one record (resident, or one piece
  // whose runs cover it), read through its decoded runs.
  std::vector<std::uint8_t> ReadValue(std::uint64_t number, std::uint32_t type,
                                      const std::u16string& name) const {
    const std::vector<std::uint8_t> record = Read(number);
    const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(record.data(), record.size());
    for (const auto& a : h.attributes) {
      if (a.type != type || a.Name(record.data()) != name) continue;
      if (!a.nonResident)
        return {record.begin() + a.valueOffset, record.begin() + a.valueOffset + a.valueLength};
      ntfs::RunList runs(record.data() + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn,
                         g_.clusterCount);
      std::vector<std::uint8_t> out;
      for (const ntfs::Run& r : runs) {
        const std::size_t bytes = std::size_t(r.length) * g_.clusterSize;
        if (!r.HasClusters()) {
          out.insert(out.end(), bytes, 0);
          continue;
        }
        const auto part = ntfstest::ReadBytes(image_, std::uint64_t(r.lcn) * g_.clusterSize, bytes);
        out.insert(out.end(), part.begin(), part.end());
      }
      out.resize(std::size_t(a.dataSize));
      // Bytes past the initialised size read as zeros.
      std::fill(out.begin() + std::ptrdiff_t(std::min(a.initializedSize, a.dataSize)), out.end(), 0);
      return out;
    }
    return {};
  }

 private:
  std::string image_;
  ntfs::BootGeometry g_;
  ntfs::RunList runs_;
};

std::vector<std::uint8_t> Icat(const std::string& image, const std::string& address) {
  const std::string out = DiskTest::RunCommand("icat '" + image + "' " + address + " 2>/dev/null");
  return std::vector<std::uint8_t>(out.begin(), out.end());
}

// A bitmap's bytes as read from the image; changes stay in memory.
class BytesStorage : public ntfs::BitmapStorage {
 public:
  explicit BytesStorage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() override { return bytes_.size(); }
  std::uint32_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) override {
    if (offset >= bytes_.size()) return 0;
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(length, bytes_.size() - offset));
    std::copy_n(bytes_.begin() + std::ptrdiff_t(offset), n, buffer);
    return n;
  }
  std::uint32_t Write(std::uint64_t, const std::uint8_t*, std::uint32_t) override { return 0; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Free clusters of the volume as the cluster bitmap counts them.
std::uint64_t FreeClusters(const RecordReader& reader, const ntfs::BootGeometry& g) {
  BytesStorage storage(reader.ReadValue(6, 0x80, u""));
  ntfs::Bitmap bitmap(&storage, g.clusterCount);
  return bitmap.GetFreeCount();
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? char(c) : '?';
  return out;
}

// Every attribute of `record` as istat lists it: type, id, name, residency,
// size, and for non-resident ones the runs with clusters.
void ExpectRecordAsIstat(const std::string& image, const RecordReader& reader,
                         std::uint64_t number, std::uint64_t clusterCount) {
  SCOPED_TRACE("record " + std::to_string(number));
  const std::vector<std::uint8_t> record = reader.Read(number);
  ASSERT_FALSE(record.empty());
  const ntfs::FileRecordHeader h = ntfs::ParseFileRecord(record.data(), record.size());
  const std::vector<ntfstest::IstatAttribute> want = ntfstest::Istat(image, number);
  ASSERT_EQ(h.attributes.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    const ntfs::AttributeRecord& a = h.attributes[i];
    SCOPED_TRACE("attribute " + std::to_string(i));
    EXPECT_EQ(a.type, want[i].type);
    EXPECT_EQ(a.id, want[i].id);
    EXPECT_EQ(a.nameLength == 0 ? "N/A" : Narrow(a.Name(record.data())), want[i].name);
    EXPECT_EQ(!a.nonResident, want[i].resident);
    EXPECT_EQ(a.nonResident ? a.dataSize : a.valueLength, want[i].size);
    if (!a.nonResident) continue;
    ntfs::RunList runs(record.data() + a.pairsOffset, a.pairsLength, a.lowestVcn, a.highestVcn,
                       clusterCount);
    std::vector<std::pair<std::int64_t, std::uint64_t>> got;
    for (const ntfs::Run& r : runs) {
      if (r.HasClusters()) got.emplace_back(r.lcn, r.length);
    }
    std::vector<std::pair<std::int64_t, std::uint64_t>> wantRuns;
    for (const auto& r : want[i].runs) {
      if (r.first >= 0) wantRuns.push_back(r);
    }
    // istat lists runs up to the initialised size only.
    if (a.initializedSize == a.dataSize) {
      EXPECT_EQ(got, wantRuns);
    }
    // Re-encoding gives the same runs back.
    std::vector<std::uint8_t> again(runs.GetMappingPairsSize());
    ntfs::EncodeMappingPairs(again.data(), runs.begin(), runs.end());
    ntfs::RunList decoded(again.data(), again.size(), a.lowestVcn, a.highestVcn);
    EXPECT_EQ(decoded.Runs(), runs.Runs());
  }
}

}  // namespace

TEST(NtfsTools, MkntfsMatrixGeometryAsTheToolsSee) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  int made = 0;
  for (std::uint32_t sector : {512u, 4096u}) {
    for (std::uint32_t cluster : {512u, 1024u, 4096u, 8192u, 65536u}) {
      if (cluster < sector) continue;
      const ntfstest::MkntfsOptions o{sector, cluster, cluster >= 65536 ? 64u : 16u, ""};
      SCOPED_TRACE(ntfstest::Describe(o));
      if (!ntfstest::MakeImage(image, o)) continue;
      ++made;
      const ntfs::BootGeometry g = Geometry(image, sector);
      const std::string info = DiskTest::RunCommand("ntfsinfo -m '" + image + "' 2>/dev/null");
      const std::string fs = DiskTest::RunCommand("fsstat '" + image + "' 2>/dev/null");
      EXPECT_EQ(g.clusterSize, Number(info, R"(Cluster Size: (\d+))"));
      EXPECT_EQ(g.clusterCount, Number(info, R"(Volume Size in Clusters: (\d+))"));
      EXPECT_EQ(g.recordSize, Number(info, R"(MFT Record Size: (\d+))"));
      EXPECT_EQ(g.indexBlockSize, Number(info, R"(Index Block Size: (\d+))"));
      EXPECT_EQ(g.mftCluster, Number(info, R"(LCN of Data Attribute for FILE_MFT: (\d+))"));
      EXPECT_EQ(g.mftMirrorCluster, Number(info, R"(LCN of Data Attribute for File_MFTMirr: (\d+))"));
      EXPECT_EQ(g.mftCluster, Number(fs, R"(First Cluster of MFT: (\d+))"));
      EXPECT_EQ(g.mftMirrorCluster, Number(fs, R"(First Cluster of MFT Mirror: (\d+))"));
      EXPECT_EQ(g.recordSize, Number(fs, R"(Size of MFT Entries: (\d+))"));
      EXPECT_EQ(g.totalSectors - 1, Number(fs, R"(Total Sector Range: 0 - (\d+))"));

      // The system records as istat sees them, their runs included.
      RecordReader reader(image, g);
      for (std::uint64_t n = 0; n < 12; ++n) ExpectRecordAsIstat(image, reader, n, g.clusterCount);
      // $MFTMirr holds the same first records.
      // Free space as ntfsinfo and ntfscluster count it.
      const std::string clusters = DiskTest::RunCommand("ntfscluster -i '" + image + "' 2>/dev/null");
      EXPECT_EQ(FreeClusters(reader, g), Number(info, R"(Free Clusters: (\d+))"));
      EXPECT_EQ(FreeClusters(reader, g), Number(clusters, R"(clusters of free space\s*: (\d+))"));

      // $UpCase and $AttrDef read through their runs as icat reads them,
      // and the volume's own tables pass the checks.
      const auto upcase = reader.ReadValue(10, 0x80, u"");
      EXPECT_EQ(upcase, Icat(image, "10"));
      const ntfs::UpCaseTable table(upcase.data(), upcase.size());
      EXPECT_EQ(table.Count(), 65536u);
      EXPECT_EQ(table.Upcase(u'\u00e9'), u'\u00c9');
      EXPECT_EQ(table.Upcase(u'\u044f'), u'\u042f');
      const auto attrdef = reader.ReadValue(4, 0x80, u"");
      EXPECT_EQ(attrdef, Icat(image, "4"));
      const ntfs::AttrDefTable defs(attrdef.data(), attrdef.size());
      ASSERT_NE(defs.Find(0x30), nullptr);
      EXPECT_TRUE(defs.Find(0x30)->MustBeResident());
      ASSERT_NE(defs.Find(0x80), nullptr);
      EXPECT_FALSE(defs.Find(0x80)->MustBeResident());
      for (std::uint64_t n = 0; n < 4; ++n) {
        auto mirror = ntfstest::ReadBytes(image, g.mftMirrorCluster * g.clusterSize + n * g.recordSize,
                                          g.recordSize);
        ntfs::UnprotectUpdateSequence(mirror.data(), 42, mirror.size());
        EXPECT_EQ(mirror, reader.Read(n));
      }
    }
  }
  EXPECT_GE(made, 8);
}

TEST(NtfsTools, DamagedBootSectorsAreRefused) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
  const auto good = ntfstest::ReadBytes(image, 0, 512);
  const std::uint64_t sectors = PartitionSectors(image, 512);
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::uint32_t sectorSize = 512;
    std::uint64_t partition = 0;  // 0: the image's
  };
  const Case cases[] = {
      {"no 0xAA55", [](auto& b) { b[510] = 0; }},
      {"another name", [](auto& b) { b[3] = 'M'; }},
      {"blank missing after the name", [](auto& b) { b[10] = 0; }},
      {"3 sectors per cluster", [](auto& b) { b[13] = 3; }},
      {"0 sectors per cluster", [](auto& b) { b[13] = 0; }},
      {"record size byte 0", [](auto& b) { b[64] = 0; }},
      {"record size byte -8", [](auto& b) { b[64] = std::uint8_t(-8); }},
      {"record size byte -17", [](auto& b) { b[64] = std::uint8_t(-17); }},
      {"record size byte -128", [](auto& b) { b[64] = 0x80; }},
      {"records of 2^10 bytes on 4096-byte sectors", [](auto& b) { b[64] = std::uint8_t(-10); }, 4096},
      {"records of 100 clusters", [](auto& b) { b[64] = 100; }},
      {"index block byte 0", [](auto& b) { b[68] = 0; }},
      {"index blocks of 2 bytes", [](auto& b) { b[68] = std::uint8_t(-1); }},
      {"$MFT equal to $MFTMirr", [](auto& b) { Common::StoreLe64(&b[48], Common::LoadLe64(&b[56])); }},
      {"$MFT at cluster 0", [](auto& b) { Common::StoreLe64(&b[48], 0); }},
      {"$MFTMirr at cluster 0", [](auto& b) { Common::StoreLe64(&b[56], 0); }},
      {"$MFT past the volume", [](auto& b) { Common::StoreLe64(&b[48], 0x100000000ull); }},
      {"$MFTMirr past the volume", [](auto& b) { Common::StoreLe64(&b[56], Common::LoadLe64(&b[40]) / 8); }},
      {"$MFT so near the end that records 0-3 do not fit",
       [](auto& b) {
         b[64] = 2;  // records of 2 clusters: 4 records need 8 clusters
         Common::StoreLe64(&b[48], Common::LoadLe64(&b[40]) / 8 - 7);
       }},
      {"volume one cluster larger than the partition",
       [](auto& b) { Common::StoreLe64(&b[40], Common::LoadLe64(&b[40]) + 9); }},
      {"sector size below 512", [](auto&) {}, 256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> boot = good;
    boot.resize(std::max<std::size_t>(c.sectorSize, 512));
    c.damage(boot);
    EXPECT_EQ(CodeOf([&] { ntfs::ParseBootSector(boot.data(), c.sectorSize, sectors); }), 0x4000du);
  }
  // Less than a cluster more than the partition still fits.
  std::vector<std::uint8_t> boot = good;
  Common::StoreLe64(&boot[40], Common::LoadLe64(&boot[40]) + 1);
  EXPECT_EQ(CodeOf([&] { ntfs::ParseBootSector(boot.data(), 512, sectors); }), 0u);
  // A positive index-block size byte of 1 cluster and records of -10 are
  // the common layout; a negative index byte of 2^12 bytes is also sound.
  boot = good;
  boot[68] = std::uint8_t(-12);
  EXPECT_EQ(ntfs::ParseBootSector(boot.data(), 512, sectors).indexBlockSize, 4096u);
}

TEST(NtfsTools, RecordSizesFromTheSizeByte) {
  struct Case {
    std::int8_t size;
    std::uint32_t spc, sector, want;
  };
  for (const Case& c : {Case{-10, 1, 512, 2}, Case{1, 2, 512, 2}, Case{-12, 8, 512, 8},
                        Case{-10, 1, 4096, 0}, Case{2, 1, 4096, 2}, Case{-16, 1, 512, 128}}) {
    EXPECT_EQ(ntfs::SectorsFromSizeByte(c.size, c.spc, c.sector), c.want) << int(c.size);
  }
}

TEST(NtfsTools, CopiedFilesAsIstatSeesThem) {
  ntfstest::ScratchDir dir;
  for (std::uint32_t cluster : {512u, 4096u}) {
    const std::string image = dir.File("v" + std::to_string(cluster) + ".img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {512, cluster, 24, ""}));
    // Two small files side by side; overwriting the first with a larger
    // one fragments it around the second.
    ntfstest::MakeHostFile(dir.File("a"), 3 * cluster, 1);
    ntfstest::MakeHostFile(dir.File("b"), 2 * cluster, 2);
    ntfstest::MakeHostFile(dir.File("big"), 700000, 3);
    ntfstest::MakeHostFile(dir.File("tiny"), 300, 4);
    ntfstest::MakeHostFile(dir.File("stream"), 50000, 5);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("a"), "a"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("b"), "b"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("big"), "a"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("tiny"), "tiny"));
    int status = 0;
    DiskTest::RunCommand("ntfscp -q -f -N side '" + image + "' '" + dir.File("stream") +
                             "' tiny >/dev/null 2>&1",
                         &status);
    ASSERT_EQ(status, 0);

    const ntfs::BootGeometry g = Geometry(image, 512);
    RecordReader reader(image, g);
    std::size_t fragmented = 0;
    for (const char* name : {"a", "b", "tiny"}) {
      const std::string out = DiskTest::RunCommand("ifind -n '" + std::string(name) + "' '" + image + "'");
      const std::uint64_t number = std::stoull(out);
      ExpectRecordAsIstat(image, reader, number, g.clusterCount);
      for (const auto& a : ntfstest::Istat(image, number))
        if (a.runs.size() > 1) ++fragmented;
    }
    EXPECT_GE(fragmented, 1u) << "the overwritten file should be fragmented";
    const std::string info = DiskTest::RunCommand("ntfsinfo -m '" + image + "' 2>/dev/null");
    EXPECT_EQ(FreeClusters(reader, g), Number(info, R"(Free Clusters: (\d+))"));
    // Their data read through the decoded runs equals icat's and the host's.
    struct Stream {
      const char* name;
      const char* host;
      const char16_t* stream;
    };
    for (const Stream& s : {Stream{"a", "big", u""}, Stream{"b", "b", u""}, Stream{"tiny", "tiny", u""},
                            Stream{"tiny", "stream", u"side"}}) {
      SCOPED_TRACE(std::string(s.name) + ":" + s.host);
      const std::uint64_t number =
          std::stoull(DiskTest::RunCommand("ifind -n '" + std::string(s.name) + "' '" + image + "'"));
      const auto got = reader.ReadValue(number, 0x80, s.stream);
      const auto host = ntfstest::ReadBytes(dir.File(s.host), 0, 1 << 20);
      EXPECT_EQ(got, host);
    }
  }
}

#endif
