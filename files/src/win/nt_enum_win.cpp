// The NT directory's cursors and the operations that make them: listing,
// finding an entry or the directory itself, and following links.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/path.h"
#include "files/reparse_data.h"
#include "files/security_descriptor_set.h"
#include "files/win/helpers.h"
#include "files/win/nt_dir.h"
#include "foundation/registry_security.h"

namespace {

constexpr std::uint32_t kModuleId = kNtDirModuleId;
constexpr std::uint32_t kSite = 0x2202;
constexpr std::uint32_t Loc(std::uint32_t n) { return kSite << 16 | n; }
constexpr std::uint32_t kShareSite = 0x2203;

#ifndef FSCTL_GET_REPARSE_POINT
#define FSCTL_GET_REPARSE_POINT 0x000900A8
#endif
constexpr DWORD kReparseAttribute = FILE_ATTRIBUTE_REPARSE_POINT;  // 0x400
constexpr DWORD kOfflineAttribute = FILE_ATTRIBUTE_OFFLINE;        // 0x1000
constexpr std::uint32_t kNameSurrogateBit = 0x20000000;
constexpr std::uint32_t kReparseTag80000009 = 0x80000009;

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) noexcept {
  return MakeFileError(location, kModuleId, code);
}

Common::Error CallFailed(std::uint32_t location, const char* function, const std::u16string& path,
                         std::uint32_t defaultCode) noexcept {
  return MakeFileApiError(location, kModuleId, function, path.c_str(), defaultCode,
                          FileErrorText(defaultCode));
}

// Closes a handle on every path out of a scope.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (IsValidHandle(handle)) CloseHandle(handle);
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// winnt_dir::iterator

winnt_dir::iterator::iterator(const std::u16string& pattern) {
  underUnc_ = IsUncNtPath(pattern);
  const std::size_t slash = pattern.rfind(u'\\');
  prefix_.assign(pattern, 0, slash == std::u16string::npos ? 0 : slash + 1);
  {
    NtCallScope scope(underUnc_);
    findHandle_ = FindFirstFileW(W(pattern), &find_);
    if (findHandle_ == INVALID_HANDLE_VALUE) {
      const DWORD win32 = GetLastError();
      if (win32 == ERROR_ACCESS_DENIED && !prefix_.empty() &&
          IsShareRootNtPath(prefix_.substr(0, prefix_.size() - 1))) {
        store_first_error(Plain(Loc(1), kFileCanceled));  // the share is closed to us
      } else if (win32 == ERROR_FILE_NOT_FOUND && !pattern.empty() && pattern.back() == u'*') {
        store_first_error(Plain(Loc(2), kFileEndOfFile));  // an empty listing
      } else {
        store_first_error(CallFailed(Loc(3), "FindFirstFileW", pattern, kFileOpenError));
      }
      return;
    }
  }
  seal_record();
  if (IsDotEntry(find_)) next();
}

void winnt_dir::iterator::seal_record() noexcept {
  // The names are used as terminated strings; a record whose name fills its
  // field is cut rather than read past.
  find_.cFileName[MAX_PATH - 1] = 0;
  find_.cAlternateFileName[13] = 0;
}

bool winnt_dir::iterator::need_entry() {
  if (!is_ok()) return false;
  if (!started()) {
    store_first_error(Plain(Loc(4), kFileEndOfFile));
    return false;
  }
  return true;
}

std::u16string winnt_dir::iterator::entry_path() const {
  return prefix_ + reinterpret_cast<const char16_t*>(find_.cFileName);
}

void winnt_dir::iterator::next() {
  if (!need_entry()) return;
  owner_.clear();
  target_.clear();
  infoRead_ = false;
  links_ = 1;
  index_ = 0;
  do {
    if (!FindNextFileW(findHandle_, &find_)) {
      store_first_error(
          MakeApiError(Loc(5), kModuleId, "FindNextFileW", kFileReadError, FileErrorText(kFileReadError)));
      return;
    }
    seal_record();
  } while (IsDotEntry(find_));
}

file_identifier* winnt_dir::iterator::id() {
  if (!is_ok() || !started()) return nullptr;
  auto* ident = new (std::nothrow)
      the_identifier(reinterpret_cast<const char16_t*>(find_.cFileName), nullptr, 0);
  return ident;
}

