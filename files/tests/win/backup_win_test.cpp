// Backup and restore of live entries through "BKUP" and "RSTR" of the NT
// directory, judged by the system's own view of the result (bytes,
// attributes, times, the security descriptor as SDDL) and, where the prefix
// has it, icacls; and the backup-stream stand-in on its own.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../../fuzz/backup_memory_stream.h"
#include "files/backup.h"
#include "files/backup_stream.h"
#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/backup_win.h"
#include "foundation/byteorder.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// The caller's side: items kept in memory

struct Item {
  std::uint32_t kind;
  Bytes bytes;
};

class ItemStream : public file_backup_stream {
 public:
  explicit ItemStream(Item& item) : item_(item) {}
  void write(raw_data* chunk) override {
    item_.bytes.insert(item_.bytes.end(), chunk->data(), chunk->data() + chunk->length);
    release(chunk);
  }

 private:
  Item& item_;
};

class MemorySink : public BackupSink {
 public:
  file_backup_stream* BeginItem(std::uint32_t kind) override {
    items.push_back(std::make_unique<Item>(Item{kind, {}}));
    return new ItemStream(*items.back());
  }
  std::vector<std::uint32_t> kinds() const {
    std::vector<std::uint32_t> k;
    for (const auto& item : items) k.push_back(item->kind);
    return k;
  }
  const Item* find(std::uint32_t kind) const {
    for (const auto& item : items)
      if (item->kind == kind) return item.get();
    return nullptr;
  }
  std::vector<std::unique_ptr<Item>> items;
};

class MemorySource : public BackupSource {
 public:
  explicit MemorySource(const std::vector<Item>& items) : items_(items) {}
  i_file* NextItem(std::uint32_t& kind) override {
    if (next_ == items_.size()) {
      store_error(MakeFileError(1, 1, kFileEndOfFile));
      return nullptr;
    }
    kind = items_[next_].kind;
    return new backup_memory_source(items_[next_++].bytes);
  }

 private:
  std::vector<Item> items_;
  std::size_t next_ = 0;
};

std::vector<Item> Copy(const MemorySink& sink) {
  std::vector<Item> items;
  for (const auto& item : sink.items) items.push_back(*item);
  return items;
}

class Callback : public BackupProgress {
 public:
  void Progress(std::uint64_t done) override { last = done; ++reports; }
  bool IsCancelled() override { return reports >= cancelAt; }
  std::uint32_t Ask(std::uint32_t situation, const char16_t*) override {
    asked.push_back(situation);
    return answer;
  }
  std::uint64_t last = 0;
  int reports = 0;
  int cancelAt = 1 << 30;
  std::uint32_t answer = kRetry;
  std::vector<std::uint32_t> asked;
};

// ---------------------------------------------------------------------------
// What the system says about an entry

std::string Contents(const std::u16string& path) { return ReadAll(path); }

DWORD Attributes(const std::u16string& path) { return GetFileAttributesW(W(path)); }

struct Times {
  std::uint64_t creation = 0, write = 0;
};

std::uint64_t AsU64(const FILETIME& t) {
  return std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

Times TimesOf(const std::u16string& path) {
  Times t;
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME c{}, w{};
  if (h != INVALID_HANDLE_VALUE) {
    GetFileTime(h, &c, nullptr, &w);
    CloseHandle(h);
  }
  t.creation = AsU64(c);
  t.write = AsU64(w);
  return t;
}

void SetTimes(const std::u16string& path, std::uint64_t creation, std::uint64_t write) {
  HANDLE h = CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME c{DWORD(creation), DWORD(creation >> 32)}, w{DWORD(write), DWORD(write >> 32)};
  ASSERT_TRUE(SetFileTime(h, &c, nullptr, &w));
  CloseHandle(h);
}

// The DACL as SDDL.
std::wstring Dacl(const std::u16string& path) {
  DWORD needed = 0;
  GetFileSecurityW(W(path), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return L"?";
  std::vector<BYTE> sd(needed);
  if (!GetFileSecurityW(W(path), DACL_SECURITY_INFORMATION, sd.data(), needed, &needed))
    return L"?";
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &text,
                                                            nullptr))
    return L"?";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

bool SetDacl(const std::u16string& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
    return false;
  const bool ok = SetFileSecurityW(W(path), DACL_SECURITY_INFORMATION, sd) != FALSE;
  LocalFree(sd);
  return ok;
}

// A tool's output, through cmd's redirection into a file.
std::string ToolOutput(const std::wstring& command, const std::u16string& outFile) {
  std::wstring line = L"cmd.exe /c " + command + L" > \"" + std::wstring(W(outFile)) + L"\" 2>&1";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      L"C:\\", &startup, &process))
    return "";
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  std::string out = ReadAll(outFile);
  DeleteFileW(W(outFile));
  return out;
}

