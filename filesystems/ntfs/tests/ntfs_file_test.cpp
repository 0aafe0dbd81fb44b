// File data through the framework's file interface on volumes made by
// mkntfs and filled by ntfscp: reads equal icat's bytes on every geometry;
// writes (unaligned heads and tails, resident to non-resident, gaps,
// shrinking and growing, filling the volume) leave bytes that icat reads
// back and a volume that ntfsresize and ntfsfix accept, with the cluster
// bitmap equal to the union of every record's runs as istat lists them.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fake_driver.h"
#include "filesystems/ntfs_file.h"
#include "image_volume.h"
#include "ntfs_image.h"
#include "ntfs_mount_support.h"

namespace ntfs = filesystems::ntfs;
using fstest::CodeOf;

namespace {

using ntfstest::Mounted;
using ntfstest::NextCacheKey;

std::uint64_t RecordOf(const std::string& image, const std::string& name) {
  return std::stoull(DiskTest::RunCommand("ifind -n '" + name + "' '" + image + "'"));
}

std::string Icat(const std::string& image, std::uint64_t record) {
  return DiskTest::RunCommand("icat '" + image + "' " + std::to_string(record) + " 2>/dev/null");
}

int Status(const std::string& command) {
  int status = 0;
  DiskTest::RunCommand(command + " >/dev/null 2>&1", &status);
  return status;
}

// Every cluster a run of an in-use record maps, up to its allocated size,
// as ntfsinfo lists them, and the bits of $Bitmap as icat reads them: the
// two sets must be equal.
std::string BitmapAgainstRuns(const std::string& image) {
  const std::string fs = DiskTest::RunCommand("fsstat '" + image + "' 2>/dev/null");
  const std::uint64_t last = ntfstest::Number(fs, R"(Total Cluster Range: 0 - (\d+))");
  const std::uint64_t records =
      ntfstest::Number(DiskTest::RunCommand("istat '" + image + "' 0"),
                       R"(\$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident\s+size: (\d+))") /
      ntfstest::Number(fs, R"(Size of MFT Entries: (\d+))");
  std::set<std::uint64_t> used;
  const std::regex run(R"(^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s*$)");
  for (std::uint64_t r = 0; r < records; ++r) {
    const std::string out =
        DiskTest::RunCommand("ntfsinfo -v -i " + std::to_string(r) + " '" + image + "' 2>/dev/null");
    for (const std::string& line : DiskTest::Lines(out)) {
      std::smatch m;
      if (!std::regex_match(line, m, run)) continue;
      const std::uint64_t lcn = std::stoull(m[2].str(), nullptr, 16);
      const std::uint64_t length = std::stoull(m[3].str(), nullptr, 16);
      for (std::uint64_t c = 0; c < length; ++c) used.insert(lcn + c);
    }
  }
  const std::string bits = Icat(image, 6);
  std::string report;
  for (std::uint64_t c = 0; c <= last; ++c) {
    const bool set = c / 8 < bits.size() && (std::uint8_t(bits[c / 8]) >> (c % 8)) & 1;
    if (set != (used.count(c) == 1)) {
      report += (set ? " leaked " : " unmarked ") + std::to_string(c);
      if (report.size() > 200) break;
    }
  }
  return report;
}

// What the checkers say of the volume: empty when all is well. Holding
// the bitmap against every record's runs takes a process per record, so
// callers ask for it where a scenario ends.
std::string Judge(const std::string& image, bool runs = true) {
  std::string report;
  if (Status("ntfsresize --check -f '" + image + "'") != 0) report += "ntfsresize refuses;";
  if (Status("ntfsfix -n '" + image + "'") != 0) report += "ntfsfix -n refuses;";
  if (runs) report += BitmapAgainstRuns(image);
  return report;
}

struct Geometry {
  std::uint32_t sector;
  std::uint32_t cluster;
  std::uint64_t megabytes;
};

const Geometry kGeometries[] = {
    {512, 512, 24}, {512, 4096, 24}, {4096, 4096, 32}, {512, 65536, 64}, {4096, 16384, 32}};

std::string Describe(const Geometry& g) {
  return "sector " + std::to_string(g.sector) + " cluster " + std::to_string(g.cluster);
}

// Reads the whole file in `piece`-byte steps into a buffer that starts
// `skew` bytes past a 4096-byte boundary.
std::string ReadAll(ntfs::NTFSFile& file, std::uint32_t piece, std::uint32_t skew) {
  const std::uint64_t size = file.GetSize();
  std::vector<std::uint8_t> space(std::size_t(size) + 8192);
  auto* base = reinterpret_cast<std::uint8_t*>(
      (reinterpret_cast<std::uintptr_t>(space.data()) + 4095) / 4096 * 4096 + skew);
  std::string out;
  for (std::uint64_t at = 0; at < size;) {
    std::uint32_t done = 0;
    file.Read(base, at, piece, done);
    if (done == 0) break;
    out.append(reinterpret_cast<char*>(base), done);
    at += done;
  }
  return out;
}

}  // namespace