std::uint32_t winnt_dir::iterator::object_type() {
  if (!is_ok() || !started()) return kObjectFile;
  const bool directory = (find_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((find_.dwFileAttributes & kReparseAttribute) && !(find_.dwFileAttributes & kOfflineAttribute)) {
    const std::uint32_t tag = find_.dwReserved0;
    if (tag == kReparseTagSymlink) return directory ? kObjectDirSymlink : kObjectFileSymlink;
    if (tag == kReparseTag80000009) return kObjectReparse80000009;
    if (directory && (tag & kNameSurrogateBit)) return kObjectJunction;
    // No file system uses the tag 0; Wine reports a host's symbolic link
    // this way. A folder that may lead elsewhere is a link to every walk
    // over the tree, never a folder to enter and empty.
    if (directory && tag == 0) return kObjectDirSymlink;
  }
  return directory ? kObjectDirectory : kObjectFile;
}

std::uint64_t winnt_dir::iterator::allocated_size() {
  if (!is_ok() || !started()) return 0;
  const std::u16string path = entry_path();
  NtCallScope scope(underUnc_);
  DWORD high = 0;
  const DWORD low = GetCompressedFileSizeW(W(path), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != 0) {
    return static_cast<std::uint64_t>(find_.nFileSizeHigh) << 32 | find_.nFileSizeLow;
  }
  return static_cast<std::uint64_t>(high) << 32 | low;
}

void winnt_dir::iterator::read_file_info() {
  if (infoRead_ || !need_entry()) return;
  const std::u16string path = entry_path();
  NtCallScope scope(underUnc_);
  HandleCloser file{CreateFileW(W(path), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    store_first_error(CallFailed(Loc(6), "OpenFileW", path, kFileOpenError));
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.handle, &info)) {
    store_first_error(MakeApiError(Loc(7), kModuleId, "GetFileInformationByHandleW",
                                   kFileNotSupported, FileErrorText(kFileNotSupported)));
    return;
  }
  links_ = info.nNumberOfLinks;
  index_ = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  infoRead_ = true;
}

std::uint32_t winnt_dir::iterator::link_count() {
  read_file_info();
  return is_ok() ? links_ : 1;
}

std::uint64_t winnt_dir::iterator::file_index() {
  read_file_info();
  return is_ok() ? index_ : 0;
}

const void* winnt_dir::iterator::security() {
  if (!need_entry()) return nullptr;
  if (!owner_.empty()) return owner_.c_str();
  const std::u16string path = entry_path();
  std::unique_ptr<std::uint8_t[]> descriptor;
  {
    NtCallScope scope(underUnc_);
    DWORD needed = 0;
    if (!GetFileSecurityW(W(path), OWNER_SECURITY_INFORMATION, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      store_first_error(CallFailed(Loc(8), "GetFileSecurityW", path, kFileAccessDenied));
      return nullptr;
    }
    descriptor.reset(new (std::nothrow) std::uint8_t[needed == 0 ? 1 : needed]);
    if (!descriptor) {
      store_first_error(Plain(Loc(9), kFileOutOfMemory));
      return nullptr;
    }
    if (!GetFileSecurityW(W(path), OWNER_SECURITY_INFORMATION, descriptor.get(), needed, &needed)) {
      store_first_error(CallFailed(Loc(10), "GetFileSecurityW", path, kFileAccessDenied));
      return nullptr;
    }
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted)) {
    store_first_error(MakeApiError(Loc(11), kModuleId, "GetSecurityDescriptorOwner",
                                   kFileAccessDenied, FileErrorText(kFileAccessDenied)));
    return nullptr;
  }
  char16_t text[Common::kMaxSidTextUnits];
  if (owner == nullptr || !Common::SidToString(text, owner)) {
    store_first_error(Plain(Loc(12), kFileAccessDenied));
    return nullptr;
  }
  owner_ = text;
  return owner_.c_str();
}

const char16_t* winnt_dir::iterator::link_target() {
  if (!need_entry()) return nullptr;
  const std::uint32_t tag = find_.dwReserved0;
  if (!(find_.dwFileAttributes & kReparseAttribute) || (find_.dwFileAttributes & kOfflineAttribute) ||
      (tag != kReparseTagMountPoint && tag != kReparseTagSymlink)) {
    store_first_error(Plain(Loc(13), kFileOpenError));
    return nullptr;
  }
  if (!target_.empty()) return target_.c_str();
  const std::u16string path = entry_path();
  HandleCloser link{INVALID_HANDLE_VALUE};
  {
    NtCallScope scope(underUnc_);
    link.handle = CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (link.handle == INVALID_HANDLE_VALUE) {
      store_first_error(CallFailed(Loc(14), "OpenReparsePointW", path, kFileOpenError));
      return nullptr;
    }
  }
  std::vector<std::uint8_t> buffer(kMaxReparseDataSize);
  DWORD returned = 0;
  if (!DeviceIoControl(link.handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    store_first_error(CallFailed(Loc(15), "FSCTL_GET_REPARSE_POINT", path, kFileOpenError));
    return nullptr;
  }
  // Only the bytes the system says it returned are looked at.
  ReparseLink parsed;
  std::uint32_t code = ParseReparseLink(buffer.data(), returned < buffer.size() ? returned : buffer.size(), parsed);
  std::u16string text;
  if (code == 0) code = ReparseLinkTarget(parsed, text);
  if (code != 0) {
    store_first_error(Plain(Loc(16), code));
    return nullptr;
  }
  target_ = std::move(text);
  if (target_.empty()) {
    store_first_error(Plain(Loc(17), kFileOpenError));
    return nullptr;
  }
  return target_.c_str();
}

void winnt_dir::iterator::control(control_request* request) {
  if (request == nullptr || request->code != kControlGRSQ) {
    return i_dir::iterator::control(request);
  }
  if (!is_ok()) return;
  auto* grsq = static_cast<grsq_request*>(request);
  grsq->data = nullptr;
  grsq->size = 0;
  if (!started()) return;
  SecurityDescriptorSet set;
  {
    NtCallScope scope(underUnc_);
    set.Read(entry_path().c_str());
  }
  std::unique_ptr<std::uint8_t[]> bytes;
  const std::uint32_t size = set.Serialize(bytes);
  if (size == 0) {
    store_first_error(Plain(Loc(18), kFileOutOfMemory));
    return;
  }
  void* out = std::malloc(size);
  if (out == nullptr) {
    store_first_error(Plain(Loc(19), kFileOutOfMemory));
    return;
  }
  std::memcpy(out, bytes.get(), size);
  grsq->data = out;
  grsq->size = size;
}

// ---------------------------------------------------------------------------
// One-entry cursors

winnt_dir::share_iterator::share_iterator(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'\\');
  name_.assign(path, slash == std::u16string::npos ? 0 : slash + 1, std::u16string::npos);
}

void winnt_dir::share_iterator::next() {
  if (!is_ok()) return;
  store_first_error(MakeFileError(kShareSite << 16 | 1, kNtShareCursorModuleId, kFileNotSupported));
}

file_identifier* winnt_dir::share_iterator::id() {
  if (!is_ok()) return nullptr;
  return new (std::nothrow) the_identifier(name_.c_str(), nullptr, 0);
}

void winnt_dir::volume_self_iterator::next() {
  if (!is_ok()) return;
  store_first_error(Plain(Loc(20), kFileEndOfFile));
}

file_identifier* winnt_dir::volume_self_iterator::id() {
  if (!is_ok()) return nullptr;
  return new (std::nothrow) the_identifier(name_.c_str(), nullptr, 0);
}

// ---------------------------------------------------------------------------
// The directory's cursor operations

i_dir::iterator* winnt_dir::hand_out(i_dir::iterator* cursor) {
  store_error(cursor->take_error());
  if (!is_ok()) {
    delete cursor;
    return nullptr;
  }
  return cursor;
}

i_dir::iterator* winnt_dir::find_nt(const std::u16string& ntPath) {
  i_dir::iterator* cursor;
  if (IsShareRootNtPath(ntPath)) {
    cursor = new (std::nothrow) share_iterator(ntPath);
  } else {
    cursor = new (std::nothrow) iterator(ntPath);
  }
  if (cursor == nullptr) {
    store_error(Plain(Loc(21), kFileOutOfMemory));
    return nullptr;
  }
  return hand_out(cursor);
}

i_dir::iterator* winnt_dir::list() {
  if (path_text().empty()) {
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) {
      store_error(Plain(Loc(22), kFileOutOfMemory));
      return nullptr;
    }
    drives->next();
    clear_error();
    return drives;
  }
  std::u16string pattern;
  if (!nt_path(u"x", false, pattern)) {
    store_error(Plain(Loc(23), kFileOpenError));
    return nullptr;
  }
  pattern.back() = u'*';
  auto* cursor = new (std::nothrow) iterator(pattern);
  if (cursor == nullptr) {
    store_error(Plain(Loc(24), kFileOutOfMemory));
    return nullptr;
  }
  if (!cursor->is_ok() && cursor->error().Code() != kFileEndOfFile) {
    store_error(cursor->take_error());
    delete cursor;
    return nullptr;
  }
  clear_error();  // an empty directory gives a cursor that already holds the end
  return cursor;
}

