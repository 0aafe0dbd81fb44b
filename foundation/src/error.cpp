// Error values: records, kinds, builders, the handle, causes,
// status errors and the description routines.
#include "common/error.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "foundation/message_table.h"

namespace Common {

// With 32-bit pointers the header is eight 32-bit fields, as stored records expect.
static_assert(sizeof(void*) != 4 || kErrorRecordHeaderSize == 32, "32-byte header");
static_assert(sizeof(void*) != 4 || kErrorRecordExHeaderSize == 40, "40-byte header");
static_assert(kErrorRecordHeaderSize % alignof(char16_t) == 0, "texts start aligned");
static_assert(kErrorRecordExHeaderSize % alignof(char16_t) == 0, "texts start aligned");

namespace {

// Location ids of this file's error sites: module id in the high 16 bits.
constexpr std::uint32_t kLocAttachWin32Cause = 0x01000001;
constexpr std::uint32_t kLocAttachHresultCause = 0x01000002;
constexpr std::uint32_t kLocAttachNtStatusCause = 0x01000003;

// ---------------------------------------------------------------------------
// Allocation

std::atomic<ErrorAllocateFn> g_allocate{nullptr};
std::atomic<ErrorFreeFn> g_free{nullptr};

void* AllocateBlock(std::size_t bytes) noexcept {
  ErrorAllocateFn hook = g_allocate.load(std::memory_order_acquire);
  return hook ? hook(bytes) : std::malloc(bytes);
}

void FreeBlock(void* block) noexcept {
  ErrorFreeFn hook = g_free.load(std::memory_order_acquire);
  if (hook) {
    hook(block);
  } else {
    std::free(block);
  }
}

// ---------------------------------------------------------------------------
// Reference counts (locked operations)

inline void Increment(ErrorRecord* record) noexcept {
  __atomic_add_fetch(&record->referenceCount, 1, __ATOMIC_RELAXED);
}

inline std::int32_t Decrement(ErrorRecord* record) noexcept {
  return __atomic_sub_fetch(&record->referenceCount, 1, __ATOMIC_ACQ_REL);
}

inline std::int32_t LoadCount(const ErrorRecord* record) noexcept {
  return __atomic_load_n(&record->referenceCount, __ATOMIC_ACQUIRE);
}

// ---------------------------------------------------------------------------
// Texts. Wide texts are read unit by unit through memcpy, since catalog texts
// may start at odd offsets.

std::size_t WideUnits(const char16_t* text) noexcept {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t n = 0;
  for (;;) {
    char16_t unit;
    std::memcpy(&unit, bytes + 2 * n, sizeof unit);
    if (unit == 0) return n;
    ++n;
  }
}

void AssignWide(std::u16string& out, const char16_t* text) {
  out.clear();
  if (text == nullptr) return;
  std::size_t n = WideUnits(text);
  out.resize(n);
  if (n) std::memcpy(&out[0], text, n * sizeof(char16_t));
}

void AssignWidened(std::u16string& out, const char* text) {
  out.clear();
  if (text == nullptr) return;
  std::size_t n = std::strlen(text);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  }
}

bool SameName(const char* name, const char* expected) noexcept {
  return name != nullptr && std::strcmp(name, expected) == 0;
}

const ErrorRecordEx* Ex(const ErrorRecord* record) noexcept {
  return static_cast<const ErrorRecordEx*>(record);
}

std::uint64_t ExNumber(const ErrorRecord* record) noexcept {
  const ErrorRecordEx* ex = Ex(record);
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(ex->firstExtra)) |
         static_cast<std::uint64_t>(static_cast<std::uint32_t>(ex->secondExtra)) << 32;
}

const char16_t* MainWide(const ErrorRecord* r) noexcept {
  return static_cast<const char16_t*>(DecodeErrorText(r, r->text));
}
const char* FirstNarrow(const ErrorRecord* r) noexcept {
  return static_cast<const char*>(DecodeErrorText(r, Ex(r)->firstExtra));
}
const char16_t* FirstWide(const ErrorRecord* r) noexcept {
  return static_cast<const char16_t*>(DecodeErrorText(r, Ex(r)->firstExtra));
}
const char* SecondNarrow(const ErrorRecord* r) noexcept {
  return static_cast<const char*>(DecodeErrorText(r, Ex(r)->secondExtra));
}
const char16_t* SecondWide(const ErrorRecord* r) noexcept {
  return static_cast<const char16_t*>(DecodeErrorText(r, Ex(r)->secondExtra));
}

