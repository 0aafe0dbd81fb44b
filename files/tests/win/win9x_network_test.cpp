// The 9x directory's network side: share roots as one-entry cursors and the
// connection of the drive or share a directory lies on. Wine has no network
// shares, so the network functions of the 9x layer's ANSI table are
// replaced by fakes that answer as the network would and record what they
// were asked.
#include <gtest/gtest.h>
#include <windows.h>
#include <winnetwk.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "files/control.h"
#include "files/dir.h"
#include "files/file_error.h"
#include "files/win/win9x_dir.h"
#include "nt_dir_test_support.h"
#include "windows/layer.h"

namespace {

using namespace ntdirtest;

std::vector<std::string> g_calls;
Windows::AnsiFunctions g_real;
// What the fake universal-name query answers, in turn (the last repeats),
// and the connection name it reports with 0 or ERROR_CONNECTION_UNAVAIL.
std::vector<DWORD> g_universal;
std::string g_connection;
DWORD g_add = NO_ERROR;

std::string Text(const char* s) { return s != nullptr ? s : "-"; }

DWORD WINAPI FakeUniversalName(LPCSTR local, DWORD level, LPVOID buffer, LPDWORD size) {
  g_calls.push_back("universal " + Text(local));
  const DWORD answer = g_universal.size() > 1 ? g_universal.front() : g_universal.back();
  if (g_universal.size() > 1) g_universal.erase(g_universal.begin());
  const DWORD needed = DWORD(sizeof(REMOTE_NAME_INFOA) + g_connection.size() + 1);
  if (level != REMOTE_NAME_INFO_LEVEL) return ERROR_INVALID_LEVEL;
  if (answer == ERROR_MORE_DATA || *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (answer == NO_ERROR || answer == ERROR_CONNECTION_UNAVAIL) {
    auto* info = static_cast<REMOTE_NAME_INFOA*>(buffer);
    char* text = reinterpret_cast<char*>(info + 1);
    std::memcpy(text, g_connection.c_str(), g_connection.size() + 1);
    info->lpUniversalName = nullptr;
    info->lpConnectionName = text;
    info->lpRemainingPath = nullptr;
  }
  return answer;
}

DWORD WINAPI FakeAddConnection(HWND, LPNETRESOURCEA resource, LPCSTR password, LPCSTR user,
                               DWORD flags) {
  g_calls.push_back("add " + Text(resource->lpLocalName) + " " + Text(resource->lpRemoteName) +
                    " " + Text(user) + " " + Text(password) + " " + std::to_string(flags) +
                    " type " + std::to_string(resource->dwType));
  return g_add;
}

HANDLE WINAPI RecordFindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  g_calls.push_back(std::string("FindFirstFileA ") + pattern);
  return g_real.FindFirstFileA(pattern, data);
}

class Win9xNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    g_real = Windows::Layer9xAnsi();
    Windows::AnsiFunctions& ansi = Windows::Layer9xAnsi();
    ansi.WNetGetUniversalNameA = &FakeUniversalName;
    ansi.WNetAddConnection3A = &FakeAddConnection;
    ansi.FindFirstFileA = &RecordFindFirstFileA;
    g_calls.clear();
    g_universal = {NO_ERROR};
    g_connection.clear();
    g_add = NO_ERROR;
  }
  void TearDown() override { Windows::Layer9xAnsi() = g_real; }
};

std::string Bytes(const file_identifier* id) {
  const auto* the = dynamic_cast<const the_identifier*>(id);
  if (the == nullptr || the->bytes() == nullptr) return "(none)";
  return std::string(reinterpret_cast<const char*>(the->bytes()), the->byte_count());
}

std::string AnsiOf(const std::u16string& text) {
  char out[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text.c_str()), -1, out, MAX_PATH,
                      nullptr, nullptr);
  return out;
}

