// The backup stream of one entry of a mounted volume, and the pumps between
// a driver's backup and restore objects and the caller's streams.
//
// A backup stream is a sequence of items, each an item kind and its bytes:
// 1 attributes (a 32-bit little-endian Windows attribute word; 0x10 marks a
// directory), 2 Windows backup streams, 3 raw encrypted data, 4 data fork,
// 5 times, 6 POSIX attributes, 7 extended attributes. The restore side
// decides from the first item whether it re-creates a directory (kind 1 with
// 0x10 set) or a file (anything else).
#pragma once

#include <cstdint>
#include <string>

#include "filesystems/driver.h"

namespace filesystems {

enum BackupItemKind : std::uint32_t {
  kItemNone = 0,
  kItemAttributes = 1,
  kItemWindowsStreams = 2,
  kItemEncryptedData = 3,
  kItemDataFork = 4,
  kItemTimes = 5,
  kItemPosixAttributes = 6,
  kItemExtendedAttributes = 7,
};

// One item's output. It lends buffers, takes filled ones (ownership passes)
// and keeps the first error in its file_object part.
class BackupItemStream : public virtual file_object {
 public:
  struct RawData {
    std::uint8_t* block = nullptr;  // the allocation
    std::uint32_t offset = 0;       // where the data start within it
    std::uint32_t size = 0;         // bytes of data
  };
  // A buffer of `size` bytes, or null when memory is short.
  virtual RawData* MakeRawData(std::uint32_t size) = 0;
  // Takes back a buffer that was not written.
  virtual void TakeBack(RawData* data) = 0;
  virtual void Write(RawData* data) = 0;
};

// Makes one output per item kind; null with the reason stored in it.
class BackupStreamFactory : public virtual file_object {
 public:
  virtual BackupItemStream* OpenItem(std::uint32_t kind) = 0;
};

// Hands out the items of a stream to restore: a new input per item with its
// kind, null at the end (an error stored in the provider then says why).
class RestoreItemProvider : public virtual file_object {
 public:
  virtual i_file* NextItem(std::uint8_t& kind) = 0;
};

class ProgressReceiver {
 public:
  virtual ~ProgressReceiver();
  virtual void Report(std::uint64_t bytesSoFar) = 0;
  virtual bool ShouldStop() = 0;
};

struct BackupTarget {
  BackupStreamFactory* factory = nullptr;
  ProgressReceiver* progress = nullptr;
  std::uint32_t option = 0;
};

struct RestoreSource {
  RestoreItemProvider* provider = nullptr;
  ProgressReceiver* progress = nullptr;
  std::uint32_t option = 0;
};

// A buffer of `size` bytes aligned to `alignment` from the stream, or null.
BackupItemStream::RawData* AllocateAlignedBuffer(BackupItemStream& stream, std::uint32_t size,
                                                 std::uint32_t alignment);

// Both are called with the driver's object lock held and return with it
// held; they leave it while they work with the caller's streams. A backup
// object that returns 0 bytes without moving to another item kind is a
// broken serialiser and fails with 0x4000d instead of looping.
void BackupEntry(FileSystemDriver& driver, FileSystemDriver::DirectoryObject* directory,
                 FileSystemDriver::IteratorObject* entry, const BackupTarget& target);
void RestoreEntry(FileSystemDriver& driver, FileSystemDriver::DirectoryObject* directory,
                  const std::u16string& name, const RestoreSource& source);

}  // namespace filesystems
