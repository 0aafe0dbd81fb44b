// The volume side of the NT directory against what the system reports by
// other roads: the Win32 calls themselves and the command interpreter's
// "dir".
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "files/file_error.h"
#include "files/security_descriptor_set.h"
#include "files/win/nt_dir.h"
#include "files/win/nt_volume.h"
#include "files/win/win_dir.h"

namespace {

std::unique_ptr<winnt_dir> Dir(const char16_t* path) {
  win32_dir* opened = GetRootDir()->open_dir(path);
  auto* nt = dynamic_cast<winnt_dir*>(opened);
  if (nt == nullptr) delete opened;
  return std::unique_ptr<winnt_dir>(nt);
}


// The output of "cmd /c dir C:\".
std::string DirListing() {
  std::string out;
  FILE* pipe = _popen("cmd /c dir C:\\", "r");
  if (pipe == nullptr) return out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
  _pclose(pipe);
  return out;
}

// "N bytes free" of a dir listing, separators removed.
bool FreeBytesOf(const std::string& listing, unsigned long long& bytes) {
  std::size_t at = listing.find("bytes free");
  if (at == std::string::npos) return false;
  // The number just before the words, with its group separators.
  std::size_t i = at;
  while (i > 0 && listing[i - 1] == ' ') --i;
  std::string digits;
  while (i > 0 && (std::isdigit(static_cast<unsigned char>(listing[i - 1])) ||
                   listing[i - 1] == ',' || listing[i - 1] == '.')) {
    --i;
    if (std::isdigit(static_cast<unsigned char>(listing[i]))) digits.insert(digits.begin(), listing[i]);
  }
  if (digits.empty()) return false;
  bytes = std::stoull(digits);
  return true;
}

TEST(NtVolume, DiskSpaceAgreesWithTheSystemAndWithDir) {
  auto c = Dir(u"C:\\");
  ASSERT_TRUE(c);
  std::uint64_t total = 1, free = 1, available = 1;
  ASSERT_EQ(NtDiskSpace(*c, total, free, available).Code(), 0u);
  ULARGE_INTEGER a{}, t{}, f{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &a, &t, &f));
  EXPECT_EQ(total, t.QuadPart);
  // Other processes write to the same disk; allow for a little.
  const std::uint64_t slack = 64ull << 20;
  EXPECT_LE(free > f.QuadPart ? free - f.QuadPart : f.QuadPart - free, slack);
  EXPECT_LE(available > a.QuadPart ? available - a.QuadPart : a.QuadPart - available, slack);
  EXPECT_GE(total, free);

  unsigned long long dirFree = 0;
  std::string listing = DirListing();
  ASSERT_TRUE(FreeBytesOf(listing, dirFree)) << listing;
  EXPECT_LE(dirFree > available ? dirFree - available : available - dirFree, slack);
}

TEST(NtVolume, DiskSpaceOfAVanishedFolderIsAReadErrorWithZeros) {
  auto gone = Dir(u"C:\\no such folder\\deeper\\");
  ASSERT_TRUE(gone);
  std::uint64_t total = 1, free = 1, available = 1;
  Common::Error error = NtDiskSpace(*gone, total, free, available);
  EXPECT_NE(error.Code(), 0u);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(available, 0u);
}

TEST(NtVolume, LabelAgreesWithTheSystemAndWithDir) {
  auto c = Dir(u"C:\\");
  ASSERT_TRUE(c);
  char16_t label[64] = u"stale";
  ASSERT_EQ(NtVolumeLabel(*c, label, 64).Code(), 0u);
  wchar_t expected[64] = L"";
  ASSERT_TRUE(GetVolumeInformationW(L"C:\\", expected, 64, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(std::u16string(label), std::u16string(reinterpret_cast<char16_t*>(expected)));

  std::string listing = DirListing();
  std::string narrow;
  for (char16_t* p = label; *p; ++p) narrow += char(*p);
  if (narrow.empty()) {
    EXPECT_NE(listing.find("has no label"), std::string::npos) << listing;
  } else {
    EXPECT_NE(listing.find("is " + narrow), std::string::npos) << listing;
  }
}

TEST(NtVolume, KindSectorSizeAndFileSystemComeFromTheVolume) {
  auto c = Dir(u"C:\\");
  auto windows = Dir(u"C:\\windows\\");
  ASSERT_TRUE(c && windows);
  EXPECT_EQ(NtDriveObjectType(*c), std::uint32_t(kObjectFixedDrive));
  EXPECT_EQ(NtDriveObjectType(*windows), std::uint32_t(kObjectFixedDrive));

  DWORD spc = 0, bps = 0, fc = 0, tc = 0;
  ASSERT_TRUE(GetDiskFreeSpaceW(L"C:\\", &spc, &bps, &fc, &tc));
  EXPECT_EQ(NtSectorSize(*c), bps);
  EXPECT_EQ(NtSectorSize(*windows), bps);
  auto gone = Dir(u"Q:\\vanished\\");
  ASSERT_TRUE(gone);
  EXPECT_EQ(NtSectorSize(*gone), 512u);

  wchar_t fileSystem[64] = L"";
  ASSERT_TRUE(GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 64));
  for (winnt_dir* dir : {c.get(), windows.get()}) {
    gfst_request request;
    Common::Error error;
    ASSERT_EQ(NtControl(*dir, &request, error), NtControlOutcome::kStore);
    EXPECT_EQ(error.Code(), 0u);
    EXPECT_EQ(std::u16string(request.fileSystem),
              std::u16string(reinterpret_cast<char16_t*>(fileSystem)));
  }
}

TEST(NtVolume, ConnectingALocalDriveOrTheRootIsNotSupported) {
  auto c = Dir(u"C:\\windows\\");
  ASSERT_TRUE(c);
  // Windows answers "not connected" for a local drive (0x4000e); a system
  // without a network provider refuses the question itself. Neither
  // connects anything or reports success.
  EXPECT_NE(NtNetConnect(*c, u"user", u"secret", nullptr).Code(), 0u);
  auto root = std::unique_ptr<win32_dir>(GetRootDir()->open_dir(u"."));
  if (auto* nt = dynamic_cast<winnt_dir*>(root.get())) {
    EXPECT_EQ(NtNetConnect(*nt, u"user", u"secret", nullptr).Code(), kFileNotSupported);
  }
}

TEST(NtVolume, TruncateToServer) {
  struct Case {
    const char16_t* in;
    bool cut;
    const char16_t* out;
  } cases[] = {
      {u"\\\\server\\share\\dir", true, u"\\\\server"},
      {u"\\\\server\\share", true, u"\\\\server"},
      {u"\\\\server", false, u"\\\\server"},
      {u"C:\\dir", false, u"C:\\dir"},
      {u"\\single\\x", false, u"\\single\\x"},
  };
  for (const Case& c : cases) {
    std::u16string name = c.in;
    EXPECT_EQ(TruncateToServer(name), c.cut);
    EXPECT_EQ(name, c.out);
  }
}

class NtControlFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(L"C:\\nt-volume-test", nullptr);
    HANDLE h = CreateFileW(L"C:\\nt-volume-test\\entry.txt", GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    dir_ = Dir(u"C:\\nt-volume-test\\");
    ASSERT_TRUE(dir_);
  }
  void TearDown() override {
    DeleteFileW(L"C:\\nt-volume-test\\entry.txt");
    RemoveDirectoryW(L"C:\\nt-volume-test");
  }
  std::unique_ptr<winnt_dir> dir_;
};

