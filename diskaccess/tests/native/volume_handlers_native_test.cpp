// Volume handlers over the stand-in library and images partitioned by
// sfdisk and sgdisk: the library volume handler's operations and records,
// the lock protocol with its host answers, and reads through the handler
// that forwards to a disk, judged by dd and cmp.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/errors.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/volume_handlers.h"
#include "diskaccess/win_computer.h"
#include "sblib/sblib.h"
#include "standin_fixture.h"

namespace {

// Writes `bytes` to a file.
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Whether the image's sectors [first, first + count) equal `file`, by dd and cmp.
bool ImageRangeEquals(const DiskTest::TempDir& dir, const std::string& image, std::uint64_t first,
                      std::uint64_t count, const std::string& file) {
  const std::string cut = dir.File("cut.bin");
  if (!DaTest::Run("dd if=" + image + " of=" + cut + " bs=512 skip=" + std::to_string(first) +
                   " count=" + std::to_string(count)))
    return false;
  return DaTest::Run("cmp " + cut + " " + file);
}

// The library status carried as the error's cause.
std::uint64_t StatusOf(const Common::Error& e) {
  return Common::GetNumberField(Common::GetErrorCause(e), "code");
}

// The host's answers to a failed lock, in order, and what it was shown.
std::vector<std::uint32_t> g_answers;
unsigned g_asked = 0;
std::uint32_t g_shownFlags = 0;
std::u16string g_shownFiles;

std::uint32_t ScriptedHost(std::uint32_t, std::uint32_t flags, void* files, const Common::Error&) {
  ++g_asked;
  g_shownFlags = flags;
  g_shownFiles = files != nullptr ? *static_cast<std::u16string*>(files) : std::u16string();
  if (g_answers.empty()) return 1;
  const std::uint32_t a = g_answers.front();
  g_answers.erase(g_answers.begin());
  return a;
}

// The stand-in set up directly over one image of 64 MiB (sfdisk: a 32 MiB
// NTFS-typed partition and a small one), its volumes opened as library
// volume handlers.
class LibraryVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.File("disk.img");
    DaTest::FillWithUnitNumbers(image_, 64ull << 20);
    std::ofstream(dir_.File("disk.sfdisk"))
        << "label: dos\nstart=2048, size=65536, type=7\nstart=67584, size=8192, type=c\n";
    ASSERT_TRUE(DaTest::Run("sfdisk --no-reread --no-tell-kernel " + image_ + " < " +
                            dir_.File("disk.sfdisk")));
    const std::string dump = DiskTest::RunCommand("sfdisk -d " + image_);
    ASSERT_NE(dump.find("start=        2048, size=       65536"), std::string::npos) << dump;
    g_DaHooks.volumeOperation = ScriptedHost;
    g_answers.clear();
    g_asked = 0;
    DaResetDeferredLocks();
  }
  void TearDown() override {
    volumes_.clear();
    if (DaIsInitialised()) DaDone();
    g_DaHooks.volumeOperation = nullptr;
    if (sblib_standin::TakeCensus().initialised) sbDoneLib();
    EXPECT_EQ(sblib_standin::TakeCensus().handles, 0u);
    DaResetDeferredLocks();
  }

  // The stand-in over the image with these volume lines; volume n opened.
  void Start(const std::string& volumes) {
    config_.Install("drive " + image_ + "\n" + volumes);
    SbInitRecord init{8, 0x10};
    SbLibInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
  }
  win_vol_handler& Open(std::uint32_t number) {
    SbHandle h = 0;
    EXPECT_EQ(sbOpenVolume(number, &h), SB_OK);
    volumes_.push_back(std::make_unique<win_vol_handler>(h, number));
    win_vol_handler& v = *volumes_.back();
    v.SetLastSector(v.VolGetSize() - 1);
    return v;
  }
  // The calls of one library function in the log since `from`.
  unsigned Calls(const std::string& name, std::size_t from = 0) const {
    unsigned n = 0;
    const auto lines = config_.LogLines();
    for (std::size_t i = from; i < lines.size(); ++i) n += lines[i].rfind(name + "(", 0) == 0;
    return n;
  }
  std::size_t LogSize() const { return config_.LogLines().size(); }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  std::string image_;
  std::vector<std::unique_ptr<win_vol_handler>> volumes_;
};

