// The control-panel restore against the registry of the test prefix: the
// item key laid out as the products leave it (an owner other than the user,
// an access list that lets the user only read it), the restore run in
// process, and the key's values, owner and access list and the process's
// privileges read back with the plain Win32 calls.
//
// Wine 8 does not let SeTakeOwnershipPrivilege grant WRITE_OWNER, which
// Windows does; the keys laid out here grant the Administrators group
// WRITE_OWNER explicitly instead, so that taking ownership works as it would
// on Windows.
#include "cleanup/control_panel.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <foundation/registry_security.h>
#include <windows/layer.h>

#include <string>
#include <vector>

namespace Cleanup {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

constexpr REGSAM k64 = KEY_WOW64_64KEY;
// The item key as HKLM sees it (HKCR's 64-bit view).
const std::u16string kItemKey = std::u16string(u"Software\\Classes\\") + kCplKeyPath;
const std::u16string kItemClass =
    u"Software\\Classes\\CLSID\\{B98A2BEA-7D42-4558-8BD1-832F41BAC6FD}";

// Owner SYSTEM; SYSTEM full access, Administrators and Users read only (the
// Administrators also WRITE_OWNER, see above).
constexpr wchar_t kProductSddl[] =
    L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BA)(A;;WO;;;BA)(A;CI;KR;;;BU)";
// The same without WRITE_OWNER: the owner cannot be taken.
constexpr wchar_t kLockedSddl[] = L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KR;;;BA)(A;CI;KR;;;BU)";

struct Value {
  std::u16string name;
  DWORD type;
  std::vector<BYTE> data;
};

Value Text(const std::u16string& name, const std::u16string& text, DWORD type = REG_EXPAND_SZ) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return {name, type, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * 2)};
}

Value Dword(const std::u16string& name, DWORD v) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&v);
  return {name, REG_DWORD, std::vector<BYTE>(bytes, bytes + 4)};
}

// Owner SID and DACL of a key, as bytes.
struct Security {
  std::vector<BYTE> owner;
  std::vector<BYTE> dacl;
  bool operator==(const Security& o) const { return owner == o.owner && dacl == o.dacl; }
};

Security ReadSecurity(const std::u16string& path) {
  Security out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, READ_CONTROL | k64, &key) != ERROR_SUCCESS)
    return out;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &sd) == ERROR_SUCCESS) {
    const BYTE* o = static_cast<const BYTE*>(owner);
    out.owner.assign(o, o + GetLengthSid(owner));
    if (dacl != nullptr) {
      const BYTE* d = reinterpret_cast<const BYTE*>(dacl);
      out.dacl.assign(d, d + dacl->AclSize);
    }
    LocalFree(sd);
  }
  RegCloseKey(key);
  return out;
}

bool CanOpen(const std::u16string& path, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, access | k64, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// SE_PRIVILEGE_ENABLED of the privilege in the process token.
bool PrivilegeEnabled(const char* name) {
  LUID luid{};
  EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name, &luid));
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
  CloseHandle(token);
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    if (privileges->Privileges[i].Luid.LowPart == luid.LowPart &&
        privileges->Privileges[i].Luid.HighPart == luid.HighPart)
      return (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  ADD_FAILURE() << name << " is not in the token";
  return false;
}

void SetProcessPrivilege(const char* name, bool enable) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  ASSERT_TRUE(Common::SetPrivilege(name, token, enable));
  CloseHandle(token);
}

// Gives the key back to the current user with full access (as far as its
// access list lets the user), so that it can be deleted.
void Reclaim(const std::u16string& path) {
  Common::TokenInformation user = Common::GetTokenInformationBuffer(TokenUser);
  ASSERT_TRUE(user);
  PSID me = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, WRITE_OWNER | k64, &key) == ERROR_SUCCESS) {
    SetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, me, nullptr, nullptr,
                    nullptr);
    RegCloseKey(key);
  }
  Common::AclSecurityAttributes full(Common::kCurrentUserTrustee, KEY_ALL_ACCESS,
                                     CONTAINER_INHERIT_ACE);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, WRITE_DAC | k64, &key) == ERROR_SUCCESS) {
    SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                    full.Dacl(), nullptr);
    RegCloseKey(key);
  }
}

