#include "scheduler/planner.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/bytes.hpp"
#include "common/name_table.hpp"
#include "common/platform.hpp"

namespace quor::scheduler {
namespace {

using bytes::name_less;
using bytes::name_prefix;

// Distinct name ids in name order: an LSD radix sort on the first sixteen bytes (passes
// over byte positions that never vary are skipped), then the rare runs that tie on those
// bytes are ordered by a full comparison.
std::vector<uint32_t> ids_in_name_order(const std::vector<std::string_view>& names) {
  struct Key {
    uint64_t head;
    uint64_t next;
    uint32_t id;
  };
  const size_t n = names.size();
  auto less = [&](const Key& a, const Key& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.next != b.next) return a.next < b.next;
    return name_less(names[a.id], names[b.id]);
  };
  std::vector<uint32_t> order(n);
  // The names' bytes are scattered and long out of cache: fetched ahead.
  constexpr size_t kAhead = 16;
  auto key = [&](uint32_t id) {
    if (id + kAhead < n) platform::prefetch(names[id + kAhead].data());
    return Key{name_prefix(names[id], 0), name_prefix(names[id], 8), id};
  };
  if (n <= 16384) {  // the radix passes pay off on larger graphs only
    std::vector<Key> keys(n);
    for (uint32_t id = 0; id < n; ++id) keys[id] = key(id);
    std::sort(keys.begin(), keys.end(), less);
    for (size_t r = 0; r < n; ++r) order[r] = keys[r].id;
    return order;
  }
  std::vector<Key> keys(n), scratch(n);
  // Digit d (0 = least significant) is byte d % 8 of `next` for d < 8, of `head` after.
  std::vector<std::array<uint32_t, 256>> counts(16, std::array<uint32_t, 256>{});
  for (uint32_t id = 0; id < n; ++id) {
    const Key k = key(id);
    keys[id] = k;
    for (int d = 0; d < 8; ++d) {
      ++counts[d][(k.next >> (8 * d)) & 0xff];
      ++counts[d + 8][(k.head >> (8 * d)) & 0xff];
    }
  }
  for (int d = 0; d < 16; ++d) {
    std::array<uint32_t, 256>& count = counts[d];
    if (std::find(count.begin(), count.end(), static_cast<uint32_t>(n)) != count.end()) continue;
    uint32_t sum = 0;
    for (uint32_t& c : count) sum += std::exchange(c, sum);
    const int shift = 8 * (d % 8);
    for (const Key k : keys) {  // a copy: read whole before the store, which may alias it
      uint64_t word = d < 8 ? k.next : k.head;
      scratch[count[(word >> shift) & 0xff]++] = k;
    }
    keys.swap(scratch);
  }
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && keys[j].head == keys[i].head && keys[j].next == keys[i].next) ++j;
    if (j - i > 1) std::sort(keys.begin() + i, keys.begin() + j, less);
    i = j;
  }
  for (size_t r = 0; r < n; ++r) order[r] = keys[r].id;
  return order;
}

constexpr uint32_t kNone = NameTable::kEmpty;

// The nodes interned by bytes: each position's id and each id's first position.
struct Interned {
  explicit Interned(size_t expected) : table(expected) {}
  NameTable table;
  std::vector<uint32_t> node_ids;
  std::vector<uint32_t> first_at;
};

Interned intern_nodes(std::span<const Name> nodes) {
  Interned out(nodes.size());
  out.node_ids.resize(nodes.size());
  out.first_at.reserve(nodes.size());
  // Hashing a name reads its bytes, often a miss of their own: fetched further ahead.
  constexpr size_t kBytesAhead = 32;
  auto name = [&](size_t i) -> std::string_view {
    if (i + kBytesAhead < nodes.size()) platform::prefetch(nodes[i + kBytesAhead].text.data());
    return nodes[i].text;
  };
  for_each_hashed(out.table, nodes.size(), name, [&](size_t i, uint64_t h) {
    uint32_t id = out.table.intern(nodes[i].text, h);
    if (id == out.first_at.size()) out.first_at.push_back(static_cast<uint32_t>(i));
    out.node_ids[i] = id;
  });
  return out;
}

