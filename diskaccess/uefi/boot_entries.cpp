#include "diskaccess/uefi_boot.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "diskaccess/errors.h"
#include "foundation/byteorder.h"
#include "foundation/text.h"

namespace Uefi {
namespace {

constexpr std::uint32_t kTag = 0x5A15;
constexpr std::uint32_t kModule = Da::Module::kUefiBoot;
constexpr std::uint32_t kAttributesNew = 7;  // non-volatile, boot and run-time access

constexpr std::uint8_t kMediaType = 4;
constexpr std::uint8_t kHardDriveSubType = 1;
constexpr std::uint8_t kFilePathSubType = 4;
constexpr std::uint8_t kEndType = 0x7F;
constexpr std::uint8_t kEndEntireSubType = 0xFF;
constexpr std::uint16_t kHeaderSize = 4;

Common::Error Fail(std::uint32_t site, std::uint32_t code) {
  return Common::Error(Da::Site(kTag, site), kModule, code);
}

Common::Error BadPath(std::uint32_t site) {
  return Da::MakeError(Da::Site(kTag, site), kModule, kErrNodeMissing,
                       Da::Msg::kIncorrectBootPath);
}

Common::Error WithCause(std::uint32_t site, std::uint32_t code, const Common::Error& cause) {
  Common::Error e = Fail(site, code);
  Common::AttachErrorCause(e, cause);
  return e;
}

bool Take(ByteReader& r, std::size_t count, const std::uint8_t*& at) {
  if (count > r.left) return false;
  at = r.data;
  r.data += count;
  r.left -= count;
  return true;
}

// A zero-terminated UTF-16 string inside [at, at + bytes); false when no
// terminator lies inside. `used` counts the bytes up to and with it.
bool ReadZString(const std::uint8_t* at, std::size_t bytes, std::u16string& out,
                 std::size_t& used) {
  out.clear();
  for (std::size_t i = 0; i + 2 <= bytes; i += 2) {
    const char16_t unit = char16_t(Common::LoadLe16(at + i));
    if (unit == 0) {
      used = i + 2;
      return true;
    }
    out.push_back(unit);
  }
  return false;
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

void PutHeader(std::vector<std::uint8_t>& out, std::uint8_t type, std::uint8_t subType,
               std::uint16_t length) {
  out.push_back(type);
  out.push_back(subType);
  PutLe16(out, length);
}

void PutZString(std::vector<std::uint8_t>& out, const std::u16string& text) {
  for (char16_t unit : text) PutLe16(out, std::uint16_t(unit));
  PutLe16(out, 0);
}

bool IsNotFound(const Common::Error& e) { return e.Code() == kErrNotFound; }

}  // namespace

std::u16string BootEntryName(std::uint16_t number, bool lowerCase) {
  // "0" + four upper-case digits + "h": the digits are cut out of the middle.
  char16_t text[12] = {};
  Common::FormatHex16(text, number, Common::kDigitsSuffixH);
  std::u16string name = u"Boot";
  for (int i = 1; i <= 4; ++i) {
    char16_t c = text[i];
    if (lowerCase && c >= u'A' && c <= u'F') c = char16_t(c - u'A' + u'a');
    name.push_back(c);
  }
  return name;
}

// ---------------------------------------------------------------------------
// Load options

LoadOptions::~LoadOptions() = default;

const HardDrivePath* LoadOptionsImpl::FindHardDrive() const {
  for (const auto& node : nodes_)
    if (node->type == kMediaType && node->subType == kHardDriveSubType)
      return static_cast<const HardDrivePath*>(node.get());
  return nullptr;
}

const FileDevicePath* LoadOptionsImpl::FindFilePath() const {
  for (const auto& node : nodes_)
    if (node->type == kMediaType && node->subType == kFilePathSubType)
      return static_cast<const FileDevicePath*>(node.get());
  return nullptr;
}

HardDrivePath& LoadOptionsImpl::HardDriveForChange(std::uint8_t newSignatureType) {
  for (auto& node : nodes_)
    if (node->type == kMediaType && node->subType == kHardDriveSubType)
      return *static_cast<HardDrivePath*>(node.get());
  auto node = std::make_shared<HardDrivePath>();
  node->type = kMediaType;
  node->subType = kHardDriveSubType;
  node->length = HardDrivePath::kSize;
  node->mbrType = newSignatureType;
  node->signatureType = newSignatureType;
  nodes_.push_back(node);
  return *node;
}

bool LoadOptionsImpl::HasBootPath() const {
  return FindHardDrive() != nullptr && FindFilePath() != nullptr;
}

Common::Error LoadOptionsImpl::CopyHardDrivePath(const LoadOptions& source) {
  const auto* from = dynamic_cast<const LoadOptionsImpl*>(&source);
  const HardDrivePath* node = from ? from->FindHardDrive() : nullptr;
  if (node == nullptr) return Fail(1, kErrNodeMissing);
  auto copy = std::make_shared<HardDrivePath>(*node);
  auto it = std::find_if(nodes_.begin(), nodes_.end(), [](const auto& n) {
    return n->type == kMediaType && n->subType == kHardDriveSubType;
  });
  if (it != nodes_.end()) nodes_.erase(it);
  nodes_.push_back(std::move(copy));
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetDescription(std::u16string& out) const {
  out = description_;
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetFilePath(std::u16string& out) const {
  const FileDevicePath* node = FindFilePath();
  if (node == nullptr) return Fail(2, kErrNodeMissing);
  out = node->path;
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetPartitionScheme(std::uint32_t& out) const {
  const HardDrivePath* node = FindHardDrive();
  if (node == nullptr) return Fail(3, kErrNodeMissing);
  out = node->signatureType == 1 ? kSchemeMbr
        : node->signatureType == 2 ? kSchemeGpt
                                   : kSchemeUnknown;
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetGptSignature(Common::Guid& out) const {
  std::uint32_t scheme = 0;
  Common::Error e = GetPartitionScheme(scheme);
  if (Da::Failed(e)) return e;
  if (scheme != kSchemeGpt) return Fail(4, kErrSignatureType);
  std::memcpy(out.bytes, FindHardDrive()->signature, 16);
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetMbrSignature(std::uint32_t& out) const {
  std::uint32_t scheme = 0;
  Common::Error e = GetPartitionScheme(scheme);
  if (Da::Failed(e)) return e;
  if (scheme != kSchemeMbr) return Fail(5, kErrSignatureType);
  out = Common::LoadLe32(FindHardDrive()->signature);
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetPartitionStart(std::uint64_t& out) const {
  const HardDrivePath* node = FindHardDrive();
  if (node == nullptr) return Fail(6, kErrNodeMissing);
  out = node->partitionStart;
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetPartitionSize(std::uint64_t& out) const {
  const HardDrivePath* node = FindHardDrive();
  if (node == nullptr) return Fail(7, kErrNodeMissing);
  out = node->partitionSize;
  return Common::Error();
}

Common::Error LoadOptionsImpl::GetPartitionNumber(std::uint32_t& out) const {
  const HardDrivePath* node = FindHardDrive();
  if (node == nullptr) return Fail(8, kErrNodeMissing);
  out = node->partitionNumber;
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetDescription(const std::u16string& description) {
  description_ = description;
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetFilePath(const std::u16string& path) {
  FileDevicePath* node = nullptr;
  for (auto& n : nodes_)
    if (n->type == kMediaType && n->subType == kFilePathSubType) {
      node = static_cast<FileDevicePath*>(n.get());
      break;
    }
  if (node == nullptr) {
    auto made = std::make_shared<FileDevicePath>();
    made->type = kMediaType;
    made->subType = kFilePathSubType;
    node = made.get();
    nodes_.push_back(std::move(made));
  }
  node->path = path;
  node->length = std::uint16_t(2 * path.size() + 6);
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetGptSignature(const Common::Guid& signature) {
  std::memcpy(HardDriveForChange(2).signature, signature.bytes, 16);
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetMbrSignature(std::uint32_t signature) {
  Common::StoreLe32(HardDriveForChange(1).signature, signature);
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetPartitionStart(std::uint64_t start) {
  HardDriveForChange(2).partitionStart = start;
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetPartitionSize(std::uint64_t size) {
  HardDriveForChange(2).partitionSize = size;
  return Common::Error();
}

Common::Error LoadOptionsImpl::SetPartitionNumber(std::uint32_t number) {
  HardDriveForChange(2).partitionNumber = number;
  return Common::Error();
}

// Every length in the value is checked against the bytes that are there and
// against the path list's own length, and each node is stepped over by its
// stated length, so that a damaged entry is refused rather than read past.
Common::Error LoadOptionsImpl::Parse(ByteReader& reader) {
  const std::uint8_t* at = nullptr;
  if (!Take(reader, 6, at)) return BadPath(10);
  attributes_ = Common::LoadLe32(at);
  filePathListLength_ = Common::LoadLe16(at + 4);

  std::size_t used = 0;
  if (!ReadZString(reader.data, reader.left, description_, used)) return BadPath(11);
  Take(reader, used, at);
  if (filePathListLength_ > reader.left) return BadPath(17);

  std::int32_t remaining = filePathListLength_;
  while (remaining != 0) {
    if (remaining < kHeaderSize || reader.left < kHeaderSize) return BadPath(12);
    const std::uint8_t type = reader.data[0];
    const std::uint8_t subType = reader.data[1];
    const std::uint16_t length = Common::LoadLe16(reader.data + 2);
    if (length < kHeaderSize || length > remaining) return BadPath(13);
    if (!Take(reader, length, at)) return BadPath(14);
    if (type == kEndType) break;  // the end of this instance; what follows is optional data

    std::shared_ptr<EfiDevicePath> node;
    if (type == kMediaType && subType == kHardDriveSubType) {
      if (length < HardDrivePath::kSize) return BadPath(15);
      auto hd = std::make_shared<HardDrivePath>();
      hd->partitionNumber = Common::LoadLe32(at + 4);
      hd->partitionStart = Common::LoadLe64(at + 8);
      hd->partitionSize = Common::LoadLe64(at + 16);
      std::memcpy(hd->signature, at + 24, 16);
      hd->mbrType = at[40];
      hd->signatureType = at[41];
      node = hd;
    } else if (type == kMediaType && subType == kFilePathSubType) {
      auto file = std::make_shared<FileDevicePath>();
      std::size_t pathBytes = 0;
      if (!ReadZString(at + kHeaderSize, length - kHeaderSize, file->path, pathBytes))
        return BadPath(16);
      node = file;
    } else {
      auto other = std::make_shared<CommonDevicePath>();
      other->payload.assign(at + kHeaderSize, at + length);
      node = other;
    }
    node->type = type;
    node->subType = subType;
    node->length = length;
    remaining -= length;
    nodes_.push_back(std::move(node));
  }
  return Common::Error();
}

// Each node is written with the length of the bytes written for it, and the
// path list's length counts them and the end node.
Common::Error LoadOptionsImpl::Serialize(std::vector<std::uint8_t>& out) const {
  std::vector<std::uint8_t> path;
  for (const auto& node : nodes_) {
    if (node->type == kMediaType && node->subType == kHardDriveSubType) {
      const auto& hd = static_cast<const HardDrivePath&>(*node);
      PutHeader(path, hd.type, hd.subType, HardDrivePath::kSize);
      PutLe32(path, hd.partitionNumber);
      PutLe32(path, std::uint32_t(hd.partitionStart));
      PutLe32(path, std::uint32_t(hd.partitionStart >> 32));
      PutLe32(path, std::uint32_t(hd.partitionSize));
      PutLe32(path, std::uint32_t(hd.partitionSize >> 32));
      path.insert(path.end(), hd.signature, hd.signature + 16);
      path.push_back(hd.mbrType);
      path.push_back(hd.signatureType);
    } else if (node->type == kMediaType && node->subType == kFilePathSubType) {
      const auto& file = static_cast<const FileDevicePath&>(*node);
      PutHeader(path, file.type, file.subType, std::uint16_t(2 * file.path.size() + 6));
      PutZString(path, file.path);
    } else {
      const auto& other = static_cast<const CommonDevicePath&>(*node);
      PutHeader(path, other.type, other.subType,
                std::uint16_t(kHeaderSize + other.payload.size()));
      path.insert(path.end(), other.payload.begin(), other.payload.end());
    }
  }
  PutHeader(path, kEndType, kEndEntireSubType, kHeaderSize);
  if (path.size() > 0xFFFF) return BadPath(20);

  out.clear();
  PutLe32(out, attributes_);
  PutLe16(out, std::uint16_t(path.size()));
  PutZString(out, description_);
  out.insert(out.end(), path.begin(), path.end());
  return Common::Error();
}

Common::Error LoadOptionsImpl::Validate() const {
  if (description_.empty()) return Fail(21, kErrNodeMissing);
  if (!HasBootPath()) return Common::Error();
  std::u16string file;
  Common::Error e = GetFilePath(file);
  if (Da::Failed(e)) return e;
  if (file.empty()) return Fail(22, kErrNodeMissing);
  Common::Guid guid{};
  e = GetGptSignature(guid);
  static const std::uint8_t kZero[16] = {};
  if (Da::Failed(e) || std::memcmp(guid.bytes, kZero, 16) == 0) {
    std::uint32_t mbr = 0;
    e = GetMbrSignature(mbr);
    if (Da::Failed(e)) return e;
  }
  std::uint64_t value64 = 0;
  std::uint32_t value32 = 0;
  if (Da::Failed(e = GetPartitionStart(value64))) return e;
  if (Da::Failed(e = GetPartitionSize(value64))) return e;
  if (Da::Failed(e = GetPartitionNumber(value32))) return e;
  return GetPartitionScheme(value32);
}

// ---------------------------------------------------------------------------
// Boot entries

BootEntry::~BootEntry() = default;

BootEntryImpl::BootEntryImpl(std::uint16_t number)
    : loadOptions_(std::make_shared<LoadOptionsImpl>()), number_(number) {}

Common::Error BootEntryImpl::Read() {
  if (variable_) return readResult_;
  variable_ = MakeWindowsVariable(EfiGlobalVariableGuid, BootEntryName(number_), kAttributesNew);
  const std::uint8_t* data = nullptr;
  std::uint32_t count = 0;
  Common::Error e = variable_->GetData(data, count);
  if (IsNotFound(e)) {
    // Some firmware writes the digits in lower case.
    variable_ =
        MakeWindowsVariable(EfiGlobalVariableGuid, BootEntryName(number_, true), kAttributesNew);
    e = variable_->GetData(data, count);
  }
  if (!Da::Failed(e)) {
    auto options = std::make_shared<LoadOptionsImpl>();
    ByteReader reader{data, count};
    e = options->Parse(reader);
    if (!Da::Failed(e)) {
      loadOptions_ = std::move(options);
      optionalData_.insert(optionalData_.end(), reader.data, reader.data + reader.left);
    }
  }
  readResult_ = e;
  return e;
}

Common::Error BootEntryImpl::ReadIfExists() {
  Common::Error e = Read();
  return IsNotFound(e) ? Common::Error() : e;
}

bool BootEntryImpl::Exists() {
  Read();
  return !IsNotFound(readResult_);
}

Common::Error BootEntryImpl::CopyTo(const std::shared_ptr<BootEntry>& target) {
  if (Da::Failed(Read())) return Fail(30, kErrCopy);
  auto* to = dynamic_cast<BootEntryImpl*>(target.get());
  if (to == nullptr || Da::Failed(to->ReadIfExists())) return Fail(31, kErrCopy);
  to->loadOptions_ = std::make_shared<LoadOptionsImpl>(*loadOptions_);
  to->optionalData_ = optionalData_;
  return Common::Error();
}

Common::Error BootEntryImpl::GetOptionalData(std::vector<std::uint8_t>& out) {
  Common::Error e = Read();
  if (Da::Failed(e)) return e;
  out = optionalData_;
  return Common::Error();
}

Common::Error BootEntryImpl::SetOptionalData(const std::vector<std::uint8_t>& data) {
  Common::Error e = ReadIfExists();
  if (Da::Failed(e)) return e;
  optionalData_ = data;
  return Common::Error();
}

Common::Error BootEntryImpl::GetLoadOptions(std::shared_ptr<LoadOptions>& out) {
  Common::Error e = Read();
  if (IsNotFound(e)) {
    loadOptions_ = std::make_shared<LoadOptionsImpl>();
  } else if (Da::Failed(e)) {
    return e;
  }
  out = loadOptions_;
  return Common::Error();
}

Common::Error BootEntryImpl::SetLoadOptions(const LoadOptions& options) {
  Common::Error e = ReadIfExists();
  if (Da::Failed(e)) return e;
  const auto* from = dynamic_cast<const LoadOptionsImpl*>(&options);
  if (from == nullptr) return Fail(32, kErrInvalidOption);
  loadOptions_ = std::make_shared<LoadOptionsImpl>(*from);
  return Common::Error();
}

Common::Error BootEntryImpl::Delete() {
  Common::Error e = Read();
  if (Da::Failed(e)) return e;
  return variable_->Remove();
}

Common::Error BootEntryImpl::Write() {
  Common::Error e = Read();
  const bool missing = IsNotFound(e);
  if (Da::Failed(e) && !missing) return e;
  e = loadOptions_->Validate();
  if (Da::Failed(e)) return WithCause(33, kErrInvalidOption, e);
  // A variable found under its lower-case name keeps that name.
  if (!variable_ || missing)
    variable_ = MakeWindowsVariable(EfiGlobalVariableGuid, BootEntryName(number_), kAttributesNew);
  std::vector<std::uint8_t> bytes;
  e = loadOptions_->Serialize(bytes);
  if (Da::Failed(e)) return e;
  bytes.insert(bytes.end(), optionalData_.begin(), optionalData_.end());
  e = variable_->WriteData(bytes.data(), std::uint32_t(bytes.size()));
  if (!Da::Failed(e)) readResult_ = Common::Error();
  return e;
}

// ---------------------------------------------------------------------------
// Boot order

BootOrder::~BootOrder() = default;

Common::Error BootOrderImpl::Read() {
  if (variable_) return readResult_;
  variable_ = MakeWindowsVariable(EfiGlobalVariableGuid, u"BootOrder", 0);
  const std::uint8_t* data = nullptr;
  std::uint32_t count = 0;
  Common::Error e = variable_->GetData(data, count);
  if (IsNotFound(e)) e = Common::Error();  // no order yet: an empty list
  if (!Da::Failed(e))
    for (std::uint32_t i = 0; i + 2 <= count; i += 2)
      entries_.push_back(std::make_shared<BootEntryImpl>(Common::LoadLe16(data + i)));
  readResult_ = e;
  return e;
}

Common::Error BootOrderImpl::Write() {
  if (!variable_ || !variable_->IsLoaded())
    variable_ = MakeWindowsVariable(EfiGlobalVariableGuid, u"BootOrder", kAttributesNew);
  std::vector<std::uint8_t> bytes;
  for (const auto& entry : entries_) PutLe16(bytes, entry->GetNumber());
  return variable_->WriteData(bytes.empty() ? nullptr : bytes.data(),
                              std::uint32_t(bytes.size()));
}

Common::Error BootOrderImpl::NewEntry(std::shared_ptr<BootEntry>& out) {
  Common::Error e = Read();
  if (Da::Failed(e)) return WithCause(40, kErrOrderRead, e);
  std::set<std::uint16_t> used;
  for (const auto& entry : entries_) used.insert(entry->GetNumber());
  // A number whose variable exists, listed or not, belongs to an entry
  // that a new one must not overwrite.
  for (std::uint32_t n = 0; n <= 0xFFFF; ++n) {
    if (used.count(std::uint16_t(n))) continue;
    auto entry = std::make_shared<BootEntryImpl>(std::uint16_t(n));
    const Common::Error probe = entry->Read();
    if (!IsNotFound(probe)) {
      if (Da::Failed(probe) && probe.Code() != kErrNodeMissing) return probe;
      continue;
    }
    out = std::make_shared<BootEntryImpl>(std::uint16_t(n));
    return Common::Error();
  }
  return Fail(41, kErrOrderRead);
}

Common::Error BootOrderImpl::Remove(const BootEntry& entry) {
  // Writing a list that could not be read would delete the boot order.
  Common::Error e = Read();
  if (Da::Failed(e)) return e;
  const std::uint16_t number = entry.GetNumber();
  entries_.remove_if([number](const auto& listed) { return listed->GetNumber() == number; });
  return Write();
}

bool BootOrderImpl::Erase(Entries::iterator position) {
  entries_.erase(position);
  return true;
}

Common::Error BootOrderImpl::Insert(Entries::iterator position,
                                    const std::shared_ptr<BootEntry>& entry) {
  const auto inserted = entries_.insert(position, entry);
  const std::uint16_t number = entry->GetNumber();
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it != inserted && (*it)->GetNumber() == number)
      it = entries_.erase(it);
    else
      ++it;
  }
  Common::Error e = Write();
  if (Da::Failed(e)) return e;
  // Read the order back and rewrite every entry it lists: each is read,
  // checked and written again, so that a bad entry shows now.
  std::shared_ptr<BootOrder> fresh;
  e = ReadBootOrder(fresh);
  if (Da::Failed(e)) return e;
  for (auto it = fresh->Begin(); it != fresh->End(); ++it) {
    e = (*it)->Write();
    if (Da::Failed(e)) return e;
  }
  return Common::Error();
}

Common::Error ReadBootOrder(std::shared_ptr<BootOrder>& out) {
  auto order = std::make_shared<BootOrderImpl>();
  out = order;
  return order->Read();
}

}  // namespace Uefi
