// The copy loop of the temporary folder's extraction.
#include "files/temp_folder.h"

#include <memory>
#include <new>

bool CopyEntryToFile(i_file& entry, o_file& target) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kExtractBufferSize]);
  if (!buffer) return false;
  for (;;) {
    std::uint32_t count = 0;
    entry.read(buffer.get(), kExtractBufferSize, count);
    if (entry.has_failed()) return false;
    // Reading on to a zero count lets an archive entry check its CRC.
    if (count == 0) return true;
    // A write that takes fewer bytes than given is a full disk, not success.
    target.write_exact(buffer.get(), count);
    if (target.has_failed()) return false;
  }
}
