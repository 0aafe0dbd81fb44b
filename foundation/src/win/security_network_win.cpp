// Cancelling the network connections to one server, or to all servers.
#include <windows.h>
#include <winnetwk.h>

#include <memory>
#include <new>
#include <string>

#include "foundation/registry_security.h"
#include "foundation/text.h"

namespace Common {

bool HasServerPrefix(const char16_t* name, const std::u16string& prefix) {
  if (!name) return false;
  std::u16string upper(name);
  ToUpperCase(upper);
  return upper.compare(0, prefix.size(), prefix) == 0;
}

void CancelNetworkConnections(bool force, const char16_t* server) {
  HANDLE enumeration = nullptr;
  if (WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_ANY, 0, nullptr, &enumeration) !=
      NO_ERROR)
    return;

  const bool all = !server || !*server;
  std::u16string prefix = u"\\\\";
  if (!all) prefix += server;
  prefix += u'\\';
  ToUpperCase(prefix);

  constexpr DWORD kBufferBytes = 0x4000;
  std::unique_ptr<NETRESOURCEW[]> entries(
      new (std::nothrow) NETRESOURCEW[kBufferBytes / sizeof(NETRESOURCEW)]);
  if (entries) {
    for (;;) {
      DWORD count = 0xFFFFFFFF;  // as many as fit
      DWORD bytes = kBufferBytes;
      if (WNetEnumResourceW(enumeration, &count, entries.get(), &bytes) != NO_ERROR) break;
      for (DWORD i = 0; i < count; ++i) {
        const wchar_t* remote = entries[i].lpRemoteName;
        if (!remote) continue;
        if (all || HasServerPrefix(reinterpret_cast<const char16_t*>(remote), prefix))
          WNetCancelConnection2W(remote, 0, force ? TRUE : FALSE);
      }
    }
  }
  WNetCloseEnum(enumeration);
}

}  // namespace Common
