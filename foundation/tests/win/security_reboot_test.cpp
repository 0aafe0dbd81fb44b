// Deleting or replacing files at once or at the next start. Delayed
// operations are read back from the system's PendingFileRenameOperations
// value (the restart itself is tested by tests/scripts/reboot_pending_test.sh);
// the WININIT.INI route is tested on a file of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/registry_security.h"
#include "foundation/text.h"
#include "security_test_support.h"

namespace {

using namespace Common;
using namespace security_test;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

using PendingList = std::vector<std::pair<std::wstring, std::wstring>>;

LONG OpenSessionManager(REGSAM access, HKEY& key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, access | KEY_WOW64_64KEY, &key);
}

// The (source, target) pairs of PendingFileRenameOperations.
PendingList ReadPending() {
  PendingList pending;
  HKEY key = nullptr;
  if (OpenSessionManager(KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return pending;
  DWORD type = 0, bytes = 0;
  std::vector<wchar_t> data;
  if (RegQueryValueExW(key, kPendingValue, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    data.resize(bytes / sizeof(wchar_t) + 2);
    RegQueryValueExW(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                     &bytes);
    data.resize(bytes / sizeof(wchar_t));
  }
  RegCloseKey(key);
  std::size_t pos = 0;
  auto next = [&]() {
    std::wstring s;
    while (pos < data.size() && data[pos] != 0) s += data[pos++];
    ++pos;
    return s;
  };
  while (pos < data.size()) {
    std::wstring source = next();
    if (source.empty()) break;  // the list's terminator
    std::wstring target = pos < data.size() ? next() : std::wstring();
    pending.emplace_back(source, target);
  }
  return pending;
}

void WritePending(const PendingList& pending) {
  HKEY key = nullptr;
  ASSERT_EQ(OpenSessionManager(KEY_SET_VALUE, key), ERROR_SUCCESS);
  if (pending.empty()) {
    RegDeleteValueW(key, kPendingValue);
  } else {
    std::wstring data;
    for (const auto& p : pending) {
      data += p.first;
      data += L'\0';
      data += p.second;
      data += L'\0';
    }
    data += L'\0';
    RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(data.c_str()),
                   DWORD(data.size() * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class RebootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = std::wstring(temp) + L"purgekit-reboot-" + std::to_wstring(GetCurrentProcessId()) +
           L"-" + std::to_wstring(counter_++);
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    pendingBefore_ = ReadPending();
  }
  void TearDown() override {
    // Leave the system's list as it was: only this test's entries go.
    PendingList kept;
    for (const auto& p : ReadPending())
      if (p.first.find(dir_) == std::wstring::npos) kept.push_back(p);
    if (kept.size() != ReadPending().size()) WritePending(kept);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = dir_ + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(path.c_str());
        else
          DeleteFileW(path.c_str());
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(dir_.c_str());
  }

  std::wstring MakeFile(const wchar_t* name, const char* content = "x") {
    const std::wstring path = dir_ + L"\\" + name;
    WriteFile(WideToAnsi(U(path.c_str())), content);
    return path;
  }

  // This test's entries of the system's list.
  PendingList OwnPending() const {
    PendingList own;
    for (const auto& p : ReadPending())
      if (p.first.find(dir_) != std::wstring::npos) own.push_back(p);
    return own;
  }

  static std::wstring Nt(const std::wstring& path) { return L"\\??\\" + path; }

  static inline int counter_ = 0;
  std::wstring dir_;
  PendingList pendingBefore_;
};

TEST_F(RebootTest, DeletesAtOnceWhenItCan) {
  const std::wstring file = MakeFile(L"now.txt");
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(file.c_str()), nullptr, 0));
  EXPECT_FALSE(Exists(file));
  EXPECT_TRUE(OwnPending().empty());
}

TEST_F(RebootTest, ReplacesAtOnceWhenItCan) {
  const std::wstring source = MakeFile(L"new.txt", "new");
  const std::wstring target = MakeFile(L"old.txt", "old");
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(source.c_str()), U(target.c_str()), 0));
  EXPECT_FALSE(Exists(source));
  EXPECT_EQ(ReadFile(WideToAnsi(U(target.c_str()))), "new");
  EXPECT_TRUE(OwnPending().empty());
}

