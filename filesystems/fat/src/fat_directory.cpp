// FAT directories: lookups by 8.3 or long name, entry sets with long-name
// entries and generated 8.3 names, deletion, renaming and moving, growth by
// whole zeroed clusters.
#include <algorithm>
#include <cstring>

#include "fat_objects.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/fat_entries.h"
#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kFatDirectoryModuleId;
// A directory larger than this many bytes is damage: no tool makes one.
constexpr std::uint64_t kMaxDirectoryBytes =
    std::uint64_t(FATDriver::FATDirectory::kMaxEntries) * 32;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

const the_identifier* BytesOf(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  if (!general || !general->bytes() || general->byte_count() < 11) return nullptr;
  return general;
}

}  // namespace

FATDriver::FATDirectory::FATDirectory(FATDriver* driver, std::uint32_t directoryId)
    : DirectoryObject(driver, directoryId), fat_(driver), tailSeed_(directoryId * 2654435761u + 1) {
  const std::uint32_t sectorSize = driver->SectorSize();
  if (directoryId == 0 && driver->RootCluster() == 0) {
    const std::uint32_t sectors = driver->RootDirectorySectors();
    blocks_.push_back(
        driver->GetBlocks(driver->FirstDataSector() - sectors, sectors, false));
    perBlock_ = sectors * (sectorSize / 32);
    entryCount_ = perBlock_;
    return;
  }
  const std::uint32_t start = directoryId == 0 ? driver->RootCluster() : directoryId;
  if (!driver->IsDataCluster(start)) Fail(0x01, kFileCorrupted);
  const std::uint32_t clusterBytes = driver->SectorsPerCluster() * sectorSize;
  perBlock_ = clusterBytes / 32;
  const std::vector<ClusterRun> runs = driver->ReadChain(start);
  std::uint64_t clusters = 0;
  for (const ClusterRun& run : runs) clusters += run.end - run.first;
  if (clusters == 0 || clusters * clusterBytes > std::max<std::uint64_t>(kMaxDirectoryBytes, clusterBytes))
    Fail(0x02, kFileCorrupted);
  blocks_.reserve(std::size_t(clusters));
  for (const ClusterRun& run : runs)
    for (std::uint32_t c = run.first; c < run.end; ++c)
      blocks_.push_back(
          driver->GetBlocks(driver->ClusterToSector(c), driver->SectorsPerCluster(), false));
  entryCount_ = std::uint32_t(clusters) * perBlock_;
  lastCluster_ = runs.back().end - 1;
  if (directoryId != 0 &&
      (entryCount_ < 2 ||
       !fatentry::HasDotEntries(Entry(0), Entry(1), directoryId,
                                driver->Type() == FatType::kFat32)))
    Fail(0x03, kFileCorrupted);
}

FATDriver::FATDirectory::~FATDirectory() {
  blocks_.clear();
  openFiles_.clear();
}

std::uint8_t* FATDriver::FATDirectory::WritableEntry(std::uint32_t i) {
  BlockHandle& block = blocks_[i / perBlock_];
  block.PrepareWrite();
  block.MarkDirty();
  return Entry(i);
}

std::uint64_t FATDriver::FATDirectory::EntryPosition(std::uint32_t i) const noexcept {
  return blocks_[i / perBlock_].FirstSector() * fat_->SectorSize() +
         std::uint64_t(i % perBlock_) * 32;
}

bool FATDriver::FATDirectory::IsLive(std::uint32_t i) const noexcept {
  return fatentry::IsLiveEntry(Entry(i), fat_->Type() == FatType::kFat32, fat_->EntryFilter(),
                               fat_->EntryFilterBits());
}

std::uint32_t FATDriver::FATDirectory::NextLive(std::uint32_t i) const noexcept {
  for (; i < entryCount_; ++i) {
    const std::uint8_t* entry = Entry(i);
    if (entry[0] == fatentry::kEndOfEntries) break;
    if (IsLive(i)) return i;
  }
  return kNoIndex;
}

std::uint32_t FATDriver::FATDirectory::ReadLongName(std::uint32_t i,
                                                    std::u16string& name) const {
  return fatentry::ReadLongName([this](std::uint32_t k) { return Entry(k); }, i, name);
}

std::uint32_t FATDriver::FATDirectory::FirstClusterOf(std::uint32_t i) const noexcept {
  return fatentry::FirstCluster(Entry(i), fat_->Type() == FatType::kFat32);
}

