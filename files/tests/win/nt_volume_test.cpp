// The volume side of the NT directory against what the system reports by
// other roads: the Win32 calls themselves and the command interpreter's
// "dir".
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

// Whether `value` lies between two readings taken before and after it,
// give or take `margin`.
bool Between(std::uint64_t value, std::uint64_t before, std::uint64_t after,
             std::uint64_t margin) {
  const std::uint64_t low = std::min(before, after), high = std::max(before, after);
  return value + margin >= low && value <= high + margin;
}

// The disk is shared with other processes that write and delete while the
// test runs, so the framework's answer must lie between the system's
// answers and the command interpreter's taken just before and just after
// it. A round in which the free space moved one way and back between the
// readings proves nothing either way and is taken again.
TEST(NtVolume, DiskSpaceAgreesWithTheSystemAndWithDir) {
  auto c = Dir(u"C:\\");
  ASSERT_TRUE(c);
  const std::uint64_t margin = 1u << 20;
  bool agreed = false;
  std::string report;
  for (int round = 0; round < 5 && !agreed; ++round) {
    unsigned long long dirBefore = 0, dirAfter = 0;
    std::string listing = DirListing();
    ASSERT_TRUE(FreeBytesOf(listing, dirBefore)) << listing;
    ULARGE_INTEGER a1{}, t1{}, f1{}, a2{}, t2{}, f2{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &a1, &t1, &f1));
    std::uint64_t total = 1, free = 1, available = 1;
    ASSERT_EQ(NtDiskSpace(*c, total, free, available).Code(), 0u);
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &a2, &t2, &f2));
    listing = DirListing();
    ASSERT_TRUE(FreeBytesOf(listing, dirAfter)) << listing;

    // The size of the disk does not move, and the three come in their order.
    EXPECT_EQ(total, t1.QuadPart);
    EXPECT_EQ(total, t2.QuadPart);
    EXPECT_GE(total, free);
    EXPECT_GE(free, available);
    agreed = Between(free, f1.QuadPart, f2.QuadPart, margin) &&
             Between(available, a1.QuadPart, a2.QuadPart, margin) &&
             Between(available, dirBefore, dirAfter, margin);
    report = "free " + std::to_string(free) + " between " + std::to_string(f1.QuadPart) +
             " and " + std::to_string(f2.QuadPart) + "; available " +
             std::to_string(available) + " between " + std::to_string(a1.QuadPart) + " and " +
             std::to_string(a2.QuadPart) + ", dir " + std::to_string(dirBefore) + " and " +
             std::to_string(dirAfter);
  }
  EXPECT_TRUE(agreed) << report;
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

// The serialized security data of one DACL written in the system's text form.
std::vector<std::uint8_t> SerializedDacl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            &size))
    return {};
  SecurityDescriptorSet set;
  const bool kept = set.SetPart(SecurityDescriptorSet::kDacl, descriptor, size);
  LocalFree(descriptor);
  if (!kept) return {};
  std::unique_ptr<std::uint8_t[]> data;
  const std::uint32_t length = set.Serialize(data);
  return std::vector<std::uint8_t>(data.get(), data.get() + length);
}

// The rights the entry's DACL grants Everyone, as the system reads it back;
// ~0 when it cannot be read.
DWORD EveryonesRights(const wchar_t* path) {
  std::uint8_t buffer[4096];
  DWORD needed = 0;
  if (!GetFileSecurityW(path, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed))
    return ~0u;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted) || !present || !dacl)
    return ~0u;
  std::uint8_t everyone[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof everyone;
  if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize)) return ~0u;
  DWORD rights = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return ~0u;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
        EqualSid(&allowed->SidStart, everyone))
      rights |= allowed->Mask;
  }
  return rights;
}

// The request carries the system's answer: what it accepted is on the entry
// afterwards, and what it refused is reported with the call, the path and
// the cause, never as success.
TEST_F(NtControlFiles, SecurityThatDoesNotTakeIsReported) {
  const wchar_t* entry = L"C:\\nt-volume-test\\entry.txt";
  srsq_request request;
  request.name = u"entry.txt";
  Common::Error error;

  // Made here, not read from the entry, so that the data holds a part
  // whatever the system lets this process read.
  const std::vector<std::uint8_t> writable = SerializedDacl(L"D:(A;;FA;;;WD)");
  const std::vector<std::uint8_t> readOnly = SerializedDacl(L"D:(A;;FR;;;WD)");
  ASSERT_FALSE(writable.empty());
  ASSERT_FALSE(readOnly.empty());

  request.data = writable.data();
  request.size = static_cast<std::uint32_t>(writable.size());
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), 0u);
  const DWORD granted = EveryonesRights(entry);
  ASSERT_NE(granted, ~0u);
  EXPECT_TRUE(granted & FILE_WRITE_DATA) << std::hex << granted;

  request.data = readOnly.data();
  request.size = static_cast<std::uint32_t>(readOnly.size());
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), 0u);
  const DWORD reduced = EveryonesRights(entry);
  ASSERT_NE(reduced, ~0u);
  EXPECT_TRUE(reduced & FILE_READ_DATA) << std::hex << reduced;
  EXPECT_FALSE(reduced & FILE_WRITE_DATA) << std::hex << reduced;

  // The same security on an entry that is not there: the failure shows.
  request.name = u"missing.txt";
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), kFileNotFound);
  const char* function = Common::GetTextField(error, "function");
  EXPECT_STREQ(function ? function : "", "SetFileSecurityW");
  const char16_t* file = Common::GetWideTextField(error, "filename");
  EXPECT_EQ(std::u16string(file ? file : u""), u"\\\\?\\C:\\nt-volume-test\\missing.txt");
  EXPECT_EQ(Common::GetNumberField(Common::GetErrorCause(error), "code"), 0x80070002u);

  // Data that does not hold what its counts say is refused, not half used.
  std::uint8_t truncated[8] = {200, 0, 0, 0, 1, 2, 3, 4};
  request.name = u"entry.txt";
  request.data = truncated;
  request.size = sizeof truncated;
  NtControl(*dir_, &request, error);
  EXPECT_EQ(error.Code(), kFileCorrupted);
  EXPECT_TRUE(EveryonesRights(entry) & FILE_READ_DATA);
}

