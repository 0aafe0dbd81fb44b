#include "files/win/nt_dir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/reparse_data.h"
#include "files/win/helpers.h"
#include "files/win/win_dir.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;

// Wine 8 answers FSCTL_SET_REPARSE_POINT with ERROR_NOT_SUPPORTED; the
// junction tests then have nothing to look at.
bool ReparsePointsUnsupported(const Common::Error& e) {
  return Function(e) == "FSCTL_SET_REPARSE_POINT" && CauseCode(e) == 0x80070032u;
}

std::unique_ptr<winnt_dir> Dir(const std::u16string& path) {
  return std::make_unique<winnt_dir>(path);
}

TEST(NtDirTest, NtPathForms) {
  struct Case {
    std::u16string dir, name, nt;
  } cases[] = {
      {u"C:\\data\\", u"a", u"\\\\?\\C:\\data\\a"},
      {u"\\\\server\\share\\", u"a", u"\\\\?\\UNC\\server\\share\\a"},
      {u"C:\\data\\", u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
      {u"C:\\data\\", u"..\\b", u"\\\\?\\C:\\b"},
      {u"\\\\?\\Volume{0a}\\", u"d", u"\\\\?\\Volume{0a}\\d"},
  };
  for (const Case& c : cases) {
    std::u16string out;
    ASSERT_TRUE(Dir(c.dir)->nt_path(c.name.c_str(), false, out));
    EXPECT_EQ(out, c.nt);
  }
  std::u16string out;
  ASSERT_TRUE(Dir(u"C:\\")->nt_dir_path(out));
  EXPECT_EQ(out, u"\\\\?\\C:\\");
  EXPECT_FALSE(Dir(u"C:\\")->nt_path(u"a|b", false, out));
  EXPECT_TRUE(IsShareRootNtPath(u"\\\\?\\UNC\\server\\share"));
  EXPECT_TRUE(IsShareRootNtPath(u"\\\\?\\UNC\\server\\"));
  EXPECT_FALSE(IsShareRootNtPath(u"\\\\?\\UNC\\server\\share\\dir"));
  EXPECT_FALSE(IsShareRootNtPath(u"\\\\?\\C:\\server\\share"));
}

// The framework's own round: every step through the directory object, each
// leaving NoError, the files' bytes checked beside it.
TEST(NtDirTest, CreateWriteReadMoveLinkListDelete) {
  Scratch s(u"round");
  win32_dir* d = s.dir();
  d->create_dir(u"sub", nullptr);
  ASSERT_TRUE(d->is_ok());
  std::unique_ptr<rio_file> f(d->create_file(u"sub\\data.bin", false, nullptr));
  ASSERT_NE(f, nullptr);
  f->write_exact("payload", 7);
  ASSERT_TRUE(f->is_ok());
  f.reset();
  std::unique_ptr<i_file> in(d->open_file(u"sub\\data.bin", false));
  ASSERT_NE(in, nullptr);
  char back[16] = {};
  in->read_exact(back, 7);
  EXPECT_TRUE(in->is_ok());
  EXPECT_EQ(std::string(back, 7), "payload");
  in.reset();

  d->move(u"sub\\data.bin", u"moved.bin");
  ASSERT_TRUE(d->is_ok());
  EXPECT_FALSE(Exists(s / u"sub\\data.bin"));
  d->create_hard_link(u"link.bin", u"moved.bin");
  ASSERT_TRUE(d->is_ok());
  EXPECT_EQ(ReadAll(s / u"link.bin"), "payload");

  std::unique_ptr<i_dir::iterator> it(d->list());
  ASSERT_NE(it, nullptr);
  EXPECT_TRUE(d->is_ok());
  std::map<std::u16string, std::uint32_t> types;
  std::map<std::u16string, std::uint64_t> indexes;
  for (; it->is_ok(); it->next()) {
    const std::u16string name = it->name();
    types[name] = it->object_type();
    if (types[name] == kObjectFile) {
      EXPECT_EQ(it->link_count(), 2u) << std::string(name.begin(), name.end());
      EXPECT_EQ(it->size(), 7u);
      indexes[name] = it->file_index();
    }
  }
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);
  const std::map<std::u16string, std::uint32_t> expected = {
      {u"link.bin", kObjectFile}, {u"moved.bin", kObjectFile}, {u"sub", kObjectDirectory}};
  EXPECT_EQ(types, expected);
  EXPECT_EQ(indexes[u"link.bin"], indexes[u"moved.bin"]);
  it.reset();

  for (const char16_t* name : {u"link.bin", u"moved.bin"}) {
    d->delete_file(name);
    EXPECT_TRUE(d->is_ok());
  }
  d->remove_dir(u"sub");
  EXPECT_TRUE(d->is_ok());
  std::unique_ptr<i_dir::iterator> empty(d->list());
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->error().Code(), kFileEndOfFile);  // an empty listing
  EXPECT_TRUE(d->is_ok());
}