TEST(NtfsFile, ReadsLikeIcatOnEveryGeometry) {
  for (const Geometry& g : kGeometries) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, g.megabytes, ""}));
    const std::size_t sizes[] = {0, 700, 5000, 300001};
    for (std::size_t i = 0; i < 4; ++i) {
      const std::string host = dir.File("h" + std::to_string(i));
      ntfstest::MakeHostFile(host, sizes[i], std::uint32_t(i + 3));
      ASSERT_TRUE(ntfstest::CopyIn(image, host, "f" + std::to_string(i)));
    }
    // Two files grown in turn interleave their clusters.
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("h1"), "X"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("h1"), "Y"));
    const std::string step = std::to_string(g.cluster);
    ASSERT_EQ(Status("for i in $(seq 2 41); do ntfsfallocate -o $((i*" + step + ")) -l " + step + " '" +
                     image + "' X || exit 1; ntfsfallocate -o $((i*" + step + ")) -l " + step + " '" +
                     image + "' Y || exit 1; done"),
              0);
    Mounted m(image, g.sector, true);
    ASSERT_NE(m.driver, nullptr);
    for (const std::string name : {"f0", "f1", "f2", "f3", "X"}) {
      SCOPED_TRACE(name);
      const std::uint64_t record = RecordOf(image, name);
      const std::string want = Icat(image, record);
      ntfs::NTFSFile file(*m.driver, record);
      ASSERT_EQ(file.GetSize(), want.size());
      EXPECT_EQ(ReadAll(file, 777, 3), want);
      EXPECT_EQ(ReadAll(file, 8192, 0), want);
      EXPECT_EQ(ReadAll(file, 3 * g.sector + 5, 0), want);
      EXPECT_EQ(ReadAll(file, 1u << 20, 0), want);
      // At the end nothing is read and the count stays; past it is an error.
      std::uint8_t byte = 0;
      std::uint32_t done = 99;
      file.Read(&byte, want.size(), 1, done);
      EXPECT_EQ(done, 99u);
      EXPECT_EQ(CodeOf([&] { file.Read(&byte, want.size() + 1, 1, done); }), 0x40002u);
    }
    {
      // The volume sector of a byte holds that byte.
      const std::uint64_t f3 = RecordOf(image, "f3");
      const std::string want = Icat(image, f3);
      ntfs::NTFSFile file(*m.driver, f3);
      for (const std::uint64_t at : {std::uint64_t(0), std::uint64_t(g.cluster) + g.sector, want.size() - 1}) {
        const std::uint64_t sector = file.GetVolumeOffset(at);
        const auto bytes = ntfstest::ReadBytes(image, sector * g.sector + at % g.sector, 1);
        ASSERT_EQ(bytes.size(), 1u);
        EXPECT_EQ(char(bytes[0]), want[std::size_t(at)]) << at;
      }
      EXPECT_EQ(CodeOf([&] { file.GetVolumeOffset(want.size()); }), 0x40002u);
    }
    const std::uint64_t x = RecordOf(image, "X");
    ntfs::NTFSFile file(*m.driver, x);
    EXPECT_GT(file.Data().Runs().Runs().size(), 20u) << "the fixture should be fragmented";
    EXPECT_EQ(m.device->GetCounters().writes, 0u);
  }
}

