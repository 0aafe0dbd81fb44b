// The raw encrypted-file functions and DecryptFileW, looked up in advapi32
// on first use. The lookups run without a lock: a second thread doing the
// same work stores the same values.
#include "files/win/helpers.h"

namespace {

EncryptedFileRawApi g_raw{};
bool g_rawAvailable = false;
bool g_rawBound = false;

DecryptFileWFn g_decrypt = nullptr;
bool g_decryptBound = false;

template <typename Fn>
Fn Lookup(const char* name) {
  return LookupSystemFunction<Fn>("advapi32", name);
}

}  // namespace

bool BindEncryptedFileRaw() noexcept {
  if (g_rawBound) return g_rawAvailable;
  EncryptedFileRawApi api{};
  api.open = Lookup<decltype(api.open)>("OpenEncryptedFileRawW");
  api.read = Lookup<decltype(api.read)>("ReadEncryptedFileRaw");
  api.write = Lookup<decltype(api.write)>("WriteEncryptedFileRaw");
  api.close = Lookup<decltype(api.close)>("CloseEncryptedFileRaw");
  const bool available = api.open && api.read && api.write && api.close;
  if (available) {
    PVOID context = nullptr;
    if (api.open(L"nul", 0, &context) == ERROR_SUCCESS) api.close(context);
  }
  g_raw = api;
  g_rawAvailable = available;
  g_rawBound = true;
  return available;
}

const EncryptedFileRawApi& EncryptedFileRawFunctions() noexcept { return g_raw; }

bool BindDecryptFile() noexcept {
  if (!g_decryptBound) {
    g_decrypt = Lookup<DecryptFileWFn>("DecryptFileW");
    g_decryptBound = true;
  }
  return g_decrypt != nullptr;
}

DecryptFileWFn DecryptFileFunction() noexcept { return g_decrypt; }