void LayOutKey(const std::u16string& path, const std::vector<Value>& values, const wchar_t* sddl) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, nullptr, 0, KEY_ALL_ACCESS | k64,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const Value& v : values)
    ASSERT_EQ(RegSetValueExW(key, W(v.name), 0, v.type, v.data.data(), DWORD(v.data.size())),
              ERROR_SUCCESS);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                                   nullptr));
  ASSERT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd),
            ERROR_SUCCESS);
  LocalFree(sd);
  RegCloseKey(key);
}

// A value as read back: type and data; type REG_NONE with no data when it is
// missing.
Value ReadValue(const std::u16string& path, const std::u16string& name) {
  Value out{name, REG_NONE, {}};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, KEY_READ | k64, &key) != ERROR_SUCCESS)
    return out;
  DWORD size = 0;
  DWORD type = 0;
  if (RegQueryValueExW(key, W(name), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    out.data.resize(size);
    RegQueryValueExW(key, W(name), nullptr, &type, out.data.data(), &size);
    out.type = type;
  }
  RegCloseKey(key);
  return out;
}

void ExpectValue(const std::u16string& path, const Value& want) {
  const Value got = ReadValue(path, want.name);
  EXPECT_EQ(got.type, want.type) << Narrow(want.name);
  EXPECT_EQ(got.data, want.data) << Narrow(want.name);
}

void ExpectMissing(const std::u16string& path, const std::u16string& name) {
  EXPECT_EQ(ReadValue(path, name).type, DWORD(REG_NONE)) << Narrow(name) << " is still there";
}

class RecordingLogger : public CplLogger {
 public:
  void Log(const std::u16string& text) override { lines.push_back(text); }
  std::vector<std::u16string> lines;
};

std::string Lines(const std::vector<std::u16string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "  " + Narrow(l) + "\n";
  return out;
}

const Value kIntegratedDll =
    Text(kCplResourceDll, u"C:\\Program Files\\Quorvel\\Harbormark Home\\quorvel_backup_cpl.dll");
const Value kIntegratedId = Dword(kCplResourceId, 101);
// The saved values differ from the factory values, so that a factory
// fallback shows.
const Value kSavedDll = Text(kCplOldResourceDll, u"%SystemRoot%\\System32\\sdcpl_saved.dll");
const Value kSavedId = Dword(kCplOldResourceId, 21);

class ControlPanelRestore : public ::testing::Test {
 protected:
  void SetUp() override {
    tookOwnershipBefore_ = PrivilegeEnabled(kTakeOwnershipPrivilege);
    restoreBefore_ = PrivilegeEnabled(kRestorePrivilege);
    DeleteItem();
    ASSERT_FALSE(CanOpen(kItemClass, KEY_READ)) << "the item class key is left from elsewhere";
  }
  void TearDown() override {
    DeleteItem();
    SetProcessPrivilege(kTakeOwnershipPrivilege, tookOwnershipBefore_);
    SetProcessPrivilege(kRestorePrivilege, restoreBefore_);
  }

  void DeleteItem() {
    if (CanOpen(kItemKey, KEY_READ)) Reclaim(kItemKey);
    Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, reinterpret_cast<const char16_t*>(
                                                       kItemClass.c_str()), k64);
  }

  RecordingLogger logger_;

 private:
  bool tookOwnershipBefore_ = false;
  bool restoreBefore_ = false;
};

TEST_F(ControlPanelRestore, WritesTheSavedValuesBackUnderTheKeysOwnSecurity) {
  LayOutKey(kItemKey, {kIntegratedDll, kIntegratedId, kSavedDll, kSavedId}, kProductSddl);
  const Security before = ReadSecurity(kItemKey);
  ASSERT_FALSE(before.owner.empty());
  ASSERT_FALSE(CanOpen(kItemKey, KEY_SET_VALUE)) << "the layout must deny the user writing";

  EXPECT_EQ(CplDisintegrate(logger_), 0);

  EXPECT_EQ(logger_.lines,
            std::vector<std::u16string>{
                u"CplDisintegrate: Successfully restored original Backup CPL values"})
      << Lines(logger_.lines);
  ExpectValue(kItemKey, Text(kCplResourceDll, u"%SystemRoot%\\System32\\sdcpl_saved.dll"));
  ExpectValue(kItemKey, Dword(kCplResourceId, 21));
  ExpectMissing(kItemKey, kCplOldResourceDll);
  ExpectMissing(kItemKey, kCplOldResourceId);
  EXPECT_TRUE(ReadSecurity(kItemKey) == before) << "owner or access list changed";
  EXPECT_FALSE(CanOpen(kItemKey, KEY_SET_VALUE));
}

