// The delay-load binder and the boot-folder step under Wine, without the
// snapshot library anywhere on the search path (the end-to-end scripts
// boot_*.sh run the program with it).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cleanup/boot_folders.h"
#include "cleanup/dll_loader.h"
#include "files/resource.h"
#include "files/win/win_dir.h"
#include "payload_scope.h"

namespace {

using Cleanup::DllLoader;
using Bytes = std::vector<uint8_t>;

std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring TempPath() {
  wchar_t buffer[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, buffer);
  return std::wstring(buffer, n);
}

void WriteFile(const std::wstring& path, const std::string& text) {
  std::ofstream(path.c_str(), std::ios::binary) << text;
}

// The hooks as someone else installed them before any loader, recording
// what they are asked.
struct HookLog {
  std::vector<std::pair<unsigned, std::string>> notify, failure;
} g_hooks;

FARPROC WINAPI OtherNotifyHook(unsigned notification, PDelayLoadInfo info) {
  g_hooks.notify.emplace_back(notification, info && info->szDll ? info->szDll : "");
  return nullptr;
}

FARPROC WINAPI OtherFailureHook(unsigned notification, PDelayLoadInfo info) {
  g_hooks.failure.emplace_back(notification, info && info->szDll ? info->szDll : "");
  return nullptr;
}

// Puts other hooks in place for one test and the original ones back after.
class OtherHooksScope {
 public:
  OtherHooksScope(PfnDliHook notify, PfnDliHook failure)
      : notify_(__pfnDliNotifyHook2), failure_(__pfnDliFailureHook2) {
    __pfnDliNotifyHook2 = notify;
    __pfnDliFailureHook2 = failure;
    g_hooks = {};
  }
  ~OtherHooksScope() {
    __pfnDliNotifyHook2 = notify_;
    __pfnDliFailureHook2 = failure_;
  }

 private:
  PfnDliHook notify_, failure_;
};

TEST(DllLoaderTest, HooksAreInstalledOnceAndRestoredWithTheLastLoader) {
  OtherHooksScope others(&OtherNotifyHook, &OtherFailureHook);
  {
    auto first = std::make_unique<DllLoader>(std::initializer_list<const char*>{"dorvex.dll"});
    EXPECT_EQ(&Cleanup::DelayLoadNotifyHook, __pfnDliNotifyHook2);
    EXPECT_EQ(&Cleanup::DelayLoadFailureHook, __pfnDliFailureHook2);
    {
      DllLoader second({"dorvex.dll"});
      EXPECT_EQ(&Cleanup::DelayLoadNotifyHook, __pfnDliNotifyHook2);
      // The first goes while the second lives: the hooks stay ours.
      first.reset();
      EXPECT_EQ(&Cleanup::DelayLoadNotifyHook, __pfnDliNotifyHook2);
      EXPECT_EQ(&Cleanup::DelayLoadFailureHook, __pfnDliFailureHook2);
    }
    // The second was the last: the earlier hooks are back, not nulls.
    EXPECT_EQ(&OtherNotifyHook, __pfnDliNotifyHook2);
    EXPECT_EQ(&OtherFailureHook, __pfnDliFailureHook2);
  }
}

TEST(DllLoaderTest, TakesTheProgramsSpellingOfTheLibraryName) {
  DllLoader upper({"DORVEX.DLL", "mirtel.vxd"});
  EXPECT_EQ("dorvex.dll", upper.LibraryName());
  EXPECT_EQ("mirtel.vxd", upper.Names()[1]);
  DllLoader other({"Other.DLL"});
  EXPECT_EQ("Other.DLL", other.LibraryName());
  // A library the program does not delay-import: the load-all helper's answer.
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)), other.Bind());
}

TEST(DllLoaderTest, AMissingLibraryIsErrorTwoWhateverTheFlags) {
  // Neither on the search path nor in this program's (absent) payload.
  for (uint32_t flags : {0u, 1u, 2u, 3u, 5u}) {
    SCOPED_TRACE(flags);
    std::wstring folder;
    {
      DllLoader loader({"dorvex.dll"});
      EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Load(flags));
      folder = W(Cleanup::DllExtractionFolder());
      // Extraction was tried for these flags: its folder exists until the
      // loader goes.
      if (flags & 3) {
        ASSERT_FALSE(folder.empty());
        EXPECT_TRUE(Exists(folder));
      } else {
        EXPECT_TRUE(folder.empty());
      }
      EXPECT_EQ(0u, loader.Unbind());  // nothing bound, nothing to undo
    }
    EXPECT_TRUE(Cleanup::DllExtractionFolder().empty());
    if (!folder.empty()) {
      EXPECT_FALSE(Exists(folder)) << folder;
    }
  }
}

