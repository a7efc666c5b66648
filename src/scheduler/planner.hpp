// Superstep planning: longest-chain layering of a graph's nodes into BSP supersteps.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quor::scheduler {

// A name as the caller gave it: its bytes, and a token that two names share only when
// they are one object. Equal tokens therefore mean equal bytes; unequal tokens say nothing.
struct Name {
  std::string_view text;
  uintptr_t token = 0;
};

using Edge = std::pair<Name, Name>;

// Supersteps in order, each sorted by name bytes. A name is given as the position in
// `nodes` of its first occurrence, so that a caller can hand back its own name objects.
struct SuperstepPlan {
  std::vector<std::vector<uint32_t>> steps;
};

// Never fails: edges to unknown nodes and self-loops are ignored, and the nodes on or
// behind a cycle come last, together, once per occurrence in `nodes`.
SuperstepPlan plan(std::span<const Name> nodes, std::span<const Edge> edges);

}  // namespace quor::scheduler
