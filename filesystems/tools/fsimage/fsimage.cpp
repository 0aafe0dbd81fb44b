// fsimage: a file-system image tool for tests and benchmarks (not part of
// the product). It opens an image through the disk model and the driver
// factory and works through the framework's directory views, as a caller of
// the system would.
//
//   fsimage [--offset BYTES | --partition N] [--sector-size 512|4096]
//           [--read-only] [--fake-fs] [--fail-after-writes N] [--count-writes]
//           IMAGE COMMAND [ARGS]
//
// --partition N counts the partitions the disk model finds (MBR, and GPT
// once its driver is in the model's list), in order of their first sector,
// from 1. --fake-fs puts the framework's in-memory test driver behind the
// factory (and adds the command "mkfake", which writes an empty tree).
//
// The backup stream on standard output is a list of items: one byte of item
// kind, a 64-bit little-endian length and the item's bytes; "restore" reads
// the same.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "disktest/image_disk.h"
#include "disktest/test_disk.h"
#include "fake_driver.h"
#include "fdisk/mbr_driver.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"
#include "fdisk/raw_driver.h"
#include "files/file_error.h"
#include "filesystems/factory.h"
#include "filesystems/system_drivers.h"
#include "filesystems/views.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"
#include "image_volume.h"
#include "memory_streams.h"

