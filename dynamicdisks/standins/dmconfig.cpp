// A stand-in for the dynamic-disk service's configuration library, for
// tests under Wine only (never shipped). It fills the routine table the
// client asks for, runs the configuration thread's callbacks (a status
// that is not yet ready, a log text full of format characters, then the
// ready status), completes every submitted request through the block's own
// completion routine from a thread of its own, serves a small
// configuration of one disk group, and records every block it receives.
//
// Block sizes are its own table, so that the client's layouts are checked
// against an independent reading of the request.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" __declspec(dllimport) LONG NTAPI RtlCharToInteger(const char*, ULONG, PULONG);
extern "C" __declspec(dllimport) ULONG NTAPI RtlRandom(PULONG);

namespace {

using Callback2 = void(__stdcall*)(std::uint32_t, std::uint32_t);
using Callback3 = void(__stdcall*)(void*, void*, const char*);
using Callback4 = void(__stdcall*)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
using Callback0 = void(__stdcall*)();
using Completion = void(__stdcall*)(void*, std::uint32_t, void*);

CRITICAL_SECTION lock;
void** callbacks = nullptr;
std::uint32_t importSlotAtStart = 0;
bool readySent = false;
bool requestBeforeReady = false;
LONG releases = 0;
LONG locks = 0;
std::uint32_t nextStatus = 0;
bool silent = false;  // complete nothing: the client's wait must end on its own

struct Received {
  std::uint32_t opcode;
  std::uint32_t address;
  std::vector<std::uint8_t> bytes;
};
std::vector<Received> received;

std::uint8_t groupObject[0xD0];
std::uint8_t volumeObject[168];
std::uint8_t volumeDetail[0x208];
std::uint8_t releasedThing[4];

void Put32(std::uint8_t* at, std::uint32_t v) { std::memcpy(at, &v, 4); }

std::uint32_t Get32(const std::uint8_t* at) {
  std::uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

// The size of a block by its opcode, read as the service would.
std::size_t BlockSize(std::uint32_t opcode, const std::uint8_t* b) {
  switch (opcode) {
    case 10: return 236;
    case 11: return 444;
    case 12: return 236;
    case 16: return 104;
    case 17: return 568 + 40 * Get32(b + 80);
    case 19: return 64;
    case 20: return 512 + 40 * Get32(b + 40);
    case 22: return 200;
    case 24: return 144;
    case 26: return 328 + 40 * Get32(b + 48);
    case 33: return 1088;
    case 34: return 1088;
    case 37: return 128;
    case 39: return 272;
    default: return 16;
  }
}

// The IAT slot the client redirects: the second entry of the ntdll.dll
// descriptor of this image (its optional header has minor version 0).
std::uint32_t* NtdllSlot() {
  auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleA("dmconfig.dll"));
  if (base == nullptr) return nullptr;
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name;
       ++d) {
    if (std::strncmp(reinterpret_cast<char*>(base + d->Name), "ntdll.dll", 9) == 0) {
      return reinterpret_cast<std::uint32_t*>(base + d->FirstThunk) + 1;
    }
  }
  return nullptr;
}

DWORD WINAPI CompleteLater(LPVOID parameter) {
  auto* block = static_cast<std::uint8_t*>(parameter);
  Sleep(20);
  std::uint32_t status;
  EnterCriticalSection(&lock);
  status = nextStatus;
  LeaveCriticalSection(&lock);
  auto done = reinterpret_cast<Completion>(static_cast<std::uintptr_t>(Get32(block + 12)));
  done(nullptr, status, releasedThing);
  if (callbacks != nullptr && callbacks[11] != nullptr) {
    reinterpret_cast<Callback4>(callbacks[11])(1, 2, 3, 4);
  }
  return 0;
}

DWORD WINAPI ConfigThread(LPVOID) {
  // Not ready yet, then a text of the service's that must not be taken as
  // a format, then ready.
  reinterpret_cast<Callback2>(callbacks[2])(4, 3);
  Sleep(300);
  reinterpret_cast<Callback3>(callbacks[9])(nullptr, nullptr, "volume %s %n %x text");
  EnterCriticalSection(&lock);
  readySent = true;
  LeaveCriticalSection(&lock);
  reinterpret_cast<Callback2>(callbacks[2])(4, 4);
  return 0;
}

void __stdcall CreateConfigThread(void** block, std::uintptr_t, std::uintptr_t) {
  callbacks = block;
  if (std::uint32_t* slot = NtdllSlot()) importSlotAtStart = *slot;
  HANDLE t = CreateThread(nullptr, 0, &ConfigThread, nullptr, 0, nullptr);
  if (t != nullptr) CloseHandle(t);
}

void __stdcall SubmitRequest(std::uint32_t opcode, std::uint8_t* block) {
  Received r;
  r.opcode = opcode;
  r.address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block));
  r.bytes.assign(block, block + BlockSize(opcode, block));
  EnterCriticalSection(&lock);
  if (!readySent) requestBeforeReady = true;
  received.push_back(r);
  const bool quiet = silent;
  LeaveCriticalSection(&lock);
  if (quiet) return;
  HANDLE t = CreateThread(nullptr, 0, &CompleteLater, block, 0, nullptr);
  if (t != nullptr) CloseHandle(t);
}

