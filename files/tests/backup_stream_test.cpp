// The splitter over Windows backup-stream records, the comparing sink and the
// per-entry progress context, on streams built by hand record by record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../fuzz/backup_memory_stream.h"
#include "common/error.h"
#include "files/backup.h"
#include "files/backup_stream.h"
#include "files/file_error.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Filled(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(seed + i * 7);
  return b;
}

Bytes Record(std::uint32_t id, const std::u16string& name, const Bytes& data) {
  Bytes out;
  AppendBackupRecord(out, id, name, data);
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One record of every id, 1 to 9; the sparse block's data start with its
// offset, the alternate stream has a name.
std::vector<Bytes> EveryId() {
  std::vector<Bytes> records;
  for (std::uint32_t id = 1; id <= 9; ++id) {
    Bytes data = Filled(100 * id + 3, std::uint8_t(id));
    if (id == kBackupStreamSparseBlock) {
      for (int i = 0; i < 8; ++i) data[i] = std::uint8_t(i == 1 ? 0x10 : 0);
    }
    records.push_back(Record(id, id == kBackupStreamAlternateData ? u":extra:$DATA" : u"", data));
  }
  return records;
}

class Recorder : public BackupProgress {
 public:
  void Progress(std::uint64_t done) override { reports.push_back(done); }
  bool IsCancelled() override { return cancelAfter == 0 ? true : (--cancelAfter, false); }
  std::uint32_t Ask(std::uint32_t situation, const char16_t* path) override {
    asked.push_back(situation);
    askedPath = path;
    return answer;
  }
  std::vector<std::uint64_t> reports;
  std::vector<std::uint32_t> asked;
  std::u16string askedPath;
  std::uint32_t answer = BackupProgress::kRetry;
  int cancelAfter = 1 << 30;
};

TEST(BackupStreamSplit, EachIdGoesToItsSinkUnderEveryFilter) {
  const std::vector<Bytes> records = EveryId();
  const Bytes stream = Concat(records);
  struct Case {
    std::uint32_t flags;
    bool keepData;
    bool keepMetadata;
  } cases[] = {{0, true, true}, {kBackupDropDataStreams, false, true},
               {kBackupDataOnly, true, false}, {kBackupDropDataStreams | kBackupDataOnly, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    Bytes expected;
    for (std::uint32_t id = 1; id <= 9; ++id) {
      const bool data = IsBackupDataStream(id);
      if (data ? c.keepData : c.keepMetadata) {
        expected.insert(expected.end(), records[id - 1].begin(), records[id - 1].end());
      }
    }
    backup_memory_source source(stream);
    backup_memory_sink sink(64);
    BackupContext context(nullptr, u"C:\\f", true);
    const Common::Error error = SplitBackupStreamFiltered(&sink, source, c.flags, context);
    EXPECT_TRUE(error.IsNull()) << std::hex << error.Code();
    EXPECT_EQ(sink.bytes(), expected);
    // The whole stream is walked, whatever was kept.
    EXPECT_EQ(source.position(), stream.size());
  }
}

TEST(BackupStreamSplit, TwoSinksGetDataAndMetadataApart) {
  const std::vector<Bytes> records = EveryId();
  backup_memory_source source(Concat(records));
  backup_memory_sink data, metadata;
  BackupContext context(nullptr, u"p", true);
  ASSERT_TRUE(SplitBackupStream(&data, &metadata, source, context).IsNull());
  EXPECT_EQ(data.bytes(), Concat({records[0], records[8]}));
  Bytes rest;
  for (std::uint32_t id = 2; id <= 8; ++id) rest = Concat({rest, records[id - 1]});
  EXPECT_EQ(metadata.bytes(), rest);
}

TEST(BackupStreamSplit, SkippedRecordsAreSeekedPastNotRead) {
  // A data record alone with no data sink: passed with one seek.
  const Bytes data = Record(kBackupStreamData, u"", Filled(5000, 1));
  backup_memory_source source(data);
  backup_memory_sink sink;
  BackupContext context(nullptr, u"p", true);
  EXPECT_TRUE(SplitBackupStream(nullptr, &sink, source, context).IsNull());
  EXPECT_EQ(source.position(), data.size());
  EXPECT_EQ(source.seeks(), 2u);  // where it stands, then the move
  EXPECT_TRUE(sink.bytes().empty());

  // A sparse block: its offset is read, only the rest is seeked past.
  Bytes sparse = Filled(8 + 300, 3);
  const Bytes both = Concat({Record(kBackupStreamSparseBlock, u"", sparse),
                             Record(kBackupStreamData, u"", {})});
  backup_memory_source second(both);
  EXPECT_TRUE(SplitBackupStream(nullptr, nullptr, second, context).IsNull());
  EXPECT_EQ(second.position(), both.size());
  EXPECT_EQ(second.seeks(), 2u);  // the empty record needs no seek
}

TEST(BackupStreamSplit, MalformedStreamsAreRefused) {
  const Bytes good = Record(kBackupStreamData, u"", Filled(50, 2));
  Bytes overflow = Record(kBackupStreamSecurity, u"ab", {});
  for (int i = 8; i < 16; ++i) overflow[i] = 0xFF;  // size + name size passes 64 bits
  struct Case {
    const char* what;
    Bytes stream;
    bool copy;
    std::uint32_t code;
  } cases[] = {
      {"header cut short", Concat({good, Bytes(good.begin(), good.begin() + 19)}), true,
       kFileCorrupted},
      {"header cut short, skipped", Concat({good, Bytes(good.begin(), good.begin() + 3)}), false,
       kFileCorrupted},
      {"data cut short", Bytes(good.begin(), good.end() - 1), true, kFileReadError},
      {"data cut short, skipped", Bytes(good.begin(), good.end() - 1), false, kFileSeekError},
      {"name cut short, skipped", Bytes(overflow.begin(), overflow.begin() + 21), false,
       kFileCorrupted},
      {"sizes overflow", overflow, true, kFileCorrupted},
      {"sparse block shorter than its offset", Record(kBackupStreamSparseBlock, u"", Bytes(7)),
       false, kFileCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    backup_memory_source source(c.stream);
    backup_memory_sink sink;
    BackupContext context(nullptr, u"p", true);
    file_backup_stream* s = c.copy ? &sink : nullptr;
    const Common::Error error = SplitBackupStream(s, s, source, context);
    EXPECT_EQ(error.Code(), c.code);
    EXPECT_EQ(GetErrorCode(GetErrorCause(error)) != 0, c.code == kFileReadError);
  }
}

TEST(BackupStreamSplit, SinkFailuresAndCancelsStopTheWalk) {
  const Bytes stream = Concat(EveryId());
  {
    backup_memory_source source(stream);
    backup_memory_sink sink(64, 3);
    BackupContext context(nullptr, u"p", true);
    const Common::Error error = SplitBackupStream(&sink, &sink, source, context);
    EXPECT_EQ(error.Code(), kFileWriteError);
    EXPECT_EQ(GetErrorCode(GetErrorCause(error)), kFileDiskFull);
  }
  {
    Recorder progress;
    progress.cancelAfter = 2;  // header, then one chunk, then cancel
    backup_memory_source source(stream);
    backup_memory_sink sink(64);
    BackupContext context(&progress, u"p", true);
    const Common::Error error = SplitBackupStream(&sink, &sink, source, context);
    EXPECT_EQ(error.Code(), kFileCanceled);
    EXPECT_EQ(progress.reports, (std::vector<std::uint64_t>{20, 84}));
    EXPECT_EQ(sink.bytes().size(), 20u + 103u);
  }
}

TEST(BackupStreamCompare, EqualStreamsAndEveryKindOfDifference) {
  const Bytes stream = Concat(EveryId());
  auto compare = [&](const Bytes& other) {
    backup_memory_source source(stream);
    backup_memory_source second(other);
    BackupStreamsComparator comparator(second);
    BackupContext context(nullptr, u"p", false);
    const Common::Error error = SplitBackupStream(&comparator, &comparator, source, context);
    EXPECT_EQ(comparator.equal(), error.IsNull());
    if (!error.IsNull()) {
      EXPECT_EQ(GetErrorCode(GetErrorCause(error)), kFileCanceled);
    }
    return comparator.equal();
  };
  EXPECT_TRUE(compare(stream));
  for (std::size_t at : {std::size_t(0), std::size_t(19), std::size_t(20), stream.size() / 2,
                         stream.size() - 1}) {
    SCOPED_TRACE(at);
    Bytes changed = stream;
    changed[at] ^= 0x40;
    EXPECT_FALSE(compare(changed));
  }
  EXPECT_FALSE(compare(Bytes(stream.begin(), stream.end() - 1)));
}

TEST(BackupContextTest, ProgressHalvesAndQuestions) {
  Recorder progress;
  BackupContext context(&progress, u"C:\\dir\\file", true);
  EXPECT_TRUE(context.OnChunk(10));
  EXPECT_TRUE(context.OnChunkHalves(5));
  EXPECT_EQ(progress.reports, (std::vector<std::uint64_t>{10, 12}));
  EXPECT_EQ(context.bytes_done(), 15u);
  EXPECT_EQ(context.Ask(BackupProgress::kSecurityRefused), BackupProgress::kRetry);
  EXPECT_EQ(progress.askedPath, u"C:\\dir\\file");
  progress.cancelAfter = 0;
  EXPECT_FALSE(context.OnChunk(1));
  EXPECT_FALSE(context.OnChunkHalves(4));
  EXPECT_EQ(context.bytes_done(), 15u);

  // Without a callback nothing is reported and every question is a cancel.
  BackupContext silent(nullptr, u"x", false);
  EXPECT_TRUE(silent.OnChunk(3));
  EXPECT_EQ(silent.Ask(BackupProgress::kPathVanished), BackupProgress::kCancel);
}

TEST(BackupContextTest, ErrorsCarryDirectionPathAndHints) {
  const Common::Error cause(1, 2, 0x80070005u);
  BackupContext backup(nullptr, u"C:\\a", true);
  BackupContext restore(nullptr, u"C:\\b", false);
  const Common::Error b = backup.MakeError(7, cause);
  const Common::Error r = restore.MakeError(8, Common::Error(), 3);
  EXPECT_EQ(b.Code(), kFileBackupError);
  EXPECT_EQ(r.Code(), kFileRecoverError);
  EXPECT_EQ(std::u16string(Common::GetWideTextField(b, "Path")), u"C:\\a");
  EXPECT_EQ(Common::GetNumberField(b, "Hints"), 1u);
  EXPECT_EQ(Common::GetNumberField(r, "Hints"), 3u);
  EXPECT_EQ(GetErrorCode(GetErrorCause(b)), 0x80070005u);
  EXPECT_TRUE(GetErrorCause(r).IsNull());
}

TEST(BackupChunks, FactoryAndCopy) {
  file_backup_raw_data_factory factory;
  file_backup_raw_data_factory::raw_data* chunk = factory.make(file_backup_raw_data_factory::kDefaultSize);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->capacity, kBackupDefaultChunk);
  EXPECT_EQ(chunk->length, kBackupDefaultChunk);
  EXPECT_EQ(chunk->offset, 0u);
  factory.release(chunk);
  factory.release(nullptr);
  const char text[] = "abcd";
  chunk = CopyToRawData(factory, text, 4);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk->data()), 4), "abcd");
  factory.release(chunk);
}

}  // namespace