TEST(NtDirTest, DeletingAMissingFileNamesTheCallThePathAndTheCause) {
  Scratch s(u"missing");
  win32_dir* d = s.dir();
  d->delete_file(u"absent.txt");
  const Common::Error& e = d->error();
  EXPECT_EQ(e.Code(), kFileNotFound);
  EXPECT_EQ(Function(e), "DeleteFileW");
  EXPECT_EQ(FileName(e), u"\\\\?\\" + (s / u"absent.txt"));
  EXPECT_EQ(CauseCode(e), 0x80070002u);
  EXPECT_EQ(e.Record()->moduleId, kNtDirModuleId);

  // The directory holds the status of its last call only.
  MakeFile(s / u"present.txt", "x");
  d->delete_file(u"present.txt");
  EXPECT_TRUE(d->error().IsNull());
}

TEST(NtDirTest, FailedCallsCarryTheirApiNameAndMappedCode) {
  Scratch s(u"fails");
  win32_dir* d = s.dir();
  CreateDirectoryW(W(s / u"there"), nullptr);
  struct Case {
    const char* api;
    std::uint32_t code;
    std::u16string path;  // relative to the scratch folder
    std::function<void()> call;
  } cases[] = {
      {"RemoveDirectoryW", kFileNotFound, u"gone", [&] { d->remove_dir(u"gone"); }},
      {"CreateDirectoryW", kFileAlreadyExists, u"there", [&] { d->create_dir(u"there", nullptr); }},
      {"MoveFileW", kFileNotFound, u"gone", [&] { d->move(u"gone", u"else"); }},
      {"SetFileAttributesW", kFileNotFound, u"gone",
       [&] { d->set_attributes(u"gone", FILE_ATTRIBUTE_HIDDEN); }},
      {"CreateHardLinkW", kFileNotFound, u"new", [&] { d->create_hard_link(u"new", u"gone"); }},
      {"OpenFileW", kFileNotFound, u"gone", [&] { delete d->open_file(u"gone", false); }},
      {"CreateFileW", kFileCreateError, u"no\\such\\f",
       [&] { delete d->create_file(u"no\\such\\f", false, nullptr); }},
  };
  for (const Case& c : cases) {
    d->create_dir(u"fresh-ok", nullptr);  // a success first: the failure replaces it
    d->remove_dir(u"fresh-ok");
    ASSERT_TRUE(d->is_ok());
    c.call();
    EXPECT_EQ(d->error().Code(), c.code) << c.api;
    EXPECT_EQ(Function(d->error()), c.api);
    EXPECT_EQ(FileName(d->error()), u"\\\\?\\" + (s / c.path)) << c.api;
  }
}

TEST(NtDirTest, NamesThatDoNotResolveFailBeforeAnyCall) {
  Scratch s(u"names");
  win32_dir* d = s.dir();
  struct Case {
    const char* what;
    std::uint32_t code;
    std::function<void()> call;
  } cases[] = {
      {"delete", kFileDeleteError, [&] { d->delete_file(u"a|b"); }},
      {"remove", kFileDeleteError, [&] { d->remove_dir(u"a|b"); }},
      {"create", kFileCreateError, [&] { d->create_dir(u"a|b", nullptr); }},
      {"link", kFileCreateError, [&] { d->create_hard_link(u"a|b", u"x"); }},
      {"junction", kFileCreateError, [&] { d->create_junction(u"j", u"a|b", 0, 0); }},
      {"attributes", kFileCreateError, [&] { d->set_attributes(u"a|b", 0); }},
      {"find", kFileOpenError, [&] { EXPECT_EQ(d->find(u"*"), nullptr); }},
      {"find path", kFileOpenError, [&] { EXPECT_EQ(d->find(u"a\\b"), nullptr); }},
  };
  for (const Case& c : cases) {
    c.call();
    EXPECT_EQ(d->error().Code(), c.code) << c.what;
    EXPECT_EQ(Function(d->error()), "") << c.what;
  }
  d->move(u"a|b", u"c");
  EXPECT_EQ(d->error().Code(), kFileRenameError);
  EXPECT_EQ(CauseCode(d->error()), 0x8007007Bu);
  EXPECT_FALSE(Exists(s / u"j"));
}