namespace {

constexpr std::uint32_t kCacheKey = 0xF5140001;

struct Failure {
  std::string text;
  std::uint32_t code;
};

std::string Utf8(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}
std::u16string Utf16(const std::string& text) {
  std::u16string out;
  if (!Common::Utf8ToUtf16(out, text)) throw Failure{"name is not valid UTF-8: " + text, 0};
  return out;
}

// The file layer's texts, for when no message catalog is loaded (this tool
// runs without the program's payload).
const char* FallbackText(std::uint32_t code) {
  switch (code) {
    case kFileReadError: return "Error occurred while reading the file.";
    case kFileEndOfFile: return "The end of the file has been reached.";
    case kFileWriteError: return "Error occurred while writing the file.";
    case kFileDiskFull: return "The disk is full.";
    case kFileOutOfMemory: return "Not enough memory to complete the operation.";
    case kFileOpenError: return "Error occurred while opening the file.";
    case kFileDeleteError: return "Error occurred while deleting the file.";
    case kFileRenameError: return "Error occurred while renaming the file.";
    case kFileCreateError: return "Error occurred while creating the file.";
    case kFileReadOnly: return "The file is read-only.";
    case kFileCorrupted: return "The file is corrupted.";
    case kFileNotSupported: return "The operation is not supported.";
    case kFileCanceled: return "Canceled.";
    case kFileNotFound: return "The specified file does not exist.";
    case kFileAlreadyExists: return "The file (folder) already exists.";
    case kFileAccessDenied: return "Access to the file or folder is denied.";
  }
  return nullptr;
}

std::string ErrorText(const Common::Error& error) {
  std::u16string text;
  Common::Describe(text, error);
  if (!text.empty()) return Utf8(text);
  const char* fallback = FallbackText(error.Code());
  return fallback ? fallback : "";
}

[[noreturn]] void Fail(const Common::Error& error, const std::string& what) {
  std::u16string text = Utf16(ErrorText(error));
  std::string message = what;
  if (!text.empty()) message += ": " + Utf8(text);
  throw Failure{message, error.Code()};
}

// Fails with the object's stored error, if any.
void Check(file_object* object, const std::string& what) {
  if (object && !object->is_ok()) Fail(object->error(), what);
}

// A volume path without its leading '/', as the root view takes it.
std::u16string Relative(const std::string& path) {
  std::string p = path;
  while (!p.empty() && p[0] == '/') p.erase(0, 1);
  return Utf16(p.empty() ? "." : p);
}

// ---------------------------------------------------------------------------
// Finding the partition

struct PartitionFinder : Fdisk::LocationVisitor {
  void Visit(Fdisk::MbrLocation& l) override { found.emplace_back(l.firstSector, l.sectorCount); }
  void Visit(Fdisk::GptLocation& l) override { found.emplace_back(l.firstSector, l.sectorCount); }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
};

std::pair<std::uint64_t, std::uint64_t> FindPartition(const std::string& image,
                                                      std::uint32_t sectorSize, unsigned n) {
  DiskTest::TestDisk disk(std::make_unique<DiskTest::ImageDisk>(image, sectorSize, true));
  Fdisk::DiskMap disks{{disk.GetId(), &disk}};
  Fdisk::PSRawDriver raw;
  Fdisk::Layer empty;
  raw.LoadDisks(disks, empty);
  Fdisk::Layer rawLayer = raw.GetPortions();
  Fdisk::Layer head = rawLayer;
  Fdisk::PSDriverFactory factory(0, 0);
  std::list<Fdisk::PSDriver*> drivers = factory.CreateDrivers();
  // Until the model lists its scheme drivers, the MBR driver is asked
  // directly.
  std::unique_ptr<Fdisk::PSDriver> mbr;
  if (drivers.empty()) {
    mbr = std::make_unique<Fdisk::PSMbrDriver>();
    drivers.push_back(mbr.get());
  }
  for (Fdisk::PSDriver* driver : drivers) {
    driver->ProcessLayers(rawLayer, head);
    head = driver->GetPortions();
  }
  PartitionFinder finder;
  for (auto& entry : head)
    if (!entry.second.IsFree()) entry.second.GetLocation().Accept(finder);
  std::sort(finder.found.begin(), finder.found.end());
  if (n == 0 || n > finder.found.size())
    throw Failure{"no partition " + std::to_string(n) + " (the disk has " +
                      std::to_string(finder.found.size()) + ")",
                  kFileNotFound};
  return finder.found[n - 1];
}

// ---------------------------------------------------------------------------
// Commands

const char* TypeLetter(std::uint32_t type) {
  if (type == kObjectFile) return "f";
  if (type == kObjectFileSymlink) return "l";
  if (IsDirectoryLike(type)) return "d";
  return "o";
}

struct Entry {
  std::string path;
  std::string type;
  std::uint64_t size;
};

void Walk(i_dir* dir, const std::string& prefix, std::vector<Entry>& out) {
  std::unique_ptr<i_dir::iterator> it(dir->list());
  Check(dir, "cannot list " + (prefix.empty() ? "/" : prefix));
  for (; it && it->is_ok(); it->next()) {
    if (it->is_hidden()) continue;
    std::string name = Utf8(it->name());
    std::string path = prefix + "/" + name;
    std::uint32_t type = it->object_type();
    out.push_back({path, TypeLetter(type), it->size()});
    if (IsDirectoryLike(type)) {
      std::unique_ptr<i_dir> child(dir->open_dir_at(it.get()));
      Check(dir, "cannot open " + path);
      Walk(child.get(), path, out);
    }
  }
  if (it && it->error().Code() != kFileEndOfFile) Check(it.get(), "cannot list " + prefix);
}

int Tree(rio_dir* root, const std::string& path) {
  std::unique_ptr<i_dir> dir(root->open_dir(Relative(path).c_str()));
  Check(root, "cannot open " + path);
  std::string prefix = path;
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (!prefix.empty() && prefix[0] != '/') prefix = "/" + prefix;
  std::vector<Entry> entries;
  Walk(dir.get(), prefix, entries);
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  for (auto& e : entries) std::printf("%s\t%" PRIu64 "\t%s\n", e.type.c_str(), e.size, e.path.c_str());
  return 0;
}

int Ls(rio_dir* root, const std::string& path) {
  std::unique_ptr<i_dir> dir(root->open_dir(Relative(path).c_str()));
  Check(root, "cannot open " + path);
  std::unique_ptr<i_dir::iterator> it(dir->list());
  Check(dir.get(), "cannot list " + path);
  for (; it && it->is_ok(); it->next()) {
    std::uint32_t attributes = it->attributes(), mode = it->mode();
    std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t", TypeLetter(it->object_type()), it->size(),
                it->write_time());
    if (mode != kNoAttributes)
      std::printf("mode=%o\towner=%u:%u", mode, it->owner_id(), it->group_id());
    else
      std::printf("attributes=0x%x", attributes == kNoAttributes ? 0 : attributes);
    std::printf("\tlinks=%u\t%s\n", it->link_count(), Utf8(it->name()).c_str());
  }
  return 0;
}

int Cat(rio_dir* root, const std::string& path) {
  std::unique_ptr<i_file> file(root->open_file(Relative(path).c_str(), true));
  Check(root, "cannot open " + path);
  std::vector<char> buffer(65536);
  for (;;) {
    std::uint32_t done = 0;
    file->read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), done);
    Check(file.get(), "cannot read " + path);
    if (done == 0) break;
    std::fwrite(buffer.data(), 1, done, stdout);
  }
  return 0;
}

