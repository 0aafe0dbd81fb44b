// Item streams of any shape through the restore pump and back out through
// the backup pump. The input is a list of items: a kind byte, a 16-bit
// little-endian length and that many bytes (cut short at the end).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_driver.h"
#include "filesystems/backup.h"
#include "foundation/byteorder.h"
#include "image_volume.h"
#include "memory_streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<fstest::RecordedItem> items;
  std::size_t at = 0;
  while (at < size && items.size() < 64) {
    std::uint32_t kind = data[at] % 9;
    std::size_t length = at + 3 <= size ? Common::LoadLe16(data + at + 1) : 0;
    at += 3;
    if (at > size) at = size;
    if (length > size - at) length = size - at;
    items.push_back({kind, std::vector<std::uint8_t>(data + at, data + at + length)});
    at += length;
  }
  fstest::ImageVolume device(64, 512);
  fstest::FakeDriver driver(&device, 0, 64, 0xF022);
  driver.AddUse();
  Common::CriticalSectionLock lock(&driver.ObjectLock());
  auto* root = driver.GetDirectoryObject(0);
  fstest::MemoryItemProvider provider(items);
  filesystems::RestoreSource source{&provider, nullptr, 0};
  try {
    filesystems::RestoreEntry(driver, root, u"x", source);
    fstest::MemoryStreamFactory factory;
    filesystems::BackupTarget target{&factory, nullptr, 0};
    std::unique_ptr<filesystems::FileSystemDriver::IteratorObject> entry(
        root->OpenIteratorFor(u"x"));
    filesystems::BackupEntry(driver, root, entry.get(), target);
  } catch (Common::Error&) {
  }
  if (root->Uses() != 0) __builtin_trap();
  driver.DropUse();
  return 0;
}