TEST_F(LibraryVolumes, ReadsAndWritesEqualTheImage) {
  Start("volume 1:2048+65536 letter=E\n");
  win_vol_handler& v = Open(1);
  ASSERT_EQ(v.GetSectorCount(), 65535u);

  // The whole volume in one request: every byte the image's.
  std::vector<std::uint8_t> all(65536 * 512ull);
  const std::size_t before = LogSize();
  ASSERT_EQ(v.Io(Fdisk::kIoRead, 0, all.data(), 65536).Code(), 0u);
  EXPECT_EQ(Calls("sbReadVolume", before), 1u);
  WriteFile(dir_.File("read.bin"), all);
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 2048, 65536, dir_.File("read.bin")));

  std::vector<std::uint8_t> more((Da::kMaxSectorsPerTransfer + 1) * 512ull);
  const std::size_t before2 = LogSize();
  // A request past the end fails as a whole rather than short.
  EXPECT_NE(v.OpInt(Fdisk::kIoRead, 1, more.data(), 65536).Code(), 0u);
  EXPECT_EQ(Calls("sbReadVolume", before2), 1u);

  // A write of 8 sectors at sector 100 lands at 2148 in the image.
  std::vector<std::uint8_t> pattern(8 * 512);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
  ASSERT_EQ(v.Io(Fdisk::kIoWrite, 100, pattern.data(), 8).Code(), 0u);
  WriteFile(dir_.File("pattern.bin"), pattern);
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 2148, 8, dir_.File("pattern.bin")));
  std::uint64_t counter = 0;
  EXPECT_EQ(v.VolGetWriteCounter(counter).Code(), 0u);
  EXPECT_EQ(counter, 1u);

  // Unknown operations and missing buffers never reach the library.
  const std::size_t before3 = LogSize();
  EXPECT_EQ(v.OpInt(6, 0, all.data(), 1).Code(), Da::Code::kVolumeUnknownOp);
  EXPECT_EQ(v.OpInt(Fdisk::kIoRead, 0, nullptr, 1).Code(), Da::Code::kVolumeReadNoBuffer);
  win_vol_handler empty(0, 0);
  EXPECT_EQ(empty.OpInt(Fdisk::kIoRead, 0, nullptr, 1).Code(), Da::Code::kVolumeReadNoBuffer);
  EXPECT_EQ(empty.OpInt(Fdisk::kIoRead, 0, all.data(), 1).Code(), Da::Code::kVolumeReadNotCreated);
  EXPECT_EQ(LogSize(), before3);
}

TEST_F(LibraryVolumes, LongTransfersAreSplitNotCutToTheirLow32Bits) {
  Start("volume 1:2048+65536,1:67584+8192\n");
  win_vol_handler& v = Open(1);
  const std::uint64_t n = Da::kMaxSectorsPerTransfer + 3;
  std::vector<std::uint8_t> bytes(n * 512);
  const std::size_t before = LogSize();
  ASSERT_EQ(v.Io(Fdisk::kIoRead, 0, bytes.data(), n).Code(), 0u);
  std::vector<std::string> reads;
  const auto lines = config_.LogLines();
  for (std::size_t i = before; i < lines.size(); ++i)
    if (lines[i].rfind("sbReadVolume(", 0) == 0) reads.push_back(lines[i].substr(lines[i].find(", ") + 2));
  EXPECT_EQ(reads, (std::vector<std::string>{"0, 65536) = 0", "65536, 3) = 0"}));
  // The volume spans two extents; its sector 65536 is the second one's first.
  WriteFile(dir_.File("a.bin"), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 65536 * 512));
  WriteFile(dir_.File("b.bin"), std::vector<std::uint8_t>(bytes.begin() + 65536 * 512, bytes.end()));
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 2048, 65536, dir_.File("a.bin")));
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 67584, 3, dir_.File("b.bin")));
}

