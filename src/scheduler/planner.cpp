#include "scheduler/planner.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

namespace quor::scheduler {
namespace {

uint64_t process_seed() {
  static const uint64_t seed = [] {
    try {
      std::random_device rd;
      return (uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
      return uint64_t{0x9e3779b97f4a7c15};
    }
  }();
  return seed;
}

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

uint64_t hash_name(std::string_view s, uint64_t seed) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  uint64_t h = seed ^ (n * 0x9e3779b97f4a7c15ull);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w, 0xbf58476d1ce4e5b9ull);
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  return mix(h ^ w, 0x94d049bb133111ebull) ^ (h >> 29);
}

bool name_less(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  return c < 0 || (c == 0 && a.size() < b.size());
}

// Interns names to dense ids in first-seen order. Each slot keeps the id and the upper
// half of the hash, so a probe touches the name itself only on a likely match.
class NameTable {
 public:
  explicit NameTable(size_t expected) : seed_(process_seed()) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, Slot{kEmpty, 0});
    names_.reserve(expected);
  }

  uint32_t intern(std::string_view name) {
    uint64_t h = hash_name(name, seed_);
    uint32_t tag = static_cast<uint32_t>(h >> 32);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.id == kEmpty) {
        uint32_t id = static_cast<uint32_t>(names_.size());
        slot = Slot{id, tag};
        names_.push_back(name);
        if (names_.size() * 2 > slots_.size()) grow();
        return id;
      }
      if (slot.tag == tag && names_[slot.id] == name) return slot.id;
    }
  }

  uint32_t find(std::string_view name) const {
    uint64_t h = hash_name(name, seed_);
    uint32_t tag = static_cast<uint32_t>(h >> 32);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.id == kEmpty) return kEmpty;
      if (slot.tag == tag && names_[slot.id] == name) return slot.id;
    }
  }

  const std::vector<std::string_view>& names() const { return names_; }

  static constexpr uint32_t kEmpty = UINT32_MAX;

 private:
  struct Slot {
    uint32_t id;
    uint32_t tag;
  };

  void grow() {
    std::vector<Slot> slots(slots_.size() * 2, Slot{kEmpty, 0});
    size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < names_.size(); ++id) {
      uint64_t h = hash_name(names_[id], seed_);
      size_t i = h & mask;
      while (slots[i].id != kEmpty) i = (i + 1) & mask;
      slots[i] = Slot{id, static_cast<uint32_t>(h >> 32)};
    }
    slots_.swap(slots);
  }

  uint64_t seed_;
  std::vector<Slot> slots_;
  std::vector<std::string_view> names_;
};

inline uint64_t load_word(std::string_view s, size_t at) {
  // Eight bytes from `at`, big-endian and zero-padded, so integer order is byte order.
  unsigned char buf[8] = {};
  if (at < s.size()) std::memcpy(buf, s.data() + at, std::min<size_t>(8, s.size() - at));
  uint64_t w;
  std::memcpy(&w, buf, 8);
  return __builtin_bswap64(w);
}

// Distinct name ids in name order. Supersteps then sort ranks, small integers.
std::vector<uint32_t> ids_in_name_order(const std::vector<std::string_view>& names) {
  struct Key {
    uint64_t head;
    uint64_t next;
    uint32_t id;
  };
  std::vector<Key> keys(names.size());
  for (uint32_t id = 0; id < names.size(); ++id) {
    keys[id] = Key{load_word(names[id], 0), load_word(names[id], 8), id};
  }
  std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.next != b.next) return a.next < b.next;
    return name_less(names[a.id], names[b.id]);
  });
  std::vector<uint32_t> order(names.size());
  for (size_t r = 0; r < keys.size(); ++r) order[r] = keys[r].id;
  return order;
}

}  // namespace

Plan plan(const std::vector<std::string>& nodes, const std::vector<Edge>& edges) {
  Plan result;
  if (nodes.empty()) return result;

  NameTable table(nodes.size());
  for (const std::string& name : nodes) table.intern(name);
  const std::vector<std::string_view>& names = table.names();
  const size_t count = names.size();

  // Accepted edges, then successor lists in edge order (counting sort by source).
  std::vector<uint32_t> in_degree(count, 0);
  std::vector<uint32_t> first(count + 1, 0);
  std::vector<std::pair<uint32_t, uint32_t>> accepted;
  accepted.reserve(edges.size());
  for (const Edge& edge : edges) {
    uint32_t source = table.find(edge.first);
    if (source == NameTable::kEmpty) continue;
    uint32_t target = table.find(edge.second);
    if (target == NameTable::kEmpty || target == source) continue;
    accepted.emplace_back(source, target);
    ++first[source + 1];
    ++in_degree[target];
  }
  for (size_t i = 0; i < count; ++i) first[i + 1] += first[i];
  std::vector<uint32_t> successors(accepted.size());
  {
    std::vector<uint32_t> fill(first.begin(), first.end() - 1);
    for (const auto& [source, target] : accepted) successors[fill[source]++] = target;
  }
  accepted = {};

  const std::vector<uint32_t> order = ids_in_name_order(names);
  std::vector<uint32_t> rank(count);
  for (uint32_t r = 0; r < count; ++r) rank[order[r]] = r;
  // Sorts a superstep given as ranks and turns it into names.
  auto to_names = [&](std::vector<uint32_t>& ranks) {
    std::sort(ranks.begin(), ranks.end());
    std::vector<std::string_view> out(ranks.size());
    for (size_t i = 0; i < ranks.size(); ++i) out[i] = names[order[ranks[i]]];
    return out;
  };

  std::vector<uint8_t> placed(count, 0);
  std::vector<uint32_t> ready;
  for (uint32_t id = 0; id < count; ++id) {
    if (in_degree[id] == 0) ready.push_back(id);
  }
  std::vector<uint32_t> next, step;
  size_t placed_count = 0;
  while (!ready.empty()) {
    step.clear();
    for (uint32_t id : ready) {
      if (placed[id]) continue;
      placed[id] = 1;
      step.push_back(rank[id]);
    }
    next.clear();
    for (uint32_t id : ready) {
      for (uint32_t k = first[id]; k < first[id + 1]; ++k) {
        uint32_t target = successors[k];
        if (in_degree[target] == 0) continue;
        if (--in_degree[target] == 0 && !placed[target]) next.push_back(target);
      }
    }
    placed_count += step.size();
    if (!step.empty()) result.push_back(to_names(step));
    ready.swap(next);
  }

  if (placed_count < count) {
    std::vector<uint32_t> remainder;
    for (const std::string& name : nodes) {
      uint32_t id = table.find(name);
      if (!placed[id]) remainder.push_back(rank[id]);
    }
    result.push_back(to_names(remainder));
  }
  return result;
}

Result<Plan> plan_supersteps(const std::vector<std::string>& nodes,
                             const std::vector<Edge>& edges) {
  return plan(nodes, edges);
}

}  // namespace quor::scheduler
