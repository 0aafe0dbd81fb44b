// The snapshot library dorvex.dll as the disk-access layer calls it: its
// functions, statuses and the records passed to it.
//
// Every function takes 32-bit words (64-bit sector numbers as two words) and
// returns a u32 status, 0 on success; sbGetFreeLetters returns the mask
// itself. A handle is a non-zero u32. Record layouts are those of the 32-bit
// library; the static_asserts below pin every offset the callers use.
//
// Buffer addresses inside records are 32-bit words in the library's layout.
// So that the same records work in native 64-bit test builds, the upper half
// of such an address goes into a word that the 32-bit layout leaves unused
// (always 0 there); use SbPutAddress / SbGetAddress to fill and read them.
//
// Portable: fixed-width types only, no Windows headers.
#ifndef SBLIB_SBLIB_H
#define SBLIB_SBLIB_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define SBCALL __stdcall
#else
#define SBCALL
#endif

#ifdef __cplusplus
#define SB_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SB_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t SbStatus;
typedef uint32_t SbHandle;

// ---------------------------------------------------------------- statuses
#define SB_OK ((SbStatus)0)
#define SB_STATUS_INVALID_FUNCTION ((SbStatus)1)
#define SB_STATUS_NOT_FOUND ((SbStatus)2)
#define SB_STATUS_INVALID_HANDLE ((SbStatus)6)
#define SB_STATUS_NO_MEMORY ((SbStatus)8)
#define SB_STATUS_NOT_READY ((SbStatus)21)           // drive offline
#define SB_STATUS_BAD_LENGTH ((SbStatus)24)          // record size word wrong
#define SB_STATUS_SEEK ((SbStatus)25)                // beyond the end of the drive or volume
#define SB_STATUS_WRITE_PROTECT ((SbStatus)19)
#define SB_STATUS_LOCK_VIOLATION ((SbStatus)33)
#define SB_STATUS_NOT_SUPPORTED ((SbStatus)50)
#define SB_STATUS_INVALID_PARAMETER ((SbStatus)87)   // also: no open files to report
#define SB_STATUS_MORE_DATA ((SbStatus)234)
#define SB_STATUS_NOT_LOCKED ((SbStatus)158)
#define SB_STATUS_ALREADY_INITIALIZED ((SbStatus)1247)
#define SB_STATUS_NOT_INITIALIZED ((SbStatus)21000)
// The volume is not to be opened: callers pass over it without an error.
#define SB_STATUS_SKIP_VOLUME ((SbStatus)20)
// Data (CRC) error while reading sectors.
#define SB_STATUS_DATA_ERROR ((SbStatus)23)
// The letter functions' "done, takes effect later": callers treat it as success.
#define SB_STATUS_LETTER_PENDING ((SbStatus)0x60000006u)
// sbLock / sbUnlock on a snapshot that is already in that state.
#define SB_STATUS_ALREADY_LOCKED ((SbStatus)0xE000000Du)

// ------------------------------------------------------------ init records
// sbInitLibEx library flags.
#define SB_INIT_FLAG_10 0x10u
#define SB_INIT_FLAG_20 0x20u
#define SB_INIT_FLAG_40 0x40u
#define SB_INIT_FLAG_80 0x80u

typedef struct SbInitRecord {
  uint32_t size;   // 8
  uint32_t flags;  // library flags
} SbInitRecord;

typedef struct SbLibInfo {
  uint32_t size;         // 532, set by the caller
  uint32_t version;      // library version (141 and above report serials)
  uint8_t reserved08[0x20C - 8];
  uint32_t status_word;  // bit 0: emulated; bit 1: emulation mode; bit 2
  uint32_t mode_word;
} SbLibInfo;

// ------------------------------------------------------ change notification
// Event types; the mask given to sbAddNotification is their OR (95 = all).
#define SB_EVENT_DISKS_CHANGED 1u
#define SB_EVENT_VOLUMES_CHANGED 2u
#define SB_EVENT_DISK_CHANGED 4u
#define SB_EVENT_VOLUMES_ARRIVED 8u
#define SB_EVENT_VOLUME_CHANGED 16u
#define SB_EVENT_DISK_RANGE_CHANGED 64u
#define SB_EVENT_MASK_ALL 95u

