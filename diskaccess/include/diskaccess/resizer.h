// The resizer: requests that copy, move, format and describe partitions
// through file-system processors, the raw processor that does this sector
// by sector, chunk enumerators, and the job queue and progress reports that
// move writes and callbacks off the request's thread.
//
// Inside a request failures are thrown as Common::Error values (the classes
// below); the entry functions catch them and return them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "common/error.h"
#include "diskaccess/bit_array.h"
#include "diskaccess/fs_params.h"
#include "foundation/sync.h"

namespace Fdisk {
class SimpleDisk;
}
class holder;
class stddisk;

namespace resizer {

// Error codes (facility 7).
constexpr std::uint32_t kInternal = 0x70001;
constexpr std::uint32_t kNotEnoughMemory = 0x70002;
constexpr std::uint32_t kReadError = 0x70003;
constexpr std::uint32_t kWriteError = 0x70004;
constexpr std::uint32_t kInvalidFileSystem = 0x70005;
constexpr std::uint32_t kInvalidPartitionSize = 0x70006;
constexpr std::uint32_t kFormatImpossible = 0x70007;
constexpr std::uint32_t kResizeImpossible = 0x70008;
constexpr std::uint32_t kUnableToSetVolumeLabel = 0x70009;
constexpr std::uint32_t kUnsupportedImageVersion = 0x7001F;
constexpr std::uint32_t kSnapshotFailed = 0x70021;
constexpr std::uint32_t kCanceled = 0x70022;
constexpr std::uint32_t kMergeImpossible = 0x70024;
constexpr std::uint32_t kLimitOf32Bit = 0x70026;

#define RESIZER_ERROR_CLASS(Name)                                      \
  class Name : public Common::Error {                                  \
   public:                                                             \
    Name();                                                            \
  };
RESIZER_ERROR_CLASS(NotEnoughMemory)
RESIZER_ERROR_CLASS(InvalidFileSystem)
RESIZER_ERROR_CLASS(InvalidPartitionSize)
RESIZER_ERROR_CLASS(FormatImpossible)
RESIZER_ERROR_CLASS(ResizeImpossible)
RESIZER_ERROR_CLASS(UnableToSetVolumeLabel)
RESIZER_ERROR_CLASS(UnsupportedImageVersion)
RESIZER_ERROR_CLASS(Canceled)
RESIZER_ERROR_CLASS(MergeImpossible)
RESIZER_ERROR_CLASS(LimitOf32Bit)
#undef RESIZER_ERROR_CLASS

// A damaged superblock found while loading: the error and the type code of
// the processor that found it.
class ErrorInSuperblock : public Common::Error {
 public:
  explicit ErrorInSuperblock(const Common::Error& e) : Common::Error(e) {}
  std::int32_t type = 0;
};

// 0x70001 with its "Internal error: ..." text.
[[noreturn]] void ThrowInternal(const char16_t* text);

// ---------------------------------------------------------------------------
// Job queue

class JobQueue {
 public:
  class Thread {
   public:
    virtual ~Thread();
    virtual void Run(void* job) = 0;
    virtual void Discard(void* job);  // frees a job that will not run
    virtual Thread* Clone();          // null: one worker only
    JobQueue* queue = nullptr;
  };

  // Takes the prototype; at most `capacity` jobs wait at a time.
  JobQueue(Thread* prototype, std::uint32_t capacity);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Adds a job, waiting while the ring is full; throws a worker's stored
  // error, or once shut down "shutdown in progress" (the job is discarded).
  void Push(void* job);
  // Stops the workers: with `wait` the queued jobs run first and a stored
  // error is thrown afterwards; without, they are discarded.
  void Shutdown(bool wait);

  std::uint32_t WorkerCount() const { return std::uint32_t(threads_.size()); }

 private:
  void WorkerLoop(Thread* thread);
  bool Empty() const { return read_ == write_; }
  bool Full() const { return (write_ + 1) % ringSize_ == read_; }

