// A snapshot under Wine: the temporary storage is a file named by Windows'
// own GetTempFileNameW in the temporary folder, opened unbuffered and
// deleted on close. It exists while the snapshot keeps data and is gone
// once the snapshot ends; the snapshot reads as the volume was.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diskaccess/snapshots.h"
#include "diskaccess/win_computer.h"
#include "sblib/sblib.h"
#include "sblib/standin.h"

namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kSectors = 2048;

std::wstring MakeFolder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  const std::wstring dir =
      std::wstring(base) + L"purgekit-snap-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::vector<std::wstring> StorageFiles(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((dir + L"\\qvl*.tmp").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do names.push_back(found.cFileName);
  while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(SnapshotUnderWine, TheTemporaryFileLivesWhileTheSnapshotDoes) {
  const std::wstring dir = MakeFolder();
  const std::wstring temp = dir + L"\\temp";
  CreateDirectoryW(temp.c_str(), nullptr);
  const std::string image = Narrow(dir) + "\\volume.img";
  std::vector<std::uint8_t> before(kSectors * kSector);
  for (std::size_t i = 0; i < before.size(); ++i) before[i] = static_cast<std::uint8_t>(i * 31 + i / 512);
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(before.data()),
                                                static_cast<std::streamsize>(before.size()));
  const std::string config = Narrow(dir) + "\\sblib.conf";
  std::ofstream(config) << "drive " << image << "\nvolume 1:0+" << kSectors << " letter=E\n";
  sblib_standin::SetConfigPath(config);
  // GetTempPathW answers the TMP variable first.
  wchar_t oldTmp[MAX_PATH] = {};
  const DWORD hadTmp = GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", (temp + L"\\").c_str());

  SbInitRecord init{8, 0x10};
  SbLibInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
  SbHandle a = 0, b = 0;
  ASSERT_EQ(sbOpenVolume(1, &a), SB_OK);
  ASSERT_EQ(sbOpenVolume(1, &b), SB_OK);
  {
    win_vol_handler live(a, 1), other(b, 1);
    for (win_vol_handler* v : {&live, &other}) {
      v->SetSectorSizeValue(kSector);
      v->SetLastSector(kSectors - 1);
    }
    std::unique_ptr<Fdisk::SnapshotVolume> snap(live.VolCreateSnapshot());
    ASSERT_NE(snap, nullptr);
    ASSERT_TRUE(snap->LockSnapshot(0x3).IsNull());
    ASSERT_TRUE(snap->SetBitmap(100, 8, (kSectors - 100) / 8, nullptr).IsNull());
    EXPECT_TRUE(StorageFiles(temp).empty());

    std::vector<std::uint8_t> junk(300 * kSector, 0xEE);
    std::thread writer([&] {
      EXPECT_TRUE(other.Io(Fdisk::kIoWrite, 90, junk.data(), 300).IsNull());
      EXPECT_TRUE(other.Io(Fdisk::kIoWrite, 1500, junk.data(), 40).IsNull());
    });
    writer.join();
    const std::vector<std::wstring> during = StorageFiles(temp);
    EXPECT_EQ(during.size(), 1u);

    std::vector<std::uint8_t> got(kSectors * kSector);
    ASSERT_TRUE(snap->Io(Fdisk::kIoRead, 0, got.data(), kSectors).IsNull());
    EXPECT_TRUE(got == before);
    std::vector<std::uint8_t> now(kSectors * kSector);
    ASSERT_TRUE(live.Io(Fdisk::kIoRead, 0, now.data(), kSectors).IsNull());
    EXPECT_FALSE(now == before);
    // Deleted on close: nobody else may open it meanwhile either.
    if (!during.empty()) {
      HANDLE h = CreateFileW((temp + L"\\" + during[0]).c_str(), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  EXPECT_TRUE(StorageFiles(temp).empty());
  EXPECT_EQ(SnapshotStorage::Current(), nullptr);
  EXPECT_EQ(sbDoneLib(), SB_OK);
  sblib_standin::SetConfigPath("");
  SetEnvironmentVariableW(L"TMP", hadTmp ? oldTmp : nullptr);
  DeleteFileW((dir + L"\\volume.img").c_str());
  DeleteFileW((dir + L"\\sblib.conf").c_str());
  RemoveDirectoryW(temp.c_str());
  RemoveDirectoryW(dir.c_str());
}

}  // namespace
