// The Windows directory base: how every open reaches the system, the status
// a directory keeps, containment of paths, parents and identifiers, the
// drive-letter cursor (which must end after Z:), the find-record cursor's
// queries, the control requests, the WOW64 scope and the process's starting
// points.
#include "files/win/win_dir.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../catalog_slots.h"
#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "files/path.h"
#include "files/win/helpers.h"
#include "files/win/win_file.h"
#include "win_dir_fixture.h"

namespace {

using fwtest::ScratchFolder;
using fwtest::TestDir;
using fwtest::U;
using fwtest::W;
using fwtest::WriteAll;

std::u16string PathOf(i_dir* d) { return d && d->path() ? d->path() : u"<null>"; }

// ASCII view of a path for failure messages.
std::string Narrow(const char16_t* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? static_cast<char>(*s) : '?';
  return out;
}

// A cursor standing on one named entry, or failed.
class NamedCursor : public i_dir::iterator {
 public:
  explicit NamedCursor(const char16_t* name, bool failed = false) : name_(name) {
    if (failed) store_error(MakeFileError(0x21FF0010, 0x21FF, kFileEndOfFile));
  }
  void next() override {}
  file_identifier* id() override { return nullptr; }
  const char16_t* name() override { return is_ok() ? name_ : nullptr; }
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override { return 0; }

 private:
  const char16_t* name_;
};

class WinDirTest : public ::testing::Test {
 protected:
  WinDirTest() : scratch_(u"dir"), dir_(scratch_.path()) {
    WriteAll(scratch_ / u"x.bin", "x");
  }

