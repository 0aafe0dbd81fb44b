// The driver step's own file and text work under Wine.
#include "cleanup/drivers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string TempPath(const char16_t* name) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::u16string(reinterpret_cast<const char16_t*>(temp)) + name;
}

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

void Write(const std::u16string& path, const std::string& bytes) {
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Read(const std::u16string& path) {
  HANDLE file =
      CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!out.empty()) ReadFile(file, &out[0], static_cast<DWORD>(out.size()), &read, nullptr);
  CloseHandle(file);
  return out;
}

TEST(ReplaceFirstInFile, Table) {
  const std::u16string path = TempPath(u"purgekit_drivers_flt.inf");
  struct Case {
    const char* what;
    std::string before;
    const char* find;
    const char* replacement;
    bool changed;
    std::string after;
  } cases[] = {
      {"longer name", "[Strings]\r\nS = \"tolbrin\"\r\nT = \"tolbrin\"\r\n", "tolbrin", "tolbrin61",
       true, "[Strings]\r\nS = \"tolbrin61\"\r\nT = \"tolbrin\"\r\n"},
      // The file ends after the new content: nothing of the old tail stays.
      {"shorter text", "S = \"tolbrin\"\r\nT = \"tolbrin\"\r\n", "tolbrin", "t", true,
       "S = \"t\"\r\nT = \"tolbrin\"\r\n"},
      {"at the very end", "S = tolbrin", "tolbrin", "x", true, "S = x"},
      {"absent", "S = \"other\"\r\n", "tolbrin", "tolbrin61", false, "S = \"other\"\r\n"},
  };
  for (const Case& c : cases) {
    Write(path, c.before);
    EXPECT_EQ(Cleanup::ReplaceFirstInFile(path, c.find, c.replacement), c.changed) << c.what;
    EXPECT_EQ(Read(path), c.after) << c.what;
  }
  DeleteFileW(W(path));
  EXPECT_FALSE(Cleanup::ReplaceFirstInFile(path, "tolbrin", "x"));
}

TEST(DriverFileDeleteCommand, QuotesThePath) {
  EXPECT_EQ(Cleanup::DriverFileDeleteCommand(u"C:\\Windows\\system32", u"wobra*.sys"),
            u"CMD /C DEL /F /Q \"C:\\Windows\\system32\\drivers\\wobra*.sys\"");
}

}  // namespace