// ---------------------------------------------------------------------------
// Building

struct TextPiece {
  const void* text;  // null: no text
  bool wide;
};

constexpr TextPiece kNoText{nullptr, false};
TextPiece Narrow(const char* text) { return {text, false}; }
TextPiece Wide(const char16_t* text) { return {text, true}; }

// Builds a record of `kind`: `pieces[0]` goes to the text field, pieces 1
// and 2 to the extra fields (extended header only); a number, when given,
// fills both extra fields instead. Catalog texts are referenced, the others
// copied after the header back to back (a UTF-16 text starts at an even
// offset). Returns &OutOfMemoryErrorRecord when it cannot allocate.
ErrorRecord* BuildRecord(const ErrorRecordOps* kind, std::uint32_t locationId,
                         std::uint32_t moduleId, std::uint32_t code, bool extended,
                         const TextPiece (&pieces)[3], bool hasNumber,
                         std::uint64_t number) noexcept {
  std::uint64_t offsets[3] = {0, 0, 0};
  std::uint64_t lengths[3] = {0, 0, 0};
  std::uint64_t size = extended ? kErrorRecordExHeaderSize : kErrorRecordHeaderSize;
  for (int i = 0; i < 3; ++i) {
    const TextPiece& piece = pieces[i];
    if (piece.text == nullptr || InMessageCatalogBlock(piece.text)) continue;
    if (piece.wide) {
      size = (size + 1) & ~std::uint64_t{1};
      lengths[i] = 2 * (static_cast<std::uint64_t>(
                            WideUnits(static_cast<const char16_t*>(piece.text))) +
                        1);
    } else {
      lengths[i] = std::strlen(static_cast<const char*>(piece.text)) + 1;
    }
    offsets[i] = size;
    size += lengths[i];
    if (size > std::numeric_limits<std::uint32_t>::max()) return &OutOfMemoryErrorRecord;
  }

  void* block = AllocateBlock(static_cast<std::size_t>(size));
  if (block == nullptr) return &OutOfMemoryErrorRecord;
  std::memset(block, 0, extended ? kErrorRecordExHeaderSize : kErrorRecordHeaderSize);
  ErrorRecord* record = extended ? new (block) ErrorRecordEx() : new (block) ErrorRecord();
  record->referenceCount = 0;
  record->code = code;
  record->cause = nullptr;
  record->kind = kind;
  record->locationId = locationId;
  record->moduleId = moduleId;
  record->size = static_cast<std::uint32_t>(size);

  std::uintptr_t stored[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const TextPiece& piece = pieces[i];
    if (piece.text == nullptr) continue;
    if (lengths[i] == 0) {  // a catalog text: referenced
      stored[i] = reinterpret_cast<std::uintptr_t>(piece.text);
      continue;
    }
    std::memcpy(static_cast<unsigned char*>(block) + offsets[i], piece.text,
                static_cast<std::size_t>(lengths[i]));
    stored[i] = static_cast<std::uintptr_t>(offsets[i]);
  }
  record->text = stored[0];
  if (extended) {
    ErrorRecordEx* ex = static_cast<ErrorRecordEx*>(record);
    if (hasNumber) {
      ex->firstExtra = static_cast<std::uint32_t>(number);
      ex->secondExtra = static_cast<std::uint32_t>(number >> 32);
    } else {
      ex->firstExtra = stored[1];
      ex->secondExtra = stored[2];
    }
  }
  return record;
}

// ---------------------------------------------------------------------------
// Kind routines

void DestroyRecord(ErrorRecord* record) {
  if (record == nullptr || record == &OutOfMemoryErrorRecord) return;
  FreeBlock(record);
}

