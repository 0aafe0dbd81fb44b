// Open files and their attributes: a FileRecord is one file (its base MFT
// record and the extension records its $ATTRIBUTE_LIST names) as an
// attribute container; an Attribute gives byte access to one attribute's
// value, resident in the record or in clusters its run list maps, and
// keeps the header's sizes and mapping pairs current, saving the records
// it changes.
//
// Room: an attribute record grows or shrinks inside the record that holds
// it, later attribute records moving along; a resident value that no
// longer fits becomes non-resident; a non-resident attribute grows its
// last piece's mapping pairs while that piece's record has room, and then
// goes on in new pieces, each in an extension record taken from the
// $MFT's free records. The first extension starts an $ATTRIBUTE_LIST in
// the base record, moving the growing attribute's base piece out when the
// base record has no room for the list. A list that outgrows the base
// record moves into clusters, its runs staying in the base record; only
// when even those do not fit does the growth end with 0x40004. When no MFT
// record is free the $MFT grows. Shrinking takes whole pieces away again,
// with their list entries and emptied extension records.
//
// A write into a hole of a sparse attribute gives the clusters it touches
// clusters of their own (zeros where it does not write); compressed and
// encrypted values are never written (0x4000c).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ntfs_bitmap.h"
#include "filesystems/ntfs_driver.h"

namespace filesystems {
namespace ntfs {

constexpr std::uint32_t kNtfsAttributeModuleId = 0x7A141000;

class Attribute;

class FileRecord {
 public:
  // Holds base record `number`; 0x4000d unless it is in use and a base
  // record.
  FileRecord(NTFSDriver& driver, std::uint64_t number);
  ~FileRecord();
  FileRecord(const FileRecord&) = delete;
  FileRecord& operator=(const FileRecord&) = delete;

  std::uint64_t Number() const noexcept { return number_; }
  NTFSDriver& Driver() const noexcept { return driver_; }

  // The attribute (type, name), names compared exactly, from its first
  // piece on; null when the file has none.
  std::unique_ptr<Attribute> Find(std::uint32_t type, const std::u16string& name);

  // The image of the base record or of one of its extension records,
  // held until the FileRecord goes.
  std::uint8_t* Image(std::uint64_t record);
  void Save(std::uint64_t record);

  // The longest attribute record one record can take: the record size
  // less the header, its update sequence array (one word per 512-byte
  // stride, the stride of the record's own protection) and the end marker.
  std::uint32_t MaxAttributeRecordSize() const noexcept;

  // Sets the length of the attribute record at `offset` in `record`,
  // moving the records behind it; new bytes are zeros. False, with
  // nothing changed, when the record has no room for it.
  bool ResizeAttributeRecord(std::uint64_t record, std::uint32_t offset, std::uint32_t length);

  // True when the file has an $ATTRIBUTE_LIST.
  bool HasList();

  // ---- Whole attributes and the record itself ----
  // Adds a resident attribute (type, name) holding `value` to the base
  // record, named in the attribute list when the file has one; 0x40004
  // when the base record has no room (nothing changed then).
  void AddResident(std::uint32_t type, const std::u16string& name,
                   const std::vector<std::uint8_t>& value, bool indexed);
  // Adds an empty non-resident attribute (no clusters) the same way.
  void AddEmptyNonResident(std::uint32_t type, const std::u16string& name);
  // Removes the first resident attribute of `type` whose value `match`
  // accepts, from whichever of the file's records holds it, and its list
  // entry; false when none matches.
  bool RemoveResident(std::uint32_t type,
                      const std::function<bool(const std::uint8_t*, std::uint32_t)>& match);
  // Lets `change` edit every resident value of `type` in place (it says
  // whether it changed anything); saves the records changed and returns
  // the changed values.
  std::vector<std::vector<std::uint8_t>> UpdateResident(
      std::uint32_t type, const std::function<bool(std::uint8_t*, std::uint32_t)>& change);
  // The resident values of `type` in record and list order.
  std::vector<std::vector<std::uint8_t>> ResidentValues(std::uint32_t type);
  // Sets the base record's flags and link count.
  void SetHeader(std::uint16_t flags, std::uint16_t linkCount);
  std::uint16_t LinkCount();
  // Bytes the base record has left.
  std::uint32_t FreeBytes();
  std::uint16_t Sequence() { return RecordSequence(number_); }
  // Gives every cluster and record of the file back: the clusters of each
  // non-resident piece, then the extension records and the base record,
  // which are left not in use with their bits clear. The object must not
  // be used afterwards, other than to be destroyed.
  void DeleteAll();
  // Lets go of every record held, for an owner that must stop using the
  // volume early; the object must not be used afterwards, other than to
  // be destroyed.
  void ReleaseAll() noexcept;

