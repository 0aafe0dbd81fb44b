// The snapshot code's platform without Windows: the stand-in library's own
// wake-up events, and POSIX files for the temporary storage. The files keep
// the rules of an unbuffered Windows file: every transfer must be whole
// sectors at a sector offset from a sector-aligned buffer, or it fails with
// EINVAL, so that the native tests catch a transfer Windows would refuse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "diskaccess/snapshots.h"
#include "foundation/text.h"
#include "sblib/native_event.h"

namespace Da {

bool SnapshotEventWait(std::uint32_t event) { return SbNativeEventWait(event) == 1; }
bool SnapshotEventSet(std::uint32_t event) { return SbNativeEventSet(event) == 1; }
bool SnapshotEventReset(std::uint32_t event) { return SbNativeEventReset(event) == 1; }

namespace {

constexpr std::uint32_t kSector = 512;

struct PosixFile {
  int fd;
  std::string path;
};

std::string Narrow(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}

bool Aligned(const void* data, std::uint32_t bytes, std::uint64_t offset) {
  return reinterpret_cast<std::uintptr_t>(data) % kSector == 0 && bytes % kSector == 0 &&
         offset % kSector == 0;
}

class PosixSnapshotFiles : public SnapshotFileSystem {
 public:
  std::uint32_t TempPath(std::u16string& path, std::uint32_t& error) override {
    const char* dir = std::getenv("TMPDIR");
    std::string text = dir != nullptr && dir[0] != 0 ? dir : "/tmp";
    if (text.back() != '/') text += '/';
    path.assign(text.begin(), text.end());
    error = 0;
    return static_cast<std::uint32_t>(path.size());
  }
  void MakeDirectory(const std::u16string& directory) override {
    if (!directory.empty()) mkdir(Narrow(directory).c_str(), 0700);
  }
  std::uint32_t TempFileName(const std::u16string& directory, std::u16string& name) override {
    std::string dir = Narrow(directory);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    for (unsigned attempt = 0; attempt < 0x10000; ++attempt) {
      char unique[16];
      std::snprintf(unique, sizeof unique, "qvl%04X.tmp",
                    (static_cast<unsigned>(getpid()) + attempt * 7919u) & 0xFFFFu);
      const std::string path = dir + unique;
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
      if (fd >= 0) {
        close(fd);
        name.assign(path.begin(), path.end());
        return 0;
      }
      if (errno != EEXIST) return static_cast<std::uint32_t>(errno);
    }
    return EEXIST;
  }
  bool SectorSize(const std::u16string&, std::uint32_t& bytes) override {
    bytes = kSector;
    return true;
  }
  std::uint32_t Open(const std::u16string& path, bool ours, void*& file) override {
    file = nullptr;
    const std::string name = Narrow(path);
    const int fd = open(name.c_str(), ours ? O_RDWR : O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return static_cast<std::uint32_t>(errno);
    file = new PosixFile{fd, name};
    return 0;
  }
  std::uint32_t WriteAt(void* file, const void* data, std::uint32_t bytes, std::uint64_t offset,
                        std::uint32_t& done) override {
    done = 0;
    if (!Aligned(data, bytes, offset)) return EINVAL;
    const ssize_t n = pwrite(static_cast<PosixFile*>(file)->fd, data, bytes,
                             static_cast<off_t>(offset));
    if (n < 0) return static_cast<std::uint32_t>(errno);
    done = static_cast<std::uint32_t>(n);
    return 0;
  }
  std::uint32_t ReadAt(void* file, void* data, std::uint32_t bytes, std::uint64_t offset,
                       std::uint32_t& done) override {
    done = 0;
    if (!Aligned(data, bytes, offset)) return EINVAL;
    const ssize_t n = pread(static_cast<PosixFile*>(file)->fd, data, bytes,
                            static_cast<off_t>(offset));
    if (n < 0) return static_cast<std::uint32_t>(errno);
    done = static_cast<std::uint32_t>(n);
    return 0;
  }
  std::uint32_t FileId(void* file, std::uint64_t& id) override {
    struct stat st;
    if (fstat(static_cast<PosixFile*>(file)->fd, &st) != 0) return static_cast<std::uint32_t>(errno);
    id = static_cast<std::uint64_t>(st.st_ino);
    return 0;
  }
  bool SetSize(void* file, std::uint64_t bytes) override {
    return ftruncate(static_cast<PosixFile*>(file)->fd, static_cast<off_t>(bytes)) == 0;
  }
  void Close(void* file) override {
    // Deleted on close, as Windows does for the storage's file.
    auto* f = static_cast<PosixFile*>(file);
    close(f->fd);
    unlink(f->path.c_str());
    delete f;
  }
};

}  // namespace

SnapshotFileSystem& PlatformSnapshotFileSystem() {
  static PosixSnapshotFiles files;
  return files;
}

}  // namespace Da
