// The partition holder tree: one holder per partition table or container
// (meta holders) and one per partition, built by the scheme readers while
// they read a disk, kept in the disk's list by start sector, edited through
// one virtual interface and written back by a walk in write mode.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "diskaccess/fs_params.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holder_list.h"
#include "diskaccess/objects.h"

class vol_handler;
class DiskPSAndSignaturesState;
class user_holder_data;

// Status bits of a holder's `flags`.
constexpr std::uint32_t kHolderOverlaps = 0x1;
constexpr std::uint32_t kHolderUnreadable = 0x2;
constexpr std::uint32_t kHolderRewrite = 0x4;  // no 0xAA55, or a table to be rewritten
constexpr std::uint32_t kHolderWriteFailed = 0x8;
constexpr std::uint32_t kHolderUnfilled = 0x10;
// Set on a table whose chain of extended boot records was cut short: a loop,
// a link outside the container or the disk, or more links than any disk has.
constexpr std::uint32_t kHolderChainCut = 0x100;

constexpr std::uint16_t kNoNumber = 0xFFFF;
constexpr std::uint32_t kViewCount = 9;  // views 0-7 and the live view
constexpr std::uint32_t kLiveView = 8;
// The view whose letter a partition asks for when it gets a volume.
constexpr std::uint32_t kViewWanted = 7;

// What CreatePartition is given and what DeletePartition hands back.
struct PartitionInfo {
  std::int32_t id = 0;           // 0: a new id
  std::uint32_t wantedIndex = 0xFFFFFFFFu;
  bool primary = true;
  std::uint8_t type = 0;
  std::uint8_t typeGuid[16] = {};
  std::uint8_t uniqueGuid[16] = {};  // zero: a new random one
  std::uint64_t attributes = 0;
  std::u16string name;
  std::uint64_t ebrOffset = 0;   // sectors between a new EBR and its partition
  std::shared_ptr<vol_handler> handler;
  std::uint32_t auxWord = 0;
  bool keepVolume = false;   // the volume outlives the partition's removal
  bool noMount = false;      // attach the volume again without mounting it
  std::uint8_t letter = 0;
};

// The node of the tree.
class holder {
 public:
  holder(stddisk* disk, std::uint64_t start, std::uint64_t size, std::uint32_t index,
         holder* owner);
  explicit holder(const holder* from);
  holder(stddisk* disk, const holder* from, holder* owner);
  virtual ~holder();
  holder(const holder&) = delete;
  holder& operator=(const holder&) = delete;

