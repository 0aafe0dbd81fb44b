// The directory base shared by the NT and Windows 9x directories, and its
// cursors.
#include "files/win/win_dir.h"

#include <memory>
#include <new>
#include <string>

#include "files/control.h"
#include "files/file_error.h"
#include "files/file_time.h"
#include "files/path.h"
#include "files/win/helpers.h"
#include "files/win/shell_dir.h"
#include "files/win/win_file.h"

namespace {

constexpr std::uint32_t kModuleId = kWin32DirModuleId;
// Location ids: this file's number from the module range, then the site.
constexpr std::uint32_t Site(std::uint32_t n) { return (0x2120u << 16) | n; }

Common::Error FileError(std::uint32_t site, std::uint32_t code) {
  return MakeFileError(Site(site), kModuleId, code);
}

const char16_t* IdentifierName(const file_identifier* id) {
  const auto* general = dynamic_cast<const the_identifier*>(id);
  return general ? general->name() : nullptr;
}

std::uint64_t Join(DWORD high, DWORD low) {
  return static_cast<std::uint64_t>(high) << 32 | low;
}

std::uint64_t TimeMs(const FILETIME& time) {
  return FileTimeToMs(Join(time.dwHighDateTime, time.dwLowDateTime));
}

std::size_t Length(const char16_t* text) {
  return std::char_traits<char16_t>::length(text);
}

}  // namespace

// ---------------------------------------------------------------------------
// windows_dir

i_dir* windows_dir::open_dir_by_id(const file_identifier* id) {
  const char16_t* name = IdentifierName(id);
  if (!name) {
    store_error(FileError(1, kFileOpenError));
    return nullptr;
  }
  return open_dir(name);
}

rio_dir* windows_dir::open_parent(const char16_t** path) {
  if (!path || !*path) {
    store_error(FileError(2, kFileOpenError));
    return nullptr;
  }
  const char16_t* text = *path;
  const char16_t* last = nullptr;
  for (const char16_t* p = text; *p; ++p) {
    if (*p == u'/' || *p == u':' || *p == u'\\') last = p;
  }
  if (!last) return open_dir(u".");
  const std::u16string parent(text, static_cast<std::size_t>(last - text) + 1);
  rio_dir* dir = open_dir(parent.c_str());
  if (dir) *path = last + 1;
  return dir;
}

bool windows_dir::resolve_path(std::u16string& out, const char16_t* name,
                               bool allow_streams) const {
  return ResolvePath(path_, out, name, allow_streams);
}

bool windows_dir::is_valid_name(const char16_t* name) const {
  return IsValidFileName(name, path_.empty());
}

// ---------------------------------------------------------------------------
// windows_dir::root_iterator

void windows_dir::root_iterator::next() {
  if (!is_ok()) return;
  store_error(FileError(3, kFileEndOfFile));
}

file_identifier* windows_dir::root_iterator::id() {
  if (!is_ok()) return nullptr;
  return new (std::nothrow) the_identifier(nullptr, nullptr, 0);
}

const char16_t* windows_dir::root_iterator::name() { return is_ok() ? u"" : nullptr; }

std::uint32_t windows_dir::root_iterator::object_type() {
  return is_ok() ? kObjectComputer : kObjectUnknown;
}

// ---------------------------------------------------------------------------
// win32_dir: opening files

