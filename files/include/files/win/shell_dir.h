// A folder of the Windows shell namespace (the desktop, the computer folder,
// network places, special folders, and every file-system folder as the
// shell sees it) as a read-only directory of the file framework. Folders are
// addressed by item-id lists and reached through IShellFolder; every shell
// method is called through the guarded wrappers of files/win/shell_guard.h.
// Where a folder is also a file-system folder, it reports its path and
// leaves volume questions to the Windows directories.
//
// Windows-only header: it includes <windows.h> and <shlobj.h>.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <string>

#include "files/dir.h"
#include "files/file_error.h"

// Module id of every error the shell directory and its cursors build.
constexpr std::uint32_t kShellDirModuleId = 0xe7e1fea8;

// Item-id lists as byte strings: items, each led by its 16-bit size, then a
// 16-bit zero. ItemIdListSize counts the terminator.
std::uint32_t ItemIdListSize(const void* list) noexcept;

class win32_shell_dir : public i_dir {
 public:
  class iterator;
  class normal_iterator;

  // Takes one reference on `folder`; `list` is the folder's absolute list,
  // with its terminator.
  win32_shell_dir(IShellFolder* folder, std::string list);
  ~win32_shell_dir() override;

  i_file* open_file_by_id(const file_identifier* id, bool share_all) override;
  i_file* open_file_at(i_dir::iterator* at, bool share_all) override;
  i_file* open_file(const char16_t* name, bool share_all) override;
  i_dir* open_dir_by_id(const file_identifier* id) override;
  i_dir* open_dir_at(i_dir::iterator* at) override;
  i_dir* open_dir(const char16_t* path) override;
  i_dir* open_parent(const char16_t** path) override;
  // A Windows directory for the folder's file-system path; null without one.
  i_dir* open_self() override;
  // 138 the computer folder, 139 network places, 147 the documents folder;
  // 143, 144, 145, 148 the all-users and user application-data folders and
  // the desktop folder, through SHGetFolderPathW.
  i_dir* open_special(std::uint32_t type) override;
  i_dir::iterator* find_by_id(const file_identifier* id) override;
  i_dir::iterator* find(const char16_t* name) override;
  i_dir::iterator* list() override;
  i_dir::iterator* find_self() override;
  // The file-system path with its final '\' and one extra NUL after the
  // terminator; null for folders outside the file system.
  const char16_t* path() override;
  int relation(i_dir* other) override;
  int compare_ids(const file_identifier* a, const file_identifier* b) override;
  std::uint32_t object_type() override;
  void disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) override;
  bool is_system_directory() override { return true; }
  dir_entry_pair follow_link(const file_identifier* id, std::uint32_t flags) override;
  const void* item_id_list(const file_identifier* id, bool relative) override;
  dir_entry_pair open_item_id_list(const void* list) override;
  void* shell_folder() override { return folder_; }
  // Change notification through the shell (files/src/win/shell_notify_win.cpp):
  // callbacks run on the shell-notification thread with a directory of the
  // changed folder; notices for one folder are held back until rewatch.
  void watch(ChangeWatchCallback* callback) override;
  void rewatch() override;
  // "GSYP" gives the path; "SPWD" goes to the Windows directory.
  void control(control_request* request) override;

  // A new identifier whose bytes are `list` (as_is) or this folder's list
  // followed by it; its name is empty.
  virtual the_identifier* identifier_from_item_id_list(const void* list, bool as_is);

  const std::string& list_bytes() const noexcept { return list_; }

 private:
  win32_shell_dir* parse_to_directory(IShellFolder* parseFolder, const char16_t* name,
                                      bool relative);
  win32_shell_dir* open_parent_of(const std::string& list);
  // The parent list, the last item and the parent folder (one reference),
  // or a null folder with the error stored.
  IShellFolder* split_last_item(const std::string& list, std::string& parent, std::string& last);
  i_dir* special_folder_path(int csidl);

  friend struct ShellNotifyAccess;
  IShellFolder* folder_;
  std::string list_;
  struct ShellNotificationRegistration* registration_ = nullptr;
  ULONG shellId_ = 0;
  std::string scratch_;
  std::u16string path_;
  bool pathAsked_ = false;
};

