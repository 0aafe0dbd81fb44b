// The Windows 9x directory: the NT directory's operations over ANSI paths,
// every call through the 9x layer's ANSI table.
#include "files/win/win9x_dir.h"

#include <windows.h>
#include <winnetwk.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/path.h"
#include "files/win/helpers.h"
#include "files/win/nt_volume.h"
#include "windows/layer.h"

namespace {

constexpr std::uint32_t Loc(std::uint32_t n) { return 0x2B07u << 16 | n; }
constexpr int kAnsiPath = 260;

Windows::AnsiFunctions& Ansi() { return Windows::Layer9xAnsi(); }

Common::Error Plain(std::uint32_t location, std::uint32_t code) {
  return MakeFileError(location, kWin9xDirModuleId, code);
}

// A failed ANSI call on `path`: the thread's last error mapped over the
// default code, the function and the ANSI path named.
Common::Error Failed(std::uint32_t location, const char* function, const std::string& path,
                     std::uint32_t defaultCode) {
  const std::uint32_t win32 = LastSystemError();
  std::uint32_t code = defaultCode;
  const char16_t* text = FileErrorText(defaultCode);
  Win32ErrorToFileError(win32, code, text);
  Common::Error error = Common::Error::FromRecord(Common::NewSiteFunctionFileRecordNarrow(
      location, kWin9xDirModuleId, code, text, function, path.c_str()));
  Common::AttachWin32Cause(error, win32);
  return error;
}

bool Narrow(const std::u16string& wide, std::string& out) {
  char buffer[kAnsiPath + 1];
  const int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide.c_str()),
                                    int(wide.size()), buffer, kAnsiPath, nullptr, nullptr);
  if (n <= 0 && !wide.empty()) return false;
  out.assign(buffer, std::size_t(n < 0 ? 0 : n));
  return true;
}

std::string AnsiBytesOf(const file_identifier* id) {
  const auto* the = dynamic_cast<const the_identifier*>(id);
  if (the == nullptr) return std::string();
  if (the->bytes() != nullptr && the->byte_count() != 0) {
    return std::string(reinterpret_cast<const char*>(the->bytes()),
                       strnlen(reinterpret_cast<const char*>(the->bytes()), the->byte_count()));
  }
  std::string out;
  Narrow(the->name(), out);
  return out;
}

}  // namespace

// WININIT.INI holds its renames as lines of one section in which a key may
// repeat ("NUL=" for every deletion): the section is read whole and written
// back with the new line after the others, so that no earlier line is lost
// as it would be by writing the key as a profile value.
bool AppendWininitRename(const std::string& key, const std::string& value) {
  std::vector<char> section(32768);
  const DWORD got = Ansi().GetPrivateProfileSectionA("rename", section.data(),
                                                     DWORD(section.size()), "wininit.ini");
  if (got >= section.size() - 2) return false;  // too long to rewrite safely
  std::string lines(section.data(), got);      // "a=b\0c=d\0"
  lines += key + "=" + value;
  lines.push_back('\0');
  lines.push_back('\0');
  return Ansi().WritePrivateProfileSectionA("rename", lines.data(), "wininit.ini") != FALSE;
}

win32_dir* NewWin9xRootDir() { return new (std::nothrow) win9x_dir(); }

win9x_dir::~win9x_dir() {
  if (watchId_ != 0) watch(nullptr);
}

bool win9x_dir::to_narrow(const char16_t* name, std::string& out) {
  std::u16string resolved;
  if (name == nullptr || !resolve_path(resolved, name, false) || resolved.empty()) return false;
  if (resolved.size() > 1 && resolved.back() == u'\\') resolved.pop_back();
  return Narrow(resolved, out) && !out.empty();
}

bool win9x_dir::dir_path_a(std::string& out) {
  if (!to_narrow(u"x", out)) return false;
  out.pop_back();
  return true;
}

bool win9x_dir::root_path_a(std::string& out) {
  if (!to_narrow(u"\\x", out)) return false;
  out.pop_back();
  return true;
}

// ---------------------------------------------------------------------------
// Entries

