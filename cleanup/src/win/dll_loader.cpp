// Delay-import binding with error codes instead of exceptions.
#include "cleanup/dll_loader.h"

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/error.h"
#include "files/dir.h"
#include "files/resource.h"
#include "files/win/dir_tree.h"
#include "files/win/win_dir.h"
#include "foundation/registry_security.h"
#include "foundation/sync.h"
#include "foundation/text.h"
#include "sblib/delay_directory.h"
#include "windows/layer.h"

namespace Cleanup {
namespace {

// ----------------------------------------------------------------- state

struct LoaderState {
  Common::CriticalSection lock;  // guards the three fields below
  unsigned hook_users = 0;
  PfnDliHook saved_notify = nullptr;
  PfnDliHook saved_failure = nullptr;
  std::u16string folder;  // extraction folder, ends with '\'; not guarded
  // The unbound contents of each delay-import slot table, keyed by the
  // descriptor, taken while the library was not loaded.
  std::map<const ImgDelayDescr*, std::vector<FARPROC>> unbound_slots;
};

LoaderState& State() {
  static LoaderState* state = new LoaderState;  // outlives every loader
  return *state;
}

// Set while this file's binder runs on the thread: only then may the hooks
// throw, since only then is every frame between them and the catch ours.
thread_local bool t_in_binder = false;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string Widen(const char* text) {
  std::u16string out;
  for (; *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

// ------------------------------------------------- delay-import directory

struct Image {
  const uint8_t* base;
  std::vector<const ImgDelayDescr*> descriptors;
};

// The program's delay-import descriptors: the image's directory when the
// linker filled it in, else the list the build makes (sblib/delay_directory.h).
Image ProgramImage() {
  Image image;
  image.base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  if (dir.VirtualAddress != 0 && dir.Size >= sizeof(ImgDelayDescr)) {
    for (const auto* d = reinterpret_cast<const ImgDelayDescr*>(image.base + dir.VirtualAddress);
         d->rvaDLLName; ++d)
      image.descriptors.push_back(d);
  } else {
    for (const void* const* p = purgekit_delay_import_descriptors; *p; ++p)
      image.descriptors.push_back(static_cast<const ImgDelayDescr*>(*p));
  }
  return image;
}

// A descriptor field: an RVA in current images, an address in old ones.
template <typename T>
T* At(const Image& image, const ImgDelayDescr* d, DWORD value) {
  if (value == 0) return nullptr;
  if (d->grAttrs & dlattrRva) return reinterpret_cast<T*>(const_cast<uint8_t*>(image.base) + value);
  return reinterpret_cast<T*>(static_cast<uintptr_t>(value));
}

const ImgDelayDescr* FindDescriptor(const Image& image, const char* name) {
  for (const ImgDelayDescr* d : image.descriptors) {
    const char* dll = At<const char>(image, d, d->rvaDLLName);
    if (dll && lstrcmpiA(dll, name) == 0) return d;
  }
  return nullptr;
}

size_t SlotCount(const Image& image, const ImgDelayDescr* d) {
  const auto* names = At<const IMAGE_THUNK_DATA>(image, d, d->rvaINT);
  size_t n = 0;
  while (names && names[n].u1.AddressOfData) ++n;
  return n;
}

bool WriteSlots(FARPROC* slots, const std::vector<FARPROC>& values) {
  if (values.empty()) return true;
  DWORD old = 0;
  const SIZE_T bytes = values.size() * sizeof(FARPROC);
  if (!VirtualProtect(slots, bytes, PAGE_READWRITE, &old)) return false;
  std::memcpy(slots, values.data(), bytes);
  DWORD ignored = 0;
  VirtualProtect(slots, bytes, old, &ignored);
  FlushInstructionCache(GetCurrentProcess(), slots, bytes);
  return true;
}

// Remembers what the slots hold while the library is not loaded: the
// run-time's per-function stubs, which Unbind puts back.
void RememberUnboundSlots(const Image& image, const ImgDelayDescr* d) {
  LoaderState& s = State();
  auto* hmod = At<HMODULE>(image, d, d->rvaHmod);
  if (!hmod || *hmod || s.unbound_slots.count(d)) return;
  auto* slots = At<FARPROC>(image, d, d->rvaIAT);
  const size_t n = SlotCount(image, d);
  s.unbound_slots[d].assign(slots, slots + n);
}

// Calls a hook as the run-time's helper would; a null hook answers null.
FARPROC CallHook(PfnDliHook hook, unsigned notification, DelayLoadInfo& info) {
  return hook ? hook(notification, &info) : nullptr;
}

// Binds every import of one descriptor, asking the hooks in the order the
// run-time's helper does (notification before loading and before each
// lookup, failure hook after a failed one). All or nothing: on failure the
// slots and the module slot are as they were. 0 or 2.
uint32_t BindDescriptor(const Image& image, const ImgDelayDescr* d) {
  auto* hmod_slot = At<HMODULE>(image, d, d->rvaHmod);
  auto* slots = At<FARPROC>(image, d, d->rvaIAT);
  const auto* names = At<const IMAGE_THUNK_DATA>(image, d, d->rvaINT);
  const char* dll = At<const char>(image, d, d->rvaDLLName);
  if (!hmod_slot || !slots || !names || !dll) return ERROR_FILE_NOT_FOUND;
  RememberUnboundSlots(image, d);

  DelayLoadInfo info{};
  info.cb = sizeof info;
  info.pidd = d;
  info.ppfn = slots;
  info.szDll = dll;
  HMODULE loaded_here = nullptr;

  struct BinderScope {
    BinderScope() { t_in_binder = true; }
    ~BinderScope() { t_in_binder = false; }
  } scope;
  try {
    HMODULE module = *hmod_slot;
    if (!module) {
      module = reinterpret_cast<HMODULE>(
          CallHook(__pfnDliNotifyHook2, dliNotePreLoadLibrary, info));
      if (!module) module = LoadLibraryA(dll);
      if (!module) {
        info.dwLastError = GetLastError();
        module = reinterpret_cast<HMODULE>(CallHook(__pfnDliFailureHook2, dliFailLoadLib, info));
      }
      if (!module) return ERROR_FILE_NOT_FOUND;
      loaded_here = module;
    }
    info.hmodCur = module;

    const size_t n = SlotCount(image, d);
    std::vector<FARPROC> bound(n);
    for (size_t i = 0; i < n; ++i) {
      info.ppfn = slots + i;
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
        info.dlp.fImportByName = FALSE;
        info.dlp.dwOrdinal = IMAGE_ORDINAL(names[i].u1.Ordinal);
      } else {
        const auto* by_name = At<const IMAGE_IMPORT_BY_NAME>(
            image, d, static_cast<DWORD>(names[i].u1.AddressOfData));
        info.dlp.fImportByName = TRUE;
        info.dlp.szProcName = reinterpret_cast<LPCSTR>(by_name->Name);
      }
      FARPROC fn = CallHook(__pfnDliNotifyHook2, dliNotePreGetProcAddress, info);
      if (!fn) {
        fn = GetProcAddress(module, info.dlp.fImportByName
                                        ? info.dlp.szProcName
                                        : reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(
                                              info.dlp.dwOrdinal)));
      }
      if (!fn) {
        info.dwLastError = GetLastError();
        fn = CallHook(__pfnDliFailureHook2, dliFailGetProc, info);
      }
      if (!fn) throw delay_load_failed{};
      bound[i] = fn;
    }
    if (!WriteSlots(slots, bound)) throw delay_load_failed{};
    InterlockedExchangePointer(reinterpret_cast<PVOID*>(hmod_slot), module);
    return 0;
  } catch (const delay_load_failed&) {
    if (loaded_here) FreeLibrary(loaded_here);
    return ERROR_FILE_NOT_FOUND;
  }
}

// ------------------------------------------------------------ extraction

uint32_t MakeExtractionFolder() {
  LoaderState& s = State();
  if (!s.folder.empty()) return 0;
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = WindowsLayerInstance->GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length > MAX_PATH) return GetLastError();
  std::u16string folder(reinterpret_cast<const char16_t*>(temp), length);
  char16_t digits[12] = {};
  Common::FormatHex32(digits, GetTickCount(), Common::kDigitsSuffixH);
  folder += u"dl";
  folder += digits;
  folder += u"\\";
  try {
    auto* current = dynamic_cast<rio_dir*>(GetCurrentDirObject());
    if (!current) return ERROR_PATH_NOT_FOUND;
    std::unique_ptr<rio_dir> dir(current->open_dir(folder.c_str()));
    if (!dir) return ERROR_PATH_NOT_FOUND;
    if (dir->is_ok()) CreateDirTree(dir.get());
    if (uint32_t code = dir->error().Code()) return code;
  } catch (const Common::Error& e) {
    return e.Code();
  }
  s.folder = folder;
  return 0;
}

uint32_t ExtractOne(const std::string& name) {
  std::unique_ptr<si_file> entry(OpenArchiveResource(Widen(name.c_str()).c_str()));
  if (!entry || entry->has_failed()) return ERROR_FILE_NOT_FOUND;
  const uint64_t size = entry->size();
  if (size > 0x7FFFFFFF) return ERROR_NOT_ENOUGH_MEMORY;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size ? size : 1]);
  if (!data) return ERROR_NOT_ENOUGH_MEMORY;
  uint32_t got = 0;
  if (size) entry->read(data.get(), static_cast<uint32_t>(size), got);
  if (entry->has_failed() || got != size) return ERROR_READ_FAULT;

  const std::u16string path = State().folder + Widen(name.c_str());
  auto* current = dynamic_cast<rio_dir*>(GetCurrentDirObject());
  if (!current) return ERROR_PATH_NOT_FOUND;
  std::unique_ptr<rio_file> file(current->create_file(path.c_str(), false, nullptr));
  if (!file || file->has_failed()) return ERROR_PATH_NOT_FOUND;
  uint32_t written = 0;
  if (size) file->write(data.get(), static_cast<uint32_t>(size), written);
  if (file->has_failed() || written != size) return ERROR_WRITE_FAULT;
  file->flush();
  if (file->has_failed()) return ERROR_WRITE_FAULT;
  return 0;
}

