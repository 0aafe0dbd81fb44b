// The POSIX-style view: the volume as "/", '/' the only separator, names
// case-sensitive and passed on as they stand ('\' and ':' are ordinary
// characters), with modes, owners, special nodes and entry times.
#include <memory>

#include "mounted_directory.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kReferencesModuleId;

class PosixDirectory : public MountedDirectory {
 public:
  PosixDirectory(FileSystemDriver* driver, std::u16string path)
      : MountedDirectory(driver), path_(std::move(path)) {}

  const char16_t* path() override {
    if (path_.size() < 2) return path_.c_str();
    if (slashed_.empty()) slashed_ = path_ + u"/";
    return slashed_.c_str();
  }
  bool is_separator(char16_t c) override { return c == u'/'; }
  char16_t separator() override { return u'/'; }

  rio_dir* open_dir(const char16_t* path) override {
    if (!path || !*path) {
      store_error(MakeFsError(0x21, kModuleId, kFileOpenError));
      return nullptr;
    }
    store_error(Common::NoError);
    std::u16string target = path_;
    NormalizePosixPath(target, path);
    auto* view = new (std::nothrow) PosixDirectory(driver_, target);
    if (!view) store_error(MakeFsError(0x22, kModuleId, kFileOutOfMemory));
    return view;
  }

  rio_dir* open_parent(const char16_t** path) override {
    store_error(Common::NoError);
    const char16_t* text = *path;
    const char16_t* last = nullptr;
    for (const char16_t* p = text; p && *p; ++p)
      if (*p == u'/') last = p;
    if (!last) return new (std::nothrow) PosixDirectory(driver_, path_);
    std::u16string head(text, last + 1);
    rio_dir* parent = open_dir(head.c_str());
    if (parent) *path = last + 1;
    return parent;
  }

  iterator* find(const char16_t* name) override {
    return Run<iterator*>(nullptr, true, [&]() -> iterator* {
      if (!IsValidPosixName(name)) Throw(0x23, kFileOpenError);
      return MakeIteratorReference(driver_, OwnDirectory()->OpenIteratorFor(name));
    });
  }

  int relation(i_dir* other) override {
    if (!other) return 2;
    if (other == this) return 0;
    auto* view = dynamic_cast<PosixDirectory*>(other);
    if (!view || view->driver_ != driver_) return 2;
    return ComparePathPrefix(path_, view->path_);
  }

  void remove_dir(const char16_t* name) override {
    Run<bool>(false, false, [&] {
      if (!name || !*name) Throw(0x24, kFileDeleteError);
      std::u16string target = path_;
      NormalizePosixPath(target, name);
      driver_->RemoveDirectory(target);
      return true;
    });
  }

  void move(const char16_t* from, const char16_t* to) override {
    Run<bool>(false, false, [&] {
      if (!from || !*from || !to || !*to) Throw(0x25, kFileRenameError);
      std::u16string a = path_, b = path_;
      NormalizePosixPath(a, from);
      NormalizePosixPath(b, to);
      driver_->Rename(a, b);
      return true;
    });
  }

  void create_hard_link(const char16_t* name, const char16_t* existing) override {
    Run<bool>(false, false, [&] {
      if (!name || !*name || !existing || !*existing) Throw(0x26, kFileCreateError);
      std::u16string a = path_, b = path_;
      NormalizePosixPath(a, name);
      NormalizePosixPath(b, existing);
      driver_->CreateHardLink(a, b);
      return true;
    });
  }

  void create_junction(const char16_t* name, const char16_t* target, std::uint32_t,
                       std::uint32_t) override {
    Run<bool>(false, false, [&] {
      if (!name || !*name || !target || !*target) Throw(0x27, kFileCreateError);
      std::u16string a = path_;
      NormalizePosixPath(a, name);
      driver_->CreateSymlink(a, target);
      return true;
    });
  }