TEST_F(Win9xNetwork, AShareRootIsOneEntryNamedInBothCodes) {
  // U+00E9 exists in the Western ANSI code pages; the expected bytes come
  // from the system's own conversion.
  const std::u16string accented = u"Caf\u00e9";
  struct Case {
    const char16_t* dir;
    int how;  // 0 find_self, 1 find(name), 2 find_by_id(ANSI bytes)
    const char16_t* name;
    std::u16string share;
  } cases[] = {
      {u"\\\\srv\\share\\", 0, nullptr, u"share"},
      {u"C:\\data\\", 1, u"\\\\srv\\other", u"other"},
      {u"C:\\data\\", 1, u"\\\\srv\\Caf\u00e9", accented},
      {u"\\\\srv\\", 2, u"share", u"share"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(AnsiOf(c.dir) + " " + std::to_string(c.how));
    win9x_dir dir(c.dir);
    std::unique_ptr<i_dir::iterator> cursor;
    if (c.how == 0) {
      cursor.reset(dir.find_self());
    } else if (c.how == 1) {
      cursor.reset(dir.find(c.name));
    } else {
      const std::string ansi = AnsiOf(c.name);
      the_identifier id(u"", ansi.c_str(), std::uint32_t(ansi.size() + 1));
      cursor.reset(dir.find_by_id(&id));
    }
    ASSERT_NE(cursor, nullptr) << std::hex << dir.error().Code();
    EXPECT_TRUE(dir.is_ok());
    ASSERT_TRUE(cursor->is_ok());
    EXPECT_EQ(std::u16string(cursor->name()), c.share);
    EXPECT_EQ(cursor->object_type(), kObjectNetworkShare);
    EXPECT_EQ(cursor->children_hint(), 2);
    std::unique_ptr<file_identifier> id(cursor->id());
    EXPECT_EQ(Bytes(id.get()), AnsiOf(c.share) + std::string(1, '\0'));
    cursor->next();
    EXPECT_FALSE(cursor->is_ok());
    EXPECT_EQ(cursor->error().Code(), kFileNotSupported);
  }
  // No search of the file system was made for a share root.
  EXPECT_TRUE(g_calls.empty()) << g_calls.front();
}

TEST_F(Win9xNetwork, ThePathsBelowAShareAreSearchedAsFiles) {
  win9x_dir dir(u"\\\\srv\\share\\");
  std::unique_ptr<i_dir::iterator> cursor(dir.find(u"sub"));
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0], "FindFirstFileA \\\\srv\\share\\sub");
  g_calls.clear();
  cursor.reset(dir.list());
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0], "FindFirstFileA \\\\srv\\share\\*");
}

