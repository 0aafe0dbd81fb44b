// The firmware boot manager's variables: the boot order ("BootOrder", an
// array of 16-bit entry numbers), the boot entries ("Boot" and four
// hexadecimal digits) and the load option each entry holds with its device
// path, read through the firmware variables, changed in memory and written
// back in the layout UEFI publishes.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "diskaccess/uefi.h"
#include "foundation/guid.h"

namespace Uefi {

// Error codes of the boot objects (facility 0x012F).
constexpr std::uint32_t kErrNodeMissing = 0x012F0005;    // also: a device path that does not add up
constexpr std::uint32_t kErrSignatureType = 0x012F0007;  // the signature is of the other kind
constexpr std::uint32_t kErrInvalidOption = 0x012F000D;  // written load option not valid
constexpr std::uint32_t kErrCopy = 0x012F000F;           // an entry to copy cannot be read
constexpr std::uint32_t kErrOrderRead = 0x012F0010;      // the boot order cannot be read

// Partition-scheme codes a hard-drive node maps to (those of the holder walker).
constexpr std::uint32_t kSchemeMbr = 2;
constexpr std::uint32_t kSchemeGpt = 8;
constexpr std::uint32_t kSchemeUnknown = 0x8000;

// Device path nodes: the 4-byte header, then what the node type carries.
struct EfiDevicePath {
  std::uint8_t type = 0;
  std::uint8_t subType = 0;
  std::uint16_t length = 0;  // of the whole node, header included
  virtual ~EfiDevicePath() = default;
};

// Media node type 4, subtype 1: a partition of a disk (42 bytes).
struct HardDrivePath : EfiDevicePath {
  static constexpr std::uint16_t kSize = 42;
  std::uint32_t partitionNumber = 0;
  std::uint64_t partitionStart = 0;  // in sectors
  std::uint64_t partitionSize = 0;   // in sectors
  std::uint8_t signature[16] = {};
  std::uint8_t mbrType = 0;        // 1 MBR, 2 GPT
  std::uint8_t signatureType = 0;  // 1 a 32-bit MBR signature, 2 a GUID
};

// Media node type 4, subtype 4: a file path, kept without its terminator.
struct FileDevicePath : EfiDevicePath {
  std::u16string path;
};

// Any other node: its payload bytes as they stood.
struct CommonDevicePath : EfiDevicePath {
  std::vector<std::uint8_t> payload;
};

// A bounded cursor over a variable's value.
struct ByteReader {
  const std::uint8_t* data = nullptr;
  std::size_t left = 0;
};

// One EFI_LOAD_OPTION.
class LoadOptions {
 public:
  virtual ~LoadOptions();
  virtual Common::Error CopyHardDrivePath(const LoadOptions& source) = 0;
  virtual Common::Error GetDescription(std::u16string& out) const = 0;
  virtual Common::Error GetFilePath(std::u16string& out) const = 0;
  virtual Common::Error GetGptSignature(Common::Guid& out) const = 0;
  virtual Common::Error GetPartitionStart(std::uint64_t& out) const = 0;
  virtual Common::Error GetPartitionSize(std::uint64_t& out) const = 0;
  virtual Common::Error GetMbrSignature(std::uint32_t& out) const = 0;
  virtual Common::Error GetPartitionNumber(std::uint32_t& out) const = 0;
  virtual Common::Error GetPartitionScheme(std::uint32_t& out) const = 0;
  virtual Common::Error SetDescription(const std::u16string& description) = 0;
  virtual Common::Error SetFilePath(const std::u16string& path) = 0;
  virtual Common::Error SetGptSignature(const Common::Guid& signature) = 0;
  virtual Common::Error SetMbrSignature(std::uint32_t signature) = 0;
  virtual Common::Error SetPartitionStart(std::uint64_t start) = 0;
  virtual Common::Error SetPartitionSize(std::uint64_t size) = 0;
  virtual Common::Error SetPartitionNumber(std::uint32_t number) = 0;
};

class LoadOptionsImpl : public LoadOptions {
 public:
  LoadOptionsImpl() = default;
  // Copies the fields; the node objects are shared with the source.
  LoadOptionsImpl(const LoadOptionsImpl& other) = default;

  Common::Error CopyHardDrivePath(const LoadOptions& source) override;
  Common::Error GetDescription(std::u16string& out) const override;
  Common::Error GetFilePath(std::u16string& out) const override;
  Common::Error GetGptSignature(Common::Guid& out) const override;
  Common::Error GetPartitionStart(std::uint64_t& out) const override;
  Common::Error GetPartitionSize(std::uint64_t& out) const override;
  Common::Error GetMbrSignature(std::uint32_t& out) const override;
  Common::Error GetPartitionNumber(std::uint32_t& out) const override;
  Common::Error GetPartitionScheme(std::uint32_t& out) const override;
  Common::Error SetDescription(const std::u16string& description) override;
  Common::Error SetFilePath(const std::u16string& path) override;
  Common::Error SetGptSignature(const Common::Guid& signature) override;
  Common::Error SetMbrSignature(std::uint32_t signature) override;
  Common::Error SetPartitionStart(std::uint64_t start) override;
  Common::Error SetPartitionSize(std::uint64_t size) override;
  Common::Error SetPartitionNumber(std::uint32_t number) override;

