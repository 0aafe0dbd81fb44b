// Registry work through the Windows layer in both registry views, checked
// with Wine's own reg.exe (started through the layer, its output read from a
// pipe): each value must be seen in its own view and only there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windows/layer.h"

namespace {

struct RegRun {
  bool started = false;
  DWORD exit_code = 0xFFFFFFFF;
  std::string output;
};

// Runs "reg.exe <arguments>" and collects what it writes to its standard
// output and error.
RegRun RunReg(const std::wstring& arguments) {
  RegRun run;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inheritable, 0)) return run;
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  std::wstring command = L"reg.exe " + arguments;
  std::vector<wchar_t> command_line(command.begin(), command.end());
  command_line.push_back(L'\0');
  PROCESS_INFORMATION process{};
  run.started = WindowsLayerInstance->CreateProcessW(nullptr, command_line.data(), nullptr,
                                                     nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                                     nullptr, &startup, &process) != FALSE;
  // Only the child holds the write end now: reading ends when it exits.
  ::CloseHandle(write_end);
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
  if (run.started) {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      run.output.append(chunk, got);
    }
    ::WaitForSingleObject(process.hProcess, 60000);
    ::GetExitCodeProcess(process.hProcess, &run.exit_code);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  ::CloseHandle(read_end);
  return run;
}

bool Contains(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}

class LayerRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(WindowsLayerInstance, nullptr);
    key_ = L"Software\\PurgekitLayerTest-" + std::to_wstring(::GetCurrentProcessId());
    reg_key_ = L"HKLM\\" + key_;
    RemoveKeys();
  }
  void TearDown() override { RemoveKeys(); }

  void RemoveKeys() {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), KEY_WOW64_64KEY, 0);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), KEY_WOW64_32KEY, 0);
  }

  // Creates the test key in one view and writes one text value into it.
  void WriteValue(REGSAM view, const wchar_t* name, const wchar_t* text) {
    Windows::LayerNT& layer = *WindowsLayerInstance;
    HKEY key = nullptr;
    ASSERT_EQ(layer.RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0,
                                    KEY_SET_VALUE | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    EXPECT_EQ(layer.RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                   bytes),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }

  // Reads a text value from one view through the layer; the result code.
  LONG ReadValue(REGSAM view, const wchar_t* name, std::wstring* text) {
    Windows::LayerNT& layer = *WindowsLayerInstance;
    HKEY key = nullptr;
    LONG rc = layer.RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | view,
                                  &key);
    if (rc != ERROR_SUCCESS) return rc;
    wchar_t data[128] = {};
    DWORD type = 0, bytes = sizeof data - sizeof(wchar_t);
    rc = layer.RegQueryValueExW(key, name, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &bytes);
    ::RegCloseKey(key);
    if (rc == ERROR_SUCCESS) {
      EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
      *text = data;
    }
    return rc;
  }

  RegRun Query(const wchar_t* view_switch) {
    return RunReg(L"query \"" + reg_key_ + L"\" " + view_switch);
  }

  std::wstring key_;
  std::wstring reg_key_;
};

TEST_F(LayerRegistryTest, EachViewHoldsOnlyItsOwnValue) {
  WriteValue(RegistryView64Flag, L"View64", L"sixty-four");
  WriteValue(RegistryView32Flag, L"View32", L"thirty-two");

  // Through the layer.
  std::wstring text;
  EXPECT_EQ(ReadValue(RegistryView64Flag, L"View64", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"sixty-four");
  EXPECT_EQ(ReadValue(RegistryView64Flag, L"View32", &text), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadValue(RegistryView32Flag, L"View32", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"thirty-two");
  EXPECT_EQ(ReadValue(RegistryView32Flag, L"View64", &text), ERROR_FILE_NOT_FOUND);

  // Through Wine's reg.exe.
  const RegRun view64 = Query(L"/reg:64");
  ASSERT_TRUE(view64.started);
  EXPECT_EQ(view64.exit_code, 0u) << view64.output;
  EXPECT_TRUE(Contains(view64.output, "View64")) << view64.output;
  EXPECT_TRUE(Contains(view64.output, "sixty-four")) << view64.output;
  EXPECT_FALSE(Contains(view64.output, "View32")) << view64.output;

  const RegRun view32 = Query(L"/reg:32");
  ASSERT_TRUE(view32.started);
  EXPECT_EQ(view32.exit_code, 0u) << view32.output;
  EXPECT_TRUE(Contains(view32.output, "View32")) << view32.output;
  EXPECT_TRUE(Contains(view32.output, "thirty-two")) << view32.output;
  EXPECT_FALSE(Contains(view32.output, "View64")) << view32.output;

  // Deleting in one view leaves the other.
  EXPECT_EQ(WindowsLayerInstance->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(),
                                                  RegistryView64Flag, 0),
            ERROR_SUCCESS);
  EXPECT_NE(Query(L"/reg:64").exit_code, 0u);
  const RegRun still32 = Query(L"/reg:32");
  EXPECT_EQ(still32.exit_code, 0u) << still32.output;
  EXPECT_TRUE(Contains(still32.output, "thirty-two")) << still32.output;

  EXPECT_EQ(WindowsLayerInstance->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(),
                                                  RegistryView32Flag, 0),
            ERROR_SUCCESS);
  EXPECT_NE(Query(L"/reg:32").exit_code, 0u);
}

TEST_F(LayerRegistryTest, DeleteWithoutRegDeleteKeyExUsesTheDefaultView) {
  WriteValue(RegistryView64Flag, L"View64", L"sixty-four");
  WriteValue(RegistryView32Flag, L"View32", L"thirty-two");

  const OptionalApi::RegDeleteKeyExW_t saved = OptionalApi::RegDeleteKeyExW;
  OptionalApi::RegDeleteKeyExW = nullptr;
  // The view flags are ignored: RegDeleteKeyW deletes in this 32-bit
  // process's own view, whichever view was asked for.
  const LONG rc = WindowsLayerInstance->RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(),
                                                        RegistryView64Flag, 0);
  OptionalApi::RegDeleteKeyExW = saved;
  EXPECT_EQ(rc, ERROR_SUCCESS);

  EXPECT_NE(Query(L"/reg:32").exit_code, 0u);
  const RegRun view64 = Query(L"/reg:64");
  EXPECT_EQ(view64.exit_code, 0u) << view64.output;
  EXPECT_TRUE(Contains(view64.output, "sixty-four")) << view64.output;
}

}  // namespace