void FATDriver::FATDirectory::SetFirstCluster(std::uint32_t i, std::uint32_t cluster) {
  std::uint8_t* entry = WritableEntry(i);
  Common::StoreLe16(entry + 20, std::uint16_t(cluster >> 16));
  Common::StoreLe16(entry + 26, std::uint16_t(cluster));
}

std::uint32_t FATDriver::FATDirectory::FindShortName(const std::uint8_t* name11) const {
  for (std::uint32_t i = NextLive(0); i != kNoIndex; i = NextLive(i + 1))
    if (std::memcmp(Entry(i), name11, 11) == 0) return i;
  Fail(0x10, kFileNotFound);
}

std::uint32_t FATDriver::FATDirectory::FindEntry(const std::u16string& name) const {
  std::uint8_t name11[11];
  if (fatname::ToExactShortName(name, name11)) {
    for (std::uint32_t i = NextLive(0); i != kNoIndex; i = NextLive(i + 1))
      if (std::memcmp(Entry(i), name11, 11) == 0) return i;
  }
  std::u16string wanted = name;
  fat_->NormalizeNameCase(wanted);
  std::u16string longName;
  for (std::uint32_t i = NextLive(0); i != kNoIndex; i = NextLive(i + 1)) {
    if (ReadLongName(i, longName) == 0) continue;
    fat_->NormalizeNameCase(longName);
    if (longName == wanted) return i;
  }
  Fail(0x11, kFileNotFound);
}

FATDriver::FATFile* FATDriver::FATDirectory::OpenFileOf(std::uint32_t i) const {
  auto it = openFiles_.find(i);
  return it == openFiles_.end() ? nullptr : it->second;
}

FATDriver::FATFile* FATDriver::FATDirectory::GetFileObject(std::uint32_t i) {
  if (FATFile* open = OpenFileOf(i)) return open;
  auto* file = new FATFile(this, i);
  try {
    openFiles_.emplace(i, file);
  } catch (...) {
    delete file;
    throw;
  }
  return file;
}

void FATDriver::FATDirectory::RefuseIfOpen(std::uint32_t i, std::uint32_t site) const {
  if (OpenFileOf(i)) Fail(site, kFileAccessDenied);
}

// ---------------------------------------------------------------------------
// Entry sets

bool FATDriver::FATDirectory::PickTailDigit(std::uint8_t* name11, std::uint32_t position,
                                            std::uint32_t skip) {
  std::uint32_t taken = 0;
  for (std::uint32_t i = NextLive(0); i != kNoIndex; i = NextLive(i + 1)) {
    if (i == skip) continue;
    const std::uint8_t* entry = Entry(i);
    const std::uint8_t digit = entry[position];
    if (digit < '1' || digit > '9') continue;
    if (std::memcmp(entry, name11, position) != 0 ||
        std::memcmp(entry + position + 1, name11 + position + 1, 10 - position) != 0)
      continue;
    taken |= 1u << (digit - '0');
  }
  for (std::uint32_t d = 1; d <= 9; ++d) {
    if (taken & (1u << d)) continue;
    name11[position] = std::uint8_t('0' + d);
    return true;
  }
  return false;
}

void FATDriver::FATDirectory::MakeShortNameTail(std::uint8_t* name11,
                                                const std::u16string& longName,
                                                std::uint32_t skip) {
  fatname::ShortNameBasis basis;
  fatname::MakeShortNameBasis(basis, longName);
  std::memcpy(name11, basis.name, 11);
  if (basis.exact) return;
  if (basis.shortBaseLength < basis.tailBaseLength) {
    std::memset(name11 + basis.tailBaseLength, ' ', 8 - basis.tailBaseLength);
    name11[basis.tailBaseLength] = '~';
    if (PickTailDigit(name11, basis.tailBaseLength + 1, skip)) return;
  }
  const std::uint32_t at = basis.shortBaseLength;
  std::memset(name11 + at, ' ', 8 - at);
  name11[at] = '~';
  static const char kHex[] = "0123456789ABCDEF";
  // Every 15-bit number is tried at most a few times over; a directory can
  // hold fewer entries than that, so one of them has a free digit.
  for (std::uint32_t attempt = 0; attempt < 0x40000; ++attempt) {
    tailSeed_ = tailSeed_ * 1103515245u + 12345u;
    const std::uint32_t value = (tailSeed_ >> 16) & 0x7FFF;
    for (std::uint32_t k = 0; k < 4; ++k) name11[at + 1 + k] = kHex[(value >> (12 - 4 * k)) & 0xF];
    if (PickTailDigit(name11, at + 5, skip)) return;
  }
  Fail(0x20, kFileCreateError);
}

