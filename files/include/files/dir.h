// The directory side of the file layer: `i_dir` (readable directory), `o_dir`
// (writable directory), `rio_dir` (both, with the read/write opens),
// `nocache_dir` (unbuffered files), the cursor `i_dir::iterator`, the entry
// reference `file_identifier` with its general form `the_identifier`, and the
// object-kind codes.
//
// Directories hold the status of their MOST RECENT operation: every
// operation that reports a status stores it, replacing the previous one, and
// success stores NoError. A directory never refuses work because of an
// earlier error, so callers read its error right after the call they care
// about. A null result always comes with a stored error.
//
// Iterators follow the files' first-error rule (files/file_object.h): once
// an error is stored they do not move and every query answers "nothing"
// (null, 0 or all bits set). An iterator that ran past its last entry holds
// 0x40002; no error or 0x40002 is the normal end of a listing.
//
// Every object returned by an open, find, list, clone or create operation
// belongs to the caller, who deletes it through its virtual destructor.
// Text arguments are NUL-terminated UTF-16; `share_all` opens with every
// sharing mode instead of the implementation's default.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "files/file_object.h"

// ---------------------------------------------------------------------------
// Object kinds

// What an entry or a directory is. Codes of 128 and above are directory-like.
enum file_object_type : std::uint32_t {
  kObjectFile = 0,
  kObjectFileSymlink = 5,
  kObjectShortcut = 6,
  kObjectDirectory = 128,
  kObjectFloppyDrive = 129,
  kObjectRemovableDrive = 130,
  kObjectFixedDrive = 131,
  kObjectRemoteDrive = 132,
  kObjectCdromDrive = 133,
  kObjectRamDisk = 136,
  kObjectUnknown = 137,             // kind not determined: every directory's default
  kObjectComputer = 138,            // the drive list of the empty root path
  kObjectNetworkNeighbourhood = 139,
  kObjectNetworkComputer = 141,     // \\server
  kObjectNetworkShare = 142,        // \\server\share
  kObjectCommonAppData = 143,       // open_special only
  kObjectAppData = 144,             // open_special only
  kObjectLocalAppData = 145,        // open_special only
  kObjectDocuments = 147,
  kObjectDesktop = 148,             // open_special only
  kObjectTempDirectory = 149,       // open_special of the NT directory only
  kObjectJunction = 150,            // name surrogate other than a symbolic link
  kObjectDirSymlink = 151,
  kObjectReparse80000009 = 154,
};

constexpr bool IsDirectoryLike(std::uint32_t type) noexcept { return type >= 128; }

// GetDriveType's answer as an object kind: 2 removable, 3 fixed, 4 remote,
// 5 CD-ROM, 6 RAM disk, anything else undetermined (137).
std::uint32_t DriveTypeToObjectType(std::uint32_t driveType) noexcept;

// ---------------------------------------------------------------------------
// Create-time security

// Optional security for the create operations (null: default security).
// acquire gives a SECURITY_ATTRIBUTES (as void*) or null (reported as
// 0x40006); check answers 0 to allow its use, non-zero to refuse (0x40014);
// release is called once after the one system call that used them.
struct SecurityAttributesProvider {
  void* unused;
  void* (*acquire)(const SecurityAttributesProvider* provider);
  int (*check)(void* attributes);
  void (*release)(void* attributes);
};

// ---------------------------------------------------------------------------
// Identifiers

// A persistent, copyable reference to one directory entry. A directory only
// accepts identifiers made by its own family.
class file_identifier {
 public:
  file_identifier() = default;
  file_identifier(const file_identifier&) = delete;
  file_identifier& operator=(const file_identifier&) = delete;
  virtual ~file_identifier();
  // A new identifier for the same entry, or null when memory is short.
  virtual file_identifier* clone() const = 0;
};

// The general identifier: a shared, reference-counted blob of a UTF-16 name
// and raw bytes. Every identifier with an empty name and no bytes shares one
// process-wide empty blob. Blobs may be shared between threads.
class the_identifier : public file_identifier {
 public:
  // Null name is the empty name; null bytes with a non-zero count are no
  // bytes. When the blob cannot be allocated the identifier holds the empty
  // blob (empty name, no bytes).
  the_identifier(const char16_t* name, const void* bytes, std::uint32_t byteCount) noexcept;
  ~the_identifier() override;
  the_identifier* clone() const override;

  const char16_t* name() const noexcept;           // never null
  const std::uint8_t* bytes() const noexcept;      // null when there are none
  std::uint32_t byte_count() const noexcept;       // 0 when there are none

  struct Blob;

 private:
  explicit the_identifier(Blob* shared) noexcept;
  Blob* blob_;
};

// ---------------------------------------------------------------------------
// Change watching

class i_dir;

