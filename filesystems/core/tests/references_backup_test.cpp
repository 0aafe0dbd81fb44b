// File and iterator references (sharing, positions, stored errors) and the
// backup and restore pumps with hand-built item streams.
#include <gtest/gtest.h>

#include <memory>

#include "fake_driver.h"
#include "files/control.h"
#include "files/file_error.h"
#include "filesystems/backup.h"
#include "filesystems/references.h"
#include "foundation/byteorder.h"
#include "image_volume.h"
#include "memory_streams.h"

namespace {

using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;
using fstest::RecordedItem;

using fstest::CodeOf;
struct Volume {
  Volume() : device(new ImageVolume(64, 512)), driver(new FakeDriver(device.get(), 0, 64, 91)) {
    driver->AddUse();  // the test's own use keeps the driver past its references
    file = driver->AddNode(0, u"f", 0);
    driver->nodes[file].data = {1, 2, 3, 4, 5};
  }
  ~Volume() { driver->DropUse(); }
  FileSystemDriver::DirectoryObject* Root() { return driver->GetDirectoryObject(0); }
  filesystems::FileReference* Open(bool write, bool share) {
    Common::CriticalSectionLock lock(&driver->ObjectLock());
    return filesystems::MakeFileReference(driver.get(), Root()->OpenFile(u"f"), write, share);
  }
  std::unique_ptr<ImageVolume> device;
  std::unique_ptr<FakeDriver> driver;
  std::uint32_t file;
};

TEST(FileReference, SharingRules) {
  struct Open {
    bool write, share;
  };
  struct Case {
    std::vector<Open> existing;
    Open next;
    bool allowed;
  } cases[] = {
      {{{false, false}}, {false, false}, true},   // two plain readers
      {{{false, false}}, {true, false}, false},   // a writer needs no other open
      {{{false, false}}, {true, true}, false},    // a sharing writer needs every open sharing
      {{{false, true}}, {true, true}, true},
      {{{false, true}, {false, false}}, {true, true}, false},
      {{{true, true}}, {false, false}, false},    // readers wait for writers...
      {{{true, true}}, {false, true}, true},      // ...unless everybody shares
      {{{true, false}}, {false, true}, false},
      {{{true, true}}, {true, true}, true},
      {{{true, true}}, {true, false}, false},
      {{}, {true, false}, true},
  };
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    Volume v;
    std::vector<std::unique_ptr<filesystems::FileReference>> held;
    for (auto& o : cases[i].existing) held.emplace_back(v.Open(o.write, o.share));
    std::uint32_t code = CodeOf([&] { held.emplace_back(v.Open(cases[i].next.write, cases[i].next.share)); });
    EXPECT_EQ(code, cases[i].allowed ? 0u : kFileOpenError) << "case " << i;
  }
}

TEST(FileReference, PositionsReadsWritesAndTheLastWriterFlushes) {
  Volume v;
  std::unique_ptr<filesystems::FileReference> f(v.Open(true, false));
  std::uint8_t buffer[8];
  std::uint32_t done;
  EXPECT_EQ(f->seek_end(0), 5u);
  f->read(buffer, 8, done);
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(f->is_ok());
  EXPECT_EQ(f->seek_cur(0), 5u);
  const std::uint8_t more[] = {6, 7};
  f->write(more, 2, done);
  EXPECT_EQ(done, 2u);
  f->seek_set(3);
  f->read(buffer, 8, done);
  ASSERT_EQ(done, 4u);
  EXPECT_EQ(buffer[3], 7);
  EXPECT_EQ(f->size(), 7u);
  std::int32_t usesBefore = v.driver->Uses();
  f.reset();
  EXPECT_EQ(v.driver->Uses(), usesBefore - 1);
  // Reads at a non-existent entry store the driver's error and refuse after.
  Common::CriticalSectionLock lock(&v.driver->ObjectLock());
  EXPECT_EQ(CodeOf([&] { v.Root()->OpenFile(u"missing"); }), kFileNotFound);
}

TEST(FileReference, SetTimesNeedsWriteAccess) {
  Volume v;
  std::unique_ptr<filesystems::FileReference> f(v.Open(false, true));
  sftm_request times;
  times.modificationTime = 1234;
  f->control(&times);
  EXPECT_EQ(f->error().Code(), kFileReadOnly);
  std::uint64_t before = f->seek_cur(0);
  EXPECT_EQ(f->seek_set(99), before);  // an error stored: seeks stay put
}