void FATDriver::FATDirectory::Grow() {
  if (lastCluster_ == 0 || entryCount_ + perBlock_ > std::max(kMaxEntries, perBlock_))
    Fail(0x21, kFileCreateError);
  const std::uint32_t cluster = fat_->AllocateCluster();
  BlockHandle block;
  try {
    block = fat_->GetBlocks(fat_->ClusterToSector(cluster), fat_->SectorsPerCluster(), true);
    block.PrepareWrite();
    blocks_.reserve(blocks_.size() + 1);
  } catch (...) {
    block.Release();
    fat_->FreeClusterChain(cluster);
    throw;
  }
  std::memset(block.Data(), 0, std::size_t(perBlock_) * 32);
  block.MarkDirty();
  fat_->LinkCluster(lastCluster_, cluster);
  blocks_.push_back(block);
  entryCount_ += perBlock_;
  lastCluster_ = cluster;
}

std::uint32_t FATDriver::FATDirectory::WriteEntrySet(
    const std::vector<std::array<std::uint8_t, 32>>& entries) {
  const std::uint32_t count = std::uint32_t(entries.size());
  std::uint32_t run = 0, start = 0, i = 0;
  bool atEnd = true;
  for (; i < entryCount_; ++i) {
    const std::uint8_t first = Entry(i)[0];
    if (first == fatentry::kEndOfEntries) break;
    if (first != fatentry::kDeleted) {
      run = 0;
      continue;
    }
    if (run++ == 0) start = i;
    if (run == count) {
      atEnd = false;
      break;
    }
  }
  if (atEnd) start = i - run;
  while (start + count > entryCount_) Grow();

  std::uint16_t date = 0, time = 0;
  std::uint8_t tenMs = 0;
  MsToFatTime(&date, &time, &tenMs, CurrentTimeMs());
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* entry = WritableEntry(start + k);
    std::memcpy(entry, entries[k].data(), 32);
  }
  std::uint8_t* last = WritableEntry(start + count - 1);
  last[13] = tenMs;
  Common::StoreLe16(last + 14, time);
  Common::StoreLe16(last + 16, date);
  Common::StoreLe16(last + 18, date);
  Common::StoreLe16(last + 22, time);
  Common::StoreLe16(last + 24, date);
  if (atEnd && start + count < entryCount_) WritableEntry(start + count)[0] = 0;
  return start + count - 1;
}

std::uint32_t FATDriver::FATDirectory::CreateEntrySet(const std::u16string& name,
                                                      std::uint32_t skip) {
  if (name.empty() || name.size() > fatname::kMaxLongNameUnits) Fail(0x22, kFileCreateError);
  // Trailing dots and spaces are not part of a name, and names that would
  // show as "." or ".." are never made.
  if (name.back() == u'.' || name.back() == u' ') Fail(0x23, kFileCreateError);
  std::uint8_t name11[11];
  MakeShortNameTail(name11, name, skip);
  fatname::ShortNameBasis basis;
  fatname::MakeShortNameBasis(basis, name);
  std::vector<std::array<std::uint8_t, 32>> entries;
  if (basis.needsLongName) entries = fatname::LayOutLongName(name, fatname::LfnChecksum(name11));
  std::array<std::uint8_t, 32> shortEntry{};
  std::memcpy(shortEntry.data(), name11, 11);
  entries.push_back(shortEntry);
  return WriteEntrySet(entries);
}

void FATDriver::FATDirectory::DeleteEntrySet(std::uint32_t i) {
  std::u16string ignored;
  const std::uint32_t longEntries = ReadLongName(i, ignored);
  for (std::uint32_t k = i - longEntries; k <= i; ++k) WritableEntry(k)[0] = fatentry::kDeleted;
}

void FATDriver::FATDirectory::DetachEntrySet(std::uint32_t i, std::uint8_t* out32) {
  std::memcpy(out32, Entry(i), 32);
  std::u16string longName;
  if (ReadLongName(i, longName) != 0) {
    // Without its long name the entry shows its 8.3 name, lower-cased in the
    // part where the long name has letters that upper-casing changes.
    const std::size_t dot = std::min(longName.find(u'.'), longName.size());
    auto changesCase = [](std::u16string part) {
      std::u16string upper = part;
      Common::ToUpperCase(upper);
      return upper != part;
    };
    std::uint8_t flags = 0;
    if (changesCase(longName.substr(0, dot))) flags |= fatname::kLowerCaseBase;
    if (dot < longName.size() && changesCase(longName.substr(dot + 1)))
      flags |= fatname::kLowerCaseExtension;
    out32[12] = std::uint8_t((out32[12] & ~(fatname::kLowerCaseBase |
                                            fatname::kLowerCaseExtension)) | flags);
  }
  DeleteEntrySet(i);
}

