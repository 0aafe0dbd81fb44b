// The control requests and the own entry both views answer alike; only the
// path form's lookups come from the view.
#include "mounted_directory.h"

#include <memory>

namespace filesystems {
namespace {

// One temporary use of a directory object, ended on every way out.
class ParentUse {
 public:
  explicit ParentUse(FileSystemDriver::DirectoryObject* directory) : directory_(directory) {
    directory_->AddUse();
  }
  ~ParentUse() { ReleaseDirectoryUse(directory_); }
  ParentUse(const ParentUse&) = delete;
  ParentUse& operator=(const ParentUse&) = delete;

 private:
  FileSystemDriver::DirectoryObject* directory_;
};

}  // namespace

i_dir::iterator* MountedDirectory::find_self() {
  if (IsTop()) return new (std::nothrow) RootSelfIterator(TopName());
  return Run<iterator*>(nullptr, true, [&]() -> iterator* {
    std::u16string name;
    auto* parent = SelfParent(name);
    return MakeIteratorReference(driver_, parent->OpenIteratorFor(name));
  });
}

void MountedDirectory::control(control_request* request) {
  Run<bool>(false, true, [&] {
    switch (request->code) {
      case kControlBKUP: {
        auto* r = static_cast<bkup_request*>(request);
        FileSystemDriver::DirectoryObject* directory;
        std::unique_ptr<FileSystemDriver::IteratorObject> entry;
        std::u16string self;
        if (r->entry) {
          directory = OwnDirectory();
          entry.reset(directory->OpenIteratorAt(r->entry));
        } else if ((directory = SelfParent(self)) != nullptr) {
          ParentUse use(directory);
          entry.reset(directory->OpenIteratorFor(self));
        } else {
          directory = OwnDirectory();
        }
        BackupEntry(*driver_, directory, entry.get(), r->target);
        break;
      }
      case kControlSRSQ: {
        auto* r = static_cast<srsq_request*>(request);
        std::u16string entry;
        auto* parent = SplitEntry(r->name, entry, kFileOpenError);
        ParentUse use(parent);
        parent->SetSecurityData(entry, r->data, r->size);
        break;
      }
      case kControlNCDR:
        static_cast<ncdr_request*>(request)->result = this;
        break;
      case kControlRSTR: {
        auto* r = static_cast<rstr_request*>(request);
        std::u16string name = RestoreName(r->name);
        RestoreEntry(*driver_, OwnDirectory(), name, r->source);
        break;
      }
      default:
        if (!ViewControl(request)) driver_->Control(request);
    }
    return true;
  });
}

}  // namespace filesystems
