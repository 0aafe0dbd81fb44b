// The shell's change notification for shell directories: notices sent with
// SHChangeNotify inside this process reach the callback on the hidden
// window's thread, held back per folder until rewatch.
//
// What Wine cannot show: its shell hears only notices sent with
// SHChangeNotify inside the process (not changes made by other processes or
// by the file system itself), and it passes a non-recursive watch only the
// notices that name the watched folder itself, not those of items inside
// it; so these tests send folder notices (SHCNE_UPDATEDIR).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/win/shell_dir.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;

constexpr DWORD kNoticeWait = 20000;  // keeps a broken build from hanging
constexpr DWORD kQuietWait = 700;

class Recorder : public ChangeWatchCallback {
 public:
  Recorder() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  void invoke(i_dir* directory) override {
    const char16_t* path = directory->path();
    paths.push_back(path != nullptr ? path : u"");
    threads.push_back(GetCurrentThreadId());
    if (rewatchFromCallback) directory->rewatch();
    ++count;
    SetEvent(event_);
  }
  bool wait(DWORD ms) { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }
  std::atomic<int> count{0};
  std::vector<std::u16string> paths;
  std::vector<DWORD> threads;
  bool rewatchFromCallback = false;

 protected:
  ~Recorder() override { CloseHandle(event_); }

 private:
  HANDLE event_;
};

struct RecorderRef {
  Recorder* r = new Recorder;
  ~RecorderRef() { r->release(); }
  Recorder* operator->() { return r; }
};

// A notice naming a folder by its item-id list. (Wine's path form builds a
// list for a folder notice that its own shell cannot bind again.)
void Notify(LONG event, i_dir& folder) {
  SHChangeNotify(event, SHCNF_IDLIST | SHCNF_FLUSH, folder.item_id_list(nullptr, false),
                 nullptr);
}

// The hidden window needs a display driver. A Wine prefix run without a
// display is given Wine's null driver, before the process makes its first
// window (user32 keeps its first choice for the process's lifetime): this
// runs while the test program starts.
const bool kDriverChosen = [] {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  if (!wine || GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0) return false;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0,
                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  if (RegQueryValueExW(key, L"Graphics", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    static const wchar_t kNull[] = L"null";
    RegSetValueExW(key, L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNull),
                   sizeof kNull);
  }
  RegCloseKey(key);
  return true;
}();

// A Wine session whose desktop came up before the null driver was chosen
// can make no window at all; the prefix then has the setting for the next
// session, and the tests say why they could not run.
class ShellNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    HWND probe = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                 nullptr, nullptr);
    if (probe == nullptr && kDriverChosen) {
      GTEST_SKIP() << "this Wine session has no display driver; the prefix now selects "
                      "Wine's null driver, which takes effect with the next session";
    }
    if (probe != nullptr) DestroyWindow(probe);
  }
};

TEST_F(ShellNotify, NoticesReachTheCallbackCoalescedUntilRewatch) {
  Scratch scratch(u"shell-notify");
  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  std::unique_ptr<i_dir> dir(root->open_dir(scratch.path().c_str()));
  ASSERT_NE(dir, nullptr);
  RecorderRef recorder;
  dir->watch(recorder.r);
  ASSERT_TRUE(dir->is_ok()) << std::hex << dir->error().Code() << " at "
                            << (dir->error().Record() ? dir->error().Record()->locationId : 0);

  Notify(SHCNE_UPDATEDIR, *dir);
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->paths.back(), scratch.path());
  EXPECT_NE(recorder->threads.back(), GetCurrentThreadId());

  // A second notice for the folder before rewatch is held back.
  Notify(SHCNE_UPDATEDIR, *dir);
  EXPECT_FALSE(recorder->wait(kQuietWait));
  EXPECT_EQ(recorder->count.load(), 1);

  dir->rewatch();
  Notify(SHCNE_UPDATEDIR, *dir);
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->count.load(), 2);

  // Re-armed from inside the callback, through the directory it was given.
  recorder->rewatchFromCallback = true;
  dir->rewatch();
  Notify(SHCNE_UPDATEDIR, *dir);
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  Notify(SHCNE_UPDATEDIR, *dir);
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->count.load(), 4);

  dir->watch(nullptr);
  EXPECT_TRUE(dir->is_ok());
  EXPECT_EQ(ShellNotificationRegistrationCount(), 0u);
}

TEST_F(ShellNotify, OneRegistrationAndMessagePerCallback) {
  Scratch scratch(u"shell-notify-reg");
  CreateDirectoryW(W(scratch / u"a"), nullptr);
  CreateDirectoryW(W(scratch / u"b"), nullptr);
  win32_shell_dir* root = GetShellRootDir();
  ASSERT_NE(root, nullptr);
  RecorderRef first, second;
  std::unique_ptr<i_dir> a(root->open_dir((scratch / u"a").c_str()));
  std::unique_ptr<i_dir> b(root->open_dir((scratch / u"b").c_str()));
  std::unique_ptr<i_dir> c(root->open_dir(scratch.path().c_str()));
  ASSERT_TRUE(a && b && c);
  a->watch(first.r);
  b->watch(first.r);
  c->watch(second.r);
  ASSERT_TRUE(a->is_ok() && b->is_ok() && c->is_ok());
  EXPECT_EQ(ShellNotificationRegistrationCount(), 2u);
  EXPECT_EQ(ShellNotificationMessage(first.r), 0x400u);
  EXPECT_EQ(ShellNotificationMessage(second.r), 0x401u);

  // The notice for b reaches the shared callback with b's path.
  Notify(SHCNE_UPDATEDIR, *b);
  ASSERT_TRUE(first->wait(kNoticeWait));
  EXPECT_EQ(first->paths.back(), scratch / u"b\\");

  a.reset();
  EXPECT_EQ(ShellNotificationRegistrationCount(), 2u);
  b.reset();
  EXPECT_EQ(ShellNotificationRegistrationCount(), 1u);
  EXPECT_EQ(ShellNotificationMessage(first.r), 0u);
  // The freed number is handed out again.
  RecorderRef third;
  std::unique_ptr<i_dir> d(root->open_dir((scratch / u"a").c_str()));
  d->watch(third.r);
  EXPECT_EQ(ShellNotificationMessage(third.r), 0x400u);
  c.reset();
  d.reset();
  EXPECT_EQ(ShellNotificationRegistrationCount(), 0u);
}

}  // namespace