TEST_F(LibraryVolumes, TheGuidIsTheUniqueIdsLastSixteenBytes) {
  Start("volume 1:2048+65536 guid=00112233-4455-6677-8899-AABBCCDDEEFF uid=20\n"
        "volume 1:2048+65536 guid=00112233-4455-6677-8899-AABBCCDDEEFF uid=16\n"
        "volume 1:2048+65536 uid=15\n"
        "volume 1:2048+65536 uid=24 uidlater=40\n"  // grows between the calls
        "volume 1:2048+65536 uid=24 uidlater=12\n");  // shrinks below a GUID
  const std::uint8_t expected[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                     0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const struct {
    std::uint32_t number;
    std::uint32_t code;
  } cases[] = {{1, 0}, {2, 0}, {3, Da::Code::kVolumeGuidLength}, {4, Da::Code::kVolumeGuidLength},
               {5, Da::Code::kVolumeGuidLength}};
  for (const auto& c : cases) {
    std::unique_ptr<Common::Guid> guid;
    EXPECT_EQ(Open(c.number).VolGetSysGuid(guid).Code(), c.code) << c.number;
    if (c.code == 0) {
      ASSERT_NE(guid, nullptr);
      EXPECT_EQ(std::memcmp(guid->bytes, expected, 16), 0) << c.number;
    } else {
      EXPECT_EQ(guid, nullptr) << c.number;
    }
  }
  std::unique_ptr<Common::Guid> guid;
  win_vol_handler empty(0, 0);
  EXPECT_EQ(empty.VolGetSysGuid(guid).Code(), Da::Code::kVolumeGuidNotCreated);
}

TEST_F(LibraryVolumes, SecondRecordReadFailuresAreReported) {
  config_.Install("drive " + image_ + "\nvolume 1:2048+65536,1:67584+8192\n"
                  "fail sbGetVolumeInfo 21 after=1\n");
  SbInitRecord init{8, 0x10};
  SbLibInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
  SbHandle h = 0;
  ASSERT_EQ(sbOpenVolume(1, &h), SB_OK);
  win_vol_handler v(h, 1);
  std::vector<DaExtent> list;
  std::uint32_t flag = 9;
  const Common::Error e = v.VolGetLocations(list, flag);
  EXPECT_EQ(e.Code(), Da::Code::kVolumeLocations2);
  EXPECT_EQ(StatusOf(e), 21u);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(flag, 0u);
}

TEST_F(LibraryVolumes, LocationsOfNoneOneAndThreeExtents) {
  Start("volume 1:2048+65536 noextents\n"
        "volume 1:2048+65536 locations\n"
        "volume 1:2048+1000,1:5000+24,1:67584+8192\n");
  const struct {
    std::uint32_t number;
    std::vector<DaExtent> extents;
    std::uint32_t flag;
  } cases[] = {
      {1, {}, 0},
      {2, {{0, 1, 2048, 65536}}, 1},
      {3, {{0, 1, 2048, 1000}, {0, 1, 5000, 24}, {0, 1, 67584, 8192}}, 0},
  };
  for (const auto& c : cases) {
    std::vector<DaExtent> list;
    std::uint32_t flag = 7;
    EXPECT_EQ(Open(c.number).VolGetLocations(list, flag).Code(), 0u);
    EXPECT_EQ(list, c.extents) << c.number;
    EXPECT_EQ(flag, c.flag) << c.number;
  }
}

TEST_F(LibraryVolumes, LetterStatusesPathAndOpenFiles) {
  Start("volume 1:2048+65536 letter=E letterpending files=C:\\pagefile.sys\n"
        "volume 1:67584+8192 files=ABCDEFG filesraw\n");
  win_vol_handler& e = Open(1);
  win_vol_handler& f = Open(2);

  // "Takes effect later" is success, and the caller sees that a status came.
  std::uint8_t seen = 0;
  EXPECT_EQ(e.VolSetLetter('G', seen).Code(), 0u);
  EXPECT_EQ(seen, 1);
  std::uint8_t letter = 0;
  e.VolGetLetter(letter);
  EXPECT_EQ(letter, 'G');
  seen = 9;
  EXPECT_EQ(f.VolSetLetter('H', seen).Code(), 0u);
  EXPECT_EQ(seen, 0);

  const char16_t* path = nullptr;
  ASSERT_EQ(e.VolGetPath(path).Code(), 0u);
  EXPECT_EQ(std::u16string(path), u"G:\\");

  std::u16string files;
  EXPECT_EQ(e.VolGetOpenFiles(files).Code(), 0u);
  EXPECT_EQ(files, u"C:\\pagefile.sys");
  // Without its terminator the text ends with the library's buffer.
  EXPECT_EQ(f.VolGetOpenFiles(files).Code(), 0u);
  EXPECT_EQ(files, u"ABCDEFG");

  win_vol_handler none(0, 0);
  EXPECT_EQ(none.VolGetOpenFiles(files).Code(), Da::VolCode::kOpenFilesNotCreated);
  EXPECT_EQ(none.VolSetLetter('K', seen).Code(), 0u);
  EXPECT_EQ(none.VolGetSize(), 0u);
}

TEST_F(LibraryVolumes, DeviceNamesAreWidenedAndBoundedByTheirField) {
  const std::string longName(300, 'n');
  Start("volume 1:2048+65536\n"
        "volume 1:67584+8192 devname=" + longName + "\n"
        "volume 1:67584+4096 devname=\\Device\\Caf\xe9\n"
        "fail sbGetVolumeInfo 21 after=6\n");  // three opens, three names
  struct Case {
    std::uint32_t number;
    std::u16string name;
  };
  const Case cases[] = {
      {1, u"\\Device\\HarddiskVolume1"},
      // 256 bytes with no terminator: the name stops with the field.
      {2, std::u16string(256, u'n')},
      // Each byte becomes one unit, with no code page between.
      {3, u"\\Device\\Caf\u00e9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    win_vol_handler& v = Open(c.number);
    const char16_t* name = nullptr;
    ASSERT_EQ(v.GetDevName(name).Code(), 0u);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), c.name);
    ASSERT_NE(v.GetSecondName(), nullptr);
    EXPECT_EQ(*v.GetSecondName(), c.name);
  }
  // The library refuses the record: the error carries its status, and the
  // name given before is gone.
  win_vol_handler& first = *volumes_.front();
  const char16_t* name = u"left over";
  const Common::Error e = first.GetDevName(name);
  EXPECT_EQ(e.Code(), Da::VolCode::kDevName);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(first.GetSecondName(), nullptr);

  win_vol_handler none(0, 0);
  EXPECT_EQ(none.GetDevName(name).Code(), Da::VolCode::kDevNameNotCreated);
}

