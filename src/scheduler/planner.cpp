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

// Interns names to dense ids in first-seen order; open addressing over the ids.
class NameTable {
 public:
  explicit NameTable(size_t expected) : seed_(process_seed()) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, kEmpty);
    hashes_.reserve(expected);
    names_.reserve(expected);
  }

  uint32_t intern(std::string_view name) {
    uint64_t h = hash_name(name, seed_);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      uint32_t id = slots_[i];
      if (id == kEmpty) {
        id = static_cast<uint32_t>(names_.size());
        slots_[i] = id;
        names_.push_back(name);
        hashes_.push_back(h);
        if (names_.size() * 2 > slots_.size()) grow();
        return id;
      }
      if (hashes_[id] == h && names_[id] == name) return id;
    }
  }

  uint32_t find(std::string_view name) const {
    uint64_t h = hash_name(name, seed_);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      uint32_t id = slots_[i];
      if (id == kEmpty) return kEmpty;
      if (hashes_[id] == h && names_[id] == name) return id;
    }
  }

  const std::vector<std::string_view>& names() const { return names_; }

  static constexpr uint32_t kEmpty = UINT32_MAX;

 private:
  void grow() {
    std::vector<uint32_t> slots(slots_.size() * 2, kEmpty);
    size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < names_.size(); ++id) {
      size_t i = hashes_[id] & mask;
      while (slots[i] != kEmpty) i = (i + 1) & mask;
      slots[i] = id;
    }
    slots_.swap(slots);
  }

  uint64_t seed_;
  std::vector<uint32_t> slots_;
  std::vector<uint64_t> hashes_;
  std::vector<std::string_view> names_;
};

bool name_less(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  return c < 0 || (c == 0 && a.size() < b.size());
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

  std::vector<uint8_t> placed(count, 0);
  std::vector<uint32_t> ready;
  for (uint32_t id = 0; id < count; ++id) {
    if (in_degree[id] == 0) ready.push_back(id);
  }
  std::vector<uint32_t> next;
  size_t placed_count = 0;
  while (!ready.empty()) {
    std::vector<std::string_view> step;
    step.reserve(ready.size());
    for (uint32_t id : ready) {
      if (placed[id]) continue;
      placed[id] = 1;
      step.push_back(names[id]);
    }
    std::sort(step.begin(), step.end(), name_less);
    next.clear();
    for (uint32_t id : ready) {
      for (uint32_t k = first[id]; k < first[id + 1]; ++k) {
        uint32_t target = successors[k];
        if (in_degree[target] == 0) continue;
        if (--in_degree[target] == 0 && !placed[target]) next.push_back(target);
      }
    }
    placed_count += step.size();
    if (!step.empty()) result.push_back(std::move(step));
    ready.swap(next);
  }

  if (placed_count < count) {
    std::vector<std::string_view> remainder;
    for (const std::string& name : nodes) {
      if (!placed[table.find(name)]) remainder.push_back(name);
    }
    std::sort(remainder.begin(), remainder.end(), name_less);
    result.push_back(std::move(remainder));
  }
  return result;
}

Result<Plan> plan_supersteps(const std::vector<std::string>& nodes,
                             const std::vector<Edge>& edges) {
  return plan(nodes, edges);
}

}  // namespace quor::scheduler
