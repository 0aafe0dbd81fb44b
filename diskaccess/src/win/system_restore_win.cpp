#include "diskaccess/system_restore.h"

#include <windows.h>
#include <wbemidl.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "diskaccess/errors.h"
#include "windows/layer.h"

namespace Da {
namespace {

constexpr std::uint32_t kTag = 0x5A16;

Common::Error Fail(std::uint32_t site, std::uint32_t code) {
  return Common::Error(Site(kTag, site), Module::kSystemRestore, code);
}
Common::Error FailWin32(std::uint32_t site, std::uint32_t code, std::uint32_t win32) {
  Common::Error e = Fail(site, code);
  Common::AttachWin32Cause(e, win32);
  return e;
}
Common::Error FailHresult(std::uint32_t site, std::uint32_t code, HRESULT hr) {
  Common::Error e = Fail(site, code);
  Common::AttachHresultCause(e, std::uint32_t(hr));
  return e;
}

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

constexpr std::uint32_t kNotReady = 1717;  // the service cannot take the call yet
constexpr int kAttempts = 16;

// An open key, closed on every path.
class Key {
 public:
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  LONG Open(const wchar_t* path) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | RegistryView64Flag, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class File {
 public:
  explicit File(HANDLE handle) : handle_(handle) {}
  ~File() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// One UTF-16 unit of the drive table.
Common::Error ReadTableChar(HANDLE file, wchar_t& out) {
  DWORD done = 0;
  if (!ReadFile(file, &out, 2, &done, nullptr)) return FailWin32(1, RestoreCode::kTableRead, GetLastError());
  if (done < 2) return Fail(2, RestoreCode::kTableRead);
  return Common::Error();
}

// The characters up to the delimiter, which is not kept.
Common::Error ReadTableField(HANDLE file, wchar_t delimiter, std::wstring* out) {
  if (out) out->clear();
  for (;;) {
    wchar_t c = 0;
    Common::Error e = ReadTableChar(file, c);
    if (Failed(e)) return e;
    if (c == delimiter) return Common::Error();
    if (out) out->push_back(c);
  }
}

bool TwoHexDigits(const wchar_t* text, unsigned& value) {
  return std::swscanf(text, L"%2x", &value) == 1;
}

// A WMI interface pointer released on every path.
template <typename T>
class Com {
 public:
  ~Com() { Reset(); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : b_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(b_); }
  operator BSTR() const { return b_; }

 private:
  BSTR b_;
};

class WmiRestoreCall : public RestoreMethodCall {
 public:
  ~WmiRestoreCall() override {
    inParams_.Reset();
    signature_.Reset();
    class_.Reset();
    services_.Reset();
    locator_.Reset();
    if (comReady_) CoUninitialize();
  }

  Common::Error Prepare(bool enable, const std::u16string& drive) override {
    method_ = enable ? L"Enable" : L"Disable";
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return FailHresult(10, RestoreCode::kComInit, hr);
    comReady_ = true;
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) return FailHresult(11, RestoreCode::kComSecurity, hr);
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(locator_.Out()));
    if (FAILED(hr)) return FailHresult(12, RestoreCode::kLocator, hr);
    hr = locator_->ConnectServer(Bstr(L"ROOT\\default"), nullptr, nullptr, nullptr, 0, nullptr,
                                 nullptr, services_.Out());
    if (FAILED(hr)) return FailHresult(13, RestoreCode::kConnect, hr);
    hr = services_->GetObject(Bstr(L"SystemRestore"), 0, nullptr, class_.Out(), nullptr);
    if (FAILED(hr)) return FailHresult(14, RestoreCode::kGetObject, hr);
    hr = class_->GetMethod(method_, 0, signature_.Out(), nullptr);
    if (FAILED(hr)) return FailHresult(15, RestoreCode::kGetMethod, hr);
    if (!signature_.get()) return FailHresult(16, RestoreCode::kGetMethod, E_POINTER);
    hr = signature_->SpawnInstance(0, inParams_.Out());
    if (FAILED(hr)) return FailHresult(17, RestoreCode::kSpawn, hr);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(W(drive));
    hr = inParams_->Put(L"Drive", 0, &value, 0);
    VariantClear(&value);
    if (FAILED(hr)) return FailHresult(18, RestoreCode::kPut, hr);
    return Common::Error();
  }

