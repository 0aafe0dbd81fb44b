#include "cleanup/folder_guard.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"

namespace Cleanup {
namespace {

std::string Show(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
  return out;
}

// The folders of a 64-bit machine as a 32-bit process is told them, with
// the profiles of ann, bob (on another drive), someone, Ärger and Борис.
const SystemFolders kFolders = {
    {u"C:\\Windows", u"C:\\Windows\\system32", u"C:\\Windows\\SysWOW64\\",
     u"",                    // a folder the system did not report
     u"relative\\folder"},  // not an absolute path: never matches
    {u"C:\\Program Files (x86)", u"C:\\Program Files", u"C:\\Program Files (x86)\\Common Files",
     u"C:\\Program Files\\Common Files", u"C:\\ProgramData",
     u"C:\\Users\\ann\\AppData\\Roaming", u"C:\\Users\\ann\\AppData\\Local\\",
     u"C:\\Users\\someone\\AppData\\Roaming", u"C:\\Users\\someone\\AppData\\Local",
     u"D:\\Profiles\\bob\\AppData\\Roaming"},
    {u"C:\\Users", u"C:\\Users\\ann", u"D:\\Profiles\\bob\\", u"C:\\Users\\someone",
     u"C:\\Users\\\u00C4rger",                      // Ärger
     u"C:\\Users\\\u0411\u043E\u0440\u0438\u0441",  // Борис
     u"C:\\Users\\Public", u"C:\\Users\\Public\\Desktop", u"C:\\Users\\Public\\Documents",
     // The all-users profile is the all-users application-data folder.
     u"C:\\ProgramData", u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},
};

TEST(RemovableFolder, OnlyProgramFoldersInsideInstallRootsOrWellAwayFromTheSystem) {
  struct Case {
    const char16_t* path;
    const char16_t* removable;  // canonical form, or null when refused
  } cases[] = {
      // Program folders in the install roots, one level below or deeper.
      {u"C:\\Program Files (x86)\\Quorvel\\Harbormark Home\\",
       u"C:\\Program Files (x86)\\Quorvel\\Harbormark Home\\"},
      {u"C:\\Program Files\\Quorvel\\Harbormark Home\\",
       u"C:\\Program Files\\Quorvel\\Harbormark Home\\"},
      {u"C:\\Program Files (x86)\\Quorvel", u"C:\\Program Files (x86)\\Quorvel\\"},
      {u"C:\\ProgramData\\Quorvel\\", u"C:\\ProgramData\\Quorvel\\"},
      {u"C:\\Users\\someone\\AppData\\Roaming\\Quorvel\\",
       u"C:\\Users\\someone\\AppData\\Roaming\\Quorvel\\"},
      {u"c:\\users\\ANN\\appdata\\local\\Quorvel\\Cache",
       u"C:\\users\\ANN\\appdata\\local\\Quorvel\\Cache\\"},
      {u"D:\\Profiles\\bob\\AppData\\Roaming\\Quorvel\\",
       u"D:\\Profiles\\bob\\AppData\\Roaming\\Quorvel\\"},
      {u"C:\\Program Files\\Common Files\\Quorvel\\",
       u"C:\\Program Files\\Common Files\\Quorvel\\"},
      // Well away from the system.
      {u"D:\\Apps\\Harbormark\\", u"D:\\Apps\\Harbormark\\"},
      {u"c:/Quorvel/App/", u"C:\\Quorvel\\App\\"},
      // What a file at the root, or the root itself, leaves.
      {u"C:\\", nullptr},
      {u"C:", nullptr},
      {u"C:\\Quorvel\\", nullptr},  // one level only
      {u"C:\\Quorvel", nullptr},
      // Relative, device, network and stream forms.
      {u"Quorvel\\App\\", nullptr},
      {u"sv_client_standard.exe", nullptr},
      {u"\\Quorvel\\App\\", nullptr},
      {u"C:Quorvel\\App\\", nullptr},
      {u"\\\\server\\share\\Quorvel\\App\\", nullptr},
      {u"\\\\?\\C:\\Quorvel\\App\\", nullptr},
      {u"C:\\Quorvel\\App:stream\\", nullptr},
      {u"", nullptr},
      // Components Windows would read otherwise than written.
      {u"C:\\Program Files\\Quorvel\\..\\..\\Windows\\", nullptr},
      {u"C:\\Quorvel\\.\\App\\", nullptr},
      {u"C:\\Quorvel\\\\App\\", nullptr},
      {u"C:\\Quorvel\\App\\\\", nullptr},
      {u"C:\\Windows.\\Quorvel\\", nullptr},
      {u"C:\\Users\\ann \\", nullptr},
      {u"C:\\Quorvel\\Ap*\\", nullptr},
      {u"C:\\Quorvel\\A\tpp\\", nullptr},
      // The listed folders themselves, in any letter case, and the folders
      // holding them.
      {u"C:\\Windows\\", nullptr},
      {u"c:\\WINDOWS\\System32\\", nullptr},
      {u"C:\\Windows\\SysWOW64", nullptr},
      {u"C:\\Program Files\\", nullptr},
      {u"C:\\Program Files\\Common Files\\", nullptr},
      {u"C:\\program files (x86)\\common files", nullptr},
      {u"C:\\ProgramData\\", nullptr},
      {u"C:\\Users\\", nullptr},
      {u"C:\\Users\\Ann\\", nullptr},
      {u"C:\\Users\\ann\\AppData\\", nullptr},
      {u"C:\\Users\\ann\\AppData\\Roaming\\", nullptr},
      {u"D:\\Profiles\\bob\\", nullptr},
      {u"D:\\Profiles\\", nullptr},
      // Nothing below the Windows folder or a system folder.
      {u"C:\\Windows\\System32\\drivers\\", nullptr},
      {u"C:\\Windows\\WinSxS\\", nullptr},
      {u"C:\\Windows\\Temp\\Quorvel\\", nullptr},
      {u"C:\\WINDOWS\\SysWOW64\\Quorvel\\", nullptr},
      // Nothing in a profile outside its application-data folders, whoever's.
      {u"C:\\Users\\someone\\Documents\\", nullptr},
      {u"C:\\Users\\someone\\Quorvel\\", nullptr},
      {u"C:\\Users\\ann\\Desktop\\Quorvel\\", nullptr},
      {u"C:\\Users\\ann\\AppData\\LocalLow\\Quorvel\\", nullptr},
      {u"D:\\Profiles\\bob\\Quorvel\\", nullptr},
      {u"C:\\Users\\\u00E4rger\\Quorvel\\", nullptr},
      // Nor in the profiles folder, even where no profile is known.
      {u"C:\\Users\\nobody\\AppData\\Roaming\\Quorvel\\", nullptr},
      {u"C:\\Users\\ann.old\\x\\", nullptr},
      // Nor in the all-users desktop, documents and start menu.
      {u"C:\\Users\\Public\\Documents\\Quorvel\\", nullptr},
      {u"C:\\Users\\Public\\Desktop\\Quorvel\\", nullptr},
      {u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Quorvel\\", nullptr},
      // The operating system's own folders inside the install roots.
      {u"C:\\ProgramData\\Microsoft\\", nullptr},
      {u"C:\\ProgramData\\microsoft\\Quorvel\\", nullptr},
      {u"C:\\Program Files\\Common Files\\Microsoft Shared\\", nullptr},
      {u"C:\\Program Files (x86)\\Common Files\\microsoft shared\\VC\\", nullptr},
      {u"C:\\Program Files\\Windows Defender\\", nullptr},
      {u"C:\\Program Files (x86)\\Windows NT\\Accessories\\", nullptr},
      {u"C:\\Program Files\\WindowsPowerShell\\", nullptr},
      {u"C:\\Program Files\\Internet Explorer\\", nullptr},
      {u"C:\\Program Files (x86)\\Microsoft.NET\\", nullptr},
      {u"C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Quorvel\\", nullptr},
      {u"C:\\Users\\someone\\AppData\\Local\\Packages\\", nullptr},
      // ...but a maker's folder that only holds such a name deeper is its own.
      {u"C:\\Program Files\\Quorvel\\Microsoft\\", u"C:\\Program Files\\Quorvel\\Microsoft\\"},
      // Letter case beyond ASCII is no disguise either.
      {u"c:\\users\\\u00E4rger\\", nullptr},
      {u"C:\\USERS\\\u00C4RGER", nullptr},
      {u"C:\\Users\\\u0431\u041E\u0420\u0418\u0421\\", nullptr},
  };
  for (const Case& c : cases) {
    auto got = RemovableFolder(c.path, kFolders);
    if (c.removable == nullptr) {
      EXPECT_FALSE(got.has_value()) << Show(c.path) << " -> " << Show(got.value_or(u""));
    } else {
      EXPECT_EQ(got.value_or(u"(refused)"), c.removable) << Show(c.path);
    }
  }
}

TEST(RemovableFolder, WithoutSystemFoldersStillRefusesRootsAndRelativePaths) {
  EXPECT_FALSE(RemovableFolder(u"C:\\", {}));
  EXPECT_FALSE(RemovableFolder(u"C:\\Windows", {}));
  EXPECT_FALSE(RemovableFolder(u"Windows\\System32", {}));
  EXPECT_TRUE(RemovableFolder(u"C:\\Windows\\System32", {}));
}

// A system folder wins over an install root inside it (the local
// application data of the system's own account lies in the system folder).
TEST(RemovableFolder, NothingBelowASystemFolderEvenInAnInstallRoot) {
  const SystemFolders folders = {
      {u"C:\\Windows\\System32"},
      {u"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local"},
      {}};
  EXPECT_FALSE(RemovableFolder(
      u"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local\\Quorvel\\", folders));
}

TEST(OperatingSystemFolderName, FamiliesAndSingleNames) {
  for (const char16_t* name : {u"Microsoft", u"MICROSOFT SHARED", u"Microsoft.NET", u"Windows",
                               u"Windows Mail", u"windowsapps", u"Internet Explorer",
                               u"Common Files", u"Package Cache"})
    EXPECT_TRUE(OperatingSystemFolderName(name)) << Show(name);
  for (const char16_t* name : {u"Quorvel", u"Harbormark Home", u"Micro", u"Internet", u"Win",
                               u"Common"})
    EXPECT_FALSE(OperatingSystemFolderName(name)) << Show(name);
}

TEST(FolderIdentity, NamesDifferingOnlyInLetterCaseAreOneFolder) {
  EXPECT_EQ(FolderIdentity(u"C:\\Program Files\\Quorvel\\"),
            FolderIdentity(u"C:\\PROGRAM FILES\\quorvel\\"));
  EXPECT_EQ(FolderIdentity(u"C:\\Program Files\\\u00C4rger\\\u0411\\"),
            FolderIdentity(u"C:\\program files\\\u00E4RGER\\\u0431\\"));
  EXPECT_NE(FolderIdentity(u"C:\\Program Files\\Quorvel\\"),
            FolderIdentity(u"C:\\Program Files\\Quorvel2\\"));
}

// --- the folder on the disk ----------------------------------------------

// A disk as the directory interfaces show it: entries by full path (no
// trailing '\'), 8.3 aliases that lookups answer to as Windows does, and
// folders whose lookups are refused. Names compare without regard to ASCII
// case, as the file system does.
struct FakeEntry {
  std::uint32_t type;
  std::uint32_t attributes;
};

std::u16string Key(std::u16string path) {
  for (char16_t& c : path)
    if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

struct FakeDisk {
  std::map<std::u16string, std::pair<std::u16string, FakeEntry>> entries;  // by Key
  std::map<std::u16string, std::u16string> aliases;                       // Key -> path
  std::set<std::u16string> denied;                                         // Keys
  std::vector<std::u16string> looked;  // every path a lookup was asked for

  void add(const std::u16string& path, std::uint32_t type, std::uint32_t attributes) {
    entries[Key(path)] = {path, {type, attributes}};
  }
};

constexpr std::uint32_t kFolder = 0x10, kReparse = 0x400, kPlain = 0x80;

class FakeCursor : public i_dir::iterator {
 public:
  FakeCursor(std::u16string name, FakeEntry entry) : name_(std::move(name)), entry_(entry) {}
  void next() override { store_error(MakeFileError(1, 0x7e57, kFileEndOfFile)); }
  file_identifier* id() override { return nullptr; }
  const char16_t* name() override { return is_ok() ? name_.c_str() : nullptr; }
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override { return entry_.type; }
  std::uint32_t attributes() override { return entry_.attributes; }

 private:
  std::u16string name_;
  FakeEntry entry_;
};

class FakeDir : public i_dir {
 public:
  FakeDir(FakeDisk* disk, std::u16string path) : disk_(disk), path_(std::move(path)) {
    if (path_.empty() || path_.back() != u'\\') path_ += u'\\';
  }
  i_dir* open_dir(const char16_t* path) override { return new FakeDir(disk_, path); }
  iterator* find(const char16_t* name) override {
    std::u16string full = path_ + name;
    disk_->looked.push_back(full);
    if (disk_->denied.count(Key(path_))) return fail(kFileAccessDenied);
    auto alias = disk_->aliases.find(Key(full));
    if (alias != disk_->aliases.end()) full = alias->second;
    auto it = disk_->entries.find(Key(full));
    if (it == disk_->entries.end()) return fail(kFileNotFound);
    clear_error();
    const std::u16string& spelled = it->second.first;
    return new FakeCursor(spelled.substr(spelled.rfind(u'\\') + 1), it->second.second);
  }

  i_file* open_file_by_id(const file_identifier*, bool) override { return nullptr; }
  i_file* open_file_at(iterator*, bool) override { return nullptr; }
  i_file* open_file(const char16_t*, bool) override { return nullptr; }
  i_dir* open_dir_by_id(const file_identifier*) override { return nullptr; }
  i_dir* open_dir_at(iterator*) override { return nullptr; }
  i_dir* open_parent(const char16_t**) override { return nullptr; }
  iterator* find_by_id(const file_identifier*) override { return nullptr; }
  iterator* list() override { return nullptr; }
  iterator* find_self() override { return nullptr; }
  int relation(i_dir*) override { return 2; }
  int compare_ids(const file_identifier*, const file_identifier*) override { return 1; }

 private:
  iterator* fail(std::uint32_t code) {
    store_error(MakeFileError(2, 0x7e57, code));
    return nullptr;
  }
  FakeDisk* disk_;
  std::u16string path_;
};

TEST(ExistingRemovableFolder, OnlyOrdinaryFoldersAllTheWayDown) {
  FakeDisk disk;
  for (const char16_t* folder :
       {u"C:\\Program Files", u"C:\\Program Files\\Quorvel", u"C:\\Program Files\\Quorvel\\App",
        u"C:\\Users", u"C:\\Users\\bob", u"C:\\Users\\ann smith",
        u"C:\\Users\\ann smith\\Quorvel", u"C:\\Documents and Settings\\bob",
        u"C:\\Apps", u"C:\\Apps\\Linked\\Quorvel", u"C:\\Apps\\Tagged\\Quorvel",
        u"C:\\Apps\\Offline\\Quorvel", u"C:\\Apps\\Unsaid\\Quorvel", u"C:\\Locked", u"C:\\Locked\\Quorvel"})
    disk.add(folder, kObjectDirectory, kFolder);
  // "Documents and Settings" leads to C:\Users on every Windows since Vista.
  disk.add(u"C:\\Documents and Settings", kObjectJunction, kFolder | kReparse);
  disk.add(u"C:\\Apps\\Linked", kObjectDirSymlink, kFolder | kReparse);
  disk.add(u"C:\\Apps\\Quorvel", kObjectJunction, kFolder | kReparse);
  // A reparse point whose tag marks no link still leads somewhere else.
  disk.add(u"C:\\Apps\\Tagged", kObjectDirectory, kFolder | kReparse);
  // Where a lister cannot tell the attributes, the kind alone decides.
  disk.add(u"C:\\Apps\\Offline", kObjectDirectory, kNoAttributes);
  disk.add(u"C:\\Apps\\Unsaid", kObjectJunction, kNoAttributes);
  disk.add(u"C:\\Apps\\notes.txt", kObjectFile, kPlain);
  disk.aliases[Key(u"C:\\PROGRA~1")] = u"C:\\Program Files";
  disk.aliases[Key(u"C:\\Users\\ANNSMI~1")] = u"C:\\Users\\ann smith";
  disk.denied.insert(Key(u"C:\\Locked"));

  const SystemFolders guarded = {
      {}, {u"C:\\Program Files"}, {u"C:\\Users\\bob", u"C:\\Users\\ann smith"}};
  struct Case {
    const char16_t* path;
    const char16_t* removable;  // as the disk spells it, or null when refused
  } cases[] = {
      {u"C:\\Program Files\\Quorvel\\App\\", u"C:\\Program Files\\Quorvel\\App\\"},
      {u"c:/program files/QUORVEL/app", u"C:\\Program Files\\Quorvel\\App\\"},
      {u"C:\\PROGRA~1\\Quorvel\\", u"C:\\Program Files\\Quorvel\\"},
      {u"C:\\Apps\\Offline\\Quorvel\\", u"C:\\Apps\\Offline\\Quorvel\\"},
      // A profile reached through a junction above it.
      {u"C:\\Documents and Settings\\bob\\", nullptr},
      {u"C:\\Apps\\Linked\\Quorvel\\", nullptr},
      {u"C:\\Apps\\Tagged\\Quorvel\\", nullptr},
      {u"C:\\Apps\\Unsaid\\Quorvel\\", nullptr},
      {u"C:\\Apps\\Quorvel\\", nullptr},  // the folder itself
      {u"C:\\Apps\\notes.txt\\Quorvel\\", nullptr},
      // An 8.3 alias of a protected folder is that folder.
      {u"C:\\Users\\ANNSMI~1\\", nullptr},
      {u"C:\\Users\\ANNSMI~1\\Quorvel\\", nullptr},
      // What is not there, or cannot be looked at, is not deleted.
      {u"C:\\Program Files\\Missing\\", nullptr},
      {u"C:\\Missing\\Quorvel\\", nullptr},
      {u"C:\\Locked\\Quorvel\\", nullptr},
  };
  FakeDir base(&disk, u"C:\\");
  for (const Case& c : cases) {
    auto got = ExistingRemovableFolder(base, c.path, guarded);
    if (c.removable == nullptr) {
      EXPECT_FALSE(got.has_value()) << Show(c.path) << " -> " << Show(got.value_or(u""));
    } else {
      EXPECT_EQ(got.value_or(u"(refused)"), c.removable) << Show(c.path);
    }
  }

  // A path the rules refuse is not looked for on the disk at all.
  disk.looked.clear();
  EXPECT_FALSE(ExistingRemovableFolder(base, u"C:\\Users\\bob\\", guarded));
  EXPECT_FALSE(ExistingRemovableFolder(base, u"C:\\x.exe", guarded));
  EXPECT_TRUE(disk.looked.empty());
}

}  // namespace
}  // namespace Cleanup