TEST_F(LibraryVolumes, RefusedLetterAndDeleteReportTheirStatus) {
  config_.Install("drive " + image_ + "\nvolume 1:2048+65536\n"
                  "fail sbSetVolumeLetter 5\nfail sbDeleteVolume 5\n");
  SbInitRecord init{8, 0x10};
  SbLibInfo info{};
  info.size = sizeof info;
  ASSERT_EQ(sbInitLibEx(&init, &info), SB_OK);
  SbHandle h = 0;
  ASSERT_EQ(sbOpenVolume(1, &h), SB_OK);
  {
    win_vol_handler v(h, 1);
    std::uint8_t seen = 0;
    const Common::Error e = v.VolSetLetter('E', seen);
    EXPECT_EQ(e.Code(), Da::VolCode::kSetLetter);
    EXPECT_EQ(StatusOf(e), 5u);
    EXPECT_EQ(seen, 1);
    // A refused delete still forgets the handle.
    EXPECT_EQ(v.VolDelete().Code(), Da::VolCode::kDelete);
    EXPECT_EQ(v.GetLibraryHandle(), 0);
    EXPECT_EQ(v.GetDriveNumber(), 0u);
  }
  sbClose(h);
}

// The lock protocol, row by row: the volume's lock state before, the mode
// asked, whether another program holds the volume, the host's answers;
// then the result, the state after, the library calls and the host's turns.
TEST_F(LibraryVolumes, TheLockProtocolAsAStateTable) {
  struct Row {
    const char* what;
    std::uint32_t state;
    std::uint32_t mode;
    bool held;
    std::vector<std::uint32_t> answers;
    std::uint32_t code;
    std::uint32_t stateAfter;
    unsigned locks, dismounts, asked, deferred;
  };
  const Row rows[] = {
      {"free volume", 0, 1, false, {}, 0, 1, 1, 0, 0, 0},
      {"held, host gives up", 0, 1, true, {1}, Da::VolCode::kSmartLock, 0, 1, 0, 1, 0},
      {"held, host says go on", 0, 1, true, {3}, 0, 1, 1, 0, 1, 0},
      {"held, host defers", 0, 1, true, {4}, 0, 5, 1, 0, 1, 1},
      {"held, retry then give up", 0, 1, true, {5, 1}, Da::VolCode::kSmartLock, 0, 2, 0, 2, 0},
      {"held, dismount and retry", 0, 1, true, {6}, 0, 1, 2, 1, 1, 0},
      {"unknown answer", 0, 1, true, {9}, Da::VolCode::kSmartLock, 0, 1, 0, 1, 0},
      {"mode 2 never asks", 0, 2, true, {4}, Da::VolCode::kSmartLock, 0, 1, 0, 0, 0},
      {"already locked: only recorded", 2, 1, true, {}, 0, 3, 0, 0, 0, 0},
      {"temporary unlock", 0, 8, false, {}, 0, 8, 1, 0, 0, 0},
      {"temporary unlock again", 8, 8, false, {}, 0, 8, 0, 0, 0, 0},
      {"temporary unlock of a locked one", 1, 8, false, {}, Da::VolCode::kTmpUnlockLocked, 1, 0, 0,
       0, 0},
      {"temporary unlock mixed", 0, 9, false, {}, Da::VolCode::kTmpUnlockMixed, 0, 0, 0, 0, 0},
  };
  std::string volumes;
  for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
    volumes += std::string("volume 1:2048+65536") + (rows[i].held ? " held" : "") + "\n";
  Start(volumes);
  std::uint32_t number = 0;
  for (const Row& r : rows) {
    ++number;
    win_vol_handler& v = Open(number);
    v.flags = r.state;
    g_answers = r.answers;
    g_asked = 0;
    DaResetDeferredLocks();
    const std::size_t before = LogSize();
    const Common::Error e = v.SmartLock(r.mode, 7, false);
    EXPECT_EQ(e.Code(), r.code) << r.what;
    EXPECT_EQ(v.flags, r.stateAfter) << r.what;
    EXPECT_EQ(Calls("sbLockVolume", before), r.locks) << r.what;
    EXPECT_EQ(Calls("sbDismountVolume", before), r.dismounts) << r.what;
    EXPECT_EQ(g_asked, r.asked) << r.what;
    EXPECT_EQ(DaDeferredLockCount(), r.deferred) << r.what;
    if (r.code == Da::VolCode::kSmartLock) {
      EXPECT_TRUE(Da::ChainHasCode(e, Da::VolCode::kLockFull)) << r.what;
    }
  }
}

