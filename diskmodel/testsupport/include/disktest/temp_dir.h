// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include <string>

namespace DiskTest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() joined with `name`.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace DiskTest