  ScratchFolder scratch_;
  TestDir dir_;
  FileErrorCatalog catalog_;
};

TEST_F(WinDirTest, EveryOpenGoesThroughOneRoutine) {
  const SecurityAttributesProvider provider{};
  NamedCursor cursor(u"x.bin");
  const the_identifier id(u"x.bin", nullptr, 0);
  constexpr DWORD R = GENERIC_READ, Wr = GENERIC_WRITE;
  constexpr DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  struct Case {
    const char* what;
    std::function<file_object*()> open;
    DWORD access, share, disposition;
    const SecurityAttributesProvider* provider;
  };
  const Case cases[] = {
      {"open_file", [&] { return dir_.open_file(u"x.bin", false); }, R, FILE_SHARE_READ, OPEN_EXISTING, nullptr},
      {"open_file all", [&] { return dir_.open_file(u"x.bin", true); }, R, all, OPEN_EXISTING, nullptr},
      {"open_file_at", [&] { return dir_.open_file_at(&cursor, false); }, R, FILE_SHARE_READ, OPEN_EXISTING, nullptr},
      {"open_file_by_id", [&] { return dir_.open_file_by_id(&id, true); }, R, all, OPEN_EXISTING, nullptr},
      {"open_file_write", [&] { return dir_.open_file_write(u"x.bin", false); }, Wr, 0, OPEN_EXISTING, nullptr},
      {"open_file_write_at", [&] { return dir_.open_file_write_at(&cursor, true); }, Wr, all, OPEN_EXISTING, nullptr},
      {"open_file_write_by_id", [&] { return dir_.open_file_write_by_id(&id, false); }, Wr, 0, OPEN_EXISTING, nullptr},
      {"open_file_rw", [&] { return dir_.open_file_rw(u"x.bin", false); }, R | Wr, 0, OPEN_EXISTING, nullptr},
      {"open_file_rw_at", [&] { return dir_.open_file_rw_at(&cursor, false); }, R | Wr, 0, OPEN_EXISTING, nullptr},
      {"open_file_rw_by_id", [&] { return dir_.open_file_rw_by_id(&id, true); }, R | Wr, all, OPEN_EXISTING, nullptr},
      {"create_file", [&] { return dir_.create_file(u"new.bin", false, &provider); }, R | Wr, 0, CREATE_ALWAYS, &provider},
      {"create_file all", [&] { return dir_.create_file(u"new2.bin", true, nullptr); }, R | Wr, all, CREATE_ALWAYS, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.open_file(u"missing.bin", false);  // leaves a failure behind
    ASSERT_TRUE(dir_.has_failed());
    dir_.requests.clear();
    std::unique_ptr<file_object> f(c.open());
    ASSERT_TRUE(f);
    EXPECT_TRUE(dynamic_cast<win32_file*>(f.get()));
    EXPECT_TRUE(dir_.is_ok());  // success replaces the earlier status
    ASSERT_EQ(dir_.requests.size(), 1u);
    const TestDir::HandleRequest& r = dir_.requests[0];
    EXPECT_EQ(r.access, c.access);
    EXPECT_EQ(r.share, c.share);
    EXPECT_EQ(r.disposition, c.disposition);
    EXPECT_EQ(r.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(r.provider, c.provider);
  }
}

TEST_F(WinDirTest, UnusableCursorsAndIdentifiersAreOpenErrors) {
  NamedCursor failed(u"x.bin", true);
  struct ForeignId : file_identifier {
    file_identifier* clone() const override { return nullptr; }
  } foreign;
  const std::function<file_object*()> opens[] = {
      [&] { return dir_.open_file_at(nullptr, false); },
      [&] { return dir_.open_file_at(&failed, false); },
      [&] { return dir_.open_file_write_at(&failed, false); },
      [&] { return dir_.open_file_rw_at(nullptr, false); },
      [&] { return dir_.open_file_by_id(nullptr, false); },
      [&] { return dir_.open_file_rw_by_id(&foreign, false); },
      [&] { return dir_.open_dir_at(&failed); },
      [&] { return dir_.open_dir_by_id(nullptr); },
      [&] { return dir_.open_dir_by_id(&foreign); },
  };
  int i = 0;
  for (const auto& open : opens) {
    SCOPED_TRACE(i++);
    dir_.requests.clear();
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(dir_.error().Code(), kFileOpenError);
    EXPECT_TRUE(dir_.requests.empty());
  }
}

TEST_F(WinDirTest, FailedOpenKeepsTheReasonCreateHandleGave) {
  EXPECT_EQ(dir_.open_file(u"missing.bin", false), nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileNotFound);
  EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(dir_.error()), "code"), 0x80070002u);
}

TEST_F(WinDirTest, RelationComparesCanonicalPathsIgnoringCase) {
  struct Case {
    const char16_t* self;
    const char16_t* other;
    int expected;
  };
  const Case cases[] = {
      {u"C:\\a\\", u"C:\\A\\B\\", 1}, {u"C:\\a\\", u"C:\\A\\", 0},  {u"C:\\a\\", u"C:\\ab\\", 2},
      {u"C:\\a\\b\\", u"C:\\a\\", 2}, {u"", u"C:\\", 1},            {u"", u"", 0},
      {u"C:\\", u"", 2},              {u"C:\\", u"D:\\x\\", 2},     {u"\\\\s\\sh\\", u"\\\\S\\SH\\d\\", 1},
  };
  for (const Case& c : cases) {
    TestDir self(c.self), other(c.other);
    EXPECT_EQ(self.relation(&other), c.expected) << Narrow(c.self) << " / " << Narrow(c.other);
  }
  TestDir a(u"C:\\a\\");
  EXPECT_EQ(a.relation(&a), 0);
  EXPECT_EQ(a.relation(nullptr), 2);
}

TEST_F(WinDirTest, OpenParentSplitsAtTheLastSeparator) {
  struct Case {
    const char16_t* path;
    const char16_t* parent;
    const char16_t* rest;
  };
  const std::u16string base = scratch_.path();
  const Case cases[] = {
      {u"C:\\x\\y.txt", u"C:\\x\\", u"y.txt"},
      {u"sub/inner/f", nullptr, u"f"},  // relative: below this directory
      {u"plain", nullptr, u"plain"},   // no separator: this directory, pointer kept
      {u"D:", u"D:\\", u""},
      {u"s:t", nullptr, u"t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    const char16_t* p = c.path;
    std::unique_ptr<i_dir> d(dir_.open_parent(&p));
    ASSERT_TRUE(d);
    EXPECT_EQ(std::u16string(p), c.rest);
    if (c.parent) {
      EXPECT_EQ(PathOf(d.get()), c.parent);
    }
  }
  const char16_t* p = u"sub/inner/f";
  std::unique_ptr<i_dir> d(dir_.open_parent(&p));
  EXPECT_EQ(PathOf(d.get()), base + u"sub\\inner\\");
  const char16_t* q = u"plain";
  d.reset(dir_.open_parent(&q));
  EXPECT_EQ(PathOf(d.get()), base);

  EXPECT_EQ(dir_.open_parent(nullptr), nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileOpenError);
}

TEST_F(WinDirTest, DirectoriesByIdentifierCursorSelfAndSpecialFolders) {
  const the_identifier sub(u"sub", nullptr, 0);
  std::unique_ptr<i_dir> d(dir_.open_dir_by_id(&sub));
  EXPECT_EQ(PathOf(d.get()), scratch_.path() + u"sub\\");
  NamedCursor cursor(u"other");
  d.reset(dir_.open_dir_at(&cursor));
  EXPECT_EQ(PathOf(d.get()), scratch_.path() + u"other\\");
  d.reset(dir_.open_self());
  EXPECT_EQ(PathOf(d.get()), scratch_.path());
  EXPECT_NE(d.get(), static_cast<i_dir*>(&dir_));

  d.reset(dir_.open_special(kObjectComputer));
  ASSERT_TRUE(d);
  EXPECT_EQ(PathOf(d.get()), u"");
  EXPECT_TRUE(dir_.is_ok());
  for (std::uint32_t code : {147u, 150u, 0u}) {
    EXPECT_EQ(dir_.open_special(code), nullptr) << code;
    EXPECT_EQ(dir_.error().Code(), kFileNotSupported) << code;
  }
}

TEST_F(WinDirTest, UnbufferedFilesNeedTheSectorSizeAndAValidName) {
  EXPECT_EQ(dir_.create_nocache_file(u"a.bin"), nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
  dir_.sector_size();
  for (const char16_t* bad : {u"a:b", u"sub\\a.bin", u"..", u""}) {
    EXPECT_EQ(dir_.create_nocache_file(bad), nullptr);
    EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
  }
  EXPECT_TRUE(dir_.requests.empty());
  std::unique_ptr<rio_file> f(dir_.create_nocache_file(u"a.bin"));
  ASSERT_TRUE(f);
  auto* nocache = dynamic_cast<win32_nocache_file*>(f.get());
  ASSERT_TRUE(nocache);
  EXPECT_EQ(nocache->sector_size(), 512u);
}

TEST_F(WinDirTest, ControlRequestsOfTheDirectory) {
  path_request gsyp(kControlGSYP);
  dir_.open_file(u"missing.bin", false);
  dir_.control(&gsyp);
  EXPECT_EQ(std::u16string(gsyp.path), scratch_.path());
  EXPECT_TRUE(dir_.is_ok());

  ncdr_request ncdr;
  dir_.control(&ncdr);
  EXPECT_EQ(ncdr.result, static_cast<nocache_dir*>(&dir_));

  path_request here(kControlSPWD);
  here.first = u"user";
  here.second = u"secret";
  dir_.control(&here);
  ASSERT_EQ(dir_.connections.size(), 1u);
  EXPECT_EQ(dir_.connections[0], scratch_.path() + u"|user|secret");

  // With a path the connection is made for that path, and its outcome
  // becomes this directory's status.
  path_request there(kControlSPWD);
  there.first = u"!refuse";
  there.second = u"pw";
  there.path = u"\\\\server\\share";
  dir_.control(&there);
  EXPECT_EQ(dir_.connections.size(), 1u);  // not on this directory
  EXPECT_EQ(dir_.error().Code(), kFileNetworkDisconnected);

  control_request unknown{kControlBKUP};
  dir_.control(&gsyp);
  dir_.control(&unknown);
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
}

// ---------------------------------------------------------------------------
// Drive letters

std::vector<std::u16string> Walk(win32_dir::letter_iterator& it, int limit = 40) {
  std::vector<std::u16string> names;
  it.next();
  while (it.is_ok() && limit-- > 0) {
    names.push_back(it.name());
    it.next();
  }
  return names;
}

std::uint32_t Mask(std::initializer_list<char> letters) {
  std::uint32_t mask = 0;
  for (char c : letters) mask |= 1u << (c - 'A');
  return mask;
}

TEST(WinDriveLetters, CursorWalksTheMaskAndEndsAfterZ) {
  struct Case {
    std::uint32_t mask;
    std::vector<std::u16string> names;
  };
  std::vector<std::u16string> all;
  for (char16_t c = u'A'; c <= u'Z'; ++c) all.push_back({c, u':'});
  const Case cases[] = {
      {Mask({'C', 'D'}), {u"C:", u"D:"}},
      {Mask({'C', 'Z'}), {u"C:", u"Z:"}},
      {Mask({'Z'}), {u"Z:"}},
      {Mask({'A'}), {u"A:"}},
      {0, {}},
      {0xFFFFFFFFu, all},  // bits past Z: are no drives
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    win32_dir::letter_iterator it(c.mask);
    EXPECT_EQ(Walk(it), c.names);
    EXPECT_EQ(it.error().Code(), kFileEndOfFile);
    EXPECT_TRUE(IteratorEndedNormally(&it));
    EXPECT_EQ(it.name(), nullptr);
    EXPECT_EQ(it.id(), nullptr);
    EXPECT_EQ(it.object_type(), static_cast<std::uint32_t>(kObjectUnknown));
    it.next();  // stays ended
    EXPECT_EQ(it.error().Code(), kFileEndOfFile);
  }
}

TEST(WinDriveLetters, IdentifierCarriesTheDriveNameAndBytes) {
  win32_dir::letter_iterator it(Mask({'Q'}));
  it.next();
  std::unique_ptr<file_identifier> id(it.id());
  auto* general = dynamic_cast<the_identifier*>(id.get());
  ASSERT_TRUE(general);
  EXPECT_EQ(std::u16string(general->name()), u"Q:");
  ASSERT_EQ(general->byte_count(), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(general->bytes()), 3),
            std::string("Q:\0", 3));
  EXPECT_EQ(it.children_hint(), 2);
}

TEST(WinDriveLetters, SeekPutsTheCursorOnALetterOfEitherCase) {
  win32_dir::letter_iterator it(Mask({'C', 'D', 'X'}));
  LetterIteratorSeek(&it, u'd');
  EXPECT_TRUE(it.is_ok());
  EXPECT_EQ(std::u16string(it.name()), u"D:");
  it.next();
  EXPECT_EQ(std::u16string(it.name()), u"X:");

  LetterIteratorSeek(&it, u'E');
  EXPECT_EQ(it.error().Code(), kFileEndOfFile);
  LetterIteratorSeek(&it, u'c');  // replaces the error
  EXPECT_TRUE(it.is_ok());
  EXPECT_EQ(std::u16string(it.name()), u"C:");
  for (char16_t odd : {u'1', u'@', u'[', char16_t(0x00E4)}) {
    LetterIteratorSeek(&it, odd);
    EXPECT_EQ(it.error().Code(), kFileEndOfFile) << int(odd);
  }
}

TEST(WinDriveLetters, DirectoryListsTheSystemsDrives) {
  TestDir root;
  std::unique_ptr<win32_dir::letter_iterator> it(root.drive_letters());
  ASSERT_TRUE(it);
  const DWORD mask = GetLogicalDrives();
  EXPECT_EQ(it->drive_mask(), mask);
  std::vector<std::u16string> expected;
  for (int i = 0; i < 26; ++i)
    if (mask >> i & 1) expected.push_back({static_cast<char16_t>(u'A' + i), u':'});
  EXPECT_EQ(Walk(*it), expected);
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);

  LetterIteratorSeek(it.get(), u'C');
  ASSERT_TRUE(it->is_ok());
  EXPECT_EQ(it->object_type(), static_cast<std::uint32_t>(kObjectFixedDrive));
}

// A real Z: drive, mapped onto the scratch folder for the test's length.
TEST(WinDriveLetters, ListingEndsWithARealDriveZ) {
  ScratchFolder target(u"zdrive");
  std::u16string folder = target.path();
  folder.pop_back();
  if (GetLogicalDrives() & (1u << 25)) GTEST_SKIP() << "Z: is mapped already";
  ASSERT_TRUE(DefineDosDeviceW(0, L"Z:", W(folder))) << GetLastError();
  struct Unmap {
    std::u16string folder;
    ~Unmap() {
      DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, L"Z:", W(folder));
    }
  } unmap{folder};
  ASSERT_TRUE(GetLogicalDrives() & (1u << 25));