HANDLE win9x_dir::create_handle(const char16_t* name, const SecurityAttributesProvider*,
                                DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  std::string path;
  if (!to_narrow(name, path)) {
    store_error(Plain(Loc(1), disposition == OPEN_EXISTING ? kFileOpenError : kFileCreateError));
    return nullptr;
  }
  HANDLE handle = Ansi().CreateFileA(path.c_str(), access, share & ~DWORD(FILE_SHARE_DELETE),
                                     nullptr, disposition, flags, nullptr);
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
    clear_error();
    return handle;
  }
  if (disposition == OPEN_EXISTING) {
    store_error(Failed(Loc(2), "OpenFileA", path, kFileOpenError));
  } else if (flags & FILE_FLAG_NO_BUFFERING) {
    store_error(Failed(Loc(3), "CreateFileNoCacheA", path, kFileCreateError));
  } else {
    store_error(Failed(Loc(4), "CreateFileA", path, kFileCreateError));
  }
  return nullptr;
}

HANDLE win9x_dir::change_handle() {
  std::string path;
  if (!to_narrow(u".", path)) {
    store_error(Plain(Loc(5), kFileOpenError));
    return nullptr;
  }
  HANDLE handle = Ansi().FindFirstChangeNotificationA(path.c_str(), FALSE, 0x1B);
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr) return handle;
  store_error(Failed(Loc(6), "FindFirstChangeNotificationA", path, kFileOpenError));
  return nullptr;
}

void win9x_dir::delete_file(const char16_t* name) {
  std::string path;
  if (!to_narrow(name, path)) return store_error(Plain(Loc(7), kFileDeleteError));
  if (Ansi().DeleteFileA(path.c_str())) return clear_error();
  store_error(Failed(Loc(8), "DeleteFileA", path, kFileDeleteError));
}

void win9x_dir::move(const char16_t* from, const char16_t* to) {
  std::string source, target;
  if (!to_narrow(from, source) || !to_narrow(to, target))
    return store_error(Plain(Loc(9), kFileRenameError));
  if (Ansi().MoveFileA(source.c_str(), target.c_str())) return clear_error();
  store_error(Failed(Loc(10), "MoveFileA", source, kFileRenameError));
}

void win9x_dir::create_dir(const char16_t* name, const SecurityAttributesProvider*) {
  std::string path;
  if (!to_narrow(name, path)) return store_error(Plain(Loc(11), kFileCreateError));
  if (Ansi().CreateDirectoryA(path.c_str(), nullptr)) return clear_error();
  store_error(Failed(Loc(12), "CreateDirectoryA", path, kFileCreateError));
}

void win9x_dir::remove_dir(const char16_t* name) {
  std::string path;
  if (!to_narrow(name, path)) return store_error(Plain(Loc(13), kFileDeleteError));
  if (Ansi().RemoveDirectoryA(path.c_str())) return clear_error();
  store_error(Failed(Loc(14), "RemoveDirectoryA", path, kFileDeleteError));
}

void win9x_dir::set_attributes(const char16_t* name, std::uint32_t attributes) {
  std::string path;
  if (!to_narrow(name, path)) return store_error(Plain(Loc(15), kFileCreateError));
  if (Ansi().SetFileAttributesA(path.c_str(), attributes)) return clear_error();
  store_error(Failed(Loc(16), "SetFileAttributesA", path, kFileCreateError));
}

win32_dir* win9x_dir::make_dir(const char16_t* path) {
  std::u16string resolved;
  if (path == nullptr || !resolve_path(resolved, path, false)) {
    store_error(Plain(Loc(17), kFileOpenError));
    return nullptr;
  }
  win9x_dir* dir = new (std::nothrow) win9x_dir(resolved);
  if (dir == nullptr) {
    store_error(Plain(Loc(18), kFileOutOfMemory));
    return nullptr;
  }
  clear_error();
  return dir;
}

std::uint32_t win9x_dir::module_path(char16_t* buffer, std::uint32_t length) {
  if (buffer == nullptr || length == 0) return 0;
  buffer[0] = 0;
  std::vector<char> narrow(length);
  const DWORD n = Ansi().GetModuleFileNameA(nullptr, narrow.data(), length);
  if (n == 0) return 0;
  const int wide = MultiByteToWideChar(CP_ACP, 0, narrow.data(), int(n),
                                       reinterpret_cast<LPWSTR>(buffer), int(length));
  if (wide <= 0) return 0;
  const std::uint32_t count = std::uint32_t(wide) < length ? std::uint32_t(wide) : length - 1;
  buffer[count] = 0;
  return count;
}