namespace {

TEST(BackupRecordTrackerTest, BoundariesInPiecesOfAnySize) {
  const Bytes stream = Concat(EveryId());
  for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(20), std::size_t(4096)}) {
    SCOPED_TRACE(piece);
    BackupRecordTracker tracker;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      ASSERT_TRUE(tracker.feed(stream.data() + at, std::min(piece, stream.size() - at)));
    }
    EXPECT_TRUE(tracker.at_boundary());
    EXPECT_EQ(tracker.records(), 9u);
  }
  struct Case {
    const char* what;
    Bytes bytes;
    bool ok;
  } cases[] = {
      {"header cut short", Bytes(stream.begin(), stream.begin() + 12), true},
      {"data cut short", Bytes(stream.begin(), stream.begin() + 30), true},
      {"sparse block shorter than its offset", Record(kBackupStreamSparseBlock, u"", Bytes(3)),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BackupRecordTracker tracker;
    EXPECT_EQ(tracker.feed(c.bytes.data(), c.bytes.size()), c.ok);
    EXPECT_FALSE(tracker.at_boundary());
  }
  Bytes overflow = Record(kBackupStreamSecurity, u"ab", {});
  for (int i = 8; i < 16; ++i) overflow[i] = 0xFF;
  BackupRecordTracker tracker;
  EXPECT_FALSE(tracker.feed(overflow.data(), overflow.size()));
  EXPECT_TRUE(tracker.failed());
}

}  // namespace
