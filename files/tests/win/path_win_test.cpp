// ResolvePath against the system's own resolution. With the process's
// current directory as the base, every name of the table must resolve to
// what GetFullPathNameW makes of it, once the system's answer is brought to
// canonical form: the "\\?\" and "\\.\" prefixes of drive and UNC paths
// dropped ("\\?\C:\x" is C:\x, "\\?\UNC\s\h" is \\s\h), any other "\\.\"
// spelled "\\?\", the drive letter in upper case, and the trailing '\' of
// the framework's directory paths set aside.
//
// Left out of the table, because the framework answers otherwise by design:
// - ".." above a drive root or a share ("C:\..", "\\s\h\..", "\..\x",
//   "\\?\C:\a\..\..\b"): the framework climbs into the drive list or to
//   the server, where the system stays at the root;
// - components that end in blanks or dots before the last one ("a. \b"),
//   and components of dots only ("...", "x\...\y"): the framework trims
//   every component and refuses one left empty, the system trims only the
//   last one and keeps the rest;
// - the characters " * < > ? | and control characters, which the framework
//   refuses and GetFullPathNameW does not look at; stream names, whose ':'
//   the system takes as an ordinary character;
// - "\\?\C:" without anything after it, for the system the volume device,
//   for the framework the drive's root; and the bare "\\", "\\?\", "\\.\",
//   which the framework refuses.
// Where Wine 8 strays from the documented answer:
// - a drive-relative name of a drive other than the current one ("e:",
//   "a:b"): Windows builds the answer from that drive's current directory
//   or root with the letter in upper case, Wine keeps the letter as given.
//   These are compared with the letter folded, which is what the canonical
//   form does anyway.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "files/path.h"
#include "win_dir_fixture.h"

namespace {

using namespace fwtest;

bool StartsWithIgnoringCase(const std::u16string& s, const char16_t* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != u'\0'; ++i) {
    if (i >= s.size()) return false;
    char16_t a = s[i], b = prefix[i];
    if (a >= u'a' && a <= u'z') a = char16_t(a - 32);
    if (b >= u'a' && b <= u'z') b = char16_t(b - 32);
    if (a != b) return false;
  }
  return true;
}

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// GetFullPathNameW's answer in the framework's spelling.
std::u16string SystemAnswer(const std::u16string& name) {
  std::vector<wchar_t> buffer(40000);
  const DWORD n = GetFullPathNameW(W(name), DWORD(buffer.size()), buffer.data(), nullptr);
  if (n == 0 || n >= buffer.size()) return u"<GetFullPathNameW failed>";
  std::u16string g(U(buffer.data()), n);
  const bool device = StartsWithIgnoringCase(g, u"\\\\?\\") || StartsWithIgnoringCase(g, u"\\\\.\\");
  if (device && (StartsWithIgnoringCase(g.substr(4), u"UNC\\"))) {
    g = u"\\\\" + g.substr(8);
  } else if (device && g.size() >= 6 && IsLetter(g[4]) && g[5] == u':') {
    g.erase(0, 4);
  } else if (device) {
    g[2] = u'?';
  }
  if (g.size() >= 2 && g[1] == u':' && g[0] >= u'a' && g[0] <= u'z') g[0] = char16_t(g[0] - 32);
  if (g.size() > 3 && g.back() == u'\\') g.pop_back();
  return g;
}