  virtual void Notify(std::uint32_t code, std::uint64_t value) {}
  virtual holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) {
    return nullptr;
  }
  virtual holder* CreatePartition(std::uint64_t start, std::uint64_t size, PartitionInfo& info,
                                  bool commit) {
    return nullptr;
  }
  virtual bool DeletePartition(std::uint32_t flags, PartitionInfo* info) { return false; }
  virtual Common::Error EraseTable(std::uint32_t* oldSignature) { return Common::Error(); }
  // New identities for the disk's table; `state` is a snapshot taken by
  // GetSchemeRecord (or null), `commit` marks the table for the next write.
  virtual Common::Error ChangeScheme(std::uint32_t mode, bool commit = true,
                                     const DiskPSAndSignaturesState* state = nullptr) {
    return Common::Error();
  }
  // A snapshot of the disk's identities, owned by the caller (or null).
  virtual void GetSchemeRecord(std::unique_ptr<DiskPSAndSignaturesState>& out) { out.reset(); }
  // The post-change pass: tells the disk which per-view data to recompute.
  virtual void UpdateAfterChange() {}
  virtual std::uint64_t GetAttributes() const { return 0; }
  virtual const std::uint8_t* GetDiskGuid() const { return nullptr; }
  virtual const std::uint8_t* GetTypeGuid() const { return nullptr; }
  virtual const std::uint8_t* GetUniqueGuid() const { return nullptr; }
  virtual std::u16string GetName() const { return std::u16string(); }
  virtual std::int32_t GetId() const { return 0; }
  virtual stddisk* GetDisk() const { return disk; }
  virtual std::uint8_t GetLetter(std::uint32_t view) const { return 0x20; }
  virtual std::uint32_t GetLetterFlags(std::uint32_t view) const { return 0; }
  virtual std::uint32_t GetNumber(std::uint32_t kind) const { return 0; }
  virtual std::uint8_t GetType() const { return 0; }
  virtual std::uint8_t* GetSectorImage() const { return nullptr; }
  virtual bool IsModified() const { return false; }
  virtual bool IsActive() const { return false; }
  virtual bool IsEasyVolume() const { return false; }
  virtual bool IsFreeSpace() const { return true; }
  virtual std::uint32_t GetHiddenState() const { return 0; }
  virtual bool IsTopTable() const { return false; }
  virtual bool IsPartition() const { return false; }
  virtual bool HasTable() const { return false; }
  virtual bool IsPrimary() const { return false; }
  virtual bool IsMbr() const { return false; }
  virtual bool IsContainer() const { return false; }
  virtual bool IsDynamic() const { return false; }
  virtual void SetActive(bool commit) {}
  virtual void SetScratch(std::uint32_t value) { scratch = value; }
  virtual void SetHiddenState(std::uint32_t state, bool commit) {}
  virtual void SetId(std::int32_t id) {}
  virtual void AssignLetter(std::uint32_t view, std::uint8_t* counter, std::uint32_t flags) {}
  virtual void SetLetter(std::uint32_t view, std::uint8_t letter, std::uint32_t flags) {}
  virtual bool SetType(std::uint8_t type, bool commit) { return false; }
  virtual void SetBootVisibility(bool visible) {}
  virtual void SetVolumeHandler(std::shared_ptr<vol_handler> h);
  virtual void SetModified(bool modified) {}
  virtual void SetSectorImage(std::uint8_t* image) {}
  virtual bool IsTableNode() const { return false; }
  virtual void ResetLetters() {}
  virtual void AssignNumber(std::uint32_t kind, std::uint32_t* counters) {}
  virtual void SetNumber(std::uint32_t kind, std::uint32_t value) {}
  // A free-standing partition holder copied from this one (null for tables).
  virtual holder* CopyPartitionInfo() const { return nullptr; }
  virtual std::uint8_t GetAssignedLetter() const { return 0; }
  virtual void SetAssignedLetter(std::uint8_t letter) {}
  virtual std::uint32_t GetAuxWord() const { return 0; }
  virtual void SetAuxWord(std::uint32_t value) {}
  virtual std::shared_ptr<user_holder_data> GetUserData() const { return nullptr; }
  virtual void SetUserData(std::shared_ptr<user_holder_data> data) {}
  virtual void AttachVolume(bool mount, std::shared_ptr<vol_handler> h, std::uint8_t letter) {}
  virtual void ChangeLetter(std::uint8_t letter, bool apply) {}
  // Completes a DeletePartition once the table entry is cleared; destroys
  // the holder.
  virtual void FinishRemoval(std::uint32_t flags, PartitionInfo* info) {}
  virtual void DetachVolumeHandler() { SetVolumeHandler(nullptr); }

  vol_handler* GetVolumeHandler() const { return handler.get(); }

  // Into the disk's list before the first holder that starts later, unless
  // flag 0x4 is clear and flag 0x8 is set or the holder's state is not 0.
  void InsertSorted(std::uint32_t walkerFlags);
  // Sets kHolderOverlaps on both holders of every overlapping pair; true when
  // one of them is a container.
  bool MarkOverlaps(std::uint32_t walkerFlags);
  // Marks the owning table modified and the disk changed.
  void MarkOwnerModified();
  // Whether the range passes the disk's alignment checks for `mode` (7, 6,
  // 3, 2 or 4); a whole-cylinder `request` in mode 2 also refuses a range
  // that is one partial cylinder.
  bool CheckRange(std::uint32_t mode, const Da::AlignmentRequest& request) const;

  holder* next = nullptr;
  holder* prev = nullptr;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint32_t state = 0;
  std::uint32_t index = 0;
  holder* owner = nullptr;
  std::shared_ptr<vol_handler> handler;
  std::uint32_t scratch = 0;
  stddisk* disk = nullptr;
  std::uint32_t flags = 0;
  std::uint32_t unused = 0;
  std::uint32_t scan_number = 0;
  std::uint8_t spare = 0;
  std::uint8_t reattach = 0;
};

