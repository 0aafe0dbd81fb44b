// System Restore for a drive: the retry rules over a scripted method call,
// the real WMI class of the system, and both probes over registry values and
// a drive table laid out in the prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/error.h"
#include "diskaccess/system_restore.h"

namespace {

using Da::RestoreCode::kReturnValue;

// The cause's system code, as an HRESULT (Win32 codes come wrapped).
std::uint32_t CauseCode(const Common::Error& e) {
  return std::uint32_t(Common::GetNumberField(Common::GetErrorCause(e), "code"));
}

// Answers from a script, one per Execute; the last one repeats.
class ScriptedCall : public Da::RestoreMethodCall {
 public:
  struct Answer {
    bool hasValue;
    std::uint32_t value;
  };
  explicit ScriptedCall(std::vector<Answer> answers) : answers_(std::move(answers)) {}
  Common::Error Prepare(bool, const std::u16string&) override {
    ++prepared;
    return prepareFails ? Common::Error(1, 1, Da::RestoreCode::kConnect) : Common::Error();
  }
  Common::Error Execute(bool& hasValue, std::uint32_t& value) override {
    const Answer& a = answers_[std::min<std::size_t>(executed, answers_.size() - 1)];
    ++executed;
    hasValue = a.hasValue;
    value = a.value;
    return Common::Error();
  }
  bool prepareFails = false;
  int prepared = 0;
  std::size_t executed = 0;

 private:
  std::vector<Answer> answers_;
};

TEST(SystemRestoreSwitch, RetryAndAnswerTable) {
  struct Case {
    const char* what;
    bool enable;
    std::vector<ScriptedCall::Answer> answers;
    std::uint32_t code, cause;
    std::size_t attempts;
    int sleeps;
  };
  const Case cases[] = {
      {"enabled", true, {{true, 0}}, 0, 0, 1, 0},
      {"already on", true, {{true, 1056}}, 0, 0, 1, 0},
      {"1056 is no answer to Disable", false, {{true, 1056}}, kReturnValue, 1056, 1, 0},
      {"already off", false, {{true, 1058}}, 0, 0, 1, 0},
      {"ready after two tries", true, {{true, 1717}, {true, 1717}, {true, 0}}, 0, 0, 3, 2},
      {"never ready", true, {{true, 1717}}, kReturnValue, 1717, 16, 15},
      {"no integer", false, {{false, 0}}, kReturnValue, 0, 1, 0},
      {"other failure", true, {{true, 5}}, kReturnValue, 5, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedCall call(c.answers);
    int sleeps = 0;
    std::uint32_t slept = 0;
    Common::Error result;
    Da::SetSystemRestoreWith(result, call, [&](std::uint32_t ms) { ++sleeps, slept += ms; },
                             c.enable, u"C:\\");
    EXPECT_EQ(result.Code(), c.code);
    if (c.cause) {
      EXPECT_EQ(CauseCode(result), Common::Win32ToHresult(c.cause));
    }
    EXPECT_EQ(call.executed, c.attempts);
    EXPECT_EQ(sleeps, c.sleeps);
    EXPECT_EQ(slept, 1000u * std::uint32_t(c.sleeps));
  }
  ScriptedCall call({{true, 0}});
  call.prepareFails = true;
  Common::Error result;
  Da::SetSystemRestoreWith(result, call, [](std::uint32_t) {}, true, u"C:\\");
  EXPECT_EQ(result.Code(), Da::RestoreCode::kConnect);
  EXPECT_EQ(call.executed, 0u);
  Da::SetSystemRestoreWith(result, call, [](std::uint32_t) {}, true, u"");
  EXPECT_EQ(result.Code(), Da::RestoreCode::kNoDrive);
}

// The system's own class: Enable answers 0; Disable answers without any
// out-parameters, which is refused rather than read.
TEST(SystemRestoreSwitch, ThroughTheSystemsWmiClass) {
  Common::Error result;
  Da::SetSystemRestore(result, true, u"C:\\");
  EXPECT_TRUE(result.IsNull()) << std::hex << result.Code() << " cause " << CauseCode(result);
  Da::SetSystemRestore(result, false, u"C:\\");
  EXPECT_EQ(result.Code(), kReturnValue);
}

// Registry keys of the 64-bit view, removed when the test ends.
class MachineKey {
 public:
  explicit MachineKey(const wchar_t* path) : path_(path) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                    nullptr, &key_, nullptr);
  }
  ~MachineKey() {
    if (key_) RegCloseKey(key_);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_, KEY_WOW64_64KEY, 0);
  }
  void Set(const wchar_t* name, DWORD type, const std::wstring& data) {
    RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   DWORD(data.size() * sizeof(wchar_t)));
  }
  void Clear(const wchar_t* name) { RegDeleteValueW(key_, name); }

 private:
  const wchar_t* path_;
  HKEY key_ = nullptr;
};

// A multi-string value: each string with its terminator, then one more.
std::wstring MultiSz(std::initializer_list<const wchar_t*> strings) {
  std::wstring out;
  for (const wchar_t* text : strings) {
    out += text;
    out += L'\0';
  }
  out += L'\0';
  return out;
}

