// Cost totals: one left-to-right double sum.
#pragma once

#include <span>

namespace quor::cost {

// Starts from -0.0, so an empty or all -0.0 input totals -0.0. No compensation, no
// reordering: exactly the plain loop.
double aggregate_cost(std::span<const double> values);

}  // namespace quor::cost