// A table or container that holds other holders.
class BaseMetaHolder : public virtual holder {
 public:
  explicit BaseMetaHolder(const holder* from = nullptr)
      : holder(nullptr, 0, 1, 0, nullptr), modified(from != nullptr && from->IsModified()) {}
  std::uint8_t* GetSectorImage() const override { return sector_image; }
  bool IsModified() const override { return modified != 0; }
  bool IsFreeSpace() const override { return false; }
  bool IsContainer() const override { return true; }
  void SetModified(bool m) override { modified = m ? 1 : 0; }
  void SetSectorImage(std::uint8_t* image) override { sector_image = image; }
  bool IsTableNode() const override { return true; }

  std::uint8_t modified = 0;
  std::uint8_t* sector_image = nullptr;  // one sector of the disk's size
};

// One partition: letters per view, numbers, extents, id.
class BasePartitionHolder : public virtual holder {
 public:
  explicit BasePartitionHolder(std::int32_t id);
  BasePartitionHolder(stddisk* disk, const holder* from);
  std::int32_t GetId() const override { return id; }
  std::uint8_t GetLetter(std::uint32_t view) const override;
  std::uint32_t GetLetterFlags(std::uint32_t view) const override;
  std::uint32_t GetNumber(std::uint32_t kind) const override {
    return kind < 3 ? numbers[kind] : 0;
  }
  bool IsFreeSpace() const override { return false; }
  bool IsPartition() const override { return true; }
  void AssignLetter(std::uint32_t view, std::uint8_t* counter, std::uint32_t flags) override;
  void SetLetter(std::uint32_t view, std::uint8_t letter, std::uint32_t flags) override;
  void ResetLetters() override;
  void AssignNumber(std::uint32_t kind, std::uint32_t* counters) override;
  void SetNumber(std::uint32_t kind, std::uint32_t value) override {
    if (kind < 3) numbers[kind] = value;
  }
  holder* CopyPartitionInfo() const override;
  std::uint8_t GetAssignedLetter() const override { return assigned_letter; }
  void SetAssignedLetter(std::uint8_t letter) override { assigned_letter = letter; }
  std::uint32_t GetAuxWord() const override { return aux_word; }
  void SetAuxWord(std::uint32_t value) override { aux_word = value; }
  std::shared_ptr<user_holder_data> GetUserData() const override { return user_data; }
  void SetUserData(std::shared_ptr<user_holder_data> data) override {
    user_data = std::move(data);
  }
  void AttachVolume(bool mount, std::shared_ptr<vol_handler> h, std::uint8_t letter) override;
  void ChangeLetter(std::uint8_t letter, bool apply) override;
  void FinishRemoval(std::uint32_t flags, PartitionInfo* info) override;
  void SetVolumeHandler(std::shared_ptr<vol_handler> h) override;
  void SetId(std::int32_t newId) override;

  std::uint8_t letters[kViewCount];
  std::uint32_t letter_flags[kViewCount] = {};
  std::uint32_t numbers[3] = {0, kNoNumber, kNoNumber};
  std::vector<DaExtent> extents;
  std::int32_t id = 0;
  std::uint8_t assigned_letter = 0;
  std::uint8_t aux_byte = 0;
  std::uint32_t aux_word = 0;
  std::shared_ptr<user_holder_data> user_data;

 protected:
  // Id, extents, the letters and flags of every view and the numbers of
  // `from` (the copying constructor's part).
  void CopyPartitionFields(const holder* from);
};

// ------------------------------------------------------------------ raw

class RawBaseHolder : public virtual holder {
 public:
  RawBaseHolder() : holder(nullptr, 0, 1, 0, nullptr) {}
  Common::Error EraseTable(std::uint32_t* oldSignature) override;
  bool IsPrimary() const override { return true; }
};