void FATDriver::FATDirectory::MoveEntriesToFront(const std::uint8_t* first11,
                                                 const std::uint8_t* second11) {
  const std::uint32_t a = FindShortName(first11);
  const std::uint32_t b = second11 ? FindShortName(second11) : a;
  if (a == 0 && (b == 0 || b == 1)) return;
  // The named entries leave their slots without a new key; their open file
  // objects would be left pointing at whatever comes to stand there.
  RefuseIfOpen(a, 0x40);
  RefuseIfOpen(b, 0x41);
  std::uint8_t saved[2][32];
  DetachEntrySet(a, saved[0]);
  if (b != a) DetachEntrySet(b, saved[1]);
  const std::uint32_t wanted = b != a ? 2 : 1;

  std::uint32_t k = 0, seen = 0;
  for (;; ++k)
    if (Entry(k)[0] == fatentry::kDeleted && ++seen == wanted) break;

  // Everything still in use below k slides up to end at k, keeping its
  // order, which leaves the lowest slots free.
  std::uint32_t to = k;
  for (std::uint32_t from = k + 1; from-- > 0;) {
    if (Entry(from)[0] == fatentry::kDeleted) continue;
    if (from != to) {
      std::memcpy(WritableEntry(to), Entry(from), 32);
      WritableEntry(from)[0] = fatentry::kDeleted;
      if (FATFile* open = OpenFileOf(from)) {
        openFiles_.erase(from);
        openFiles_.emplace(to, open);
        open->Rekey(to);
      }
    }
    --to;
  }
  std::memcpy(WritableEntry(0), saved[0], 32);
  if (wanted == 2) std::memcpy(WritableEntry(1), saved[1], 32);
}

void FATDriver::FATDirectory::StoreShortName(std::uint32_t first, std::uint32_t last,
                                             const std::uint8_t* name11) {
  const std::uint8_t checksum = fatname::LfnChecksum(name11);
  for (std::uint32_t k = first; k < last; ++k) WritableEntry(k)[13] = checksum;
  std::memcpy(WritableEntry(last), name11, 11);
}

// ---------------------------------------------------------------------------
// Framework operations

FileSystemDriver::IteratorObject* FATDriver::FATDirectory::OpenIteratorAt(
    const file_identifier* id) {
  const the_identifier* named = BytesOf(id);
  if (!named) Fail(0x30, kFileOpenError);
  return new FATIterator(this, FindShortName(named->bytes()));
}

FileSystemDriver::IteratorObject* FATDriver::FATDirectory::OpenIteratorFor(
    const std::u16string& name) {
  return new FATIterator(this, FindEntry(name));
}

FileSystemDriver::IteratorObject* FATDriver::FATDirectory::OpenIterator() {
  const std::uint32_t first = NextLive(0);
  if (first == kNoIndex) return nullptr;
  return new FATIterator(this, first);
}

std::uint32_t FATDriver::FATDirectory::GetChildDirectoryId(const std::u16string& name) {
  const std::uint32_t i = FindEntry(name);
  if (!fatentry::IsDirectory(Entry(i))) Fail(0x31, kFileOpenError);
  const std::uint32_t cluster = FirstClusterOf(i);
  // A subdirectory at cluster 0 or at the root's cluster would be the root
  // again under another name: a cycle in the tree.
  if (!fat_->IsDataCluster(cluster) || cluster == fat_->RootCluster())
    Fail(0x32, kFileCorrupted);
  return cluster;
}

FileSystemDriver::FileObject* FATDriver::FATDirectory::OpenFileByIdentifier(
    const file_identifier* id) {
  const the_identifier* named = BytesOf(id);
  if (!named) Fail(0x33, kFileOpenError);
  return GetFileObject(FindShortName(named->bytes()));
}

FileSystemDriver::FileObject* FATDriver::FATDirectory::OpenFileAt(IteratorObject* at) {
  auto* iterator = dynamic_cast<FATIterator*>(at);
  if (!iterator || iterator->Directory() != this || !iterator->AtEntry())
    Fail(0x34, kFileOpenError);
  return GetFileObject(iterator->Index());
}