void __stdcall ReleaseObject(void* object) {
  if (object == releasedThing) InterlockedIncrement(&releases);
}
void __stdcall LockConfig() { InterlockedIncrement(&locks); }
void __stdcall UnlockConfig() { InterlockedDecrement(&locks); }
void* __stdcall GetRootDiskGroup() { return groupObject; }
void* __stdcall FindDiskGroupByName(const char* name) {
  return std::strcmp(name, "Dg0") == 0 ? groupObject : nullptr;
}
void __stdcall FirstDiskGroup(std::uint32_t* cursor) { cursor[0] = 0; }
void* __stdcall NextDiskGroup(std::uint32_t* cursor) {
  return cursor[0]++ == 0 ? groupObject : nullptr;
}
void __stdcall FirstGroupObject(void*, std::uint32_t* cursor) { cursor[0] = 0; }
void* __stdcall NextGroupObject(std::uint32_t* cursor) {
  return cursor[0]++ == 0 ? volumeObject : nullptr;
}

void Setup() {
  std::memcpy(groupObject + 88, "Dg0", 3);
  std::memcpy(groupObject + 132, "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", 36);
  Put32(groupObject + 0xC8, 0x55667788);
  Put32(groupObject + 0xCC, 0x11223344);
  volumeObject[14] = 1;
  Put32(volumeObject + 16, 0x77);
  std::memcpy(volumeObject + 88, "Volume1", 7);
  Put32(volumeObject + 164, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(volumeDetail)));
  Put32(volumeDetail + 0x188, 0x77);
  std::memcpy(volumeDetail + 0x90, "Volume1", 7);
  Put32(volumeDetail + 0x1C8, 2048);
}

}  // namespace

extern "C" {

__declspec(dllexport) void __stdcall cs_get_api_calls(void** table) {
  table[0] = reinterpret_cast<void*>(&CreateConfigThread);
  table[9] = reinterpret_cast<void*>(&SubmitRequest);
  table[10] = reinterpret_cast<void*>(&ReleaseObject);
  table[11] = reinterpret_cast<void*>(&LockConfig);
  table[12] = reinterpret_cast<void*>(&UnlockConfig);
  table[13] = reinterpret_cast<void*>(&GetRootDiskGroup);
  table[15] = reinterpret_cast<void*>(&FindDiskGroupByName);
  table[16] = reinterpret_cast<void*>(&FirstDiskGroup);
  table[17] = reinterpret_cast<void*>(&NextDiskGroup);
  table[20] = reinterpret_cast<void*>(&FirstGroupObject);
  table[21] = reinterpret_cast<void*>(&NextGroupObject);
}

// --- what the tests read back ---
__declspec(dllexport) std::uint32_t __stdcall standin_import_slot_at_start() {
  return importSlotAtStart;
}
__declspec(dllexport) std::uint32_t __stdcall standin_import_slot_now() {
  std::uint32_t* slot = NtdllSlot();
  return slot != nullptr ? *slot : 0;
}
__declspec(dllexport) int __stdcall standin_request_before_ready() {
  return requestBeforeReady ? 1 : 0;
}
__declspec(dllexport) LONG __stdcall standin_releases() { return releases; }
__declspec(dllexport) LONG __stdcall standin_locks_held() { return locks; }
__declspec(dllexport) void __stdcall standin_set_status(std::uint32_t status) {
  EnterCriticalSection(&lock);
  nextStatus = status;
  LeaveCriticalSection(&lock);
}
__declspec(dllexport) void __stdcall standin_set_silent(int on) {
  EnterCriticalSection(&lock);
  silent = on != 0;
  LeaveCriticalSection(&lock);
}
__declspec(dllexport) std::uint32_t __stdcall standin_received_count() {
  EnterCriticalSection(&lock);
  const std::uint32_t n = static_cast<std::uint32_t>(received.size());
  LeaveCriticalSection(&lock);
  return n;
}
// Copies block i; its opcode and address; the number of bytes.
__declspec(dllexport) std::uint32_t __stdcall standin_received(std::uint32_t i, std::uint8_t* out,
                                                              std::uint32_t room,
                                                              std::uint32_t* opcode,
                                                              std::uint32_t* address) {
  EnterCriticalSection(&lock);
  std::uint32_t n = 0;
  if (i < received.size()) {
    const Received& r = received[i];
    n = static_cast<std::uint32_t>(r.bytes.size());
    std::memcpy(out, r.bytes.data(), n < room ? n : room);
    *opcode = r.opcode;
    *address = r.address;
  }
  LeaveCriticalSection(&lock);
  return n;
}
// Keeps the two ntdll imports in the image's table.
__declspec(dllexport) ULONG __stdcall standin_keep_imports() {
  ULONG seed = 1;
  ULONG value = 0;
  RtlCharToInteger("1", 10, &value);
  return RtlRandom(&seed) + value;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    InitializeCriticalSection(&lock);
    Setup();
  }
  return TRUE;
}

}  // extern "C"