class RawPartitionHolder;
class RawMetaHolder : public RawBaseHolder, public BaseMetaHolder {
 public:
  explicit RawMetaHolder(stddisk* disk);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  holder* CreatePartition(std::uint64_t start, std::uint64_t size, PartitionInfo& info,
                          bool commit) override;
  holder* partition = nullptr;
};

class RawPartitionHolder : public RawBaseHolder, public BasePartitionHolder {
 public:
  RawPartitionHolder(stddisk* disk, RawMetaHolder* meta, std::int32_t id);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  bool DeletePartition(std::uint32_t flags, PartitionInfo* info) override;
};

// A disk whose scheme this layer cannot read.
class UnsupHolder : public BaseMetaHolder {
 public:
  explicit UnsupHolder(stddisk* disk);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
};

// ------------------------------------------------------------------ MBR

// Type predicates of this layer (0x85 is data here).
bool IsProtectiveType(std::uint8_t t);
bool IsExtendedType(std::uint8_t t);
bool IsFat32Type(std::uint8_t t);
bool IsLbaType(std::uint8_t t);
bool IsFat16Type(std::uint8_t t);
bool IsDiskManagerType(std::uint8_t t);
bool IsDosType(std::uint8_t t);
bool IsDataType(std::uint8_t t, bool strict);
bool IsFatSmallType(std::uint8_t t);
bool IsFatType(std::uint8_t t);
bool IsHideableType(std::uint8_t t);

// One entry of an MBR or EBR as kept in memory.
struct MbrEntry {
  std::uint32_t raw0 = 0;  // boot indicator and CHS of the first sector
  std::uint32_t raw1 = 0;  // type and CHS of the last sector
  std::uint32_t lba = 0;   // relative, as stored
  std::uint32_t count = 0;
  std::uint32_t hidden = 0;  // 0 visible, 1 hidden by type bit 0x10 or 0xBB, 2 restored
  std::uint32_t reserved[2] = {};
  holder* holder_ptr = nullptr;
  std::uint32_t read_count = 0;
  std::uint32_t limit = 0;

  std::uint8_t Type() const { return static_cast<std::uint8_t>(raw1 & 0xFF); }
  void SetTypeByte(std::uint8_t t) { raw1 = (raw1 & ~0xFFu) | t; }
  bool Used() const { return Type() != 0; }
};

class MbrTableHolder;

class MbrBaseHolder : public virtual holder {
 public:
  MbrBaseHolder() : holder(nullptr, 0, 1, 0, nullptr) {}
  holder* CreatePartition(std::uint64_t start, std::uint64_t size, PartitionInfo& info,
                          bool commit) override;
  Common::Error EraseTable(std::uint32_t* oldSignature) override;
  std::uint8_t GetType() const override;
  bool IsActive() const override;
  std::uint32_t GetHiddenState() const override;
  bool IsPrimary() const override;
  bool IsMbr() const override { return true; }
  void SetHiddenState(std::uint32_t state, bool commit) override;
  bool SetType(std::uint8_t type, bool commit) override;
  void SetLbaMode(bool lba, bool commit);
  void MoveEntry(std::uint32_t newIndex, bool commit);

  // The entry of the owner table that describes this holder (null at the top).
  MbrEntry* OwnEntry() const;
  MbrTableHolder* OwnerTable() const;
};

class MbrTableHolder : public MbrBaseHolder, public BaseMetaHolder {
 public:
  MbrTableHolder(stddisk* disk, std::uint64_t lba, std::uint32_t index, holder* owner);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  bool IsTopTable() const override { return owner == nullptr; }
  bool HasTable() const override { return true; }
  bool IsTableNode() const override { return !IsPrimary(); }

  MbrEntry entries[4];
  // Absolute start of the outermost extended partition (EBRs only).
  std::uint64_t extended_base = 0;
  // The extended partition that encloses this EBR (its extent, EBRs only).
  std::uint64_t container_start = 0, container_size = 0;
};