TEST(DllLoaderTest, AnEarlierNotifyHookIsAskedWhenTheOwnLoadFails) {
  OtherHooksScope others(&OtherNotifyHook, &OtherFailureHook);
  DllLoader loader({"dorvex.dll"});
  EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Bind());
  // Asked once, before loading, for exactly the program's library name; and
  // the earlier failure hook once the default load failed as well.
  ASSERT_EQ(1u, g_hooks.notify.size());
  EXPECT_EQ(unsigned{dliNotePreLoadLibrary}, g_hooks.notify[0].first);
  EXPECT_EQ("dorvex.dll", g_hooks.notify[0].second);
  ASSERT_EQ(1u, g_hooks.failure.size());
  EXPECT_EQ(unsigned{dliFailLoadLib}, g_hooks.failure[0].first);
}

TEST(DllLoaderTest, OwnHooksAloneEndInErrorTwoNotAnException) {
  OtherHooksScope none(nullptr, nullptr);
  DllLoader loader({"dorvex.dll"});
  EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Bind());
  // Outside a binding the hooks never throw: the run-time gets null.
  DelayLoadInfo info{};
  info.cb = sizeof info;
  info.szDll = "dorvex.dll";
  EXPECT_EQ(nullptr, Cleanup::DelayLoadNotifyHook(dliNotePreLoadLibrary, &info));
  EXPECT_EQ(nullptr, Cleanup::DelayLoadFailureHook(dliFailLoadLib, &info));
  EXPECT_EQ(nullptr, Cleanup::DelayLoadNotifyHook(dliNoteStartProcessing, &info));
}

// ------------------------------------------ binding through earlier hooks

// Earlier hooks that stand in for the library: the notification hook hands
// over kernel32 (which has none of the functions), the failure hook then
// supplies each function, or refuses one named in g_refuse.
std::string g_refuse;
int g_lookups = 0;

uint32_t WINAPI FakeGetFreeLetters() { return 0x00ABCDEF; }
uint32_t WINAPI FakeGetDrives(uint32_t* count) {
  *count = 7;
  return 0;
}
uint32_t WINAPI NeverCalled() { return 0xFFFFFFFF; }

FARPROC WINAPI Kernel32NotifyHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(LoadLibraryA("kernel32.dll"));
}

FARPROC WINAPI FakeFunctionsHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliFailGetProc || !info->dlp.fImportByName) return nullptr;
  ++g_lookups;
  const std::string name = info->dlp.szProcName;
  if (name == g_refuse) return nullptr;
  if (name == "sbGetFreeLetters") return reinterpret_cast<FARPROC>(&FakeGetFreeLetters);
  if (name == "sbGetDrives") return reinterpret_cast<FARPROC>(&FakeGetDrives);
  return reinterpret_cast<FARPROC>(&NeverCalled);
}

// The program's import slots of two functions, by their linker names.
extern "C" void* slot_free_letters asm("__imp__sbGetFreeLetters@0");
extern "C" void* slot_get_drives asm("__imp__sbGetDrives@4");

}  // namespace

#include "sblib/sblib.h"

namespace {

TEST(DllLoaderTest, BindsEveryImportAndUnbindPutsTheStubsBack) {
  OtherHooksScope others(&Kernel32NotifyHook, &FakeFunctionsHook);
  g_refuse.clear();
  g_lookups = 0;
  void* const stub_free = slot_free_letters;
  void* const stub_drives = slot_get_drives;
  {
    DllLoader loader({"dorvex.dll"});
    ASSERT_EQ(0u, loader.Bind());
    EXPECT_EQ(SB_FUNCTION_COUNT, g_lookups);  // every import at once
    EXPECT_EQ(reinterpret_cast<void*>(&FakeGetFreeLetters), slot_free_letters);
    // Calls through the program's imports reach what was bound.
    EXPECT_EQ(0x00ABCDEFu, sbGetFreeLetters());
    uint32_t n = 0;
    EXPECT_EQ(0u, sbGetDrives(&n));
    EXPECT_EQ(7u, n);
    ASSERT_EQ(0u, loader.Unbind());
    EXPECT_EQ(stub_free, slot_free_letters);
    EXPECT_EQ(stub_drives, slot_get_drives);
    // Unbound, a call goes through the run-time's helper again, which asks
    // the hooks (ours, then the earlier ones) without any exception.
    g_lookups = 0;
    EXPECT_EQ(0x00ABCDEFu, sbGetFreeLetters());
    EXPECT_EQ(1, g_lookups);
    EXPECT_EQ(0u, loader.Unbind());
  }
}

TEST(DllLoaderTest, AFunctionThatCannotBeBoundLeavesEverySlotAsItWas) {
  OtherHooksScope others(&Kernel32NotifyHook, &FakeFunctionsHook);
  g_refuse = "sbRead";  // late in the list: earlier ones were found
  g_lookups = 0;
  void* const stub_free = slot_free_letters;
  {
    DllLoader loader({"dorvex.dll"});
    EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Bind());
    EXPECT_GT(g_lookups, 2);
    EXPECT_EQ(stub_free, slot_free_letters);
    EXPECT_EQ(0u, loader.Unbind());  // nothing was bound
  }
  g_refuse.clear();
}

