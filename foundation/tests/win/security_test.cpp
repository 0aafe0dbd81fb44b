// SID text, tokens, privileges, access lists and impersonation, judged by
// the system's own ConvertSidToStringSidW, ConvertStringSidToSidW,
// GetTokenInformation and GetSecurityInfo.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/error.h"
#include "foundation/registry_security.h"
#include "security_test_support.h"

namespace {

using namespace Common;
using namespace security_test;

std::u16string SystemSidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return u"<ConvertSidToStringSidW failed>";
  std::u16string result(U(text));
  LocalFree(text);
  return result;
}

// The SIDs of the process token: user and groups.
std::vector<std::vector<BYTE>> TokenSids() {
  std::vector<std::vector<BYTE>> sids;
  sids.push_back(ProcessUserSid());
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sids;
  DWORD size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  if (GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
    const auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      const BYTE* sid = static_cast<const BYTE*>(groups->Groups[i].Sid);
      sids.emplace_back(sid, sid + GetLengthSid(groups->Groups[i].Sid));
    }
  }
  CloseHandle(token);
  return sids;
}

// ----------------------------------------------------------- SidToString --

TEST(SidToString, LocalSystemIsS_1_5_18) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                       &sid));
  char16_t text[kMaxSidTextUnits];
  EXPECT_TRUE(SidToString(text, sid));
  EXPECT_EQ(std::u16string(text), u"S-1-5-18");
  FreeSid(sid);
}

TEST(SidToString, AgreesWithTheSystemForEveryTokenSid) {
  std::vector<std::vector<BYTE>> sids = TokenSids();
  ASSERT_GE(sids.size(), 2u);
  for (std::vector<BYTE>& sid : sids) {
    std::u16string text;
    ASSERT_TRUE(SidToString(text, sid.data()));
    EXPECT_EQ(text, SystemSidText(sid.data()));
  }
}

TEST(SidToString, AgreesWithTheSystemForEdgeSids) {
  struct Case {
    SID_IDENTIFIER_AUTHORITY authority;
    BYTE count;
    DWORD subs[8];
  } cases[] = {
      {{{0, 0, 0, 0, 0, 0}}, 1, {0}},                                          // S-1-0-0
      {{{0, 0, 0, 0, 0, 1}}, 1, {0}},                                          // Everyone
      {{{0, 0, 0, 0, 0, 5}}, 2, {32, 544}},                                    // Administrators
      {{{0, 0, 0, 0, 0, 5}}, 8, {1, 2, 3, 4, 5, 6, 7, 4294967295u}},           // 8 fields
      {{{0, 0, 0, 0, 0, 16}}, 1, {0x3000}},                                    // label
  };
  for (const Case& c : cases) {
    SID_IDENTIFIER_AUTHORITY authority = c.authority;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, c.count, c.subs[0], c.subs[1], c.subs[2],
                                         c.subs[3], c.subs[4], c.subs[5], c.subs[6], c.subs[7],
                                         &sid));
    std::u16string text;
    EXPECT_TRUE(SidToString(text, sid));
    EXPECT_EQ(text, SystemSidText(sid));
    FreeSid(sid);
  }
}

// Wine's ConvertSidToStringSidW cannot judge these: it writes an authority
// of 2^31 or more as a signed number and refuses one of 2^32 or more.
TEST(SidToString, AuthorityIsDecimalBelow2To32AndHexAbove) {
  const struct {
    SID_IDENTIFIER_AUTHORITY authority;
    const char16_t* text;
  } cases[] = {
      {{{0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}, u"S-1-4294967295-7"},
      {{{0, 1, 0, 0, 0, 0}}, u"S-1-0x000100000000-7"},
      {{{0x01, 0x02, 0x0A, 0x0B, 0xC0, 0xFF}}, u"S-1-0x01020a0bc0ff-7"},
  };
  for (const auto& c : cases) {
    SID_IDENTIFIER_AUTHORITY authority = c.authority;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, 1, 7, 0, 0, 0, 0, 0, 0, 0, &sid));
    std::u16string text;
    EXPECT_TRUE(SidToString(text, sid));
    EXPECT_EQ(text, c.text);
    FreeSid(sid);
  }
}

