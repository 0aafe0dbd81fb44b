#include "cleanup/registry_helpers.h"

#include <foundation/registry_security.h>

namespace Cleanup {

bool RegistryViewFlag = false;

namespace {

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Longest key name the registry allows, with its terminator.
constexpr DWORD kKeyNameUnits = 256;
// The value-name buffer of the enumerations; longer names are skipped.
constexpr DWORD kValueNameUnits = 2048;

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Names of the key's values that are one of the ids (IsValueNameOfId).
std::vector<std::u16string> ValueNamesOfIds(const RegistryKeyHolder& key, const NameSet& ids) {
  std::vector<std::u16string> names;
  DWORD count = 0;
  if (!CountValues(key, count)) return names;
  for (DWORD index = 0; index < count; ++index) {
    std::u16string name;
    if (!EnumRegistryValue(key, index, &name, nullptr, nullptr)) continue;
    for (const std::u16string& id : ids) {
      if (IsValueNameOfId(name, id)) {
        names.push_back(name);
        break;
      }
    }
  }
  return names;
}

}  // namespace

void HKeyCloser::operator()(HKEY* key) const {
  if (key == nullptr) return;
  if (*key != nullptr) RegCloseKey(*key);
  delete key;
}

REGSAM SelectedRegistryView() {
  return RegistryViewFlag ? kRegistryView64 : kRegistryView32;
}

RegistryKeyHolder OpenRegistryKey(HKEY root, const std::u16string& path, LONG* error) {
  // The holder cell comes first, so that no open key is left behind when
  // memory runs out.
  RegistryKeyHolder holder(new HKEY(nullptr), HKeyCloser());
  const LONG result =
      RegOpenKeyExW(root, W(path), 0, KEY_ALL_ACCESS | SelectedRegistryView(), holder.get());
  if (result != ERROR_SUCCESS) {
    *holder = nullptr;
    if (error != nullptr) *error = result;
    return RegistryKeyHolder();
  }
  return holder;
}

RegistryKeyHolder OpenRegistryKey(const RegistryKeyHolder& parent, const std::u16string& path,
                                  LONG* error) {
  if (!parent) {
    if (error != nullptr) *error = ERROR_INVALID_HANDLE;
    return RegistryKeyHolder();
  }
  return OpenRegistryKey(*parent, path, error);
}

LONG WriteRegistryString(const RegistryKeyHolder& key, const std::u16string& name,
                         const std::u16string& text) {
  if (!key) return ERROR_INVALID_HANDLE;
  const DWORD bytes = DWORD((text.size() + 1) * sizeof(char16_t));
  return RegSetValueExW(*key, W(name), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        bytes);
}

bool CountSubkeys(const RegistryKeyHolder& key, DWORD& count) {
  if (!key) return false;
  return RegQueryInfoKeyA(*key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool CountValues(const RegistryKeyHolder& key, DWORD& count) {
  if (!key) return false;
  return RegQueryInfoKeyA(*key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool EnumSubkeyName(const RegistryKeyHolder& key, DWORD index, std::u16string& name) {
  if (!key) return false;
  wchar_t buffer[kKeyNameUnits];
  DWORD units = kKeyNameUnits;
  if (RegEnumKeyExW(*key, index, buffer, &units, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_SUCCESS)
    return false;
  name.assign(reinterpret_cast<const char16_t*>(buffer), units);
  return true;
}

bool EnumRegistryValue(const RegistryKeyHolder& key, DWORD index, std::u16string* name,
                       DWORD* type, std::vector<uint8_t>* data) {
  if (!key) return false;
  if (name == nullptr && type == nullptr && data == nullptr) return true;
  std::vector<wchar_t> nameBuffer(kValueNameUnits);
  DWORD nameUnits = kValueNameUnits;
  DWORD valueType = 0;
  std::vector<uint8_t> bytes;
  if (data == nullptr) {
    // Without a data buffer the only way to run short is a name longer than
    // the buffer; its text is then unknown, so the value is skipped.
    if (RegEnumValueW(*key, index, nameBuffer.data(), &nameUnits, nullptr, &valueType, nullptr,
                      nullptr) != ERROR_SUCCESS)
      return false;
  } else {
    DWORD size = 0;
    const LONG probe = RegEnumValueW(*key, index, nameBuffer.data(), &nameUnits, nullptr,
                                     &valueType, nullptr, &size);
    if (probe != ERROR_SUCCESS && probe != ERROR_MORE_DATA) return false;
    bytes.resize(size);
    nameUnits = kValueNameUnits;
    if (RegEnumValueW(*key, index, nameBuffer.data(), &nameUnits, nullptr, &valueType,
                      bytes.empty() ? nullptr : bytes.data(), &size) != ERROR_SUCCESS)
      return false;
    bytes.resize(size);
  }
  if (name != nullptr)
    name->assign(reinterpret_cast<const char16_t*>(nameBuffer.data()), nameUnits);
  if (type != nullptr) *type = valueType;
  if (data != nullptr) data->swap(bytes);
  return true;
}

void DeleteSubkeysInSet(const RegistryKeyHolder& key, const NameSet& names) {
  if (!key) return;
  for (const std::u16string& name : names)
    Common::DeleteRegistryTree(*key, name.c_str(), SelectedRegistryView());
}

void DeleteIdValuesOfSubkey(const RegistryKeyHolder& key, const std::u16string& subkey,
                            const NameSet& ids) {
  RegistryKeyHolder sub = OpenRegistryKey(key, subkey);
  if (!sub) return;
  for (const std::u16string& name : ValueNamesOfIds(sub, ids))
    RegDeleteValueW(*sub, W(name));
  DWORD values = 0;
  DWORD subkeys = 0;
  if (!CountValues(sub, values) || !CountSubkeys(sub, subkeys)) return;
  if (values != 0 || subkeys != 0) return;  // others still use it
  sub.reset();
  DeleteSubkeysInSet(key, NameSet{subkey});
}

void DeleteSubkeysReferencingIds(const RegistryKeyHolder& key, const NameSet& ids) {
  DWORD count = 0;
  if (ids.empty() || !CountSubkeys(key, count)) return;
  NameSet referencing;
  for (DWORD index = 0; index < count; ++index) {
    std::u16string name;
    if (!EnumSubkeyName(key, index, name)) continue;
    RegistryKeyHolder sub = OpenRegistryKey(key, name);
    if (!sub) continue;
    if (!ValueNamesOfIds(sub, ids).empty()) referencing.insert(name);
  }
  for (const std::u16string& name : referencing) DeleteIdValuesOfSubkey(key, name, ids);
}

void DeleteSubkeysByPublisher(const RegistryKeyHolder& key, const std::u16string& publisher) {
  DWORD count = 0;
  if (!CountSubkeys(key, count)) return;
  NameSet doomed;
  for (DWORD index = 0; index < count; ++index) {
    std::u16string name;
    if (!EnumSubkeyName(key, index, name)) continue;
    RegistryKeyHolder sub = OpenRegistryKey(key, name);
    DWORD values = 0;
    if (!CountValues(sub, values)) continue;
    for (DWORD valueIndex = 0; valueIndex < values; ++valueIndex) {
      std::u16string valueName;
      if (!EnumRegistryValue(sub, valueIndex, &valueName, nullptr, nullptr)) continue;
      if (valueName != u"Publisher") continue;
      std::vector<uint8_t> data;
      std::u16string text;
      if (EnumRegistryValue(sub, valueIndex, nullptr, nullptr, &data) &&
          RegistryDataToText(data, text) && UpToFirstNul(text) == publisher)
        doomed.insert(name);
      break;
    }
  }
  DeleteSubkeysInSet(key, doomed);
}

void DeleteValuesNamedLike(const RegistryKeyHolder& key, const std::u16string& part) {
  DWORD count = 0;
  if (part.empty() || !CountValues(key, count)) return;
  std::vector<std::u16string> doomed;
  for (DWORD index = 0; index < count; ++index) {
    std::u16string name;
    if (!EnumRegistryValue(key, index, &name, nullptr, nullptr)) continue;
    if (name.find(part) != std::u16string::npos) doomed.push_back(name);
  }
  for (const std::u16string& name : doomed) RegDeleteValueW(*key, W(name));
}

void CollectInstalledProducts(int selector, NameSet& set) {
  const RegistryKeyHolder products = OpenRegistryKey(
      HKEY_LOCAL_MACHINE,
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products");
  DWORD count = 0;
  if (!CountSubkeys(products, count)) return;
  for (DWORD index = 0; index < count; ++index) {
    std::u16string productKey;
    if (!EnumSubkeyName(products, index, productKey)) continue;
    const RegistryKeyHolder properties =
        OpenRegistryKey(OpenRegistryKey(products, productKey), u"InstallProperties");
    DWORD values = 0;
    if (!CountValues(properties, values)) continue;
    std::u16string publisher;
    std::u16string location;
    for (DWORD valueIndex = 0; valueIndex < values; ++valueIndex) {
      std::u16string name;
      DWORD type = 0;
      std::vector<uint8_t> data;
      if (!EnumRegistryValue(properties, valueIndex, &name, &type, &data)) continue;
      if (!IsStringType(type)) continue;
      if (name == u"Publisher")
        RegistryDataToText(data, publisher);
      else if (name == u"InstallLocation")
        RegistryDataToText(data, location);
    }
    if (UpToFirstNul(publisher) != kMakerName) continue;
    // The key name becomes a product id that shared lists are swept with;
    // a damaged or foreign key named anything else must not be one.
    if (selector == kProductKeyName && IsPackedProductCode(productKey)) set.insert(productKey);
    if (selector == kInstallLocation && !IsEmptyText(location))
      set.insert(std::u16string(UpToFirstNul(location)));
  }
}

void AddFolderOfPathValue(const std::u16string& keyPath, const std::u16string& valueName,
                          NameSet& set) {
  const RegistryKeyHolder key = OpenRegistryKey(HKEY_LOCAL_MACHINE, keyPath);
  if (!key) return;
  // A size query into a zero-byte buffer answers ERROR_MORE_DATA exactly
  // when the value exists and is not empty.
  BYTE probe[sizeof(wchar_t)];
  DWORD size = 0;
  if (RegQueryValueExW(*key, W(valueName), nullptr, nullptr, probe, &size) != ERROR_MORE_DATA)
    return;
  // One unit more than reported, left zero, so the text always ends.
  std::vector<char16_t> buffer(size / sizeof(char16_t) + 2, u'\0');
  DWORD read = size;
  if (RegQueryValueExW(*key, W(valueName), nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer.data()), &read) != ERROR_SUCCESS)
    return;
  const std::u16string_view text = UpToFirstNul(std::u16string_view(buffer.data(), buffer.size()));
  if (text.empty()) return;
  const std::size_t slash = text.rfind(u'\\');
  set.insert(std::u16string(slash == std::u16string_view::npos ? text : text.substr(0, slash + 1)));
}

}  // namespace Cleanup
