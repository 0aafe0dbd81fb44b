// SID text in both directions and security attributes built from a list of
// trustees.
#include <windows.h>
#include <aclapi.h>

#include <cstdio>
#include <new>
#include <vector>

#include "foundation/registry_security.h"
#include "security_internal.h"
#include "windows/layer.h"

namespace Common {

using SecurityInternal::IsWindows9x;

namespace {

using SetEntriesInAclWFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*);

// Looked up once; advapi32 is always loaded.
SetEntriesInAclWFn BindSetEntriesInAcl() {
  static const SetEntriesInAclWFn fn = reinterpret_cast<SetEntriesInAclWFn>(
      reinterpret_cast<void*>(OptionalApi::Lookup("advapi32", "SetEntriesInAclW")));
  return fn;
}

// The last error of a failed call, never 0, so that a failure is never taken
// for success.
DWORD LastErrorOrInvalid() {
  const DWORD error = GetLastError();
  return error ? error : ERROR_INVALID_PARAMETER;
}

// One field of a SID text as strtoull with base 0 reads it: "0x" hex, a
// leading 0 octal, else decimal. At least one digit; no overflow.
bool ParseSidField(const char16_t*& p, unsigned long long& value) {
  unsigned base = 10;
  if (p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == u'0') {
    base = 8;  // the leading 0 itself is a digit
  }
  value = 0;
  const char16_t* start = p;
  for (;; ++p) {
    unsigned digit;
    if (*p >= u'0' && *p <= u'9')
      digit = unsigned(*p - u'0');
    else if (*p >= u'a' && *p <= u'f')
      digit = unsigned(*p - u'a' + 10);
    else if (*p >= u'A' && *p <= u'F')
      digit = unsigned(*p - u'A' + 10);
    else
      break;
    if (digit >= base) break;
    if (value > (~0ull - digit) / base) return false;  // overflow
    value = value * base + digit;
  }
  return p != start;
}

}  // namespace

// ----------------------------------------------------------------- SIDs --

bool SidToString(char16_t* out, PSID sid) {
  if (!out || !sid || !IsValidSid(sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  const BYTE* a = authority->Value;
  const unsigned count = *GetSidSubAuthorityCount(sid);

  char text[kMaxSidTextUnits];
  int n = std::snprintf(text, sizeof text, "S-%lu-", 1ul);
  if (a[0] != 0 || a[1] != 0) {
    n += std::snprintf(text + n, sizeof text - n, "0x%02hx%02hx%02hx%02hx%02hx%02hx",
                       (unsigned short)a[0], (unsigned short)a[1], (unsigned short)a[2],
                       (unsigned short)a[3], (unsigned short)a[4], (unsigned short)a[5]);
  } else {
    const unsigned long low = (unsigned long)a[5] | (unsigned long)a[4] << 8 |
                              (unsigned long)a[3] << 16 | (unsigned long)a[2] << 24;
    n += std::snprintf(text + n, sizeof text - n, "%lu", low);
  }
  for (unsigned i = 0; i < count; ++i)
    n += std::snprintf(text + n, sizeof text - n, "-%lu",
                       (unsigned long)*GetSidSubAuthority(sid, i));
  for (int i = 0; i <= n; ++i) out[i] = char16_t(static_cast<unsigned char>(text[i]));
  return true;
}

bool SidToString(std::u16string& out, PSID sid) {
  char16_t text[kMaxSidTextUnits];
  if (!SidToString(text, sid)) return false;
  out = text;
  return true;
}

PSID SidFromString(const char16_t* text) {
  // Revision, authority and up to 8 sub-authorities.
  unsigned long long fields[10];
  unsigned count = 0;
  bool valid = text && text[0] == u'S' && text[1] == u'-';
  if (valid) {
    const char16_t* p = text + 2;
    for (;;) {
      if (count == 10 || !ParseSidField(p, fields[count])) {
        valid = false;
        break;
      }
      ++count;
      if (*p == 0) break;
      if (*p != u'-') {
        valid = false;
        break;
      }
      ++p;
    }
  }
  if (!valid || count < 2 || fields[0] != 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  SID_IDENTIFIER_AUTHORITY authority;
  for (int i = 0; i < 6; ++i) authority.Value[i] = BYTE(fields[1] >> (8 * (5 - i)));
  DWORD sub[8] = {};
  const unsigned subCount = count - 2;
  for (unsigned i = 0; i < subCount; ++i) sub[i] = DWORD(fields[2 + i]);
  PSID sid = nullptr;
  if (!AllocateAndInitializeSid(&authority, BYTE(subCount), sub[0], sub[1], sub[2], sub[3],
                                sub[4], sub[5], sub[6], sub[7], &sid))
    return nullptr;
  return sid;
}

// -------------------------------------------------------- access lists --

AclSecurityAttributes::AclSecurityAttributes(std::initializer_list<AclEntry> entries) {
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = nullptr;
  attributes_.bInheritHandle = FALSE;

  std::size_t count = 0;
  for (const AclEntry& entry : entries) {
    if (!entry.trustee) break;
    ++count;
  }
  if (IsWindows9x() || count == 0) return;

  SetEntriesInAclWFn setEntriesInAcl = BindSetEntriesInAcl();
  if (!setEntriesInAcl) {
    error_ = ERROR_PROC_NOT_FOUND;
    return;
  }

  // The SIDs the entries point at live until SetEntriesInAclW has copied
  // them: those read from text are freed by their holders, the current
  // user's lives in its token buffer.
  std::vector<EXPLICIT_ACCESS_W> access;
  std::vector<UniqueSid> parsed;
  TokenInformation user;
  try {
    access.reserve(count);
    parsed.reserve(count);
  } catch (const std::bad_alloc&) {
    error_ = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  for (const AclEntry& entry : entries) {
    if (!entry.trustee) break;
    PSID sid = nullptr;
    if (lstrcmpiW(reinterpret_cast<const wchar_t*>(entry.trustee),
                  reinterpret_cast<const wchar_t*>(kCurrentUserTrustee)) == 0) {
      if (!user) user = GetTokenInformationBuffer(TokenUser);
      if (user) sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
    } else {
      sid = SidFromString(entry.trustee);
      if (sid) parsed.emplace_back(sid);
    }
    if (!sid) {
      error_ = LastErrorOrInvalid();
      return;
    }
    EXPLICIT_ACCESS_W ea{};
    ea.grfAccessPermissions = entry.access;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = entry.inheritance;
    ea.Trustee.pMultipleTrustee = nullptr;
    ea.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    access.push_back(ea);
  }

  PACL acl = nullptr;
  const DWORD rc = setEntriesInAcl(ULONG(access.size()), access.data(), nullptr, &acl);
  if (rc != ERROR_SUCCESS) {
    error_ = rc;
    return;
  }
  dacl_ = acl;
  ownsDacl_ = true;

  PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (!descriptor) {
    error_ = ERROR_NOT_ENOUGH_MEMORY;
    Free();
    return;
  }
  attributes_.lpSecurityDescriptor = descriptor;
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, TRUE, dacl_, FALSE)) {
    error_ = LastErrorOrInvalid();
    Free();
  }
}

void AclSecurityAttributes::Free() {
  if (ownsDacl_ && dacl_) LocalFree(dacl_);
  dacl_ = nullptr;
  ownsDacl_ = false;
  if (attributes_.lpSecurityDescriptor) LocalFree(attributes_.lpSecurityDescriptor);
  attributes_.lpSecurityDescriptor = nullptr;
}

}  // namespace Common