TEST(NtDirTest, FindOfAMissingNameIsNotFound) {
  Scratch s(u"find");
  win32_dir* d = s.dir();
  MakeFile(s / u"here.txt", "abc");
  std::unique_ptr<i_dir::iterator> it(d->find(u"here.txt"));
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(std::u16string(it->name()), u"here.txt");
  it->next();
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);  // an exact name finds one entry
  EXPECT_EQ(d->find(u"nothere.txt"), nullptr);
  EXPECT_EQ(d->error().Code(), kFileNotFound);
  EXPECT_EQ(Function(d->error()), "FindFirstFileW");
}

TEST(NtDirTest, FindSelfOfAMissingDirectoryFails) {
  Scratch s(u"self");
  std::unique_ptr<win32_dir> missing(s.dir()->open_dir(u"nope"));
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->find_self(), nullptr);
  EXPECT_EQ(missing->error().Code(), kFileNotFound);
  std::unique_ptr<i_dir::iterator> self(s.dir()->find_self());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->object_type(), kObjectDirectory);
}

TEST(NtDirTest, RootListsDrivesAndFindsThem) {
  win32_dir* root = GetRootDir();
  std::unique_ptr<i_dir::iterator> drives(root->list());
  ASSERT_NE(drives, nullptr);
  bool sawC = false;
  for (; drives->is_ok(); drives->next()) sawC |= std::u16string(drives->name()) == u"C:";
  EXPECT_TRUE(sawC);
  std::unique_ptr<i_dir::iterator> c(root->find(u"C:"));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::u16string(c->name()), u"C:");
  std::unique_ptr<win32_dir> cRoot(root->open_dir(u"C:\\"));
  std::unique_ptr<i_dir::iterator> self(cRoot->find_self());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(std::u16string(self->name()), u"C:");
  std::unique_ptr<i_dir::iterator> rootSelf(root->find_self());
  ASSERT_NE(rootSelf, nullptr);
  EXPECT_EQ(rootSelf->object_type(), kObjectComputer);
}

// Names far beyond MAX_PATH work because every call takes the long form.
TEST(NtDirTest, PathsLongerThanMaxPath) {
  Scratch s(u"long");
  win32_dir* d = s.dir();
  std::u16string rel;
  for (int i = 0; i < 6; ++i) {
    if (!rel.empty()) rel += u'\\';
    rel += std::u16string(60, char16_t(u'a' + i));
    d->create_dir(rel.c_str(), nullptr);
    ASSERT_TRUE(d->is_ok()) << i;
  }
  ASSERT_GT((s / rel).size(), 300u);
  const std::u16string file = rel + u"\\f.txt";
  delete d->create_file(file.c_str(), false, nullptr);
  ASSERT_TRUE(d->is_ok());
  std::unique_ptr<win32_dir> deep(d->open_dir(rel.c_str()));
  std::unique_ptr<i_dir::iterator> it(deep->list());
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(std::u16string(it->name()), u"f.txt");
  it.reset();
  d->delete_file(file.c_str());
  EXPECT_TRUE(d->is_ok());
}

TEST(NtDirTest, HardLinkThroughTheNativeRoute) {
  Scratch s(u"ntlink");
  MakeFile(s / u"orig.txt", "native");
  nt_dir_detail::gForceNtHardLinkRoute = [] { return true; };
  s.dir()->create_hard_link(u"copy.txt", u"orig.txt");
  nt_dir_detail::gForceNtHardLinkRoute = nullptr;
  EXPECT_TRUE(s.dir()->is_ok());
  EXPECT_EQ(ReadAll(s / u"copy.txt"), "native");
  std::unique_ptr<i_dir::iterator> it(s.dir()->find(u"copy.txt"));
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->link_count(), 2u);
  // A failing native route is a plain creation error.
  nt_dir_detail::gForceNtHardLinkRoute = [] { return true; };
  s.dir()->create_hard_link(u"again.txt", u"absent.txt");
  nt_dir_detail::gForceNtHardLinkRoute = nullptr;
  EXPECT_EQ(s.dir()->error().Code(), kFileCreateError);
  EXPECT_FALSE(Exists(s / u"again.txt"));
}

