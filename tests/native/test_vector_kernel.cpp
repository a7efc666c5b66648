// The four- and eight-rows-at-once vector kernels against the scalar sums, bit for bit: NaN,
// infinities, subnormals, squares that overflow, and every length around the vector width.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "check.hpp"
#include "vectors/vectors.hpp"

namespace kernel = quor::vectors::kernel;

namespace {

float draw(check::Random& rng) {
  switch (rng.below(12)) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return rng.below(2) ? std::numeric_limits<float>::infinity()
                          : -std::numeric_limits<float>::infinity();
    case 2:  // subnormal, either sign
      return std::bit_cast<float>(static_cast<uint32_t>(rng.next() & 0x807fffff));
    case 3:  // its square overflows
      return (rng.below(2) ? 1.0f : -1.0f) * std::ldexp(1.0f, 64 + static_cast<int>(rng.below(60)));
    case 4:
      return rng.below(2) ? 0.0f : -0.0f;
    case 5:  // any bit pattern
      return std::bit_cast<float>(static_cast<uint32_t>(rng.next()));
    default:  // ordinary values, whose sums round at every step
      return static_cast<float>(static_cast<int64_t>(rng.below(2000001)) - 1000000) / 997.0f;
  }
}

// Equal bits, or both NaN (a NaN's payload is the processor's choice, not a result).
bool same(float a, float b) {
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

// The sums as the module promises them: each product rounded before it is added (the
// volatile store keeps any compiler from fusing the two).
void reference_sums(const float* q, const float* y, size_t n, float& dot, float& yy) {
  float d = 0.0f, s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    volatile float product = q[i] * y[i], square = y[i] * y[i];
    d = d + product;
    s = s + square;
  }
  dot = d;
  yy = s;
}

}  // namespace

int main() {
  std::printf("vector kernel: %s%s\n", kernel::kFourRowsVector ? "vector" : "portable",
              kernel::eight_rows_ready() ? ", eight rows" : "");
  check::Random rng(0xc051);
  long cases = 0;
  for (int round = 0; round < 4000; ++round) {
    size_t n = round < 80 ? static_cast<size_t>(round) : rng.below(round % 10 == 0 ? 700 : 40);
    // Rare special values in most rounds, so that most sums stay finite and exact bits matter.
    bool plain = rng.below(3) != 0;
    std::vector<float> q(n), rows[8];
    for (float& x : q) x = plain ? draw(rng) * (rng.below(50) != 0) + 0.5f : draw(rng);
    for (auto& row : rows) {
      row.resize(n);
      for (float& x : row)
        x = plain && rng.below(8) != 0 ? static_cast<float>(rng.below(1000)) / 7.0f : draw(rng);
    }
    const float* r[8];
    for (int j = 0; j < 8; ++j) r[j] = rows[j].data();
    float dot[8], yy[8], dot_p[8], yy_p[8], dot_8[8], yy_8[8];
    for (int h = 0; h < 8; h += 4) {
      kernel::four_rows_vector(q.data(), r + h, n, dot + h, yy + h);
      kernel::four_rows_portable(q.data(), r + h, n, dot_p + h, yy_p + h);
    }
    const bool eight = kernel::eight_rows_ready();
    if (eight) kernel::eight_rows_vector(q.data(), r, n, dot_8, yy_8);
    for (int j = 0; j < 8; ++j) {
      float d0, y0, d1, y1;
      reference_sums(q.data(), r[j], n, d0, y0);
      kernel::row_sums(q.data(), r[j], n, d1, y1);
      check::expect(same(d1, d0) && same(y1, y0), "scalar row %d of round %d (n = %zu)", j, round,
                    n);
      check::expect(same(dot[j], d0) && same(yy[j], y0), "row %d of round %d (n = %zu)", j, round,
                    n);
      check::expect(same(dot_p[j], d0) && same(yy_p[j], y0), "portable row %d of round %d", j,
                    round);
      check::expect(!eight || (same(dot_8[j], d0) && same(yy_8[j], y0)),
                    "eight-rows row %d of round %d (n = %zu)", j, round, n);
    }
    ++cases;
  }
  return check::finish("vector kernel", cases);
}