TEST(SidToString, RejectsNullAndInvalidSids) {
  char16_t text[kMaxSidTextUnits];
  SetLastError(0);
  EXPECT_FALSE(SidToString(text, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  BYTE bogus[16] = {9, 1};  // revision 9
  SetLastError(0);
  EXPECT_FALSE(SidToString(text, bogus));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
  SetLastError(0);
  EXPECT_FALSE(SidToString(static_cast<char16_t*>(nullptr), sid));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  FreeSid(sid);
}

// --------------------------------------------------------- SidFromString --

TEST(SidFromString, AgreesWithTheSystem) {
  for (const wchar_t* text :
       {L"S-1-5-18", L"S-1-5-32-544", L"S-1-1-0", L"S-1-0-0", L"S-1-5-21-1-2-3-1000",
        L"S-1-5-1-2-3-4-5-6-7-4294967295", L"S-1-16-12288"}) {
    SCOPED_TRACE(testing::Message() << std::string(text, text + wcslen(text)));
    UniqueSid ours(SidFromString(U(text)));
    ASSERT_NE(ours, nullptr);
    PSID system = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(text, &system));
    EXPECT_TRUE(EqualSid(ours.get(), system));
    LocalFree(system);
  }
}

TEST(SidFromString, ReadsEveryTokenSidBack) {
  for (std::vector<BYTE>& sid : TokenSids()) {
    std::u16string text;
    ASSERT_TRUE(SidToString(text, sid.data()));
    UniqueSid back(SidFromString(text.c_str()));
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(EqualSid(back.get(), sid.data()));
  }
}

TEST(SidFromString, ReadsHexAndOctalFields) {
  UniqueSid sid(SidFromString(u"S-1-0x5-0x20-01040"));  // 01040 octal is 544
  ASSERT_NE(sid, nullptr);
  EXPECT_EQ(SystemSidText(sid.get()), u"S-1-5-32-544");
  UniqueSid large(SidFromString(u"S-1-0x01020a0bc0ff-42"));
  ASSERT_NE(large, nullptr);
  std::u16string text;
  ASSERT_TRUE(SidToString(text, large.get()));
  EXPECT_EQ(text, u"S-1-0x01020a0bc0ff-42");
}

TEST(SidFromString, AuthorityAloneGivesNoSubAuthorities) {
  UniqueSid sid(SidFromString(u"S-1-5"));
  ASSERT_NE(sid, nullptr);
  EXPECT_TRUE(IsValidSid(sid.get()));
  EXPECT_EQ(*GetSidSubAuthorityCount(sid.get()), 0);
  EXPECT_EQ(GetSidIdentifierAuthority(sid.get())->Value[5], 5);
}

TEST(SidFromString, KeepsLow48BitsOfTheAuthorityAnd32BitsOfSubAuthorities) {
  UniqueSid sid(SidFromString(u"S-1-0x1000000000005-0x100000020"));
  ASSERT_NE(sid, nullptr);
  EXPECT_EQ(SystemSidText(sid.get()), u"S-1-5-32");
}

TEST(SidFromString, RejectsMalformedTexts) {
  for (const char16_t* text :
       {u"S-2-5", u"S-1", u"S-", u"", u"X-1-5", u"S-1-5-", u"S-1-5--1", u"S-1-5-x",
        u"S-1-5-08", u"S-1-5-1-2-3-4-5-6-7-8-9", u"S-1-5-99999999999999999999"}) {
    SCOPED_TRACE(testing::Message() << std::string(text, text + std::char_traits<char16_t>::length(text)));
    SetLastError(0);
    EXPECT_EQ(SidFromString(text), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(SidFromString(nullptr), nullptr);
}

// ---------------------------------------------------------------- tokens --

TOKEN_TYPE TypeOf(HANDLE token) {
  TOKEN_TYPE type = TOKEN_TYPE(0);
  DWORD size = 0;
  GetTokenInformation(token, TokenType, &type, sizeof type, &size);
  return type;
}

TEST(Tokens, ProcessTokenWhenTheThreadHasNone) {
  HANDLE token = OpenThreadOrProcessToken(TOKEN_QUERY, true);
  ASSERT_NE(token, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TypeOf(token), TokenPrimary);
  CloseHandle(token);
}

TEST(Tokens, ThreadTokenWhenImpersonating) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  HANDLE token = OpenThreadOrProcessToken(TOKEN_QUERY, true);
  HANDLE thread = OpenThreadTokenOrNull(TOKEN_QUERY);
  RevertToSelf();
  ASSERT_NE(token, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TypeOf(token), TokenImpersonation);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(TypeOf(thread), TokenImpersonation);
  CloseHandle(token);
  CloseHandle(thread);
}

TEST(Tokens, NoThreadTokenGivesNull) { EXPECT_EQ(OpenThreadTokenOrNull(TOKEN_QUERY), nullptr); }

TEST(Tokens, TokenInformationMatchesGetTokenInformation) {
  TokenInformation user = GetTokenInformationBuffer(TokenUser);
  ASSERT_NE(user, nullptr);
  std::vector<BYTE> expected = ProcessUserSid();
  EXPECT_TRUE(EqualSid(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, expected.data()));

  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process));
  TokenInformation type = GetTokenInformationBuffer(TokenType, process);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(*reinterpret_cast<TOKEN_TYPE*>(type.get()), TokenPrimary);
  CloseHandle(process);
}

