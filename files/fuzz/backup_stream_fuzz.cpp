// Fuzz target: backup streams as an entry's Windows stream item might hold
// them, walked by the splitter with every flag combination and compared with
// themselves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "backup_memory_stream.h"
#include "files/backup_stream.h"
#include "files/file_error.h"

namespace {

bool Known(std::uint32_t code) {
  return code == 0 || code == kFileCorrupted || code == kFileSeekError || code == kFileReadError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  std::uint32_t codes[4];
  for (std::uint32_t flags = 0; flags < 16; flags += 4) {
    backup_memory_source source(bytes);
    // Small chunks make the copy loop turn many times.
    backup_memory_sink sink(7);
    BackupContext context(nullptr, u"fuzz", true);
    const Common::Error error = SplitBackupStreamFiltered(&sink, source, flags, context);
    if (!Known(error.Code())) std::abort();
    // Nothing is written that was not in the input, in its order.
    if (sink.bytes().size() > size) std::abort();
    if (flags == 0 && error.IsNull() && sink.bytes() != bytes) std::abort();
    if (flags == 12 && !sink.bytes().empty()) std::abort();
    codes[flags / 4] = error.Code();
  }
  // Whether the stream holds together does not depend on which records are
  // kept.
  if ((codes[0] == 0) != (codes[3] == 0)) std::abort();

  // The boundary tracker a restore uses agrees with the splitter.
  BackupRecordTracker tracker;
  const bool fed = tracker.feed(bytes.data(), bytes.size());
  if (codes[0] == 0 && (!fed || !tracker.at_boundary())) std::abort();
  if (!fed && codes[0] != kFileCorrupted) std::abort();

  // A stream compared with itself is equal.
  backup_memory_source source(bytes);
  backup_memory_source again(bytes);
  BackupStreamsComparator comparator(again);
  BackupContext context(nullptr, u"fuzz", false);
  const Common::Error error = SplitBackupStream(&comparator, &comparator, source, context);
  if (!Known(error.Code()) || !comparator.equal()) std::abort();
  return 0;
}