// A move that cannot happen now (here: its source is gone) must not cost
// the target: it stays as it was, whatever is left for the next start.
TEST_F(RebootTest, AFailedMoveKeepsTheTarget) {
  const std::wstring missing = dir_ + L"\\gone.txt";
  const std::wstring target = MakeFile(L"keep.txt", "old");
  DeleteOrMoveAtReboot(U(missing.c_str()), U(target.c_str()), 0);
  EXPECT_TRUE(Exists(target));
  EXPECT_EQ(ReadFile(WideToAnsi(U(target.c_str()))), "old");

  // The same for a source held open without delete sharing.
  const std::wstring busy = MakeFile(L"busy.txt", "new");
  HANDLE held = CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DeleteOrMoveAtReboot(U(busy.c_str()), U(target.c_str()), 0);
  const bool moved = !Exists(busy);
  CloseHandle(held);
  EXPECT_TRUE(Exists(target));
  EXPECT_EQ(ReadFile(WideToAnsi(U(target.c_str()))), moved ? "new" : "old");
}

TEST_F(RebootTest, QuotedSourceIsTakenWithoutTheQuotes) {
  const std::wstring file = MakeFile(L"quoted name.txt");
  const std::wstring quoted = L"\"" + file + L"\"";
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(quoted.c_str()), nullptr, 0));
  EXPECT_FALSE(Exists(file));
}

TEST_F(RebootTest, DeletesAFolderAtOnce) {
  const std::wstring folder = dir_ + L"\\folder";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(folder.c_str()), nullptr, kRebootDirectories));
  EXPECT_FALSE(Exists(folder));
}

TEST_F(RebootTest, MissingSourceThatMustExistGivesFalse) {
  const std::wstring missing = dir_ + L"\\missing.txt";
  EXPECT_FALSE(DeleteOrMoveAtReboot(U(missing.c_str()), nullptr,
                                    kRebootSourceMustExist | kRebootDelayOnly));
  EXPECT_TRUE(OwnPending().empty());
}

TEST_F(RebootTest, DelayedDeleteLandsInPendingFileRenameOperations) {
  const std::wstring file = MakeFile(L"later.txt");
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(file.c_str()), nullptr, kRebootDelayOnly));
  EXPECT_TRUE(Exists(file)) << "not tried at once";
  PendingList own = OwnPending();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(SameText(own[0].first, Nt(file)));
  EXPECT_EQ(own[0].second, L"");
  // Entries that were there before stay, in front.
  PendingList all = ReadPending();
  ASSERT_GE(all.size(), pendingBefore_.size() + 1);
  for (std::size_t i = 0; i < pendingBefore_.size(); ++i) EXPECT_EQ(all[i], pendingBefore_[i]);
}

TEST_F(RebootTest, DelayedReplaceIsMarkedToReplace) {
  const std::wstring source = MakeFile(L"new.txt", "new");
  const std::wstring target = MakeFile(L"old.txt", "old");
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(source.c_str()), U(target.c_str()), kRebootDelayOnly));
  EXPECT_EQ(ReadFile(WideToAnsi(U(target.c_str()))), "old");
  PendingList own = OwnPending();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(SameText(own[0].first, Nt(source)));
  EXPECT_TRUE(SameText(own[0].second, L"!" + Nt(target)));  // MOVEFILE_REPLACE_EXISTING
}

TEST_F(RebootTest, DelayedFolderMoveDoesNotReplace) {
  const std::wstring folder = dir_ + L"\\folder";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring target = dir_ + L"\\renamed";
  EXPECT_TRUE(DeleteOrMoveAtReboot(U(folder.c_str()), U(target.c_str()),
                                   kRebootDelayOnly | kRebootDirectories));
  PendingList own = OwnPending();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(SameText(own[0].second, Nt(target)));
}

TEST_F(RebootTest, FileInUseIsLeftForTheNextStart) {
  const std::wstring file = MakeFile(L"busy.txt");
  HANDLE busy = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  const bool ok = DeleteOrMoveAtReboot(U(file.c_str()), nullptr, kRebootSourceMustExist);
  CloseHandle(busy);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Exists(file));
  PendingList own = OwnPending();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(SameText(own[0].first, Nt(file)));
}