bool win9x_dir::compare_names(const char16_t* a, const char16_t* b, std::uint32_t count) {
  if (std::memcmp(a, b, count * sizeof(char16_t)) == 0) return true;
  std::string x, y;
  if (!Narrow(std::u16string(a, count), x) || !Narrow(std::u16string(b, count), y)) return false;
  if (x.size() != y.size()) return false;
  CharUpperBuffA(&x[0], DWORD(x.size()));
  CharUpperBuffA(&y[0], DWORD(y.size()));
  return x == y;
}

int win9x_dir::compare_ids(const file_identifier* a, const file_identifier* b) {
  const std::string x = AnsiBytesOf(a), y = AnsiBytesOf(b);
  return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, x.c_str(), -1, y.c_str(), -1) -
         2;
}

i_dir* win9x_dir::open_special(std::uint32_t type) {
  if (type != kObjectTempDirectory) return win32_dir::open_special(type);
  char narrow[kAnsiPath + 1] = {};
  const DWORD n = Ansi().GetTempPathA(kAnsiPath, narrow);
  if (n == 0 || n > kAnsiPath) {
    store_error(Failed(Loc(19), "GetTempPathA", "", kFileOpenError));
    return nullptr;
  }
  wchar_t wide[kAnsiPath] = {};
  if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide, kAnsiPath - 1) <= 0) {
    store_error(Plain(Loc(20), kFileOpenError));
    return nullptr;
  }
  return open_dir(reinterpret_cast<const char16_t*>(wide));
}

// ---------------------------------------------------------------------------
// Volume side

std::uint32_t win9x_dir::object_type() {
  std::string root;
  if (!root_path_a(root)) return kObjectUnknown;
  return DriveTypeToObjectType(Ansi().GetDriveTypeA(root.c_str()));
}

void win9x_dir::disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) {
  total = free = available = 0;
  using ExFn = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  static const ExFn ex = LookupSystemFunction<ExFn>("kernel32", "GetDiskFreeSpaceExA");
  std::string path;
  if (ex != nullptr) {
    if (!dir_path_a(path)) return store_error(Plain(Loc(21), kFileReadError));
    ULARGE_INTEGER a{}, t{}, f{};
    if (!ex(path.c_str(), &a, &t, &f))
      return store_error(Failed(Loc(22), "GetDiskFreeSpaceExA", path, kFileReadError));
    total = t.QuadPart;
    free = f.QuadPart;
    available = a.QuadPart;
    return clear_error();
  }
  if (!root_path_a(path)) return store_error(Plain(Loc(23), kFileReadError));
  DWORD sectors = 0, bytes = 0, freeClusters = 0, clusters = 0;
  if (!Ansi().GetDiskFreeSpaceA(path.c_str(), &sectors, &bytes, &freeClusters, &clusters))
    return store_error(Failed(Loc(24), "GetDiskFreeSpaceA", path, kFileReadError));
  const std::uint64_t cluster = std::uint64_t(sectors) * bytes;
  total = clusters * cluster;
  free = available = freeClusters * cluster;
  clear_error();
}

void win9x_dir::volume_info(char16_t* buffer, std::uint32_t length) {
  std::string path;
  if (!dir_path_a(path)) return store_error(Plain(Loc(25), kFileNotSupported));
  char label[128] = {};
  DWORD component = 0, flags = 0;
  if (!Ansi().GetVolumeInformationA(path.c_str(), label, sizeof label, nullptr, &component,
                                    &flags, nullptr, 0))
    return store_error(Failed(Loc(26), "GetVolumeInformationA", path, kFileReadError));
  if (length != 0 && buffer != nullptr) {
    const int n = MultiByteToWideChar(CP_ACP, 0, label, -1, reinterpret_cast<LPWSTR>(buffer),
                                      int(length));
    if (n <= 0) {
      buffer[0] = 0;
      return store_error(Plain(Loc(27), kFileReadError));
    }
  }
  clear_error();
}