TEST(IteratorReference, WalksEntriesAndEndsWith0x40002) {
  Volume v;
  v.driver->AddNode(0, u"g", 128);
  std::unique_ptr<filesystems::IteratorReference> it;
  {
    Common::CriticalSectionLock lock(&v.driver->ObjectLock());
    it.reset(filesystems::MakeIteratorReference(v.driver.get(), v.Root()->OpenIterator()));
  }
  EXPECT_EQ(std::u16string(it->name()), u"f");
  EXPECT_EQ(it->size(), 5u);
  it->next();
  EXPECT_EQ(it->object_type(), 128u);
  it->next();
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);
  EXPECT_EQ(it->name(), nullptr);
  EXPECT_TRUE(it->is_hidden());

  std::unique_ptr<filesystems::IteratorReference> empty(
      filesystems::MakeIteratorReference(v.driver.get(), nullptr));
  EXPECT_EQ(empty->error().Code(), kFileEndOfFile);
  filesystems::gphl_request gphl;
  gphl.iterator = empty.get();
  EXPECT_EQ(CodeOf([&] { v.driver->Control(&gphl); }), kFileEndOfFile);
  gphl.iterator = nullptr;
  EXPECT_EQ(CodeOf([&] { v.driver->Control(&gphl); }), kFileOpenError);
}

// A backup object that plays a script of (kind, bytes) chunks.
class ScriptedBackup : public FileSystemDriver::BackupObject {
 public:
  struct Step {
    std::uint32_t kind;
    std::uint32_t bytes;
  };
  explicit ScriptedBackup(std::vector<Step> steps) : steps_(std::move(steps)) {
    itemKind = steps_.empty() ? 0 : steps_[0].kind;
  }
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override {
    std::uint32_t n = steps_[at_].bytes;
    std::memset(buffer, static_cast<int>(steps_[at_].kind), n);
    ++at_;
    itemKind = at_ < steps_.size() ? steps_[at_].kind : 0;
    return n;
  }

 private:
  std::vector<Step> steps_;
  std::size_t at_ = 0;
};

// A serialiser that answers 0 bytes and never moves on.
class StuckBackup : public FileSystemDriver::BackupObject {
 public:
  StuckBackup() { itemKind = 4; }
  std::uint32_t ProduceChunk(void*, std::uint32_t) override { return 0; }
};

std::vector<RecordedItem> RunBackup(Volume& v, std::uint32_t& code,
                                    filesystems::ProgressReceiver* progress = nullptr) {
  fstest::MemoryStreamFactory factory;
  filesystems::BackupTarget target{&factory, progress, 0};
  Common::CriticalSectionLock lock(&v.driver->ObjectLock());
  code = CodeOf([&] { filesystems::BackupEntry(*v.driver, v.Root(), nullptr, target); });
  EXPECT_EQ(factory.open, 0);
  EXPECT_EQ(v.Root()->Uses(), 0);
  return factory.items;
}

TEST(Backup, OneStreamPerRunOfEqualKinds) {
  struct Case {
    std::vector<ScriptedBackup::Step> steps;
    std::vector<std::uint32_t> kinds;
    std::uint32_t code;
  } cases[] = {
      {{}, {}, 0},
      {{{1, 4}, {5, 24}, {1, 4}}, {1, 5, 1}, 0},
      {{{4, 10}, {4, 10}, {5, 8}}, {4, 5}, 0},
      {{{4, 0}, {5, 8}}, {4, 5}, 0},  // an item whose first chunk is empty gets its stream
      {{{4, 0}, {4, 0}}, {4}, kFileCorrupted},
  };
  for (auto& c : cases) {
    Volume v;
    auto steps = c.steps;
    v.driver->backupSource = [steps] { return new ScriptedBackup(steps); };
    std::uint32_t code;
    auto items = RunBackup(v, code);
    EXPECT_EQ(code, c.code);
    std::vector<std::uint32_t> kinds;
    for (auto& i : items) kinds.push_back(i.kind);
    EXPECT_EQ(kinds, c.kinds);
  }
}

TEST(Backup, AnEmptyChunkThatDoesNotEndItsItemFailsInsteadOfLooping) {
  Volume v;
  v.driver->backupSource = [] { return new StuckBackup; };
  std::uint32_t code;
  RunBackup(v, code);
  EXPECT_EQ(code, kFileCorrupted);
}

TEST(Backup, CancellingBeforeTheFirstChunkLeavesNothingOpen) {
  Volume v;
  fstest::CountingProgress progress;
  progress.stopAfter = 0;
  std::uint32_t code;
  auto items = RunBackup(v, code, &progress);
  EXPECT_EQ(code, kFileCanceled);
  EXPECT_TRUE(items.empty());
}

