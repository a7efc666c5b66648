#include "cost/cost.hpp"

namespace quor::cost {

double aggregate_cost(const Total& total) { return total.value(); }

}  // namespace quor::cost