ErrorRecord* CloneBytes(const ErrorRecord* record, std::size_t bytes) {
  if (record == nullptr || bytes < kErrorRecordHeaderSize) return nullptr;
  void* block = AllocateBlock(bytes);
  if (block == nullptr) return nullptr;
  std::memcpy(block, record, bytes);
  ErrorRecord* copy = static_cast<ErrorRecord*>(block);
  copy->referenceCount = 1;
  copy->cause = nullptr;
  return copy;
}

ErrorRecord* CloneRecord(const ErrorRecord* record) {
  return record ? CloneBytes(record, record->size) : nullptr;
}

ErrorRecord* CloneSystemCodeRecord(const ErrorRecord* record) {
  return CloneBytes(record, kErrorRecordHeaderSize);
}

void DescribeEmpty(std::u16string& out, const ErrorRecord*) { out.clear(); }
void DescribeNarrowText(std::u16string& out, const ErrorRecord* r) {
  AssignWidened(out, static_cast<const char*>(DecodeErrorText(r, r->text)));
}
void DescribeWideText(std::u16string& out, const ErrorRecord* r) {
  AssignWide(out, MainWide(r));
}

std::uint64_t NoNumber(const ErrorRecord*, const char*) { return 0; }
const char* NoText(const ErrorRecord*, const char*) { return nullptr; }
const char16_t* NoWideText(const ErrorRecord*, const char*) { return nullptr; }

std::uint64_t SystemCodeNumber(const ErrorRecord* r, const char* name) {
  return SameName(name, "code") ? r->size : 0;
}
std::uint64_t StatusNumber(const ErrorRecord* r, const char* name) {
  return SameName(name, "code") ? ExNumber(r) : 0;
}
std::uint64_t PathNumber(const ErrorRecord* r, const char* name) {
  return SameName(name, "Hints") ? ExNumber(r) : 0;
}
std::uint64_t BlockCountNumber(const ErrorRecord* r, const char* name) {
  return SameName(name, "blocks") ? ExNumber(r) : 0;
}

const char* SiteFunctionText(const ErrorRecord* r, const char* name) {
  return SameName(name, "function") ? FirstNarrow(r) : nullptr;
}
const char* SiteFileNarrowText(const ErrorRecord* r, const char* name) {
  if (SameName(name, "function")) return FirstNarrow(r);
  if (SameName(name, "filename")) return SecondNarrow(r);
  return nullptr;
}
const char16_t* SiteFileWideWide(const ErrorRecord* r, const char* name) {
  return SameName(name, "filename") ? SecondWide(r) : nullptr;
}
const char16_t* PathWide(const ErrorRecord* r, const char* name) {
  return SameName(name, "Path") ? MainWide(r) : nullptr;
}
const char* TokenText(const ErrorRecord* r, const char* name) {
  return SameName(name, "token") ? FirstNarrow(r) : nullptr;
}
const char16_t* WideTokenWide(const ErrorRecord* r, const char* name) {
  return SameName(name, "token") ? FirstWide(r) : nullptr;
}
const char* SubtokenText(const ErrorRecord* r, const char* name) {
  return SameName(name, "subtoken") ? SecondNarrow(r) : nullptr;
}

const char* NamesNone() { return ""; }
const char* NamesCode() { return "code"; }
const char* NamesFunction() { return "function"; }
const char* NamesFunctionFilename() { return "function,filename"; }
const char* NamesPathHints() { return "Path,Hints"; }
const char* NamesBlocks() { return "blocks"; }
const char* NamesToken() { return "token"; }
const char* NamesTokenSubtoken() { return "token,subtoken"; }

void DescribeSystemCodeKind(std::u16string& out, const ErrorRecord* r) {
  DescribeSystemCode(out, r);
}

// ---------------------------------------------------------------------------
// Status table

struct StatusEntry {
  std::uint32_t status;
  unsigned message;
};

constexpr StatusEntry kStatusTable[] = {
    {0x00000102, 1552}, {0xC0000008, 1539}, {0xC000000D, 1540}, {0xC000000E, 1549},
    {0xC0000017, 1548}, {0xC0000022, 1535}, {0xC00000A3, 1536}, {0xC00000BB, 1546},
    {0xE0000001, 1543}, {0xE0000002, 1538}, {0xE0000003, 1550}, {0xE0000004, 1551},
    {0xE0000005, 1541}, {0xE0000006, 1545}, {0xE0000007, 1542}, {0xE0000008, 1544},
    {0xE0000009, 1554}, {0xE000000A, 1552}, {0xE000000B, 1547}, {0xE000000C, 1556},
    {0xE000000D, 1555},
};

}  // namespace