void win9x_dir::net_connect(const char16_t* first, const char16_t* second, HWND owner) {
  std::string user, password;
  if ((first != nullptr && !Narrow(first, user)) ||
      (second != nullptr && !Narrow(second, password)))
    return store_error(Plain(Loc(28), kFileOpenError));
  net_connect_a(first != nullptr ? user.c_str() : nullptr,
                second != nullptr ? password.c_str() : nullptr, owner);
}

namespace {

// The remote name of a local drive through the network's universal-name
// query; 0 and ERROR_CONNECTION_UNAVAIL fill `name` with the connection.
DWORD GetConnectionNameA(const std::string& local, std::string& name) {
  name.clear();
  std::vector<char> buffer(240);
  DWORD size = DWORD(buffer.size());
  DWORD answer =
      Ansi().WNetGetUniversalNameA(local.c_str(), REMOTE_NAME_INFO_LEVEL, buffer.data(), &size);
  if (answer == ERROR_MORE_DATA) {
    try {
      buffer.assign(std::size_t(size) + 16, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    size = DWORD(buffer.size());
    answer =
        Ansi().WNetGetUniversalNameA(local.c_str(), REMOTE_NAME_INFO_LEVEL, buffer.data(), &size);
  }
  if (answer == NO_ERROR || answer == ERROR_CONNECTION_UNAVAIL) {
    const auto* info = reinterpret_cast<const REMOTE_NAME_INFOA*>(buffer.data());
    if (info->lpConnectionName != nullptr) name = info->lpConnectionName;
  }
  return answer;
}

}  // namespace

void win9x_dir::net_connect_a(const char* user, const char* password, HWND owner) {
  const std::u16string& own = path_text();
  const bool server = own.size() > 3 && own[0] == u'\\' && own[1] == u'\\' &&
                      own.find(u'\\', 2) == own.size() - 1;
  std::string name;
  if (!(server ? dir_path_a(name) : to_narrow(u"\\", name)) || name.empty())
    return store_error(Plain(Loc(37), kFileOpenError));

  std::string local, remote = name;
  if (name[0] != '\\') {
    std::string connection;
    const DWORD answer = GetConnectionNameA(name, connection);
    if (answer == NO_ERROR) return clear_error();
    if (answer != ERROR_CONNECTION_UNAVAIL || connection.empty()) {
      SetLastError(answer == ERROR_CONNECTION_UNAVAIL ? ERROR_BAD_NET_NAME : answer);
      return store_error(Failed(Loc(38), "WNetGetUniversalNameA", name, kFileOpenError));
    }
    local = name;
    remote = connection;
  }
  NETRESOURCEA resource{};
  resource.dwType = RESOURCETYPE_DISK;
  resource.lpLocalName = local.empty() ? nullptr : &local[0];
  resource.lpRemoteName = &remote[0];
  const DWORD answer = Ansi().WNetAddConnection3A(owner, &resource, password, user,
                                                  owner != nullptr ? CONNECT_INTERACTIVE : 0);
  if (answer == NO_ERROR) return clear_error();
  SetLastError(answer);
  store_error(Failed(Loc(39), "WNetAddConnection3A", name, kFileAccessDenied));
}

std::uint32_t win9x_dir::sector_size() {
  std::string root;
  DWORD sectors = 0, bytes = 0, freeClusters = 0, clusters = 0;
  if (root_path_a(root) &&
      Ansi().GetDiskFreeSpaceA(root.c_str(), &sectors, &bytes, &freeClusters, &clusters) &&
      bytes != 0)
    return bytes;
  return 512;
}

void win9x_dir::control(control_request* request) {
  if (request->code == kControlPDRN) {
    const pdrn_request& rename = *static_cast<pdrn_request*>(request);
    std::string source, target;
    if (!to_narrow(rename.name, source) || source[0] == '\\' ||
        (rename.newName != nullptr && (!to_narrow(rename.newName, target) || target[0] == '\\')))
      return store_error(Plain(Loc(30), kFileRenameError));
    char shortSource[kAnsiPath] = {}, shortTarget[kAnsiPath] = {};
    if (Ansi().GetShortPathNameA(source.c_str(), shortSource, kAnsiPath) == 0)
      return store_error(Failed(Loc(31), "GetShortPathNameA", source, kFileRenameError));
    std::string key = "NUL";
    if (rename.newName != nullptr) {
      // The target need not exist yet: its folder's short form and its name.
      const std::size_t slash = target.rfind('\\');
      const std::string folder = target.substr(0, slash == std::string::npos ? 0 : slash + 1);
      if (Ansi().GetShortPathNameA(folder.c_str(), shortTarget, kAnsiPath) == 0)
        return store_error(Failed(Loc(32), "GetShortPathNameA", target, kFileRenameError));
      key = std::string(shortTarget);
      if (!key.empty() && key.back() != '\\') key += '\\';
      key += target.substr(slash + 1);
    }
    if (!AppendWininitRename(key, shortSource)) {
      return store_error(MakeApiError(Loc(33), kWin9xDirModuleId, "WritePrivateProfileSectionA",
                                      kFileRenameError, FileErrorText(kFileRenameError)));
    }
    return clear_error();
  }
  if (request->code == kControlGFST) {
    gfst_request& query = *static_cast<gfst_request*>(request);
    query.fileSystem[0] = 0;
    std::string root;
    if (!root_path_a(root)) return store_error(Plain(Loc(34), kFileOpenError));
    char name[261] = {};
    DWORD component = 0, flags = 0;
    if (!Ansi().GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, &component, &flags,
                                      name, sizeof name))
      return store_error(Failed(Loc(35), "GetVolumeInformationA", root, kFileOpenError));
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, reinterpret_cast<LPWSTR>(query.fileSystem),
                            64) <= 0) {
      query.fileSystem[0] = 0;
      return store_error(Plain(Loc(36), kFileOpenError));
    }
    query.fileSystem[63] = 0;
    return clear_error();
  }
  win32_dir::control(request);
}