class MbrPartitionHolder : public MbrBaseHolder, public BasePartitionHolder {
 public:
  MbrPartitionHolder(stddisk* disk, std::uint64_t start, std::uint64_t size,
                     std::uint32_t index, holder* owner, std::int32_t id);
  // A copy on `disk` under `owner`, in the owner's entry `index`.
  MbrPartitionHolder(stddisk* disk, const MbrPartitionHolder& from, holder* owner);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  bool DeletePartition(std::uint32_t flags, PartitionInfo* info) override;
  void SetActive(bool commit) override;
  void SetBootVisibility(bool visible) override { state = visible ? 1 : 2; }
};

// ------------------------------------------------------------------ GPT

// Identities that a table change can renew, saved so they can be kept.
class DiskPSAndSignaturesState {
 public:
  virtual ~DiskPSAndSignaturesState() = default;
};

// A GPT disk's GUID and the unique GUIDs of its used entries in slot order;
// all empty when taken from anything but a GPT primary area with a table.
class GptDiskPSAndSignaturesState : public DiskPSAndSignaturesState {
 public:
  explicit GptDiskPSAndSignaturesState(const holder* top);
  std::uint8_t disk_guid[16] = {};
  std::vector<std::array<std::uint8_t, 16>> partition_guids;
};

// What erasing a table hands back: the MBR's disk signature and the GPT
// disk GUID that were on the disk.
struct DiskSignatureRecord {
  std::uint32_t mbr_signature = 0;
  std::uint8_t gpt_disk_guid[16] = {};
};

bool IsBasicDataGuid(const std::uint8_t* guid);
bool IsLdmGuid(const std::uint8_t* guid);
bool IsReservedGuid(const std::uint8_t* guid);
bool IsDataGuid(const std::uint8_t* guid);

struct GptEntryRecord {
  bool used = false;
  std::uint8_t type[16] = {};
  std::uint8_t unique[16] = {};
  std::uint64_t first = 0, last = 0;  // inclusive
  std::uint64_t attributes = 0;
  std::u16string name;
  holder* holder_ptr = nullptr;
};

struct GptTableRecord {
  std::uint64_t alternate = 0;
  std::uint64_t first_usable = 0, last_usable = 0;
  std::uint8_t disk_guid[16] = {};
  std::uint32_t entry_count = 0;
  std::vector<GptEntryRecord> entries;
};

// The largest entry count read from disk: 16 MiB of entries, far past the
// 128 that tools write, and small enough to allocate.
constexpr std::uint32_t kMaxGptEntries = 131072;

// One copy of the table at `lba`, checked: its record, or null with `code`
// saying why (0x1001 unreadable, 0x1002 invalid, 0x1003 a form this layer
// does not take, 0x42 a dynamic disk, whose GUID goes to `ldmDiskGuid`).
std::unique_ptr<GptTableRecord> GptReadCopy(stddisk& disk, std::uint64_t lba,
                                            std::uint32_t& code, Common::Error& error,
                                            std::uint8_t* ldmDiskGuid);

class GptBaseHolder : public virtual holder {
 public:
  GptBaseHolder() : holder(nullptr, 0, 1, 0, nullptr) {}
  bool IsPrimary() const override { return true; }
  // Code 7: drive letters for the visible basic-data partitions, in slot
  // order; `value` is the address of the letter counter.
  void Notify(std::uint32_t code, std::uint64_t value) override;
  // Into the slot after the holder that precedes `start`, shifting the used
  // slots up to the first free one.
  holder* CreatePartition(std::uint64_t start, std::uint64_t size, PartitionInfo& info,
                          bool commit) override;
  // Clears both headers and the protective MBR.
  Common::Error EraseTable(std::uint32_t* oldSignature) override;
  // The same, handing the disk's GUID and MBR signature to `signatures`.
  Common::Error EraseTableWithSignatures(DiskSignatureRecord* signatures);
  // Mode 2 changes nothing; mode 0 keeps what the state shows of this disk,
  // modes above 2 keep the GUIDs the state has at the same slot, and mode 1
  // or no state renews every identity.
  Common::Error ChangeScheme(std::uint32_t mode, bool commit = true,
                             const DiskPSAndSignaturesState* state = nullptr) override;
  void GetSchemeRecord(std::unique_ptr<DiskPSAndSignaturesState>& out) override;
  // A free slot or a partition held back from numbering: the disk
  // recomputes its kind-2 data for views 0-4.
  void UpdateAfterChange() override;
};