TEST(NtDirTest, JunctionIsListedAndLeadsToItsTarget) {
  Scratch s(u"junction");
  win32_dir* d = s.dir();
  CreateDirectoryW(W(s / u"target"), nullptr);
  MakeFile(s / u"target\\inside.txt", "kept");
  d->create_junction(u"j", (s / u"target").c_str(), 0, 0);
  if (ReparsePointsUnsupported(d->error())) {
    EXPECT_FALSE(Exists(s / u"j"));  // the directory the call made went again
    GTEST_SKIP() << "no reparse points on this system";
  }
  ASSERT_TRUE(d->is_ok()) << Function(d->error()) << std::hex << " cause " << CauseCode(d->error());
  EXPECT_EQ(ReadAll(s / u"j\\inside.txt"), "kept");

  std::unique_ptr<i_dir::iterator> it(d->find(u"j"));
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->object_type(), kObjectJunction);
  const char16_t* target = it->link_target();
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(std::u16string(target), s / u"target");
  EXPECT_EQ(it->link_target(), target);  // read once, then cached

  // follow_link: the target's parent and the target's name.
  std::unique_ptr<file_identifier> id(it->id());
  dir_entry_pair where = d->follow_link(id.get(), 0);
  std::unique_ptr<i_dir> parent(where.first);
  std::unique_ptr<file_identifier> entry(where.second);
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(std::u16string(parent->path()), s.path());
  EXPECT_EQ(std::u16string(static_cast<the_identifier*>(entry.get())->name()), u"target");

  // A plain file has no target, and the cursor says why.
  std::unique_ptr<i_dir::iterator> file(d->find(u"target"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->link_target(), nullptr);
  EXPECT_EQ(file->error().Code(), kFileOpenError);
}

TEST(NtDirTest, JunctionOntoADriveRoot) {
  Scratch s(u"jroot");
  s.dir()->create_junction(u"c", u"C:\\", 0, 0);
  if (ReparsePointsUnsupported(s.dir()->error())) GTEST_SKIP() << "no reparse points on this system";
  ASSERT_TRUE(s.dir()->is_ok());
  EXPECT_TRUE(Exists(s / u"c\\windows"));
  std::unique_ptr<i_dir::iterator> it(s.dir()->find(u"c"));
  ASSERT_NE(it, nullptr);
  const char16_t* target = it->link_target();
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(std::u16string(target), u"C:\\");
}

TEST(NtDirTest, OversizedJunctionIsRefusedBeforeAnythingIsMade) {
  Scratch s(u"jlong");
  const std::u16string target = u"C:\\" + std::u16string(250, u't') + u"\\" +
                                std::u16string(250, u'u') + u"\\" + std::u16string(250, u'v');
  std::u16string deep;
  for (int i = 0; i < 17; ++i) deep += u"\\" + std::u16string(250, char16_t(u'a' + i));
  s.dir()->create_junction(u"j", (u"C:" + deep).c_str(), 0, 0);
  EXPECT_EQ(s.dir()->error().Code(), kFileCreateError);
  EXPECT_EQ(Function(s.dir()->error()), "");
  EXPECT_FALSE(Exists(s / u"j"));
}

// An existing directory given as the junction is used as it is; when the
// system refuses the reparse data, the directory and its contents stay.
TEST(NtDirTest, JunctionOverAnExistingDirectory) {
  Scratch s(u"jexist");
  CreateDirectoryW(W(s / u"existing"), nullptr);
  s.dir()->create_junction(u"existing", u"C:\\windows", 0, 0);
  if (s.dir()->is_ok()) {
    std::unique_ptr<i_dir::iterator> it(s.dir()->find(u"existing"));
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(it->object_type(), kObjectJunction);
  } else {
    EXPECT_EQ(Function(s.dir()->error()), "FSCTL_SET_REPARSE_POINT");
    EXPECT_TRUE(Exists(s / u"existing"));
  }
}