TEST(NtfsFile, WritesThatIcatAndTheCheckersAccept) {
  for (const Geometry& g : kGeometries) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, g.megabytes, ""}));
    std::string big = ntfstest::MakeHostFile(dir.File("big"), 200000, 11);
    std::string small = ntfstest::MakeHostFile(dir.File("small"), 300, 12);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("big"), "big"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("small"), "small"));
    const std::uint64_t bigRecord = RecordOf(image, "big");
    const std::uint64_t smallRecord = RecordOf(image, "small");
    const std::string fresh = ntfstest::MakeHostFile(dir.File("fresh"), 300000, 13);

    struct Step {
      const char* what;
      bool onBig;
      std::uint64_t offset;
      std::uint32_t length;
      std::uint32_t skew;  // of the source buffer from a sector boundary
      std::int64_t setSize;  // >= 0: SetSize instead of a write
    };
    const Step steps[] = {
        {"overwrite, unaligned head and tail, aligned middle", true, 1000, 70001, 1000 % g.sector, -1},
        {"overwrite through an unaligned buffer", true, 5, 9000, 1, -1},
        {"aligned overwrite", true, 2 * std::uint64_t(g.sector), 8 * g.sector, 0, -1},
        {"append past the end", true, 199990, 30000, 0, -1},
        {"resident grows into clusters", false, 200, 50000, 0, -1},
        {"write after a gap", false, 150000, 100, 7, -1},
        {"shrink", true, 0, 0, 0, 5000},
        {"grow again", true, 0, 0, 0, 90000},
        {"write inside the regrown part", true, 60000, 10, 0, -1},
    };
    for (const Step& s : steps) {
      SCOPED_TRACE(s.what);
      std::string& model = s.onBig ? big : small;
      {
        Mounted m(image, g.sector, false);
        ASSERT_NE(m.driver, nullptr);
        ntfs::NTFSFile file(*m.driver, s.onBig ? bigRecord : smallRecord);
        if (s.setSize >= 0) {
          file.SetSize(std::uint64_t(s.setSize));
          model.resize(std::size_t(s.setSize), '\0');
        } else {
          std::vector<std::uint8_t> space(s.length + 2 * 4096);
          auto* source = reinterpret_cast<std::uint8_t*>(
              (reinterpret_cast<std::uintptr_t>(space.data()) + 4095) / 4096 * 4096 + s.skew);
          std::memcpy(source, fresh.data() + s.offset % 1000, s.length);
          std::uint32_t done = 0;
          file.Write(source, s.offset, s.length, done);
          ASSERT_EQ(done, s.length);
          if (model.size() < s.offset + s.length) model.resize(std::size_t(s.offset + s.length), '\0');
          model.replace(std::size_t(s.offset), s.length, fresh.data() + s.offset % 1000, s.length);
        }
        EXPECT_EQ(ReadAll(file, 4096, 0), model);
      }
      ASSERT_EQ(Icat(image, s.onBig ? bigRecord : smallRecord), model);
      ASSERT_EQ(Judge(image, false), "");
    }
    EXPECT_EQ(BitmapAgainstRuns(image), "");
    // The small file's data left its record.
    for (const auto& a : ntfstest::Istat(image, smallRecord)) {
      if (a.type == 0x80) {
        EXPECT_FALSE(a.resident);
      }
    }
  }
}