GptTableRecord* OwnerRecord(holder* owner);

class GptTableHolder : public GptBaseHolder, public BaseMetaHolder {
 public:
  GptTableHolder(stddisk* disk, std::uint64_t start, std::uint64_t size, std::uint32_t index,
                 holder* owner);
  // A copy on `disk` under `owner`: the range, marks and a copy of the table
  // record whose entries refer to no holder yet.
  GptTableHolder(stddisk* disk, const GptTableHolder& from, holder* owner);
  ~GptTableHolder() override;
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  const std::uint8_t* GetDiskGuid() const override {
    return record ? record->disk_guid : nullptr;
  }
  bool HasTable() const override { return record != nullptr; }
  // A change to the primary area's table is a change to both copies.
  void SetModified(bool m) override {
    BaseMetaHolder::SetModified(m);
    if (m && backup != nullptr) backup->SetModified(true);
  }

  GptTableHolder* backup = nullptr;
  std::unique_ptr<GptTableRecord> record;
};

class GptPartitionHolder : public GptBaseHolder, public BasePartitionHolder {
 public:
  GptPartitionHolder(stddisk* disk, std::uint64_t start, std::uint64_t size,
                     std::uint32_t index, holder* owner, std::int32_t id);
  GptPartitionHolder(stddisk* disk, const GptPartitionHolder& from, holder* owner);
  holder* CloneForDisk(stddisk* disk, holder** topSlot, holder* ownerTable) override;
  const GptEntryRecord* Entry() const;
  GptEntryRecord* Entry();
  const std::uint8_t* GetTypeGuid() const override;
  const std::uint8_t* GetUniqueGuid() const override;
  std::u16string GetName() const override;
  std::uint64_t GetAttributes() const override;
  bool IsActive() const override;
  std::uint32_t GetHiddenState() const override;
  void SetActive(bool commit) override;
  void SetHiddenState(std::uint32_t hiddenState, bool commit) override;
  bool SetTypeGuid(const std::uint8_t* guid, bool commit);
  bool DeletePartition(std::uint32_t flags, PartitionInfo* info) override;
  // true: the partition is kept from numbering and the letter pass.
  void SetBootVisibility(bool flag) override;
};

// ---------------------------------------------------------- easy volumes

// A volume that is not one plain partition, hung into the pseudo-disk's
// tree: it spans the volume from sector 0, carries the volume's extents on
// the real disks and its identity GUID, and has the volume's handler.
class holder_easy_vol : public BasePartitionHolder {
 public:
  // From a volume: size, live letter and identity from the handler.
  holder_easy_vol(stddisk* pseudoDisk, std::vector<DaExtent> extents,
                  std::shared_ptr<vol_handler> handler);
  holder_easy_vol(stddisk* disk, std::vector<DaExtent> extents, std::uint64_t size,
                  const std::uint8_t* identity, std::int32_t id);
  explicit holder_easy_vol(const holder_easy_vol& from);
  // Leaves whichever of its disk's lists holds it.
  ~holder_easy_vol() override;

  // A copy in no list, with the same handler (one more use) and letter.
  holder_easy_vol* CopyPartitionInfo() const;
  // false: save the live letter; true: restore it.
  void Sync(bool apply);
  void ApplyLetter(std::uint8_t letter) {
    SetLetter(kLiveView, letter, 0);
    recorded_letter = letter;
  }
  std::uint8_t GetType() const override { return 0; }
  const std::uint8_t* GetUniqueGuid() const override {
    return volume_id ? volume_id->data() : nullptr;
  }
  bool IsEasyVolume() const override { return true; }

  std::uint8_t recorded_letter = 0;
  std::unique_ptr<std::array<std::uint8_t, 16>> volume_id;
};