// ---------------------------------------------------------------- payload

// A payload of stored entries, made from text.
Bytes StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<std::pair<std::string, Bytes>> bytes;
  for (const auto& [name, data] : entries) bytes.emplace_back(name, Bytes(data.begin(), data.end()));
  return resource_test::MakeZip(bytes);
}


std::string ReadWhole(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(DllLoaderTest, ExtractionCopiesEveryNameAndRemovalTakesThemAndTheFolder) {
  const std::string library = "MZ not really a library";
  const std::string companion(70000, 'v');
  resource_test::PayloadScope payload(StoredZip({{"dorvex.dll", library}, {"mirtel.vxd", companion}}), u"pk-dll-loader-test.exe");
  std::wstring folder;
  {
    DllLoader loader({"dorvex.dll", "mirtel.vxd"});
    ASSERT_EQ(0u, loader.Extract());
    folder = W(Cleanup::DllExtractionFolder());
    // "<temp>dl" + "0" + eight upper-case hex digits + "h\".
    ASSERT_EQ(TempPath().size() + 13, folder.size()) << folder;
    EXPECT_EQ(0u, folder.compare(0, TempPath().size(), TempPath()));
    EXPECT_EQ(L"dl0", folder.substr(TempPath().size(), 3));
    EXPECT_EQ(L"h\\", folder.substr(folder.size() - 2));
    for (wchar_t c : folder.substr(TempPath().size() + 3, 8))
      EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) << folder;
    EXPECT_EQ(library, ReadWhole(folder + L"dorvex.dll"));
    EXPECT_EQ(companion, ReadWhole(folder + L"mirtel.vxd"));
    // A second extraction uses the same folder.
    ASSERT_EQ(0u, loader.Extract());
    EXPECT_EQ(folder, W(Cleanup::DllExtractionFolder()));
    // The copy is no library: binding from the folder fails as a code.
    EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Bind());
    EXPECT_EQ(0u, loader.RemoveExtracted());
    EXPECT_FALSE(Exists(folder + L"dorvex.dll"));
    EXPECT_FALSE(Exists(folder));
    EXPECT_TRUE(Cleanup::DllExtractionFolder().empty());
  }
}

TEST(DllLoaderTest, AMissingCompanionStopsTheExtraction) {
  resource_test::PayloadScope payload(StoredZip({{"dorvex.dll", "MZ"}}), u"pk-dll-loader-test.exe");
  std::wstring folder;
  {
    DllLoader loader({"dorvex.dll", "mirtel.vxd"});
    EXPECT_EQ(uint32_t{ERROR_FILE_NOT_FOUND}, loader.Load(Cleanup::kLoadExtractFirst));
    folder = W(Cleanup::DllExtractionFolder());
    EXPECT_TRUE(Exists(folder + L"dorvex.dll"));
  }
  // The loader's end takes what it extracted.
  EXPECT_FALSE(Exists(folder));
}

// ------------------------------------------------------------ the step

TEST(BootFoldersTest, WithoutTheLibraryTheStepDeletesNothing) {
  CreateDirectoryW(L"C:\\rendwiz", nullptr);
  WriteFile(L"C:\\rendwiz\\boot.ini", "keep");
  EXPECT_EQ(0, Cleanup::RemoveBootFolders());
  EXPECT_TRUE(Exists(L"C:\\rendwiz\\boot.ini"));
  EXPECT_TRUE(Cleanup::DllExtractionFolder().empty());
  DeleteFileW(L"C:\\rendwiz\\boot.ini");
  RemoveDirectoryW(L"C:\\rendwiz");
}

TEST(BootFoldersTest, TheDriveLoopDeletesTheFolderWithItsContentAndNothingBeside) {
  CreateDirectoryW(L"C:\\pk-boot-test", nullptr);
  CreateDirectoryW(L"C:\\pk-boot-test\\sub", nullptr);
  WriteFile(L"C:\\pk-boot-test\\sub\\wizard.bin", "x");
  SetFileAttributesW(L"C:\\pk-boot-test\\sub\\wizard.bin", FILE_ATTRIBUTE_READONLY);
  CreateDirectoryW(L"C:\\pk-boot-test2", nullptr);
  WriteFile(L"C:\\pk-boot-test2\\decoy.txt", "stay");
  Cleanup::DeleteFolderOnEveryDrive("pk-boot-test");
  EXPECT_FALSE(Exists(L"C:\\pk-boot-test"));
  EXPECT_TRUE(Exists(L"C:\\pk-boot-test2\\decoy.txt"));
  DeleteFileW(L"C:\\pk-boot-test2\\decoy.txt");
  RemoveDirectoryW(L"C:\\pk-boot-test2");
}

}  // namespace
