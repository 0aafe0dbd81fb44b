// Error values of the whole system.
//
// `Common::Error` is a handle of one pointer on a chain of shared,
// reference-counted `ErrorRecord`s; the null handle is success. Build one with
// a location id (one per call site), a module id (one per source file), a
// 32-bit code (facility in the high 16 bits; code 0 gives the null handle) and
// usually a `MessageTable` text (foundation/message_table.h). Throw it by
// value, catch it by reference.
//
// Subsystem error classes derive from `Common::Error` and add no data:
//
//     namespace Fdisk {
//     class Error : public Common::Error {
//      public:
//       using Common::Error::Error;
//       Error() = default;
//       explicit Error(const Common::Error& e) : Common::Error(e) {}
//     };
//     }
//
// Records are one allocation: a header laid out as `ErrorRecord` (natural
// sizes, so on a 64-bit host the pointers are 8 bytes), the extended kinds'
// two extra fields (`ErrorRecordEx`) and the inline texts. A text field holds
// 0 (no text), a byte offset from the record's start below `size` (inline
// text) or a pointer to a text that lives elsewhere (a catalog text inside
// `MessageCatalogBlock`).
//
// Nothing here throws except `Describe` returning a string by value on
// exhausted memory (the out-parameter forms never throw).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Common {

struct ErrorRecord;
struct ErrorRecordOps;

// ---------------------------------------------------------------------------
// Record layout

struct ErrorRecord {
  std::int32_t referenceCount;  // changed only with locked operations
  std::uint32_t code;           // never 0 in a record
  ErrorRecord* cause;           // owned reference, or null
  const ErrorRecordOps* kind;   // routine table of the record's kind
  std::uint32_t locationId;
  std::uint32_t moduleId;
  std::uint32_t size;           // total bytes; system-code kind: the system code
  std::uintptr_t text;          // 0, inline offset (< size), or pointer
};

// Extended kinds: two more fields, either two text references encoded like
// `text`, or together one unsigned 64-bit number (first = low 32 bits,
// second = high 32 bits, on every pointer width).
struct ErrorRecordEx : ErrorRecord {
  std::uintptr_t firstExtra;
  std::uintptr_t secondExtra;
};

constexpr std::uint32_t kErrorRecordHeaderSize = sizeof(ErrorRecord);
constexpr std::uint32_t kErrorRecordExHeaderSize = sizeof(ErrorRecordEx);

// The table of seven routines of one record kind, in their fixed order.
struct ErrorRecordOps {
  void (*destroy)(ErrorRecord* record);
  ErrorRecord* (*clone)(const ErrorRecord* record);  // null when memory is short
  void (*describe)(std::u16string& out, const ErrorRecord* record);
  std::uint64_t (*getNumberField)(const ErrorRecord* record, const char* name);
  const char* (*getTextField)(const ErrorRecord* record, const char* name);
  const char16_t* (*getWideTextField)(const ErrorRecord* record, const char* name);
  const char* (*fieldNames)();
};

// The kinds of the system.
extern const ErrorRecordOps PlainErrorKind;
extern const ErrorRecordOps NarrowTextErrorKind;
extern const ErrorRecordOps WideTextErrorKind;
extern const ErrorRecordOps SystemCodeErrorKind;
extern const ErrorRecordOps StatusErrorKind;
extern const ErrorRecordOps SiteFunctionErrorKind;
extern const ErrorRecordOps SiteFunctionFileWideErrorKind;
extern const ErrorRecordOps SiteFunctionFileNarrowErrorKind;
extern const ErrorRecordOps PathErrorKind;
extern const ErrorRecordOps BlockCountErrorKind;
extern const ErrorRecordOps TokenErrorKind;
extern const ErrorRecordOps WideTokenErrorKind;
extern const ErrorRecordOps TokenSubtokenErrorKind;

// Codes of the error values themselves.
constexpr std::uint32_t kSystemCodeErrorCode = 0xFFF0;
constexpr std::uint32_t kOutOfMemoryErrorCode = 0xFFF2;
constexpr std::uint32_t kStatusErrorCode = 9;

// Module id of error.cpp (this part owns module ids 0x0100-0x01FF).
constexpr std::uint32_t kErrorModuleId = 0x0100;

// The static plain record (code 0xFFF2, no text, no cause) that every builder
// hands out when it cannot allocate. Its count starts at 1, so releasing can
// never free it.
extern ErrorRecord OutOfMemoryErrorRecord;

// ---------------------------------------------------------------------------
// The handle