  void set_mode(const char16_t* name, std::uint32_t mode) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      SplitEntry(name, entry, kFileOpenError)->SetMode(entry, mode);
      return true;
    });
  }
  void set_owner(const char16_t* name, std::uint32_t owner, std::uint32_t group) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      SplitEntry(name, entry, kFileOpenError)->SetOwner(entry, owner, group);
      return true;
    });
  }
  void create_node(const char16_t* name, std::uint32_t type, std::uint32_t mode,
                   std::uint32_t major, std::uint32_t minor) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      SplitEntry(name, entry, kFileOpenError)->CreateNode(entry, type, mode, major, minor);
      return true;
    });
  }

  bool ViewControl(control_request* request) override {
    if (request->code != kControlSTME) return false;
    auto* r = static_cast<stme_request*>(request);
    std::u16string entry;
    auto* parent = SplitEntry(r->path, entry, kFileOpenError);
    parent->AddUse();
    try {
      parent->SetTimes(entry, r->modificationTime, r->creationTime, r->accessTime);
    } catch (...) {
      ReleaseDirectoryUse(parent);
      throw;
    }
    ReleaseDirectoryUse(parent);
    return true;
  }

 protected:
  FileSystemDriver::DirectoryObject* SplitEntry(const char16_t* name, std::u16string& entry,
                                                std::uint32_t refusal) override {
    if (!name || !*name) Throw(0x29, refusal);
    std::u16string full = path_;
    NormalizePosixPath(full, name);
    auto cut = full.rfind(u'/');
    entry = full.substr(cut + 1);
    return driver_->OpenDirectoryByPath(cut == 0 ? std::u16string(u"/") : full.substr(0, cut));
  }
  FileSystemDriver::DirectoryObject* OwnDirectory() override {
    return driver_->OpenDirectoryByPath(path_);
  }
  bool IsRoot() const override { return path_.size() == 1; }
  bool IsPlainName(const char16_t* name) const override { return IsValidPosixName(name); }
  FileSystemDriver::DirectoryObject* SelfParent(std::u16string& name) override {
    if (IsTop()) return nullptr;
    auto cut = path_.rfind(u'/');
    name = path_.substr(cut + 1);
    return driver_->OpenDirectoryByPath(cut == 0 ? std::u16string(u"/") : path_.substr(0, cut));
  }
  bool IsTop() const override { return path_.size() < 2; }
  const char16_t* TopName() const override { return u"/"; }
  std::u16string RestoreName(const char16_t* name) override {
    if (!IsValidPosixName(name)) Throw(0x28, kFileNotFound);
    return name;
  }

 private:
  std::u16string path_;
  std::u16string slashed_;
};

}  // namespace

void NormalizePosixPath(std::u16string& path, const char16_t* text) {
  if (!text) return;
  if (*text == u'/') {
    path = u"/";
    ++text;
  }
  while (*text) {
    const char16_t* end = text;
    while (*end && *end != u'/') ++end;
    std::u16string component(text, end);
    text = *end ? end + 1 : end;
    if (component.empty() || component == u".") continue;
    if (component == u"..") {
      auto cut = path.rfind(u'/');
      if (cut == std::u16string::npos)
        path = u"/";
      else
        path.resize(cut == 0 ? 1 : cut);
      continue;
    }
    if (path.size() > 1) path += u'/';
    path += component;
  }
}

bool IsValidPosixName(const char16_t* name) {
  if (!name || !*name) return false;
  std::u16string n(name);
  if (n == u"." || n == u"..") return false;
  return n.find(u'/') == std::u16string::npos;
}

int ComparePathPrefix(const std::u16string& first, const std::u16string& second) {
  if (first.size() > second.size()) return 2;
  if (first.size() < second.size() && !first.empty()) {
    if (second[first.size() - 1] != u'/' && second[first.size()] != u'/') return 2;
  }
  if (second.compare(0, first.size(), first) != 0) return 2;
  return first.size() == second.size() ? 0 : 1;
}

rio_dir* OpenPosixRoot(FileSystemDriver* driver) { return new PosixDirectory(driver, u"/"); }

rio_dir* OpenPosixDirectory(FileSystemDriver* driver, const char16_t* path) {
  return new PosixDirectory(driver, path ? path : u"");
}

}  // namespace filesystems