int Put(rio_dir* root, const std::string& path) {
  std::unique_ptr<rio_file> file(root->create_file(Relative(path).c_str(), false, nullptr));
  Check(root, "cannot create " + path);
  std::vector<char> buffer(65536);
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), stdin)) > 0) {
    file->write_exact(buffer.data(), static_cast<std::uint32_t>(n));
    Check(file.get(), "cannot write " + path);
  }
  return 0;
}

// The caller's side of a backup that writes items to standard output.
class StdoutItem : public filesystems::BackupItemStream {
 public:
  explicit StdoutItem(std::uint32_t kind) : kind_(kind) {}
  ~StdoutItem() override {
    std::uint8_t head[9];
    head[0] = static_cast<std::uint8_t>(kind_);
    Common::StoreLe64(head + 1, bytes_.size());
    std::fwrite(head, 1, 9, stdout);
    std::fwrite(bytes_.data(), 1, bytes_.size(), stdout);
  }
  RawData* MakeRawData(std::uint32_t size) override {
    auto* raw = new RawData;
    raw->block = new std::uint8_t[size ? size : 1];
    raw->size = size;
    return raw;
  }
  void TakeBack(RawData* raw) override {
    delete[] raw->block;
    delete raw;
  }
  void Write(RawData* raw) override {
    bytes_.insert(bytes_.end(), raw->block + raw->offset, raw->block + raw->offset + raw->size);
    TakeBack(raw);
  }

 private:
  std::uint32_t kind_;
  std::vector<std::uint8_t> bytes_;
};

class StdoutFactory : public filesystems::BackupStreamFactory {
 public:
  filesystems::BackupItemStream* OpenItem(std::uint32_t kind) override {
    return new StdoutItem(kind);
  }
};

std::pair<std::u16string, std::u16string> SplitParent(const std::string& path) {
  std::u16string rel = Relative(path);
  auto cut = rel.rfind(u'/');
  if (cut == std::u16string::npos) return {u".", rel};
  return {rel.substr(0, cut), rel.substr(cut + 1)};
}

int Backup(rio_dir* root, const std::string& path) {
  auto parts = SplitParent(path);
  std::unique_ptr<rio_dir> parent(root->open_dir(parts.first.c_str()));
  Check(root, "cannot open the folder of " + path);
  std::unique_ptr<i_dir::iterator> entry(parent->find(parts.second.c_str()));
  Check(parent.get(), "cannot find " + path);
  std::unique_ptr<file_identifier> id(entry->id());
  StdoutFactory factory;
  filesystems::bkup_request request;
  request.target.factory = &factory;
  request.entry = id.get();
  parent->control(&request);
  Check(parent.get(), "cannot back up " + path);
  return 0;
}

int Restore(rio_dir* root, const std::string& path) {
  std::vector<fstest::RecordedItem> items;
  for (;;) {
    std::uint8_t head[9];
    std::size_t got = std::fread(head, 1, 9, stdin);
    if (got == 0) break;
    if (got != 9) throw Failure{"the backup stream ends inside an item header", kFileCorrupted};
    std::uint64_t length = Common::LoadLe64(head + 1);
    if (length > filesystems::kMaxDiskSizedAllocation)
      throw Failure{"an item of the backup stream is too long", kFileCorrupted};
    fstest::RecordedItem item{head[0], std::vector<std::uint8_t>(static_cast<std::size_t>(length))};
    if (length && std::fread(item.bytes.data(), 1, item.bytes.size(), stdin) != length)
      throw Failure{"the backup stream ends inside an item", kFileCorrupted};
    items.push_back(std::move(item));
  }
  auto parts = SplitParent(path);
  std::unique_ptr<rio_dir> parent(root->open_dir(parts.first.c_str()));
  Check(root, "cannot open the folder of " + path);
  fstest::MemoryItemProvider provider(std::move(items));
  filesystems::rstr_request request;
  request.source.provider = &provider;
  request.name = parts.second.c_str();
  parent->control(&request);
  Check(parent.get(), "cannot restore " + path);
  return 0;
}

int Info(filesystems::FileSystemDriver* driver, rio_dir* root) {
  filesystems::gfst_request name;
  root->control(&name);
  Check(root, "cannot name the file system");
  char16_t label[256] = {};
  root->volume_info(label, 256);
  std::uint64_t total = 0, free = 0, available = 0;
  root->disk_space(total, free, available);
  Check(root, "cannot read the volume sizes");
  std::printf("file system\t%s\nlabel\t%s\nsector size\t%u\ntotal bytes\t%" PRIu64
              "\nfree bytes\t%" PRIu64 "\n",
              Utf8(name.name).c_str(), Utf8(label).c_str(), driver->SectorSize(), total, free);
  return 0;
}