// ---------------------------------------------------------------------------
// Kind tables

const ErrorRecordOps PlainErrorKind = {DestroyRecord, CloneRecord, DescribeEmpty,
                                       NoNumber,      NoText,      NoWideText,
                                       NamesNone};
const ErrorRecordOps NarrowTextErrorKind = {DestroyRecord, CloneRecord, DescribeNarrowText,
                                            NoNumber,      NoText,      NoWideText,
                                            NamesNone};
const ErrorRecordOps WideTextErrorKind = {DestroyRecord, CloneRecord, DescribeWideText,
                                          NoNumber,      NoText,      NoWideText,
                                          NamesNone};
const ErrorRecordOps SystemCodeErrorKind = {DestroyRecord,    CloneSystemCodeRecord,
                                            DescribeSystemCodeKind, SystemCodeNumber,
                                            NoText,           NoWideText,
                                            NamesCode};
const ErrorRecordOps StatusErrorKind = {DestroyRecord, CloneRecord, DescribeWideText,
                                        StatusNumber,  NoText,      NoWideText,
                                        NamesCode};
const ErrorRecordOps SiteFunctionErrorKind = {DestroyRecord, CloneRecord,      DescribeWideText,
                                              NoNumber,      SiteFunctionText, NoWideText,
                                              NamesFunction};
const ErrorRecordOps SiteFunctionFileWideErrorKind = {
    DestroyRecord,    CloneRecord,      DescribeWideText,     NoNumber,
    SiteFunctionText, SiteFileWideWide, NamesFunctionFilename};
const ErrorRecordOps SiteFunctionFileNarrowErrorKind = {
    DestroyRecord,      CloneRecord, DescribeWideText,     NoNumber,
    SiteFileNarrowText, NoWideText,  NamesFunctionFilename};
const ErrorRecordOps PathErrorKind = {DestroyRecord, CloneRecord, DescribeEmpty,
                                      PathNumber,    NoText,      PathWide,
                                      NamesPathHints};
const ErrorRecordOps BlockCountErrorKind = {DestroyRecord,    CloneRecord, DescribeWideText,
                                            BlockCountNumber, NoText,      NoWideText,
                                            NamesBlocks};
const ErrorRecordOps TokenErrorKind = {DestroyRecord, CloneRecord, DescribeWideText,
                                       NoNumber,      TokenText,   NoWideText,
                                       NamesToken};
const ErrorRecordOps WideTokenErrorKind = {DestroyRecord, CloneRecord, DescribeWideText,
                                           NoNumber,      NoText,      WideTokenWide,
                                           NamesToken};
const ErrorRecordOps TokenSubtokenErrorKind = {DestroyRecord, CloneRecord,   DescribeWideText,
                                               NoNumber,      SubtokenText,  WideTokenWide,
                                               NamesTokenSubtoken};

ErrorRecord OutOfMemoryErrorRecord = {
    1, kOutOfMemoryErrorCode, nullptr, &PlainErrorKind, 0, kErrorModuleId,
    kErrorRecordHeaderSize, 0};

const Error NoError;

// ---------------------------------------------------------------------------
// Allocation hooks

void SetErrorAllocationHooks(ErrorAllocateFn allocate, ErrorFreeFn free) noexcept {
  g_allocate.store(allocate, std::memory_order_release);
  g_free.store(free, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Reference counting and release

void AddErrorReference(ErrorRecord* record) noexcept {
  if (record != nullptr) Increment(record);
}

void ReleaseErrorChain(ErrorRecord* record) noexcept {
  while (record != nullptr) {
    if (Decrement(record) != 0) return;
    ErrorRecord* cause = record->cause;
    const ErrorRecordOps* kind = record->kind;
    if (kind != nullptr && kind->destroy != nullptr) {
      kind->destroy(record);
    } else {
      DestroyRecord(record);
    }
    record = cause;
  }
}

// ---------------------------------------------------------------------------
// Builders

ErrorRecord* NewErrorRecord(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {kNoText, kNoText, kNoText};
  return BuildRecord(&PlainErrorKind, locationId, moduleId, code, false, pieces, false, 0);
}

ErrorRecord* NewErrorRecordNarrow(std::uint32_t locationId, std::uint32_t moduleId,
                                  std::uint32_t code, const char* text) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Narrow(text), kNoText, kNoText};
  return BuildRecord(&NarrowTextErrorKind, locationId, moduleId, code, false, pieces, false,
                     0);
}