TEST_F(NtControlFiles, SetTimesWritesWhatIsGivenAndLeavesZeroTimesAlone) {
  FILETIME creationBefore{}, ignored{};
  HANDLE h = CreateFileW(L"C:\\nt-volume-test\\entry.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(GetFileTime(h, &creationBefore, &ignored, &ignored));
  CloseHandle(h);

  stme_request request;
  request.name = u"entry.txt";
  request.writeTime = 1262304000000ull;   // 2010-01-01 00:00 UTC
  request.accessTime = 1262390400000ull;  // a day later
  Common::Error error;
  EXPECT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kKeep);

  FILETIME creation{}, access{}, write{};
  h = CreateFileW(L"C:\\nt-volume-test\\entry.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(GetFileTime(h, &creation, &access, &write));
  CloseHandle(h);
  auto ms = [](FILETIME t) {
    return ((std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000) - 11644473600000ull;
  };
  EXPECT_EQ(ms(write), request.writeTime);
  EXPECT_EQ(ms(access), request.accessTime);
  // A zero creation time is handed over as a zero FILETIME, which leaves
  // the time alone; Wine keeps no creation time of its own to compare.
  (void)creation;
  (void)creationBefore;

  request.name = u"missing.txt";
  EXPECT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_NE(error.Code(), 0u);
}

TEST_F(NtControlFiles, SecurityThatDoesNotTakeIsReported) {
  SecurityDescriptorSet set;
  ASSERT_TRUE(set.Read(u"C:\\nt-volume-test\\entry.txt"));
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t size = set.Serialize(data);
  ASSERT_NE(size, 0u);

  srsq_request request;
  request.name = u"entry.txt";
  request.data = data.get();
  request.size = size;
  Common::Error error;
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  bool anyPart = false;
  for (std::uint32_t i = 0; i < SecurityDescriptorSet::kPartCount; ++i)
    anyPart = anyPart || set.part(i).size != 0;
  if (anyPart) {
    EXPECT_EQ(error.Code(), 0u);
    // The same security on an entry that is not there: the failure shows.
    request.name = u"missing.txt";
    NtControl(*dir_, &request, error);
    EXPECT_NE(error.Code(), 0u);
  }

  // Data that does not hold what its counts say is refused, not half used.
  std::uint8_t truncated[8] = {200, 0, 0, 0, 1, 2, 3, 4};
  request.name = u"entry.txt";
  request.data = truncated;
  request.size = sizeof truncated;
  NtControl(*dir_, &request, error);
  EXPECT_EQ(error.Code(), kFileCorrupted);
}

TEST_F(NtControlFiles, RestartRenameRefusesNetworkNames) {
  pdrn_request request;
  request.name = u"entry.txt";
  request.newName = u"\\\\server\\share\\entry.txt";
  Common::Error error;
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), kFileRenameError);
}

// Encryption, compression and short names that the system does not carry
// out must not be reported as done.
TEST_F(NtControlFiles, UnimplementedRequestsAreNotReportedAsDone) {
  Common::Error error;
  crpt_request encrypt;
  encrypt.name = u"entry.txt";
  encrypt.encrypt = 1;
  NtControl(*dir_, &encrypt, error);
  DWORD attributes = GetFileAttributesW(L"C:\\nt-volume-test\\entry.txt");
  if (error.Code() == 0) {
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_ENCRYPTED);
  }

  cmpr_request compress;
  compress.compress = 1;
  NtControl(*dir_, &compress, error);
  attributes = GetFileAttributesW(L"C:\\nt-volume-test");
  if (error.Code() == 0) {
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_COMPRESSED);
  }

  control_request unknown{ControlCode('Z', 'Z', 'Z', 'Z')};
  EXPECT_EQ(NtControl(*dir_, &unknown, error), NtControlOutcome::kNotHandled);
}

}  // namespace
