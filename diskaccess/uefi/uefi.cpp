#include "diskaccess/uefi.h"

#include <cstring>
#include <utility>

#include "diskaccess/errors.h"
#include "foundation/format_message.h"
#include "foundation/message_table.h"

namespace Uefi {
namespace {

constexpr std::uint32_t kTag = 0x5A13;
constexpr std::uint32_t kFirstBufferSize = 1024;
// Rounds of "buffer too small" a read accepts before it gives up.
constexpr int kMaxSizeRounds = 8;

Firmware* g_firmware = nullptr;

Common::Error WithWin32Cause(std::uint32_t site, std::uint32_t code, std::uint32_t win32) {
  Common::Error e(Da::Site(kTag, site), Da::Module::kUefi, code);
  Common::AttachWin32Cause(e, win32);
  return e;
}

Common::Guid ParseGlobalGuid() {
  Common::Guid g{};
  Common::GuidFromString(g, "8be4df61-93ca-11d2-aa0d-00e098032b8c");
  return g;
}

}  // namespace

const Common::Guid EfiGlobalVariableGuid = ParseGlobalGuid();

Firmware::~Firmware() = default;

Firmware& CurrentFirmware() { return g_firmware != nullptr ? *g_firmware : PlatformFirmware(); }

void SetFirmware(Firmware* firmware) { g_firmware = firmware; }

Variable::Variable(const Common::Guid& vendor, std::u16string name, std::uint32_t attributes)
    : vendor_(vendor), name_(std::move(name)), attributes_(attributes) {}

Variable::~Variable() = default;

Common::Error Variable::GetData(const std::uint8_t*& data, std::uint32_t& count) {
  data = nullptr;
  count = 0;
  Common::Error e = Read();
  if (Da::Failed(e)) return e;
  if (!value_.empty()) {
    data = value_.data();
    count = static_cast<std::uint32_t>(value_.size());
  }
  return Common::Error();
}

bool Variable::Exists() { return Read().Code() != kErrNotFound; }

Common::Error Variable::Remove() {
  value_.clear();
  loaded_ = true;
  return Write();
}

Common::Error Variable::WriteData(const void* data, std::uint32_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  value_.assign(bytes, bytes + (bytes != nullptr ? count : 0));
  loaded_ = true;
  return Write();
}

Common::Error WindowsVariable::Read() {
  if (loaded_) return Common::Error();
  Firmware& fw = CurrentFirmware();
  std::uint32_t win32 = 0;
  if (!fw.BindQuery(win32)) return WithWin32Cause(1, kErrFunctionMissing, win32);
  if (!fw.EnablePrivilege()) return Common::Error(Da::Site(kTag, 2), Da::Module::kUefi, kErrPrivilege);
  if (!fw.BindStringBuilder(win32)) return WithWin32Cause(3, kErrFunctionMissing, win32);

  std::vector<std::uint8_t> buffer(kFirstBufferSize);
  std::uint32_t length = kFirstBufferSize;
  std::uint32_t attributes = attributes_;
  std::uint32_t status = fw.Query(name_, vendor_, buffer.data(), &length, &attributes);
  // The firmware tells the size it needs and is asked again with exactly
  // that; a variable growing between the calls may need a few rounds. A
  // needed size of 0, or one no larger than the buffer it refused, would
  // only ask again for ever: both are failures, and so are rounds past
  // the bound.
  for (int round = 0; status != 0; ++round) {
    if (status != kStatusBufferTooSmall) return UefiStatusToError(status, name_);
    if (round == kMaxSizeRounds || length == 0 || length <= buffer.size())
      return UefiStatusToError(status, name_);
    buffer.assign(length, 0);
    attributes = attributes_;
    status = fw.Query(name_, vendor_, buffer.data(), &length, &attributes);
  }
  if (length > buffer.size()) length = static_cast<std::uint32_t>(buffer.size());
  attributes_ = attributes;
  value_.assign(buffer.begin(), buffer.begin() + length);
  loaded_ = true;
  return Common::Error();
}

Common::Error WindowsVariable::Write() {
  if (!loaded_) return Common::Error(Da::Site(kTag, 4), Da::Module::kUefi, kErrNotLoaded);
  Firmware& fw = CurrentFirmware();
  if (!fw.EnablePrivilege()) return Common::Error(Da::Site(kTag, 5), Da::Module::kUefi, kErrPrivilege);
  std::uint32_t win32 = 0;
  if (!fw.BindSet(win32)) return WithWin32Cause(6, kErrFunctionMissing, win32);
  if (!fw.BindStringBuilder(win32)) return WithWin32Cause(7, kErrFunctionMissing, win32);
  const void* data = value_.empty() ? nullptr : value_.data();
  const std::uint32_t status =
      fw.Set(name_, vendor_, data, static_cast<std::uint32_t>(value_.size()), attributes_);
  if (status != 0) return UefiStatusToError(status, name_);
  return Common::Error();
}

std::shared_ptr<Variable> MakeWindowsVariable(const Common::Guid& vendor,
                                              const std::u16string& name,
                                              std::uint32_t attributes) {
  return std::make_shared<WindowsVariable>(vendor, name, attributes);
}

bool IsEfiSystem() {
  std::shared_ptr<Variable> order = MakeWindowsVariable(EfiGlobalVariableGuid, u"BootOrder", 0);
  const std::uint8_t* data = nullptr;
  std::uint32_t count = 0;
  const Common::Error e = order->GetData(data, count);
  if (!Da::Failed(e)) return true;
  // An absent boot order still means variable services, hence UEFI.
  return !order->Exists();
}

}  // namespace Uefi

Common::Error UefiStatusToError(std::uint32_t status, const std::u16string& name) {
  constexpr std::uint32_t kTag = 0x5A14;
  Common::Error e;
  switch (status) {
    case Uefi::kStatusNotImplemented:
      e = Common::Error(Da::Site(kTag, 1), Da::Module::kUefi, Uefi::kErrNotImplemented);
      break;
    case Uefi::kStatusVariableNotFound:
      e = Common::Error(Da::Site(kTag, 2), Da::Module::kUefi, Uefi::kErrNotFound);
      break;
    case Uefi::kStatus454:
      e = Common::Error(Da::Site(kTag, 3), Da::Module::kUefi, Uefi::kErr454);
      break;
    default: {
      const char16_t* pattern = CatalogText(Da::Msg::kBootEntryError);
      if (pattern != nullptr) {
        Fdisk::FormatMessage text{std::u16string_view(pattern)};
        text % name;
        e = Common::Error(Da::Site(kTag, 4), Da::Module::kUefi, Uefi::kErrFirmware,
                          text.c_str());
      } else {
        e = Common::Error(Da::Site(kTag, 4), Da::Module::kUefi, Uefi::kErrFirmware);
      }
      break;
    }
  }
  Common::AttachNtStatusCause(e, status);
  return e;
}
