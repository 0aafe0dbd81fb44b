#include "cleanup/folder_guard.h"

namespace Cleanup {
namespace {

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

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

// Whether the canonical form `outer` is `inner` or one of its ancestors.
bool IsSameOrAncestor(const std::u16string& outer, const std::u16string& inner) {
  if (outer.size() > inner.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i)
    if (FoldAscii(outer[i]) != FoldAscii(inner[i])) return false;
  return true;
}

}  // namespace

std::optional<std::u16string> RemovableFolder(std::u16string_view path,
                                              const std::vector<std::u16string>& protectedFolders) {
  char16_t drive = 0;
  std::vector<std::u16string_view> components;
  if (!SplitDrivePath(path, drive, components) || components.size() < 2) return std::nullopt;
  std::u16string candidate = Canonical(drive, components);

  std::vector<std::u16string_view> guardedComponents;
  for (const std::u16string& guarded : protectedFolders) {
    char16_t guardedDrive = 0;
    if (!SplitDrivePath(guarded, guardedDrive, guardedComponents)) continue;
    if (IsSameOrAncestor(candidate, Canonical(guardedDrive, guardedComponents)))
      return std::nullopt;
  }
  return candidate;
}

std::u16string FolderIdentity(std::u16string_view canonicalPath) {
  std::u16string key(canonicalPath);
  for (char16_t& c : key) c = FoldAscii(c);
  return key;
}

}  // namespace Cleanup
