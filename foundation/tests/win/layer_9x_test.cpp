// Windows::Layer9x cannot run here (Wine reports an NT system), so its ANSI
// calls go to fakes put into Windows::Layer9xAnsi(); these tests check what
// the layer hands the ANSI functions and what it makes of their results.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "windows/layer.h"

namespace {

// What the fakes saw and what they are to answer.
struct FakeState {
  int calls = 0;
  std::string name;       // a name or path the layer passed
  std::string text;       // a second text, or data bytes
  DWORD type = 0;
  DWORD count = 0;        // a size or count the layer passed
  DWORD count2 = 0;
  DWORD flags = 0;
  LPCSTR pointer = nullptr;
  // Answers.
  std::string answer;
  std::string answer2;
  DWORD answer_type = 0;
  LONG answer_rc = ERROR_SUCCESS;
  DWORD answer_count = 0;
};

FakeState fake;

std::string Ansi(const wchar_t* text) {
  // What the ANSI code page makes of a text, for comparing.
  char out[512];
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, n - 1) : std::string();
}

// --- fakes of the ANSI functions ------------------------------------------------

LONG WINAPI FakeRegSetValueExA(HKEY, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                               DWORD cb) {
  ++fake.calls;
  fake.name = name ? name : "";
  fake.type = type;
  fake.count = cb;
  fake.text.assign(reinterpret_cast<const char*>(data), cb);
  return ERROR_SUCCESS;
}

LONG WINAPI FakeRegQueryValueExA(HKEY, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                 LPDWORD cb) {
  ++fake.calls;
  fake.name = name ? name : "";
  fake.count = cb ? *cb : 0;
  if (type) *type = fake.answer_type;
  const DWORD size = static_cast<DWORD>(fake.answer.size());
  if (!cb) return fake.answer_rc;
  if (data && *cb < size) {
    *cb = size;
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, fake.answer.data(), size);
  *cb = size;
  return fake.answer_rc;
}

LONG WINAPI FakeRegEnumKeyExA(HKEY, DWORD, LPSTR name, LPDWORD cch_name, LPDWORD, LPSTR cls,
                              LPDWORD cch_class, PFILETIME) {
  ++fake.calls;
  fake.count = cch_name ? *cch_name : 0;
  fake.count2 = cch_class ? *cch_class : 0;
  if (fake.answer.size() + 1 > fake.count) return ERROR_MORE_DATA;
  std::memcpy(name, fake.answer.c_str(), fake.answer.size() + 1);
  *cch_name = static_cast<DWORD>(fake.answer.size());
  if (cls && cch_class) {
    if (fake.answer2.size() + 1 > fake.count2) return ERROR_MORE_DATA;
    std::memcpy(cls, fake.answer2.c_str(), fake.answer2.size() + 1);
    *cch_class = static_cast<DWORD>(fake.answer2.size());
  }
  return ERROR_SUCCESS;
}

LONG WINAPI FakeRegEnumValueA(HKEY, DWORD, LPSTR name, LPDWORD cch_name, LPDWORD,
                              LPDWORD type, LPBYTE data, LPDWORD cb) {
  ++fake.calls;
  fake.count = cch_name ? *cch_name : 0;
  fake.count2 = cb ? *cb : 0;
  if (fake.answer.size() + 1 > fake.count) return ERROR_MORE_DATA;
  std::memcpy(name, fake.answer.c_str(), fake.answer.size() + 1);
  *cch_name = static_cast<DWORD>(fake.answer.size());
  if (type) *type = fake.answer_type;
  const DWORD size = static_cast<DWORD>(fake.answer2.size());
  if (cb) {
    if (data && *cb < size) {
      *cb = size;
      return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, fake.answer2.data(), size);
    *cb = size;
  }
  return ERROR_SUCCESS;
}

LONG WINAPI FakeRegDeleteKeyA(HKEY, LPCSTR subkey) {
  ++fake.calls;
  fake.name = subkey ? subkey : "";
  return ERROR_SUCCESS;
}

BOOL WINAPI FakeMoveFileA(LPCSTR, LPCSTR) {
  ++fake.calls;
  return TRUE;
}

BOOL WINAPI FakeDeleteFileA(LPCSTR) {
  ++fake.calls;
  return TRUE;
}

