// Directories of the live Windows file system, and the process's starting
// points in it.
//
// - `windows_dir`: a read/write directory named by a canonical path
//   (files/path.h): empty for the root of everything (the drive list), else
//   absolute and ending with '\'. A directory object is a name only; making
//   one does not touch the file system.
// - `win32_dir`: what the NT implementation (wide calls) and the Windows 9x
//   implementation (ANSI calls) share: every file open goes through one
//   routine over the implementation's create_handle, plus unbuffered files,
//   the drive-letter list, the root as a special folder and a few control
//   requests.
//   The implementations supply the system calls (module_path, make_dir,
//   create_handle, change_handle, net_connect, compare_names, sector_size,
//   the cursors).
// - `win32_dir::iterator`: the common part of the two find-file cursors.
// - `win32_dir::letter_iterator`: the cursor over the drive letters.
// - `GetRootDir`, `GetCurrentDirObject`, `GetModulePath`: process-wide,
//   created on first use, never replaced.
//
// Directories hold the status of their most recent operation, iterators
// their first error (files/dir.h).
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "files/dir.h"

class win32_file;

// Module id of every error the Windows directory base builds.
constexpr std::uint32_t kWin32DirModuleId = 0xc1c09b38;

class windows_dir : public rio_dir {
 public:
  class root_iterator;

  // The root of everything (empty path).
  windows_dir() = default;
  // `path` must already be canonical (the result of ResolvePath).
  explicit windows_dir(std::u16string path) : path_(std::move(path)) {}

  // Null: 0x40007 and null; else open_dir(the identifier's name).
  i_dir* open_dir_by_id(const file_identifier* id) override;
  // The directory up to the last '/', ':' or '\' of `*path`, the pointer
  // then advanced past it; without any, open_dir(".") and the pointer left.
  rio_dir* open_parent(const char16_t** path) override;
  // The canonical path; empty text for the root.
  const char16_t* path() override { return path_.c_str(); }

  // ResolvePath against this directory's path.
  bool resolve_path(std::u16string& out, const char16_t* name, bool allow_streams) const;
  // IsValidFileName, in the drive form for the root.
  bool is_valid_name(const char16_t* name) const;

  const std::u16string& path_text() const noexcept { return path_; }

 protected:
  std::u16string path_;
};

// The cursor of the root's find_self: one entry with the empty name and the
// kind 138 (the computer).
class windows_dir::root_iterator : public i_dir::iterator {
 public:
  void next() override;
  file_identifier* id() override;
  const char16_t* name() override;
  std::uint64_t size() override { return 0; }
  std::uint32_t object_type() override;
};

class win32_dir : public windows_dir, public nocache_dir {
 public:
  class iterator;
  class letter_iterator;

  win32_dir() = default;  // the root
  explicit win32_dir(std::u16string path) : windows_dir(std::move(path)) {}

  // Opening files: all through OpenWin32File. Reading opens share reading
  // (or everything with share_all); writing opens share nothing unless
  // share_all.
  i_file* open_file(const char16_t* name, bool share_all) override;
  i_file* open_file_at(i_dir::iterator* at, bool share_all) override;
  i_file* open_file_by_id(const file_identifier* id, bool share_all) override;
  ro_file* open_file_write(const char16_t* name, bool share_all) override;
  ro_file* open_file_write_at(i_dir::iterator* at, bool share_all) override;
  ro_file* open_file_write_by_id(const file_identifier* id, bool share_all) override;
  rio_file* open_file_rw(const char16_t* name, bool share_all) override;
  rio_file* open_file_rw_at(i_dir::iterator* at, bool share_all) override;
  rio_file* open_file_rw_by_id(const file_identifier* id, bool share_all) override;
  // Creates the file, or truncates an existing one.
  rio_file* create_file(const char16_t* name, bool share_all,
                        const SecurityAttributesProvider* provider) override;

  i_dir* open_dir_at(i_dir::iterator* at) override;
  // make_dir(path).
  win32_dir* open_dir(const char16_t* path) override;
  i_dir* open_self() override;
  // 138: the root (the drive list); anything else: 0x4000e.
  i_dir* open_special(std::uint32_t type) override;
  // 0 the same, 1 `other` lies inside this one, 2 unrelated; paths compared
  // without regard to case. The root contains every other directory.
  int relation(i_dir* other) override;
  bool is_system_directory() override { return true; }

  // An unbuffered read/write file, created (or truncated) with no sharing;
  // needs sector_size() to have been asked first.
  rio_file* create_nocache_file(const char16_t* name) override;

  // "SPWD", "GSYP" and "NCDR" (files/control.h); anything else: 0x4000e.
  void control(control_request* request) override;

  // Change watching (files/win/change_watch.h). watch(callback) registers
  // this directory, or hands an existing watch the new callback; the root
  // stores 0x40007, a failed registration 0x40001. watch(null) ends the
  // watch. rewatch arms it again after a notification. The most derived
  // directories end their watch in their destructors, while the object is
  // still whole for a watcher that may be opening it.
  void watch(ChangeWatchCallback* callback) override;
  void rewatch() override;

  // --- What the implementations supply, in this order. ---