TEST(Tokens, TokenInformationFailsWithTheSystemsError) {
  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY_SOURCE, &process));
  SetLastError(0);
  EXPECT_EQ(GetTokenInformationBuffer(TokenUser, process), nullptr);  // no TOKEN_QUERY
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(process);
}

// ------------------------------------------------------------ privileges --

TEST(Privileges, SetPrivilegeSwitchesAndReadsBack) {
  PrivilegeStateKeeper keep({"SeBackupPrivilege"});
  ASSERT_GE(PrivilegeAttributes("SeBackupPrivilege"), 0) << "the token holds it";
  EXPECT_TRUE(SetPrivilege("SeBackupPrivilege", nullptr, true));
  EXPECT_TRUE(PrivilegeEnabled("SeBackupPrivilege"));
  EXPECT_TRUE(SetPrivilege("SeBackupPrivilege", nullptr, false));
  EXPECT_FALSE(PrivilegeEnabled("SeBackupPrivilege"));
}

TEST(Privileges, SetPrivilegeOnAGivenToken) {
  HANDLE token = TokenWithout({});
  ASSERT_NE(token, nullptr);
  ASSERT_FALSE(PrivilegeAttributes("SeRestorePrivilege", token) & SE_PRIVILEGE_ENABLED);
  EXPECT_TRUE(SetPrivilege("SeRestorePrivilege", token, true));
  EXPECT_TRUE(PrivilegeAttributes("SeRestorePrivilege", token) & SE_PRIVILEGE_ENABLED);
  EXPECT_FALSE(PrivilegeEnabled("SeRestorePrivilege")) << "the process token is untouched";
  CloseHandle(token);
}

TEST(Privileges, PrivilegeTheTokenLacksGivesNotAllAssigned) {
  HANDLE token = TokenWithout({"SeTakeOwnershipPrivilege"});
  ASSERT_NE(token, nullptr);
  ASSERT_EQ(PrivilegeAttributes("SeTakeOwnershipPrivilege", token), -1);
  SetLastError(0);
  EXPECT_FALSE(SetPrivilege("SeTakeOwnershipPrivilege", token, true));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(SetPrivilege("SeNoSuchPrivilege", token, true));
  CloseHandle(token);
}

TEST(Privileges, TokenHasPrivilegeAgreesWithGetTokenInformation) {
  HANDLE token = TokenWithout({"SeBackupPrivilege"});
  ASSERT_NE(token, nullptr);
  for (const char* name : {"SeChangeNotifyPrivilege", "SeBackupPrivilege", "SeRestorePrivilege",
                           "SeTakeOwnershipPrivilege", "SeSecurityPrivilege",
                           "SeCreateTokenPrivilege"}) {
    SCOPED_TRACE(name);
    bool read = false;
    EXPECT_EQ(TokenHasPrivilege(name, nullptr, &read), PrivilegeAttributes(name) >= 0);
    EXPECT_TRUE(read);
    EXPECT_EQ(TokenHasPrivilege(name, token), PrivilegeAttributes(name, token) >= 0);
  }
  EXPECT_FALSE(TokenHasPrivilege("SeBackupPrivilege", token));
  CloseHandle(token);
}

TEST(Privileges, TokenHasPrivilegeSaysWhenTheTokenCouldNotBeRead) {
  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY_SOURCE, &process));
  bool read = true;
  EXPECT_FALSE(TokenHasPrivilege("SeChangeNotifyPrivilege", process, &read));
  EXPECT_FALSE(read);
  CloseHandle(process);
}

