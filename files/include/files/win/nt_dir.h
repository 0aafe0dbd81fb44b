// The directory of the live file system on Windows NT-family systems.
//
// Every operation on an entry is one wide-character Windows call on an NT
// long path ("\\?\C:\..." or "\\?\UNC\server\share\..."), so that paths of
// any length and names the Win32 layer would alter reach the file system as
// they are. Each call is made inside two scopes, opened in this order and
// closed in reverse: ImpersonationScope (network paths only: the thread's
// impersonation token, when one is set) and Wow64RedirectionScope (a 32-bit
// process sees the real system folders).
//
// Directories hold the status of their most recent operation
// (files/dir.h). Cursors keep their first error.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "files/dir.h"
#include "files/win/helpers.h"
#include "files/win/win_dir.h"

// Module id of every error the NT directory and its cursors build (the share
// cursor excepted).
constexpr std::uint32_t kNtDirModuleId = 0xF35F747B;
// Module id of the share cursor's errors.
constexpr std::uint32_t kNtShareCursorModuleId = 0x23B85D65;

// For a failed system call on a path: reads the thread's last error first,
// maps it with Win32ErrorToFileError over the defaults, builds a record that
// names `function` and `path` ("function" and "filename" fields) and attaches
// the system error as its cause.
Common::Error MakeFileApiError(std::uint32_t locationId, std::uint32_t moduleId,
                               const char* function, const char16_t* path,
                               std::uint32_t defaultCode, const char16_t* defaultText) noexcept;

// True when `path` begins with "\\?\UNC\": the network flag of a call.
bool IsUncNtPath(const std::u16string& path) noexcept;

// The scopes every call on an NT path runs under, opened in this order and
// closed in reverse: the caller's impersonation for a network path, then
// WOW64 file-system redirection switched off.
struct NtCallScope {
  explicit NtCallScope(bool network) noexcept : impersonation(network) {}
  explicit NtCallScope(const std::u16string& path) noexcept : NtCallScope(IsUncNtPath(path)) {}
  NtCallScope(const char16_t*) = delete;  // would be taken for the flag
  ImpersonationScope impersonation;
  Wow64RedirectionScope wow64;
};

// True for "\\?\UNC\server\share" and "\\?\UNC\server\": the top of a share,
// where a denied listing means the share itself is closed to the caller.
bool IsShareRootNtPath(const std::u16string& path) noexcept;

// A canonical path (as ResolvePath gives it, with its trailing separator)
// turned into NT long form without the trailing separator:
// C:\a\ -> \\?\C:\a, \\srv\sh\a\ -> \\?\UNC\srv\sh\a, \\?\Volume{..}\ stays
// long. False for the empty path.
bool ToNtLongPath(const std::u16string& canonical, std::u16string& out);

class winnt_dir : public win32_dir {
 public:
  class iterator;
  class share_iterator;
  class volume_self_iterator;

  // The root of everything (empty path) or a path from ResolvePath.
  winnt_dir() = default;
  explicit winnt_dir(const std::u16string& resolvedPath);
  // Ends the directory's change watch, if any.
  ~winnt_dir() override;

  // The NT path of `name` resolved against this directory (no trailing
  // separator); false when the name does not resolve.
  bool nt_path(const char16_t* name, bool allow_streams, std::u16string& out);
  // This directory's own NT path with its trailing separator.
  bool nt_dir_path(std::u16string& out);

  // i_dir
  i_dir* open_special(std::uint32_t type) override;
  i_dir::iterator* find_by_id(const file_identifier* id) override;
  i_dir::iterator* find(const char16_t* name) override;
  i_dir::iterator* list() override;
  i_dir::iterator* find_self() override;
  int compare_ids(const file_identifier* a, const file_identifier* b) override;
  dir_entry_pair follow_link(const file_identifier* id, std::uint32_t flags) override;

  // o_dir
  void delete_file(const char16_t* name) override;
  void move(const char16_t* from, const char16_t* to) override;
  void create_hard_link(const char16_t* new_name, const char16_t* existing_name) override;
  void create_junction(const char16_t* name, const char16_t* target, std::uint32_t reserved1,
                       std::uint32_t reserved2) override;
  void create_dir(const char16_t* name, const SecurityAttributesProvider* provider) override;
  void remove_dir(const char16_t* name) override;
  void set_security(const char16_t* name, const SecurityAttributesProvider* provider) override;
  void set_attributes(const char16_t* name, std::uint32_t attributes) override;