// A caller's receiver of change notifications, reference-counted with locked
// operations. The creator holds the first reference; the object deletes
// itself when the count drops to 0.
class ChangeWatchCallback {
 public:
  ChangeWatchCallback() noexcept = default;
  ChangeWatchCallback(const ChangeWatchCallback&) = delete;
  ChangeWatchCallback& operator=(const ChangeWatchCallback&) = delete;

  // Runs on a watcher thread with a fresh directory object for the watched
  // path, which the watcher destroys when invoke returns.
  virtual void invoke(i_dir* directory) = 0;

  void add_ref() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 protected:
  virtual ~ChangeWatchCallback();

 private:
  std::atomic<std::int32_t> references_{1};
};

// ---------------------------------------------------------------------------
// Directories

class ro_dir;
class rio_file;

// A directory paired with an entry in it (follow_link, open_item_id_list);
// both belong to the caller.
using dir_entry_pair = std::pair<i_dir*, file_identifier*>;

class i_dir : public virtual file_object {
 public:
  class iterator;

  // 1-7: opening files and directories. Pure.
  virtual i_file* open_file_by_id(const file_identifier* id, bool share_all) = 0;
  virtual i_file* open_file_at(iterator* at, bool share_all) = 0;
  virtual i_file* open_file(const char16_t* name, bool share_all) = 0;
  virtual i_dir* open_dir_by_id(const file_identifier* id) = 0;
  virtual i_dir* open_dir_at(iterator* at) = 0;
  virtual i_dir* open_dir(const char16_t* path) = 0;
  // The directory holding the path's last component; `*path` is advanced to
  // that component.
  virtual i_dir* open_parent(const char16_t** path) = 0;
  // 8: another object for this directory. Base: null with not supported
  // stored (replacing); rio_dir: open_dir(".").
  virtual i_dir* open_self();
  // 9: a well-known folder by kind (138, 143-149). Base: not supported,
  // replaces.
  virtual i_dir* open_special(std::uint32_t type);

  // 10-13: cursors. Pure. find_self gives null when the directory does not
  // exist.
  virtual iterator* find_by_id(const file_identifier* id) = 0;
  virtual iterator* find(const char16_t* name) = 0;
  virtual iterator* list() = 0;
  virtual iterator* find_self() = 0;

  // 14: the directory's path text, owned by the directory. Base: null.
  virtual const char16_t* path();
  // 15: 0 the same directory, 1 `other` lies inside this one, 2 unrelated.
  virtual int relation(i_dir* other) = 0;
  // 16: -1, 0, 1.
  virtual int compare_ids(const file_identifier* a, const file_identifier* b) = 0;
  // 17: base 137 (undetermined).
  virtual std::uint32_t object_type();
  // 18: base: all three 0, not supported (replaces).
  virtual void disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available);
  // 19: the volume label into `buffer` of `length` characters. Base: an
  // empty text when there is room, not supported (replaces).
  virtual void volume_info(char16_t* buffer, std::uint32_t length);
  // 20, 21: base '/' and '\' separate, '\' is preferred.
  virtual bool is_separator(char16_t c);
  virtual char16_t separator();
  // 22: base false.
  virtual bool is_system_directory();
  // 23: callback or null (stop watching). Base: not supported, replaces.
  virtual void watch(ChangeWatchCallback* callback);
  // 24: re-arm a watch after a notification. Base: nothing.
  virtual void rewatch();
  // 25: where a link leads. Base: {open_dir("."), clone of id}; when
  // open_dir fails {null, null} with its error; a null id gives {directory,
  // null}; when the clone fails {null, null} and 0x40006.
  virtual dir_entry_pair follow_link(const file_identifier* id, std::uint32_t flags);
  // 26-28: shell namespace (ITEMIDLIST, IShellFolder). Base: null; the base
  // open_item_id_list stores not supported (replacing) with its {null, null}.
  virtual const void* item_id_list(const file_identifier* id, bool relative);
  virtual dir_entry_pair open_item_id_list(const void* list);
  virtual void* shell_folder();

  // Unknown codes: not supported, replacing the status.
  void control(control_request* request) override;
};