DWORD WINAPI FakeGetCurrentDirectoryA(DWORD length, LPSTR buffer) {
  ++fake.calls;
  fake.count = length;
  const DWORD size = static_cast<DWORD>(fake.answer.size());
  if (size + 1 > length) return size + 1;
  std::memcpy(buffer, fake.answer.c_str(), size + 1);
  return size;
}

DWORD WINAPI FakeFormatMessageA(DWORD flags, LPCVOID source, DWORD, DWORD, LPSTR buffer,
                                DWORD, va_list*) {
  ++fake.calls;
  fake.flags = flags;
  fake.name = (flags & FORMAT_MESSAGE_FROM_STRING) && source
                  ? static_cast<LPCSTR>(source) : "";
  if (!(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) return 0;  // the layer always asks for it
  // Exactly the text and its terminator, as the system allocates.
  auto* text = static_cast<LPSTR>(::LocalAlloc(LMEM_FIXED, fake.answer.size() + 1));
  std::memcpy(text, fake.answer.c_str(), fake.answer.size() + 1);
  *reinterpret_cast<LPSTR*>(buffer) = text;
  return static_cast<DWORD>(fake.answer.size());
}

HANDLE WINAPI FakeFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  ++fake.calls;
  fake.name = name;
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
  data->ftLastWriteTime.dwLowDateTime = 0x11223344;
  data->ftLastWriteTime.dwHighDateTime = 0x01D00000;
  data->nFileSizeHigh = 1;
  data->nFileSizeLow = 0x2345;
  std::strcpy(data->cFileName, "Quarterly report.txt");
  std::strcpy(data->cAlternateFileName, "QUARTE~1.TXT");
  return reinterpret_cast<HANDLE>(0x1234);
}

BOOL WINAPI FakeProcess32First(HANDLE, tagPROCESSENTRY32* entry) {
  ++fake.calls;
  fake.count = entry->dwSize;
  entry->th32ProcessID = 0x42;
  entry->cntThreads = 3;
  entry->th32ParentProcessID = 0x10;
  entry->pcPriClassBase = 8;
  std::strcpy(entry->szExeFile, "C:\\WINDOWS\\EXPLORER.EXE");
  return TRUE;
}

BOOL WINAPI FakeModule32First(HANDLE, tagMODULEENTRY32* entry) {
  ++fake.calls;
  fake.count = entry->dwSize;
  entry->th32ProcessID = 0x42;
  entry->modBaseAddr = reinterpret_cast<BYTE*>(0x400000);
  entry->modBaseSize = 0x10000;
  entry->hModule = reinterpret_cast<HMODULE>(0x400000);
  std::strcpy(entry->szModule, "EXPLORER.EXE");
  std::strcpy(entry->szExePath, "C:\\WINDOWS\\EXPLORER.EXE");
  return TRUE;
}

BOOL WINAPI FakeSystemParametersInfoA(UINT action, UINT param, PVOID pv, UINT) {
  ++fake.calls;
  fake.flags = action;
  fake.count = param;
  if (action != SPI_GETNONCLIENTMETRICS) return TRUE;
  auto* bytes = static_cast<BYTE*>(pv);
  fake.count2 = *reinterpret_cast<UINT*>(bytes);  // cbSize
  // The Windows 9x layout: cbSize, five ints, then the caption font.
  reinterpret_cast<int*>(bytes)[1] = 1;       // iBorderWidth
  reinterpret_cast<int*>(bytes)[5] = 18;      // iCaptionHeight
  auto* caption = reinterpret_cast<LOGFONTA*>(bytes + 24);
  caption->lfHeight = -11;
  caption->lfWeight = FW_BOLD;
  std::strcpy(caption->lfFaceName, "Tahoma");
  // lfMessageFont is the last 60 bytes of the 340.
  auto* message = reinterpret_cast<LOGFONTA*>(bytes + 340 - sizeof(LOGFONTA));
  std::strcpy(message->lfFaceName, "MS Sans Serif");
  return TRUE;
}

BOOL WINAPI FakeShellNotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  ++fake.calls;
  fake.flags = message;
  fake.count = data->cbSize;
  fake.name = data->szTip;
  fake.text = data->cbSize > NOTIFYICONDATAA_V1_SIZE ? data->szInfo : "";
  return TRUE;
}