typedef struct SbNotification {
  uint32_t size;    // 520
  uint32_t type;    // SB_EVENT_*
  uint32_t arg0;    // 4/16: disk or volume key; 64: 1 (a range follows)
  uint32_t arg1;    // 64: disk key; 16: low byte 0
  uint64_t start;   // 64: first sector
  uint64_t length;  // 64: sector count
  uint8_t reserved20[520 - 32];
} SbNotification;

typedef uint32_t(SBCALL* SbNotifyCallback)(const SbNotification* record);

// ----------------------------------------------------------- drive records
#define SB_DRIVE_FLAG_BIOS_CHS 0x2u
#define SB_DRIVE_FLAG_BIOS_EXT_4 0x4u
#define SB_DRIVE_FLAG_BIOS_EXT_8 0x8u
#define SB_DRIVE_FLAG_SKIP 0x40u
#define SB_DRIVE_FLAG_OFFLINE 0x80u
#define SB_DRIVE_FLAG_400 0x400u

// The 33-byte BIOS extended block of the drive record, copied whole by the
// caller; its last four bytes are also the first two serial characters.
#define SB_DRIVE_BIOS_EXT_OFFSET 823u
#define SB_DRIVE_BIOS_EXT_SIZE 33u
#define SB_DRIVE_EDD_OFFSET 826u
#define SB_DRIVE_EDD_SECTORS_OFFSET 842u
#define SB_DRIVE_EDD_SECTOR_SIZE_OFFSET 850u

typedef struct SbDriveInfo {
  uint32_t size;                 // 1392, set by the caller
  uint32_t reserved04;
  uint64_t sector_count;
  uint32_t heads;                // tracks per cylinder
  uint32_t sectors_per_track;
  uint32_t bytes_per_sector;
  uint32_t interface_type;       // 0-12
  uint32_t bus;
  uint32_t host;
  uint32_t target;
  char model[256];               // NUL-terminated
  char16_t device_name[256];     // NUL-terminated
  uint32_t flags;                // SB_DRIVE_FLAG_*
  uint32_t bios_drive;           // 0x80-0xFF when the firmware knows it
  uint8_t bios_chs_sector;       // sectors in bits 0-5, cylinder bits 8-9 in 6-7
  uint8_t bios_chs_cylinder;     // cylinder low byte
  uint8_t bios_max_head;
  uint8_t bios_ext[29];          // first 29 bytes of the BIOS extended block
  char16_t serial[256];          // from library version 141; overlaps the block's tail
  uint32_t physical_sector_size;
  uint32_t alignment_offset;     // first physical-sector boundary
  uint8_t reserved1372[1392 - 1372];
} SbDriveInfo;

// sbInitializeDrive request.
typedef struct SbInitializeRequest {
  uint32_t size;         // 28
  uint32_t kind;         // 0 MBR, 1 GPT
  uint8_t identity[16];  // MBR: 4-byte signature; GPT: disk GUID
  uint32_t entry_count;  // GPT: 128
} SbInitializeRequest;

// sbInvalidateDrive extent list: header then `count` entries.
typedef struct SbInvalidateHeader {
  uint32_t count;
  uint32_t reserved;
} SbInvalidateHeader;

typedef struct SbInvalidateEntry {
  uint64_t byte_offset;
  uint64_t byte_length;
  uint32_t lba;          // entry's start relative to its table
  uint32_t reserved14;
  uint8_t type;
  uint8_t active;
  uint8_t zero;
  uint8_t one;
  uint32_t reserved1C;
} SbInvalidateEntry;

// ---------------------------------------------------------- volume records
#define SB_VOLUME_FLAG_SYSTEM 0x2u

typedef struct SbVolumeExtent {
  uint32_t drive_number;   // the library's drive number (from 1)
  uint32_t reserved04;
  uint64_t first_sector;
  uint64_t sector_count;
} SbVolumeExtent;