class Error {
 public:
  constexpr Error() noexcept : record_(nullptr) {}
  // NewErrorRecord / NewErrorRecordNarrow / NewErrorRecordWide, then one
  // reference. Code 0 gives the null handle whatever the text. A null text
  // means no text.
  Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code) noexcept;
  Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
        const char* text) noexcept;
  Error(std::uint32_t locationId, std::uint32_t moduleId, std::uint32_t code,
        const char16_t* text) noexcept;

  Error(const Error& other) noexcept;
  Error(Error&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
  Error& operator=(const Error& other) noexcept;
  Error& operator=(Error&& other) noexcept;
  ~Error();

  // Takes one reference on `record` (a builder's count-0 record, or any
  // record already held elsewhere). Null gives the null handle.
  static Error FromRecord(ErrorRecord* record) noexcept;

  ErrorRecord* Record() const noexcept { return record_; }
  bool IsNull() const noexcept { return record_ == nullptr; }
  explicit operator bool() const noexcept { return record_ != nullptr; }
  std::uint32_t Code() const noexcept { return record_ ? record_->code : 0; }

  // Releases the chain and leaves the null handle.
  void Reset() noexcept;

 private:
  friend void AttachErrorCause(Error& error, const Error& cause) noexcept;
  ErrorRecord* record_;
};

// The process-wide success value.
extern const Error NoError;

std::uint32_t GetErrorCode(const Error& error) noexcept;
Error GetErrorCause(const Error& error) noexcept;

// ---------------------------------------------------------------------------
// Record builders: each returns a record with reference count 0, or
// &OutOfMemoryErrorRecord when it cannot allocate; code 0 returns null
// without allocating (except NewSystemCodeRecord). Texts inside
// MessageCatalogBlock are referenced, all others copied. Null texts are no
// text.

ErrorRecord* NewErrorRecord(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code) noexcept;
ErrorRecord* NewErrorRecordNarrow(std::uint32_t locationId, std::uint32_t moduleId,
                                  std::uint32_t code, const char* text) noexcept;
ErrorRecord* NewErrorRecordWide(std::uint32_t locationId, std::uint32_t moduleId,
                                std::uint32_t code, const char16_t* text) noexcept;
ErrorRecord* NewSystemCodeRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                 std::uint32_t systemCode) noexcept;
// Status kind with an explicit 64-bit number (extended header).
ErrorRecord* NewStatusRecord(std::uint32_t locationId, std::uint32_t moduleId,
                             std::uint32_t code, const char16_t* text,
                             std::uint64_t number) noexcept;
// Site function (the file layer's generic file code).
ErrorRecord* NewSiteFunctionRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                   std::uint32_t code, const char16_t* text,
                                   const char* function) noexcept;
// Site function and file, wide (NT and shell-namespace directory code).
ErrorRecord* NewSiteFunctionFileRecordWide(std::uint32_t locationId, std::uint32_t moduleId,
                                           std::uint32_t code, const char16_t* text,
                                           const char* function,
                                           const char16_t* fileName) noexcept;
// Site function and file, narrow (Windows 9x directory code).
ErrorRecord* NewSiteFunctionFileRecordNarrow(std::uint32_t locationId, std::uint32_t moduleId,
                                             std::uint32_t code, const char16_t* text,
                                             const char* function,
                                             const char* fileName) noexcept;
// Path (backup-stream code): main text is the "Path" field, number "Hints".
ErrorRecord* NewPathRecord(std::uint32_t locationId, std::uint32_t moduleId,
                           std::uint32_t code, const char16_t* path,
                           std::uint64_t hints) noexcept;
// Block count (disk-access layer): number field "blocks".
ErrorRecord* NewBlockCountRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                 std::uint32_t code, const char16_t* text,
                                 std::uint64_t blocks) noexcept;
// Token kinds (no builder in the system; provided for completeness).
ErrorRecord* NewTokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                            std::uint32_t code, const char16_t* text,
                            const char* token) noexcept;
ErrorRecord* NewWideTokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                std::uint32_t code, const char16_t* text,
                                const char16_t* token) noexcept;
ErrorRecord* NewTokenSubtokenRecord(std::uint32_t locationId, std::uint32_t moduleId,
                                    std::uint32_t code, const char16_t* text,
                                    const char16_t* token, const char* subtoken) noexcept;