// The lines of icacls about `path`, with the path itself taken out so that
// two entries' listings can be compared.
std::string IcaclsView(const std::u16string& path, const std::u16string& scratchOut) {
  std::string out = ToolOutput(L"icacls \"" + std::wstring(W(path)) + L"\"", scratchOut);
  std::string narrow;
  for (char16_t c : path) narrow += char(c);
  for (std::size_t at; (at = out.find(narrow)) != std::string::npos;) out.erase(at, narrow.size());
  return out;
}

// Times on whole milliseconds, the resolution of the times item.
constexpr std::uint64_t kCreation = 130000000000000000ull;
constexpr std::uint64_t kWrite = 131000000000000000ull;

// Wine keeps neither a creation time of its own (it reports one derived
// from the Unix times) nor a file's DACL (it reports one derived from the
// Unix mode); what the prefix keeps is asked once, and the checks that need
// it say so when they cannot run.
bool PrefixKeepsCreationTimes(const std::u16string& path) {
  SetTimes(path, kCreation, kWrite);
  return TimesOf(path).creation == kCreation;
}

bool PrefixKeepsDacls(const std::u16string& path) {
  return Dacl(path) == L"D:P(A;;FA;;;BA)(A;;FR;;;WD)";
}

// ---------------------------------------------------------------------------
// The fixture: a source folder and a target folder

class BackupRestore : public ::testing::Test {
 protected:
  Scratch from_{u"bk-from"};
  Scratch to_{u"bk-to"};

  Common::Error Backup(Scratch& where, const char16_t* name, MemorySink& sink,
                       BackupProgress* progress = nullptr, std::uint32_t flags = 0) {
    std::unique_ptr<the_identifier> id(name ? new the_identifier(name, nullptr, 0) : nullptr);
    bkup_request request;
    request.sink = &sink;
    request.progress = progress;
    request.flags = flags;
    request.entry = id.get();
    where.dir()->control(&request);
    return where.dir()->take_error();
  }

  Common::Error Restore(Scratch& where, const char16_t* name, const std::vector<Item>& items,
                        BackupProgress* progress = nullptr, std::uint32_t flags = 0) {
    MemorySource source(items);
    rstr_request request;
    request.source = &source;
    request.progress = progress;
    request.flags = flags;
    request.entry = name;
    where.dir()->control(&request);
    return where.dir()->take_error();
  }