TEST(Backup, AFileEntryIsReadThroughAReferenceThatRefusesWriters) {
  Volume v;
  fstest::MemoryStreamFactory factory;
  filesystems::BackupTarget target{&factory, nullptr, 0};
  Common::CriticalSectionLock lock(&v.driver->ObjectLock());
  std::unique_ptr<FileSystemDriver::IteratorObject> entry(v.Root()->OpenIteratorFor(u"f"));
  filesystems::BackupEntry(*v.driver, v.Root(), entry.get(), target);
  ASSERT_EQ(factory.items.size(), 3u);
  EXPECT_EQ(factory.items[1].bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  std::unique_ptr<filesystems::FileReference> writer(v.Open(true, true));
  EXPECT_EQ(CodeOf([&] { filesystems::BackupEntry(*v.driver, v.Root(), entry.get(), target); }),
            kFileOpenError);
}

std::uint32_t RunRestore(Volume& v, std::vector<RecordedItem> items, const std::u16string& name) {
  fstest::MemoryItemProvider provider(std::move(items));
  filesystems::RestoreSource source{&provider, nullptr, 0};
  Common::CriticalSectionLock lock(&v.driver->ObjectLock());
  return CodeOf([&] { filesystems::RestoreEntry(*v.driver, v.Root(), name, source); });
}

std::vector<std::uint8_t> Attributes(std::uint32_t value) {
  std::vector<std::uint8_t> b(4);
  Common::StoreLe32(b.data(), value);
  return b;
}

TEST(Restore, HandBuiltItemStreams) {
  Volume v;
  EXPECT_EQ(RunRestore(v, {{1, Attributes(0x10)}, {5, std::vector<std::uint8_t>(24, 0)}}, u"d"), 0u);
  EXPECT_EQ(v.driver->nodes.at(v.driver->Lookup(0, u"d")).type, 128u);
  EXPECT_EQ(RunRestore(v, {{1, Attributes(0x10)}}, u"d"), 0u);  // it already exists
  EXPECT_EQ(RunRestore(v, {{2, {9, 9}}, {4, {7, 8, 9}}}, u"f"), 0u);
  EXPECT_EQ(v.driver->nodes.at(v.file).data, (std::vector<std::uint8_t>{7, 8, 9}));
  EXPECT_EQ(RunRestore(v, {{1, {}}}, u"e"), kFileCorrupted);
  EXPECT_EQ(RunRestore(v, {{1, {1, 0}}}, u"e"), kFileCorrupted);
  EXPECT_EQ(RunRestore(v, {}, u"e"), kFileCorrupted);
  EXPECT_EQ(v.Root()->Uses(), 0);
}

TEST(Restore, AnEmptyItemOfAnotherKindIsOneEmptyChunk) {
  Volume v;
  EXPECT_EQ(RunRestore(v, {{4, {}}}, u"f"), 0u);
  EXPECT_TRUE(v.driver->nodes.at(v.file).data.empty());  // created or truncated
}

TEST(Restore, ThreeItemsOfKinds1_5_1GiveThreeEntriesOfTheBackup) {
  Volume v;
  v.driver->backupSource = [] {
    return new ScriptedBackup({{1, 4}, {5, 24}, {1, 4}});
  };
  std::uint32_t code;
  auto items = RunBackup(v, code);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(RunRestore(v, items, u"copy"), 0u);  // attribute word 0x01010101: a file
  EXPECT_EQ(v.driver->nodes.at(v.driver->Lookup(0, u"copy")).type, 0u);
}

TEST(Restore, BackupOfAFileRestoresTheSameBytes) {
  Volume v;
  v.driver->nodes[v.file].data.assign(300000, 0x3C);
  v.driver->nodes[v.file].modified = 1600000000000ull;
  fstest::MemoryStreamFactory factory;
  filesystems::BackupTarget target{&factory, nullptr, 0};
  {
    Common::CriticalSectionLock lock(&v.driver->ObjectLock());
    std::unique_ptr<FileSystemDriver::IteratorObject> entry(v.Root()->OpenIteratorFor(u"f"));
    filesystems::BackupEntry(*v.driver, v.Root(), entry.get(), target);
  }
  EXPECT_EQ(RunRestore(v, factory.items, u"copy"), 0u);
  auto& copy = v.driver->nodes.at(v.driver->Lookup(0, u"copy"));
  EXPECT_EQ(copy.data, v.driver->nodes.at(v.file).data);
  EXPECT_EQ(copy.modified, 1600000000000ull);
}

}  // namespace
