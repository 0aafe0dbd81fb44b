/* history_tab.dll: a stand-in for the products' property-sheet library, in a
 * 32-bit and a 64-bit build. Its registration entry points create and remove
 * the library's class key (with everything in it) in the registry view of
 * the process that loads it, as the real library's do. When the environment
 * names a log file in HISTORY_TAB_LOG, each call appends a line such as
 * "64 unregister" to it, so that tests can see which builds were called in
 * which order. */
#include <windows.h>
#include <olectl.h>

#define CLASS_KEY L"SOFTWARE\\Classes\\CLSID\\{3F6A0C92-D147-4B58-8E2A-91C7B5E04D63}"

static HMODULE self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

static void record(const char* what) {
  wchar_t path[MAX_PATH];
  DWORD units = GetEnvironmentVariableW(L"HISTORY_TAB_LOG", path, MAX_PATH);
  if (units == 0 || units >= MAX_PATH) return;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[32];
  int length = wsprintfA(line, "%d %s\r\n", (int)(sizeof(void*) * 8), what);
  DWORD written = 0;
  WriteFile(file, line, (DWORD)length, &written, NULL);
  CloseHandle(file);
}

static LONG set_text(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text,
                        (DWORD)((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

__declspec(dllexport) HRESULT WINAPI DllRegisterServer(void) {
  record("register");
  wchar_t module[MAX_PATH];
  DWORD units = GetModuleFileNameW(self, module, MAX_PATH);
  if (units == 0 || units >= MAX_PATH) return SELFREG_E_CLASS;
  HKEY key, server;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, CLASS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                      NULL) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  LONG result = set_text(key, NULL, L"Quorvel History Tab");
  if (result == ERROR_SUCCESS)
    result = RegCreateKeyExW(key, L"InprocServer32", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &server,
                             NULL);
  if (result == ERROR_SUCCESS) {
    result = set_text(server, NULL, module);
    if (result == ERROR_SUCCESS) result = set_text(server, L"ThreadingModel", L"Apartment");
    RegCloseKey(server);
  }
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

/* Deletes the key with all its subkeys. */
static LONG delete_tree(HKEY parent, const wchar_t* name) {
  HKEY key;
  LONG result = RegOpenKeyExW(parent, name, 0, KEY_ENUMERATE_SUB_KEYS | DELETE, &key);
  if (result != ERROR_SUCCESS) return result;
  wchar_t child[256];
  for (;;) {
    DWORD units = 256;
    if (RegEnumKeyExW(key, 0, child, &units, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
    if (delete_tree(key, child) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return RegDeleteKeyW(parent, name);
}

__declspec(dllexport) HRESULT WINAPI DllUnregisterServer(void) {
  record("unregister");
  LONG result = delete_tree(HKEY_LOCAL_MACHINE, CLASS_KEY);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