// The nodes' own tokens to their ids. Most edges name nodes by the very objects of the
// node list, so an endpoint is found by its token without reading its bytes.
class TokenIndex {
 public:
  TokenIndex(std::span<const Name> nodes, std::span<const uint32_t> ids)
      : seed_(bytes::process_seed()) {
    size_t cap = 16;
    while (cap < nodes.size() * 2) cap <<= 1;
    slots_.assign(cap, Slot{});
    const size_t mask = slots_.size() - 1;
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (i + kAhead < nodes.size()) prefetch(hash(nodes[i + kAhead].token));
      for (size_t at = hash(nodes[i].token) & mask;; at = (at + 1) & mask) {
        if (slots_[at].id == kNone) {
          slots_[at] = Slot{nodes[i].token, ids[i]};
          break;
        }
        if (slots_[at].token == nodes[i].token) break;  // the same object listed again
      }
    }
  }

  uint64_t hash(uintptr_t token) const {
    uint64_t x = (static_cast<uint64_t>(token) ^ seed_) * 0x9e3779b97f4a7c15ull;
    return x ^ (x >> 29);
  }
  void prefetch(uint64_t h) const { platform::prefetch(&slots_[h & (slots_.size() - 1)]); }

  uint32_t find(uintptr_t token, uint64_t h) const {
    size_t mask = slots_.size() - 1;
    for (size_t at = h & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.id == kNone || slot.token == token) return slot.id;
    }
  }

 private:
  struct Slot {
    uintptr_t token = 0;
    uint32_t id = kNone;
  };
  uint64_t seed_;
  std::vector<Slot> slots_;
};