win32_file* win32_dir::OpenWin32File(const char16_t* name,
                                     const SecurityAttributesProvider* provider, DWORD access,
                                     bool share_all, DWORD disposition) {
  DWORD share;
  if (share_all)
    share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  else
    share = (access & GENERIC_WRITE) ? 0 : FILE_SHARE_READ;
  HANDLE handle =
      create_handle(name, provider, access, share, disposition, FILE_ATTRIBUTE_NORMAL);
  if (!IsValidHandle(handle)) return nullptr;  // create_handle stored why
  auto* file = new (std::nothrow) win32_file(handle);
  if (!file) {
    CloseHandle(handle);
    store_error(FileError(4, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return file;
}

win32_file* win32_dir::OpenByIterator(i_dir::iterator* at, DWORD access, bool share_all) {
  const char16_t* name = at && at->is_ok() ? at->name() : nullptr;
  if (!name) {
    store_error(FileError(5, kFileOpenError));
    return nullptr;
  }
  return OpenWin32File(name, nullptr, access, share_all, OPEN_EXISTING);
}

win32_file* win32_dir::OpenById(const file_identifier* id, DWORD access, bool share_all) {
  const char16_t* name = IdentifierName(id);
  if (!name) {
    store_error(FileError(6, kFileOpenError));
    return nullptr;
  }
  return OpenWin32File(name, nullptr, access, share_all, OPEN_EXISTING);
}

i_file* win32_dir::open_file(const char16_t* name, bool share_all) {
  return OpenWin32File(name, nullptr, GENERIC_READ, share_all, OPEN_EXISTING);
}

i_file* win32_dir::open_file_at(i_dir::iterator* at, bool share_all) {
  return OpenByIterator(at, GENERIC_READ, share_all);
}

i_file* win32_dir::open_file_by_id(const file_identifier* id, bool share_all) {
  return OpenById(id, GENERIC_READ, share_all);
}

ro_file* win32_dir::open_file_write(const char16_t* name, bool share_all) {
  return OpenWin32File(name, nullptr, GENERIC_WRITE, share_all, OPEN_EXISTING);
}

ro_file* win32_dir::open_file_write_at(i_dir::iterator* at, bool share_all) {
  return OpenByIterator(at, GENERIC_WRITE, share_all);
}

ro_file* win32_dir::open_file_write_by_id(const file_identifier* id, bool share_all) {
  return OpenById(id, GENERIC_WRITE, share_all);
}

rio_file* win32_dir::open_file_rw(const char16_t* name, bool share_all) {
  return OpenWin32File(name, nullptr, GENERIC_READ | GENERIC_WRITE, share_all, OPEN_EXISTING);
}

rio_file* win32_dir::open_file_rw_at(i_dir::iterator* at, bool share_all) {
  return OpenByIterator(at, GENERIC_READ | GENERIC_WRITE, share_all);
}

rio_file* win32_dir::open_file_rw_by_id(const file_identifier* id, bool share_all) {
  return OpenById(id, GENERIC_READ | GENERIC_WRITE, share_all);
}

rio_file* win32_dir::create_file(const char16_t* name, bool share_all,
                                 const SecurityAttributesProvider* provider) {
  return OpenWin32File(name, provider, GENERIC_READ | GENERIC_WRITE, share_all, CREATE_ALWAYS);
}

rio_file* win32_dir::create_nocache_file(const char16_t* name) {
  if (sectorSize_ == 0 || !is_valid_name(name)) {
    store_error(FileError(7, kFileNotSupported));
    return nullptr;
  }
  HANDLE handle = create_handle(name, nullptr, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                                FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL);
  if (!IsValidHandle(handle)) return nullptr;
  auto* file = new (std::nothrow) win32_nocache_file(handle, sectorSize_);
  if (!file) {
    CloseHandle(handle);
    store_error(FileError(8, kFileOutOfMemory));
    return nullptr;
  }
  store_error(Common::NoError);
  return file;
}

// ---------------------------------------------------------------------------
// win32_dir: directories

i_dir* win32_dir::open_dir_at(i_dir::iterator* at) {
  const char16_t* name = at && at->is_ok() ? at->name() : nullptr;
  if (!name) {
    store_error(FileError(9, kFileOpenError));
    return nullptr;
  }
  return open_dir(name);
}

win32_dir* win32_dir::open_dir(const char16_t* path) { return make_dir(path); }

i_dir* win32_dir::open_self() { return open_dir(u"."); }

i_dir* win32_dir::open_special(std::uint32_t type) {
  if (type == kObjectComputer) return open_dir(u"C:\\..");  // resolves to the root
  if (type == kObjectCommonAppData || type == kObjectAppData || type == kObjectLocalAppData) {
    // The shell knows where these live; the folder found is then opened as
    // a Windows directory of this family.
    win32_shell_dir* shell = GetShellRootDir();
    if (shell == nullptr) {
      store_error(FileError(40, kFileOpenError));
      return nullptr;
    }
    std::unique_ptr<i_dir> special(shell->open_special(type));
    if (!special) {
      store_error(shell->error());
      return nullptr;
    }
    const char16_t* found = special->path();
    const std::u16string where = found != nullptr ? found : u"";
    special.reset();
    if (where.empty()) {
      store_error(FileError(41, kFileOpenError));
      return nullptr;
    }
    std::unique_ptr<win32_dir> root(open_dir(u"C:\\.."));
    if (!root) return nullptr;
    win32_dir* result = root->open_dir(where.c_str());
    store_error(root->error());
    return result;
  }
  store_error(FileError(10, kFileNotSupported));
  return nullptr;
}

int win32_dir::relation(i_dir* other) {
  if (!other) return 2;
  if (other == static_cast<i_dir*>(this)) return 0;
  const char16_t* s = other->path();
  const std::size_t n = path_.size();
  if (!s) return n > 0 ? 2 : 0;
  const std::size_t length = Length(s);
  if (n > 0) {
    if (length < n) return 2;
    if (!compare_names(path_.c_str(), s, static_cast<std::uint32_t>(n))) return 2;
  }
  return length > n ? 1 : 0;
}

win32_dir::letter_iterator* win32_dir::drive_letters() {
  auto* it = new (std::nothrow) letter_iterator(GetLogicalDrives());
  if (!it) store_error(FileError(11, kFileOutOfMemory));
  return it;
}

void win32_dir::control(control_request* request) {
  if (!request) {
    windows_dir::control(request);
    return;
  }
  switch (request->code) {
    case kControlSPWD: {
      auto* r = static_cast<path_request*>(request);
      if (!r->path) {
        net_connect(r->first, r->second, GetUiOwnerWindow());
        return;
      }
      win32_dir* target = make_dir(r->path);
      if (!target) return;  // make_dir stored why
      target->net_connect(r->first, r->second, GetUiOwnerWindow());
      store_error(target->error());
      delete target;
      return;
    }
    case kControlGSYP:
      static_cast<path_request*>(request)->path = path_.c_str();
      store_error(Common::NoError);
      return;
    case kControlNCDR:
      static_cast<ncdr_request*>(request)->result = static_cast<nocache_dir*>(this);
      store_error(Common::NoError);
      return;
    default:
      windows_dir::control(request);
      return;
  }
}

// ---------------------------------------------------------------------------
// win32_dir::iterator

win32_dir::iterator::iterator() noexcept = default;

win32_dir::iterator::~iterator() {
  if (findHandle_ != INVALID_HANDLE_VALUE) FindClose(findHandle_);
}

bool win32_dir::iterator::has_entry() noexcept {
  return is_ok() && findHandle_ != INVALID_HANDLE_VALUE;
}

const char16_t* win32_dir::iterator::name() {
  if (!has_entry()) return nullptr;
  // The record comes from the system; make sure its names end inside it.
  find_.cFileName[MAX_PATH - 1] = 0;
  return reinterpret_cast<const char16_t*>(find_.cFileName);
}

const char16_t* win32_dir::iterator::short_name() {
  if (!has_entry()) return nullptr;
  find_.cAlternateFileName[13] = 0;
  if (find_.cAlternateFileName[0] == 0) return nullptr;
  return reinterpret_cast<const char16_t*>(find_.cAlternateFileName);
}

std::uint64_t win32_dir::iterator::size() {
  return has_entry() ? Join(find_.nFileSizeHigh, find_.nFileSizeLow) : 0;
}

std::uint64_t win32_dir::iterator::write_time() {
  return has_entry() ? TimeMs(find_.ftLastWriteTime) : 0;
}

std::uint64_t win32_dir::iterator::creation_time() {
  return has_entry() ? TimeMs(find_.ftCreationTime) : 0;
}

std::uint64_t win32_dir::iterator::access_time() {
  return has_entry() ? TimeMs(find_.ftLastAccessTime) : 0;
}

std::uint32_t win32_dir::iterator::attributes() {
  return has_entry() ? find_.dwFileAttributes : kNoAttributes;
}

bool win32_dir::iterator::is_hidden() {
  return !has_entry() || (find_.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
}

int win32_dir::iterator::children_hint() {
  if (!has_entry()) return 0;
  return underUnc_ ? 2 : 1;
}

bool IsDotEntry(const WIN32_FIND_DATAW& data) noexcept {
  const WCHAR* n = data.cFileName;
  return n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0));
}

bool IteratorEndedNormally(const i_dir::iterator* it) noexcept {
  return it && (it->is_ok() || it->error().Code() == kFileEndOfFile);
}

// ---------------------------------------------------------------------------
// win32_dir::letter_iterator

win32_dir::letter_iterator::letter_iterator(std::uint32_t driveMask) noexcept
    : mask_(driveMask), letter_{static_cast<char16_t>(u'A' - 1), u':', 0} {}

namespace {

bool HasDrive(std::uint32_t mask, char16_t letter) {
  return letter >= u'A' && letter <= u'Z' && (mask >> (letter - u'A') & 1u) != 0;
}

}  // namespace

void win32_dir::letter_iterator::next() {
  if (!is_ok()) return;
  type_ = 0;
  // Z: is the last letter: a mask with Z: set must still end after it.
  for (char16_t c = static_cast<char16_t>(letter_[0] + 1); c <= u'Z'; ++c) {
    if (HasDrive(mask_, c)) {
      letter_[0] = c;
      return;
    }
  }
  letter_[0] = u'Z';
  store_error(FileError(12, kFileEndOfFile));
}

file_identifier* win32_dir::letter_iterator::id() {
  if (!is_ok() || !HasDrive(mask_, letter_[0])) return nullptr;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(letter_[0]), ':', 0};
  return new (std::nothrow) the_identifier(letter_, bytes, sizeof bytes);
}

const char16_t* win32_dir::letter_iterator::name() {
  return is_ok() && HasDrive(mask_, letter_[0]) ? letter_ : nullptr;
}

std::uint32_t win32_dir::letter_iterator::object_type() {
  if (!is_ok() || !HasDrive(mask_, letter_[0])) return kObjectUnknown;
  if (type_ == 0) {
    const char root[4] = {static_cast<char>(letter_[0]), ':', '\\', 0};
    type_ = DriveTypeToObjectType(GetDriveTypeA(root));
  }
  return type_;
}

void LetterIteratorSeek(win32_dir::letter_iterator* it, char16_t letter) {
  if (!it) return;
  const auto upper = static_cast<char16_t>(letter & ~0x20);
  it->letter_[0] = upper;
  it->type_ = 0;
  it->store_error(HasDrive(it->mask_, upper) ? Common::NoError
                                             : FileError(13, kFileEndOfFile));
}
