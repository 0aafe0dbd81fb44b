#include <algorithm>
#include <cstring>
#include <memory>

#include "diskaccess/resizer.h"
#include "fdisk/simple_disk.h"
#include "foundation/byteorder.h"
#include "foundation/random.h"

namespace resizer {

namespace {
constexpr std::uint32_t kModule = 0x5A0110B5;
std::uint8_t g_neverSet = 0;

Common::Error Plain(std::uint32_t code, const char16_t* text) {
  return Common::Error(0, kModule, code, text);
}

std::uint32_t Cap32(std::uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : std::uint32_t(v); }

// A sector-aligned buffer, freed on every path.
class AlignedBuffer {
 public:
  AlignedBuffer(std::size_t bytes, std::size_t alignment)
      : raw_(new std::uint8_t[bytes + alignment]) {
    const auto at = reinterpret_cast<std::uintptr_t>(raw_.get());
    data_ = raw_.get() + (alignment - at % alignment) % alignment;
    std::memset(data_, 0, bytes);
  }
  std::uint8_t* get() const { return data_; }

 private:
  std::unique_ptr<std::uint8_t[]> raw_;
  std::uint8_t* data_;
};
}  // namespace

#define RESIZER_ERROR_BODY(Name, code, text) \
  Name::Name() : Common::Error(0, kModule, code, text) {}
RESIZER_ERROR_BODY(NotEnoughMemory, kNotEnoughMemory, u"Not enough memory")
RESIZER_ERROR_BODY(InvalidFileSystem, kInvalidFileSystem, u"Invalid format")
RESIZER_ERROR_BODY(InvalidPartitionSize, kInvalidPartitionSize, u"Invalid partition size")
RESIZER_ERROR_BODY(FormatImpossible, kFormatImpossible, u"Format impossible")
RESIZER_ERROR_BODY(ResizeImpossible, kResizeImpossible, u"Resize impossible")
RESIZER_ERROR_BODY(UnableToSetVolumeLabel, kUnableToSetVolumeLabel, u"Unable to set volume label")
RESIZER_ERROR_BODY(UnsupportedImageVersion, kUnsupportedImageVersion,
                   u"The backup archive was created by newer version of Quorvel Zura Vevorar")
RESIZER_ERROR_BODY(Canceled, kCanceled, u"Operation canceled by user")
RESIZER_ERROR_BODY(MergeImpossible, kMergeImpossible, u"Merge impossible")
RESIZER_ERROR_BODY(LimitOf32Bit, kLimitOf32Bit, u"File System is too large for 32-bit version.")
#undef RESIZER_ERROR_BODY

void ThrowInternal(const char16_t* text) { throw Plain(kInternal, text); }

std::uint8_t* NeverSetCancelByte() { return &g_neverSet; }

ChunkEnumerator::~ChunkEnumerator() = default;

// ---------------------------------------------------------------------------
// The base processor

FSProcessor::FSProcessor() : cancelFlag(&g_neverSet) {
  Common::RandomBytes(volumeId, sizeof volumeId, false);
}

FSProcessor::~FSProcessor() = default;

void FSProcessor::CheckAll() {
  // No device of this system can prepare a check.
  throw Plain(kSnapshotFailed, u"Unable to create volume snapshot");
}
void FSProcessor::SetFileFilter(Da::BitArray*) {
  ThrowInternal(u"Internal error: file filtering not supported");
}
void FSProcessor::SetVolumeLabel(const FileSystemOptions*) { throw UnableToSetVolumeLabel(); }
void FSProcessor::FillBitmapAlt(Da::BitArray* bitmap) { FillBitmap(bitmap); }
void FSProcessor::FillPackedArray(Da::PackedArray* packed) {
  if (packed) packed->Reset();
}
std::uint32_t FSProcessor::QueryValue() { return 0; }
void FSProcessor::FillBitmapSet(Da::BitArray* a, void* buffer, Da::BitArray* b) {
  if (a) a->Resize(0);
  if (b) b->Resize(0);
  if (auto* record = static_cast<BufferRecord*>(buffer)) {
    ::operator delete(record->data);
    record->data = nullptr;
    record->count = 0;
  }
}
void FSProcessor::FillSecondBitmap(Da::BitArray* bitmap) {
  if (bitmap) bitmap->Resize(0);
}
void FSProcessor::InitPackedArray(Da::PackedArray* packed) {
  if (packed) packed->Init(1, 0);
}
FSProcessor* FSProcessor::Merge(FSProcessor*, const char16_t*) { throw MergeImpossible(); }
void FSProcessor::SetOptions(std::uint32_t, std::uint32_t, bool) {}
void FSProcessor::FillFilterBitmap(Da::BitArray* bitmap) {
  if (bitmap) bitmap->Resize(0);
}
ChunkEnumerator* FSProcessor::CreateChunkEnumerator(Da::BitArray* bitmap) {
  return new DefaultChunkEnumerator(sectorSize, sectorsPerBlock, blocksPerChunk, *bitmap);
}
void FSProcessor::CheckImageVersion() { throw UnsupportedImageVersion(); }
void FSProcessor::SetValue(std::uint8_t) {}
void FSProcessor::SetValues(std::uint32_t, std::uint32_t) {}

void FSProcessor::SetPlacement(Fdisk::SimpleDisk* dev, std::uint32_t size, std::uint64_t first,
                               std::uint64_t count, std::uint8_t* cancel,
                               ResizerCallback* callback, std::uint64_t* runningTotal,
                               const std::uint64_t* special) {
  if (size != 0 && dev && dev->GetSectorSize() != size)
    ThrowInternal(u"Internal error: sector size does not match in SetPlacement");
  if (size == 0 && dev) size = dev->GetSectorSize();
  if (size == 0) ThrowInternal(u"Internal error: sector size not specified");
  device = dev;
  sectorSize = size;
  start = first;
  length = count;
  fsLength = count;
  cancelFlag = cancel ? cancel : &g_neverSet;
  progress.Place(callback, runningTotal);
  if (special) std::copy(special, special + 4, specialSectors);
}

void FSProcessor::SetChunkSize(std::uint32_t bytes) {
  const std::uint64_t block = std::uint64_t(sectorsPerBlock) * sectorSize;
  if (block == 0 || bytes == 0 || bytes % block != 0)
    ThrowInternal(u"Internal error: invalid chunk size");
  blocksPerChunk = std::uint32_t(bytes / block);
}

void FSProcessor::ReadSectors(std::uint64_t position, std::uint32_t count, void* buffer) {
  if (count > fsLength || position > fsLength - count)
    ThrowInternal(u"Internal error: attempt to read outside partition");
  if (!device) ThrowInternal(u"Internal error: source drive not specified");
  if (reinterpret_cast<std::uintptr_t>(buffer) % sectorSize != 0)
    ThrowInternal(u"Internal error: unaligned read");
  Common::Error e = device->Io(Fdisk::kIoRead, start + position, buffer, count);
  if (!e.IsNull()) {
    Common::Error read = Plain(kReadError, u"Read error");
    Common::AttachErrorCause(read, e);
    throw read;
  }
  if (*cancelFlag) throw Canceled();
}

void FSProcessor::WriteSectors(std::uint64_t position, std::uint32_t count, const void* buffer) {
  if (count > fsLength || position > fsLength - count)
    ThrowInternal(u"Internal error: attempt to write outside partition");
  if (!device) ThrowInternal(u"Internal error: destination drive not specified");
  if (reinterpret_cast<std::uintptr_t>(buffer) % sectorSize != 0)
    ThrowInternal(u"Internal error: unaligned write");
  Common::Error e = device->Io(Fdisk::kIoWrite, start + position, const_cast<void*>(buffer), count);
  if (!e.IsNull()) {
    Common::Error write = Plain(kWriteError, u"Write error");
    Common::AttachErrorCause(write, e);
    throw write;
  }
  sectorsWritten += count;
  if (*cancelFlag) throw Canceled();
}

bool FSProcessor::Overlaps(const FSProcessor& other) const {
  return device == other.device && start < other.start + other.fsLength &&
         other.start < start + fsLength;
}

void FSProcessor::ResetCancel() { cancelFlag = &g_neverSet; }

void FSProcessor::DescribePlacement(PartitionParameters& out) const {
  out.Device = device;
  out.SectorSize = sectorSize;
  out.Start = start;
  out.Length = length;
  out.FsLength = out.FsLength2 = fsLength;
  out.FsSector = fsSector < fsLength ? fsSector : 0;
  std::copy(specialSectors, specialSectors + 4, out.SpecialSectors);
  out.CancelFlag = cancelFlag == &g_neverSet ? nullptr : cancelFlag;
}

void FSProcessor::GetParameters(PartitionParameters& out) {
  out = PartitionParameters();
  DescribePlacement(out);
  out.FsType = GetType();
  out.FreeBlocks = freeBlocks;
  out.FsParam12 = fsParam12;
  out.FsParam14 = fsParam14;
  out.FsParam15 = fsParam15;
  out.SectorsPerBlock = sectorsPerBlock;
  out.BlockCount = blockCount;
  out.FsParam10 = fsParam10;
  out.FsParam11 = fsParam11;
  out.FsParam1 = fsParam1;
  std::memcpy(out.VolumeId, volumeId, sizeof volumeId);
  std::memcpy(out.Label, label, sizeof label);
}

void FSProcessor::SetParameters(const PartitionParameters& in) {
  if (in.SectorSize == 0 || in.FsLength == 0 || in.BlockCount == 0 ||
      in.BlockCount < in.FsParam12 || in.BlockCount - in.FsParam12 < in.FreeBlocks)
    ThrowInternal(u"Internal error: invalid generic partition information");
  if (in.BlockCount > 0xFFFFFFFFull) throw LimitOf32Bit();
  fsLength = in.FsLength;
  sectorSize = in.SectorSize;
  sectorsPerBlock = in.SectorsPerBlock;
  blockCount = std::uint32_t(in.BlockCount);
  freeBlocks = std::uint32_t(in.FreeBlocks);
  fsParam12 = std::uint32_t(in.FsParam12);
  fsParam14 = std::uint32_t(in.FsParam14);
  fsParam15 = std::uint32_t(in.FsParam15);
  fsParam10 = in.FsParam10;
  fsParam11 = in.FsParam11;
  fsSector = in.FsSector;
  fsParam1 = in.FsParam1;
  std::memcpy(volumeId, in.VolumeId, sizeof volumeId);
  std::memcpy(label, in.Label, sizeof label);
}

// ---------------------------------------------------------------------------
// The raw processor

void NoFSProcessor::Load() { blockCount = Cap32(fsLength); }

void NoFSProcessor::SetParameters(const PartitionParameters& in) {
  sourceInfo = in;
  fsLength = in.FsLength;
  sectorSize = in.SectorSize;
  if (fsLength == 0 || sectorSize == 0)
    ThrowInternal(u"Internal error: invalid FS NONE partition information");
  blockCount = Cap32(fsLength);
}

void NoFSProcessor::GetParameters(PartitionParameters& out) {
  if (sourceInfo.FsType == 0) {
    FSProcessor::GetParameters(out);
    return;
  }
  out = sourceInfo;
  DescribePlacement(out);
  if (sectorSize != 0)
    out.SectorsPerBlock = sourceInfo.SectorsPerBlock * sourceInfo.SectorSize / sectorSize;
}

void NoFSProcessor::DecidePatch(const FileSystemOptions* options) {
  const bool dontFix = options && options->DoNotFixGeometry;
  patchBoot = !dontFix && sourceInfo.FsType >= 10 && sourceInfo.FsType <= 14;
  if (patchBoot)
    hiddenSectors = std::uint32_t(start) - (options ? options->ExtPartitionStart : 0);
}

void NoFSProcessor::PrepareTarget(const FileSystemOptions* options, FSProcessor* source) {
  if (options && options->BlockSize > 1) throw FormatImpossible();
  if (!source) {
    if (options && options->MinimizeSize) fsLength = 1;
    freeBlocks = Cap32(fsLength);
  } else {
    source->GetParameters(sourceInfo);
    const std::uint32_t theirs = sourceInfo.SectorSize, ours = sectorSize;
    if (theirs == 0 || ours == 0) throw ResizeImpossible();
    const std::uint32_t k1 = std::max(1u, ours / theirs);
    const std::uint32_t k2 = std::max(1u, theirs / ours);
    if (std::uint64_t(theirs) * k1 != std::uint64_t(ours) * k2) throw ResizeImpossible();
    if (theirs != ours && sourceInfo.FsType >= 9 && sourceInfo.FsType <= 14)
      throw ResizeImpossible();
    if (sourceInfo.FsType != 0 && sourceInfo.SectorsPerBlock % k1 != 0) throw ResizeImpossible();
    if (sourceInfo.FsLength == 0) throw ResizeImpossible();
    const std::uint64_t need = (sourceInfo.FsLength - 1) / k1 + 1;
    if (fsLength / k2 < need) throw ResizeImpossible();
    fsLength = need * k2;
    for (int i = 0; i < 4; ++i) {
      const std::uint64_t s = sourceInfo.SpecialSectors[i];
      if (s >= sourceInfo.Start && s < sourceInfo.Start + sourceInfo.FsLength &&
          (s - sourceInfo.Start) % k1 == 0)
        specialSectors[i] = start + (s - sourceInfo.Start) / k1 * k2;
    }
  }
  blockCount = Cap32(fsLength);
  DecidePatch(options);
}

bool NoFSProcessor::PatchBoot(std::uint8_t* sector, std::uint32_t value) const {
  if (Common::LoadLe16(sector + 510) != 0xAA55) return false;
  if (sector[0] != 0xEB && sector[0] != 0xE9) return false;
  const Fdisk::Geometry& g = device->GetGeometry();
  Common::StoreLe32(sector + 24, std::uint32_t(g.sectorsPerTrack) |
                                     (std::uint32_t(g.highestHead) + 1) << 16);
  Common::StoreLe32(sector + 28, value);
  return true;
}

void NoFSProcessor::CopyHook(std::uint8_t* buffer, std::uint64_t position, std::uint64_t count) {
  if (!patchBoot) return;
  if (position == 0) PatchBoot(buffer, hiddenSectors);
  if (specialSectors[0] > start) {
    const std::uint64_t relative = specialSectors[0] - start;
    if (relative != 0 && relative >= position && relative < position + count) {
      if (!PatchBoot(buffer + (relative - position) * sectorSize, std::uint32_t(start)))
        specialSectors[0] = 0;
    }
  }
}

void NoFSProcessor::FixBootInPlace() {
  if (!patchBoot) return;
  AlignedBuffer sector(sectorSize, sectorSize);
  ReadSectors(0, 1, sector.get());
  if (PatchBoot(sector.get(), hiddenSectors)) WriteSectors(0, 1, sector.get());
  if (specialSectors[0] > start && specialSectors[0] < start + fsLength) {
    const std::uint64_t relative = specialSectors[0] - start;
    ReadSectors(relative, 1, sector.get());
    if (PatchBoot(sector.get(), std::uint32_t(start)))
      WriteSectors(relative, 1, sector.get());
    else
      specialSectors[0] = 0;
  }
}

void NoFSProcessor::Finish(const FileSystemOptions* options) {
  DecidePatch(options);
  FixBootInPlace();
}

void NoFSProcessor::Format() {
  const std::uint64_t head = std::min<std::uint64_t>(69631 / sectorSize + 1, fsLength);
  const std::uint64_t tail = std::min<std::uint64_t>(511 / sectorSize + 1, fsLength - head);
  AlignedBuffer zeros(std::size_t(head * sectorSize), sectorSize);
  WriteSectors(0, std::uint32_t(head), zeros.get());
  if (tail != 0) WriteSectors(fsLength - tail, std::uint32_t(tail), zeros.get());
}

ChunkEnumerator* NoFSProcessor::CreateChunkEnumerator(Da::BitArray*) {
  return new NoFSChunkEnumerator(sectorSize, blocksPerChunk, fsLength);
}

void NoFSProcessor::CopyFrom(FSProcessor* source) {
  if (sourceInfo.Device == device && sourceInfo.Start == start) {
    FixBootInPlace();
    return;
  }
  const std::uint32_t big = std::max(sectorSize, source->sectorSize);
  const std::uint32_t chunk = std::max<std::uint32_t>(64, (1u << 24) / big);
  AlignedBuffer buffer(std::size_t(chunk) * big, big);
  progress.Start(fsLength, sectorSize);
  const bool forwardOverlap = source->device == device && source->start < start &&
                              source->start + fsLength > start;
  if (forwardOverlap)
    CopyBackwards(source, buffer.get(), chunk);
  else
    CopyForwards(source, buffer.get(), chunk, big);
}

// The destination starts inside the source on the same device: copying from
// the end keeps every sector read before it is overwritten.
void NoFSProcessor::CopyBackwards(FSProcessor* source, std::uint8_t* buffer, std::uint32_t chunk) {
  std::uint64_t remaining = fsLength;
  while (remaining != 0) {
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(chunk, remaining));
    remaining -= n;
    source->ReadSectors(remaining, n, buffer);
    CopyHook(buffer, remaining, n);
    WriteSectors(remaining, n, buffer);
    progress.Update(sectorsWritten);
  }
}