// Each endpoint's id (kNone for an unknown name): by token first, by bytes second. The
// tokens are hashed ahead and their slots prefetched, so that the misses overlap.
std::vector<uint32_t> endpoint_ids(std::span<const Edge> edges, const TokenIndex& tokens,
                                   NameTable& table) {
  const size_t n = edges.size() * 2;
  std::vector<uint32_t> ids(n);
  auto endpoint = [&](size_t i) -> const Name& {
    return i & 1 ? edges[i >> 1].second : edges[i >> 1].first;
  };
  constexpr size_t kAhead = 16;
  uint64_t ring[kAhead];
  for (size_t i = 0; i < std::min(n, kAhead); ++i) {
    ring[i] = tokens.hash(endpoint(i).token);
    tokens.prefetch(ring[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    const uint64_t h = ring[i % kAhead];
    if (i + kAhead < n) {
      ring[i % kAhead] = tokens.hash(endpoint(i + kAhead).token);
      tokens.prefetch(ring[i % kAhead]);
    }
    const Name& name = endpoint(i);
    uint32_t id = tokens.find(name.token, h);
    // An equal name in another object, or no node at all.
    if (id == kNone) id = table.find(name.text, table.hash(name.text));
    ids[i] = id;
  }
  return ids;
}

// Successor lists in edge order (a counting sort by source), and in-degrees. Edges to
// unknown names and self-loops are left out.
struct Graph {
  std::vector<uint32_t> first;  // successors of id i: [first[i], first[i + 1])
  std::vector<uint32_t> successors;
  std::vector<uint32_t> in_degree;
};

Graph build_graph(const std::vector<uint32_t>& endpoints, size_t count) {
  Graph g;
  g.first.assign(count + 1, 0);
  g.in_degree.assign(count, 0);
  auto accepted = [&](size_t e) {
    uint32_t source = endpoints[2 * e], target = endpoints[2 * e + 1];
    return source != kNone && target != kNone && source != target;
  };
  const size_t edges = endpoints.size() / 2;
  size_t kept = 0;
  for (size_t e = 0; e < edges; ++e) {
    if (!accepted(e)) continue;
    ++kept;
    ++g.first[endpoints[2 * e] + 1];
    ++g.in_degree[endpoints[2 * e + 1]];
  }
  for (size_t i = 0; i < count; ++i) g.first[i + 1] += g.first[i];
  g.successors.resize(kept);
  std::vector<uint32_t> fill(g.first.begin(), g.first.end() - 1);
  for (size_t e = 0; e < edges; ++e) {
    if (accepted(e)) g.successors[fill[endpoints[2 * e]]++] = endpoints[2 * e + 1];
  }
  return g;
}

// Each name's superstep (kNone for a name on or behind a cycle) and each superstep's size.
// Layering only records the superstep; the names are sorted once, later, for all steps.
struct Layers {
  std::vector<uint32_t> layer;
  std::vector<uint32_t> sizes;
  size_t placed = 0;
};

Layers layer_names(Graph& g, size_t count) {
  Layers out;
  out.layer.assign(count, kNone);
  std::vector<uint32_t> ready, next, targets;
  for (uint32_t id = 0; id < count; ++id) {
    if (g.in_degree[id] == 0) ready.push_back(id);
  }
  constexpr size_t kAhead = 16;
  while (!ready.empty()) {
    const uint32_t index = static_cast<uint32_t>(out.sizes.size());
    uint32_t size = 0;
    for (uint32_t id : ready) {
      if (out.layer[id] != kNone) continue;
      out.layer[id] = index;
      ++size;
    }
    // The step's out-edges first, then their targets' counts, fetched ahead: the targets
    // are scattered over the whole graph.
    targets.clear();
    for (uint32_t id : ready) {
      targets.insert(targets.end(), g.successors.begin() + g.first[id],
                     g.successors.begin() + g.first[id + 1]);
    }
    next.clear();
    for (size_t k = 0; k < targets.size(); ++k) {
      if (k + kAhead < targets.size()) {
        platform::prefetch(&g.in_degree[targets[k + kAhead]]);
        platform::prefetch(&out.layer[targets[k + kAhead]]);
      }
      const uint32_t target = targets[k];
      if (g.in_degree[target] == 0) continue;
      if (--g.in_degree[target] == 0 && out.layer[target] == kNone) next.push_back(target);
    }
    out.placed += size;
    if (size > 0) out.sizes.push_back(size);
    ready.swap(next);
  }
  return out;
}

// One walk over the names in name order fills every superstep already sorted; unplaced
// names go last, once per occurrence in `nodes`.
SuperstepPlan fill_steps(const Interned& nodes, const Layers& layers) {
  const std::vector<std::string_view>& names = nodes.table.names();
  const size_t count = names.size();
  std::vector<uint32_t> occurrences;
  size_t remainder_size = 0;
  if (layers.placed < count) {
    occurrences.assign(count, 0);
    for (uint32_t id : nodes.node_ids) {
      if (layers.layer[id] == kNone) {
        ++occurrences[id];
        ++remainder_size;
      }
    }
  }
  SuperstepPlan result;
  std::vector<std::vector<uint32_t>>& steps = result.steps;
  steps.resize(layers.sizes.size() + (remainder_size > 0 ? 1 : 0));
  for (size_t i = 0; i < layers.sizes.size(); ++i) steps[i].reserve(layers.sizes[i]);
  if (remainder_size > 0) steps.back().reserve(remainder_size);
  for (uint32_t id : ids_in_name_order(names)) {
    const uint32_t at = nodes.first_at[id];
    if (layers.layer[id] != kNone) {
      steps[layers.layer[id]].push_back(at);
    } else {
      steps.back().insert(steps.back().end(), occurrences[id], at);
    }
  }
  return result;
}

}  // namespace

SuperstepPlan plan(std::span<const Name> nodes, std::span<const Edge> edges) {
  if (nodes.empty()) return {};
  Interned interned = intern_nodes(nodes);
  const size_t count = interned.table.size();
  Graph graph;
  {
    const TokenIndex tokens(nodes, interned.node_ids);
    graph = build_graph(endpoint_ids(edges, tokens, interned.table), count);
  }
  return fill_steps(interned, layer_names(graph, count));
}

}  // namespace quor::scheduler