TEST_F(LibraryVolumes, DeferredLocksAreCountedAndGivenBackWithoutTheLibrary) {
  Start("volume 1:2048+65536 held\nvolume 1:67584+8192 held files=X:\\open.txt\n");
  win_vol_handler& a = Open(1);
  win_vol_handler& b = Open(2);
  g_answers = {4};
  ASSERT_EQ(a.SmartLock(1, 1, false).Code(), 0u);
  EXPECT_EQ(a.flags, 5u);
  EXPECT_EQ(DaDeferredLockCount(), 1u);
  // While one lock is deferred, the next failing one is deferred unasked.
  g_asked = 0;
  ASSERT_EQ(b.SmartLock(1, 2, false).Code(), 0u);
  EXPECT_EQ(g_asked, 0u);
  EXPECT_EQ(b.flags, 5u);
  EXPECT_EQ(DaDeferredLockCount(), 2u);
  EXPECT_FALSE(IsVolumeLocked(&a));

  // Giving a deferred lock back lowers the count and calls nothing.
  const std::size_t before = LogSize();
  EXPECT_EQ(a.SmartUnlock(1).Code(), 0u);
  EXPECT_EQ(DaDeferredLockCount(), 1u);
  EXPECT_EQ(b.SmartUnlock(7).Code(), 0u);
  EXPECT_EQ(DaDeferredLockCount(), 0u);
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(Calls("sbUnlockVolume", before), 0u);
  EXPECT_EQ(Calls("sbLockVolume", before), 0u);

  // A real lock is given back through the library once its last bit goes;
  // the host was shown the volume's open files.
  g_answers = {1};
  EXPECT_NE(b.SmartLock(1, 2, false).Code(), 0u);
  EXPECT_EQ(g_shownFiles, u"X:\\open.txt");
}