TEST_F(ControlPanelRestore, FallsBackToFactoryValuesWhenTheSavedOnesCannotBeRead) {
  // The saved library is missing: nothing saved is written, the factory
  // values are, and the saved id is left.
  LayOutKey(kItemKey, {kIntegratedDll, kIntegratedId, kSavedId}, kProductSddl);
  const Security before = ReadSecurity(kItemKey);

  EXPECT_EQ(CplDisintegrate(logger_), 0);

  EXPECT_EQ(logger_.lines,
            (std::vector<std::u16string>{
                u"RestoreOldCPLProperties: Failed to read original Backup CPL key value "
                u"\"ResourceDLL\" with error: 2",
                u"CplDisintegrate: Failed to restore original Backup CPL values with error: 2",
                u"CplDisintegrate: Try to restore factory settings Backup CPL values",
                u"CplDisintegrate: Successfully restored original Backup CPL values"}))
      << Lines(logger_.lines);
  ExpectValue(kItemKey, Text(kCplResourceDll, u"%SystemRoot%\\System32\\sdcpl.dll"));
  ExpectValue(kItemKey, Dword(kCplResourceId, 20));
  ExpectValue(kItemKey, kSavedId);
  EXPECT_TRUE(ReadSecurity(kItemKey) == before);
}

TEST_F(ControlPanelRestore, MissingSavedIdAlsoFallsBackAndKeepsTheSavedLibrary) {
  LayOutKey(kItemKey, {kIntegratedDll, kIntegratedId, kSavedDll}, kProductSddl);
  EXPECT_EQ(CplDisintegrate(logger_), 0);
  ASSERT_FALSE(logger_.lines.empty());
  EXPECT_EQ(logger_.lines[0],
            u"RestoreOldCPLProperties: Failed to read original Backup CPL key value "
            u"\"OldResourceID\" with error: 2");
  ExpectValue(kItemKey, Text(kCplResourceDll, u"%SystemRoot%\\System32\\sdcpl.dll"));
  ExpectValue(kItemKey, Dword(kCplResourceId, 20));
  ExpectValue(kItemKey, kSavedDll);
}

TEST_F(ControlPanelRestore, OnlyTheMakersLibraryNameCountsLetterCaseIncluded) {
  struct Row {
    std::u16string library;
    bool integrated;
  };
  const Row rows[] = {
      {u"quorvel_backup_cpl.dll", true},
      {u"C:\\Program Files\\Quorvel\\quorvel_backup_cpl.dll,-1", true},
      {u"C:\\Program Files\\Quorvel\\Quorvel_Backup_Cpl.dll", false},
      {u"QUORVEL_BACKUP_CPL.DLL", false},
      {u"%SystemRoot%\\System32\\sdcpl.dll", false},
      {u"quorvel_backup_cpl.dl", false},
  };
  for (const Row& row : rows) {
    DeleteItem();
    LayOutKey(kItemKey, {Text(kCplResourceDll, row.library), kIntegratedId, kSavedDll, kSavedId},
              kProductSddl);
    const Security before = ReadSecurity(kItemKey);
    RecordingLogger logger;
    EXPECT_EQ(IsCplIntegrated(logger), row.integrated) << Narrow(row.library);
    if (row.integrated) continue;
    // An item that does not name the maker's library is left untouched.
    RecordingLogger run;
    EXPECT_EQ(CplDisintegrate(run), 0);
    EXPECT_EQ(run.lines,
              std::vector<std::u16string>{u"CplDisintegrate: Quorvel Backup CPL is not integrated."})
        << Lines(run.lines);
    ExpectValue(kItemKey, Text(kCplResourceDll, row.library));
    ExpectValue(kItemKey, kIntegratedId);
    ExpectValue(kItemKey, kSavedDll);
    ExpectValue(kItemKey, kSavedId);
    EXPECT_TRUE(ReadSecurity(kItemKey) == before);
  }
}

