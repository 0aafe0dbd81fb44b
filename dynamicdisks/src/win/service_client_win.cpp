// The client of Windows' dynamic-disk service: the "dmio" service, its
// configuration library's routine table, the configuration thread and its
// callbacks, requests and their completion, and the redirection of one of
// the library's imported system routines while the client starts it.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_client.h"
#include "ldm/service_groups.h"
#include "ldm/service_requests.h"
#include "ldm/service_ways.h"

static_assert(sizeof(void*) == 4, "the service's blocks hold 32-bit addresses");

namespace Ldm {

namespace {

constexpr std::uint32_t kInitLocation = 0x4C445A01;
constexpr std::size_t kTableEntries = 46;
constexpr std::size_t kCallbackEntries = 18;
// A disk-group object: its GUID text at 132 (65 bytes) and its 64-bit id
// at 0xC8.
constexpr std::size_t kGroupObjBytes = 0xD0;

// The routine table the library fills, with the callback block right after
// it.
struct ApiData {
  void* table[kTableEntries];
  void* callbacks[kCallbackEntries];
};

struct DiskGroupCursor {
  std::uint32_t state = 0;
  std::uint8_t end = 0;
};
struct GroupObjectCursor {
  std::uint8_t state[16] = {};
  std::uint8_t end = 0;
  void* group = nullptr;
};

// Flags shared with the library's threads.
std::atomic<bool> configReady{false};
std::atomic<bool> taskCompleted{false};
std::atomic<bool> requestDone{false};
std::atomic<std::uint32_t> requestStatus{0};
std::atomic<std::uint32_t> waitLimit{60000};
HANDLE stopEvent = nullptr;  // set by nothing: configuration threads stay

// Polls the flag every 100 ms; false when the limit passed first.
bool WaitFor(const std::atomic<bool>& flag) {
  const DWORD start = GetTickCount();
  while (!flag.load()) {
    if (GetTickCount() - start >= waitLimit.load()) return false;
    Sleep(100);
  }
  return true;
}

class LdmWinApi final : public ServiceConfig, public ServiceRequester {
 public:
  ApiData data{};
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  void* rootObject = nullptr;
  std::uint64_t rootId = 0;
  HMODULE module = nullptr;

  template <class F>
  F Entry(std::size_t i) const {
    return reinterpret_cast<F>(data.table[i]);
  }

  // --- ServiceConfig ---
  Common::ByteView FindDiskGroup(const std::string& name) override {
    auto find = Entry<void*(__stdcall*)(const char*)>(15);
    void* group = find != nullptr ? find(name.c_str()) : nullptr;
    return group != nullptr ? Common::ByteView(group, kGroupObjBytes) : Common::ByteView();
  }
  void LockConfig() override {
    LdmLog("WE LOCK LDM CONFIG");
    if (auto f = Entry<void(__stdcall*)()>(11)) f();
  }
  void UnlockConfig() override {
    LdmLog("WE UNLOCK LDM CONFIG");
    if (auto f = Entry<void(__stdcall*)()>(12)) f();
  }
  std::vector<ConfigObject> GroupObjects(const Common::ByteView& group) override {
    std::vector<ConfigObject> out;
    auto first = Entry<void(__stdcall*)(void*, GroupObjectCursor*)>(20);
    auto next = Entry<void*(__stdcall*)(GroupObjectCursor*)>(21);
    if (first == nullptr || next == nullptr || group.size() == 0) return out;
    GroupObjectCursor cursor;
    cursor.group = const_cast<std::uint8_t*>(group.data());
    first(cursor.group, &cursor);
    while (!cursor.end) {
      const std::uint8_t* object = static_cast<const std::uint8_t*>(next(&cursor));
      if (object == nullptr) {
        cursor.end = 1;
        break;
      }
      ConfigObject o;
      o.object = Common::ByteView(object, kObjBytes);
      const void* detail = reinterpret_cast<const void*>(
          static_cast<std::uintptr_t>(Common::LoadLe32(object + kObjDetailOffset)));
      std::size_t bytes = 0;
      switch (o.RecordType()) {
        case kRecordVolume: bytes = kVolumeDetailBytes; break;
        case kRecordPlex: bytes = kPlexDetailBytes; break;
        case kRecordSubdisk: bytes = kSubdiskDetailBytes; break;
        case kRecordDisk: bytes = kDiskDetailBytes; break;
        case kRecordGroup: bytes = kGroupDetailBytes; break;
        default: break;
      }
      o.detail = Common::ByteView(detail, bytes);
      out.push_back(o);
    }
    return out;
  }