  std::unique_ptr<Thread> prototype_;
  std::uint32_t ringSize_;
  std::vector<void*> ring_;
  std::uint32_t write_ = 0, read_ = 0;
  Common::CriticalSection section_;
  Common::Error stored_;
  bool shutdown_ = false;
  std::uint32_t waitingWorkers_ = 0, waitingPosters_ = 0;
  Common::Semaphore jobs_{0}, room_{0};
  std::vector<std::thread> threads_;
};

// The number of processors, read once per process, at most 64.
std::uint32_t ProcessorCount();

// A progress report as the callback thread receives it.
struct ProgressJob {
  std::uint32_t perMille;
  std::uint64_t bytesDone;
  std::uint64_t extra;
};

// Turns a count of units done into per-mille reports, posted to a thread of
// their own so that a slow callback never stalls the copy.
class Progress {
 public:
  Progress() = default;
  virtual ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  virtual std::uint64_t ExtraValue() { return 0; }

  void Place(ResizerCallback* callback, std::uint64_t* runningTotal);
  void Start(std::uint64_t total, std::uint32_t unit);
  // Reports when `position` has passed the threshold.
  void Update(std::uint64_t newPosition);
  void Report();

  std::uint64_t position = 0;
  std::uint64_t next = ~0ull;

 private:
  void Post(std::uint32_t perMille);

  ResizerCallback* callback_ = nullptr;
  std::uint64_t* runningTotal_ = nullptr;
  std::uint64_t base_ = 0;
  std::unique_ptr<JobQueue> queue_;
  std::uint32_t shift_ = 0;
  std::uint64_t step_ = 1;
  std::uint64_t last_ = 0;
  std::uint32_t unit_ = 0;
};

// ---------------------------------------------------------------------------
// Processors

struct Run {
  std::uint64_t first;  // all ones: a run of free blocks
  std::uint32_t count;
  std::uint32_t unused;
};

class ChunkEnumerator {
 public:
  virtual ~ChunkEnumerator();
  virtual bool Next() = 0;
  virtual std::uint64_t Seek(std::uint64_t sector) = 0;
  virtual std::uint64_t Position() = 0;
  // The runs of the current chunk; never more than a chunk's blocks.
  virtual std::vector<Run> GetRuns() = 0;
  virtual std::uint32_t ChunkBytes() = 0;
  virtual bool QueryFlag() { return false; }
};

class FSProcessor {
 public:
  FSProcessor();
  virtual ~FSProcessor();
  FSProcessor(const FSProcessor&) = delete;
  FSProcessor& operator=(const FSProcessor&) = delete;

  virtual std::int32_t GetType() = 0;
  virtual void Load() = 0;
  virtual void Check(std::uint32_t mode, PartitionParameters* description) = 0;
  virtual void CheckAll();
  virtual void PrepareTarget(const FileSystemOptions* options, FSProcessor* source) = 0;
  virtual void CopyFrom(FSProcessor* source) = 0;
  virtual void Format() = 0;
  virtual void SetFileFilter(Da::BitArray* bitmap);
  virtual void Finish(const FileSystemOptions* options) = 0;
  virtual void GetParameters(PartitionParameters& out);
  virtual void SetParameters(const PartitionParameters& in);
  virtual void SetVolumeLabel(const FileSystemOptions* options);
  virtual void FillBitmap(Da::BitArray* bitmap) = 0;
  virtual void FillBitmapAlt(Da::BitArray* bitmap);
  virtual void FillPackedArray(Da::PackedArray* packed);
  virtual std::uint32_t QueryValue();
  virtual void FillBitmapSet(Da::BitArray* a, void* buffer, Da::BitArray* b);
  virtual void FillSecondBitmap(Da::BitArray* bitmap);
  virtual void InitPackedArray(Da::PackedArray* packed);
  virtual FSProcessor* Merge(FSProcessor* partner, const char16_t* directory);
  virtual void SetOptions(std::uint32_t a, std::uint32_t b, bool c);
  virtual void FillFilterBitmap(Da::BitArray* bitmap);
  virtual ChunkEnumerator* CreateChunkEnumerator(Da::BitArray* bitmap);
  virtual void CheckImageVersion();
  virtual void SetValue(std::uint8_t value);
  virtual void SetValues(std::uint32_t a, std::uint32_t b);

