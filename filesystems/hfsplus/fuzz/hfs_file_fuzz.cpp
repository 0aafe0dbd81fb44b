// Files and backups of a whole small HFS+ volume mounted through the
// driver's probe: the input is the volume's first bytes and its last
// kilobyte (the alternate header); the rest reads as zeros. Every folder
// is walked a few levels down; every file is opened and read whole in
// uneven pieces, its symbolic-link target read, and every entry turned
// into a backup stream, each chunk checked against the size asked for.
// Then one file is written past its end, truncated and closed, and the
// volume unmounted. Writes land in memory, so later reads see them.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fdisk/simple_disk.h"
#include "hfs_fuzz_volume.h"
#include "filesystems/factory.h"
#include "filesystems/hfs_backup.h"
#include "filesystems/hfs_driver.h"
#include "filesystems/hfs_file.h"

namespace {

using hfsfuzz::kVolumeSectors;

class MemoryVolume : public hfsfuzz::MemoryVolume {
 public:
  MemoryVolume(const std::uint8_t* data, std::size_t size)
      : hfsfuzz::MemoryVolume(data, size, 0x7A15F002) {}
};

using Driver = filesystems::FileSystemDriver;
namespace hfs = filesystems::hfsplus;

// Runs a backup object to its end; a chunk past the size asked for, or a
// producer that neither ends nor gives bytes, is a finding.
void Drain(Driver::BackupObject* backup) {
  std::unique_ptr<Driver::BackupObject> owned(backup);
  if (!owned) return;
  std::vector<std::uint8_t> buffer;
  for (int chunks = 0; owned->itemKind != 0; ++chunks) {
    if (chunks > 100000) std::abort();
    const std::uint32_t kind = owned->itemKind;
    const std::uint32_t wanted = owned->wantedSize;
    if (wanted > 0x10000) std::abort();
    buffer.assign(wanted + 1, 0);
    const std::uint32_t n = owned->ProduceChunk(buffer.data(), wanted);
    if (n > wanted) std::abort();
    if (n == 0 && owned->itemKind == kind) std::abort();
  }
}

void Visit(hfs::HFSPlusDriver* driver, Driver::DirectoryObject* folder, const std::u16string& name,
           std::uint32_t type, std::uint32_t id) {
  try {
    Drain(hfs::HFSPlusBackupObjectFactory(driver).Create(id, type == 0 ? 0 : hfs::kBackupSkipData));
  } catch (const Common::Error&) {
  }
  if (type >= 128) return;
  try {
    if (type == 5) {
      hfs::CatalogEntry e = driver->GetMetadata().Catalog().GetRecordById(id);
      hfs::ReadSymlinkTarget(driver, e.record.data());
    }
    std::unique_ptr<Driver::FileObject> file(folder->OpenFile(name));
    const std::uint64_t size = file->GetSize();
    std::vector<std::uint8_t> buffer(7000);
    std::uint64_t at = 0;
    for (int step = 0; at < size && step < 64; ++step) {
      std::uint32_t done = 0;
      file->Read(buffer.data() + (step & 7), at, 6000 - 37 * step, done);
      if (done > 6000u - 37u * step) std::abort();
      if (done == 0) break;
      at += done;
    }
    std::unique_ptr<Driver::BackupObject> backup(file->CreateBackupObject(0));
    Drain(backup.release());
  } catch (const Common::Error&) {
  }
}

void Walk(hfs::HFSPlusDriver* driver, std::uint32_t directory, int depth, std::size_t& budget,
          std::u16string& writable) {
  if (depth > 3 || budget == 0) return;
  Driver::DirectoryObject* folder = driver->GetDirectoryObject(directory);
  std::unique_ptr<Driver::IteratorObject> it(folder->OpenIterator());
  if (!it) return;
  struct Entry {
    std::u16string name;
    std::uint32_t type, id;
  };
  std::vector<Entry> entries;
  do {
    if (budget-- == 0) break;
    entries.push_back({it->GetName(), it->GetObjectType(), std::uint32_t(it->GetEntryId())});
  } while (it->Next());
  it.reset();
  folder->AddUse();
  for (const Entry& e : entries) {
    Visit(driver, folder, e.name, e.type, e.id);
    if (e.type == 0 && directory == 0 && writable.empty()) writable = e.name;
  }
  folder->DropUse();
  for (const Entry& e : entries) {
    if (e.type >= 128) Walk(driver, e.id, depth + 1, budget, writable);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > 512 * 1024) return 0;
  MemoryVolume device(data, size);
  Driver* driver = filesystems::OpenHFSPlusDriver(&device, 0, kVolumeSectors, 0xF1F4, nullptr, 0);
  if (!driver) return 0;
  driver->AddUse();
  auto* hfs = static_cast<hfs::HFSPlusDriver*>(driver);
  try {
    std::size_t budget = 300;
    std::u16string writable;
    Walk(hfs, 0, 0, budget, writable);
    if (!writable.empty()) {
      Driver::DirectoryObject* root = driver->GetDirectoryObject(0);
      std::unique_ptr<Driver::FileObject> file(root->OpenFile(writable));
      const std::uint64_t end = file->GetSize();
      const char bytes[] = "written by the fuzz harness";
      std::uint32_t done = 0;
      file->Write(bytes, end + 3000, sizeof bytes, done);
      file->SetSize(end / 2);
      file->Flush();
    }
    driver->Flush();
  } catch (const Common::Error&) {
  }
  driver->Release();
  return 0;
}