 private:
  friend class Attribute;

  std::uint16_t RecordSequence(std::uint64_t record);
  // A free MFT record taken as this file's extension record, held.
  std::uint64_t AllocateExtensionRecord();
  // Gives an unused extension record back: not in use, its bit clear.
  void ReleaseExtensionRecord(std::uint64_t number) noexcept;
  // Inserts an attribute record into `record` in type and name order,
  // giving it the record's next attribute id; its offset, or 0 when the
  // record has no room.
  std::uint32_t InsertAttributeRecord(std::uint64_t record, std::vector<std::uint8_t> header);
  void RemoveAttributeRecord(std::uint64_t record, std::uint32_t offset);
  // Starts the $ATTRIBUTE_LIST, moving `mover`'s first piece out of the
  // base record when the list does not fit beside it.
  void CreateList(Attribute& mover);
  void LoadList();
  // Writes the in-memory list back into its attribute, moving it into
  // clusters when the base record cannot hold it.
  void WriteList();
  static std::vector<std::uint8_t> SerializeList(const std::vector<ListEntry>& list);
  // Puts a whole attribute record into a new extension record.
  void PlaceInExtension(std::vector<std::uint8_t> header, const std::u16string& name);
  // Moves resident data of the base record into clusters to make room;
  // false when there is none to move.
  bool MakeRoom();
  // Inserts a whole attribute record into the base record and the list.
  void InsertNamed(std::vector<std::uint8_t> header, const std::u16string& name);
  // The records holding attributes of `type` (0: every record), base
  // first when it holds any.
  std::vector<std::uint64_t> RecordsHolding(std::uint32_t type);

  std::vector<ListEntry> list_;
  bool listLoaded_ = false;
  bool hasList_ = false;
  NTFSDriver& driver_;
  std::uint64_t number_;
  std::vector<std::uint64_t> held_;  // records referenced, base first
  std::vector<Attribute*> open_;     // told when their headers move
};

class Attribute {
 public:
  ~Attribute();
  Attribute(const Attribute&) = delete;
  Attribute& operator=(const Attribute&) = delete;

  bool Resident() const noexcept { return !value_.header.nonResident; }
  std::uint64_t GetSize() const noexcept;
  std::uint64_t GetAllocatedSize() const noexcept;
  std::uint64_t GetInitializedSize() const noexcept;
  // Every run of every piece, in VCN order.
  const RunList& Runs() const noexcept { return value_.runs; }
  std::size_t PieceCount() const noexcept { return pieces_.size(); }

  // Volume sector holding byte `offset`: 0x4000e for a resident value,
  // 0x40002 at or past the size, 0x4000d in a run without clusters.
  std::uint64_t GetVolumeSector(std::uint64_t offset);

  // Reads up to `length` bytes from `offset`; bytes past the initialised
  // size read as zeros. A resident value read at or past its end is
  // 0x40002 (unless `length` is 0).
  std::uint32_t Read(std::uint64_t offset, std::uint32_t length, std::uint8_t* destination);
  // Sector-aligned offset and length (0x40001 otherwise), whole sectors
  // straight from the device.
  std::uint32_t ReadAligned(std::uint64_t offset, std::uint32_t length, std::uint8_t* destination);

