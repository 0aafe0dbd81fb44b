// The registry helpers against the registry of the test prefix, read back
// with the plain Win32 calls. Every test works below a scratch key of its
// own, except where a helper reads a fixed installer path; there the test
// adds products with names of its own and takes them away again.
#include "cleanup/registry_helpers.h"

#include <gtest/gtest.h>

#include <foundation/registry_security.h>

#include <cstdio>
#include <string>
#include <vector>

namespace Cleanup {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Scratch keys are named after the process, so that runs cannot meet.
constexpr char16_t kScratchParent[] = u"Software\\PurgekitCleanupTests";
std::u16string ScratchRoot() {
  return kScratchParent + (u"\\" + Widen(std::to_string(GetCurrentProcessId())));
}

// A value to lay out: name, type and raw data.
struct Value {
  std::u16string name;
  DWORD type;
  std::vector<uint8_t> data;
};

Value Text(const std::u16string& name, const std::u16string& text, DWORD type = REG_SZ) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
  return {name, type, std::vector<uint8_t>(bytes, bytes + (text.size() + 1) * 2)};
}

Value Dword(const std::u16string& name, DWORD v) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&v);
  return {name, REG_DWORD, std::vector<uint8_t>(bytes, bytes + 4)};
}

void MakeKey(HKEY root, const std::u16string& path, const std::vector<Value>& values,
             REGSAM view = 0) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, W(path), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS)
      << std::string(path.begin(), path.end());
  for (const Value& v : values)
    EXPECT_EQ(RegSetValueExW(key, W(v.name), 0, v.type, v.data.data(), DWORD(v.data.size())),
              ERROR_SUCCESS);
  RegCloseKey(key);
}

bool KeyExists(HKEY root, const std::u16string& path, REGSAM view = 0) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, W(path), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ValueExists(HKEY root, const std::u16string& path, const std::u16string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, W(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  const bool found = RegQueryValueExW(key, W(name), nullptr, nullptr, nullptr, nullptr) ==
                     ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

class RegistryHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegistryViewFlag = false;
    base_ = ScratchRoot() + u"\\" +
            Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
    MakeKey(HKEY_CURRENT_USER, base_, {});
  }
  void TearDown() override {
    Common::DeleteRegistryTree(HKEY_CURRENT_USER, ScratchRoot().c_str(), 0);
    for (REGSAM view : {kRegistryView64, kRegistryView32})
      Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, ScratchRoot().c_str(), view);
    // The common parent goes once no other run uses it.
    Common::DeleteRegistryKeyView(HKEY_CURRENT_USER, kScratchParent, 0);
    for (REGSAM view : {kRegistryView64, kRegistryView32})
      Common::DeleteRegistryKeyView(HKEY_LOCAL_MACHINE, kScratchParent, view);
    RegistryViewFlag = false;
  }
  std::u16string Sub(const std::u16string& name) const { return base_ + u"\\" + name; }
  RegistryKeyHolder Base() const { return OpenRegistryKey(HKEY_CURRENT_USER, base_); }

  std::u16string base_;
};

// Packed product codes as the installer names its keys and values.
const std::u16string kMakerId = u"17A3E8C52D49B0F46A3EB1D7920CF458";
const std::u16string kSecondMakerId = u"64D1012CC41FB4546A1E67894C1B5011";
const std::u16string kOtherId = u"06C81427A6F52F044B197A5F0C80D515";

TEST_F(RegistryHelpersTest, IdReferencesGoValueByValueAndSharedKeysStay) {
  MakeKey(HKEY_CURRENT_USER, Sub(u"MakerOnly"), {Text(kMakerId, u"C:\\maker\\a.dll")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"Shared"),
          {Text(kMakerId, u"C:\\shared\\codec.dll"), Text(kOtherId, u"C:\\shared\\codec.dll")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"LowerCase"),
          {Text(u"17a3e8c52d49b0f46a3eb1d7920cf458", u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"BothMakers"), {Text(kMakerId, u""), Text(kSecondMakerId, u"")});
  // A name that holds an id among other text is not the installer's: it stays.
  MakeKey(HKEY_CURRENT_USER, Sub(u"Holding"),
          {Text(kMakerId, u""), Text(u"x" + kSecondMakerId + u"y", u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"WithSubkey"), {Text(kMakerId, u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"WithSubkey\\Child"), {});
  MakeKey(HKEY_CURRENT_USER, Sub(u"OthersOnly"), {Text(kOtherId, u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"Empty"), {});

  DeleteSubkeysReferencingIds(Base(), NameSet{kMakerId, kSecondMakerId});

  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Sub(u"MakerOnly")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Sub(u"LowerCase")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Sub(u"BothMakers")));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Sub(u"Holding"), kMakerId));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Holding"), u"x" + kSecondMakerId + u"y"));
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, Sub(u"Shared")));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Sub(u"Shared"), kMakerId));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Shared"), kOtherId));
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, Sub(u"WithSubkey\\Child")));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Sub(u"WithSubkey"), kMakerId));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"OthersOnly"), kOtherId));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Sub(u"Empty")));
}