const wchar_t kClients[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SPP\\Clients";
const wchar_t kClientValue[] = L"{09F7EDC5-294E-4180-AF6A-FB0E6A0E9513}";

TEST(SystemRestoreState, ShadowCopyClientList) {
  std::uint32_t state = 7;
  Common::Error result;
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kClients, KEY_WOW64_64KEY, 0);
  Da::IsSystemRestoreEnabledVista(result, state, u"C:\\");
  EXPECT_EQ(result.Code(), Da::RestoreCode::kKey) << "no key: the open fails";

  MachineKey key(kClients);
  state = 7;
  Da::IsSystemRestoreEnabledVista(result, state, u"C:\\");
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(state, 0u) << "no value: off";

  // Written by the system's own tool, as a user would.
  const std::string add =
      "reg add \"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SPP\\Clients\" /v "
      "{09F7EDC5-294E-4180-AF6A-FB0E6A0E9513} /t REG_MULTI_SZ /d "
      "\"\\\\?\\Volume{1111}\\:(D-30)\\0\\\\?\\Volume{2222}\\:(C-3A)\" /f /reg:64 >nul 2>&1";
  ASSERT_EQ(std::system(add.c_str()), 0);
  Da::IsSystemRestoreEnabledVista(result, state, u"C:\\");
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(state, 1u);
  Da::IsSystemRestoreEnabledVista(result, state, u"d:\\");
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(state, 0u);

  struct Case {
    const char* what;
    DWORD type;
    std::wstring data;
    std::u16string drive;
    std::uint32_t code, state;
  };
  const Case cases[] = {
      {"no parentheses never match", REG_MULTI_SZ, MultiSz({L"C:%3A"}), u"C:\\", 0, 0},
      {"matched by the name before the colon", REG_MULTI_SZ, MultiSz({L"E:\\(x%38)"}), u"e", 0,
       1},
      {"too short inside", REG_MULTI_SZ, MultiSz({L"x(C%)"}), u"C:\\", Da::RestoreCode::kValue, 0},
      {"not hexadecimal", REG_MULTI_SZ, MultiSz({L"x(C%ZZ)"}), u"C:\\", Da::RestoreCode::kValue,
       0},
      {"not a list", REG_SZ, std::wstring(L"x(C%3A)\0", 8), u"C:\\", Da::RestoreCode::kValue, 0},
      {"stored without terminators", REG_MULTI_SZ, std::wstring(L"x(D%3A)"), u"C:\\", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    key.Set(kClientValue, c.type, c.data);
    state = 7;
    Da::IsSystemRestoreEnabledVista(result, state, c.drive);
    EXPECT_EQ(result.Code(), c.code);
    if (c.code == 0) {
      EXPECT_EQ(state, c.state);
    }
  }
  key.Clear(kClientValue);
}

// The older systems' drive table under the machine's restore folder.
TEST(SystemRestoreState, DriveTable) {
  const wchar_t kGuid[] = L"{8D3A7C1E-0000-4000-8000-000000000001}";
  MachineKey cfg(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SystemRestore\\Cfg");
  cfg.Set(L"MachineGuid", REG_SZ, std::wstring(kGuid) + L'\0');
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring root = std::wstring(1, windows[0]) + L":\\System Volume Information";
  const std::wstring folder = root + L"\\_restore" + kGuid;
  const std::wstring table = folder + L"\\drivetable.txt";
  CreateDirectoryW(root.c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  auto write = [&](const std::wstring& text) {
    HANDLE h = CreateFileW(table.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    WriteFile(h, text.data(), DWORD(text.size() * 2), &done, nullptr);
    CloseHandle(h);
  };
  std::uint32_t state = 7;
  Common::Error result;
  Da::IsSystemRestoreEnabledXp(result, state, u"C:\\");
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(state, 2u) << "no table";

  const std::wstring lines =
      L"D:\\/\\\\?\\Volume{2}\\ 10 0 1 2\r\n"
      L"C:\\/\\\\?\\Volume{1}\\ 18 0 1 2\r\n";
  struct Case {
    const char* what;
    std::wstring text;
    std::u16string drive;
    std::uint32_t code, state;
  };
  const Case cases[] = {
      {"on", lines, u"C:\\", 0, 1},
      {"off", lines, u"d:\\", 0, 0},
      {"matched by volume name", lines, u"\\\\?\\Volume{1}\\", 0, 1},
      {"not in the table", lines, u"E:\\", 0, 2},
      {"flags not hexadecimal", L"C:\\/v\\ zz 0\r\n", u"C:\\", Da::RestoreCode::kTableFlags, 0},
      {"ends inside a character", std::wstring(L"C:\\/v\\ 1"), u"C:\\",
       Da::RestoreCode::kTableRead, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(c.text);
    if (std::string(c.what) == "ends inside a character") {
      // Cut the last unit in half.
      HANDLE h = CreateFileW(table.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      SetFilePointer(h, LONG(c.text.size() * 2 - 1), nullptr, FILE_BEGIN);
      SetEndOfFile(h);
      CloseHandle(h);
    }
    state = 7;
    Da::IsSystemRestoreEnabledXp(result, state, c.drive);
    EXPECT_EQ(result.Code(), c.code);
    if (c.code == 0) {
      EXPECT_EQ(state, c.state);
    }
  }
  DeleteFileW(table.c_str());
  RemoveDirectoryW(folder.c_str());
  RemoveDirectoryW(root.c_str());
}

TEST(SystemRestoreState, AWorkstationOfThisAgeAsksTheClientList) {
  std::uint32_t state = 7;
  Common::Error result;
  Da::IsSystemRestoreEnabled(result, state, u"");
  EXPECT_EQ(result.Code(), Da::RestoreCode::kNoDrive);
  EXPECT_EQ(state, 0u);
  MachineKey key(kClients);
  key.Set(kClientValue, REG_MULTI_SZ, MultiSz({L"\\\\?\\Volume{9}\\:(C%3A)"}));
  Da::IsSystemRestoreEnabled(result, state, u"C:\\");
  EXPECT_TRUE(result.IsNull());
  EXPECT_EQ(state, 1u);
}

}  // namespace