// ---------------------------------------------------------------------------
// Cursors

bool IsShareRootPathA(const std::string& path) noexcept {
  if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') return false;
  const std::size_t share = path.find('\\', 2);
  return share != std::string::npos && path.find('\\', share + 1) == std::string::npos;
}

namespace {

std::string AnsiShareName(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// The share's UTF-16 name; empty when it does not convert.
std::u16string WideShareName(const std::string& ansi) {
  wchar_t wide[MAX_PATH + 1] = {};
  if (ansi.empty() || MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, MAX_PATH) <= 0)
    return std::u16string();
  return reinterpret_cast<const char16_t*>(wide);
}

}  // namespace

win9x_dir::share_iterator::share_iterator(const std::string& path)
    : winnt_dir::share_iterator(WideShareName(AnsiShareName(path))),
      ansiName_(AnsiShareName(path)) {}

file_identifier* win9x_dir::share_iterator::id() {
  if (!is_ok()) return nullptr;
  return new (std::nothrow) the_identifier(name(), ansiName_.c_str(),
                                           std::uint32_t(ansiName_.size() + 1));
}

win9x_dir::iterator::iterator(const std::string& pattern) {
  underUnc_ = !pattern.empty() && pattern[0] == '\\';
  WIN32_FIND_DATAA record;
  findHandle_ = Ansi().FindFirstFileA(pattern.c_str(), &record);
  if (findHandle_ == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      store_first_error(Plain(Loc(40), kFileEndOfFile));
    } else {
      store_first_error(Failed(Loc(41), "FindFirstFileA", pattern, kFileOpenError));
    }
    return;
  }
  if (!to_wide(record) || IsDotEntry(find_)) next();
}

bool win9x_dir::iterator::to_wide(const WIN32_FIND_DATAA& record) {
  std::memset(&find_, 0, sizeof find_);
  std::memcpy(&find_, &record, 44);  // attributes, three times, size, reserved words
  char name[MAX_PATH + 1] = {};
  std::memcpy(name, record.cFileName, MAX_PATH);
  char alternate[15] = {};
  std::memcpy(alternate, record.cAlternateFileName, 14);
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, find_.cFileName, MAX_PATH) <= 0 ||
      (alternate[0] != 0 &&
       MultiByteToWideChar(CP_ACP, 0, alternate, -1, find_.cAlternateFileName, 14) <= 0)) {
    std::memset(&find_, 0, sizeof find_);
    return false;
  }
  ansiName_ = name;
  return true;
}

