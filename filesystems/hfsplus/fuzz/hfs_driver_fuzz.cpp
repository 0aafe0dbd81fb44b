// Mounting a whole small HFS+ volume through the driver's probe and using
// its trees: the input is the volume's first bytes and its last kilobyte
// (the alternate header); the rest reads as zeros. The folders are listed
// from the catalog (with every entry's properties, symbolic-link targets,
// attributes and overflow extents), then a folder is made, a symbolic link
// made in it, moved and deleted, the folder removed, a file linked and both
// its names deleted, and the volume is unmounted. Writes land in memory, so later reads see them.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fdisk/simple_disk.h"
#include "hfs_fuzz_volume.h"
#include "filesystems/factory.h"
#include "filesystems/hfs_driver.h"

namespace {

using hfsfuzz::kVolumeSectors;

class MemoryVolume : public hfsfuzz::MemoryVolume {
 public:
  MemoryVolume(const std::uint8_t* data, std::size_t size)
      : hfsfuzz::MemoryVolume(data, size, 0x7A14F002) {}
};

using Driver = filesystems::FileSystemDriver;

// Lists a folder and, a few levels down, its subfolders; touches what the
// trees hold for each entry.
void Walk(filesystems::hfsplus::HFSPlusDriver* driver, std::uint32_t id, int depth,
          std::size_t& budget) {
  if (depth > 4 || budget == 0) return;
  std::unique_ptr<Driver::IteratorObject> it(driver->GetDirectoryObject(id)->OpenIterator());
  if (!it) return;
  std::vector<std::uint32_t> folders;
  filesystems::hfsplus::Metadata& m = driver->GetMetadata();
  do {
    if (budget-- == 0) break;
    it->GetName();
    it->GetSize();
    it->GetAllocatedSize();
    it->GetModificationTime();
    it->GetDataPosition();
    it->GetMode();
    it->GetLinkCount();
    if (it->GetObjectType() == 5) it->GetSymlinkTarget();
    const std::uint32_t entry = std::uint32_t(it->GetEntryId());
    if (m.HasAttributes()) {
      for (const auto& a : m.Attributes().ListAttributes(entry)) {
        if (a.type == filesystems::hfsplus::kInlineDataRecord) {
          m.Attributes().ReadInlineData(entry, a.name);
        } else if (a.type == filesystems::hfsplus::kForkDataRecord) {
          m.Attributes().ForkExtents(entry, a.name, nullptr);
        }
      }
    }
    filesystems::hfsplus::ExtentList more(m.GetVolume().Primary().TotalBlocks());
    m.Extents().CollectExtents(entry, 0, 0, more);
    if (it->GetObjectType() == 128) folders.push_back(entry);
  } while (it->Next());
  for (std::uint32_t f : folders) Walk(driver, f, depth + 1, budget);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > 512 * 1024) return 0;
  MemoryVolume device(data, size);
  Driver* driver = filesystems::OpenHFSPlusDriver(&device, 0, kVolumeSectors, 0xF1F3, nullptr, 0);
  if (!driver) return 0;
  driver->AddUse();
  auto* hfs = static_cast<filesystems::hfsplus::HFSPlusDriver*>(driver);
  try {
    std::size_t budget = 2000;
    Walk(hfs, 0, 0, budget);
    Driver::DirectoryObject* root = driver->GetDirectoryObject(0);
    root->CreateDirectory(u"fuzz folder");
    root->CreateSymlink(u"fuzz link", u"fuzz folder");
    root->MoveEntry(u"fuzz link", driver->GetDirectoryObject(root->GetChildDirectoryId(u"fuzz folder")),
                    u"moved");
    driver->GetDirectoryObject(root->GetChildDirectoryId(u"fuzz folder"))->DeleteFile(u"moved");
    root->RemoveDirectory(u"fuzz folder");
    std::unique_ptr<Driver::IteratorObject> it(root->OpenIterator());
    for (int i = 0; it && i < 50; ++i) {
      if (it->GetObjectType() == 0) {
        const std::u16string name = it->GetName();
        it.reset();
        root->CreateHardLink(u"fuzz hard link", root, name);
        root->DeleteFile(name);
        root->DeleteFile(u"fuzz hard link");
        break;
      }
      if (!it->Next()) break;
    }
    driver->Flush();
  } catch (const Common::Error&) {
  }
  driver->Release();
  return 0;
}
