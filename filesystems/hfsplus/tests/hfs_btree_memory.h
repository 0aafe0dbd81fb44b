// A B-tree file held in memory for the engine's tests: nodes in a byte
// vector, growth by clumps up to a limit past which the volume is full,
// and counts of reads and writes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_btree.h"

namespace hfstest {

class MemoryNodeSource : public filesystems::hfsplus::NodeSource {
 public:
  MemoryNodeSource(std::uint16_t nodeSize, std::uint32_t nodes, std::uint32_t clumpNodes,
                   std::uint32_t maxNodes = 0xFFFFFFFF)
      : nodeSize_(nodeSize), clump_(clumpNodes), max_(maxNodes),
        bytes_(std::size_t(nodes) * nodeSize, 0) {}

  std::uint16_t NodeSize() const override { return nodeSize_; }
  std::uint32_t NodeCount() const override { return std::uint32_t(bytes_.size() / nodeSize_); }
  void ReadNode(std::uint32_t n, std::uint8_t* out) override {
    ++reads;
    if (n >= NodeCount()) filesystems::ThrowFileError(1, 0x7A1FF000, kFileReadError);
    std::memcpy(out, bytes_.data() + std::size_t(n) * nodeSize_, nodeSize_);
  }
  void WriteNode(std::uint32_t n, const std::uint8_t* in) override {
    ++writes;
    if (n >= NodeCount()) filesystems::ThrowFileError(2, 0x7A1FF000, kFileWriteError);
    std::memcpy(bytes_.data() + std::size_t(n) * nodeSize_, in, nodeSize_);
  }
  std::uint32_t Grow(std::uint32_t minimum) override {
    ++growths;
    std::uint64_t wanted = (std::uint64_t(minimum) + clump_ - 1) / clump_ * clump_;
    if (wanted > max_) filesystems::ThrowFileError(3, 0x7A1FF000, kFileDiskFull);
    bytes_.resize(std::size_t(wanted) * nodeSize_, 0);
    return NodeCount();
  }

  std::uint8_t* Node(std::uint32_t n) { return bytes_.data() + std::size_t(n) * nodeSize_; }
  std::vector<std::uint8_t>& Bytes() { return bytes_; }

  std::uint32_t reads = 0;
  std::uint32_t writes = 0;
  std::uint32_t growths = 0;

 private:
  std::uint16_t nodeSize_;
  std::uint32_t clump_;
  std::uint32_t max_;
  std::vector<std::uint8_t> bytes_;
};

// An empty tree of `nodes` nodes: the header node and nothing else used.
inline void FormatEmptyTree(MemoryNodeSource& source, std::uint16_t maxKeyLength,
                            std::uint32_t attributes, std::uint8_t compareType = 0) {
  filesystems::hfsplus::FormatHeaderNode(source.Node(0), source.NodeSize(), source.NodeCount(),
                                         maxKeyLength, attributes, 0, compareType,
                                         source.NodeSize() * 4u);
}

}  // namespace hfstest