void win9x_dir::iterator::next() {
  if (!is_ok()) return;
  if (findHandle_ == INVALID_HANDLE_VALUE) {
    store_first_error(Plain(Loc(42), kFileEndOfFile));
    return;
  }
  for (;;) {
    WIN32_FIND_DATAA record;
    if (!Ansi().FindNextFileA(findHandle_, &record)) {
      store_first_error(MakeApiError(Loc(43), kWin9xDirModuleId, "FindNextFileA",
                                     kFileReadError, FileErrorText(kFileReadError)));
      return;
    }
    if (to_wide(record) && !IsDotEntry(find_)) return;
  }
}

file_identifier* win9x_dir::iterator::id() {
  if (!is_ok() || findHandle_ == INVALID_HANDLE_VALUE) return nullptr;
  return new (std::nothrow) the_identifier(reinterpret_cast<const char16_t*>(find_.cFileName),
                                           ansiName_.c_str(),
                                           std::uint32_t(ansiName_.size() + 1));
}

std::uint32_t win9x_dir::iterator::object_type() {
  if (!is_ok() || findHandle_ == INVALID_HANDLE_VALUE) return kObjectFile;
  return (find_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kObjectDirectory : kObjectFile;
}

i_dir::iterator* win9x_dir::search(const std::string& pattern) {
  if (IsShareRootPathA(pattern)) {
    share_iterator* share = new (std::nothrow) share_iterator(pattern);
    store_error(share != nullptr ? Common::Error() : Plain(Loc(51), kFileOutOfMemory));
    return share;
  }
  iterator* cursor = new (std::nothrow) iterator(pattern);
  if (cursor == nullptr) {
    store_error(Plain(Loc(44), kFileOutOfMemory));
    return nullptr;
  }
  store_error(cursor->error());
  if (!is_ok()) {
    delete cursor;
    return nullptr;
  }
  return cursor;
}

i_dir::iterator* win9x_dir::list() {
  if (path_text().empty()) {
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) return nullptr;
    drives->next();
    clear_error();
    return drives;
  }
  std::string pattern;
  if (!dir_path_a(pattern)) {
    store_error(Plain(Loc(45), kFileOpenError));
    return nullptr;
  }
  pattern += '*';
  iterator* cursor = new (std::nothrow) iterator(pattern);
  if (cursor == nullptr) {
    store_error(Plain(Loc(46), kFileOutOfMemory));
    return nullptr;
  }
  if (!cursor->is_ok() && cursor->error().Code() != kFileEndOfFile) {
    store_error(cursor->take_error());
    delete cursor;
    return nullptr;
  }
  clear_error();
  return cursor;
}

i_dir::iterator* win9x_dir::find(const char16_t* name) {
  if (path_text().empty() && name != nullptr) {
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) return nullptr;
    LetterIteratorSeek(drives, name[0]);
    store_error(drives->error());
    return drives;
  }
  std::string path;
  if (!to_narrow(name, path)) {
    store_error(Plain(Loc(47), kFileOpenError));
    return nullptr;
  }
  return search(path);
}

i_dir::iterator* win9x_dir::find_by_id(const file_identifier* id) {
  const auto* the = dynamic_cast<const the_identifier*>(id);
  if (the == nullptr) {
    store_error(Plain(Loc(48), kFileOpenError));
    return nullptr;
  }
  if (path_text().empty()) return find(the->name());
  std::string path;
  if (!dir_path_a(path)) {
    store_error(Plain(Loc(49), kFileOpenError));
    return nullptr;
  }
  return search(path + AnsiBytesOf(id));
}

i_dir::iterator* win9x_dir::find_self() {
  const std::u16string& path = path_text();
  if (path.empty()) return new (std::nothrow) windows_dir::root_iterator();
  if (path.size() == 3) {
    letter_iterator* drives = drive_letters();
    if (drives == nullptr) return nullptr;
    LetterIteratorSeek(drives, path[0]);
    store_error(drives->error());
    return drives;
  }
  std::string self;
  if (!to_narrow(u".", self)) {
    store_error(Plain(Loc(50), kFileOpenError));
    return nullptr;
  }
  return search(self);
}