  // A file of several chunks with attributes, times and its own DACL.
  std::string MakeRichFile(const std::u16string& path) {
    std::string data;
    for (int i = 0; i < 40000; ++i) data += char('a' + (i * 7) % 26);
    MakeFile(path, data);
    EXPECT_TRUE(SetDacl(path, L"D:P(A;;FA;;;BA)(A;;FR;;;WD)"));
    SetTimes(path, kCreation, kWrite);
    SetFileAttributesW(W(path), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    return data;
  }
};

TEST_F(BackupRestore, AFileComesBackEqualInEveryRespect) {
  const std::u16string source = from_ / u"rich.bin";
  const std::string data = MakeRichFile(source);
  Callback progress;
  MemorySink sink;
  const Common::Error backup = Backup(from_, u"rich.bin", sink, &progress);
  ASSERT_TRUE(backup.IsNull()) << std::hex << backup.Code();
  EXPECT_EQ(sink.kinds(), (std::vector<std::uint32_t>{1, 2, 5}));
  EXPECT_GT(progress.last, data.size());  // data, headers and security

  const std::u16string target = to_ / u"rich.bin";
  const Common::Error restore = Restore(to_, u"rich.bin", Copy(sink), &progress);
  ASSERT_TRUE(restore.IsNull()) << std::hex << restore.Code();
  EXPECT_EQ(Contents(target), data);
  EXPECT_EQ(Attributes(target), Attributes(source));
  EXPECT_EQ(TimesOf(target).write, kWrite);
  EXPECT_EQ(TimesOf(target).creation, TimesOf(source).creation);
  if (PrefixKeepsCreationTimes(source)) {
    EXPECT_EQ(TimesOf(target).creation, kCreation);
  } else {
    std::printf("note: this prefix keeps no creation times of its own\n");
  }
  EXPECT_EQ(Dacl(target), Dacl(source));
  if (PrefixKeepsDacls(source)) {
    EXPECT_EQ(Dacl(target), L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  } else {
    std::printf("note: this prefix keeps no DACLs of its own: %ls\n", Dacl(source).c_str());
  }
  const std::string icacls = IcaclsView(source, from_ / u"icacls.txt");
  EXPECT_EQ(IcaclsView(target, to_ / u"icacls.txt"), icacls);
  if (icacls.find("(F)") == std::string::npos)
    std::printf("note: icacls on this prefix lists no rights: \"%s\"\n", icacls.c_str());
  // The security record the backup read is the one the restore was given.
  MemorySink again;
  ASSERT_TRUE(Backup(to_, u"rich.bin", again).IsNull());
  EXPECT_EQ(again.find(kBackupItemWindowsStreams)->bytes,
            sink.find(kBackupItemWindowsStreams)->bytes);

  // The Windows-stream item holds the security record, then the data.
  const Item* streams = sink.find(kBackupItemWindowsStreams);
  ASSERT_NE(streams, nullptr);
  BackupRecordTracker records;
  ASSERT_TRUE(records.feed(streams->bytes.data(), streams->bytes.size()));
  EXPECT_TRUE(records.at_boundary());
  EXPECT_EQ(records.records(), 2u);
  EXPECT_EQ(Common::LoadLe32(streams->bytes.data()), kBackupStreamSecurity);
}

TEST_F(BackupRestore, FlagsChooseTheItemsAndRecords) {
  MakeRichFile(from_ / u"f.bin");
  CreateDirectoryW(W(from_ / u"sub"), nullptr);
  struct Case {
    const char16_t* name;
    std::uint32_t flags;
    std::vector<std::uint32_t> kinds;
    std::uint64_t records;  // in item 2
  } cases[] = {
      {u"f.bin", 0, {1, 2, 5}, 2},
      {u"f.bin", kBackupNoSecurity, {1, 2, 5}, 1},
      {u"f.bin", kBackupDropDataStreams, {1, 2, 5}, 1},
      {u"f.bin", kBackupDataOnly, {2}, 1},
      {u"f.bin", kBackupDataOnly | kBackupDropDataStreams, {2}, 0},
      {u"sub", kBackupDataOnly, {}, 0},
      {u"sub", 0, {1, 2, 5}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + 3) << " " << c.flags);
    MemorySink sink;
    const Common::Error error = Backup(from_, c.name, sink, nullptr, c.flags);
    ASSERT_TRUE(error.IsNull()) << std::hex << error.Code();
    EXPECT_EQ(sink.kinds(), c.kinds);
    if (const Item* streams = sink.find(kBackupItemWindowsStreams)) {
      BackupRecordTracker records;
      records.feed(streams->bytes.data(), streams->bytes.size());
      EXPECT_EQ(records.records(), c.records);
    }
  }
}

TEST_F(BackupRestore, MissingEntriesFailBeforeTheSinkIsAsked) {
  MemorySink sink;
  const Common::Error error = Backup(from_, u"absent", sink);
  EXPECT_EQ(error.Code(), kFileNotFound);
  EXPECT_EQ(Function(error), "GetFileAttributesW");
  EXPECT_TRUE(sink.items.empty());
}

TEST_F(BackupRestore, ADriveRootIsBackedUpAsItsRootDirectory) {
  MemorySink sink;
  const Common::Error error = BackupFileToStream(u"\\\\?\\C:", &sink, nullptr, kBackupNoSecurity);
  ASSERT_TRUE(error.IsNull()) << std::hex << error.Code();
  const Item* attributes = sink.find(kBackupItemAttributes);
  ASSERT_NE(attributes, nullptr);
  EXPECT_TRUE(Common::LoadLe32(attributes->bytes.data()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(BackupRestore, DirectoriesAreCreatedOrReused) {
  // Item 1 alone creates the directory.
  std::uint8_t word[4];
  Common::StoreLe32(word, FILE_ATTRIBUTE_DIRECTORY);
  const std::vector<Item> onlyAttributes{{kBackupItemAttributes, Bytes(word, word + 4)}};
  ASSERT_TRUE(Restore(to_, u"made", onlyAttributes).IsNull());
  EXPECT_TRUE(Attributes(to_ / u"made") & FILE_ATTRIBUTE_DIRECTORY);
  // A directory with a file in it, backed up and restored over an existing
  // one: the directory is reused, its file left alone, its times set.
  CreateDirectoryW(W(from_ / u"d"), nullptr);
  SetTimes(from_ / u"d", kCreation, kWrite);
  MemorySink sink;
  ASSERT_TRUE(Backup(from_, u"d", sink).IsNull());
  CreateDirectoryW(W(to_ / u"d"), nullptr);
  MakeFile(to_ / u"d\\keep.txt", "kept");
  const Common::Error error = Restore(to_, u"d", Copy(sink));
  ASSERT_TRUE(error.IsNull()) << std::hex << error.Code();
  EXPECT_EQ(Contents(to_ / u"d\\keep.txt"), "kept");
  EXPECT_EQ(TimesOf(to_ / u"d").write, TimesOf(from_ / u"d").write);
}

TEST_F(BackupRestore, ReadOnlyTargetsAreOverwrittenAndTimesFollowTheFlags) {
  MakeRichFile(from_ / u"f.bin");
  MemorySink sink;
  ASSERT_TRUE(Backup(from_, u"f.bin", sink).IsNull());
  const std::vector<Item> items = Copy(sink);

  MakeFile(to_ / u"f.bin", "old");
  SetFileAttributesW(W(to_ / u"f.bin"), FILE_ATTRIBUTE_READONLY);
  SetTimes(to_ / u"f.bin", 0x01C0000000000000ull, 0x01C0000000000000ull);
  ASSERT_TRUE(Restore(to_, u"f.bin", items, nullptr, kRestoreIgnoreTimes).IsNull());
  EXPECT_EQ(Contents(to_ / u"f.bin"), Contents(from_ / u"f.bin"));
  EXPECT_NE(TimesOf(to_ / u"f.bin").write, TimesOf(from_ / u"f.bin").write);

  // A time of 0 leaves that time alone: only the creation time is given,
  // and the last-write time stays what the restore's own writing made it.
  std::vector<Item> creationOnly = items;
  for (Item& item : creationOnly) {
    if (item.kind == kBackupItemTimes) Common::StoreLe64(item.bytes.data(), 0);
  }
  ASSERT_TRUE(Restore(to_, u"f.bin", creationOnly).IsNull());
  EXPECT_NE(TimesOf(to_ / u"f.bin").write, kWrite);
  // And the other way round.
  std::vector<Item> writeOnly = items;
  for (Item& item : writeOnly) {
    if (item.kind == kBackupItemTimes) Common::StoreLe64(item.bytes.data() + 8, 0);
  }
  ASSERT_TRUE(Restore(to_, u"f.bin", writeOnly).IsNull());
  EXPECT_EQ(TimesOf(to_ / u"f.bin").write, kWrite);
}

TEST_F(BackupRestore, AFileThatAlreadyHoldsTheDataNeedNotBeWritable) {
  MakeRichFile(from_ / u"f.bin");
  MemorySink sink;
  ASSERT_TRUE(Backup(from_, u"f.bin", sink).IsNull());
  ASSERT_TRUE(Restore(to_, u"f.bin", Copy(sink)).IsNull());
  // Held open for reading by someone else: the restore cannot open it for
  // writing, finds the same streams in it, and succeeds.
  HANDLE held = CreateFileW(W(to_ / u"f.bin"), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Common::Error same = Restore(to_, u"f.bin", Copy(sink));
  EXPECT_TRUE(same.IsNull()) << std::hex << same.Code();
  // Different data in it: the open failure stands.
  MakeRichFile(from_ / u"g.bin");
  MakeFile(from_ / u"g.bin", "other contents");
  MemorySink other;
  ASSERT_TRUE(Backup(from_, u"g.bin", other).IsNull());
  const Common::Error differs = Restore(to_, u"f.bin", Copy(other));
  EXPECT_EQ(differs.Code(), kFileRecoverError);
  EXPECT_EQ(GetErrorCode(GetErrorCause(differs)), kFileAccessDenied);
  CloseHandle(held);
  EXPECT_EQ(Contents(to_ / u"f.bin"), Contents(from_ / u"f.bin"));
}

TEST_F(BackupRestore, OtherItemKindsAreSkipped) {
  MakeRichFile(from_ / u"f.bin");
  MemorySink sink;
  ASSERT_TRUE(Backup(from_, u"f.bin", sink).IsNull());
  std::vector<Item> items = Copy(sink);
  items.insert(items.begin() + 1, Item{77, Bytes(100, 0xEE)});
  items.insert(items.begin(), Item{kBackupItemTimes, Bytes(16, 0)});  // before item 1: dropped
  ASSERT_TRUE(Restore(to_, u"f.bin", items).IsNull());
  EXPECT_EQ(Contents(to_ / u"f.bin"), Contents(from_ / u"f.bin"));
}

TEST_F(BackupRestore, CancelsAndBrokenStreamsLeaveNoHalfRestoredFile) {
  MakeRichFile(from_ / u"f.bin");
  MemorySink sink;
  ASSERT_TRUE(Backup(from_, u"f.bin", sink).IsNull());
  const std::vector<Item> items = Copy(sink);

  // A cancel in the middle of the data.
  Callback cancel;
  cancel.cancelAt = 4;
  Common::Error error = Restore(to_, u"f.bin", items, &cancel);
  EXPECT_EQ(error.Code(), kFileCanceled);
  EXPECT_FALSE(Exists(to_ / u"f.bin"));

  // A Windows-stream item cut inside a record, and one with lengths that
  // cannot hold together: corrupted, and nothing left behind.
  std::vector<Item> cut = items;
  for (Item& item : cut) {
    if (item.kind == kBackupItemWindowsStreams) item.bytes.resize(item.bytes.size() - 10);
  }
  error = Restore(to_, u"f.bin", cut);
  EXPECT_EQ(error.Code(), kFileRecoverError);
  EXPECT_EQ(GetErrorCode(GetErrorCause(error)), kFileCorrupted);
  EXPECT_FALSE(Exists(to_ / u"f.bin"));

  std::vector<Item> headerOnly = items;
  for (Item& item : headerOnly) {
    if (item.kind == kBackupItemWindowsStreams) item.bytes.resize(12);
  }
  error = Restore(to_, u"f.bin", headerOnly);
  EXPECT_EQ(GetErrorCode(GetErrorCause(error)), kFileCorrupted);
  EXPECT_FALSE(Exists(to_ / u"f.bin"));

  // Backup: a cancel at the first chunk.
  Callback stop;
  stop.cancelAt = 0;
  MemorySink partial;
  EXPECT_EQ(Backup(from_, u"f.bin", partial, &stop).Code(), kFileCanceled);
}

TEST_F(BackupRestore, ASourceWithoutAttributesItemRestoresNothing) {
  const std::vector<Item> items{{kBackupItemTimes, Bytes(16, 0)}};
  EXPECT_EQ(Restore(to_, u"x", items).Code(), kFileEndOfFile);
  EXPECT_FALSE(Exists(to_ / u"x"));
}

// ---------------------------------------------------------------------------
// The stand-in calls on their own

TEST(BackupStandin, ReadsWhatItWritesAndSeeksOnlyInsideARecord) {
  Scratch scratch(u"bk-standin");
  const std::u16string path = scratch / u"s.bin";
  MakeFile(path, std::string(5000, 'q'));
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  void* context = nullptr;
  BYTE header[20];
  DWORD got = 0;
  ASSERT_TRUE(backup_standin::Read(h, header, 20, &got, FALSE, FALSE, &context));
  ASSERT_EQ(got, 20u);
  EXPECT_EQ(Common::LoadLe32(header), kBackupStreamData);
  EXPECT_EQ(Common::LoadLe64(header + 8), 5000u);
  DWORD low = 0, high = 0;
  EXPECT_TRUE(backup_standin::Seek(h, 4000, 0, &low, &high, &context));
  EXPECT_EQ(low, 4000u);
  // Not past the record's end.
  EXPECT_FALSE(backup_standin::Seek(h, 2000, 0, &low, &high, &context));
  EXPECT_EQ(low, 1000u);
  EXPECT_TRUE(backup_standin::Read(h, header, 20, &got, FALSE, FALSE, &context));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(backup_standin::Owns(context));
  backup_standin::Read(h, nullptr, 0, &got, TRUE, FALSE, &context);
  EXPECT_EQ(context, nullptr);
  CloseHandle(h);

  // Written back in pieces of every size, sparse block included.
  Bytes stream;
  AppendBackupRecord(stream, kBackupStreamData, u"", Bytes(300, 'a'));
  Bytes sparse(8 + 4, 'z');
  for (int i = 0; i < 8; ++i) sparse[i] = i == 0 ? 100 : 0;
  AppendBackupRecord(stream, kBackupStreamSparseBlock, u"", sparse);
  AppendBackupRecord(stream, kBackupStreamObjectId, u"", Bytes(64, 1));  // passed over
  for (DWORD piece : {1u, 7u, 4096u}) {
    SCOPED_TRACE(piece);
    const std::u16string out = scratch / u"w.bin";
    MakeFile(out, std::string(1000, 'x'));
    HANDLE w = CreateFileW(W(out), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    void* wc = nullptr;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      DWORD n = DWORD(std::min<std::size_t>(piece, stream.size() - at)), written = 0;
      ASSERT_TRUE(backup_standin::Write(w, stream.data() + at, n, &written, FALSE, FALSE, &wc));
      ASSERT_EQ(written, n);
    }
    backup_standin::Write(w, nullptr, 0, nullptr, TRUE, FALSE, &wc);
    CloseHandle(w);
    std::string expected(300, 'a');
    for (int i = 100; i < 104; ++i) expected[i] = 'z';
    EXPECT_EQ(Contents(out), expected);
  }
}

TEST(BackupPrivileges, EnablingIsRememberedOnceItSucceeds) {
  const Common::Error first = EnableBackupPrivilege();
  if (!first.IsNull()) GTEST_SKIP() << "the prefix's token lacks SeBackupPrivilege";
  EXPECT_TRUE(EnableBackupPrivilege().IsNull());
  EXPECT_TRUE(EnableRestorePrivilege().IsNull());
}

}  // namespace