// The bytes "batch" writes: byte k of a piece with seed s, so that a test
// can predict every file's content without sending it.
char PatternByte(std::uint32_t seed, std::uint64_t k) {
  return static_cast<char>((seed * 131u + k * 7u + (k >> 8)) & 0xFF);
}

std::uint32_t CodeOf(file_object* object) { return object->is_ok() ? 0 : object->error().Code(); }

// The POSIX-style changes: chmod PATH MODE, chown PATH UID GID, mknod PATH
// TYPE MODE MAJOR MINOR (TYPE as the framework numbers it: 1 character
// device, 2 block device, 3 FIFO, 4 socket), touch PATH MTIME ATIME (ms
// since 1970, signed). False for another command.
bool PosixChange(rio_dir* root, const std::vector<std::string>& f) {
  auto field = [&](std::size_t k) -> const std::string& {
    if (k >= f.size()) throw Failure{"missing argument to " + f[0], kFileNotSupported};
    return f[k];
  };
  auto number = [&](std::size_t k) { return std::strtoull(field(k).c_str(), nullptr, 0); };
  const std::string& op = f[0];
  if (op == "chmod") {
    root->set_mode(Relative(field(1)).c_str(), static_cast<std::uint32_t>(std::strtoul(field(2).c_str(), nullptr, 8)));
  } else if (op == "chown") {
    root->set_owner(Relative(field(1)).c_str(), static_cast<std::uint32_t>(number(2)),
                    static_cast<std::uint32_t>(number(3)));
  } else if (op == "mknod") {
    root->create_node(Relative(field(1)).c_str(), static_cast<std::uint32_t>(number(2)),
                      static_cast<std::uint32_t>(std::strtoul(field(3).c_str(), nullptr, 8)),
                      static_cast<std::uint32_t>(number(4)), static_cast<std::uint32_t>(number(5)));
  } else if (op == "touch") {
    const std::u16string path = Relative(field(1));
    filesystems::stme_request request;
    request.path = path.c_str();
    request.modificationTime = static_cast<std::uint64_t>(std::strtoll(field(2).c_str(), nullptr, 0));
    request.accessTime = static_cast<std::uint64_t>(std::strtoll(field(3).c_str(), nullptr, 0));
    root->control(&request);
  } else {
    return false;
  }
  return true;
}

// "batch": one operation per line of standard input, fields separated by
// tabs; one line of output per operation with the error code (0: done).
//   put PATH SIZE SEED | write PATH OFFSET SIZE SEED | truncate PATH SIZE |
//   rm PATH | mkdir PATH | rmdir PATH | mv FROM TO | ln EXISTING NEW |
//   symlink TARGET PATH | and the POSIX-style changes above
int Batch(rio_dir* root) {
  std::string line;
  char buffer[65536];
  while (std::getline(std::cin, line)) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
      auto tab = line.find('\t', start);
      f.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    auto field = [&](std::size_t k) -> const std::string& {
      if (k >= f.size()) throw Failure{"batch: missing field in " + line, kFileNotSupported};
      return f[k];
    };
    auto number = [&](std::size_t k) { return std::strtoull(field(k).c_str(), nullptr, 0); };
    const std::string& op = field(0);
    std::uint32_t code = 0;
    if (op == "put" || op == "write") {
      const bool put = op == "put";
      std::unique_ptr<rio_file> file(
          put ? root->create_file(Relative(field(1)).c_str(), false, nullptr)
              : root->open_file_rw(Relative(field(1)).c_str(), false));
      if (!file) {
        code = CodeOf(root);
      } else {
        const std::uint64_t offset = put ? 0 : number(2);
        const std::uint64_t size = number(put ? 2 : 3);
        const auto seed = static_cast<std::uint32_t>(number(put ? 3 : 4));
        file->seek_set(static_cast<std::int64_t>(offset));
        for (std::uint64_t done = 0; done < size && file->is_ok();) {
          const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(sizeof buffer, size - done));
          for (std::uint32_t k = 0; k < n; ++k) buffer[k] = PatternByte(seed, done + k);
          file->write_exact(buffer, n);
          done += n;
        }
        code = CodeOf(file.get());
      }
    } else if (op == "truncate") {
      std::unique_ptr<rio_file> file(root->open_file_rw(Relative(field(1)).c_str(), false));
      if (!file) {
        code = CodeOf(root);
      } else {
        file->set_size(number(2));
        code = CodeOf(file.get());
      }
    } else {
      if (op == "rm") root->delete_file(Relative(field(1)).c_str());
      else if (op == "mkdir") root->create_dir(Relative(field(1)).c_str(), nullptr);
      else if (op == "rmdir") root->remove_dir(Relative(field(1)).c_str());
      else if (op == "mv") root->move(Relative(field(1)).c_str(), Relative(field(2)).c_str());
      else if (op == "ln")
        root->create_hard_link(Relative(field(2)).c_str(), Relative(field(1)).c_str());
      else if (op == "symlink")
        root->create_junction(Relative(field(2)).c_str(), Utf16(field(1)).c_str(), 0, 0);
      else if (!PosixChange(root, f)) throw Failure{"batch: unknown operation " + op, kFileNotSupported};
      code = CodeOf(root);
    }
    std::printf("0x%x\n", code);
  }
  return 0;
}

