// The snapshot storage file: appends through the staging buffer, reads back
// through the read cache, every transfer whole sectors as an unbuffered file
// needs (the native files refuse anything else), the placement check, and a
// configured file name that already exists left alone.
#include <dirent.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/snapshots.h"
#include "standin_fixture.h"

namespace {

// The system's files, with every transfer written down and the answers
// that the tests want to differ.
class RecordingFiles : public Da::SnapshotFileSystem {
 public:
  struct Transfer {
    bool write;
    std::uint32_t bytes;
    std::uint64_t offset;
  };
  std::uint32_t TempPath(std::u16string& path, std::uint32_t& error) override {
    if (tempLength != 0) {
      error = 0;
      return tempLength;
    }
    return base.TempPath(path, error);
  }
  void MakeDirectory(const std::u16string& d) override { base.MakeDirectory(d); }
  std::uint32_t TempFileName(const std::u16string& d, std::u16string& name) override {
    return base.TempFileName(d, name);
  }
  bool SectorSize(const std::u16string& d, std::uint32_t& bytes) override {
    return base.SectorSize(d, bytes);
  }
  std::uint32_t Open(const std::u16string& path, bool ours, void*& file) override {
    return base.Open(path, ours, file);
  }
  std::uint32_t WriteAt(void* f, const void* data, std::uint32_t bytes, std::uint64_t offset,
                        std::uint32_t& done) override {
    transfers.push_back({true, bytes, offset});
    return base.WriteAt(f, data, bytes, offset, done);
  }
  std::uint32_t ReadAt(void* f, void* data, std::uint32_t bytes, std::uint64_t offset,
                       std::uint32_t& done) override {
    transfers.push_back({false, bytes, offset});
    return base.ReadAt(f, data, bytes, offset, done);
  }
  std::uint32_t FileId(void* f, std::uint64_t& id) override { return base.FileId(f, id); }
  bool SetSize(void* f, std::uint64_t bytes) override { return base.SetSize(f, bytes); }
  void Close(void* f) override { base.Close(f); }

  Da::SnapshotFileSystem& base = Da::PlatformSnapshotFileSystem();
  std::vector<Transfer> transfers;
  std::uint32_t tempLength = 0;
};

class SnapshotStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Da::SetSnapshotFileSystem(&files_);
    setenv("TMPDIR", dir_.Path().c_str(), 1);
  }
  void TearDown() override {
    while (storage_ != nullptr && SnapshotStorage::Current() == storage_)
      SnapshotStorage::Release(storage_);
    if (DaIsInitialised()) DaDone();
    Da::SetSnapshotFileSystem(nullptr);
    unsetenv("TMPDIR");
  }
  SnapshotStorage* Storage() {
    storage_ = SnapshotStorage::GetShared();
    return storage_;
  }
  std::vector<std::string> StorageFiles() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.Path().c_str())) {
      while (dirent* e = readdir(d))
        if (std::strncmp(e->d_name, "qvl", 3) == 0) names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }

  DiskTest::TempDir dir_;
  RecordingFiles files_;
  SnapshotStorage* storage_ = nullptr;
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t salt) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + salt);
  return b;
}

TEST_F(SnapshotStorageTest, AppendsStageUntilASectorIsFullAndReadsComeBackFromWhereverTheyAre) {
  SnapshotStorage* s = Storage();
  std::uint64_t id = 0;
  Common::CriticalSection* held = nullptr;
  ASSERT_TRUE(s->CheckPlacement(7, id, held).IsNull());  // the temporary folder
  EXPECT_FALSE(s->HasFile());
  std::uint64_t position = 99;
  const auto first = Bytes(100, 1), second = Bytes(450, 2), third = Bytes(3000, 3);
  ASSERT_TRUE(s->Append(first.data(), 100, position).IsNull());
  EXPECT_EQ(position, 0u);
  EXPECT_TRUE(files_.transfers.empty());
  EXPECT_EQ(StorageFiles().size(), 1u);  // made by the first append
  ASSERT_TRUE(s->Append(second.data(), 450, position).IsNull());
  EXPECT_EQ(position, 100u);
  ASSERT_EQ(files_.transfers.size(), 1u);
  EXPECT_EQ(files_.transfers[0].bytes, 512u);
  EXPECT_EQ(s->Staged(), 38u);
  ASSERT_TRUE(s->Append(third.data(), 3000, position).IsNull());
  EXPECT_EQ(position, 550u);
  std::vector<std::uint8_t> all(first);
  all.insert(all.end(), second.begin(), second.end());
  all.insert(all.end(), third.begin(), third.end());

  // Staged bytes come from the staging area, not the file.
  files_.transfers.clear();
  std::vector<std::uint8_t> got(10);
  const std::uint64_t stagedAt = s->Written();
  ASSERT_TRUE(s->ReadAt(got.data(), 10, stagedAt + 5).IsNull());
  EXPECT_TRUE(files_.transfers.empty());
  EXPECT_EQ(got, std::vector<std::uint8_t>(all.begin() + stagedAt + 5, all.begin() + stagedAt + 15));
  // Ten bytes at 1000 fill the cache from 512.
  ASSERT_TRUE(s->ReadAt(got.data(), 10, 1000).IsNull());
  ASSERT_EQ(files_.transfers.size(), 1u);
  EXPECT_EQ(files_.transfers[0].offset, 512u);
  EXPECT_EQ(s->CacheOffset(), 512u);
  EXPECT_EQ(got, std::vector<std::uint8_t>(all.begin() + 1000, all.begin() + 1010));
  // Every range, whatever its alignment, reads what was appended.
  for (std::uint64_t at : {0u, 1u, 511u, 512u, 549u, 1024u, 3000u})
    for (std::uint32_t n : {1u, 511u, 512u, 1536u}) {
      if (at + n > all.size()) continue;
      std::vector<std::uint8_t> out(n);
      ASSERT_TRUE(s->ReadAt(out.data(), n, at).IsNull()) << at << "+" << n;
      EXPECT_EQ(out, std::vector<std::uint8_t>(all.begin() + at, all.begin() + at + n))
          << at << "+" << n;
    }
  // Nothing was stored past the end.
  EXPECT_EQ(s->ReadAt(got.data(), 10, all.size()).Code(), Da::SnapCode::kTempReadShort);
  // Every transfer was whole sectors at a sector offset.
  for (const auto& t : files_.transfers) {
    EXPECT_EQ(t.bytes % 512, 0u);
    EXPECT_EQ(t.offset % 512, 0u);
  }
  SnapshotStorage::Release(s);
  EXPECT_EQ(SnapshotStorage::Current(), nullptr);
  EXPECT_TRUE(StorageFiles().empty());  // deleted on close
}

