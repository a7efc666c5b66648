// Superstep planning: longest-chain layering of a graph's nodes into BSP supersteps.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace quor::scheduler {

using Edge = std::pair<std::string, std::string>;
// Supersteps in order, each sorted by name bytes. Names view into the `nodes` argument,
// which must outlive the plan.
using SuperstepPlan = std::vector<std::vector<std::string_view>>;

// Never fails: edges to unknown nodes and self-loops are ignored, and the nodes on or
// behind a cycle come last, together, once per occurrence in `nodes`.
SuperstepPlan plan(const std::vector<std::string>& nodes, const std::vector<Edge>& edges);

Result<SuperstepPlan> plan_supersteps(const std::vector<std::string>& nodes,
                                      const std::vector<Edge>& edges);

}  // namespace quor::scheduler
