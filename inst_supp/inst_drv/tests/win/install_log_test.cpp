// The install log: its printf, its file name, and the procedure blocks byte
// for byte.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "inst_drv/install_log.h"

namespace {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out;
  FormatInstallLog(out, format, args);
  va_end(args);
  return out;
}

TEST(InstallLogFormat, Directives) {
  EXPECT_EQ(Format("%s|%hs|%ls|%S", (const char*)nullptr, "ab", (const wchar_t*)nullptr, L"wide"),
            "'null'|ab|'null'|wide");
  EXPECT_EQ(Format("%d %hd %u %hu", -5, 70000, 4000000000u, 70000), "-5 4464 4000000000 4464");
  EXPECT_EQ(Format("%x %I64d %I64u %c", 0xABCu, -1LL, 1ULL << 40, 'Z'),
            "abc -1 1099511627776 Z");
  EXPECT_EQ(Format("100%% a%qb %"), "100 ab ");
  EXPECT_EQ(Format("[%e]", 0x2FFFFFFFu), "[[0x2fffffff]]");
  const std::string missing = Format("%e", 2u);
  // The system's text for a missing file, quoted, without trailing blanks.
  ASSERT_GT(missing.size(), 12u);
  EXPECT_EQ(missing.front(), '\'');
  EXPECT_EQ(missing.substr(missing.size() - 9), "' - [0x2]") << missing;
  EXPECT_EQ(missing.find_first_of("\r\n"), std::string::npos);
}

TEST(InstallLogFileName, DateAndTimeWithoutLeadingZeros) {
  SYSTEMTIME t = {};
  t.wYear = 2013;
  t.wMonth = 3;
  t.wDay = 5;
  t.wHour = 7;
  t.wMinute = 4;
  t.wSecond = 9;
  EXPECT_EQ(InstallLogFileName(L"C:\\Log\\", L"purgekit.exe", t),
            L"C:\\Log\\purgekit.exe_5-3-2013_7-4-9.log");
}

std::wstring TempPath() {
  wchar_t buffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, buffer);
  return buffer;
}

TEST(InstallLog, WritesNothingWithoutItsFolder) {
  const std::wstring path = TempPath() + L"pk-no-such-folder\\x.log";
  InstallLog log;
  log.OpenFile(path);
  EXPECT_FALSE(log.is_open());
  EnterCriticalSection(&log.lock);
  log.PrintLine("line");
  log.Close();
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(InstallLog, ProcedureBlocksByteForByte) {
  const std::wstring path = TempPath() + L"pk-install-log-test.log";
  SYSTEMTIME now = {};
  now.wHour = 13;
  now.wMinute = 5;
  now.wSecond = 0;
  {
    InstallLog log;
    log.OpenFile(path);
    ASSERT_TRUE(log.is_open());
    const InstallLogParameter uninstall[] = {
        InstallLogParameter::Text("DeviceDescription", "Volume filter"),
        InstallLogParameter::Short("Instance", -1),
        InstallLogParameter::Wide("InfName", L"C:\\T\\r.inf")};
    LogProcedureStart(log, "inst_drv.cpp", 412, now, "UninstallDriver", uninstall, 3);
    const InstallLogParameter dllBefore[] = {InstallLogParameter::Unsigned("Dll", 0)};
    LogProcedureStart(log, "inst_drv.cpp", 98, now, "LoadSetupDll", dllBefore, 1);
    const InstallLogParameter dllAfter[] = {InstallLogParameter::Unsigned("Dll", 268435456)};
    LogProcedureEnd(log, "LoadSetupDll", 1, nullptr, dllAfter, 1);
    LogProcedureStart(log, "inst_drv.cpp", 60, now, "GetSetupDllPath", nullptr, 0);
    LogProcedureEnd(log, "GetSetupDllPath", 0, L"C:\\T\\", nullptr, 0);
    LogProcedureEnd(log, "UninstallDriver", 0, nullptr, nullptr, 0);
    log.Close();
  }
  std::ifstream in(path.c_str(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileW(path.c_str());
  EXPECT_EQ(text,
            "====================== LOG OPEN ======================\r\n"
            " \r\n"
            "inst_drv.cpp(412) : [13:5:0]  Procedure Started: \"UninstallDriver\"\r\n"
            " with next parameters:\r\n"
            "   DeviceDescription = Volume filter\r\n"
            "   Instance = -1\r\n"
            "   InfName = C:\\T\\r.inf\r\n"
            " \r\n"
            "inst_drv.cpp(98) : [13:5:0]  Procedure Started: \"LoadSetupDll\"\r\n"
            " with next parameters:\r\n"
            "   Dll = 0\r\n"
            " Procedure \"LoadSetupDll\" was returned with value 1\r\n"
            " with next parameters:\r\n"
            "   Dll = 268435456\r\n"
            " \r\n"
            " \r\n"
            "inst_drv.cpp(60) : [13:5:0]  Procedure Started: \"GetSetupDllPath\"\r\n"
            " Procedure \"GetSetupDllPath\" was returned with value C:\\T\\\r\n"
            " \r\n"
            " Procedure \"UninstallDriver\" was returned with value 0\r\n"
            " \r\n"
            "====================== LOG CLOSE =====================\r\n");
}

}  // namespace

namespace {

// Both ways of listing the process's modules find the same holder: the
// program for an address in its image, kernel32 for one in its.
TEST(InstallLogModule, PsapiAndToolhelpAgree) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  // A page into each image: inside its headers or code, below the next module.
  const auto inKernel = reinterpret_cast<std::uintptr_t>(kernel) + 0x1000;
  const auto inProgram = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)) + 0x1000;
  for (bool toolhelp : {false, true}) {
    SCOPED_TRACE(toolhelp);
    EXPECT_EQ(ModuleHolding(inKernel, toolhelp), kernel);
    EXPECT_EQ(ModuleHolding(inProgram, toolhelp), GetModuleHandleA(nullptr));
    EXPECT_EQ(ModuleHolding(0, toolhelp), nullptr);
  }
}

}  // namespace