// A volume whose writes fail from the n-th on, as a device that went away
// in the middle of a write-back would.
class FailingVolume : public fstest::ImageVolume {
 public:
  FailingVolume(const std::string& path, std::uint32_t sectorSize, std::uint64_t offset,
                bool readOnly, std::uint64_t writesAllowed)
      : ImageVolume(path, sectorSize, offset, readOnly), allowed_(writesAllowed) {}
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (op == Fdisk::kIoWrite && allowed_ != kNoLimit) {
      if (allowed_ == 0) return Common::Error(0x01, 0x7A1F0003, kDeviceErrorCode);
      --allowed_;
    }
    if (op == Fdisk::kIoWrite) ++written_;
    return ImageVolume::Io(op, sector, buffer, count);
  }
  static constexpr std::uint64_t kNoLimit = ~std::uint64_t(0);
  // The device writes that reached the image.
  std::uint64_t Written() const noexcept { return written_; }

 private:
  std::uint64_t allowed_;
  std::uint64_t written_ = 0;
};

void Usage() {
  std::fprintf(stderr,
               "usage: fsimage [--offset BYTES | --partition N] [--sector-size 512|4096]\n"
               "               [--read-only] [--fake-fs] IMAGE COMMAND [ARGS]\n"
               "commands: info, tree [PATH], ls PATH, cat PATH, put PATH, mkdir PATH, rm PATH,\n"
               "          rmdir PATH, mv FROM TO, ln EXISTING NEW, symlink TARGET PATH,\n"
               "          truncate PATH SIZE, backup PATH, restore PATH, batch,\n"
               "          chmod PATH MODE, chown PATH UID GID, mknod PATH TYPE MODE MAJOR MINOR,\n"
               "          touch PATH MTIME_MS ATIME_MS\n"
               "--fail-after-writes N: every device write after the first N fails\n"
               "--count-writes: the number of device writes done goes to standard error\n");
}

filesystems::FileSystemDriver* FakeProbe(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                         std::uint64_t size, std::uint32_t key,
                                         const std::uint8_t*, const std::uint8_t*, std::uint32_t) {
  return new fstest::FakeDriver(device, offset, size, key, true);
}