// The shell functions the namespace uses, bound on its first use. Older
// shells export three of them by ordinal only, so those are bound by
// ordinal: ILIsEqual (21), SHChangeNotifyRegister (2) and
// SHChangeNotifyDeregister (4). shfolder is loaded for SHGetFolderPathW and
// kept for its string table (the all-users fallback of open_special). A
// function the system lacks is null; the tests replace entries.
struct ShellApiTable {
  HMODULE shell32 = nullptr;
  HMODULE shfolder = nullptr;
  BOOL(WINAPI* GetPathFromIDListW)(PCIDLIST_ABSOLUTE, LPWSTR) = nullptr;
  BOOL(WINAPI* IsEqual)(PCIDLIST_ABSOLUTE, PCIDLIST_ABSOLUTE) = nullptr;
  ULONG(WINAPI* ChangeNotifyRegister)(HWND, int, LONG, UINT, int,
                                      const SHChangeNotifyEntry*) = nullptr;
  BOOL(WINAPI* ChangeNotifyDeregister)(ULONG) = nullptr;
  HANDLE(WINAPI* ChangeNotificationLock)(HANDLE, DWORD, PIDLIST_ABSOLUTE**, LONG*) = nullptr;
  BOOL(WINAPI* ChangeNotificationUnlock)(HANDLE) = nullptr;
  HRESULT(WINAPI* GetFolderPathW)(HWND, int, HANDLE, DWORD, LPWSTR) = nullptr;
};
ShellApiTable& ShellApi();
// Binds the table once per process (later calls do nothing).
void BindShellApi();
// ILIsEqual through the table; false when the shell lacks it.
bool ShellListsEqual(const void* a, const void* b);

// The all-users folder of the profile's parent when the system cannot name
// a special folder: %USERPROFILE% with its last component replaced by
// "All Users\" and the shfolder module's folder name (string 3 of its first
// string-table block, in the shell's language, else US English).
Common::Error AllUsersFolderPath(std::u16string& out);

// The thread's callback when listing a server or share root is denied
// (ShareDeniedCallback holds it): called with the directory and an empty
// text, true asks for one more try (after connecting the share, say).
using ShareDeniedFunction = bool (*)(i_dir* directory, const char16_t* text);

// The desktop folder: the root of the namespace, made once (COM initialised
// for the calling thread on the way) and released at exit. Null when the
// shell cannot give it. The caller must not destroy it.
win32_shell_dir* GetShellRootDir();

// The shell's allocator and desktop folder as GetShellRootDir obtained them
// (null before), and binding a sub-folder with the retry after a
// CoInitialize of the calling thread.
IShellFolder* ShellDesktopFolder();
HRESULT ShellBindFolder(IShellFolder* parent, LPCITEMIDLIST list, IShellFolder** out);

// The process-wide thread start of the shell-notification thread: the
// run-time library's _beginthreadex unless a host replaces it.
using ThreadStartFunction = std::uintptr_t (*)(void* security, unsigned stackSize,
                                               unsigned(__stdcall* start)(void*), void* argument,
                                               unsigned flags, unsigned* threadId);
extern ThreadStartFunction gThreadStart;

// Registrations of the shell's change notification in use, and the message
// number of `callback`'s registration (0 when it has none): diagnostics for
// the tests.
std::uint32_t ShellNotificationRegistrationCount();
std::uint32_t ShellNotificationMessage(ChangeWatchCallback* callback);

// The cursor of one item in a parent folder. next is not supported.
class win32_shell_dir::iterator : public i_dir::iterator {
 public:
  // Copies `relative` (one item and the terminator). With validate, a
  // vanished item is noticed: the attribute query fails (0x40007).
  iterator(IShellFolder* parent, const void* relative, bool validate);
  ~iterator() override;

  void next() override;
  file_identifier* id() override;
  const char16_t* name() override;
  const char16_t* display_name() override;
  std::uint64_t size() override;
  std::uint32_t object_type() override;
  std::uint64_t write_time() override;
  std::uint64_t creation_time() override;
  std::uint64_t access_time() override;
  std::uint32_t attributes() override;
  bool is_hidden() override;
  int children_hint() override;

  // The current item's list (with terminator), or null.
  const void* item() const noexcept { return item_; }
  IShellFolder* parent() const noexcept { return parent_; }

 protected:
  explicit iterator(IShellFolder* parent);
  void set_item(LPITEMIDLIST item);  // takes the shell-allocated list
  bool ready() const noexcept { return is_ok() && item_ != nullptr; }

 private:
  bool find_data();
  std::u16string display(SHGDNF flags);

  IShellFolder* parent_;
  LPITEMIDLIST item_ = nullptr;
  std::uint32_t type_ = 0xFFFFFFFFu;
  std::u16string name_, display_;
  bool nameRead_ = false, displayRead_ = false;
  SFGAOF flags_ = 0;
  int children_ = -1;
  bool findAsked_ = false, findHave_ = false;
  WIN32_FIND_DATAW find_{};
};

// The cursor over a folder's enumeration; items outside the file system
// (neither file-system items nor their ancestors) are passed over.
class win32_shell_dir::normal_iterator : public win32_shell_dir::iterator {
 public:
  explicit normal_iterator(win32_shell_dir& dir);
  ~normal_iterator() override;
  void next() override;

 private:
  IEnumIDList* enum_ = nullptr;
};