  // Reads one load option; the reader is left after its device path's end
  // node, on the entry's optional data.
  Common::Error Parse(ByteReader& reader);
  Common::Error Serialize(std::vector<std::uint8_t>& out) const;
  // A description, and when the path names a file on a partition, every
  // field that boot needs.
  Common::Error Validate() const;
  bool HasBootPath() const;

  std::uint32_t Attributes() const { return attributes_; }
  void SetAttributes(std::uint32_t attributes) { attributes_ = attributes; }
  const std::vector<std::shared_ptr<EfiDevicePath>>& Nodes() const { return nodes_; }

 private:
  const HardDrivePath* FindHardDrive() const;
  const FileDevicePath* FindFilePath() const;
  HardDrivePath& HardDriveForChange(std::uint8_t newSignatureType);

  std::uint32_t attributes_ = 1;  // LOAD_OPTION_ACTIVE
  std::uint16_t filePathListLength_ = 0;
  std::u16string description_;
  std::vector<std::shared_ptr<EfiDevicePath>> nodes_;
};

class BootEntry {
 public:
  virtual ~BootEntry();
  virtual Common::Error CopyTo(const std::shared_ptr<BootEntry>& target) = 0;
  virtual Common::Error GetOptionalData(std::vector<std::uint8_t>& out) = 0;
  virtual Common::Error SetOptionalData(const std::vector<std::uint8_t>& data) = 0;
  virtual Common::Error GetLoadOptions(std::shared_ptr<LoadOptions>& out) = 0;
  virtual Common::Error SetLoadOptions(const LoadOptions& options) = 0;
  virtual Common::Error Delete() = 0;
  virtual Common::Error Write() = 0;
  virtual std::uint16_t GetNumber() const = 0;
  virtual bool Exists() = 0;
};

class BootEntryImpl : public BootEntry {
 public:
  explicit BootEntryImpl(std::uint16_t number);

  Common::Error CopyTo(const std::shared_ptr<BootEntry>& target) override;
  Common::Error GetOptionalData(std::vector<std::uint8_t>& out) override;
  Common::Error SetOptionalData(const std::vector<std::uint8_t>& data) override;
  Common::Error GetLoadOptions(std::shared_ptr<LoadOptions>& out) override;
  Common::Error SetLoadOptions(const LoadOptions& options) override;
  Common::Error Delete() override;
  Common::Error Write() override;
  std::uint16_t GetNumber() const override { return number_; }
  bool Exists() override;

  // Reads the entry once; a later call answers what the first one did.
  Common::Error Read();
  // Read, with a missing variable taken as success.
  Common::Error ReadIfExists();

 private:
  std::shared_ptr<LoadOptionsImpl> loadOptions_;
  std::shared_ptr<Variable> variable_;
  Common::Error readResult_;
  std::vector<std::uint8_t> optionalData_;
  std::uint16_t number_;
};

class BootOrder {
 public:
  using Entries = std::list<std::shared_ptr<BootEntry>>;
  virtual ~BootOrder();
  virtual Common::Error NewEntry(std::shared_ptr<BootEntry>& out) = 0;
  virtual Entries::iterator Begin() = 0;
  virtual Entries::iterator End() = 0;
  virtual Common::Error Remove(const BootEntry& entry) = 0;
  virtual bool Erase(Entries::iterator position) = 0;
  virtual Common::Error Insert(Entries::iterator position,
                               const std::shared_ptr<BootEntry>& entry) = 0;
};

class BootOrderImpl : public BootOrder {
 public:
  Common::Error NewEntry(std::shared_ptr<BootEntry>& out) override;
  Entries::iterator Begin() override { return entries_.begin(); }
  Entries::iterator End() override { return entries_.end(); }
  Common::Error Remove(const BootEntry& entry) override;
  bool Erase(Entries::iterator position) override;
  Common::Error Insert(Entries::iterator position,
                       const std::shared_ptr<BootEntry>& entry) override;

  // Loads the list once; a later call answers what the first one did.
  Common::Error Read();
  Common::Error Write();

 private:
  std::shared_ptr<Variable> variable_;
  Common::Error readResult_;
  Entries entries_;
};

// A new boot order, read.
Common::Error ReadBootOrder(std::shared_ptr<BootOrder>& out);

// "Boot" and the number in four hexadecimal digits.
std::u16string BootEntryName(std::uint16_t number, bool lowerCase = false);

}  // namespace Uefi