// ---------------------------------------------------------------- walker

// Walker flags.
constexpr std::uint32_t kWalkFollowChains = 0x1;
constexpr std::uint32_t kWalkWrite = 0x2;
constexpr std::uint32_t kWalkInsertStateful = 0x4;
constexpr std::uint32_t kWalkNoInsert = 0x8;
constexpr std::uint32_t kWalkIdZero = 0x10;
constexpr std::uint32_t kWalkStoreContext = 0x20;
constexpr std::uint32_t kWalkNoRaw = 0x40;
constexpr std::uint32_t kWalkNoBackup = 0x80;

class BaseHolderIterator;

// The one cursor over a disk's holders. Without a read context it lists the
// holders the disk has; with one it reads the disk's tables, scheme by
// scheme, building the holders as it goes (and, in write mode, writing the
// tables that changed).
// Called with its context after each partition table a walk has finished
// with (in write mode: after that table was written).
using WalkTableCallback = void (*)(void* context);

class HolderWalker {
 public:
  HolderWalker();
  ~HolderWalker();
  void Begin(stddisk* disk, std::uint32_t flags, ReadContext* context);
  bool AtEnd();
  holder* Current() const;
  std::uint32_t GetKind() const;
  bool Next(WalkTableCallback callback = nullptr, void* callbackContext = nullptr);
  // Numbers the current partition holder (the scheme's own rules).
  void Number();
  void End();

  stddisk* disk = nullptr;
  std::uint32_t flags = 0;
  std::uint32_t signature = 0;
  std::unique_ptr<ReadContext> copy;
  // The first failed table write of a write-mode walk.
  Common::Error write_error;

 private:
  bool StartNext();
  void PlaceHandler();

  holder* current_ = nullptr;
  bool listStarted_ = false;
  ReadContext* context_ = nullptr;
  std::uint32_t schemeState_ = 0;
  std::unique_ptr<BaseHolderIterator> iterator_;
};

// Reads (or, with kWalkWrite, writes back) the disk's holder tree. A read
// starts from a cleared list and context.
void DaReadHolders(stddisk* disk, std::uint32_t flags);
Common::Error DaWriteHolders(stddisk* disk);

// ------------------------------------------- user data, volumes, backups

struct VolumeInfoEntry;

// What a caller hangs on a partition holder: shared between the holder and
// whoever made it, cloned when a tree is copied.
class user_holder_data {
 public:
  virtual ~user_holder_data();
  // The volume-information entry's pending write-stamp: refresh, clear.
  virtual void RefreshStamp() {}
  virtual void ClearStamp() {}
  virtual std::shared_ptr<user_holder_data> Clone() const = 0;
};

// The file system a partition has or is to receive.
class virt_fs : public user_holder_data, public PartitionParameters {
 public:
  virt_fs();
  ~virt_fs() override;
  void RefreshStamp() override;
  void ClearStamp() override;
  // A member-wise copy without the owned buffer.
  std::shared_ptr<user_holder_data> Clone() const override;
  // Keeps what a rewrite of the partition could not work out again from the
  // file-system kind: a data type byte the kind maps elsewhere, and a data
  // type GUID that is not the basic-data one.
  void FillFrom(const holder& h);

  VolumeInfoEntry* entry = nullptr;  // the volume-information cache's, not owned
  FileSystemOptions options;
  std::uint8_t boot_record = 0;      // the boot manager has a record for it
  std::uint8_t letter_wanted = 0;
  std::uint8_t type_guid[16] = {};
  std::uint8_t kept_type = 0;        // 0: let the kind choose the type
  std::uint8_t block[32] = {};
  std::unique_ptr<std::uint8_t[]> buffer;
  std::uint32_t first_type = 0;      // the file-system kind first seen
  std::uint8_t letter = 0;           // C to Z, else 0
  std::uint32_t step = 80;
  std::uint64_t range_start = 0, range_size = 0;
};