  // win32_dir
  std::uint32_t module_path(char16_t* buffer, std::uint32_t length) override;
  win32_dir* make_dir(const char16_t* path) override;
  HANDLE create_handle(const char16_t* name, const SecurityAttributesProvider* provider,
                       DWORD access, DWORD share, DWORD disposition, DWORD flags) override;
  HANDLE change_handle() override;
  bool compare_names(const char16_t* a, const char16_t* b, std::uint32_t count) override;
  // The volume side (files/win/nt_volume.h): the drive kind, free space,
  // label, network connection and the bytes per sector (512 when the
  // volume cannot be asked; sector_size never stores an error).
  std::uint32_t object_type() override;
  void disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) override;
  void volume_info(char16_t* buffer, std::uint32_t length) override;
  void net_connect(const char16_t* first, const char16_t* second, HWND owner) override;
  std::uint32_t sector_size() override;
  // "STME", "SSFN", "PDRN", "BKUP", "SRSQ", "CMPR", "RSTR", "CRPT" and "GFST" through the
  // volume side; every other code as win32_dir answers it.
  void control(control_request* request) override;

 private:
  // Moves a cursor's error into this directory; the cursor is kept only when
  // the directory then holds no error.
  i_dir::iterator* hand_out(i_dir::iterator* cursor);
  i_dir::iterator* find_nt(const std::u16string& ntPath);
  i_dir::iterator* find_by_name(const char16_t* name);
};

// "GRSQ" of an NT cursor: the entry's security data, serialized as
// SecurityDescriptorSet writes it, in a new buffer that the caller frees
// with std::free.
struct grsq_request : control_request {
  grsq_request() noexcept : control_request{kControlGRSQ} {}
  void* data = nullptr;    // result
  std::uint32_t size = 0;  // result
};

// The find-file cursor of the NT directory. Entry information that needs a
// handle or a security query is read only on request, at most once per
// entry (the stored size on every request).
class winnt_dir::iterator : public win32_dir::iterator {
 public:
  // Starts the search on `pattern` (an NT path, possibly ending in "*") and
  // stands on its first entry other than "." and "..", or holds the error:
  // 0x40002 for an empty listing, "Canceled." for a denied share top.
  explicit iterator(const std::u16string& pattern);

  void next() override;
  file_identifier* id() override;
  std::uint64_t allocated_size() override;
  std::uint32_t object_type() override;
  // The owner as SID text ("S-1-..."), or null.
  const void* security() override;
  std::uint32_t link_count() override;
  std::uint64_t file_index() override;
  // Where a mount point or symbolic link leads, or null (0x40007 for other
  // entries, 0x4000d for reparse data that does not hold together).
  const char16_t* link_target() override;
  // "GRSQ"; other codes: not supported.
  void control(control_request* request) override;

 private:
  bool started() const noexcept { return findHandle_ != INVALID_HANDLE_VALUE; }
  // Fails the cursor with the end code when the search never started.
  bool need_entry();
  std::u16string entry_path() const;
  void read_file_info();
  // A record the system filled: its names are cut to the record's fields.
  void seal_record() noexcept;

  std::u16string prefix_;  // the pattern up to and including its last '\'
  std::u16string owner_;
  std::u16string target_;
  std::uint32_t links_ = 1;
  std::uint64_t index_ = 0;
  bool infoRead_ = false;
};

// The one-entry cursor of a share root (\\?\UNC\server\share): the share
// itself, kind 142. It ends at the first next(), which is not supported.
class winnt_dir::share_iterator : public i_dir::iterator {
 public:
  explicit share_iterator(const std::u16string& path);
  void next() override;
  file_identifier* id() override;
  const char16_t* name() override { return name_.c_str(); }
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override { return kObjectNetworkShare; }
  int children_hint() override { return 2; }

 private:
  std::u16string name_;
};

// The one-entry cursor of a volume root given by its volume name
// (\\?\Volume{...}\): named Volume{...}, of the drive's kind.
class winnt_dir::volume_self_iterator : public i_dir::iterator {
 public:
  volume_self_iterator(std::u16string name, std::uint32_t type)
      : name_(std::move(name)), type_(type) {}
  void next() override;
  file_identifier* id() override;
  const char16_t* name() override { return name_.c_str(); }
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override { return type_; }
  int children_hint() override { return 2; }

 private:
  std::u16string name_;
  std::uint32_t type_;
};

// The native hard-link route for systems without CreateHardLinkW:
// `newLinkObjectName` in object-manager form (\??\C:\a), `existingNtPath` a
// long path. False on any failure.
bool CreateHardLinkNt(const std::u16string& newLinkObjectName, const std::u16string& existingNtPath);

namespace nt_dir_detail {

// The system calls of junction creation, replaceable so that every failure
// path can be driven.
class JunctionCalls {
 public:
  virtual ~JunctionCalls() = default;
  virtual BOOL CreateDirectory(LPCWSTR path);
  // GENERIC_WRITE, no sharing, backup semantics, the reparse point itself.
  virtual HANDLE OpenDirectory(LPCWSTR path);
  virtual BOOL SetReparsePoint(HANDLE handle, const void* data, DWORD size);
  virtual BOOL RemoveDirectory(LPCWSTR path);
};

// Makes `junction` (an NT path) a mount point with `data`, inside the call
// scopes. A directory that existed before is used as it is and, should the
// reparse data not take, left in place; one this call created is removed
// again. NoError or the failure ("CreateDirectoryW", "OpenDirectoryW",
// "FSCTL_SET_REPARSE_POINT").
Common::Error MakeJunction(JunctionCalls& calls, const std::u16string& junction,
                           const std::vector<std::uint8_t>& data);

// When set and answering true, create_hard_link takes the native route as
// on systems without CreateHardLinkW (tests only).
extern bool (*gForceNtHardLinkRoute)();

}  // namespace nt_dir_detail