i_dir::iterator* winnt_dir::find_by_name(const char16_t* name) {
  if (path_text().empty()) {
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) {
      store_error(Plain(Loc(25), kFileOutOfMemory));
      return nullptr;
    }
    LetterIteratorSeek(drives, name[0]);
    return hand_out(drives);
  }
  std::u16string path;
  if (!nt_path(name, false, path)) {
    store_error(Plain(Loc(26), kFileOpenError));
    return nullptr;
  }
  return find_nt(path);
}

i_dir::iterator* winnt_dir::find(const char16_t* name) {
  if (name == nullptr || !IsValidFileName(name, path_text().empty())) {
    store_error(Plain(Loc(27), kFileOpenError));
    return nullptr;
  }
  return find_by_name(name);
}

i_dir::iterator* winnt_dir::find_by_id(const file_identifier* id) {
  const auto* ident = dynamic_cast<const the_identifier*>(id);
  if (ident == nullptr || ident->name()[0] == 0) {
    store_error(Plain(Loc(28), kFileOpenError));
    return nullptr;
  }
  return find_by_name(ident->name());
}

i_dir::iterator* winnt_dir::find_self() {
  const std::u16string& path = path_text();
  if (path.empty()) return new (std::nothrow) windows_dir::root_iterator();
  if (path.size() == 3) {  // a drive root X:\ .
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) {
      store_error(Plain(Loc(29), kFileOutOfMemory));
      return nullptr;
    }
    LetterIteratorSeek(drives, path[0]);
    return hand_out(drives);
  }
  if (path.compare(0, 4, u"\\\\?\\") == 0 && path.find(u'\\', 4) == path.size() - 1) {
    // A volume root named by its volume name.
    const UINT driveType = GetDriveTypeW(W(path));
    if (driveType == DRIVE_NO_ROOT_DIR) {
      store_error(Plain(Loc(30), kFileNotFound));
      return nullptr;
    }
    auto* cursor = new (std::nothrow)
        volume_self_iterator(path.substr(4, path.size() - 5), DriveTypeToObjectType(driveType));
    if (cursor == nullptr) {
      store_error(Plain(Loc(31), kFileOutOfMemory));
      return nullptr;
    }
    return hand_out(cursor);
  }
  std::u16string self;
  if (!nt_path(u".", false, self)) {
    store_error(Plain(Loc(32), kFileOpenError));
    return nullptr;
  }
  return find_nt(self);
}

