// Error codes, module ids and catalog entries of the disk-access layer.
//
// Codes lie in facility 0x10 (disk layer), 0x12F (firmware variables) and 0x7
// (resizer). Each source file has its own module id; a location id is the
// file's short tag in the high 16 bits and a call-site number in the low 16.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace Da {

// Module ids, one per source file.
namespace Module {
constexpr std::uint32_t kLifecycle = 0x5A0110A1;
constexpr std::uint32_t kComputer = 0x5A0110A2;
constexpr std::uint32_t kWindowsComputer = 0x14181C22;  // shared with the volume handler
constexpr std::uint32_t kDiskSectorSize = 0x49EC822E;
constexpr std::uint32_t kDiskIo = 0x09AA4C10;
constexpr std::uint32_t kEasyVolume = 0x7D38DDBC;
constexpr std::uint32_t kDriveDisk = 0x8D5BF87C;
constexpr std::uint32_t kStatusToError = 0x02AACB7B;
constexpr std::uint32_t kUefi = 0x5A0110A3;
constexpr std::uint32_t kHolders = 0x5A0110A4;
constexpr std::uint32_t kUefiBoot = 0x5A0110B3;
constexpr std::uint32_t kSystemRestore = 0x5A0110B4;
}  // namespace Module

// A location id: the file's tag and the call site.
constexpr std::uint32_t Site(std::uint32_t tag, std::uint32_t site) { return tag << 16 | site; }