typedef struct SbVolumeInfo {
  uint32_t size;                 // 1080, set by the caller
  uint32_t reserved04;
  uint32_t sector_size;
  uint32_t reserved0C;
  uint64_t sector_count;
  uint8_t reserved18[152 - 24];
  char device_name[256];         // 8-bit, NUL-terminated
  char16_t path[256];            // e.g. "D:\", empty when none
  uint32_t reserved398;
  uint32_t extents;              // in: buffer address (low half) or 0
  uint32_t extents_size;         // out: bytes needed; in: buffer size
  uint8_t letter;                // 'C'..'Z', 0 when none
  uint8_t reserved3A5[3];
  uint32_t extents_high;         // upper address half (64-bit hosts only)
  uint32_t unique_id_high;       // upper address half (64-bit hosts only)
  uint32_t reserved3B0;
  uint32_t flags;                // SB_VOLUME_FLAG_*
  uint32_t unique_id;            // in: buffer address (low half) or 0
  uint16_t unique_id_size;       // out: bytes needed; in: buffer size
  uint16_t reserved3BE;
  uint32_t locations;            // 1 when set
  uint8_t partition_type[16];    // GPT partition-type GUID, zero otherwise
  uint8_t reserved3D4[1080 - 980];
} SbVolumeInfo;

typedef struct SbVolumeStat {
  uint32_t size;        // 24
  uint32_t reserved04;
  uint64_t write_counter;
  uint64_t reserved10;
} SbVolumeStat;

// ------------------------------------------------------- snapshot records
// sbRead request flags and result flags.
#define SB_READ_ZERO_FILL 0x1u
#define SB_READ_DIRECT 0x2u
#define SB_READ_RESULT_KEEP 0x4u

typedef struct SbReadRequest {
  uint32_t size;           // 56
  uint32_t buffer;         // transfer buffer address (low half)
  uint32_t buffer_bytes;
  uint32_t buffer_high;    // upper address half (64-bit hosts only)
  uint64_t first_sector;
  uint32_t sector_count;
  uint32_t flags;          // SB_READ_ZERO_FILL | SB_READ_DIRECT
  uint32_t volume;         // member volume handle
  uint32_t result_flags;   // out: SB_READ_RESULT_KEEP
  uint32_t sectors_read;   // out
  uint32_t reserved2C;
  uint64_t reserved30;
} SbReadRequest;

typedef struct SbBitmapRecord {
  uint32_t size;           // 28
  uint32_t bitmap;         // address (low half); the library only keeps it
  uint32_t block_origin;
  uint32_t block_sectors;
  uint32_t block_count;
  uint32_t bitmap_bytes;
  uint32_t volume;         // volume handle
} SbBitmapRecord;

#define SB_READINFO_PENDING 0x4u

typedef struct SbReadInfo {
  uint32_t size;           // 32
  uint32_t flags;          // SB_READINFO_PENDING
  uint32_t volume;         // volume handle of the pending request
  uint32_t reserved0C;
  uint64_t first_sector;
  uint32_t sector_count;
  uint32_t reserved1C;
} SbReadInfo;

typedef struct SbSnapshotParams {
  uint32_t size;           // 40
  uint8_t reserved04[32 - 4];
  uint32_t wake_event;     // event handle, 0 when the library has none
  uint32_t reserved24;
} SbSnapshotParams;

typedef struct SbVssEntry {
  uint8_t first_id[16];
  uint8_t second_id[16];
  uint32_t name;           // address of a NUL-terminated UTF-16 name (low half)
} SbVssEntry;

// -------------------------------------------------------------- addresses
static inline void SbPutAddress(uint32_t* low, uint32_t* high, const void* p) {
  uintptr_t v = (uintptr_t)p;
  *low = (uint32_t)v;
#if UINTPTR_MAX > 0xFFFFFFFFu
  if (high) *high = (uint32_t)(v >> 32);
#else
  if (high) *high = 0;
#endif
}

static inline void* SbGetAddress(uint32_t low, uint32_t high) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  return (void*)(((uintptr_t)high << 32) | (uintptr_t)low);
#else
  (void)high;
  return (void*)(uintptr_t)low;
#endif
}

// --------------------------------------------------------------- functions
// set-up
SbStatus SBCALL sbInitLibEx(const SbInitRecord* init, SbLibInfo* info);
SbStatus SBCALL sbSetGlobalFlags(uint32_t flags);
SbStatus SBCALL sbAddNotification(SbNotifyCallback callback, uint32_t mask, uint32_t reserved);
SbStatus SBCALL sbRemoveNotification(SbNotifyCallback callback);
SbStatus SBCALL sbNotify(const SbNotification* record);
SbStatus SBCALL sbDoneLib(void);

