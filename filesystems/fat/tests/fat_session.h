// A writable FAT mount driven through the framework's Windows view, as a
// caller of the system would: create, write, read, list, move and delete by
// path. Every call reports the error code it stored (0 for none).
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "files/dir.h"
#include "files/file_error.h"
#include "fat_mount_support.h"
#include "filesystems/fat_driver.h"
#include "foundation/text.h"
#include "image_volume.h"

namespace fattest {

inline std::u16string Wide(const std::string& text) {
  std::u16string out;
  Common::Utf8ToUtf16(out, text);
  return out;
}
inline std::string Utf8(const std::u16string& text) {
  std::string out;
  Common::Utf16ToUtf8(out, text);
  return out;
}

class Session {
 public:
  explicit Session(const std::string& image, std::uint32_t sectorSize = 512,
                   bool readOnly = false)
      : device_(new fstest::ImageVolume(image, sectorSize, 0, readOnly)) {
    const std::uint64_t sectors = std::filesystem::file_size(image) / sectorSize;
    driver_ = static_cast<filesystems::FATDriver*>(filesystems::OpenFATVolume(
        device_.get(), 0, sectors, NextCacheKey(), nullptr, nullptr, 0));
    if (!driver_) return;
    driver_->AddUse();
    root_.reset(driver_->OpenRootDirectory());
  }
  ~Session() { Close(); }

  bool Ok() const { return driver_ && root_; }
  filesystems::FATDriver* Driver() const { return driver_; }
  rio_dir* Root() const { return root_.get(); }

  // Writes everything back and lets go of the mount; returns the flush's code.
  std::uint32_t Close() {
    std::uint32_t code = 0;
    if (root_) {
      control_request unmount{kControlDMNT};
      root_->control(&unmount);
      code = root_->is_ok() ? 0 : root_->error().Code();
      root_.reset();
    }
    if (driver_) driver_->Release();
    driver_ = nullptr;
    return code;
  }

  std::uint32_t Put(const std::string& path, const std::string& data) {
    std::unique_ptr<rio_file> file(root_->create_file(Wide(path).c_str(), false, nullptr));
    if (!file) return root_->error().Code();
    if (!data.empty()) file->write_exact(data.data(), std::uint32_t(data.size()));
    return file->is_ok() ? 0 : file->error().Code();
  }

  std::uint32_t Cat(const std::string& path, std::string& out) {
    out.clear();
    std::unique_ptr<i_file> file(root_->open_file(Wide(path).c_str(), true));
    if (!file) return root_->error().Code();
    char buffer[70000];
    for (;;) {
      std::uint32_t done = 0;
      file->read(buffer, sizeof buffer, done);
      if (!file->is_ok()) return file->error().Code();
      if (done == 0) return 0;
      out.append(buffer, done);
    }
  }
  std::string Cat(const std::string& path) {
    std::string out;
    Cat(path, out);
    return out;
  }

  std::uint32_t Mkdir(const std::string& path) {
    root_->create_dir(Wide(path).c_str(), nullptr);
    return Code();
  }
  std::uint32_t Rm(const std::string& path) {
    root_->delete_file(Wide(path).c_str());
    return Code();
  }
  std::uint32_t Rmdir(const std::string& path) {
    root_->remove_dir(Wide(path).c_str());
    return Code();
  }
  std::uint32_t Mv(const std::string& from, const std::string& to) {
    root_->move(Wide(from).c_str(), Wide(to).c_str());
    return Code();
  }
  std::uint32_t Truncate(const std::string& path, std::uint64_t size) {
    std::unique_ptr<rio_file> file(root_->open_file_rw(Wide(path).c_str(), false));
    if (!file) return root_->error().Code();
    file->set_size(size);
    return file->is_ok() ? 0 : file->error().Code();
  }

  struct Node {
    bool directory = false;
    std::uint64_t size = 0;
    std::string shortName;
  };
  // Every entry below a folder, by path with '/' separators.
  std::map<std::string, Node> Tree(const std::string& path = "") {
    std::map<std::string, Node> out;
    std::unique_ptr<i_dir> dir(path.empty() ? root_->open_dir(u".")
                                            : root_->open_dir(Wide(path).c_str()));
    if (dir) Walk(dir.get(), path, out);
    return out;
  }

 private:
  std::uint32_t Code() { return root_->is_ok() ? 0 : root_->error().Code(); }

  void Walk(i_dir* dir, const std::string& prefix, std::map<std::string, Node>& out) {
    std::unique_ptr<i_dir::iterator> it(dir->list());
    for (; it && it->is_ok(); it->next()) {
      const std::string name = Utf8(it->name());
      const std::string path = prefix.empty() ? name : prefix + "/" + name;
      Node node;
      node.directory = it->object_type() == 128;
      node.size = it->size();
      if (const char16_t* shortName = it->short_name()) node.shortName = Utf8(shortName);
      out[path] = node;
      if (node.directory) {
        std::unique_ptr<i_dir> child(dir->open_dir_at(it.get()));
        if (child) Walk(child.get(), path, out);
      }
    }
  }

  std::unique_ptr<fstest::ImageVolume> device_;
  filesystems::FATDriver* driver_ = nullptr;
  std::unique_ptr<rio_dir> root_;
};

}  // namespace fattest

#endif
