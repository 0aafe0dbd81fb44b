// The driver base: the last release and the mount registry, control
// requests, the option bits at destruction, the substitute device.
#include <gtest/gtest.h>

#include <memory>

#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/driver.h"
#include "image_volume.h"

namespace {

using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;

using fstest::CodeOf;
class WatchedDriver : public FakeDriver {
 public:
  WatchedDriver(Fdisk::SimpleDisk* device, bool* deleted)
      : FakeDriver(device, 0, 64, 0x8001), deleted_(deleted) {}
  ~WatchedDriver() override { *deleted_ = true; }

 private:
  bool* deleted_;
};

TEST(Driver, TheLastReleaseAndTheMountRegistry) {
  ImageVolume device(64, 512);
  struct Case {
    const char* what;
    std::uint32_t key;
    bool registered;
    bool deleted;
  } cases[] = {
      {"no key", 0, false, true},
      {"key and entry", 0x4242, true, true},
      {"key without entry", 0x4343, false, false},
  };
  for (auto& c : cases) {
    bool deleted = false;
    auto* driver = new WatchedDriver(&device, &deleted);
    if (c.registered)
      filesystems::RegisterMount(c.key, driver);
    else
      driver->mountKey = c.key;
    driver->AddUse();
    driver->AddUse();
    driver->Release();
    EXPECT_FALSE(deleted) << c.what;
    driver->Release();
    EXPECT_EQ(deleted, c.deleted) << c.what;
    EXPECT_EQ(filesystems::FindMount(c.key), nullptr) << c.what;
    if (!deleted) delete driver;
  }
}

TEST(Driver, ControlRequests) {
  ImageVolume device(64, 512);
  FakeDriver driver(&device, 0, 64, 0x8002);
  filesystems::gfst_request name;
  std::fill(std::begin(name.name), std::end(name.name), u'#');
  driver.Control(&name);
  EXPECT_EQ(std::u16string(name.name), u"FakeFS");
  EXPECT_EQ(name.name[6], 0);
  EXPECT_EQ(name.name[7], u'#');
  filesystems::gsyp_mount_request key;
  driver.mountKey = 77;
  driver.Control(&key);
  EXPECT_EQ(key.mountKey, 77u);
  driver.mountKey = 0;
  control_request unknown{ControlCode('Q', 'Q', 'Q', 'Q')};
  EXPECT_EQ(CodeOf([&] { driver.Control(&unknown); }), kFileNotSupported);
  driver.nodes[driver.AddNode(0, u"f", 0)].data = {1};
  std::unique_ptr<FileSystemDriver::FileObject> file(
      driver.GetDirectoryObject(0)->OpenFile(u"f"));
  EXPECT_EQ(CodeOf([&] { file->Control(&unknown); }), kFileNotSupported);
  // "DMNT" writes pending changes.
  {
    filesystems::BlockHandle h = driver.GetBlocks(5, 1, false);
    h.PrepareWrite();
    h.Data()[0] = 0x66;
    h.MarkDirty();
  }
  control_request unmount{kControlDMNT};
  driver.Control(&unmount);
  EXPECT_EQ(device.Peek(5, 1)[0], 0x66);
}

TEST(Driver, OptionBitsAtDestruction) {
  struct Case {
    std::uint32_t options;
    bool write;
    std::uint32_t unlocks, notices;
  } cases[] = {{0, true, 0, 0},
               {FileSystemDriver::kUnlockAtDestruction, false, 1, 0},
               {FileSystemDriver::kNotifyChangedArea, false, 0, 0},
               {FileSystemDriver::kNotifyChangedArea, true, 0, 1}};
  for (auto& c : cases) {
    ImageVolume device(64, 512);
    {
      FakeDriver driver(&device, 0, 64, 0x8003);
      driver.options = c.options;
      if (c.write) {
        filesystems::BlockHandle h = driver.GetBlocks(0, 1, false);
        h.PrepareWrite();
      }
    }
    EXPECT_EQ(device.unlockCalls, c.unlocks);
    EXPECT_EQ(device.changedAreaCalls, c.notices);
  }
  // The device itself goes with the driver under option 0x2.
  auto* owned = new ImageVolume(64, 512);
  {
    FakeDriver driver(owned, 0, 64, 0x8004);
    driver.options = FileSystemDriver::kDeleteDeviceAtDestruction;
  }
  SUCCEED();  // AddressSanitizer reports a leak or a double free otherwise
}

class PendingVolume : public ImageVolume {
 public:
  using ImageVolume::ImageVolume;
  Common::Error PendingError() override { return pending; }
  Common::Error pending;
};

TEST(Driver, TheFirstWriteRestoresTheBaseDeviceUnlessTheSubstituteHoldsAnError) {
  ImageVolume base(64, 512);
  FakeDriver driver(&base, 0, 64, 0x8005);
  auto* substitute = new PendingVolume(64, 512);
  substitute->pending = Common::Error(1, 2, 0x123);
  driver.InstallSubstituteDevice(substitute);
  filesystems::BlockHandle h = driver.GetBlocks(3, 1, false);
  EXPECT_EQ(base.GetCounters().reads, 0u);  // reads went to the substitute
  EXPECT_EQ(CodeOf([&] { h.PrepareWrite(); }), kFileWriteError);
  EXPECT_EQ(driver.Device(), substitute);
  substitute->pending.Reset();
  h.PrepareWrite();
  EXPECT_EQ(driver.Device(), &base);
  EXPECT_EQ(base.GetCounters().writes, 1u);
}

}  // namespace