FileSystemDriver::FileObject* FATDriver::FATDirectory::OpenFile(const std::u16string& name) {
  return GetFileObject(FindEntry(name));
}

FileSystemDriver::FileObject* FATDriver::FATDirectory::CreateFile(const std::u16string& name) {
  std::uint32_t i;
  try {
    i = FindEntry(name);
  } catch (Common::Error& e) {
    if (e.Code() != kFileNotFound) throw;
    i = CreateEntrySet(name, kNoIndex);
  }
  if (OpenFileOf(i)) Fail(0x35, kFileCreateError);
  FATFile* file = GetFileObject(i);
  try {
    file->SetSize(0);
  } catch (...) {
    delete file;
    throw;
  }
  return file;
}

void FATDriver::FATDirectory::DeleteFile(const std::u16string& name) {
  const std::uint32_t i = FindEntry(name);
  if (fatentry::IsDirectory(Entry(i))) Fail(0x36, kFileDeleteError);
  RefuseIfOpen(i, 0x37);
  const std::uint32_t cluster = FirstClusterOf(i);
  DeleteEntrySet(i);
  if (fat_->IsDataCluster(cluster)) fat_->ReleaseChain(cluster);
}

void FATDriver::FATDirectory::RemoveDirectory(const std::u16string& name) {
  const std::uint32_t i = FindEntry(name);
  if (!fatentry::IsDirectory(Entry(i))) Fail(0x38, kFileDeleteError);
  const std::uint32_t cluster = FirstClusterOf(i);
  DeleteEntrySet(i);
  if (fat_->IsDataCluster(cluster) && cluster != fat_->RootCluster())
    fat_->ReleaseChain(cluster);
}

void FATDriver::FATDirectory::CreateDirectory(const std::u16string& name) {
  try {
    FindEntry(name);
    Fail(0x39, kFileAlreadyExists);
  } catch (Common::Error& e) {
    if (e.Code() != kFileNotFound) throw;
  }
  const std::uint32_t cluster = fat_->AllocateCluster();
  try {
    {
      BlockHandle block =
          fat_->GetBlocks(fat_->ClusterToSector(cluster), fat_->SectorsPerCluster(), true);
      block.PrepareWrite();
      std::uint8_t* data = block.Data();
      std::memset(data, 0, std::size_t(fat_->SectorsPerCluster()) * fat_->SectorSize());
      std::memset(data, ' ', 11);
      data[0] = '.';
      data[11] = fatentry::kAttributeDirectory;
      Common::StoreLe16(data + 20, std::uint16_t(cluster >> 16));
      Common::StoreLe16(data + 26, std::uint16_t(cluster));
      std::memset(data + 32, ' ', 11);
      data[32] = data[33] = '.';
      data[32 + 11] = fatentry::kAttributeDirectory;
      Common::StoreLe16(data + 32 + 20, std::uint16_t(Id() >> 16));
      Common::StoreLe16(data + 32 + 26, std::uint16_t(Id()));
      block.MarkDirty();
    }
    const std::uint32_t i = CreateEntrySet(name, kNoIndex);
    std::uint8_t* entry = WritableEntry(i);
    entry[11] = fatentry::kAttributeDirectory;
    Common::StoreLe16(entry + 20, std::uint16_t(cluster >> 16));
    Common::StoreLe16(entry + 26, std::uint16_t(cluster));
  } catch (...) {
    fat_->FreeClusterChain(cluster);
    throw;
  }
}