int WINAPI FakeGetTimeFormatA(LCID, DWORD, const SYSTEMTIME*, LPCSTR format, LPSTR buffer,
                              int cch) {
  ++fake.calls;
  fake.name = format ? format : "";
  const int size = static_cast<int>(fake.answer.size()) + 1;
  if (cch == 0) return size;
  if (cch < size) return 0;
  std::memcpy(buffer, fake.answer.c_str(), size);
  return size;
}

DWORD WINAPI FakeGetFullPathNameA(LPCSTR, DWORD length, LPSTR buffer, LPSTR* file_part) {
  ++fake.calls;
  const DWORD size = static_cast<DWORD>(fake.answer.size());
  if (size + 1 > length) return size + 1;
  std::memcpy(buffer, fake.answer.c_str(), size + 1);
  if (file_part) *file_part = std::strrchr(buffer, '\\') + 1;
  return size;
}

ATOM WINAPI FakeRegisterClassExA(const WNDCLASSEXA* wc) {
  ++fake.calls;
  fake.count = wc->cbSize;
  fake.pointer = wc->lpszClassName;
  fake.name = wc->lpszMenuName && !IS_INTRESOURCE(wc->lpszMenuName) ? wc->lpszMenuName : "";
  return 0xC001;
}

BOOL WINAPI FakeAppendMenuA(HMENU, UINT flags, UINT_PTR, LPCSTR item) {
  ++fake.calls;
  fake.flags = flags;
  fake.pointer = item;
  fake.name = (flags & (MF_BITMAP | MF_OWNERDRAW)) == 0 && item ? item : "";
  return TRUE;
}

class Layer9xTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Windows::Layer9xAnsi();
    saved_process_first_ = OptionalApi::Process32FirstA;
    saved_module_first_ = OptionalApi::Module32FirstA;
    saved_delete_key_ex_ = OptionalApi::RegDeleteKeyExW;
    fake = FakeState();
    Windows::AnsiFunctions& ansi = Windows::Layer9xAnsi();
    ansi.RegSetValueExA = FakeRegSetValueExA;
    ansi.RegQueryValueExA = FakeRegQueryValueExA;
    ansi.RegEnumKeyExA = FakeRegEnumKeyExA;
    ansi.RegEnumValueA = FakeRegEnumValueA;
    ansi.RegDeleteKeyA = FakeRegDeleteKeyA;
    ansi.MoveFileA = FakeMoveFileA;
    ansi.DeleteFileA = FakeDeleteFileA;
    ansi.GetCurrentDirectoryA = FakeGetCurrentDirectoryA;
    ansi.FormatMessageA = FakeFormatMessageA;
    ansi.FindFirstFileA = FakeFindFirstFileA;
    ansi.SystemParametersInfoA = FakeSystemParametersInfoA;
    ansi.Shell_NotifyIconA = FakeShellNotifyIconA;
    ansi.GetTimeFormatA = FakeGetTimeFormatA;
    ansi.GetFullPathNameA = FakeGetFullPathNameA;
    ansi.RegisterClassExA = FakeRegisterClassExA;
    ansi.AppendMenuA = FakeAppendMenuA;
    OptionalApi::Process32FirstA = FakeProcess32First;
    OptionalApi::Module32FirstA = FakeModule32First;
  }
  void TearDown() override {
    Windows::Layer9xAnsi() = saved_;
    OptionalApi::Process32FirstA = saved_process_first_;
    OptionalApi::Module32FirstA = saved_module_first_;
    OptionalApi::RegDeleteKeyExW = saved_delete_key_ex_;
  }

  Windows::Layer9x layer_;
  HKEY key_ = reinterpret_cast<HKEY>(0x5678);

 private:
  Windows::AnsiFunctions saved_;
  OptionalApi::Process32FirstA_t saved_process_first_;
  OptionalApi::Module32FirstA_t saved_module_first_;
  OptionalApi::RegDeleteKeyExW_t saved_delete_key_ex_;
};

// --- registry -----------------------------------------------------------------