// The pending write-stamp of a volume-information entry: read again, or
// cleared.
void DaRefreshPendingStamp(VolumeInfoEntry* entry);
void DaClearPendingStamp(VolumeInfoEntry* entry);

// The holder's user data as a virt_fs, or null.
std::shared_ptr<virt_fs> GetVirtFs(const holder* h);
// Nothing (and 0) for a null holder.
int SetHolderUserData(holder* h, std::shared_ptr<user_holder_data> data);

// The layer's one backup record; its buffers and object are freed with it.
class da_backup_object {
 public:
  virtual ~da_backup_object();
};
class da_backup {
 public:
  virtual ~da_backup();
  std::unique_ptr<std::uint8_t[]> buffer;
  std::unique_ptr<da_backup_object> object;
  std::unique_ptr<std::uint8_t[]> second_buffer;
};
da_backup& DaBackup();

// What the holders ask of the volume layer. This base does nothing and
// succeeds; the volume handlers' seam (volume_handlers.h) is the one in use
// unless another is set.
class HolderVolumeSeam {
 public:
  virtual ~HolderVolumeSeam();
  // The handler the disk offers for a partition that has none.
  virtual std::shared_ptr<vol_handler> OfferHandler(holder& h) { return nullptr; }
  // The partition id, told to the handler (its error is not wanted).
  virtual void TellId(vol_handler& v, std::int32_t id) {}
  virtual Common::Error Mount(holder& h) { return Common::Error(); }
  // A volume with a size takes the letter through its handler...
  virtual Common::Error GiveLetter(holder& h, std::uint8_t letter) { return Common::Error(); }
  // ...one of size zero asks the disk to create the mount.
  virtual Common::Error CreateMount(holder& h, const std::uint32_t flags[4]) {
    return Common::Error();
  }
  virtual void LettersChanged(da_computer* computer) {}
  // The handler releases the partition and the volume goes.
  virtual void ReleaseVolume(holder& h) {}
  // Out of the layer's mount tracking, keeping the volume when asked.
  virtual void ForgetMount(holder& h, bool keep) {}
};
HolderVolumeSeam& DaHolderVolumes();
// Null puts the volume handlers' seam back.
void DaSetHolderVolumes(HolderVolumeSeam* seam);

// The owner table modified and the disk changed (with commit), or only the
// change recorded; then the volume attached again with the info's handler
// and letter, mounted only with commit and when the info allows it.
void ReattachVolume(bool commit, PartitionInfo* info, holder* h);
// The holder's range, from its owner table's start for a logical partition
// whose table lies before it.
void GetOuterRange(const holder* h, std::uint64_t& start, std::uint64_t& size);
// One sector of zeros of the disk's size.
Common::Error ZeroSector(stddisk* disk, std::uint64_t lba);

// ------------------------------------------ file-system kinds, MBR types

// Support switches for the kind and type mapping (all on by default).
constexpr std::uint32_t kFsSupportEnabled = 0x1;
constexpr std::uint32_t kFsSupportFat32 = 0x2;
constexpr std::uint32_t kFsSupportNtfs = 0x4;
void DaSetFsSupport(std::uint32_t mask);
std::uint32_t DaFsSupport();

// The file-system kind an MBR type stands for (0: none, or no support).
std::uint32_t KindFromType(std::uint8_t type);
std::uint8_t TypeFromKind(std::uint32_t kind, bool lba, std::uint64_t size, bool forceFat16,
                          bool small);
bool IsSupportedType(std::uint8_t type);

// ------------------------------------------------------ partition trees

// The holders of a tree: 0 the working tree (the disk's list), 1 the saved
// tree's own copies, 2 the saved tree when it is valid, else the working.
HolderList* DaTreeHolders(stddisk* disk, std::uint32_t index);
// target := a holder-by-holder copy of source (0 or 1), record included.
void DaCopyTree(stddisk* disk, std::uint32_t target, std::uint32_t source);
// The tree's holders destroyed and its record fresh.
void DaClearTree(stddisk* disk, std::uint32_t index);
// working := saved (the holders move), saved := empty; nothing when the
// saved tree is not valid.
void DaDiscardTree(stddisk* disk);