// System calls that fail where a test wants them to.
class FailingJunctionCalls : public nt_dir_detail::JunctionCalls {
 public:
  bool failOpen = false;
  int removes = 0;
  HANDLE OpenDirectory(LPCWSTR path) override {
    if (!failOpen) return JunctionCalls::OpenDirectory(path);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  BOOL SetReparsePoint(HANDLE, const void*, DWORD) override {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BOOL RemoveDirectory(LPCWSTR path) override {
    ++removes;
    return JunctionCalls::RemoveDirectory(path);
  }
};

// A junction that cannot be made removes the directory it made itself, but
// never one that was there before the call.
TEST(NtDirTest, FailedJunctionRemovesOnlyWhatItCreated) {
  Scratch s(u"jfail");
  std::vector<std::uint8_t> data;
  ASSERT_EQ(BuildMountPointData(u"\\\\?\\C:\\windows", u"C:\\windows\\", data), 0u);
  for (bool failOpen : {false, true}) {
    const char* step = failOpen ? "OpenDirectoryW" : "FSCTL_SET_REPARSE_POINT";
    FailingJunctionCalls calls;
    calls.failOpen = failOpen;
    CreateDirectoryW(W(s / u"existing"), nullptr);
    Common::Error e = nt_dir_detail::MakeJunction(calls, u"\\\\?\\" + (s / u"existing"), data);
    EXPECT_EQ(Function(e), step);
    EXPECT_TRUE(Exists(s / u"existing")) << step;
    EXPECT_EQ(calls.removes, 0) << step;

    e = nt_dir_detail::MakeJunction(calls, u"\\\\?\\" + (s / u"new"), data);
    EXPECT_EQ(Function(e), step);
    EXPECT_EQ(FileName(e), u"\\\\?\\" + (s / u"new"));
    EXPECT_FALSE(Exists(s / u"new")) << step;
    EXPECT_EQ(calls.removes, 1) << step;
    RemoveDirectoryW(W(s / u"existing"));
  }
}

TEST(NtDirTest, CompareNamesAndIdentifiersIgnoreCase) {
  winnt_dir d(u"C:\\");
  EXPECT_TRUE(d.compare_names(u"ABC", u"abc", 3));
  EXPECT_FALSE(d.compare_names(u"abc", u"abd", 3));
  EXPECT_TRUE(d.compare_names(u"abcX", u"ABCy", 3));
  the_identifier a(u"Readme", nullptr, 0), b(u"README", nullptr, 0), c(u"zebra", nullptr, 0);
  EXPECT_EQ(d.compare_ids(&a, &b), 0);
  EXPECT_EQ(d.compare_ids(&a, &c), -1);
  EXPECT_EQ(d.compare_ids(&c, &a), 1);
}

TEST(NtDirTest, TemporaryFolderIsTheSystemsWithATrailingSeparator) {
  std::unique_ptr<i_dir> temp(GetRootDir()->open_special(kObjectTempDirectory));
  ASSERT_NE(temp, nullptr);
  wchar_t buffer[MAX_PATH + 1];
  GetTempPathW(MAX_PATH, buffer);
  std::u16string expected = U(buffer);
  if (expected.back() != u'\\') expected += u'\\';
  EXPECT_EQ(CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, W(expected), -1,
                           reinterpret_cast<LPCWSTR>(temp->path()), -1),
            CSTR_EQUAL);
}

TEST(NtDirTest, OwnerIsReadOnceAsSidText) {
  Scratch s(u"owner");
  MakeFile(s / u"f.txt", "x");
  std::unique_ptr<i_dir::iterator> it(s.dir()->find(u"f.txt"));
  ASSERT_NE(it, nullptr);
  const auto* owner = static_cast<const char16_t*>(it->security());
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(std::u16string(owner).compare(0, 4, u"S-1-"), 0);
  EXPECT_EQ(it->security(), owner);
}

TEST(NtDirTest, SecurityDataOfAnEntryIsSerialized) {
  Scratch s(u"grsq");
  MakeFile(s / u"f.txt", "x");
  std::unique_ptr<i_dir::iterator> it(s.dir()->find(u"f.txt"));
  ASSERT_NE(it, nullptr);
  grsq_request request;
  it->control(&request);
  ASSERT_NE(request.data, nullptr);
  EXPECT_GE(request.size, 16u);
  // Four little-endian counts, each followed by its bytes, add up to the size.
  const auto* p = static_cast<const std::uint8_t*>(request.data);
  std::uint32_t at = 0;
  for (int part = 0; part < 4; ++part) {
    ASSERT_LE(at + 4, request.size);
    const std::uint32_t n = p[at] | p[at + 1] << 8 | p[at + 2] << 16 | p[at + 3] << 24;
    at += 4 + n;
  }
  EXPECT_EQ(at, request.size);
  std::free(request.data);
}

TEST(NtDirTest, ListingAMissingDirectoryFailsInTheDirectory) {
  Scratch s(u"nolist");
  std::unique_ptr<win32_dir> missing(s.dir()->open_dir(u"absent"));
  EXPECT_EQ(missing->list(), nullptr);
  EXPECT_EQ(Function(missing->error()), "FindFirstFileW");
  EXPECT_EQ(FileName(missing->error()), u"\\\\?\\" + (s / u"absent\\*"));
  // The root's find of a letter without a drive ends at once.
  EXPECT_EQ(GetRootDir()->find(u"Q:"), nullptr);
  EXPECT_EQ(GetRootDir()->error().Code(), kFileEndOfFile);
}

TEST(NtDirTest, HandleErrorsNameTheKindOfOpen) {
  Scratch s(u"handles");
  winnt_dir* d = static_cast<winnt_dir*>(s.dir());
  struct Case {
    DWORD disposition, flags;
    const char* api;
  } cases[] = {
      {OPEN_EXISTING, 0, "OpenFileW"},
      {CREATE_ALWAYS, 0, "CreateFileW"},
      {CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING, "CreateFileNoCacheW"},
  };
  for (const Case& c : cases) {
    d->create_dir(u"ok", nullptr);
    d->remove_dir(u"ok");
    EXPECT_EQ(d->create_handle(u"no\\f", nullptr, GENERIC_READ, 0, c.disposition, c.flags),
              nullptr);
    EXPECT_EQ(Function(d->error()), c.api);
  }
  HANDLE watch = d->change_handle();
  ASSERT_NE(watch, nullptr);
  FindCloseChangeNotification(watch);
  std::unique_ptr<win32_dir> missing(d->open_dir(u"absent"));
  EXPECT_EQ(static_cast<winnt_dir*>(missing.get())->change_handle(), nullptr);
  EXPECT_EQ(Function(missing->error()), "FindFirstChangeNotificationW");
}

// The provider's attributes: acquired once, checked, used, released once.
struct ProviderLog {
  int acquired = 0, released = 0;
  bool give = true;
  int refusal = 0;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};
ProviderLog gProvider;
SecurityAttributesProvider MakeProvider() {
  return {nullptr,
          [](const SecurityAttributesProvider*) -> void* {
            ++gProvider.acquired;
            return gProvider.give ? &gProvider.attributes : nullptr;
          },
          [](void*) { return gProvider.refusal; },
          [](void*) { ++gProvider.released; }};
}

TEST(NtDirTest, SecurityProviderContract) {
  Scratch s(u"provider");
  const SecurityAttributesProvider provider = MakeProvider();
  struct Case {
    bool give;
    int refusal;
    std::uint32_t code;
    const char* function;
    int releases;
  } cases[] = {
      {true, 0, 0, "", 1},
      {false, 0, kFileOutOfMemory, "", 0},
      {true, ERROR_INVALID_SECURITY_DESCR, kFileAccessDenied, "GetSecurityAttributes", 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    gProvider = ProviderLog{};
    gProvider.give = c.give;
    gProvider.refusal = c.refusal;
    const std::u16string name = u"d" + std::u16string(1, char16_t(u'0' + n++));
    s.dir()->create_dir(name.c_str(), &provider);
    EXPECT_EQ(s.dir()->error().Code(), c.code) << name.size();
    EXPECT_EQ(Function(s.dir()->error()), c.function);
    EXPECT_EQ(gProvider.acquired, 1);
    EXPECT_EQ(gProvider.released, c.releases);
    EXPECT_EQ(Exists(s / name), c.code == 0);
    if (c.refusal != 0) {
      EXPECT_EQ(CauseCode(s.dir()->error()), 0x80070000u | std::uint32_t(c.refusal));
    }
  }
}

TEST(NtDirTest, ImpersonatedMoveBetweenLocalAndNetworkIsRefused) {
  Scratch s(u"impersonated");
  MakeFile(s / u"a.txt", "x");
  ASSERT_TRUE(ImpersonationToken.Set(0x1234));
  s.dir()->move(u"a.txt", u"\\\\server\\share\\b.txt");
  ImpersonationToken.Clear();
  EXPECT_EQ(s.dir()->error().Code(), kFileAccessDenied);
  EXPECT_EQ(Function(s.dir()->error()), "");
  EXPECT_TRUE(Exists(s / u"a.txt"));
  // Without a token the move is attempted (and fails on the network).
  s.dir()->move(u"a.txt", u"\\\\server\\share\\b.txt");
  EXPECT_EQ(Function(s.dir()->error()), "MoveFileW");
}

}  // namespace
