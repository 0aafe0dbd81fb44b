// The copy loop of the temporary folder's extraction: a copy either holds
// every byte of the entry or is reported as failed.
#include <gtest/gtest.h>

#include "files/file_error.h"
#include "files/temp_folder.h"
#include "resource_test_support.h"

namespace {

using namespace resource_test;

// An entry whose read fails once `good` bytes have been delivered.
class FailingEntry : public MemoryFile {
 public:
  FailingEntry(Bytes data, std::uint64_t good) : MemoryFile(std::move(data)), good_(good) {}
  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (delivered_ >= good_) {
      fail_with(kFileCorrupted);
      return;
    }
    MemoryFile::read(buffer, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, good_ - delivered_)), count);
    delivered_ += count;
  }

 private:
  std::uint64_t good_;
  std::uint64_t delivered_ = 0;
};

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i * 7 + i / 251);
  return b;
}

TEST(CopyEntryToFile, SucceedsOnlyWithEveryByteWritten) {
  struct Case {
    const char* what;
    std::size_t size;
    std::uint64_t writeLimit;     // bytes the target takes before it is full
    std::uint64_t failReadAfter;  // bytes the entry delivers before failing
    bool ok;
    std::uint32_t targetError;
  } cases[] = {
      {"empty entry", 0, ~0ull, ~0ull, true, 0},
      {"several buffers", 3 * kExtractBufferSize + 17, ~0ull, ~0ull, true, 0},
      {"exactly one buffer", kExtractBufferSize, ~0ull, ~0ull, true, 0},
      {"disk full inside the second buffer", 3 * kExtractBufferSize, kExtractBufferSize + 5, ~0ull,
       false, kFileDiskFull},
      {"disk full with nothing written", 10, 0, ~0ull, false, kFileDiskFull},
      {"disk full at the last byte", 1000, 999, ~0ull, false, kFileDiskFull},
      {"entry damaged in the middle", 2 * kExtractBufferSize, ~0ull, kExtractBufferSize + 3, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes data = Pattern(c.size);
    FailingEntry entry(data, c.failReadAfter);
    MemoryFile target;
    target.write_limit = c.writeLimit;
    EXPECT_EQ(CopyEntryToFile(entry, target), c.ok);
    if (c.ok) {
      EXPECT_EQ(target.data(), data);
      EXPECT_TRUE(target.is_ok());
    }
    EXPECT_EQ(target.error().Code(), c.targetError);
  }
}

}  // namespace
