// Cost totals: one left-to-right double sum.
#pragma once

#include <span>

namespace quor::cost {

// A total fed as the values are read, so that a list is summed in the one pass that reads
// it. Starts from -0.0, so an empty or all -0.0 input totals -0.0. No compensation, no
// reordering: exactly the plain loop.
class Total {
 public:
  void add(double v) { sum_ += v; }
  void add(std::span<const double> values) {
    for (double v : values) sum_ += v;
  }
  // Adds the values that `read(add)` passes to add(v), in order. The running sum is a local
  // whose address no call can see, so it stays in a register: the one addition is then the
  // loop's only dependency.
  template <class Read>
  void add_each(Read&& read) {
    double sum = sum_;
    read([&sum](double v) { sum += v; });
    sum_ = sum;
  }
  double value() const { return sum_; }

 private:
  double sum_ = -0.0;
};

double aggregate_cost(const Total& total);

}  // namespace quor::cost
