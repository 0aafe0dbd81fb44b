// Requests of Windows' dynamic-disk service: the checks that decide whether
// a change may go through the service, the request blocks of every opcode
// the system sends, and the group operations that send them and then bring
// the raw model up to date with the reconciliation.
//
// The blocks hold 32-bit addresses (of the block itself, of its task
// descriptor, of a status record) and event handles: they are built for a
// given address, so that their bytes can be checked anywhere and sent
// as they are by the 32-bit Windows client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/ldm_types.h"
#include "ldm/group.h"

namespace Ldm {

// The opcodes.
enum ServiceOpcode : std::uint32_t {
  kOpConvertEmptyToBasic = 10,
  kOpAddDisk = 11,
  kOpBasicFirstStep = 12,
  kOpRescan = 16,
  kOpCreateVolume = 17,
  kOpDeleteVolume = 19,
  kOpAddMirror = 20,
  kOpRemoveMirror = 22,
  kOpReplaceColumn = 24,
  kOpGrowVolume = 26,
  kOpQueryEncapsulation = 33,
  kOpEncapsulate = 34,
  kOpDriveHint = 37,
  kOpReactivateDisk = 39,
};

// Status values of the service the system tells apart.
constexpr std::uint32_t kStatusNoSpaceForDatabase = 227;
constexpr std::uint32_t kStatusRestartNeeded = 237;
// What the requester answers when the service never completed a request
// in time.
constexpr std::uint32_t kStatusTimedOut = 0xFFFFFFFFu;

// One disk of a request: its object id and the sectors asked of it.
struct RequestDisk {
  std::uint64_t id = 0;
  std::uint64_t sectors = 0;
};

// The values a block carries; each opcode takes the ones its layout has.
struct RequestFields {
  std::uint64_t rootId = 0;
  std::uint64_t objectId = 0;    // volume id, or disk id (12, 39)
  std::uint64_t secondId = 0;    // plex id (22), new disk id (24)
  std::uint64_t thirdId = 0;     // replaced disk id (24)
  std::uint64_t size = 0;        // volume size (17), size to add (26)
  std::uint32_t layout = 0;      // layout code (17)
  std::string diskName;          // up to 31 characters
  std::vector<RequestDisk> disks;
  std::uint64_t secondTime = 0;  // opcode 10
  char16_t letter1 = 0;          // opcode 37
  char16_t letter2 = 0;
};

// Where the block lies and what the sender puts in its pointer fields.
struct RequestContext {
  std::uint32_t blockAddress = 0;
  std::uint32_t completionRoutine = 0;
  std::uint64_t time = 0;
  std::uint32_t event = 0;
  std::uint32_t statusAddress = 0;  // the sender's 76-byte status record
};

// The block's size for the opcode and disk count; 0 for an opcode the
// system does not send.
std::size_t RequestBlockSize(std::uint32_t opcode, std::size_t disks);
// The block, zero-filled and laid out; empty for an unknown opcode or more
// disks than a request takes (32).
std::vector<std::uint8_t> BuildRequestBlock(std::uint32_t opcode, const RequestFields& fields,
                                            const RequestContext& context);
// Fills the 76-byte status record a sender keeps for its block.
void InitStatusRecord(std::uint8_t* record);
constexpr std::size_t kStatusRecordBytes = 76;
// The layout code of a volume type (17); 0 for one the service cannot make.
std::uint32_t LayoutCodeFor(Fdisk::LdmVolType type);

// The side of the service that carries out requests: the Windows client,
// or a fake in the tests.
class ServiceRequester {
 public:
  virtual ~ServiceRequester() = default;
  // The root disk group's id, looked up anew (0 when there is none).
  virtual std::uint64_t RootId() = 0;
  // Builds the block in memory of its own, submits it and waits for its
  // completion; the service's status (0 success; kStatusTimedOut when
  // the wait ran out).
  virtual std::uint32_t Submit(std::uint32_t opcode, const RequestFields& fields) = 0;
  virtual void ClearTaskCompleted() = 0;
  // False when the task did not complete in time.
  virtual bool WaitTaskCompletion() = 0;
};
ServiceRequester* ServiceRequesterInstance();
void SetServiceRequesterInstance(ServiceRequester* requester);

// --- checks -------------------------------------------------------------------------
bool HasGptDisk(const LdmDgAccess& group, const std::vector<SpaceRequest>& entries);
Common::Error WinCheckCreateVolume(const LdmDgAccess& group, Fdisk::LdmVolType type,
                                   std::uint64_t& size, std::uint32_t mirrors,
                                   std::uint32_t stripe, const std::vector<SpaceRequest>& entries,
                                   std::uint32_t flags, bool mayRound);
Common::Error WinCheckGrowVolume(const LdmDgAccess& group, const LdmRecord& volume,
                                 std::size_t disks);
Common::Error WinCheckRemoveMirror(const LdmDgAccess& group, const LdmRecord& volume,
                                   std::uint32_t flags);
Common::Error WinCheckAddMirror(const LdmDgAccess& group, const LdmRecord& volume,
                                std::size_t disks, std::uint32_t flags);

// --- operations ---------------------------------------------------------------------
// The disk's Windows name as a request carries it ("Harddisk%d").
std::string RequestDiskName(const LdmDisk& disk);
Common::Error WinCreateVolume(LdmDgAccess& group, Fdisk::LdmVolType type, std::uint64_t size,
                              const std::vector<SpaceRequest>& entries, std::uint32_t* luid);
Common::Error WinDeleteVolume(LdmDgAccess& group, LdmRecord& volume);
Common::Error WinGrowVolume(LdmDgAccess& group, LdmRecord& volume, std::uint64_t addSize,
                            const std::vector<SpaceRequest>& entries);
Common::Error WinRemoveMirror(LdmDgAccess& group, LdmRecord& volume, LdmRecord& plex);
Common::Error WinAddMirror(LdmDgAccess& group, LdmRecord& volume,
                           const std::vector<SpaceRequest>& entries);
Common::Error WinReplaceRAID5Column(LdmDgAccess& group, LdmRecord& volume, std::uint32_t column,
                                    std::uint64_t newDisk);
Common::Error WinSetDriveHint(LdmDgAccess& group, LdmRecord& volume, const char* hint);
Common::Error WinReactivateDisk(LdmDgAccess& group, LdmDisk& disk);
Common::Error WinConvertDiskToBasic(LdmDgAccess& group, LdmDisk& disk);
Common::Error WinConvertDiskToDynamic(LdmDisk& disk, bool encapsulate, std::uint64_t rootId);
Common::Error WinAddDisk(LdmDgAccess& group, LdmDisk& disk, bool encapsulate);
Common::Error WinEncapsulateDisk(LdmDisk& disk);

}  // namespace Ldm