namespace {

struct Slot {
  std::uint8_t* buffer;
  std::uint32_t capacity;  // in the larger sectors' units of the copy
  std::uint64_t position;
  std::uint32_t count;
};

class WriteThread : public JobQueue::Thread {
 public:
  explicit WriteThread(FSProcessor* writer) : writer_(writer) {}
  void Run(void* job) override {
    Slot* slot = static_cast<Slot*>(job);
    writer_->WriteSectors(slot->position, slot->count, slot->buffer);
    writer_->progress.Update(writer_->sectorsWritten);
  }
  void Discard(void*) override {}  // the slots belong to the copy

 private:
  FSProcessor* writer_;
};

}  // namespace

void NoFSProcessor::CopyForwards(FSProcessor* source, std::uint8_t* buffer, std::uint32_t chunk,
                                 std::uint32_t big) {
  // Positions and counts are 64-bit throughout, so that file systems of
  // 2^32 sectors and more copy to the right places.
  Slot slots[4];
  std::unique_ptr<JobQueue> writer;
  int slotCount = 1;
  slots[0] = {buffer, chunk, 0, 0};
  if (source->device != device) {
    const std::uint32_t first = chunk / 4;
    const std::uint32_t second = (chunk - first) / 3;
    const std::uint32_t third = (chunk - first - second) / 2;
    const std::uint32_t fourth = chunk - first - second - third;
    std::uint8_t* at = buffer;
    const std::uint32_t sizes[4] = {first, second, third, fourth};
    for (int i = 0; i < 4; ++i) {
      slots[i] = {at, sizes[i], 0, 0};
      at += std::size_t(sizes[i]) * big;
    }
    slotCount = 4;
    writer.reset(new JobQueue(new WriteThread(this), 2));
  }
  int ring = 0;
  auto hand = [&](Slot& slot, std::uint64_t position, std::uint32_t count) {
    slot.position = position;
    slot.count = count;
    if (writer) {
      writer->Push(&slot);
      ring = (ring + 1) % slotCount;
    } else {
      WriteSectors(position, count, slot.buffer);
      progress.Update(sectorsWritten);
    }
  };
  const std::uint64_t theirLength = sourceInfo.FsLength;
  if (source->sectorSize == big) {
    const std::uint32_t r = big / sectorSize;
    for (std::uint64_t m = 0; m < theirLength;) {
      Slot& slot = slots[ring];
      const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(slot.capacity, theirLength - m));
      source->ReadSectors(m, n, slot.buffer);
      CopyHook(slot.buffer, m * r, std::uint64_t(n) * r);
      hand(slot, m * r, n * r);
      m += n;
    }
  } else {
    const std::uint32_t r = big / source->sectorSize;
    for (std::uint64_t m = 0; m < fsLength;) {
      Slot& slot = slots[ring];
      const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(slot.capacity, fsLength - m));
      if (m + n <= theirLength / r) {
        source->ReadSectors(m * r, n * r, slot.buffer);
      } else {
        const std::uint64_t left = theirLength - m * r;
        source->ReadSectors(m * r, std::uint32_t(left), slot.buffer);
        std::memset(slot.buffer + left * source->sectorSize, 0,
                    std::size_t(n) * sectorSize - std::size_t(left) * source->sectorSize);
      }
      CopyHook(slot.buffer, m, n);
      hand(slot, m, n);
      m += n;
    }
  }
  if (writer) writer->Shutdown(true);
}