class o_dir : public virtual file_object {
 public:
  // 1-3. Pure.
  virtual ro_file* open_file_write(const char16_t* name, bool share_all) = 0;
  virtual void delete_file(const char16_t* name) = 0;
  virtual void move(const char16_t* from, const char16_t* to) = 0;
  // 4, 5. Base: not supported, replaces. create_junction's last two
  // arguments are read by no implementation.
  virtual void create_hard_link(const char16_t* new_name, const char16_t* existing_name);
  virtual void create_junction(const char16_t* name, const char16_t* target,
                               std::uint32_t reserved1, std::uint32_t reserved2);
  // 6, 7. Pure.
  virtual void create_dir(const char16_t* name, const SecurityAttributesProvider* provider) = 0;
  virtual void remove_dir(const char16_t* name) = 0;
  // 8-12. Base: not supported, replaces. set_mode, set_owner and
  // create_node belong to POSIX-style mounted file systems.
  virtual void set_security(const char16_t* name, const SecurityAttributesProvider* provider);
  virtual void set_attributes(const char16_t* name, std::uint32_t attributes);
  virtual void set_mode(const char16_t* name, std::uint32_t mode);
  virtual void set_owner(const char16_t* name, std::uint32_t owner_id, std::uint32_t group_id);
  virtual void create_node(const char16_t* name, std::uint32_t mode, std::uint32_t major,
                           std::uint32_t minor, std::uint32_t extra);
  // 13-15. Pure; rio_dir supplies them through its own operations.
  virtual ro_file* create_file(const char16_t* name, bool share_all,
                               const SecurityAttributesProvider* provider) = 0;
  virtual ro_dir* open_dir_out(const char16_t* path) = 0;
  virtual ro_dir* open_parent_out(const char16_t** path) = 0;

  // Unknown codes: not supported, replacing the status.
  void control(control_request* request) override;
};

// Typed by capability; no operations of their own.
class si_dir : public i_dir {};
class ri_dir : public si_dir {};
class ro_dir : public o_dir {};

class rio_dir : public ri_dir, public ro_dir {
 public:
  // A read/write directory opens read/write directories.
  rio_dir* open_dir(const char16_t* path) override = 0;
  rio_dir* open_parent(const char16_t** path) override = 0;
  // open_dir(".").
  i_dir* open_self() override;

  // 29-34. Pure.
  virtual ro_file* open_file_write_by_id(const file_identifier* id, bool share_all) = 0;
  virtual ro_file* open_file_write_at(iterator* at, bool share_all) = 0;
  virtual rio_file* open_file_rw_by_id(const file_identifier* id, bool share_all) = 0;
  virtual rio_file* open_file_rw_at(iterator* at, bool share_all) = 0;
  virtual rio_file* open_file_rw(const char16_t* name, bool share_all) = 0;
  // Creates, or truncates an existing file.
  rio_file* create_file(const char16_t* name, bool share_all,
                        const SecurityAttributesProvider* provider) override = 0;

  // o_dir's 14 and 15 through open_dir and open_parent.
  ro_dir* open_dir_out(const char16_t* path) override;
  ro_dir* open_parent_out(const char16_t** path) override;

  // Unknown codes: not supported, replacing the status.
  void control(control_request* request) override;
};

// Files that read and write around the system cache.
class nocache_dir : public virtual file_object {
 public:
  virtual rio_file* create_nocache_file(const char16_t* name) = 0;
  // The unit every transfer of such a file must be a multiple of.
  virtual std::uint32_t sector_size() = 0;
};

// ---------------------------------------------------------------------------
// Iterators

// A cursor over the entries of one directory. It stands on its first entry
// when handed out (or holds an error when there is none) and moves with
// next; past the last entry it holds 0x40002. Queries answer "nothing" when
// the iterator holds an error or stands on no entry. Times are milliseconds
// since 1970, 0 meaning no time.
class i_dir::iterator : public virtual file_object {
 public:
  virtual void next() = 0;                          // 1
  virtual file_identifier* id() = 0;                // 2: new, owned by the caller
  virtual const char16_t* name() = 0;               // 3
  virtual const char16_t* short_name();             // 4: base null
  virtual const char16_t* display_name();           // 5: base name()
  virtual std::uint32_t spare_value();              // 6: always 0
  virtual std::uint64_t size() = 0;                 // 7
  virtual std::uint64_t allocated_size();           // 8: base size()
  virtual std::uint32_t object_type() = 0;          // 9
  virtual std::uint64_t write_time();               // 10: base 0
  virtual std::uint64_t change_time();              // 11: base 0
  virtual std::uint64_t creation_time();            // 12: base 0
  virtual std::uint64_t access_time();              // 13: base 0
  virtual std::uint32_t attributes();               // 14: Windows bits; base all set
  virtual std::uint32_t mode();                     // 15: POSIX mode; base all set
  virtual bool is_hidden();                         // 16: base false
  virtual std::uint32_t owner_id();                 // 17: base all set
  virtual std::uint32_t group_id();                 // 18: base all set
  virtual const void* security();                   // 19: base null
  virtual std::uint32_t link_count();               // 20: base 1
  virtual std::uint32_t device_major();             // 21: base 0
  virtual std::uint32_t device_minor();             // 22: base 0
  // 23: 2 for containers to be treated as having entries without looking
  // (drive roots, shares, volume roots), 0 for shell items that are no
  // folders, 1 otherwise (the base).
  virtual int children_hint();
  virtual std::uint64_t file_index();               // 24: base 0
  virtual const char16_t* link_target();            // 25: base null
};

constexpr std::uint32_t kNoAttributes = 0xFFFFFFFFu;  // attributes(), mode(), ids: nothing