// ------------------------------------------------------------ the hooks

// What the hooks do when they cannot go on: throw inside our binder, else
// hand the run-time a null answer (it then takes its own default path).
FARPROC GiveUp() {
  if (t_in_binder) throw delay_load_failed{};
  return nullptr;
}

}  // namespace

const std::u16string& DllExtractionFolder() { return State().folder; }

FARPROC WINAPI DelayLoadNotifyHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || !info || !info->szDll) return nullptr;
  LoaderState& s = State();
  const std::u16string path = s.folder + Widen(info->szDll);
  HMODULE module = nullptr;
  if (Common::IsWow64()) {
    PVOID old = nullptr;
    if (!WindowsLayerInstance->Wow64DisableWow64FsRedirection(&old)) return GiveUp();
    module = WindowsLayerInstance->LoadLibraryExW(W(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    WindowsLayerInstance->Wow64RevertWow64FsRedirection(old);
    SetLastError(error);
  } else {
    module = WindowsLayerInstance->LoadLibraryExW(W(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (!module) {
    if (s.saved_notify && s.saved_notify != &DelayLoadNotifyHook)
      return s.saved_notify(notification, info);
    return GiveUp();
  }
  return reinterpret_cast<FARPROC>(module);
}

FARPROC WINAPI DelayLoadFailureHook(unsigned notification, PDelayLoadInfo info) {
  LoaderState& s = State();
  if (s.saved_failure && s.saved_failure != &DelayLoadFailureHook)
    return s.saved_failure(notification, info);
  return GiveUp();
}

// ------------------------------------------------------------ DllLoader

DllLoader::DllLoader(std::initializer_list<const char*> names) {
  LoaderState& s = State();
  {
    Common::CriticalSectionLock guard(&s.lock);
    if (s.hook_users++ == 0) {
      s.saved_notify = __pfnDliNotifyHook2;
      s.saved_failure = __pfnDliFailureHook2;
      __pfnDliNotifyHook2 = &DelayLoadNotifyHook;
      __pfnDliFailureHook2 = &DelayLoadFailureHook;
    }
  }
  for (const char* name : names)
    if (name) names_.emplace_back(name);
  if (names_.empty()) names_.emplace_back();
  // The run-time's helper compares names exactly: use the program's spelling.
  const Image image = ProgramImage();
  if (const ImgDelayDescr* d = FindDescriptor(image, names_.front().c_str())) {
    names_.front() = At<const char>(image, d, d->rvaDLLName);
    RememberUnboundSlots(image, d);
  }
}

DllLoader::~DllLoader() {
  if (Unbind() == 0) RemoveExtracted();
  LoaderState& s = State();
  Common::CriticalSectionLock guard(&s.lock);
  if (s.hook_users > 0 && --s.hook_users == 0) {
    __pfnDliNotifyHook2 = s.saved_notify;
    __pfnDliFailureHook2 = s.saved_failure;
    s.saved_notify = s.saved_failure = nullptr;
  }
}

uint32_t DllLoader::Load(uint32_t flags) {
  uint32_t result;
  if (flags & kLoadExtractFirst) {
    result = Extract();
    if (result == 0) result = Bind();
    return result;
  }
  result = Bind();
  if (result == 0 || !(flags & kLoadFromSearchPath)) return result;
  Unbind();
  result = Extract();
  if (result == 0 && (flags & kLoadChangeDirectory) &&
      !WindowsLayerInstance->SetCurrentDirectoryW(W(State().folder)))
    result = GetLastError();
  return result != 0 ? result : Bind();
}

uint32_t DllLoader::Extract() {
  if (uint32_t result = MakeExtractionFolder()) return result;
  for (const std::string& name : names_)
    if (uint32_t result = ExtractOne(name)) return result;
  return 0;
}

uint32_t DllLoader::Bind() {
  const std::string& name = names_.front();
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  const Image image = ProgramImage();
  const ImgDelayDescr* d = FindDescriptor(image, name.c_str());
  // The run-time's load-all helper answers this for a library the program
  // does not delay-import.
  if (!d) return static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  return BindDescriptor(image, d);
}

uint32_t DllLoader::Unbind() {
  const Image image = ProgramImage();
  const ImgDelayDescr* d = FindDescriptor(image, names_.front().c_str());
  if (!d) return 0;
  auto* hmod_slot = At<HMODULE>(image, d, d->rvaHmod);
  auto* slots = At<FARPROC>(image, d, d->rvaIAT);
  if (!hmod_slot || !*hmod_slot) return 0;  // nothing bound: nothing to undo
  // The stubs come from the image's unload table when it has one, else
  // from what the slots held before the first binding.
  std::vector<FARPROC> unbound;
  if (const auto* unload = At<const FARPROC>(image, d, d->rvaUnloadIAT)) {
    unbound.assign(unload, unload + SlotCount(image, d));
  } else {
    auto it = State().unbound_slots.find(d);
    if (it == State().unbound_slots.end()) return ERROR_INVALID_FUNCTION;
    unbound = it->second;
  }
  if (!WriteSlots(slots, unbound)) return GetLastError();
  HMODULE module = reinterpret_cast<HMODULE>(
      InterlockedExchangePointer(reinterpret_cast<PVOID*>(hmod_slot), nullptr));
  if (module && !FreeLibrary(module)) return GetLastError();
  return 0;
}

uint32_t DllLoader::RemoveExtracted() {
  LoaderState& s = State();
  if (s.folder.empty()) return 0;
  for (const std::string& name : names_) {
    const std::u16string path = s.folder + Widen(name.c_str());
    // A file that was never written needs no removal, and asking for one
    // would leave a pending delete of a missing file for the next start.
    if (WindowsLayerInstance->GetFileAttributesW(W(path)) == INVALID_FILE_ATTRIBUTES) continue;
    SetLastError(0);
    if (!Common::DeleteOrMoveAtReboot(path.c_str(), nullptr, 0))
      if (DWORD error = GetLastError()) return error;
  }
  std::u16string folder = s.folder;
  folder.pop_back();  // without its '\'
  if (!Common::DeleteOrMoveAtReboot(folder.c_str(), nullptr, Common::kRebootDirectories))
    return GetLastError();
  s.folder.clear();
  return 0;
}

// ------------------------------------------------ the tool's snapshot loader

namespace {
DllLoader* g_snapshot_loader = nullptr;
}

uint32_t LoadSnapshotLibrary(uint32_t flags) {
  if (g_snapshot_loader) return 0;
  const bool win9x = (GetVersion() & 0x80000000u) != 0;
  g_snapshot_loader = win9x ? new (std::nothrow) DllLoader({"dorvex.dll", "mirtel.vxd"})
                            : new (std::nothrow) DllLoader({"dorvex.dll"});
  if (!g_snapshot_loader) return ERROR_NOT_ENOUGH_MEMORY;
  return g_snapshot_loader->Load(flags | (win9x ? kLoadChangeDirectory : 0));
}

uint32_t UnloadSnapshotLibrary() {
  if (!g_snapshot_loader) return 0;
  uint32_t result = g_snapshot_loader->Unbind();
  if (result == 0) result = g_snapshot_loader->RemoveExtracted();
  delete g_snapshot_loader;
  g_snapshot_loader = nullptr;
  return result;
}

}  // namespace Cleanup
