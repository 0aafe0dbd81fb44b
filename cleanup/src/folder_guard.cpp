#include "cleanup/folder_guard.h"

#include <memory>

#include "files/dir.h"
#include "foundation/text.h"

namespace Cleanup {
namespace {

// Windows compares names without regard to case beyond ASCII ("Ärger" and
// "ärger" are one folder); the system's mapping decides under Windows.
std::u16string FoldCase(std::u16string_view text) {
  std::u16string folded(text);
  if (!Common::ToUpperCase(folded) || folded.size() != text.size()) {
    folded.assign(text);
    for (char16_t& c : folded) c = Common::PortableToUpper(c);
  }
  return folded;
}

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A component Windows takes as written: no characters it refuses in names or
// reads as wildcards or stream separators, and no trailing dot or blank,
// which it strips ("C:\Windows." is C:\Windows).
bool IsPlainComponent(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  if (name.back() == u'.' || name.back() == u' ') return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

// The drive letter and the components of an absolute drive path, or false.
bool SplitDrivePath(std::u16string_view path, char16_t& drive,
                    std::vector<std::u16string_view>& components) {
  components.clear();
  if (path.size() < 3 || !IsDriveLetter(path[0]) || path[1] != u':' || !IsSeparator(path[2]))
    return false;
  drive = path[0];
  std::size_t start = 3;
  // One trailing separator is the folder form; more than one, or an empty
  // component inside, is not a path an installer writes.
  std::size_t end = path.size();
  if (end > 3 && IsSeparator(path[end - 1])) --end;
  while (start < end) {
    std::size_t cut = start;
    while (cut < end && !IsSeparator(path[cut])) ++cut;
    std::u16string_view name = path.substr(start, cut - start);
    if (!IsPlainComponent(name)) return false;
    components.push_back(name);
    start = cut + 1;
    if (cut < end && start == end) return false;  // a separator before the end
  }
  return true;
}

std::u16string Canonical(char16_t drive, const std::vector<std::u16string_view>& components) {
  std::u16string out;
  out += char16_t(drive >= u'a' ? drive - 32 : drive);
  out += u":\\";
  for (std::u16string_view name : components) {
    out += name;
    out += u'\\';
  }
  return out;
}

// Whether the canonical form `outer` is `inner` or one of its ancestors
// (both folded; canonical forms end with '\', so a prefix is a whole
// number of components).
bool IsSameOrAncestor(const std::u16string& outer, const std::u16string& inner) {
  return outer.size() <= inner.size() && inner.compare(0, outer.size(), outer) == 0;
}

constexpr std::uint32_t kReparsePointAttribute = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

// The entry `name` in the folder `parent` (canonical), when it is an
// ordinary folder: its name as the file system spells it. Nothing when it
// is missing, cannot be looked up, or is anything else.
std::optional<std::u16string> OrdinaryFolderEntry(i_dir& base, const std::u16string& parent,
                                                  const std::u16string& name) {
  std::unique_ptr<i_dir> folder(base.open_dir(parent.c_str()));
  if (!folder || !folder->is_ok()) return std::nullopt;
  std::unique_ptr<i_dir::iterator> entry(folder->find(name.c_str()));
  if (!entry || !entry->is_ok()) return std::nullopt;
  if (entry->object_type() != kObjectDirectory) return std::nullopt;
  // A reparse point the kind does not tell (one whose tag marks no link)
  // may still lead elsewhere.
  const std::uint32_t attributes = entry->attributes();
  if (attributes != kNoAttributes && (attributes & kReparsePointAttribute)) return std::nullopt;
  const char16_t* spelled = entry->name();
  if (spelled == nullptr || *spelled == u'\0' || !entry->is_ok()) return std::nullopt;
  return std::u16string(spelled);
}

}  // namespace

bool OperatingSystemFolderName(std::u16string_view name) {
  const std::u16string folded = FoldCase(name);
  // Whole families: "Microsoft Shared", "Microsoft.NET", "Microsoft Office",
  // "Windows Defender", "WindowsPowerShell", "WindowsApps"...
  for (std::u16string_view family :
       {std::u16string_view(u"MICROSOFT"), std::u16string_view(u"WINDOWS")})
    if (folded.compare(0, family.size(), family) == 0) return true;
  for (std::u16string_view single :
       {u"INTERNET EXPLORER", u"UNINSTALL INFORMATION", u"REFERENCE ASSEMBLIES", u"MSBUILD",
        u"PACKAGE CACHE", u"PACKAGES", u"COMMON FILES", u"MODIFIABLEWINDOWSAPPS", u"DESKTOP",
        u"DOCUMENTS", u"START MENU", u"TEMPLATES", u"FAVORITES", u"APPLICATION DATA"})
    if (folded == single) return true;
  return false;
}

std::optional<std::u16string> RemovableFolder(std::u16string_view path,
                                              const SystemFolders& folders) {
  char16_t drive = 0;
  std::vector<std::u16string_view> components;
  if (!SplitDrivePath(path, drive, components) || components.empty()) return std::nullopt;
  std::u16string candidate = Canonical(drive, components);
  const std::u16string folded = FoldCase(candidate);

  enum Role { kSystem, kInstallRoot, kRefused };
  // The deepest listed folder that holds the candidate, by its length.
  std::size_t holderLength = 0;
  Role holderRole = kRefused;
  std::vector<std::u16string_view> listedComponents;
  for (const auto& [role, list] : {std::pair<Role, const std::vector<std::u16string>*>{
                                       kSystem, &folders.system},
                                   {kInstallRoot, &folders.installRoots},
                                   {kRefused, &folders.refused}}) {
    for (const std::u16string& listed : *list) {
      char16_t listedDrive = 0;
      if (!SplitDrivePath(listed, listedDrive, listedComponents)) continue;
      const std::u16string listedFolded = FoldCase(Canonical(listedDrive, listedComponents));
      // The folder itself, or one that holds it.
      if (IsSameOrAncestor(folded, listedFolded)) return std::nullopt;
      if (!IsSameOrAncestor(listedFolded, folded)) continue;
      if (role == kSystem) return std::nullopt;
      // Deeper wins; of one folder in two roles, the install root.
      if (listedFolded.size() > holderLength ||
          (listedFolded.size() == holderLength && role == kInstallRoot)) {
        holderLength = listedFolded.size();
        holderRole = role;
      }
    }
  }
  if (holderLength == 0) {
    // Outside everything the system owns: well below a drive root.
    if (components.size() < 2) return std::nullopt;
    return candidate;
  }
  if (holderRole != kInstallRoot) return std::nullopt;
  // The component right below the install root (canonical forms end with
  // '\', so the root's length is where that component starts).
  const std::size_t cut = candidate.find(u'\\', holderLength);
  const std::u16string_view belowRoot =
      std::u16string_view(candidate).substr(holderLength, cut - holderLength);
  if (OperatingSystemFolderName(belowRoot)) return std::nullopt;
  return candidate;
}

std::optional<std::u16string> ExistingRemovableFolder(i_dir& base, std::u16string_view path,
                                                      const SystemFolders& folders) {
  std::optional<std::u16string> folder = RemovableFolder(path, folders);
  if (!folder) return std::nullopt;
  char16_t drive = 0;
  std::vector<std::u16string_view> components;
  if (!SplitDrivePath(*folder, drive, components)) return std::nullopt;

  // Walk down from the drive root, each level looked up in the one above
  // it as the file system spells that one.
  std::u16string spelled = folder->substr(0, 3);
  for (std::u16string_view component : components) {
    std::optional<std::u16string> entry =
        OrdinaryFolderEntry(base, spelled, std::u16string(component));
    if (!entry) return std::nullopt;
    spelled += *entry;
    spelled += u'\\';
  }
  return RemovableFolder(spelled, folders);
}

std::u16string FolderIdentity(std::u16string_view canonicalPath) {
  return FoldCase(canonicalPath);
}

}  // namespace Cleanup