  TestDir root;
  std::unique_ptr<win32_dir::letter_iterator> it(root.drive_letters());
  const std::vector<std::u16string> names = Walk(*it);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), u"Z:");
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);
}

// ---------------------------------------------------------------------------
// The find-record cursor

// The common cursor over one FindFirstFileW result.
class FindCursor : public win32_dir::iterator {
 public:
  FindCursor(const std::u16string& pattern, bool unc) {
    findHandle_ = FindFirstFileW(W(pattern), &find_);
    underUnc_ = unc;
  }
  FindCursor() = default;
  void next() override { store_error(MakeFileError(0x21FF0011, 0x21FF, kFileEndOfFile)); }
  file_identifier* id() override { return nullptr; }
  std::uint32_t object_type() override { return 0; }
  WIN32_FIND_DATAW& record() { return find_; }
  void pretend_open() { findHandle_ = reinterpret_cast<HANDLE>(1); }
  void forget_handle() { findHandle_ = INVALID_HANDLE_VALUE; }
};

TEST_F(WinDirTest, FindCursorAnswersFromItsRecord) {
  const std::u16string file = scratch_ / u"Long File Name.text";
  WriteAll(file, std::string(70000, 'z'));
  const FILETIME when{0x12345678u, 0x01D00000u};
  HANDLE h = CreateFileW(W(file), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(SetFileTime(h, &when, &when, &when));
  CloseHandle(h);
  SetFileAttributesW(W(file), FILE_ATTRIBUTE_HIDDEN);

  FindCursor cursor(file, false);
  EXPECT_EQ(std::u16string(cursor.name()), u"Long File Name.text");
  EXPECT_EQ(cursor.size(), 70000u);
  const std::uint64_t ms = FileTimeToMs(static_cast<std::uint64_t>(when.dwHighDateTime) << 32 |
                                        when.dwLowDateTime);
  EXPECT_EQ(cursor.write_time(), ms);
  EXPECT_EQ(cursor.creation_time(), ms);
  EXPECT_EQ(cursor.access_time(), ms);
  EXPECT_TRUE(cursor.attributes() & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(cursor.is_hidden());
  EXPECT_EQ(cursor.children_hint(), 1);
  const char16_t* shortName = cursor.short_name();
  if (shortName) {
    EXPECT_LE(std::char_traits<char16_t>::length(shortName), 12u);
  }

  FindCursor unc(file, true);
  EXPECT_EQ(unc.children_hint(), 2);

  cursor.next();  // now failed: nothing to tell
  EXPECT_EQ(cursor.name(), nullptr);
  EXPECT_EQ(cursor.short_name(), nullptr);
  EXPECT_EQ(cursor.size(), 0u);
  EXPECT_EQ(cursor.write_time(), 0u);
  EXPECT_EQ(cursor.attributes(), kNoAttributes);
  EXPECT_TRUE(cursor.is_hidden());
}

TEST(WinFindCursor, NamesEndInsideTheRecordWhateverTheSystemLeftThere) {
  FindCursor cursor;
  EXPECT_EQ(cursor.name(), nullptr);  // no find handle
  EXPECT_TRUE(cursor.is_hidden());
  cursor.pretend_open();
  std::wmemset(cursor.record().cFileName, L'a', MAX_PATH);
  std::wmemset(cursor.record().cAlternateFileName, L'b', 14);
  EXPECT_EQ(std::char_traits<char16_t>::length(cursor.name()), MAX_PATH - 1u);
  EXPECT_EQ(std::char_traits<char16_t>::length(cursor.short_name()), 13u);
  cursor.record().cAlternateFileName[0] = 0;
  EXPECT_EQ(cursor.short_name(), nullptr);
  cursor.forget_handle();
}

TEST(WinFindCursor, DotEntries) {
  struct Case {
    const wchar_t* name;
    bool dot;
  };
  const Case cases[] = {{L".", true}, {L"..", true}, {L"...", false}, {L".a", false},
                        {L"a", false}, {L"", false}, {L"..a", false}};
  for (const Case& c : cases) {
    WIN32_FIND_DATAW data{};
    std::wcscpy(data.cFileName, c.name);
    EXPECT_EQ(IsDotEntry(data), c.dot) << Narrow(U(c.name));
  }
}

TEST(WinFindCursor, RootCursorHasOneEmptyEntryOfTheComputer) {
  windows_dir::root_iterator it;
  EXPECT_EQ(std::u16string(it.name()), u"");
  EXPECT_EQ(it.object_type(), static_cast<std::uint32_t>(kObjectComputer));
  std::unique_ptr<file_identifier> id(it.id());
  auto* general = dynamic_cast<the_identifier*>(id.get());
  ASSERT_TRUE(general);
  EXPECT_EQ(std::u16string(general->name()), u"");
  it.next();
  EXPECT_EQ(it.error().Code(), kFileEndOfFile);
  EXPECT_TRUE(IteratorEndedNormally(&it));
  EXPECT_EQ(it.name(), nullptr);
}

// ---------------------------------------------------------------------------
// WOW64 redirection

// The machine field of a PE file's header, or 0.
WORD PeMachine(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  unsigned char header[4096];
  DWORD n = 0;
  ReadFile(h, header, sizeof header, &n, nullptr);
  CloseHandle(h);
  if (n < 0x40) return 0;
  const DWORD pe = *reinterpret_cast<DWORD*>(header + 0x3C);
  if (pe + 6 > n) return 0;
  return *reinterpret_cast<WORD*>(header + pe + 4);
}

TEST(WinWow64Scope, ShowsTheNativeSystemFolderAndKeepsTheLastError) {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  if (!wow64) GTEST_SKIP() << "not a WOW64 process";
  wchar_t kernel[MAX_PATH];
  GetSystemDirectoryW(kernel, MAX_PATH);
  std::wcscat(kernel, L"\\kernel32.dll");
  EXPECT_EQ(PeMachine(kernel), IMAGE_FILE_MACHINE_I386);
  {
    Wow64RedirectionScope scope;
    EXPECT_TRUE(scope.disabled());
    EXPECT_EQ(PeMachine(kernel), IMAGE_FILE_MACHINE_AMD64);
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(PeMachine(kernel), IMAGE_FILE_MACHINE_I386);
}

// ---------------------------------------------------------------------------
// The process's starting points

TEST(WinStartingPoints, RootCurrentDirectoryAndProgramPath) {
  win32_dir* root = GetRootDir();
  ASSERT_TRUE(root);
  EXPECT_EQ(root, GetRootDir());
  EXPECT_EQ(PathOf(root), u"");
  const UINT mode = SetErrorMode(0);
  SetErrorMode(mode);
  EXPECT_TRUE(mode & SEM_FAILCRITICALERRORS);

  wchar_t module[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
  EXPECT_EQ(std::u16string(GetModulePath()), U(module));
  EXPECT_EQ(GetModulePath(), GetModulePath());

  i_dir* current = GetCurrentDirObject();
  ASSERT_TRUE(current);
  EXPECT_EQ(current, GetCurrentDirObject());
  // The current directory when it can be read, else the Windows directory;
  // a name that makes no directory (Wine reports host folders outside its
  // drives as "unix\...") leaves the root.
  wchar_t where[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, where);
  if (length == 0 || length > MAX_PATH) GetWindowsDirectoryW(where, MAX_PATH + 1);
  std::u16string expected;
  if (!ResolvePath(u"", expected, U(where), false)) expected.clear();
  EXPECT_EQ(PathOf(current), expected);
}

TEST_F(WinDirTest, SystemDirectoryErrorsNameFunctionPathAndCause) {
  std::unique_ptr<i_dir> d(GetRootDir()->open_dir(scratch_.path().c_str()));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->open_file(u"missing.txt", false), nullptr);
  const Common::Error e = d->error();
  EXPECT_EQ(e.Code(), kFileNotFound);
  EXPECT_EQ(Common::Describe(e), u"The specified file does not exist.");
  EXPECT_STREQ(Common::GetTextField(e, "function"), "OpenFileW");
  const char16_t* file = Common::GetWideTextField(e, "filename");
  ASSERT_TRUE(file);
  std::u16string expected = u"\\\\?\\" + scratch_.path() + u"missing.txt";
  EXPECT_EQ(std::u16string(file), expected);
  EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(e), "code"), 0x80070002u);

  std::unique_ptr<i_file> found(d->open_file(u"x.bin", false));
  EXPECT_TRUE(found);
  EXPECT_TRUE(d->is_ok());
}

}  // namespace
