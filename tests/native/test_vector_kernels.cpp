// The vector kernels against the portable loop they stand in for: every row's sums bit for
// bit, over lengths around the vector widths and values that overflow, underflow and NaN.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "vectors/vectors.hpp"

namespace {

using namespace quor::vectors::kernel;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check(bool ok, const char* what, size_t n) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s (length %zu)\n", what, n);
    std::exit(1);
  }
}

float draw(std::mt19937_64& rng) {
  static const float special[] = {0.0f, -0.0f, 1e-45f, -3e-39f, 1e20f, -1e20f, INFINITY, NAN};
  if (rng() % 10 == 0) return special[rng() % 8];
  return std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng);
}

}  // namespace

int main() {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 400; ++round) {
    const size_t n = rng() % 41;
    std::vector<float> q(n), data(8 * n);
    for (float& x : q) x = draw(rng);
    for (float& x : data) x = draw(rng);
    const float* rows[8];
    float dot[8], yy[8], want_dot[8], want_yy[8];
    for (int j = 0; j < 8; ++j) {
      rows[j] = data.data() + j * n;
      row_sums(q.data(), rows[j], n, want_dot[j], want_yy[j]);
    }
    auto agree = [&](int count) {
      for (int j = 0; j < count; ++j) {
        if (!same_bits(dot[j], want_dot[j]) || !same_bits(yy[j], want_yy[j])) return false;
      }
      return true;
    };
    four_rows_portable(q.data(), rows, n, dot, yy);
    check(agree(4), "four rows, portable", n);
    if (kFourRowsVector) {
      four_rows_vector(q.data(), rows, n, dot, yy);
      check(agree(4), "four rows, vector unit", n);
    }
    if (eight_rows_ready()) {
      eight_rows_vector(q.data(), rows, n, dot, yy);
      check(agree(8), "eight rows, AVX2", n);
    }
  }
  return 0;
}