TEST_F(ControlPanelRestore, MissingKeyIsLoggedAndNothingIsCreated) {
  EXPECT_EQ(CplDisintegrate(logger_), 0);
  EXPECT_EQ(logger_.lines,
            (std::vector<std::u16string>{
                u"IsCplIntegrated: Failed to open Backup CPL key with error: 2",
                u"CplDisintegrate: Quorvel Backup CPL is not integrated."}))
      << Lines(logger_.lines);
  EXPECT_FALSE(CanOpen(kItemClass, KEY_READ));
}

TEST_F(ControlPanelRestore, ThePrivilegesEndInTheStateTheyHadBefore) {
  for (bool takeBefore : {false, true}) {
    for (bool restoreBefore : {false, true}) {
      const std::string where = std::string("take-ownership ") + (takeBefore ? "on" : "off") +
                                ", restore " + (restoreBefore ? "on" : "off");
      DeleteItem();
      LayOutKey(kItemKey, {kIntegratedDll, kIntegratedId, kSavedDll, kSavedId}, kProductSddl);
      const Security before = ReadSecurity(kItemKey);
      SetProcessPrivilege(kTakeOwnershipPrivilege, takeBefore);
      SetProcessPrivilege(kRestorePrivilege, restoreBefore);
      RecordingLogger logger;
      EXPECT_EQ(CplDisintegrate(logger), 0) << where << "\n" << Lines(logger.lines);
      EXPECT_EQ(PrivilegeEnabled(kTakeOwnershipPrivilege), takeBefore) << where;
      EXPECT_EQ(PrivilegeEnabled(kRestorePrivilege), restoreBefore) << where;
      EXPECT_TRUE(ReadSecurity(kItemKey) == before) << where << ": owner or access list changed";
    }
  }
}

// Windows refuses to make anyone but the caller the owner without the
// restore privilege (Wine does not check): the key goes back to SYSTEM with
// the privilege enabled, and only then. Seen from the key's opens through
// the Windows layer: the open that puts the owner back (WRITE_OWNER alone)
// and the one that takes it (WRITE_OWNER with KEY_READ).
class OwnerOpenProbe : public Windows::LayerNT {
 public:
  LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam,
                     PHKEY result) override {
    const REGSAM access = sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (access == WRITE_OWNER) restoreAtPutBack.push_back(PrivilegeEnabled(kRestorePrivilege));
    if (access == (WRITE_OWNER | KEY_READ))
      restoreAtTake.push_back(PrivilegeEnabled(kRestorePrivilege));
    return Windows::LayerNT::RegOpenKeyExW(key, subkey, options, sam, result);
  }
  std::vector<bool> restoreAtTake;
  std::vector<bool> restoreAtPutBack;
};

TEST_F(ControlPanelRestore, TheOwnerGoesBackWithTheRestorePrivilege) {
  LayOutKey(kItemKey, {kIntegratedDll, kIntegratedId, kSavedDll, kSavedId}, kProductSddl);
  const Security before = ReadSecurity(kItemKey);
  SetProcessPrivilege(kRestorePrivilege, false);
  OwnerOpenProbe probe;
  Windows::LayerNT* const layer = WindowsLayerInstance;
  WindowsLayerInstance = &probe;
  const LONG result = CplDisintegrate(logger_);
  WindowsLayerInstance = layer;

  EXPECT_EQ(result, 0) << Lines(logger_.lines);
  EXPECT_EQ(probe.restoreAtTake, std::vector<bool>{false});
  EXPECT_EQ(probe.restoreAtPutBack, std::vector<bool>{true});
  EXPECT_FALSE(PrivilegeEnabled(kRestorePrivilege));
  EXPECT_TRUE(ReadSecurity(kItemKey) == before) << "owner or access list changed";
}

