// Canonical Windows paths: resolution of a name against a directory path,
// the root of a path, and the test of a single entry name.
#include "files/path.h"

#include <cstdint>

namespace {

constexpr std::size_t kMaxComponentLength = 255;

bool IsSeparator(char16_t c) noexcept { return c == u'\\' || c == u'/'; }

bool IsAsciiLetter(char16_t c) noexcept {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

char16_t AsciiUpper(char16_t c) noexcept {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// Characters no path may hold. ':' and the separators are left to the
// callers, which give them their meaning.
bool IsForbiddenInPath(char16_t c) noexcept {
  return (c >= 1 && c <= 31) || c == u'"' || c == u'*' || c == u'<' || c == u'>' ||
         c == u'?' || c == u'|';
}

// Removes the last component of a canonical path; a path left shorter than a
// drive root becomes the root of everything.
void RemoveLastComponent(std::u16string& r) {
  if (r.empty()) return;
  const std::size_t last = r.rfind(u'\\');
  std::size_t cut = 0;
  if (last != std::u16string::npos && last > 0) {
    const std::size_t previous = r.rfind(u'\\', last - 1);
    if (previous != std::u16string::npos) cut = previous + 1;
  }
  if (cut < 3) {
    r.clear();
  } else {
    r.resize(cut);
  }
}

// Appends one ordinary component; `follower` is '\' or ':'.
bool AppendComponent(std::u16string& r, std::u16string_view component, char16_t follower) {
  if (r.empty()) return false;  // nothing lies below the root of everything
  std::size_t length = component.size();
  while (length > 0 && (component[length - 1] == u' ' || component[length - 1] == u'.')) --length;
  if (length == 0 || length > kMaxComponentLength) return false;
  r.append(component.substr(0, length));
  r.push_back(follower);
  return true;
}

bool IsUncWord(std::u16string_view n, std::size_t at) noexcept {
  return n.size() >= at + 3 && AsciiUpper(n[at]) == u'U' && AsciiUpper(n[at + 1]) == u'N' &&
         AsciiUpper(n[at + 2]) == u'C';
}

}  // namespace

std::size_t RootLength(std::u16string_view path) noexcept {
  if (path.size() <= 2) return 0;
  if (path[0] != u'\\') return 3;
  int found = 0;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == u'\\' && ++found == 3) return i + 1;
  }
  return 0;
}

bool ResolvePath(std::u16string_view base, std::u16string& out, const char16_t* name,
                 bool allow_streams) {
  if (name == nullptr || name[0] == u'\0') return false;
  const std::u16string_view n(name);
  auto at = [&n](std::size_t i) -> char16_t { return i < n.size() ? n[i] : u'\0'; };

  // The prefix decides where the result starts and where scanning begins.
  std::u16string r;
  std::size_t pos = 0;
  if (IsSeparator(at(0)) && !IsSeparator(at(1))) {
    const std::size_t root = RootLength(base);
    if (root == 0) return false;
    r.assign(base.substr(0, root));
    pos = 1;
  } else if (IsSeparator(at(0))) {
    // "\\?\" and "\\.\" both lead into the system's device namespace; a
    // "\\.\" name is taken as the same long form, never as a server ".".
    if ((at(2) != u'?' && at(2) != u'.') || !IsSeparator(at(3))) {
      r = u"\\\\";
      pos = 2;
    } else if (IsUncWord(n, 4) && IsSeparator(at(7))) {
      r = u"\\\\";
      pos = 8;
    } else if (IsAsciiLetter(at(4)) && at(5) == u':' && (IsSeparator(at(6)) || at(6) == u'\0')) {
      r.push_back(AsciiUpper(at(4)));
      r.append(u":\\");
      pos = 6;
    } else {
      r = u"\\\\?\\";
      pos = 4;
    }
  } else if (IsAsciiLetter(at(0)) && at(1) == u':') {
    const char16_t letter = AsciiUpper(at(0));
    if (!IsSeparator(at(2)) && !base.empty() && base[0] == letter) {
      r.assign(base);  // "D:x" continues in the base when it is on drive D
    } else {
      r.push_back(letter);
      r.append(u":\\");
    }
    pos = 2;
  } else {
    r.assign(base);
  }

  bool streamed = false;
  std::size_t i = pos;
  for (;;) {
    const std::size_t start = i;
    while (i < n.size() && !IsSeparator(n[i]) && n[i] != u':') {
      if (IsForbiddenInPath(n[i])) return false;
      ++i;
    }
    const std::u16string_view component = n.substr(start, i - start);
    const char16_t end = at(i);
    const bool more = end != u'\0' && i + 1 < n.size();

    if (end == u':') {
      if (streamed || !allow_streams) return false;
      streamed = true;
      if (RootLength(r) == 0) return false;
      if (!component.empty()) {
        if (!AppendComponent(r, component, more ? u':' : u'\\')) return false;
      } else {
        // A stream of the directory reached so far.
        if (!more) return false;
        if (r.size() > RootLength(r) && r.back() == u'\\') r.pop_back();
        r.push_back(u':');
      }
    } else {
      if (end != u'\0' && streamed) return false;  // a stream name has no sub-path
      if (component.empty()) {
        // repeated separators collapse
      } else if (!streamed && component == u".") {
      } else if (!streamed && component == u"..") {
        RemoveLastComponent(r);
      } else if (!AppendComponent(r, component, u'\\')) {
        return false;
      }
    }
    if (end == u'\0') break;
    ++i;
  }

  if (r == u"\\\\" || r == u"\\\\?\\") return false;
  out = std::move(r);
  return true;
}

bool IsValidFileName(const char16_t* name, bool drive_form) noexcept {
  if (name == nullptr) return false;
  if (drive_form) return IsAsciiLetter(name[0]) && name[1] == u':' && name[2] == u'\0';
  bool meaningful = false;
  for (const char16_t* p = name; *p != u'\0'; ++p) {
    const char16_t c = *p;
    if (IsForbiddenInPath(c) || c == u'/' || c == u':' || c == u'\\') return false;
    if (c != u' ' && c != u'.') meaningful = true;
  }
  return meaningful;
}