  void SetPlacement(Fdisk::SimpleDisk* device, std::uint32_t sectorSize, std::uint64_t start,
                    std::uint64_t length, std::uint8_t* cancelFlag, ResizerCallback* callback,
                    std::uint64_t* runningTotal, const std::uint64_t* specialSectors);
  void SetChunkSize(std::uint32_t bytes);
  void ReadSectors(std::uint64_t position, std::uint32_t count, void* buffer);
  void WriteSectors(std::uint64_t position, std::uint32_t count, const void* buffer);
  bool Overlaps(const FSProcessor& other) const;
  void ResetCancel();
  bool HasWritten() const { return sectorsWritten != 0; }
  // Writes where the file system lies (device, sizes, start, special
  // sectors, cancel byte) into a description.
  void DescribePlacement(PartitionParameters& out) const;

  Fdisk::SimpleDisk* device = nullptr;
  std::uint32_t sectorSize = 0;
  std::uint64_t start = 0;
  std::uint64_t length = 1;
  std::uint64_t fsLength = 1;
  std::uint32_t freeBlocks = 0;
  std::uint32_t fsParam12 = 0;
  std::uint32_t sectorsPerBlock = 1;
  std::uint32_t blockCount = 0;
  std::uint32_t fsParam1 = 0;
  std::uint64_t sectorsWritten = 0;
  char16_t label[256] = {};
  std::uint8_t volumeId[16] = {};
  std::uint32_t fsParam14 = 0, fsParam15 = 1;
  std::uint32_t fsParam10 = 0, fsParam11 = 0;
  std::uint64_t fsSector = 0;
  std::uint64_t specialSectors[4] = {};
  std::uint32_t blocksPerChunk = 0;
  std::uint8_t* cancelFlag;
  Progress progress;
};

// The cancel byte that is never set.
std::uint8_t* NeverSetCancelByte();

class NoFSProcessor : public FSProcessor {
 public:
  std::int32_t GetType() override { return 0; }
  void Load() override;
  void Check(std::uint32_t, PartitionParameters*) override {}
  void CheckAll() override {}
  void PrepareTarget(const FileSystemOptions* options, FSProcessor* source) override;
  void CopyFrom(FSProcessor* source) override;
  void Format() override;
  void Finish(const FileSystemOptions* options) override;
  void GetParameters(PartitionParameters& out) override;
  void SetParameters(const PartitionParameters& in) override;
  void FillBitmap(Da::BitArray*) override {}
  ChunkEnumerator* CreateChunkEnumerator(Da::BitArray* bitmap) override;

  bool patchBoot = false;
  std::uint32_t hiddenSectors = 0;
  PartitionParameters sourceInfo;

 private:
  void DecidePatch(const FileSystemOptions* options);
  // Patches one sector in place; true when it was a boot sector.
  bool PatchBoot(std::uint8_t* sector, std::uint32_t value) const;
  void CopyHook(std::uint8_t* buffer, std::uint64_t position, std::uint64_t count);
  void FixBootInPlace();
  void CopyBackwards(FSProcessor* source, std::uint8_t* buffer, std::uint32_t chunk);
  void CopyForwards(FSProcessor* source, std::uint8_t* buffer, std::uint32_t chunk,
                    std::uint32_t big);
};

class DefaultChunkEnumerator : public ChunkEnumerator {
 public:
  DefaultChunkEnumerator(std::uint32_t sectorSize, std::uint32_t sectorsPerBlock,
                         std::uint32_t blocksPerChunk, const Da::BitArray& used);
  bool Next() override;
  std::uint64_t Seek(std::uint64_t sector) override;
  std::uint64_t Position() override;
  std::vector<Run> GetRuns() override;
  std::uint32_t ChunkBytes() override;