// Error codes.
namespace Code {
constexpr std::uint32_t kBaseSbGetDiskCnt = 0x100001;
constexpr std::uint32_t kSetSectorSizeFailed = 0x100002;
constexpr std::uint32_t kLockDrive = 0x100003;
constexpr std::uint32_t kLoadLibrary = 0x100004;
constexpr std::uint32_t kInitLibrary = 0x100005;
constexpr std::uint32_t kEmulationMode = 0x100006;
constexpr std::uint32_t kAutopart = 0x100007;
constexpr std::uint32_t kDriveCount = 0x100008;
constexpr std::uint32_t kOpenDrive = 0x100009;
constexpr std::uint32_t kNotifyDisks = 0x10000A;
constexpr std::uint32_t kNotifyVolumes = 0x10000B;
constexpr std::uint32_t kNotifyDisk = 0x10000C;
constexpr std::uint32_t kNotifyVolume = 0x10000D;
constexpr std::uint32_t kMakeInvisible = 0x10000F;
constexpr std::uint32_t kSetLetterViaDrive = 0x100010;
constexpr std::uint32_t kCloseDrive = 0x100011;
constexpr std::uint32_t kInitializeDrive = 0x100012;
constexpr std::uint32_t kUnlockDrive = 0x100013;
constexpr std::uint32_t kDriveInfo = 0x100014;
constexpr std::uint32_t kDriveSkipped = 0x100015;
constexpr std::uint32_t kZeroTrackSize = 0x100016;
constexpr std::uint32_t kZeroDriveSize = 0x100017;
constexpr std::uint32_t kZeroSectorSize = 0x100019;
constexpr std::uint32_t kSectorSizeNotPowerOf2 = 0x10001A;
constexpr std::uint32_t kSectorBufferMemory = 0x10001B;
constexpr std::uint32_t kSectorSizeOutOfRange = 0x10001C;
constexpr std::uint32_t kVolumeByPath = 0x10001F;
constexpr std::uint32_t kBaseSbGetVolumeCnt = 0x100020;
constexpr std::uint32_t kVolumeCount = 0x100021;
constexpr std::uint32_t kOpenVolume = 0x100022;
constexpr std::uint32_t kVolumeWriteCounter = 0x10002F;
constexpr std::uint32_t kVolumeWriteCounterNotCreated = 0x100039;
constexpr std::uint32_t kVolumeLetterNotCreated = 0x10008C;
constexpr std::uint32_t kVolumeLetter = 0x10008D;
constexpr std::uint32_t kVolumeLocationsNotCreated = 0x10008E;
constexpr std::uint32_t kVolumeLocations1 = 0x10008F;
constexpr std::uint32_t kVolumeLocationsMemory1 = 0x100090;
constexpr std::uint32_t kVolumeLocations2 = 0x100091;
constexpr std::uint32_t kVolumeLocationsMemory2 = 0x100092;
constexpr std::uint32_t kVolumeFlagsNotCreated = 0x1000C0;
constexpr std::uint32_t kVolumeFlags = 0x1000C1;
constexpr std::uint32_t kVolumeGuidNotCreated = 0x1000C2;
constexpr std::uint32_t kVolumeGuid1 = 0x1000C3;
constexpr std::uint32_t kVolumeGuidLength = 0x1000C4;
constexpr std::uint32_t kVolumeGuidMemory1 = 0x1000C5;
constexpr std::uint32_t kVolumeGuid2 = 0x1000C6;
constexpr std::uint32_t kVolumeGuidMemory2 = 0x1000C8;
constexpr std::uint32_t kVolumeReadNoBuffer = 0x1000CE;
constexpr std::uint32_t kVolumeReadNotCreated = 0x1000CF;
constexpr std::uint32_t kVolumeRead = 0x1000D0;
constexpr std::uint32_t kVolumeWriteNoBuffer = 0x1000D1;
constexpr std::uint32_t kVolumeWriteNotCreated = 0x1000D2;
constexpr std::uint32_t kVolumeWrite = 0x1000D3;
constexpr std::uint32_t kVolumeUnknownOp = 0x1000D4;
constexpr std::uint32_t kReadNoBuffer = 0x1000D5;
constexpr std::uint32_t kReadNoHandle = 0x1000D6;
constexpr std::uint32_t kRead = 0x1000D7;
constexpr std::uint32_t kWriteNoBuffer = 0x1000D8;
constexpr std::uint32_t kWriteNoHandle = 0x1000D9;
constexpr std::uint32_t kWrite = 0x1000DA;
constexpr std::uint32_t kUnknownOp = 0x1000DB;
constexpr std::uint32_t kInvalidateNoHandle = 0x1000DC;
constexpr std::uint32_t kInvalidate = 0x1000DD;
constexpr std::uint32_t kNotSupportedOp = 0x1000E1;
constexpr std::uint32_t kIoDisabled = 0x1000E2;
constexpr std::uint32_t kEasyVolumeIo = 0x1000EA;
constexpr std::uint32_t kCrcError = 0x100155;
constexpr std::uint32_t kNoNewVolume = 0x100156;
constexpr std::uint32_t kOffline = 0x100403;
// A resizer failure that a sector-by-sector retry cannot help.
constexpr std::uint32_t kNoSectorRetry = 0x7002C;
}  // namespace Code