int Run(int argc, char** argv) {
  std::uint64_t offset = 0;
  unsigned partition = 0;
  std::uint32_t sectorSize = 512;
  bool readOnly = false, fake = false, countWrites = false;
  std::uint64_t writesAllowed = FailingVolume::kNoLimit;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw Failure{option + " needs a value", kFileNotSupported};
      return argv[++i];
    };
    if (option == "--offset") offset = std::strtoull(value().c_str(), nullptr, 0);
    else if (option == "--partition") partition = static_cast<unsigned>(std::stoul(value()));
    else if (option == "--sector-size") sectorSize = static_cast<std::uint32_t>(std::stoul(value()));
    else if (option == "--read-only") readOnly = true;
    else if (option == "--fake-fs") fake = true;
    else if (option == "--fail-after-writes") writesAllowed = std::strtoull(value().c_str(), nullptr, 0);
    else if (option == "--count-writes") countWrites = true;
    else throw Failure{"unknown option " + option, kFileNotSupported};
  }
  if (argc - i < 2 || (sectorSize != 512 && sectorSize != 4096)) {
    Usage();
    return 2;
  }
  const std::string image = argv[i];
  const std::string command = argv[i + 1];
  std::vector<std::string> args(argv + i + 2, argv + argc);
  auto arg = [&](std::size_t k) -> const std::string& {
    if (k >= args.size()) throw Failure{command + ": missing argument", kFileNotSupported};
    return args[k];
  };

  std::uint64_t sectors = 0;
  if (partition) {
    auto found = FindPartition(image, sectorSize, partition);
    offset = found.first * sectorSize;
    sectors = found.second;
  }
  FailingVolume device(image, sectorSize, offset, readOnly, writesAllowed);
  if (!device.Ok()) throw Failure{"cannot open " + image, kFileOpenError};
  // Said once the driver is gone, so that its last write-back is counted.
  struct WriteCount {
    const FailingVolume& device;
    bool wanted;
    ~WriteCount() {
      if (wanted) std::fprintf(stderr, "writes\t%" PRIu64 "\n", device.Written());
    }
  } writeCount{device, countWrites};
  if (!partition) sectors = device.GetSectorCount() + 1;

  filesystems::RegisterFileSystemDrivers();
  if (fake) {
    filesystems::SetFileSystemProbes({{&FakeProbe, 1}});
    if (command == "mkfake") {
      fstest::FakeDriver maker(&device, 0, sectors, kCacheKey);
      maker.persist = true;
      maker.Flush();
      return 0;
    }
  }

  filesystems::FileSystemDriver* driver =
      filesystems::OpenFileSystem(&device, 0, sectors, kCacheKey, nullptr, nullptr, 0);
  if (!driver) throw Failure{"no file system recognised in " + image, kFileCorrupted};
  driver->AddUse();
  struct Use {
    filesystems::FileSystemDriver* d;
    ~Use() { d->Release(); }
  } use{driver};
  std::unique_ptr<rio_dir> root(driver->OpenRootDirectory());
  if (!root) throw Failure{"cannot open the root", kFileOpenError};

  int result = 0;
  if (command == "info") result = Info(driver, root.get());
  else if (command == "tree") result = Tree(root.get(), args.empty() ? "/" : args[0]);
  else if (command == "ls") result = Ls(root.get(), arg(0));
  else if (command == "cat") result = Cat(root.get(), arg(0));
  else if (command == "put") result = Put(root.get(), arg(0));
  else if (command == "mkdir") root->create_dir(Relative(arg(0)).c_str(), nullptr);
  else if (command == "rm") root->delete_file(Relative(arg(0)).c_str());
  else if (command == "rmdir") root->remove_dir(Relative(arg(0)).c_str());
  else if (command == "mv") root->move(Relative(arg(0)).c_str(), Relative(arg(1)).c_str());
  else if (command == "ln") root->create_hard_link(Relative(arg(1)).c_str(), Relative(arg(0)).c_str());
  else if (command == "symlink")
    root->create_junction(Relative(arg(1)).c_str(), Utf16(arg(0)).c_str(), 0, 0);
  else if (command == "truncate") {
    std::unique_ptr<rio_file> file(root->open_file_rw(Relative(arg(0)).c_str(), false));
    Check(root.get(), "cannot open " + arg(0));
    file->set_size(std::strtoull(arg(1).c_str(), nullptr, 0));
    Check(file.get(), "cannot resize " + arg(0));
  } else if (command == "backup") result = Backup(root.get(), arg(0));
  else if (command == "restore") result = Restore(root.get(), arg(0));
  else if (command == "batch") result = Batch(root.get());
  else if (std::vector<std::string> f{command}; f.insert(f.end(), args.begin(), args.end()),
           PosixChange(root.get(), f)) {
  } else {
    Usage();
    return 2;
  }
  // A batch reports each operation's outcome itself.
  if (command != "batch") Check(root.get(), command + " failed");
  // Pending changes reach the image before the tool ends.
  control_request unmount{kControlDMNT};
  root->control(&unmount);
  Check(root.get(), "cannot write the changes");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (Failure& f) {
    std::fprintf(stderr, "fsimage: %s (0x%x)\n", f.text.c_str(), f.code);
  } catch (Common::Error& e) {
    std::fprintf(stderr, "fsimage: %s (0x%x)\n", ErrorText(e).c_str(), e.Code());
  } catch (std::exception& e) {
    std::fprintf(stderr, "fsimage: %s\n", e.what());
  }
  return 1;
}