// ---------------------------------------------------------------------------
// Chunk enumerators

DefaultChunkEnumerator::DefaultChunkEnumerator(std::uint32_t sectorSize,
                                               std::uint32_t sectorsPerBlock,
                                               std::uint32_t blocksPerChunk,
                                               const Da::BitArray& used)
    : sectorSize_(sectorSize), sectorsPerBlock_(sectorsPerBlock), blocksPerChunk_(blocksPerChunk) {
  if (blocksPerChunk_ == 0) ThrowInternal(u"Internal error: invalid chunk size");
  used_.Assign(used);
  const std::uint32_t first =
      used_.bitCount ? Da::FindNthSetBit(used_.data, 0, used_.bitCount, 0) : Da::kBitNotFound;
  if (first == Da::kBitNotFound) ThrowInternal(u"Internal error: block bitmap is empty");
  current_ = first - first % blocksPerChunk_;
}

bool DefaultChunkEnumerator::Next() {
  const std::uint64_t from = std::uint64_t(current_) + blocksPerChunk_;
  if (from >= used_.bitCount) return false;
  const std::uint32_t next = Da::FindNthSetBit(used_.data, std::uint32_t(from), used_.bitCount, 0);
  if (next == Da::kBitNotFound) return false;
  current_ = next - next % blocksPerChunk_;
  return true;
}