  // --- ServiceRequester ---
  std::uint64_t RootId() override;
  std::uint32_t Submit(std::uint32_t opcode, const RequestFields& fields) override;
  void ClearTaskCompleted() override { taskCompleted = false; }
  bool WaitTaskCompletion() override { return WaitFor(taskCompleted); }

  std::uint32_t Request(std::uint32_t opcode, std::uint8_t* block);
};

LdmWinApi* instance = nullptr;

LdmWinApi* Instance() {
  if (instance == nullptr) {
    instance = new (std::nothrow) LdmWinApi();
    configReady = false;
  }
  return instance;
}

// --- callbacks of the configuration thread ---------------------------------------

void __stdcall OnConfigStatus(std::uint32_t a, std::uint32_t b) {
  LdmLog("**** LDM ***: CONFIG STATUS = %d/%d", static_cast<int>(a), static_cast<int>(b));
  if (a == 4 && b == 4) configReady = true;
}
void __stdcall OnNewDiskGroup(void*) { LdmLog("**** LDM ****: New Disk Group"); }
void __stdcall OnRemoveDiskGroup(void*, void*) { LdmLog("**** LDM ****: Remove Disk Group"); }
void __stdcall OnDgUpdateStart(void*, void*, void*) { LdmLog("**** LDM ****: Dg Update Start"); }
void __stdcall OnDgUpdateFinish(void*, void*, void*, void*) {
  LdmLog("**** LDM ****: Dg Update Finish");
}
void __stdcall OnNewEvent(std::uint32_t value) {
  LdmLog("**** LDM ****: New Event = %x", static_cast<unsigned>(value));
}
void __stdcall LogVoldMsg(void*, void*, const char* text) {
  LdmLog("**** LDM ****: S_LogVoldMsg");
  // The service's text is data, never a format.
  LdmLog("%s", text != nullptr ? text : "");
}
void __stdcall OnTaskStatus(const std::uint8_t* record) {
  if (record == nullptr) return;
  LdmLog("**** LDM ****: Task status %d/%d", static_cast<int>(Common::LoadLe32(record + 24)),
         static_cast<int>(Common::LoadLe32(record + 16)));
}
void __stdcall OnTaskCompletion(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                std::uint32_t d) {
  LdmLog("**** LDM ****: Task completion %x:%x:%x:%x", static_cast<unsigned>(a),
         static_cast<unsigned>(b), static_cast<unsigned>(c), static_cast<unsigned>(d));
  taskCompleted = true;
}
void __stdcall OnRescan() { LdmLog("**** LDM ****: PmDoRescanForDeviceChanges()"); }
void __stdcall OnNoWork() {
  LdmLog("*** LDM ***: NO WORK");
  configReady = true;
}

void __stdcall RequestCallback(void*, std::uint32_t status, void* object) {
  requestStatus = status;
  if (object != nullptr && instance != nullptr) {
    if (auto release = instance->Entry<void(__stdcall*)(void*)>(10)) release(object);
  }
  LdmLog("**** LDM ****: Request callback status = %d", static_cast<int>(status));
  requestDone = true;
}

DWORD WINAPI ConfigThreadProc(LPVOID parameter) {
  LdmWinApi* api = static_cast<LdmWinApi*>(parameter);
  void** cb = api->data.callbacks;
  std::memset(cb, 0, sizeof api->data.callbacks);
  cb[2] = reinterpret_cast<void*>(&OnConfigStatus);
  cb[3] = reinterpret_cast<void*>(&OnNewDiskGroup);
  cb[4] = reinterpret_cast<void*>(&OnRemoveDiskGroup);
  cb[6] = reinterpret_cast<void*>(&OnDgUpdateStart);
  cb[7] = reinterpret_cast<void*>(&OnDgUpdateFinish);
  cb[8] = reinterpret_cast<void*>(&OnNewEvent);
  cb[9] = reinterpret_cast<void*>(&LogVoldMsg);
  cb[10] = reinterpret_cast<void*>(&OnTaskStatus);
  cb[11] = reinterpret_cast<void*>(&OnTaskCompletion);
  cb[12] = reinterpret_cast<void*>(&OnRescan);
  cb[17] = reinterpret_cast<void*>(&OnNoWork);
  configReady = false;
  if (auto create = api->Entry<void(__stdcall*)(void*, std::uintptr_t, std::uintptr_t)>(0)) {
    create(cb, 0, 0);
  }
  LdmLog("***** cs_create_config_thread() returned");
  WaitForSingleObject(stopEvent, INFINITE);
  return 0;
}

// --- the import redirection ---------------------------------------------------------

using NtRoutine = std::uintptr_t(__stdcall*)(std::uintptr_t, std::uintptr_t, std::uintptr_t);

struct ImportPatch {
  std::uint8_t* base = nullptr;
  std::uint32_t slotIndex = 0;
  std::uint32_t* saved = nullptr;  // the slot's previous content
};
ImportPatch* patch = nullptr;
std::atomic<NtRoutine> savedRoutine{nullptr};

std::uintptr_t __stdcall NtdllRetryHook(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c) {
  const NtRoutine original = savedRoutine.load();
  if (original == nullptr) return 0;
  const std::uintptr_t r = original(a, b, c);
  if (r == 0) return 0;
  return original(a, 0x100000, c);
}

// The import-address-table slot of the image's "ntdll.dll" descriptor at
// the index, or null when there is none within that descriptor's table.
std::uint32_t* FindSlot(std::uint8_t* base, std::uint32_t index) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
  for (; d->Name != 0; ++d) {
    const char* name = reinterpret_cast<const char*>(base + d->Name);
    if (std::strncmp(name, "ntdll.dll", 9) != 0) continue;
    auto* iat = reinterpret_cast<std::uint32_t*>(base + d->FirstThunk);
    // The index must lie inside this descriptor's table, which ends with a
    // zero entry.
    for (std::uint32_t i = 0; i <= index; ++i) {
      if (iat[i] == 0) return nullptr;
    }
    return &iat[index];
  }
  return nullptr;
}

bool WriteSlot(std::uint32_t* slot, std::uint32_t value) {
  DWORD old = 0;
  if (!VirtualProtect(slot, 4, PAGE_READWRITE, &old)) return false;
  *slot = value;
  DWORD ignored = 0;
  return VirtualProtect(slot, 4, old, &ignored) != 0;
}

void RestoreNtdllImport() {
  if (patch == nullptr) return;
  if (std::uint32_t* slot = FindSlot(patch->base, patch->slotIndex)) {
    WriteSlot(slot, *patch->saved);
  }
  delete patch->saved;
  delete patch;
  patch = nullptr;
  savedRoutine = nullptr;
}

bool PatchNtdllImport(LdmWinApi& api) {
  if (patch != nullptr) return false;
  MEMORY_BASIC_INFORMATION info{};
  if (api.data.table[0] == nullptr ||
      VirtualQuery(api.data.table[0], &info, sizeof info) != sizeof info) {
    return false;
  }
  auto* base = static_cast<std::uint8_t*>(info.AllocationBase);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const std::uint32_t index = (nt->OptionalHeader.MajorOperatingSystemVersion != 0 &&
                               nt->OptionalHeader.MinorOperatingSystemVersion != 0)
                                  ? 16
                                  : 1;
  std::uint32_t* slot = FindSlot(base, index);
  // No slot to redirect: nothing is kept, so that a later start can try
  // again.
  if (slot == nullptr) return false;
  patch = new ImportPatch();
  patch->base = base;
  patch->slotIndex = index;
  patch->saved = new std::uint32_t(*slot);
  savedRoutine = reinterpret_cast<NtRoutine>(static_cast<std::uintptr_t>(*slot));
  if (!WriteSlot(slot, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&NtdllRetryHook)))) {
    // Undone at once: a half-made redirection must not stay in force.
    WriteSlot(slot, *patch->saved);
    delete patch->saved;
    delete patch;
    patch = nullptr;
    savedRoutine = nullptr;
    return false;
  }
  return true;
}