dir_entry_pair winnt_dir::follow_link(const file_identifier* id, std::uint32_t flags) {
  if (id != nullptr) {
    if (i_dir::iterator* entry = find_by_id(id)) {
      const char16_t* target = entry->link_target();
      std::u16string text = target != nullptr ? target : u"";
      delete entry;
      if (!text.empty()) {
        const char16_t* last = text.c_str();
        i_dir* parent = open_parent(&last);
        if (parent == nullptr) return {nullptr, nullptr};
        auto* ident = new (std::nothrow) the_identifier(last, nullptr, 0);
        if (ident == nullptr) {
          delete parent;
          store_error(Plain(Loc(33), kFileOutOfMemory));
          return {nullptr, nullptr};
        }
        return {parent, ident};
      }
    }
  }
  if (i_dir::iterator* self = find_self()) {
    const char16_t* target = self->link_target();
    std::u16string text = target != nullptr ? target : u"";
    delete self;
    if (!text.empty()) {
      i_dir* dir = open_dir(text.c_str());
      if (dir == nullptr) return {nullptr, nullptr};
      file_identifier* clone = nullptr;
      if (id != nullptr && (clone = id->clone()) == nullptr) {
        delete dir;
        store_error(Plain(Loc(34), kFileOutOfMemory));
        return {nullptr, nullptr};
      }
      return {dir, clone};
    }
  }
  return i_dir::follow_link(id, flags);
}