// Catalog entries of the texts.
namespace Msg {
constexpr std::uint32_t kOffline = 523;
constexpr std::uint32_t kCrcError = 879;
constexpr std::uint32_t kSetSectorSizeFailed = 901;
constexpr std::uint32_t kEasyVolumeIo = 904;
constexpr std::uint32_t kSectorSizeNotPowerOf2 = 929;
constexpr std::uint32_t kSectorBufferMemory = 930;
constexpr std::uint32_t kZeroSectorSize = 931;
constexpr std::uint32_t kCloseDrive = 944;
constexpr std::uint32_t kDriveInfo = 945;
constexpr std::uint32_t kDriveSkipped = 946;
constexpr std::uint32_t kZeroDriveSize = 947;
constexpr std::uint32_t kZeroTrackSize = 948;
constexpr std::uint32_t kMakeInvisible = 949;
constexpr std::uint32_t kInitializeDrive = 950;
constexpr std::uint32_t kLockDrive = 951;
constexpr std::uint32_t kUnknownOp = 952;
constexpr std::uint32_t kReadNoBuffer = 953;
constexpr std::uint32_t kReadNoHandle = 954;
constexpr std::uint32_t kRead = 955;
constexpr std::uint32_t kSetLetterViaDrive = 956;
constexpr std::uint32_t kInvalidateNoHandle = 957;
constexpr std::uint32_t kInvalidate = 958;
constexpr std::uint32_t kUnlockDrive = 959;
constexpr std::uint32_t kWriteNoBuffer = 960;
constexpr std::uint32_t kWriteNoHandle = 961;
constexpr std::uint32_t kWrite = 962;
constexpr std::uint32_t kIoDisabled = 997;
constexpr std::uint32_t kVolumeLetterNotCreated = 1139;
constexpr std::uint32_t kVolumeLetter = 1140;
constexpr std::uint32_t kVolumeGuidLength = 1132;
constexpr std::uint32_t kVolumeGuidNotCreated = 1134;
constexpr std::uint32_t kVolumeGuidMemory1 = 1135;
constexpr std::uint32_t kVolumeGuidMemory2 = 1136;
constexpr std::uint32_t kVolumeGuid1 = 1137;
constexpr std::uint32_t kVolumeGuid2 = 1138;
constexpr std::uint32_t kVolumeLocationsNotCreated = 1146;
constexpr std::uint32_t kVolumeLocationsMemory1 = 1147;
constexpr std::uint32_t kVolumeLocationsMemory2 = 1148;
constexpr std::uint32_t kVolumeLocations1 = 1149;
constexpr std::uint32_t kVolumeLocations2 = 1150;
constexpr std::uint32_t kVolumeWriteCounter = 1151;
constexpr std::uint32_t kVolumeWriteCounterNotCreated = 1152;
constexpr std::uint32_t kVolumeFlagsNotCreated = 1130;
constexpr std::uint32_t kVolumeFlags = 1131;
constexpr std::uint32_t kVolumeUnknownOp = 1157;
constexpr std::uint32_t kVolumeReadNoBuffer = 1158;
constexpr std::uint32_t kVolumeReadNotCreated = 1159;
constexpr std::uint32_t kVolumeRead = 1160;
constexpr std::uint32_t kVolumeWriteNoBuffer = 1165;
constexpr std::uint32_t kVolumeWriteNotCreated = 1166;
constexpr std::uint32_t kVolumeWrite = 1167;
// Texts of this layer without a number of their own elsewhere.
constexpr std::uint32_t kBaseSbGetDiskCnt = 2010;
constexpr std::uint32_t kBaseSbGetVolumeCnt = 2011;
constexpr std::uint32_t kLoadLibrary = 2012;
constexpr std::uint32_t kInitLibrary = 2013;
constexpr std::uint32_t kEmulationMode = 2014;
constexpr std::uint32_t kAutopart = 2015;
constexpr std::uint32_t kDriveCount = 2016;
constexpr std::uint32_t kOpenDrive = 2017;
constexpr std::uint32_t kVolumeByPath = 2018;
constexpr std::uint32_t kVolumeCount = 2019;
constexpr std::uint32_t kOpenVolume = 2020;
constexpr std::uint32_t kNotifyDisks = 2021;
constexpr std::uint32_t kNotifyVolumes = 2022;
constexpr std::uint32_t kNotifyDisk = 2023;
constexpr std::uint32_t kNotifyVolume = 2024;
constexpr std::uint32_t kBootEntryError = 2025;
constexpr std::uint32_t kSectorSizeOutOfRange = 2026;
constexpr std::uint32_t kIncorrectBootPath = 2027;
}  // namespace Msg

// An error whose text is catalog entry `message` (no text while the catalog
// is not loaded).
Common::Error MakeError(std::uint32_t location, std::uint32_t module, std::uint32_t code,
                        std::uint32_t message);

// True when the error is a failure: a record whose code is not 0.
inline bool Failed(const Common::Error& e) { return e.Code() != 0; }

// True when any record of the chain has the code.
bool ChainHasCode(const Common::Error& e, std::uint32_t code);

}  // namespace Da
