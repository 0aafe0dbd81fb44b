// A private folder under the user's temporary directory for payload files
// that other programs must read (removal scripts, installer helpers).
//
// The folder is named by a random GUID in upper-case text without braces.
// Everything `Extract` wrote is deleted, and the folder removed, when the
// object is destroyed. Payload entries are copied straight from the payload
// archive (files/resource.h), never from files on disk.
#pragma once

#include <string>
#include <vector>

#include "files/file_object.h"

class TempFolder {
 public:
  // Creates "<temp>\<GUID>". Never fails: when the folder cannot be
  // created, the object works in the temporary directory itself and never
  // removes it.
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Deletes every file Extract wrote, in order, then the folder when this
  // object created it; failures are ignored.
  virtual ~TempFolder();

  // Writes the payload entry `name` as "<folder>\<name>". On success records
  // the path, stores it in `fullPath` and returns true; on failure returns
  // false, leaves `fullPath` alone and leaves no file behind.
  bool Extract(const std::u16string& name, std::u16string& fullPath);

  // Full path without a trailing '\'.
  const std::u16string& folder() const noexcept { return folder_; }
  bool created() const noexcept { return created_; }
  const std::vector<std::u16string>& extracted() const noexcept { return extracted_; }

 private:
  std::u16string folder_;
  std::vector<std::u16string> extracted_;
  bool created_ = false;
};

// Copies the payload entry `name` into a new file `target` (replacing an
// existing one). True only when the whole entry was read, its checksum held
// and every byte was written; otherwise the target is deleted.
bool ExtractEntryToFile(const std::u16string& name, const std::u16string& target);

// The copy loop of ExtractEntryToFile: reads `entry` until it reports its
// end and writes every piece whole to `target`. False at the first read
// error, write error or short write (a full disk), which stays stored in
// the file concerned.
bool CopyEntryToFile(i_file& entry, o_file& target);

// Size of the copy buffer.
constexpr std::uint32_t kExtractBufferSize = 102400;