TEST_F(Win9xNetwork, ConnectingTheDriveOrShareADirectoryLiesOn) {
  const HWND window = reinterpret_cast<HWND>(0x1234);
  struct Case {
    const char16_t* dir;
    std::vector<DWORD> universal;
    const char* connection;
    DWORD add;
    HWND owner;
    std::vector<std::string> calls;
    std::uint32_t code;  // 0: success
    const char* function;
    DWORD cause;
  } cases[] = {
      // A drive already connected needs nothing more.
      {u"C:\\data\\", {NO_ERROR}, "\\\\srv\\share", NO_ERROR, nullptr, {"universal C:"}, 0,
       "", 0},
      // A remembered but unavailable drive is connected again by its name.
      {u"C:\\data\\",
       {ERROR_CONNECTION_UNAVAIL},
       "\\\\srv\\share",
       NO_ERROR,
       nullptr,
       {"universal C:", "add C: \\\\srv\\share bob secret 0 type 1"},
       0,
       "",
       0},
      // The answer that does not fit the first buffer is asked again.
      {u"C:\\data\\",
       {ERROR_MORE_DATA, ERROR_CONNECTION_UNAVAIL},
       "\\\\a-server-with-a-long-name\\a-share-with-a-name-longer-than-the-first-buffer-"
       "leaves-room-for-in-two-hundred-and-forty-bytes-of-record-and-text-together-so-that-"
       "the-query-has-to-be-made-twice-over",
       NO_ERROR,
       window,
       {"universal C:", "universal C:",
        "add C: \\\\a-server-with-a-long-name\\a-share-with-a-name-longer-than-the-first-"
        "buffer-leaves-room-for-in-two-hundred-and-forty-bytes-of-record-and-text-together-"
        "so-that-the-query-has-to-be-made-twice-over bob secret 8 type 1"},
       0,
       "",
       0},
      // A drive that is no network drive at all.
      {u"C:\\data\\", {ERROR_NOT_CONNECTED}, "", NO_ERROR, nullptr, {"universal C:"},
       kFileOpenError, "WNetGetUniversalNameA", ERROR_NOT_CONNECTED},
      // A share by its root; a server by its own path.
      {u"\\\\srv\\share\\sub\\", {NO_ERROR}, "", NO_ERROR, window,
       {"add - \\\\srv\\share bob secret 8 type 1"}, 0, "", 0},
      {u"\\\\srv\\", {NO_ERROR}, "", NO_ERROR, nullptr,
       {"add - \\\\srv\\ bob secret 0 type 1"}, 0, "", 0},
      // A refusal of the network.
      {u"\\\\srv\\share\\", {NO_ERROR}, "", ERROR_ACCESS_DENIED, nullptr,
       {"add - \\\\srv\\share bob secret 0 type 1"}, kFileAccessDenied, "WNetAddConnection3A",
       ERROR_ACCESS_DENIED},
      // The list of drives lies on no network.
      {u"", {NO_ERROR}, "", NO_ERROR, nullptr, {}, kFileOpenError, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(AnsiOf(c.dir) + " " + std::to_string(c.calls.size()));
    g_calls.clear();
    g_universal = c.universal;
    g_connection = c.connection;
    g_add = c.add;
    win9x_dir dir(c.dir);
    dir.net_connect(u"bob", u"secret", c.owner);
    EXPECT_EQ(g_calls, c.calls);
    if (c.code == 0) {
      EXPECT_TRUE(dir.is_ok()) << std::hex << dir.error().Code();
      continue;
    }
    ASSERT_FALSE(dir.is_ok());
    if (c.cause == 0) {
      EXPECT_EQ(dir.error().Code(), c.code);
    } else {
      EXPECT_EQ(Function(dir.error()), c.function);
      EXPECT_EQ(CauseCode(dir.error()), std::uint32_t(HRESULT_FROM_WIN32(c.cause)));
    }
  }
}

TEST_F(Win9xNetwork, CredentialsThatDoNotFitTheAnsiLimitConnectNothing) {
  win9x_dir dir(u"\\\\srv\\share\\");
  const std::u16string longUser(300, u'u');
  dir.net_connect(longUser.c_str(), u"secret", nullptr);
  EXPECT_EQ(dir.error().Code(), kFileOpenError);
  dir.net_connect(u"bob", longUser.c_str(), nullptr);
  EXPECT_EQ(dir.error().Code(), kFileOpenError);
  EXPECT_TRUE(g_calls.empty());
  // No credentials at all leave the network to use its own.
  dir.net_connect(nullptr, nullptr, nullptr);
  EXPECT_TRUE(dir.is_ok());
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0], "add - \\\\srv\\share - - 0 type 1");
}

TEST_F(Win9xNetwork, TheConnectRequestReachesTheNamedDirectory) {
  win9x_dir root;
  path_request request(kControlSPWD);
  request.first = u"bob";
  request.second = u"secret";
  request.path = u"\\\\srv\\share\\deep\\folder";
  root.control(&request);
  EXPECT_TRUE(root.is_ok()) << std::hex << root.error().Code();
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0], "add - \\\\srv\\share bob secret 0 type 1");
}

}  // namespace