// ------------------------------------------------------------ WININIT.INI --

class WininitTest : public RebootTest {
 protected:
  void SetUp() override {
    RebootTest::SetUp();
    ini_ = WideToAnsi(U((dir_ + L"\\WININIT.INI").c_str()));
  }
  std::string ini_;
};

TEST_F(WininitTest, NewFileGetsTheSection) {
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\A.TXT\n", 0));
  EXPECT_EQ(ReadFile(ini_), "[Rename]\r\nNUL=C:\\A.TXT\r\n");
  EXPECT_FALSE(Exists(dir_ + L"\\WININIT.IN$"));
}

TEST_F(WininitTest, EmptyFileGetsTheSectionAfterAnEmptyLine) {
  WriteFile(ini_, "");
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\A.TXT\n", 0));
  EXPECT_EQ(ReadFile(ini_), "\r\n[Rename]\r\nNUL=C:\\A.TXT\r\n");
}

TEST_F(WininitTest, FileWithoutTheSectionGetsItAppended) {
  WriteFile(ini_, "[Other]\r\nkey=value\r\n");
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\A.TXT\n", 0));
  EXPECT_EQ(ReadFile(ini_), "[Other]\r\nkey=value\r\n\r\n[Rename]\r\nNUL=C:\\A.TXT\r\n");
}

TEST_F(WininitTest, LineGoesRightAfterTheHeaderOrThisProcesssEarlierLines) {
  WriteFile(ini_, "[Other]\r\nk=v\r\n[rename]\r\nNUL=C:\\OLD.TXT\r\n[Last]\r\nx=y\r\n");
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\FIRST.TXT\n", 0));
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "C:\\T.TXT=C:\\SECOND.TXT\n", 1));
  EXPECT_EQ(ReadFile(ini_),
            "[Other]\r\nk=v\r\n[rename]\r\nNUL=C:\\FIRST.TXT\r\nC:\\T.TXT=C:\\SECOND.TXT\r\n"
            "NUL=C:\\OLD.TXT\r\n[Last]\r\nx=y\r\n");
}

TEST_F(WininitTest, HeaderOnTheLastLineWithoutLineEnd) {
  WriteFile(ini_, "[Rename]");
  ASSERT_TRUE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\A.TXT\n", 0));
  EXPECT_EQ(ReadFile(ini_), "[Rename]\r\nNUL=C:\\A.TXT\r\n");
}

TEST_F(WininitTest, OldFileStaysWhenTheTemporaryFileCannotBeMade) {
  WriteFile(ini_, "[Rename]\r\nNUL=C:\\OLD.TXT\r\n");
  ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\WININIT.IN$").c_str(), nullptr));
  EXPECT_FALSE(AddWininitRenameLine(ini_.c_str(), "NUL=C:\\A.TXT\n", 0));
  EXPECT_EQ(ReadFile(ini_), "[Rename]\r\nNUL=C:\\OLD.TXT\r\n");
}

TEST_F(WininitTest, RenameLineUsesShortPaths) {
  const std::wstring source = MakeFile(L"a rather long file name.text");
  const std::string ansi = WideToAnsi(U(source.c_str()));
  char shortPath[512];
  ASSERT_NE(GetShortPathNameA(ansi.c_str(), shortPath, sizeof shortPath), 0u);

  std::string line;
  ShortPathRenameLine(line, nullptr, ansi.c_str(), false);
  EXPECT_EQ(line, "NUL=" + std::string(shortPath) + "\n");
  ShortPathRenameLine(line, nullptr, ansi.c_str(), true);
  EXPECT_EQ(line, "DIRNUL=" + std::string(shortPath) + "\n");
  // A target that does not exist yet has no short form: it is written as
  // given.
  const std::string target = WideToAnsi(U((dir_ + L"\\not yet.txt").c_str()));
  ShortPathRenameLine(line, target.c_str(), ansi.c_str(), false);
  EXPECT_EQ(line, target + "=" + shortPath + "\n");
}

}  // namespace
