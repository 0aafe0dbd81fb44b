// A stand-in for the system's BackupRead, BackupSeek and BackupWrite, used
// where the system answers them with ERROR_NOT_SUPPORTED (Wine's are stubs).
// It reads and writes the published backup-stream format (WIN32_STREAM_ID
// records) for what the entry backup and restore move:
//   - security (id 3): the owner, group, DACL and, when the handle may read
//     it, the SACL, as one self-relative descriptor; written back with
//     SetKernelObjectSecurity, only with process security on;
//   - data (id 1): a file's unnamed data stream; written from offset 0, and
//     the file cut to what the stream held;
//   - sparse blocks (id 9): written at their offset (read never makes them);
//   - reparse data (id 8): FSCTL_GET_REPARSE_POINT / FSCTL_SET_REPARSE_POINT.
// What it does not do, unlike the system's calls: alternate data streams,
// extended attributes, object ids, hard-link records and property data are
// neither produced nor applied (written records of those ids are passed
// over); sparse files are read as plain data; a directory yields only its
// security and reparse records. A write is taken whole or not at all, so
// that a caller may retry one that failed.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "files/backup_stream.h"
#include "files/win/backup_win.h"
#include "foundation/byteorder.h"

namespace backup_standin {
namespace {

// Reparse data is at most 16 KiB; a descriptor at most 64 KiB.
constexpr std::uint64_t kMaxSecurityRecord = 0x10000;
constexpr std::uint64_t kMaxReparseRecord = 16 * 1024;

std::mutex g_lock;
std::set<void*>& Contexts() {
  static std::set<void*> contexts;
  return contexts;
}

void Register(void* context) {
  std::lock_guard<std::mutex> hold(g_lock);
  Contexts().insert(context);
}
void Unregister(void* context) {
  std::lock_guard<std::mutex> hold(g_lock);
  Contexts().erase(context);
}

// ---- reading --------------------------------------------------------------

struct Record {
  std::uint32_t id = 0;
  std::vector<std::uint8_t> prefix;  // header and name
  std::vector<std::uint8_t> bytes;   // the data, unless it comes from the file
  std::uint64_t fileBytes = 0;       // data read from the handle (id 1)
  bool fromFile = false;
  std::uint64_t size() const { return fromFile ? fileBytes : bytes.size(); }
};

struct ReadState {
  std::vector<Record> records;
  std::size_t index = 0;
  std::uint64_t at = 0;  // bytes of the current record delivered (prefix + data)
};

std::vector<std::uint8_t> Header(std::uint32_t id, std::uint64_t size) {
  std::vector<std::uint8_t> header(kBackupStreamHeaderSize);
  Common::StoreLe32(header.data(), id);
  Common::StoreLe32(header.data() + 4, 0);
  Common::StoreLe64(header.data() + 8, size);
  Common::StoreLe32(header.data() + 16, 0);
  return header;
}

bool ReadSecurity(HANDLE file, std::vector<std::uint8_t>& out) {
  const SECURITY_INFORMATION withSacl = OWNER_SECURITY_INFORMATION |
                                        GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  for (SECURITY_INFORMATION what : {withSacl, withSacl & ~SACL_SECURITY_INFORMATION}) {
    DWORD needed = 0;
    GetKernelObjectSecurity(file, what, nullptr, 0, &needed);
    if (needed == 0 || needed > kMaxSecurityRecord) continue;
    out.resize(needed);
    if (GetKernelObjectSecurity(file, what, out.data(), needed, &needed)) {
      out.resize(GetSecurityDescriptorLength(out.data()));
      return true;
    }
  }
  out.clear();
  return false;
}

bool ReadReparse(HANDLE file, std::vector<std::uint8_t>& out) {
  out.resize(kMaxReparseRecord);
  DWORD returned = 0;
  if (!DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, out.data(), DWORD(out.size()),
                       &returned, nullptr)) {
    out.clear();
    return false;
  }
  out.resize(returned);
  return returned != 0;
}

// The records of the entry, in the order the system's call gives them.
bool Describe(HANDLE file, bool processSecurity, ReadState& state) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (processSecurity) {
    Record security;
    security.id = kBackupStreamSecurity;
    if (ReadSecurity(file, security.bytes)) state.records.push_back(std::move(security));
  }
  if (!directory) {
    Record data;
    data.id = kBackupStreamData;
    data.fromFile = true;
    data.fileBytes = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    state.records.push_back(std::move(data));
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    Record reparse;
    reparse.id = kBackupStreamReparseData;
    if (ReadReparse(file, reparse.bytes)) state.records.push_back(std::move(reparse));
  }
  for (Record& record : state.records) record.prefix = Header(record.id, record.size());
  return true;
}

