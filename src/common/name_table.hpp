// The name table every component shares: names interned to dense ids in first-seen
// order, under the process's random seed (names are caller-chosen, and an unseeded hash
// would let crafted names force every lookup into one long probe chain).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"

namespace quor {

// Interns names to dense ids in first-seen order. A slot holds the id, the length and the
// first bytes of its name, so most probes are settled within one cache line.
class NameTable {
 public:
  static constexpr uint32_t kEmpty = UINT32_MAX;

  // The seed is the process's own; a test may pass one to build collisions against.
  explicit NameTable(size_t expected, uint64_t seed = bytes::process_seed()) : seed_(seed) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, Slot{});
    names_.reserve(expected);
  }

  uint64_t hash(std::string_view name) const { return bytes::hash_name(name, seed_); }
  void prefetch(uint64_t h) const { platform::prefetch(&slots_[h & (slots_.size() - 1)]); }

  uint32_t intern(std::string_view name, uint64_t h) {
    Slot key = make_slot(name);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      ++probes_;
      Slot& slot = slots_[i];
      if (slot.id == kEmpty) {
        key.id = static_cast<uint32_t>(names_.size());
        slot = key;
        names_.push_back(name);
        if (names_.size() * 2 > slots_.size()) grow();
        return key.id;
      }
      if (same(slot, key, name)) return slot.id;
    }
  }

  uint32_t find(std::string_view name, uint64_t h) {
    Slot key = make_slot(name);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      ++probes_;
      const Slot& slot = slots_[i];
      if (slot.id == kEmpty) return kEmpty;
      if (same(slot, key, name)) return slot.id;
    }
  }

  const std::vector<std::string_view>& names() const { return names_; }
  size_t size() const { return names_.size(); }
  // Slots looked at so far: what a flood of colliding names would drive up.
  size_t probes() const { return probes_; }

 private:
  static constexpr size_t kHead = 24;
  struct alignas(32) Slot {
    uint32_t id = kEmpty;
    uint32_t length = 0;
    uint64_t head[kHead / 8] = {};
  };

  static Slot make_slot(std::string_view name) {
    Slot slot;
    slot.length = static_cast<uint32_t>(std::min<size_t>(name.size(), UINT32_MAX));
    for (size_t w = 0; w < kHead / 8; ++w) slot.head[w] = bytes::load_at(name, 8 * w);
    return slot;
  }

  bool same(const Slot& slot, const Slot& key, std::string_view name) const {
    if (slot.length != key.length || slot.head[0] != key.head[0] || slot.head[1] != key.head[1] ||
        slot.head[2] != key.head[2]) {
      return false;
    }
    // Short names are settled by the slot alone; saturated lengths keep huge names apart.
    return name.size() <= kHead || names_[slot.id] == name;
  }

  void grow() {
    std::vector<Slot> slots(slots_.size() * 2);
    size_t mask = slots.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.id == kEmpty) continue;
      size_t i = hash(names_[slot.id]) & mask;
      while (slots[i].id != kEmpty) i = (i + 1) & mask;
      slots[i] = slot;
    }
    slots_.swap(slots);
  }

  uint64_t seed_;
  std::vector<Slot> slots_;
  std::vector<std::string_view> names_;
  size_t probes_ = 0;
};

// Looks up many names, hashing ahead and prefetching their slots so misses overlap.
template <class Name, class Visit>
void for_each_hashed(const NameTable& table, size_t n, Name name, Visit visit) {
  constexpr size_t kAhead = 16;
  uint64_t ring[kAhead];
  for (size_t i = 0; i < std::min(n, kAhead); ++i) {
    ring[i] = table.hash(name(i));
    table.prefetch(ring[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    uint64_t h = ring[i % kAhead];
    if (i + kAhead < n) {
      ring[i % kAhead] = table.hash(name(i + kAhead));
      table.prefetch(ring[i % kAhead]);
    }
    visit(i, h);
  }
}

}  // namespace quor