TEST(Privileges, ScopeRestoresADisabledPrivilege) {
  PrivilegeStateKeeper keep({"SeTakeOwnershipPrivilege"});
  ForcePrivilege("SeTakeOwnershipPrivilege", false);
  {
    PrivilegeScope scope("SeTakeOwnershipPrivilege");
    EXPECT_TRUE(scope.Enabled());
    EXPECT_TRUE(PrivilegeEnabled("SeTakeOwnershipPrivilege"));
  }
  EXPECT_FALSE(PrivilegeEnabled("SeTakeOwnershipPrivilege"));
}

TEST(Privileges, ScopeLeavesAnEnabledPrivilegeEnabled) {
  PrivilegeStateKeeper keep({"SeTakeOwnershipPrivilege"});
  ForcePrivilege("SeTakeOwnershipPrivilege", true);
  {
    PrivilegeScope scope("SeTakeOwnershipPrivilege");
    EXPECT_TRUE(scope.Enabled());
  }
  EXPECT_TRUE(PrivilegeEnabled("SeTakeOwnershipPrivilege"));
}

TEST(Privileges, ScopeOnATokenWithoutThePrivilegeChangesNothing) {
  HANDLE token = TokenWithout({"SeTakeOwnershipPrivilege"});
  ASSERT_NE(token, nullptr);
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  bool enabled = true;
  long backupBefore = PrivilegeAttributes("SeBackupPrivilege");
  {
    PrivilegeScope scope("SeTakeOwnershipPrivilege");
    enabled = scope.Enabled();
  }
  long backupAfter = PrivilegeAttributes("SeBackupPrivilege");
  RevertToSelf();
  CloseHandle(token);
  EXPECT_FALSE(enabled);
  EXPECT_EQ(backupBefore, backupAfter);
}

// --------------------------------------------------------- access lists --

TEST(AclSecurityAttributes, CurrentUserGetsOneEntry) {
  AclSecurityAttributes acl(u"!curuser", KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE);
  ASSERT_EQ(acl.ErrorCode(), 0u);
  EXPECT_EQ(static_cast<void*>(&acl), static_cast<void*>(acl.Attributes()));
  EXPECT_EQ(acl.Attributes()->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_FALSE(acl.Attributes()->bInheritHandle);
  ASSERT_NE(acl.Descriptor(), nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(acl.Descriptor()));

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(acl.Descriptor(), &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(dacl, acl.Dacl());
  ExpectOnlyUserFullAccess(dacl);
}

TEST(AclSecurityAttributes, SeveralTrusteesInOrder) {
  AclSecurityAttributes acl({{u"S-1-5-32-544", GENERIC_ALL, OBJECT_INHERIT_ACE},
                             {u"S-1-1-0", GENERIC_READ, 0},
                             {nullptr, 0, 0},
                             {u"S-1-5-18", GENERIC_ALL, 0}});  // after the end
  ASSERT_EQ(acl.ErrorCode(), 0u);
  ASSERT_NE(acl.Dacl(), nullptr);
  ASSERT_EQ(acl.Dacl()->AceCount, 2);
  std::vector<std::u16string> sids;
  for (DWORD i = 0; i < 2; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(acl.Dacl(), i, reinterpret_cast<void**>(&ace)));
    sids.push_back(SystemSidText(&ace->SidStart));
  }
  EXPECT_NE(std::find(sids.begin(), sids.end(), u"S-1-5-32-544"), sids.end());
  EXPECT_NE(std::find(sids.begin(), sids.end(), u"S-1-1-0"), sids.end());
}

TEST(AclSecurityAttributes, NoTrusteeGivesPlainAttributes) {
  AclSecurityAttributes none({});
  EXPECT_EQ(none.ErrorCode(), 0u);
  EXPECT_EQ(none.Descriptor(), nullptr);
  EXPECT_EQ(none.Attributes()->nLength, sizeof(SECURITY_ATTRIBUTES));
  AclSecurityAttributes nullFirst(nullptr, KEY_READ, 0);
  EXPECT_EQ(nullFirst.ErrorCode(), 0u);
  EXPECT_EQ(nullFirst.Descriptor(), nullptr);
}

TEST(AclSecurityAttributes, BadSidTextIsAnError) {
  AclSecurityAttributes acl({{u"S-1-1-0", GENERIC_READ, 0}, {u"S-9-1", GENERIC_READ, 0}});
  EXPECT_EQ(acl.ErrorCode(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(acl.Descriptor(), nullptr);
  EXPECT_EQ(acl.Dacl(), nullptr);
}

// As the key-tree deletion uses it: written onto a key with
// RegSetKeySecurity. (Wine ignores the attributes given to RegCreateKeyExW.)
TEST(AclSecurityAttributes, WrittenOntoAKeyAsItsAccessList) {
  const std::wstring path =
      L"Software\\PurgekitAclTest-" + std::to_wstring(GetCurrentProcessId());
  AclSecurityAttributes acl({{kCurrentUserTrustee, KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE},
                             {u"S-1-5-32-545", KEY_READ, 0}});
  ASSERT_EQ(acl.ErrorCode(), 0u);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, acl.Descriptor()), ERROR_SUCCESS);
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  EXPECT_EQ(GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &sd),
            DWORD(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  std::wstring sddl(text);
  LocalFree(text);
  LocalFree(sd);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);

  std::u16string user;
  std::vector<BYTE> userSid = ProcessUserSid();
  ASSERT_TRUE(SidToString(user, userSid.data()));
  EXPECT_NE(sddl.find(L"(A;CI;KA;;;" + std::wstring(W(user.c_str())) + L")"), std::wstring::npos)
      << std::string(sddl.begin(), sddl.end());
  EXPECT_NE(sddl.find(L"(A;;KR;;;BU)"), std::wstring::npos)
      << std::string(sddl.begin(), sddl.end());
}

// -------------------------------------------------------- impersonation --

bool ThreadHasToken() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  CloseHandle(token);
  return true;
}