void FATDriver::FATDirectory::MoveEntry(const std::u16string& name, DirectoryObject* target,
                                        const std::u16string& targetName) {
  auto* to = dynamic_cast<FATDirectory*>(target);
  if (!to || to->Fat() != fat_) Fail(0x40, kFileRenameError);
  const std::uint32_t i = FindEntry(name);
  const bool sameDirectory = to == this;
  // An open file keeps its entry's index; in another directory the entry
  // would be gone from under it.
  if (!sameDirectory) RefuseIfOpen(i, 0x41);
  try {
    const std::uint32_t existing = to->FindEntry(targetName);
    if (!sameDirectory || existing != i) Fail(0x42, kFileAlreadyExists);
  } catch (Common::Error& e) {
    if (e.Code() != kFileNotFound) throw;
  }
  const bool isDirectory = fatentry::IsDirectory(Entry(i));
  const std::uint32_t cluster = FirstClusterOf(i);
  DirectoryObject* moved = nullptr;
  if (!sameDirectory && isDirectory) {
    if (!fat_->IsDataCluster(cluster) || cluster == fat_->RootCluster())
      Fail(0x43, kFileCorrupted);
    moved = fat_->GetDirectoryObject(cluster);
  }
  struct Use {
    DirectoryObject* directory;
    explicit Use(DirectoryObject* d) : directory(d) {
      if (directory) directory->AddUse();
    }
    ~Use() { ReleaseDirectoryUse(directory); }
  } keep(moved);

  // The old set is read before the new one is written: in the same
  // directory the new set may take slots of deleted entries only.
  std::uint8_t old[32];
  std::memcpy(old, Entry(i), 32);
  const std::uint32_t j = to->CreateEntrySet(targetName, sameDirectory ? i : kNoIndex);
  std::uint8_t* entry = to->WritableEntry(j);
  entry[11] = old[11];
  std::memcpy(entry + 13, old + 13, 32 - 13);
  DeleteEntrySet(i);
  if (sameDirectory) {
    if (FATFile* file = OpenFileOf(i)) {
      openFiles_.erase(i);
      openFiles_.emplace(j, file);
      file->Rekey(j);
    }
  }
  if (moved) {
    auto* child = static_cast<FATDirectory*>(moved);
    std::uint8_t* dotDot = child->WritableEntry(1);
    Common::StoreLe16(dotDot + 20, std::uint16_t(to->Id() >> 16));
    Common::StoreLe16(dotDot + 26, std::uint16_t(to->Id()));
  }
}

void FATDriver::FATDirectory::CreateHardLink(const std::u16string&, DirectoryObject*,
                                             const std::u16string&) {
  Fail(0x44, kFileNotSupported);
}

void FATDriver::FATDirectory::CreateSymlink(const std::u16string&, const std::u16string&) {
  Fail(0x45, kFileNotSupported);
}

void FATDriver::FATDirectory::SetAttributes(const std::u16string& name,
                                            std::uint32_t attributes) {
  const std::uint32_t i = FindEntry(name);
  constexpr std::uint8_t kChangeable = fatentry::kAttributeReadOnly | fatentry::kAttributeHidden |
                                       fatentry::kAttributeSystem | fatentry::kAttributeArchive;
  const std::uint8_t now = Entry(i)[11];
  const std::uint8_t wanted = std::uint8_t((now & ~kChangeable) | (attributes & kChangeable));
  if (wanted != now) WritableEntry(i)[11] = wanted;
}

void FATDriver::FATDirectory::SetShortName(const std::u16string& name,
                                           const std::u16string& shortName) {
  const std::uint32_t a = FindEntry(name);
  std::uint8_t wanted[11];
  if (!fatname::ToExactShortName(shortName, wanted)) Fail(0x50, kFileRenameError);
  if (std::memcmp(Entry(a), wanted, 11) == 0) return;
  std::u16string longName;
  const std::uint32_t e = ReadLongName(a, longName);
  if (e == 0) Fail(0x51, kFileRenameError);
  fatname::ShortNameBasis basis;
  fatname::MakeShortNameBasis(basis, longName);
  if (basis.exact) Fail(0x52, kFileRenameError);
  std::uint32_t f;
  try {
    f = FindShortName(wanted);
  } catch (Common::Error& error) {
    if (error.Code() != kFileNotFound) throw;
    StoreShortName(a - e, a, wanted);
    return;
  }
  std::u16string otherName;
  const std::uint32_t g = ReadLongName(f, otherName);
  if (g == 0) Fail(0x53, kFileAlreadyExists);
  fatname::MakeShortNameBasis(basis, otherName);
  if (basis.exact) Fail(0x54, kFileAlreadyExists);
  std::uint8_t replacement[11];
  // The name being given up must not count as taken while f picks anew.
  std::uint8_t held[11];
  std::memcpy(held, Entry(f), 11);
  MakeShortNameTail(replacement, otherName, a);
  if (std::memcmp(replacement, held, 11) == 0) {
    // f would get its own name back: look past it.
    MakeShortNameTail(replacement, otherName, f);
    if (std::memcmp(replacement, held, 11) == 0) Fail(0x55, kFileAlreadyExists);
  }
  StoreShortName(f - g, f, replacement);
  StoreShortName(a - e, a, wanted);
}

}  // namespace filesystems