// --- start-up steps -------------------------------------------------------------------

bool LoadDmService() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, 0xF003F);
  if (manager == nullptr) {
    LdmLog("WIN_LDM_INIT: LoadDmService(): Can't open service manager");
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, "dmio", 0xF01FF);
  if (service == nullptr) {
    LdmLog("WIN_LDM_INIT: LoadDmService(): Can't open DMIO service");
    CloseServiceHandle(manager);
    return false;
  }
  SERVICE_STATUS status{};
  bool ok = false;
  if (!QueryServiceStatus(service, &status)) {
    LdmLog("WIN_LDM_INIT: LoadDmService(): Can't open query DMIO service status");
  } else if (status.dwCurrentState == SERVICE_RUNNING) {
    ok = true;
  } else if (StartServiceA(service, 0, nullptr)) {
    if (QueryServiceStatus(service, &status)) {
      DWORD tick = GetTickCount();
      DWORD checkpoint = status.dwCheckPoint;
      while (status.dwCurrentState == SERVICE_START_PENDING) {
        DWORD pause = status.dwWaitHint / 10;
        if (pause < 1000) pause = 1000;
        if (pause > 10000) pause = 10000;
        Sleep(pause);
        if (!QueryServiceStatus(service, &status)) break;
        if (status.dwCheckPoint > checkpoint) {
          checkpoint = status.dwCheckPoint;
          tick = GetTickCount();
        } else if (GetTickCount() - tick > status.dwWaitHint) {
          break;
        }
      }
    }
    ok = status.dwCurrentState == SERVICE_RUNNING;
    if (!ok) LdmLog("WIN_LDM_INIT: LoadDmService(): failed to run DMIO service");
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

bool LoadApiInterface(LdmWinApi& api) {
  api.module = LoadLibraryA("dmconfig.dll");
  if (api.module == nullptr) {
    LdmLog("WIN_LDM_INIT: LoadApiInterface(): Can't load DMCONFIG.DLL");
    return false;
  }
  auto get = reinterpret_cast<void(__stdcall*)(void*)>(
      reinterpret_cast<void*>(GetProcAddress(api.module, "cs_get_api_calls")));
  if (get == nullptr) {
    LdmLog("WIN_LDM_INIT: LoadApiInterface(): Can't find export 'cs_get_api_calls' in DMCONFIG.DLL");
    return false;
  }
  get(&api.data);
  return true;
}

bool StartConfigThread(LdmWinApi& api) {
  if (stopEvent == nullptr) stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  api.thread = CreateThread(nullptr, 0, &ConfigThreadProc, &api, 0, &api.threadId);
  return api.thread != nullptr;
}

void TakeRoot(LdmWinApi& api, void* object) {
  api.rootObject = object;
  const auto* bytes = static_cast<const std::uint8_t*>(object);
  api.rootId = object != nullptr ? (std::uint64_t(Common::LoadLe32(bytes + 0xCC)) << 32) |
                                       Common::LoadLe32(bytes + 0xC8)
                                 : 0;
}

void* GetRootDga(LdmWinApi& api) {
  auto root = api.Entry<void*(__stdcall*)()>(13);
  void* object = root != nullptr ? root() : nullptr;
  if (object == nullptr) {
    LdmLog("GetRootDga: *********** FIRST ATTEMPT FAILED ****************");
    auto first = api.Entry<void(__stdcall*)(DiskGroupCursor*)>(16);
    auto next = api.Entry<void*(__stdcall*)(DiskGroupCursor*)>(17);
    if (first != nullptr && next != nullptr) {
      DiskGroupCursor cursor;
      first(&cursor);
      if (!cursor.end) object = next(&cursor);
    }
    if (object == nullptr) LdmLog("GetRootDga: ***************** ROOT DGA FAILED ****************");
  }
  TakeRoot(api, object);
  return object;
}

Common::Error StartFailed(const char* text) {
  return MakeLdmError(kInitLocation, kErrServiceStart, text);
}

}  // namespace

