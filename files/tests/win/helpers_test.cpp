// The Windows helpers of the file layer: NT object names, the per-thread
// values (usable before any ordinary initializer has run), the impersonation
// scope, an entry's security parts read and written through the system, and
// the file layer's times against the system's own calendar conversions.
#include "files/win/helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "files/file_time.h"
#include "files/security_descriptor_set.h"
#include "win_dir_fixture.h"

namespace {

using fwtest::ScratchFolder;
using fwtest::U;
using fwtest::W;
using fwtest::WriteAll;

// ---------------------------------------------------------------------------
// Per-thread values before the ordinary initializers

// What a prioritized initializer (one that runs before every ordinary one,
// as the catalog load does) saw and did.
struct EarlyUse {
  std::uint32_t owner = 1, token = 1, callback = 1;
  bool set = false;
  EarlyUse() {
    owner = UiOwnerWindow.Get();
    token = ImpersonationToken.Get();
    callback = ShareDeniedCallback.Get();
    set = ShareDeniedCallback.Set(0x5A5A);
  }
};
EarlyUse early __attribute__((init_priority(101)));

TEST(ThreadLocalValueTest, UsableBeforeOrdinaryInitializersRun) {
  EXPECT_EQ(early.owner, 0u);
  EXPECT_EQ(early.token, 0u);
  EXPECT_EQ(early.callback, 0u);
  // What was set then is still this thread's value: the slot it went into
  // is the one read now.
  EXPECT_TRUE(early.set);
  EXPECT_EQ(ShareDeniedCallback.Get(), 0x5A5Au);
  ShareDeniedCallback.Clear();
  EXPECT_EQ(ShareDeniedCallback.Get(), 0u);
  EXPECT_EQ(GetUiOwnerWindow(), nullptr);
}

TEST(ThreadLocalValueTest, PerThreadValueOverDefault) {
  static ThreadLocalValue value(7);
  EXPECT_EQ(value.Get(), 7u);
  ASSERT_TRUE(value.Set(0));  // 0 is a value of its own, not "unset"
  EXPECT_EQ(value.Get(), 0u);
  std::uint32_t seenElsewhere = 1;
  std::thread([&] { seenElsewhere = value.Get(); }).join();
  EXPECT_EQ(seenElsewhere, 7u);
  value.SetDefault(9);
  EXPECT_EQ(value.Get(), 0u);
  std::thread([&] {
    seenElsewhere = value.Get();
    value.Set(3);
  }).join();
  EXPECT_EQ(seenElsewhere, 9u);
  EXPECT_EQ(value.Get(), 0u);
  EXPECT_FALSE(value.Set(0xFFFFFFFFu));  // its complement is the empty slot
  EXPECT_EQ(value.Get(), 0u);
  value.Clear();
  EXPECT_EQ(value.Get(), 9u);
}

TEST(ThreadLocalValueTest, ReadingKeepsTheLastError) {
  static ThreadLocalValue value;
  value.Set(4);
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(value.Get(), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  value.Clear();
}

// ---------------------------------------------------------------------------
// Impersonation

// An impersonation token of the process's own user, at `level`.
HANDLE ImpersonationTokenAt(SECURITY_IMPERSONATION_LEVEL level) {
  HANDLE process = nullptr, duplicate = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
    return nullptr;
  DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, level, TokenImpersonation, &duplicate);
  CloseHandle(process);
  return duplicate;
}

// The thread's impersonation level, or -1 when it has no token.
int ThreadLevel() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return -1;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD size = 0;
  GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
  CloseHandle(token);
  return level;
}

class ImpersonationScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = ImpersonationTokenAt(SecurityImpersonation);
    ASSERT_TRUE(token_);
    ASSERT_EQ(ThreadLevel(), -1);
  }
  void TearDown() override {
    ImpersonationToken.Clear();
    RevertToSelf();
    CloseHandle(token_);
  }
  void UseToken() {
    ImpersonationToken.Set(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(token_)));
  }
  HANDLE token_ = nullptr;
};

TEST_F(ImpersonationScopeTest, ImpersonatesTheTokenForNetworkPathsOnly) {
  UseToken();
  {
    ImpersonationScope local(false);
    EXPECT_EQ(ThreadLevel(), -1);
  }
  {
    ImpersonationScope network(true);
    EXPECT_EQ(ThreadLevel(), SecurityImpersonation);
  }
  EXPECT_EQ(ThreadLevel(), -1);  // no token before, none after
}

TEST_F(ImpersonationScopeTest, WithoutATokenNothingChanges) {
  HANDLE own = ImpersonationTokenAt(SecurityIdentification);
  ASSERT_TRUE(SetThreadToken(nullptr, own));
  {
    ImpersonationScope network(true);
    EXPECT_EQ(ThreadLevel(), SecurityIdentification);
  }
  EXPECT_EQ(ThreadLevel(), SecurityIdentification);
  RevertToSelf();
  CloseHandle(own);
}