TEST(NtfsFile, GrowthSpillsIntoExtensionRecordsUnderAnAttributeList) {
  for (const Geometry& g : {Geometry{512, 512, 24}, Geometry{4096, 4096, 48}}) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, g.megabytes, ""}));
    ntfstest::MakeHostFile(dir.File("a"), 100, 1);
    ntfstest::MakeHostFile(dir.File("b"), 5000, 2);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("a"), "a"));
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("b"), "b"));
    const std::uint64_t a = RecordOf(image, "a"), b = RecordOf(image, "b");
    std::string modelA = Icat(image, a), modelB = Icat(image, b);
    const std::string chunk = ntfstest::MakeHostFile(dir.File("chunk"), g.cluster, 3);
    const std::uint32_t recordSize = g.sector == 4096 ? 4096 : 1024;
    // Growing the two files in turn gives each growth of a a run of its
    // own: far more than its base record can map.
    const int steps = int(recordSize / 2 + 200);
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      ntfs::NTFSFile fa(*m.driver, a), fb(*m.driver, b);
      for (int i = 0; i < steps; ++i) {
        std::uint32_t done = 0;
        fa.Write(chunk.data(), modelA.size(), g.cluster, done);
        ASSERT_EQ(done, g.cluster) << i;
        modelA += chunk;
        done = 0;
        fb.Write(chunk.data(), modelB.size(), g.cluster, done);
        ASSERT_EQ(done, g.cluster) << i;
        modelB += chunk;
      }
      EXPECT_GT(fa.Data().PieceCount(), 1u);
      EXPECT_EQ(ReadAll(fa, 65536, 0), modelA);
    }
    bool listed = false;
    for (const auto& attribute : ntfstest::Istat(image, a)) listed = listed || attribute.type == 0x20;
    EXPECT_TRUE(listed) << "istat should show an attribute list";
    EXPECT_EQ(Icat(image, a), modelA);
    EXPECT_EQ(Icat(image, b), modelB);
    EXPECT_EQ(Judge(image), "");
    // A new mount reads the pieces back, and shrinking gives the last
    // piece's clusters back.
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      ntfs::NTFSFile fa(*m.driver, a);
      EXPECT_EQ(ReadAll(fa, 100000, 1), modelA);
      fa.SetSize(modelA.size() - 3 * g.cluster - 5);
      modelA.resize(modelA.size() - 3 * g.cluster - 5);
    }
    EXPECT_EQ(Icat(image, a), modelA);
    EXPECT_EQ(Judge(image), "");
    // Shrinking into the first piece takes every later piece away: their
    // list entries, their extension records (the $MFT's bitmap loses
    // them) and their clusters; growing again starts new pieces.
    // ntfsinfo dumps each piece of the data, naming its record.
    auto dataRecords = [&] {
      return std::stoull("0" + DiskTest::RunCommand("ntfsinfo -v -i " + std::to_string(a) + " '" + image +
                                                    "' 2>/dev/null | grep -c 'Dumping attribute \\$DATA'"));
    };
    auto recordsInUse = [&] {
      return DiskTest::RunCommand("icat '" + image + "' 0-176 | od -An -v -tu1 | tr -s ' ' '\\n' | "
                                  "awk 'NF { n = $1; while (n) { c += n % 2; n = int(n / 2) } } END { print c + 0 }'");
    };
    const std::uint64_t piecesBefore = dataRecords();
    const std::uint64_t inUseBefore = std::stoull("0" + recordsInUse());
    ASSERT_GT(piecesBefore, 1u);
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      ntfs::NTFSFile fa(*m.driver, a);
      fa.SetSize(2 * g.cluster + 7);
      modelA.resize(2 * g.cluster + 7);
      EXPECT_EQ(fa.Data().PieceCount(), 1u);
    }
    EXPECT_EQ(dataRecords(), 1u);
    EXPECT_LT(std::stoull("0" + recordsInUse()), inUseBefore);
    EXPECT_EQ(Icat(image, a), modelA);
    EXPECT_EQ(Judge(image), "");
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      ntfs::NTFSFile fa(*m.driver, a), fb(*m.driver, b);
      for (int i = 0; i < steps / 2; ++i) {
        std::uint32_t done = 0;
        fa.Write(chunk.data(), modelA.size(), g.cluster, done);
        ASSERT_EQ(done, g.cluster) << i;
        modelA += chunk;
        fb.SetSize(modelB.size() + g.cluster);
        modelB.resize(modelB.size() + g.cluster, '\0');
      }
    }
    EXPECT_EQ(Icat(image, a), modelA);
    EXPECT_EQ(Icat(image, b), modelB);
    EXPECT_EQ(Judge(image), "");
  }
}

