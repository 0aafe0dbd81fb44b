// Base behaviour of the directory and iterator interfaces.
#include "files/dir.h"
#include "files/file_error.h"

namespace {
constexpr std::uint32_t kModuleId = 0xf2244744;
constexpr std::uint32_t kLocationBase = 0x2002u << 16;
constexpr std::uint32_t kLocOpenSelf = kLocationBase | 1;
constexpr std::uint32_t kLocOpenSpecial = kLocationBase | 2;
constexpr std::uint32_t kLocWatch = kLocationBase | 3;
constexpr std::uint32_t kLocOpenItemIdList = kLocationBase | 4;
constexpr std::uint32_t kLocInControl = kLocationBase | 5;
constexpr std::uint32_t kLocHardLink = kLocationBase | 6;
constexpr std::uint32_t kLocJunction = kLocationBase | 7;
constexpr std::uint32_t kLocSetSecurity = kLocationBase | 8;
constexpr std::uint32_t kLocSetAttributes = kLocationBase | 9;
constexpr std::uint32_t kLocSetMode = kLocationBase | 10;
constexpr std::uint32_t kLocSetOwner = kLocationBase | 11;
constexpr std::uint32_t kLocCreateNode = kLocationBase | 12;
constexpr std::uint32_t kLocOutControl = kLocationBase | 13;
constexpr std::uint32_t kLocRioControl = kLocationBase | 14;
}  // namespace

std::uint32_t DriveTypeToObjectType(std::uint32_t driveType) noexcept {
  switch (driveType) {
    case 2: return kObjectRemovableDrive;
    case 3: return kObjectFixedDrive;
    case 4: return kObjectRemoteDrive;
    case 5: return kObjectCdromDrive;
    case 6: return kObjectRamDisk;
    default: return kObjectUnknown;
  }
}

ChangeWatchCallback::~ChangeWatchCallback() = default;

// ------------------------------------------------------------------ i_dir --

// A null result must come with a stored error; a plain null here would leave
// the status of the previous operation (often NoError) to be read as success.
i_dir* i_dir::open_self() {
  store_not_supported(kLocOpenSelf, kModuleId, false);
  return nullptr;
}

i_dir* i_dir::open_special(std::uint32_t /*type*/) {
  store_not_supported(kLocOpenSpecial, kModuleId, false);
  return nullptr;
}

const char16_t* i_dir::path() { return nullptr; }

std::uint32_t i_dir::object_type() { return kObjectUnknown; }

bool i_dir::is_separator(char16_t c) { return c == u'/' || c == u'\\'; }

char16_t i_dir::separator() { return u'\\'; }

bool i_dir::is_system_directory() { return false; }

void i_dir::watch(ChangeWatchCallback* /*callback*/) {
  store_not_supported(kLocWatch, kModuleId, false);
}

void i_dir::rewatch() {}

const void* i_dir::item_id_list(const file_identifier* /*id*/, bool /*relative*/) {
  return nullptr;
}

dir_entry_pair i_dir::open_item_id_list(const void* /*list*/) {
  store_not_supported(kLocOpenItemIdList, kModuleId, false);
  return {nullptr, nullptr};
}

void* i_dir::shell_folder() { return nullptr; }

void i_dir::control(control_request* /*request*/) {
  store_not_supported(kLocInControl, kModuleId, false);
}

// ------------------------------------------------------------------ o_dir --

void o_dir::create_hard_link(const char16_t* /*new_name*/, const char16_t* /*existing_name*/) {
  store_not_supported(kLocHardLink, kModuleId, false);
}

void o_dir::create_junction(const char16_t* /*name*/, const char16_t* /*target*/,
                            std::uint32_t /*reserved1*/, std::uint32_t /*reserved2*/) {
  store_not_supported(kLocJunction, kModuleId, false);
}

void o_dir::set_security(const char16_t* /*name*/,
                         const SecurityAttributesProvider* /*provider*/) {
  store_not_supported(kLocSetSecurity, kModuleId, false);
}

void o_dir::set_attributes(const char16_t* /*name*/, std::uint32_t /*attributes*/) {
  store_not_supported(kLocSetAttributes, kModuleId, false);
}

void o_dir::set_mode(const char16_t* /*name*/, std::uint32_t /*mode*/) {
  store_not_supported(kLocSetMode, kModuleId, false);
}

void o_dir::set_owner(const char16_t* /*name*/, std::uint32_t /*owner_id*/,
                      std::uint32_t /*group_id*/) {
  store_not_supported(kLocSetOwner, kModuleId, false);
}

void o_dir::create_node(const char16_t* /*name*/, std::uint32_t /*mode*/, std::uint32_t /*major*/,
                        std::uint32_t /*minor*/, std::uint32_t /*extra*/) {
  store_not_supported(kLocCreateNode, kModuleId, false);
}

void o_dir::control(control_request* /*request*/) {
  store_not_supported(kLocOutControl, kModuleId, false);
}

// ---------------------------------------------------------------- rio_dir --

i_dir* rio_dir::open_self() { return open_dir(u"."); }

ro_dir* rio_dir::open_dir_out(const char16_t* path) { return open_dir(path); }

ro_dir* rio_dir::open_parent_out(const char16_t** path) { return open_parent(path); }

void rio_dir::control(control_request* /*request*/) {
  store_not_supported(kLocRioControl, kModuleId, false);
}

// --------------------------------------------------------------- iterator --

const char16_t* i_dir::iterator::short_name() { return nullptr; }
const char16_t* i_dir::iterator::display_name() { return name(); }
std::uint32_t i_dir::iterator::spare_value() { return 0; }
std::uint64_t i_dir::iterator::allocated_size() { return size(); }
std::uint64_t i_dir::iterator::write_time() { return 0; }
std::uint64_t i_dir::iterator::change_time() { return 0; }
std::uint64_t i_dir::iterator::creation_time() { return 0; }
std::uint64_t i_dir::iterator::access_time() { return 0; }
std::uint32_t i_dir::iterator::attributes() { return kNoAttributes; }
std::uint32_t i_dir::iterator::mode() { return kNoAttributes; }
bool i_dir::iterator::is_hidden() { return false; }
std::uint32_t i_dir::iterator::owner_id() { return kNoAttributes; }
std::uint32_t i_dir::iterator::group_id() { return kNoAttributes; }
const void* i_dir::iterator::security() { return nullptr; }
std::uint32_t i_dir::iterator::link_count() { return 1; }
std::uint32_t i_dir::iterator::device_major() { return 0; }
std::uint32_t i_dir::iterator::device_minor() { return 0; }
int i_dir::iterator::children_hint() { return 1; }
std::uint64_t i_dir::iterator::file_index() { return 0; }
const char16_t* i_dir::iterator::link_target() { return nullptr; }