// Status kind: extended header (40 bytes with 32-bit pointers) plus inline text, 64-bit number
// low | high << 32; code 0 yields the null handle; on allocation failure the
// handle gets OutOfMemoryErrorRecord (with a reference). Replaces `out`.
void MakeStatusError(Error& out, std::uint32_t locationId, std::uint32_t moduleId,
                     std::uint32_t code, const char16_t* text, std::uint32_t low,
                     std::uint32_t high) noexcept;

// While the record is not null: locked decrement; stop unless it reached 0;
// else remember the cause, Destroy, continue with the cause. No recursion.
void ReleaseErrorChain(ErrorRecord* record) noexcept;
// One locked increment (null is ignored).
void AddErrorReference(ErrorRecord* record) noexcept;

// ---------------------------------------------------------------------------
// Causes

// Copy-on-write: attaches `cause`'s record as the cause of `error`'s head
// (null error: the cause becomes the error; sole holder: the old cause is
// released and replaced; shared head: the head is cloned first, and when the
// clone fails the cause is dropped and the error is unchanged).
void AttachErrorCause(Error& error, const Error& cause) noexcept;
// HRESULT_FROM_WIN32: a value <= 0 (as signed) unchanged, else
// 0x80070000 | (code & 0xFFFF).
std::uint32_t Win32ToHresult(std::uint32_t win32Code) noexcept;
void AttachWin32Cause(Error& error, std::uint32_t win32Code) noexcept;
void AttachHresultCause(Error& error, std::uint32_t hresult) noexcept;
// Stored as status | 0x10000000 (the customer bit).
void AttachNtStatusCause(Error& error, std::uint32_t status) noexcept;

// Status kind with code 9, text StatusMessage(status), number "code" =
// status zero-extended. Unknown status: catalog message 1553 and the status
// attached with AttachWin32Cause. Replaces `out`.
void ErrorFromStatus(Error& out, std::uint32_t status, std::uint32_t locationId,
                     std::uint32_t moduleId) noexcept;
// The catalog message number of a status, 0 when the table has none.
unsigned StatusMessageNumber(std::uint32_t status) noexcept;
// MessageTable text of a status, or null (no entry, or catalog not loaded).
const char16_t* StatusMessage(std::uint32_t status) noexcept;
constexpr unsigned kUnknownStatusMessage = 1553;

// ---------------------------------------------------------------------------
// Describing and fields (null records, null names: empty text, 0, null)

// The system-code kind's Describe: the operating system's message for the
// stored code (Windows: FormatMessageW; native build: empty), then
// NormalizeSystemMessage.
void DescribeSystemCode(std::u16string& out, const ErrorRecord* record) noexcept;
// Steps 3 to 5 of DescribeSystemCode: remove every CR; remove one final LF;
// drop a final '.' when no LF remains anywhere.
void NormalizeSystemMessage(std::u16string& text) noexcept;

void Describe(std::u16string& out, const ErrorRecord* record) noexcept;
void Describe(std::u16string& out, const Error& error) noexcept;
std::u16string Describe(const Error& error);
std::uint64_t GetNumberField(const ErrorRecord* record, const char* name) noexcept;
std::uint64_t GetNumberField(const Error& error, const char* name) noexcept;
const char* GetTextField(const ErrorRecord* record, const char* name) noexcept;
const char* GetTextField(const Error& error, const char* name) noexcept;
const char16_t* GetWideTextField(const ErrorRecord* record, const char* name) noexcept;
const char16_t* GetWideTextField(const Error& error, const char* name) noexcept;
const char* FieldNames(const ErrorRecord* record) noexcept;
const char* FieldNames(const Error& error) noexcept;

// Decodes a text reference of a record (`text`, `firstExtra`, `secondExtra`):
// non-zero and below size: record address + offset; else the stored pointer.
const void* DecodeErrorText(const ErrorRecord* record, std::uintptr_t stored) noexcept;

// ---------------------------------------------------------------------------
// Allocation of records. Tests may install hooks to simulate exhausted
// memory or to count frees; null restores the defaults (malloc and free).
// Install hooks only while no other thread builds or releases errors.
using ErrorAllocateFn = void* (*)(std::size_t bytes);
using ErrorFreeFn = void (*)(void* block);
void SetErrorAllocationHooks(ErrorAllocateFn allocate, ErrorFreeFn free) noexcept;

namespace detail {
// Platform part of DescribeSystemCode: the raw system message for `code`
// (empty when the system has none). src/win/error_win.cpp on Windows,
// src/error_system_native.cpp elsewhere.
void FetchSystemMessage(std::uint32_t code, std::u16string& out) noexcept;
}  // namespace detail

}  // namespace Common