bool ReadFileAt(HANDLE file, std::uint64_t offset, BYTE* buffer, DWORD size, DWORD& got) {
  LARGE_INTEGER to;
  to.QuadPart = LONGLONG(offset);
  if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN)) return false;
  got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) != FALSE;
}

}  // namespace

bool Owns(void* context) {
  if (context == nullptr) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  return Contexts().count(context) != 0;
}

BOOL Read(HANDLE file, BYTE* buffer, DWORD size, DWORD* read, BOOL abort, BOOL processSecurity,
          void** context) {
  if (read != nullptr) *read = 0;
  ReadState* state = static_cast<ReadState*>(*context);
  if (abort) {
    if (state != nullptr) {
      Unregister(state);
      delete state;
      *context = nullptr;
    }
    return TRUE;
  }
  if (read == nullptr || (buffer == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (state == nullptr) {
    std::unique_ptr<ReadState> made(new (std::nothrow) ReadState);
    if (!made) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    if (!Describe(file, processSecurity != FALSE, *made)) return FALSE;
    state = made.release();
    Register(state);
    *context = state;
  }
  DWORD done = 0;
  while (done < size && state->index < state->records.size()) {
    Record& record = state->records[state->index];
    const std::uint64_t prefix = record.prefix.size();
    if (state->at < prefix) {
      const DWORD n = DWORD(std::min<std::uint64_t>(prefix - state->at, size - done));
      std::memcpy(buffer + done, record.prefix.data() + state->at, n);
      done += n;
      state->at += n;
      continue;
    }
    const std::uint64_t into = state->at - prefix;
    if (into >= record.size()) {
      ++state->index;
      state->at = 0;
      continue;
    }
    const DWORD n = DWORD(std::min<std::uint64_t>(record.size() - into, size - done));
    if (record.fromFile) {
      DWORD got = 0;
      if (!ReadFileAt(file, into, buffer + done, n, got)) {
        *read = done;
        return FALSE;
      }
      if (got == 0) {
        // The file shrank under the read: its record ends here, and the
        // header already sent cannot be taken back.
        SetLastError(ERROR_HANDLE_EOF);
        *read = done;
        return FALSE;
      }
      done += got;
      state->at += got;
    } else {
      std::memcpy(buffer + done, record.bytes.data() + into, n);
      done += n;
      state->at += n;
    }
  }
  *read = done;
  return TRUE;
}

BOOL Seek(HANDLE file, DWORD low, DWORD high, DWORD* lowSeeked, DWORD* highSeeked,
          void** context) {
  *lowSeeked = 0;
  *highSeeked = 0;
  ReadState* state = static_cast<ReadState*>(*context);
  if (state == nullptr || !Owns(state)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::uint64_t wanted = std::uint64_t(high) << 32 | low;
  std::uint64_t moved = 0;
  if (state->index < state->records.size()) {
    const Record& record = state->records[state->index];
    const std::uint64_t prefix = record.prefix.size();
    // Only inside the current record's data, as the system's call.
    if (state->at >= prefix) {
      const std::uint64_t left = record.size() - (state->at - prefix);
      moved = std::min(wanted, left);
      state->at += moved;
    }
  }
  *lowSeeked = DWORD(moved);
  *highSeeked = DWORD(moved >> 32);
  if (moved != wanted) {
    SetLastError(ERROR_SEEK);
    return FALSE;
  }
  return TRUE;
}

// ---- writing --------------------------------------------------------------

namespace {

struct WriteState {
  std::uint8_t header[kBackupStreamHeaderSize] = {};
  std::uint32_t headerHave = 0;
  std::uint32_t id = 0;
  std::uint64_t nameLeft = 0;
  std::uint64_t dataLeft = 0;
  std::uint64_t dataDone = 0;
  std::vector<std::uint8_t> kept;  // security or reparse bytes, or a sparse offset
  std::uint64_t sparseOffset = 0;
  std::uint64_t fileEnd = 0;       // end of the data written so far (id 1)
  bool sawData = false;
};

bool WriteFileAt(HANDLE file, std::uint64_t offset, const BYTE* bytes, DWORD n) {
  LARGE_INTEGER to;
  to.QuadPart = LONGLONG(offset);
  if (!SetFilePointerEx(file, to, nullptr, FILE_BEGIN)) return false;
  DWORD written = 0;
  if (!WriteFile(file, bytes, n, &written, nullptr)) return false;
  if (written != n) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

bool CutFileAt(HANDLE file, std::uint64_t end) {
  LARGE_INTEGER to;
  to.QuadPart = LONGLONG(end);
  return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

bool ApplySecurity(HANDLE file, std::vector<std::uint8_t>& bytes) {
  PSECURITY_DESCRIPTOR sd = bytes.data();
  if (bytes.size() < 20 || !IsValidSecurityDescriptor(sd) ||
      GetSecurityDescriptorLength(sd) > bytes.size()) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  SECURITY_INFORMATION what = 0;
  PSID sid = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL acl = nullptr;
  if (GetSecurityDescriptorOwner(sd, &sid, &defaulted) && sid != nullptr)
    what |= OWNER_SECURITY_INFORMATION;
  if (GetSecurityDescriptorGroup(sd, &sid, &defaulted) && sid != nullptr)
    what |= GROUP_SECURITY_INFORMATION;
  if (GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) && present)
    what |= DACL_SECURITY_INFORMATION;
  if (GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted) && present)
    what |= SACL_SECURITY_INFORMATION;
  return what == 0 || SetKernelObjectSecurity(file, what, sd) != FALSE;
}

bool ApplyReparse(HANDLE file, std::vector<std::uint8_t>& bytes) {
  DWORD returned = 0;
  return DeviceIoControl(file, FSCTL_SET_REPARSE_POINT, bytes.data(), DWORD(bytes.size()),
                         nullptr, 0, &returned, nullptr) != FALSE;
}

// The record whose data just ended.
bool FinishRecord(HANDLE file, bool processSecurity, WriteState& state) {
  switch (state.id) {
    case kBackupStreamSecurity:
      return !processSecurity || ApplySecurity(file, state.kept);
    case kBackupStreamReparseData:
      return ApplyReparse(file, state.kept);
    case kBackupStreamData:
      return CutFileAt(file, state.fileEnd);
    default:
      return true;
  }
}

// Takes the bytes of one write; false with the last error set on failure.
bool Consume(HANDLE file, const BYTE* bytes, DWORD size, bool processSecurity,
             WriteState& state) {
  DWORD at = 0;
  for (;;) {
    if (state.headerHave < kBackupStreamHeaderSize) {
      if (at == size) return true;
      const DWORD n = std::min<DWORD>(kBackupStreamHeaderSize - state.headerHave, size - at);
      std::memcpy(state.header + state.headerHave, bytes + at, n);
      state.headerHave += n;
      at += n;
      if (state.headerHave < kBackupStreamHeaderSize) return true;
      state.id = Common::LoadLe32(state.header);
      state.dataLeft = Common::LoadLe64(state.header + 8);
      state.nameLeft = Common::LoadLe32(state.header + 16);
      state.dataDone = 0;
      state.kept.clear();
      const bool keeps = state.id == kBackupStreamSecurity ||
                         state.id == kBackupStreamReparseData;
      const std::uint64_t limit = state.id == kBackupStreamSecurity ? kMaxSecurityRecord
                                                                    : kMaxReparseRecord;
      if ((keeps && state.dataLeft > limit) ||
          (state.id == kBackupStreamSparseBlock && state.dataLeft < 8)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
      }
      if (state.id == kBackupStreamData) {
        state.sawData = true;
        state.fileEnd = 0;
      }
    }
    if (state.nameLeft > 0) {
      if (at == size) return true;
      const DWORD n = DWORD(std::min<std::uint64_t>(state.nameLeft, size - at));
      state.nameLeft -= n;
      at += n;
      continue;
    }
    if (state.dataLeft > 0) {
      if (at == size) return true;
      DWORD n = DWORD(std::min<std::uint64_t>(state.dataLeft, size - at));
      switch (state.id) {
        case kBackupStreamSecurity:
        case kBackupStreamReparseData:
          state.kept.insert(state.kept.end(), bytes + at, bytes + at + n);
          break;
        case kBackupStreamData:
          if (!WriteFileAt(file, state.dataDone, bytes + at, n)) return false;
          state.fileEnd = state.dataDone + n;
          break;
        case kBackupStreamSparseBlock:
          if (state.dataDone < 8) {
            n = std::min<DWORD>(n, DWORD(8 - state.dataDone));
            state.kept.insert(state.kept.end(), bytes + at, bytes + at + n);
            if (state.kept.size() == 8) state.sparseOffset = Common::LoadLe64(state.kept.data());
          } else if (!WriteFileAt(file, state.sparseOffset + state.dataDone - 8, bytes + at, n)) {
            return false;
          }
          break;
        default:
          break;  // records this stand-in does not apply
      }
      state.dataLeft -= n;
      state.dataDone += n;
      at += n;
      if (state.dataLeft > 0) continue;
    }
    if (!FinishRecord(file, processSecurity, state)) return false;
    state.headerHave = 0;
    state.id = 0;
  }
}

}  // namespace

BOOL Write(HANDLE file, BYTE* buffer, DWORD size, DWORD* written, BOOL abort,
           BOOL processSecurity, void** context) {
  if (written != nullptr) *written = 0;
  WriteState* state = static_cast<WriteState*>(*context);
  if (abort) {
    if (state != nullptr) {
      Unregister(state);
      delete state;
      *context = nullptr;
    }
    return TRUE;
  }
  if (written == nullptr || (buffer == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (state == nullptr) {
    state = new (std::nothrow) WriteState;
    if (state == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    Register(state);
    *context = state;
  }
  // All or nothing: a failed write leaves the state as it was, and since
  // data go to explicit offsets a retry writes the same bytes again.
  WriteState before = *state;
  if (!Consume(file, buffer, size, processSecurity != FALSE, *state)) {
    const DWORD error = GetLastError();
    *state = std::move(before);
    SetLastError(error);
    return FALSE;
  }
  *written = size;
  return TRUE;
}

}  // namespace backup_standin

// ---------------------------------------------------------------------------
// The system's calls, or the stand-in for a context the system refused

namespace {

using BackupReadFn = BOOL(WINAPI*)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*);
using BackupSeekFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, LPDWORD, LPDWORD, LPVOID*);
using BackupWriteFn = BOOL(WINAPI*)(HANDLE, LPBYTE, DWORD, LPDWORD, BOOL, BOOL, LPVOID*);

template <typename Fn>
Fn Kernel32(const char* name) {
  HMODULE module = GetModuleHandleA("kernel32.dll");
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Once the system has refused a fresh context, every later one goes to the
// stand-in at once.
std::atomic<bool> g_readRefused{false};
std::atomic<bool> g_writeRefused{false};

}  // namespace

BOOL BackupReadCall(HANDLE file, BYTE* buffer, DWORD size, DWORD* read, BOOL abort,
                    BOOL processSecurity, void** context) {
  if (backup_standin::Owns(*context) || (*context == nullptr && g_readRefused.load())) {
    return backup_standin::Read(file, buffer, size, read, abort, processSecurity, context);
  }
  static const BackupReadFn system = Kernel32<BackupReadFn>("BackupRead");
  if (system == nullptr) {
    return backup_standin::Read(file, buffer, size, read, abort, processSecurity, context);
  }
  const bool fresh = *context == nullptr;
  const BOOL ok = system(file, buffer, size, read, abort, processSecurity, context);
  if (!ok && fresh && !abort && *context == nullptr && GetLastError() == ERROR_NOT_SUPPORTED &&
      (read == nullptr || *read == 0)) {
    g_readRefused.store(true);
    return backup_standin::Read(file, buffer, size, read, abort, processSecurity, context);
  }
  return ok;
}

BOOL BackupSeekCall(HANDLE file, DWORD low, DWORD high, DWORD* lowSeeked, DWORD* highSeeked,
                    void** context) {
  if (backup_standin::Owns(*context)) {
    return backup_standin::Seek(file, low, high, lowSeeked, highSeeked, context);
  }
  static const BackupSeekFn system = Kernel32<BackupSeekFn>("BackupSeek");
  if (system == nullptr) {
    *lowSeeked = *highSeeked = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return system(file, low, high, lowSeeked, highSeeked, context);
}

BOOL BackupWriteCall(HANDLE file, BYTE* buffer, DWORD size, DWORD* written, BOOL abort,
                     BOOL processSecurity, void** context) {
  if (backup_standin::Owns(*context) || (*context == nullptr && g_writeRefused.load())) {
    return backup_standin::Write(file, buffer, size, written, abort, processSecurity, context);
  }
  static const BackupWriteFn system = Kernel32<BackupWriteFn>("BackupWrite");
  if (system == nullptr) {
    return backup_standin::Write(file, buffer, size, written, abort, processSecurity, context);
  }
  const bool fresh = *context == nullptr;
  const BOOL ok = system(file, buffer, size, written, abort, processSecurity, context);
  if (!ok && fresh && !abort && *context == nullptr && GetLastError() == ERROR_NOT_SUPPORTED &&
      (written == nullptr || *written == 0)) {
    g_writeRefused.store(true);
    return backup_standin::Write(file, buffer, size, written, abort, processSecurity, context);
  }
  return ok;
}