ErrorRecord* NewErrorRecordWide(std::uint32_t locationId, std::uint32_t moduleId,
                                std::uint32_t code, const char16_t* text) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), kNoText, kNoText};
  return BuildRecord(&WideTextErrorKind, locationId, moduleId, code, false, pieces, false, 0);
}

ErrorRecord* NewSystemCodeRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                 std::uint32_t systemCode) noexcept {
  const TextPiece pieces[3] = {kNoText, kNoText, kNoText};
  ErrorRecord* record = BuildRecord(&SystemCodeErrorKind, locationId, moduleId,
                                    kSystemCodeErrorCode, false, pieces, false, 0);
  if (record != &OutOfMemoryErrorRecord) record->size = systemCode;
  return record;
}

ErrorRecord* NewStatusRecord(std::uint32_t locationId, std::uint32_t moduleId,
                             std::uint32_t code, const char16_t* text,
                             std::uint64_t number) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), kNoText, kNoText};
  return BuildRecord(&StatusErrorKind, locationId, moduleId, code, true, pieces, true, number);
}

ErrorRecord* NewSiteFunctionRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                   std::uint32_t code, const char16_t* text,
                                   const char* function) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Narrow(function), kNoText};
  return BuildRecord(&SiteFunctionErrorKind, locationId, moduleId, code, true, pieces, false,
                     0);
}

ErrorRecord* NewSiteFunctionFileRecordWide(std::uint32_t locationId, std::uint32_t moduleId,
                                           std::uint32_t code, const char16_t* text,
                                           const char* function,
                                           const char16_t* fileName) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Narrow(function), Wide(fileName)};
  return BuildRecord(&SiteFunctionFileWideErrorKind, locationId, moduleId, code, true, pieces,
                     false, 0);
}

ErrorRecord* NewSiteFunctionFileRecordNarrow(std::uint32_t locationId, std::uint32_t moduleId,
                                             std::uint32_t code, const char16_t* text,
                                             const char* function,
                                             const char* fileName) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Narrow(function), Narrow(fileName)};
  return BuildRecord(&SiteFunctionFileNarrowErrorKind, locationId, moduleId, code, true,
                     pieces, false, 0);
}

ErrorRecord* NewPathRecord(std::uint32_t locationId, std::uint32_t moduleId,
                           std::uint32_t code, const char16_t* path,
                           std::uint64_t hints) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(path), kNoText, kNoText};
  return BuildRecord(&PathErrorKind, locationId, moduleId, code, true, pieces, true, hints);
}

ErrorRecord* NewBlockCountRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                 std::uint32_t code, const char16_t* text,
                                 std::uint64_t blocks) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), kNoText, kNoText};
  return BuildRecord(&BlockCountErrorKind, locationId, moduleId, code, true, pieces, true,
                     blocks);
}

ErrorRecord* NewTokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code, const char16_t* text,
                            const char* token) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Narrow(token), kNoText};
  return BuildRecord(&TokenErrorKind, locationId, moduleId, code, true, pieces, false, 0);
}

ErrorRecord* NewWideTokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                std::uint32_t code, const char16_t* text,
                                const char16_t* token) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Wide(token), kNoText};
  return BuildRecord(&WideTokenErrorKind, locationId, moduleId, code, true, pieces, false, 0);
}

ErrorRecord* NewTokenSubtokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                    std::uint32_t code, const char16_t* text,
                                    const char16_t* token, const char* subtoken) noexcept {
  if (code == 0) return nullptr;
  const TextPiece pieces[3] = {Wide(text), Wide(token), Narrow(subtoken)};
  return BuildRecord(&TokenSubtokenErrorKind, locationId, moduleId, code, true, pieces, false,
                     0);
}