// drives
SbStatus SBCALL sbGetDrives(uint32_t* count);
SbStatus SBCALL sbOpenDrive(uint32_t number, SbHandle* handle);
SbStatus SBCALL sbGetDriveInfo(SbHandle drive, SbDriveInfo* info);
SbStatus SBCALL sbReadDrive(SbHandle drive, uint64_t first_sector, uint32_t count, void* buffer);
SbStatus SBCALL sbWriteDrive(SbHandle drive, uint64_t first_sector, uint32_t count,
                             const void* buffer);
SbStatus SBCALL sbInvalidateDrive(SbHandle drive, const void* extent_list);
SbStatus SBCALL sbInitializeDrive(SbHandle drive, const SbInitializeRequest* request);
SbStatus SBCALL sbLockDrive(SbHandle drive, uint32_t mode, const char16_t* owner);
SbStatus SBCALL sbUnlockDrive(SbHandle drive);
SbStatus SBCALL sbGetLockDriveOwner(SbHandle drive, char16_t* buffer, uint32_t* bytes);
SbStatus SBCALL sbMakeDriveInvisible(SbHandle drive);
SbStatus SBCALL sbSetVolumeLetterEx(SbHandle drive, uint64_t first_sector, uint64_t sector_count,
                                    uint32_t letter);

// volumes
SbStatus SBCALL sbGetVolumes(uint32_t* count);
SbStatus SBCALL sbOpenVolume(uint32_t number, SbHandle* handle);
SbStatus SBCALL sbGetVolumeInfo(SbHandle volume, SbVolumeInfo* info);
// The mask of letters not in use: bit 0 = A:, bit 25 = Z:.
uint32_t SBCALL sbGetFreeLetters(void);
SbStatus SBCALL sbGetVolumeNumber(const char16_t* path, uint32_t* number);
SbStatus SBCALL sbReadVolume(SbHandle volume, uint64_t first_sector, uint32_t count, void* buffer);
SbStatus SBCALL sbWriteVolume(SbHandle volume, uint64_t first_sector, uint32_t count,
                              const void* buffer);
SbStatus SBCALL sbLockVolume(SbHandle volume, uint32_t mode);
SbStatus SBCALL sbUnlockVolume(SbHandle volume);
SbStatus SBCALL sbSetVolumeLetter(SbHandle volume, uint32_t letter);
SbStatus SBCALL sbDismountVolume(SbHandle volume);
SbStatus SBCALL sbUnhideVolume(SbHandle volume);
SbStatus SBCALL sbCreateVolume(SbHandle drive, uint64_t first_sector, uint64_t sector_count,
                               uint32_t* number, uint32_t letter, uint32_t reserved1,
                               uint32_t reserved2, SbHandle* handle);
SbStatus SBCALL sbDeleteVolume(SbHandle volume);
SbStatus SBCALL sbExtendVolume(SbHandle volume, uint64_t new_sector_count);
SbStatus SBCALL sbGetVolumeStat(SbHandle volume, SbVolumeStat* stat);
SbStatus SBCALL sbGetVolumeOpenedFiles(SbHandle volume, uint32_t* bytes, void* buffer);
SbStatus SBCALL sbGetVolumeOpenedFileIDs(SbHandle volume, uint32_t kind, uint32_t* count,
                                         void* buffer);

// snapshots
SbStatus SBCALL sbCreateSnapshotEx(SbHandle volume, SbHandle* snapshot, uint32_t flags);
SbStatus SBCALL sbCreateVssSnapshot(SbHandle volume, SbHandle* snapshot, const SbVssEntry* entries,
                                    uint32_t count, uint32_t flags);
SbStatus SBCALL sbAddSnapshotVolume(SbHandle snapshot, SbHandle volume);
SbStatus SBCALL sbSetBitmap(SbHandle snapshot, const SbBitmapRecord* record);
SbStatus SBCALL sbStart(SbHandle snapshot);
SbStatus SBCALL sbLock(SbHandle snapshot);
SbStatus SBCALL sbUnlock(SbHandle snapshot);
SbStatus SBCALL sbGetParams(SbHandle snapshot, SbSnapshotParams* params);
SbStatus SBCALL sbGetReadInfo(SbHandle snapshot, SbReadInfo* info);
SbStatus SBCALL sbRead(SbHandle snapshot, SbReadRequest* request);