// Printable text of a path; long runs of one letter are counted, not shown.
std::string Shown(const std::u16string& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size();) {
    std::size_t run = 1;
    while (i + run < path.size() && path[i + run] == path[i]) ++run;
    const char c = path[i] < 0x80 ? char(path[i]) : '?';
    if (run > 8) {
      out += c + std::string("{") + std::to_string(run) + "}";
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

std::u16string WithoutTrailingSeparator(std::u16string r) {
  if (r.size() > 3 && r.back() == u'\\') r.pop_back();
  return r;
}

// The current directory for one test, put back afterwards.
class CurrentDirectoryScope {
 public:
  explicit CurrentDirectoryScope(const std::u16string& path) {
    saved_.resize(MAX_PATH + 1);
    saved_.resize(GetCurrentDirectoryW(MAX_PATH + 1, saved_.data()));
    ok_ = SetCurrentDirectoryW(W(path)) != FALSE;
  }
  ~CurrentDirectoryScope() {
    // Wine reports a host folder outside its drives as "unix\..." and takes
    // that name back only in its long form.
    if (!SetCurrentDirectoryW(saved_.c_str())) SetCurrentDirectoryW((L"\\\\?\\" + saved_).c_str());
  }
  bool ok() const { return ok_; }

 private:
  std::wstring saved_;
  bool ok_ = false;
};

TEST(ResolvePathAgainstTheSystem, AgreesWithGetFullPathName) {
  ScratchFolder scratch(u"fullpath");
  const std::u16string cwd = scratch / u"cur\\";
  ASSERT_TRUE(CreateDirectoryW(W(cwd), nullptr));
  struct RemovedAtEnd {
    std::u16string path;
    ~RemovedAtEnd() { RemoveDirectoryW(W(path)); }
  } cur{cwd};
  CurrentDirectoryScope scope(cwd);
  ASSERT_TRUE(scope.ok());
  // The base is what the framework makes of the current directory.
  std::u16string base;
  ASSERT_TRUE(ResolvePath(u"", base, cwd.c_str(), false));
  ASSERT_EQ(base, cwd);
  ASSERT_NE(cwd[0], u'D');  // "D:x" below must name another drive

  const std::u16string a(200, u'a'), b(255, u'b'), c(120, u'c');
  const std::vector<std::u16string> names = {
      // Relative to the current directory, with "." and "..".
      u"x", u"x\\y\\", u"x/y//z", u".\\x", u"x\\.\\y\\..\\z", u".", u"..", u"..\\c",
      u"x\\..\\..\\..\\y",
      // The last component loses its trailing blanks and dots.
      u"a. ", u"x\\y.. . ", u"x\\y\\.",
      // Rooted on the current drive.
      u"\\x", u"/x/y/", u"\\x\\..\\y",
      // Drive paths, drive-relative names of the current and another drive.
      u"C:/a//b/.", u"C:\\a\\..", u"c:\\x", u"C:x", u"c:..\\x", u"C:.", u"D:x", u"e:",
      u"a:b", u"C:\\a\\b. . ", u"C:\\a\\", u"C:\\a\\\\",
      // UNC.
      u"\\\\server", u"\\\\server\\share", u"\\\\server\\share\\", u"\\\\server\\share\\a\\..\\b",
      u"//server/share/d/", u"\\\\server\\share\\a. ",
      // Long forms.
      u"\\\\?\\C:\\", u"\\\\?\\c:\\x", u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\a\\.\\b\\",
      u"\\\\?\\UNC\\server\\share", u"\\\\?\\unc\\server\\share\\d",
      u"\\\\?\\UNC\\server\\share\\a\\..\\b", u"\\\\?\\Volume{1}\\x",
      u"\\\\?\\Volume{1}\\x\\..\\y", u"\\\\?\\UNC",
      // Device forms.
      u"\\\\.\\C:\\a\\..\\b", u"\\\\.\\pipe\\a\\..\\b", u"\\\\.\\UNC\\srv\\share\\x",
      u"\\\\.\\PhysicalDrive0",
      // Beyond 260 characters, relative and through the long forms.
      a + u"\\" + b + u"\\" + c, a + u"\\" + b + u"\\..\\" + c + u"\\",
      u"C:" + a + u"\\" + b, u"\\" + a + u"\\" + b,
      u"\\\\?\\C:\\" + a + u"\\" + b + u"\\" + c,
      u"\\\\?\\C:\\" + a + u"\\.\\" + b + u"\\..\\" + c,
      u"\\\\?\\UNC\\srv\\share\\" + a + u"\\" + b,
      u"\\\\srv\\share\\" + a + u"\\" + b + u"\\" + c,
  };
  for (const std::u16string& name : names) {
    SCOPED_TRACE(::testing::Message() << "name " << Shown(name) << " (" << name.size()
                                      << " characters)");
    std::u16string resolved;
    if (!ResolvePath(base, resolved, name.c_str(), false)) {
      ADD_FAILURE() << "refused; the system gives " << Shown(SystemAnswer(name));
      continue;
    }
    EXPECT_EQ(resolved.back(), u'\\');
    EXPECT_EQ(Shown(WithoutTrailingSeparator(resolved)), Shown(SystemAnswer(name)));
  }
}

}  // namespace