// A product key named "0", "" or a part of a code gives an id that is no
// packed product code: it must not match the values of other products,
// which would hold it as a substring.
TEST_F(RegistryHelpersTest, MalformedIdsMatchNoValue) {
  MakeKey(HKEY_CURRENT_USER, Sub(u"Component"), {Text(kOtherId, u""), Text(kMakerId, u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"Upgrade"), {Text(kSecondMakerId, u"")});
  DeleteSubkeysReferencingIds(
      Base(), NameSet{u"0", u"", u"4", kOtherId.substr(0, 31), kOtherId + u"0", u"{" + kOtherId});
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Component"), kOtherId));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Component"), kMakerId));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Upgrade"), kSecondMakerId));
}

TEST_F(RegistryHelpersTest, NoIdsTouchNothing) {
  MakeKey(HKEY_CURRENT_USER, Sub(u"Component"), {Text(kMakerId, u"")});
  MakeKey(HKEY_CURRENT_USER, Sub(u"Empty"), {});
  DeleteSubkeysReferencingIds(Base(), NameSet{});
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Sub(u"Component"), kMakerId));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Sub(u"Empty")));
}

TEST_F(RegistryHelpersTest, PublisherMustMatchExactlyInTheValueNamedExactlyPublisher) {
  struct Entry {
    const char16_t* key;
    std::vector<Value> values;
    bool deleted;
  } entries[] = {
      {u"Maker", {Text(u"DisplayName", u"Harbormark"), Text(u"Publisher", kMakerName)}, true},
      {u"MakerTrailing", {Text(u"Publisher", std::u16string(u"Quorvel\0old", 11))}, true},
      {u"MakerExpand", {Text(u"Publisher", kMakerName, REG_EXPAND_SZ)}, true},
      {u"UpperCase", {Text(u"Publisher", u"QUORVEL")}, false},
      {u"LowerName", {Text(u"publisher", kMakerName)}, false},
      {u"Longer", {Text(u"Publisher", u"Quorvel Labs")}, false},
      {u"Shorter", {Text(u"Publisher", u"Quorve")}, false},
      {u"NoPublisher", {Text(u"DisplayName", kMakerName)}, false},
      {u"OddData", {Value{u"Publisher", REG_BINARY, {'Q', 0, 'u'}}}, false},
  };
  for (const Entry& e : entries) MakeKey(HKEY_CURRENT_USER, Sub(e.key), e.values);
  MakeKey(HKEY_CURRENT_USER, Sub(u"Maker\\Nested"), {Text(u"x", u"y")});

  DeleteSubkeysByPublisher(Base(), kMakerName);

  for (const Entry& e : entries)
    EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, Sub(e.key)), !e.deleted)
        << std::string(e.key, e.key + std::u16string(e.key).size());
}

TEST_F(RegistryHelpersTest, ValuesNamedLikeMatchAnywhereInTheNameWithLetterCase) {
  const std::u16string inFolder = u"C:\\Program Files\\Common Files\\Quorvel\\qvcore.dll";
  const std::u16string atEnd = u"C:\\Apps\\Quorvel";
  const std::u16string lower = u"C:\\Program Files\\Common Files\\quorvel-compat\\shim.dll";
  const std::u16string other = u"C:\\Program Files\\Brambleworks\\pv.dll";
  MakeKey(HKEY_CURRENT_USER, base_,
          {Dword(inFolder, 2), Dword(atEnd, 1), Dword(lower, 1), Dword(other, 1)});

  DeleteValuesNamedLike(Base(), u"");
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, base_, inFolder));

  DeleteValuesNamedLike(Base(), kMakerName);
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, base_, inFolder));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, base_, atEnd));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, base_, lower));
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, base_, other));
}