  Common::Error Execute(bool& hasValue, std::uint32_t& value) override {
    hasValue = false;
    Com<IWbemClassObject> out;
    HRESULT hr = services_->ExecMethod(Bstr(L"SystemRestore"), Bstr(method_), 0, nullptr,
                                       inParams_.get(), out.Out(), nullptr);
    if (FAILED(hr)) return FailHresult(19, RestoreCode::kExecMethod, hr);
    // A provider may answer without out-parameters: then there is no value.
    if (!out.get()) return Common::Error();
    VARIANT result;
    VariantInit(&result);
    hr = out->Get(L"ReturnValue", 0, &result, nullptr, nullptr);
    if (FAILED(hr)) return FailHresult(20, RestoreCode::kGetReturnValue, hr);
    if (result.vt == VT_I4 || result.vt == VT_UI4 || result.vt == VT_INT || result.vt == VT_UINT) {
      hasValue = true;
      value = std::uint32_t(result.lVal);
    }
    VariantClear(&result);
    return Common::Error();
  }

 private:
  bool comReady_ = false;
  const wchar_t* method_ = L"Enable";
  Com<IWbemLocator> locator_;
  Com<IWbemServices> services_;
  Com<IWbemClassObject> class_;
  Com<IWbemClassObject> signature_;
  Com<IWbemClassObject> inParams_;
};

}  // namespace

RestoreMethodCall::~RestoreMethodCall() = default;

std::unique_ptr<RestoreMethodCall> MakeWmiRestoreCall() {
  return std::unique_ptr<RestoreMethodCall>(new WmiRestoreCall());
}

void SetSystemRestoreWith(Common::Error& result, RestoreMethodCall& call,
                          const std::function<void(std::uint32_t)>& sleep, bool enable,
                          const std::u16string& drive) {
  result = Common::Error();
  if (drive.empty()) {
    result = Fail(30, RestoreCode::kNoDrive);
    return;
  }
  result = call.Prepare(enable, drive);
  if (Failed(result)) return;
  const std::uint32_t alsoFine = enable ? 1056 : 1058;  // already running / already stopped
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool hasValue = false;
    std::uint32_t value = 0;
    result = call.Execute(hasValue, value);
    if (Failed(result)) return;
    if (!hasValue) {
      result = Fail(31, RestoreCode::kReturnValue);
      return;
    }
    if (value == 0 || value == alsoFine) return;
    if (value == kNotReady && attempt < kAttempts - 1) {
      sleep(1000);
      continue;
    }
    result = FailWin32(32, RestoreCode::kReturnValue, value);
    return;
  }
}

void SetSystemRestore(Common::Error& result, bool enable, const std::u16string& drive) {
  if (drive.empty()) {
    result = Fail(33, RestoreCode::kNoDrive);
    return;
  }
  std::unique_ptr<RestoreMethodCall> call = MakeWmiRestoreCall();
  SetSystemRestoreWith(result, *call, [](std::uint32_t ms) { Sleep(ms); }, enable, drive);
}

