// Connecting the network location an NT directory lies on.
#include <windows.h>
#include <winnetwk.h>

#include <foundation/registry_security.h>

#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/path.h"
#include "files/win/helpers.h"
#include "files/win/nt_volume.h"

namespace {

constexpr std::uint32_t kModuleId = 0x2301;
constexpr std::uint32_t Loc(std::uint32_t n) { return kModuleId << 16 | n; }

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }
LPWSTR W(std::u16string& s) { return reinterpret_cast<LPWSTR>(&s[0]); }
LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

bool IsDoubleBackslash(const std::u16string& s) {
  return s.size() >= 2 && s[0] == u'\\' && s[1] == u'\\';
}

// The remote name of a drive or path; 0 or ERROR_CONNECTION_UNAVAIL fill
// `name` with the connection name.
DWORD GetConnectionName(const std::u16string& local, std::u16string& name) {
  name.clear();
  ImpersonationScope impersonation(!local.empty() && local[0] == u'\\');
  std::vector<unsigned char> buffer(240);
  DWORD size = DWORD(buffer.size());
  DWORD answer = WNetGetUniversalNameW(W(local), REMOTE_NAME_INFO_LEVEL, buffer.data(), &size);
  if (answer == ERROR_MORE_DATA) {
    try {
      buffer.assign(size + 16, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    size = DWORD(buffer.size());
    answer = WNetGetUniversalNameW(W(local), REMOTE_NAME_INFO_LEVEL, buffer.data(), &size);
  }
  if ((answer == NO_ERROR || answer == ERROR_CONNECTION_UNAVAIL)) {
    auto* info = reinterpret_cast<REMOTE_NAME_INFOW*>(buffer.data());
    if (info->lpConnectionName != nullptr)
      name = reinterpret_cast<const char16_t*>(info->lpConnectionName);
  }
  return answer;
}

DWORD AddNetConnection(NETRESOURCEW& resource, const char16_t* user, const char16_t* password,
                       HWND owner) {
  const DWORD flags = owner != nullptr ? CONNECT_INTERACTIVE : 0;
  std::u16string remote = reinterpret_cast<const char16_t*>(resource.lpRemoteName);
  std::u16string server = remote;
  const bool truncated = TruncateToServer(server);
  LPWSTR full = resource.lpRemoteName;
  if (truncated) resource.lpRemoteName = W(server);
  DWORD answer = WNetAddConnection3W(owner, &resource, W(password), W(user), flags);
  resource.lpRemoteName = full;
  if (truncated && (answer == ERROR_NO_SUCH_LOGON_SESSION ||
                    answer == ERROR_SESSION_CREDENTIAL_CONFLICT))
    answer = WNetAddConnection3W(owner, &resource, W(password), W(user), flags);
  return answer;
}

void CancelServerConnections(const NETRESOURCEW& resource) {
  std::u16string remote = reinterpret_cast<const char16_t*>(resource.lpRemoteName);
  if (!IsDoubleBackslash(remote)) return;
  std::size_t end = remote.find(u'\\', 2);
  Common::CancelNetworkConnections(true, remote.substr(0, end).c_str());
}

}  // namespace

bool TruncateToServer(std::u16string& name) {
  if (!IsDoubleBackslash(name)) return false;
  std::size_t cut = name.find(u'\\', 2);
  if (cut == std::u16string::npos) return false;
  name.resize(cut);
  return true;
}

Common::Error NtNetConnect(winnt_dir& dir, const char16_t* user, const char16_t* password,
                           HWND owner) {
  const std::u16string& path = dir.path_text();
  std::u16string name;
  if (path.size() > 3 && IsDoubleBackslash(path) && path.find(u'\\', 2) == path.size() - 1) {
    name = path;  // a server: \\server\ .
  } else if (!dir.resolve_path(name, u"\\", false) || name.empty()) {
    return MakeFileError(Loc(1), kNtDirModuleId,
                         path.empty() ? kFileNotSupported : kFileOpenError);
  }
  name.pop_back();  // the trailing '\'

  NETRESOURCEW resource{};
  resource.dwType = RESOURCETYPE_DISK;
  std::u16string local;
  if (name[0] != u'\\') {
    std::u16string connection;
    DWORD answer = GetConnectionName(name, connection);
    if (answer == NO_ERROR) return Common::Error();
    if (answer == ERROR_NOT_CONNECTED) return MakeFileError(Loc(2), kNtDirModuleId, kFileNotSupported);
    if (answer != ERROR_CONNECTION_UNAVAIL) {
      SetLastError(answer);
      return MakeFileApiError(Loc(3), kNtDirModuleId, "WNetGetUniversalNameW", name.c_str(),
                              kFileOpenError, FileErrorText(kFileOpenError));
    }
    if (connection.empty()) return MakeFileError(Loc(5), kNtDirModuleId, kFileOpenError);
    local = name;
    name = connection;
    resource.lpLocalName = W(local);
  }
  resource.lpRemoteName = W(name);

  DWORD answer;
  {
    ImpersonationScope impersonation(name[0] == u'\\');
    answer = AddNetConnection(resource, user, password, owner);
    if (answer == ERROR_SESSION_CREDENTIAL_CONFLICT) {
      CancelServerConnections(resource);
      answer = AddNetConnection(resource, user, password, owner);
    }
  }
  if (answer == NO_ERROR) return Common::Error();
  SetLastError(answer);
  return MakeFileApiError(Loc(4), kNtDirModuleId, "WNetAddConnection3W", name.c_str(),
                          kFileAccessDenied, FileErrorText(kFileAccessDenied));
}
