// Change watching under Wine's own change notifications: notices of files
// created, renamed and deleted reach the callback once per arming, one
// watcher thread serves 63 directories, and ending the last watch joins
// every thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/change_watch.h"
#include "nt_dir_test_support.h"

namespace {

using namespace ntdirtest;

// Generous bounds for things that happen at once: they only keep a broken
// build from hanging, they time nothing.
constexpr DWORD kNoticeWait = 20000;
constexpr DWORD kQuietWait = 700;

class Recorder : public ChangeWatchCallback {
 public:
  Recorder() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  void invoke(i_dir* directory) override {
    paths.push_back(directory->path() != nullptr ? directory->path() : u"");
    if (rewatchFromCallback) directory->rewatch();
    if (onInvoke) onInvoke();
    ++count;
    SetEvent(event_);
  }
  bool wait(DWORD ms) { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

  std::atomic<int> count{0};
  std::vector<std::u16string> paths;
  bool rewatchFromCallback = false;
  std::function<void()> onInvoke;

 protected:
  ~Recorder() override { CloseHandle(event_); }

 private:
  HANDLE event_;
};

// The creator's reference, dropped at the end of the test.
struct RecorderRef {
  Recorder* r = new Recorder;
  ~RecorderRef() { r->release(); }
  Recorder* operator->() { return r; }
};

// Waits (boundedly) for the watcher to finish a callback round that may
// still be running, then tells whether every block and thread is gone.
bool AllWatchesEnd() {
  for (int i = 0; i < 400 && (ChangeWatchBlockCount() != 0 || ChangeWatchThreadCount() != 0);
       ++i)
    Sleep(50);
  return ChangeWatchBlockCount() == 0 && ChangeWatchThreadCount() == 0;
}

std::vector<std::unique_ptr<i_dir>> WatchMany(Scratch& scratch, Recorder* recorder, int n) {
  std::vector<std::unique_ptr<i_dir>> dirs;
  for (int i = 0; i < n; ++i) {
    const std::u16string name = u"d" + std::u16string(1, char16_t(u'A' + i / 26)) +
                                std::u16string(1, char16_t(u'a' + i % 26));
    CreateDirectoryW(W(scratch / name), nullptr);
    dirs.emplace_back(scratch.dir()->open_dir(name.c_str()));
    if (!dirs.back()) break;
    dirs.back()->watch(recorder);
    EXPECT_TRUE(dirs.back()->is_ok());
    EXPECT_EQ(ChangeWatchBlockCount(), i < 63 ? 1u : 2u);
  }
  return dirs;
}

TEST(ChangeWatch, NoticesArriveOncePerArming) {
  Scratch scratch(u"watch");
  RecorderRef recorder;
  win32_dir* dir = scratch.dir();
  dir->watch(recorder.r);
  ASSERT_TRUE(dir->is_ok()) << std::hex << dir->error().Code();
  EXPECT_EQ(ChangeWatchBlockCount(), 1u);

  MakeFile(scratch / u"a.txt", "a");
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->count.load(), 1);
  EXPECT_EQ(recorder->paths.back(), scratch.path());

  // Disarmed: another change goes unnoticed until rewatch.
  MakeFile(scratch / u"b.txt", "b");
  EXPECT_FALSE(recorder->wait(kQuietWait));
  EXPECT_EQ(recorder->count.load(), 1);

  dir->rewatch();
  // The change before the rewatch may or may not be reported once more; the
  // rename after it is.
  recorder->wait(kQuietWait);
  const int before = recorder->count.load();
  dir->rewatch();
  ASSERT_TRUE(MoveFileW(W(scratch / u"a.txt"), W(scratch / u"c.txt")));
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->count.load(), before + 1);

  // Re-armed from inside the callback: the deletion is reported as well.
  recorder->rewatchFromCallback = true;
  dir->rewatch();
  recorder->wait(kQuietWait);
  const int beforeDelete = recorder->count.load();
  ASSERT_TRUE(DeleteFileW(W(scratch / u"c.txt")));
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_GT(recorder->count.load(), beforeDelete);

  // The last callback's directory may still hold the watch for a moment
  // after the callback signalled; the watch ends with it.
  dir->watch(nullptr);
  EXPECT_TRUE(dir->is_ok());
  EXPECT_TRUE(AllWatchesEnd());
}

TEST(ChangeWatch, SixtyThreeDirectoriesPerWatcherThread) {
  Scratch scratch(u"watch-many");
  RecorderRef recorder;
  {
    std::vector<std::unique_ptr<i_dir>> dirs = WatchMany(scratch, recorder.r, 64);
    ASSERT_EQ(dirs.size(), 64u);
    EXPECT_EQ(ChangeWatchThreadCount(), 2u);
    // Destroying the watching directories ends their watches; the last one
    // stops both threads and waits for them.
    dirs.clear();
    EXPECT_EQ(ChangeWatchBlockCount(), 0u);
    EXPECT_EQ(ChangeWatchThreadCount(), 0u);
  }
  // The 64th directory is served by the second thread.
  std::vector<std::unique_ptr<i_dir>> dirs = WatchMany(scratch, recorder.r, 64);
  ASSERT_EQ(dirs.size(), 64u);
  MakeFile(std::u16string(dirs.back()->path()) + u"x.txt", "x");
  ASSERT_TRUE(recorder->wait(kNoticeWait));
  EXPECT_EQ(recorder->count.load(), 1);
  EXPECT_EQ(recorder->paths.back(), dirs.back()->path());
  dirs.clear();
  EXPECT_TRUE(AllWatchesEnd());
}

TEST(ChangeWatch, TheWatchOutlivesItsDirectoryWhileTheCallbackHoldsIt) {
  Scratch scratch(u"watch-drop");
  RecorderRef recorder;
  win32_dir* watching = scratch.dir()->open_dir(u".");
  ASSERT_NE(watching, nullptr);
  watching->watch(recorder.r);
  ASSERT_TRUE(watching->is_ok());
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  recorder->onInvoke = [&] {
    delete watching;  // the registering directory goes inside the callback
    watching = nullptr;
    // The fresh directory still holds the watch.
    EXPECT_EQ(ChangeWatchBlockCount(), 1u);
    SetEvent(done);
  };
  MakeFile(scratch / u"z.txt", "z");
  ASSERT_EQ(WaitForSingleObject(done, kNoticeWait), WAIT_OBJECT_0);
  // Once the watcher has destroyed its fresh directory, the last watch is
  // gone and the watcher has ended itself.
  EXPECT_TRUE(AllWatchesEnd());
  CloseHandle(done);
}

TEST(ChangeWatch, TheRootCannotBeWatched) {
  RecorderRef recorder;
  winnt_dir root;
  root.watch(recorder.r);
  EXPECT_EQ(root.error().Code(), kFileOpenError);
  EXPECT_EQ(ChangeWatchBlockCount(), 0u);
}

}  // namespace