// Writes into the holes of a sparse file (made by ntfsfallocate): the
// clusters written get clusters of their own, zero-filled where the write
// does not reach, the rest stays a hole; icat and ntfscat read the model
// back, the runs stay those of a sparse file in istat, and the checkers
// and the cluster bitmap agree.
TEST(NtfsFile, WritesIntoSparseHoles) {
  for (const Geometry& g : {kGeometries[0], kGeometries[1], kGeometries[3]}) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, g.megabytes, ""}));
    const std::uint64_t c = g.cluster;
    ntfstest::MakeHostFile(dir.File("s"), 10000, 4);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("s"), "s"));
    // Clusters at 90 and 91 and nothing between the copied data and them.
    ASSERT_EQ(Status("ntfsfallocate -o " + std::to_string(90 * c) + " -l " + std::to_string(2 * c) + " '" +
                     image + "' s"),
              0);
    const std::uint64_t record = RecordOf(image, "s");
    std::string model = Icat(image, record);
    ASSERT_EQ(model.size(), 92 * c);
    auto holeClusters = [&] {
      std::uint64_t n = 0;
      for (const auto& attribute : ntfstest::Istat(image, record))
        for (const auto& run : attribute.runs)
          if (attribute.type == 0x80 && run.first < 0) n += run.second;
      return n;
    };
    const std::uint64_t holesBefore = holeClusters();
    ASSERT_GT(holesBefore, 50u) << "the fixture should be sparse";
    const std::string fresh = ntfstest::MakeHostFile(dir.File("fresh"), 4 * c + 1000, 5);
    struct Step {
      const char* what;
      std::uint64_t offset;
      std::uint32_t length;
      std::uint64_t clustersFilled;
    };
    const Step steps[] = {
        {"unaligned, over two clusters of a hole", 20 * c + 100, std::uint32_t(c + c / 2), 2},
        {"aligned, three whole clusters", 40 * c, std::uint32_t(3 * c), 3},
        {"from the hole's last cluster into allocated ones", 89 * c + 10, std::uint32_t(2 * c), 1},
        {"inside a filled cluster, past what was written", 21 * c + c / 2 + 120, 100, 0},
    };
    std::uint64_t filled = 0;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.what);
      {
        Mounted m(image, g.sector, false);
        ASSERT_NE(m.driver, nullptr);
        ntfs::NTFSFile file(*m.driver, record);
        std::uint32_t done = 0;
        file.Write(fresh.data(), s.offset, s.length, done);
        ASSERT_EQ(done, s.length);
        model.replace(std::size_t(s.offset), s.length, fresh.data(), s.length);
        EXPECT_EQ(ReadAll(file, 65536, 0), model);
      }
      filled += s.clustersFilled;
      EXPECT_EQ(holeClusters(), holesBefore - filled);
      ASSERT_EQ(Icat(image, record), model);
      ASSERT_EQ(DiskTest::RunCommand("ntfscat '" + image + "' s 2>/dev/null"), model);
      ASSERT_EQ(Judge(image, false), "");
    }
    EXPECT_EQ(BitmapAgainstRuns(image), "");
  }
}

TEST(NtfsFile, TheMftGrowsAndRecordZeroKeepsItsFirstRuns) {
  for (const Geometry& g : {Geometry{512, 512, 24}, Geometry{4096, 4096, 32}}) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, g.megabytes, ""}));
    ntfstest::MakeHostFile(dir.File("b"), 5000, 2);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("b"), "b"));
    const std::uint64_t b = RecordOf(image, "b");
    std::string modelB = Icat(image, b);
    auto mftRuns = [&] {
      for (const auto& a : ntfstest::Istat(image, 0))
        if (a.type == 0x80) return a;
      return ntfstest::IstatAttribute();
    };
    const ntfstest::IstatAttribute before = mftRuns();
    ASSERT_FALSE(before.runs.empty());
    const std::uint32_t recordSize = g.sector == 4096 ? 4096 : 1024;
    const std::string chunk = ntfstest::MakeHostFile(dir.File("chunk"), g.cluster, 3);
    std::uint64_t count = 0;
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      const std::uint64_t start = m.driver->GetMft().RecordCount();
      ntfs::NTFSFile fb(*m.driver, b);
      // A cluster for b between growths keeps the $MFT's new clusters
      // apart, so that each growth is a run of its own.
      for (int i = 0; i < 12; ++i) {
        ntfs::GrowMft(*m.driver);
        std::uint32_t done = 0;
        fb.Write(chunk.data(), modelB.size(), g.cluster, done);
        ASSERT_EQ(done, g.cluster);
        modelB += chunk;
      }
      count = m.driver->GetMft().RecordCount();
      EXPECT_GE(count, start + 12 * 16);
    }
    const ntfstest::IstatAttribute after = mftRuns();
    EXPECT_EQ(after.size, count * recordSize);
    EXPECT_GT(after.runs.size(), before.runs.size());
    // The runs that held the $MFT before are where they were.
    for (std::size_t i = 0; i + 1 < before.runs.size(); ++i) EXPECT_EQ(after.runs[i], before.runs[i]);
    EXPECT_EQ(after.runs[before.runs.size() - 1].first, before.runs.back().first);
    EXPECT_EQ(Icat(image, b), modelB);
    EXPECT_EQ(Judge(image), "");
  }
}