// ---------------------------------------------------------------------------
// The handle

Error::Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code) noexcept
    : record_(NewErrorRecord(locationId, moduleId, code)) {
  AddErrorReference(record_);
}

Error::Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
             const char* text) noexcept
    : record_(NewErrorRecordNarrow(locationId, moduleId, code, text)) {
  AddErrorReference(record_);
}

Error::Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
             const char16_t* text) noexcept
    : record_(NewErrorRecordWide(locationId, moduleId, code, text)) {
  AddErrorReference(record_);
}

Error::Error(const Error& other) noexcept : record_(other.record_) {
  AddErrorReference(record_);
}

Error& Error::operator=(const Error& other) noexcept {
  ErrorRecord* incoming = other.record_;
  AddErrorReference(incoming);
  ReleaseErrorChain(record_);
  record_ = incoming;
  return *this;
}

Error& Error::operator=(Error&& other) noexcept {
  if (this != &other) {
    ErrorRecord* incoming = other.record_;
    other.record_ = nullptr;
    ReleaseErrorChain(record_);
    record_ = incoming;
  }
  return *this;
}

Error::~Error() { ReleaseErrorChain(record_); }

Error Error::FromRecord(ErrorRecord* record) noexcept {
  Error error;
  AddErrorReference(record);
  error.record_ = record;
  return error;
}

void Error::Reset() noexcept {
  ErrorRecord* old = record_;
  record_ = nullptr;
  ReleaseErrorChain(old);
}

std::uint32_t GetErrorCode(const Error& error) noexcept { return error.Code(); }

Error GetErrorCause(const Error& error) noexcept {
  ErrorRecord* head = error.Record();
  return Error::FromRecord(head ? head->cause : nullptr);
}

void MakeStatusError(Error& out, std::uint32_t locationId, std::uint32_t moduleId,
                     std::uint32_t code, const char16_t* text, std::uint32_t low,
                     std::uint32_t high) noexcept {
  if (code == 0) {
    out.Reset();
    return;
  }
  ErrorRecord* record =
      NewStatusRecord(locationId, moduleId, code, text,
                      static_cast<std::uint64_t>(low) | static_cast<std::uint64_t>(high) << 32);
  out = Error::FromRecord(record);
}

// ---------------------------------------------------------------------------
// Causes

void AttachErrorCause(Error& error, const Error& cause) noexcept {
  ErrorRecord* incoming = cause.record_;  // read before `error` changes (they may alias)
  AddErrorReference(incoming);
  ErrorRecord* head = error.record_;
  if (head == nullptr) {
    error.record_ = incoming;
    return;
  }
  if (head != &OutOfMemoryErrorRecord && LoadCount(head) == 1) {
    ErrorRecord* old = head->cause;
    head->cause = incoming;
    ReleaseErrorChain(old);
    return;
  }
  const ErrorRecordOps* kind = head->kind;
  ErrorRecord* copy = (kind && kind->clone) ? kind->clone(head) : nullptr;
  if (copy == nullptr) {
    ReleaseErrorChain(incoming);
    return;
  }
  copy->cause = incoming;
  error.record_ = copy;
  ReleaseErrorChain(head);
}

std::uint32_t Win32ToHresult(std::uint32_t win32Code) noexcept {
  if (static_cast<std::int32_t>(win32Code) <= 0) return win32Code;
  return 0x80070000u | (win32Code & 0xFFFFu);
}

namespace {
void AttachSystemCode(Error& error, std::uint32_t locationId, std::uint32_t value) noexcept {
  Error cause = Error::FromRecord(NewSystemCodeRecord(locationId, kErrorModuleId, value));
  AttachErrorCause(error, cause);
}
}  // namespace

void AttachWin32Cause(Error& error, std::uint32_t win32Code) noexcept {
  AttachSystemCode(error, kLocAttachWin32Cause, Win32ToHresult(win32Code));
}

void AttachHresultCause(Error& error, std::uint32_t hresult) noexcept {
  AttachSystemCode(error, kLocAttachHresultCause, hresult);
}