TEST_F(NtControlFiles, RestartRenameRefusesNetworkNames) {
  pdrn_request request;
  request.name = u"entry.txt";
  request.newName = u"\\\\server\\share\\entry.txt";
  Common::Error error;
  ASSERT_EQ(NtControl(*dir_, &request, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), kFileRenameError);
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string Function(const Common::Error& e) {
  const char* f = Common::GetTextField(e, "function");
  return f ? f : "";
}

// Encryption, compression and short names that the system does not carry
// out answer "not supported", never success. Wine 8 carries out none of
// them: EncryptFileW answers success and encrypts nothing, the compression
// control answers ERROR_NOT_SUPPORTED, and SetFileShortNameW is missing.
// Elsewhere a request either took (the entry shows it) or is reported.
TEST_F(NtControlFiles, UnimplementedRequestsAreNotSupported) {
  const wchar_t* entry = L"C:\\nt-volume-test\\entry.txt";
  const bool wine = UnderWine();
  Common::Error error;

  crpt_request encrypt;
  encrypt.name = u"entry.txt";
  encrypt.encrypt = 1;
  ASSERT_EQ(NtControl(*dir_, &encrypt, error), NtControlOutcome::kStore);
  const bool encrypted = GetFileAttributesW(entry) & FILE_ATTRIBUTE_ENCRYPTED;
  if (wine) {
    EXPECT_FALSE(encrypted);
  }
  if (encrypted) {
    EXPECT_EQ(error.Code(), 0u);
  } else {
    EXPECT_EQ(error.Code(), kFileNotSupported);
  }
  // Decrypting what is not encrypted leaves it so, and is no failure.
  crpt_request decrypt;
  decrypt.name = u"entry.txt";
  ASSERT_EQ(NtControl(*dir_, &decrypt, error), NtControlOutcome::kStore);
  EXPECT_EQ(error.Code(), 0u);
  EXPECT_FALSE(GetFileAttributesW(entry) & FILE_ATTRIBUTE_ENCRYPTED);

  cmpr_request compress;
  compress.compress = 1;
  ASSERT_EQ(NtControl(*dir_, &compress, error), NtControlOutcome::kStore);
  const bool compressed = GetFileAttributesW(L"C:\\nt-volume-test") & FILE_ATTRIBUTE_COMPRESSED;
  if (wine) {
    EXPECT_FALSE(compressed);
  }
  if (compressed) {
    EXPECT_EQ(error.Code(), 0u);
  } else {
    EXPECT_EQ(error.Code(), kFileNotSupported);
    EXPECT_EQ(Function(error), "FSCTL_SET_COMPRESSION");
    EXPECT_NE(Common::GetNumberField(Common::GetErrorCause(error), "code"), 0u);
  }

  wchar_t shortBefore[MAX_PATH] = L"";
  GetShortPathNameW(entry, shortBefore, MAX_PATH);
  const bool canSetShortNames =
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetFileShortNameW") != nullptr;
  if (wine) {
    EXPECT_FALSE(canSetShortNames);
  }
  ssfn_request shortName;
  shortName.name = u"entry.txt";
  shortName.shortName = u"SHORTX.TXT";
  const NtControlOutcome outcome = NtControl(*dir_, &shortName, error);
  wchar_t shortAfter[MAX_PATH] = L"";
  GetShortPathNameW(entry, shortAfter, MAX_PATH);
  const bool renamed = std::wstring(shortAfter).find(L"SHORTX.TXT") != std::wstring::npos;
  if (!canSetShortNames) {
    // Nothing is asked of the system: not even the entry is opened.
    EXPECT_EQ(outcome, NtControlOutcome::kStore);
    EXPECT_EQ(error.Code(), kFileNotSupported);
    EXPECT_EQ(Function(error), "");
    EXPECT_EQ(std::wstring(shortAfter), std::wstring(shortBefore));
  } else if (renamed) {
    EXPECT_EQ(outcome, NtControlOutcome::kKeep);
  } else {
    EXPECT_EQ(outcome, NtControlOutcome::kStore);
    EXPECT_EQ(Function(error), "SetFileShortNameW");
  }

  control_request unknown{ControlCode('Z', 'Z', 'Z', 'Z')};
  EXPECT_EQ(NtControl(*dir_, &unknown, error), NtControlOutcome::kNotHandled);
}

}  // namespace