  // The program file's full path into `buffer` of `length` characters;
  // returns the characters written.
  virtual std::uint32_t module_path(char16_t* buffer, std::uint32_t length) = 0;
  // A new directory of the same implementation for `path` resolved against
  // this one; existence is not tested. Null with the error stored.
  virtual win32_dir* make_dir(const char16_t* path) = 0;
  // CreateFile of `name` resolved against this directory; null (not
  // INVALID_HANDLE_VALUE) with the error stored when it fails.
  virtual HANDLE create_handle(const char16_t* name, const SecurityAttributesProvider* provider,
                               DWORD access, DWORD share, DWORD disposition, DWORD flags) = 0;
  // A change-notification handle for this directory.
  virtual HANDLE change_handle() = 0;
  // Connects the network resource behind the path with the two credential
  // texts, `owner` owning any dialog.
  virtual void net_connect(const char16_t* first, const char16_t* second, HWND owner) = 0;
  // The first `length` characters equal, ignoring case.
  virtual bool compare_names(const char16_t* a, const char16_t* b, std::uint32_t length) = 0;
  // A new cursor over the drive letters, standing before 'A'.
  virtual letter_iterator* drive_letters();

 protected:
  // The one routine behind every file open: sharing from share_all and the
  // access, create_handle, then a win32_file over the handle. Stores
  // NoError on success; on failure returns null with the reason stored.
  win32_file* OpenWin32File(const char16_t* name, const SecurityAttributesProvider* provider,
                            DWORD access, bool share_all, DWORD disposition);

  friend struct ChangeWatchAccess;
  std::uint32_t watchId_ = 0;     // change-watch registration, 0 when none
  std::uint32_t sectorSize_ = 0;  // 0 until sector_size() was asked

 private:
  win32_file* OpenByIterator(i_dir::iterator* at, DWORD access, bool share_all);
  win32_file* OpenById(const file_identifier* id, DWORD access, bool share_all);
};

// The common part of the NT and 9x find-file cursors: the current find
// record and handle. Queries answer nothing while the iterator holds an
// error or has no find handle.
class win32_dir::iterator : public i_dir::iterator {
 public:
  iterator() noexcept;
  ~iterator() override;  // FindClose of a valid find handle

  const char16_t* name() override;
  const char16_t* short_name() override;  // null when there is none
  std::uint64_t size() override;
  std::uint64_t write_time() override;
  std::uint64_t creation_time() override;
  std::uint64_t access_time() override;
  std::uint32_t attributes() override;
  bool is_hidden() override;  // true while there is nothing to show
  int children_hint() override;  // 2 under a "\\?\UNC\" path, else 1

 protected:
  bool has_entry() noexcept;

  WIN32_FIND_DATAW find_{};
  HANDLE findHandle_ = INVALID_HANDLE_VALUE;
  bool underUnc_ = false;  // the listed path starts with "\\?\UNC\"
};

// The drive letters of the bit mask GetLogicalDrives gave at creation (bit 0
// is A:). next() moves to the next letter whose bit is set and, after Z:,
// holds 0x40002.
class win32_dir::letter_iterator : public i_dir::iterator {
 public:
  // Stands before 'A'.
  explicit letter_iterator(std::uint32_t driveMask) noexcept;

  void next() override;
  // "X:" as name, with the bytes 'X', ':', 0.
  file_identifier* id() override;
  const char16_t* name() override;  // "X:"
  std::uint64_t size() override { return 0; }
  // The drive's kind from GetDriveType, asked once per letter; 137 while the
  // iterator holds an error.
  std::uint32_t object_type() override;
  int children_hint() override { return 2; }

  std::uint32_t drive_mask() const noexcept { return mask_; }

 private:
  friend void LetterIteratorSeek(letter_iterator* it, char16_t letter);

  std::uint32_t mask_;
  char16_t letter_[3];  // the current letter, ':' and the terminator
  std::uint32_t type_ = 0;  // 0 until asked
};

// Puts the cursor on `letter` (either case): NoError when the mask has the
// letter, else 0x40002; either replaces the stored error.
void LetterIteratorSeek(win32_dir::letter_iterator* it, char16_t letter);

// "." and "..": the entries the find-file cursors skip.
bool IsDotEntry(const WIN32_FIND_DATAW& data) noexcept;

// No error, or 0x40002: the normal end of a listing.
bool IteratorEndedNormally(const i_dir::iterator* it) noexcept;

// ---------------------------------------------------------------------------
// Process-wide starting points (created on first use, never replaced)

// The root of the running system: an NT or a 9x directory with the empty
// path; null when the program has no directory of the running system's
// family. The first call also stops Windows from asking about drives that
// are not ready, and on Windows 9x makes the file functions take ANSI text.
// Never destroy it.
win32_dir* GetRootDir();

// The process's current directory (the Windows directory when it cannot be
// read, the root when neither makes a directory). Never destroy it.
i_dir* GetCurrentDirObject();

// The program file's full path.
const char16_t* GetModulePath();

// A new root (empty path) of the NT or the 9x family, defined with the
// directory of that family; null when there is none. GetRootDir calls the
// one that fits the running system.
win32_dir* NewWinNtRootDir();
win32_dir* NewWin9xRootDir();

// ---------------------------------------------------------------------------
// WOW64 file-system redirection

// Turns WOW64 file-system redirection off for the scope's lifetime where the
// system has it (both functions present), and back on at the end when it
// was turned off. The thread's last error survives the scope's end.
class Wow64RedirectionScope {
 public:
  Wow64RedirectionScope() noexcept;
  Wow64RedirectionScope(const Wow64RedirectionScope&) = delete;
  Wow64RedirectionScope& operator=(const Wow64RedirectionScope&) = delete;
  ~Wow64RedirectionScope();

  bool disabled() const noexcept { return disabled_; }

 private:
  PVOID old_ = nullptr;
  bool disabled_ = false;
};
