#include "fake_driver.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/views.h"
#include "foundation/byteorder.h"

namespace fstest {
namespace {

constexpr std::uint32_t kModuleId = 0x7A1F0002;
using filesystems::ThrowFileError;
using Driver = filesystems::FileSystemDriver;

class FakeIterator : public Driver::IteratorObject {
 public:
  FakeIterator(FakeDriver* d, std::vector<std::pair<std::u16string, std::uint32_t>> entries,
               std::size_t at)
      : d_(d), entries_(std::move(entries)), at_(at) {}
  bool Next() override { return ++at_ < entries_.size(); }
  file_identifier* GetIdentifier() override {
    std::uint32_t id = Node();
    return new the_identifier(entries_[at_].first.c_str(), &id, sizeof id);
  }
  const char16_t* GetName() override { return entries_[at_].first.c_str(); }
  std::uint64_t GetSize() override { return N().data.size(); }
  std::uint64_t GetAllocatedSize() override { return (N().data.size() + 511) / 512 * 512; }
  std::uint32_t GetObjectType() override { return N().type; }
  std::uint64_t GetModificationTime() override { return N().modified; }
  std::uint64_t GetCreationTime() override { return N().created; }
  std::uint64_t GetAccessTime() override { return N().accessed; }
  bool IsHidden() override { return entries_[at_].first.size() && entries_[at_].first[0] == u'$'; }
  std::uint64_t GetEntryId() override { return Node(); }
  std::uint64_t GetDataPosition() override { return 1000 + Node(); }
  std::uint32_t GetAttributes() override { return N().attributes; }
  std::uint32_t GetLinkCount() override { return N().links; }
  const char16_t* GetSymlinkTarget() override {
    return N().type == 5 ? N().target.c_str() : nullptr;
  }
  std::uint32_t Node() const { return entries_[at_].second; }

 private:
  FakeDriver::Node& N() { return d_->nodes.at(Node()); }
  FakeDriver* d_;
  std::vector<std::pair<std::u16string, std::uint32_t>> entries_;
  std::size_t at_;
};

class FakeBackup : public Driver::BackupObject {
 public:
  explicit FakeBackup(const FakeDriver::Node& node) : node_(node) { itemKind = 1; }
  std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) override {
    auto* out = static_cast<std::uint8_t*>(buffer);
    switch (itemKind) {
      case 1:
        Common::StoreLe32(out, node_.type == 128 ? 0x10 : 0x20);
        itemKind = node_.type == 128 ? 5 : 4;
        return 4;
      case 4: {
        std::uint32_t n = static_cast<std::uint32_t>(
            std::min<std::size_t>(capacity, node_.data.size() - offset_));
        if (n) std::memcpy(out, node_.data.data() + offset_, n);
        offset_ += n;
        if (offset_ >= node_.data.size()) itemKind = 5;
        return n;
      }
      case 5:
        Common::StoreLe64(out, node_.modified);
        Common::StoreLe64(out + 8, node_.created);
        Common::StoreLe64(out + 16, node_.accessed);
        itemKind = 0;
        return 24;
    }
    itemKind = 0;
    return 0;
  }

 private:
  FakeDriver::Node node_;
  std::size_t offset_ = 0;
};

class FakeRestore : public Driver::RestoreObject {
 public:
  FakeRestore(FakeDriver* d, std::uint32_t node) : d_(d), node_(node) {}
  void ConsumeChunk(std::uint32_t kind, const void* data, std::uint32_t size) override {
    ++chunks;
    auto& n = d_->nodes.at(node_);
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (kind == 4) n.data.insert(n.data.end(), p, p + size);
    if (kind == 5 && size >= 24) {
      n.modified = Common::LoadLe64(p);
      n.created = Common::LoadLe64(p + 8);
      n.accessed = Common::LoadLe64(p + 16);
    }
  }
  std::uint32_t chunks = 0;