TEST_F(LibraryVolumes, AFullLockIsGivenBackThroughTheLibraryOnce) {
  Start("volume 1:2048+65536\n");
  win_vol_handler& v = Open(1);
  ASSERT_EQ(v.SmartLock(1, 0, true).Code(), 0u);
  EXPECT_TRUE(IsVolumeLocked(&v));
  EXPECT_EQ(sblib_standin::TakeCensus().locks, 1u);
  const std::size_t before = LogSize();
  ASSERT_EQ(v.SmartLock(2, 0, true).Code(), 0u);  // recorded only
  EXPECT_EQ(v.SmartUnlock(1).Code(), 0u);          // mode 2 still held
  EXPECT_EQ(Calls("sbUnlockVolume", before), 0u);
  EXPECT_EQ(v.SmartUnlock(2).Code(), 0u);
  EXPECT_EQ(Calls("sbUnlockVolume", before), 1u);
  EXPECT_EQ(sblib_standin::TakeCensus().locks, 0u);
  EXPECT_EQ(v.flags, 0u);
}

TEST_F(LibraryVolumes, NoLockCallOnTheSystemVolume) {
  Start("volume 1:2048+65536 flags=2\n");
  win_vol_handler& v = Open(1);
  const std::size_t before = LogSize();
  EXPECT_EQ(v.VolLockFull().Code(), Da::VolCode::kLockSystem);
  g_answers = {1};
  const Common::Error e = v.SmartLock(1, 0, false);
  EXPECT_EQ(e.Code(), Da::VolCode::kSmartLock);
  EXPECT_TRUE(Da::ChainHasCode(e, Da::VolCode::kLockSystem));
  EXPECT_EQ(g_shownFlags & SB_VOLUME_FLAG_SYSTEM, SB_VOLUME_FLAG_SYSTEM);
  EXPECT_EQ(Calls("sbLockVolume", before), 0u);
  // The lock for writing is the library's to refuse.
  EXPECT_EQ(v.VolLockFast().Code(), 0u);
  EXPECT_EQ(Calls("sbLockVolume", before), 1u);
  EXPECT_EQ(v.VolUnlock().Code(), 0u);
}