TEST_F(ImpersonationScopeTest, PutsBackTheThreadsOwnTokenAndTheLastError) {
  HANDLE own = ImpersonationTokenAt(SecurityIdentification);
  ASSERT_TRUE(SetThreadToken(nullptr, own));
  UseToken();
  {
    ImpersonationScope network(true);
    EXPECT_EQ(ThreadLevel(), SecurityImpersonation);
    SetLastError(ERROR_BAD_NETPATH);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
  EXPECT_EQ(ThreadLevel(), SecurityIdentification);
  RevertToSelf();
  CloseHandle(own);
}

TEST(LastErrorKeeperTest, RestoresTheCodeAtItsEnd) {
  SetLastError(ERROR_DISK_FULL);
  {
    LastErrorKeeper keep;
    CloseHandle(nullptr);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(IsValidHandle(nullptr));
  EXPECT_FALSE(IsValidHandle(INVALID_HANDLE_VALUE));
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(IsValidHandle(event));
  CloseHandle(event);
}

// ---------------------------------------------------------------------------
// NT object names

TEST(NtObjectPathTest, Win32PathsBecomeObjectNames) {
  struct Case {
    const char16_t* path;
    const char16_t* name;
  };
  const Case cases[] = {
      {u"C:\\x", u"\\??\\C:\\x"},
      {u"\\\\?\\C:\\x", u"\\??\\C:\\x"},
      {u"\\\\srv\\share\\x", u"\\??\\UNC\\srv\\share\\x"},
      {u"\\Device\\HarddiskVolume1\\x", u"\\Device\\HarddiskVolume1\\x"},
      {u"\\device\\HarddiskVolume1", u"\\??\\\\device\\HarddiskVolume1"},
      {u"\\\\?\\UNC\\srv\\s", u"\\??\\UNC\\srv\\s"},
      {u"x", u"\\??\\x"},
      {u"", u"\\??\\"},
  };
  for (const Case& c : cases) {
    NtObjectPath p(c.path);
    EXPECT_TRUE(p.valid());
    EXPECT_EQ(p.name(), c.name);
    const UNICODE_STRING* s = p.unicode_string();
    EXPECT_EQ(s->Length, p.name().size() * 2);
    EXPECT_EQ(s->MaximumLength, s->Length);
    EXPECT_EQ(std::u16string(U(s->Buffer), s->Length / 2), c.name);
    const OBJECT_ATTRIBUTES* a = p.attributes();
    EXPECT_EQ(a->Length, 24u);
    EXPECT_EQ(a->RootDirectory, nullptr);
    EXPECT_EQ(a->ObjectName, s);
    EXPECT_EQ(a->Attributes, 0x240u);
    EXPECT_EQ(a->SecurityDescriptor, nullptr);
    EXPECT_EQ(a->SecurityQualityOfService, nullptr);
  }
}

TEST(NtObjectPathTest, NameTooLongForTheSystemIsNotCutShort) {
  const std::u16string longest(32767 - 4, u'a');  // with "\??\": 32767 units
  NtObjectPath fits(longest.c_str());
  EXPECT_TRUE(fits.valid());
  EXPECT_EQ(fits.unicode_string()->Length, 0xFFFEu);

  const std::u16string tooLong(32767 - 3, u'a');
  NtObjectPath p(tooLong.c_str());
  EXPECT_FALSE(p.valid());
  EXPECT_EQ(p.unicode_string()->Length, 0u);
  EXPECT_EQ(p.unicode_string()->MaximumLength, 0u);
}

// ---------------------------------------------------------------------------
// Security parts of a real file

TEST(SecurityDescriptorSetWinTest, ReadsPartsSerializesAndWritesThemBack) {
  ScratchFolder scratch(u"secdesc");
  WriteAll(scratch / u"source.txt", "s");
  WriteAll(scratch / u"target.txt", "t");

  SecurityDescriptorSet set;
  ASSERT_TRUE(set.Read((scratch / u"source.txt").c_str()));
  // DACL, group and owner are readable by the file's owner; each part is a
  // descriptor of its own that the system itself accepts.
  for (int i = 0; i < 3; ++i) {
    const SecurityDescriptorSet::Part& part = set.part(i);
    ASSERT_NE(part.size, 0u) << i;
    EXPECT_TRUE(IsValidSecurityDescriptor(part.bytes.get())) << i;
    EXPECT_LE(GetSecurityDescriptorLength(part.bytes.get()), part.size) << i;
  }

  std::unique_ptr<std::uint8_t[]> data;
  const std::uint32_t size = set.Serialize(data);
  std::uint32_t sum = 16;
  for (int i = 0; i < 4; ++i) sum += set.part(i).size;
  EXPECT_EQ(size, sum);

  SecurityDescriptorSet copy;
  ASSERT_TRUE(copy.Deserialize(data.get(), size).IsNull());
  EXPECT_TRUE(copy.Write((scratch / u"target.txt").c_str()));

  SecurityDescriptorSet back;
  ASSERT_TRUE(back.Read((scratch / u"target.txt").c_str()));
  PSID sourceOwner = nullptr, targetOwner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(set.part(2).bytes.get(), &sourceOwner, &defaulted));
  ASSERT_TRUE(GetSecurityDescriptorOwner(back.part(2).bytes.get(), &targetOwner, &defaulted));
  ASSERT_TRUE(sourceOwner && targetOwner);
  EXPECT_TRUE(EqualSid(sourceOwner, targetOwner));
}

TEST(SecurityDescriptorSetWinTest, MissingEntryLeavesEveryPartEmpty) {
  SecurityDescriptorSet set;
  EXPECT_TRUE(set.Read(u"C:\\purgekit-fw-no-such-folder\\none.txt"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(set.part(i).size, 0u) << i;
}

// ---------------------------------------------------------------------------
// Times against the system's calendar

// Milliseconds since 1970 of a UTC calendar time, counted independently of
// the file layer (days from the civil date).
std::int64_t CivilMs(int y, int m, int d, int hh, int mm, int ss, int ms) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return ((days * 24 + hh) * 60 + mm) * 60000 + ss * 1000 + ms;
}

std::uint64_t Join(const FILETIME& t) {
  return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

TEST(FileTimeWinTest, ConversionsAgreeWithTheSystemCalendar) {
  const SYSTEMTIME dates[] = {
      {1970, 1, 4, 1, 0, 0, 0, 1},        {1999, 12, 5, 31, 23, 59, 59, 999},
      {2000, 2, 2, 29, 12, 0, 0, 0},      {2038, 1, 2, 19, 3, 14, 8, 0},
      {2100, 3, 1, 1, 0, 0, 0, 500},      {1969, 12, 3, 31, 23, 59, 59, 0},
      {1601, 1, 2, 2, 0, 0, 0, 0},        {2024, 7, 0, 14, 6, 30, 15, 250},
  };
  for (const SYSTEMTIME& st : dates) {
    SCOPED_TRACE(st.wYear);
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    const auto expected = static_cast<std::uint64_t>(
        CivilMs(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                st.wMilliseconds));
    EXPECT_EQ(FileTimeToMs(Join(ft)), expected);

    const std::uint64_t back = MsToFileTime(expected);
    FILETIME bt{static_cast<DWORD>(back), static_cast<DWORD>(back >> 32)};
    SYSTEMTIME out;
    ASSERT_TRUE(FileTimeToSystemTime(&bt, &out));
    EXPECT_EQ(out.wYear, st.wYear);
    EXPECT_EQ(out.wMonth, st.wMonth);
    EXPECT_EQ(out.wDay, st.wDay);
    EXPECT_EQ(out.wDayOfWeek, st.wDayOfWeek);
    EXPECT_EQ(out.wHour, st.wHour);
    EXPECT_EQ(out.wMinute, st.wMinute);
    EXPECT_EQ(out.wSecond, st.wSecond);
    EXPECT_EQ(out.wMilliseconds, st.wMilliseconds);
  }
  EXPECT_EQ(FileTimeToMs(0), 0u);
  EXPECT_EQ(MsToFileTime(0), 0u);
}

TEST(FileTimeWinTest, FatZeroDateIsLocalMidnightOf1980AndReadsAsNoTime) {
  const SYSTEMTIME local1980{1980, 1, 2, 1, 0, 0, 0, 0};
  FILETIME local, utc;
  ASSERT_TRUE(SystemTimeToFileTime(&local1980, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(FatEpochSentinel(), Join(utc));
  EXPECT_EQ(FileTimeToMs(FatEpochSentinel()), 0u);
  EXPECT_NE(FileTimeToMs(FatEpochSentinel() + 10000), 0u);
}

TEST(FileTimeWinTest, CurrentTimeIsTheSystemClock) {
  FILETIME before, after;
  GetSystemTimeAsFileTime(&before);
  const std::int64_t now = CurrentTimeMs();
  GetSystemTimeAsFileTime(&after);
  EXPECT_GE(now, static_cast<std::int64_t>(FileTimeToMs(Join(before))));
  EXPECT_LE(now, static_cast<std::int64_t>(FileTimeToMs(Join(after))));
}

}  // namespace