 private:
  FakeDriver* d_;
  std::uint32_t node_;
};

class FakeFile : public Driver::FileObject {
 public:
  FakeFile(FakeDriver* d, std::uint32_t node) : d_(d), node_(node) {}
  ~FakeFile() override { d_->openFiles.erase(node_); }
  std::uint64_t GetSize() override { return N().data.size(); }
  std::uint64_t GetVolumeOffset(std::uint64_t offset) override { return offset / 512; }
  void Read(void* buffer, std::uint64_t offset, std::uint32_t length,
            std::uint32_t& done) override {
    auto& data = N().data;
    done = 0;
    if (offset >= data.size()) return;
    done = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, data.size() - offset));
    std::memcpy(buffer, data.data() + offset, done);
  }
  void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
             std::uint32_t& done) override {
    auto& data = N().data;
    if (offset + length > data.size()) data.resize(static_cast<std::size_t>(offset + length));
    std::memcpy(data.data() + offset, buffer, length);
    done = length;
  }
  void SetSize(std::uint64_t size) override { N().data.resize(static_cast<std::size_t>(size)); }
  void SetTimes(std::uint64_t m, std::uint64_t c, std::uint64_t a) override {
    if (m) N().modified = m;
    if (c) N().created = c;
    if (a) N().accessed = a;
  }
  void Flush() override { ++flushes; }
  Driver::BackupObject* CreateBackupObject(std::uint32_t) override { return new FakeBackup(N()); }
  Driver::RestoreObject* CreateRestoreObject(std::uint32_t) override {
    N().data.clear();
    return new FakeRestore(d_, node_);
  }
  std::uint32_t flushes = 0;

 private:
  FakeDriver::Node& N() { return d_->nodes.at(node_); }
  FakeDriver* d_;
  std::uint32_t node_;
};

class FakeDirectory : public Driver::DirectoryObject {
 public:
  using IteratorObject = Driver::IteratorObject;
  using FileObject = Driver::FileObject;
  using BackupObject = Driver::BackupObject;
  using RestoreObject = Driver::RestoreObject;

  FakeDirectory(FakeDriver* d, std::uint32_t id) : DirectoryObject(d, id), d_(d) {}