TEST_F(LibraryVolumes, CreateExtendAndDeleteThroughTheLibrary) {
  // The drive opened as the layer opens it, for its library handle.
  config_.Install("drive " + image_ + "\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  stddisk* disk = computer->FirstDisk();
  ASSERT_NE(disk, nullptr);
  std::shared_ptr<vol_handler> v = computer->NewVolumeHandler();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetLibraryHandle(), 0);
  ASSERT_EQ(v->VolCreateOnDisk(disk, 67584, 8192, 'K').Code(), 0u);
  EXPECT_NE(v->GetLibraryHandle(), 0);
  EXPECT_EQ(v->GetStartSector(), 67584u);
  EXPECT_EQ(v->GetSectorCount(), 8191u);
  EXPECT_EQ(v->GetDiskId(), disk->GetDiskId());
  EXPECT_EQ(v->VolExtend(9000).Code(), 0u);
  EXPECT_EQ(v->GetSectorCount(), 8999u);
  EXPECT_EQ(v->VolGetSize(), 9000u);

  // What was written through the new volume is in the image at its place.
  std::vector<std::uint8_t> data(512, 0x5A);
  ASSERT_EQ(v->Io(Fdisk::kIoWrite, 8999, data.data(), 1).Code(), 0u);
  WriteFile(dir_.File("one.bin"), data);
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 67584 + 8999, 1, dir_.File("one.bin")));
  EXPECT_EQ(v->VolDelete().Code(), 0u);
  EXPECT_EQ(v->GetLibraryHandle(), 0);
  v.reset();
  DaDone();

  // Without a disk nothing is asked of the library.
  win_vol_handler lone(0, 0);
  EXPECT_EQ(lone.VolCreateOnDisk(nullptr, 0, 10, 0).Code(), Da::VolCode::kCreateNoDisk);
  EXPECT_EQ(lone.created, 1);
}

TEST_F(LibraryVolumes, DriveTransfersAreSplitToo) {
  config_.Install("drive " + image_ + "\n");
  DaInit(0x1C11);
  ASSERT_NE(DaLocalComputer(), nullptr);
  stddisk* disk = DaLocalComputer()->FirstDisk();
  ASSERT_NE(disk, nullptr);
  const std::uint64_t n = Da::kMaxSectorsPerTransfer + 5;
  std::vector<std::uint8_t> bytes(n * 512);
  const std::size_t before = LogSize();
  ASSERT_EQ(disk->Io(Fdisk::kIoRead, 2048, bytes.data(), n).Code(), 0u);
  std::vector<std::string> reads;
  const auto lines = config_.LogLines();
  for (std::size_t i = before; i < lines.size(); ++i)
    if (lines[i].rfind("sbReadDrive(", 0) == 0) reads.push_back(lines[i].substr(lines[i].find(", ") + 2));
  EXPECT_EQ(reads, (std::vector<std::string>{"2048, 65536) = 0", "67584, 5) = 0"}));
  WriteFile(dir_.File("drive.bin"), bytes);
  EXPECT_TRUE(ImageRangeEquals(dir_, image_, 2048, n, dir_.File("drive.bin")));
  DaDone();
}

// The holders' requests reach the library through the volume handlers: a
// letter given to a mapped partition is the library's letter call, and the
// handler knows its partition's id.
TEST_F(LibraryVolumes, HoldersGiveLettersThroughTheirVolumes) {
  config_.Install("drive " + image_ + "\nvolume 1:2048+65536 letter=E\n");
  DaInit(0x1C11);
  ASSERT_NE(DaLocalComputer(), nullptr);
  stddisk* disk = DaLocalComputer()->FirstDisk();
  ASSERT_NE(disk, nullptr);
  holder* part = nullptr;
  for (holder* h = disk->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && h->start == 2048) part = h;
  ASSERT_NE(part, nullptr);
  vol_handler* v = part->GetVolumeHandler();
  ASSERT_NE(v, nullptr);
  ASSERT_NE(v->GetLibraryHandle(), 0);
  EXPECT_EQ(v->GetUserValue(), static_cast<std::uint32_t>(part->GetId()));
  const std::size_t before = LogSize();
  part->ChangeLetter('G', true);
  const auto lines = config_.LogLines();
  bool given = false;
  for (std::size_t i = before; i < lines.size(); ++i)
    given = given || lines[i] == "sbSetVolumeLetter(" + std::to_string(v->GetLibraryHandle()) +
                                     ", 71) = 0";
  EXPECT_TRUE(given);
  std::uint8_t letter = 0;
  v->VolGetLetter(letter);
  EXPECT_EQ(letter, 'G');
  DaDone();
}