TEST_F(SnapshotStorageTest, ATemporaryFolderThatDoesNotFitFails) {
  files_.tempLength = 300;
  SnapshotStorage* s = Storage();
  std::uint64_t id = 0;
  Common::CriticalSection* held = nullptr;
  EXPECT_EQ(s->CheckPlacement(1, id, held).Code(), Da::SnapCode::kTempDirectory);
  EXPECT_EQ(held, nullptr);
}

TEST_F(SnapshotStorageTest, PlacementOnTheSnapshottedVolume) {
  // The configured folder lies on the library's volume E: (volume 1).
  DaTest::StandinConfig config{dir_};
  const std::string image = dir_.File("disk.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 4M " + image));
  config.Install("drive " + image + "\nvolume 1:0+8192 letter=E\n");
  DaInit(0x1C11);
  ASSERT_NE(DaLocalComputer(), nullptr);

  // Another volume: nothing is made, nothing held.
  SnapshotStorage* s = Storage();
  std::uint64_t id = 0;
  Common::CriticalSection* held = nullptr;
  EXPECT_TRUE(s->CheckPlacement(2, id, held).IsNull());
  EXPECT_FALSE(s->HasFile());
  EXPECT_EQ(held, nullptr);
  SnapshotStorage::Release(s);

  // The same volume, no size limit: the storage is held for the caller.
  DaLocalComputer()->SetName(u"E:\\snapshots\\", 0);
  s = Storage();
  EXPECT_TRUE(s->CheckPlacement(1, id, held).IsNull());
  EXPECT_EQ(s->StorageVolume(), 1u);
  EXPECT_NE(held, nullptr);
  held->Leave();
  SnapshotStorage::Release(s);

  // A configured file that already exists is somebody else's: it is not
  // opened (which would delete it on close), and stays as it was.
  const std::string existing = dir_.File("precious.dat");
  std::ofstream(existing) << "keep me";
  const std::u16string name(existing.begin(), existing.end());
  DaLocalComputer()->SetName(name.c_str(), 1000);
  s = Storage();
  EXPECT_TRUE(s->CheckPlacement(2, id, held).IsNull());  // fixes the name
  std::uint64_t position = 0;
  const auto data = Bytes(100, 4);
  EXPECT_EQ(s->Append(data.data(), 100, position).Code(), Da::SnapCode::kTempCreate);
  SnapshotStorage::Release(s);
  std::ifstream in(existing);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "keep me");

  // A new configured name with a size limit: made at once, the limit cut
  // to whole sectors, its id handed out, and extended to the limit.
  const std::string fresh = dir_.File("sub/store.dat");
  const std::u16string freshName(fresh.begin(), fresh.end());
  DaLocalComputer()->SetName(freshName.c_str(), 1000);
  s = Storage();
  EXPECT_TRUE(s->CheckPlacement(2, id, held).IsNull());
  ASSERT_TRUE(s->Append(data.data(), 100, position).IsNull());
  EXPECT_EQ(s->SizeLimit(), 512u);
  s->ExtendToLimit();
  std::ifstream made(fresh, std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<std::uint64_t>(made.tellg()), 512u);
  SnapshotStorage::Release(s);
  EXPECT_FALSE(std::ifstream(fresh).good());
}

}  // namespace