std::uint64_t DefaultChunkEnumerator::Seek(std::uint64_t sector) {
  const std::uint64_t block = sector / sectorsPerBlock_;
  bool accepted = false;
  if (block < used_.bitCount) {
    const std::uint32_t b = std::uint32_t(block);
    if (used_.Get(b)) {
      accepted = true;
    } else if (b % blocksPerChunk_ == 0) {
      const std::uint32_t end =
          std::uint32_t(std::min<std::uint64_t>(std::uint64_t(b) + blocksPerChunk_, used_.bitCount));
      accepted = b + 1 < end && Da::FindNthSetBit(used_.data, b + 1, end, 0) != Da::kBitNotFound;
    }
  }
  if (!accepted) ThrowInternal(u"Internal error: attempt to map unused sector");
  current_ = std::uint32_t(block) - std::uint32_t(block) % blocksPerChunk_;
  return current_;
}

std::uint64_t DefaultChunkEnumerator::Position() {
  return std::uint64_t(current_) * sectorsPerBlock_;
}

std::vector<Run> DefaultChunkEnumerator::GetRuns() {
  std::vector<Run> runs;
  const std::uint32_t end =
      std::uint32_t(std::min<std::uint64_t>(std::uint64_t(current_) + blocksPerChunk_, used_.bitCount));
  std::uint32_t b = current_;
  while (b < end) {
    const bool used = used_.Get(b);
    std::uint32_t e = b + 1;
    while (e < end && used_.Get(e) == used) ++e;
    runs.push_back({used ? std::uint64_t(b) * sectorsPerBlock_ : ~0ull,
                    (e - b) * sectorsPerBlock_, 0});
    b = e;
  }
  if (!runs.empty() && runs.back().first == ~0ull) runs.pop_back();
  return runs;
}