// Reads through a handler that forwards to the layer's disk equal the
// image's bytes at each partition's offset, as sfdisk and sgdisk place them.
class ForwardedReads : public ::testing::Test {
 protected:
  void TearDown() override {
    if (DaIsInitialised()) DaDone();
  }

  // Every partition's (start, size) as the tool reports it, read through a
  // forwarding handler and compared with cmp.
  void CheckPartitions(const std::string& image,
                       const std::vector<std::pair<std::uint64_t, std::uint64_t>>& parts) {
    config_.Install("drive " + image + "\n");
    DaInit(0x1C11);
    ASSERT_NE(DaLocalComputer(), nullptr);
    stddisk* disk = DaLocalComputer()->FirstDisk();
    ASSERT_NE(disk, nullptr);
    for (const auto& [start, size] : parts) {
      HookedVolHandler v;
      ASSERT_EQ(v.VolCreateOnDisk(disk, start, size, 0).Code(), 0u);
      std::vector<std::uint8_t> bytes(size * 512);
      ASSERT_EQ(v.Io(Fdisk::kIoRead, 0, bytes.data(), size).Code(), 0u);
      WriteFile(dir_.File("part.bin"), bytes);
      EXPECT_TRUE(ImageRangeEquals(dir_, image, start, size, dir_.File("part.bin"))) << start;
    }
    DaDone();
  }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
};

TEST_F(ForwardedReads, OverAnSfdiskImage) {
  const std::string image = dir_.File("mbr.img");
  DaTest::FillWithUnitNumbers(image, 16ull << 20);
  std::ofstream(dir_.File("mbr.sfdisk"))
      << "label: dos\nstart=2048, size=4096, type=7\nstart=8192, size=4096, type=5\n"
         "start=10240, size=1024, type=83\n";
  ASSERT_TRUE(DaTest::Run("sfdisk --no-reread --no-tell-kernel " + image + " < " +
                          dir_.File("mbr.sfdisk")));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
  const std::string dump = DiskTest::RunCommand("sfdisk -d " + image);
  const std::regex line(R"(start=\s*(\d+), size=\s*(\d+), type=(\w+))");
  for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it)
    if ((*it)[3] != "5") parts.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
  ASSERT_EQ(parts.size(), 2u) << dump;  // the logical one inside the container too
  CheckPartitions(image, parts);
}

TEST_F(ForwardedReads, OverAnSgdiskImage) {
  const std::string image = dir_.File("gpt.img");
  DaTest::FillWithUnitNumbers(image, 16ull << 20);
  ASSERT_TRUE(DaTest::Run("sgdisk -o -n 1:2048:+1M -t 1:0C01 -n 2:0:+3M -t 2:0700 -n 3:0:+2M "
                          "-t 3:8300 " + image));
  std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
  for (int n = 1; n <= 3; ++n) {
    const std::string info = DiskTest::RunCommand("sgdisk -i " + std::to_string(n) + " " + image);
    std::smatch first, last;
    ASSERT_TRUE(std::regex_search(info, first, std::regex(R"(First sector: (\d+))"))) << info;
    ASSERT_TRUE(std::regex_search(info, last, std::regex(R"(Last sector: (\d+))"))) << info;
    const std::uint64_t a = std::stoull(first[1]), b = std::stoull(last[1]);
    parts.emplace_back(a, b - a + 1);
  }
  CheckPartitions(image, parts);
}

}  // namespace