std::uint64_t LdmWinApi::RootId() {
  GetRootDga(*this);
  return rootId;
}

std::uint32_t LdmWinApi::Request(std::uint32_t opcode, std::uint8_t* block) {
  Common::StoreLe32(block + 8, opcode);
  Common::StoreLe32(block + 12,
                    static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&RequestCallback)));
  LdmLog("LdmWinApi::Request(): start, OPCODE=%x, address=%x", static_cast<unsigned>(opcode),
         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(block)));
  requestDone = false;
  if (auto submit = Entry<void(__stdcall*)(std::uint32_t, void*)>(9)) submit(opcode, block);
  LdmLog("LdmWinApi::Request(): wait for task completion");
  if (!WaitFor(requestDone)) {
    LdmLog("LdmWinApi::Request(): no completion in time");
    return kStatusTimedOut;
  }
  const std::uint32_t status = requestStatus.load();
  LdmLog(status == 0 ? "LdmWinApi::Request(): success complete"
                     : "LdmWinApi::Request(): complete with failed code");
  return status;
}

std::uint32_t LdmWinApi::Submit(std::uint32_t opcode, const RequestFields& fields) {
  const std::size_t size = RequestBlockSize(opcode, fields.disks.size());
  if (size == 0 || fields.disks.size() > 32) return kStatusTimedOut;
  auto* block = static_cast<std::uint8_t*>(std::calloc(1, size));
  auto* status = static_cast<std::uint8_t*>(std::calloc(1, kStatusRecordBytes));
  if (block == nullptr || status == nullptr) {
    std::free(block);
    std::free(status);
    return kStatusTimedOut;
  }
  InitStatusRecord(status);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  RequestContext c;
  c.blockAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block));
  c.completionRoutine =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&RequestCallback));
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  c.time = (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  c.event = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
  c.statusAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(status));
  const std::vector<std::uint8_t> bytes = BuildRequestBlock(opcode, fields, c);
  std::memcpy(block, bytes.data(), bytes.size());
  const std::uint32_t result = Request(opcode, block);
  // A request the service never completed may still be written to by it:
  // its memory is then left to the service.
  if (result != kStatusTimedOut) {
    std::free(block);
    std::free(status);
    if (event != nullptr) CloseHandle(event);
  }
  return result;
}