  IteratorObject* OpenIteratorAt(const file_identifier* id) override {
    auto* ti = dynamic_cast<const the_identifier*>(id);
    if (!ti) ThrowFileError(0x01, kModuleId, kFileOpenError);
    return OpenIteratorFor(ti->name());
  }
  IteratorObject* OpenIteratorFor(const std::u16string& name) override {
    auto entries = Entries();
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].first == Key(name)) return new FakeIterator(d_, entries, i);
    ThrowFileError(0x02, kModuleId, kFileNotFound);
  }
  IteratorObject* OpenIterator() override {
    auto entries = Entries();
    if (entries.empty()) return nullptr;
    return new FakeIterator(d_, std::move(entries), 0);
  }
  std::uint32_t GetChildDirectoryId(const std::u16string& name) override {
    ++d_->childLookups;
    auto& children = Self().children;
    auto it = children.find(Key(name));
    if (it == children.end() || d_->nodes.at(it->second).type != 128)
      ThrowFileError(0x03, kModuleId, kFileOpenError);
    return it->second;
  }
  FileObject* OpenFileByIdentifier(const file_identifier* id) override {
    auto* ti = dynamic_cast<const the_identifier*>(id);
    if (!ti) ThrowFileError(0x04, kModuleId, kFileOpenError);
    return OpenFile(ti->name());
  }
  FileObject* OpenFileAt(IteratorObject* at) override {
    return d_->FileFor(static_cast<FakeIterator*>(at)->Node());
  }
  FileObject* OpenFile(const std::u16string& name) override {
    std::uint32_t id = d_->Lookup(Id(), Key(name));
    if (d_->nodes.at(id).type == 128) ThrowFileError(0x05, kModuleId, kFileOpenError);
    return d_->FileFor(id);
  }
  FileObject* CreateFile(const std::u16string& name) override {
    auto& children = Self().children;
    auto it = children.find(Key(name));
    if (it != children.end()) {
      auto& n = d_->nodes.at(it->second);
      if (n.type != 0) ThrowFileError(0x06, kModuleId, kFileAlreadyExists);
      if (d_->openFiles.count(it->second)) ThrowFileError(0x0E, kModuleId, kFileOpenError);
      n.data.clear();
      return d_->FileFor(it->second);
    }
    return d_->FileFor(d_->AddNode(Id(), Key(name), 0));
  }
  void DeleteFile(const std::u16string& name) override {
    std::uint32_t id = d_->Lookup(Id(), Key(name));
    if (d_->nodes.at(id).type == 128) ThrowFileError(0x07, kModuleId, kFileDeleteError);
    d_->Unlink(Id(), Key(name));
  }
  void RemoveDirectory(const std::u16string& name) override {
    std::uint32_t id = d_->Lookup(Id(), Key(name));
    auto& n = d_->nodes.at(id);
    if (n.type != 128 || !n.children.empty()) ThrowFileError(0x08, kModuleId, kFileDeleteError);
    d_->Unlink(Id(), Key(name));
  }
  void CreateDirectory(const std::u16string& name) override {
    if (Self().children.count(Key(name))) ThrowFileError(0x09, kModuleId, kFileAlreadyExists);
    d_->AddNode(Id(), Key(name), 128);
  }
  void MoveEntry(const std::u16string& name, DirectoryObject* target,
                 const std::u16string& targetName) override {
    std::uint32_t id = d_->Lookup(Id(), Key(name));
    auto& targetChildren = d_->nodes.at(target->Id()).children;
    auto existing = targetChildren.find(Key(targetName));
    if (existing != targetChildren.end() && existing->second != id) {
      if (d_->nodes.at(existing->second).type == 128)
        ThrowFileError(0x0A, kModuleId, kFileAlreadyExists);
      d_->Unlink(target->Id(), Key(targetName));
    }
    Self().children.erase(Key(name));
    d_->nodes.at(target->Id()).children[Key(targetName)] = id;
  }
  void CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                      const std::u16string& existingName) override {
    std::uint32_t id = d_->Lookup(existingDirectory->Id(), Key(existingName));
    if (d_->nodes.at(id).type == 128) ThrowFileError(0x0B, kModuleId, kFileNotSupported);
    if (Self().children.count(Key(name))) ThrowFileError(0x0C, kModuleId, kFileAlreadyExists);
    Self().children[Key(name)] = id;
    ++d_->nodes.at(id).links;
  }
  void CreateSymlink(const std::u16string& name, const std::u16string& target) override {
    if (Self().children.count(Key(name))) ThrowFileError(0x0D, kModuleId, kFileAlreadyExists);
    d_->nodes.at(d_->AddNode(Id(), Key(name), 5)).target = target;
  }
  void SetAttributes(const std::u16string& name, std::uint32_t attributes) override {
    d_->nodes.at(d_->Lookup(Id(), Key(name))).attributes = attributes;
  }
  void SetTimes(const std::u16string& name, std::uint64_t m, std::uint64_t c,
                std::uint64_t a) override {
    auto& n = d_->nodes.at(d_->Lookup(Id(), Key(name)));
    if (m) n.modified = m;
    if (c) n.created = c;
    if (a) n.accessed = a;
  }
  BackupObject* CreateBackupObject(IteratorObject* at, std::uint32_t) override {
    if (d_->backupSource) return d_->backupSource();
    return new FakeBackup(d_->nodes.at(at ? static_cast<FakeIterator*>(at)->Node() : Id()));
  }
  RestoreObject* CreateRestoreObject(std::uint32_t) override { return new FakeRestore(d_, Id()); }

 private:
  FakeDriver::Node& Self() { return d_->nodes.at(Id()); }
  std::u16string Key(const std::u16string& name) {
    std::u16string k = name;
    d_->NormalizeNameCase(k);
    return k;
  }
  std::vector<std::pair<std::u16string, std::uint32_t>> Entries() {
    auto& children = Self().children;
    return {children.begin(), children.end()};
  }
  FakeDriver* d_;
};

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  Common::StoreLe32(b, v);
  out.insert(out.end(), b, b + 4);
}
void PutU64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  std::uint8_t b[8];
  Common::StoreLe64(b, v);
  out.insert(out.end(), b, b + 8);
}
void PutText(std::vector<std::uint8_t>& out, const std::u16string& text) {
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
}

// A reader over a stored tree that fails instead of reading past the end.
struct Reader {
  Common::ByteView view;
  std::uint64_t at = 0;
  bool ok = true;
  std::uint32_t U32() {
    std::uint32_t v = 0;
    ok = ok && view.GetLe32(at, &v);
    at += 4;
    return v;
  }
  std::uint64_t U64() {
    std::uint64_t v = 0;
    ok = ok && view.GetLe64(at, &v);
    at += 8;
    return v;
  }
  bool Text(std::u16string& out) {
    std::uint32_t n = U32();
    if (!ok || !view.Has(at, std::uint64_t(n) * 2)) return ok = false;
    out.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) out[i] = view.Le16(at + 2ull * i);
    at += 2ull * n;
    return true;
  }
};

}  // namespace