TEST_F(RegistryHelpersTest, EmptyHolderIsANoOpForEveryHelper) {
  LONG error = 0;
  const RegistryKeyHolder missing = OpenRegistryKey(HKEY_CURRENT_USER, Sub(u"Missing"), &error);
  EXPECT_FALSE(missing);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(OpenRegistryKey(missing, u"Below"));

  DWORD count = 7;
  std::u16string name;
  EXPECT_FALSE(CountSubkeys(missing, count));
  EXPECT_FALSE(CountValues(missing, count));
  EXPECT_FALSE(EnumSubkeyName(missing, 0, name));
  EXPECT_FALSE(EnumRegistryValue(missing, 0, &name, nullptr, nullptr));
  EXPECT_EQ(WriteRegistryString(missing, u"v", u"t"), ERROR_INVALID_HANDLE);
  DeleteSubkeysInSet(missing, NameSet{u"x"});
  DeleteSubkeysReferencingIds(missing, NameSet{kMakerId});
  DeleteIdValuesOfSubkey(missing, u"x", NameSet{kMakerId});
  DeleteSubkeysByPublisher(missing, kMakerName);
  DeleteValuesNamedLike(missing, kMakerName);
}

TEST_F(RegistryHelpersTest, WrittenStringsKeepTheirTerminatorAndReadBack) {
  const RegistryKeyHolder key = Base();
  ASSERT_EQ(WriteRegistryString(key, u"DelQuorvelReg", u"REG DELETE x /F"), ERROR_SUCCESS);

  DWORD type = 0;
  std::vector<uint8_t> data;
  std::u16string name;
  ASSERT_TRUE(EnumRegistryValue(key, 0, &name, &type, &data));
  EXPECT_EQ(name, u"DelQuorvelReg");
  EXPECT_EQ(type, DWORD(REG_SZ));
  std::u16string text;
  ASSERT_TRUE(RegistryDataToText(data, text));
  EXPECT_EQ(text, std::u16string(u"REG DELETE x /F\0", 16));
  EXPECT_TRUE(EnumRegistryValue(key, 0, nullptr, nullptr, nullptr));
  EXPECT_FALSE(EnumRegistryValue(key, 1, &name, nullptr, nullptr));
}

TEST_F(RegistryHelpersTest, LongestKeyNameEnumerates) {
  const std::u16string longest(255, u'k');
  MakeKey(HKEY_CURRENT_USER, Sub(longest), {});
  std::u16string name;
  ASSERT_TRUE(EnumSubkeyName(Base(), 0, name));
  EXPECT_EQ(name, longest);
}

TEST_F(RegistryHelpersTest, FolderOfPathValue) {
  // AddFolderOfPathValue reads below HKLM.
  const std::u16string key = ScratchRoot() + u"\\Settings";
  MakeKey(HKEY_LOCAL_MACHINE, key,
          {Text(u"MainExePath", u"C:\\Program Files\\Quorvel\\Harbormark Home\\hm_console.exe"),
           Text(u"Bare", u"sv_client_standard.exe"), Text(u"Empty", u""),
           Dword(u"Number", 0)},
          kRegistryView64);
  RegistryViewFlag = true;
  NameSet folders;
  AddFolderOfPathValue(key, u"MainExePath", folders);
  AddFolderOfPathValue(key, u"Bare", folders);
  AddFolderOfPathValue(key, u"Empty", folders);
  AddFolderOfPathValue(key, u"Missing", folders);
  AddFolderOfPathValue(key + u"Missing", u"MainExePath", folders);
  EXPECT_EQ(folders, (NameSet{u"C:\\Program Files\\Quorvel\\Harbormark Home\\",
                              u"sv_client_standard.exe"}));
}

// The selected view decides which copy of a redirected key goes.
TEST_F(RegistryHelpersTest, DeletesSubkeysInTheSelectedViewOnly) {
  const std::u16string parent = ScratchRoot() + u"\\Views";
  for (REGSAM view : {kRegistryView64, kRegistryView32}) {
    MakeKey(HKEY_LOCAL_MACHINE, parent + u"\\Doomed\\Below", {Text(u"v", u"t")}, view);
    MakeKey(HKEY_LOCAL_MACHINE, parent + u"\\Kept", {}, view);
  }
  RegistryViewFlag = true;
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_LOCAL_MACHINE, parent), NameSet{u"Doomed", u"Absent"});
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, parent + u"\\Doomed", kRegistryView64));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, parent + u"\\Doomed\\Below", kRegistryView32));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, parent + u"\\Kept", kRegistryView64));

  RegistryViewFlag = false;
  DeleteSubkeysInSet(OpenRegistryKey(HKEY_LOCAL_MACHINE, parent), NameSet{u"Doomed"});
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, parent + u"\\Doomed", kRegistryView32));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, parent + u"\\Kept", kRegistryView32));
}

