// Windows files through the framework on a scratch folder of the prefix:
// creating, writing, reading, positioning, sizing and locking; the errors
// the file stores (code, text, system function, Win32 cause) and the
// first-error rule on a real file; the piece-writing rules of both write
// operations under every answer the system can give; a few control requests.
#include "files/win/win_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../catalog_slots.h"
#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "win_dir_fixture.h"

namespace {

using fwtest::ReadAll;
using fwtest::ScratchFolder;
using fwtest::TestDir;
using fwtest::W;
using fwtest::WriteAll;

std::uint64_t CauseCode(const Common::Error& e) {
  return Common::GetNumberField(Common::GetErrorCause(e), "code");
}

std::string Function(const Common::Error& e) {
  const char* f = Common::GetTextField(e, "function");
  return f ? f : "";
}

std::uint64_t SizeOnDisk(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return ~0ull;
  return static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

class WinFileTest : public ::testing::Test {
 protected:
  WinFileTest() : scratch_(u"file"), dir_(scratch_.path()) {}

  std::unique_ptr<rio_file> Create(const char16_t* name, bool shareAll = false) {
    std::unique_ptr<rio_file> f(dir_.create_file(name, shareAll, nullptr));
    EXPECT_TRUE(f) << "create " << Common::GetErrorCode(dir_.error());
    return f;
  }

  ScratchFolder scratch_;
  TestDir dir_;
  FileErrorCatalog catalog_;
};

TEST_F(WinFileTest, CreateWriteReadPositionAndSize) {
  auto f = Create(u"data.bin", true);
  ASSERT_TRUE(f);
  f->write_exact("hello, world", 12);
  ASSERT_TRUE(f->is_ok());
  EXPECT_EQ(f->seek_cur(0), 12u);
  EXPECT_EQ(ReadAll(scratch_ / u"data.bin"), "hello, world");

  EXPECT_EQ(f->seek_set(7), 7u);
  char buffer[16] = {};
  std::uint32_t count = 99;
  f->read(buffer, sizeof buffer, count);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::string(buffer, count), "world");

  EXPECT_EQ(f->seek_end(-5), 7u);
  EXPECT_EQ(f->size(), 12u);
  EXPECT_EQ(f->seek_cur(0), 7u);  // size() puts the position back
  EXPECT_EQ(f->seek_cur(-2), 5u);
  EXPECT_EQ(f->rewind(), 0u);

  f->set_size(5);
  ASSERT_TRUE(f->is_ok());
  EXPECT_EQ(ReadAll(scratch_ / u"data.bin"), "hello");
  f->set_size(8);
  EXPECT_EQ(ReadAll(scratch_ / u"data.bin"), std::string("hello\0\0\0", 8));
  // A position past the end is allowed; writing there extends the file.
  EXPECT_EQ(f->seek_set(10), 10u);
  f->write_exact("!", 1);
  EXPECT_EQ(SizeOnDisk(scratch_ / u"data.bin"), 11u);
  EXPECT_TRUE(f->is_ok());
}

TEST_F(WinFileTest, ReadAtTheEndIsNoErrorButReadExactIs) {
  WriteAll(scratch_ / u"four.bin", "abcd");
  std::unique_ptr<i_file> f(dir_.open_file(u"four.bin", false));
  ASSERT_TRUE(f);
  auto* r = dynamic_cast<raccess_file*>(f.get());
  ASSERT_TRUE(r);
  r->seek_end(0);
  char buffer[10];
  std::uint32_t count = 7;
  f->read(buffer, sizeof buffer, count);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(f->is_ok());

  r->rewind();
  f->read_exact(buffer, 10);
  EXPECT_EQ(f->error().Code(), kFileEndOfFile);
  // The file now refuses reading, even of bytes that are there.
  r->rewind();
  f->read(buffer, 2, count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(f->error().Code(), kFileEndOfFile);
}

TEST_F(WinFileTest, TheHandleIsClosedWithTheFile) {
  WriteAll(scratch_ / u"held.bin", "x");
  std::unique_ptr<i_file> f(dir_.open_file(u"held.bin", false));
  ASSERT_TRUE(f);
  EXPECT_FALSE(DeleteFileW(W(scratch_ / u"held.bin")));  // shared for reading only
  f.reset();
  EXPECT_TRUE(DeleteFileW(W(scratch_ / u"held.bin")));
}

TEST_F(WinFileTest, ByteRangeLocksConflictAcrossHandles) {
  auto a = Create(u"locked.bin", true);
  ASSERT_TRUE(a);
  a->write_exact("0123456789", 10);
  a->lock_exclusive(0, 10, false);
  ASSERT_TRUE(a->is_ok());

  std::unique_ptr<rio_file> b(dir_.open_file_rw(u"locked.bin", true));
  ASSERT_TRUE(b);
  b->lock_shared(5, 2, false);
  const Common::Error e = b->error();
  EXPECT_EQ(e.Code(), kFileLockFailed);
  EXPECT_EQ(Function(e), "LockFileEx");
  EXPECT_EQ(CauseCode(e), 0x80070021u);  // ERROR_LOCK_VIOLATION
  EXPECT_EQ(Common::Describe(e), u"Failed to lock the file.");

  a->unlock(0, 10);
  ASSERT_TRUE(a->is_ok());
  std::unique_ptr<rio_file> c(dir_.open_file_rw(u"locked.bin", true));
  ASSERT_TRUE(c);
  c->lock_shared(5, 2, false);
  EXPECT_TRUE(c->is_ok());

  // Unlocking what is not locked fails the same way (Windows says
  // ERROR_NOT_LOCKED, Wine ERROR_LOCK_VIOLATION).
  a->unlock(100, 1);
  EXPECT_EQ(a->error().Code(), kFileLockFailed);
  EXPECT_EQ(Function(a->error()), "UnlockFileEx");
  const std::uint64_t cause = CauseCode(a->error());
  EXPECT_TRUE(cause == 0x8007009Eu || cause == 0x80070021u) << std::hex << cause;
}

TEST_F(WinFileTest, FailedCallsStoreCodeTextFunctionAndCause) {
  WriteAll(scratch_ / u"plain.bin", "content");

  {  // Reading through a handle opened for writing only.
    std::unique_ptr<ro_file> w(dir_.open_file_write(u"plain.bin", false));
    ASSERT_TRUE(w);
    auto* r = dynamic_cast<i_file*>(w.get());
    ASSERT_TRUE(r);
    char buffer[4];
    std::uint32_t count = 9;
    r->read(buffer, 4, count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(w->error().Code(), kFileAccessDenied);
    EXPECT_EQ(Function(w->error()), "ReadFile");
    EXPECT_EQ(CauseCode(w->error()), 0x80070005u);
    EXPECT_EQ(Common::Describe(w->error()), u"Access to the file or folder is denied.");
  }
  {  // A position before the start.
    std::unique_ptr<rio_file> f(dir_.open_file_rw(u"plain.bin", false));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->seek_set(-1), 0u);
    EXPECT_EQ(f->error().Code(), kFileSeekError);
    EXPECT_EQ(Function(f->error()), "SetFilePointer");
    EXPECT_EQ(CauseCode(f->error()), 0x80070083u);  // ERROR_NEGATIVE_SEEK
    EXPECT_EQ(Common::Describe(f->error()), u"Error occurred while searching in the file.");
  }
  {  // Writing through a handle opened for reading: the refusal is the
     // error, with its cause, never bytes reported as written and never a
     // full disk.
    std::unique_ptr<i_file> r(dir_.open_file(u"plain.bin", false));
    ASSERT_TRUE(r);
    auto* w = dynamic_cast<o_file*>(r.get());
    ASSERT_TRUE(w);
    std::uint32_t count = 9;
    w->write("xyz", 3, count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(r->error().Code(), kFileAccessDenied);
    EXPECT_EQ(Function(r->error()), "WriteFile");
    EXPECT_EQ(CauseCode(r->error()), 0x80070005u);  // ERROR_ACCESS_DENIED
    EXPECT_EQ(ReadAll(scratch_ / u"plain.bin"), "content");
  }
  {  // The same through the exact write, which callers use.
    std::unique_ptr<i_file> r(dir_.open_file(u"plain.bin", false));
    ASSERT_TRUE(r);
    auto* w = dynamic_cast<o_file*>(r.get());
    ASSERT_TRUE(w);
    w->write_exact("xyz", 3);
    EXPECT_NE(r->error().Code(), kFileDiskFull);
    EXPECT_EQ(CauseCode(r->error()), 0x80070005u);
  }
}

TEST_F(WinFileTest, FirstErrorStaysAndStopsEverythingButPositioning) {
  auto holder = Create(u"first.bin", true);
  ASSERT_TRUE(holder);
  holder->write_exact("abcdef", 6);
  holder->lock_exclusive(0, 1, false);

  std::unique_ptr<rio_file> f(dir_.open_file_rw(u"first.bin", true));
  ASSERT_TRUE(f);
  f->lock_exclusive(0, 1, false);  // the first error
  ASSERT_EQ(f->error().Code(), kFileLockFailed);
  const Common::ErrorRecord* first = f->error().Record();

  std::uint32_t count = 9;
  f->seek_set(2);
  f->write("ZZ", 2, count);
  EXPECT_EQ(count, 0u);
  char buffer[4];
  count = 9;
  f->read(buffer, 4, count);
  EXPECT_EQ(count, 0u);
  f->set_size(1);
  f->flush();
  f->lock_shared(3, 1, false);
  f->unlock(0, 1);
  sftm_request times;
  times.modificationTime = 1000;
  f->control(&times);
  EXPECT_EQ(f->error().Record(), first);
  EXPECT_EQ(ReadAll(scratch_ / u"first.bin"), "abcdef");

  // Positioning still runs, and succeeds without touching the error...
  EXPECT_EQ(f->seek_set(4), 4u);
  EXPECT_EQ(f->seek_cur(0), 4u);
  EXPECT_EQ(f->error().Record(), first);
  // ...and a failing seek replaces it.
  f->seek_cur(-100);
  EXPECT_EQ(f->error().Code(), kFileSeekError);

  // The other handle could still take the byte the refused lock asked for.
  holder->unlock(0, 1);
  std::unique_ptr<rio_file> g(dir_.open_file_rw(u"first.bin", true));
  g->lock_exclusive(3, 1, false);
  EXPECT_TRUE(g->is_ok());
}

TEST_F(WinFileTest, PositionsWhoseLowHalfIsAllOnesAreNotFailures) {
  auto f = Create(u"far.bin");
  ASSERT_TRUE(f);
  SetLastError(ERROR_ACCESS_DENIED);  // left over from some earlier call
  EXPECT_EQ(f->seek_set(0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_TRUE(f->is_ok());
  EXPECT_EQ(f->seek_set(0x100000005LL), 0x100000005u);
  EXPECT_EQ(f->seek_cur(0), 0x100000005u);
  EXPECT_TRUE(f->is_ok());
}

TEST_F(WinFileTest, SetTimesControlAppliesItsTimesAndLeavesZeros) {
  auto f = Create(u"times.bin");
  ASSERT_TRUE(f);
  auto* w = dynamic_cast<win32_file*>(f.get());
  ASSERT_TRUE(w);
  FILETIME before[3];
  ASSERT_TRUE(GetFileTime(w->handle(), &before[0], &before[1], &before[2]));

  sftm_request request;
  request.modificationTime = 1262304000000;  // 2010-01-01 00:00 UTC
  request.creationTime = 1262304002000;
  request.accessTime = 0;                    // left alone
  f->control(&request);
  ASSERT_TRUE(f->is_ok());

  FILETIME creation, access, write;
  ASSERT_TRUE(GetFileTime(w->handle(), &creation, &access, &write));
  auto join = [](const FILETIME& t) {
    return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
  };
  EXPECT_EQ(FileTimeToMs(join(write)), 1262304000000u);
  EXPECT_EQ(join(access), join(before[1]));
}

TEST_F(WinFileTest, VolumeSectorOfAnUnalignedPositionIsEndOfFile) {
  auto f = Create(u"sector.bin");
  ASSERT_TRUE(f);
  std::vector<char> data(8192, 'x');
  f->write_exact(data.data(), static_cast<std::uint32_t>(data.size()));
  f->seek_set(4097);
  gsec_request request;
  request.sector = 77;
  f->control(&request);
  EXPECT_EQ(f->error().Code(), kFileEndOfFile);
  EXPECT_EQ(request.found, 0);
  EXPECT_EQ(request.sector, 0u);
}

TEST_F(WinFileTest, PassThroughControlReportsWithoutStoring) {
  auto f = Create(u"ioctl.bin");
  ASSERT_TRUE(f);
  wioc_request request;
  request.controlCode = 0x0009FFFC;  // no such file-system control
  request.bytesReturned = 5;
  f->control(&request);
  EXPECT_NE(request.win32Error, 0u);
  EXPECT_EQ(request.bytesReturned, 0u);
  EXPECT_TRUE(f->is_ok());
}

TEST_F(WinFileTest, UnknownControlIsNotSupportedAndKeepsAnEarlierError) {
  auto f = Create(u"unknown.bin");
  ASSERT_TRUE(f);
  control_request request{ControlCode('Q', 'Q', 'Q', 'Q')};
  f->control(&request);
  EXPECT_EQ(f->error().Code(), kFileNotSupported);

  auto g = Create(u"unknown2.bin");
  g->seek_set(-1);
  ASSERT_EQ(g->error().Code(), kFileSeekError);
  g->control(&request);
  EXPECT_EQ(g->error().Code(), kFileSeekError);
}

TEST_F(WinFileTest, UnbufferedFileWritesWholeSectorsOnly) {
  dir_.sector_size();
  std::unique_ptr<rio_file> f(dir_.create_nocache_file(u"nocache.bin"));
  ASSERT_TRUE(f) << Common::GetErrorCode(dir_.error());
  EXPECT_TRUE(dir_.is_ok());
  EXPECT_EQ(dir_.requests.back().flags, static_cast<DWORD>(FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(dir_.requests.back().share, 0u);
  void* buffer = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  std::memset(buffer, 'n', 4096);
  std::uint32_t count = 0;
  f->write(buffer, 1000, count);
  EXPECT_EQ(count, 512u);
  EXPECT_TRUE(f->is_ok());
  f.reset();
  VirtualFree(buffer, 0, MEM_RELEASE);
  EXPECT_EQ(SizeOnDisk(scratch_ / u"nocache.bin"), 512u);
}

// ---------------------------------------------------------------------------
// The piece-writing rules, driven through every answer of the system

constexpr std::uint32_t kAll = 0xFFFFFFFFu;

class ScriptedWriter final : public win32_file_detail::PieceWriter {
 public:
  struct Answer {
    bool ok;
    std::uint32_t written;  // kAll: the whole piece
    std::uint32_t error;
  };

  explicit ScriptedWriter(std::vector<Answer> script, std::vector<bool> grows = {})
      : script_(std::move(script)), grows_(std::move(grows)) {}

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written,
             std::uint32_t& error) override {
    asked.push_back(size);
    const Answer a = next_ < script_.size() ? script_[next_++] : Answer{true, kAll, 0};
    written = a.written == kAll ? size : a.written;
    error = a.ok ? 0 : a.error;
    received.append(reinterpret_cast<const char*>(data), written);
    return a.ok;
  }

  bool GrowWorkingSet(std::uint32_t bytes) override {
    grownBy.push_back(bytes);
    return nextGrow_ < grows_.size() ? grows_[nextGrow_++] : true;
  }

  std::vector<std::uint32_t> asked;
  std::vector<std::uint32_t> grownBy;
  std::string received;

 private:
  std::vector<Answer> script_;
  std::vector<bool> grows_;
  std::size_t next_ = 0;
  std::size_t nextGrow_ = 0;
};

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

using Answers = std::vector<ScriptedWriter::Answer>;
using Answer = ScriptedWriter::Answer;
using Sizes = std::vector<std::uint32_t>;

TEST(WinFileWriteRules, BufferedWriteRetriesRefusedPiecesInHalves) {
  struct Case {
    const char* what;
    std::uint32_t size;
    Answers script;
    Sizes asked;
    std::uint32_t count;
    std::uint32_t error;  // the error the caller must store; 0: none
  };
  const Answer full{false, 0, ERROR_DISK_FULL};
  const Case cases[] = {
      {"disk full once, then room", 100, {full}, {100, 50, 25, 13, 6, 3, 2, 1}, 100, 0},
      // Refused down to one byte: the first refusal is the cause, and only a
      // full disk is left to the short count.
      {"access denied to the last byte", 8,
       {{false, 0, ERROR_ACCESS_DENIED}, {false, 0, ERROR_WRITE_PROTECT},
        {false, 0, ERROR_HANDLE_DISK_FULL}, {false, 0, ERROR_INVALID_PARAMETER}},
       {8, 4, 2, 1}, 0, ERROR_ACCESS_DENIED},
      {"write protected to the last byte", 4,
       {{false, 0, ERROR_WRITE_PROTECT}, {false, 0, ERROR_WRITE_PROTECT},
        {false, 0, ERROR_WRITE_PROTECT}},
       {4, 2, 1}, 0, ERROR_WRITE_PROTECT},
      {"invalid parameter to the last byte", 2,
       {{false, 0, ERROR_INVALID_PARAMETER}, {false, 0, ERROR_INVALID_PARAMETER}}, {2, 1}, 0,
       ERROR_INVALID_PARAMETER},
      {"disk full to the last byte", 4,
       {full, {false, 0, ERROR_HANDLE_DISK_FULL}, {false, 0, ERROR_ACCESS_DENIED}}, {4, 2, 1}, 0,
       0},
      {"refused after some progress", 8,
       {{false, 0, ERROR_ACCESS_DENIED}, {true, kAll, 0}, {false, 0, ERROR_WRITE_PROTECT},
        {false, 0, ERROR_ACCESS_DENIED}, {false, 0, ERROR_ACCESS_DENIED}},
       {8, 4, 2, 1}, 4, ERROR_WRITE_PROTECT},
      {"short write ends the call", 100, {{true, 30, 0}}, {100}, 30, 0},
      {"part written before the disk filled", 100, {{false, 40, ERROR_DISK_FULL}}, {100}, 40, 0},
      {"an error after some progress", 100,
       {full, {true, kAll, 0}, {false, 0, ERROR_INVALID_HANDLE}}, {100, 50, 25}, 50,
       ERROR_INVALID_HANDLE},
      {"an error on the first piece", 64, {{false, 0, ERROR_INVALID_HANDLE}}, {64}, 0,
       ERROR_INVALID_HANDLE},
      {"nothing to write", 0, {}, {0}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedWriter writer(c.script);
    const std::string data = Pattern(c.size);
    const auto out = win32_file_detail::WriteBuffered(writer, data.data(), c.size);
    EXPECT_EQ(writer.asked, c.asked);
    EXPECT_EQ(out.count, c.count);
    EXPECT_EQ(out.failed, c.error != 0);
    if (c.error != 0) {
      EXPECT_EQ(out.error, c.error);
    }
    // What went through is the caller's data from its start, in order.
    EXPECT_EQ(writer.received, data.substr(0, out.count));
  }
}

TEST(WinFileWriteRules, UnbufferedWriteCutsToSectorsAndShrinksOnResourceErrors) {
  constexpr std::uint32_t S = 512;
  struct Case {
    const char* what;
    std::uint32_t size;
    Answers script;
    std::vector<bool> grows;
    std::uint32_t count;
    bool failed;
    std::uint32_t firstPieces[3];   // the first pieces asked (0: none)
    std::uint32_t largestAfter;     // the kept piece limit
    std::uint32_t grownBy;          // 0: the working set was not grown
  };
  const Case cases[] = {
      {"a tail under one sector stays unwritten", 1000, {}, {}, 512, false, {512, 0, 0}, kAll, 0},
      {"less than a sector writes nothing", 100, {}, {}, 0, false, {0, 0, 0}, kAll, 0},
      {"out of resources: halves, kept", 4096, {{false, 0, ERROR_NO_SYSTEM_RESOURCES}}, {}, 4096,
       false, {4096, 2048, 1024}, 2304, 0},
      {"device error: halves, kept", 4096, {{false, 0, ERROR_IO_DEVICE}}, {}, 4096, false,
       {4096, 2048, 1024}, 2304, 0},
      {"working set grown once, same piece again", 4096, {{false, 0, ERROR_WORKING_SET_QUOTA}},
       {true}, 4096, false, {4096, 4096, 0}, kAll, 4096},
      {"working set short again after growing", 4096,
       {{false, 0, ERROR_WORKING_SET_QUOTA}, {false, 0, ERROR_WORKING_SET_QUOTA}}, {true}, 4096,
       false, {4096, 4096, 2048}, 2304, 4096},
      {"working set cannot grow", 4096, {{false, 0, ERROR_WORKING_SET_QUOTA}}, {false}, 4096,
       false, {4096, 2048, 1024}, 2304, 4096},
      {"working set short after a partial write", 4096,
       {{false, 512, ERROR_WORKING_SET_QUOTA}}, {}, 0, true, {4096, 0, 0}, kAll, 0},
      {"resources short at one sector", 512, {{false, 0, ERROR_NO_SYSTEM_RESOURCES}}, {}, 0, true,
       {512, 0, 0}, kAll, 0},
      {"resources short after a partial write", 4096, {{false, 512, ERROR_NO_SYSTEM_RESOURCES}},
       {}, 0, true, {4096, 0, 0}, kAll, 0},
      {"other errors fail", 4096, {{false, 0, ERROR_INVALID_HANDLE}}, {}, 0, true, {4096, 0, 0},
       kAll, 0},
      {"refusal halves without lowering the limit", 2048, {{false, 0, ERROR_DISK_FULL}}, {}, 2048,
       false, {2048, 1024, 512}, kAll, 0},
      {"refusal of one sector ends without error", 512, {{false, 0, ERROR_DISK_FULL}}, {}, 0,
       false, {512, 0, 0}, kAll, 0},
      {"access denied to the last sector fails", 1024,
       {{false, 0, ERROR_ACCESS_DENIED}, {false, 0, ERROR_ACCESS_DENIED}}, {}, 0, true,
       {1024, 512, 0}, kAll, 0},
      {"write protected to the last sector fails", 512, {{false, 0, ERROR_WRITE_PROTECT}}, {}, 0,
       true, {512, 0, 0}, kAll, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedWriter writer(c.script, c.grows);
    const std::string data = Pattern(c.size);
    std::uint32_t largest = kAll;
    const auto out = win32_file_detail::WriteUnbuffered(writer, data.data(), c.size, S, largest);
    EXPECT_EQ(out.count, c.count);
    EXPECT_EQ(out.failed, c.failed);
    EXPECT_EQ(largest, c.largestAfter);
    for (int i = 0; i < 3 && c.firstPieces[i]; ++i) {
      ASSERT_GT(writer.asked.size(), static_cast<std::size_t>(i));
      EXPECT_EQ(writer.asked[i], c.firstPieces[i]) << "piece " << i;
    }
    for (std::uint32_t piece : writer.asked) EXPECT_EQ(piece % S, 0u);
    EXPECT_EQ(writer.grownBy, c.grownBy ? Sizes{c.grownBy} : Sizes{});
    if (!c.failed) {
      EXPECT_EQ(writer.received, data.substr(0, out.count));
    }
  }
}

TEST(WinFileWriteRules, UnbufferedRefusalKeepsItsCause) {
  const std::string data = Pattern(1024);
  for (const std::uint32_t cause :
       {std::uint32_t(ERROR_ACCESS_DENIED), std::uint32_t(ERROR_WRITE_PROTECT),
        std::uint32_t(ERROR_INVALID_PARAMETER)}) {
    std::uint32_t largest = kAll;
    ScriptedWriter writer({{false, 0, cause}, {false, 0, ERROR_DISK_FULL}});
    const auto out = win32_file_detail::WriteUnbuffered(writer, data.data(), 1024, 512, largest);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.error, cause);
  }
}

TEST(WinFileWriteRules, UnbufferedLimitHoldsForLaterWrites) {
  std::uint32_t largest = kAll;
  ScriptedWriter first({{false, 0, ERROR_NO_SYSTEM_RESOURCES}});
  const std::string data = Pattern(4096);
  win32_file_detail::WriteUnbuffered(first, data.data(), 4096, 512, largest);
  ASSERT_EQ(largest, 2304u);
  ScriptedWriter second({});
  const auto out = win32_file_detail::WriteUnbuffered(second, data.data(), 4096, 512, largest);
  EXPECT_EQ(out.count, 4096u);
  EXPECT_EQ(second.asked.front(), 2048u);
}

}  // namespace
