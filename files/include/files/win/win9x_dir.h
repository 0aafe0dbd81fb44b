// The directory of the live file system on Windows 9x, where the wide file
// functions do not exist: the twin of the NT directory, with every call
// taking an ANSI path (code page CP_ACP) converted from the resolved UTF-16
// path, no long-path prefixes, no impersonation and no WOW64 scopes. Its
// ANSI calls go through Windows::Layer9xAnsi(), so that the tests can watch
// and replace them on an NT system.
//
// Windows-only header: it includes <windows.h>.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "files/win/nt_dir.h"
#include "files/win/win_dir.h"

// Module id of every error the 9x directory and its cursors build.
constexpr std::uint32_t kWin9xDirModuleId = 0xCC94A88E;

class win9x_dir : public win32_dir {
 public:
  class iterator;
  class share_iterator;

  win9x_dir() = default;  // the root
  explicit win9x_dir(const std::u16string& resolvedPath) : win32_dir(resolvedPath) {}
  ~win9x_dir() override;

  // The ANSI path of `name` resolved against this directory, without its
  // trailing separator, at most 260 bytes; false when it does not resolve,
  // is empty or does not convert.
  bool to_narrow(const char16_t* name, std::string& out);
  // This directory's own path with its trailing '\' (C:\data\).
  bool dir_path_a(std::string& out);
  // The root of the directory's drive or share (C:\, \\server\share\).
  bool root_path_a(std::string& out);

  i_dir* open_special(std::uint32_t type) override;
  i_dir::iterator* find_by_id(const file_identifier* id) override;
  i_dir::iterator* find(const char16_t* name) override;
  i_dir::iterator* list() override;
  i_dir::iterator* find_self() override;
  int compare_ids(const file_identifier* a, const file_identifier* b) override;

  void delete_file(const char16_t* name) override;
  void move(const char16_t* from, const char16_t* to) override;
  void create_dir(const char16_t* name, const SecurityAttributesProvider* provider) override;
  void remove_dir(const char16_t* name) override;
  void set_attributes(const char16_t* name, std::uint32_t attributes) override;

  std::uint32_t module_path(char16_t* buffer, std::uint32_t length) override;
  win32_dir* make_dir(const char16_t* path) override;
  HANDLE create_handle(const char16_t* name, const SecurityAttributesProvider* provider,
                       DWORD access, DWORD share, DWORD disposition, DWORD flags) override;
  HANDLE change_handle() override;
  bool compare_names(const char16_t* a, const char16_t* b, std::uint32_t count) override;
  std::uint32_t object_type() override;
  void disk_space(std::uint64_t& total, std::uint64_t& free, std::uint64_t& available) override;
  void volume_info(char16_t* buffer, std::uint32_t length) override;
  // The user name and password in the ANSI code page (at most 260 bytes
  // each, else 0x40007), then net_connect_a.
  void net_connect(const char16_t* first, const char16_t* second, HWND owner) override;
  // Connects the drive or share this directory lies on: a server directory
  // (\\server\) by its own path, a share by its root (\\server\share), a
  // drive whose connection is unavailable by the remote name the network
  // remembers for it; an already connected drive needs nothing.
  virtual void net_connect_a(const char* user, const char* password, HWND owner);
  std::uint32_t sector_size() override;
  // "PDRN" (through WININIT.INI) and "GFST"; other codes as win32_dir.
  void control(control_request* request) override;

 private:
  i_dir::iterator* search(const std::string& pattern);
};

// The find-file cursor over ANSI records, each converted into the wide
// record of win32_dir::iterator; records that do not convert are skipped.
class win9x_dir::iterator : public win32_dir::iterator {
 public:
  explicit iterator(const std::string& pattern);
  void next() override;
  // The UTF-16 name, and the ANSI name with its zero byte as raw bytes.
  file_identifier* id() override;
  // 128 for a directory, else 0.
  std::uint32_t object_type() override;

 private:
  bool to_wide(const WIN32_FIND_DATAA& record);
  std::string ansiName_;
};

// The one-entry cursor of a share root (\\server\share): the share itself,
// named in UTF-16 and, as its identifier's raw bytes, in ANSI with its zero
// byte.
class win9x_dir::share_iterator : public winnt_dir::share_iterator {
 public:
  explicit share_iterator(const std::string& path);
  file_identifier* id() override;

 private:
  std::string ansiName_;
};

// \\server\share: two backslashes, a further one, none after it.
bool IsShareRootPathA(const std::string& path) noexcept;

// The line WININIT.INI's [rename] section gets for a rename (or, without a
// new name, a deletion: key "NUL") at the next start: the section's other
// lines, duplicate keys included, are kept. Exposed for the tests.
bool AppendWininitRename(const std::string& key, const std::string& value);
