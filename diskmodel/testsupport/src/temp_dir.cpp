// Scratch directories for tests.
#include "disktest/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace DiskTest {

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::random_device device;
  std::mt19937_64 random(device() ^ std::uint64_t(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("purgekit-disk-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const {
  return (std::filesystem::path(path_) / name).string();
}

}  // namespace DiskTest