constexpr char FakeDriver::kTag[8];

FakeDriver::FakeDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
                       std::uint32_t cacheKey, bool load)
    : FileSystemDriver(device, offset, size, cacheKey) {
  if (!load) {
    nodes[0].type = 128;
    return;
  }
  const std::uint32_t ss = SectorSize();
  filesystems::BlockHandle first = GetBlocks(0, 1, false);
  if (std::memcmp(first.Data(), kTag, 8) != 0) ThrowFileError(0x10, kModuleId, kFileCorrupted);
  std::uint64_t length = Common::LoadLe64(first.Data() + 8);
  std::uint64_t sectors = 0;
  if (!Common::CheckedAdd<std::uint64_t>(length, 16 + ss - 1, &sectors))
    ThrowFileError(0x11, kModuleId, kFileCorrupted);
  sectors /= ss;
  if (sectors > size) ThrowFileError(0x12, kModuleId, kFileCorrupted);
  std::vector<std::uint8_t> bytes(
      filesystems::CheckDiskSizedAllocation(sectors * std::uint64_t(ss)));
  ReadBlocks(bytes.data(), 0, sectors);
  if (!Parse(bytes.data(), bytes.size(), nodes, nextId))
    ThrowFileError(0x13, kModuleId, kFileCorrupted);
  persist = true;
}

FakeDriver::~FakeDriver() {
  // Changes reach the volume before the base drops the cached blocks.
  try {
    Flush();
  } catch (...) {
  }
}

bool FakeDriver::Parse(const std::uint8_t* bytes, std::size_t size,
                       std::map<std::uint32_t, Node>& out, std::uint32_t& outNext) {
  Reader r{Common::ByteView(bytes, size)};
  if (size < 16 || std::memcmp(bytes, kTag, 8) != 0) return false;
  std::uint64_t length = Common::LoadLe64(bytes + 8);
  if (!Common::RangeInside(16, length, size)) return false;
  r.view = Common::ByteView(bytes, static_cast<std::size_t>(16 + length));
  r.at = 16;
  std::map<std::uint32_t, Node> nodes;
  std::uint32_t next = r.U32();
  std::uint32_t count = r.U32();
  for (std::uint32_t i = 0; r.ok && i < count; ++i) {
    std::uint32_t id = r.U32();
    Node n;
    n.type = r.U32();
    n.attributes = r.U32();
    n.links = r.U32();
    n.modified = r.U64();
    n.created = r.U64();
    n.accessed = r.U64();
    std::uint32_t dataLength = r.U32();
    if (!r.ok || !r.view.Has(r.at, dataLength)) return false;
    n.data.assign(bytes + r.at, bytes + r.at + dataLength);
    r.at += dataLength;
    if (!r.Text(n.target)) return false;
    std::uint32_t children = r.U32();
    for (std::uint32_t c = 0; r.ok && c < children; ++c) {
      std::u16string name;
      if (!r.Text(name)) return false;
      n.children[name] = r.U32();
    }
    if (!r.ok || nodes.count(id)) return false;
    nodes.emplace(id, std::move(n));
  }
  if (!r.ok || !nodes.count(0) || nodes[0].type != 128) return false;
  // Every child must exist, and nothing may point at the root.
  for (auto& entry : nodes)
    for (auto& child : entry.second.children)
      if (child.second == 0 || !nodes.count(child.second) || child.second >= next) return false;
  out = std::move(nodes);
  outNext = next;
  return true;
}

std::vector<std::uint8_t> FakeDriver::Serialize(const std::map<std::uint32_t, Node>& nodes,
                                                std::uint32_t nextId) {
  std::vector<std::uint8_t> out(kTag, kTag + 8);
  PutU64(out, 0);
  PutU32(out, nextId);
  PutU32(out, static_cast<std::uint32_t>(nodes.size()));
  for (auto& entry : nodes) {
    const Node& n = entry.second;
    PutU32(out, entry.first);
    PutU32(out, n.type);
    PutU32(out, n.attributes);
    PutU32(out, n.links);
    PutU64(out, n.modified);
    PutU64(out, n.created);
    PutU64(out, n.accessed);
    PutU32(out, static_cast<std::uint32_t>(n.data.size()));
    out.insert(out.end(), n.data.begin(), n.data.end());
    PutText(out, n.target);
    PutU32(out, static_cast<std::uint32_t>(n.children.size()));
    for (auto& child : n.children) {
      PutText(out, child.first);
      PutU32(out, child.second);
    }
  }
  Common::StoreLe64(out.data() + 8, out.size() - 16);
  return out;
}

