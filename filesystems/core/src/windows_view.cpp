// The Windows-style view: the volume as drive "C:", Windows paths with '\'
// separators ('/' accepted on input), names resolved with the file layer's
// ResolvePath against the view's canonical path ("C:\", "C:\dir\sub\").
#include <memory>

#include "files/path.h"
#include "mounted_directory.h"

namespace filesystems {
namespace {

constexpr std::uint32_t kModuleId = kReferencesModuleId;

class WindowsDirectory : public MountedDirectory {
 public:
  WindowsDirectory(FileSystemDriver* driver, std::u16string path)
      : MountedDirectory(driver), path_(std::move(path)) {}

  const char16_t* path() override { return path_.c_str(); }

  rio_dir* open_dir(const char16_t* path) override {
    std::u16string resolved;
    if (!path || !ResolvePath(path_, resolved, path, false)) {
      store_error(MakeFsError(0x01, kModuleId, kFileOpenError));
      return nullptr;
    }
    if (resolved.empty()) resolved = u"C:\\";
    if (resolved[0] != u'C') {
      store_error(MakeFsError(0x02, kModuleId, kFileOpenError));
      return nullptr;
    }
    auto* view = new (std::nothrow) WindowsDirectory(driver_, resolved);
    store_error(view ? Common::NoError : MakeFsError(0x03, kModuleId, kFileOutOfMemory));
    return view;
  }

  rio_dir* open_parent(const char16_t** path) override {
    const char16_t* text = *path;
    const char16_t* last = nullptr;
    for (const char16_t* p = text; p && *p; ++p)
      if (*p == u'\\' || *p == u'/' || *p == u':') last = p;
    if (!last) return open_dir(u".");
    std::u16string head(text, last + 1);
    rio_dir* parent = open_dir(head.c_str());
    if (parent) *path = last + 1;
    return parent;
  }

  iterator* find(const char16_t* name) override {
    return Run<iterator*>(nullptr, true, [&]() -> iterator* {
      std::u16string resolved;
      if (!IsValidFileName(name, path_.empty()) || !ResolvePath(path_, resolved, name, false) ||
          resolved.empty())
        Throw(0x04, kFileOpenError);
      resolved.pop_back();
      std::u16string entry = resolved.substr(resolved.rfind(u'\\') + 1);
      return MakeIteratorReference(driver_, OwnDirectory()->OpenIteratorFor(entry));
    });
  }

  int relation(i_dir* other) override {
    if (!other) return 2;
    if (other == this) return 0;
    std::u16string mine = path_;
    const char16_t* theirs = other->path();
    std::u16string second = theirs ? theirs : u"";
    driver_->NormalizeNameCase(mine);
    driver_->NormalizeNameCase(second);
    if (second.size() < mine.size() || second.compare(0, mine.size(), mine) != 0) return 2;
    return second.size() == mine.size() ? 0 : 1;
  }

  void remove_dir(const char16_t* name) override {
    Run<bool>(false, false, [&] {
      std::u16string resolved;
      if (!name || !ResolvePath(path_, resolved, name, false) || resolved.size() < 5)
        Throw(0x05, kFileDeleteError);
      driver_->RemoveDirectory(ToVolumePath(resolved));
      return true;
    });
  }

  void move(const char16_t* from, const char16_t* to) override {
    Run<bool>(false, false, [&] {
      std::u16string a, b;
      if (!from || !to || !ResolvePath(path_, a, from, false) ||
          !ResolvePath(path_, b, to, false) || a.empty() || b.empty())
        Throw(0x06, kFileRenameError);
      driver_->Rename(ToVolumePath(a), ToVolumePath(b));
      return true;
    });
  }

  void create_hard_link(const char16_t* name, const char16_t* existing) override {
    Run<bool>(false, false, [&] {
      std::u16string a, b;
      if (!name || !existing || !ResolvePath(path_, a, name, false) ||
          !ResolvePath(path_, b, existing, false) || a.empty() || b.empty())
        Throw(0x07, kFileCreateError);
      driver_->CreateHardLink(ToVolumePath(a), ToVolumePath(b));
      return true;
    });
  }