void AttachNtStatusCause(Error& error, std::uint32_t status) noexcept {
  AttachSystemCode(error, kLocAttachNtStatusCause, status | 0x10000000u);
}

// ---------------------------------------------------------------------------
// Status errors

unsigned StatusMessageNumber(std::uint32_t status) noexcept {
  for (const StatusEntry& entry : kStatusTable) {
    if (entry.status == status) return entry.message;
  }
  return 0;
}

const char16_t* StatusMessage(std::uint32_t status) noexcept {
  unsigned number = StatusMessageNumber(status);
  return number ? CatalogText(number) : nullptr;
}

void ErrorFromStatus(Error& out, std::uint32_t status, std::uint32_t locationId,
                     std::uint32_t moduleId) noexcept {
  const bool known = StatusMessageNumber(status) != 0;
  const char16_t* text = known ? StatusMessage(status) : CatalogText(kUnknownStatusMessage);
  MakeStatusError(out, locationId, moduleId, kStatusErrorCode, text, status, 0);
  if (!known) AttachWin32Cause(out, status);
}

// ---------------------------------------------------------------------------
// Describing and fields

const void* DecodeErrorText(const ErrorRecord* record, std::uintptr_t stored) noexcept {
  if (record == nullptr || stored == 0) return nullptr;
  if (stored < record->size) {
    return reinterpret_cast<const unsigned char*>(record) + stored;
  }
  return reinterpret_cast<const void*>(stored);
}

void NormalizeSystemMessage(std::u16string& text) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r') text[kept++] = text[i];
  }
  text.resize(kept);
  if (!text.empty() && text.back() == u'\n') text.pop_back();
  if (!text.empty() && text.back() == u'.' && text.find(u'\n') == std::u16string::npos) {
    text.pop_back();
  }
}

void DescribeSystemCode(std::u16string& out, const ErrorRecord* record) noexcept {
  out.clear();
  if (record == nullptr || record->kind != &SystemCodeErrorKind) return;
  detail::FetchSystemMessage(record->size, out);
  NormalizeSystemMessage(out);
}

void Describe(std::u16string& out, const ErrorRecord* record) noexcept {
  out.clear();
  if (record == nullptr || record->kind == nullptr || record->kind->describe == nullptr) return;
  try {
    record->kind->describe(out, record);
  } catch (...) {  // exhausted memory: no text
    out.clear();
  }
}

void Describe(std::u16string& out, const Error& error) noexcept {
  Describe(out, error.Record());
}

std::u16string Describe(const Error& error) {
  std::u16string out;
  Describe(out, error.Record());
  return out;
}

std::uint64_t GetNumberField(const ErrorRecord* record, const char* name) noexcept {
  if (record == nullptr || name == nullptr || record->kind == nullptr ||
      record->kind->getNumberField == nullptr)
    return 0;
  return record->kind->getNumberField(record, name);
}

std::uint64_t GetNumberField(const Error& error, const char* name) noexcept {
  return GetNumberField(error.Record(), name);
}

const char* GetTextField(const ErrorRecord* record, const char* name) noexcept {
  if (record == nullptr || name == nullptr || record->kind == nullptr ||
      record->kind->getTextField == nullptr)
    return nullptr;
  return record->kind->getTextField(record, name);
}

const char* GetTextField(const Error& error, const char* name) noexcept {
  return GetTextField(error.Record(), name);
}

const char16_t* GetWideTextField(const ErrorRecord* record, const char* name) noexcept {
  if (record == nullptr || name == nullptr || record->kind == nullptr ||
      record->kind->getWideTextField == nullptr)
    return nullptr;
  return record->kind->getWideTextField(record, name);
}

const char16_t* GetWideTextField(const Error& error, const char* name) noexcept {
  return GetWideTextField(error.Record(), name);
}

const char* FieldNames(const ErrorRecord* record) noexcept {
  if (record == nullptr || record->kind == nullptr || record->kind->fieldNames == nullptr)
    return "";
  return record->kind->fieldNames();
}

const char* FieldNames(const Error& error) noexcept { return FieldNames(error.Record()); }

}  // namespace Common