// CollectInstalledProducts reads the installer's own list; the products this
// test adds carry codes of this run, and some names that are no code at all.
TEST_F(RegistryHelpersTest, CollectsOnlyProductsWhosePublisherIsTheMakerAsText) {
  const std::u16string products =
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\";
  // Packed codes of this run: the process id, the case's number, then a
  // filler; the malformed names carry the process id as well.
  char tagText[9];
  std::snprintf(tagText, sizeof tagText, "%08lX",
                static_cast<unsigned long>(GetCurrentProcessId()));
  const std::u16string tag = Widen(tagText);
  int number = 0;
  auto packed = [&] {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", number++);
    return tag + Widen(digits) + u"FEEDFACEFEEDFACEFEEDFA";
  };
  struct Product {
    std::u16string name;
    std::vector<Value> properties;
    bool withProperties;
    bool collected;
  } cases[] = {
      {packed(),
       {Text(u"Publisher", kMakerName), Text(u"InstallLocation", u"C:\\Q\\Home\\")}, true, true},
      {packed(),
       {Text(u"InstallLocation", u"C:\\Q\\Sky\\", REG_EXPAND_SZ),
        Text(u"Publisher", kMakerName, REG_EXPAND_SZ)},
       true, true},
      {packed(), {Text(u"Publisher", kMakerName)}, true, true},
      {packed(), {Dword(u"Publisher", 1), Text(u"InstallLocation", u"C:\\D\\")}, true, false},
      {packed(), {Text(u"InstallLocation", u"C:\\N\\")}, true, false},
      {packed(), {Text(u"Publisher", u"quorvel"), Text(u"InstallLocation", u"C:\\L\\")}, true,
       false},
      {packed(), {Text(u"publisher", kMakerName)}, true, false},
      {packed(), {}, false, false},
      // The maker's products under key names that are no packed code: never
      // an id (their folders still go through the folder checks).
      {u"0" + tag, {Text(u"Publisher", kMakerName), Text(u"InstallLocation", u"C:\\Q\\Bad\\")},
       true, false},
      {packed() + u"0", {Text(u"Publisher", kMakerName)}, true, false},
      {u"{" + packed().substr(1) + u"}", {Text(u"Publisher", kMakerName)}, true, false},
  };
  for (const Product& p : cases) {
    if (p.withProperties)
      MakeKey(HKEY_LOCAL_MACHINE, products + p.name + u"\\InstallProperties", p.properties,
              kRegistryView64);
    else
      MakeKey(HKEY_LOCAL_MACHINE, products + p.name + u"\\Features",
              {Text(u"Publisher", kMakerName)}, kRegistryView64);
  }

  RegistryViewFlag = true;
  NameSet ids;
  NameSet locations;
  CollectInstalledProducts(kProductKeyName, ids);
  CollectInstalledProducts(kInstallLocation, locations);
  RegistryViewFlag = false;
  NameSet ids32;
  CollectInstalledProducts(kProductKeyName, ids32);

  for (const Product& p : cases) {
    EXPECT_EQ(ids.count(p.name), p.collected ? 1u : 0u)
        << std::string(p.name.begin(), p.name.end());
    EXPECT_EQ(ids32.count(p.name), 0u) << "the 32-bit view has none of them";
  }
  EXPECT_EQ(locations.count(u"C:\\Q\\Home\\"), 1u);
  EXPECT_EQ(locations.count(u"C:\\Q\\Sky\\"), 1u);
  EXPECT_EQ(locations.count(u"C:\\Q\\Bad\\"), 1u);
  for (const char16_t* notCollected : {u"C:\\D\\", u"C:\\N\\", u"C:\\L\\", u""})
    EXPECT_EQ(locations.count(notCollected), 0u);

  for (const Product& p : cases)
    Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE, (products + p.name).c_str(), kRegistryView64);
}

}  // namespace
}  // namespace Cleanup
