#include "cost/cost.hpp"

namespace quor::cost {

double aggregate_cost(std::span<const double> values) {
  double total = -0.0;
  for (double v : values) total += v;
  return total;
}

}  // namespace quor::cost