TEST(ImpersonationGuard, ThreadWithoutTokenStaysWithout) {
  ASSERT_FALSE(ThreadHasToken());
  {
    ImpersonationGuard guard;
    EXPECT_FALSE(ThreadHasToken());
  }
  EXPECT_FALSE(ThreadHasToken());
}

TEST(ImpersonationGuard, StepsOutOfImpersonationAndBack) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  bool inside = true;
  {
    ImpersonationGuard guard(nullptr, MAXIMUM_ALLOWED);
    inside = ThreadHasToken();
  }
  const bool after = ThreadHasToken();
  RevertToSelf();
  EXPECT_FALSE(inside);
  EXPECT_TRUE(after);
}

TEST(ImpersonationGuard, ImpersonatesTheGivenToken) {
  HANDLE token = TokenWithout({"SeBackupPrivilege"});
  ASSERT_NE(token, nullptr);
  {
    ImpersonationGuard guard(token);
    EXPECT_TRUE(ThreadHasToken());
    EXPECT_EQ(PrivilegeAttributes("SeBackupPrivilege"), -1);
  }
  EXPECT_FALSE(ThreadHasToken());
  EXPECT_GE(PrivilegeAttributes("SeBackupPrivilege"), 0);
  CloseHandle(token);
}

TEST(ImpersonationGuard, FailedImpersonationThrowsAndRestores) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  HANDLE notAToken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::uint32_t code = 0, causeCode = 0;
  try {
    ImpersonationGuard guard(notAToken);
    ADD_FAILURE() << "no exception";
  } catch (const Error& e) {
    code = GetErrorCode(e);
    causeCode = GetErrorCode(GetErrorCause(e));
  }
  const bool after = ThreadHasToken();
  RevertToSelf();
  CloseHandle(notAToken);
  EXPECT_EQ(code, kImpersonationFailed);
  EXPECT_EQ(causeCode, kSystemCodeErrorCode);
  EXPECT_TRUE(after) << "the saved token is back";
}

// ------------------------------------------------------------ network --

TEST(Network, ServerPrefixIsMatchedWithoutRegardToCase) {
  const std::u16string prefix = u"\\\\FS1\\";
  EXPECT_TRUE(HasServerPrefix(u"\\\\fs1\\share", prefix));
  EXPECT_TRUE(HasServerPrefix(u"\\\\FS1\\share\\dir", prefix));
  EXPECT_FALSE(HasServerPrefix(u"\\\\fs10\\share", prefix));
  EXPECT_FALSE(HasServerPrefix(u"\\\\fs", prefix));
  EXPECT_FALSE(HasServerPrefix(nullptr, prefix));
}

TEST(Network, CancellingWithNoConnectionsDoesNothing) {
  CancelNetworkConnections(true, u"fs1");
  CancelNetworkConnections(false, nullptr);
  SUCCEED();
}

}  // namespace