void SetServiceWaitLimit(std::uint32_t milliseconds) { waitLimit = milliseconds; }

bool ImportRedirectionActive() { return patch != nullptr; }

Common::Error LdmWinInit() {
  LdmLog("LdmWinInit: Create signleton");
  LdmWinApi* api = Instance();
  if (api == nullptr) return StartFailed("Windows' dynamic-disk service cannot be started.");
  LdmLog("LdmWinInit: Start DM service");
  if (!LoadDmService()) return StartFailed("The dynamic-disk service is not running.");
  LdmLog("LdmWinInit: Load API interface");
  if (!LoadApiInterface(*api)) {
    return StartFailed("The dynamic-disk service's library cannot be used.");
  }
  if (!PatchNtdllImport(*api)) {
    return StartFailed("The dynamic-disk service's library cannot be prepared.");
  }
  LdmLog("LdmWinInit: Create Configuration thread");
  if (!StartConfigThread(*api)) {
    RestoreNtdllImport();
    return StartFailed("The dynamic-disk service's configuration thread cannot be started.");
  }
  LdmLog("LdmWinInit: Wait for LDM config thread ready....");
  if (!WaitFor(configReady)) {
    RestoreNtdllImport();
    return StartFailed("The dynamic-disk service's configuration was not ready in time.");
  }
  api->Submit(kOpRescan, RequestFields());
  LdmLog("LdmWinInit: Initialization complete");
  GetRootDga(*api);
  RestoreNtdllImport();
  SetServiceConfigInstance(api);
  SetServiceRequesterInstance(api);
  return Common::Error();
}

namespace {

// No subdisk on the disk belongs to a volume of more than one plex or to a
// parity volume.
bool IsDiskNonRedundant(LdmDgAccess& group, const LdmDisk& disk) {
  for (const auto& r : group.records) {
    if (r->type != kRecordSubdisk || r->diskRid != disk.rid) continue;
    const LdmRecord* plex = r->firstParent;
    const LdmRecord* volume = plex != nullptr ? plex->firstParent : nullptr;
    if (volume == nullptr) continue;
    const Fdisk::LdmVolType type = group.GetVolumeType(*volume);
    if (volume->children.size() > 1 || type == Fdisk::kLdmVolRaid5) return false;
  }
  return true;
}

}  // namespace

Common::Error LdmWinInitExt(LdmComputer& computer) {
  Common::Error e = LdmWinInit();
  if (e) return e;
  for (auto& g : computer.groups) SynchronizeWinAndRawLdm(*g);
  LdmLog("LdmWinInitExt: Reactivate Stalled disks");
  for (auto& d : computer.disks) {
    if (d->type != kDiskStalled || d->group == nullptr) continue;
    if (!IsDiskNonRedundant(*d->group, *d)) {
      LdmLog("LdmWinInitExt: Redundant disk - skip reactivation");
      continue;
    }
    LdmLog("LdmWinInitExt: Non-Redundant stalled disk - try to reactivate");
    if (WinReactivateDisk(*d->group, *d)) {
      LdmLog("LdmWinInitExt: Stalled Disk Reactivation failed");
      continue;
    }
    LdmLog("LdmWinInitExt: Stalled Disk Reactivation success");
    SynchronizeWinAndRawLdm(*d->group);
    d->type = kDiskDynamic;
  }
  return Common::Error();
}

void InstallWindowsServiceClient() { SetWindowsServiceStarter(&LdmWinInitExt); }

}  // namespace Ldm
