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
  if (n <= 256) {  // the radix passes only pay off on larger graphs
    std::vector<Key> keys(n);
    for (uint32_t id = 0; id < n; ++id) {
      keys[id] = Key{name_prefix(names[id], 0), name_prefix(names[id], 8), id};
    }
    std::sort(keys.begin(), keys.end(), less);
    for (size_t r = 0; r < n; ++r) order[r] = keys[r].id;
    return order;
  }
  std::vector<Key> keys(n), scratch(n);
  // Digit d (0 = least significant) is byte d % 8 of `next` for d < 8, of `head` after.
  std::vector<std::array<uint32_t, 256>> counts(16, std::array<uint32_t, 256>{});
  for (uint32_t id = 0; id < n; ++id) {
    Key k{name_prefix(names[id], 0), name_prefix(names[id], 8), id};
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
    for (const Key& k : keys) {
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

}  // namespace

SuperstepPlan plan(std::span<const std::string_view> nodes, std::span<const Edge> edges) {
  SuperstepPlan result;
  if (nodes.empty()) return result;

  NameTable table(nodes.size());
  std::vector<uint32_t> node_ids(nodes.size());
  std::vector<uint32_t> first_at;  // per name: the position of its first occurrence
  first_at.reserve(nodes.size());
  for_each_hashed(
      table, nodes.size(), [&](size_t i) -> std::string_view { return nodes[i]; },
      [&](size_t i, uint64_t h) {
        uint32_t id = table.intern(nodes[i], h);
        if (id == first_at.size()) first_at.push_back(static_cast<uint32_t>(i));
        node_ids[i] = id;
      });
  const std::vector<std::string_view>& names = table.names();
  const size_t count = names.size();

  // Accepted edges, then successor lists in edge order (counting sort by source).
  std::vector<uint32_t> in_degree(count, 0);
  std::vector<uint32_t> first(count + 1, 0);
  std::vector<std::pair<uint32_t, uint32_t>> accepted;
  accepted.reserve(edges.size());
  std::vector<uint32_t> endpoints(edges.size() * 2);
  auto endpoint = [&](size_t i) -> std::string_view {
    return i & 1 ? edges[i >> 1].second : edges[i >> 1].first;
  };
  for_each_hashed(table, endpoints.size(), endpoint,
                  [&](size_t i, uint64_t h) { endpoints[i] = table.find(endpoint(i), h); });
  for (size_t e = 0; e < edges.size(); ++e) {
    uint32_t source = endpoints[2 * e], target = endpoints[2 * e + 1];
    if (source == NameTable::kEmpty || target == NameTable::kEmpty || target == source) continue;
    accepted.emplace_back(source, target);
    ++first[source + 1];
    ++in_degree[target];
  }
  endpoints = {};
  for (size_t i = 0; i < count; ++i) first[i + 1] += first[i];
  std::vector<uint32_t> successors(accepted.size());
  {
    std::vector<uint32_t> fill(first.begin(), first.end() - 1);
    for (const auto& [source, target] : accepted) successors[fill[source]++] = target;
  }
  accepted = {};

  // Layering only records each name's superstep; one walk over the names in name order
  // then fills every superstep already sorted.
  constexpr uint32_t kUnplaced = UINT32_MAX;
  std::vector<uint32_t> layer(count, kUnplaced);
  std::vector<uint32_t> sizes;
  std::vector<uint32_t> ready, next;
  for (uint32_t id = 0; id < count; ++id) {
    if (in_degree[id] == 0) ready.push_back(id);
  }
  size_t placed_count = 0;
  while (!ready.empty()) {
    const uint32_t index = static_cast<uint32_t>(sizes.size());
    uint32_t size = 0;
    for (uint32_t id : ready) {
      if (layer[id] != kUnplaced) continue;
      layer[id] = index;
      ++size;
    }
    next.clear();
    for (uint32_t id : ready) {
      for (uint32_t k = first[id]; k < first[id + 1]; ++k) {
        uint32_t target = successors[k];
        if (in_degree[target] == 0) continue;
        if (--in_degree[target] == 0 && layer[target] == kUnplaced) next.push_back(target);
      }
    }
    placed_count += size;
    if (size > 0) sizes.push_back(size);
    ready.swap(next);
  }

  // Unplaced names go last, once per occurrence in `nodes`.
  std::vector<uint32_t> occurrences;
  size_t remainder_size = 0;
  if (placed_count < count) {
    occurrences.assign(count, 0);
    for (uint32_t id : node_ids) {
      if (layer[id] == kUnplaced) {
        ++occurrences[id];
        ++remainder_size;
      }
    }
  }

  std::vector<std::vector<uint32_t>>& steps = result.steps;
  steps.resize(sizes.size() + (remainder_size > 0 ? 1 : 0));
  for (size_t i = 0; i < sizes.size(); ++i) steps[i].reserve(sizes[i]);
  if (remainder_size > 0) steps.back().reserve(remainder_size);
  for (uint32_t id : ids_in_name_order(names)) {
    if (layer[id] != kUnplaced) {
      steps[layer[id]].push_back(first_at[id]);
    } else {
      steps.back().insert(steps.back().end(), occurrences[id], first_at[id]);
    }
  }
  return result;
}

Result<SuperstepPlan> plan_supersteps(std::span<const std::string_view> nodes,
                                      std::span<const Edge> edges) {
  return plan(nodes, edges);
}

}  // namespace quor::scheduler
