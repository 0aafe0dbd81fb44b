// Named-variable keys: the 122 key texts, spelled exactly as
// they are spelled in stored data, with the value type each is used with.
//
// kExpected below is the key vocabulary written out as data, group by group
// and in the vocabulary's order (a text listed in several groups appears in each).
// The type column uses the vocabulary's own spelling; "none" marks keys with no
// typed use, "-" a row whose type is given in the key's other group.
#include "fdisk/named_var_keys.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <typeindex>
#include <vector>

#include "fdisk/simple_disk.h"  // Fdisk::AdvancedLocus

namespace {

using Fdisk::NamedVars::AllVarKeys;
using Fdisk::NamedVars::VarContainer;
using Fdisk::NamedVars::VarKeyInfo;
namespace Keys = Fdisk::NamedVars::Keys;

struct ExpectedKey {
  const char* group;
  const char* text;
  const char* type;
};

const ExpectedKey kExpected[] = {
    // Object ids
    {"Object ids", "StageID", "unsigned long"},
    {"Object ids", "ComputerID", "unsigned long"},
    {"Object ids", "DiskID", "unsigned long"},
    {"Object ids", "DiskGroupID", "none"},
    {"Object ids", "VolumeID", "unsigned long"},
    {"Object ids", "DriverID", "none"},
    {"Object ids", "PortionID", "unsigned long"},
    {"Object ids", "RealOperation", "bool"},
    {"Object ids", "RemoveCleanup", "bool"},
    {"Object ids", "PSDriverFactory", "Fdisk::PSDriverFactory*"},
    // Dynamic-volume operation
    {"Dynamic-volume operation", "VolumeType", "Fdisk::LdmVolType"},
    {"Dynamic-volume operation", "VolumeSize", "unsigned __int64"},
    {"Dynamic-volume operation", "NumberOfMirrors", "unsigned long"},
    {"Dynamic-volume operation", "StripeSize", "unsigned long"},
    {"Dynamic-volume operation", "Type", "unsigned long"},
    {"Dynamic-volume operation", "OpRequest", "std::deque<Fdisk::LdmOpRequest>"},
    {"Dynamic-volume operation", "DriveHint", "std::string"},
    {"Dynamic-volume operation", "BreakMirror", "none"},
    {"Dynamic-volume operation", "AddMirror", "bool"},
    {"Dynamic-volume operation", "RemoveMirror", "bool"},
    {"Dynamic-volume operation", "ReplaceColumn", "bool"},
    {"Dynamic-volume operation", "PlexIndex", "unsigned long"},
    {"Dynamic-volume operation", "StripeIndex", "unsigned long"},
    {"Dynamic-volume operation", "ModifyVolumeType", "bool"},
    {"Dynamic-volume operation", "ReactivateVolume", "bool"},
    {"Dynamic-volume operation", "WindowsLdm", "bool"},
    {"Dynamic-volume operation", "InitWindowsLdm", "bool"},
    {"Dynamic-volume operation", "ImportForeign", "none"},
    {"Dynamic-volume operation", "LdmLuid", "none"},
    {"Dynamic-volume operation", "GroupGuid", "Common::GuidTemplate<LittleEndian>"},
    {"Dynamic-volume operation", "PrimaryGroupGuid", "none"},
    {"Dynamic-volume operation", "PrimaryGroupName", "none"},
    {"Dynamic-volume operation", "RetainingVolume", "bool"},
    {"Dynamic-volume operation", "ForceRawMode", "bool"},
    {"Dynamic-volume operation", "AutomaticAlign", "bool"},
    {"Dynamic-volume operation", "AutomaticLayout", "bool"},
    {"Dynamic-volume operation", "AutoStrategy", "unsigned long"},
    // Device-mapper plex
    {"Device-mapper plex", "PlexTypeName", "Fdisk::DM::PlexType"},
    {"Device-mapper plex", "LayoutName", "Fdisk::DM::LayoutType"},
    {"Device-mapper plex", "ChunkSize", "unsigned int"},
    {"Device-mapper plex", "Composite", "bool"},
    {"Device-mapper plex", "PlexStatus", "Fdisk::DM::PlexStatus"},
    {"Device-mapper plex", "VolumeStatus", "Fdisk::DM::VolumeStatus"},
    // Disk properties
    {"Disk properties", "SectorSize", "unsigned int"},
    {"Disk properties", "AdvancedLocus", "Fdisk::AdvancedLocus"},
    {"Disk properties", "BIOS_NUMBER", "int"},
    {"Disk properties", "HDInterfaceType", "Fdisk::HDInterfaceType"},
    {"Disk properties", "HDInterfaceHost", "unsigned int"},
    {"Disk properties", "HDInterfaceBus", "unsigned int"},
    {"Disk properties", "HDInterfaceTarget", "unsigned int"},
    {"Disk properties", "Model", "std::string"},
    {"Disk properties", "PhysicalName", "std::wstring"},
    {"Disk properties", "HWSerialNumber", "std::wstring"},
    {"Disk properties", "NtSerial", "unsigned int"},
    {"Disk properties", "Ordinal", "unsigned int"},
    {"Disk properties", "Major", "none"},
    {"Disk properties", "Minor", "none"},
    {"Disk properties", "Emulated", "bool"},
    {"Disk properties", "Corrupted", "bool"},
    // Portion
    {"Portion", "Start", "unsigned __int64"},
    {"Portion", "Size", "unsigned __int64"},
    {"Portion", "Type", "unsigned long"},
    {"Portion", "PrimaryFlag", "bool"},
    {"Portion", "HiddenFlag", "Fdisk::Mbr::HiddenMode"},
    {"Portion", "BeginAligned", "bool"},
    {"Portion", "EndAligned", "bool"},
    {"Portion", "ActiveBootStatus", "bool"},
    // GPT portion
    {"GPT portion", "Start", "unsigned __int64"},
    {"GPT portion", "Size", "unsigned __int64"},
    {"GPT portion", "Index", "unsigned int"},
    {"GPT portion", "PartitionType", "Common::GuidTemplate<LittleEndian>"},
    {"GPT portion", "FriendlyName", "std::wstring"},
    {"GPT portion", "FlagPartitionAsHardwarePart", "bool"},
    // Partition-scheme names
    {"Partition-scheme names", "UnsupPS", "none"},
    {"Partition-scheme names", "RawPS", "none"},
    {"Partition-scheme names", "SFPS", "none"},
    {"Partition-scheme names", "MbrPS", "none"},
    {"Partition-scheme names", "LdmPS", "none"},
    {"Partition-scheme names", "GptPS", "none"},
    {"Partition-scheme names", "ApplePS", "none"},
    {"Partition-scheme names", "MdPS", "none"},
    // File-system creation
    {"File-system creation", "Size", "unsigned __int64"},
    {"File-system creation", "FS", "fs_type"},
    {"File-system creation", "BlockSize", "unsigned char"},
    {"File-system creation", "ReservedSectors", "unsigned short"},
    {"File-system creation", "FATCount", "unsigned char"},
    {"File-system creation", "RootSize", "unsigned short"},
    {"File-system creation", "Enable64KClusters", "bool"},
    {"File-system creation", "BytesPerInode", "unsigned long"},
    {"File-system creation", "FSOptions", "unsigned long"},
    {"File-system creation", "FSOptionsMask", "unsigned long"},
    {"File-system creation", "DisableFitting", "bool"},
    {"File-system creation", "MinimizeSize", "bool"},
    {"File-system creation", "NewSerialNumber", "bool"},
    {"File-system creation", "SetVolumeLabel", "none"},
    {"File-system creation", "VolumeLabel", "none"},
    {"File-system creation", "ExtPartitionStart", "unsigned long"},
    {"File-system creation", "DoNotFixGeometry", "bool"},
    {"File-system creation", "MergeDirName", "std::wstring"},
    {"File-system creation", "Callback", "ResizerCallback*"},
    // File-system information
    {"File-system information", "FSType", "none"},
    {"File-system information", "FSSzie", "none"},
    {"File-system information", "Error", "none"},
    {"File-system information", "BlockSize", "-"},
    {"File-system information", "BlockCount", "none"},
    {"File-system information", "FreeBlockCount", "none"},
    {"File-system information", "ReservedSectors", "-"},
    {"File-system information", "FSOptions", "-"},
    {"File-system information", "FATSize", "none"},
    {"File-system information", "FATCount", "-"},
    {"File-system information", "RootSize", "-"},
    {"File-system information", "UsedRootEntries", "none"},
    {"File-system information", "InodeSize", "none"},
    {"File-system information", "InodeCount", "none"},
    {"File-system information", "BytesPerInode", "-"},
    {"File-system information", "VolumeLabel", "-"},
    {"File-system information", "SerialNumber", "none"},
    {"File-system information", "WriteCounter", "none"},
    {"File-system information", "UsefulInformation", "none"},
    {"File-system information", "BadBlockCount", "none"},
    {"File-system information", "FreeInodeCount", "none"},
    {"File-system information", "FilesCount", "none"},
    {"File-system information", "DirectoriesCount", "none"},
    {"File-system information", "HardLinkCount", "none"},
    {"File-system information", "SymLinkCount", "none"},
    {"File-system information", "BlockDeviceCount", "none"},
    {"File-system information", "CharDeviceCount", "none"},
    {"File-system information", "SocketCount", "none"},
    {"File-system information", "FifoCount", "none"},
    {"File-system information", "JournalSize", "none"},
    {"File-system information", "SafeShrinkSize", "none"},
    // Single keys
    {"Single keys", "OldDiskList", "std::vector<stddisk*>"},
    {"Single keys", "DiskNumber", "unsigned int"},
    {"Single keys", "Size", "unsigned __int64"},
};

// Rows per group, as the vocabulary counts them.
const std::map<std::string, int> kGroupSizes = {
    {"Object ids", 10},          {"Dynamic-volume operation", 27},
    {"Device-mapper plex", 6},   {"Disk properties", 16},
    {"Portion", 8},              {"GPT portion", 6},
    {"Partition-scheme names", 8}, {"File-system creation", 19},
    {"File-system information", 31}, {"Single keys", 3},
};

// The vocabulary's type names and the C++ types of this tree.
const std::map<std::string, std::type_index>& TypeNames() {
  static const std::map<std::string, std::type_index> names{
      {"unsigned long", typeid(unsigned long)},
      {"unsigned int", typeid(unsigned int)},
      {"int", typeid(int)},
      {"bool", typeid(bool)},
      {"unsigned char", typeid(unsigned char)},
      {"unsigned short", typeid(unsigned short)},
      {"unsigned __int64", typeid(unsigned long long)},
      {"std::string", typeid(std::string)},
      {"std::wstring", typeid(std::u16string)},
      {"Common::GuidTemplate<LittleEndian>", typeid(Common::GuidTemplate<Common::LittleEndian>)},
      {"Fdisk::LdmVolType", typeid(Fdisk::LdmVolType)},
      {"Fdisk::DM::PlexType", typeid(Fdisk::DM::PlexType)},
      {"Fdisk::DM::LayoutType", typeid(Fdisk::DM::LayoutType)},
      {"Fdisk::DM::PlexStatus", typeid(Fdisk::DM::PlexStatus)},
      {"Fdisk::DM::VolumeStatus", typeid(Fdisk::DM::VolumeStatus)},
      {"Fdisk::AdvancedLocus", typeid(Fdisk::AdvancedLocus)},
      {"Fdisk::HDInterfaceType", typeid(Fdisk::HDInterfaceType)},
      {"Fdisk::Mbr::HiddenMode", typeid(Fdisk::Mbr::HiddenMode)},
      {"fs_type", typeid(fs_type)},
      {"Fdisk::PSDriverFactory*", typeid(Fdisk::PSDriverFactory*)},
      {"ResizerCallback*", typeid(ResizerCallback*)},
      {"std::vector<stddisk*>", typeid(std::vector<stddisk*>)},
      {"std::deque<Fdisk::LdmOpRequest>", typeid(std::deque<Fdisk::LdmOpRequest>)},
  };
  return names;
}

const VarKeyInfo* FindKey(const std::string& text) {
  for (const VarKeyInfo& info : AllVarKeys())
    if (std::string(info.key->Name()) == text) return &info;
  return nullptr;
}

TEST(NamedVarKeys, ExpectationTableMatchesThePartsCounts) {
  std::map<std::string, int> sizes;
  std::set<std::string> texts;
  for (const ExpectedKey& row : kExpected) {
    ++sizes[row.group];
    texts.insert(row.text);
    const std::string type = row.type;
    EXPECT_TRUE(type == "none" || type == "-" || TypeNames().count(type)) << row.text << ": " << type;
  }
  EXPECT_EQ(sizes, kGroupSizes);
  EXPECT_EQ(texts.size(), 122u);
}

TEST(NamedVarKeys, EveryExpectedKeyExistsWithItsType) {
  for (const ExpectedKey& row : kExpected) {
    SCOPED_TRACE(std::string(row.group) + " / " + row.text);
    const VarKeyInfo* info = FindKey(row.text);
    ASSERT_NE(info, nullptr) << "no key with this exact text";
    EXPECT_EQ(info->key->Flags(), 0);
    const std::string type = row.type;
    if (type == "-") continue;
    if (type == "none") {
      EXPECT_EQ(info->type, nullptr);
    } else {
      ASSERT_NE(info->type, nullptr);
      EXPECT_EQ(std::type_index(*info->type), TypeNames().at(type));
    }
  }
}

TEST(NamedVarKeys, NoKeyBeyondTheTable) {
  std::set<std::string> expected;
  for (const ExpectedKey& row : kExpected) expected.insert(row.text);
  std::set<std::string> seen;
  for (const VarKeyInfo& info : AllVarKeys()) {
    const std::string text(info.key->Name());
    EXPECT_TRUE(expected.count(text)) << "unexpected key " << text;
    EXPECT_TRUE(seen.insert(text).second) << "key listed twice: " << text;
  }
  EXPECT_EQ(AllVarKeys().size(), Fdisk::NamedVars::kVarKeyCount);
  EXPECT_EQ(seen.size(), 122u);
}

TEST(NamedVarKeys, OddSpellingsAreKept) {
  EXPECT_EQ(Keys::FSSzie.Name(), "FSSzie");
  EXPECT_EQ(Keys::BIOS_NUMBER.Name(), "BIOS_NUMBER");
  EXPECT_EQ(Keys::SFPS.Name(), "SFPS");
  EXPECT_EQ(FindKey("FSSize"), nullptr);
}

// Every typed key stores and reads back a value of its own type through the
// deducing accessors, and refuses the other 32-bit unsigned type.
template <class T>
void RoundTrip(const Fdisk::NamedVars::VarKeyT<T>& key, const T& value) {
  SCOPED_TRACE(std::string(key.Name()));
  VarContainer bag;
  EXPECT_TRUE(bag.Set(key, value).IsNull());
  EXPECT_TRUE(bag.Get(key) == value);
  EXPECT_TRUE(bag.Find(key.Name())->second.GetType() == typeid(T));
}

TEST(NamedVarKeys, TypedKeysRoundTrip) {
  RoundTrip(Keys::StageID, 1ul);
  RoundTrip(Keys::DiskNumber, 2u);
  RoundTrip(Keys::VolumeSize, 1ull << 33);
  RoundTrip(Keys::BIOS_NUMBER, 0x80);
  RoundTrip(Keys::BlockSize, static_cast<unsigned char>(8));
  RoundTrip(Keys::RootSize, static_cast<unsigned short>(512));
  RoundTrip(Keys::DriveHint, std::string("E:"));
  RoundTrip(Keys::MergeDirName, std::u16string(u"merge"));
  RoundTrip(Keys::GroupGuid, Common::Guid{});
  RoundTrip(Keys::VolumeType, Fdisk::kLdmVolMirrored);
  RoundTrip(Keys::AdvancedLocus, Fdisk::AdvancedLocus(63, 254, 16065));
  RoundTrip(Keys::PSDriverFactory, static_cast<Fdisk::PSDriverFactory*>(nullptr));
  RoundTrip(Keys::Callback, static_cast<ResizerCallback*>(nullptr));
  RoundTrip(Keys::OldDiskList, std::vector<stddisk*>(2, nullptr));
  RoundTrip(Keys::OpRequest, std::deque<Fdisk::LdmOpRequest>(3));
}

TEST(NamedVarKeys, KeysAreUsableInConstantExpressions) {
  static_assert(Keys::StageID.Name() == "StageID", "constant key text");
  static_assert(Keys::StageID.Flags() == 0, "constant key flags");
  static_assert(std::is_same<decltype(Keys::Size)::ValueType, unsigned long long>::value,
                "Size is unsigned __int64");
  static_assert(std::is_same<decltype(Keys::Type)::ValueType, unsigned long>::value,
                "Type is unsigned long");
  SUCCEED();
}

}  // namespace