TEST(NtfsFile, DataThatCannotLeaveAFullRecordStaysWhereItWas) {
  ntfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(ntfstest::MakeImage(image, {512, 4096, 16, ""}));
  const std::string data = ntfstest::MakeHostFile(dir.File("f"), 8, 1);
  ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("f"), "f"));
  const std::uint64_t f = RecordOf(image, "f");
  auto used = [&] {
    return ntfstest::Number(DiskTest::RunCommand("ntfsinfo -v -i " + std::to_string(f) + " '" + image + "'"),
                            R"(Bytes Used:\s+(\d+))");
  };
  // A named stream sized to leave 16 bytes of the 1,024-byte record free:
  // too few for the data's record in its non-resident form.
  const std::uint64_t before = used();
  ASSERT_LT(before, 1024u - 16 - 32);
  ntfstest::MakeHostFile(dir.File("s"), std::size_t(1024 - 16 - before - 32), 2);
  ASSERT_EQ(Status("ntfscp -q -f -N s '" + image + "' '" + dir.File("s") + "' f"), 0);
  ASSERT_EQ(used(), 1024u - 16) << "the fixture should leave 16 bytes free";
  const std::string stream = DiskTest::RunCommand("ntfscat -f '" + image + "' f:s 2>/dev/null");
  {
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    std::uint64_t total = 0, free = 0, available = 0;
    m.driver->GetVolumeSizes(total, free, available);
    ntfs::NTFSFile file(*m.driver, f);
    const std::string more(200, 'x');
    std::uint32_t done = 0;
    EXPECT_EQ(CodeOf([&] { file.Write(more.data(), 0, 200, done); }), 0x40004u);
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(file.Data().Resident());
    EXPECT_EQ(ReadAll(file, 100, 0), data);
    std::uint64_t freeAfter = 0;
    m.driver->GetVolumeSizes(total, freeAfter, available);
    EXPECT_EQ(freeAfter, free) << "the clusters taken for the move go back";
  }
  EXPECT_EQ(Icat(image, f), data);
  EXPECT_EQ(DiskTest::RunCommand("ntfscat -f '" + image + "' f:s 2>/dev/null"), stream);
  EXPECT_EQ(Judge(image), "");
}

TEST(NtfsFile, FillingTheVolumeEndsWithDiskFullAndLeavesItSound) {
  for (const Geometry& g : {kGeometries[1], kGeometries[2]}) {
    SCOPED_TRACE(Describe(g));
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {g.sector, g.cluster, 16, ""}));
    ntfstest::MakeHostFile(dir.File("a"), 10, 1);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("a"), "a"));
    const std::uint64_t record = RecordOf(image, "a");
    const std::string chunk = ntfstest::MakeHostFile(dir.File("chunk"), 1 << 20, 2);
    std::string model(10, '\0');
    model = Icat(image, record);
    {
      Mounted m(image, g.sector, false);
      ASSERT_NE(m.driver, nullptr);
      ntfs::NTFSFile file(*m.driver, record);
      std::uint32_t code = 0;
      for (int i = 0; i < 64 && code == 0; ++i) {
        std::uint32_t done = 0;
        code = CodeOf([&] { file.Write(chunk.data(), model.size(), std::uint32_t(chunk.size()), done); });
        model.append(chunk.data(), done);
      }
      EXPECT_EQ(code, 0x40004u);
      std::uint64_t total = 0, free = 0, available = 0;
      m.driver->GetVolumeSizes(total, free, available);
      EXPECT_EQ(free, 0u);
    }
    EXPECT_EQ(Icat(image, record), model);
    EXPECT_EQ(Judge(image), "");
  }
}

#endif
