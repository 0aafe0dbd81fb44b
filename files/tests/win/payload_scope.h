// A program file with a payload archive, written under %TEMP%, that the
// resource locator takes for the running program's for the length of one
// scope; the locator's environment and open archive are put back afterwards.
//
// Windows-only test header.
#pragma once

#include <windows.h>

#include <fstream>
#include <string>

#include "files/resource.h"
#include "files/win/win_dir.h"
#include "resource_test_support.h"

namespace resource_test {

inline std::u16string TemporaryFolderPath() {
  wchar_t buffer[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, buffer);
  return std::u16string(buffer, buffer + n);
}

class PayloadScope {
 public:
  // `file_name` names the stand-in program file under %TEMP%; each test
  // program uses its own, so that programs running at once do not meet.
  PayloadScope(const Bytes& archive, const std::u16string& file_name)
      : saved_(ResourceLocatorEnvironment), path_(TemporaryFolderPath() + file_name) {
    Bytes image(4096, 'M');
    image.insert(image.end(), archive.begin(), archive.end());
    std::ofstream(Wide().c_str(), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.size());
    program_ = path_;
    ResourceLocatorEnvironment = {&GetCurrentDirObject, &Program};
    CloseResourceArchive();
  }
  ~PayloadScope() {
    CloseResourceArchive();
    ResourceLocatorEnvironment = saved_;
    DeleteFileW(Wide().c_str());
  }
  PayloadScope(const PayloadScope&) = delete;
  PayloadScope& operator=(const PayloadScope&) = delete;

 private:
  std::wstring Wide() const { return std::wstring(path_.begin(), path_.end()); }
  static const char16_t* Program() { return program_.c_str(); }
  static inline std::u16string program_;
  ResourceEnvironment saved_;
  std::u16string path_;
};

}  // namespace resource_test