  // Writes `length` bytes (zeros when `source` is null) at `offset`,
  // growing the value when the range passes its end; a gap between the
  // initialised size and `offset` is written as zeros first, whatever its
  // length. Returns the bytes written, fewer when the volume filled.
  std::uint32_t Write(std::uint64_t offset, std::uint32_t length, const std::uint8_t* source);
  // Sector-aligned offset, length and source (0x40003 otherwise).
  std::uint32_t WriteAligned(std::uint64_t offset, std::uint32_t length, const std::uint8_t* source);

  // Sets the data size and returns the size reached. Shrinking also lowers
  // the initialised size and frees whole clusters past the end; growing
  // keeps the initialised size (the new bytes read as zeros), zeroes new
  // resident bytes, and turns a resident value that no longer fits into a
  // non-resident one. 0x40004 when no cluster can be had at all or the
  // record has no room.
  std::uint64_t SetSize(std::uint64_t size);

 private:
  friend class FileRecord;
  struct Piece {
    std::uint64_t record = 0;
    std::uint32_t offset = 0;
  };
  Attribute(FileRecord& file, std::uint32_t type, std::u16string name, std::vector<Piece> pieces);

  std::uint8_t* Header(std::size_t piece);
  // Pieces in `record` at or after `from` moved by `delta` bytes.
  void Shift(std::uint64_t record, std::uint32_t from, std::int64_t delta) noexcept;
  // Re-reads every piece's header: sizes, runs.
  void Reload();
  void SaveAll();
  void SetSizes(std::uint64_t allocated, std::uint64_t data, std::uint64_t initialized);
  std::uint64_t SetResidentSize(std::uint64_t size);
  std::uint64_t SetNonResidentSize(std::uint64_t size);
  void MakeNonResident();
  // Adds up to `clusters` clusters at the end; returns those added.
  std::uint64_t GrowAllocation(std::uint64_t clusters);
  void FreeTail(std::uint64_t keepClusters);
  // Removes the last piece (never the first): its list entry, its
  // attribute record, its extension record once that is empty, and its
  // clusters.
  void DropLastPiece();
  // Gives clusters to every hole of a sparse attribute that bytes
  // [offset, offset + length) touch, zero-filled, and writes the pieces'
  // mapping pairs again. 0x40004, with nothing changed, when the clusters
  // cannot be had or the changed piece no longer fits its record.
  void FillHoles(std::uint64_t offset, std::uint64_t length);
  // Writes zeros over [offset, offset + length), leaving holes as they are.
  void ZeroRange(std::uint64_t offset, std::uint64_t length);
  // A sparse or compressed attribute's first piece counts the clusters it
  // really holds; moves that count by `clusters`.
  void CountRealClusters(std::int64_t clusters);
  // Puts `extents` (VCNs from `vcn`) into new pieces in extension
  // records; returns the clusters placed, the others freed.
  std::uint64_t AddPieces(std::vector<BitRun> extents, std::uint64_t vcn);

  FileRecord& file_;
  NTFSDriver& driver_;
  std::uint32_t type_;
  std::u16string name_;
  std::vector<Piece> pieces_;
  AttributeValue value_;  // the first piece's header, the joined runs
};

// Takes a free MFT record (numbers from 24 on), growing the $MFT when
// none is free, and makes it an empty base record in use with `flags`
// (in use is added). 0x40004 when no record can be had.
std::uint64_t CreateBaseRecord(NTFSDriver& driver, std::uint16_t flags);

// Grows the $MFT by at least 16 records (whole clusters of them), written
// as empty records not in use, with room for them in its record bitmap;
// record 0 keeps its first piece. 0x40004 when no cluster can be had.
void GrowMft(NTFSDriver& driver);

// Mapping pairs for `runs`, followed by zeros up to `room` bytes; false
// when they need more.
bool EncodeRunsInto(const RunList& runs, std::uint8_t* destination, std::uint32_t room);

}  // namespace ntfs
}  // namespace filesystems
