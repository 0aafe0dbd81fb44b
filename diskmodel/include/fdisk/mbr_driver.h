// The MBR partition-scheme driver.
//
// In the portion manager's pipeline it takes the whole raw disks of the
// head layer that carry an MBR, models each with an `Fdisk::Mbr::MbrDisk`
// and publishes one portion per primary or logical partition and per free
// area, passing every other portion on unchanged. Create, delete and change
// requests edit the table models and rebuild the layer; Commit writes them.
//
// Parameters (named variables):
//   create: "DiskID" (unsigned long), "Start", "Size" (unsigned __int64,
//           sectors), "Type" (unsigned long, 0..255), "PrimaryFlag" (bool),
//           all required; "BeginAligned", "EndAligned" (bool, default true)
//   delete: "PortionID" (unsigned long)
//   change: "PortionID"; optional "Start", "Size", "Type", "HiddenFlag"
//           (Fdisk::Mbr::HiddenMode), "PrimaryFlag", "ActiveBootStatus" (bool)
//
// Besides the refresh, other drivers use one of these for a moment to write
// an MBR of their own (a protective MBR): AddDisks or InitDisks give the
// disks empty tables, CreatePortion adds the entries, Commit writes them.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "fdisk/mbr_table.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"

namespace Fdisk {

class PSMbrDriver : public PSDriver {
 public:
  using TableMap = std::map<std::uint32_t, std::unique_ptr<Mbr::MbrDisk>>;

  // The driver's state store: the disks it holds.
  class StoreMbrLocation : public PSDriver::Location {
   public:
    StoreMbrLocation(const TableMap& tables, const Layer& input)
        : tables_(&tables), input_(&input) {}
    // The raw whole-disk portions of the last input layer whose disks the
    // driver holds a table model for, each under its own portion id.
    void Store(Layer& out) override;
    // Leaves `out` as it is: the driver's second view of its state is a map
    // of EBR positions, which RestoreTablePositions gives.
    void Restore(Layer& out) override;
    // For each held disk with a raw portion in the input layer (keyed by that
    // portion's id): the first sectors of its extended partition and every
    // link, read from the disk again. Read errors are thrown.
    void RestoreTablePositions(std::map<std::uint32_t, std::list<std::uint64_t>>& out);

   private:
    const TableMap* tables_;
    const Layer* input_;
  };

  PSMbrDriver();
  ~PSMbrDriver() override;

  void Accept(PSDriverVisitor& visitor) override;
  // Rebuilds everything from the head layer; always succeeds (a disk whose
  // tables cannot be read is passed through as it is).
  Common::Error ProcessDisks(Layer& rawLayer, Layer& headLayer) override;
  Layer& GetPortions() override { return layer_; }
  Location* GetStateStore() override { return store_.get(); }
  // Empty table models for the disks behind the portions of `layer`, kept
  // under the layer's keys; the layer is not rebuilt.
  Common::Error AddDisks(PSDriverFactory& factory, Layer& layer, Layer& portions,
                         const NamedVars::VarContainer& params) override;
  // Empty table models for the given disks, then a rebuild.
  Common::Error InitDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                          const NamedVars::VarContainer& params) override;
  // Empties the tables of the disks behind the raw portions: Commit then
  // writes their sector 0 with no partition table (boot code and
  // signature zeroed as well).
  Common::Error ClearDisks(PSDriverFactory& factory, Layer& rawLayer, Layer& portions,
                           const NamedVars::VarContainer& params) override;
  Common::Error RemoveDisks(PSDriverFactory& factory, const DiskMap& disks, Layer& portions,
                            const NamedVars::VarContainer& params) override;
  // Each runs on a copy of the disk's table model that replaces it only on
  // success; errors are returned (create with id 0).
  std::pair<Common::Error, std::uint32_t> CreatePortion(
      const NamedVars::VarContainer& params) override;
  Common::Error DeletePortion(const NamedVars::VarContainer& params) override;
  // The steps run in the order position, type, hidden mode, primary flag,
  // active flag; a failing step stops the rest, earlier ones stay done.
  Common::Error ChangePortion(const NamedVars::VarContainer& params) override;
  // Writes the table models of the disks changed since the last Commit or
  // refresh, in disk-id order; write failures are thrown.
  Common::Error Commit() override;

  // The table model of a disk, or null.
  Mbr::MbrDisk* GetTable(std::uint32_t diskId);
  const TableMap& GetTables() const { return tables_; }

 private:
  void Rebuild();
  PSPortion MakePortion(std::uint32_t diskId, Mbr::MbrDisk& table, const Mbr::MbrEntry& entry,
                        bool limitSize) const;
  // Moves the portion's location (and its sector window) to a new place.
  void MoveLocation(std::uint32_t portionId, std::uint64_t first, std::uint64_t size,
                    bool logical);

  Layer layer_;
  Layer input_;
  Layer added_;  // copies of the portions AddDisks was given
  std::map<std::uint32_t, std::map<std::uint64_t, std::uint32_t>> starts_;
  TableMap tables_;
  std::unique_ptr<StoreMbrLocation> store_;
  std::set<std::uint32_t> changed_;
  std::set<std::uint32_t> cleared_;
};

namespace Mbr {
// Whether a loaded model describes a table this system may edit: boot
// indicators 0 or 0x80, partitions inside the disk (a protective 0xEE entry
// may claim more), no two partitions sharing a sector, and at most
// kMaxChainTables extended tables. A sector that merely ends in 0xAA55 (a
// boot sector of a file system, say) fails.
bool IsSaneTable(const MbrDisk& table);
constexpr std::size_t kMaxChainTables = 4096;
}  // namespace Mbr

}  // namespace Fdisk