TEST_F(Layer9xTest, RegSetValueWritesTextWithItsAnsiLength) {
  const wchar_t text[] = L"C:\\Program Files\\caf\u00e9";
  ASSERT_EQ(layer_.RegSetValueExW(key_, L"InstallDir", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  const std::string expected = Ansi(text);
  EXPECT_EQ(fake.name, "InstallDir");
  EXPECT_EQ(fake.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(fake.count, expected.size() + 1);  // the ANSI text and its terminator
  EXPECT_EQ(fake.text, std::string(expected.c_str(), expected.size() + 1));

  // Data without their terminator make the same value.
  ASSERT_EQ(layer_.RegSetValueExW(key_, L"InstallDir", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text),
                                  sizeof text - sizeof(wchar_t)),
            ERROR_SUCCESS);
  EXPECT_EQ(fake.count, expected.size() + 1);
}

TEST_F(Layer9xTest, RegSetValueWritesOtherTypesUnchanged) {
  const DWORD value = 0x01020304;
  ASSERT_EQ(layer_.RegSetValueExW(key_, L"Start", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
  EXPECT_EQ(fake.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(fake.count, 4u);
  EXPECT_EQ(fake.text, std::string("\x04\x03\x02\x01", 4));
}

TEST_F(Layer9xTest, RegQueryValueHalvesAndDoublesForExpectedText) {
  fake.answer = std::string("hello\0", 6);
  fake.answer_type = REG_SZ;
  wchar_t data[32];
  DWORD type = REG_SZ;  // the caller expects text
  DWORD bytes = sizeof data;
  ASSERT_EQ(layer_.RegQueryValueExW(key_, L"Greeting", nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(fake.name, "Greeting");
  EXPECT_EQ(fake.count, sizeof data / 2);  // halved for the ANSI call
  EXPECT_EQ(bytes, 12u);                   // doubled back
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(data, L"hello");
}

TEST_F(Layer9xTest, RegQueryValueTextBoundedByTheCallersBuffer) {
  // The caller did not say it expects text: the ANSI text may fill the whole
  // buffer, and its UTF-16 form would not fit.
  fake.answer = std::string(40, 'x') + std::string(1, '\0');
  fake.answer_type = REG_EXPAND_SZ;
  BYTE data[80];
  std::memset(data, 0xAB, sizeof data);
  DWORD type = 0;
  DWORD bytes = 64;
  EXPECT_EQ(layer_.RegQueryValueExW(key_, L"Path", nullptr, &type, data, &bytes),
            ERROR_MORE_DATA);
  EXPECT_EQ(fake.count, 64u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(bytes, 82u);  // what the UTF-16 text needs
  for (BYTE b : data) ASSERT_EQ(b, 0xAB);  // nothing written

  // Without a type pointer at all, the same.
  bytes = 64;
  EXPECT_EQ(layer_.RegQueryValueExW(key_, L"Path", nullptr, nullptr, data, &bytes),
            ERROR_MORE_DATA);
  for (BYTE b : data) ASSERT_EQ(b, 0xAB);

  // A buffer large enough takes it.
  wchar_t wide[64];
  bytes = sizeof wide;
  ASSERT_EQ(layer_.RegQueryValueExW(key_, L"Path", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(wide), &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(bytes, 82u);
  EXPECT_EQ(std::wstring(wide), std::wstring(40, L'x'));
}

TEST_F(Layer9xTest, RegQueryValueSizeQueryAndOtherTypes) {
  fake.answer = std::string("abc\0", 4);
  fake.answer_type = REG_SZ;
  DWORD bytes = 0;
  ASSERT_EQ(layer_.RegQueryValueExW(key_, L"Name", nullptr, nullptr, nullptr, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(bytes, 8u);  // the size of the UTF-16 text

  fake.answer = std::string("\x01\x02\x03", 3);
  fake.answer_type = REG_BINARY;
  BYTE data[8] = {};
  DWORD type = 0;
  bytes = sizeof data;
  ASSERT_EQ(layer_.RegQueryValueExW(key_, L"Blob", nullptr, &type, data, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(std::memcmp(data, "\x01\x02\x03", 3), 0);
}

TEST_F(Layer9xTest, RegEnumKeyConvertsNameAndClass) {
  fake.answer = "SubKey";
  fake.answer2 = "Cls";
  wchar_t name[64], cls[32];
  DWORD name_count = 64, class_count = 32;
  ASSERT_EQ(layer_.RegEnumKeyExW(key_, 0, name, &name_count, nullptr, cls, &class_count,
                                 nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(fake.count, 32u);   // half the caller's counts
  EXPECT_EQ(fake.count2, 16u);
  EXPECT_STREQ(name, L"SubKey");
  EXPECT_EQ(name_count, 6u);
  EXPECT_STREQ(cls, L"Cls");
  EXPECT_EQ(class_count, 3u);
}

TEST_F(Layer9xTest, RegEnumValueConvertsNameAndText) {
  fake.answer = "Value";
  fake.answer2 = std::string("text\0", 5);
  fake.answer_type = REG_SZ;
  wchar_t name[16];
  wchar_t data[8];
  DWORD name_count = 16, type = 0, bytes = 10;  // exactly twice the ANSI bytes
  ASSERT_EQ(layer_.RegEnumValueW(key_, 0, name, &name_count, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, L"Value");
  EXPECT_EQ(name_count, 5u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, 10u);
  EXPECT_STREQ(data, L"text");

  // A data buffer short of twice the ANSI bytes: the operation returns 1.
  BYTE small[16];
  std::memset(small, 0xAB, sizeof small);
  name_count = 16;
  bytes = 9;
  EXPECT_EQ(layer_.RegEnumValueW(key_, 0, name, &name_count, nullptr, &type, small, &bytes),
            1);
  for (BYTE b : small) ASSERT_EQ(b, 0xAB);

  // Other types come as they are.
  fake.answer2 = std::string("\x01\x02\x03", 3);
  fake.answer_type = REG_BINARY;
  BYTE blob[8] = {};
  name_count = 16;
  bytes = sizeof blob;
  ASSERT_EQ(layer_.RegEnumValueW(key_, 0, name, &name_count, nullptr, &type, blob, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(std::memcmp(blob, "\x01\x02\x03", 3), 0);
}

TEST_F(Layer9xTest, RegDeleteKeyExWithoutTheExportUsesTheAnsiRegDeleteKey) {
  OptionalApi::RegDeleteKeyExW = nullptr;
  EXPECT_EQ(layer_.RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vendor",
                                   RegistryView64Flag, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(fake.calls, 1);
  EXPECT_EQ(fake.name, "Software\\Vendor");
}

// --- files and directories ------------------------------------------------------

TEST_F(Layer9xTest, MoveFileExDoesNothingAndSucceeds) {
  wchar_t dir[MAX_PATH], source[MAX_PATH], target[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, dir), 0u);
  ASSERT_NE(::GetTempFileNameW(dir, L"pk9", 0, source), 0u);
  std::swprintf(target, MAX_PATH, L"%ls.moved", source);

  EXPECT_TRUE(layer_.MoveFileExW(source, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(layer_.MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(fake.calls, 0);  // no ANSI function was asked
  EXPECT_NE(::GetFileAttributesW(source), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(::GetFileAttributesW(target), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileW(source);
}

TEST_F(Layer9xTest, GetCurrentDirectoryUsesAMaxPathBufferBoundedByTheCallers) {
  const std::string path = "C:\\" + std::string(197, 'd');  // 200 bytes
  fake.answer = path;
  wchar_t big[MAX_PATH];
  EXPECT_EQ(layer_.GetCurrentDirectoryW(MAX_PATH, big), 200u);
  EXPECT_EQ(fake.count, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(std::wstring(big), L"C:\\" + std::wstring(197, L'd'));

  // A caller's buffer too small for the path: nothing is written past it
  // (nor in it), and the size needed comes back.
  wchar_t small[32];
  for (wchar_t& c : small) c = L'#';
  EXPECT_EQ(layer_.GetCurrentDirectoryW(16, small), 201u);
  EXPECT_EQ(fake.count, static_cast<DWORD>(MAX_PATH));
  for (wchar_t c : small) ASSERT_EQ(c, L'#');

  // The caller's length is the bound even when the text would fit MAX_PATH.
  fake.answer = "C:\\TEMP";
  wchar_t exact[8];
  for (wchar_t& c : exact) c = L'#';
  EXPECT_EQ(layer_.GetCurrentDirectoryW(7, exact), 8u);
  for (wchar_t c : exact) ASSERT_EQ(c, L'#');
  EXPECT_EQ(layer_.GetCurrentDirectoryW(8, exact), 7u);
  EXPECT_STREQ(exact, L"C:\\TEMP");
}

TEST_F(Layer9xTest, GetFullPathNamePointsAtTheFilePartOfTheWideText) {
  fake.answer = "C:\\WINDOWS\\TEMP\\setup.log";
  wchar_t full[MAX_PATH];
  LPWSTR file_part = nullptr;
  EXPECT_EQ(layer_.GetFullPathNameW(L"setup.log", MAX_PATH, full, &file_part),
            static_cast<DWORD>(fake.answer.size()));
  EXPECT_STREQ(full, L"C:\\WINDOWS\\TEMP\\setup.log");
  ASSERT_NE(file_part, nullptr);
  EXPECT_STREQ(file_part, L"setup.log");
}

TEST_F(Layer9xTest, FindFirstFileConvertsTheFindRecord) {
  WIN32_FIND_DATAW data;
  std::memset(&data, 0xCC, sizeof data);
  const HANDLE find = layer_.FindFirstFileW(L"C:\\Reports\\*.txt", &data);
  EXPECT_EQ(find, reinterpret_cast<HANDLE>(0x1234));
  EXPECT_EQ(fake.name, "C:\\Reports\\*.txt");
  EXPECT_EQ(data.dwFileAttributes,
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 0x11223344u);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, 0x01D00000u);
  EXPECT_EQ(data.nFileSizeHigh, 1u);
  EXPECT_EQ(data.nFileSizeLow, 0x2345u);
  EXPECT_STREQ(data.cFileName, L"Quarterly report.txt");
  EXPECT_STREQ(data.cAlternateFileName, L"QUARTE~1.TXT");
}

// --- messages from the system -----------------------------------------------------

TEST_F(Layer9xTest, FormatMessageAllocatesRoomForTheTerminator) {
  fake.answer = "Disk full.\r\n";
  LPWSTR text = nullptr;
  const DWORD n = layer_.FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 112, 0x800,
      reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  EXPECT_EQ(n, 12u);  // the ANSI character count
  EXPECT_TRUE(fake.flags & FORMAT_MESSAGE_ALLOCATE_BUFFER);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, L"Disk full.\r\n");
  EXPECT_GE(::LocalSize(text), 13u * sizeof(wchar_t));
  ::LocalFree(text);
}

TEST_F(Layer9xTest, FormatMessageIntoTheCallersBuffer) {
  fake.answer = "Access is denied.";
  wchar_t buffer[64];
  EXPECT_EQ(layer_.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 64,
                                  nullptr),
            17u);
  EXPECT_TRUE(fake.flags & FORMAT_MESSAGE_ALLOCATE_BUFFER);  // always added
  EXPECT_STREQ(buffer, L"Access is denied.");

  // Too small a buffer: nothing written past it, the call fails.
  wchar_t small[24];
  for (wchar_t& c : small) c = L'#';
  ::SetLastError(0);
  EXPECT_EQ(layer_.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, small, 8,
                                  nullptr),
            0u);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  for (int i = 8; i < 24; ++i) ASSERT_EQ(small[i], L'#');

  // A message given as text is converted for the ANSI function.
  fake.answer = "Hello";
  EXPECT_EQ(layer_.FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  L"Hello %1", 0, 0, buffer, 64, nullptr),
            5u);
  EXPECT_EQ(fake.name, "Hello %1");
  EXPECT_STREQ(buffer, L"Hello");
}

TEST_F(Layer9xTest, TimeFormatReturnsUtf16Units) {
  fake.answer = "12:34";
  wchar_t buffer[16];
  EXPECT_EQ(layer_.GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, L"HH:mm", buffer, 16), 6);
  EXPECT_EQ(fake.name, "HH:mm");
  EXPECT_STREQ(buffer, L"12:34");
  EXPECT_EQ(layer_.GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, nullptr, 0), 6);
}

// --- records ----------------------------------------------------------------------

TEST_F(Layer9xTest, ToolHelpRecords) {
  PROCESSENTRY32W process;
  std::memset(&process, 0, sizeof process);
  process.dwSize = sizeof process;
  ASSERT_TRUE(layer_.Process32FirstW(nullptr, &process));
  EXPECT_EQ(fake.count, 296u);  // the ANSI record's own size
  EXPECT_EQ(process.dwSize, sizeof(PROCESSENTRY32W));
  EXPECT_EQ(process.th32ProcessID, 0x42u);
  EXPECT_EQ(process.cntThreads, 3u);
  EXPECT_EQ(process.th32ParentProcessID, 0x10u);
  EXPECT_EQ(process.pcPriClassBase, 8);
  EXPECT_STREQ(process.szExeFile, L"C:\\WINDOWS\\EXPLORER.EXE");

  MODULEENTRY32W module;
  std::memset(&module, 0, sizeof module);
  module.dwSize = sizeof module;
  ASSERT_TRUE(layer_.Module32FirstW(nullptr, &module));
  EXPECT_EQ(fake.count, 548u);
  EXPECT_EQ(module.th32ProcessID, 0x42u);
  EXPECT_EQ(module.modBaseAddr, reinterpret_cast<BYTE*>(0x400000));
  EXPECT_EQ(module.modBaseSize, 0x10000u);
  EXPECT_STREQ(module.szModule, L"EXPLORER.EXE");
  EXPECT_STREQ(module.szExePath, L"C:\\WINDOWS\\EXPLORER.EXE");
}

TEST_F(Layer9xTest, NonClientMetricsThroughTheWindows9xRecord) {
  NONCLIENTMETRICSW metrics;
  std::memset(&metrics, 0, sizeof metrics);
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(layer_.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics,
                                           0));
  EXPECT_EQ(fake.count, 340u);   // uiParam
  EXPECT_EQ(fake.count2, 340u);  // cbSize
  EXPECT_EQ(metrics.cbSize, sizeof metrics);
  EXPECT_EQ(metrics.iBorderWidth, 1);
  EXPECT_EQ(metrics.iCaptionHeight, 18);
  EXPECT_EQ(metrics.lfCaptionFont.lfHeight, -11);
  EXPECT_EQ(metrics.lfCaptionFont.lfWeight, FW_BOLD);
  EXPECT_STREQ(metrics.lfCaptionFont.lfFaceName, L"Tahoma");
  EXPECT_STREQ(metrics.lfMessageFont.lfFaceName, L"MS Sans Serif");

  // Other actions pass through unchanged.
  RECT area{};
  ASSERT_TRUE(layer_.SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
  EXPECT_EQ(fake.flags, static_cast<DWORD>(SPI_GETWORKAREA));
}

TEST_F(Layer9xTest, NotifyIconRecordByVersion) {
  NOTIFYICONDATAW icon;
  std::memset(&icon, 0, sizeof icon);
  icon.cbSize = NOTIFYICONDATAW_V1_SIZE;
  std::wcscpy(icon.szTip, L"Clean-up");
  ASSERT_TRUE(layer_.Shell_NotifyIconA(NIM_ADD, &icon));
  EXPECT_EQ(fake.flags, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(fake.count, 88u);
  EXPECT_EQ(fake.name, "Clean-up");

  icon.cbSize = NOTIFYICONDATAW_V2_SIZE;
  std::wcscpy(icon.szInfo, L"Finished");
  ASSERT_TRUE(layer_.Shell_NotifyIconA(NIM_MODIFY, &icon));
  EXPECT_EQ(fake.count, 488u);
  EXPECT_EQ(fake.text, "Finished");
}

TEST_F(Layer9xTest, WindowClassNamesAndMenuItems) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpszClassName = reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0xC123));  // an atom
  wc.lpszMenuName = L"MainMenu";
  EXPECT_EQ(layer_.RegisterClassExW(&wc), 0xC001);
  EXPECT_EQ(fake.count, sizeof(WNDCLASSEXA));
  EXPECT_EQ(fake.pointer, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(0xC123)));
  EXPECT_EQ(fake.name, "MainMenu");

  const auto bitmap = reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0x0BAD));
  EXPECT_TRUE(layer_.AppendMenuW(nullptr, MF_BITMAP, 1, bitmap));
  EXPECT_EQ(fake.pointer, reinterpret_cast<LPCSTR>(bitmap));
  EXPECT_TRUE(layer_.AppendMenuW(nullptr, MF_STRING, 2, L"&Remove"));
  EXPECT_EQ(fake.name, "&Remove");
}

}  // namespace