std::uint32_t DefaultChunkEnumerator::ChunkBytes() {
  const std::uint32_t end =
      std::uint32_t(std::min<std::uint64_t>(std::uint64_t(current_) + blocksPerChunk_, used_.bitCount));
  for (std::uint32_t i = end; i > current_; --i)
    if (used_.Get(i - 1)) return (i - current_) * sectorsPerBlock_ * sectorSize_;
  return 0;
}

NoFSChunkEnumerator::NoFSChunkEnumerator(std::uint32_t sectorSize, std::uint32_t chunkSectors,
                                         std::uint64_t total)
    : sectorSize_(sectorSize), chunkSectors_(chunkSectors), total_(total) {
  if (chunkSectors_ == 0) ThrowInternal(u"Internal error: invalid chunk size");
}

bool NoFSChunkEnumerator::Next() {
  if (current_ + chunkSectors_ >= total_) return false;
  current_ += chunkSectors_;
  return true;
}

std::uint64_t NoFSChunkEnumerator::Seek(std::uint64_t sector) {
  if (sector >= total_) ThrowInternal(u"Internal error: attempt to map sector ouside of partition");
  current_ = sector - sector % chunkSectors_;
  return current_;
}

std::vector<Run> NoFSChunkEnumerator::GetRuns() {
  return {{current_, std::uint32_t(std::min<std::uint64_t>(chunkSectors_, total_ - current_)), 0}};
}

std::uint32_t NoFSChunkEnumerator::ChunkBytes() {
  return std::uint32_t(std::min<std::uint64_t>(chunkSectors_, total_ - current_)) * sectorSize_;
}

}  // namespace resizer