// The guard stack on keys of their own (named after the process): the user
// may write while the guard lives, and afterwards owner, access list and
// privilege are the old ones again, also when taking failed half-way.
class KeyPermissionsGuardScope : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = u"Software\\PurgekitCleanupTests\\CplGuard" +
            std::u16string(1, char16_t(u'a' + GetCurrentProcessId() % 26)) +
            std::u16string(1, char16_t(u'a' + GetCurrentProcessId() / 26 % 26)) +
            std::u16string(1, char16_t(u'0' + ++counter_));
    Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, Path(), k64);
    user_ = Common::GetTokenInformationBuffer(TokenUser);
    ASSERT_TRUE(user_);
    restoreBefore_ = PrivilegeEnabled(kRestorePrivilege);
    SetProcessPrivilege(kTakeOwnershipPrivilege, false);
    SetProcessPrivilege(kRestorePrivilege, false);
  }
  void TearDown() override {
    SetProcessPrivilege(kRestorePrivilege, restoreBefore_);
    Reclaim(path_);
    // A key whose owner could not be taken stays until the wineserver ends
    // (Wine keeps no security descriptor of a key across sessions).
    Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, Path(), k64);
  }
  const char16_t* Path() const { return path_.c_str(); }
  PSID Me() const { return reinterpret_cast<TOKEN_USER*>(user_.get())->User.Sid; }

  std::u16string path_;
  Common::TokenInformation user_;
  bool restoreBefore_ = false;
  static inline int counter_ = 0;
};

TEST_F(KeyPermissionsGuardScope, GrantsWritingOnlyWhileItLives) {
  LayOutKey(path_, {Dword(u"Tag", 1)}, kProductSddl);
  const Security before = ReadSecurity(path_);
  RecordingLogger logger;
  {
    KeyPermissionsGuard guard(logger);
    ASSERT_EQ(guard.Take(HKEY_LOCAL_MACHINE, path_, Me()), 0) << Lines(logger.lines);
    EXPECT_TRUE(guard.PermissionsChanged());
    EXPECT_TRUE(CanOpen(path_, KEY_SET_VALUE));
    EXPECT_TRUE(PrivilegeEnabled(kTakeOwnershipPrivilege));
    const Security during = ReadSecurity(path_);
    const BYTE* me = static_cast<const BYTE*>(Me());
    EXPECT_EQ(during.owner, std::vector<BYTE>(me, me + GetLengthSid(Me())));
  }
  EXPECT_TRUE(logger.lines.empty()) << Lines(logger.lines);
  EXPECT_TRUE(ReadSecurity(path_) == before) << "owner or access list changed";
  EXPECT_FALSE(CanOpen(path_, KEY_SET_VALUE));
  EXPECT_FALSE(PrivilegeEnabled(kTakeOwnershipPrivilege));
  EXPECT_FALSE(PrivilegeEnabled(kRestorePrivilege));
}

TEST_F(KeyPermissionsGuardScope, AFailedTakePutsBackWhatItChanged) {
  // No WRITE_OWNER for the user: the owner cannot be taken, after the
  // privilege was enabled.
  LayOutKey(path_, {Dword(u"Tag", 1)}, kLockedSddl);
  const Security before = ReadSecurity(path_);
  RecordingLogger logger;
  {
    KeyPermissionsGuard guard(logger);
    EXPECT_EQ(guard.Take(HKEY_LOCAL_MACHINE, path_, Me()), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(guard.PermissionsChanged());
  }
  EXPECT_EQ(logger.lines,
            std::vector<std::u16string>{
                u"KeyPermissionsGuard: Failed to reset Backup CPL key owner with error: 5"})
      << Lines(logger.lines);
  EXPECT_TRUE(ReadSecurity(path_) == before);
  EXPECT_FALSE(PrivilegeEnabled(kTakeOwnershipPrivilege));
}

TEST_F(KeyPermissionsGuardScope, AMissingKeyFailsBeforeAnythingChanges) {
  RecordingLogger logger;
  {
    KeyPermissionsGuard guard(logger);
    EXPECT_EQ(guard.Take(HKEY_LOCAL_MACHINE, path_, Me()), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_FALSE(CanOpen(path_, KEY_READ));
  EXPECT_FALSE(PrivilegeEnabled(kTakeOwnershipPrivilege));
}

}  // namespace
}  // namespace Cleanup