  void create_junction(const char16_t* name, const char16_t* target, std::uint32_t,
                       std::uint32_t) override {
    Run<bool>(false, false, [&] {
      std::u16string a;
      if (!name || !target || !ResolvePath(path_, a, name, false) || a.empty())
        Throw(0x08, kFileCreateError);
      driver_->CreateSymlink(ToVolumePath(a), target);
      return true;
    });
  }

  void set_attributes(const char16_t* name, std::uint32_t attributes) override {
    Run<bool>(false, true, [&] {
      std::u16string entry;
      SplitEntry(name, entry, kFileOpenError)->SetAttributes(entry, attributes);
      return true;
    });
  }

  bool ViewControl(control_request* request) override {
    switch (request->code) {
      case kControlMKFF:
        if (path_.size() != 3) Throw(0x09, kFileNotSupported);
        driver_->Control(request);
        return true;
      case kControlSSFN: {
        auto* r = static_cast<ssfn_request*>(request);
        std::u16string resolved;
        if (!r->name || !r->shortName || !IsValidFileName(r->name, path_.empty()) ||
            !IsValidFileName(r->shortName, path_.empty()) ||
            !ResolvePath(path_, resolved, r->name, false) || resolved.empty())
          Throw(0x0A, kFileRenameError);
        resolved.pop_back();
        OwnDirectory()->SetShortName(resolved.substr(resolved.rfind(u'\\') + 1), r->shortName);
        driver_->ClearPathCache();
        return true;
      }
      default:
        return false;
    }
  }

 protected:
  FileSystemDriver::DirectoryObject* OpenDirectoryByWindowsPath(const std::u16string& path) {
    if (path.empty() || path[0] != u'C') Throw(0x0C, kFileOpenError);
    return driver_->OpenDirectoryByPath(ToVolumePath(path));
  }
  FileSystemDriver::DirectoryObject* SplitEntry(const char16_t* name, std::u16string& entry,
                                                std::uint32_t refusal) override {
    std::u16string resolved;
    if (!name || !ResolvePath(path_, resolved, name, false) || resolved.empty())
      Throw(0x0D, refusal);
    resolved.pop_back();
    auto cut = resolved.rfind(u'\\');
    entry = resolved.substr(cut == std::u16string::npos ? 0 : cut + 1);
    return OpenDirectoryByWindowsPath(
        cut == std::u16string::npos ? std::u16string() : resolved.substr(0, cut + 1));
  }
  FileSystemDriver::DirectoryObject* OwnDirectory() override {
    return OpenDirectoryByWindowsPath(path_);
  }
  bool IsRoot() const override { return path_.size() == 3; }
  bool IsPlainName(const char16_t* name) const override {
    return IsValidFileName(name, path_.empty());
  }
  FileSystemDriver::DirectoryObject* SelfParent(std::u16string& name) override {
    if (IsTop()) return nullptr;
    std::u16string own = path_.substr(0, path_.size() - 1);
    auto cut = own.rfind(u'\\');
    name = own.substr(cut + 1);
    return OpenDirectoryByWindowsPath(own.substr(0, cut + 1));
  }
  bool IsTop() const override { return path_.size() < 5; }
  const char16_t* TopName() const override { return u"C:"; }
  std::u16string RestoreName(const char16_t* name) override {
    std::u16string resolved;
    if (!name || !IsValidFileName(name, path_.empty()) ||
        !ResolvePath(path_, resolved, name, false) || resolved.empty())
      Throw(0x0B, kFileNotFound);
    resolved.pop_back();
    return resolved.substr(resolved.rfind(u'\\') + 1);
  }

 private:
  std::u16string path_;
};

}  // namespace

std::u16string ToVolumePath(const std::u16string& windowsPath) {
  if (windowsPath.size() <= 3) return u"/";
  std::u16string path = windowsPath.substr(2, windowsPath.size() - 3);
  for (auto& c : path)
    if (c == u'\\') c = u'/';
  return path;
}

rio_dir* OpenWindowsRoot(FileSystemDriver* driver) {
  return new WindowsDirectory(driver, u"C:\\");
}

rio_dir* OpenWindowsDirectory(FileSystemDriver* driver, const char16_t* path) {
  std::u16string resolved;
  if (!path || !ResolvePath(u"C:\\", resolved, path, false)) return nullptr;
  return new WindowsDirectory(driver, resolved);
}

}  // namespace filesystems