void FakeDriver::Flush() {
  if (persist) {
    std::vector<std::uint8_t> bytes = Serialize(nodes, nextId);
    const std::uint32_t ss = SectorSize();
    std::uint64_t sectors = (bytes.size() + ss - 1) / ss;
    if (sectors > PartitionSize()) ThrowFileError(0x14, kModuleId, kFileDiskFull);
    bytes.resize(static_cast<std::size_t>(sectors * ss));
    // The first sector goes through the cache so that the mount's write
    // probe runs; the rest goes straight to the device.
    {
      filesystems::BlockHandle head = GetBlocks(0, 1, true);
      head.PrepareWrite();
      std::memcpy(head.Data(), bytes.data(), ss);
      head.MarkDirty();
    }
    if (sectors > 1) WriteBlocks(bytes.data() + ss, 1, sectors - 1);
  }
  FileSystemDriver::Flush();
}

rio_dir* FakeDriver::OpenRootDirectory() {
  return windowsView ? filesystems::OpenWindowsRoot(this) : filesystems::OpenPosixRoot(this);
}

rio_dir* FakeDriver::OpenDirectory(const char16_t* path) {
  return windowsView ? filesystems::OpenWindowsDirectory(this, path)
                     : filesystems::OpenPosixDirectory(this, path);
}

void FakeDriver::GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                                std::uint64_t& available) {
  total = PartitionSize() * SectorSize();
  std::uint64_t used = Serialize(nodes, nextId).size();
  free = available = total > used ? total - used : 0;
}

void FakeDriver::GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) {
  static const char16_t label[] = u"FAKE";
  if (capacity == 0) return;
  std::uint32_t n = std::min<std::uint32_t>(capacity - 1, 4);
  std::memcpy(buffer, label, n * sizeof(char16_t));
  buffer[n] = 0;
}

int FakeDriver::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  auto* x = dynamic_cast<const the_identifier*>(a);
  auto* y = dynamic_cast<const the_identifier*>(b);
  std::uint32_t i = x && x->byte_count() == 4 ? Common::LoadLe32(x->bytes()) : 0;
  std::uint32_t j = y && y->byte_count() == 4 ? Common::LoadLe32(y->bytes()) : 0;
  return i < j ? -1 : i > j ? 1 : 0;
}

void FakeDriver::NormalizeNameCase(std::u16string& path) {
  if (!upperCaseNames) return;
  for (auto& c : path)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
}

Driver::DirectoryObject* FakeDriver::CreateDirectoryObject(std::uint32_t directoryId) {
  auto it = nodes.find(directoryId);
  if (it == nodes.end() || it->second.type != 128) ThrowFileError(0x15, kModuleId, kFileOpenError);
  ++directoryObjectsMade;
  return new FakeDirectory(this, directoryId);
}

Driver::FileObject* FakeDriver::FileFor(std::uint32_t node) {
  auto it = openFiles.find(node);
  if (it != openFiles.end()) return it->second;
  FileObject* file = new FakeFile(this, node);
  openFiles[node] = file;
  return file;
}

std::uint32_t FakeDriver::Lookup(std::uint32_t directory, const std::u16string& name) {
  auto& children = nodes.at(directory).children;
  auto it = children.find(name);
  if (it == children.end()) ThrowFileError(0x16, kModuleId, kFileNotFound);
  return it->second;
}

std::uint32_t FakeDriver::AddNode(std::uint32_t parent, const std::u16string& name,
                                  std::uint32_t type) {
  std::uint32_t id = nextId++;
  nodes[id].type = type;
  nodes.at(parent).children[name] = id;
  return id;
}

void FakeDriver::Unlink(std::uint32_t parent, const std::u16string& name) {
  std::uint32_t id = Lookup(parent, name);
  nodes.at(parent).children.erase(name);
  if (--nodes.at(id).links == 0) nodes.erase(id);
}

}  // namespace fstest