void IsSystemRestoreEnabledXp(Common::Error& result, std::uint32_t& state,
                              const std::u16string& drive) {
  result = Common::Error();
  wchar_t windows[MAX_PATH + 1] = {};
  if (GetWindowsDirectoryW(windows, MAX_PATH) == 0) {
    result = FailWin32(40, RestoreCode::kNoDrive, GetLastError());
    return;
  }
  wchar_t guid[264] = {};
  {
    Key key;
    LONG status = key.Open(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SystemRestore\\Cfg");
    if (status != ERROR_SUCCESS) {
      result = FailWin32(41, RestoreCode::kKey, std::uint32_t(status));
      return;
    }
    DWORD type = 0, size = sizeof guid - sizeof(wchar_t);
    status = RegQueryValueExW(key.get(), L"MachineGuid", nullptr, &type,
                              reinterpret_cast<BYTE*>(guid), &size);
    if (status != ERROR_SUCCESS) {
      result = FailWin32(42, RestoreCode::kValue, std::uint32_t(status));
      return;
    }
    if (type != REG_SZ) {
      result = Fail(43, RestoreCode::kValue);
      return;
    }
  }
  guid[263] = 0;
  std::wstring path = L"\\\\?\\";
  path += windows[0];
  path += L":\\System Volume Information\\_restore";
  path += guid;
  path += L"\\drivetable.txt";
  File table(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (table.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      state = 2;
      return;
    }
    result = FailWin32(44, RestoreCode::kTableOpen, error);
    return;
  }
  const wchar_t* wanted = W(drive);
  for (;;) {
    std::wstring first, second;
    if (Failed(ReadTableField(table.get(), L'/', &first)) ||
        Failed(ReadTableField(table.get(), L' ', &second))) {
      state = 2;  // the end of the table, or a line that cannot be read
      return;
    }
    if (lstrcmpiW(wanted, first.c_str()) == 0 || lstrcmpiW(wanted, second.c_str()) == 0) {
      std::wstring flags;
      result = ReadTableField(table.get(), L' ', &flags);
      if (Failed(result)) return;
      unsigned value = 0;
      if (!TwoHexDigits(flags.c_str(), value)) {
        result = Fail(45, RestoreCode::kTableFlags);
        return;
      }
      state = (value >> 3) & 1;
      return;
    }
    if (Failed(ReadTableField(table.get(), L'\n', nullptr))) {
      state = 2;
      return;
    }
  }
}

void IsSystemRestoreEnabledVista(Common::Error& result, std::uint32_t& state,
                                 const std::u16string& drive) {
  result = Common::Error();
  const wchar_t* kValueName = L"{09F7EDC5-294E-4180-AF6A-FB0E6A0E9513}";
  Key key;
  LONG status = key.Open(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SPP\\Clients");
  if (status != ERROR_SUCCESS) {
    result = FailWin32(50, RestoreCode::kKey, std::uint32_t(status));
    return;
  }
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), kValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    state = 0;
    return;
  }
  // Two spare units, zero, so that a list stored without its terminators
  // still ends inside the buffer.
  std::vector<wchar_t> list(size / sizeof(wchar_t) + 2, 0);
  DWORD read = size;
  status = RegQueryValueExW(key.get(), kValueName, nullptr, &type,
                            reinterpret_cast<BYTE*>(list.data()), &read);
  if (status != ERROR_SUCCESS) {
    result = FailWin32(51, RestoreCode::kValue, std::uint32_t(status));
    return;
  }
  if (type != REG_MULTI_SZ) {
    result = Fail(52, RestoreCode::kValue);
    return;
  }
  const std::size_t units = std::min<std::size_t>(read / sizeof(wchar_t), list.size() - 2);
  const wchar_t* wanted = W(drive);
  for (std::size_t at = 0; at < units;) {
    const std::wstring entry(list.data() + at);
    at += entry.size() + 1;
    if (entry.empty()) continue;
    const std::size_t open = entry.find(L'(');
    const std::size_t close = open == std::wstring::npos ? open : entry.find(L')', open);
    if (close == std::wstring::npos) continue;
    const std::wstring inside = entry.substr(open + 1, close - open - 1);
    const std::size_t colon = entry.find(L':');
    const bool letter = !inside.empty() && drive.size() > 0 && inside[0] % 32 == wanted[0] % 32;
    const bool name = colon != std::wstring::npos &&
                      lstrcmpiW(entry.substr(0, colon).c_str(), wanted) == 0;
    if (!letter && !name) continue;
    unsigned value = 0;
    if (inside.size() <= 3 || !TwoHexDigits(inside.c_str() + 2, value)) {
      result = Fail(53, RestoreCode::kValue);
      return;
    }
    state = (value >> 3) & 1;
    return;
  }
  state = 0;
}

void IsSystemRestoreEnabled(Common::Error& result, std::uint32_t& state,
                            const std::u16string& drive) {
  state = 0;
  result = Common::Error();
  if (drive.empty()) {
    result = Fail(60, RestoreCode::kNoDrive);
    return;
  }
  OSVERSIONINFOEXA info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
    result = Fail(61, RestoreCode::kVersion);
    return;
  }
  if (info.wProductType != VER_NT_WORKSTATION) {
    result = Fail(62, RestoreCode::kNotWorkstation);
    return;
  }
  if (info.dwMajorVersion < 6)
    IsSystemRestoreEnabledXp(result, state, drive);
  else
    IsSystemRestoreEnabledVista(result, state, drive);
}

}  // namespace Da
