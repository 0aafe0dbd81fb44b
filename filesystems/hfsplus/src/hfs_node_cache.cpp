// The node cache: a few node buffers, pinned while in use, least recently
// used first out, dirty ones written back before reuse.
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "filesystems/hfs_btree.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsNodeCacheModuleId;
constexpr std::uint32_t kNoNode = 0xFFFFFFFF;

}  // namespace

struct NodeCache::Slot {
  std::uint32_t node = kNoNode;
  std::vector<std::uint8_t> bytes;
  std::uint32_t pins = 0;
  bool dirty = false;
  std::uint64_t lastUse = 0;
};

NodeRef::NodeRef(NodeCache* cache, std::size_t slot) noexcept : cache_(cache), slot_(slot) {
  ++cache_->slots_[slot_]->pins;
}

NodeRef::NodeRef(const NodeRef& other) noexcept : cache_(other.cache_), slot_(other.slot_) {
  if (cache_) ++cache_->slots_[slot_]->pins;
}

NodeRef& NodeRef::operator=(const NodeRef& other) noexcept {
  if (this != &other) {
    if (other.cache_) ++other.cache_->slots_[other.slot_]->pins;
    Release();
    cache_ = other.cache_;
    slot_ = other.slot_;
  }
  return *this;
}

NodeRef::~NodeRef() { Release(); }

void NodeRef::Release() noexcept {
  if (cache_) --cache_->slots_[slot_]->pins;
  cache_ = nullptr;
}

std::uint32_t NodeRef::Number() const noexcept { return cache_->slots_[slot_]->node; }

std::uint8_t* NodeRef::Data() const noexcept { return cache_->slots_[slot_]->bytes.data(); }

NodeView NodeRef::View() const noexcept {
  return NodeView(Data(), std::uint16_t(cache_->slots_[slot_]->bytes.size()));
}

void NodeRef::SetDirty() const noexcept { cache_->slots_[slot_]->dirty = true; }

NodeCache::NodeCache(NodeSource& source, std::size_t slots) : source_(source) {
  if (slots == 0) ThrowFileError(0x01, kModuleId, kFileNotSupported);
  for (std::size_t i = 0; i < slots; ++i) {
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->bytes.assign(source.NodeSize(), 0);
  }
}

NodeCache::~NodeCache() = default;

bool NodeCache::IsCached(std::uint32_t n) const noexcept {
  for (const auto& s : slots_)
    if (s->node == n) return true;
  return false;
}

std::size_t NodeCache::Take(std::uint32_t n) {
  std::size_t victim = slots_.size();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& s = *slots_[i];
    if (s.node == n) {
      s.lastUse = ++clock_;
      return i;
    }
    if (s.pins != 0) continue;
    if (victim == slots_.size()) {
      victim = i;
    } else {
      const Slot& v = *slots_[victim];
      // An empty buffer first, else the one used least recently.
      if (v.node != kNoNode && (s.node == kNoNode || s.lastUse < v.lastUse)) victim = i;
    }
  }
  if (victim == slots_.size()) {
    // Every buffer holds a node in use: lend one more rather than evict one.
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->bytes.assign(source_.NodeSize(), 0);
  }
  Slot& s = *slots_[victim];
  if (s.node != kNoNode && s.dirty) {
    // A dirty node is written before its buffer is reused, never dropped.
    source_.WriteNode(s.node, s.bytes.data());
    s.dirty = false;
  }
  s.node = kNoNode;
  std::memset(s.bytes.data(), 0, s.bytes.size());
  s.lastUse = ++clock_;
  return victim;
}

NodeRef NodeCache::Get(std::uint32_t n) {
  for (std::size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i]->node == n) {
      slots_[i]->lastUse = ++clock_;
      return NodeRef(this, i);
    }
  const std::size_t i = Take(n);
  source_.ReadNode(n, slots_[i]->bytes.data());
  slots_[i]->node = n;
  slots_[i]->dirty = false;
  return NodeRef(this, i);
}

NodeRef NodeCache::Fresh(std::uint32_t n) {
  const std::size_t i = Take(n);
  slots_[i]->node = n;
  return NodeRef(this, i);
}

void NodeCache::WriteBack() {
  for (auto& s : slots_)
    if (s->node != kNoNode && s->dirty) {
      source_.WriteNode(s->node, s->bytes.data());
      s->dirty = false;
    }
}

}  // namespace hfsplus
}  // namespace filesystems