// any handle
SbStatus SBCALL sbClose(SbHandle handle);

// The number of functions above (kept in step with the export list).
#define SB_FUNCTION_COUNT 47

#ifdef __cplusplus
}  // extern "C"
#endif

// ------------------------------------------------------------------ layout
SB_STATIC_ASSERT(sizeof(SbInitRecord) == 8, "init record");
SB_STATIC_ASSERT(sizeof(SbLibInfo) == 532, "info record");
SB_STATIC_ASSERT(offsetof(SbLibInfo, version) == 4, "info version");
SB_STATIC_ASSERT(offsetof(SbLibInfo, status_word) == 0x20C, "info status word");
SB_STATIC_ASSERT(offsetof(SbLibInfo, mode_word) == 0x210, "info mode word");

SB_STATIC_ASSERT(sizeof(SbNotification) == 520, "notification record");
SB_STATIC_ASSERT(offsetof(SbNotification, arg0) == 8, "notification word 8");
SB_STATIC_ASSERT(offsetof(SbNotification, arg1) == 12, "notification word 12");
SB_STATIC_ASSERT(offsetof(SbNotification, start) == 16, "notification start");
SB_STATIC_ASSERT(offsetof(SbNotification, length) == 24, "notification length");

SB_STATIC_ASSERT(sizeof(SbDriveInfo) == 1392, "drive record");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, sector_count) == 8, "drive sectors");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, heads) == 16, "drive heads");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, sectors_per_track) == 20, "drive spt");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bytes_per_sector) == 24, "drive sector size");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, interface_type) == 28, "drive interface");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bus) == 32, "drive bus");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, host) == 36, "drive host");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, target) == 40, "drive target");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, model) == 44, "drive model");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, device_name) == 300, "drive device name");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, flags) == 812, "drive flags");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bios_drive) == 816, "drive bios number");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bios_chs_sector) == 820, "drive bios chs");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bios_max_head) == 822, "drive bios head");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, bios_ext) == SB_DRIVE_BIOS_EXT_OFFSET, "drive bios ext");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, serial) == 852, "drive serial");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, physical_sector_size) == 1364, "drive physical sector");
SB_STATIC_ASSERT(offsetof(SbDriveInfo, alignment_offset) == 1368, "drive alignment");

SB_STATIC_ASSERT(sizeof(SbInitializeRequest) == 28, "initialize request");
SB_STATIC_ASSERT(sizeof(SbInvalidateHeader) == 8, "invalidate header");
SB_STATIC_ASSERT(sizeof(SbInvalidateEntry) == 32, "invalidate entry");

SB_STATIC_ASSERT(sizeof(SbVolumeExtent) == 24, "volume extent");
SB_STATIC_ASSERT(sizeof(SbVolumeInfo) == 1080, "volume record");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, sector_size) == 8, "volume sector size");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, sector_count) == 16, "volume sectors");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, device_name) == 152, "volume device name");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, path) == 408, "volume path");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, extents) == 924, "volume extent buffer");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, extents_size) == 928, "volume extent size");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, letter) == 932, "volume letter");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, flags) == 948, "volume flags");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, unique_id) == 952, "volume unique id buffer");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, unique_id_size) == 956, "volume unique id size");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, locations) == 960, "volume locations");
SB_STATIC_ASSERT(offsetof(SbVolumeInfo, partition_type) == 0x3C4, "volume partition type");
SB_STATIC_ASSERT(sizeof(SbVolumeStat) == 24, "volume statistics");
SB_STATIC_ASSERT(offsetof(SbVolumeStat, write_counter) == 8, "volume write counter");

SB_STATIC_ASSERT(sizeof(SbReadRequest) == 56, "read request");
SB_STATIC_ASSERT(sizeof(SbBitmapRecord) == 28, "bitmap record");
SB_STATIC_ASSERT(sizeof(SbReadInfo) == 32, "read info");
SB_STATIC_ASSERT(sizeof(SbSnapshotParams) == 40, "snapshot params");
SB_STATIC_ASSERT(offsetof(SbSnapshotParams, wake_event) == 32, "snapshot wake event");
SB_STATIC_ASSERT(sizeof(SbVssEntry) == 36, "vss entry");

#endif  // SBLIB_SBLIB_H