 private:
  std::uint32_t sectorSize_, sectorsPerBlock_, blocksPerChunk_;
  std::uint32_t current_ = 0;
  Da::BitArray used_;
};

class NoFSChunkEnumerator : public ChunkEnumerator {
 public:
  NoFSChunkEnumerator(std::uint32_t sectorSize, std::uint32_t chunkSectors, std::uint64_t total);
  bool Next() override;
  std::uint64_t Seek(std::uint64_t sector) override;
  std::uint64_t Position() override { return current_; }
  std::vector<Run> GetRuns() override;
  std::uint32_t ChunkBytes() override;

 private:
  std::uint32_t sectorSize_, chunkSectors_;
  std::uint64_t total_;
  std::uint64_t current_ = 0;
};

// ---------------------------------------------------------------------------
// Requests

struct BufferRecord {
  void* data = nullptr;
  std::uint32_t count = 0;
};

struct ResizeRequest {
  std::uint32_t flags = 0;
  const FileSystemOptions* options = nullptr;
  PartitionParameters* source = nullptr;
  PartitionParameters* partner = nullptr;
  PartitionParameters* destination = nullptr;
  bool* touched = nullptr;
  Da::PackedArray* packedOut2 = nullptr;
  Da::BitArray* bitmapOut = nullptr;
  Da::PackedArray* packedOut1 = nullptr;
  Da::BitArray* setA = nullptr;
  BufferRecord* setBuffer = nullptr;
  Da::BitArray* setB = nullptr;
  Da::BitArray* bitmap2 = nullptr;
  std::uint32_t option1 = 0;
  Da::BitArray* filter = nullptr;
  std::uint8_t value = 0;
  std::uint32_t values1 = 0, values2 = 0;
  std::uint32_t option2 = 0;
  std::uint32_t chunkBytes = 0;
  ChunkEnumerator** enumeratorOut = nullptr;
  std::uint32_t* valueOut = nullptr;

  void Run();
};

using ProcessorFactory = FSProcessor* (*)();
void RegisterRawProcessor();
// Clears the table (tests).
void ClearProcessorFactories();
FSProcessor* CreateFSProcessor(std::int32_t type);

// Installs the resizer's operator-new failure handler for a scope.
class ResizerNewHandlerGuard {
 public:
  ResizerNewHandlerGuard() noexcept;
  ~ResizerNewHandlerGuard();
  ResizerNewHandlerGuard(const ResizerNewHandlerGuard&) = delete;
  ResizerNewHandlerGuard& operator=(const ResizerNewHandlerGuard&) = delete;

 private:
  std::new_handler previous_;
};

}  // namespace resizer

namespace Da {

Common::Error RunResizer(Common::Error& result, std::uint32_t flags,
                         const FileSystemOptions* options, PartitionParameters* source,
                         PartitionParameters* partner, PartitionParameters* destination,
                         bool* touched);
Common::Error RunResizer(Common::Error& result, resizer::ResizeRequest& request);
void RunResizerFormat(PartitionParameters* destination, Common::Error& result,
                      const FileSystemOptions* options);
void DescribePartition(Common::Error& result, std::uint32_t flags,
                       PartitionParameters& description);

// Callbacks the disk layer hands the holder layer.
bool HasKnownFileSystem(Fdisk::SimpleDisk* device);
void FormatRawDevice(Common::Error& result, Fdisk::SimpleDisk* device);
// The MBR type byte of a new FAT12/16 partition: 0x04 up to 65535 sectors,
// else 0x06, and 0x01 when its file system is FAT12.
std::uint8_t PickFatPartitionType(holder* h);
// The file-system probe over a whole disk, or over a partition when one is
// given.
bool HasKnownFileSystemOn(stddisk* disk, holder* h);
Common::Error FormatRawDeviceOf(Fdisk::SimpleDisk* device);
// Hands the three to the holder layer, or takes them back.
void InstallPartitionCallbacks();
void RemovePartitionCallbacks();

}  // namespace Da
