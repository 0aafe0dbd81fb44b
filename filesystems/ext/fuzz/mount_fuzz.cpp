// Mounting a small volume whose bytes are the input, then walking its
// tree, reading its files and producing their backup streams: the
// superblock and descriptor checks, inodes, classic maps and extent trees,
// directory entries, symbolic links and extended attributes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fdisk/simple_disk.h"
#include "filesystems/ext_backup.h"
#include "filesystems/ext_directory.h"
#include "filesystems/ext_driver.h"
#include "input_volume.h"

namespace {

constexpr std::uint64_t kVolumeSectors = 2048;

using filesystems::FileSystemDriver;

void Walk(FileSystemDriver* driver, std::uint32_t id, int depth, int& budget) {
  if (depth > 4 || budget <= 0) return;
  FileSystemDriver::DirectoryObject* directory = driver->GetDirectoryObject(id);
  directory->AddUse();
  try {
    std::unique_ptr<FileSystemDriver::IteratorObject> it(directory->OpenIterator());
    for (bool more = it != nullptr; more && --budget > 0; more = it->Next()) {
      const std::u16string name = it->GetName();
      try {
        // The entry's backup stream, a bounded number of chunks.
        std::unique_ptr<FileSystemDriver::BackupObject> backup(
            directory->CreateBackupObject(it.get(), 0));
        std::vector<std::uint8_t> chunk;
        for (int n = 0; n < 6 && backup->itemKind != 0; ++n) {
          chunk.resize(backup->wantedSize);
          backup->ProduceChunk(chunk.data(), backup->wantedSize);
        }
      } catch (const Common::Error&) {
      }
      try {
        if (it->GetObjectType() == 128) {
          Walk(driver, directory->GetChildDirectoryId(name), depth + 1, budget);
        } else if (it->GetObjectType() == 0) {
          FileSystemDriver::FileObject* file = directory->OpenFile(name);
          struct Open {
            FileSystemDriver::FileObject* f;
            ~Open() {
              if (--f->openCount == 0) delete f;
            }
          } open{file};
          ++file->openCount;
          std::vector<std::uint8_t> buffer(4096);
          std::uint32_t done = 0;
          for (std::uint64_t offset = 0; offset < 16384; offset += buffer.size()) {
            file->Read(buffer.data(), offset, std::uint32_t(buffer.size()), done);
            if (done == 0) break;
          }
        }
      } catch (const Common::Error&) {
      }
    }
  } catch (const Common::Error&) {
  }
  directory->DropUse();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2048 || size > 512 * 1024) return 0;
  fstest::InputVolume device(data, size, kVolumeSectors);
  FileSystemDriver* driver = filesystems::extfs::OpenExtVolume(
      &device, 0, kVolumeSectors, 0xF0F1, nullptr, 0);
  if (!driver) return 0;
  try {
    std::uint64_t total = 0, free = 0, available = 0;
    driver->GetVolumeSizes(total, free, available);
    char16_t label[17];
    driver->GetVolumeLabel(label, 17);
    int budget = 64;
    Walk(driver, 0, 0, budget);
  } catch (const Common::Error&) {
  }
  delete driver;
  return 0;
}
